// make_sample_archive [--damaged] [PATH]
//
// Writes a sample client_portal.dat for trying out dump_surface_80003e4: a textured Surface
// 0x080003E4 whose SurfaceTexture leads to a 64x64 P8 texture with its own palette, a second
// palette named by the surface, palette 0x040010BE (0x04000DC0 is left out on purpose), and a few
// hundred other records of all four types so that the directory is three levels deep. Some records
// are stored LRS-compressed. A gallery of one texture per exportable pixel format (0x06000D00 to
// 0x06000D0B, the same picture in each) shows every export of `quorvale-dat texture`. Everything
// is generated here; the output is the same on every run.
//
// --damaged writes the same archive with two block pointers overwritten, as the example of
// `quorvale-dat verify` shows it: the first block of texture 0x06000D00 leads into the chain of
// 0x06000D01, and that of 0x06000D05 to offset 0x00100000, past the end of the file.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <limits>
#include <numbers>
#include <optional>
#include <set>
#include <string_view>
#include <utility>
#include <vector>

#include "quorvale_dat/database.hpp"
#include "quorvale_dat/format.hpp"
#include "quorvale_dat_builder/archive_builder.hpp"
#include "quorvale_dat_builder/dxt_encoder.hpp"
#include "quorvale_dat_builder/records.hpp"

#ifndef QUORVALE_DAT_DEFAULT_ARCHIVE
#error "QUORVALE_DAT_DEFAULT_ARCHIVE must name the default archive path"
#endif

namespace {

namespace build = quorvale_dat::build;
namespace ft = quorvale_dat::file_type;

using namespace build::report_ids;
constexpr std::uint32_t kFixedPaletteId = kFixedPalettes[0];
constexpr std::uint32_t kAbsentPaletteId = kFixedPalettes[1];  // must stay out of the archive

constexpr std::uint32_t kP8 = 41;
constexpr std::uint32_t kR8G8B8 = 20;
constexpr std::uint32_t kA8R8G8B8 = 21;
constexpr std::uint32_t kR5G6B5 = 23;
constexpr std::uint32_t kA4R4G4B4 = 26;
constexpr std::uint32_t kA8 = 28;
constexpr std::uint32_t kIndex16 = 101;
constexpr std::uint32_t kCustomRawJpeg = 500;
constexpr std::uint32_t kDxt1 = 0x31545844;
constexpr std::uint32_t kDxt2 = 0x32545844;
constexpr std::uint32_t kDxt3 = 0x33545844;
constexpr std::uint32_t kDxt4 = 0x34545844;
constexpr std::uint32_t kDxt5 = 0x35545844;

// The format gallery: one texture per format from kGalleryFirstTexture on, the palette of its
// Index16 texture, and a surface whose texture list leads to its Dxt5 texture.
constexpr std::uint32_t kGalleryFirstTexture = 0x06000D00;
constexpr std::uint32_t kGalleryPaletteId = 0x04000D05;
constexpr std::uint32_t kGallerySurfaceTextureId = 0x05000D00;
constexpr std::uint32_t kGallerySurfaceId = 0x08000D00;
constexpr int kGallerySide = 32;
constexpr std::size_t kGalleryHues = 512;  // colours of the Index16 palette

// Indices 0 and 248..255 of the texture's palette are fully transparent; the picture uses 0 for
// the area around its disc and bands between 1 and 247 inside it.
constexpr std::uint8_t kFirstClearIndex = 248;
constexpr long kBands = 15;
constexpr long kBandStep = 16;

// A small deterministic generator (xorshift64*), so the archive is identical on every run.
class Rng {
 public:
  explicit Rng(std::uint64_t seed) : state_(seed) {}
  std::uint32_t next() {
    state_ ^= state_ >> 12;
    state_ ^= state_ << 25;
    state_ ^= state_ >> 27;
    return static_cast<std::uint32_t>((state_ * 0x2545F4914F6CDD1DULL) >> 32);
  }
  std::uint32_t below(std::uint32_t n) { return next() % n; }

