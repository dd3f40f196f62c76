// Record ids, type bytes and id ranges as the command line spells them, and the message for a
// record of the wrong type.
//
// An id is "0x" followed by one to eight hexadecimal digits (either case), or a decimal number
// below 2^32: 0x080003E4 and 134218724 name the same record. Bare hexadecimal without "0x" is
// not accepted, since 05000ABC and 83888828 would both read as plausible ids of either kind. A
// type byte is written the same way, up to 0xFF. A range is two ids joined by '-', inclusive.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "quorvale_dat/format.hpp"
#include "text.hpp"

namespace quorvale_dat::cli {

struct IdRange {
  std::uint32_t first = 0;
  std::uint32_t last = 0xFFFFFFFF;

  [[nodiscard]] constexpr bool contains(std::uint32_t id) const noexcept {
    return first <= id && id <= last;
  }
};

[[nodiscard]] std::optional<std::uint32_t> parse_id(std::string_view text) noexcept;
[[nodiscard]] std::optional<std::uint8_t> parse_type_byte(std::string_view text) noexcept;
// FROM-TO with FROM <= TO.
[[nodiscard]] std::optional<IdRange> parse_range(std::string_view text) noexcept;

// "0x080003E4": the library's Hex8 form.
using detail::hex8;
// "0x06"
[[nodiscard]] std::string hex2(std::uint8_t byte);

// The message for a record of the wrong type, or nothing when `id` has the type `expected`:
// "record 0x06000D00 is a texture, not a palette"; a type without a name is shown by its byte,
// "record 0x0A000001 is of type 0x0A, not a palette". `what` replaces "record" ("palette").
[[nodiscard]] std::optional<std::string> type_mismatch(std::uint32_t id, RecordType expected,
                                                       std::string_view what = "record");

}  // namespace quorvale_dat::cli
