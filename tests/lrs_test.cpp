// LRS decompression, and the builder's encoder checked against it.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "lrs_groups.hpp"
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

// A token of a hand-made stream: a literal, or a reference of distance 0 to 4095 and length 2
// to 17.
struct Token {
  bool reference = false;
  std::uint8_t literal = 0;
  std::size_t distance = 0;
  std::size_t length = 2;
};

Token lit(std::uint8_t byte) { return {false, byte, 0, 2}; }
Token ref(std::size_t distance, std::size_t length) { return {true, 0, distance, length}; }

Bytes encode(std::uint32_t declared, const std::vector<Token>& tokens) {
  Bytes s = {static_cast<std::uint8_t>(declared), static_cast<std::uint8_t>(declared >> 8),
             static_cast<std::uint8_t>(declared >> 16), static_cast<std::uint8_t>(declared >> 24)};
  std::size_t flag_at = 0;
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    if (i % 8 == 0) {
      flag_at = s.size();
      s.push_back(0);
    }
    const Token& t = tokens[i];
    if (t.reference) {
      s[flag_at] = static_cast<std::uint8_t>(s[flag_at] | 0x80u >> (i % 8));
      s.push_back(static_cast<std::uint8_t>(t.distance));
      s.push_back(static_cast<std::uint8_t>((t.distance >> 8) << 4 | (t.length - 2)));
    } else {
      s.push_back(t.literal);
    }
  }
  return s;
}

// `count` literals that differ from their neighbours, so that a wrong copy shows.
std::vector<Token> distinct_literals(std::size_t count, std::uint8_t seed = 1) {
  std::vector<Token> tokens;
  for (std::size_t i = 0; i < count; ++i) {
    tokens.push_back(lit(static_cast<std::uint8_t>(seed + i * 37)));
  }
  return tokens;
}

// Every group loop this build and CPU have gives the reference decoder's bytes.
void expect_as_reference(const Bytes& stream) {
  const Bytes expected = build::reference_decompress_lrs(stream);
  EXPECT_EQ(utils::decompress_lrs(stream), expected);
  EXPECT_EQ(utils::lrs::decompress(stream, utils::lrs::Loop::portable), expected);
  if (utils::lrs::has_ssse3_loop()) {
    EXPECT_EQ(utils::lrs::decompress(stream, utils::lrs::Loop::ssse3), expected);
  }
}

TEST(LrsTest, OverlappingReferencesAtEveryShortDistance) {
  // Distances 1 to 20 (runs of every period the copies treat apart, and the first ones they
  // copy whole) at every length, with literals before and plenty of tokens after, so that the
  // reference sits inside the fast loop; then the same at the very start of the output.
  for (std::size_t distance = 1; distance <= 20; ++distance) {
    for (std::size_t length = 2; length <= 17; ++length) {
      for (std::size_t before : {distance, distance + 3, std::size_t{40}}) {
        SCOPED_TRACE(std::to_string(distance) + " back, " + std::to_string(length) + " long, " +
                     std::to_string(before) + " literals before");
        std::vector<Token> tokens = distinct_literals(before);
        tokens.push_back(ref(distance, length));
        tokens.push_back(ref(distance, 17));
        const auto after = distinct_literals(60, 5);
        tokens.insert(tokens.end(), after.begin(), after.end());
        tokens.push_back(ref(distance + 1, length));
        expect_as_reference(encode(0xFFFFFFFFu, tokens));
      }
    }
  }
}

TEST(LrsTest, StreamsEndingAroundTheFastLoopsBounds) {
  // The fast loop needs a whole group's input left and stops short of the output bound; streams
  // of every length up to a few groups, with declared sizes at, below and above what they make,
  // end exactly at, just before and just after those bounds.
  struct Kind {
    const char* name;
    std::vector<Token> group;  // repeated
  };
  const std::vector<Kind> kinds = {
      {"literals", distinct_literals(8)},
      {"references",
       {lit(1), lit(2), ref(2, 17), ref(1, 17), ref(3, 5), ref(16, 17), ref(4, 2), ref(1, 9)}},
      {"mixed", {lit(9), ref(1, 3), lit(8), lit(7), ref(3, 17), lit(6), ref(5, 4), lit(5)}},
  };
  for (const Kind& kind : kinds) {
    std::vector<Token> tokens;
    while (tokens.size() < 8 * 8) tokens.insert(tokens.end(), kind.group.begin(), kind.group.end());
    const Bytes full = encode(0xFFFFFFFFu, tokens);
    const std::size_t made = build::reference_decompress_lrs(full).size();
    for (std::size_t size = 4; size <= full.size(); ++size) {
      Bytes stream(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(size));
      for (std::uint32_t declared :
           {0xFFFFFFFFu, static_cast<std::uint32_t>(made), static_cast<std::uint32_t>(size * 2),
            static_cast<std::uint32_t>(8 * (size - 4)), static_cast<std::uint32_t>(size + 136)}) {
        SCOPED_TRACE(std::string(kind.name) + ", " + std::to_string(size) + " bytes, declared " +
                     std::to_string(declared));
        for (unsigned k = 0; k < 4; ++k) stream[k] = static_cast<std::uint8_t>(declared >> (8 * k));
        expect_as_reference(stream);
      }
    }
  }
}

