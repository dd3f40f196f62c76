#include "texture_content.hpp"

#include <algorithm>
#include <array>

namespace quorvale_dat::bench {
namespace {

constexpr std::uint32_t kP8 = 41;
constexpr std::uint32_t kA8R8G8B8 = 21;
constexpr std::uint32_t kR5G6B5 = 23;
constexpr std::uint32_t kDxt1 = 0x31545844;  // "DXT1"

std::uint32_t hash2(std::uint32_t x, std::uint32_t y, std::uint32_t seed) noexcept {
  std::uint32_t h = (x * 0x8DA6B343u) ^ (y * 0xD8163841u) ^ (seed * 0xCB1AB31Fu);
  h ^= h >> 13;
  h *= 0x85EBCA6Bu;
  h ^= h >> 16;
  return h;
}

// Value noise in 0..255: random values on a grid of 2^log2_cell pixels, interpolated
// bilinearly. A row is made at once: the vertical interpolation happens once per grid column,
// so a pixel costs one horizontal interpolation.
class ValueNoise {
 public:
  ValueNoise(std::uint32_t log2_cell, std::uint32_t seed) noexcept
      : log2_(log2_cell), cell_(1u << log2_cell), seed_(seed) {}

  // Writes the noise of row y, columns 0 to row.size() - 1.
  void row(std::uint32_t y, std::vector<std::uint32_t>& row_values) const {
    const std::uint32_t cy = y >> log2_;
    const std::uint32_t fy = y & (cell_ - 1);
    const auto column = [&](std::uint32_t cx) {
      return (hash2(cx, cy, seed_) & 0xFF) * (cell_ - fy) + (hash2(cx, cy + 1, seed_) & 0xFF) * fy;
    };
    const auto width = static_cast<std::uint32_t>(row_values.size());
    std::uint32_t left = column(0);
    for (std::uint32_t cx = 0; cx * cell_ < width; ++cx) {
      const std::uint32_t right = column(cx + 1);
      const std::uint32_t end = std::min(width, (cx + 1) * cell_);
      for (std::uint32_t x = cx * cell_; x < end; ++x) {
        const std::uint32_t fx = x & (cell_ - 1);
        row_values[x] = (left * (cell_ - fx) + right * fx) >> (2 * log2_);
      }
      left = right;
    }
  }

  // The noise at one pixel.
  [[nodiscard]] std::uint32_t at(std::uint32_t x, std::uint32_t y) const noexcept {
    const std::uint32_t cx = x >> log2_;
    const std::uint32_t cy = y >> log2_;
    const std::uint32_t fx = x & (cell_ - 1);
    const std::uint32_t fy = y & (cell_ - 1);
    const std::uint32_t top =
        (hash2(cx, cy, seed_) & 0xFF) * (cell_ - fx) + (hash2(cx + 1, cy, seed_) & 0xFF) * fx;
    const std::uint32_t bottom = (hash2(cx, cy + 1, seed_) & 0xFF) * (cell_ - fx) +
                                 (hash2(cx + 1, cy + 1, seed_) & 0xFF) * fx;
    return (top * (cell_ - fy) + bottom * fy) >> (2 * log2_);
  }

