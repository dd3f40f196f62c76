#include <algorithm>

#include "quorvale_dat/utils.hpp"

namespace quorvale_dat::utils {

std::vector<std::uint8_t> decompress_lrs(std::span<const std::uint8_t> input) {
  if (input.size() < 4) return {input.begin(), input.end()};

  const std::uint64_t declared =
      static_cast<std::uint64_t>(input[0]) | static_cast<std::uint64_t>(input[1]) << 8 |
      static_cast<std::uint64_t>(input[2]) << 16 | static_cast<std::uint64_t>(input[3]) << 24;
  const std::span<const std::uint8_t> src = input.subspan(4);

  std::vector<std::uint8_t> out;
  out.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(declared, 8 * src.size())));

  unsigned flags = 0;
  unsigned mask = 0;
  std::size_t pos = 0;
  while (out.size() < declared && pos < src.size()) {
    if (mask == 0) {
      flags = src[pos++];
      mask = 0x80;
    }
    if ((flags & mask) != 0) {
      if (src.size() - pos < 2) break;
      const unsigned b0 = src[pos];
      const unsigned b1 = src[pos + 1];
      pos += 2;
      const std::size_t distance = b0 | ((b1 & 0xF0u) << 4);
      const std::size_t length = (b1 & 0x0Fu) + 2;
      // A zero distance ends the stream; a reference with no output yet has nothing to copy.
      if (distance == 0 || out.empty()) break;
      for (std::size_t k = 0; k < length && out.size() < declared; ++k) {
        const std::size_t n = out.size();
        const std::uint8_t byte = out[n >= distance ? n - distance : 0];
        out.push_back(byte);
      }
    } else {
      if (pos >= src.size()) break;
      out.push_back(src[pos++]);
    }
    mask >>= 1;
  }
  return out;
}

}  // namespace quorvale_dat::utils
