#include "quorvale_dat/file_type/surface_texture.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "support/decoder_test_support.hpp"

namespace quorvale_dat::file_type {
namespace {

using test_support::largest_allocation;
using test_support::LeBytes;
using test_support::reset_largest_allocation;

constexpr const char* kSource = "src/file_type/surface_texture.cpp";

ParseError in_field(ParseError root, const std::string& field) {
  return test_support::in_field(std::move(root), "SurfaceTexture", kSource, field);
}

TEST(SurfaceTextureTest, Decodes) {
  struct Case {
    const char* name;
    std::vector<std::uint8_t> bytes;
    SurfaceTexture expected;
  };
  const std::vector<Case> cases = {
      {"empty list", LeBytes().u32(0x05000010).i32(3).u8(4).i32(0).data, {0x05000010, 3, 4, {}}},
      {"two ids in stored order",
       LeBytes().u32(0x05000011).i32(0).u8(0).i32(2).u32(0x06000002).u32(0x06000001).data,
       {0x05000011, 0, 0, {0x06000002, 0x06000001}}},
      {"all-ones unknowns",
       LeBytes().u32(0xFFFFFFFF).u32(0xFFFFFFFF).u8(0xFF).i32(1).u32(7).data,
       {0xFFFFFFFF, -1, 255, {7}}},
      {"trailing bytes ignored",
       LeBytes().u32(1).i32(2).u8(3).i32(1).u32(4).u32(5).u8(6).data,
       {1, 2, 3, {4}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SpanCursor cursor(c.bytes);
    auto st = SurfaceTexture::read(cursor);
    ASSERT_TRUE(st.has_value()) << st.error().display();
    EXPECT_EQ(*st, c.expected);
    EXPECT_EQ(cursor.position(), 13 + 4 * c.expected.textures.size());
  }
}

// Cutting a record short anywhere fails in the field the cut falls into; a short count and a
// short id both come out under 'textures'.
TEST(SurfaceTextureTest, EveryTruncationFailsInTheCutField) {
  const auto bytes = LeBytes().u32(0x05000001).i32(-1).u8(9).i32(2).u32(10).u32(11).data;
  struct Field {
    std::size_t end;  // offset just after the field
    const char* name;
  };
  const std::vector<Field> fields = {
      {4, "id"}, {8, "unknown_int"}, {9, "unknown_byte"}, {21, "textures"}};
  ASSERT_EQ(bytes.size(), fields.back().end);
  for (std::size_t size = 0; size < bytes.size(); ++size) {
    SCOPED_TRACE(std::to_string(size) + " bytes");
    const Field* field = &fields.front();
    while (field->end <= size) ++field;
    const ParseError expected = in_field(IoError::short_read(), field->name);
    auto st = SurfaceTexture::unpack(std::span(bytes).first(size));
    ASSERT_FALSE(st.has_value());
    EXPECT_TRUE(st.error() == expected) << st.error().display();
  }
}

TEST(SurfaceTextureTest, CountFailures) {
  struct Case {
    const char* name;
    std::vector<std::uint8_t> bytes;
    ParseError expected;
  };
  const auto head = [] { return LeBytes().u32(0x05000001).i32(0).u8(0); };
  const std::vector<Case> cases = {
      {"count -1", head().i32(-1).u32(1).data,
       in_field(ParseError::assert_fail(13, "count -1 out of range of usize"), "textures")},
      {"most negative count", head().i32(std::numeric_limits<std::int32_t>::min()).data,
       in_field(ParseError::assert_fail(13, "count -2147483648 out of range of usize"),
                "textures")},
      {"count 3 over two ids", head().i32(3).u32(1).u32(2).data,
       in_field(IoError::short_read(), "textures")},
      {"huge count over a few bytes", head().i32(2147483647).u32(1).u32(2).data,
       in_field(IoError::short_read(), "textures")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    reset_largest_allocation();
    auto st = SurfaceTexture::unpack(c.bytes);
    EXPECT_LT(largest_allocation(), std::size_t{4096});
    ASSERT_FALSE(st.has_value());
    EXPECT_TRUE(st.error() == c.expected) << st.error().display();
  }
}

TEST(SurfaceTextureTest, FailedReadRewindsToTheRecordStart) {
  const auto bytes = LeBytes().u8(0xEE).u8(0xEE).u32(0x05000001).i32(0).u8(0).i32(2).u32(1).data;
  SpanCursor cursor(bytes);
  ASSERT_TRUE(cursor.seek(2).has_value());
  auto st = SurfaceTexture::read(cursor);
  ASSERT_FALSE(st.has_value());
  EXPECT_TRUE(st.error() == in_field(IoError::short_read(), "textures")) << st.error().display();
  EXPECT_EQ(cursor.position(), 2u);
}

}  // namespace
}  // namespace quorvale_dat::file_type
