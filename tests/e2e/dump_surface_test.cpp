// dump_surface_80003e4 run as a subprocess on archives built here: its standard output, its
// failure text on standard error and its exit status.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "quorvale_dat/database.hpp"
#include "quorvale_dat/file_type/palette.hpp"
#include "quorvale_dat/file_type/surface.hpp"
#include "quorvale_dat/file_type/surface_texture.hpp"
#include "quorvale_dat/file_type/texture.hpp"
#include "quorvale_dat_builder/archive_builder.hpp"
#include "quorvale_dat_builder/records.hpp"
#include "support/subprocess.hpp"

namespace {

namespace build = quorvale_dat::build;
namespace ft = quorvale_dat::file_type;

constexpr std::uint32_t kSurfaceId = 0x080003E4;
constexpr std::uint32_t kP8 = 41;
const std::string kHint =
    "note: this tool does not record backtraces; the lines above name the failing step and its "
    "error";
const std::string kMissingFixedPalettes =
    "palette 0x040010BE: ERR File ID 040010BE not found in provider\n"
    "palette 0x04000DC0: ERR File ID 04000DC0 not found in provider\n";

// ---------------------------------------------------------------------------------------------
// Running the tool

using quorvale_dat::test::RunOptions;
using quorvale_dat::test::RunResult;
using quorvale_dat::test::TempDir;

RunResult run_tool(const std::vector<std::string>& args, const RunOptions& options = {}) {
  RunResult result = quorvale_dat::test::run_program(QUORVALE_DAT_TOOL_PATH, args, options);
  EXPECT_EQ(result.signal, 0) << "the tool was ended by a signal";
  EXPECT_FALSE(result.timed_out);
  return result;
}

// The tool's source, by line, to check the positions its failure texts name.
const std::vector<std::string>& tool_source_lines() {
  static const std::vector<std::string> lines = [] {
    std::vector<std::string> v;
    std::ifstream in(QUORVALE_DAT_TOOL_SOURCE);
    for (std::string line; std::getline(in, line);) v.push_back(line);
    return v;
  }();
  return lines;
}

struct PanicHeader {
  unsigned long tid = 0;
  std::size_t line = 0;
  std::size_t column = 0;
};

// Matches ^thread 'main' \((\d+)\) panicked at examples/dump_surface_80003e4\.cpp:(\d+):(\d+):$
// by hand: std::regex trips a false -Wmaybe-uninitialized in g++ 12 with sanitizers at -O2.
std::optional<PanicHeader> parse_panic_header(std::string_view text) {
  const auto literal = [&](std::string_view expected) {
    if (!text.starts_with(expected)) return false;
    text.remove_prefix(expected.size());
    return true;
  };
  const auto number = [&](auto& out) {
    std::size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
    if (digits == 0) return false;
    std::from_chars(text.data(), text.data() + digits, out);
    text.remove_prefix(digits);
    return true;
  };
  PanicHeader h;
  if (literal("thread 'main' (") && number(h.tid) &&
      literal(") panicked at examples/dump_surface_80003e4.cpp:") && number(h.line) &&
      literal(":") && number(h.column) && literal(":") && text.empty()) {
    return h;
  }
  return std::nullopt;
}

// Checks a failed run: status 101, stdout exactly `expected_out`, and on stderr an empty line,
// the header naming the child's pid and a position in the tool's source, `message` and the hint.
// The position must be a call whose line (or the next) contains `site`: the failing check.
void expect_failure(const RunResult& run, const std::string& expected_out,
                    const std::string& message, const std::string& site) {
  EXPECT_EQ(run.exit_status, 101);
  EXPECT_EQ(run.out, expected_out);

  ASSERT_TRUE(run.err.starts_with("\n")) << run.err;
  const std::size_t header_end = run.err.find('\n', 1);
  ASSERT_NE(header_end, std::string::npos) << run.err;
  const std::string header = run.err.substr(1, header_end - 1);
  const std::optional<PanicHeader> parsed = parse_panic_header(header);
  ASSERT_TRUE(parsed.has_value()) << header;
  EXPECT_EQ(parsed->tid, static_cast<unsigned long>(run.pid));
  EXPECT_EQ(run.err.substr(header_end + 1), message + "\n" + kHint + "\n");

  const std::size_t line = parsed->line;
  const std::size_t column = parsed->column;
  const std::vector<std::string>& source = tool_source_lines();
  ASSERT_GE(line, 1u);
  ASSERT_LE(line, source.size());
  const std::string& text = source[line - 1];
  ASSERT_GE(column, 1u);
  ASSERT_LE(column, text.size());
  EXPECT_EQ(text[column - 1], '(') << "line " << line << ": " << text;
  const std::string two_lines = text + (line < source.size() ? source[line] : "");
  EXPECT_NE(two_lines.find(site), std::string::npos) << "line " << line << ": " << text;
}

// ---------------------------------------------------------------------------------------------
// Archives

using Records = std::vector<build::Record>;

build::Record surface_record(std::uint32_t texture_id, std::uint32_t palette_id,
                             std::uint32_t surface_type = 2, float translucency = 0,
                             float luminosity = 0, float diffuse = 1) {
  ft::Surface s;
  s.surface_type = surface_type;
  s.texture_refs = ft::TextureRefs{texture_id, palette_id};
  s.translucency = translucency;
  s.luminosity = luminosity;
  s.diffuse = diffuse;
  return {.id = kSurfaceId, .data = build::encode_surface(s)};
}

build::Record surface_texture_record(std::uint32_t id, std::vector<std::uint32_t> textures) {
  return {.id = id,
          .data = build::encode_surface_texture(
              {.id = id, .unknown_int = 0, .unknown_byte = 0, .textures = std::move(textures)})};
}

build::Record texture_record(std::uint32_t id, std::int32_t width, std::int32_t height,
                             std::uint32_t format, std::vector<std::uint8_t> pixels,
                             std::optional<std::uint32_t> palette) {
  return {.id = id,
          .data = build::encode_texture(
              build::make_texture(id, width, height, format, std::move(pixels), palette))};
}

build::Record palette_record(std::uint32_t id, std::vector<std::uint32_t> colors) {
  return {.id = id, .data = build::encode_palette({id, std::move(colors)})};
}

build::Record raw_record(std::uint32_t id, std::vector<std::uint8_t> bytes) {
  return {.id = id, .data = std::move(bytes)};
}

std::string write_archive(const TempDir& dir, const Records& records,
                          const std::string& name = "archive.dat") {
  const std::filesystem::path path = dir.path() / name;
  build::write_file(path, build::build_archive(records, {.block_size = 256}));
  return path.string();
}

// The archive of the worked example: surface -> SurfaceTexture 0x05000ABC -> 2x2 P8 texture
// 0x06000ABC whose default palette is also the surface's palette 0x04000ABD.
Records example_records() {
  return {surface_record(0x05000ABC, 0x04000ABD), surface_texture_record(0x05000ABC, {0x06000ABC}),
          texture_record(0x06000ABC, 2, 2, kP8, {0, 1, 1, 0}, 0x04000ABD),
          palette_record(0x04000ABD, {0x00000000, 0xFF102030})};
}

const std::string kExampleReport = R"(=== Surface 0x080003E4 ===
surface_type = 0x00000002
color_value  = None
translucency = 0, luminosity = 0, diffuse = 1
orig_texture_id = 0x05000ABC, orig_palette_id = 0x04000ABD
SurfaceTexture 0x05000ABC -> textures ["0x06000ABC"]
=== Texture 0x06000ABC ===
format = P8 (0x29), 2x2, source_data.len = 4, default_palette_id = Some("0x04000ABD")
unique P8 indices (2): {0, 1}
source_data bytes: [0, 1, 1, 0]
=== Palette 0x04000ABD (2 colors) ===
  alpha range [0, 255], 1 entries with alpha==0 / 2 total
  [  0] 0x00000000  (a=0, r=0, g=0, b=0)
  [  1] 0xFF102030  (a=255, r=16, g=32, b=48)
  idx   0 -> 0x00000000  (a=0, r=0, g=0, b=0)
  idx   1 -> 0xFF102030  (a=255, r=16, g=32, b=48)
=== Palette 0x04000ABD (2 colors) ===
  alpha range [0, 255], 1 entries with alpha==0 / 2 total
  [  0] 0x00000000  (a=0, r=0, g=0, b=0)
  [  1] 0xFF102030  (a=255, r=16, g=32, b=48)
  idx   0 -> 0x00000000  (a=0, r=0, g=0, b=0)
  idx   1 -> 0xFF102030  (a=255, r=16, g=32, b=48)
palette 0x040010BE: ERR File ID 040010BE not found in provider
palette 0x04000DC0: ERR File ID 04000DC0 not found in provider
)";

