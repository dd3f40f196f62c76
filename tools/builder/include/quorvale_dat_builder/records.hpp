// Record bytes from record values: the inverse of the file_type decoders, for building test and
// sample archives.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "quorvale_dat/file_type/palette.hpp"
#include "quorvale_dat/file_type/surface.hpp"
#include "quorvale_dat/file_type/surface_texture.hpp"
#include "quorvale_dat/file_type/texture.hpp"

namespace quorvale_dat::build {

// A Texture whose length matches its pixels.
[[nodiscard]] file_type::Texture make_texture(std::uint32_t id, std::int32_t width,
                                              std::int32_t height, std::uint32_t format_raw,
                                              std::vector<std::uint8_t> pixels,
                                              std::optional<std::uint32_t> default_palette_id = {});

[[nodiscard]] std::vector<std::uint8_t> encode_surface(const file_type::Surface& surface);
[[nodiscard]] std::vector<std::uint8_t> encode_surface_texture(
    const file_type::SurfaceTexture& surface_texture);
// Writes `length` as stored (it may disagree with source_data for crafted records), the pixel
// bytes, and default_palette_id when present.
[[nodiscard]] std::vector<std::uint8_t> encode_texture(const file_type::Texture& texture);
[[nodiscard]] std::vector<std::uint8_t> encode_palette(const file_type::Palette& palette);

// The records dump_surface_80003e4 follows, for archives that are to give it a whole report: the
// Surface, its SurfaceTexture, the list's two Textures, the palettes of the texture and of the
// surface, and the two palettes the report looks up by id.
namespace report_ids {
inline constexpr std::uint32_t kSurface = 0x080003E4;
inline constexpr std::uint32_t kSurfaceTexture = 0x05000A10;
inline constexpr std::uint32_t kTexture = 0x06000C30;
inline constexpr std::uint32_t kMipTexture = 0x06000C31;
inline constexpr std::uint32_t kTexturePalette = 0x0400112A;
inline constexpr std::uint32_t kSurfacePalette = 0x04000B20;
inline constexpr std::uint32_t kFixedPalettes[] = {0x040010BE, 0x04000DC0};
}  // namespace report_ids

}  // namespace quorvale_dat::build
