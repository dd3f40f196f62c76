#include "quorvale_dat_builder/dxt_encoder.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdlib>

namespace quorvale_dat::build {
namespace {

using Pixel = std::array<int, 4>;  // R, G, B, A

int to565(const Pixel& p) {
  const auto q = [](int v, int bits) { return (v * ((1 << bits) - 1) + 127) / 255; };
  return q(p[0], 5) << 11 | q(p[1], 6) << 5 | q(p[2], 5);
}

Pixel from565(int c) {
  const int r = c >> 11 & 0x1F;
  const int g = c >> 5 & 0x3F;
  const int b = c & 0x1F;
  return {r << 3 | r >> 2, g << 2 | g >> 4, b << 3 | b >> 2, 255};
}

int distance(const Pixel& a, const Pixel& b) {
  int d = 0;
  for (std::size_t ch = 0; ch < 3; ++ch) d += (a[ch] - b[ch]) * (a[ch] - b[ch]);
  return d;
}

int luma(const Pixel& p) { return 299 * p[0] + 587 * p[1] + 114 * p[2]; }

void put_u16(std::vector<std::uint8_t>& out, int v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}

// The colour block of 16 pixels. In Dxt1, a block with pixels of alpha below 128 uses the
// three-colour mode, whose fourth code is transparent black.
void encode_colours(const std::array<Pixel, 16>& block, bool dxt1, std::vector<std::uint8_t>& out) {
  bool any_clear = false;
  const Pixel* lo = nullptr;
  const Pixel* hi = nullptr;
  for (const Pixel& p : block) {
    if (dxt1 && p[3] < 128) {
      any_clear = true;
      continue;
    }
    if (lo == nullptr || luma(p) < luma(*lo)) lo = &p;
    if (hi == nullptr || luma(p) > luma(*hi)) hi = &p;
  }
  int c0 = lo == nullptr ? 0 : to565(*hi);
  int c1 = lo == nullptr ? 0 : to565(*lo);
  // Four colours need c0 > c1, three colours and transparent black c0 <= c1.
  const bool three = dxt1 && any_clear;
  if (three ? c0 > c1 : c0 < c1) std::swap(c0, c1);
  std::array<Pixel, 4> codes{from565(c0), from565(c1), Pixel{}, Pixel{}};
  for (std::size_t ch = 0; ch < 3; ++ch) {
    if (three) {
      codes[2][ch] = (codes[0][ch] + codes[1][ch]) / 2;
    } else {
      codes[2][ch] = (2 * codes[0][ch] + codes[1][ch]) / 3;
      codes[3][ch] = (codes[0][ch] + 2 * codes[1][ch]) / 3;
    }
  }
  std::uint32_t indices = 0;
  for (std::size_t i = 0; i < 16; ++i) {
    std::uint32_t best = 0;
    if (three && block[i][3] < 128) {
      best = 3;
    } else {
      const std::uint32_t choices = three ? 3 : 4;
      for (std::uint32_t k = 1; k < choices; ++k) {
        if (distance(block[i], codes[k]) < distance(block[i], codes[best])) best = k;
      }
    }
    indices |= best << (2 * i);
  }
  put_u16(out, c0);
  put_u16(out, c1);
  for (int shift = 0; shift < 32; shift += 8)
    out.push_back(static_cast<std::uint8_t>(indices >> shift));
}

void encode_explicit_alpha(const std::array<Pixel, 16>& block, std::vector<std::uint8_t>& out) {
  for (std::size_t i = 0; i < 16; i += 2) {
    const int lo = (block[i][3] * 15 + 127) / 255;
    const int hi = (block[i + 1][3] * 15 + 127) / 255;
    out.push_back(static_cast<std::uint8_t>(lo | hi << 4));
  }
}

// Eight alphas between the block's highest and lowest (a0 > a1); a flat block uses a0 == a1.
void encode_interpolated_alpha(const std::array<Pixel, 16>& block, std::vector<std::uint8_t>& out) {
  int a0 = 0;
  int a1 = 255;
  for (const Pixel& p : block) {
    a0 = std::max(a0, p[3]);
    a1 = std::min(a1, p[3]);
  }
  std::array<int, 8> codes{a0, a1};
  for (int i = 1; i < 7; ++i) codes[static_cast<std::size_t>(1 + i)] = ((7 - i) * a0 + i * a1) / 7;
  std::uint64_t bits = 0;
  for (std::size_t i = 0; i < 16; ++i) {
    std::uint64_t best = 0;
    if (a0 > a1) {
      for (std::size_t k = 1; k < 8; ++k) {
        if (std::abs(block[i][3] - codes[k]) < std::abs(block[i][3] - codes[best])) best = k;
      }
    }
    bits |= best << (3 * i);
  }
  out.push_back(static_cast<std::uint8_t>(a0));
  out.push_back(static_cast<std::uint8_t>(a1));
  for (int shift = 0; shift < 48; shift += 8)
    out.push_back(static_cast<std::uint8_t>(bits >> shift));
}

}  // namespace

std::vector<std::uint8_t> encode_dxt(DxtFormat format, std::span<const std::uint8_t> rgba,
                                     std::uint32_t width, std::uint32_t height) {
  std::vector<std::uint8_t> out;
  for (std::uint32_t by = 0; by < height; by += 4) {
    for (std::uint32_t bx = 0; bx < width; bx += 4) {
      std::array<Pixel, 16> block{};
      for (std::uint32_t i = 0; i < 16; ++i) {
        const std::size_t x = std::min(bx + i % 4, width - 1);
        const std::size_t y = std::min(by + i / 4, height - 1);
        for (std::size_t ch = 0; ch < 4; ++ch) block[i][ch] = rgba[4 * (y * width + x) + ch];
      }
      switch (format) {
        case DxtFormat::Dxt1:
          encode_colours(block, true, out);
          break;
        case DxtFormat::Dxt3:
          encode_explicit_alpha(block, out);
          encode_colours(block, false, out);
          break;
        case DxtFormat::Dxt5:
          encode_interpolated_alpha(block, out);
          encode_colours(block, false, out);
          break;
      }
    }
  }
  return out;
}

std::vector<std::uint8_t> premultiply(std::span<const std::uint8_t> rgba) {
  std::vector<std::uint8_t> out(rgba.begin(), rgba.end());
  for (std::size_t i = 0; i + 3 < out.size(); i += 4) {
    for (std::size_t ch = 0; ch < 3; ++ch) {
      out[i + ch] = static_cast<std::uint8_t>((out[i + ch] * out[i + 3] + 127) / 255);
    }
  }
  return out;
}

}  // namespace quorvale_dat::build
