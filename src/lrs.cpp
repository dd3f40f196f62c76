// LRS decompression. The stream is a u32 declared size, then groups of a flag byte and eight
// tokens: a literal byte (flag bit 0) or a two-byte back-reference (flag bit 1) with a 12-bit
// distance and a length of 2 to 17, copied from the output itself.
//
// The output buffer is sized once, at min(declared, 8 x input) plus one group's largest expansion
// (8 x 17 bytes and an 8-byte overrun); no stream makes more than 8 x its input. The decoder runs
// whole groups through a fast loop (src/lrs_groups.hpp) while the input holds a complete group
// and the output has not reached that bound, so no token there needs a bounds check: a run of
// literals is one 8-byte copy, a back-reference a fixed 17-byte copy. A table over the flag byte
// says where each reference of a group and the literals before it lie, so the group's loop runs
// once per reference and never counts tokens. The bytes written past a token's end, or past the
// declared size, lie inside the buffer and are overwritten or cut off later; output before the
// declared size never depends on them, since every copy reads only bytes before its destination.
// The stream's last bytes (under a whole group's input) are copied into a small zero-padded
// buffer, where the same loop runs while it holds a complete group; only a last incomplete group
// goes through the plain token-by-token loop.
//
// A back-reference's 17 bytes: with SSSE3 (chosen at run time, src/lrs_ssse3.cpp), one 16-byte
// load shuffled by a per-distance pattern, so that a distance below 16 repeats its period without
// a branch; elsewhere two 8-byte copies at a distance of 8 or more and, below 8, the period
// repeated through two words in registers.

#include <algorithm>
#include <bit>
#include <cstring>

#include "lrs_groups.hpp"
#include "quorvale_dat/utils.hpp"

namespace quorvale_dat::utils {
namespace {

using lrs::State;

struct PortableCopy {
  static void match(std::uint8_t* out, std::size_t n, std::size_t at, std::size_t distance) {
    std::uint8_t* const dst = out + n;
    const std::uint8_t* const from = out + at;
    if (distance >= 8) {
      // Each 8-byte step reads only bytes written before it.
      std::memcpy(dst, from, 8);
      std::memcpy(dst + 8, from + 8, 8);
      dst[16] = from[16];
    } else {
      copy_period(dst, from, distance);
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
};

bool fast_groups_portable(State& st) { return lrs::fast_groups<PortableCopy>(st); }

bool cpu_has_ssse3() {
#if defined(QUORVALE_DAT_LRS_SSSE3)
  // The first call may come from a static constructor, before the CPU model is filled in.
  __builtin_cpu_init();
  return __builtin_cpu_supports("ssse3");
#else
  return false;
#endif
}

// The plain loop, one token at a time with every check, from a group boundary.
void slow_tail(State& st) {
  const std::uint8_t* const src = st.src;
  unsigned flags = 0;
  unsigned mask = 0;
  while (st.n < st.declared && st.pos < st.size) {
    if (mask == 0) {
      flags = src[st.pos++];
      mask = 0x80;
    }
    if ((flags & mask) != 0) {
      if (st.size - st.pos < 2) return;
      const unsigned b0 = src[st.pos];
      const unsigned b1 = src[st.pos + 1];
      st.pos += 2;
      const std::size_t distance = b0 | ((b1 & 0xF0u) << 4);
      const std::size_t length = (b1 & 0x0Fu) + 2;
      // A zero distance ends the stream; a reference with no output yet has nothing to copy.
      if (distance == 0 || st.n == 0) return;
      lrs::copy_slow(st, distance, length);
    } else {
      if (st.pos >= st.size) return;
      st.out[st.n++] = src[st.pos++];
    }
    mask >>= 1;
  }
}

}  // namespace

namespace lrs {

bool has_ssse3_loop() {
  static const bool has = cpu_has_ssse3();
  return has;
}

std::vector<std::uint8_t> decompress(std::span<const std::uint8_t> input, Loop loop) {
  if (input.size() < 4) return {input.begin(), input.end()};

  State st;
  st.declared = static_cast<std::uint64_t>(input[0]) | static_cast<std::uint64_t>(input[1]) << 8 |
                static_cast<std::uint64_t>(input[2]) << 16 |
                static_cast<std::uint64_t>(input[3]) << 24;
  st.src = input.data() + 4;
  st.size = input.size() - 4;
  st.capacity = static_cast<std::size_t>(std::min<std::uint64_t>(st.declared, 8 * st.size));

  // Room for one more group past the capacity, so that whole groups run fast up to the end of
  // the output; what they write past the declared size is cut off.
  std::vector<std::uint8_t> out(st.capacity + lrs::kGroupOutput);
  st.out = out.data();
  bool more = false;
#if defined(QUORVALE_DAT_LRS_SSSE3)
  if (loop != Loop::portable && has_ssse3_loop()) {
    more = fast_groups_ssse3(st);
  } else {
    more = fast_groups_portable(st);
  }
#else
  static_cast<void>(loop);
  more = fast_groups_portable(st);
#endif
  if (more) slow_tail(st);
  out.resize(static_cast<std::size_t>(std::min<std::uint64_t>(st.n, st.declared)));
  return out;
}

}  // namespace lrs

std::vector<std::uint8_t> decompress_lrs(std::span<const std::uint8_t> input) {
  return lrs::decompress(input, lrs::Loop::best);
}

}  // namespace quorvale_dat::utils
