// Decompresses the fuzz input as an LRS stream: the output never exceeds the declared size and
// equals the plain reference decoder's, byte for byte, from the group loop this CPU gets and from
// the portable one.

#include <cstddef>
#include <cstdint>
#include <span>

#include "lrs_groups.hpp"
#include "quorvale_dat/utils.hpp"
#include "quorvale_dat_builder/lrs_reference.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> input(data, size);
  const auto out = quorvale_dat::utils::decompress_lrs(input);
  if (size >= 4) {
    const std::uint64_t declared =
        static_cast<std::uint64_t>(data[0]) | static_cast<std::uint64_t>(data[1]) << 8 |
        static_cast<std::uint64_t>(data[2]) << 16 | static_cast<std::uint64_t>(data[3]) << 24;
    if (out.size() > declared || out.size() > 8 * (size - 4)) __builtin_trap();
  }
  const auto expected = quorvale_dat::build::reference_decompress_lrs(input);
  if (out != expected) __builtin_trap();
  namespace lrs = quorvale_dat::utils::lrs;
  if (lrs::decompress(input, lrs::Loop::portable) != expected) __builtin_trap();
  return 0;
}
