// A texture's pixels as an image ready for PNG: every supported pixel format converted to 8-bit
// RGBA, 8-bit grey, or 8-bit indices into a palette of up to 256 colours.
//
//   R8G8B8     3 bytes B, G, R              -> RGBA, opaque
//   A8R8G8B8   4 bytes B, G, R, A           -> RGBA
//   R5G6B5     u16 rrrrrggg gggbbbbb        -> RGBA, opaque, channels widened to 8 bits
//   A4R4G4B4   u16 aaaarrrr ggggbbbb        -> RGBA, channels times 17
//   A8         1 byte alpha                 -> grey, the alpha as its level
//   P8         1 byte index                 -> indexed, with the palette's colours
//   Index16    u16 index                    -> RGBA through the palette
//   Dxt1-Dxt5  4x4 blocks (dxt.hpp)         -> RGBA
// Multi-byte values are little-endian. An index beyond the palette is transparent black, the
// colour 0x00000000, as the surface report shows it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "quorvale_dat/expected.hpp"
#include "quorvale_dat/file_type/texture.hpp"

namespace quorvale_dat::cli {

struct Image {
  enum class Kind { Rgba, Grey, Indexed };
  Kind kind = Kind::Rgba;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::vector<std::uint8_t> pixels;    // rows of width pixels: 4, 1 or 1 bytes each
  std::vector<std::uint32_t> palette;  // Indexed: ARGB colours, 1 to 256 of them
};

// How a format is exported.
enum class Export { Png, Jpeg, Unsupported };
[[nodiscard]] Export export_of(file_type::SurfacePixelFormat format) noexcept;

// P8 and Index16 need a palette.
[[nodiscard]] bool is_indexed(file_type::SurfacePixelFormat format) noexcept;

// The texture's pixels as an image. `palette` holds the ARGB colours of an indexed texture's
// palette and is ignored for the other formats. Fails, with the reason, for a format without a
// PNG export, a width or height below 1, or pixel data whose length is not what the size and
// format need.
[[nodiscard]] Expected<Image, std::string> to_image(const file_type::Texture& texture,
                                                    std::span<const std::uint32_t> palette);

// The bytes that `width` x `height` pixels of `format` take, if the format has a fixed size.
[[nodiscard]] std::optional<std::uint64_t> expected_length(file_type::SurfacePixelFormat format,
                                                           std::uint32_t width,
                                                           std::uint32_t height) noexcept;

}  // namespace quorvale_dat::cli
