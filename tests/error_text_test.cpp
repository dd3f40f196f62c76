// The display and debug texts of IoError, ParseError and DatError, byte for byte.

#include <gtest/gtest.h>

#include <cerrno>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "quorvale_dat/dat_error.hpp"

namespace quorvale_dat {
namespace {

constexpr std::string_view B = "\x1b[1m";
constexpr std::string_view R = "\x1b[22m";
const std::string kHeader = "\n \u257A" +
                            [] {
                              std::string s;
                              for (int i = 0; i < 20; ++i) s += "\u2501";
                              return s;
                            }() +
                            "\u2505 Backtrace \u2505" +
                            [] {
                              std::string s;
                              for (int i = 0; i < 20; ++i) s += "\u2501";
                              return s;
                            }() +
                            "\u2578\n\n";
const std::string kFooter = "\n \u257A" + [] {
  std::string s;
  for (int i = 0; i < 53; ++i) s += "\u2501";
  return s;
}() + "\u2578\n\n";

std::string str(std::string_view v) { return std::string(v); }

TEST(ErrorKindTest, ErrnoTable) {
  struct Case {
    int code;
    std::string_view kind;
  };
  const std::vector<Case> cases = {
      {1, "PermissionDenied"},    {2, "NotFound"},
      {4, "Interrupted"},         {7, "ArgumentListTooLong"},
      {11, "WouldBlock"},         {12, "OutOfMemory"},
      {13, "PermissionDenied"},   {16, "ResourceBusy"},
      {17, "AlreadyExists"},      {18, "CrossesDevices"},
      {20, "NotADirectory"},      {21, "IsADirectory"},
      {22, "InvalidInput"},       {26, "ExecutableFileBusy"},
      {27, "FileTooLarge"},       {28, "StorageFull"},
      {29, "NotSeekable"},        {30, "ReadOnlyFilesystem"},
      {31, "TooManyLinks"},       {32, "BrokenPipe"},
      {35, "Deadlock"},           {36, "InvalidFilename"},
      {38, "Unsupported"},        {39, "DirectoryNotEmpty"},
      {40, "FilesystemLoop"},     {95, "Unsupported"},
      {98, "AddrInUse"},          {99, "AddrNotAvailable"},
      {100, "NetworkDown"},       {101, "NetworkUnreachable"},
      {103, "ConnectionAborted"}, {104, "ConnectionReset"},
      {107, "NotConnected"},      {110, "TimedOut"},
      {111, "ConnectionRefused"}, {113, "HostUnreachable"},
      {115, "InProgress"},        {116, "StaleNetworkFileHandle"},
      {122, "QuotaExceeded"},     {5, "Uncategorized"},
      {9, "Uncategorized"},       {24, "Uncategorized"},
      {75, "Uncategorized"},      {0, "Uncategorized"},
      {-1, "Uncategorized"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    EXPECT_EQ(to_string(kind_from_errno(c.code)), c.kind);
    EXPECT_EQ(to_string(IoError::from_os(c.code).kind()), c.kind);
  }
}

TEST(IoErrorTest, Texts) {
  struct Case {
    std::string name;
    IoError error;
    std::string display;
    std::string debug;
  };
  const std::vector<Case> cases = {
      {"os", IoError::from_os(2), "No such file or directory (os error 2)",
       R"(Os { code: 2, kind: NotFound, message: "No such file or directory" })"},
      {"os broken pipe", IoError::from_os(EPIPE), "Broken pipe (os error 32)",
       R"(Os { code: 32, kind: BrokenPipe, message: "Broken pipe" })"},
      {"os uncategorized", IoError::from_os(EIO), "Input/output error (os error 5)",
       R"(Os { code: 5, kind: Uncategorized, message: "Input/output error" })"},
      {"short read", IoError::short_read(), "failed to fill whole buffer",
       R"(Error { kind: UnexpectedEof, message: "failed to fill whole buffer" })"},
      {"end of data", IoError::end_of_data(), "not enough bytes in reader",
       R"(Custom { kind: UnexpectedEof, error: "not enough bytes in reader" })"},
      {"owned with quotes", IoError::owned(ErrorKind::InvalidData, "a \"b\"\\c\n"), "a \"b\"\\c\n",
       R"(Custom { kind: InvalidData, error: "a \"b\"\\c\n" })"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.error.display(), c.display);
    EXPECT_EQ(c.error.debug(), c.debug);
  }
}

TEST(DatErrorTest, TextsOfEveryCase) {
  struct Case {
    DatError error;
    std::size_t index;
    std::string display;
    std::string debug;
  };
  const std::vector<Case> cases = {
      {IoError::short_read(), 0, "IO error: failed to fill whole buffer",
       R"(Io(Error { kind: UnexpectedEof, message: "failed to fill whole buffer" }))"},
      {ParseError::assert_fail(24, "count -1 out of range of usize"), 1,
       "Binary read error: count -1 out of range of usize at 0x18",
       "BinRead(count -1 out of range of usize at 0x18)"},
      {DatError::NotFound{0x080003E4}, 2, "File ID 080003E4 not found in provider",
       "NotFound(134218724)"},
      {DatError::DuplicateId{0x1F}, 3, "Duplicate File ID 0000001F detected", "DuplicateId(31)"},
      {DatError::DuplicateNamespacedId{"portal", 0xABCDEF12}, 4,
       "Duplicate namespaced file portal:ABCDEF12 detected",
       R"(DuplicateNamespacedId { namespace: "portal", file_id: 2882400018 })"},
      {DatError::InvalidMagic{"TB"}, 5, "Invalid magic for format: TB", R"(InvalidMagic("TB"))"},
      {DatError::UnsupportedVersion{7}, 6, "Unsupported version: 7", "UnsupportedVersion(7)"},
      {DatError::InvalidNamespace{"x\"y"}, 7, "Invalid namespace: x\"y",
       R"(InvalidNamespace("x\"y"))"},
      {DatError::Corruption{"bad\tnode"}, 8, "Corruption detected: bad\tnode",
       R"(Corruption("bad\tnode"))"},
      {DatError::DecompressionFailed{0x06000001}, 9, "Failed to recover compressed file 06000001",
       "DecompressionFailed(100663297)"},
      {DatError::PathError{"missing.dat", IoError::from_os(2)}, 10,
       "Failed to open file at missing.dat: No such file or directory (os error 2)",
       R"(PathError { path: "missing.dat", source: Os { code: 2, kind: NotFound, message: "No such file or directory" } })"},
      {DatError::Other{"\x01\xff"}, 11, "Other error: \x01\xff", R"(Other("\u{1}\xFF"))"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.display);
    EXPECT_EQ(c.error.index(), c.index);
    EXPECT_EQ(c.error.display(), c.display);
    EXPECT_EQ(c.error.debug(), c.debug);
  }
}

// summary(): one line in plain words, with where the error was met; the place changes neither
// display(), debug() nor equality.
TEST(DatErrorTest, SummaryIsOneLineWithThePlace) {
  const auto placed = [](DatError e, std::string place, std::optional<std::uint64_t> end = {},
                         bool beyond = false) {
    if (!place.empty()) e.set_place(std::move(place));
    if (end) e.set_data_end(*end, beyond);
    return e;
  };
  const ParseError header_field = with_context(
      ParseError(IoError::short_read()),
      BacktraceFrame::full("While parsing field 'root_offset' in DatHeader", "header.cpp", 12));
  struct Case {
    DatError error;
    std::string summary;
  };
  const std::vector<Case> cases = {
      {IoError::short_read(), "failed to fill whole buffer"},
      {placed(IoError::short_read(), "directory node 0x00039990", 400),
       "the file ends at byte 400, inside directory node 0x00039990"},
      {placed(IoError::short_read(), "block 0x00100000 of the chain at 0x00000300", 4096, true),
       "block 0x00100000 of the chain at 0x00000300 lies outside the file, which ends at byte "
       "4096"},
      {placed(IoError::short_read(), "", 10), "the file ends at byte 10"},
      {placed(header_field, "the header", 330),
       "the file ends at byte 330, inside the header (field 'root_offset')"},
      {header_field, "While parsing field 'root_offset' in DatHeader: failed to fill whole buffer"},
      // Not a read past the end: the size is not mentioned.
      {placed(IoError::from_os(5), "the chain at 0x00000300", 4096),
       "the chain at 0x00000300: Input/output error (os error 5)"},
      {DatError::NotFound{0x080003E4}, "record 0x080003E4 is not in the archive"},
      {DatError::Corruption{"directory node at offset 0x00000290 is its own ancestor"},
       "directory node at offset 0x00000290 is its own ancestor"},
      {DatError::DecompressionFailed{0x06000001}, "record 0x06000001 does not decompress"},
      {DatError::PathError{"missing.dat", IoError::from_os(2)},
       "cannot open missing.dat: No such file or directory (os error 2)"},
      {DatError::UnsupportedVersion{7}, "Unsupported version: 7"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.summary);
    EXPECT_EQ(c.error.summary(), c.summary);
    EXPECT_EQ(c.error.summary().find('\n'), std::string::npos);
    EXPECT_EQ(c.error.summary().find('\x1b'), std::string::npos);
  }
  const DatError plain = IoError::short_read();
  const DatError where = placed(plain, "directory node 0x00039990", 400);
  EXPECT_EQ(where, plain);
  EXPECT_EQ(where.display(), plain.display());
  EXPECT_EQ(where.debug(), plain.debug());
  EXPECT_EQ(where.place(), "directory node 0x00039990");
  EXPECT_EQ(where.data_end(), std::optional<std::uint64_t>(400));
}

TEST(ParseErrorTest, AssertFailDisplaysPositionInLowerHex) {
  EXPECT_EQ(ParseError::assert_fail(0xAB, "count -2 out of range of usize").display(),
            "count -2 out of range of usize at 0xab");
  EXPECT_EQ(ParseError::assert_fail(0, "x").debug(), "x at 0x0");
}

BacktraceFrame full(std::string message, std::uint32_t line) {
  return BacktraceFrame::full(std::move(message), "src/file_type/surface.cpp", line);
}

TEST(ParseErrorTest, BacktraceWithOneFrame) {
  const ParseError e =
      with_context(IoError::short_read(), full("While parsing field 'diffuse' in Surface", 71));
  const std::string expected =
      kHeader + " 0: " + str(B) + str(B) + "Error: failed to fill whole buffer" + str(R) + "\n" +
      std::string(11, ' ') + str(B) + "While parsing field 'diffuse' in Surface" + str(R) + str(R) +
      "\n     at src/file_type/surface.cpp:71\n" + kFooter;
  EXPECT_EQ(e.display(), expected);
  EXPECT_EQ(e.debug(), expected);
  EXPECT_EQ(DatError(e).debug(), "BinRead(" + expected + ")");
  EXPECT_EQ(DatError(e).display(), "Binary read error: " + expected);
}

TEST(ParseErrorTest, NestedFramesRunInnermostFirst) {
  ParseError e = with_context(IoError::short_read(),
                              full("While parsing field 'orig_palette_id' in TextureRefs", 54));
  e = with_context(std::move(e), full("While parsing field 'texture_refs' in Surface", 64));
  const std::string expected =
      kHeader + " 0: " + str(B) + str(B) + "Error: failed to fill whole buffer" + str(R) + "\n" +
      std::string(11, ' ') + str(B) + "While parsing field 'orig_palette_id' in TextureRefs" +
      str(R) + str(R) + "\n     at src/file_type/surface.cpp:54\n" + " 1: " + str(B) +
      "While parsing field 'texture_refs' in Surface" + str(R) +
      "\n     at src/file_type/surface.cpp:64\n" + kFooter;
  EXPECT_EQ(e.display(), expected);
  ASSERT_NE(e.get_if<ParseError::Backtrace>(), nullptr);
  EXPECT_EQ(e.root(), ParseError(IoError::short_read()));
  EXPECT_EQ(e.frames().size(), 2u);
}

TEST(ParseErrorTest, RewindFailureOfABacktrace) {
  ParseError e = with_context(IoError::end_of_data(),
                              full("While parsing field 'version_string' in DatHeader", 192));
  e = with_rewind_failure(std::move(e), IoError::from_os(EBADF));
  // The rewind failure becomes the root; the note and the original root follow, then the
  // original frames.
  const std::string expected =
      kHeader + " 0: " + str(B) + str(B) + "Error: Bad file descriptor (os error 9)" + str(R) +
      "\n" + std::string(11, ' ') + str(B) + "rewinding after a failure" + str(R) + str(R) + "\n" +
      " 1: " + str(B) + "not enough bytes in reader" + str(R) + "\n" + " 2: " + str(B) +
      "While parsing field 'version_string' in DatHeader" + str(R) +
      "\n     at src/file_type/surface.cpp:192\n" + kFooter;
  EXPECT_EQ(e.display(), expected);
}

TEST(ParseErrorTest, RewindFailureOfAPlainError) {
  const ParseError e = with_rewind_failure(
      ParseError::assert_fail(24, "count -1 out of range of usize"), IoError::from_os(EIO));
  const auto frames = e.frames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0], BacktraceFrame::note("rewinding after a failure"));
  EXPECT_EQ(frames[1].own_message(), "count -1 out of range of usize at 0x18");
  EXPECT_EQ(e.root(), ParseError(IoError::from_os(EIO)));
}

