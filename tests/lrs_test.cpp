// LRS decompression, and the builder's encoder checked against it.

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "quorvale_dat/utils.hpp"
#include "quorvale_dat_builder/lrs_encoder.hpp"
#include "quorvale_dat_builder/lrs_reference.hpp"

namespace quorvale_dat {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes ascii(std::string_view text) { return Bytes(text.begin(), text.end()); }

// A stream of `count` distinct-looking literals followed by one reference b0 b1, declared to
// end exactly after the reference.
Bytes literals_then_reference(std::size_t count, std::uint8_t b0, std::uint8_t b1,
                              Bytes& expected) {
  expected.clear();
  for (std::size_t i = 0; i < count; ++i) expected.push_back(static_cast<std::uint8_t>(i * 7 + 1));
  const std::size_t distance = b0 | (static_cast<std::size_t>(b1 & 0xF0) << 4);
  const std::size_t length = (b1 & 0x0Fu) + 2;
  for (std::size_t k = 0; k < length; ++k) expected.push_back(expected[expected.size() - distance]);

  const auto declared = static_cast<std::uint32_t>(expected.size());
  Bytes stream = {static_cast<std::uint8_t>(declared), static_cast<std::uint8_t>(declared >> 8),
                  static_cast<std::uint8_t>(declared >> 16),
                  static_cast<std::uint8_t>(declared >> 24)};
  std::size_t flag_at = 0;
  for (std::size_t token = 0; token < count; ++token) {
    if (token % 8 == 0) {
      flag_at = stream.size();
      stream.push_back(0);
    }
    stream.push_back(expected[token]);
  }
  if (count % 8 == 0) {
    flag_at = stream.size();
    stream.push_back(0);
  }
  stream[flag_at] = static_cast<std::uint8_t>(0x80u >> (count % 8));
  stream.push_back(b0);
  stream.push_back(b1);
  return stream;
}

TEST(LrsTest, DecodesStreams) {
  struct Case {
    const char* name;
    Bytes input;
    Bytes expected;
  };
  const std::vector<Case> cases = {
      {"shorter than the declared size is returned as is", {0x01, 0x02, 0x03}, {0x01, 0x02, 0x03}},
      {"empty input", {}, {}},
      {"declared size 0 ignores what follows", {0, 0, 0, 0, 0x41, 0x42, 0x43}, {}},
      {"declared size only", {8, 0, 0, 0}, {}},
      {"run from a reference shorter than its length",
       {0x08, 0, 0, 0, 0x20, 0x41, 0x42, 0x02, 0x04},
       ascii("ABABABAB")},
      {"declared size stops inside a reference",
       {0x05, 0, 0, 0, 0x20, 0x41, 0x42, 0x02, 0x04},
       ascii("ABABA")},
      {"distance beyond the output copies the first byte",
       {0x03, 0, 0, 0, 0x40, 0x41, 0x09, 0x01},
       ascii("AAA")},
      {"distance 0 ends the stream",
       {0x10, 0, 0, 0, 0x20, 0x41, 0x42, 0x00, 0x00, 0x43},
       ascii("AB")},
      {"reference with one byte left ends the stream",
       {0x10, 0, 0, 0, 0x01, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x02},
       ascii("ABCDEFG")},
      {"flag byte as the last byte ends the stream",
       {0x10, 0, 0, 0, 0x00, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x00},
       ascii("ABCDEFGH")},
      {"second group after eight literals",
       {0x0A, 0, 0, 0, 0x00, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x80, 0x08, 0x00},
       ascii("ABCDEFGHAB")},
      {"bytes after the declared size are ignored",
       {0x02, 0, 0, 0, 0x00, 0x41, 0x42, 0x43, 0x44},
       ascii("AB")},
      // Nothing to copy from: decoding stops here rather than skip the token, so the literal
      // after it is not produced.
      {"reference while the output is empty ends the stream",
       {0x05, 0, 0, 0, 0x80, 0x01, 0x00, 0x41},
       {}},
      {"empty-output reference at distance beyond 0 also ends it",
       {0x05, 0, 0, 0, 0x80, 0xFF, 0xFF, 0x41},
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(utils::decompress_lrs(c.input), c.expected);
  }
}

TEST(LrsTest, ReferenceFieldsUseBothBytes) {
  struct Case {
    std::size_t literals;
    std::uint8_t b0, b1;
    std::size_t distance, length;
  };
  for (const Case& c : std::vector<Case>{{308, 0x34, 0x12, 308, 4},
                                         {4095, 0xFF, 0xFF, 4095, 17},
                                         {256, 0x00, 0x10, 256, 2},
                                         {1, 0x01, 0x0F, 1, 17}}) {
    SCOPED_TRACE(c.distance);
    Bytes expected;
    const Bytes stream = literals_then_reference(c.literals, c.b0, c.b1, expected);
    ASSERT_EQ(expected.size(), c.literals + c.length);
    EXPECT_EQ(utils::decompress_lrs(stream), expected);
  }
}

TEST(LrsTest, HugeDeclaredSizeReservesOnlyWhatTheInputCanMake) {
  // Declared 4294967295 over a handful of bytes: a literal and a run of 17.
  const Bytes input = {0xFF, 0xFF, 0xFF, 0xFF, 0x40, 0x41, 0x01, 0x0F};
  const Bytes out = utils::decompress_lrs(input);
  EXPECT_EQ(out, Bytes(18, 0x41));
  // At most 8 bytes per input byte, and one group's room (8 x 17 + 8) for the fast loop.
  EXPECT_LE(out.capacity(), 8 * input.size() + 144);
}

// Decodes a stream as an encoder must write it: every reference within the output made so far,
// no distance 0, and the stream ending exactly where the output reaches its declared size.
std::optional<Bytes> strict_decode(const Bytes& input) {
  if (input.size() < 4) return std::nullopt;
  std::size_t declared = 0;
  for (std::size_t k = 0; k < 4; ++k) declared |= static_cast<std::size_t>(input[k]) << (8 * k);
  Bytes out;
  std::size_t pos = 4;
  unsigned flags = 0, mask = 0;
  while (out.size() < declared) {
    if (mask == 0) {
      if (pos >= input.size()) return std::nullopt;
      flags = input[pos++];
      mask = 0x80;
    }
    if ((flags & mask) != 0) {
      if (pos + 2 > input.size()) return std::nullopt;
      const std::size_t distance = input[pos] | static_cast<std::size_t>(input[pos + 1] & 0xF0)
                                                    << 4;
      const std::size_t length = (input[pos + 1] & 0x0Fu) + 2;
      pos += 2;
      if (distance == 0 || distance > out.size() || out.size() + length > declared) {
        return std::nullopt;
      }
      for (std::size_t k = 0; k < length; ++k) out.push_back(out[out.size() - distance]);
    } else {
      if (pos >= input.size()) return std::nullopt;
      out.push_back(input[pos++]);
    }
    mask >>= 1;
  }
  if (pos != input.size()) return std::nullopt;
  return out;
}

Bytes make_input(const std::string& kind, std::size_t size, std::uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes data(size);
  if (kind == "random") {
    for (auto& b : data) b = static_cast<std::uint8_t>(rng());
  } else if (kind == "few symbols") {
    for (auto& b : data) b = static_cast<std::uint8_t>('a' + rng() % 3);
  } else if (kind == "one byte") {
    for (auto& b : data) b = 0x5A;
  } else if (kind == "period 3") {
    for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<std::uint8_t>("xyz"[i % 3]);
  } else if (kind == "repeats beyond the window") {
    // A random 5000-byte block repeated: the repeat lies just out of reach of a reference.
    Bytes block(5000);
    for (auto& b : block) b = static_cast<std::uint8_t>(rng());
    for (std::size_t i = 0; i < size; ++i) data[i] = block[i % block.size()];
  } else {
    // "text-like": words from a small vocabulary with random breaks.
    static const char* const kWords[] = {"surface ", "texture ", "palette ", "block ", "chain "};
    std::string text;
    while (text.size() < size) text += kWords[rng() % 5];
    data.assign(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(size));
  }
  return data;
}

TEST(LrsTest, EncoderRoundTrips) {
  const std::vector<std::size_t> sizes = {0, 1, 2, 3, 4, 5, 17, 18, 19, 4095, 4096, 4097, 70000};
  const std::vector<std::string> kinds = {"random",   "few symbols", "one byte",
                                          "period 3", "text-like",   "repeats beyond the window"};
  std::uint32_t seed = 1;
  for (const std::string& kind : kinds) {
    for (std::size_t size : sizes) {
      SCOPED_TRACE(kind + ", " + std::to_string(size) + " bytes");
      const Bytes data = make_input(kind, size, seed++);
      const Bytes stream = build::compress_lrs(data);
      EXPECT_EQ(utils::decompress_lrs(stream), data);
      const auto strict = strict_decode(stream);
      ASSERT_TRUE(strict.has_value()) << "stream relies on a lenient rule of the decoder";
      EXPECT_EQ(*strict, data);
      // At worst one flag byte per eight literals.
      EXPECT_LE(stream.size(), 4 + size + (size + 7) / 8);
    }
  }
}

TEST(LrsTest, EncoderFindsRepeats) {
  struct Case {
    const char* kind;
    std::size_t max_stream;  // for 70000 input bytes
  };
  // A reference of 17 bytes costs 2 bytes and a flag bit: about 8.5x at best.
  for (const Case& c : std::vector<Case>{
           {"one byte", 9000}, {"period 3", 9000}, {"text-like", 20000}, {"few symbols", 45000}}) {
    SCOPED_TRACE(c.kind);
    const Bytes stream = build::compress_lrs(make_input(c.kind, 70000, 7));
    EXPECT_LE(stream.size(), c.max_stream);
  }
}

}  // namespace
// The decoder's fast paths against the plain reference on arbitrary streams: random flag and
// token bytes, with distances reaching before the start, runs, zero distances and every way a
// stream can end early, and declared sizes below, at and above what the tokens make.
TEST(LrsTest, MatchesTheReferenceDecoderOnArbitraryStreams) {
  std::mt19937 rng(20261208);
  for (int i = 0; i < 20000; ++i) {
    SCOPED_TRACE(i);
    const std::size_t tokens = rng() % 400;
    std::vector<std::uint8_t> stream(4);
    const auto declared = static_cast<std::uint32_t>(rng() % 4 == 0 ? 0xFFFFFFFFu : rng() % 4000);
    for (unsigned k = 0; k < 4; ++k) stream[k] = static_cast<std::uint8_t>(declared >> (8 * k));
    for (std::size_t t = 0; t < tokens; ++t) {
      // Mostly small distances, so that copies come from real output; sometimes no zero
      // distance at all, so that streams run on.
      const auto b = static_cast<std::uint8_t>(rng());
      const bool low = rng() % 3 != 0;
      stream.push_back(low && b == 0 ? std::uint8_t{1} : b);
    }
    const auto got = quorvale_dat::utils::decompress_lrs(stream);
    ASSERT_EQ(got, quorvale_dat::build::reference_decompress_lrs(stream));
  }
}

}  // namespace quorvale_dat
