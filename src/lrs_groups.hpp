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
// and their count, one byte each, so that a step reads them with two byte loads. The two bytes
// of a reference follow its literals. With it, a group's loop runs once per reference, and
// nothing in it depends on the previous reference's position in the stream.
struct alignas(32) PlanRow {
  std::uint8_t offset[16];
  std::uint8_t literals[16];
};
// A reference's second byte b1 holds its distance's bits 8-11 and its length code: both read
// from tables, so that decoding a reference is two byte loads, two table loads and an add. They
// share one object with the rows, so that the loop needs one register for all of them.
struct Plan {
  PlanRow row[256];
  // Per flag byte, the group's bytes, flag byte included (9 + its references): apart from the
  // rows, so that finding the next group takes one load after the flag byte's.
  std::uint8_t size[256];
  std::uint16_t high[256];   // (b1 >> 4) << 8
  std::uint8_t length[256];  // (b1 & 0x0F) + 2
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
      p.row[f].offset[k] = static_cast<std::uint8_t>(offset);
      p.row[f].literals[k++] = static_cast<std::uint8_t>(literals);
      offset += literals + 2;
      first = token + 1;
    }
    p.size[f] = static_cast<std::uint8_t>(9 + k - 1);
  }
  for (unsigned b1 = 0; b1 < 256; ++b1) {
    p.high[b1] = static_cast<std::uint16_t>((b1 >> 4) << 8);
    p.length[b1] = static_cast<std::uint8_t>((b1 & 0x0F) + 2);
  }
  return p;
}

inline constexpr Plan kPlan = make_plan();

// Whole groups without a bounds check per token, while the output is below its bound and the
// input holds the group: with Exact false, while it holds a group of the largest size and the
// bytes it may read past it (kGroupInput); with Exact true, while it holds the group itself (the
// caller then supplies zeros past the end for the over-reads). A run of literals is one 8-byte
// copy; Copy::match(out, n, at, distance) writes the 17 bytes of a reference at out + n from
// out + at, at = n - distance, 1 <= distance <= n (the buffer and two positions rather than two
// pointers, so that the compiler folds them into the addresses of the loads and stores). Whatever
// either writes past the token's length is overwritten by the following tokens or cut off at the
// end, and no later token reads it first: every copy reads only bytes before its destination.
template <class Copy, bool Exact>
inline bool run_groups(State& st) {
  std::uint8_t* const out = st.out;
  const std::uint8_t* p = st.src + st.pos;
  const std::uint8_t* const last = st.src + (Exact ? st.size : st.size - kGroupInput);
  std::size_t n = st.n;
  const std::size_t capacity = st.capacity;
  // The next group's flag byte is read as soon as this group's size is known, a group ahead of
  // its use, so that the branches that depend on it (all literals, the end of the reference
  // loop) resolve soon after they are reached.
  unsigned flags = (Exact ? p < last : p <= last) ? *p : 0;
  while ((Exact ? p < last : p <= last) && n < capacity) {
    const std::uint8_t* const group = p + 1;
    if (!Exact && flags == 0) {
      // Eight literals, a third of the groups of compressible data. Tested on the flag byte
      // itself, this branch resolves sooner than the count of references from the plan, which
      // pays when it is mispredicted, though it adds instructions.
      std::memcpy(out + n, group, 8);
      n += 8;
      p += 9;
      flags = *p;
      continue;
    }
    const PlanRow& row = kPlan.row[flags];
    const std::size_t size = kPlan.size[flags];
    if (Exact && static_cast<std::size_t>(last - p) < size) break;
    p += size;
    flags = *p;
    // One step per reference: offset[k] and literals[k], 16 bytes further, say where its
    // literals lie; the step past the last reference is the group's end. The loop ends on the
    // count of references (the group's size less 9), which with the flag byte read a group ahead
    // is known early, and costs one instruction less per step than clearing a flag bit.
    const std::uint8_t* step = row.offset;
    const std::uint8_t* const end = row.offset + (size - 9);
    // Here a group holds a reference, unless it comes from the tail, where all-literal groups
    // take this path too.
    if (!Exact || step != end) {
      do {
        const std::uint8_t* const from = group + step[0];
        const std::size_t literals = step[16];
        std::memcpy(out + n, from, 8);
        n += literals;
        const std::size_t b1 = from[literals + 1];
        const std::size_t distance = from[literals] + std::size_t{kPlan.high[b1]};
        const std::size_t length = kPlan.length[b1];
        // Where the copy starts; one test for the rare cases: a zero distance (the end of the
        // stream, at == n), no output yet, or a distance reaching before the start (at wraps).
        const std::size_t at = n - distance;
        if (at >= n) [[unlikely]] {
          if (distance == 0 || n == 0) {
            st.n = n;
            return false;
          }
          st.n = n;
          copy_slow(st, distance, length);
          n = st.n;
          continue;
        }
        Copy::match(out, n, at, distance);
        n += length;
      } while (++step != end);
    }
    std::memcpy(out + n, group + step[0], 8);
    n += step[16];
  }
  st.pos = static_cast<std::size_t>(p - st.src);
  st.n = n;
  return true;
}

// The fast loop over the stream, then over its last bytes (under kGroupInput) copied into a
// buffer with zeros after them, so that whole groups there run fast too; what is left is at most
// one incomplete group, for the plain loop. Returns false once the stream has ended.
template <class Copy>
inline bool fast_groups(State& st) {
  if (st.size >= kGroupInput && !run_groups<Copy, false>(st)) return false;
  if (st.n >= st.capacity) return true;
  std::uint8_t tail[2 * kGroupInput] = {};
  const std::size_t rest = st.size - st.pos;  // under kGroupInput
  std::memcpy(tail, st.src + st.pos, rest);
  State t = st;
  t.src = tail;
  t.size = rest;
  t.pos = 0;
  const bool more = run_groups<Copy, true>(t);
  st.n = t.n;
  st.pos += t.pos;
  return more;
}

}  // namespace
}  // namespace quorvale_dat::utils::lrs
