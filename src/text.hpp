// Small text helpers of the library, used by its error texts and by the project's own tools (which
// reach them through the internal quorvale_dat_internal target; they are not installed).
//
//   hex8(0x080003E4)          "0x080003E4", the form ids and offsets take in messages
//   hex8_digits(0x080003E4)   "080003E4"
//   utf8_sequence_length(s, i) 0 when s[i] does not start a valid UTF-8 sequence
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quorvale_dat::detail {

// `text` in double quotes, escaped as quoted debug text: a backslash before '"' and '\\', the
// usual escapes for tab, carriage return, line feed and NUL, \u{..} for other control characters,
// and \xNN for each byte that is not part of valid UTF-8.
[[nodiscard]] std::string quote_debug(std::string_view text);

// Exactly eight upper-case hexadecimal digits, zero-padded ("080003E4").
[[nodiscard]] std::string hex8_digits(std::uint32_t value);

// "0x" and exactly eight upper-case hexadecimal digits ("0x080003E4").
[[nodiscard]] std::string hex8(std::uint32_t value);

// Lower-case hexadecimal digits without padding ("18").
[[nodiscard]] std::string hex_lower(std::uint64_t value);

// The length of the valid UTF-8 sequence that starts at text[i]: 1 for an ASCII byte, 2 to 4 for
// a multi-byte sequence, 0 when the bytes there are not valid UTF-8 (a stray continuation byte, an
// overlong form, a surrogate, a code point above U+10FFFF, a sequence cut short).
// Requires: i < text.size().
[[nodiscard]] std::size_t utf8_sequence_length(std::string_view text, std::size_t i) noexcept;

// Whether all of `text` is valid UTF-8.
[[nodiscard]] bool is_utf8(std::string_view text) noexcept;

}  // namespace quorvale_dat::detail