// A colour line of a palette dump, formatted independently of the tool.
std::string color_line(const char* label_format, unsigned label, std::uint32_t c) {
  char buf[96];
  std::snprintf(buf, sizeof buf, label_format, label);
  std::string line = buf;
  std::snprintf(buf, sizeof buf, "0x%08X  (a=%u, r=%u, g=%u, b=%u)\n", c, c >> 24,
                (c >> 16) & 0xFFu, (c >> 8) & 0xFFu, c & 0xFFu);
  return line + buf;
}
std::string entry_line(unsigned i, std::uint32_t c) { return color_line("  [%3u] ", i, c); }
std::string idx_line(unsigned x, std::uint32_t c) { return color_line("  idx %3u -> ", x, c); }

std::string decimal_list(unsigned first, unsigned last) {
  std::string out;
  for (unsigned v = first; v <= last; ++v) out += (v == first ? "" : ", ") + std::to_string(v);
  return out;
}

// ---------------------------------------------------------------------------------------------
// Complete runs

TEST(DumpSurface, WorkedExample) {
  TempDir dir;
  const RunResult run = run_tool({write_archive(dir, example_records())});
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(run.out, kExampleReport);
  EXPECT_EQ(run.err, "");
}

TEST(DumpSurface, FurtherArgumentsAreIgnored) {
  TempDir dir;
  const std::string path = write_archive(dir, example_records());
  const RunResult run = run_tool({path, "--help", "", path + ".missing"});
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(run.out, kExampleReport);
  EXPECT_EQ(run.err, "");
}

