// The chain walk: which blocks are visited, what a short file gives, and hostile chains (loops,
// impossible sizes, bad geometry) that must fail quickly without allocating the size they claim.
// Every case runs over each kind of source (a file, bytes in memory read in place, and bytes
// read the way a file is, with read-ahead that comes up short), through read_file_data and
// through the walk itself with and without the content, and must give the same bytes or the
// same failure, at the same place.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "block_chain.hpp"
#include "byte_source.hpp"
#include "quorvale_dat/database.hpp"
#include "quorvale_dat/file.hpp"
#include "quorvale_dat_builder/archive_builder.hpp"
#include "support/decoder_test_support.hpp"
#include "text.hpp"

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

using detail::hex8;

// Bytes in memory read the way a file is read (no views), optionally with every read that may
// come up short giving only half of what it was asked: the read-ahead must then fall back to
// reading block by block, with the same results.
class ReadingSource final : public detail::ByteSource {
 public:
  ReadingSource(const Bytes& bytes, bool stingy)
      : ByteSource(bytes.size()), bytes_(bytes), stingy_(stingy) {}

  Expected<void, IoError> read_exact_at(std::span<std::uint8_t> buf,
                                        std::uint64_t offset) const override {
    if (buf.empty()) return {};
    if (offset > bytes_.size() || buf.size() > bytes_.size() - offset) {
      return Unexpected(IoError::short_read());
    }
    std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(offset), buf.size(), buf.begin());
    return {};
  }
  std::size_t read_available_at(std::span<std::uint8_t> buf,
                                std::uint64_t offset) const noexcept override {
    if (offset >= bytes_.size()) return 0;
    std::size_t n = std::min<std::size_t>(buf.size(), bytes_.size() - offset);
    if (stingy_) n /= 2;
    std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(offset), n, buf.begin());
    return n;
  }
  std::size_t read_available_at(std::span<const iovec> pieces,
                                std::uint64_t offset) const noexcept override {
    std::size_t total = 0;
    for (const iovec& p : pieces) total += p.iov_len;
    std::vector<std::uint8_t> all(total);
    const std::size_t got = read_available_at(std::span(all), offset);
    std::size_t at = 0;
    for (const iovec& p : pieces) {
      const std::size_t n = std::min(p.iov_len, got - std::min(got, at));
      std::copy_n(all.begin() + static_cast<std::ptrdiff_t>(at), n,
                  static_cast<std::uint8_t*>(p.iov_base));
      at += p.iov_len;
    }
    return got;
  }

 private:
  const Bytes& bytes_;
  bool stingy_;
};

// A walk's outcome as comparable text: the bytes, or the error with where it happened.
std::string outcome_text(const Expected<Bytes, detail::ChainFailure>& r) {
  if (r) return "bytes " + std::to_string(r->size()) + ": " + std::string(r->begin(), r->end());
  const detail::ChainFailure& f = r.error();
  return "failure at step " + std::to_string(static_cast<int>(f.step)) + ", block " +
         hex8(f.block) + ", read " + std::to_string(f.read_offset) + "+" +
         std::to_string(f.read_size) + ", after " + std::to_string(f.supplied) + ": " +
         f.error.debug();
}

// The chain read by the walk over `source`, and walked without its content, which must end the
// same way (with the content's length in place of the content).
Expected<Bytes, detail::ChainFailure> walk(const detail::ByteSource& source,
                                           std::uint32_t block_size, std::uint32_t offset,
                                           std::uint32_t size) {
  const auto g = detail::ChainGeometry::of(block_size, source.size());
  std::vector<detail::ChainBlock> read_blocks;
  std::vector<detail::ChainBlock> walked_blocks;
  Bytes out(detail::content_capacity(size, g.file_size));
  auto read = detail::read_chain(source, g, offset, size, out, [&](const detail::ChainBlock& b) {
    read_blocks.push_back(b);
    return true;
  });
  auto walked = detail::walk_chain(source, g, offset, size, [&](const detail::ChainBlock& b) {
    walked_blocks.push_back(b);
    return true;
  });
  EXPECT_EQ(read.has_value(), walked.has_value());
  if (read && walked) {
    EXPECT_EQ(read->length, walked->length);
  } else if (!read && !walked) {
    EXPECT_EQ(outcome_text(Unexpected(read.error())), outcome_text(Unexpected(walked.error())));
  }
  EXPECT_EQ(read_blocks.size(), walked_blocks.size());
  if (!read) return Unexpected(std::move(read.error()));
  out.resize(read->length);
  return out;
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
  detail::ChainStep step = detail::ChainStep::Pointer;  // where a failure happened
};

