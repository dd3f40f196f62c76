// The LRS group loop built for SSSE3 (this file alone is compiled with -mssse3; src/lrs.cpp calls
// it only on a CPU that has it). A reference's 17 bytes are one 16-byte load from distance bytes
// back, shuffled so that a distance below 16 repeats its period, one 16-byte store and one byte
// (the one 16 bytes after the source, which is either before the destination or just stored).

#include <tmmintrin.h>

#include "lrs_groups.hpp"

namespace quorvale_dat::utils::lrs {
namespace {

// Per distance d up to 16: byte i of the 16 takes byte i % d of the source (identity for 16 and
// above); and for every distance, where its pattern starts, so that finding it is one load.
struct Patterns {
  alignas(16) std::uint8_t shuffle[17][16];
  std::uint16_t at[4096];
};

constexpr Patterns make_patterns() {
  Patterns p{};
  for (unsigned d = 1; d <= 16; ++d) {
    for (unsigned i = 0; i < 16; ++i) p.shuffle[d][i] = static_cast<std::uint8_t>(i % d);
  }
  for (unsigned d = 0; d < 4096; ++d) p.at[d] = static_cast<std::uint16_t>(16 * (d < 16 ? d : 16));
  return p;
}

constexpr Patterns kPatterns = make_patterns();

struct ShuffleCopy {
  static void match(std::uint8_t* out, std::size_t n, std::size_t at, std::size_t distance) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(out + at));
    const __m128i pattern = _mm_load_si128(
        reinterpret_cast<const __m128i*>(&kPatterns.shuffle[0][0] + kPatterns.at[distance]));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + n), _mm_shuffle_epi8(v, pattern));
    // The 17th byte copies the one at n + 16 - distance: from before n, or at a distance of 16
    // or less one of the 16 just stored.
    out[n + 16] = out[at + 16];
  }
};

}  // namespace

bool fast_groups_ssse3(State& st) { return fast_groups<ShuffleCopy>(st); }

}  // namespace quorvale_dat::utils::lrs
