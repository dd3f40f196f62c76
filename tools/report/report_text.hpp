// Text forms of the dump_surface_80003e4 report: hexadecimal ids, floats in positional notation,
// quoted optional ids, id lists, index sets and byte lists.
//
//   report_text::hex8(0x080003E4)         "0x080003E4"
//   report_text::float_text(1e-7f)        "0.0000001"
//   report_text::optional_id(std::nullopt) "None"
#pragma once

#include <array>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>

#include "text.hpp"

namespace report_text {

// "0x" and exactly eight upper-case hexadecimal digits: the library's Hex8 form.
using quorvale_dat::detail::hex8;

// "0x" and upper-case hexadecimal digits without leading zeros; zero is "0x0".
inline std::string hex(std::uint32_t value) {
  std::string digits = hex8(value).substr(2);
  const std::size_t first = digits.find_first_not_of('0');
  return "0x" + (first == std::string::npos ? std::string("0") : digits.substr(first));
}

template <class Int>
std::string decimal(Int value) {
  std::array<char, 24> buf{};
  auto [end, ec] = std::to_chars(buf.data(), buf.data() + buf.size(), value);
  return std::string(buf.data(), ec == std::errc{} ? end : buf.data());
}

// The shortest decimal digits that read back as `value`, written positionally, never with an
// exponent: 1e20 is "100000000000000000000", 1e-7 is "0.0000001", 1 is "1", -0 is "-0". Any NaN
// is "NaN" whatever its sign bit; the infinities are "inf" and "-inf".
inline std::string float_text(float value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";

  // Scientific form without a precision gives the shortest round-trip digits; the plain form may
  // pad a large integer with digits beyond them ("123456792" instead of "123456790").
  std::array<char, 64> buf{};
  auto [end, ec] =
      std::to_chars(buf.data(), buf.data() + buf.size(), value, std::chars_format::scientific);
  if (ec != std::errc{}) return "NaN";  // cannot happen: 64 bytes hold any float
  const std::string_view sci(buf.data(), static_cast<std::size_t>(end - buf.data()));

  std::string out;
  std::size_t i = 0;
  if (sci[i] == '-') {
    out += '-';
    ++i;
  }
  std::string digits;
  for (; i < sci.size() && sci[i] != 'e'; ++i) {
    if (sci[i] != '.') digits += sci[i];
  }
  int exponent = 0;
  if (i < sci.size()) {
    const char* first = sci.data() + i + 1;
    if (*first == '+') ++first;
    std::from_chars(first, sci.data() + sci.size(), exponent);
  }
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();

  // Digits before the decimal point: the first digit sits just before it at exponent 0.
  const long point = static_cast<long>(exponent) + 1;
  const long count = static_cast<long>(digits.size());
  if (digits == "0") {
    out += '0';
  } else if (point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out += digits;
  } else if (point >= count) {
    out += digits;
    out.append(static_cast<std::size_t>(point - count), '0');
  } else {
    out += digits.substr(0, static_cast<std::size_t>(point));
    out += '.';
    out += digits.substr(static_cast<std::size_t>(point));
  }
  return out;
}

// Some("0x04000ABD") or None.
inline std::string optional_id(std::optional<std::uint32_t> id) {
  return id ? "Some(\"" + hex8(*id) + "\")" : "None";
}

// ["0x06000ABC", "0x06000ABD"]; an empty list is [].
inline void append_id_list(std::string& out, std::span<const std::uint32_t> ids) {
  out += '[';
  for (std::size_t i = 0; i < ids.size(); ++i) {
    if (i > 0) out += ", ";
    out += '"';
    out += hex8(ids[i]);
    out += '"';
  }
  out += ']';
}

inline std::string id_list(std::span<const std::uint32_t> ids) {
  std::string out;
  append_id_list(out, ids);
  return out;
}

// {0, 1, 200}: the members of a set of byte values, ascending; an empty set is {}.
inline std::string index_set(const std::array<bool, 256>& members) {
  std::string out = "{";
  bool first = true;
  for (std::size_t v = 0; v < members.size(); ++v) {
    if (!members[v]) continue;
    if (!first) out += ", ";
    first = false;
    out += decimal(v);
  }
  return out + "}";
}

// [0, 1, 1, 0]; an empty array is [].
inline std::string byte_list(std::span<const std::uint8_t> bytes) {
  std::string out = "[";
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0) out += ", ";
    out += decimal(static_cast<unsigned>(bytes[i]));
  }
  return out + "]";
}

// `value` in decimal, right-aligned in a field of `width` characters filled with spaces.
inline std::string padded(std::uint32_t value, std::size_t width) {
  std::string digits = decimal(value);
  return digits.size() >= width ? digits : std::string(width - digits.size(), ' ') + digits;
}

}  // namespace report_text
