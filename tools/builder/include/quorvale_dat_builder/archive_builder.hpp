// Writes DAT archives from descriptions, for tests, sample archives, fuzz seeds and benchmarks.
//
// High level: build_archive() lays out records in block chains and a directory tree of chosen
// fan-out, and fills in the header.
//
//   std::vector<Record> records = {{.id = 0x04000001, .data = palette_bytes},
//                                  {.id = 0x06000001, .data = pixels, .compressed = true}};
//   std::vector<std::uint8_t> dat = build_archive(records, {.block_size = 256});
//
// Low level: ArchiveWriter places chains, raw bytes and hand-made directory nodes (odd
// entry_counts, branch slots, cycles) wherever a test wants them, and lets it poke any u32.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <vector>

#include "quorvale_dat/file_entry.hpp"
#include "quorvale_dat/format.hpp"
#include "quorvale_dat/header.hpp"

namespace quorvale_dat::build {

struct Record {
  std::uint32_t id = 0;
  std::vector<std::uint8_t> data;  // the bytes get_file() is to return
  bool compressed = false;         // stored LRS-compressed, with bit 0 of bit_flags set
  std::uint32_t bit_flags = 0;  // further flag bits, stored as given (bit 0 follows `compressed`)
  std::uint32_t timestamp = 0;
  std::uint32_t version = 0;
};

// Where the blocks of a chain go: one after another, or shuffled over the file (seeded).
// build_archive() shuffles the blocks of all chains together; ArchiveWriter::add_chain() shuffles
// a chain's blocks within the space that chain takes at the end of the file.
enum class Layout { Sequential, Scattered };

struct ArchiveOptions {
  std::uint32_t block_size = 1024;
  Layout layout = Layout::Sequential;
  std::uint64_t seed = 1;
  // Entries per directory node, 1 to 61 (clamped); fewer makes a deeper tree for the same records.
  std::uint32_t entries_per_node = 61;
  // Header fields other than block_size and root_offset (which the builder sets).
  DatHeader header = default_header();

  [[nodiscard]] static DatHeader default_header();
};

// A directory node as written: all 62 branch slots, the stored entry_count, and the entries
// written after it (fewer or more than entry_count, as a test needs; at most 61 fit).
struct NodeSpec {
  std::array<std::uint32_t, format::kBranchSlots> branches{};
  std::uint32_t entry_count = 0;
  std::vector<DatFileEntry> entries;
};

// A node of a planned directory: indices into the sorted entries, and node indices of its
// children (kNoChild for an empty slot; none for a leaf, else entries.size() + 1).
struct DirectoryNode {
  std::vector<std::uint32_t> entries;
  std::vector<std::uint32_t> children;
};
inline constexpr std::uint32_t kNoChild = 0xFFFFFFFF;

// A balanced directory over `count` entries in ascending id order, at most `per_node` (1 to 61)
// to a node: a B-tree whose nodes are numbered in walk (pre-)order, the root first; empty for no
// entries. Each node takes the fewest entries whose children, full trees one level lower, can
// hold the rest, shared out evenly.
[[nodiscard]] std::vector<DirectoryNode> plan_directory(std::size_t count, std::size_t per_node);

// The 1716 bytes of a node's content.
[[nodiscard]] std::vector<std::uint8_t> encode_node(const NodeSpec& node);

// An archive: header at offset 320, records in chains, a directory tree whose entries are in
// ascending id order (a B-tree: an inner node holding k entries has k + 1 children). Where ids
// repeat, the record given last is kept. The file is the 400 bytes up to the header's end, then
// whole blocks; no records means root_offset 0 and a 400-byte file. Throws std::invalid_argument
// for a block_size below 5 (no room for a payload).
[[nodiscard]] std::vector<std::uint8_t> build_archive(const std::vector<Record>& records,
                                                      const ArchiveOptions& options = {});

class ArchiveWriter {
 public:
  explicit ArchiveWriter(std::uint32_t block_size, Layout layout = Layout::Sequential,
                         std::uint64_t seed = 1);

  // The header written by finish(); block_size starts as given to the constructor.
  [[nodiscard]] DatHeader& header() noexcept { return header_; }

  // Writes `content` as a block chain at the end of the file; returns the offset of its first
  // block. An empty content still takes one block (pointer 0). With a block_size below 5 the
  // chain is one block: pointer 0 followed by all of the content.
  std::uint32_t add_chain(std::span<const std::uint8_t> content);
  // Writes a node's content as a chain; returns its offset.
  std::uint32_t add_node(const NodeSpec& node) { return add_chain(encode_node(node)); }
  // Appends raw bytes at the end of the file as it stands; returns their offset.
  std::uint32_t add_raw(std::span<const std::uint8_t> bytes);
  // Overwrites (or extends the file with) a little-endian u32 at `offset`.
  void put_u32(std::uint32_t offset, std::uint32_t value);
  // The current size of the file.
  [[nodiscard]] std::uint32_t size() const noexcept;

  // The file's bytes, with the header written at offset 320.
  [[nodiscard]] std::vector<std::uint8_t> finish() const;

 private:
  std::uint32_t block_size_;
  Layout layout_;
  std::uint64_t rng_;
  DatHeader header_;
  std::vector<std::uint8_t> bytes_;
};

// The 80 header bytes of `header` (version_string padded or cut to 16 bytes).
[[nodiscard]] std::vector<std::uint8_t> encode_header(const DatHeader& header);

// Writes `bytes` to `path`, replacing the file. Throws std::runtime_error when it cannot.
void write_file(const std::filesystem::path& path, std::span<const std::uint8_t> bytes);

// A file of the given bytes under the system's temporary directory, with a name of its own,
// removed when the TempFile is destroyed.
//
//   TempFile dat(build_archive(records));
//   auto db = DatDatabase::open(dat.path());
class TempFile {
 public:
  explicit TempFile(std::span<const std::uint8_t> bytes);
  TempFile(TempFile&& other) noexcept : path_(std::move(other.path_)) { other.path_.clear(); }
  TempFile& operator=(TempFile&&) = delete;
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile();

  [[nodiscard]] const std::filesystem::path& path() const noexcept { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace quorvale_dat::build
