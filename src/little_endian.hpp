// Little-endian loads for the library's internal readers of bytes already known to be there
// (chain pointers, node fields), assembled byte by byte: compilers turn it into one load.
#pragma once

#include <bit>
#include <cstdint>

namespace quorvale_dat::detail {

// The value of the sizeof(T) bytes at `p`, without any bounds checking.
template <class T>
[[nodiscard]] constexpr T load_le(const std::uint8_t* p) noexcept {
  if constexpr (sizeof(T) == 1) {
    return static_cast<T>(p[0]);
  } else {
    static_assert(sizeof(T) == 4);
    const std::uint32_t v =
        static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
        static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
    return std::bit_cast<T>(v);
  }
}

}  // namespace quorvale_dat::detail
