// The LRS decoder's group loop, shared by the portable build of src/lrs.cpp and the SSSE3 build
// of src/lrs_ssse3.cpp. Everything here has internal linkage, so that code compiled for SSSE3
// never stands in for the portable code of another translation unit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace quorvale_dat::utils::lrs {

// A group takes at most a flag byte and eight two-byte references, and makes at most 8 x 17
// bytes. Literal runs are copied 8 bytes at a time and references 17 or 24 bytes at a time, which
// touches up to 8 bytes beyond either.
inline constexpr std::size_t kGroupInput = 1 + 8 * 2 + 8;
inline constexpr std::size_t kGroupOutput = 8 * 17 + 8;

// The decoder's state between its two loops.
struct State {
  const std::uint8_t* src = nullptr;
  std::size_t size = 0;  // bytes of src
  std::uint64_t declared = 0;
  // The output buffer holds capacity + kGroupOutput bytes; capacity = min(declared, 8 x size),
  // since no stream makes more. A group starts in the fast loop only below it.
  std::uint8_t* out = nullptr;
  std::size_t capacity = 0;
  std::size_t pos = 0;  // next byte of src
  std::size_t n = 0;    // bytes of output produced
};

// The group loop for a CPU with SSSE3, in its own translation unit. Same contract as the portable
// one in src/lrs.cpp: decodes whole groups while they cannot run out of input or output, and
// returns false once the stream has ended (a zero distance, or a reference with no output yet).
bool fast_groups_ssse3(State& st);

// Which group loop decodes: the best one for this CPU, or a given one (for tests that check
// both). ssse3 falls back to portable where has_ssse3_loop() is false.
enum class Loop { best, portable, ssse3 };
bool has_ssse3_loop();
std::vector<std::uint8_t> decompress(std::span<const std::uint8_t> input, Loop loop);

namespace {

// A back-reference of `length` bytes at `distance`, byte by byte, index 0 standing in for
// positions before the start. Stops at the declared size.
inline void copy_slow(State& st, std::size_t distance, std::size_t length) {
  for (std::size_t k = 0; k < length && st.n < st.declared; ++k) {
    st.out[st.n] = st.out[st.n >= distance ? st.n - distance : 0];
    ++st.n;
  }
}

// Whole groups without a bounds check per token. Copy::match(dst, distance) writes the 17 bytes
// of a reference at 1 <= distance <= dst - out; whatever it writes past the reference's length is
// overwritten by the following tokens or cut off at the end, and no later token reads it first:
// every copy reads only bytes before its destination.
template <class Copy>
inline bool fast_groups(State& st) {
  if (st.size < kGroupInput) return true;
  const std::uint8_t* const s = st.src;
  std::uint8_t* const out = st.out;
  const std::size_t last_pos = st.size - kGroupInput;
  std::size_t pos = st.pos;
  std::size_t n = st.n;
  bool more = true;
  while (pos <= last_pos && n < st.capacity) {
    const unsigned flags = s[pos++];
    unsigned token = 0;
    while (token < 8) {
      // The literals up to the next back-reference go as one 8-byte copy.
      const auto rest = static_cast<std::uint8_t>(flags << token);
      const unsigned literals =
          rest == 0 ? 8 - token : static_cast<unsigned>(__builtin_clz(rest)) - 24;
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
        if (distance == 0 || n == 0) {
          more = false;
          break;
        }
        st.n = n;
        copy_slow(st, distance, length);
        n = st.n;
        continue;
      }
      Copy::match(out + n, distance);
      n += length;
    }
    if (!more) break;
  }
  st.pos = pos;
  st.n = n;
  return more;
}

}  // namespace
}  // namespace quorvale_dat::utils::lrs
