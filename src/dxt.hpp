// Decoding of DXT (S3TC) block-compressed pixels into 8-bit RGBA.
//
// The image is cut into 4x4 blocks, left to right and top to bottom; blocks on the right and
// bottom edges cover pixels beyond the image, which are dropped. A colour block is two RGB565
// end points and sixteen 2-bit indices. Dxt1 uses 8 bytes per block, with a transparent black
// when the first end point is not above the second. Dxt2 and Dxt3 put 16 explicit 4-bit alphas
// before the colour block; Dxt4 and Dxt5 two 8-bit alpha end points and sixteen 3-bit indices.
// Dxt2 and Dxt4 hold colours premultiplied by alpha; they are divided out here, so every result
// is straight (non-premultiplied) RGBA. Private to the image module (image.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace quorvale_dat::detail {

enum class DxtKind { Dxt1, Dxt2, Dxt3, Dxt4, Dxt5 };

// Bytes of one block: 8 for Dxt1, 16 for the others.
[[nodiscard]] constexpr std::size_t dxt_block_bytes(DxtKind kind) noexcept {
  return kind == DxtKind::Dxt1 ? 8 : 16;
}

// Bytes of a width x height image: one block per started 4x4 square.
[[nodiscard]] constexpr std::uint64_t dxt_image_bytes(DxtKind kind, std::uint32_t width,
                                                      std::uint32_t height) noexcept {
  return (std::uint64_t{width} + 3) / 4 * ((std::uint64_t{height} + 3) / 4) * dxt_block_bytes(kind);
}

// Decodes one block into 16 RGBA pixels (64 bytes), row by row.
// Requires: block.size() == dxt_block_bytes(kind).
void decode_dxt_block(DxtKind kind, std::span<const std::uint8_t> block,
                      std::span<std::uint8_t, 64> rgba) noexcept;

// Decodes a whole image into rgba (4 bytes per pixel, rows of width pixels).
// Requires: data.size() >= dxt_image_bytes(kind, width, height) and
//           rgba.size() == 4 * width * height.
void decode_dxt(DxtKind kind, std::span<const std::uint8_t> data, std::uint32_t width,
                std::uint32_t height, std::span<std::uint8_t> rgba) noexcept;

}  // namespace quorvale_dat::detail
