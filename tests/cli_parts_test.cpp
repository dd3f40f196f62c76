// The parts of quorvale-dat below its commands: id parsing, the DXT decoder (checked against
// libsquish), the pixel conversions of every format, the PNG writer (read back with libpng) and
// the hex dump.
#include <gtest/gtest.h>
#include <png.h>
#include <squish.h>

#include <array>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "dxt.hpp"
#include "hexdump.hpp"
#include "ids.hpp"
#include "pixels.hpp"
#include "png_writer.hpp"
#include "quorvale_dat_builder/dxt_encoder.hpp"

namespace {

namespace cli = quorvale_dat::cli;
namespace ft = quorvale_dat::file_type;
using Bytes = std::vector<std::uint8_t>;

// ---------------------------------------------------------------------------------------------
// Ids on the command line

TEST(CliIds, ParseIdTypeAndRange) {
  struct Case {
    std::string text;
    std::optional<std::uint32_t> id;
    std::optional<std::uint8_t> type;
  };
  const std::vector<Case> cases = {
      {"0x080003E4", 0x080003E4, std::nullopt},
      {"0X080003e4", 0x080003E4, std::nullopt},
      {"134218724", 0x080003E4, std::nullopt},
      {"0x6", 6, 6},
      {"6", 6, 6},
      {"0", 0, 0},
      {"0xFF", 255, 255},
      {"255", 255, 255},
      {"256", 256, std::nullopt},
      {"0xFFFFFFFF", 0xFFFFFFFF, std::nullopt},
      {"4294967295", 0xFFFFFFFF, std::nullopt},
      {"4294967296", std::nullopt, std::nullopt},
      {"0x100000000", std::nullopt, std::nullopt},
      {"080003E4", std::nullopt, std::nullopt},  // bare hex is not taken
      {"", std::nullopt, std::nullopt},
      {"0x", std::nullopt, std::nullopt},
      {"-1", std::nullopt, std::nullopt},
      {"+1", std::nullopt, std::nullopt},
      {"0x-1", std::nullopt, std::nullopt},
      {"12 ", std::nullopt, std::nullopt},
      {"1e3", std::nullopt, std::nullopt},
      {"99999999999999999999999", std::nullopt, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(cli::parse_id(c.text), c.id);
    EXPECT_EQ(cli::parse_type_byte(c.text), c.type);
  }

  const auto range = cli::parse_range("0x06000000-0x06FFFFFF");
  ASSERT_TRUE(range.has_value());
  EXPECT_EQ(range->first, 0x06000000u);
  EXPECT_EQ(range->last, 0x06FFFFFFu);
  EXPECT_TRUE(range->contains(0x06000000) && range->contains(0x06FFFFFF));
  EXPECT_FALSE(range->contains(0x07000000) || range->contains(0x05FFFFFF));
  EXPECT_TRUE(cli::parse_range("5-5").has_value());
  for (const char* bad : {"6-5", "0x06000000", "-5", "5-", "a-b", "1-2-3"}) {
    EXPECT_FALSE(cli::parse_range(bad).has_value()) << bad;
  }
  EXPECT_EQ(cli::hex8(0x080003E4), "0x080003E4");
  EXPECT_EQ(cli::hex2(0x0A), "0x0A");
}

// ---------------------------------------------------------------------------------------------
// DXT

Bytes random_bytes(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes out(n);
  for (auto& b : out) b = static_cast<std::uint8_t>(rng());
  return out;
}

Bytes ours(cli::DxtKind kind, const Bytes& data, std::uint32_t w, std::uint32_t h) {
  Bytes rgba(4 * std::size_t{w} * h);
  cli::decode_dxt(kind, data, w, h, rgba);
  return rgba;
}

Bytes squish_decoded(int flags, const Bytes& data, int w, int h) {
  Bytes rgba(4 * static_cast<std::size_t>(w * h));
  squish::DecompressImage(rgba.data(), w, h, data.data(), flags);
  return rgba;
}

// Random bytes are valid blocks of every kind, and reach both colour modes of Dxt1 and both
// alpha modes of Dxt5; odd sizes cut blocks at the right and bottom edges.
TEST(CliDxt, MatchesLibsquishOnRandomBlocks) {
  struct Case {
    cli::DxtKind kind;
    int flags;
  };
  const std::vector<Case> kinds = {{cli::DxtKind::Dxt1, squish::kDxt1},
                                   {cli::DxtKind::Dxt3, squish::kDxt3},
                                   {cli::DxtKind::Dxt5, squish::kDxt5}};
  const std::vector<std::pair<std::uint32_t, std::uint32_t>> sizes = {{4, 4},  {64, 64}, {1, 1},
                                                                      {13, 7}, {3, 9},   {32, 5}};
  std::uint32_t seed = 1;
  for (const Case& c : kinds) {
    for (const auto& [w, h] : sizes) {
      SCOPED_TRACE(std::to_string(static_cast<int>(c.kind)) + " " + std::to_string(w) + "x" +
                   std::to_string(h));
      const Bytes data = random_bytes(cli::dxt_image_bytes(c.kind, w, h), seed++);
      EXPECT_EQ(ours(c.kind, data, w, h),
                squish_decoded(c.flags, data, static_cast<int>(w), static_cast<int>(h)));
    }
  }
}

// Dxt2 and Dxt4 decode like Dxt3 and Dxt5 and then divide the colours by alpha.
TEST(CliDxt, PremultipliedKindsAreDividedByAlpha) {
  for (const auto& [premultiplied, straight, flags] :
       {std::tuple{cli::DxtKind::Dxt2, cli::DxtKind::Dxt3, squish::kDxt3},
        std::tuple{cli::DxtKind::Dxt4, cli::DxtKind::Dxt5, squish::kDxt5}}) {
    const Bytes data = random_bytes(16 * 16, 99);
    const Bytes expected_stored = squish_decoded(flags, data, 16, 16);
    ASSERT_EQ(ours(straight, data, 16, 16), expected_stored);
    const Bytes got = ours(premultiplied, data, 16, 16);
    for (std::size_t i = 0; i < got.size(); i += 4) {
      const unsigned a = expected_stored[i + 3];
      ASSERT_EQ(got[i + 3], a);
      for (std::size_t ch = 0; ch < 3; ++ch) {
        const unsigned stored = expected_stored[i + ch];
        const unsigned want =
            a == 0 || a == 255 ? stored : std::min(255u, (stored * 255 + a / 2) / a);
        ASSERT_EQ(got[i + ch], want) << "pixel " << i / 4;
      }
    }
  }
  // One block by hand: both end points 0x4208 (r=8, g=16, b=8, widened to 66, 65, 66), every
  // alpha nibble 8 (136).
  const Bytes block = {0x88, 0x88, 0x88, 0x88, 0x88, 0x88, 0x88, 0x88,
                       0x08, 0x42, 0x08, 0x42, 0,    0,    0,    0};
  std::array<std::uint8_t, 64> px{};
  cli::decode_dxt_block(cli::DxtKind::Dxt2, block, px);
  EXPECT_EQ(px[3], 136);
  EXPECT_EQ(px[0], (66u * 255 + 68) / 136);
  EXPECT_EQ(px[1], (65u * 255 + 68) / 136);
}

// The builder's encoder, read back by the decoder, keeps a picture close whose colours in each
// block lie on a line, as DXT's four colours between two end points can.
TEST(CliDxt, BuilderEncoderRoundTrips) {
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
  for (const auto& [format, kind] :
       {std::pair{quorvale_dat::build::DxtFormat::Dxt3, cli::DxtKind::Dxt3},
        std::pair{quorvale_dat::build::DxtFormat::Dxt5, cli::DxtKind::Dxt5}}) {
    const Bytes blocks = quorvale_dat::build::encode_dxt(format, rgba, w, h);
    ASSERT_EQ(blocks.size(), cli::dxt_image_bytes(kind, w, h));
    const Bytes back = ours(kind, blocks, w, h);
    for (std::size_t i = 0; i < rgba.size(); ++i) {
      ASSERT_NEAR(back[i], rgba[i], 12) << "byte " << i;
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Pixel conversions

ft::Texture texture(std::uint32_t format, std::int32_t w, std::int32_t h, Bytes data) {
  ft::Texture t;
  t.width = w;
  t.height = h;
  t.format_raw = format;
  t.length = static_cast<std::int32_t>(data.size());
  t.source_data = std::move(data);
  return t;
}

TEST(CliPixels, EveryFormatToItsImage) {
  const std::vector<std::uint32_t> palette = {0x00000000, 0xFF102030, 0x80405060};
  struct Case {
    std::string name;
    std::uint32_t format;
    std::int32_t w, h;
    Bytes data;
    cli::Image::Kind kind;
    Bytes pixels;
    std::vector<std::uint32_t> image_palette = {};
  };
  const std::vector<Case> cases = {
      {"A8R8G8B8 is B, G, R, A",
       21,
       2,
       1,
       {1, 2, 3, 4, 5, 6, 7, 8},
       cli::Image::Kind::Rgba,
       {3, 2, 1, 4, 7, 6, 5, 8}},
      {"R8G8B8 is B, G, R",
       20,
       1,
       2,
       {1, 2, 3, 4, 5, 6},
       cli::Image::Kind::Rgba,
       {3, 2, 1, 255, 6, 5, 4, 255}},
      {"R5G6B5 widens its channels",
       23,
       2,
       1,
       {0xFF, 0xFF, 0x1F, 0x08},
       cli::Image::Kind::Rgba,
       {255, 255, 255, 255, 8, 0, 255, 255}},
      {"A4R4G4B4 times 17",
       26,
       1,
       1,
       {0x21, 0x43},
       cli::Image::Kind::Rgba,
       {0x33, 0x22, 0x11, 0x44}},
      {"A8 is grey", 28, 3, 1, {0, 128, 255}, cli::Image::Kind::Grey, {0, 128, 255}},
      {"P8 keeps its indices and the palette",
       41,
       2,
       1,
       {2, 1},
       cli::Image::Kind::Indexed,
       {2, 1},
       palette},
      {"P8 past the palette pads it with transparent black",
       41,
       1,
       1,
       {4},
       cli::Image::Kind::Indexed,
       {4},
       {0x00000000, 0xFF102030, 0x80405060, 0, 0}},
      {"Index16 through the palette",
       101,
       3,
       1,
       {1, 0, 2, 0, 0x00, 0x01},
       cli::Image::Kind::Rgba,
       {0x10, 0x20, 0x30, 0xFF, 0x40, 0x50, 0x60, 0x80, 0, 0, 0, 0}},
      {"Dxt1 of one block, both end points white",
       0x31545844,
       2,
       2,
       {0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0},
       cli::Image::Kind::Rgba,
       Bytes(16, 255)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto image = cli::to_image(texture(c.format, c.w, c.h, c.data), palette);
    ASSERT_TRUE(image.has_value()) << image.error();
    EXPECT_EQ(image->kind, c.kind);
    EXPECT_EQ(image->width, static_cast<std::uint32_t>(c.w));
    EXPECT_EQ(image->height, static_cast<std::uint32_t>(c.h));
    EXPECT_EQ(image->pixels, c.pixels);
    EXPECT_EQ(image->palette, c.image_palette);
  }
}

TEST(CliPixels, RefusesWhatIsNotAnImage) {
  struct Case {
    std::string name;
    ft::Texture texture;
    std::string reason;
  };
  const std::vector<Case> cases = {
      {"too few bytes", texture(21, 2, 2, Bytes(15)),
       "A8R8G8B8 at 2x2 needs 16 bytes of pixel data, the texture holds 15"},
      {"too many bytes", texture(28, 2, 2, Bytes(5)),
       "A8 at 2x2 needs 4 bytes of pixel data, the texture holds 5"},
      {"Dxt5 counts started blocks", texture(0x35545844, 5, 4, Bytes(16)),
       "Dxt5 at 5x4 needs 32 bytes of pixel data, the texture holds 16"},
      {"zero width", texture(28, 0, 4, {}), "size 0x4 is not an image"},
      {"negative height", texture(28, 4, -1, {}), "size 4x-1 is not an image"},
      {"huge sizes do not overflow", texture(21, 0x7FFFFFFF, 0x7FFFFFFF, Bytes(4)),
       "A8R8G8B8 at 2147483647x2147483647 needs 18446744056529682436 bytes of pixel data, the "
       "texture holds 4"},
      {"landscape format", texture(243, 1, 1, Bytes(3)),
       "format CustomLscapeR8G8B8 has no PNG export"},
      {"unknown code", texture(7, 1, 1, Bytes(3)), "format Other(7) has no PNG export"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto image = cli::to_image(c.texture, {});
    ASSERT_FALSE(image.has_value());
    EXPECT_EQ(image.error(), c.reason);
  }
}

// ---------------------------------------------------------------------------------------------
// PNG

// The PNG read back as RGBA by libpng.
Bytes read_png_rgba(const Bytes& png, std::uint32_t& width, std::uint32_t& height) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  EXPECT_NE(png_image_begin_read_from_memory(&image, png.data(), png.size()), 0) << image.message;
  image.format = PNG_FORMAT_RGBA;
  Bytes rgba(PNG_IMAGE_SIZE(image));
  EXPECT_NE(png_image_finish_read(&image, nullptr, rgba.data(), 0, nullptr), 0) << image.message;
  width = image.width;
  height = image.height;
  return rgba;
}

TEST(CliPng, ImagesReadBackUnchanged) {
  cli::Image rgba{cli::Image::Kind::Rgba, 2, 1, {1, 2, 3, 4, 250, 251, 252, 0}, {}};
  cli::Image grey{cli::Image::Kind::Grey, 3, 1, {0, 7, 255}, {}};
  cli::Image indexed{cli::Image::Kind::Indexed, 3, 1, {1, 0, 2}, {0xFF010203, 0x80A0B0C0, 0}};
  struct Case {
    std::string name;
    cli::Image image;
    Bytes expected;
  };
  const std::vector<Case> cases = {
      {"rgba", rgba, rgba.pixels},
      {"grey", grey, {0, 0, 0, 255, 7, 7, 7, 255, 255, 255, 255, 255}},
      {"indexed", indexed, {0xA0, 0xB0, 0xC0, 0x80, 1, 2, 3, 255, 0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto png = cli::encode_png(c.image);
    ASSERT_TRUE(png.has_value()) << png.error();
    std::uint32_t w = 0;
    std::uint32_t h = 0;
    EXPECT_EQ(read_png_rgba(*png, w, h), c.expected);
    EXPECT_EQ(w, c.image.width);
    EXPECT_EQ(h, c.image.height);
  }
}

// ---------------------------------------------------------------------------------------------
// Hex dump

TEST(CliHexdump, CanonicalLayout) {
  Bytes bytes;
  for (int i = 0; i < 18; ++i) bytes.push_back(static_cast<std::uint8_t>(i == 1 ? 'A' : 0x7E + i));
  EXPECT_EQ(cli::hexdump(bytes),
            "00000000  7e 41 80 81 82 83 84 85  86 87 88 89 8a 8b 8c 8d  |~A..............|\n"
            "00000010  8e 8f                                             |..|\n"
            "00000012\n");
  EXPECT_EQ(cli::hexdump({}), "00000000\n");
}

}  // namespace
