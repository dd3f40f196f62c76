// Texture-like record content for the benchmark archives: pixel data made of smooth value noise,
// gradients, posterized bands and tiled patterns, and palettes that ramp between key colours.
// Each is a pure function of its parameters and seed, cheap enough to fill a gigabyte in seconds,
// and compresses the way real pixel data does (not at all like random bytes).
//
//   std::vector<std::uint8_t> pixels;
//   append_pixels(PixelFormat::P8, 64, 64, seed, pixels);  // 4096 indices in bands
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorvale_dat::bench {

enum class PixelFormat : std::uint8_t { P8, A8R8G8B8, R5G6B5, Dxt1 };

// The texture record's format code of `format`.
[[nodiscard]] std::uint32_t format_code(PixelFormat format) noexcept;

// Bytes of pixel data of a width x height texture. Requires: DXT1 width and height are multiples
// of 4.
[[nodiscard]] std::size_t pixel_bytes(PixelFormat format, std::uint32_t width,
                                      std::uint32_t height) noexcept;

// Appends the pixel_bytes(format, width, height) bytes of one texture to `out`.
void append_pixels(PixelFormat format, std::uint32_t width, std::uint32_t height,
                   std::uint64_t seed, std::vector<std::uint8_t>& out);

// `count` ARGB colours ramping through a few key colours; index 0 is sometimes transparent.
[[nodiscard]] std::vector<std::uint32_t> palette_colors(std::size_t count, std::uint64_t seed);

// splitmix64: the seedable generator of the benchmark data, the same on every platform.
class SplitMix {
 public:
  explicit SplitMix(std::uint64_t seed) noexcept : state_(seed) {}
  std::uint64_t next() noexcept {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // Uniform in [0, n). Requires: n > 0.
  std::uint32_t below(std::uint32_t n) noexcept {
    return static_cast<std::uint32_t>(((next() >> 32) * n) >> 32);
  }
  // Uniform in [0, 1).
  double unit() noexcept { return static_cast<double>(next() >> 11) * 0x1.0p-53; }

 private:
  std::uint64_t state_;
};

// A seed derived from a base seed and up to two values (an id, a stream number).
[[nodiscard]] std::uint64_t mix_seed(std::uint64_t seed, std::uint64_t a,
                                     std::uint64_t b = 0) noexcept;

}  // namespace quorvale_dat::bench
