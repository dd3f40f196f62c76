// Record bytes for the tests' archives: made from the id, compressible (runs of a few values)
// or not (every byte differs from its neighbours).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorvale_dat::test_support {

inline std::vector<std::uint8_t> content(std::uint32_t id, std::size_t size, bool compressible) {
  std::vector<std::uint8_t> b(size);
  for (std::size_t i = 0; i < size; ++i) {
    b[i] = compressible ? static_cast<std::uint8_t>((i / 7) % 5 + id % 3)
                        : static_cast<std::uint8_t>(i * 131 + id * 17 + i / 253);
  }
  return b;
}

}  // namespace quorvale_dat::test_support