 private:
  std::uint32_t log2_;
  std::uint32_t cell_;
  std::uint32_t seed_;
};

struct Rgb {
  std::uint32_t r, g, b;
};

Rgb random_rgb(SplitMix& rng) { return {rng.below(256), rng.below(256), rng.below(256)}; }

std::uint32_t clamp_channel(std::int64_t v) noexcept {
  return static_cast<std::uint32_t>(std::clamp<std::int64_t>(v, 0, 255));
}

// c0 + (c1 - c0) * t / 255 on each channel, plus `jitter`.
Rgb lerp(const Rgb& c0, const Rgb& c1, std::uint32_t t, std::int64_t jitter) noexcept {
  const auto mix = [&](std::uint32_t a, std::uint32_t b) {
    return clamp_channel(static_cast<std::int64_t>(a) +
                         (static_cast<std::int64_t>(b) - static_cast<std::int64_t>(a)) *
                             static_cast<std::int64_t>(t) / 255 +
                         jitter);
  };
  return {mix(c0.r, c1.r), mix(c0.g, c1.g), mix(c0.b, c1.b)};
}

std::uint16_t to_565(const Rgb& c) noexcept {
  return static_cast<std::uint16_t>((c.r >> 3) << 11 | (c.g >> 2) << 5 | (c.b >> 3));
}

void put_u16(std::vector<std::uint8_t>& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}

void put_u32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}

constexpr std::array<std::array<std::uint32_t, 4>, 4> kBayer = {
    {{0, 8, 2, 10}, {12, 4, 14, 6}, {3, 11, 1, 9}, {15, 7, 13, 5}}};

// 8-bit indexed pixels: posterized noise (terrain masks), bricks, or a dithered gradient.
void p8_pixels(std::uint32_t w, std::uint32_t h, SplitMix& rng, std::vector<std::uint8_t>& out) {
  const auto seed = static_cast<std::uint32_t>(rng.next());
  const ValueNoise coarse(4 + rng.below(2), seed);
  const ValueNoise fine(2 + rng.below(2), seed ^ 0x5555u);
  std::vector<std::uint32_t> a(w), b(w);
  const std::uint32_t base = rng.below(64);
  switch (rng.below(3)) {
    case 0: {  // bands of constant index with sparse speckles
      const std::uint32_t bands = 4 + rng.below(12);
      const std::uint32_t step = 1 + rng.below(12);
      for (std::uint32_t y = 0; y < h; ++y) {
        coarse.row(y, a);
        fine.row(y, b);
        for (std::uint32_t x = 0; x < w; ++x) {
          std::uint32_t index = base + ((3 * a[x] + b[x]) / 4 * bands >> 8) * step;
          if ((hash2(x, y, seed) & 63) == 0) index ^= 1;
          out.push_back(static_cast<std::uint8_t>(index));
        }
      }
      break;
    }
    case 1: {  // bricks with mortar lines and a few shades per brick
      const std::uint32_t bw = 8u << rng.below(2);
      const std::uint32_t bh = 4u << rng.below(2);
      const auto mortar = static_cast<std::uint8_t>(base + 40);
      for (std::uint32_t y = 0; y < h; ++y) {
        fine.row(y, b);
        const std::uint32_t course = y / bh;
        const std::uint32_t shift = (course & 1) * bw / 2;
        for (std::uint32_t x = 0; x < w; ++x) {
          const std::uint32_t xs = x + shift;
          if (y % bh == 0 || xs % bw == 0) {
            out.push_back(mortar);
          } else {
            const std::uint32_t shade = (hash2(xs / bw, course, seed) & 7) * 2 + (b[x] >> 7);
            out.push_back(static_cast<std::uint8_t>(base + shade));
          }
        }
      }
      break;
    }
    default: {  // ordered-dithered diagonal gradient over a range of indices
      const std::uint32_t range = 16 + rng.below(48);
      const std::uint32_t span = w + h;
      for (std::uint32_t y = 0; y < h; ++y) {
        for (std::uint32_t x = 0; x < w; ++x) {
          const std::uint32_t t = ((x + y) * range * 16) / span;
          out.push_back(static_cast<std::uint8_t>(base + ((t + kBayer[y & 3][x & 3]) >> 4)));
        }
      }
      break;
    }
  }
}

// The colour field of a true-colour texture: a gradient between two colours, bent by noise, with
// a little grain.
struct ColorField {
  Rgb c0, c1;
  std::uint32_t dx, dy;
  std::uint32_t seed;
  ValueNoise noise;

  ColorField(SplitMix& rng)
      : c0(random_rgb(rng)),
        c1(random_rgb(rng)),
        dx(rng.below(4)),
        dy(1 + rng.below(4)),
        seed(static_cast<std::uint32_t>(rng.next())),
        noise(3 + rng.below(3), seed) {}

