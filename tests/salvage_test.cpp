// Salvage: opening a damaged archive as far as its directory reads. Which entries are kept and
// which subtrees are reported for each kind of damaged node, and, over damaged archives of every
// shape, that salvage agrees with open() wherever open() succeeds or names the first failure.

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "quorvale_dat/database.hpp"
#include "quorvale_dat/format.hpp"
#include "quorvale_dat_builder/archive_builder.hpp"
#include "support/damaged_archives.hpp"

namespace quorvale_dat {
namespace {

using Bytes = std::vector<std::uint8_t>;
using build::ArchiveWriter;
using build::NodeSpec;

constexpr std::uint32_t kGarbage = 0x7FFFFF00;

DatFileEntry entry(std::uint32_t id) { return DatFileEntry{.id = id}; }

NodeSpec node(std::vector<DatFileEntry> entries, std::vector<std::uint32_t> children = {}) {
  NodeSpec n;
  n.entry_count = static_cast<std::uint32_t>(entries.size());
  n.entries = std::move(entries);
  std::copy(children.begin(), children.end(), n.branches.begin());
  return n;
}

std::set<std::uint32_t> ids(const FileMap& files) {
  std::set<std::uint32_t> out;
  for (const DatFileEntry& e : files) out.insert(e.id);
  return out;
}

// root {1, 2} with children A {3} (slot 0) and B {5, 6} (slot 1); B has G {9} at slot 0. Blocks
// of 256 bytes, so that every node spans several blocks.
struct Tree {
  std::uint32_t root = 0, a = 0, b = 0, g = 0;
};

// The first pointer of a node's chain and its entry_count, as file offsets.
std::uint32_t next_pointer(std::uint32_t node) { return node; }
std::uint32_t entry_count_field(std::uint32_t node) {
  return node + format::kBlockPointerSize + format::kEntryCountOffset;
}

Bytes tree(const std::function<void(ArchiveWriter&, Tree&)>& damage) {
  ArchiveWriter w(256);
  Tree t;
  t.g = w.add_node(node({entry(9)}));
  t.a = w.add_node(node({entry(3)}));
  t.b = w.add_node(node({entry(5), entry(6)}, {t.g}));
  t.root = w.add_node(node({entry(1), entry(2)}, {t.a, t.b}));
  w.header().root_offset = t.root;
  damage(w, t);
  return w.finish();
}

TEST(SalvageTest, KeepsEveryNodeThatReadsAndReportsEachSubtreeLeftOut) {
  struct Skip {
    DirectoryFault fault;
    std::function<std::uint32_t(const Tree&)> offset, parent;
    std::uint32_t slot, depth;
  };
  struct Case {
    std::string name;
    std::function<void(ArchiveWriter&, Tree&)> damage;
    std::set<std::uint32_t> kept;
    std::vector<Skip> skipped;
  };
  const auto at = [](std::uint32_t Tree::*node) {
    return [node](const Tree& t) { return t.*node; };
  };
  const auto none = [](const Tree&) { return 0u; };
  const auto garbage = [](const Tree&) { return kGarbage; };
  const std::vector<Case> cases = {
      {"sound", [](ArchiveWriter&, Tree&) {}, {1, 2, 3, 5, 6, 9}, {}},
      {"an inner node's chain leaves the file: its subtree is lost",
       [](ArchiveWriter& w, Tree& t) { w.put_u32(next_pointer(t.b), kGarbage); },
       {1, 2, 3},
       {{DirectoryFault::Unreadable, at(&Tree::b), at(&Tree::root), 1, 2}}},
      {"a leaf's entry_count beyond a node",
       [](ArchiveWriter& w, Tree& t) { w.put_u32(entry_count_field(t.a), 70); },
       {1, 2, 5, 6, 9},
       {{DirectoryFault::EntryCount, at(&Tree::a), at(&Tree::root), 0, 2}}},
      {"a branch back to the root: only that branch is left out",
       [](ArchiveWriter& w, Tree& t) {
         w.put_u32(t.g + format::kBlockPointerSize, t.root);  // G's slot 0
       },
       {1, 2, 3, 5, 6, 9},
       {{DirectoryFault::OwnAncestor, at(&Tree::root), at(&Tree::g), 0, 4}}},
      {"a root outside the file: nothing is left",
       [](ArchiveWriter& w, Tree&) { w.header().root_offset = kGarbage; },
       {},
       {{DirectoryFault::Unreadable, garbage, none, 0, 1}}},
      {"two damaged subtrees, in walk order",
       [](ArchiveWriter& w, Tree& t) {
         w.put_u32(entry_count_field(t.a), 62);
         w.put_u32(next_pointer(t.g), kGarbage);
       },
       {1, 2, 5, 6},
       {{DirectoryFault::EntryCount, at(&Tree::a), at(&Tree::root), 0, 2},
        {DirectoryFault::Unreadable, at(&Tree::g), at(&Tree::b), 0, 3}}},
      {"the root's last child slot leads outside the file",
       [](ArchiveWriter& w, Tree& t) {
         w.put_u32(t.root + format::kBlockPointerSize + 8, kGarbage);  // slot 2
       },
       {1, 2, 3, 5, 6, 9},
       {{DirectoryFault::Unreadable, garbage, at(&Tree::root), 2, 2}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Tree t;
    const Bytes bytes = tree([&](ArchiveWriter& w, Tree& built) {
      c.damage(w, built);
      t = built;
    });
    auto salvaged = DatDatabase::open_salvage_bytes(bytes);
    ASSERT_TRUE(salvaged) << salvaged.error().debug();
    EXPECT_EQ(ids(salvaged->database.files()), c.kept);
    EXPECT_EQ(salvaged->complete(), c.skipped.empty());
    ASSERT_EQ(salvaged->skipped.size(), c.skipped.size());
    for (std::size_t i = 0; i < c.skipped.size(); ++i) {
      const SkippedNode& got = salvaged->skipped[i];
      const Skip& want = c.skipped[i];
      EXPECT_EQ(got.fault, want.fault) << i;
      EXPECT_EQ(got.offset, want.offset(t)) << i;
      EXPECT_EQ(got.parent, want.parent(t)) << i;
      EXPECT_EQ(got.slot, want.slot) << i;
      EXPECT_EQ(got.depth, want.depth) << i;
    }
    // open() fails exactly when something was left out, with the first subtree's error.
    auto opened = DatDatabase::open_bytes(bytes);
    ASSERT_EQ(opened.has_value(), c.skipped.empty());
    if (!opened) {
      EXPECT_EQ(opened.error(), salvaged->skipped.front().error);
    }
  }
}

TEST(SalvageTest, AgreesWithOpenOnDamagedArchivesOfEveryShape) {
  std::size_t opened_count = 0, salvaged_count = 0;
  for (std::uint64_t seed = 0; seed < 300; ++seed) {
    SCOPED_TRACE(seed);
    test_support::Damage damage(seed);
    const Bytes sound = damage.sound();
    const Bytes bytes = damage.damaged();
    auto opened = DatDatabase::open_bytes(bytes);
    auto salvaged = DatDatabase::open_salvage_bytes(bytes);
    if (!salvaged) {
      // Only a header that does not read fails, and then open() fails the same way.
      ASSERT_FALSE(opened);
      EXPECT_EQ(opened.error(), salvaged.error());
      continue;
    }
    if (opened) {
      ++opened_count;
      EXPECT_TRUE(salvaged->complete());
      EXPECT_EQ(salvaged->database.files().size(), opened->files().size());
      EXPECT_TRUE(std::equal(opened->files().begin(), opened->files().end(),
                             salvaged->database.files().begin()));
      continue;
    }
    ++salvaged_count;
    ASSERT_FALSE(salvaged->complete());
    EXPECT_EQ(salvaged->skipped.front().error, opened.error());
    // Every record kept can be asked for, whatever it yields.
    for (const DatFileEntry& e : salvaged->database.files())
      (void)salvaged->database.get_file(e.id);
  }
  EXPECT_GT(opened_count, 0u);
  EXPECT_GT(salvaged_count, 0u);
}

TEST(SalvageTest, AHeaderThatDoesNotReadStillFails) {
  Bytes bytes = tree([](ArchiveWriter&, Tree&) {});
  for (const std::size_t size : {std::size_t{0}, std::size_t{100}, std::size_t{330}}) {
    SCOPED_TRACE(size);
    Bytes cut(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size));
    auto salvaged = DatDatabase::open_salvage_bytes(cut);
    auto opened = DatDatabase::open_bytes(cut);
    ASSERT_FALSE(salvaged);
    ASSERT_FALSE(opened);
    EXPECT_EQ(salvaged.error(), opened.error());
  }
  build::TempFile file(
      tree([](ArchiveWriter& w, Tree& t) { w.put_u32(next_pointer(t.b), kGarbage); }));
  auto from_file = DatDatabase::open_salvage(file.path());
  ASSERT_TRUE(from_file);
  EXPECT_EQ(ids(from_file->database.files()), (std::set<std::uint32_t>{1, 2, 3}));
  EXPECT_FALSE(DatDatabase::open_salvage("/nonexistent/x.dat"));
}

}  // namespace
}  // namespace quorvale_dat
