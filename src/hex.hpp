// "0x" and eight upper-case hex digits, the form offsets take in the reader's messages.
#pragma once

#include <cstdint>
#include <string>

#include "text.hpp"

namespace quorvale_dat::detail {

[[nodiscard]] inline std::string hex8(std::uint64_t value) {
  return "0x" + hex8_digits(static_cast<std::uint32_t>(value));
}

}  // namespace quorvale_dat::detail