// Reads the case's chain with read_file_data from a file, and by the walk over every other kind
// of source; all must agree to the byte and to the failure's place.
Outcome run(const ChainSetup& setup) {
  ArchiveWriter w(setup.block_size, setup.layout, 42);
  const Read read = setup.build(w);
  if (read.block_size) w.header().block_size = *read.block_size;
  const Bytes bytes = w.finish();
  const build::TempFile file(bytes);
  auto db = DatDatabase::open(file.path());
  if (!db) return {Unexpected(db.error()), 0, 0};
  test_support::reset_largest_allocation();
  auto result = db->read_file_data(read.offset, read.size);
  Outcome out{std::move(result), test_support::largest_allocation(), db->file_size()};

  auto opened = File::open_read_only(file.path());
  EXPECT_TRUE(opened);
  const detail::FileSource file_source(std::move(*opened), bytes.size());
  const detail::MemorySource memory{std::span<const std::uint8_t>(bytes)};
  const ReadingSource reading(bytes, false);
  const ReadingSource stingy(bytes, true);
  const std::uint32_t block_size = db->header().block_size;
  const auto reference = walk(file_source, block_size, read.offset, read.size);
  const std::pair<const char*, const detail::ByteSource*> others[] = {
      {"memory", &memory}, {"reading", &reading}, {"stingy", &stingy}};
  for (const auto& [name, source] : others) {
    EXPECT_EQ(outcome_text(walk(*source, block_size, read.offset, read.size)),
              outcome_text(reference))
        << name;
  }
  if (out.result) {
    EXPECT_TRUE(reference && *reference == *out.result);
  } else {
    EXPECT_TRUE(!reference && reference.error().error == out.result.error());
    if (!reference) out.step = reference.error().step;
  }
  return out;
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
  // What each case was reading when the file ended.
  using Step = detail::ChainStep;
  const Step steps[] = {
      Step::Pointer,       Step::Pointer,       Step::Pointer, Step::Pointer, Step::LastBlockRest,
      Step::LastBlockRest, Step::LastBlockRest, Step::Payload, Step::Payload, Step::Pointer};
  ASSERT_EQ(std::size(steps), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.name);
    const Outcome out = run(c.setup);
    ASSERT_FALSE(out.result);
    EXPECT_EQ(out.step, steps[i]);
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

// Bytes in memory are read in place: content that one block holds is a view of the source's
// bytes, content of several blocks a copy; a source that reads always fills the scratch buffer.
TEST(ChainTest, MemoryGivesViewsWhereTheContentLiesInOneBlock) {
  ArchiveWriter w(256);
  const Bytes small = pattern(200);
  const Bytes large = pattern(2000, 5);
  const std::uint32_t one = w.add_chain(small);
  const std::uint32_t several = w.add_chain(large);
  const Bytes bytes = w.finish();
  const detail::MemorySource memory{std::span<const std::uint8_t>(bytes)};
  const ReadingSource reading(bytes, false);
  const auto g = detail::ChainGeometry::of(256, bytes.size());
  const auto inside = [&](std::span<const std::uint8_t> v) {
    return v.data() >= bytes.data() && v.data() + v.size() <= bytes.data() + bytes.size();
  };
  struct Case {
    const char* name;
    const detail::ByteSource& source;
    std::uint32_t offset;
    const Bytes& expected;
    bool view;
  };
  const Case cases[] = {{"memory, one block", memory, one, small, true},
                        {"memory, several blocks", memory, several, large, false},
                        {"reading, one block", reading, one, small, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::uint8_t> scratch;
    auto r = detail::read_chain_view(c.source, g, c.offset,
                                     static_cast<std::uint32_t>(c.expected.size()), scratch);
    ASSERT_TRUE(r);
    EXPECT_TRUE(std::equal(r->bytes.begin(), r->bytes.end(), c.expected.begin(), c.expected.end()));
    EXPECT_EQ(inside(r->bytes), c.view);
  }
}

// A block visitor sees each block the walk takes, with what it supplies, and can stop the walk;
// a window of the file puts a chain together only when every block lies inside it.
TEST(ChainTest, VisitorsAndWindows) {
  ArchiveWriter w(256, build::Layout::Sequential);
  const Bytes content = pattern(1000, 9);  // four blocks: 252, 252, 252, 244
  const std::uint32_t at = w.add_chain(content);
  const Bytes bytes = w.finish();
  const detail::MemorySource memory{std::span<const std::uint8_t>(bytes)};
  const auto g = detail::ChainGeometry::of(256, bytes.size());

  std::vector<detail::ChainBlock> seen;
  auto all = detail::walk_chain(memory, g, at, 1000, [&](const detail::ChainBlock& b) {
    seen.push_back(b);
    return true;
  });
  ASSERT_TRUE(all);
  ASSERT_EQ(seen.size(), 4u);
  for (std::size_t i = 0; i < seen.size(); ++i) {
    EXPECT_EQ(seen[i].offset, at + 256 * i);
    EXPECT_EQ(seen[i].supplied, i < 3 ? 252u : 244u);
    EXPECT_EQ(seen[i].ends_chain, i == 3);
  }
  EXPECT_TRUE(all->contiguous);

  std::size_t calls = 0;
  Bytes out(1000);
  auto stopped = detail::read_chain(memory, g, at, 1000, out,
                                    [&](const detail::ChainBlock&) { return ++calls < 2; });
  ASSERT_TRUE(stopped);
  EXPECT_TRUE(stopped->stopped);
  EXPECT_EQ(stopped->length, 252u);  // the second block was taken, then the walk stopped

  struct Window {
    const char* name;
    std::uint64_t start;
    std::uint64_t length;
    detail::WindowEnd end;
  };
  const Window windows[] = {
      {"the whole file", 0, bytes.size(), detail::WindowEnd::Done},
      {"ending inside the chain", 0, at + 600, detail::WindowEnd::PastEnd},
      {"starting after the chain's first block", at + 256, bytes.size() - at - 256,
       detail::WindowEnd::Elsewhere},
  };
  for (const Window& win : windows) {
    SCOPED_TRACE(win.name);
    const detail::MemoryView view{bytes.data() + win.start, win.start, win.length};
    Bytes assembled(1000);
    std::size_t length = 0;
    EXPECT_EQ(detail::assemble_from_window(view, g, at, 1000, assembled.data(), length), win.end);
    if (win.end == detail::WindowEnd::Done) {
      EXPECT_EQ(assembled, content);
    }
  }
}

// The prefetch ring follows chains ahead of the walk through bytes held in memory: it must read
// no pointer outside them (the bytes lie in a buffer of exactly the file's size, so that the
// address sanitizer sees any read past it), stop at pointers that leave the file, at a pointer
// of 0 and at the blocks the size needs, and follow a cycle no faster than one block per step.
TEST(ChainTest, PrefetchRingStaysInsideTheBytes) {
  struct Case {
    const char* name;
    std::uint32_t block_size;
    std::vector<Bytes> blocks;  // laid one after another from offset 0
    std::uint32_t offset;
    std::uint32_t size;
    std::optional<int> steps;  // until the ring stops following it; none: not within 1000
  };
  const Bytes p252 = pattern(252);
  const std::vector<Case> cases = {
      {"three blocks, out of order",
       256,
       {block(512, p252), block(0, p252), block(256, p252)},
       0,
       700,
       2},
      {"a pointer of 0 before the size is reached",
       256,
       {block(256, p252), block(0, p252)},
       0,
       5000,
       2},
      {"a pointer leading past the end", 256, {block(510, p252), block(0, p252)}, 0, 700, 1},
      {"a pointer whose block's pointer ends past the end",
       256,
       {block(256, p252), Bytes{1, 2, 3}},
       0,
       700,
       1},
      {"a pointer to the top of the offset range", 256, {block(0xFFFFFFFC, p252)}, 0, 700, 1},
      {"a first block whose pointer ends past the end",
       256,
       {block(0, p252), Bytes{1, 2}},
       256,
       700,
       0},
      {"a first block past the end", 256, {block(0, p252)}, 0xFFFFFFFF, 700, 0},
      {"size 0", 256, {block(256, p252), block(0, p252)}, 0, 0, 0},
      {"blocks pointing at each other, the size bounds it",
       256,
       {block(0, p252), block(512, p252), block(256, p252)},
       256,
       2000,
       7},
      {"a block pointing to itself with the largest size",
       256,
       {block(0, p252), block(256, p252)},
       256,
       0xFFFFFFFF,
       std::nullopt},
      {"block size 4", 4, {block(4, {}), block(8, {}), block(0, {})}, 0, 100, 0},
      {"a block size larger than the file",
       0x10000,
       {block(8, Bytes(4, 0)), block(0, p252)},
       0,
       0x20000,
       2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes laid;
    for (const Bytes& b : c.blocks) laid.insert(laid.end(), b.begin(), b.end());
    const Bytes bytes(laid.begin(), laid.end());  // no spare capacity after the file
    const detail::MemorySource source{std::span<const std::uint8_t>(bytes)};
    detail::ChainPrefetch ring(source, detail::ChainGeometry::of(c.block_size, bytes.size()));
    ring.add(c.offset, c.size);
    std::optional<int> steps;
    for (int k = 0; k <= 1000 && !steps; ++k) {
      if (ring.following() == 0) steps = k;
      ring.step();
    }
    EXPECT_EQ(steps, c.steps);
    // Every slot taken by other chains: the ring follows nothing of the old one.
    for (std::size_t k = 0; k < detail::ChainPrefetch::kSlots; ++k) ring.add(0, 0);
    EXPECT_EQ(ring.following(), 0U);
  }
}

}  // namespace
}  // namespace quorvale_dat
