// Reading block chains: which blocks are visited, what a short file gives, and hostile chains
// (loops, impossible sizes, bad geometry) that must fail quickly without allocating the size
// they claim.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "quorvale_dat/database.hpp"
#include "quorvale_dat_builder/archive_builder.hpp"
#include "support/decoder_test_support.hpp"

namespace quorvale_dat {
namespace {

using Bytes = std::vector<std::uint8_t>;
using build::ArchiveWriter;

const std::string kShortRead =
    R"(Io(Error { kind: UnexpectedEof, message: "failed to fill whole buffer" }))";

Bytes pattern(std::size_t size, std::uint8_t salt = 0) {
  Bytes b(size);
  for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<std::uint8_t>(i * 31 + i / 251 + salt);
  return b;
}

Bytes block(std::uint32_t next, const Bytes& payload) {
  Bytes b = {static_cast<std::uint8_t>(next), static_cast<std::uint8_t>(next >> 8),
             static_cast<std::uint8_t>(next >> 16), static_cast<std::uint8_t>(next >> 24)};
  b.insert(b.end(), payload.begin(), payload.end());
  return b;
}

std::string hex8(std::uint32_t v) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string s = "0x";
  for (int shift = 28; shift >= 0; shift -= 4) s += kDigits[(v >> shift) & 0xF];
  return s;
}

Expected<DatDatabase, DatError> open_bytes(const Bytes& bytes) {
  const build::TempFile file(bytes);
  return DatDatabase::open(file.path());
}

// What a case reads, and the block_size it then puts in the header (none: as written).
struct Read {
  std::uint32_t offset;
  std::uint32_t size;
  std::optional<std::uint32_t> block_size = std::nullopt;
};

struct ChainSetup {
  std::uint32_t block_size = 1024;
  std::function<Read(ArchiveWriter&)> build;
  build::Layout layout = build::Layout::Sequential;
};

struct Outcome {
  Expected<std::vector<std::uint8_t>, DatError> result;
  std::size_t largest_allocation;
  std::uint64_t file_size;
};

Outcome run(const ChainSetup& setup) {
  ArchiveWriter w(setup.block_size, setup.layout, 42);
  const Read read = setup.build(w);
  if (read.block_size) w.header().block_size = *read.block_size;
  auto db = open_bytes(w.finish());
  if (!db) return {Unexpected(db.error()), 0, 0};
  test_support::reset_largest_allocation();
  auto result = db->read_file_data(read.offset, read.size);
  return {std::move(result), test_support::largest_allocation(), db->file_size()};
}

TEST(ChainTest, ReadsTheBlocksItNeeds) {
  struct Case {
    const char* name;
    ChainSetup setup;
    Bytes expected;
  };
  const Bytes four_blocks = pattern(4 * 1020);
  const Bytes tail = pattern(3000, 7);
  const Bytes scattered = pattern(9000, 3);
  const std::vector<Case> cases = {
      {"size 0 reads nothing at offset 0",
       {1024,
        [](ArchiveWriter&) {
          return Read{0, 0};
        }},
       {}},
      {"size 0 reads nothing past the end",
       {1024,
        [](ArchiveWriter&) {
          return Read{0xFFFFFFFF, 0};
        }},
       {}},
      {"size 0 reads nothing at a block offset without room",
       {1024,
        [](ArchiveWriter&) {
          return Read{0xFFFFFFFC, 0};
        }},
       {}},
      // 1020 + 1020 + 4 bytes: the third block's pointer is garbage and must not be followed.
      {"2044 bytes from three blocks",
       {1024,
        [&](ArchiveWriter& w) {
          const std::uint32_t at = w.add_chain(four_blocks);
          w.put_u32(at + 2 * 1024, 0xDEADBEEF);
          w.put_u32(at + 3 * 1024, 0xDEADBEEF);
          return Read{at, 2044};
        }},
       Bytes(four_blocks.begin(), four_blocks.begin() + 2044)},
      {"content that fills its blocks exactly",
       {1024,
        [&](ArchiveWriter& w) {
          return Read{w.add_chain(four_blocks), 4 * 1020};
        }},
       four_blocks},
      {"a last block supplies bytes past its own end",
       {1024,
        [&](ArchiveWriter& w) {
          return Read{w.add_raw(block(0, tail)), 3000};
        }},
       tail},
      {"blocks in shuffled order",
       {256,
        [&](ArchiveWriter& w) {
          return Read{w.add_chain(scattered), 9000};
        },
        build::Layout::Scattered},
       scattered},
      // Block sizes without room for a payload are harmless while no pointer is followed.
      {"block size 0 with a single block",
       {1024,
        [&](ArchiveWriter& w) {
          return Read{w.add_raw(block(0, tail)), 3000, 0};
        }},
       tail},
      {"block size 4 with a single block",
       {1024,
        [&](ArchiveWriter& w) {
          return Read{w.add_raw(block(0, tail)), 3000, 4};
        }},
       tail},
      // Found by fuzzing: the count of blocks to read ahead wrapped around 32 bits and came out
      // 0, so the read made no progress and never ended.
      {"block size 0xFFFFFFFF with a single block",
       {1024,
        [&](ArchiveWriter& w) {
          return Read{w.add_raw(block(0, tail)), 3000, 0xFFFFFFFF};
        }},
       tail},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome out = run(c.setup);
    ASSERT_TRUE(out.result) << out.result.error().debug();
    EXPECT_EQ(*out.result, c.expected);
    EXPECT_GE(out.largest_allocation, c.expected.size());  // the tracker sees the buffer
  }
}

TEST(ChainTest, ReadsPastTheEndFailWithShortRead) {
  struct Case {
    const char* name;
    ChainSetup setup;
  };
  const std::vector<Case> cases = {
      {"chain offset past the end",
       {1024,
        [](ArchiveWriter& w) {
          return Read{w.size() + 100, 10};
        }}},
      {"pointer cut by the end of the file",
       {1024,
        [](ArchiveWriter& w) {
          return Read{w.add_raw(Bytes{0, 0}), 10};
        }}},
      {"next pointer past the end",
       {1024,
        [](ArchiveWriter& w) {
          return Read{w.add_raw(block(w.size() + 5000, pattern(1020))), 2000};
        }}},
      {"next pointer with bit 31 set",
       {1024,
        [](ArchiveWriter& w) {
          return Read{w.add_raw(block(0x80000000u | 400u, pattern(1020))), 2000};
        }}},
      {"last block runs past the end",
       {1024,
        [](ArchiveWriter& w) {
          return Read{w.add_raw(block(0, pattern(100))), 200};
        }}},
      {"huge size in a last block near the end",
       {1024,
        [](ArchiveWriter& w) {
          return Read{w.add_raw(block(0, pattern(10))), 0xFFFFFFFF};
        }}},
      {"huge size whose chain ends near the end",
       {1024,
        [](ArchiveWriter& w) {
          const std::uint32_t at = w.add_chain(pattern(3000));
          return Read{at, 0xFFFFFFFF};
        }}},
      // A block with a next pointer promises a full payload: with a block size far beyond the
      // file the read must fail before the buffer grows to that payload.
      {"huge block size and a next pointer",
       {1024,
        [](ArchiveWriter& w) {
          return Read{w.add_raw(block(400, pattern(100))), 0xFFFFFFFF, 0x10000000};
        }}},
      {"block size 0xFFFFFFFF and a next pointer",
       {1024,
        [](ArchiveWriter& w) {
          return Read{w.add_raw(block(400, pattern(100))), 0xFFFFFFFF, 0xFFFFFFFF};
        }}},
      {"highest block offset with room for a payload",
       {1024,
        [](ArchiveWriter&) {
          return Read{0xFFFFFFFB, 1};
        }}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome out = run(c.setup);
    ASSERT_FALSE(out.result);
    EXPECT_EQ(out.result.error().debug(), kShortRead);
    EXPECT_EQ(out.result.error().display(), "IO error: failed to fill whole buffer");
    EXPECT_LE(out.largest_allocation, 2 * out.file_size + 4096);
  }
}

TEST(ChainTest, MalformedChainsAreCorruption) {
  struct Case {
    const char* name;
    ChainSetup setup;
    std::string text;  // expected in the message
  };
  // The first chain a case adds starts right after the header, at 400.
  const std::vector<Case> cases = {
      {"block pointing to itself",
       {1024,
        [](ArchiveWriter& w) {
          return Read{w.add_raw(block(400, pattern(1020))), 0xFFFFFFFF};
        }},
       "block chain at offset " + hex8(400)},
      {"two blocks pointing at each other",
       {1024,
        [](ArchiveWriter& w) {
          const std::uint32_t a = w.add_raw(block(400 + 1024, pattern(1020)));
          w.add_raw(block(a, pattern(1020)));
          return Read{a, 0xFFFFFFFF};
        }},
       "block chain at offset " + hex8(400)},
      {"loop that claims just more than the file",
       {256,
        [](ArchiveWriter& w) {
          const std::uint32_t a = w.add_raw(block(400, pattern(252)));
          return Read{a, 20000};
        }},
       "supplies more bytes than the file holds"},
      {"loop whose size the file could hold",
       {256,
        [](ArchiveWriter& w) {
          const std::uint32_t a = w.add_raw(block(400, pattern(252)));
          w.add_raw(Bytes(20000, 0x5A));
          return Read{a, 20600};
        }},
       "visits more blocks than the file holds"},
      {"block size 0",
       {1024,
        [](ArchiveWriter& w) {
          return Read{w.add_chain(pattern(2000)), 100, 0};
        }},
       "block size 0 leaves no room for a payload"},
      {"block size 3",
       {1024,
        [](ArchiveWriter& w) {
          return Read{w.add_chain(pattern(2000)), 100, 3};
        }},
       "block size 3 leaves no room for a payload"},
      {"block size 4",
       {1024,
        [](ArchiveWriter& w) {
          return Read{w.add_chain(pattern(2000)), 100, 4};
        }},
       "block size 4 leaves no room for a payload"},
      {"chain at offset 0xFFFFFFFC",
       {1024,
        [](ArchiveWriter&) {
          return Read{0xFFFFFFFC, 1};
        }},
       hex8(0xFFFFFFFC) + " leaves no room for its payload"},
      {"chain at offset 0xFFFFFFFF",
       {1024,
        [](ArchiveWriter&) {
          return Read{0xFFFFFFFF, 1};
        }},
       hex8(0xFFFFFFFF) + " leaves no room for its payload"},
      {"next pointer 0xFFFFFFFC",
       {1024,
        [](ArchiveWriter& w) {
          return Read{w.add_raw(block(0xFFFFFFFC, pattern(1020))), 2000};
        }},
       hex8(0xFFFFFFFC) + " leaves no room for its payload"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome out = run(c.setup);
    ASSERT_FALSE(out.result);
    const auto* corruption = out.result.error().get_if<DatError::Corruption>();
    ASSERT_NE(corruption, nullptr) << out.result.error().debug();
    EXPECT_NE(corruption->text.find(c.text), std::string::npos) << corruption->text;
    EXPECT_LE(out.largest_allocation, 2 * out.file_size + 4096);
  }
}

}  // namespace
}  // namespace quorvale_dat