TEST(DumpSurface, PathStartingWithDashIsTakenVerbatim) {
  TempDir dir;
  write_archive(dir, example_records(), "-x");
  const RunResult run = run_tool({"-x"}, {.cwd = dir.path()});
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(run.out, kExampleReport);
}

TEST(DumpSurface, SurfaceWithoutTextureRefsEndsAfterFiveLines) {
  ft::Surface s;
  s.surface_type = 0x00010001;
  s.color_value = 0xFF00FF00;
  s.translucency = -0.0f;
  s.luminosity = 1e-7f;
  s.diffuse = std::numeric_limits<float>::quiet_NaN();
  TempDir dir;
  const RunResult run =
      run_tool({write_archive(dir, {{.id = kSurfaceId, .data = build::encode_surface(s)}})});
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(run.out,
            "=== Surface 0x080003E4 ===\n"
            "surface_type = 0x00010001\n"
            "color_value  = Some(\"0xFF00FF00\")\n"
            "translucency = -0, luminosity = 0.0000001, diffuse = NaN\n"
            "no texture_refs\n");
  EXPECT_EQ(run.err, "");
}

// ---------------------------------------------------------------------------------------------
// The texture section: the surface points straight at texture 0x06000ABC (no SurfaceTexture) and
// names no palette of its own.

struct TextureCase {
  std::string name;
  build::Record texture;
  std::string section;   // the lines after "=== Texture 0x06000ABC ==="
  std::string palettes;  // the palette lines
};

