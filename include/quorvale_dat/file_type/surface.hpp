// Surface records (ids 0x08xxxxxx): a flat colour or a texture reference, plus three lighting
// factors.
//
// Layout, little-endian: u32 surface_type; then, when surface_type & 0x6 is non-zero, a
// TextureRefs (u32 orig_texture_id, u32 orig_palette_id), else a u32 color_value; then f32
// translucency, luminosity, diffuse. Bytes after the last field are ignored.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "quorvale_dat/reader.hpp"

namespace quorvale_dat::file_type {

struct TextureRefs {
  std::uint32_t orig_texture_id = 0;  // a SurfaceTexture (0x05xxxxxx) or a texture id
  std::uint32_t orig_palette_id = 0;

  [[nodiscard]] static ParseResult<TextureRefs> read(SpanCursor& cursor);

  friend bool operator==(const TextureRefs&, const TextureRefs&) = default;
};

struct Surface {
  std::uint32_t surface_type = 0;
  std::optional<TextureRefs> texture_refs;   // present exactly when surface_type & 0x6
  std::optional<std::uint32_t> color_value;  // present exactly when !(surface_type & 0x6)
  float translucency = 0;
  float luminosity = 0;
  float diffuse = 0;

  [[nodiscard]] static ParseResult<Surface> read(SpanCursor& cursor);
  // Decodes a whole record from its first byte.
  [[nodiscard]] static ParseResult<Surface> unpack(std::span<const std::uint8_t> bytes);
};

}  // namespace quorvale_dat::file_type
