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
// bytes; literal runs are copied 8 bytes at a time, which may touch 8 bytes beyond either.
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

// Where the tokens of a group lie, for each flag byte: for each back-reference in turn and then
// for the group's end, the literals before it: the offset of the first one after the flag byte
// (bits 0-15) and their count (bits 16-23). The two bytes of a reference follow its literals.
// With it, a group's loop runs once per reference, and nothing in it depends on the previous
// reference's position in the stream.
struct Plan {
  std::uint32_t entry[256][9];
  std::uint8_t refs[256];
};

constexpr Plan make_plan() {
  Plan p{};
  for (unsigned f = 0; f < 256; ++f) {
    unsigned k = 0;
    unsigned first = 0;   // token after the previous reference
    unsigned offset = 0;  // where that token starts, after the flag byte
    for (unsigned token = 0; token <= 8; ++token) {
      if (token < 8 && (f & (0x80u >> token)) == 0) continue;
      const unsigned literals = token - first;
      p.entry[f][k++] = offset | literals << 16;
      offset += literals + 2;
      first = token + 1;
    }
    p.refs[f] = static_cast<std::uint8_t>(k - 1);
  }
  return p;
}

inline constexpr Plan kPlan = make_plan();

// Whole groups without a bounds check per token, while the input holds a whole group and the
// output is below its bound. A run of literals is one 8-byte copy; Copy::match(dst, distance)
// writes the 17 bytes of a reference at 1 <= distance <= dst - out. Whatever either writes past
// the token's length is overwritten by the following tokens or cut off at the end, and no later
// token reads it first: every copy reads only bytes before its destination.
template <class Copy>
inline bool fast_groups(State& st) {
  if (st.size < kGroupInput) return true;
  const std::uint8_t* const s = st.src;
  std::uint8_t* const out = st.out;
  const std::size_t last_pos = st.size - kGroupInput;
  std::size_t pos = st.pos;
  std::size_t n = st.n;
  while (pos <= last_pos && n < st.capacity) {
    const unsigned flags = s[pos];
    const std::uint8_t* const group = s + pos + 1;
    const std::uint32_t* const entry = kPlan.entry[flags];
    const unsigned refs = kPlan.refs[flags];
    pos += 9 + refs;
    for (unsigned k = 0; k < refs; ++k) {
      const std::uint32_t e = entry[k];
      const std::uint8_t* const from = group + (e & 0xFFFF);
      const std::size_t literals = (e >> 16) & 0xFF;
      std::memcpy(out + n, from, 8);
      n += literals;
      const std::size_t b0 = from[literals];
      const std::size_t b1 = from[literals + 1];
      const std::size_t distance = b0 | ((b1 & 0xF0u) << 4);
      const std::size_t length = (b1 & 0x0Fu) + 2;
      // One test for the rare cases: a zero distance (the end of the stream), no output yet,
      // or a distance reaching before the start.
      if (distance - 1 >= n) [[unlikely]] {
        if (distance == 0 || n == 0) {
          st.n = n;
          return false;
        }
        st.n = n;
        copy_slow(st, distance, length);
        n = st.n;
        continue;
      }
      Copy::match(out + n, distance);
      n += length;
    }
    const std::uint32_t e = entry[refs];
    std::memcpy(out + n, group + (e & 0xFFFF), 8);
    n += (e >> 16) & 0xFF;
  }
  st.pos = pos;
  st.n = n;
  return true;
}

}  // namespace
}  // namespace quorvale_dat::utils::lrs