TEST(LrsTest, EveryFlagByteInTheFastLoopAndTheTail) {
  // A group of each of the 256 flag bytes, its references of assorted distances (short ones that
  // overlap, and one reaching before the start in the first group) and lengths: after two groups
  // of literals and followed by more groups, so that it runs in the main loop; as a stream's last
  // group, so that it runs from the zero-padded tail; and with the declared size ending inside it.
  for (unsigned flags = 0; flags < 256; ++flags) {
    std::vector<Token> group;
    for (unsigned token = 0; token < 8; ++token) {
      if ((flags & (0x80u >> token)) != 0) {
        group.push_back(ref(1 + (flags + 5 * token) % 19, 2 + (flags + 3 * token) % 16));
      } else {
        group.push_back(lit(static_cast<std::uint8_t>(flags ^ (token * 29))));
      }
    }
    std::vector<Token> inside = distinct_literals(16);
    inside.insert(inside.end(), group.begin(), group.end());
    std::vector<Token> last = inside;
    inside.insert(inside.end(), group.begin(), group.end());
    const auto after = distinct_literals(40, 7);
    inside.insert(inside.end(), after.begin(), after.end());
    std::vector<Token> first = group;
    first.front() = ref(4095, 17);
    first.insert(first.end(), after.begin(), after.end());
    for (const auto& [name, tokens] :
         {std::pair{"inside", inside}, std::pair{"last", last}, std::pair{"first", first}}) {
      SCOPED_TRACE(std::string(name) + ", flag byte " + std::to_string(flags));
      const Bytes stream = encode(0xFFFFFFFFu, tokens);
      expect_as_reference(stream);
      const std::size_t made = build::reference_decompress_lrs(stream).size();
      for (std::size_t cut : {std::size_t{20}, made - 3}) {
        expect_as_reference(encode(static_cast<std::uint32_t>(cut), tokens));
      }
    }
  }
}

TEST(LrsTest, TruncatedAtEveryByte) {
  // An encoder's stream of each kind of content cut after every byte: each prefix decodes to
  // what the reference makes of it (a prefix of the whole output).
  for (const std::string kind : {"text-like", "few symbols", "period 3", "random"}) {
    const Bytes data = make_input(kind, 1200, 11);
    const Bytes stream = build::compress_lrs(data);
    for (std::size_t size = 0; size <= stream.size(); ++size) {
      SCOPED_TRACE(kind + ", cut at " + std::to_string(size));
      const Bytes prefix(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(size));
      expect_as_reference(prefix);
      const Bytes out = utils::decompress_lrs(prefix);
      if (size >= 4) {
        ASSERT_LE(out.size(), data.size());
        EXPECT_TRUE(std::equal(out.begin(), out.end(), data.begin()));
      }
    }
  }
}

TEST(LrsTest, ReferencesReachingBeforeTheStart) {
  // A reference longer back than the output so far copies the first byte, at any point of the
  // fast loop: after 1 to 40 literals, at distances just past the output, at the largest one,
  // and followed by references that copy those bytes again.
  for (std::size_t before = 1; before <= 40; ++before) {
    for (std::size_t distance : {before + 1, before + 2, before + 16, std::size_t{4095}}) {
      SCOPED_TRACE(std::to_string(before) + " literals, distance " + std::to_string(distance));
      std::vector<Token> tokens = distinct_literals(before, 3);
      tokens.push_back(ref(distance, 17));
      tokens.push_back(ref(before + 17, 17));
      tokens.push_back(ref(1, 4));
      const auto after = distinct_literals(40, 9);
      tokens.insert(tokens.end(), after.begin(), after.end());
      expect_as_reference(encode(0xFFFFFFFFu, tokens));
    }
  }
}

TEST(LrsTest, DeclaredSizeCutsTheOutputAnywhere) {
  // Tokens that make more than the declared size: the output stops at it, wherever it falls (in
  // a literal run, inside a reference, on a group boundary), as the reference decoder stops.
  std::vector<Token> tokens;
  for (std::size_t i = 0; i < 30; ++i) {
    tokens.push_back(lit(static_cast<std::uint8_t>(i)));
    tokens.push_back(ref(1 + i % 7, 2 + i % 16));
    tokens.push_back(lit(static_cast<std::uint8_t>(i * 3)));
    tokens.push_back(ref(2 + i, 17));
  }
  const Bytes full = encode(0xFFFFFFFFu, tokens);
  const std::size_t made = build::reference_decompress_lrs(full).size();
  for (std::size_t declared = 0; declared <= made + 1; ++declared) {
    SCOPED_TRACE(declared);
    Bytes stream = full;
    for (unsigned k = 0; k < 4; ++k) stream[k] = static_cast<std::uint8_t>(declared >> (8 * k));
    expect_as_reference(stream);
    EXPECT_EQ(utils::decompress_lrs(stream).size(), std::min(declared, made));
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
    const auto expected = quorvale_dat::build::reference_decompress_lrs(stream);
    ASSERT_EQ(quorvale_dat::utils::decompress_lrs(stream), expected);
    ASSERT_EQ(utils::lrs::decompress(stream, utils::lrs::Loop::portable), expected);
  }
}

}  // namespace quorvale_dat
