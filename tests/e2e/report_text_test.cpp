// The text forms of the dump_surface_80003e4 report.
#include "report_text.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace {

struct FloatCase {
  float value;
  std::string expected;
};

TEST(ReportText, FloatIsShortestRoundTripInPositionalNotation) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<FloatCase> cases = {
      {0.0f, "0"},
      {-0.0f, "-0"},
      {1.0f, "1"},
      {-1.0f, "-1"},
      {0.5f, "0.5"},
      {0.1f, "0.1"},
      {0.75f, "0.75"},
      {100.0f, "100"},
      {1e7f, "10000000"},
      {1e16f, "10000000000000000"},
      {1e20f, "100000000000000000000"},
      {-1e20f, "-100000000000000000000"},
      {1e-7f, "0.0000001"},
      {1.5e-5f, "0.000015"},
      {-2.5e-3f, "-0.0025"},
      {1234.5678f, "1234.5677"},
      // Shortest digits, not the integer's exact value (123456792).
      {123456789.0f, "123456790"},
      {16777216.0f, "16777216"},
      {3.4028235e38f, "340282350000000000000000000000000000000"},
      {std::numeric_limits<float>::min(), "0.000000000000000000000000000000000000011754944"},
      {std::numeric_limits<float>::denorm_min(), "0.000000000000000000000000000000000000000000001"},
      {std::numeric_limits<float>::infinity(), "inf"},
      {-std::numeric_limits<float>::infinity(), "-inf"},
      {nan, "NaN"},
      {-nan, "NaN"},
      {std::bit_cast<float>(std::uint32_t{0xFFC00001}), "NaN"},
      {std::bit_cast<float>(std::uint32_t{0x7F800001}), "NaN"},
  };
  for (const FloatCase& c : cases) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(report_text::float_text(c.value), c.expected);
  }
}

TEST(ReportText, HexForms) {
  EXPECT_EQ(report_text::hex8(0), "0x00000000");
  EXPECT_EQ(report_text::hex8(0x080003E4), "0x080003E4");
  EXPECT_EQ(report_text::hex8(0xFFFFFFFF), "0xFFFFFFFF");
  EXPECT_EQ(report_text::hex(0), "0x0");
  EXPECT_EQ(report_text::hex(7), "0x7");
  EXPECT_EQ(report_text::hex(41), "0x29");
  EXPECT_EQ(report_text::hex(0x31545844), "0x31545844");
  EXPECT_EQ(report_text::hex(0xF0000000), "0xF0000000");
}

TEST(ReportText, ListForms) {
  EXPECT_EQ(report_text::optional_id(std::nullopt), "None");
  EXPECT_EQ(report_text::optional_id(0x04000ABD), "Some(\"0x04000ABD\")");

  const std::vector<std::uint32_t> no_ids;
  const std::vector<std::uint32_t> ids = {0x06000ABC, 0x00000001};
  EXPECT_EQ(report_text::id_list(no_ids), "[]");
  EXPECT_EQ(report_text::id_list(ids), "[\"0x06000ABC\", \"0x00000001\"]");

  std::array<bool, 256> set{};
  EXPECT_EQ(report_text::index_set(set), "{}");
  set[255] = set[0] = set[17] = true;
  EXPECT_EQ(report_text::index_set(set), "{0, 17, 255}");

  const std::vector<std::uint8_t> no_bytes;
  const std::vector<std::uint8_t> bytes = {0, 1, 255, 0};
  EXPECT_EQ(report_text::byte_list(no_bytes), "[]");
  EXPECT_EQ(report_text::byte_list(bytes), "[0, 1, 255, 0]");

  EXPECT_EQ(report_text::padded(5, 3), "  5");
  EXPECT_EQ(report_text::padded(200, 3), "200");
  EXPECT_EQ(report_text::padded(1000, 3), "1000");
  EXPECT_EQ(report_text::decimal(-1), "-1");
}

}  // namespace
