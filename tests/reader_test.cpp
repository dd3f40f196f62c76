// The reading layer: cursors, little-endian primitives, counted sequences, record decoding.

#include "quorvale_dat/reader.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <vector>

#include "file_cursor.hpp"
#include "quorvale_dat/file.hpp"

namespace quorvale_dat {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(ReaderTest, PrimitivesAreLittleEndian) {
  const Bytes bytes = {0x11, 0x22, 0x33, 0x44, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x80, 0x3F};
  SpanCursor c(bytes);
  EXPECT_EQ(*read_le<std::uint32_t>(c), 0x44332211u);
  EXPECT_EQ(*read_le<std::int32_t>(c), -1);
  EXPECT_EQ(*read_le<float>(c), 1.0f);
  EXPECT_EQ(c.position(), 12u);
  c = SpanCursor(bytes);
  EXPECT_EQ(*read_le<std::uint8_t>(c), 0x11);
  EXPECT_EQ(c.position(), 1u);
}

TEST(ReaderTest, ShortPrimitiveReadRestoresPosition) {
  const Bytes bytes = {1, 2, 3};
  SpanCursor c(bytes);
  ASSERT_TRUE(read_le<std::uint8_t>(c));
  const auto r = read_le<std::uint32_t>(c);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), ParseError(IoError::short_read()));
  EXPECT_EQ(c.position(), 1u);
}

TEST(ReaderTest, CountedSequences) {
  const Bytes bytes = {1, 2, 3, 4, 5};
  struct Case {
    std::size_t count;
    bool ok;
  };
  for (const Case& k : std::vector<Case>{{0, true},
                                         {5, true},
                                         {6, false},
                                         {std::numeric_limits<std::int32_t>::max(), false},
                                         {std::numeric_limits<std::size_t>::max(), false}}) {
    SCOPED_TRACE(k.count);
    SpanCursor c(bytes);
    auto r = read_bytes(c, k.count);
    ASSERT_EQ(r.has_value(), k.ok);
    if (k.ok) {
      EXPECT_EQ(*r, Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(k.count)));
    } else {
      EXPECT_EQ(r.error(), ParseError(IoError::end_of_data()));
    }
  }
}

struct Pair {
  std::uint32_t a = 0;
  std::uint32_t b = 0;
};

ParseResult<Pair> read_pair(SpanCursor& c, int& line_of_b) {
  RecordReader r(c, "Pair");
  Pair p;
  p.a = r.read<std::uint32_t>("a");
  line_of_b = __LINE__ + 1;
  p.b = r.read<std::uint32_t>("b");
  return r.finish(p);
}

TEST(ReaderTest, RecordFailureAddsFieldFrameAndRewinds) {
  const Bytes bytes = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  SpanCursor c(bytes);
  ASSERT_TRUE(c.seek(4));
  int line = 0;
  const auto r = read_pair(c, line);
  ASSERT_FALSE(r);
  EXPECT_EQ(c.position(), 4u);
  EXPECT_EQ(r.error().root(), ParseError(IoError::short_read()));
  const auto frames = r.error().frames();
  ASSERT_EQ(frames.size(), 1u);
  const auto* full = std::get_if<BacktraceFrame::Full>(&frames[0].value);
  ASSERT_NE(full, nullptr);
  EXPECT_EQ(full->message, "While parsing field 'b' in Pair");
  // Source paths are relative to the repository root, never absolute build paths.
  EXPECT_EQ(full->file, "tests/reader_test.cpp");
  EXPECT_EQ(full->line, static_cast<std::uint32_t>(line));
}

TEST(ReaderTest, U32Lists) {
  struct Case {
    std::string name;
    Bytes bytes;
    std::optional<std::vector<std::uint32_t>> values;
    std::optional<ParseError> error;
  };
  const std::vector<Case> cases = {
      {"empty", {0, 0, 0, 0}, std::vector<std::uint32_t>{}, {}},
      {"two", {2, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 9}, std::vector<std::uint32_t>{1, 2}, {}},
      {"count missing", {1, 0}, {}, ParseError(IoError::short_read())},
      {"value short", {2, 0, 0, 0, 1, 0, 0, 0, 2, 0}, {}, ParseError(IoError::short_read())},
      {"negative",
       {0xFF, 0xFF, 0xFF, 0xFF},
       {},
       ParseError::assert_fail(4, "count -1 out of range of usize")},
      {"huge count over few bytes",
       {0xFF, 0xFF, 0xFF, 0x7F, 1, 2, 3, 4, 5, 6},
       {},
       ParseError(IoError::short_read())},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    SpanCursor c(k.bytes);
    const auto r = read_u32_list(c);
    if (k.values) {
      ASSERT_TRUE(r);
      EXPECT_EQ(*r, *k.values);
    } else {
      ASSERT_FALSE(r);
      EXPECT_EQ(r.error(), *k.error);
    }
  }
}

class TempFile {
 public:
  explicit TempFile(const Bytes& bytes) {
    path_ = std::filesystem::temp_directory_path() /
            ("reader_test_" + std::to_string(::getpid()) + "_" + std::to_string(counter_++));
    const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ::close(fd);
  }
  ~TempFile() { std::filesystem::remove(path_); }
  const std::filesystem::path& path() const { return path_; }

 private:
  static inline int counter_ = 0;
  std::filesystem::path path_;
};

TEST(ReaderTest, FileCursorReadsSequentially) {
  TempFile tmp({9, 9, 1, 0, 0, 0, 5, 6, 7});
  auto file = File::open_read_only(tmp.path());
  ASSERT_TRUE(file);
  detail::FileCursor c(*file, 0);
  ASSERT_TRUE(c.seek(2));
  EXPECT_EQ(*read_le<std::uint32_t>(c), 1u);
  EXPECT_EQ(*read_bytes(c, 3), (Bytes{5, 6, 7}));
  EXPECT_EQ(c.position(), 9u);
  EXPECT_EQ(read_le<std::uint8_t>(c).error(), ParseError(IoError::short_read()));
  EXPECT_EQ(c.position(), 9u);
}

TEST(ReaderTest, FileCursorHugeCountEndsInEndOfData) {
  TempFile tmp({1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
  auto file = File::open_read_only(tmp.path());
  ASSERT_TRUE(file);
  detail::FileCursor c(*file, 0);
  const auto r = read_bytes(c, std::numeric_limits<std::int32_t>::max());
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), ParseError(IoError::end_of_data()));
}

TEST(ReaderTest, FileCursorOnAClosedDescriptorReportsTheOsError) {
  File file(-1);
  detail::FileCursor c(file, 0);
  const auto r = read_le<std::uint32_t>(c);
  ASSERT_FALSE(r);
  // The read fails with EBADF, and so does seeking back, which then becomes the root.
  EXPECT_EQ(r.error().root(), ParseError(IoError::from_os(EBADF)));
  ASSERT_EQ(r.error().frames().size(), 2u);
  EXPECT_EQ(r.error().frames()[0], BacktraceFrame::note("rewinding after a failure"));
}

}  // namespace
}  // namespace quorvale_dat
