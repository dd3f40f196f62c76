// DatDatabase: an open DAT archive.
//
// Opening reads the header at offset 320 and walks the on-disk directory tree once into an
// id -> entry map; afterwards the database is read-only and get_file() reads a record's bytes
// from its chain of blocks, decompressing them when the entry says so. Every read after opening
// is a positioned read, so a const DatDatabase may be shared between threads.
//
//   auto db = quorvale_dat::DatDatabase::open("client_portal.dat");
//   if (!db) { std::cerr << db.error().display() << '\n'; return 1; }
//   auto bytes = db->get_file(0x080003E4);
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "quorvale_dat/dat_error.hpp"
#include "quorvale_dat/expected.hpp"
#include "quorvale_dat/file.hpp"
#include "quorvale_dat/file_entry.hpp"
#include "quorvale_dat/header.hpp"

namespace quorvale_dat {

// Size of a directory node's content: 62 branch offsets, an entry count and 61 entries.
inline constexpr std::uint32_t kDirectoryNodeSize = 62 * 4 + 4 + 61 * 24;

class DatDatabase {
 public:
  // Opens the archive at `path`: all or nothing. Errors: PathError when the file cannot be
  // opened; Io when seeking or reading fails; BinRead when the header or a directory entry is
  // cut short; Corruption when the directory or a block chain is malformed (a cycle, more nodes
  // or blocks than the file can hold, a block size without room for a payload).
  [[nodiscard]] static Expected<DatDatabase, DatError> open(const std::filesystem::path& path);

  DatDatabase(DatDatabase&&) noexcept = default;
  DatDatabase& operator=(DatDatabase&&) noexcept = default;
  DatDatabase(const DatDatabase&) = delete;
  DatDatabase& operator=(const DatDatabase&) = delete;
  ~DatDatabase() = default;

  [[nodiscard]] const DatHeader& header() const noexcept { return header_; }
  [[nodiscard]] const FileMap& files() const noexcept { return files_; }
  // Size of the archive file when it was opened.
  [[nodiscard]] std::uint64_t file_size() const noexcept { return file_size_; }

  // The record's bytes, decompressed when its entry is compressed. NotFound when the id is not
  // in the directory; the chain's errors otherwise. Nothing is cached: every call reads again.
  [[nodiscard]] Expected<std::vector<std::uint8_t>, DatError> get_file(std::uint32_t id) const;

  // What for_each_file() hands over for one entry: the record's bytes, valid until the visitor
  // returns, or the error get_file() gives for it.
  using FileResult = Expected<std::span<const std::uint8_t>, DatError>;

  // Calls visit(entry, result) once for every entry of files(), in the order of the records'
  // first blocks in the file, with exactly the bytes or the error get_file(entry.id) would give.
  // Much faster than get_file() per entry on large archives: it reads the file in large windows
  // and takes every record whose blocks lie inside one from there, without a read of its own. A
  // visitor that returns bool stops the walk by returning false; one that returns void sees
  // every entry.
  //
  //   db.for_each_file([&](const DatFileEntry& e, DatDatabase::FileResult bytes) {
  //     if (bytes) write_out(e.id, *bytes);
  //   });
  template <class Visit>
  void for_each_file(Visit&& visit) const {
    using Result = std::invoke_result_t<Visit&, const DatFileEntry&, FileResult>;
    visit_files(const_cast<void*>(static_cast<const void*>(std::addressof(visit))),
                [](void* v, const DatFileEntry& entry, FileResult result) {
                  auto& f = *static_cast<std::remove_reference_t<Visit>*>(v);
                  if constexpr (std::is_void_v<Result>) {
                    std::invoke(f, entry, std::move(result));
                    return true;
                  } else {
                    return static_cast<bool>(std::invoke(f, entry, std::move(result)));
                  }
                });
  }

  // Reads `size` content bytes of the block chain starting at `offset`. Each block starts with
  // the absolute offset of the next (0 for the last); the last block supplies all remaining
  // bytes, even past its own end. Io with "failed to fill whole buffer" when a read reaches past
  // the end of the file; Corruption when the chain could only supply `size` by visiting more
  // blocks than the file holds, or the geometry leaves no room for a payload.
  [[nodiscard]] Expected<std::vector<std::uint8_t>, DatError> read_file_data(
      std::uint32_t offset, std::uint32_t size) const;

  // Walks the directory tree from the header's root_offset and fills files(): depth first, a
  // node's entries before its subtrees, subtrees in slot order; where an id repeats, the entry
  // met last stays. Opening calls it; calling it again walks the archive again.
  [[nodiscard]] Expected<void, DatError> read_directory();

 private:
  DatDatabase(File file, DatHeader header, std::uint64_t file_size) noexcept
      : file_(std::move(file)), header_(std::move(header)), file_size_(file_size) {}

  // for_each_file() without the template: `call(visitor, entry, result)` returns false to stop.
  using VisitFn = bool (*)(void* visitor, const DatFileEntry& entry, FileResult result);
  void visit_files(void* visitor, VisitFn call) const;

  // Walks the subtree whose root node is at `offset`, appending its entries in walk order.
  [[nodiscard]] Expected<void, DatError> read_node(std::uint32_t offset,
                                                   std::vector<DatFileEntry>& entries) const;

  File file_;
  DatHeader header_;
  FileMap files_;
  std::uint64_t file_size_ = 0;
};

}  // namespace quorvale_dat
