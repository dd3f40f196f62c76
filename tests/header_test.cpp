// Opening an archive: the path, the 80-byte header at offset 320, and what a short file gives.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "quorvale_dat/database.hpp"
#include "quorvale_dat_builder/archive_builder.hpp"
#include "support/decoder_test_support.hpp"

namespace quorvale_dat {
namespace {

using Bytes = std::vector<std::uint8_t>;

Expected<DatDatabase, DatError> open_bytes(const Bytes& bytes) {
  const build::TempFile file(bytes);
  return DatDatabase::open(file.path());
}

// The header fields in file order, with their offsets inside the header.
struct Field {
  const char* name;
  std::uint32_t offset;
  std::uint32_t width;
};
constexpr Field kFields[] = {
    {"magic", 0, 4},          {"block_size", 4, 4},
    {"file_size", 8, 4},      {"dataset", 12, 4},
    {"subset", 16, 4},        {"free_head", 20, 4},
    {"free_tail", 24, 4},     {"free_count", 28, 4},
    {"root_offset", 32, 4},   {"new_lru", 36, 4},
    {"old_lru", 40, 4},       {"use_lru", 44, 4},
    {"master_map_id", 48, 4}, {"engine_version", 52, 4},
    {"game_version", 56, 4},  {"version_string", 60, 16},
    {"version_minor", 76, 4},
};

// A header whose every field holds a value of its own, so a field read in the wrong place or
// order shows.
DatHeader distinct_header() {
  DatHeader h;
  std::uint32_t v = 0x01020304;
  for (std::uint32_t* f :
       {&h.magic, &h.block_size, &h.file_size, &h.dataset, &h.subset, &h.free_head, &h.free_tail,
        &h.free_count, &h.root_offset, &h.new_lru, &h.old_lru, &h.use_lru, &h.master_map_id,
        &h.engine_version, &h.game_version, &h.version_minor}) {
    *f = v;
    v += 0x11111111;
  }
  h.root_offset = 0;  // no directory, so opening reads the header only
  h.version_string = {0x00, 0xFF, 0x80, 0x7F, 'q',  'v',  0x00, 0x01,
                      0xC3, 0xA9, 0x1B, 0x5B, 0x20, 0xFE, 0x0A, 0x00};
  return h;
}

Bytes header_file(const DatHeader& h) {
  Bytes bytes(format::kHeaderOffset, 0);
  const Bytes encoded = build::encode_header(h);
  bytes.insert(bytes.end(), encoded.begin(), encoded.end());
  return bytes;
}

TEST(HeaderTest, MissingPathIsPathError) {
  ASSERT_FALSE(std::filesystem::exists("missing.dat"));
  const auto db = DatDatabase::open("missing.dat");
  ASSERT_FALSE(db);
  const auto* error = db.error().get_if<DatError::PathError>();
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->path, std::filesystem::path("missing.dat"));
  EXPECT_EQ(db.error().debug(),
            "PathError { path: \"missing.dat\", source: Os { code: 2, kind: NotFound, message: "
            "\"No such file or directory\" } }");
  EXPECT_EQ(db.error().display(),
            "Failed to open file at missing.dat: No such file or directory (os error 2)");
}

TEST(HeaderTest, DirectoryOpensButCannotBeRead) {
  // open(O_RDONLY) accepts a directory; the first read of the header fails with EISDIR, which
  // names the fault under the first field.
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("quorvale_dat_dir_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const auto db = DatDatabase::open(dir);
  std::filesystem::remove(dir);
  ASSERT_FALSE(db);
  const auto* bin = db.error().get_if<DatError::BinRead>();
  ASSERT_NE(bin, nullptr) << db.error().debug();
  const auto* root = bin->error.root().get_if<ParseError::Io>();
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(root->error, IoError::from_os(EISDIR));
  ASSERT_EQ(bin->error.frames().size(), 1u);
  EXPECT_EQ(bin->error.frames()[0].own_message(), "While parsing field 'magic' in DatHeader");
  EXPECT_NE(db.error().display().find("Is a directory (os error 21)"), std::string::npos);
}

TEST(HeaderTest, ShortFileFailsInTheFieldItEndsIn) {
  const Bytes full = header_file(distinct_header());
  std::vector<std::size_t> lengths = {0, 1, 200, 319};
  for (std::size_t n = format::kHeaderOffset; n < format::kHeaderOffset + format::kHeaderSize;
       ++n) {
    lengths.push_back(n);
  }
  for (std::size_t length : lengths) {
    const std::uint64_t in_header =
        length < format::kHeaderOffset ? 0 : length - format::kHeaderOffset;
    std::size_t field = 0;
    while (in_header >= kFields[field].offset + kFields[field].width) ++field;
    const bool counted = std::string_view(kFields[field].name) == "version_string";
    SCOPED_TRACE(std::to_string(length) + " bytes, field " + kFields[field].name);

    const auto db =
        open_bytes(Bytes(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(length)));
    ASSERT_FALSE(db);
    const auto* bin = db.error().get_if<DatError::BinRead>();
    ASSERT_NE(bin, nullptr) << db.error().debug();
    EXPECT_EQ(bin->error.root(),
              ParseError(counted ? IoError::end_of_data() : IoError::short_read()));
    const auto frames = bin->error.frames();
    ASSERT_EQ(frames.size(), 1u);
    const auto* frame = std::get_if<BacktraceFrame::Full>(&frames[0].value);
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(frame->message,
              std::string("While parsing field '") + kFields[field].name + "' in DatHeader");
    EXPECT_EQ(frame->file, "src/header.cpp");
    EXPECT_EQ(frame->line, test_support::source_line_of("src/header.cpp", kFields[field].name));
  }
}

TEST(HeaderTest, EmptyDirectoryHeaderOpensAndKeepsEveryField) {
  for (std::uint32_t magic : {0u, 0x00005442u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(magic);
    DatHeader h = distinct_header();
    h.magic = magic;
    const Bytes bytes = header_file(h);
    ASSERT_EQ(bytes.size(), 400u);
    const auto db = open_bytes(bytes);
    ASSERT_TRUE(db) << db.error().debug();
    EXPECT_EQ(db->header(), h);
    EXPECT_EQ(db->header().version_string.size(), 16u);
    EXPECT_TRUE(db->files().empty());
    EXPECT_EQ(db->get_file(0x080003E4).error(), DatError(DatError::NotFound{0x080003E4}));
  }
}

}  // namespace
}  // namespace quorvale_dat
