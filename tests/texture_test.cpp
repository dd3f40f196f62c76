#include "quorvale_dat/file_type/texture.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "support/decoder_test_support.hpp"

namespace quorvale_dat::file_type {
namespace {

using test_support::largest_allocation;
using test_support::LeBytes;
using test_support::reset_largest_allocation;

constexpr const char* kSource = "src/file_type/texture.cpp";
constexpr std::uint32_t kP8 = 41;
constexpr std::uint32_t kIndex16 = 101;
constexpr std::uint32_t kA8R8G8B8 = 21;

// The six fixed fields (id, _unknown, width, height, format_raw, length), after `padding` bytes
// of something else.
LeBytes texture_head(std::uint32_t format_raw, std::int32_t length, std::size_t padding = 0) {
  LeBytes b;
  for (std::size_t i = 0; i < padding; ++i) b.u8(0xEE);
  b.u32(0x06001234).i32(-7).i32(2).i32(2).u32(format_raw).i32(length);
  return b;
}

ParseError in_field(ParseError root, const std::string& field) {
  return test_support::in_field(std::move(root), "Texture", kSource, field);
}

void expect_bin_read(const Expected<Texture, DatError>& actual, const ParseError& expected) {
  ASSERT_FALSE(actual.has_value());
  const auto* bin_read = actual.error().get_if<DatError::BinRead>();
  ASSERT_NE(bin_read, nullptr) << actual.error().debug();
  EXPECT_TRUE(bin_read->error == expected)
      << "actual:" << bin_read->error.display() << "expected:" << expected.display();
}

TEST(TextureTest, Decodes) {
  struct Case {
    const char* name;
    std::vector<std::uint8_t> bytes;
    std::vector<std::uint8_t> source_data;
    std::optional<std::uint32_t> default_palette_id;
    std::uint64_t end;  // where a decode leaves the cursor
  };
  const std::vector<Case> cases = {
      {"A8R8G8B8, no pixels", texture_head(kA8R8G8B8, 0).data, {}, std::nullopt, 24},
      {"P8 reads a palette id",
       texture_head(kP8, 3).u8(1).u8(2).u8(255).u32(0x04000ABC).data,
       {1, 2, 255},
       0x04000ABC,
       31},
      {"Index16 reads a palette id",
       texture_head(kIndex16, 2).u8(9).u8(8).u32(0x0400FFFF).data,
       {9, 8},
       0x0400FFFF,
       30},
      {"Unknown has no palette id; trailing bytes ignored",
       texture_head(0, 0).u8(0xAA).u8(0xBB).u32(1).u32(2).data,
       {},
       std::nullopt,
       24},
      {"an unnamed format has no palette id",
       texture_head(22, 1).u8(7).u32(5).data,
       {7},
       std::nullopt,
       25},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SpanCursor cursor(c.bytes);
    auto t = Texture::read(cursor);
    ASSERT_TRUE(t.has_value()) << t.error().display();
    EXPECT_EQ(t->id, 0x06001234u);
    EXPECT_EQ(t->_unknown, -7);
    EXPECT_EQ(t->width, 2);
    EXPECT_EQ(t->height, 2);
    EXPECT_EQ(t->length, static_cast<std::int32_t>(c.source_data.size()));
    EXPECT_EQ(t->source_data, c.source_data);
    EXPECT_EQ(t->default_palette_id, c.default_palette_id);
    EXPECT_EQ(cursor.position(), c.end);
  }
}

TEST(TextureTest, Dxt1IsStoredAsItsFourCharacters) {
  const auto bytes = LeBytes()
                         .u32(1)
                         .i32(0)
                         .i32(4)
                         .i32(4)
                         .u8('D')
                         .u8('X')
                         .u8('T')
                         .u8('1')
                         .i32(2)
                         .u8(0x11)
                         .u8(0x22)
                         .u32(0x04000001)
                         .data;
  auto t = Texture::unpack(bytes);
  ASSERT_TRUE(t.has_value()) << t.error().debug();
  EXPECT_EQ(t->format().kind(), SurfacePixelFormat::Kind::Dxt1);
  EXPECT_EQ(t->source_data, (std::vector<std::uint8_t>{0x11, 0x22}));
  EXPECT_EQ(t->default_palette_id, std::nullopt);
}

// Cutting a P8 record short anywhere fails in the field the cut falls into: the short-read
// error in a fixed-size field, the end-of-data error among the pixel bytes.
TEST(TextureTest, EveryTruncationFailsInTheCutField) {
  const auto bytes = texture_head(kP8, 3).u8(1).u8(2).u8(3).u32(0x04000001).data;
  struct Field {
    std::size_t end;  // offset just after the field
    const char* name;
    IoError root;
  };
  const std::vector<Field> fields = {
      {4, "id", IoError::short_read()},
      {8, "_unknown", IoError::short_read()},
      {12, "width", IoError::short_read()},
      {16, "height", IoError::short_read()},
      {20, "format_raw", IoError::short_read()},
      {24, "length", IoError::short_read()},
      {27, "source_data", IoError::end_of_data()},
      {31, "default_palette_id", IoError::short_read()},
  };
  ASSERT_EQ(bytes.size(), fields.back().end);
  for (std::size_t size = 0; size < bytes.size(); ++size) {
    SCOPED_TRACE(std::to_string(size) + " bytes");
    const Field* field = &fields.front();
    while (field->end <= size) ++field;
    expect_bin_read(Texture::unpack(std::span(bytes).first(size)),
                    in_field(field->root, field->name));
  }
}

TEST(TextureTest, CountFailures) {
  struct Case {
    const char* name;
    std::vector<std::uint8_t> bytes;
    ParseError expected;
  };
  const std::vector<Case> cases = {
      {"length -1 has no field frame", texture_head(kP8, -1).u32(0).u32(0).data,
       ParseError::assert_fail(24, "count -1 out of range of usize")},
      {"most negative length",
       texture_head(kA8R8G8B8, std::numeric_limits<std::int32_t>::min()).data,
       ParseError::assert_fail(24, "count -2147483648 out of range of usize")},
      {"one pixel byte short",
       [] {
         LeBytes b = texture_head(kA8R8G8B8, 100);
         for (int i = 0; i < 99; ++i) b.u8(0);
         return b.data;
       }(),
       in_field(IoError::end_of_data(), "source_data")},
      {"huge length over a few bytes", texture_head(kP8, 2147483647).u32(1).u32(2).data,
       in_field(IoError::end_of_data(), "source_data")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    reset_largest_allocation();
    auto t = Texture::unpack(c.bytes);
    EXPECT_LT(largest_allocation(), std::size_t{4096});
    expect_bin_read(t, c.expected);
  }
}

TEST(TextureTest, NegativeLengthTexts) {
  auto t = Texture::unpack(texture_head(kP8, -1).data);
  ASSERT_FALSE(t.has_value());
  EXPECT_EQ(t.error().display(), "Binary read error: count -1 out of range of usize at 0x18");
  EXPECT_EQ(t.error().debug(), "BinRead(count -1 out of range of usize at 0x18)");
}

TEST(TextureTest, FailedReadRewindsToTheRecordStart) {
  struct Case {
    const char* name;
    std::vector<std::uint8_t> bytes;
    ParseError expected;
  };
  // Each record sits after five bytes of something else, so positions count from the cursor's
  // start, not the record's.
  const std::vector<Case> cases = {
      {"negative length", texture_head(kP8, -2, 5).data,
       ParseError::assert_fail(29, "count -2 out of range of usize")},
      {"missing palette id", texture_head(kP8, 1, 5).u8(0).u8(0).data,
       in_field(IoError::short_read(), "default_palette_id")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SpanCursor cursor(c.bytes);
    ASSERT_TRUE(cursor.seek(5).has_value());
    auto t = Texture::read(cursor);
    ASSERT_FALSE(t.has_value());
    EXPECT_TRUE(t.error() == c.expected) << t.error().display();
    EXPECT_EQ(cursor.position(), 5u);
  }
}

TEST(SurfacePixelFormatTest, FromU32AndName) {
  using K = SurfacePixelFormat::Kind;
  struct Case {
    std::uint32_t code;
    K kind;
    const char* name;
  };
  const std::vector<Case> cases = {
      {0, K::Unknown, "Unknown"},
      {20, K::R8G8B8, "R8G8B8"},
      {21, K::A8R8G8B8, "A8R8G8B8"},
      {23, K::R5G6B5, "R5G6B5"},
      {26, K::A4R4G4B4, "A4R4G4B4"},
      {28, K::A8, "A8"},
      {41, K::P8, "P8"},
      {101, K::Index16, "Index16"},
      {243, K::CustomLscapeR8G8B8, "CustomLscapeR8G8B8"},
      {244, K::CustomLscapeAlpha, "CustomLscapeAlpha"},
      {500, K::CustomRawJpeg, "CustomRawJpeg"},
      {827611204, K::Dxt1, "Dxt1"},
      {844388420, K::Dxt2, "Dxt2"},
      {861165636, K::Dxt3, "Dxt3"},
      {877942852, K::Dxt4, "Dxt4"},
      {894720068, K::Dxt5, "Dxt5"},
      {22, K::Other, "Other(22)"},
      {1, K::Other, "Other(1)"},
      {894720069, K::Other, "Other(894720069)"},
      {4294967295, K::Other, "Other(4294967295)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    const SurfacePixelFormat f = SurfacePixelFormat::from_u32(c.code);
    EXPECT_EQ(f.kind(), c.kind);
    EXPECT_EQ(f.code(), c.code);
    EXPECT_EQ(f.name(), c.name);
  }
  EXPECT_NE(SurfacePixelFormat::from_u32(22), SurfacePixelFormat::from_u32(24));
}

}  // namespace
}  // namespace quorvale_dat::file_type
