// DatHeader: the 80-byte archive header at file offset 320 (0x140).
//
// Sixteen little-endian u32 fields and a 16-byte version string, in file order. Nothing in it is
// validated when an archive is opened: only `block_size` and `root_offset` are used by the
// reader; the rest is held for callers.
#pragma once

#include <cstdint>
#include <vector>

#include "quorvale_dat/format.hpp"
#include "quorvale_dat/reader.hpp"

namespace quorvale_dat {

// Where it lies: format::kHeaderOffset and format::kHeaderSize.
struct DatHeader {
  std::uint32_t magic = 0;
  std::uint32_t block_size = 0;  // bytes per block, including its 4-byte next-block pointer
  std::uint32_t file_size = 0;
  std::uint32_t dataset = 0;
  std::uint32_t subset = 0;
  std::uint32_t free_head = 0;
  std::uint32_t free_tail = 0;
  std::uint32_t free_count = 0;
  std::uint32_t root_offset = 0;  // offset of the root directory node; 0 for an empty directory
  std::uint32_t new_lru = 0;
  std::uint32_t old_lru = 0;
  std::uint32_t use_lru = 0;
  std::uint32_t master_map_id = 0;
  std::uint32_t engine_version = 0;
  std::uint32_t game_version = 0;
  std::vector<std::uint8_t> version_string;  // exactly 16 raw bytes, not decoded as text
  std::uint32_t version_minor = 0;

  // Reads the header at the cursor's position, field by field. A failing field carries the frame
  // "While parsing field '<name>' in DatHeader"; the cursor is put back on failure.
  [[nodiscard]] static ParseResult<DatHeader> read(SpanCursor& cursor);

  friend bool operator==(const DatHeader&, const DatHeader&) = default;
};

}  // namespace quorvale_dat
