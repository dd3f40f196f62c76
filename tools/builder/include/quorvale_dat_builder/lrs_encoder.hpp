// An LRS encoder, the inverse of utils::decompress_lrs: a u32 declared size, then flag bytes
// (0x80 first) each followed by eight tokens, literals or back-references of 2 to 17 bytes at
// distances 1 to 4095.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace quorvale_dat::build {

// A stream that decompress_lrs() turns back into `data`, finding repeats greedily.
[[nodiscard]] std::vector<std::uint8_t> compress_lrs(std::span<const std::uint8_t> data);

}  // namespace quorvale_dat::build
