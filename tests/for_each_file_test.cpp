// for_each_file: every entry once, in file order, with exactly what get_file gives, on archives
// larger than its read windows (records across a window's end, chains scattered over the file,
// records too large for a window) and on damaged archives, where its errors must be get_file's;
// from a file and from memory. Its options: a selection of entries, and chains that overlap.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "quorvale_dat/database.hpp"
#include "quorvale_dat_builder/archive_builder.hpp"
#include "support/record_content.hpp"

namespace quorvale_dat {
namespace {

using Bytes = std::vector<std::uint8_t>;
using build::Layout;

// get_file's outcome for one entry, as comparable text.
std::string outcome(const Expected<std::span<const std::uint8_t>, DatError>& r) {
  if (!r) return "error: " + r.error().display();
  return "bytes: " + std::string(r->begin(), r->end());
}

// Visits every entry and checks it against get_file, the order and that no entry repeats.
void expect_same_as_get_file_of(const DatDatabase& db, const std::string& label) {
  std::map<std::uint32_t, std::string> seen;
  std::uint32_t last_offset = 0;
  db.for_each_file([&](const DatFileEntry& e, DatDatabase::FileResult r) {
    EXPECT_GE(e.offset, last_offset) << label << ": not in file order at id " << e.id;
    last_offset = e.offset;
    EXPECT_TRUE(seen.emplace(e.id, outcome(r)).second) << label << ": id " << e.id << " twice";
  });
  ASSERT_EQ(seen.size(), db.files().size()) << label;
  for (const DatFileEntry& e : db.files()) {
    auto direct = db.get_file(e.id);
    const Expected<std::span<const std::uint8_t>, DatError> view =
        direct ? Expected<std::span<const std::uint8_t>, DatError>(std::span(*direct))
               : Unexpected(direct.error());
    EXPECT_EQ(seen[e.id], outcome(view)) << label << ": id " << e.id;
  }
}

// The same from a file, read through windows, and from memory, read in place.
void expect_same_as_get_file(const Bytes& bytes, const std::string& label) {
  const build::TempFile file(bytes);
  auto from_file = DatDatabase::open(file.path());
  auto from_memory = DatDatabase::open_bytes(bytes);
  ASSERT_EQ(from_file.has_value(), from_memory.has_value()) << label;
  if (!from_file) return;  // the damage reached the directory
  expect_same_as_get_file_of(*from_file, label + ", file");
  expect_same_as_get_file_of(*from_memory, label + ", memory");
}

using test_support::content;

struct Shape {
  const char* name;
  std::uint32_t block_size;
  Layout layout;
  std::size_t records;
  std::size_t mean_size;          // sizes run from 0 to about twice this
  std::size_t large_records = 0;  // records of 700 KiB, more than a window takes
  bool compressed = false;        // every third record stored compressed
};

std::vector<build::Record> records_of(const Shape& s) {
  std::vector<build::Record> records;
  std::uint64_t x = 0x9E3779B97F4A7C15ull * (s.records + s.block_size);
  for (std::size_t i = 0; i < s.records; ++i) {
    x ^= x << 13, x ^= x >> 7, x ^= x << 17;
    const auto id = static_cast<std::uint32_t>(0x06000000 + i);
    const bool compressed = s.compressed && i % 3 == 0;
    const std::size_t size = i < s.large_records ? 700 * 1024 : x % (2 * s.mean_size + 1);
    records.push_back({.id = id, .data = content(id, size, compressed), .compressed = compressed});
  }
  return records;
}

TEST(ForEachFile, GivesWhatGetFileGivesOnEveryShape) {
  const Shape shapes[] = {
      {"no records", 1024, Layout::Sequential, 0, 0},
      {"one block each", 1024, Layout::Sequential, 2000, 400},
      {"sequential, 1024-byte blocks, past several windows", 1024, Layout::Sequential, 3000, 1200,
       0, true},
      {"sequential, 256-byte blocks", 256, Layout::Sequential, 4000, 700, 0, true},
      {"sequential, with records larger than a window", 1024, Layout::Sequential, 600, 2000, 3},
      {"scattered, 1024-byte blocks", 1024, Layout::Scattered, 3000, 1200, 0, true},
      {"scattered, 256-byte blocks", 256, Layout::Scattered, 3000, 300},
      {"tiny blocks", 5, Layout::Sequential, 300, 40},
  };
  for (const Shape& s : shapes) {
    expect_same_as_get_file(
        build::build_archive(records_of(s), {.block_size = s.block_size, .layout = s.layout}),
        s.name);
  }
}

// Scattered multi-block chains leave nothing for windows to serve, so windows stop for a while
// and start again further on; every record is still read, by its own chain.
TEST(ForEachFile, ReadsEveryRecordWhereWindowsDoNotPay) {
  const Shape s = {"scattered, no record in one block", 1024, Layout::Scattered, 6000, 1800};
  auto records = records_of(s);
  for (auto& r : records) r.data.resize(std::max<std::size_t>(r.data.size(), 1100));
  expect_same_as_get_file(
      build::build_archive(records, {.block_size = s.block_size, .layout = s.layout}), s.name);
}

// Damaged archives: pointers bent to loops, to the end of the file and beyond, to the top of the
// offset range, and a cut-off tail. Whichever way a record is read, the outcome is get_file's.
TEST(ForEachFile, GivesGetFilesErrorsOnDamagedArchives) {
  const Shape s = {"damaged", 1024, Layout::Sequential, 1500, 1500, 0, true};
  const Bytes pristine =
      build::build_archive(records_of(s), {.block_size = s.block_size, .layout = s.layout});
  auto pristine_db = DatDatabase::open_bytes(pristine);
  ASSERT_TRUE(pristine_db);
  std::vector<std::uint32_t> firsts;
  for (const DatFileEntry& e : pristine_db->files()) firsts.push_back(e.offset);

  std::uint64_t x = 0x2545F4914F6CDD1Dull;
  const auto next = [&] {
    x ^= x << 13, x ^= x >> 7, x ^= x << 17;
    return x;
  };
  for (int round = 0; round < 40; ++round) {
    Bytes bytes = pristine;
    const auto poke = [&](std::uint32_t at, std::uint32_t value) {
      for (std::uint32_t k = 0; k < 4; ++k)
        bytes[at + k] = static_cast<std::uint8_t>(value >> (8 * k));
    };
    for (int k = 0; k < 6; ++k) {
      // A record's first or second block.
      std::uint32_t at = firsts[next() % firsts.size()];
      if (next() % 2 == 0 && at + s.block_size + 4 <= bytes.size()) at += s.block_size;
      const auto size = static_cast<std::uint32_t>(bytes.size());
      const std::uint32_t values[] = {at,
                                      at - s.block_size,
                                      size - 8,
                                      size,
                                      size + 4096,
                                      0xFFFFFFFC,
                                      firsts[next() % firsts.size()],
                                      static_cast<std::uint32_t>(next())};
      poke(at, values[next() % std::size(values)]);
    }
    if (round % 4 == 3) bytes.resize(bytes.size() - next() % (bytes.size() / 4));
    expect_same_as_get_file(bytes, "round " + std::to_string(round));
  }
}

TEST(ForEachFile, StopsWhenTheVisitorSaysSo) {
  auto db = DatDatabase::open_bytes(
      build::build_archive(records_of({"small", 256, Layout::Sequential, 50, 300})));
  ASSERT_TRUE(db);
  int calls = 0;
  db->for_each_file(
      [&](const DatFileEntry&, const DatDatabase::FileResult&) { return ++calls < 3; });
  EXPECT_EQ(calls, 3);
}

TEST(ForEachFile, SelectsEntries) {
  const Bytes bytes = build::build_archive(records_of({"small", 256, Layout::Scattered, 80, 300}));
  auto db = DatDatabase::open_bytes(bytes);
  ASSERT_TRUE(db);
  std::vector<std::uint32_t> ids;
  db->for_each_file(
      [&](const DatFileEntry& e, const DatDatabase::FileResult&) { ids.push_back(e.id); },
      {.select = [](const DatFileEntry& e) { return e.id % 3 == 0; }});
  std::sort(ids.begin(), ids.end());
  std::vector<std::uint32_t> expected;
  for (const DatFileEntry& e : db->files()) {
    if (e.id % 3 == 0) expected.push_back(e.id);
  }
  EXPECT_EQ(ids, expected);
}

// Entries whose chains share blocks with a chain read before them are reported, not read; a
// chain that only visits its own blocks again is read, as get_file reads it.
TEST(ForEachFile, ReportsChainsThatOverlapEarlierOnes) {
  build::ArchiveWriter w(256);
  const Bytes shared = content(1, 1000, false);
  const std::uint32_t a = w.add_chain(shared);                  // blocks a, a+256, a+512, a+768
  const std::uint32_t b = w.add_chain(content(2, 600, false));  // apart from the others
  const std::uint32_t loop = w.add_raw(Bytes{0, 0, 0, 0});      // a block pointing to itself
  w.put_u32(loop, loop);
  w.add_raw(Bytes(252 + 4000, 7));
  build::NodeSpec node;
  node.entries = {DatFileEntry{.id = 10, .offset = a, .size = 1000},
                  DatFileEntry{.id = 11, .offset = a, .size = 1000},
                  DatFileEntry{.id = 12, .offset = a + 512, .size = 400},  // joins a's third block
                  DatFileEntry{.id = 13, .offset = b, .size = 600},
                  DatFileEntry{.id = 14, .offset = loop, .size = 2000}};
  node.entry_count = 5;
  w.header().root_offset = w.add_node(node);
  const Bytes bytes = w.finish();
  const build::TempFile file(bytes);
  for (const bool memory : {false, true}) {
    SCOPED_TRACE(memory ? "memory" : "file");
    auto db = memory ? DatDatabase::open_bytes(bytes) : DatDatabase::open(file.path());
    ASSERT_TRUE(db);
    std::map<std::uint32_t, std::string> read;
    std::map<std::uint32_t, std::pair<std::uint32_t, std::uint32_t>> overlapping;
    db->for_each_file(
        [&](const DatFileEntry& e, DatDatabase::FileResult r) { read[e.id] = outcome(r); },
        {.overlapping = [&](const DatFileEntry& e, const Overlap& o) {
          overlapping[e.id] = {o.block, o.other_id};
        }});
    const std::map<std::uint32_t, std::pair<std::uint32_t, std::uint32_t>> expected = {
        {11, {a, 10}}, {12, {a + 512, 10}}};
    EXPECT_EQ(overlapping, expected);
    ASSERT_EQ(read.size(), 3u);
    for (const std::uint32_t id : {10u, 13u, 14u}) {
      auto direct = db->get_file(id);
      ASSERT_TRUE(direct) << id;
      EXPECT_EQ(read[id], "bytes: " + std::string(direct->begin(), direct->end())) << id;
    }
  }
}

}  // namespace
}  // namespace quorvale_dat
