#include "quorvale_dat/file_type/surface.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <string>
#include <vector>

#include "quorvale_dat/dat_error.hpp"
#include "support/decoder_test_support.hpp"

namespace quorvale_dat::file_type {
namespace {

using test_support::LeBytes;
using test_support::source_line_of;

constexpr const char* kSource = "src/file_type/surface.cpp";

BacktraceFrame frame(const std::string& record, const std::string& field) {
  return BacktraceFrame::full("While parsing field '" + field + "' in " + record, kSource,
                              source_line_of(kSource, field));
}

void expect_error(const ParseError& actual, const ParseError& expected) {
  EXPECT_TRUE(actual == expected) << "actual:" << actual.display()
                                  << "expected:" << expected.display();
}

TEST(SurfaceTest, DecodesBothForms) {
  struct Case {
    const char* name;
    std::vector<std::uint8_t> bytes;
    Surface expected;
    std::uint64_t end;  // where a decode leaves the cursor
  };
  const std::vector<Case> cases = {
      {"solid colour",
       LeBytes().u32(1).u32(0xFF112233).f32(0.5f).f32(0.25f).f32(1.0f).data,
       {1, std::nullopt, 0xFF112233, 0.5f, 0.25f, 1.0f},
       20},
      {"textured 0x2",
       LeBytes().u32(2).u32(0x05001234).u32(0x04000FFF).f32(0).f32(1).f32(2).data,
       {2, TextureRefs{0x05001234, 0x04000FFF}, std::nullopt, 0, 1, 2},
       24},
      {"textured 0x4",
       LeBytes().u32(4).u32(7).u32(8).f32(-1).f32(-2).f32(-3).data,
       {4, TextureRefs{7, 8}, std::nullopt, -1, -2, -3},
       24},
      {"textured 0x6",
       LeBytes().u32(6).u32(0xFFFFFFFF).u32(0).f32(3).f32(4).f32(5).data,
       {6, TextureRefs{0xFFFFFFFF, 0}, std::nullopt, 3, 4, 5},
       24},
      {"high bits keep the solid form",
       LeBytes().u32(0x00010000).u32(9).f32(1).f32(2).f32(3).data,
       {0x00010000, std::nullopt, 9u, 1, 2, 3},
       20},
      {"high bits with a texture bit",
       LeBytes().u32(0xFFFFFFFF).u32(1).u32(2).f32(0).f32(0).f32(0).data,
       {0xFFFFFFFF, TextureRefs{1, 2}, std::nullopt, 0, 0, 0},
       24},
      {"solid colour ignores trailing bytes",
       LeBytes().u32(0).u32(0xABCDEF01).f32(1).f32(2).f32(3).u32(0xDEADBEEF).data,
       {0, std::nullopt, 0xABCDEF01, 1, 2, 3},
       20},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SpanCursor cursor(c.bytes);
    auto s = Surface::read(cursor);
    ASSERT_TRUE(s.has_value()) << s.error().display();
    EXPECT_EQ(s->surface_type, c.expected.surface_type);
    EXPECT_EQ(s->texture_refs, c.expected.texture_refs);
    EXPECT_EQ(s->color_value, c.expected.color_value);
    EXPECT_EQ(s->translucency, c.expected.translucency);
    EXPECT_EQ(s->luminosity, c.expected.luminosity);
    EXPECT_EQ(s->diffuse, c.expected.diffuse);
    EXPECT_EQ(cursor.position(), c.end);
  }
}

TEST(SurfaceTest, FloatBitPatternsArePreserved) {
  // Quiet NaN with a payload, signalling NaN, negative NaN, both infinities, negative zero, the
  // smallest subnormal.
  const std::uint32_t patterns[] = {0x7FC00001, 0x7FA00000, 0xFFC12345, 0x7F800000,
                                    0xFF800000, 0x80000000, 0x00000001};
  for (std::uint32_t bits : patterns) {
    SCOPED_TRACE(bits);
    const auto bytes = LeBytes().u32(1).u32(0).u32(bits).u32(bits).u32(bits).data;
    auto s = Surface::unpack(bytes);
    ASSERT_TRUE(s.has_value()) << s.error().display();
    EXPECT_EQ(std::bit_cast<std::uint32_t>(s->translucency), bits);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(s->luminosity), bits);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(s->diffuse), bits);
  }
}

