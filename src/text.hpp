// Small text helpers shared by the error renderers (g++ 12 has no <format>).
#pragma once

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

// Lower-case hexadecimal digits without padding ("18").
[[nodiscard]] std::string hex_lower(std::uint64_t value);

}  // namespace quorvale_dat::detail
