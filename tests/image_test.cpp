// The image module: DXT decoding checked against libsquish, every pixel format converted pixel by
// pixel, the texture's own form against its RGBA, the refusals and their texts, and thumbnails.
#include "quorvale_dat/image.hpp"

#include <gtest/gtest.h>
#include <squish.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "quorvale_dat_builder/dxt_encoder.hpp"
#include "quorvale_dat_builder/records.hpp"

namespace quorvale_dat {
namespace {

namespace ft = file_type;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kA8 = 28;
constexpr std::uint32_t kP8 = 41;
constexpr std::uint32_t kIndex16 = 101;
constexpr std::uint32_t kDxt1 = 0x31545844;
constexpr std::uint32_t kDxt2 = 0x32545844;
constexpr std::uint32_t kDxt3 = 0x33545844;
constexpr std::uint32_t kDxt4 = 0x34545844;
constexpr std::uint32_t kDxt5 = 0x35545844;

ft::Texture texture(std::uint32_t format, std::int32_t w, std::int32_t h, Bytes data) {
  return build::make_texture(0x06000001, w, h, format, std::move(data));
}

Bytes random_bytes(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes out(n);
  for (auto& b : out) b = static_cast<std::uint8_t>(rng());
  return out;
}

Bytes rgba_of(const ft::Texture& t) {
  auto image = texture_rgba(t);
  EXPECT_TRUE(image.has_value()) << image.error().display();
  return image ? image->pixels : Bytes{};
}

// ---------------------------------------------------------------------------------------------
// DXT

Bytes squish_decoded(int flags, const Bytes& data, int w, int h) {
  Bytes rgba(4 * static_cast<std::size_t>(w * h));
  squish::DecompressImage(rgba.data(), w, h, data.data(), flags);
  return rgba;
}

// Random bytes are valid blocks of every kind, and reach both colour modes of Dxt1 and both
// alpha modes of Dxt5; odd sizes cut blocks at the right and bottom edges.
TEST(ImageDxt, MatchesLibsquishOnRandomBlocks) {
  const std::vector<std::pair<std::uint32_t, int>> kinds = {
      {kDxt1, squish::kDxt1}, {kDxt3, squish::kDxt3}, {kDxt5, squish::kDxt5}};
  const std::vector<std::pair<std::uint32_t, std::uint32_t>> sizes = {{4, 4},  {64, 64}, {1, 1},
                                                                      {13, 7}, {3, 9},   {32, 5}};
  std::uint32_t seed = 1;
  for (const auto& [format, flags] : kinds) {
    for (const auto& [w, h] : sizes) {
      const auto fmt = ft::SurfacePixelFormat::from_u32(format);
      SCOPED_TRACE(fmt.name() + " " + std::to_string(w) + "x" + std::to_string(h));
      const Bytes data = random_bytes(*pixel_data_length(fmt, w, h), seed++);
      EXPECT_EQ(rgba_of(texture(format, static_cast<std::int32_t>(w), static_cast<std::int32_t>(h),
                                data)),
                squish_decoded(flags, data, static_cast<int>(w), static_cast<int>(h)));
    }
  }
}

// Dxt2 and Dxt4 decode like Dxt3 and Dxt5 and then divide the colours by alpha.
TEST(ImageDxt, PremultipliedKindsAreDividedByAlpha) {
  for (const auto& [premultiplied, flags] :
       {std::pair{kDxt2, squish::kDxt3}, std::pair{kDxt4, squish::kDxt5}}) {
    const Bytes data = random_bytes(16 * 16, 99);
    const Bytes stored = squish_decoded(flags, data, 16, 16);
    const Bytes got = rgba_of(texture(premultiplied, 16, 16, data));
    ASSERT_EQ(got.size(), stored.size());
    for (std::size_t i = 0; i < got.size(); i += 4) {
      const unsigned a = stored[i + 3];
      ASSERT_EQ(got[i + 3], a);
      for (std::size_t ch = 0; ch < 3; ++ch) {
        const unsigned want = a == 0 || a == 255
                                  ? stored[i + ch]
                                  : std::min(255u, (stored[i + ch] * 255u + a / 2) / a);
        ASSERT_EQ(got[i + ch], want) << "pixel " << i / 4;
      }
    }
  }
  // One block by hand: both end points 0x4208 (r=8, g=16, b=8, widened to 66, 65, 66), every
  // alpha nibble 8 (136).
  const Bytes block = {0x88, 0x88, 0x88, 0x88, 0x88, 0x88, 0x88, 0x88,
                       0x08, 0x42, 0x08, 0x42, 0,    0,    0,    0};
  const Bytes px = rgba_of(texture(kDxt2, 4, 4, block));
  ASSERT_EQ(px.size(), 64u);
  EXPECT_EQ(px[3], 136);
  EXPECT_EQ(px[0], (66u * 255 + 68) / 136);
  EXPECT_EQ(px[1], (65u * 255 + 68) / 136);
}

// The builder's encoder, read back by the decoder, keeps a picture close whose colours in each
// block lie on a line, as DXT's four colours between two end points can.
TEST(ImageDxt, BuilderEncoderRoundTrips) {
  const std::uint32_t w = 12;
  const std::uint32_t h = 8;
  Bytes rgba;
  for (std::uint32_t y = 0; y < h; ++y) {
    for (std::uint32_t x = 0; x < w; ++x) {
      rgba.insert(rgba.end(),
                  {static_cast<std::uint8_t>(20 * x), static_cast<std::uint8_t>(10 * x + y), 128,
                   static_cast<std::uint8_t>(255 - 20 * x)});
    }
  }
  for (const auto& [format, code] :
       {std::pair{build::DxtFormat::Dxt3, kDxt3}, std::pair{build::DxtFormat::Dxt5, kDxt5}}) {
    const Bytes back = rgba_of(texture(code, w, h, build::encode_dxt(format, rgba, w, h)));
    ASSERT_EQ(back.size(), rgba.size());
    for (std::size_t i = 0; i < rgba.size(); ++i) ASSERT_NEAR(back[i], rgba[i], 12) << "byte " << i;
  }
}

// ---------------------------------------------------------------------------------------------
// Pixel formats

const std::vector<std::uint32_t> kPalette = {0x00000000, 0xFF102030, 0x80405060};

TEST(ImagePixels, EveryFormatToRgbaAndItsOwnForm) {
  struct Case {
    std::string name;
    std::uint32_t format;
    std::int32_t w, h;
    Bytes data;
    Bytes rgba;
    PixelLayout layout = PixelLayout::Rgba;  // of texture_image()
    std::vector<std::uint32_t> own_palette = {};
  };
  const std::vector<Case> cases = {
      {"A8R8G8B8 is B, G, R, A", 21, 2, 1, {1, 2, 3, 4, 5, 6, 7, 8}, {3, 2, 1, 4, 7, 6, 5, 8}},
      {"R8G8B8 is B, G, R", 20, 1, 2, {1, 2, 3, 4, 5, 6}, {3, 2, 1, 255, 6, 5, 4, 255}},
      {"R5G6B5 widens its channels",
       23,
       3,
       1,
       {0xFF, 0xFF, 0x1F, 0x08, 0x10, 0x84},
       {255, 255, 255, 255, 8, 0, 255, 255, 132, 130, 132, 255}},
      {"A4R4G4B4 times 17", 26, 1, 1, {0x21, 0x43}, {0x33, 0x22, 0x11, 0x44}},
      {"A8 is opaque grey",
       kA8,
       3,
       1,
       {0, 128, 255},
       {0, 0, 0, 255, 128, 128, 128, 255, 255, 255, 255, 255},
       PixelLayout::Grey},
      {"P8 through the palette",
       kP8,
       2,
       1,
       {2, 1},
       {0x40, 0x50, 0x60, 0x80, 0x10, 0x20, 0x30, 0xFF},
       PixelLayout::Indexed,
       kPalette},
      {"P8 past the palette is transparent black, the palette padded to the index",
       kP8,
       2,
       1,
       {4, 1},
       {0, 0, 0, 0, 0x10, 0x20, 0x30, 0xFF},
       PixelLayout::Indexed,
       {0x00000000, 0xFF102030, 0x80405060, 0, 0}},
      {"Index16 through the palette, past its end transparent black",
       kIndex16,
       3,
       1,
       {1, 0, 2, 0, 0x00, 0x01},
       {0x10, 0x20, 0x30, 0xFF, 0x40, 0x50, 0x60, 0x80, 0, 0, 0, 0}},
      {"Dxt1 of one block, both end points white",
       kDxt1,
       2,
       2,
       {0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0},
       Bytes(16, 255)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ft::Texture t = texture(c.format, c.w, c.h, c.data);
    auto rgba = texture_rgba(t, kPalette);
    ASSERT_TRUE(rgba.has_value()) << rgba.error().display();
    EXPECT_EQ(rgba->layout, PixelLayout::Rgba);
    EXPECT_EQ(rgba->width, static_cast<std::uint32_t>(c.w));
    EXPECT_EQ(rgba->height, static_cast<std::uint32_t>(c.h));
    EXPECT_EQ(rgba->pixels, c.rgba);
    EXPECT_TRUE(rgba->palette.empty());

    auto own = texture_image(t, kPalette);
    ASSERT_TRUE(own.has_value()) << own.error().display();
    EXPECT_EQ(own->layout, c.layout);
    EXPECT_EQ(own->palette, c.own_palette);
    EXPECT_EQ(own->pixels, c.layout == PixelLayout::Rgba ? c.rgba : c.data);
    EXPECT_EQ(to_rgba(*own), *rgba);
  }
}

// Random pixel data of every format: the texture's own form, made RGBA, is its RGBA, and a P8
// palette holds at most 256 colours and one for every index used.
TEST(ImagePixels, OwnFormAgreesWithRgbaOnRandomData) {
  std::vector<std::uint32_t> long_palette(300);
  for (std::size_t i = 0; i < long_palette.size(); ++i) {
    long_palette[i] = static_cast<std::uint32_t>(i * 0x01030507u);
  }
  const std::vector<std::vector<std::uint32_t>> palettes = {{}, {0xFF00FF00}, long_palette};
  std::uint32_t seed = 7;
  for (std::uint32_t format :
       {20u, 21u, 23u, 26u, kA8, kP8, kIndex16, kDxt1, kDxt2, kDxt3, kDxt4, kDxt5}) {
    for (const auto& palette : palettes) {
      const auto fmt = ft::SurfacePixelFormat::from_u32(format);
      SCOPED_TRACE(fmt.name() + " with " + std::to_string(palette.size()) + " colours");
      const Bytes data = random_bytes(*pixel_data_length(fmt, 9, 5), seed++);
      const ft::Texture t = texture(format, 9, 5, data);
      auto rgba = texture_rgba(t, palette);
      auto own = texture_image(t, palette);
      ASSERT_TRUE(rgba && own);
      EXPECT_EQ(rgba->pixels.size(), 4u * 9 * 5);
      EXPECT_EQ(to_rgba(*own), *rgba);
      if (own->layout == PixelLayout::Indexed) {
        EXPECT_LE(own->palette.size(), 256u);
        EXPECT_GT(own->palette.size(), *std::max_element(data.begin(), data.end()));
      }
    }
  }
}

TEST(ImagePixels, RefusalsNameTheirReason) {
  struct Case {
    std::string name;
    ft::Texture texture;
    bool with_palette;
    ImageError error;
    std::string display;
    std::string debug;
  };
  const auto fmt = ft::SurfacePixelFormat::from_u32;
  const std::vector<Case> cases = {
      {"too few bytes", texture(21, 2, 2, Bytes(15)), true,
       ImageError::LengthMismatch{fmt(21), 2, 2, 16, 15},
       "A8R8G8B8 at 2x2 needs 16 bytes of pixel data, the texture holds 15",
       "LengthMismatch { format: A8R8G8B8, width: 2, height: 2, expected: 16, actual: 15 }"},
      {"too many bytes", texture(kA8, 2, 2, Bytes(5)), true,
       ImageError::LengthMismatch{fmt(kA8), 2, 2, 4, 5},
       "A8 at 2x2 needs 4 bytes of pixel data, the texture holds 5",
       "LengthMismatch { format: A8, width: 2, height: 2, expected: 4, actual: 5 }"},
      {"Dxt5 counts started blocks", texture(kDxt5, 5, 4, Bytes(16)), true,
       ImageError::LengthMismatch{fmt(kDxt5), 5, 4, 32, 16},
       "Dxt5 at 5x4 needs 32 bytes of pixel data, the texture holds 16",
       "LengthMismatch { format: Dxt5, width: 5, height: 4, expected: 32, actual: 16 }"},
      {"huge sizes do not overflow", texture(21, 0x7FFFFFFF, 0x7FFFFFFF, Bytes(4)), true,
       ImageError::LengthMismatch{fmt(21), 0x7FFFFFFF, 0x7FFFFFFF, 18446744056529682436u, 4},
       "A8R8G8B8 at 2147483647x2147483647 needs 18446744056529682436 bytes of pixel data, the "
       "texture holds 4",
       "LengthMismatch { format: A8R8G8B8, width: 2147483647, height: 2147483647, expected: "
       "18446744056529682436, actual: 4 }"},
      {"zero width", texture(kA8, 0, 4, {}), true, ImageError::InvalidSize{0, 4},
       "size 0x4 is not an image", "InvalidSize { width: 0, height: 4 }"},
      {"negative height", texture(kA8, 4, -1, {}), true, ImageError::InvalidSize{4, -1},
       "size 4x-1 is not an image", "InvalidSize { width: 4, height: -1 }"},
      {"landscape format", texture(243, 1, 1, Bytes(3)), true, ImageError::NoConversion{fmt(243)},
       "format CustomLscapeR8G8B8 has no pixel conversion", "NoConversion(CustomLscapeR8G8B8)"},
      {"JPEG data is not pixels", texture(500, 1, 1, {0xFF, 0xD8}), true,
       ImageError::NoConversion{fmt(500)}, "format CustomRawJpeg has no pixel conversion",
       "NoConversion(CustomRawJpeg)"},
      {"unknown code, before the size", texture(7, 0, 0, Bytes(3)), true,
       ImageError::NoConversion{fmt(7)}, "format Other(7) has no pixel conversion",
       "NoConversion(Other(7))"},
      {"P8 without a palette", texture(kP8, 1, 1, {0}), false, ImageError::MissingPalette{fmt(kP8)},
       "P8 needs a palette, and none was given", "MissingPalette(P8)"},
      {"Index16 without a palette", texture(kIndex16, 1, 1, {0, 0}), false,
       ImageError::MissingPalette{fmt(kIndex16)}, "Index16 needs a palette, and none was given",
       "MissingPalette(Index16)"},
      {"the texture's own faults before the palette", texture(kP8, 2, 1, {0}), false,
       ImageError::LengthMismatch{fmt(kP8), 2, 1, 2, 1},
       "P8 at 2x1 needs 2 bytes of pixel data, the texture holds 1",
       "LengthMismatch { format: P8, width: 2, height: 1, expected: 2, actual: 1 }"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const auto& result :
         {c.with_palette ? texture_rgba(c.texture, kPalette) : texture_rgba(c.texture),
          c.with_palette ? texture_image(c.texture, kPalette) : texture_image(c.texture)}) {
      ASSERT_FALSE(result.has_value());
      EXPECT_EQ(result.error(), c.error) << result.error().debug();
      EXPECT_EQ(result.error().display(), c.display);
      EXPECT_EQ(result.error().debug(), c.debug);
    }
  }
  // A palette given to a format that uses none is left alone; an empty one is still a palette.
  EXPECT_TRUE(texture_rgba(texture(kA8, 1, 1, {3})).has_value());
  EXPECT_EQ(texture_rgba(texture(kP8, 1, 1, {3}), {})->pixels, Bytes(4, 0));
}

// ---------------------------------------------------------------------------------------------
// Thumbnails

Image rgba_image(std::uint32_t w, std::uint32_t h, Bytes pixels) {
  return Image{PixelLayout::Rgba, w, h, std::move(pixels), {}};
}

Image uniform(std::uint32_t w, std::uint32_t h, std::array<std::uint8_t, 4> px) {
  Bytes pixels;
  for (std::size_t i = 0; i < std::size_t{w} * h; ++i)
    pixels.insert(pixels.end(), px.begin(), px.end());
  return rgba_image(w, h, std::move(pixels));
}

TEST(ImageThumbnail, FitsTheBoxKeepingTheRatio) {
  struct Case {
    std::uint32_t w, h, max_side, tw, th;
  };
  const std::vector<Case> cases = {
      {64, 64, 16, 16, 16}, {100, 50, 10, 10, 5}, {50, 100, 10, 5, 10}, {1000, 1, 10, 10, 1},
      {1, 1000, 64, 1, 64}, {33, 10, 32, 32, 10}, {7, 3, 2, 2, 1},      {5, 5, 5, 5, 5},
      {3, 1, 100, 3, 1},    {2, 2, 0, 1, 1},      {63, 32, 16, 16, 8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h) + " in " +
                 std::to_string(c.max_side));
    const Image in = uniform(c.w, c.h, {10, 200, 30, 255});
    const Image out = thumbnail(in, c.max_side);
    EXPECT_EQ(out.width, c.tw);
    EXPECT_EQ(out.height, c.th);
    EXPECT_EQ(out, uniform(c.tw, c.th, {10, 200, 30, 255}));  // a flat image stays flat
  }
}

TEST(ImageThumbnail, AveragesAreasWeightingColoursByAlpha) {
  struct Case {
    std::string name;
    Image in;
    std::uint32_t max_side;
    Image out;
  };
  const std::vector<Case> cases = {
      {"2x2 boxes of 4x2",
       rgba_image(4, 2, {0,   0,   0,   255, 100, 100, 100, 255, 10, 20, 30, 255, 10, 20, 30, 255,
                         200, 200, 200, 255, 100, 100, 100, 255, 10, 20, 30, 255, 10, 20, 30, 255}),
       2, rgba_image(2, 1, {100, 100, 100, 255, 10, 20, 30, 255})},
      {"a transparent pixel does not darken an opaque one",
       rgba_image(2, 1, {255, 0, 0, 255, 0, 0, 0, 0}), 1, rgba_image(1, 1, {255, 0, 0, 128})},
      {"a box of transparent pixels only is transparent black",
       rgba_image(2, 1, {10, 20, 30, 0, 30, 40, 50, 0}), 1, rgba_image(1, 1, {0, 0, 0, 0})},
      {"pixels cut by a box count by the part they cover",
       rgba_image(3, 1, {0, 0, 0, 255, 90, 90, 90, 255, 180, 180, 180, 255}), 2,
       rgba_image(2, 1, {30, 30, 30, 255, 150, 150, 150, 255})},
      {"alpha weights the colours", rgba_image(2, 1, {200, 0, 0, 51, 0, 0, 200, 204}), 1,
       rgba_image(1, 1, {40, 0, 160, 128})},
      {"a 3-wide box takes three columns",
       rgba_image(3, 1, {0, 0, 0, 255, 3, 3, 3, 255, 9, 9, 9, 255}), 1,
       rgba_image(1, 1, {4, 4, 4, 255})},
      {"grey input comes out as RGBA", Image{PixelLayout::Grey, 2, 1, {0, 100}, {}}, 1,
       rgba_image(1, 1, {50, 50, 50, 255})},
      {"an image that fits comes back unchanged, in its own layout",
       Image{PixelLayout::Indexed, 2, 1, {1, 0}, {0xFF000000, 0x80FF0000}}, 4,
       Image{PixelLayout::Indexed, 2, 1, {1, 0}, {0xFF000000, 0x80FF0000}}},
      {"an indexed image scaled is RGBA",
       Image{PixelLayout::Indexed, 2, 1, {1, 0}, {0xFF000000, 0x80FF0000}}, 1,
       rgba_image(1, 1, {85, 0, 0, 192})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(thumbnail(c.in, c.max_side), c.out);
  }
}

}  // namespace
}  // namespace quorvale_dat