// summary(): the frames' messages outermost first, then the root, on one line.
TEST(ParseErrorTest, SummaryIsOneLine) {
  ParseError nested = with_context(
      IoError::short_read(), full("While parsing field 'orig_palette_id' in TextureRefs", 54));
  nested =
      with_context(std::move(nested), full("While parsing field 'texture_refs' in Surface", 64));
  const std::vector<std::pair<ParseError, std::string>> cases = {
      {IoError::end_of_data(), "not enough bytes in reader"},
      {ParseError::assert_fail(24, "count -1 out of range of usize"),
       "count -1 out of range of usize at 0x18"},
      {with_context(IoError::from_os(EISDIR), full("While parsing field 'magic' in DatHeader", 10)),
       "While parsing field 'magic' in DatHeader: Is a directory (os error 21)"},
      {nested,
       "While parsing field 'texture_refs' in Surface: While parsing field 'orig_palette_id' in "
       "TextureRefs: failed to fill whole buffer"},
      {with_rewind_failure(ParseError::assert_fail(24, "count -1 out of range of usize"),
                           IoError::from_os(EIO)),
       "count -1 out of range of usize at 0x18: rewinding after a failure: Input/output error "
       "(os error 5)"},
  };
  for (const auto& [error, text] : cases) EXPECT_EQ(error.summary(), text);
}

TEST(ParseErrorTest, CopiesAreDeepAndEqual) {
  const ParseError a = with_context(IoError::short_read(), full("m", 1));
  ParseError b = a;
  EXPECT_EQ(a, b);
  b = with_context(std::move(b), full("n", 2));
  EXPECT_NE(a, b);
  EXPECT_EQ(a.frames().size(), 1u);
}

}  // namespace
}  // namespace quorvale_dat