TEST(DumpSurface, TextureSection) {
  const std::string missing_default =
      "palette 0x04000ABD: ERR File ID 04000ABD not found in provider\n";
  std::vector<std::uint8_t> all_bytes(256);
  for (unsigned i = 0; i < 256; ++i) all_bytes[i] = static_cast<std::uint8_t>(i);

  const std::vector<TextureCase> cases = {
      {"not P8: no indices",
       texture_record(0x06000ABC, 2, 1, 21, {1, 2, 3, 4, 5, 6, 7, 8}, std::nullopt),
       "format = A8R8G8B8 (0x15), 2x1, source_data.len = 8, default_palette_id = None\n"
       "unique P8 indices (0): {}\n"
       "source_data bytes: [1, 2, 3, 4, 5, 6, 7, 8]\n",
       ""},
      {"P8 all zero", texture_record(0x06000ABC, 2, 2, kP8, {0, 0, 0, 0}, 0x04000ABD),
       "format = P8 (0x29), 2x2, source_data.len = 4, default_palette_id = Some(\"0x04000ABD\")\n"
       "unique P8 indices (1): {0}\n"
       "source_data bytes: [0, 0, 0, 0]\n",
       missing_default},
      {"P8 indices come from every byte, whatever the size says",
       texture_record(0x06000ABC, 1, 1, kP8, {9, 2, 9}, 0x04000ABD),
       "format = P8 (0x29), 1x1, source_data.len = 3, default_palette_id = Some(\"0x04000ABD\")\n"
       "unique P8 indices (2): {2, 9}\n"
       "source_data bytes: [9, 2, 9]\n",
       missing_default},
      {"256 bytes are listed", texture_record(0x06000ABC, 16, 16, kP8, all_bytes, 0x04000ABD),
       "format = P8 (0x29), 16x16, source_data.len = 256, default_palette_id = "
       "Some(\"0x04000ABD\")\n"
       "unique P8 indices (256): {" +
           decimal_list(0, 255) +
           "}\n"
           "source_data bytes: [" +
           decimal_list(0, 255) + "]\n",
       missing_default},
      {"257 bytes are not",
       texture_record(0x06000ABC, 257, 1, 28, std::vector<std::uint8_t>(257, 7), std::nullopt),
       "format = A8 (0x1C), 257x1, source_data.len = 257, default_palette_id = None\n"
       "unique P8 indices (0): {}\n",
       ""},
      {"empty source data", texture_record(0x06000ABC, 0, 0, 0x31545844, {}, std::nullopt),
       "format = Dxt1 (0x31545844), 0x0, source_data.len = 0, default_palette_id = None\n"
       "unique P8 indices (0): {}\n"
       "source_data bytes: []\n",
       ""},
      {"format 0", texture_record(0x06000ABC, 1, 1, 0, {4}, std::nullopt),
       "format = Unknown (0x0), 1x1, source_data.len = 1, default_palette_id = None\n"
       "unique P8 indices (0): {}\n"
       "source_data bytes: [4]\n",
       ""},
      {"unnamed format, negative width", texture_record(0x06000ABC, -1, 4, 7, {}, std::nullopt),
       "format = Other(7) (0x7), -1x4, source_data.len = 0, default_palette_id = None\n"
       "unique P8 indices (0): {}\n"
       "source_data bytes: []\n",
       ""},
      {"Index16 has a palette but no P8 indices",
       texture_record(0x06000ABC, 1, 1, 101, {3, 3}, 0x04000ABD),
       "format = Index16 (0x65), 1x1, source_data.len = 2, default_palette_id = "
       "Some(\"0x04000ABD\")\n"
       "unique P8 indices (0): {}\n"
       "source_data bytes: [3, 3]\n",
       missing_default},
  };
  for (const TextureCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const RunResult run =
        run_tool({write_archive(dir, {surface_record(0x06000ABC, 0), c.texture})});
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.out,
              "=== Surface 0x080003E4 ===\n"
              "surface_type = 0x00000002\n"
              "color_value  = None\n"
              "translucency = 0, luminosity = 0, diffuse = 1\n"
              "orig_texture_id = 0x06000ABC, orig_palette_id = 0x00000000\n"
              "=== Texture 0x06000ABC ===\n" +
                  c.section + c.palettes + kMissingFixedPalettes);
    EXPECT_EQ(run.err, "");
  }
}

TEST(DumpSurface, OnlyTheFirstListedTextureIsFetched) {
  TempDir dir;
  // 0x06000002 is absent: fetching it would fail the run.
  const Records records = {surface_record(0x05000001, 0),
                           surface_texture_record(0x05000001, {0x06000001, 0x06000002}),
                           texture_record(0x06000001, 1, 1, 21, {}, std::nullopt)};
  const RunResult run = run_tool({write_archive(dir, records)});
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(run.out,
            "=== Surface 0x080003E4 ===\n"
            "surface_type = 0x00000002\n"
            "color_value  = None\n"
            "translucency = 0, luminosity = 0, diffuse = 1\n"
            "orig_texture_id = 0x05000001, orig_palette_id = 0x00000000\n"
            "SurfaceTexture 0x05000001 -> textures [\"0x06000001\", \"0x06000002\"]\n"
            "=== Texture 0x06000001 ===\n"
            "format = A8R8G8B8 (0x15), 1x1, source_data.len = 0, default_palette_id = None\n"
            "unique P8 indices (0): {}\n"
            "source_data bytes: []\n" +
                kMissingFixedPalettes);
}

