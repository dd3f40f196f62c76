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

}  // namespace quorvale_dat::build
