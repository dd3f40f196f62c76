// A small DXT (S3TC) encoder for the textures of test and sample archives: 8-bit RGBA pixels in,
// Dxt1, Dxt3 or Dxt5 blocks out. Each 4x4 block takes its darkest and brightest pixels as colour
// end points and every pixel the nearest of the block's colours; Dxt5 does the same with alpha.
// Enough for recognizable pictures, not a quality encoder. Dxt2 and Dxt4 data is Dxt3 and Dxt5
// data made from pixels premultiplied by their alpha (premultiply() below).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace quorvale_dat::build {

enum class DxtFormat { Dxt1, Dxt3, Dxt5 };

// Blocks for `width` x `height` pixels (4 bytes each, R, G, B, A, rows top down). Blocks on the
// right and bottom edges repeat the last column and row. In Dxt1 a pixel with alpha below 128
// becomes transparent black.
// Requires: rgba.size() == 4 * width * height, width and height at least 1.
[[nodiscard]] std::vector<std::uint8_t> encode_dxt(DxtFormat format,
                                                   std::span<const std::uint8_t> rgba,
                                                   std::uint32_t width, std::uint32_t height);

// The pixels with red, green and blue multiplied by alpha / 255, rounded.
[[nodiscard]] std::vector<std::uint8_t> premultiply(std::span<const std::uint8_t> rgba);

}  // namespace quorvale_dat::build