// ---------------------------------------------------------------------------------------------
// Palette dumps: a P8 texture with default palette 0x04000ABD; the case sets the surface's
// palette, the pixels and the palette records.

struct PaletteCase {
  std::string name;
  std::uint32_t surface_palette;
  std::optional<std::uint32_t> default_palette;
  std::vector<std::uint8_t> pixels;
  Records palettes;
  std::string expected;  // every line after "source_data bytes: ..."
};

TEST(DumpSurface, PaletteDump) {
  std::vector<std::uint32_t> twenty(20);
  for (std::uint32_t i = 0; i < 20; ++i) twenty[i] = (i * 13) << 24 | i * 0x010203u;
  std::string twenty_entries;
  for (unsigned i = 0; i < 16; ++i) twenty_entries += entry_line(i, twenty[i]);

  const std::vector<std::uint8_t> four_bytes = {0xFF, 0xFF, 0xFF, 0xFF};
  const std::string undecodable = ft::Palette::unpack(four_bytes).error().display();
  EXPECT_NE(undecodable.find("While parsing field 'colors' in Palette"), std::string::npos);

  const std::vector<PaletteCase> cases = {
      {"missing palette, then the next one",
       0x04000B20,
       0x04000ABD,
       {5},
       {palette_record(0x04000B20, {0x80FF4020})},
       "palette 0x04000ABD: ERR File ID 04000ABD not found in provider\n"
       "=== Palette 0x04000B20 (1 colors) ===\n"
       "  alpha range [128, 128], 0 entries with alpha==0 / 1 total\n"
       "  [  0] 0x80FF4020  (a=128, r=255, g=64, b=32)\n"
       "  idx   5 -> 0x00000000  (a=0, r=0, g=0, b=0)\n" +
           kMissingFixedPalettes},
      {"undecodable palette, then an empty one",
       0,
       0x04000ABD,
       {200, 0},
       {raw_record(0x04000ABD, four_bytes), palette_record(0x040010BE, {})},
       "palette 0x04000ABD: unpack ERR " + undecodable +
           "\n"
           "=== Palette 0x040010BE (0 colors) ===\n"
           "  alpha range [255, 0], 0 entries with alpha==0 / 0 total\n"
           "  idx   0 -> 0x00000000  (a=0, r=0, g=0, b=0)\n"
           "  idx 200 -> 0x00000000  (a=0, r=0, g=0, b=0)\n"
           "palette 0x04000DC0: ERR File ID 04000DC0 not found in provider\n"},
      {"more than sixteen colours",
       0,
       0x04000ABD,
       {20, 19, 0, 17},
       {palette_record(0x04000ABD, twenty)},
       "=== Palette 0x04000ABD (20 colors) ===\n"
       "  alpha range [0, 247], 1 entries with alpha==0 / 20 total\n" +
           twenty_entries + idx_line(0, twenty[0]) + idx_line(17, twenty[17]) +
           idx_line(19, twenty[19]) + idx_line(20, 0) + kMissingFixedPalettes},
      {"indices past a short palette",
       0,
       0x04000ABD,
       {3, 255, 1, 0, 2},
       {palette_record(0x04000ABD, {0x11223344, 0x00FFFFFF, 0xFE000001})},
       "=== Palette 0x04000ABD (3 colors) ===\n"
       "  alpha range [0, 254], 1 entries with alpha==0 / 3 total\n"
       "  [  0] 0x11223344  (a=17, r=34, g=51, b=68)\n"
       "  [  1] 0x00FFFFFF  (a=0, r=255, g=255, b=255)\n"
       "  [  2] 0xFE000001  (a=254, r=0, g=0, b=1)\n"
       "  idx   0 -> 0x11223344  (a=17, r=34, g=51, b=68)\n"
       "  idx   1 -> 0x00FFFFFF  (a=0, r=255, g=255, b=255)\n"
       "  idx   2 -> 0xFE000001  (a=254, r=0, g=0, b=1)\n"
       "  idx   3 -> 0x00000000  (a=0, r=0, g=0, b=0)\n"
       "  idx 255 -> 0x00000000  (a=0, r=0, g=0, b=0)\n" +
           kMissingFixedPalettes},
      {"palette id 0 writes nothing; repeats are not merged",
       0x04000DC0,
       0,
       {1},
       {palette_record(0, {0xFFFFFFFF})},
       "palette 0x04000DC0: ERR File ID 04000DC0 not found in provider\n" + kMissingFixedPalettes},
  };

  for (const PaletteCase& c : cases) {
    SCOPED_TRACE(c.name);
    Records records = c.palettes;
    records.push_back(surface_record(0x06000ABC, c.surface_palette));
    records.push_back(texture_record(0x06000ABC, 1, 1, kP8, c.pixels, c.default_palette));
    TempDir dir;
    const RunResult run = run_tool({write_archive(dir, records)});
    EXPECT_EQ(run.exit_status, 0);
    const std::string marker = "source_data bytes: ";
    const std::size_t at = run.out.find(marker);
    ASSERT_NE(at, std::string::npos) << run.out;
    const std::size_t tail = run.out.find('\n', at) + 1;
    EXPECT_EQ(run.out.substr(tail), c.expected);
    EXPECT_EQ(run.err, "");
  }
}

