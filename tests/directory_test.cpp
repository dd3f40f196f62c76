// The directory walk: which nodes and slots it visits, which entry stays when ids repeat, hostile
// trees (cycles, amplification, depth), and whole archives written by the builder.

#include "quorvale_dat/directory.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <ostream>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "quorvale_dat/database.hpp"
#include "quorvale_dat_builder/archive_builder.hpp"
#include "quorvale_dat_builder/lrs_encoder.hpp"
#include "support/decoder_test_support.hpp"

namespace quorvale_dat {

namespace build {
// A layout as test listings show it (GoogleTest would print its bytes).
void PrintTo(Layout layout, std::ostream* os) {
  *os << (layout == Layout::Sequential ? "sequential" : "scattered");
}
}  // namespace build

namespace {

using Bytes = std::vector<std::uint8_t>;
using build::ArchiveWriter;
using build::NodeSpec;

// An offset far past the end of every test file: following it fails the open.
constexpr std::uint32_t kGarbage = 0x7FFFFF00;

const std::string kShortRead =
    R"(Io(Error { kind: UnexpectedEof, message: "failed to fill whole buffer" }))";

Expected<DatDatabase, DatError> open_bytes(const Bytes& bytes) {
  return DatDatabase::open_bytes(bytes);
}

// An entry told apart from others with the same id by its timestamp.
DatFileEntry entry(std::uint32_t id, std::uint32_t mark) {
  return DatFileEntry{.bit_flags = 0, .id = id, .offset = 0, .size = 0, .timestamp = mark};
}

NodeSpec node(std::vector<DatFileEntry> entries, std::vector<std::uint32_t> children = {}) {
  NodeSpec n;
  n.entry_count = static_cast<std::uint32_t>(entries.size());
  n.entries = std::move(entries);
  std::copy(children.begin(), children.end(), n.branches.begin());
  return n;
}

// The map's content as (id, timestamp) pairs in id order.
using Marks = std::vector<std::pair<std::uint32_t, std::uint32_t>>;

Marks marks(const FileMap& files) {
  Marks m;
  for (const DatFileEntry& e : files) m.emplace_back(e.id, e.timestamp);
  return m;
}

Bytes with_root(ArchiveWriter& w, std::uint32_t root) {
  w.header().root_offset = root;
  return w.finish();
}

TEST(DirectoryTest, WalkVisitsSlotsInOrderAndTheLastEntryStays) {
  struct Case {
    const char* name;
    std::function<Bytes()> build;
    Marks expected;
  };
  const std::vector<Case> cases = {
      {"root_offset 0 is an empty directory", [] { return ArchiveWriter(1024).finish(); }, {}},
      {"a child's entry replaces its parent's",
       [] {
         ArchiveWriter w(1024);
         const auto child = w.add_node(node({entry(5, 2), entry(6, 2)}));
         return with_root(w, w.add_node(node({entry(5, 1), entry(7, 1)}, {child, 0, 0})));
       },
       {{5, 2}, {6, 2}, {7, 1}}},
      {"a later entry of a node replaces an earlier one",
       [] {
         ArchiveWriter w(1024);
         return with_root(w, w.add_node(node({entry(7, 1), entry(3, 1), entry(7, 2)})));
       },
       {{3, 1}, {7, 2}}},
      // Slot 0's whole subtree, grandchild included, is walked before slot 1.
      {"a later slot's subtree replaces an earlier one's",
       [] {
         ArchiveWriter w(1024);
         const auto grandchild = w.add_node(node({entry(5, 12)}));
         const auto first = w.add_node(node({entry(6, 10)}, {grandchild, 0}));
         const auto second = w.add_node(node({entry(5, 11)}));
         return with_root(w, w.add_node(node({entry(1, 0)}, {first, second})));
       },
       {{1, 0}, {5, 11}, {6, 10}}},
      {"entry_count 0 with slot 0 set walks slot 0 only",
       [] {
         ArchiveWriter w(1024);
         const auto child = w.add_node(node({entry(9, 1)}));
         return with_root(w, w.add_node(node({}, {child, kGarbage, kGarbage})));
       },
       {{9, 1}}},
      {"a leaf's slots 1 to 61 are not followed",
       [] {
         ArchiveWriter w(1024);
         NodeSpec leaf = node({entry(4, 1)});
         std::fill(leaf.branches.begin() + 1, leaf.branches.end(), kGarbage);
         return with_root(w, w.add_node(leaf));
       },
       {{4, 1}}},
      // Slot 1 is empty; 8 tells slot 2 came after slot 0, 9 that slot 3 came last; slots 4 to
      // 61 lie beyond entry_count + 1 and are ignored.
      {"entry_count 3 walks slots 0, 2 and 3",
       [] {
         ArchiveWriter w(1024);
         const auto c0 = w.add_node(node({entry(9, 0), entry(8, 0)}));
         const auto c2 = w.add_node(node({entry(9, 2), entry(8, 2)}));
         const auto c3 = w.add_node(node({entry(9, 3)}));
         NodeSpec root = node({entry(100, 0), entry(101, 0), entry(102, 0)}, {c0, 0, c2, c3});
         std::fill(root.branches.begin() + 4, root.branches.end(), kGarbage);
         return with_root(w, w.add_node(root));
       },
       {{8, 2}, {9, 3}, {100, 0}, {101, 0}, {102, 0}}},
      // A search tree: each inner node's entry i lies between its subtrees in slots i and
      // i + 1, so the ids come out sorted as the tree holds them.
      {"a search tree's entries, empty slots and empty inner nodes included",
       [] {
         ArchiveWriter w(1024);
         const auto low = w.add_node(node({entry(1, 1), entry(2, 1)}));
         const auto deep = w.add_node(node({entry(11, 3)}));
         const auto empty_inner = w.add_node(node({}, {deep}));
         const auto mid = w.add_node(node({entry(12, 2), entry(14, 2)}, {empty_inner, 0, 0}));
         const auto high = w.add_node(node({entry(30, 1)}));
         return with_root(
             w, w.add_node(node({entry(10, 0), entry(20, 0), entry(25, 0)}, {low, mid, 0, high})));
       },
       {{1, 1}, {2, 1}, {10, 0}, {11, 3}, {12, 2}, {14, 2}, {20, 0}, {25, 0}, {30, 1}}},
      {"ids out of the tree's order, none repeated, are sorted",
       [] {
         ArchiveWriter w(1024);
         const auto c0 = w.add_node(node({entry(40, 1)}));
         const auto c1 = w.add_node(node({entry(2, 1), entry(1, 1)}));
         return with_root(w, w.add_node(node({entry(20, 0)}, {c0, c1})));
       },
       {{1, 1}, {2, 1}, {20, 0}, {40, 1}}},
      // In the tree's order the child's 5 comes before the parent's 5; in the walk's, after it.
      {"an id repeated in a search tree: the walk order decides",
       [] {
         ArchiveWriter w(1024);
         const auto c0 = w.add_node(node({entry(4, 1), entry(5, 1)}));
         const auto c1 = w.add_node(node({entry(6, 1)}));
         return with_root(w, w.add_node(node({entry(5, 0)}, {c0, c1})));
       },
       {{4, 1}, {5, 1}, {6, 1}}},
      {"entry_count 61 fills the node",
       [] {
         ArchiveWriter w(1024);
         std::vector<DatFileEntry> entries;
         for (std::uint32_t id = 1; id <= 61; ++id) entries.push_back(entry(id, id));
         return with_root(w, w.add_node(node(entries)));
       },
       [] {
         Marks m;
         for (std::uint32_t id = 1; id <= 61; ++id) m.emplace_back(id, id);
         return m;
       }()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto db = open_bytes(c.build());
    ASSERT_TRUE(db) << db.error().debug();
    EXPECT_EQ(marks(db->files()), c.expected);
  }
}

TEST(DirectoryTest, EntryCountBeyondTheNodeIsBinRead) {
  ArchiveWriter w(1024);
  NodeSpec full = node({});
  for (std::uint32_t id = 1; id <= 61; ++id) full.entries.push_back(entry(id, 0));
  full.entry_count = 62;
  const auto db = open_bytes(with_root(w, w.add_node(full)));
  ASSERT_FALSE(db);
  const auto* bin = db.error().get_if<DatError::BinRead>();
  ASSERT_NE(bin, nullptr) << db.error().debug();
  EXPECT_EQ(bin->error.root(), ParseError(IoError::short_read()));
  const auto frames = bin->error.frames();
  ASSERT_EQ(frames.size(), 1u);
  const auto* frame = std::get_if<BacktraceFrame::Full>(&frames[0].value);
  ASSERT_NE(frame, nullptr);
  EXPECT_EQ(frame->message, "While parsing field 'bit_flags' in DatFileEntry");
  EXPECT_EQ(frame->file, "src/file_entry.cpp");
  EXPECT_EQ(frame->line, test_support::source_line_of("src/file_entry.cpp", "bit_flags"));
}

TEST(DirectoryTest, BrokenTreesFailTheOpen) {
  struct Case {
    const char* name;
    std::function<Bytes()> build;
    std::string debug;       // the exact debug text, or
    std::string corruption;  // text within a Corruption's message
  };
  const std::vector<Case> cases = {
      {"child offset past the end",
       [] {
         ArchiveWriter w(1024);
         const auto good = w.add_node(node({entry(1, 0)}));
         return with_root(w, w.add_node(node({entry(2, 0)}, {good, w.size() + 5000})));
       },
       kShortRead, ""},
      {"only child past the end of a one-node file",
       [] {
         ArchiveWriter w(1024);
         return with_root(w, w.add_node(node({entry(2, 0)}, {w.size() + 5000, 0})));
       },
       kShortRead, ""},
      {"node whose slot 0 is itself",
       [] {
         ArchiveWriter w(1024);
         const auto root = w.add_node(node({entry(1, 0)}));
         w.put_u32(root + 4, root);  // slot 0 lies at the start of the first block's payload
         return with_root(w, root);
       },
       "", "is its own ancestor"},
      {"grandchild pointing back at the root",
       [] {
         ArchiveWriter w(1024);
         const auto grandchild = w.add_node(node({entry(3, 0)}));
         const auto child = w.add_node(node({entry(2, 0)}, {grandchild, 0}));
         const auto root = w.add_node(node({entry(1, 0)}, {child, 0}));
         w.put_u32(grandchild + 4, root);
         return with_root(w, root);
       },
       "", "is its own ancestor"},
      // Four levels of full inner nodes, every slot naming the next level: 62^4 leaves to walk
      // from a file of five nodes.
      {"every slot naming the same node, level after level",
       [] {
         ArchiveWriter w(1024);
         std::uint32_t below = w.add_node(node({entry(1, 0)}));
         for (int level = 0; level < 4; ++level) {
           std::vector<DatFileEntry> entries;
           for (std::uint32_t i = 0; i < 61; ++i) entries.push_back(entry(100 + i, 0));
           NodeSpec inner = node(entries);
           inner.branches.fill(below);
           below = w.add_node(inner);
         }
         return with_root(w, below);
       },
       "", "more nodes than the file holds"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto db = open_bytes(c.build());
    ASSERT_FALSE(db);
    if (!c.debug.empty()) {
      EXPECT_EQ(db.error().debug(), c.debug);
    } else {
      const auto* corruption = db.error().get_if<DatError::Corruption>();
      ASSERT_NE(corruption, nullptr) << db.error().debug();
      EXPECT_NE(corruption->text.find(c.corruption), std::string::npos) << corruption->text;
    }
  }
}

// The walk shows a visitor every node in walk order, with its place in the tree and its entries,
// and the node that ends it, with opening's error.
TEST(DirectoryTest, VisitorSeesTheWalk) {
  struct Recorder : DirectoryVisitor {
    std::vector<std::string> seen;
    void node(const DirectoryNode& n) override {
      std::string line = std::to_string(n.offset) + " from " + std::to_string(n.parent) +
                         " depth " + std::to_string(n.depth) + " slots " +
                         std::to_string(n.child_slots) + ":";
      for (const DatFileEntry& e : n.entries) line += " " + std::to_string(e.id);
      seen.push_back(line);
    }
    void failed(const DirectoryFailure& f) override {
      seen.push_back("failed " + std::to_string(static_cast<int>(f.fault)) + " at " +
                     std::to_string(f.offset) + " from " + std::to_string(f.parent) + ": " +
                     f.error.debug());
    }
  };
  // Ids out of the tree's order (the map is then built from the walk order) and ids in it (a
  // search tree, whose map needs no sort): the visitor sees each node once either way.
  struct Ids {
    const char* name;
    std::uint32_t root, child, grandchild, second_a, second_b;
  };
  const auto at = [](std::uint32_t o) { return std::to_string(o); };
  for (const Ids ids : {Ids{"out of order", 1, 2, 3, 4, 5}, Ids{"search tree", 3, 2, 1, 4, 5}}) {
    SCOPED_TRACE(ids.name);
    ArchiveWriter w(2048);
    const auto grandchild = w.add_node(node({entry(ids.grandchild, 0)}));
    const auto child = w.add_node(node({entry(ids.child, 0)}, {grandchild, 0}));
    const auto second = w.add_node(node({entry(ids.second_a, 0), entry(ids.second_b, 0)}));
    const auto root = w.add_node(node({entry(ids.root, 0)}, {child, second}));
    Recorder sound;
    const auto db = DatDatabase::open_bytes(with_root(w, root), sound);
    ASSERT_TRUE(db) << db.error().debug();
    EXPECT_EQ(sound.seen,
              (std::vector<std::string>{
                  at(root) + " from 0 depth 1 slots 2: " + at(ids.root),
                  at(child) + " from " + at(root) + " depth 2 slots 2: " + at(ids.child),
                  at(grandchild) + " from " + at(child) + " depth 3 slots 0: " + at(ids.grandchild),
                  at(second) + " from " + at(root) + " depth 2 slots 0: " + at(ids.second_a) + " " +
                      at(ids.second_b)}));
    EXPECT_EQ(marks(db->files()), (Marks{{1, 0}, {2, 0}, {3, 0}, {4, 0}, {5, 0}}));
  }

  ArchiveWriter w(2048);
  const auto grandchild = w.add_node(node({entry(3, 0)}));
  const auto child = w.add_node(node({entry(2, 0)}, {grandchild, 0}));
  const auto second = w.add_node(node({entry(4, 0), entry(5, 0)}));
  const auto root = w.add_node(node({entry(1, 0)}, {child, second}));
  w.put_u32(second + 4, root);  // the second child's slot 0 leads back to the root
  w.put_u32(second + 4 + 248, 0);
  Recorder cycle;
  const auto broken = DatDatabase::open_bytes(with_root(w, root), cycle);
  ASSERT_FALSE(broken);
  ASSERT_EQ(cycle.seen.size(), 5u);
  EXPECT_EQ(cycle.seen.back(),
            "failed " + std::to_string(static_cast<int>(DirectoryFault::OwnAncestor)) + " at " +
                at(root) + " from " + at(second) + ": " + broken.error().debug());
}

TEST(DirectoryTest, DeepChainOfNodesOpens) {
  // Each node holds one entry and names the next in slot 0.
  constexpr std::uint32_t kDepth = 5000;
  ArchiveWriter w(1024);
  std::uint32_t below = 0;
  for (std::uint32_t i = 0; i < kDepth; ++i) below = w.add_node(node({entry(i, i)}, {below, 0}));
  const auto db = open_bytes(with_root(w, below));
  ASSERT_TRUE(db) << db.error().debug();
  EXPECT_EQ(db->files().size(), kDepth);
}

// Archives written by build_archive: every record is in the map and comes back intact, and the
// tree is a search tree of the requested fan-out.
using ArchiveParam = std::tuple<std::size_t, std::uint32_t, build::Layout, std::uint32_t>;

class BuiltArchiveTest : public testing::TestWithParam<ArchiveParam> {};

struct TreeShape {
  std::vector<std::uint32_t> in_order;
  std::size_t depth = 0;
};

void walk_in_order(const DatDatabase& db, std::uint32_t offset, std::size_t depth,
                   std::uint32_t per_node, TreeShape& shape) {
  const auto content = db.read_file_data(offset, format::kNodeSize);
  ASSERT_TRUE(content);
  const auto u32 = [&](std::size_t at) {
    std::uint32_t v = 0;
    for (std::size_t k = 0; k < 4; ++k)
      v |= static_cast<std::uint32_t>((*content)[at + k]) << (8 * k);
    return v;
  };

  const std::uint32_t count = u32(248);
  ASSERT_GE(count, 1u);
  ASSERT_LE(count, per_node);
  shape.depth = std::max(shape.depth, depth);
  const bool leaf = u32(0) == 0;
  for (std::uint32_t slot = 0; slot < 62; ++slot) {
    const std::uint32_t child = u32(slot * 4);
    if (leaf || slot > count) {
      EXPECT_EQ(child, 0u) << "slot " << slot << " of a node with " << count << " entries";
    } else if (child != 0) {
      walk_in_order(db, child, depth + 1, per_node, shape);
    }
    if (slot < count) shape.in_order.push_back(u32(252 + slot * 24 + 4));
  }
}

TEST_P(BuiltArchiveTest, EveryRecordComesBack) {
  const auto [count, block_size, layout, per_node] = GetParam();
  std::mt19937 rng(static_cast<std::uint32_t>(count * 131 + block_size));
  std::vector<build::Record> records(count);
  for (std::size_t i = 0; i < count; ++i) {
    build::Record& r = records[i];
    r.id = 0x01000000u + static_cast<std::uint32_t>(i) * 0x9E37u;
    r.compressed = i % 3 == 0;
    r.data.resize(rng() % 700);
    for (auto& b : r.data) b = static_cast<std::uint8_t>(r.compressed ? 'a' + rng() % 4 : rng());
    r.bit_flags = i % 5 == 0 ? 0x00020000u : 0;
    r.timestamp = static_cast<std::uint32_t>(i);
    r.version = static_cast<std::uint32_t>(i * 3);
  }
  std::shuffle(records.begin(), records.end(), rng);

  const auto db = open_bytes(build::build_archive(
      records,
      {.block_size = block_size, .layout = layout, .seed = 9, .entries_per_node = per_node}));
  ASSERT_TRUE(db) << db.error().debug();
  ASSERT_EQ(db->files().size(), count);
  for (const build::Record& r : records) {
    SCOPED_TRACE(r.id);
    const DatFileEntry* e = db->files().get(r.id);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->bit_flags, r.bit_flags | (r.compressed ? 1u : 0u));
    EXPECT_EQ(e->size, r.compressed ? build::compress_lrs(r.data).size() : r.data.size());
    EXPECT_EQ(e->timestamp, r.timestamp);
    EXPECT_EQ(e->version, r.version);
    const auto data = db->get_file(r.id);
    ASSERT_TRUE(data) << data.error().debug();
    ASSERT_EQ(*data, r.data);
  }

  TreeShape shape;
  walk_in_order(*db, db->header().root_offset, 1, per_node, shape);
  std::vector<std::uint32_t> ids;
  for (const build::Record& r : records) ids.push_back(r.id);
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(shape.in_order, ids);
  // The lowest height that can hold the records, or one more where the shares come out uneven.
  std::size_t height = 1;
  for (std::size_t capacity = per_node; capacity < count;
       capacity = (capacity + 1) * (per_node + 1) - 1) {
    ++height;
  }
  EXPECT_GE(shape.depth, height);
  EXPECT_LE(shape.depth, height + 1);
}

std::string shape_name(const testing::TestParamInfo<ArchiveParam>& param) {
  const auto [count, block_size, layout, per_node] = param.param;
  return std::to_string(count) + "_records_" + std::to_string(block_size) + "_" +
         (layout == build::Layout::Sequential ? "sequential" : "scattered") + "_" +
         std::to_string(per_node) + "_per_node";
}

INSTANTIATE_TEST_SUITE_P(Shapes, BuiltArchiveTest,
                         testing::Combine(testing::Values<std::size_t>(1, 61, 62, 1000, 5000),
                                          testing::Values<std::uint32_t>(256, 1024),
                                          testing::Values(build::Layout::Sequential,
                                                          build::Layout::Scattered),
                                          testing::Values<std::uint32_t>(61, 3)),
                         shape_name);

}  // namespace
}  // namespace quorvale_dat
