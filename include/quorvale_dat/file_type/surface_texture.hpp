// SurfaceTexture records (ids 0x05xxxxxx): a list of texture ids.
//
// Layout, little-endian: u32 id, i32 unknown_int, u8 unknown_byte, i32 count, count x u32 ids
// (the count sits at the unaligned offset 9). Bytes after the last id are ignored.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "quorvale_dat/reader.hpp"

namespace quorvale_dat::file_type {

struct SurfaceTexture {
  std::uint32_t id = 0;  // as stored; not compared with the id it was fetched by
  std::int32_t unknown_int = 0;
  std::uint8_t unknown_byte = 0;
  std::vector<std::uint32_t> textures;

  [[nodiscard]] static ParseResult<SurfaceTexture> read(SpanCursor& cursor);
  [[nodiscard]] static ParseResult<SurfaceTexture> unpack(std::span<const std::uint8_t> bytes);

  friend bool operator==(const SurfaceTexture&, const SurfaceTexture&) = default;
};

// Reads an i32 count and that many u32 texture ids, little-endian.
[[nodiscard]] ParseResult<std::vector<std::uint32_t>> parse_texture_ids(SpanCursor& cursor);

}  // namespace quorvale_dat::file_type