  Rgb at(std::uint32_t x, std::uint32_t y, std::uint32_t w, std::uint32_t h,
         std::uint32_t n) const noexcept {
    const std::uint32_t g = (x * dx + y * dy) * 255 / ((w - 1) * dx + (h - 1) * dy + 1);
    const std::int64_t grain = static_cast<std::int64_t>(hash2(x, y, seed) & 7) - 3;
    return lerp(c0, c1, (2 * g + n) / 3, grain);
  }
};

void argb_pixels(std::uint32_t w, std::uint32_t h, SplitMix& rng, std::vector<std::uint8_t>& out) {
  const ColorField field(rng);
  const bool masked = rng.below(4) == 0;  // an alpha cut-out, like foliage
  std::vector<std::uint32_t> n(w);
  for (std::uint32_t y = 0; y < h; ++y) {
    field.noise.row(y, n);
    for (std::uint32_t x = 0; x < w; ++x) {
      const Rgb c = field.at(x, y, w, h, n[x]);
      const std::uint32_t alpha = masked && n[x] < 100 ? 0 : 255;
      put_u32(out, alpha << 24 | c.r << 16 | c.g << 8 | c.b);
    }
  }
}

void rgb565_pixels(std::uint32_t w, std::uint32_t h, SplitMix& rng,
                   std::vector<std::uint8_t>& out) {
  const ColorField field(rng);
  std::vector<std::uint32_t> n(w);
  for (std::uint32_t y = 0; y < h; ++y) {
    field.noise.row(y, n);
    for (std::uint32_t x = 0; x < w; ++x) put_u16(out, to_565(field.at(x, y, w, h, n[x])));
  }
}

// DXT1 blocks: two 565 end colours from the colour field around the block's centre, and 2-bit
// indices that follow a fine noise with some grain.
void dxt1_pixels(std::uint32_t w, std::uint32_t h, SplitMix& rng, std::vector<std::uint8_t>& out) {
  const ColorField field(rng);
  const ValueNoise fine(2, field.seed ^ 0xA5A5u);
  const auto contrast = static_cast<std::int64_t>(8 + rng.below(40));
  for (std::uint32_t by = 0; by < h / 4; ++by) {
    for (std::uint32_t bx = 0; bx < w / 4; ++bx) {
      const std::uint32_t cx = bx * 4 + 2;
      const std::uint32_t cy = by * 4 + 2;
      const Rgb mid = field.at(cx, cy, w, h, field.noise.at(cx, cy));
      std::uint16_t c0 = to_565(lerp(mid, mid, 0, contrast));
      std::uint16_t c1 = to_565(lerp(mid, mid, 0, -contrast));
      if (c0 < c1) std::swap(c0, c1);
      if (c0 == c1) c1 = c0 == 0 ? 0 : static_cast<std::uint16_t>(c0 - 1);
      std::uint32_t indices = 0;
      for (std::uint32_t p = 0; p < 16; ++p) {
        const std::uint32_t x = bx * 4 + (p & 3);
        const std::uint32_t y = by * 4 + (p >> 2);
        const std::uint32_t v = (fine.at(x, y) + (hash2(x, y, field.seed) & 31)) >> 6;
        indices |= std::min<std::uint32_t>(v, 3) << (2 * p);
      }
      put_u16(out, c0);
      put_u16(out, c1);
      put_u32(out, indices);
    }
  }
}

}  // namespace

std::uint64_t mix_seed(std::uint64_t seed, std::uint64_t a, std::uint64_t b) noexcept {
  SplitMix rng(seed ^ (a * 0xD1B54A32D192ED03ull) ^ (b * 0x8CB92BA72F3D8DD7ull));
  return rng.next();
}

std::uint32_t format_code(PixelFormat format) noexcept {
  switch (format) {
    case PixelFormat::P8:
      return kP8;
    case PixelFormat::A8R8G8B8:
      return kA8R8G8B8;
    case PixelFormat::R5G6B5:
      return kR5G6B5;
    case PixelFormat::Dxt1:
      return kDxt1;
  }
  return kP8;
}

std::size_t pixel_bytes(PixelFormat format, std::uint32_t width, std::uint32_t height) noexcept {
  const std::size_t pixels = std::size_t{width} * height;
  switch (format) {
    case PixelFormat::P8:
      return pixels;
    case PixelFormat::A8R8G8B8:
      return pixels * 4;
    case PixelFormat::R5G6B5:
      return pixels * 2;
    case PixelFormat::Dxt1:
      return pixels / 2;
  }
  return pixels;
}

void append_pixels(PixelFormat format, std::uint32_t width, std::uint32_t height,
                   std::uint64_t seed, std::vector<std::uint8_t>& out) {
  SplitMix rng(seed);
  out.reserve(out.size() + pixel_bytes(format, width, height));
  switch (format) {
    case PixelFormat::P8:
      p8_pixels(width, height, rng, out);
      break;
    case PixelFormat::A8R8G8B8:
      argb_pixels(width, height, rng, out);
      break;
    case PixelFormat::R5G6B5:
      rgb565_pixels(width, height, rng, out);
      break;
    case PixelFormat::Dxt1:
      dxt1_pixels(width, height, rng, out);
      break;
  }
}

std::vector<std::uint32_t> palette_colors(std::size_t count, std::uint64_t seed) {
  SplitMix rng(seed);
  std::vector<std::uint32_t> colors(count);
  if (count == 0) return colors;
  // Key colours at evenly spread indices; the colours between them are linear ramps.
  const std::size_t keys = std::min<std::size_t>(count, 3 + rng.below(4));
  std::vector<Rgb> key(keys);
  for (Rgb& k : key) k = random_rgb(rng);
  const bool clear_zero = rng.below(3) == 0;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t scaled = keys == 1 ? 0 : i * (keys - 1) * 255 / (count == 1 ? 1 : count - 1);
    const std::size_t k = std::min(scaled / 255, keys - 1);
    const Rgb& from = key[k];
    const Rgb& to = key[std::min(k + 1, keys - 1)];
    const Rgb c = lerp(from, to, static_cast<std::uint32_t>(scaled - k * 255), 0);
    const std::uint32_t alpha = clear_zero && i == 0 ? 0 : 255;
    colors[i] = alpha << 24 | c.r << 16 | c.g << 8 | c.b;
  }
  return colors;
}

}  // namespace quorvale_dat::bench
