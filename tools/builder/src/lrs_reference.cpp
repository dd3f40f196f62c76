#include "quorvale_dat_builder/lrs_reference.hpp"

#include <algorithm>

namespace quorvale_dat::build {

std::vector<std::uint8_t> reference_decompress_lrs(std::span<const std::uint8_t> input) {
  if (input.size() < 4) return {input.begin(), input.end()};
  const std::uint32_t declared =
      static_cast<std::uint32_t>(input[0]) | static_cast<std::uint32_t>(input[1]) << 8 |
      static_cast<std::uint32_t>(input[2]) << 16 | static_cast<std::uint32_t>(input[3]) << 24;
  const auto src = input.subspan(4);
  std::vector<std::uint8_t> out;
  out.reserve(std::min<std::size_t>(declared, 8 * src.size()));
  unsigned flags = 0;
  unsigned mask = 0;
  std::size_t pos = 0;
  for (;;) {
    if (out.size() >= declared) break;
    if (pos >= src.size()) break;
    if (mask == 0) {
      flags = src[pos];
      pos += 1;
      mask = 0x80;
    }
    if ((flags & mask) != 0) {
      if (src.size() - pos < 2) break;
      const unsigned b0 = src[pos];
      const unsigned b1 = src[pos + 1];
      pos += 2;
      const std::size_t distance = b0 | ((b1 & 0xF0u) << 4);
      const std::size_t length = (b1 & 0x0Fu) + 2;
      if (distance == 0) break;
      // Nothing to copy from yet: the stream is malformed and ends here.
      if (out.empty()) break;
      for (std::size_t k = 0; k < length; ++k) {
        if (out.size() >= declared) break;
        const std::size_t n = out.size();
        const std::size_t i = n >= distance ? n - distance : 0;
        const std::uint8_t byte = out[i];
        out.push_back(byte);
      }
    } else {
      if (pos >= src.size()) break;
      out.push_back(src[pos]);
      pos += 1;
    }
    mask >>= 1;
  }
  return out;
}

}  // namespace quorvale_dat::build
