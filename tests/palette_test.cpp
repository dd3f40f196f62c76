#include "quorvale_dat/file_type/palette.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/decoder_test_support.hpp"

namespace quorvale_dat::file_type {
namespace {

using test_support::largest_allocation;
using test_support::LeBytes;
using test_support::reset_largest_allocation;

constexpr const char* kSource = "src/file_type/palette.cpp";

ParseError in_field(ParseError root, const std::string& field) {
  return test_support::in_field(std::move(root), "Palette", kSource, field);
}

TEST(PaletteTest, Decodes) {
  struct Case {
    const char* name;
    std::vector<std::uint8_t> bytes;
    Palette expected;
  };
  LeBytes full;
  Palette full_expected{0x04000FFF, {}};
  full.u32(0x04000FFF).i32(256);
  for (std::uint32_t i = 0; i < 256; ++i) {
    full.u32(0xFF000000 | i * 0x010101);
    full_expected.colors.push_back(0xFF000000 | i * 0x010101);
  }
  const std::vector<Case> cases = {
      {"no colours", LeBytes().u32(0x04000001).i32(0).data, {0x04000001, {}}},
      {"colour bytes are little-endian",
       LeBytes().u32(0x04000002).i32(1).u8(0x11).u8(0x22).u8(0x33).u8(0x44).data,
       {0x04000002, {0x44332211}}},
      {"256 colours", full.data, full_expected},
      {"more than 256 colours",
       [] {
         LeBytes b;
         b.u32(3).i32(300);
         for (int i = 0; i < 300; ++i) b.u32(7);
         return b.data;
       }(),
       {3, std::vector<std::uint32_t>(300, 7)}},
      {"trailing bytes ignored", LeBytes().u32(5).i32(1).u32(6).u32(7).u8(8).data, {5, {6}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SpanCursor cursor(c.bytes);
    auto p = Palette::read(cursor);
    ASSERT_TRUE(p.has_value()) << p.error().display();
    EXPECT_EQ(*p, c.expected);
    EXPECT_EQ(cursor.position(), 8 + 4 * c.expected.colors.size());
  }
}

// Cutting a record short anywhere fails in the field the cut falls into; a short count and a
// short colour both come out under 'colors'.
TEST(PaletteTest, EveryTruncationFailsInTheCutField) {
  const auto bytes = LeBytes().u32(0x04000001).i32(2).u32(0xFF0000FF).u32(0xFF00FF00).data;
  for (std::size_t size = 0; size < bytes.size(); ++size) {
    SCOPED_TRACE(std::to_string(size) + " bytes");
    const ParseError expected = in_field(IoError::short_read(), size < 4 ? "id" : "colors");
    auto p = Palette::unpack(std::span(bytes).first(size));
    ASSERT_FALSE(p.has_value());
    EXPECT_TRUE(p.error() == expected) << p.error().display();
  }
}

TEST(PaletteTest, CountFailures) {
  struct Case {
    const char* name;
    std::vector<std::uint8_t> bytes;
    ParseError expected;
  };
  const std::vector<Case> cases = {
      {"count -1", LeBytes().u32(0x04000001).i32(-1).u32(0).data,
       in_field(ParseError::assert_fail(8, "count -1 out of range of usize"), "colors")},
      {"count 2 over 7 bytes", LeBytes().u32(1).i32(2).u32(1).u8(1).u8(2).u8(3).data,
       in_field(IoError::short_read(), "colors")},
      {"huge count over a few bytes", LeBytes().u32(0x04000001).i32(2147483647).u32(1).u32(2).data,
       in_field(IoError::short_read(), "colors")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    reset_largest_allocation();
    auto p = Palette::unpack(c.bytes);
    EXPECT_LT(largest_allocation(), std::size_t{4096});
    ASSERT_FALSE(p.has_value());
    EXPECT_TRUE(p.error() == c.expected) << p.error().display();
  }
}

TEST(PaletteTest, FailedReadRewindsToTheRecordStart) {
  const auto bytes = LeBytes().u32(0).u32(0x04000001).i32(-3).data;
  SpanCursor cursor(bytes);
  ASSERT_TRUE(cursor.seek(4).has_value());
  auto p = Palette::read(cursor);
  ASSERT_FALSE(p.has_value());
  EXPECT_TRUE(p.error() ==
              in_field(ParseError::assert_fail(12, "count -3 out of range of usize"), "colors"))
      << p.error().display();
  EXPECT_EQ(cursor.position(), 4u);
}

}  // namespace
}  // namespace quorvale_dat::file_type
