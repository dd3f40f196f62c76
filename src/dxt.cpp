#include "dxt.hpp"

#include <algorithm>
#include <array>

namespace quorvale_dat::detail {
namespace {

using Rgba = std::array<std::uint8_t, 4>;

std::uint32_t load_le(std::span<const std::uint8_t> bytes, std::size_t count) noexcept {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < count; ++i) value |= std::uint32_t{bytes[i]} << (8 * i);
  return value;
}

// A 5- or 6-bit channel widened to 8 bits by repeating its high bits in the low ones, so that
// the maximum becomes 255.
std::uint8_t widen(std::uint32_t value, int bits) noexcept {
  return static_cast<std::uint8_t>(value << (8 - bits) | value >> (2 * bits - 8));
}

Rgba rgb565(std::uint32_t value) noexcept {
  return {widen(value >> 11 & 0x1F, 5), widen(value >> 5 & 0x3F, 6), widen(value & 0x1F, 5), 255};
}

std::uint8_t mix(std::uint32_t a, std::uint32_t wa, std::uint32_t b, std::uint32_t wb) noexcept {
  return static_cast<std::uint8_t>((wa * a + wb * b) / (wa + wb));
}

// The colour block at `block` (8 bytes). `four_colours` forces the four-colour mode that every
// format but Dxt1 uses whatever the order of the end points.
void decode_colours(std::span<const std::uint8_t> block, bool four_colours,
                    std::span<std::uint8_t, 64> rgba) noexcept {
  const std::uint32_t c0 = load_le(block, 2);
  const std::uint32_t c1 = load_le(block.subspan(2), 2);
  std::array<Rgba, 4> codes{rgb565(c0), rgb565(c1), Rgba{}, Rgba{}};
  const bool opaque_four = four_colours || c0 > c1;
  for (std::size_t ch = 0; ch < 3; ++ch) {
    const std::uint32_t a = codes[0][ch];
    const std::uint32_t b = codes[1][ch];
    if (opaque_four) {
      codes[2][ch] = mix(a, 2, b, 1);
      codes[3][ch] = mix(a, 1, b, 2);
    } else {
      codes[2][ch] = mix(a, 1, b, 1);
      codes[3][ch] = 0;
    }
  }
  codes[2][3] = 255;
  codes[3][3] = opaque_four ? 255 : 0;

  const std::uint32_t indices = load_le(block.subspan(4), 4);
  for (std::size_t i = 0; i < 16; ++i) {
    const Rgba& c = codes[indices >> (2 * i) & 3];
    std::copy(c.begin(), c.end(), rgba.begin() + static_cast<std::ptrdiff_t>(4 * i));
  }
}

// Sixteen explicit 4-bit alphas, low nibble first.
void decode_explicit_alpha(std::span<const std::uint8_t> block,
                           std::span<std::uint8_t, 64> rgba) noexcept {
  for (std::size_t i = 0; i < 16; ++i) {
    const std::uint32_t nibble = block[i / 2] >> (4 * (i % 2)) & 0xF;
    rgba[4 * i + 3] = static_cast<std::uint8_t>(nibble * 17);
  }
}

// Two alpha end points and sixteen 3-bit indices. With the first end point above the second,
// six values lie between them; otherwise four do, and indices 6 and 7 are 0 and 255.
void decode_interpolated_alpha(std::span<const std::uint8_t> block,
                               std::span<std::uint8_t, 64> rgba) noexcept {
  const std::uint32_t a0 = block[0];
  const std::uint32_t a1 = block[1];
  std::array<std::uint8_t, 8> codes{static_cast<std::uint8_t>(a0), static_cast<std::uint8_t>(a1)};
  if (a0 > a1) {
    for (std::uint32_t i = 1; i < 7; ++i) codes[1 + i] = mix(a0, 7 - i, a1, i);
  } else {
    for (std::uint32_t i = 1; i < 5; ++i) codes[1 + i] = mix(a0, 5 - i, a1, i);
    codes[6] = 0;
    codes[7] = 255;
  }
  // 48 bits of indices, three per pixel, in two 24-bit halves.
  for (std::size_t half = 0; half < 2; ++half) {
    const std::uint32_t bits = load_le(block.subspan(2 + 3 * half), 3);
    for (std::size_t i = 0; i < 8; ++i) rgba[4 * (8 * half + i) + 3] = codes[bits >> (3 * i) & 7];
  }
}

void unpremultiply(std::span<std::uint8_t, 64> rgba) noexcept {
  for (std::size_t i = 0; i < 64; i += 4) {
    const std::uint32_t a = rgba[i + 3];
    if (a == 0 || a == 255) continue;
    for (std::size_t ch = 0; ch < 3; ++ch) {
      rgba[i + ch] = static_cast<std::uint8_t>(
          std::min<std::uint32_t>(255, (rgba[i + ch] * 255u + a / 2) / a));
    }
  }
}

}  // namespace

void decode_dxt_block(DxtKind kind, std::span<const std::uint8_t> block,
                      std::span<std::uint8_t, 64> rgba) noexcept {
  if (kind == DxtKind::Dxt1) {
    decode_colours(block, false, rgba);
    return;
  }
  decode_colours(block.subspan(8), true, rgba);
  if (kind == DxtKind::Dxt2 || kind == DxtKind::Dxt3) {
    decode_explicit_alpha(block, rgba);
  } else {
    decode_interpolated_alpha(block, rgba);
  }
  if (kind == DxtKind::Dxt2 || kind == DxtKind::Dxt4) unpremultiply(rgba);
}

void decode_dxt(DxtKind kind, std::span<const std::uint8_t> data, std::uint32_t width,
                std::uint32_t height, std::span<std::uint8_t> rgba) noexcept {
  const std::size_t block_bytes = dxt_block_bytes(kind);
  const std::size_t blocks_across = (std::size_t{width} + 3) / 4;
  std::array<std::uint8_t, 64> pixels{};
  for (std::size_t by = 0; by < (std::size_t{height} + 3) / 4; ++by) {
    for (std::size_t bx = 0; bx < blocks_across; ++bx) {
      const std::size_t index = by * blocks_across + bx;
      decode_dxt_block(kind, data.subspan(index * block_bytes, block_bytes), pixels);
      for (std::size_t py = 0; py < 4 && 4 * by + py < height; ++py) {
        for (std::size_t px = 0; px < 4 && 4 * bx + px < width; ++px) {
          const std::size_t src = 4 * (4 * py + px);
          const std::size_t dst = 4 * ((4 * by + py) * width + 4 * bx + px);
          std::copy_n(pixels.begin() + static_cast<std::ptrdiff_t>(src), 4,
                      rgba.begin() + static_cast<std::ptrdiff_t>(dst));
        }
      }
    }
  }
}

}  // namespace quorvale_dat::detail
