#include "hexdump.hpp"

#include <algorithm>
#include <string_view>

namespace quorvale_dat::cli {
namespace {

constexpr std::string_view kDigits = "0123456789abcdef";

void put_hex(std::string& out, std::uint64_t value, int digits) {
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) out += kDigits[(value >> shift) & 0xF];
}

}  // namespace

std::string hexdump(std::span<const std::uint8_t> bytes) {
  std::string out;
  for (std::size_t line = 0; line < bytes.size(); line += 16) {
    const std::span<const std::uint8_t> row =
        bytes.subspan(line, std::min<std::size_t>(16, bytes.size() - line));
    put_hex(out, line, 8);
    out += ' ';
    for (std::size_t i = 0; i < 16; ++i) {
      if (i == 8) out += ' ';
      if (i < row.size()) {
        out += ' ';
        put_hex(out, row[i], 2);
      } else {
        out += "   ";
      }
    }
    out += "  |";
    for (std::uint8_t b : row) out += b >= 0x20 && b < 0x7F ? static_cast<char>(b) : '.';
    out += "|\n";
  }
  put_hex(out, bytes.size(), 8);
  out += '\n';
  return out;
}

}  // namespace quorvale_dat::cli
