// get_file: lookup, the stored bytes, decompression of compressed entries, and ownership.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "quorvale_dat/database.hpp"
#include "quorvale_dat_builder/archive_builder.hpp"
#include "quorvale_dat_builder/lrs_encoder.hpp"

namespace quorvale_dat {
namespace {

using Bytes = std::vector<std::uint8_t>;
using build::ArchiveWriter;

Expected<DatDatabase, DatError> open_bytes(const Bytes& bytes) {
  return DatDatabase::open_bytes(bytes);
}

TEST(RetrievalTest, AbsentIdIsNotFound) {
  const auto db = open_bytes(build::build_archive({{.id = 0x080003E3, .data = {1, 2, 3}}}));
  ASSERT_TRUE(db) << db.error().debug();
  const auto r = db->get_file(0x080003E4);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().debug(), "NotFound(134218724)");
  EXPECT_EQ(r.error().display(), "File ID 080003E4 not found in provider");
}

TEST(RetrievalTest, StoredBytesAndTheirFlags) {
  struct Case {
    const char* name;
    Bytes stored;        // the chain's content
    std::uint32_t size;  // the entry's size
    std::uint32_t bit_flags;
    bool chain_exists;  // false: the entry's offset lies past the end of the file
    Bytes expected;
  };
  const Bytes ab_stream = {0x08, 0, 0, 0, 0x20, 'A', 'B', 0x02, 0x04};
  const std::vector<Case> cases = {
      {"size 0 reads nothing", {}, 0, 0, false, {}},
      {"compressed size 0 reads nothing", {}, 0, 1, false, {}},
      {"compressed size 1 is returned as stored", {0xFF}, 1, 1, true, {0xFF}},
      {"compressed size 3 is returned as stored", {8, 0, 0}, 3, 1, true, {8, 0, 0}},
      {"compressed with declared size 0", {0, 0, 0, 0, 'A'}, 5, 1, true, {}},
      {"compressed stream", ab_stream, 9, 1, true, {'A', 'B', 'A', 'B', 'A', 'B', 'A', 'B'}},
      {"every flag bit set",
       ab_stream,
       9,
       0xFFFFFFFF,
       true,
       {'A', 'B', 'A', 'B', 'A', 'B', 'A', 'B'}},
      {"every flag bit but bit 0", ab_stream, 9, 0xFFFFFFFE, true, ab_stream},
      // The entry's size, not the chain's content, says how much is stored.
      {"size shorter than the chain's content", {1, 2, 3, 4, 5}, 2, 0, true, {1, 2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ArchiveWriter w(256);
    const std::uint32_t offset = c.chain_exists ? w.add_chain(c.stored) : 0xFFFFFF00;
    build::NodeSpec root;
    root.entry_count = 1;
    root.entries = {
        DatFileEntry{.bit_flags = c.bit_flags, .id = 7, .offset = offset, .size = c.size}};
    w.header().root_offset = w.add_node(root);
    const auto db = open_bytes(w.finish());
    ASSERT_TRUE(db) << db.error().debug();
    const auto r = db->get_file(7);
    ASSERT_TRUE(r) << r.error().debug();
    EXPECT_EQ(*r, c.expected);
  }
}

TEST(RetrievalTest, ChainFailureIsPassedOn) {
  ArchiveWriter w(256);
  build::NodeSpec root;
  root.entry_count = 1;
  root.entries = {DatFileEntry{.id = 7, .offset = 0xFFFFFF00, .size = 10}};
  w.header().root_offset = w.add_node(root);
  const auto db = open_bytes(w.finish());
  ASSERT_TRUE(db) << db.error().debug();
  const auto r = db->get_file(7);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().debug(),
            R"(Io(Error { kind: UnexpectedEof, message: "failed to fill whole buffer" }))");
}

TEST(RetrievalTest, CompressedRecordsComeBackDecompressed) {
  Bytes text;
  for (int i = 0; i < 2000; ++i) {
    for (char ch : std::string("palette ") + std::to_string(i % 37) + " ") {
      text.push_back(static_cast<std::uint8_t>(ch));
    }
  }
  const std::vector<build::Record> records = {
      {.id = 0x04000001, .data = text, .compressed = true},
      {.id = 0x04000002, .data = Bytes(5000, 0), .compressed = true},
      {.id = 0x04000003, .data = {'x'}, .compressed = true},
      {.id = 0x04000004, .data = {}, .compressed = true},
      {.id = 0x04000005, .data = text},
  };
  for (build::Layout layout : {build::Layout::Sequential, build::Layout::Scattered}) {
    const auto db =
        open_bytes(build::build_archive(records, {.block_size = 256, .layout = layout}));
    ASSERT_TRUE(db) << db.error().debug();
    for (const build::Record& r : records) {
      SCOPED_TRACE(r.id);
      const DatFileEntry* e = db->files().get(r.id);
      ASSERT_NE(e, nullptr);
      EXPECT_EQ(e->is_compressed(), r.compressed);
      if (r.compressed) {
        EXPECT_EQ(e->size, build::compress_lrs(r.data).size());
      }
      const auto data = db->get_file(r.id);
      ASSERT_TRUE(data) << data.error().debug();
      EXPECT_EQ(*data, r.data);
    }
    EXPECT_LT(db->files().get(0x04000001)->size, text.size() / 3);
  }
}

TEST(RetrievalTest, EachCallReturnsItsOwnBuffer) {
  const auto db = open_bytes(build::build_archive({{.id = 1, .data = Bytes(3000, 0x42)}}));
  ASSERT_TRUE(db) << db.error().debug();
  auto first = db->get_file(1);
  const auto second = db->get_file(1);
  ASSERT_TRUE(first && second);
  EXPECT_EQ(*first, *second);
  EXPECT_NE(first->data(), second->data());
  (*first)[0] = 0;
  EXPECT_EQ(*db->get_file(1), *second);
}

TEST(RetrievalTest, DatabaseWorksAfterAMove) {
  const Bytes data = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  auto opened = open_bytes(
      build::build_archive({{.id = 1, .data = data}, {.id = 2, .data = data, .compressed = true}}));
  ASSERT_TRUE(opened) << opened.error().debug();

  DatDatabase moved(std::move(*opened));
  EXPECT_EQ(*moved.get_file(1), data);

  auto other = open_bytes(build::build_archive({{.id = 3, .data = {0xAA}}}));
  ASSERT_TRUE(other);
  DatDatabase assigned = std::move(*other);
  assigned = std::move(moved);
  EXPECT_EQ(assigned.files().size(), 2u);
  EXPECT_EQ(*assigned.get_file(2), data);
  EXPECT_FALSE(assigned.files().contains(3));
}

}  // namespace
}  // namespace quorvale_dat