 private:
  std::uint64_t state_;
};

std::uint32_t argb(std::uint32_t a, double r, double g, double b) {
  const auto channel = [](double v) {
    return static_cast<std::uint32_t>(std::lround(std::clamp(v, 0.0, 1.0) * 255.0));
  };
  return a << 24 | channel(r) << 16 | channel(g) << 8 | channel(b);
}

// A colour of hue h (0..1, around the wheel) at full saturation, scaled by value v.
std::uint32_t hue_color(std::uint32_t alpha, double h, double v) {
  const double r = 0.5 + 0.5 * std::cos(2 * std::numbers::pi * (h + 0.0 / 3));
  const double g = 0.5 + 0.5 * std::cos(2 * std::numbers::pi * (h + 1.0 / 3));
  const double b = 0.5 + 0.5 * std::cos(2 * std::numbers::pi * (h + 2.0 / 3));
  return argb(alpha, r * v, g * v, b * v);
}

// The texture's palette: a dark-to-bright sweep through the hues, with transparent ends.
std::vector<std::uint32_t> texture_palette() {
  std::vector<std::uint32_t> colors(256);
  for (std::size_t i = 0; i < colors.size(); ++i) {
    const double t = static_cast<double>(i) / 255.0;
    const bool clear = i == 0 || i >= kFirstClearIndex;
    colors[i] = hue_color(clear ? 0 : 255, 0.55 + 0.9 * t, 0.25 + 0.75 * std::sqrt(t));
  }
  return colors;
}

// The surface's own palette: cooler and half translucent, so it is easy to tell apart.
std::vector<std::uint32_t> surface_palette() {
  std::vector<std::uint32_t> colors(256);
  for (std::size_t i = 0; i < colors.size(); ++i) {
    const double t = static_cast<double>(i) / 255.0;
    colors[i] = argb(i < 128 ? 0x80 : 0xFF, 0.1 + 0.3 * t, 0.2 + 0.5 * t, 0.4 + 0.6 * t);
  }
  return colors;
}

// A 64x64 plasma disc: overlapping waves posterized into 15 bands (indices 1, 17, ..., 225)
// inside a circle of radius 30, index 0 (transparent) outside it. Few bands keep the report's
// index lines short.
std::vector<std::uint8_t> plasma_pixels(int size) {
  const double centre = (size - 1) / 2.0;
  std::vector<double> waves;
  double lo = std::numeric_limits<double>::infinity();
  double hi = -lo;
  for (int y = 0; y < size; ++y) {
    for (int x = 0; x < size; ++x) {
      const double r = std::hypot(x - centre, y - centre);
      const double wave =
          std::sin(x / 5.0) + std::sin(y / 7.0) + std::sin((x + y) / 9.0) + std::sin(r / 3.5);
      waves.push_back(r > 30.0 ? std::nan("") : wave);
      if (r <= 30.0) {
        lo = std::min(lo, wave);
        hi = std::max(hi, wave);
      }
    }
  }
  std::vector<std::uint8_t> pixels;
  pixels.reserve(waves.size());
  for (double wave : waves) {
    if (std::isnan(wave)) {
      pixels.push_back(0);
      continue;
    }
    const double t = (wave - lo) / (hi - lo);
    pixels.push_back(static_cast<std::uint8_t>(1 + kBandStep * std::lround(t * (kBands - 1))));
  }
  return pixels;
}

// Halves a P8 image by taking every other pixel of every other row.
std::vector<std::uint8_t> half_size(const std::vector<std::uint8_t>& pixels, int size) {
  std::vector<std::uint8_t> out;
  for (int y = 0; y < size; y += 2) {
    for (int x = 0; x < size; x += 2) out.push_back(pixels[static_cast<std::size_t>(y * size + x)]);
  }
  return out;
}

// The records dump_surface_80003e4 reads.
void add_showcase(std::vector<build::Record>& records) {
  ft::Surface surface;
  surface.surface_type = 0x2;
  surface.texture_refs = ft::TextureRefs{kSurfaceTexture, kSurfacePalette};
  surface.translucency = 0.1f;
  surface.luminosity = 0.0f;
  surface.diffuse = 0.75f;
  records.push_back({.id = kSurface, .data = build::encode_surface(surface)});

  const ft::SurfaceTexture surface_texture{.id = kSurfaceTexture,
                                           .unknown_int = 2,
                                           .unknown_byte = 1,
                                           .textures = {kTexture, kMipTexture}};
  records.push_back(
      {.id = kSurfaceTexture, .data = build::encode_surface_texture(surface_texture)});

  const std::vector<std::uint8_t> pixels = plasma_pixels(64);
  records.push_back({.id = kTexture,
                     .data = build::encode_texture(
                         build::make_texture(kTexture, 64, 64, kP8, pixels, kTexturePalette)),
                     .compressed = true});
  records.push_back({.id = kMipTexture,
                     .data = build::encode_texture(build::make_texture(
                         kMipTexture, 32, 32, kP8, half_size(pixels, 64), kTexturePalette))});

  records.push_back({.id = kTexturePalette,
                     .data = build::encode_palette({kTexturePalette, texture_palette()}),
                     .compressed = true});
  records.push_back(
      {.id = kSurfacePalette, .data = build::encode_palette({kSurfacePalette, surface_palette()})});

  std::vector<std::uint32_t> fixed(32);
  for (std::size_t i = 0; i < fixed.size(); ++i) {
    fixed[i] = hue_color(0xFF, static_cast<double>(i) / 32.0, 0.9);
  }
  records.push_back({.id = kFixedPaletteId,
                     .data = build::encode_palette({kFixedPaletteId, fixed}),
                     .compressed = true});
}

// The gallery's picture: a colour wheel (hue by angle, brighter towards the middle) that fades to
// transparent at its rim, as hue-palette indices (0 .. kGalleryHues - 1) and alphas.
struct WheelPixel {
  std::size_t hue;
  double value;
  std::uint32_t alpha;
};

std::vector<WheelPixel> colour_wheel(int side) {
  const double centre = (side - 1) / 2.0;
  std::vector<WheelPixel> pixels;
  for (int y = 0; y < side; ++y) {
    for (int x = 0; x < side; ++x) {
      const double r = std::hypot(x - centre, y - centre) / (side / 2.0);
      const double turn = std::atan2(y - centre, x - centre) / (2 * std::numbers::pi) + 0.5;
      const auto hue = static_cast<std::size_t>(turn * (kGalleryHues - 1) + 0.5);
      const double alpha = std::clamp((1.0 - r) / 0.25, 0.0, 1.0);
      pixels.push_back({hue, 1.0 - 0.5 * std::min(r, 1.0),
                        static_cast<std::uint32_t>(std::lround(alpha * 255))});
    }
  }
  return pixels;
}

std::vector<std::uint32_t> hue_palette() {
  std::vector<std::uint32_t> colors(kGalleryHues);
  for (std::size_t i = 0; i < colors.size(); ++i) {
    colors[i] = hue_color(0xFF, static_cast<double>(i) / kGalleryHues, 1.0);
  }
  return colors;
}

// Appends the u16 `v`, little-endian.
void put_u16(std::vector<std::uint8_t>& out, std::uint32_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}

// A baseline JPEG of `colors.size()` flat 8x8 squares, `across` to a row: YCbCr without
// subsampling, a quantization table of ones and only DC coefficients, so that each square's
// three DC values and an end-of-block code are all its entropy data.
std::vector<std::uint8_t> tiny_jpeg(const std::vector<std::uint32_t>& colors, int across) {
  const int down = static_cast<int>(colors.size()) / across;
  std::vector<std::uint8_t> out = {0xFF, 0xD8,                                            // SOI
                                   0xFF, 0xE0, 0x00, 0x10, 'J',  'F',  'I',  'F',  0x00,  // APP0
                                   0x01, 0x01, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00,
                                   0xFF, 0xDB, 0x00, 0x43, 0x00};  // DQT: table 0, 8-bit
  out.insert(out.end(), 64, 1);
  out.insert(out.end(), {0xFF, 0xC0, 0x00, 0x11, 0x08});  // SOF0, 8-bit samples
  for (const int size : {8 * down, 8 * across}) {         // height, width: big-endian u16
    out.push_back(static_cast<std::uint8_t>(size >> 8));
    out.push_back(static_cast<std::uint8_t>(size));
  }
  out.insert(out.end(), {0x03, 0x01, 0x11, 0x00, 0x02, 0x11, 0x00, 0x03, 0x11, 0x00});
  // DHT: the usual DC table for categories 0 to 11, and an AC table of the end-of-block code
  // alone, as the single bit 0.
  out.insert(out.end(), {0xFF, 0xC4, 0x00, 0x31, 0x00, 0, 1, 5, 1, 1, 1, 1, 1, 1, 0,  0,  0,
                         0,    0,    0,    0,    0,    1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 0x10,
                         1,    0,    0,    0,    0,    0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  0,  0x00});
  out.insert(out.end(), {0xFF, 0xDA, 0x00, 0x0C, 0x03, 0x01, 0x00, 0x02, 0x00, 0x03, 0x00, 0x00,
                         0x3F, 0x00});  // SOS

  // Codes of the DC table above by category: {bits, length}.
  static constexpr std::array<std::pair<std::uint32_t, int>, 12> kDcCodes{{{0b00, 2},
                                                                           {0b010, 3},
                                                                           {0b011, 3},
                                                                           {0b100, 3},
                                                                           {0b101, 3},
                                                                           {0b110, 3},
                                                                           {0b1110, 4},
                                                                           {0b11110, 5},
                                                                           {0b111110, 6},
                                                                           {0b1111110, 7},
                                                                           {0b11111110, 8},
                                                                           {0b111111110, 9}}};
  std::uint32_t acc = 0;
  int used = 0;
  const auto put_bits = [&](std::uint32_t bits, int length) {
    for (int i = length - 1; i >= 0; --i) {
      acc = acc << 1 | (bits >> i & 1);
      if (++used == 8) {
        out.push_back(static_cast<std::uint8_t>(acc));
        if (acc == 0xFF) out.push_back(0x00);  // byte stuffing
        acc = 0;
        used = 0;
      }
    }
  };
  std::array<long, 3> predictor{};
  for (std::uint32_t argb : colors) {
    const double r = argb >> 16 & 0xFF;
    const double g = argb >> 8 & 0xFF;
    const double b = argb & 0xFF;
    const std::array<double, 3> ycc = {0.299 * r + 0.587 * g + 0.114 * b,
                                       128 - 0.168736 * r - 0.331264 * g + 0.5 * b,
                                       128 + 0.5 * r - 0.418688 * g - 0.081312 * b};
    for (std::size_t c = 0; c < 3; ++c) {
      // A flat square of level v has the DC coefficient 8 * (v - 128).
      const long dc = std::lround(8 * (ycc[c] - 128));
      const long diff = dc - predictor[c];
      predictor[c] = dc;
      int category = 0;
      while ((std::abs(diff) >> category) != 0) ++category;
      put_bits(kDcCodes[static_cast<std::size_t>(category)].first,
               kDcCodes[static_cast<std::size_t>(category)].second);
      const long extra = diff >= 0 ? diff : diff + (1L << category) - 1;
      put_bits(static_cast<std::uint32_t>(extra), category);
      put_bits(0, 1);  // end of block
    }
  }
  if (used > 0) put_bits(0xFF, 8 - used);  // pad with ones
  out.insert(out.end(), {0xFF, 0xD9});     // EOI
  return out;
}

// One texture per exportable format, all of the colour wheel (P8 is the showcase's).
void add_format_gallery(std::vector<build::Record>& records) {
  const int side = kGallerySide;
  const std::vector<WheelPixel> wheel = colour_wheel(side);
  const std::vector<std::uint32_t> hues = hue_palette();
  std::vector<std::uint8_t> rgba;  // R, G, B, A
  for (const WheelPixel& p : wheel) {
    const std::uint32_t c = hues[p.hue];
    for (int shift : {16, 8, 0}) {
      rgba.push_back(static_cast<std::uint8_t>(std::lround((c >> shift & 0xFF) * p.value)));
    }
    rgba.push_back(static_cast<std::uint8_t>(p.alpha));
  }
  const auto channel = [&](std::size_t i, std::size_t ch) {
    return std::uint32_t{rgba[4 * i + ch]};
  };

  std::vector<std::uint8_t> a8r8g8b8, r8g8b8, r5g6b5, a4r4g4b4, a8, index16;
  for (std::size_t i = 0; i < wheel.size(); ++i) {
    const std::uint32_t r = channel(i, 0), g = channel(i, 1), b = channel(i, 2), a = channel(i, 3);
    a8r8g8b8.insert(a8r8g8b8.end(),
                    {rgba[4 * i + 2], rgba[4 * i + 1], rgba[4 * i], rgba[4 * i + 3]});
    r8g8b8.insert(r8g8b8.end(), {rgba[4 * i + 2], rgba[4 * i + 1], rgba[4 * i]});
    put_u16(r5g6b5, (r * 31 + 127) / 255 << 11 | (g * 63 + 127) / 255 << 5 | (b * 31 + 127) / 255);
    put_u16(a4r4g4b4, (a * 15 + 127) / 255 << 12 | (r * 15 + 127) / 255 << 8 |
                          (g * 15 + 127) / 255 << 4 | (b * 15 + 127) / 255);
    a8.push_back(rgba[4 * i + 3]);
    put_u16(index16, static_cast<std::uint32_t>(wheel[i].hue));
  }
  const auto w = static_cast<std::uint32_t>(side);
  const std::vector<std::uint8_t> premultiplied = build::premultiply(rgba);
  // Eight hues in two rows of 8x8 squares.
  std::vector<std::uint32_t> squares;
  for (std::size_t i = 0; i < 8; ++i) squares.push_back(hues[i * kGalleryHues / 8]);

  struct Entry {
    std::uint32_t format;
    std::vector<std::uint8_t> data;
    int width = kGallerySide;
    int height = kGallerySide;
  };
  const std::vector<Entry> gallery = {
      {kA8R8G8B8, a8r8g8b8},
      {kR8G8B8, r8g8b8},
      {kR5G6B5, r5g6b5},
      {kA4R4G4B4, a4r4g4b4},
      {kA8, a8},
      {kIndex16, index16},
      {kDxt1, build::encode_dxt(build::DxtFormat::Dxt1, rgba, w, w)},
      {kDxt2, build::encode_dxt(build::DxtFormat::Dxt3, premultiplied, w, w)},
      {kDxt3, build::encode_dxt(build::DxtFormat::Dxt3, rgba, w, w)},
      {kDxt4, build::encode_dxt(build::DxtFormat::Dxt5, premultiplied, w, w)},
      {kDxt5, build::encode_dxt(build::DxtFormat::Dxt5, rgba, w, w)},
      {kCustomRawJpeg, tiny_jpeg(squares, 4), 32, 16},
  };
  std::uint32_t id = kGalleryFirstTexture;
  for (const Entry& e : gallery) {
    const std::optional<std::uint32_t> palette =
        e.format == kIndex16 ? std::optional(kGalleryPaletteId) : std::nullopt;
    records.push_back({.id = id,
                       .data = build::encode_texture(
                           build::make_texture(id, e.width, e.height, e.format, e.data, palette)),
                       .compressed = e.format == kA8R8G8B8});
    ++id;
  }
  records.push_back(
      {.id = kGalleryPaletteId, .data = build::encode_palette({kGalleryPaletteId, hues})});

  const std::uint32_t dxt5_id = kGalleryFirstTexture + 10;
  records.push_back({.id = kGallerySurfaceTextureId,
                     .data = build::encode_surface_texture({.id = kGallerySurfaceTextureId,
                                                            .unknown_int = 1,
                                                            .unknown_byte = 0,
                                                            .textures = {dxt5_id}})});
  ft::Surface surface;
  surface.surface_type = 0x2;
  surface.texture_refs = ft::TextureRefs{kGallerySurfaceTextureId, kGalleryPaletteId};
  surface.diffuse = 1.0f;
  records.push_back({.id = kGallerySurfaceId, .data = build::encode_surface(surface)});
}

// Other records of all four types around the showcase, so the directory has some depth.
void add_neighbours(std::vector<build::Record>& records) {
  std::set<std::uint32_t> taken;
  for (const build::Record& r : records) taken.insert(r.id);
  taken.insert(kAbsentPaletteId);

  Rng rng(0x5EED0001);
  const auto fresh_id = [&](std::uint32_t type) {
    for (;;) {
      const std::uint32_t id = type << 24 | (0x100 + rng.below(0x1F00));
      if (taken.insert(id).second) return id;
    }
  };

  std::vector<std::uint32_t> palettes;
  for (int i = 0; i < 60; ++i) {
    const std::uint32_t id = fresh_id(quorvale_dat::type_byte(quorvale_dat::RecordType::Palette));
    palettes.push_back(id);
    std::vector<std::uint32_t> colors(8 + rng.below(249));
    const double base = rng.below(1000) / 1000.0;
    for (std::size_t c = 0; c < colors.size(); ++c) {
      colors[c] = hue_color(rng.below(8) == 0 ? 0 : 0xFF,
                            base + static_cast<double>(c) / static_cast<double>(colors.size()),
                            0.4 + 0.6 * rng.below(100) / 100.0);
    }
    records.push_back(
        {.id = id, .data = build::encode_palette({id, colors}), .compressed = i % 3 == 0});
  }

  std::vector<std::uint32_t> textures;
  for (int i = 0; i < 120; ++i) {
    const std::uint32_t id = fresh_id(quorvale_dat::type_byte(quorvale_dat::RecordType::Texture));
    textures.push_back(id);
    const int side = 4 << rng.below(4);  // 4, 8, 16 or 32
    const std::size_t n = static_cast<std::size_t>(side * side);
    ft::Texture t;
    std::vector<std::uint8_t> data;
    switch (rng.below(4)) {
      case 0:
      case 1: {  // P8 stripes
        const std::uint32_t step = 1 + rng.below(7);
        for (std::size_t p = 0; p < n; ++p) data.push_back(static_cast<std::uint8_t>(p * step / 5));
        t = build::make_texture(id, side, side, kP8, std::move(data), palettes[rng.below(60)]);
        break;
      }
      case 2: {  // A8R8G8B8 gradient
        for (std::size_t p = 0; p < n; ++p) {
          const std::uint32_t c =
              hue_color(0xFF, static_cast<double>(p) / static_cast<double>(n), 1);
          for (int s = 0; s < 32; s += 8) data.push_back(static_cast<std::uint8_t>(c >> s));
        }
        t = build::make_texture(id, side, side, kA8R8G8B8, std::move(data));
        break;
      }
      default: {  // R5G6B5 or DXT1 noise
        const bool dxt = rng.below(2) == 0;
        const std::size_t bytes = dxt ? std::max<std::size_t>(8, n / 2) : n * 2;
        for (std::size_t p = 0; p < bytes; ++p)
          data.push_back(static_cast<std::uint8_t>(rng.next()));
        t = build::make_texture(id, side, side, dxt ? kDxt1 : kR5G6B5, std::move(data));
        break;
      }
    }
    records.push_back({.id = id, .data = build::encode_texture(t), .compressed = i % 4 == 0});
  }

  std::vector<std::uint32_t> surface_textures;
  for (int i = 0; i < 80; ++i) {
    const std::uint32_t id =
        fresh_id(quorvale_dat::type_byte(quorvale_dat::RecordType::SurfaceTexture));
    surface_textures.push_back(id);
    ft::SurfaceTexture st{.id = id,
                          .unknown_int = static_cast<std::int32_t>(rng.below(3)),
                          .unknown_byte = static_cast<std::uint8_t>(rng.below(2)),
                          .textures = {}};
    for (std::uint32_t k = 1 + rng.below(3); k > 0; --k)
      st.textures.push_back(textures[rng.below(120)]);
    records.push_back({.id = id, .data = build::encode_surface_texture(st)});
  }

  for (int i = 0; i < 140; ++i) {
    const std::uint32_t id = fresh_id(quorvale_dat::type_byte(quorvale_dat::RecordType::Surface));
    ft::Surface s;
    if (rng.below(3) == 0) {
      s.surface_type = 0x1;
      s.color_value = hue_color(0xFF, rng.below(360) / 360.0, 0.8);
    } else {
      s.surface_type = rng.below(2) == 0 ? 0x2 : 0x4;
      s.texture_refs = ft::TextureRefs{surface_textures[rng.below(80)], palettes[rng.below(60)]};
    }
    s.translucency = static_cast<float>(rng.below(5)) / 4.0f;
    s.luminosity = static_cast<float>(rng.below(3)) / 2.0f;
    s.diffuse = 1.0f;
    records.push_back({.id = id, .data = build::encode_surface(s)});
  }
}

// Overwrites the next-block pointer of `id`'s first block with `next`.
void point_first_block(std::vector<std::uint8_t>& archive, const quorvale_dat::FileMap& files,
                       std::uint32_t id, std::uint32_t next) {
  const std::uint32_t at = files.get(id)->offset;
  for (std::uint32_t i = 0; i < 4; ++i)
    archive.at(at + i) = static_cast<std::uint8_t>(next >> 8 * i);
}

}  // namespace

