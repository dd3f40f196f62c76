// Large benchmark archives of a chosen shape: a number of records of the four record types
// (palettes, texture lists, textures, surfaces) with texture-like content, a chosen share of them
// LRS-compressed, in block chains laid out back to back or scattered over the file, under a
// balanced directory of full nodes. The archive is planned first (a few bytes per record), then
// written block by block to a file, so a million records and a gigabyte need little memory.
//
//   ArchiveShape shape{.entries = 1'000'000, .layout = ChainLayout::Scattered};
//   ArchivePlan plan = plan_archive(shape).value();
//   auto summary = write_archive(plan, "build/bench-data/s1024.dat");
//
// The archive always holds what dump_surface_80003e4 reads: Surface 0x080003E4, its
// SurfaceTexture 0x05000A10, the P8 Texture 0x06000C30 and palettes 0x0400112A, 0x04000B20,
// 0x040010BE and 0x04000DC0, so the tool's run on it is a complete one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "quorvale_dat/expected.hpp"
#include "texture_content.hpp"

namespace quorvale_dat::bench {

enum class ChainLayout { Contiguous, Scattered };

struct ArchiveShape {
  std::uint64_t entries = 1'000'000;
  // Total record content (what get_file returns), before compression; the records' sizes vary
  // around data_bytes / entries.
  std::uint64_t data_bytes = std::uint64_t{1} << 30;
  std::uint32_t block_size = 1024;
  // Contiguous: each chain's blocks back to back, the chains in id order and the directory nodes
  // after them. Scattered: every block of every chain (nodes included) at a seeded random place.
  ChainLayout layout = ChainLayout::Contiguous;
  // The share of texture and palette records stored LRS-compressed (texture lists and surfaces,
  // a few dozen bytes each, are stored as they are).
  double compressed_share = 0.25;
  std::uint64_t seed = 1;
};

// Parses the generator's options: --entries N, --data-bytes B (a K, M or G suffix multiplies by
// 1024, 1024^2 or 1024^3), --block-size, --layout contiguous|scattered, --compressed-share 0..1,
// --seed, and --out PATH into `out`. An unknown option or a bad value is an error text.
[[nodiscard]] Expected<ArchiveShape, std::string> parse_shape(
    std::span<const std::string_view> args, std::filesystem::path& out);

// A short name for the shape, usable as a file name: "c1024-n1000000-d1073741824-z0.25-s1".
[[nodiscard]] std::string shape_key(const ArchiveShape& shape);

enum class RecordType : std::uint8_t {
  Palette = 0x04,
  TextureList = 0x05,
  Texture = 0x06,
  Surface = 0x08
};

// One record as planned: enough to make its content again at any time.
struct RecordPlan {
  std::uint32_t id = 0;
  std::uint32_t content_size = 0;
  std::uint32_t height =
      0;  // textures: height; texture lists: texture count; surfaces: 1 if textured
  std::uint16_t width = 0;  // textures: width
  PixelFormat format = PixelFormat::P8;
  bool compressed = false;

  [[nodiscard]] RecordType type() const noexcept { return static_cast<RecordType>(id >> 24); }
};

struct ArchivePlan {
  ArchiveShape shape;
  std::vector<RecordPlan> records;  // ascending id order
  // Ids of each type, for the references between records.
  std::vector<std::uint32_t> palette_ids, texture_list_ids, texture_ids;
};

// Plans an archive of `shape`. Errors: fewer than 8 entries (the tool's records alone take 8),
// more than the id space holds, a block size below 8, a share outside 0..1.
[[nodiscard]] Expected<ArchivePlan, std::string> plan_archive(const ArchiveShape& shape);

// The bytes get_file returns for record `index` of the plan. Deterministic.
[[nodiscard]] std::vector<std::uint8_t> record_content(const ArchivePlan& plan, std::size_t index);

struct ArchiveSummary {
  std::uint64_t entries = 0;
  std::uint64_t content_bytes = 0;  // all records, as get_file returns them
  std::uint64_t stored_bytes = 0;   // all records, as stored
  std::uint64_t compressed_records = 0;
  std::uint64_t compressed_content_bytes = 0;
  std::uint64_t compressed_stored_bytes = 0;
  std::uint64_t file_size = 0;
  std::uint64_t blocks = 0;  // records' and nodes' blocks
  std::uint64_t nodes = 0;
  std::uint32_t depth = 0;  // levels of the directory tree
};

// Writes the planned archive to `path` (through a temporary file beside it, renamed at the end,
// so that an interrupted run leaves no archive behind). Uses `threads` threads to compress.
// Errors: a file past the 4 GiB that 32-bit offsets reach, or a failed write.
[[nodiscard]] Expected<ArchiveSummary, std::string> write_archive(const ArchivePlan& plan,
                                                                  const std::filesystem::path& path,
                                                                  unsigned threads = 2);

// The content of the texture and palette records of a small archive planned from `seed`: a
// sample of the archives' compressible records, about `total_bytes` in all.
[[nodiscard]] std::vector<std::vector<std::uint8_t>> compressible_samples(std::uint64_t seed,
                                                                          std::size_t total_bytes);

}  // namespace quorvale_dat::bench