// ---------------------------------------------------------------------------------------------
// Failed steps

struct FailureCase {
  std::string name;
  // Prepares the directory; returns the arguments.
  std::function<std::vector<std::string>(const TempDir&)> setup;
  std::string expected_out;
  // The message line, from the arguments.
  std::function<std::string(const std::vector<std::string>&)> message;
  std::string site;  // text on the line of the failing check
};

const std::string kExampleSurfaceLines =
    "=== Surface 0x080003E4 ===\n"
    "surface_type = 0x00000002\n"
    "color_value  = None\n"
    "translucency = 0, luminosity = 0, diffuse = 1\n"
    "orig_texture_id = 0x05000ABC, orig_palette_id = 0x04000ABD\n";

// The example archive with one record replaced (or removed, when `replacement` has no data).
std::function<std::vector<std::string>(const TempDir&)> example_with(
    std::uint32_t id, std::optional<build::Record> replacement) {
  return [id, replacement](const TempDir& dir) {
    Records records;
    for (build::Record& r : example_records()) {
      if (r.id != id) records.push_back(std::move(r));
    }
    if (replacement) records.push_back(*replacement);
    return std::vector<std::string>{write_archive(dir, records)};
  };
}

std::function<std::string(const std::vector<std::string>&)> fixed(std::string text) {
  return [text](const std::vector<std::string>&) { return text; };
}

// The debug text the library gives for opening args[0], after "open dat: ".
std::string open_dat_message(const std::vector<std::string>& args) {
  auto db = quorvale_dat::DatDatabase::open(args.at(0));
  if (db) return "(the archive opened)";
  return "open dat: " + db.error().debug();
}

