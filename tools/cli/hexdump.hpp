// Bytes as a canonical hex dump: offset, sixteen bytes in two groups of eight, and the printable
// ASCII characters between bars, ending with a line that holds the total length.
//
//   00000000  68 65 6c 6c 6f 0a                                 |hello.|
//   00000006
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace quorvale_dat::cli {

[[nodiscard]] std::string hexdump(std::span<const std::uint8_t> bytes);

}  // namespace quorvale_dat::cli
