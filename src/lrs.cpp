// LRS decompression. The stream is a u32 declared size, then groups of a flag byte and eight
// tokens: a literal byte (flag bit 0) or a two-byte back-reference (flag bit 1) with a 12-bit
// distance and a length of 2 to 17, copied from the output itself.
//
// The decoder runs whole groups through a fast loop while the input holds a complete group
// (at most 17 bytes, plus 8 for a literal copy) and the output has not reached its capacity. The
// buffer has room for one more group's largest expansion (8 x 17 bytes) past the capacity, so no
// token in the loop needs a bounds check: a run of literals is one 8-byte copy, a back-reference
// at a distance of 8 or more is two fixed 8-byte copies plus one byte, and one at a shorter
// distance is its period repeated through two words in registers. The bytes written past a token's
// end, or past the declared size, lie inside the buffer and are overwritten or cut off later:
// output before the declared size never depends on them. The stream's last groups go through the
// plain token-by-token loop.

#include <algorithm>
#include <bit>
#include <cstring>

#include "quorvale_dat/utils.hpp"

namespace quorvale_dat::utils {
namespace {

// A group takes at most a flag byte and eight two-byte references, and makes at most 8 x 17
// bytes; literal runs are copied 8 bytes at a time, which may touch 8 bytes beyond either.
constexpr std::size_t kGroupInput = 1 + 8 * 2 + 8;
constexpr std::size_t kGroupOutput = 8 * 17 + 8;

struct Decoder {
  std::span<const std::uint8_t> src;
  std::uint64_t declared = 0;
  std::uint8_t* out = nullptr;
  // min(declared, 8 x input): no stream makes more. The fast loop starts a group only below it.
  std::size_t capacity = 0;
  std::size_t pos = 0;  // next byte of src
  std::size_t n = 0;    // bytes of output produced

  // A back-reference of `length` bytes at `distance`, byte by byte, index 0 standing in for
  // positions before the start. Stops at the declared size.
  void copy_slow(std::size_t distance, std::size_t length) {
    for (std::size_t k = 0; k < length && n < declared; ++k) {
      out[n] = out[n >= distance ? n - distance : 0];
      ++n;
    }
  }

  // A reference at a distance of 1 to 7 repeats its first `distance` bytes: the 17 bytes are
  // made in registers from one load, so no load waits on the stores just made.
  static void copy_period(std::uint8_t* dst, const std::uint8_t* from, std::size_t distance) {
    if constexpr (std::endian::native == std::endian::little) {
      // Per distance: the mask of its bytes, the multiplier that repeats them through a word,
      // and where in the period the second word and the last byte start.
      static constexpr std::uint64_t kMask[8] = {
          0, 0xFF, 0xFFFF, 0xFFFFFF, 0xFFFFFFFF, 0xFFFFFFFFFF, 0xFFFFFFFFFFFF, 0xFFFFFFFFFFFFFF};
      static constexpr std::uint64_t kRepeat[8] = {0,
                                                   0x0101010101010101,
                                                   0x0001000100010001,
                                                   0x0001000001000001,
                                                   0x0000000100000001,
                                                   0x0000010000000001,
                                                   0x0001000000000001,
                                                   0x0100000000000001};
      static constexpr std::uint8_t kAt8[8] = {0, 0, 0, 2, 0, 3, 2, 1};   // 8 % distance
      static constexpr std::uint8_t kAt16[8] = {0, 0, 0, 1, 0, 1, 4, 2};  // 16 % distance
      std::uint64_t w;
      std::memcpy(&w, from, 8);
      const std::uint64_t first = (w & kMask[distance]) * kRepeat[distance];
      const std::uint64_t second =
          ((first >> (8 * kAt8[distance])) & kMask[distance]) * kRepeat[distance];
      std::memcpy(dst, &first, 8);
      std::memcpy(dst + 8, &second, 8);
      dst[16] = static_cast<std::uint8_t>(first >> (8 * kAt16[distance]));
    } else {
      for (std::size_t k = 0; k < 17; ++k) dst[k] = from[k];
    }
  }

