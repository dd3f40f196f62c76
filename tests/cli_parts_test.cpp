// The parts of quorvale-dat below its commands: id parsing, the PNG writer (read back with
// libpng) and the hex dump. The pixel conversions it writes are the library's (image_test.cpp).
#include <gtest/gtest.h>
#include <png.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "hexdump.hpp"
#include "ids.hpp"
#include "png_writer.hpp"
#include "quorvale_dat/image.hpp"

namespace {

namespace cli = quorvale_dat::cli;
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
  using quorvale_dat::Image;
  using quorvale_dat::PixelLayout;
  const Image rgba{PixelLayout::Rgba, 2, 1, {1, 2, 3, 4, 250, 251, 252, 0}, {}};
  const Image grey{PixelLayout::Grey, 3, 1, {0, 7, 255}, {}};
  const Image indexed{PixelLayout::Indexed, 3, 1, {1, 0, 2}, {0xFF010203, 0x80A0B0C0, 0}};
  struct Case {
    std::string name;
    Image image;
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
