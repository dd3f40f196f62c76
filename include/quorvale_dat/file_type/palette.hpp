// Palette records (ids 0x04xxxxxx): a list of 32-bit colours, alpha in bits 24-31, then red,
// green and blue.
//
// Layout, little-endian: u32 id, i32 count, count x u32 colours. Bytes after the last colour are
// ignored; there is no limit on the number of colours.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "quorvale_dat/reader.hpp"

namespace quorvale_dat::file_type {

struct Palette {
  std::uint32_t id = 0;  // as stored; not compared with the id it was fetched by
  std::vector<std::uint32_t> colors;

  [[nodiscard]] static ParseResult<Palette> read(SpanCursor& cursor);
  [[nodiscard]] static ParseResult<Palette> unpack(std::span<const std::uint8_t> bytes);

  friend bool operator==(const Palette&, const Palette&) = default;
};

// Reads an i32 count and that many u32 colours, little-endian.
[[nodiscard]] ParseResult<std::vector<std::uint32_t>> parse_colors(SpanCursor& cursor);

}  // namespace quorvale_dat::file_type