  // Decodes whole groups while they cannot run out of input or output. Returns false once the
  // stream has ended (a zero distance, or a reference with no output yet).
  bool fast_groups() {
    const std::uint8_t* s = src.data();
    if (src.size() < kGroupInput) return true;
    const std::size_t last_pos = src.size() - kGroupInput;
    while (pos <= last_pos && n < capacity) {
      const unsigned flags = s[pos++];
      unsigned token = 0;
      while (token < 8) {
        // The literals up to the next back-reference go as one 8-byte copy.
        const auto rest = static_cast<std::uint8_t>(flags << token);
        const unsigned literals =
            rest == 0 ? 8 - token : static_cast<unsigned>(std::countl_zero(rest));
        std::memcpy(out + n, s + pos, 8);
        n += literals;
        pos += literals;
        token += literals;
        if (token == 8) break;
        ++token;

        const unsigned b0 = s[pos];
        const unsigned b1 = s[pos + 1];
        pos += 2;
        const std::size_t distance = b0 | ((b1 & 0xF0u) << 4);
        const std::size_t length = (b1 & 0x0Fu) + 2;
        // One test for the rare cases: a zero distance (the end of the stream), no output yet,
        // or a distance reaching before the start.
        if (distance - 1 >= n) [[unlikely]] {
          if (distance == 0 || n == 0) return false;
          copy_slow(distance, length);
          continue;
        }
        std::uint8_t* dst = out + n;
        const std::uint8_t* from = dst - distance;
        if (distance >= 8) {
          // Each 8-byte step reads only bytes written before it.
          std::memcpy(dst, from, 8);
          std::memcpy(dst + 8, from + 8, 8);
          dst[16] = from[16];
        } else {
          copy_period(dst, from, distance);
        }
        n += length;
      }
    }
    return true;
  }

  // The plain loop, one token at a time with every check, from a group boundary.
  void slow_tail() {
    unsigned flags = 0;
    unsigned mask = 0;
    while (n < declared && pos < src.size()) {
      if (mask == 0) {
        flags = src[pos++];
        mask = 0x80;
      }
      if ((flags & mask) != 0) {
        if (src.size() - pos < 2) return;
        const unsigned b0 = src[pos];
        const unsigned b1 = src[pos + 1];
        pos += 2;
        const std::size_t distance = b0 | ((b1 & 0xF0u) << 4);
        const std::size_t length = (b1 & 0x0Fu) + 2;
        // A zero distance ends the stream; a reference with no output yet has nothing to copy.
        if (distance == 0 || n == 0) return;
        copy_slow(distance, length);
      } else {
        if (pos >= src.size()) return;
        out[n++] = src[pos++];
      }
      mask >>= 1;
    }
  }
};

}  // namespace

std::vector<std::uint8_t> decompress_lrs(std::span<const std::uint8_t> input) {
  if (input.size() < 4) return {input.begin(), input.end()};

  Decoder d;
  d.declared = static_cast<std::uint64_t>(input[0]) | static_cast<std::uint64_t>(input[1]) << 8 |
               static_cast<std::uint64_t>(input[2]) << 16 |
               static_cast<std::uint64_t>(input[3]) << 24;
  d.src = input.subspan(4);
  d.capacity = static_cast<std::size_t>(std::min<std::uint64_t>(d.declared, 8 * d.src.size()));

  // Room for one more group past the capacity, so that whole groups run fast up to the end of
  // the output; what they write past the declared size is cut off.
  std::vector<std::uint8_t> out(d.capacity + kGroupOutput);
  d.out = out.data();
  if (d.fast_groups()) d.slow_tail();
  out.resize(static_cast<std::size_t>(std::min<std::uint64_t>(d.n, d.declared)));
  return out;
}

}  // namespace quorvale_dat::utils