int main(int argc, char** argv) {
  bool damaged = false;
  std::filesystem::path path = QUORVALE_DAT_DEFAULT_ARCHIVE;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--damaged") {
      damaged = true;
    } else if (arg.starts_with("-")) {
      std::fprintf(stderr, "usage: make_sample_archive [--damaged] [PATH]\n");
      return 2;
    } else {
      path = arg;
    }
  }

  std::vector<build::Record> records;
  add_showcase(records);
  add_format_gallery(records);
  add_neighbours(records);

  // Eight entries per node: about 400 records make a directory three levels deep.
  std::vector<std::uint8_t> archive =
      build::build_archive(records, {.block_size = 256, .entries_per_node = 8});
  if (damaged) {
    // The chains' offsets come from the archive's own directory.
    const build::TempFile sound(archive);
    auto db = quorvale_dat::DatDatabase::open(sound.path());
    if (!db) {
      std::fprintf(stderr, "make_sample_archive: %s\n", db.error().display().c_str());
      return 1;
    }
    point_first_block(archive, db->files(), kGalleryFirstTexture,
                      db->files().get(kGalleryFirstTexture + 1)->offset);
    point_first_block(archive, db->files(), kGalleryFirstTexture + 5, 0x00100000);
  }
  try {
    if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path());
    build::write_file(path, archive);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "make_sample_archive: cannot write %s: %s\n", path.c_str(), e.what());
    return 1;
  }
  std::printf("wrote %s: %zu records, %zu bytes\n", path.c_str(), records.size(), archive.size());
  return 0;
}
