// The plain LRS decoder, step by step as the format describes it: one token at a time, one byte
// at a time. Tests and fuzz targets hold the library's decoder to it.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace quorvale_dat::build {

[[nodiscard]] std::vector<std::uint8_t> reference_decompress_lrs(
    std::span<const std::uint8_t> input);

}  // namespace quorvale_dat::build
