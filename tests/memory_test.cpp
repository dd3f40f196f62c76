// Opening an archive from memory or through a mapping of its file: for the same bytes,
// open_bytes() and open() with a mapping must give exactly what open() gives for a file read with
// positioned reads, sound or damaged: the same error to the text, or the same header, entries,
// records and record errors, and the same verify report. A file that cannot be mapped is read
// with positioned reads.

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "byte_source.hpp"
#include "quorvale_dat/database.hpp"
#include "quorvale_dat/file.hpp"
#include "quorvale_dat/verify.hpp"
#include "quorvale_dat_builder/archive_builder.hpp"
#include "support/damaged_archives.hpp"

namespace quorvale_dat {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::string text_of(const Expected<std::vector<std::uint8_t>, DatError>& r) {
  return r ? "bytes " + std::string(r->begin(), r->end())
           : "error " + r.error().debug() + " / " + r.error().summary();
}

// Everything a caller can read from an open archive, as text.
std::string contents(const Expected<DatDatabase, DatError>& db) {
  if (!db) {
    return "error " + db.error().debug() + " / " + db.error().display() + " / " +
           db.error().summary();
  }
  std::string out = "files " + std::to_string(db->files().size()) + " size " +
                    std::to_string(db->file_size()) + "\n";
  for (const DatFileEntry& e : db->files()) {
    out += std::to_string(e.id) + " " + std::to_string(e.offset) + " " + std::to_string(e.size) +
           ": " + text_of(db->get_file(e.id)) + "\n";
  }
  db->for_each_file([&](const DatFileEntry& e, DatDatabase::FileResult r) {
    out +=
        "each " + std::to_string(e.id) + ": " +
        (r ? std::string(r->begin(), r->end()) : r.error().debug() + " / " + r.error().summary()) +
        "\n";
  });
  return out;
}

std::string report_text(const Expected<VerifyReport, DatError>& r) {
  if (!r) return "error " + r.error().debug();
  std::string out = std::to_string(r->nodes) + " nodes, " + std::to_string(r->entries) +
                    " entries, " + std::to_string(r->records_read) + " read\n";
  if (r->open_error) out += "does not open: " + r->open_error->debug() + "\n";
  for (const Problem& p : r->problems) out += r->message(p) + "\n";
  return out;
}

void expect_same(const Bytes& bytes, const std::string& label) {
  SCOPED_TRACE(label);
  const build::TempFile file(bytes);
  const auto from_file = DatDatabase::open(file.path());
  const auto from_memory = DatDatabase::open_bytes(bytes);
  const auto mapped = DatDatabase::open(file.path(), {.map = true, .access = Access::random});
  ASSERT_EQ(from_file.has_value(), from_memory.has_value());
  ASSERT_EQ(from_file.has_value(), mapped.has_value());
  if (!from_file) {
    EXPECT_EQ(from_file.error(), from_memory.error());
    EXPECT_EQ(from_file.error(), mapped.error());
  } else {
    EXPECT_EQ(from_file->header(), from_memory->header());
    EXPECT_EQ(from_file->header(), mapped->header());
    EXPECT_EQ(from_file->source(), Source::positioned);
    EXPECT_EQ(from_memory->source(), Source::memory);
    EXPECT_TRUE(mapped->mapped());
  }
  const std::string expected = contents(from_file);
  EXPECT_EQ(expected, contents(from_memory));
  EXPECT_EQ(expected, contents(mapped));
  EXPECT_EQ(report_text(verify(file.path(), {.full = true})),
            report_text(verify_bytes(bytes, {.full = true})));
}

TEST(MemoryTest, OpensAsAFileOfTheSameBytesDoes) {
  const auto archive = [](std::uint32_t block_size, build::Layout layout) {
    std::vector<build::Record> records;
    for (std::uint32_t i = 0; i < 50; ++i) {
      records.push_back({.id = 0x04000000 + i,
                         .data = Bytes(i * 37 % 900, static_cast<std::uint8_t>(i)),
                         .compressed = i % 3 == 0});
    }
    return build::build_archive(
        records, {.block_size = block_size, .layout = layout, .entries_per_node = 5});
  };
  const Bytes sound = archive(256, build::Layout::Scattered);
  const auto cut = [&](std::size_t n) {
    return Bytes(sound.begin(), sound.begin() + static_cast<std::ptrdiff_t>(n));
  };
  struct Case {
    const char* name;
    std::function<Bytes()> build;
  };
  const std::vector<Case> cases = {
      {"no bytes", [] { return Bytes(); }},
      {"cut inside magic", [&] { return cut(322); }},
      {"cut inside version_string", [&] { return cut(390); }},
      {"header only", [] { return build::ArchiveWriter(64).finish(); }},
      {"sound, 256-byte blocks, scattered", [&] { return sound; }},
      {"sound, 5-byte blocks", [&] { return archive(5, build::Layout::Sequential); }},
      {"sound, 4096-byte blocks", [&] { return archive(4096, build::Layout::Sequential); }},
      {"cut in the middle of the records", [&] { return cut(sound.size() / 2); }},
      {"block size 4",
       [&] {
         Bytes b = sound;
         b[0x144] = 4;
         b[0x145] = b[0x146] = b[0x147] = 0;
         return b;
       }},
      {"a root that is its own child",
       [] {
         build::ArchiveWriter w(2048);
         build::NodeSpec root;
         root.entry_count = 1;
         root.entries = {DatFileEntry{.id = 1, .offset = 400, .size = 4}};
         const std::uint32_t at = w.add_node(root);
         w.put_u32(at + 4, at);
         w.header().root_offset = at;
         return w.finish();
       }},
      {"entry_count 62",
       [] {
         build::ArchiveWriter w(2048);
         build::NodeSpec root;
         root.entry_count = 62;
         w.header().root_offset = w.add_node(root);
         return w.finish();
       }},
  };
  for (const Case& c : cases) expect_same(c.build(), c.name);
}

// Compressed records as get_file reads them from memory: decompressed where they lie when the
// first block holds them, else from a copy of their blocks' payloads; chains bent so that a first
// block supplies the whole record past its own end, or leads out of the file, fail or succeed as
// with positioned reads.
TEST(MemoryTest, CompressedChainsReadAsTheirFilesDo) {
  Bytes text;
  for (int i = 0; text.size() < 3000; ++i) {
    const std::string word = "record " + std::to_string(i * 7919 % 1000) + " ";
    text.insert(text.end(), word.begin(), word.end());
  }
  std::vector<build::Record> records;
  for (std::uint32_t i = 0; i < 12; ++i) {
    records.push_back({.id = 0x06000000 + i,
                       .data = Bytes(text.begin(), text.begin() + 1 + i * 250),
                       .compressed = true});
  }
  const auto archive = [&](std::uint32_t block_size, build::Layout layout) {
    return build::build_archive(records, {.block_size = block_size, .layout = layout});
  };
  // The archive with the pointer of the first block of every record's chain set to `pointer`
  // (the block's own offset when `pointer` is kOwnBlock).
  constexpr std::uint32_t kOwnBlock = 1;
  const auto bent = [&](Bytes bytes, std::uint32_t pointer) {
    const auto db = DatDatabase::open_bytes(bytes);
    if (!db) return bytes;
    for (const DatFileEntry& e : db->files()) {
      if (e.offset + 4 > bytes.size()) continue;
      const std::uint32_t p = pointer == kOwnBlock ? e.offset : pointer;
      for (std::uint32_t k = 0; k < 4; ++k)
        bytes[e.offset + k] = static_cast<std::uint8_t>(p >> (8 * k));
    }
    return bytes;
  };
  struct Case {
    const char* name;
    std::function<Bytes()> build;
  };
  const std::vector<Case> cases = {
      {"1024-byte blocks, sequential", [&] { return archive(1024, build::Layout::Sequential); }},
      {"256-byte blocks, scattered", [&] { return archive(256, build::Layout::Scattered); }},
      {"12-byte blocks: many blocks per record",
       [&] { return archive(12, build::Layout::Scattered); }},
      {"first blocks last: each supplies its record past its end",
       [&] { return bent(archive(256, build::Layout::Sequential), 0); }},
      {"first blocks last, scattered",
       [&] { return bent(archive(256, build::Layout::Scattered), 0); }},
      {"first blocks lead out of the file",
       [&] { return bent(archive(256, build::Layout::Scattered), 0x7FFFFF00); }},
      {"first blocks lead to themselves",
       [&] { return bent(archive(64, build::Layout::Sequential), kOwnBlock); }},
  };
  for (const Case& c : cases) expect_same(c.build(), c.name);
}

TEST(MemoryTest, DamagedArchivesOpenAsTheirFilesDo) {
  for (std::uint64_t seed = 1; seed <= 150; ++seed) {
    test_support::Damage damage(seed);
    expect_same(damage.damaged(), "seed " + std::to_string(seed));
  }
}

// Every access hint, on either source, changes the speed only.
TEST(MappedTest, AccessHintsChangeNoResult) {
  test_support::Damage damage(7);
  const Bytes bytes = damage.sound();
  const build::TempFile file(bytes);
  const std::string expected = contents(DatDatabase::open(file.path()));
  for (const Access access :
       {Access::normal, Access::random, Access::sequential, Access::willneed}) {
    for (const bool map : {false, true}) {
      SCOPED_TRACE(std::to_string(static_cast<int>(access)) + (map ? " mapped" : " positioned"));
      const auto db = DatDatabase::open(file.path(), {.map = map, .access = access});
      ASSERT_TRUE(db.has_value());
      EXPECT_EQ(db->mapped(), map);
      EXPECT_EQ(contents(db), expected);
    }
  }
}

// What cannot be mapped is read with positioned reads: the mapping is refused, never half made.
TEST(MappedTest, WhatCannotBeMappedIsNotMapped) {
  const build::TempFile file(test_support::Damage(3).sound());
  auto opened = File::open_read_only(file.path());
  ASSERT_TRUE(opened.has_value());
  auto directory = File::open_read_only(file.path().parent_path());
  ASSERT_TRUE(directory.has_value());
  struct Case {
    const char* name;
    const File* file;
    std::uint64_t size;
  };
  const Case cases[] = {
      {"no bytes", &*opened, 0},
      {"more than the address space", &*opened, std::uint64_t{1} << 63},
      {"the largest size", &*opened, ~std::uint64_t{0}},
      {"a directory", &*directory, 4096},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(detail::MappedSource::map(*c.file, c.size, MADV_NORMAL), nullptr);
  }
  const auto mapped = detail::MappedSource::map(*opened, 400, MADV_WILLNEED);
  ASSERT_NE(mapped, nullptr);
  EXPECT_EQ(mapped->size(), 400u);
  EXPECT_TRUE(mapped->in_memory());
}

// A file too short for the header fails before any mapping, with positioned reads' error.
TEST(MappedTest, AnEmptyFileFailsAsWithPositionedReads) {
  const build::TempFile empty(Bytes{});
  const auto positioned = DatDatabase::open(empty.path());
  const auto mapped = DatDatabase::open(empty.path(), {.map = true});
  ASSERT_FALSE(positioned.has_value());
  ASSERT_FALSE(mapped.has_value());
  EXPECT_EQ(positioned.error().display(), mapped.error().display());
  EXPECT_EQ(positioned.error(), mapped.error());
}

}  // namespace
}  // namespace quorvale_dat
