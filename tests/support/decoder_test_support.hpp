// Helpers for the record decoder tests: little-endian record bytes written field by field, the
// source line that reads a field (the line a failing field's context frame names), the error a
// failing field gives, and the largest single allocation a decode made (allocation_probe.cpp).
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "quorvale_dat/parse_error.hpp"

namespace quorvale_dat::test_support {

struct LeBytes {
  std::vector<std::uint8_t> data;

  LeBytes& u8(std::uint8_t v) {
    data.push_back(v);
    return *this;
  }
  LeBytes& u32(std::uint32_t v) {
    for (int shift = 0; shift < 32; shift += 8) u8(static_cast<std::uint8_t>(v >> shift));
    return *this;
  }
  LeBytes& i32(std::int32_t v) { return u32(static_cast<std::uint32_t>(v)); }
  LeBytes& f32(float v) { return u32(std::bit_cast<std::uint32_t>(v)); }
};

// The line of `file` (relative to the repository root) that reads the field named `field`: the
// only line of the file holding the field's name in double quotes.
inline std::uint32_t source_line_of(const std::string& file, const std::string& field) {
  std::ifstream in(std::string(QUORVALE_DAT_SOURCE_DIR) + "/" + file);
  EXPECT_TRUE(in.is_open()) << file;
  std::uint32_t found = 0;
  std::uint32_t number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    if (line.find('"' + field + '"') == std::string::npos) continue;
    EXPECT_EQ(found, 0u) << "field '" << field << "' named on two lines of " << file;
    found = number;
  }
  EXPECT_NE(found, 0u) << "field '" << field << "' not read in " << file;
  return found;
}

// `root` as a decoder reports it from a field of `record`: under the frame that names the field,
// at the line of `source` that reads it.
inline ParseError in_field(ParseError root, const std::string& record, const std::string& source,
                           const std::string& field) {
  return with_context(std::move(root),
                      BacktraceFrame::full("While parsing field '" + field + "' in " + record,
                                           source, source_line_of(source, field)));
}

// The largest single allocation since reset_largest_allocation(), for checking that a decoder
// does not size a buffer from a stored count before the bytes are there. Available to tests
// linked with support/allocation_probe.cpp.
void reset_largest_allocation() noexcept;
[[nodiscard]] std::size_t largest_allocation() noexcept;

}  // namespace quorvale_dat::test_support
