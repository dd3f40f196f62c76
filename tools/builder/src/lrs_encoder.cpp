#include "quorvale_dat_builder/lrs_encoder.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace quorvale_dat::build {
namespace {

constexpr std::size_t kMaxDistance = 4095;  // 12 bits
constexpr std::size_t kMinLength = 2;
constexpr std::size_t kMaxLength = 17;  // 4-bit code + 2
constexpr std::size_t kHashBits = 15;
// Candidates tried per position; repeats of the longest length stop the search earlier.
constexpr std::size_t kMaxCandidates = 48;
constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();

std::size_t hash3(const std::uint8_t* p) {
  const std::uint32_t v = static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
                          static_cast<std::uint32_t>(p[2]) << 16;
  return (v * 2654435761u) >> (32 - kHashBits);
}

// Collects tokens into groups of a flag byte and eight tokens.
class TokenWriter {
 public:
  explicit TokenWriter(std::vector<std::uint8_t>& out) : out_(out) {}

  void literal(std::uint8_t byte) {
    start_token(false);
    out_.push_back(byte);
  }

  // Requires: 1 <= distance <= 4095, 2 <= length <= 17.
  void reference(std::size_t distance, std::size_t length) {
    start_token(true);
    out_.push_back(static_cast<std::uint8_t>(distance & 0xFF));
    out_.push_back(static_cast<std::uint8_t>(((distance >> 8) << 4) | (length - kMinLength)));
  }

 private:
  void start_token(bool is_reference) {
    if (bit_ == 0) {
      flag_pos_ = out_.size();
      out_.push_back(0);
      bit_ = 0x80;
    }
    if (is_reference) out_[flag_pos_] = static_cast<std::uint8_t>(out_[flag_pos_] | bit_);
    bit_ >>= 1;
  }

  std::vector<std::uint8_t>& out_;
  std::size_t flag_pos_ = 0;
  unsigned bit_ = 0;
};

}  // namespace

std::vector<std::uint8_t> compress_lrs(std::span<const std::uint8_t> data) {
  const std::size_t n = data.size();
  if (n >= kNone) throw std::length_error("compress_lrs: input does not fit a u32 size");

  std::vector<std::uint8_t> out;
  out.reserve(4 + n + n / 8 + 1);
  for (int shift = 0; shift < 32; shift += 8) {
    out.push_back(static_cast<std::uint8_t>(n >> shift));
  }
  TokenWriter tokens(out);

  // Hash chains over 3-byte prefixes: head_ holds the latest position of each hash, prev the
  // position before it with the same hash. Every candidate lies before the current position, so
  // a reference never reaches before the start of the output.
  std::vector<std::uint32_t> head(std::size_t{1} << kHashBits, kNone);
  std::vector<std::uint32_t> prev(n, kNone);
  const auto insert = [&](std::size_t p) {
    if (p + 3 > n) return;
    const std::size_t h = hash3(&data[p]);
    prev[p] = head[h];
    head[h] = static_cast<std::uint32_t>(p);
  };

  std::size_t i = 0;
  while (i < n) {
    const std::size_t max_length = std::min(kMaxLength, n - i);
    std::size_t best_length = 0;
    std::size_t best_distance = 0;
    if (i + 3 <= n) {
      std::uint32_t candidate = head[hash3(&data[i])];
      for (std::size_t tries = 0; candidate != kNone && tries < kMaxCandidates; ++tries) {
        const std::size_t distance = i - candidate;
        if (distance > kMaxDistance) break;
        // The match may run into the bytes it is copying (distance < length): the decoder makes
        // them one at a time, so such a run reproduces the input exactly.
        std::size_t length = 0;
        while (length < max_length && data[candidate + length] == data[i + length]) ++length;
        if (length > best_length) {
          best_length = length;
          best_distance = distance;
          if (length == max_length) break;
        }
        candidate = prev[candidate];
      }
    }

    if (best_length >= kMinLength) {
      tokens.reference(best_distance, best_length);
      for (std::size_t k = 0; k < best_length; ++k) insert(i + k);
      i += best_length;
    } else {
      tokens.literal(data[i]);
      insert(i);
      ++i;
    }
  }
  return out;
}

}  // namespace quorvale_dat::build