TEST(DumpSurface, FailedSteps) {
  const std::vector<std::uint8_t> short_surface = {2, 0, 0, 0, 0xBC, 0x0A, 0, 5, 0xBD, 0x0A, 0,   4,
                                                   0, 0, 0, 0, 0,    0,    0, 0, 0,    0,    0x80};
  const std::vector<std::uint8_t> short_surface_texture(12, 0);
  std::vector<std::uint8_t> negative_length = {
      0xBC, 0x0A, 0, 6, 0, 0, 0, 0, 2, 0, 0, 0, 2, 0, 0, 0, 41, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF};
  std::vector<std::uint8_t> short_pixels = negative_length;
  short_pixels[20] = 4;
  short_pixels[21] = short_pixels[22] = short_pixels[23] = 0;
  short_pixels.insert(short_pixels.end(), {0, 1, 1});

  const std::string unpack_surface =
      "unpack surface: " + ft::Surface::unpack(short_surface).error().debug();
  const std::string unpack_surface_texture =
      "unpack surfacetexture: " + ft::SurfaceTexture::unpack(short_surface_texture).error().debug();
  const std::string unpack_short_pixels =
      "unpack texture: " + ft::Texture::unpack(short_pixels).error().debug();
  // The library's own texts are tested with the decoders; here they need only name the field.
  EXPECT_NE(unpack_surface.find("While parsing field 'diffuse' in Surface"), std::string::npos);
  EXPECT_NE(unpack_surface_texture.find("While parsing field 'textures' in SurfaceTexture"),
            std::string::npos);
  EXPECT_NE(unpack_short_pixels.find("not enough bytes in reader"), std::string::npos);

  const std::vector<FailureCase> cases = {
      {"missing archive",
       [](const TempDir& dir) {
         return std::vector<std::string>{(dir.path() / "no.dat").string()};
       },
       "",
       [](const std::vector<std::string>& args) {
         return "open dat: PathError { path: \"" + args[0] +
                "\", source: Os { code: 2, kind: NotFound, message: \"No such file or directory\" "
                "} }";
       },
       "\"open dat\""},
      {"empty path", [](const TempDir&) { return std::vector<std::string>{""}; }, "",
       fixed("open dat: PathError { path: \"\", source: Os { code: 2, kind: NotFound, message: "
             "\"No such file or directory\" } }"),
       "\"open dat\""},
      {"a directory",
       [](const TempDir& dir) { return std::vector<std::string>{dir.path().string()}; }, "",
       open_dat_message, "\"open dat\""},
      {"header cut short",
       [](const TempDir& dir) {
         std::vector<std::uint8_t> bytes = build::build_archive(example_records());
         bytes.resize(320 + 10);
         build::write_file(dir.path() / "short.dat", bytes);
         return std::vector<std::string>{(dir.path() / "short.dat").string()};
       },
       "", open_dat_message, "\"open dat\""},
      {"no surface", example_with(kSurfaceId, std::nullopt), "",
       fixed("get surface: NotFound(134218724)"), "\"get surface\""},
      {"surface cut short", example_with(kSurfaceId, raw_record(kSurfaceId, short_surface)), "",
       fixed(unpack_surface), "\"unpack surface\""},
      {"no SurfaceTexture", example_with(0x05000ABC, std::nullopt), kExampleSurfaceLines,
       fixed("get surfacetexture: NotFound(83888828)"), "\"get surfacetexture\""},
      {"SurfaceTexture cut short",
       example_with(0x05000ABC, raw_record(0x05000ABC, short_surface_texture)),
       kExampleSurfaceLines, fixed(unpack_surface_texture), "\"unpack surfacetexture\""},
      {"empty texture list", example_with(0x05000ABC, surface_texture_record(0x05000ABC, {})),
       kExampleSurfaceLines + "SurfaceTexture 0x05000ABC -> textures []\n",
       fixed("index out of bounds: the len is 0 but the index is 0"), "first_of("},
      {"no texture", example_with(0x06000ABC, std::nullopt),
       kExampleSurfaceLines + "SurfaceTexture 0x05000ABC -> textures [\"0x06000ABC\"]\n",
       fixed("get texture: NotFound(100666044)"), "\"get texture\""},
      {"texture with negative length",
       example_with(0x06000ABC, raw_record(0x06000ABC, negative_length)),
       kExampleSurfaceLines + "SurfaceTexture 0x05000ABC -> textures [\"0x06000ABC\"]\n",
       fixed("unpack texture: BinRead(count -1 out of range of usize at 0x18)"),
       "\"unpack texture\""},
      {"texture cut short", example_with(0x06000ABC, raw_record(0x06000ABC, short_pixels)),
       kExampleSurfaceLines + "SurfaceTexture 0x05000ABC -> textures [\"0x06000ABC\"]\n",
       fixed(unpack_short_pixels), "\"unpack texture\""},
      {"direct texture reference, texture missing",
       [](const TempDir& dir) {
         return std::vector<std::string>{write_archive(dir, {surface_record(0x06000123, 0)})};
       },
       "=== Surface 0x080003E4 ===\n"
       "surface_type = 0x00000002\n"
       "color_value  = None\n"
       "translucency = 0, luminosity = 0, diffuse = 1\n"
       "orig_texture_id = 0x06000123, orig_palette_id = 0x00000000\n",
       fixed("get texture: NotFound(100663587)"), "\"get texture\""},
      {"first argument not UTF-8",
       [](const TempDir&) { return std::vector<std::string>{"ab\xC3(\"\\\x01\xE2\x82\xAC"}; }, "",
       fixed("invalid UTF-8 in command-line argument 1: \"ab\\xC3(\\\"\\\\\\x01\xE2\x82\xAC\""),
       "collect_arguments("},
      {"a later argument not UTF-8, before opening",
       [](const TempDir& dir) {
         return std::vector<std::string>{write_archive(dir, example_records()), "ok",
                                         "\xED\xA0\x80"};
       },
       "", fixed("invalid UTF-8 in command-line argument 3: \"\\xED\\xA0\\x80\""),
       "collect_arguments("},
  };

  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::vector<std::string> args = c.setup(dir);
    const RunResult run = run_tool(args);
    expect_failure(run, c.expected_out, c.message(args), c.site);
  }
}