// Cutting a record short anywhere fails in the field that the cut falls into, with the
// short-read error at the root and the frames of every record on the way out.
TEST(SurfaceTest, EveryTruncationFailsInTheCutField) {
  struct Field {
    std::size_t end;  // offset just after the field
    std::vector<BacktraceFrame> frames;
  };
  struct Form {
    const char* name;
    std::vector<std::uint8_t> bytes;
    std::vector<Field> fields;
  };
  const std::vector<Form> forms = {
      {"textured",
       LeBytes().u32(2).u32(0x05000001).u32(0x04000002).f32(1).f32(2).f32(3).data,
       {{4, {frame("Surface", "surface_type")}},
        {8, {frame("TextureRefs", "orig_texture_id"), frame("Surface", "texture_refs")}},
        {12, {frame("TextureRefs", "orig_palette_id"), frame("Surface", "texture_refs")}},
        {16, {frame("Surface", "translucency")}},
        {20, {frame("Surface", "luminosity")}},
        {24, {frame("Surface", "diffuse")}}}},
      {"solid colour",
       LeBytes().u32(1).u32(0x12345678).f32(1).f32(2).f32(3).data,
       {{4, {frame("Surface", "surface_type")}},
        {8, {frame("Surface", "color_value")}},
        {12, {frame("Surface", "translucency")}},
        {16, {frame("Surface", "luminosity")}},
        {20, {frame("Surface", "diffuse")}}}},
  };
  for (const Form& form : forms) {
    for (std::size_t size = 0; size < form.bytes.size(); ++size) {
      SCOPED_TRACE(std::string(form.name) + ", " + std::to_string(size) + " bytes");
      const Field* field = &form.fields.front();
      while (field->end <= size) ++field;
      ParseError expected = IoError::short_read();
      for (const BacktraceFrame& f : field->frames) expected = with_context(expected, f);

      auto s = Surface::unpack(std::span(form.bytes).first(size));
      ASSERT_FALSE(s.has_value());
      expect_error(s.error(), expected);
    }
  }
}

TEST(SurfaceTest, FailedReadRewindsToTheRecordStart) {
  // Three bytes of something else, then a textured surface cut inside its TextureRefs.
  const auto bytes = LeBytes().u8(0xAA).u8(0xAA).u8(0xAA).u32(2).u32(0x05000001).data;
  SpanCursor cursor(bytes);
  ASSERT_TRUE(cursor.seek(3).has_value());
  auto s = Surface::read(cursor);
  ASSERT_FALSE(s.has_value());
  EXPECT_EQ(s.error().frames().size(), 2u);
  EXPECT_EQ(cursor.position(), 3u);
}

// The whole rendered text, byte for byte: header rule, the composite first frame, each frame's
// source location relative to the repository root, footer rule.
TEST(SurfaceTest, BacktraceText) {
  const std::string header = "\n ╺━━━━━━━━━━━━━━━━━━━━┅ Backtrace ┅━━━━━━━━━━━━━━━━━━━━╸\n\n";
  const std::string footer = "\n ╺━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━╸\n\n";
  const std::string at = "     at src/file_type/surface.cpp:";
  struct Case {
    const char* name;
    std::vector<std::uint8_t> bytes;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"ends inside orig_palette_id", LeBytes().u32(2).u32(0x05000001).data,
       header +
           " 0: \x1b[1m\x1b[1mError: failed to fill whole buffer\x1b[22m\n"
           "           \x1b[1mWhile parsing field 'orig_palette_id' in TextureRefs\x1b[22m"
           "\x1b[22m\n" +
           at + std::to_string(source_line_of(kSource, "orig_palette_id")) + "\n" +
           " 1: \x1b[1mWhile parsing field 'texture_refs' in Surface\x1b[22m\n" + at +
           std::to_string(source_line_of(kSource, "texture_refs")) + "\n" + footer},
      {"ends inside diffuse", LeBytes().u32(1).u32(0).f32(0).f32(0).u8(0).u8(0).u8(0).data,
       header +
           " 0: \x1b[1m\x1b[1mError: failed to fill whole buffer\x1b[22m\n"
           "           \x1b[1mWhile parsing field 'diffuse' in Surface\x1b[22m\x1b[22m\n" +
           at + std::to_string(source_line_of(kSource, "diffuse")) + "\n" + footer},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto s = Surface::unpack(c.bytes);
    ASSERT_FALSE(s.has_value());
    EXPECT_EQ(s.error().display(), c.expected);
    EXPECT_EQ(s.error().debug(), c.expected);

    const DatError wrapped(s.error());
    EXPECT_EQ(wrapped.debug(), "BinRead(" + c.expected + ")");
    EXPECT_EQ(wrapped.display(), "Binary read error: " + c.expected);
  }
}

}  // namespace
}  // namespace quorvale_dat::file_type
