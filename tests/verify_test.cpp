// verify: each kind of problem on an archive made to have it, and agreement with what opening and
// get_file do on many damaged archives: a chain get_file reads is never broken, a chain it cannot
// read always is, and an archive that does not open says why with opening's own error.

#include "quorvale_dat/verify.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "quorvale_dat/database.hpp"
#include "quorvale_dat_builder/archive_builder.hpp"
#include "quorvale_dat_builder/lrs_encoder.hpp"
#include "support/damaged_archives.hpp"
#include "text.hpp"

namespace quorvale_dat {
namespace {

using Bytes = std::vector<std::uint8_t>;
using build::ArchiveWriter;
using detail::hex8;

Bytes block(std::uint32_t next, std::size_t payload) {
  Bytes b = {static_cast<std::uint8_t>(next), static_cast<std::uint8_t>(next >> 8),
             static_cast<std::uint8_t>(next >> 16), static_cast<std::uint8_t>(next >> 24)};
  b.resize(4 + payload, 0x5A);
  return b;
}

DatFileEntry entry(std::uint32_t id, std::uint32_t offset, std::uint32_t size,
                   std::uint32_t flags = 0) {
  return {.bit_flags = flags, .id = id, .offset = offset, .size = size};
}

// One leaf holding `entries` as root; `chains` runs first and returns them.
Bytes one_node(std::uint32_t block_size,
               const std::function<std::vector<DatFileEntry>(ArchiveWriter&)>& chains) {
  ArchiveWriter w(block_size);
  build::NodeSpec node;
  node.entries = chains(w);
  node.entry_count = static_cast<std::uint32_t>(node.entries.size());
  w.header().root_offset = w.add_node(node);
  return w.finish();
}

// A problem as "kind place id/offset block xcount".
std::string summary(const Problem& p) {
  std::string place = p.place == ProblemPlace::Entry  ? "entry " + hex8(p.id)
                      : p.place == ProblemPlace::Node ? "node " + hex8(p.offset)
                                                      : std::string("header");
  return std::string(kind_name(p.kind)) + " " + place + " " + hex8(p.block) + " x" +
         std::to_string(p.count);
}

TEST(VerifyTest, EachKindOfProblem) {
  struct Case {
    const char* name;
    std::function<Bytes()> build;
    std::vector<std::string> expected;  // summaries, in the report's order
    bool opens = true;
  };
  const std::vector<Case> cases = {
      {"sound",
       [] {
         std::vector<build::Record> records;
         for (std::uint32_t i = 0; i < 30; ++i) {
           records.push_back({.id = i + 1, .data = Bytes(i * 50, 1), .compressed = i % 2 == 0});
         }
         return build::build_archive(
             records,
             {.block_size = 64, .layout = build::Layout::Scattered, .entries_per_node = 3});
       },
       {}},
      {"chain outside the file",
       [] {
         return one_node(64, [](ArchiveWriter&) { return std::vector{entry(1, 0x10000, 5)}; });
       },
       {"block-outside-file entry 0x00000001 0x00010000 x1"}},
      {"last block past the end",
       [] {
         return one_node(64, [](ArchiveWriter& w) {
           return std::vector{entry(1, w.add_chain(Bytes(10, 1)), 100000)};
         });
       },
       {"block-past-end entry 0x00000001 0x00000190 x1"}},
      {"block offset without room",
       [] {
         return one_node(64, [](ArchiveWriter&) { return std::vector{entry(1, 0xFFFFFFFD, 5)}; });
       },
       {"block-offset-too-high entry 0x00000001 0xFFFFFFFD x1"}},
      {"loop visiting more blocks than the file holds",
       [] {
         return one_node(256, [](ArchiveWriter& w) {
           const std::uint32_t at = w.add_raw(block(400, 252));
           w.add_raw(Bytes(20000, 0));
           // The file holds 88 blocks (22,448 bytes); 22,300 bytes take 89.
           return std::vector{entry(1, at, 22300)};
         });
       },
       {"block-used-twice entry 0x00000001 0x00000190 x87",
        "too-many-blocks entry 0x00000001 0x00000190 x1"}},
      {"loop supplying more than the file",
       [] {
         return one_node(256, [](ArchiveWriter& w) {
           return std::vector{entry(1, w.add_raw(block(400, 252)), 0xFFFFFFFF)};
         });
       },
       {"block-used-twice entry 0x00000001 0x00000190 x8",
        "supplies-too-much entry 0x00000001 0x00000190 x1"}},
      {"a loop get_file reads through",
       [] {
         return one_node(64, [](ArchiveWriter& w) {
           const std::uint32_t a = w.add_raw(block(464, 60));
           w.add_raw(block(400, 60));
           return std::vector{entry(1, a, 200)};
         });
       },
       {"block-used-twice entry 0x00000001 0x00000190 x2"}},
      {"entries sharing a chain",
       [] {
         return one_node(64, [](ArchiveWriter& w) {
           const std::uint32_t at = w.add_chain(Bytes(100, 1));
           return std::vector{entry(1, at, 100), entry(2, at, 100), entry(3, at + 64, 30),
                              entry(4, at, 40)};
         });
       },
       {"shared-block entry 0x00000002 0x00000190 x2",
        "shared-block entry 0x00000003 0x000001D0 x1"}},
      {"a chain over the header",
       [] { return one_node(64, [](ArchiveWriter&) { return std::vector{entry(1, 300, 10)}; }); },
       {"overlaps-header entry 0x00000001 0x0000012C x1"}},
      {"a long last block",
       [] {
         return one_node(64, [](ArchiveWriter& w) {
           const std::uint32_t at = w.add_raw(block(0, 200));
           w.add_raw(Bytes(52, 0));  // the node after it on the grid of 64-byte blocks
           return std::vector{entry(1, at, 200)};
         });
       },
       {"long-last-block entry 0x00000001 0x00000190 x1"}},
      {"a repeated id",
       [] {
         return one_node(64, [](ArchiveWriter& w) {
           return std::vector{entry(7, w.add_chain(Bytes{1}), 1),
                              entry(7, w.add_chain(Bytes{2}), 1)};
         });
       },
       {"repeated-id entry 0x00000007 0x00000000 x2"}},
      {"a bad stream and a short one, read in full",
       [] {
         return one_node(256, [](ArchiveWriter& w) {
           Bytes lrs = build::compress_lrs(Bytes(50, 9));
           lrs[0] = 60;
           return std::vector{entry(1, w.add_chain(lrs), static_cast<std::uint32_t>(lrs.size()), 1),
                              entry(2, w.add_chain(Bytes{1, 2}), 2, 1)};
         });
       },
       {"size-mismatch entry 0x00000001 0x00000000 x1",
        "compressed-too-short entry 0x00000002 0x00000000 x1"}},
      {"a node reached from two slots",
       [] {
         ArchiveWriter w(2048);
         build::NodeSpec child;
         child.entry_count = 1;
         child.entries = {entry(5, 0, 0)};
         const std::uint32_t c = w.add_node(child);
         build::NodeSpec root;
         root.entry_count = 2;
         root.entries = {entry(1, 0, 0), entry(9, 0, 0)};
         root.branches = {c, c, c};
         w.header().root_offset = w.add_node(root);
         w.add_raw(Bytes(4000, 0));  // room for the four node visits the file may hold
         return w.finish();
       },
       {"reached-twice node 0x00000190 0x00000000 x2"}},
      {"a node its own ancestor",
       [] {
         ArchiveWriter w(2048);
         build::NodeSpec root;
         root.entry_count = 1;
         root.entries = {entry(1, 0, 0)};
         const std::uint32_t at = w.add_node(root);
         w.put_u32(at + 4, at);
         w.put_u32(at + 8, at);
         w.header().root_offset = at;
         return w.finish();
       },
       {"own-ancestor node 0x00000190 0x00000000 x2", "does-not-open header 0x00000000 x1"},
       false},
      {"entry_count 62",
       [] {
         ArchiveWriter w(2048);
         build::NodeSpec root;
         root.entry_count = 62;
         w.header().root_offset = w.add_node(root);
         return w.finish();
       },
       {"entry-count-too-large node 0x00000190 0x00000000 x1",
        "does-not-open header 0x00000000 x1"},
       false},
      {"a child past the end",
       [] {
         ArchiveWriter w(2048);
         build::NodeSpec root;
         root.entry_count = 1;
         root.entries = {entry(1, 0, 0)};
         root.branches = {0x100000, 0x200000};
         w.header().root_offset = w.add_node(root);
         return w.finish();
       },
       {"block-outside-file node 0x00100000 0x00100000 x1",
        "block-outside-file node 0x00200000 0x00200000 x1", "does-not-open header 0x00000000 x1"},
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes bytes = c.build();
    const auto report = verify_bytes(bytes, {.full = true});
    ASSERT_TRUE(report) << report.error().debug();
    std::vector<std::string> got;
    for (const Problem& p : report->problems) got.push_back(summary(p));
    EXPECT_EQ(got, c.expected);
    const auto db = DatDatabase::open_bytes(bytes);
    EXPECT_EQ(db.has_value(), c.opens);
    EXPECT_EQ(report->open_error.has_value(), !c.opens);
    if (db) {
      EXPECT_EQ(report->entries, db->files().size());
    } else {
      EXPECT_EQ(*report->open_error, db.error());
    }
    for (const Problem& p : report->problems) {
      EXPECT_FALSE(report->message(p).empty());
    }
  }
}

// The kinds that say get_file cannot read a chain.
bool broken(ProblemKind kind) { return !tolerated(kind) && kind != ProblemKind::DoesNotOpen; }

TEST(VerifyTest, AgreesWithOpeningAndGetFileOnDamagedArchives) {
  std::size_t opened = 0;
  std::size_t unreadable = 0;
  constexpr std::uint64_t kArchives = 2200;
  for (std::uint64_t seed = 1; seed <= kArchives; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    test_support::Damage damage(seed);
    const Bytes bytes = damage.damaged();
    const auto report = verify_bytes(bytes);
    const auto db = DatDatabase::open_bytes(bytes);
    if (!report) {
      ASSERT_FALSE(db);
      EXPECT_EQ(report.error(), db.error());  // the header
      continue;
    }
    ASSERT_EQ(db.has_value(), !report->open_error.has_value());
    if (!db) {
      EXPECT_EQ(*report->open_error, db.error());
      continue;
    }
    ++opened;
    EXPECT_EQ(report->entries, db->files().size());
    std::set<std::uint32_t> broken_ids;
    bool all_followed = true;
    for (const Problem& p : report->problems) {
      if (p.kind == ProblemKind::NotChecked) all_followed = false;
      if (p.place == ProblemPlace::Entry && broken(p.kind)) broken_ids.insert(p.id);
    }
    for (const DatFileEntry& e : db->files()) {
      const auto bytes_read = db->get_file(e.id);
      if (!bytes_read) ++unreadable;
      if (all_followed) {
        EXPECT_EQ(broken_ids.contains(e.id), !bytes_read.has_value())
            << "entry " << hex8(e.id)
            << (bytes_read ? "" : ": get_file gives " + bytes_read.error().debug());
      } else if (bytes_read) {
        EXPECT_FALSE(broken_ids.contains(e.id)) << "entry " << hex8(e.id);
      }
    }
  }
  // The damage reaches both outcomes often enough for the agreement to mean something.
  std::printf("%zu of %zu archives open; %zu records unreadable\n", opened,
              static_cast<std::size_t>(kArchives), unreadable);
  EXPECT_GE(opened, 1000u);
  EXPECT_GT(unreadable, 300u);
}

}  // namespace
}  // namespace quorvale_dat