// The open failures above whose texts come from the library: a directory opens but cannot be
// read; a cut header fails at its first missing field.
TEST(DumpSurface, OpenFailuresComeFromTheHeaderRead) {
  TempDir dir;
  const std::string directory = open_dat_message({dir.path().string()});
  EXPECT_NE(directory.find("Error: Is a directory (os error 21)"), std::string::npos) << directory;

  std::vector<std::uint8_t> bytes = build::build_archive(example_records());
  bytes.resize(320 + 10);
  build::write_file(dir.path() / "short.dat", bytes);
  const std::string cut = open_dat_message({(dir.path() / "short.dat").string()});
  EXPECT_NE(cut.find("Error: failed to fill whole buffer"), std::string::npos) << cut;
  EXPECT_NE(cut.find("While parsing field 'file_size' in DatHeader"), std::string::npos) << cut;
}

TEST(DumpSurface, ClosedPipeEndsTheRunAtTheLineThatMeetsIt) {
  // Every byte value as a P8 index and four full palettes: a report of well over 50 KiB.
  std::vector<std::uint8_t> pixels(256);
  for (unsigned i = 0; i < 256; ++i) pixels[i] = static_cast<std::uint8_t>(i);
  std::vector<std::uint32_t> colors(256, 0xFF808080);
  const Records records = {surface_record(0x06000ABC, 0x04000B20),
                           texture_record(0x06000ABC, 16, 16, kP8, pixels, 0x04000ABD),
                           palette_record(0x04000ABD, colors),
                           palette_record(0x04000B20, colors),
                           palette_record(0x040010BE, colors),
                           palette_record(0x04000DC0, colors)};
  TempDir dir;
  const RunResult run =
      run_tool({write_archive(dir, records)}, {.cwd = {}, .close_after_first_line = true});
  ASSERT_TRUE(run.out.starts_with("=== Surface 0x080003E4 ===\n")) << run.out;
  // Only whole lines were written before the pipe closed.
  EXPECT_TRUE(run.out.ends_with("\n"));
  expect_failure(run, run.out, "failed printing to stdout: Broken pipe (os error 32)", "emit(");
}

// ---------------------------------------------------------------------------------------------
// The sample archive writer

TEST(DumpSurface, SampleArchive) {
  TempDir dir;
  const std::filesystem::path path = dir.path() / "sub" / "client_portal.dat";
  const std::string command =
      std::string("'") + QUORVALE_DAT_SAMPLE_WRITER_PATH + "' '" + path.string() + "' >/dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0);

  auto db = quorvale_dat::DatDatabase::open(path);
  ASSERT_TRUE(db.has_value()) << db.error().display();
  EXPECT_GE(db->files().size(), 300u);
  std::size_t compressed = 0;
  for (const quorvale_dat::DatFileEntry& e : db->files()) compressed += e.is_compressed() ? 1u : 0u;
  EXPECT_GT(compressed, 2u);
  EXPECT_FALSE(db->files().contains(0x04000DC0));

  const RunResult run = run_tool({path.string()});
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_NE(run.out.find("SurfaceTexture 0x05000A10 -> textures [\"0x06000C30\", \"0x06000C31\"]\n"
                         "=== Texture 0x06000C30 ===\n"
                         "format = P8 (0x29), 64x64, source_data.len = 4096, default_palette_id = "
                         "Some(\"0x0400112A\")\n"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("=== Palette 0x0400112A (256 colors) ===\n"), std::string::npos);
  EXPECT_NE(run.out.find("=== Palette 0x04000B20 (256 colors) ===\n"), std::string::npos);
  EXPECT_NE(run.out.find("=== Palette 0x040010BE ("), std::string::npos);
  EXPECT_TRUE(
      run.out.ends_with("palette 0x04000DC0: ERR File ID 04000DC0 not found in provider\n"));
  // A picture, not a flat fill: the disc's fifteen bands and the clear surround.
  EXPECT_NE(run.out.find("unique P8 indices (16): {0, 1, 17, 33, 49, 65, 81, 97, 113, 129, 145, "
                         "161, 177, 193, 209, 225}\n"),
            std::string::npos);
}

}  // namespace
