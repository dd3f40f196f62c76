#include "ids.hpp"

#include <charconv>
#include <limits>
#include <system_error>

namespace quorvale_dat::cli {
namespace {

constexpr std::string_view kDigits = "0123456789ABCDEF";

std::optional<std::uint64_t> parse_number(std::string_view text) noexcept {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    base = 16;
    if (text.size() > 8) return std::nullopt;
  }
  // from_chars alone would accept a leading '-' for a signed type, and stop quietly at the first
  // character that is not a digit.
  if (text.empty() || text.front() == '-' || text.front() == '+') return std::nullopt;
  std::uint64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

std::optional<std::uint32_t> parse_id(std::string_view text) noexcept {
  const auto value = parse_number(text);
  if (!value || *value > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
  return static_cast<std::uint32_t>(*value);
}

std::optional<std::uint8_t> parse_type_byte(std::string_view text) noexcept {
  const auto value = parse_number(text);
  if (!value || *value > 0xFF) return std::nullopt;
  return static_cast<std::uint8_t>(*value);
}

std::optional<IdRange> parse_range(std::string_view text) noexcept {
  const std::size_t dash = text.find('-');
  if (dash == std::string_view::npos) return std::nullopt;
  const auto first = parse_id(text.substr(0, dash));
  const auto last = parse_id(text.substr(dash + 1));
  if (!first || !last || *first > *last) return std::nullopt;
  return IdRange{*first, *last};
}

std::string hex2(std::uint8_t byte) {
  return std::string("0x") + kDigits[byte >> 4] + kDigits[byte & 0xFu];
}

std::optional<std::string> type_mismatch(std::uint32_t id, RecordType expected,
                                         std::string_view what) {
  const RecordType actual = record_type(id);
  if (actual == expected) return std::nullopt;
  // Every named type begins with a consonant: "a palette", "a texture list".
  const std::string_view name = record_type_name(actual);
  return std::string(what) + " " + hex8(id) + " is " +
         (name.empty() ? "of type " + hex2(type_byte(actual)) : "a " + std::string(name)) +
         ", not a " + std::string(record_type_name(expected));
}

}  // namespace quorvale_dat::cli
