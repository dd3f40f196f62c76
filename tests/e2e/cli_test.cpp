// quorvale-dat run as a subprocess on archives built here, healthy and corrupt: its standard
// output, its messages on standard error, the files it writes and its exit status. Every exit
// status of the tool occurs below.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <png.h>
#include <poll.h>
#include <pty.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "quorvale_dat/file_type/palette.hpp"
#include "quorvale_dat/file_type/surface.hpp"
#include "quorvale_dat/file_type/surface_texture.hpp"
#include "quorvale_dat/file_type/texture.hpp"
#include "quorvale_dat_builder/archive_builder.hpp"
#include "quorvale_dat_builder/dxt_encoder.hpp"
#include "quorvale_dat_builder/lrs_encoder.hpp"
#include "quorvale_dat_builder/records.hpp"
#include "support/subprocess.hpp"

extern char** environ;

namespace {

namespace build = quorvale_dat::build;
namespace ft = quorvale_dat::file_type;
namespace fs = std::filesystem;
using quorvale_dat::DatFileEntry;
using quorvale_dat::test::RunOptions;
using quorvale_dat::test::RunResult;
using quorvale_dat::test::TempDir;
using Bytes = std::vector<std::uint8_t>;
using Records = std::vector<build::Record>;
using Json = nlohmann::json;

constexpr std::uint32_t kP8 = 41;
constexpr std::uint32_t kIndex16 = 101;
constexpr std::uint32_t kDxt1 = 0x31545844;
constexpr std::uint32_t kDxt5 = 0x35545844;

// ---------------------------------------------------------------------------------------------
// Running the tool

RunResult run_cli(const std::vector<std::string>& args, const RunOptions& options = {}) {
  RunResult result = quorvale_dat::test::run_program(QUORVALE_DAT_CLI_PATH, args, options);
  EXPECT_EQ(result.signal, 0) << "the tool was ended by a signal";
  EXPECT_FALSE(result.timed_out);
  return result;
}

Bytes read_bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

std::string as_text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

std::string hex8(std::uint32_t id) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", id);
  return buf;
}

// ---------------------------------------------------------------------------------------------
// Records and archives

build::Record palette_record(std::uint32_t id, std::vector<std::uint32_t> colors,
                             bool compressed = false) {
  return {
      .id = id, .data = build::encode_palette({id, std::move(colors)}), .compressed = compressed};
}

ft::Texture texture_value(std::uint32_t id, std::int32_t width, std::int32_t height,
                          std::uint32_t format, Bytes pixels,
                          std::optional<std::uint32_t> palette = std::nullopt) {
  return build::make_texture(id, width, height, format, std::move(pixels), palette);
}

build::Record texture_record(std::uint32_t id, std::int32_t width, std::int32_t height,
                             std::uint32_t format, Bytes pixels,
                             std::optional<std::uint32_t> palette = std::nullopt) {
  return {.id = id,
          .data = build::encode_texture(
              texture_value(id, width, height, format, std::move(pixels), palette))};
}

build::Record surface_texture_record(std::uint32_t id, std::vector<std::uint32_t> textures) {
  return {.id = id,
          .data = build::encode_surface_texture(
              {.id = id, .unknown_int = 3, .unknown_byte = 1, .textures = std::move(textures)})};
}

build::Record textured_surface(std::uint32_t id, std::uint32_t texture_id,
                               std::uint32_t palette_id) {
  ft::Surface s;
  s.surface_type = 2;
  s.texture_refs = ft::TextureRefs{texture_id, palette_id};
  s.translucency = 0.25f;
  s.diffuse = 1;
  return {.id = id, .data = build::encode_surface(s)};
}

build::Record solid_surface(std::uint32_t id, std::uint32_t color) {
  ft::Surface s;
  s.surface_type = 1;
  s.color_value = color;
  s.luminosity = 0.5f;
  s.diffuse = 0.1f;
  return {.id = id, .data = build::encode_surface(s)};
}

// The worked example of the surface report: surface -> SurfaceTexture -> 2x2 P8 texture, whose
// palette is also the surface's; and a few records of other types around it.
Records example_records() {
  return {textured_surface(0x080003E4, 0x05000ABC, 0x04000ABD),
          surface_texture_record(0x05000ABC, {0x06000ABC}),
          texture_record(0x06000ABC, 2, 2, kP8, {0, 1, 1, 0}, 0x04000ABD),
          palette_record(0x04000ABD, {0x00000000, 0xFF102030}),
          solid_surface(0x08000001, 0xFF00FF00),
          palette_record(0x04000001, std::vector<std::uint32_t>(40, 0xFF336699), true),
          {.id = 0x0A000001, .data = {'h', 'e', 'l', 'l', 'o', 0, 1, 2, 0xFF}}};
}

std::string write_archive(const TempDir& dir, const Records& records,
                          const std::string& name = "archive.dat",
                          const build::ArchiveOptions& options = {.block_size = 256}) {
  const fs::path path = dir.path() / name;
  build::write_file(path, build::build_archive(records, options));
  return path.string();
}

std::string write_bytes(const TempDir& dir, const Bytes& bytes,
                        const std::string& name = "archive.dat") {
  const fs::path path = dir.path() / name;
  build::write_file(path, bytes);
  return path.string();
}

DatFileEntry entry(std::uint32_t id, std::uint32_t offset, std::uint32_t size,
                   std::uint32_t flags = 0) {
  return {.bit_flags = flags, .id = id, .offset = offset, .size = size};
}

// An archive of one leaf node holding `entries`; `chains` are written first, in order, and
// `make_entries` gets their offsets.
Bytes one_node_archive(const std::vector<Bytes>& chains,
                       const std::function<std::vector<DatFileEntry>(
                           const std::vector<std::uint32_t>&, build::ArchiveWriter&)>& make_entries,
                       std::uint32_t block_size = 64) {
  build::ArchiveWriter w(block_size);
  std::vector<std::uint32_t> offsets;
  for (const Bytes& c : chains) offsets.push_back(w.add_chain(c));
  build::NodeSpec node;
  node.entries = make_entries(offsets, w);
  node.entry_count = static_cast<std::uint32_t>(node.entries.size());
  w.header().root_offset = w.add_node(node);
  return w.finish();
}

// ---------------------------------------------------------------------------------------------
// PNG files, read back with libpng

struct Picture {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  Bytes rgba;
};

std::optional<Picture> read_png(const fs::path& path) {
  const Bytes bytes = read_bytes(path);
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (png_image_begin_read_from_memory(&image, bytes.data(), bytes.size()) == 0) {
    ADD_FAILURE() << path << ": " << image.message;
    return std::nullopt;
  }
  image.format = PNG_FORMAT_RGBA;
  Picture p{image.width, image.height, Bytes(PNG_IMAGE_SIZE(image))};
  if (png_image_finish_read(&image, nullptr, p.rgba.data(), 0, nullptr) == 0) {
    ADD_FAILURE() << path << ": " << image.message;
    return std::nullopt;
  }
  return p;
}

// The types of the chunks of a PNG file, in order, and the colour type from its header.
struct PngChunks {
  std::vector<std::string> types;
  int color_type = -1;
};

PngChunks png_chunks(const Bytes& png) {
  PngChunks out;
  std::size_t pos = 8;
  while (pos + 8 <= png.size()) {
    const std::size_t length = std::size_t{png[pos]} << 24 | std::size_t{png[pos + 1]} << 16 |
                               std::size_t{png[pos + 2]} << 8 | png[pos + 3];
    const std::string type(png.begin() + static_cast<std::ptrdiff_t>(pos + 4),
                           png.begin() + static_cast<std::ptrdiff_t>(pos + 8));
    if (type == "IHDR") out.color_type = png[pos + 8 + 9];
    out.types.push_back(type);
    pos += 12 + length;
  }
  return out;
}

// ---------------------------------------------------------------------------------------------
// Exit statuses and usage

TEST(Cli, ExitStatusesAndMessages) {
  TempDir dir;
  const std::string archive = write_archive(dir, example_records());
  Bytes cut = build::build_archive(example_records());
  cut.resize(330);
  const std::string short_file = write_bytes(dir, cut, "short.dat");
  const std::string missing = (dir.path() / "no.dat").string();
  struct Case {
    std::string name;
    std::vector<std::string> args;
    int status;
    std::string err;  // standard error, or its first line when it has more
  };
  const std::vector<Case> cases = {
      {"no subcommand",
       {},
       2,
       "quorvale-dat: a command is required: info, ls, cat, extract, show, surface, texture, "
       "verify, serve (or help)\n"},
      {"unknown subcommand", {"frob", archive}, 2, ""},
      {"an id that is not one",
       {"show", archive, "0x12G"},
       2,
       "quorvale-dat: ID: not an id (0x and hexadecimal digits, or decimal): 0x12G"},
      {"bare hexadecimal", {"cat", archive, "080003E4"}, 2, ""},
      {"a type byte too large", {"ls", archive, "--type", "0x100"}, 2, ""},
      {"a range backwards", {"ls", archive, "--range", "9-1"}, 2, ""},
      {"texture without output",
       {"texture", archive, "0x06000ABC"},
       2,
       "quorvale-dat: texture: give ID and -o FILE, or --all DIR"},
      {"texture --all with an id", {"texture", archive, "0x06000ABC", "--all", "x"}, 2, ""},
      {"a palette for a texture without one",
       {"texture", archive, "0x06000ABC", "-o", (dir.path() / "t.png").string(), "--palette",
        "0x04000ABD"},
       0,
       ""},
      {"missing archive",
       {"info", missing},
       66,
       "quorvale-dat: cannot open " + missing + ": No such file or directory (os error 2)\n"},
      {"a directory",
       {"ls", dir.path().string()},
       66,
       "quorvale-dat: cannot open " + dir.path().string() + ": Is a directory (os error 21)\n"},
      {"verify a directory", {"verify", dir.path().string()}, 66, ""},
      {"header cut short", {"ls", short_file}, 65, ""},
      {"verify, header cut short",
       {"verify", short_file},
       65,
       "quorvale-dat: " + short_file +
           ": the file ends at byte 330, inside the header (field 'file_size')\n"},
      {"absent record",
       {"show", archive, "0x0A000002"},
       1,
       "quorvale-dat: " + archive + ": record 0x0A000002: not in the archive\n"},
      {"absent record, decimal",
       {"cat", archive, "167772162"},
       1,
       "quorvale-dat: " + archive + ": record 0x0A000002: not in the archive\n"},
      {"absent record, raw",
       {"cat", "--raw", archive, "0x0A000002"},
       1,
       "quorvale-dat: " + archive + ": record 0x0A000002: not in the archive\n"},
      {"absent surface",
       {"surface", archive, "0x08000002"},
       1,
       "quorvale-dat: " + archive + ": get surface: not in the archive\n"},
      {"absent texture",
       {"texture", archive, "0x06000001", "-o", "x.png"},
       1,
       "quorvale-dat: " + archive + ": record 0x06000001: not in the archive\n"},
      {"output that cannot be written",
       {"cat", archive, "0x0A000001", "-o", "/dev/full"},
       74,
       "quorvale-dat: cannot write /dev/full: No space left on device (os error 28)\n"},
      {"output into a missing directory",
       {"cat", archive, "0x0A000001", "-o", (dir.path() / "a" / "b").string()},
       74,
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const RunResult run = run_cli(c.args);
    EXPECT_EQ(run.exit_status, c.status) << run.err;
    if (c.status != 0) {
      EXPECT_NE(run.err, "");
    }
    if (c.status == 2) {
      EXPECT_EQ(run.out, "");
    }
    if (!c.err.empty()) {
      EXPECT_TRUE(run.err.starts_with(c.err)) << run.err;
    }
  }
}

TEST(Cli, PaletteForATextureWithoutOneIsAUsageError) {
  TempDir dir;
  const std::string archive = write_archive(
      dir, {texture_record(0x06000001, 1, 1, 28, {7}), palette_record(0x04000001, {1})});
  const RunResult run = run_cli({"texture", archive, "0x06000001", "-o",
                                 (dir.path() / "t.png").string(), "--palette", "0x04000001"});
  EXPECT_EQ(run.exit_status, 2);
  EXPECT_EQ(run.err, "quorvale-dat: --palette: texture 0x06000001 is A8, which uses no palette\n");
  EXPECT_FALSE(fs::exists(dir.path() / "t.png"));
}

TEST(Cli, HelpVersionAndManPageText) {
  const RunResult version = run_cli({"--version"});
  EXPECT_EQ(version.exit_status, 0);
  EXPECT_TRUE(version.out.starts_with("quorvale-dat ")) << version.out;
  EXPECT_EQ(version.err, "");

  const RunResult help = run_cli({"--help"});
  EXPECT_EQ(help.exit_status, 0);
  for (const char* text : {"Usage: quorvale-dat", "info", "ls", "cat", "extract", "show", "surface",
                           "texture", "verify", "Exit status:", "66  the archive"}) {
    EXPECT_NE(help.out.find(text), std::string::npos) << text;
  }
  for (const char* sub : {"info", "ls", "cat", "extract", "show", "surface", "texture", "verify"}) {
    const RunResult sub_help = run_cli({sub, "--help"});
    EXPECT_EQ(sub_help.exit_status, 0) << sub;
    EXPECT_NE(sub_help.out.find("ARCHIVE"), std::string::npos) << sub;
  }
  const RunResult all = run_cli({"--help-all"});
  EXPECT_EQ(all.exit_status, 0);
  EXPECT_NE(all.out.find("--palette"), std::string::npos);
}

// What a user mistypes: a command, an option given twice, an argument too many. Each gets a
// message that says what is wrong in the tool's own words, and exit status 2.
TEST(Cli, MistypedCommandLines) {
  TempDir dir;
  const std::string archive = write_archive(dir, example_records());
  struct Case {
    std::vector<std::string> args;
    std::string err;  // the whole of standard error
  };
  const std::vector<Case> cases = {
      {{"inf", archive},
       "quorvale-dat: unknown command 'inf'; did you mean 'info'?\n"
       "Try 'quorvale-dat help' for more information.\n"},
      {{"verfy", archive}, "quorvale-dat: unknown command 'verfy'; did you mean 'verify'?\n"},
      {{"tex", archive}, "quorvale-dat: unknown command 'tex'; did you mean 'texture'?\n"},
      {{"frobnicate", archive}, "quorvale-dat: unknown command 'frobnicate'\n"},
      {{"help", "lss"}, "quorvale-dat: unknown command 'lss'; did you mean 'ls'?\n"},
      {{"ls", archive, "--type", "4", "--type", "5"},
       "quorvale-dat: --type is given 2 times; give it once\n"
       "Try 'quorvale-dat help ls' for more information.\n"},
      {{"cat", archive, "1", "-o", "a", "-o", "b"},
       "quorvale-dat: --output is given 2 times; give it once\n"},
      {{"ls", archive, "extra"}, "quorvale-dat: unexpected argument 'extra' for ls\n"},
      {{"ls", archive, "--frob"}, "quorvale-dat: unknown option '--frob' for ls\n"},
      {{"cat", archive, "1", "-o"}, "quorvale-dat: --output needs a value\n"},
      {{"cat", archive, "1", "--no-mmap"},
       "quorvale-dat: --no-mmap goes before the command: quorvale-dat --no-mmap cat ...\n"},
      {{"cat", archive}, "quorvale-dat: ID is required\n"},
      {{"texture", archive, "--all", "d", "--format", "raw"},
       "quorvale-dat: texture: --all DIR takes no ID, -o, --palette or --format\n"},
      {{"texture", archive, "0x06000C30", "-o", "t.png", "-j", "2"},
       "quorvale-dat: texture: --allow-overlap, --max-output and -j go with --all DIR\n"},
      {{"extract", archive, "d", "-j", "0"},
       "quorvale-dat: --jobs: not a whole number from 1 to 1024: 0\n"},
      {{"extract", archive, "d", "--jobs", "two"},
       "quorvale-dat: --jobs: not a whole number from 1 to 1024: two\n"},
      {{"extract", archive, "d", "--max-output", "-1"},
       "quorvale-dat: --max-output: not a whole number from 0 to 18446744073709551615: -1\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args.back());
    const RunResult run = run_cli(c.args);
    EXPECT_EQ(run.exit_status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(run.err.starts_with(c.err)) << run.err;
  }
}

TEST(Cli, HelpCommand) {
  const RunResult top = run_cli({"help"});
  EXPECT_EQ(top.exit_status, 0) << top.err;
  EXPECT_EQ(top.out, run_cli({"--help"}).out);
  for (const char* command :
       {"info", "ls", "cat", "extract", "show", "surface", "texture", "verify"}) {
    SCOPED_TRACE(command);
    const RunResult help = run_cli({"help", command});
    EXPECT_EQ(help.exit_status, 0) << help.err;
    EXPECT_EQ(help.out, run_cli({command, "--help"}).out);
    EXPECT_NE(help.out.find(std::string("Usage: quorvale-dat ") + command), std::string::npos)
        << help.out;
  }
  // Every id option says how ids are written.
  for (const char* command : {"cat", "show", "surface", "texture"}) {
    const RunResult help = run_cli({"help", command});
    EXPECT_NE(help.out.find("id (0x and hexadecimal digits, or decimal)"), std::string::npos)
        << command;
  }
}

// An id given on the command line must name a record of the type the command expects: exit 2,
// whether or not the record or even the archive is there, and the message is about the command
// line alone. A reference inside the archive of the wrong type is the archive's fault: 65, after
// the archive's path.
TEST(Cli, CommandsCheckTheTypeOfTheirRecords) {
  TempDir dir;
  Records records = example_records();
  records.push_back(texture_record(0x06000002, 1, 1, kP8, {0}, 0x06000ABC));
  const std::string archive = write_archive(dir, records);
  const std::string png = (dir.path() / "t.png").string();
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string err;
  };
  const std::vector<Case> cases = {
      {{"surface", archive, "0x06000ABC"},
       2,
       "quorvale-dat: record 0x06000ABC is a texture, not a surface\n"},
      {{"surface", archive, "0x0A000001"},
       2,
       "quorvale-dat: record 0x0A000001 is of type 0x0A, not a surface\n"},
      {{"surface", (dir.path() / "missing.dat").string(), "0x05000ABC"},
       2,
       "quorvale-dat: record 0x05000ABC is a texture list, not a surface\n"},
      {{"texture", archive, "0x080003E4", "-o", png},
       2,
       "quorvale-dat: record 0x080003E4 is a surface, not a texture\n"},
      {{"texture", archive, "0x06000ABC", "-o", png, "--palette", "0x06000ABC"},
       2,
       "quorvale-dat: --palette: record 0x06000ABC is a texture, not a palette\n"},
      {{"texture", archive, "0x06000002", "-o", png},
       65,
       "quorvale-dat: " + archive +
           ": texture 0x06000002: default palette 0x06000ABC is a texture, not a palette\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[2]);
    const RunResult run = run_cli(c.args);
    EXPECT_EQ(run.exit_status, c.status);
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(run.err.starts_with(c.err)) << run.err;
    EXPECT_FALSE(fs::exists(png));
  }
}

// The archive is read at offsets: anything but a regular file or a block device is refused at
// once, before an open that could block.
TEST(Cli, RefusesArchivesThatAreNotFiles) {
  TempDir dir;
  const std::string archive = write_archive(dir, example_records());
  const fs::path fifo = dir.path() / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string cli = QUORVALE_DAT_CLI_PATH;
  struct Case {
    std::string name;
    std::string command;  // run by bash
    std::string err;
  };
  const std::vector<Case> cases = {
      {"a FIFO", "'" + cli + "' info '" + fifo.string() + "'",
       "quorvale-dat: cannot open " + fifo.string() +
           ": a pipe or FIFO, not a regular file or block device\n"},
      {"verify of a FIFO", "'" + cli + "' verify '" + fifo.string() + "'",
       "quorvale-dat: cannot open " + fifo.string() +
           ": a pipe or FIFO, not a regular file or block device\n"},
      {"a process substitution", "'" + cli + "' ls <(cat '" + archive + "')",
       ": a pipe or FIFO, not a regular file or block device\n"},
      {"a pipe on standard input", "cat '" + archive + "' | '" + cli + "' show /dev/stdin 1",
       "quorvale-dat: cannot open /dev/stdin: a pipe or FIFO, not a regular file or block "
       "device\n"},
      {"a character device", "'" + cli + "' surface /dev/null",
       "quorvale-dat: cannot open /dev/null: a character device, not a regular file or block "
       "device\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RunOptions options;
    options.timeout = std::chrono::milliseconds(20000);
    const RunResult run = quorvale_dat::test::run_program("/bin/bash", {"-c", c.command}, options);
    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(run.exit_status, 66);
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(run.err.ends_with(c.err)) << run.err;
  }
}

// ---------------------------------------------------------------------------------------------
// info, ls, cat

// A root with one entry and two leaf children: three nodes, two levels.
Bytes two_level_archive() {
  build::ArchiveWriter w(128);
  const Bytes palette = build::encode_palette({0x04000010, {1, 2, 3}});
  const Bytes big = Bytes(300, 7);
  const std::uint32_t p = w.add_chain(palette);
  const std::uint32_t b = w.add_chain(build::compress_lrs(big));
  const std::uint32_t s = w.add_chain(Bytes{1, 2, 3});
  build::NodeSpec left{
      .branches = {},
      .entry_count = 1,
      .entries = {entry(0x04000010, p, static_cast<std::uint32_t>(palette.size()))}};
  const auto compressed_size = static_cast<std::uint32_t>(build::compress_lrs(big).size());
  build::NodeSpec right{
      .branches = {},
      .entry_count = 2,
      .entries = {entry(0x06000020, b, compressed_size, 1), entry(0x0B000001, s, 3, 4)}};
  build::NodeSpec root{.branches = {}, .entry_count = 1, .entries = {entry(0x05000001, s, 3)}};
  root.branches[0] = w.add_node(left);
  root.branches[1] = w.add_node(right);
  w.header().root_offset = w.add_node(root);
  return w.finish();
}

TEST(Cli, Info) {
  TempDir dir;
  const Bytes bytes = two_level_archive();
  const std::string archive = write_bytes(dir, bytes);
  const RunResult text = run_cli({"info", archive});
  EXPECT_EQ(text.exit_status, 0) << text.err;
  EXPECT_EQ(text.err, "");
  for (const std::string& line :
       {"archive               " + archive + "\n",
        "file size             " + std::to_string(bytes.size()) + " bytes\n",
        std::string("block size            128\n"), std::string("entries               4\n"),
        std::string("  0x04 palettes       1\n"), std::string("  0x05 texture lists  1\n"),
        std::string("  0x06 textures       1\n"), std::string("  0x0B                1\n"),
        std::string("compressed entries    1\n"), std::string("directory nodes       3\n"),
        std::string("directory depth       2\n"), std::string("  magic               0x00005442\n"),
        std::string("  version_string      \"quorvale-builder\"\n")}) {
    EXPECT_NE(text.out.find(line), std::string::npos) << line << "in:\n" << text.out;
  }

  const RunResult json = run_cli({"info", "--json", archive});
  EXPECT_EQ(json.exit_status, 0);
  const Json doc = Json::parse(json.out);
  EXPECT_EQ(doc["archive"], archive);
  EXPECT_EQ(doc["file_size"], bytes.size());
  EXPECT_EQ(doc["block_size"], 128);
  EXPECT_EQ(doc["entries"], 4);
  EXPECT_EQ(doc["compressed_entries"], 1);
  EXPECT_EQ(doc["directory"], Json({{"nodes", 3}, {"depth", 2}}));
  ASSERT_EQ(doc["types"].size(), 4u);
  EXPECT_EQ(doc["types"][0],
            Json({{"type", 4}, {"type_hex", "0x04"}, {"name", "palette"}, {"count", 1}}));
  EXPECT_EQ(doc["types"][3]["name"], nullptr);
  EXPECT_EQ(doc["header"]["magic_hex"], "0x00005442");
  EXPECT_EQ(doc["header"]["version_string_hex"], "71756f7276616c652d6275696c646572");
  EXPECT_TRUE(doc["header"].contains("root_offset_hex"));
}

TEST(Cli, Ls) {
  TempDir dir;
  const Bytes bytes = two_level_archive();
  const std::string archive = write_bytes(dir, bytes);
  struct Case {
    std::vector<std::string> args;
    std::string out;
  };
  const std::vector<Case> cases = {
      {{}, "0x04000010\n0x05000001\n0x06000020\n0x0B000001\n"},
      {{"--type", "0x06"}, "0x06000020\n"},
      {{"--type", "11"}, "0x0B000001\n"},
      {{"--type", "7"}, ""},
      {{"--range", "0x05000001-0x06000020"}, "0x05000001\n0x06000020\n"},
      {{"--range", "0-0x04FFFFFF", "--type", "4"}, "0x04000010\n"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"ls", archive};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const RunResult run = run_cli(args);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.out, c.out) << args[2];
  }

  const RunResult long_format = run_cli({"ls", "-l", archive, "--type", "6"});
  const auto compressed_size = build::compress_lrs(Bytes(300, 7)).size();
  std::string size_text = std::to_string(compressed_size);
  size_text.insert(0, 10 - size_text.size(), ' ');
  ASSERT_EQ(long_format.out.size(),
            std::string("0x06000020  ").size() + 10 + 2 + 10 + 2 + 10 + 2 + 10 + 1)
      << long_format.out;
  EXPECT_TRUE(
      long_format.out.starts_with("0x06000020  " + size_text + "  0x00000001  compressed  0x"))
      << long_format.out;
  const RunResult plain = run_cli({"ls", "--long", archive, "--type", "0x0B"});
  EXPECT_TRUE(plain.out.starts_with("0x0B000001           3  0x00000004  -           0x"))
      << plain.out;

  const RunResult json = run_cli({"ls", "--json", archive, "--type", "6"});
  const Json doc = Json::parse(json.out);
  ASSERT_EQ(doc["entries"].size(), 1u);
  const Json& e = doc["entries"][0];
  EXPECT_EQ(e["id"], 0x06000020);
  EXPECT_EQ(e["id_hex"], "0x06000020");
  EXPECT_EQ(e["type"], 6);
  EXPECT_EQ(e["size"], compressed_size);
  EXPECT_EQ(e["flags"], 1);
  EXPECT_EQ(e["compressed"], true);
  EXPECT_TRUE(e["offset"].is_number());
  EXPECT_TRUE(e["offset_hex"].is_string());
}

TEST(Cli, Cat) {
  TempDir dir;
  const std::string archive = write_bytes(dir, two_level_archive());
  const RunResult plain = run_cli({"cat", archive, "0x06000020"});
  EXPECT_EQ(plain.exit_status, 0);
  EXPECT_EQ(plain.out, std::string(300, '\x07'));
  const RunResult raw = run_cli({"cat", archive, "0x06000020", "--raw"});
  EXPECT_EQ(raw.out, as_text(build::compress_lrs(Bytes(300, 7))));
  const fs::path file = dir.path() / "out.bin";
  const RunResult to_file = run_cli({"cat", archive, "100663328", "-o", file.string()});
  EXPECT_EQ(to_file.exit_status, 0);
  EXPECT_EQ(to_file.out, "");
  EXPECT_EQ(read_bytes(file), Bytes(300, 7));
}

// ---------------------------------------------------------------------------------------------
// extract

TEST(Cli, ExtractWritesEveryRecordAndNothingOutsideTheDirectory) {
  TempDir dir;
  const Records records = example_records();
  const std::string archive = write_archive(dir, records);
  const fs::path out = dir.path() / "new" / "out";

  // A link named like a target, pointing outside: it is replaced, its target left alone.
  fs::create_directories(out);
  const fs::path outside = dir.path() / "outside.txt";
  std::ofstream(outside) << "keep me";
  fs::create_symlink(outside, out / "0x0A000001.bin");

  const RunResult run = run_cli({"extract", archive, out.string()});
  EXPECT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "");  // no progress when standard error is not a terminal
  for (const build::Record& r : records) {
    EXPECT_EQ(read_bytes(out / (hex8(r.id) + ".bin")), r.data);
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(out), fs::directory_iterator()),
            static_cast<std::ptrdiff_t>(records.size()));
  EXPECT_FALSE(fs::is_symlink(out / "0x0A000001.bin"));
  EXPECT_EQ(as_text(read_bytes(outside)), "keep me");

  const fs::path palettes = dir.path() / "palettes";
  const RunResult typed = run_cli({"extract", archive, palettes.string(), "--type", "4"});
  EXPECT_EQ(typed.exit_status, 0);
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(palettes)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"0x04000001.bin", "0x04000ABD.bin"}));
}

TEST(Cli, ExtractReportsFailedRecordsAndGoesOn) {
  TempDir dir;
  const Bytes bytes = one_node_archive(
      {Bytes{1, 2, 3}, Bytes{4, 5}},
      [](const std::vector<std::uint32_t>& at, build::ArchiveWriter&) {
        return std::vector<DatFileEntry>{entry(0x0A000001, at[0], 3),
                                         entry(0x0A000002, 0x00FFFF00, 10),  // outside the file
                                         entry(0x0A000003, at[1], 2)};
      });
  const std::string archive = write_bytes(dir, bytes);
  const fs::path out = dir.path() / "out";
  const RunResult run = run_cli({"extract", archive, out.string()});
  EXPECT_EQ(run.exit_status, 65);
  EXPECT_EQ(run.err,
            "quorvale-dat: " + archive +
                ": record 0x0A000002: the chain at 0x00FFFF00 lies outside the file, which "
                "ends at byte " +
                std::to_string(bytes.size()) + "\nquorvale-dat: " + archive +
                ": 1 of 3 records could not be extracted\n");
  EXPECT_EQ(read_bytes(out / "0x0A000001.bin"), (Bytes{1, 2, 3}));
  EXPECT_EQ(read_bytes(out / "0x0A000003.bin"), (Bytes{4, 5}));
  EXPECT_FALSE(fs::exists(out / "0x0A000002.bin"));

  // DIR is a file: nothing can be written.
  const RunResult not_a_dir = run_cli({"extract", archive, archive});
  EXPECT_EQ(not_a_dir.exit_status, 74);
}

// Every message about what the archive holds names the archive first, from every command and
// both ways of reading it: the one record asked for, the records a command reaches from it, and
// each record a bulk command fails on. Messages about the command line and about the files
// written name no archive.
TEST(Cli, RecordFailuresNameTheArchive) {
  TempDir dir;
  // Surface 0x08000002 reads, and leads to texture 0x06000001, which does not.
  const Bytes surface = textured_surface(0x08000002, 0x06000001, 0).data;
  const Bytes bytes = one_node_archive(
      {Bytes{1, 2, 3}, surface}, [&](const std::vector<std::uint32_t>& at, build::ArchiveWriter&) {
        return std::vector<DatFileEntry>{
            entry(0x04000001, 0x00FFFD00, 10),  // each of these three chains leads out of the file
            entry(0x06000001, 0x00FFFE00, 10), entry(0x08000001, 0x00FFFF00, 10),
            entry(0x08000002, at[1], static_cast<std::uint32_t>(surface.size())),
            entry(0x0A000001, at[0], 3)};
      });
  const std::string archive = write_bytes(dir, bytes, "damaged.dat");
  const std::string out = (dir.path() / "out").string();
  const auto outside = [&](const std::string& what, const char* chain) {
    return "quorvale-dat: " + archive + ": " + what + ": the chain at " + chain +
           " lies outside the file, which ends at byte " + std::to_string(bytes.size());
  };
  struct Case {
    std::vector<std::string> args;
    int status;
    std::vector<std::string> err;  // the lines of standard error
  };
  const std::vector<Case> cases = {
      {{"cat", archive, "0x06000001"}, 65, {outside("record 0x06000001", "0x00FFFE00")}},
      {{"cat", "--raw", archive, "0x06000001"}, 65, {outside("record 0x06000001", "0x00FFFE00")}},
      {{"cat", archive, "0x06000002"},
       1,
       {"quorvale-dat: " + archive + ": record 0x06000002: not in the archive"}},
      {{"show", archive, "0x04000001"}, 65, {outside("record 0x04000001", "0x00FFFD00")}},
      {{"show", "--json", archive, "0x04000001"}, 65, {outside("record 0x04000001", "0x00FFFD00")}},
      {{"surface", archive, "0x08000001"}, 65, {outside("get surface", "0x00FFFF00")}},
      {{"surface", archive, "0x08000002"}, 65, {outside("get texture", "0x00FFFE00")}},
      {{"texture", archive, "0x06000001", "-o", out + ".png"},
       65,
       {outside("record 0x06000001", "0x00FFFE00")}},
      {{"texture", archive, "--all", out + "-textures"},
       65,
       {outside("texture 0x06000001", "0x00FFFE00"),
        "quorvale-dat: " + archive + ": 1 of 1 textures could not be exported"}},
      {{"extract", archive, out + "-records"},
       65,
       {outside("record 0x04000001", "0x00FFFD00"), outside("record 0x06000001", "0x00FFFE00"),
        outside("record 0x08000001", "0x00FFFF00"),
        "quorvale-dat: " + archive + ": 3 of 5 records could not be extracted"}},
      {{"extract", archive, archive},
       74,
       {"quorvale-dat: cannot create " + archive + ": Not a directory (os error 20)"}},
      {{"cat", archive, "0x0A000001", "-o", "/dev/full"},
       74,
       {"quorvale-dat: cannot write /dev/full: No space left on device (os error 28)"}},
      {{"surface", archive, "0x06000001"},
       2,
       {"quorvale-dat: record 0x06000001 is a texture, not a surface",
        "Try 'quorvale-dat help surface' for more information."}},
  };
  for (const Case& c : cases) {
    for (const bool mapped : {true, false}) {
      std::vector<std::string> args = c.args;
      if (!mapped) args.insert(args.begin(), "--no-mmap");
      SCOPED_TRACE(args[0] + " " + args[1] + " " + args[2] + (mapped ? "" : " (positioned reads)"));
      const RunResult run = run_cli(args);
      EXPECT_EQ(run.exit_status, c.status);
      std::string expected;
      for (const std::string& line : c.err) expected += line + "\n";
      EXPECT_EQ(run.err, expected);
    }
  }
}

// The archive read through a mapping (the default) or with positioned reads (--no-mmap): the same
// output, messages, files and status for every command, on a sound archive and on one with a
// record whose chain leads out of the file.
TEST(Cli, NoMmapChangesNoOutput) {
  TempDir dir;
  const std::string sound = write_archive(dir, example_records());
  const std::string damaged = write_bytes(
      dir,
      one_node_archive({Bytes{1, 2, 3}, Bytes{4, 5}},
                       [](const std::vector<std::uint32_t>& at, build::ArchiveWriter&) {
                         return std::vector<DatFileEntry>{entry(0x0A000001, at[0], 3),
                                                          entry(0x0A000002, 0x00FFFF00, 10),
                                                          entry(0x0A000003, at[1], 2)};
                       }),
      "damaged.dat");
  const std::vector<std::vector<std::string>> commands = {
      {"info", sound},
      {"info", sound, "--json"},
      {"ls", sound, "-l"},
      {"cat", sound, "0x04000001"},
      {"cat", sound, "0x04000001", "--raw"},
      {"cat", sound, "0x0A0000FF"},
      {"show", sound, "0x06000ABC", "--json"},
      {"surface", sound},
      {"verify", sound, "--full"},
      {"cat", damaged, "0x0A000002"},
      {"verify", damaged, "--full", "--json"},
      {"extract", damaged, "OUT"},
      {"extract", sound, "OUT"},
      {"texture", sound, "--all", "OUT"},
  };
  for (const std::vector<std::string>& command : commands) {
    SCOPED_TRACE(command[0] + " " + command.back());
    std::vector<std::string> files[2];
    RunResult runs[2];
    for (int positioned = 0; positioned < 2; ++positioned) {
      const fs::path out = dir.path() / ("out" + std::to_string(positioned));
      std::vector<std::string> args;
      if (positioned == 1) args.emplace_back("--no-mmap");
      for (const std::string& a : command) args.push_back(a == "OUT" ? out.string() : a);
      runs[positioned] = run_cli(args);
      if (fs::exists(out)) {
        for (const auto& e : fs::directory_iterator(out)) {
          files[positioned].push_back(e.path().filename().string() + " " +
                                      as_text(read_bytes(e.path())));
        }
        std::sort(files[positioned].begin(), files[positioned].end());
        fs::remove_all(out);
      }
    }
    EXPECT_EQ(runs[0].exit_status, runs[1].exit_status);
    EXPECT_EQ(runs[0].out, runs[1].out);
    EXPECT_EQ(runs[0].err, runs[1].err);
    EXPECT_EQ(files[0], files[1]);
  }
}

// Every file of a directory, by name.
std::map<std::string, Bytes> files_in(const fs::path& dir) {
  std::map<std::string, Bytes> files;
  if (!fs::exists(dir)) return files;
  for (const auto& e : fs::directory_iterator(dir))
    files[e.path().filename()] = read_bytes(e.path());
  return files;
}

// However many threads read and write, extract and texture --all write the same files and say
// the same, on the sample archive and on its damaged copy (overlapping chains, a record cut
// short), with and without --allow-overlap. (The output limit with several jobs: hostile_test.)
TEST(Cli, BulkCommandsDoTheSameWithAnyNumberOfJobs) {
  TempDir dir;
  const fs::path sound = dir.path() / "sample.dat";
  const fs::path damaged = dir.path() / "damaged.dat";
  const std::string writer = QUORVALE_DAT_SAMPLE_WRITER_PATH;
  ASSERT_EQ(std::system(("'" + writer + "' '" + sound.string() + "' >/dev/null").c_str()), 0);
  ASSERT_EQ(
      std::system(("'" + writer + "' --damaged '" + damaged.string() + "' >/dev/null").c_str()), 0);
  struct Case {
    const char* name;
    std::vector<std::string> args;  // before the output directory and -j N
    bool fails;
  };
  const Case cases[] = {
      {"extract, sound", {"extract", sound.string()}, false},
      {"extract, damaged", {"extract", damaged.string()}, true},
      {"extract, damaged, overlaps read", {"extract", "--allow-overlap", damaged.string()}, true},
      {"texture --all, damaged", {"texture", damaged.string(), "--all"}, true},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<RunResult> first;
    std::map<std::string, Bytes> first_files;
    for (const char* jobs : {"1", "2", "3"}) {
      const fs::path out = dir.path() / ("out" + std::to_string(n++));
      std::vector<std::string> args = c.args;
      args.insert(args.end(), {out.string(), "-j", jobs});
      const RunResult run = run_cli(args);
      EXPECT_EQ(run.exit_status != 0, c.fails) << run.err;
      EXPECT_EQ(run.err.empty(), !c.fails) << run.err;
      if (!first) {
        first = run;
        first_files = files_in(out);
        EXPECT_FALSE(first_files.empty());
        continue;
      }
      EXPECT_EQ(run.exit_status, first->exit_status) << jobs;
      EXPECT_EQ(run.out, first->out) << jobs;
      EXPECT_EQ(run.err, first->err) << jobs;
      EXPECT_TRUE(files_in(out) == first_files) << jobs;
    }
  }
}

// ---------------------------------------------------------------------------------------------
// --salvage

// two_level_archive() with its nodes' offsets, and `damage` applied before it is finished.
struct TwoLevel {
  Bytes bytes;
  std::uint32_t root = 0, left = 0, right = 0;
};
TwoLevel two_level_archive_damaged(
    const std::function<void(build::ArchiveWriter&, TwoLevel&)>& damage, std::uint32_t left_count) {
  build::ArchiveWriter w(128);
  TwoLevel t;
  const Bytes palette = build::encode_palette({0x04000010, {1, 2, 3}});
  const std::uint32_t p = w.add_chain(palette);
  const std::uint32_t s = w.add_chain(Bytes{1, 2, 3});
  const std::uint32_t b = w.add_chain(Bytes(30, 7));
  const std::uint32_t u = w.add_chain(Bytes{4, 5, 6});
  t.left = w.add_node(build::NodeSpec{
      .branches = {},
      .entry_count = left_count,
      .entries = {entry(0x04000010, p, static_cast<std::uint32_t>(palette.size()))}});
  t.right = w.add_node(
      build::NodeSpec{.branches = {},
                      .entry_count = 2,
                      .entries = {entry(0x06000020, b, 30), entry(0x0B000001, u, 3, 4)}});
  build::NodeSpec root{.branches = {}, .entry_count = 1, .entries = {entry(0x05000001, s, 3)}};
  root.branches[0] = t.left;
  root.branches[1] = t.right;
  t.root = w.header().root_offset = w.add_node(root);
  damage(w, t);
  t.bytes = w.finish();
  return t;
}

TEST(Cli, SalvageListsAndExtractsWhatTheDirectoryStillHolds) {
  constexpr std::uint32_t kOutside = 0x7FFFFF00;
  struct Case {
    std::string name;
    std::function<void(build::ArchiveWriter&, TwoLevel&)> damage;
    std::string listed;                                // ls --salvage's standard output
    std::function<std::string(const TwoLevel&)> lost;  // its lines about what was lost
    int status;
    std::uint32_t left_count = 1;  // the left leaf's entry_count
  };
  const std::vector<Case> cases = {
      {"sound", [](build::ArchiveWriter&, TwoLevel&) {},
       "0x04000010\n0x05000001\n0x06000020\n0x0B000001\n",
       [](const TwoLevel&) { return std::string(); }, 0},
      {"a leaf's chain leaves the file",
       [&](build::ArchiveWriter& w, TwoLevel& t) { w.put_u32(t.right, kOutside); },
       "0x04000010\n0x05000001\n",
       [](const TwoLevel& t) {
         return "lost directory node " + hex8(t.right) +
                " and its subtree (slot 1 of directory node " + hex8(t.root) + "): ";
       },
       65},
      {"an entry count beyond the node", [](build::ArchiveWriter&, TwoLevel&) {},
       "0x05000001\n0x06000020\n0x0B000001\n",
       [](const TwoLevel& t) {
         return "lost directory node " + hex8(t.left) +
                " and its subtree (slot 0 of directory node " + hex8(t.root) + "): ";
       },
       65, 99},
      {"a branch back to the root",
       [](build::ArchiveWriter& w, TwoLevel& t) {
         w.put_u32(t.root + 4 + 4 * 1, t.root);  // root's slot 1
       },
       "0x04000010\n0x05000001\n",
       [](const TwoLevel& t) {
         return "lost slot 1 of directory node " + hex8(t.root) + ", which leads back to node " +
                hex8(t.root) + ": ";
       },
       65},
      {"the root outside the file",
       [&](build::ArchiveWriter& w, TwoLevel&) { w.header().root_offset = kOutside; }, "",
       [&](const TwoLevel&) {
         return "lost directory node " + hex8(kOutside) + " and its subtree (the root): ";
       },
       65},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const TwoLevel t = two_level_archive_damaged(c.damage, c.left_count);
    const std::string archive = write_bytes(dir, t.bytes);
    const std::string lost = c.lost(t);

    const RunResult ls = run_cli({"ls", archive, "--salvage"});
    EXPECT_EQ(ls.exit_status, c.status) << ls.err;
    EXPECT_EQ(ls.out, c.listed);
    const RunResult plain = run_cli({"ls", archive});
    const std::size_t n =
        static_cast<std::size_t>(std::count(c.listed.begin(), c.listed.end(), '\n'));
    if (c.status == 0) {
      EXPECT_EQ(ls.err, "");
      EXPECT_EQ(plain.out, ls.out);
    } else {
      // One line for the subtree lost, then the summary.
      const std::string first = "quorvale-dat: " + archive + ": " + lost;
      EXPECT_TRUE(ls.err.starts_with(first)) << ls.err;
      EXPECT_EQ(std::count(ls.err.begin(), ls.err.end(), '\n'), 2) << ls.err;
      EXPECT_TRUE(ls.err.ends_with(
          "quorvale-dat: " + archive + ": 1 directory subtree could not be read; listed " +
          std::to_string(n) + (n == 1 ? " entry" : " entries") + " from the rest\n"))
          << ls.err;
      EXPECT_EQ(plain.exit_status, 65);
      EXPECT_EQ(plain.out, "");
    }

    const RunResult json = run_cli({"ls", "--json", "--salvage", archive});
    EXPECT_EQ(json.exit_status, c.status);
    EXPECT_EQ(Json::parse(json.out)["entries"].size(), n);

    const fs::path out = dir.path() / "out";
    const RunResult extract = run_cli({"extract", "--salvage", archive, out.string()});
    EXPECT_EQ(extract.exit_status, c.status) << extract.err;
    EXPECT_EQ(extract.out, "");
    std::string written;
    if (fs::exists(out)) {
      std::vector<std::string> names;
      for (const auto& e : fs::directory_iterator(out)) names.push_back(e.path().stem());
      std::sort(names.begin(), names.end());
      for (const std::string& name : names) written += name + "\n";
    }
    EXPECT_EQ(written, c.listed);
    if (c.status != 0) {
      EXPECT_TRUE(extract.err.starts_with("quorvale-dat: " + archive + ": " + lost)) << extract.err;
      EXPECT_TRUE(extract.err.ends_with(": 1 directory subtree could not be read; extracted " +
                                        std::to_string(n) + (n == 1 ? " record" : " records") +
                                        " from the rest\n"))
          << extract.err;
    }
  }

  // A header that does not read fails as without --salvage.
  TempDir dir;
  Bytes cut = two_level_archive();
  cut.resize(330);
  const std::string short_file = write_bytes(dir, cut, "short.dat");
  const RunResult salvaged = run_cli({"ls", "--salvage", short_file});
  const RunResult plain = run_cli({"ls", short_file});
  EXPECT_EQ(salvaged.exit_status, 65);
  EXPECT_EQ(salvaged.err, plain.err);
}

// ---------------------------------------------------------------------------------------------
// Messages with a place

TEST(Cli, EveryCommandSaysTheSameAboutADamagedArchive) {
  TempDir dir;
  const TwoLevel t = two_level_archive_damaged([](build::ArchiveWriter&, TwoLevel&) {}, 1);
  struct Case {
    std::string name;
    Bytes bytes;
    std::string message;  // after "quorvale-dat: ARCHIVE: "
  };
  const auto cut = [&](std::size_t size) {
    return Bytes(t.bytes.begin(), t.bytes.begin() + static_cast<std::ptrdiff_t>(size));
  };
  Bytes outside = t.bytes;
  outside[0x160] = 0x00;  // root_offset 0x7FFFFF00
  outside[0x161] = 0xFF;
  outside[0x162] = 0xFF;
  outside[0x163] = 0x7F;
  const std::vector<Case> cases = {
      {"an empty file", {}, "the file ends at byte 0, inside the header (field 'magic')"},
      {"a header cut short", cut(330),
       "the file ends at byte 330, inside the header (field 'file_size')"},
      {"the root node cut short", cut(t.root + 200),
       "the file ends at byte " + std::to_string(t.root + 200) + ", inside block " +
           hex8(t.root + 128) + " of directory node " + hex8(t.root)},
      {"the root outside the file", outside,
       "directory node 0x7FFFFF00 lies outside the file, which ends at byte " +
           std::to_string(outside.size())},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string archive = write_bytes(dir, c.bytes, "damaged.dat");
    const std::string line = "quorvale-dat: " + archive + ": " + c.message + "\n";
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"info", archive},
          {"info", "--json", archive},
          {"ls", archive},
          {"cat", archive, "0x05000001"},
          {"extract", archive, (dir.path() / "out").string()},
          {"show", archive, "0x05000001"}}) {
      SCOPED_TRACE(args[0]);
      const RunResult run = run_cli(args);
      EXPECT_EQ(run.exit_status, 65);
      EXPECT_EQ(run.err, line);
      EXPECT_EQ(run.out, "");
    }
    // verify lists what it found; where opening stops, it says so in the same words.
    const RunResult verify = run_cli({"verify", archive});
    EXPECT_EQ(verify.exit_status, 65);
    if (c.bytes.size() <= 330) {
      EXPECT_EQ(verify.err, line);
    } else {
      EXPECT_NE(verify.out.find("header: the archive does not open: " + c.message + "\n"),
                std::string::npos)
          << verify.out;
    }
  }
}

// Runs the tool with standard error on a pseudo-terminal and returns what appeared there.
std::string run_with_terminal_stderr(const std::vector<std::string>& args, int& status) {
  int master = -1;
  int slave = -1;
  if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
    ADD_FAILURE() << "openpty: " << std::strerror(errno);
    return "";
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, slave, STDERR_FILENO);
  posix_spawn_file_actions_addclose(&actions, master);
  std::vector<std::string> argv_strings = {QUORVALE_DAT_CLI_PATH};
  argv_strings.insert(argv_strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& s : argv_strings) argv.push_back(s.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(slave);
  std::string text;
  if (rc == 0) {
    char buf[4096];
    for (;;) {
      pollfd p{master, POLLIN, 0};
      if (::poll(&p, 1, 60000) <= 0) break;
      const ssize_t n = ::read(master, buf, sizeof buf);
      if (n <= 0) break;  // EIO once the child has closed its side
      text.append(buf, static_cast<std::size_t>(n));
    }
    int wstatus = 0;
    ::waitpid(pid, &wstatus, 0);
    status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
  }
  ::close(master);
  return text;
}

TEST(Cli, ExtractShowsProgressOnATerminal) {
  TempDir dir;
  const std::string archive = write_archive(dir, example_records());
  int status = -1;
  const std::string err =
      run_with_terminal_stderr({"extract", archive, (dir.path() / "out").string()}, status);
  EXPECT_EQ(status, 0);
  EXPECT_NE(err.find("\r\x1b[Kextract: 7/7 records, "), std::string::npos) << err;
  EXPECT_NE(err.find("/s"), std::string::npos) << err;
}

// ---------------------------------------------------------------------------------------------
// show

TEST(Cli, ShowDecodesByTypeByte) {
  TempDir dir;
  const std::string archive = write_archive(dir, example_records());
  struct Case {
    std::string id;
    std::string out;
  };
  const std::vector<Case> cases = {
      {"0x04000ABD",
       "0x04000ABD palette, 16 bytes\n"
       "  id      0x04000ABD\n"
       "  colors  2\n"
       "    [  0] 0x00000000  (a=0, r=0, g=0, b=0)\n"
       "    [  1] 0xFF102030  (a=255, r=16, g=32, b=48)\n"},
      {"0x05000ABC",
       "0x05000ABC texture list, 17 bytes\n"
       "  id            0x05000ABC\n"
       "  unknown_int   3\n"
       "  unknown_byte  1\n"
       "  textures      1\n"
       "    0x06000ABC\n"},
      {"0x06000ABC",
       "0x06000ABC texture, 32 bytes\n"
       "  id                  0x06000ABC\n"
       "  _unknown            0\n"
       "  width               2\n"
       "  height              2\n"
       "  format              P8 (0x29)\n"
       "  length              4\n"
       "  default_palette_id  0x04000ABD\n"},
      {"0x080003E4",
       "0x080003E4 surface, 24 bytes\n"
       "  surface_type     0x00000002\n"
       "  orig_texture_id  0x05000ABC\n"
       "  orig_palette_id  0x04000ABD\n"
       "  translucency     0.25\n"
       "  luminosity       0\n"
       "  diffuse          1\n"},
      {"0x08000001",
       "0x08000001 surface, 20 bytes\n"
       "  surface_type  0x00000001\n"
       "  color_value   0xFF00FF00\n"
       "  translucency  0\n"
       "  luminosity    0.5\n"
       "  diffuse       0.1\n"},
      {"0x0A000001",
       "0x0A000001 type 0x0A, 9 bytes\n"
       "00000000  68 65 6c 6c 6f 00 01 02  ff                       |hello....|\n"
       "00000009\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    const RunResult run = run_cli({"show", archive, c.id});
    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_EQ(run.out, c.out);
  }
}

TEST(Cli, ShowJson) {
  TempDir dir;
  const std::string archive = write_archive(dir, example_records());
  const auto show = [&](const std::string& id) {
    const RunResult run = run_cli({"show", "--json", archive, id});
    EXPECT_EQ(run.exit_status, 0) << run.err;
    return Json::parse(run.out);
  };
  const Json texture = show("0x06000ABC");
  EXPECT_EQ(texture["id"], 0x06000ABC);
  EXPECT_EQ(texture["id_hex"], "0x06000ABC");
  EXPECT_EQ(texture["type"], 6);
  EXPECT_EQ(texture["type_hex"], "0x06");
  EXPECT_EQ(texture["kind"], "texture");
  EXPECT_EQ(texture["size"], 32);
  EXPECT_EQ(texture["record"],
            Json::parse(R"({"id": 100666044, "id_hex": "0x06000ABC", "_unknown": 0, "width": 2,
                            "height": 2, "format": "P8", "format_raw": 41, "length": 4,
                            "default_palette_id": 67111613,
                            "default_palette_id_hex": "0x04000ABD"})"));
  EXPECT_EQ(show("0x080003E4")["record"], Json::parse(R"({"surface_type": 2, "color_value": null,
                            "texture_refs": {"orig_texture_id": 83888828,
                                             "orig_texture_id_hex": "0x05000ABC",
                                             "orig_palette_id": 67111613,
                                             "orig_palette_id_hex": "0x04000ABD"},
                            "translucency": 0.25, "luminosity": 0.0, "diffuse": 1.0})"));
  EXPECT_EQ(show("0x08000001")["record"]["diffuse"], 0.1);
  EXPECT_EQ(show("0x04000ABD")["record"]["colors"], Json::parse("[0, 4279246896]"));
  EXPECT_EQ(show("0x05000ABC")["record"]["textures"],
            Json::parse(R"([{"id": 100666044, "id_hex": "0x06000ABC"}])"));
  const Json other = show("0x0A000001");
  EXPECT_EQ(other["kind"], nullptr);
  EXPECT_EQ(other["record"], nullptr);
  EXPECT_EQ(other["data_hex"], "68656c6c6f000102ff");
}

TEST(Cli, ShowOfARecordThatDoesNotDecodeIsData) {
  TempDir dir;
  const std::string archive =
      write_archive(dir, {{.id = 0x04000001, .data = {1, 0, 0, 4, 5, 0, 0, 0, 1, 2}},
                          {.id = 0x06000001, .data = Bytes{1, 2}}});
  const RunResult palette = run_cli({"show", archive, "0x04000001"});
  EXPECT_EQ(palette.exit_status, 65);
  EXPECT_EQ(palette.out, "");
  EXPECT_EQ(palette.err, "quorvale-dat: " + archive +
                             ": record 0x04000001: While parsing field 'colors' in Palette: failed "
                             "to fill whole buffer\n");
  const RunResult texture = run_cli({"show", archive, "0x06000001", "--json"});
  EXPECT_EQ(texture.exit_status, 65);
  EXPECT_EQ(texture.out, "");
}

// ---------------------------------------------------------------------------------------------
// surface

#ifdef QUORVALE_DAT_DUMP_PATH
TEST(Cli, SurfaceIsTheReportOfDumpSurface) {
  TempDir dir;
  const std::string archive = write_archive(dir, example_records());
  const RunResult dump = quorvale_dat::test::run_program(QUORVALE_DAT_DUMP_PATH, {archive});
  ASSERT_EQ(dump.exit_status, 0);
  const RunResult run = run_cli({"surface", archive});
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out, dump.out);
  EXPECT_TRUE(run.out.starts_with("=== Surface 0x080003E4 ===\n"));
}
#endif

TEST(Cli, SurfaceOfAnyId) {
  TempDir dir;
  Records records = example_records();
  records.push_back(textured_surface(0x08000002, 0x06000ABC, 0));
  records.push_back(textured_surface(0x08000003, 0x05000DEF, 0));
  records.push_back(surface_texture_record(0x05000DEF, {}));
  records.push_back(textured_surface(0x08000004, 0x06000999, 0));
  const std::string archive = write_archive(dir, records);

  const RunResult solid = run_cli({"surface", archive, "0x08000001"});
  EXPECT_EQ(solid.exit_status, 0);
  EXPECT_EQ(solid.out,
            "=== Surface 0x08000001 ===\n"
            "surface_type = 0x00000001\n"
            "color_value  = Some(\"0xFF00FF00\")\n"
            "translucency = 0, luminosity = 0.5, diffuse = 0.1\n"
            "no texture_refs\n");

  const RunResult direct = run_cli({"surface", archive, "134217730"});
  EXPECT_EQ(direct.exit_status, 0);
  EXPECT_NE(direct.out.find("orig_texture_id = 0x06000ABC, orig_palette_id = 0x00000000\n"
                            "=== Texture 0x06000ABC ===\n"),
            std::string::npos)
      << direct.out;

  const RunResult empty = run_cli({"surface", archive, "0x08000003"});
  EXPECT_EQ(empty.exit_status, 65);
  EXPECT_TRUE(empty.out.ends_with("SurfaceTexture 0x05000DEF -> textures []\n")) << empty.out;
  EXPECT_EQ(empty.err, "quorvale-dat: " + archive + ": the surface's texture list is empty\n");

  const RunResult dangling = run_cli({"surface", archive, "0x08000004"});
  EXPECT_EQ(dangling.exit_status, 65);
  EXPECT_EQ(dangling.err, "quorvale-dat: " + archive + ": get texture: not in the archive\n");

  // A surface whose record does not decode is the archive's fault.
  records.push_back({.id = 0x08000005, .data = {1, 2}});
  const std::string broken = write_archive(dir, records, "broken.dat");
  const RunResult not_a_surface = run_cli({"surface", broken, "0x08000005"});
  EXPECT_EQ(not_a_surface.exit_status, 65);
  EXPECT_TRUE(not_a_surface.err.starts_with("quorvale-dat: " + broken + ": unpack surface: "))
      << not_a_surface.err;
}

// ---------------------------------------------------------------------------------------------
// texture

// A texture record, the RGBA pixels its PNG must hold, and the files the test needs around it.
struct ExportCase {
  std::string name;
  build::Record texture;
  Bytes expected_rgba;
  std::uint32_t width;
  std::uint32_t height;
};

Bytes le16(std::initializer_list<std::uint32_t> values) {
  Bytes out;
  for (std::uint32_t v : values)
    out.insert(out.end(), {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8)});
  return out;
}

TEST(Cli, TextureExportsEveryFormatAsPng) {
  // Palette for P8 and Index16: transparent black, then three colours, one half transparent.
  const std::vector<std::uint32_t> colors = {0x00000000, 0xFFFF0000, 0xFF00FF00, 0x800000FF};
  // A 5x3 Dxt5 picture (two blocks across, one down) made by the builder; its expected pixels
  // come from an independent decoder below.
  Bytes picture;
  for (std::uint8_t i = 0; i < 15; ++i) {
    picture.insert(picture.end(),
                   {static_cast<std::uint8_t>(17 * i), 100, static_cast<std::uint8_t>(255 - 17 * i),
                    static_cast<std::uint8_t>(16 * i)});
  }
  const Bytes dxt5 = build::encode_dxt(build::DxtFormat::Dxt5, picture, 5, 3);
  const Bytes dxt1 = build::encode_dxt(build::DxtFormat::Dxt1, picture, 5, 3);

  const std::vector<ExportCase> cases = {
      {"A8R8G8B8",
       texture_record(0x06000001, 2, 1, 21, {1, 2, 3, 4, 5, 6, 7, 8}),
       {3, 2, 1, 4, 7, 6, 5, 8},
       2,
       1},
      {"R8G8B8",
       texture_record(0x06000002, 1, 2, 20, {1, 2, 3, 4, 5, 6}),
       {3, 2, 1, 255, 6, 5, 4, 255},
       1,
       2},
      {"R5G6B5",
       texture_record(0x06000003, 3, 1, 23, le16({0xF800, 0x07E0, 0x001F})),
       {255, 0, 0, 255, 0, 255, 0, 255, 0, 0, 255, 255},
       3,
       1},
      {"A4R4G4B4",
       texture_record(0x06000004, 2, 1, 26, le16({0x8F00, 0xF0F1})),
       {255, 0, 0, 136, 0, 255, 17, 255},
       2,
       1},
      {"A8",
       texture_record(0x06000005, 2, 1, 28, {0, 200}),
       {0, 0, 0, 255, 200, 200, 200, 255},
       2,
       1},
      {"P8",
       texture_record(0x06000006, 3, 1, kP8, {1, 3, 0}, 0x04000001),
       {255, 0, 0, 255, 0, 0, 255, 128, 0, 0, 0, 0},
       3,
       1},
      {"P8 past its palette",
       texture_record(0x06000007, 2, 1, kP8, {2, 9}, 0x04000001),
       {0, 255, 0, 255, 0, 0, 0, 0},
       2,
       1},
      {"Index16",
       texture_record(0x06000008, 3, 1, kIndex16, le16({2, 0x0100, 3}), 0x04000001),
       {0, 255, 0, 255, 0, 0, 0, 0, 0, 0, 255, 128},
       3,
       1},
      {"Dxt1 three colours and transparent",
       texture_record(0x06000009, 4, 1, kDxt1, {0x00, 0x00, 0x1F, 0x00, 0b11100100, 0, 0, 0}),
       // c0 = black <= c1 = blue: black, blue, their midpoint, transparent black.
       {0, 0, 0, 255, 0, 0, 255, 255, 0, 0, 127, 255, 0, 0, 0, 0},
       4,
       1},
      {"Dxt1 picture", texture_record(0x0600000A, 5, 3, kDxt1, dxt1), {}, 5, 3},
      {"Dxt3 alpha nibbles",
       texture_record(0x0600000B, 2, 1, 0x33545844,
                      {0xF0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0xF8, 0x00, 0xF8, 0, 0, 0, 0}),
       {255, 0, 0, 0, 255, 0, 0, 255},
       2,
       1},
      {"Dxt5 picture", texture_record(0x0600000C, 5, 3, kDxt5, dxt5), {}, 5, 3},
  };

  TempDir dir;
  Records records = {palette_record(0x04000001, colors)};
  for (const ExportCase& c : cases) records.push_back(c.texture);
  const std::string archive = write_archive(dir, records);

  for (const ExportCase& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path png = dir.path() / (c.name + ".png");
    const RunResult run = run_cli({"texture", archive, hex8(c.texture.id), "-o", png.string()});
    ASSERT_EQ(run.exit_status, 0) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "");
    const std::optional<Picture> read = read_png(png);
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(read->width, c.width);
    EXPECT_EQ(read->height, c.height);
    if (!c.expected_rgba.empty()) {
      EXPECT_EQ(read->rgba, c.expected_rgba);
    }
  }

  // P8 is an indexed PNG with the palette's alphas.
  const Bytes p8 = read_bytes(dir.path() / "P8.png");
  const PngChunks chunks = png_chunks(p8);
  EXPECT_EQ(chunks.color_type, 3);
  EXPECT_NE(std::find(chunks.types.begin(), chunks.types.end(), "PLTE"), chunks.types.end());
  EXPECT_NE(std::find(chunks.types.begin(), chunks.types.end(), "tRNS"), chunks.types.end());
  EXPECT_EQ(png_chunks(read_bytes(dir.path() / "A8.png")).color_type, 0);
  EXPECT_EQ(png_chunks(read_bytes(dir.path() / "R8G8B8.png")).color_type, 6);
}

TEST(Cli, TexturePaletteAndJpeg) {
  TempDir dir;
  const Bytes jpeg = {0xFF, 0xD8, 0xFF, 0xE0, 1, 2, 3, 0xFF, 0xD9};
  const std::string archive =
      write_archive(dir, {texture_record(0x06000001, 2, 1, kP8, {0, 1}, 0x04000001),
                          palette_record(0x04000001, {0xFF000000, 0xFFFFFFFF}),
                          palette_record(0x04000002, {0xFF0000FF, 0x80FF0000}),
                          texture_record(0x06000002, 8, 8, 500, jpeg),
                          texture_record(0x06000003, 8, 8, 500, {0x89, 'P', 'N', 'G'})});

  const fs::path other = dir.path() / "other.png";
  const RunResult chosen =
      run_cli({"texture", archive, "0x06000001", "-o", other.string(), "--palette", "0x04000002"});
  EXPECT_EQ(chosen.exit_status, 0) << chosen.err;
  EXPECT_EQ(read_png(other)->rgba, (Bytes{0, 0, 255, 255, 255, 0, 0, 128}));

  const RunResult absent =
      run_cli({"texture", archive, "0x06000001", "-o", other.string(), "--palette", "0x04000003"});
  EXPECT_EQ(absent.exit_status, 1);
  EXPECT_EQ(absent.err, "quorvale-dat: " + archive + ": record 0x04000003: not in the archive\n");

  const RunResult jpeg_run =
      run_cli({"texture", archive, "0x06000002", "-o", (dir.path() / "photo.jpg").string()});
  EXPECT_EQ(jpeg_run.exit_status, 0);
  EXPECT_EQ(jpeg_run.err, "");
  EXPECT_EQ(read_bytes(dir.path() / "photo.jpg"), jpeg);

  const RunResult not_jpeg =
      run_cli({"texture", archive, "0x06000003", "-o", (dir.path() / "x.jpeg").string()});
  EXPECT_EQ(not_jpeg.exit_status, 65);
  EXPECT_EQ(not_jpeg.err, "quorvale-dat: " + archive +
                              ": texture 0x06000003: CustomRawJpeg data does not start with a "
                              "JPEG marker\n");
}

TEST(Cli, TextureFailuresNameTheTexture) {
  TempDir dir;
  const std::string archive =
      write_archive(dir, {texture_record(0x06000001, 4, 4, 21, Bytes(63)),
                          texture_record(0x06000002, 2, 2, kP8, {0, 1, 2, 3}, 0x04000009),
                          texture_record(0x06000003, 1, 1, 244, {1}),
                          texture_record(0x06000004, 1, 1, kP8, {0}, 0x04000005),
                          {.id = 0x04000005, .data = {5, 0, 0, 4}},
                          {.id = 0x06000005, .data = {1, 2, 3}},
                          texture_record(0x06000006, 1, 1, 28, {9})});
  struct Case {
    std::string id;
    int status;
    std::string err;
  };
  const std::vector<Case> cases = {
      {"0x06000001", 65,
       "texture 0x06000001: A8R8G8B8 at 4x4 needs 64 bytes of pixel data, the texture holds 63"},
      {"0x06000002", 65, "texture 0x06000002: palette 0x04000009: not in the archive"},
      {"0x06000003", 65,
       "texture 0x06000003: format CustomLscapeAlpha (244) has no export as an image; --format "
       "raw writes its pixel data as stored"},
      {"0x06000004", 65,
       "texture 0x06000004: palette 0x04000005: While parsing field 'colors' in Palette: failed "
       "to fill whole buffer"},
      {"0x06000005", 65,
       "texture 0x06000005: While parsing field 'id' in Texture: failed to fill whole buffer"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    const fs::path png = dir.path() / "t.png";
    const RunResult run = run_cli({"texture", archive, c.id, "-o", png.string()});
    EXPECT_EQ(run.exit_status, c.status);
    EXPECT_EQ(run.err, "quorvale-dat: " + archive + ": " + c.err + "\n");
    EXPECT_FALSE(fs::exists(png));
  }

  // --all goes on past every failure and exports the one texture that can be.
  const fs::path all = dir.path() / "all";
  const RunResult run = run_cli({"texture", archive, "--all", all.string()});
  EXPECT_EQ(run.exit_status, 65);
  EXPECT_TRUE(
      run.err.ends_with("quorvale-dat: " + archive + ": 5 of 6 textures could not be exported\n"))
      << run.err;
  EXPECT_TRUE(read_png(all / "0x06000006.png").has_value());
  EXPECT_EQ(std::distance(fs::directory_iterator(all), fs::directory_iterator()), 1);
}

// -o writes exactly the file it names; its extension or --format says what goes in it, and a
// name that cannot hold what would be written is refused before anything is written.
TEST(Cli, TextureAndCatOutputs) {
  TempDir dir;
  const Bytes jpeg = {0xFF, 0xD8, 0xFF, 0xE0, 1, 2, 3, 0xFF, 0xD9};
  const std::string archive =
      write_archive(dir, {texture_record(0x06000001, 2, 1, kP8, {0, 1}, 0x04000001),
                          palette_record(0x04000001, {0xFF000000, 0xFFFFFFFF}),
                          texture_record(0x06000002, 8, 8, 500, jpeg),
                          texture_record(0x06000003, 1, 1, 244, {7})});
  const Bytes png_magic = {0x89, 'P', 'N', 'G'};
  enum class Written { Nothing, Png, Jpeg, P8Data, LscapeData };
  struct Case {
    std::string name;
    std::vector<std::string> args;  // after "texture ARCHIVE"; FILE stands for the output
    std::string file;               // the -o name, in the test's folder
    int status;
    Written written;
    std::string err;  // the first line of standard error
  };
  const std::vector<Case> cases = {
      {"PNG by name", {"0x06000001", "-o", "FILE"}, "a.png", 0, Written::Png, ""},
      {"PNG by name, upper case", {"0x06000001", "-o", "FILE"}, "A.PNG", 0, Written::Png, ""},
      {"no extension: the texture's own", {"0x06000001", "-o", "FILE"}, "a", 0, Written::Png, ""},
      {"JPEG by name", {"0x06000002", "-o", "FILE"}, "b.jpeg", 0, Written::Jpeg, ""},
      {"JPEG without an extension", {"0x06000002", "-o", "FILE"}, "b", 0, Written::Jpeg, ""},
      {"--format wins over the name",
       {"0x06000002", "-o", "FILE", "--format", "jpeg"},
       "b.png",
       0,
       Written::Jpeg,
       ""},
      {"raw pixel data",
       {"0x06000001", "-o", "FILE", "--format", "raw"},
       "a.bin",
       0,
       Written::P8Data,
       ""},
      {"raw data of a format without an image export",
       {"0x06000003", "-o", "FILE", "--format", "raw"},
       "c.raw",
       0,
       Written::LscapeData,
       ""},
      {"JPEG data under a .png name",
       {"0x06000002", "-o", "FILE"},
       "b.png",
       2,
       Written::Nothing,
       "quorvale-dat: texture 0x06000002 holds JPEG data, which cannot be written as PNG: write it "
       "as JPEG (a .jpg name or --format jpeg) or as stored (--format raw)"},
      {"pixels under a .jpg name",
       {"0x06000001", "-o", "FILE"},
       "a.jpg",
       2,
       Written::Nothing,
       "quorvale-dat: texture 0x06000001 is P8 data, which cannot be written as JPEG: write it as "
       "PNG (a .png name or --format png) or as stored (--format raw)"},
      {"--format png of JPEG data",
       {"0x06000002", "-o", "FILE", "--format", "png"},
       "b",
       2,
       Written::Nothing,
       "quorvale-dat: texture 0x06000002 holds JPEG data, which cannot be written as PNG"},
      {"an extension of no format written here",
       {"0x06000001", "-o", "FILE"},
       "a.gif",
       2,
       Written::Nothing,
       "quorvale-dat: texture: FILE: the name ends in .gif, which names no format written here: "
       "name the file .png or .jpg, or give --format png, jpeg or raw"},
      {"an unknown --format",
       {"0x06000001", "-o", "FILE", "--format", "gif"},
       "a.png",
       2,
       Written::Nothing,
       ""},
      {"--palette with raw data",
       {"0x06000001", "-o", "FILE", "--format", "raw", "--palette", "0x04000001"},
       "a.bin",
       2,
       Written::Nothing,
       "quorvale-dat: texture: --palette has no use with --format raw"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path file = dir.path() / c.file;
    fs::remove(file);
    std::vector<std::string> args = {"texture", archive};
    for (const std::string& a : c.args) args.push_back(a == "FILE" ? file.string() : a);
    const RunResult run = run_cli(args);
    EXPECT_EQ(run.exit_status, c.status) << run.err;
    EXPECT_EQ(run.out, "");
    std::string err = c.err;
    if (const std::size_t at = err.find("FILE"); at != std::string::npos) {
      err.replace(at, 4, file.string());
    }
    EXPECT_TRUE(run.err.starts_with(err)) << run.err;
    // Only the named file, if any, appears.
    std::vector<fs::path> made;
    for (const auto& e : fs::directory_iterator(dir.path())) {
      if (e.path().string() != archive) made.push_back(e.path());
    }
    switch (c.written) {
      case Written::Nothing:
        EXPECT_TRUE(made.empty()) << made.front();
        break;
      case Written::Png:
        ASSERT_EQ(made, std::vector<fs::path>{file});
        EXPECT_TRUE(read_bytes(file).size() > 4 &&
                    std::equal(png_magic.begin(), png_magic.end(), read_bytes(file).begin()));
        break;
      case Written::Jpeg:
        ASSERT_EQ(made, std::vector<fs::path>{file});
        EXPECT_EQ(read_bytes(file), jpeg);
        break;
      case Written::P8Data:
        ASSERT_EQ(made, std::vector<fs::path>{file});
        EXPECT_EQ(read_bytes(file), (Bytes{0, 1}));
        break;
      case Written::LscapeData:
        ASSERT_EQ(made, std::vector<fs::path>{file});
        EXPECT_EQ(read_bytes(file), (Bytes{7}));
        break;
    }
    fs::remove(file);
  }

  // "-o -" is standard output, for texture and cat alike.
  const RunResult png_out = run_cli({"texture", archive, "0x06000001", "-o", "-"});
  EXPECT_EQ(png_out.exit_status, 0) << png_out.err;
  EXPECT_TRUE(png_out.out.starts_with("\x89PNG"));
  const RunResult jpeg_out = run_cli({"texture", archive, "0x06000002", "--output", "-"});
  EXPECT_EQ(jpeg_out.out, as_text(jpeg));
  const RunResult cat_out = run_cli({"cat", archive, "0x04000001", "-o", "-"});
  EXPECT_EQ(cat_out.exit_status, 0);
  EXPECT_EQ(cat_out.out, run_cli({"cat", archive, "0x04000001"}).out);
  EXPECT_FALSE(fs::exists("-"));
}

// ---------------------------------------------------------------------------------------------
// verify

TEST(Cli, VerifyListsEveryProblem) {
  struct Case {
    std::string name;
    Bytes archive;
    std::vector<std::string> args;
    std::string out;  // the problem lines; none for a sound archive, which exits 0
  };
  const auto node_at = [](build::ArchiveWriter& w, std::vector<DatFileEntry> entries) {
    build::NodeSpec node;
    node.entries = std::move(entries);
    node.entry_count = static_cast<std::uint32_t>(node.entries.size());
    return w.add_node(node);
  };
  std::vector<Case> cases;
  cases.push_back({"sound, three levels",
                   build::build_archive(example_records(), {.block_size = 64,
                                                            .layout = build::Layout::Scattered,
                                                            .entries_per_node = 2}),
                   {"--full"},
                   ""});
  cases.push_back(
      {"a chain outside the file",
       one_node_archive({Bytes{1}},
                        [](const std::vector<std::uint32_t>& at, build::ArchiveWriter&) {
                          return std::vector<DatFileEntry>{entry(0x0A000001, at[0], 1),
                                                           entry(0x0A000002, 0x00100000, 5)};
                        }),
       {},
       "entry 0x0A000002 at 0x00100000: block 0x00100000 lies outside the file\n"});
  {
    // Two entries share a chain; a third claims more bytes than its one block holds, which
    // get_file reads all the same, from the block on into the directory node after it.
    build::ArchiveWriter w(64);
    const std::uint32_t shared = w.add_chain(Bytes(100, 1));
    const std::uint32_t single = w.add_chain(Bytes(10, 2));
    w.header().root_offset =
        node_at(w, {entry(0x0A000001, shared, 100), entry(0x0A000002, shared, 30),
                    entry(0x0A000003, single, 61)});
    cases.push_back({"shared blocks and a long last block",
                     w.finish(),
                     {},
                     "entry 0x0A000002 at 0x00000190: block 0x00000190 overlaps a block of entry "
                     "0x0A000001\n"
                     "entry 0x0A000003 at 0x00000210: the chain ends at block 0x00000210 with 61 "
                     "bytes left to read, more than a block holds (60)\n"
                     "entry 0x0A000003 at 0x00000210: block 0x00000210 overlaps a block of "
                     "directory node 0x00000250\n"});
  }
  {
    // A record's chain runs into the header.
    build::ArchiveWriter w(64);
    const std::uint32_t rec = w.add_chain(Bytes{1, 2});
    w.header().root_offset = node_at(w, {entry(0x0A000001, rec, 2), entry(0x0A000002, 300, 30)});
    cases.push_back({"a chain over the header",
                     w.finish(),
                     {},
                     "entry 0x0A000002 at 0x0000012C: block 0x0000012C overlaps the header\n"});
  }
  {
    // The root's first child slot leads back to the root; opening the archive fails.
    build::ArchiveWriter w(256);
    const std::uint32_t rec = w.add_chain(Bytes{1, 2});
    build::NodeSpec root;
    root.entry_count = 1;
    root.entries = {entry(0x0A000001, rec, 2)};
    const std::uint32_t root_at = w.add_node(root);
    w.put_u32(root_at + 4, root_at);  // branches[0], after the block's pointer
    w.header().root_offset = root_at;
    cases.push_back({"a directory cycle",
                     w.finish(),
                     {"--full"},
                     "directory node 0x00000290: is its own ancestor (reached from directory "
                     "node 0x00000290)\n"
                     "header: the archive does not open: directory node at offset 0x00000290 is "
                     "its own ancestor (reached from node at 0x00000290)\n"});
  }
  {
    // The same id in two entries, and a compressed record whose stream declares more bytes than
    // it makes.
    build::ArchiveWriter w(256);
    Bytes lrs = build::compress_lrs(Bytes(50, 9));
    lrs[0] = 60;
    const std::uint32_t a = w.add_chain(Bytes{1});
    const std::uint32_t b = w.add_chain(Bytes{2});
    const std::uint32_t c = w.add_chain(lrs);
    w.header().root_offset =
        node_at(w, {entry(0x0A000001, a, 1), entry(0x0A000001, b, 1),
                    entry(0x0A000002, c, static_cast<std::uint32_t>(lrs.size()), 1)});
    const Bytes bytes = w.finish();
    const std::string repeated =
        "entry 0x0A000001 at 0x00000290: id appears 2 times in the directory; only the entry met "
        "last is read\n";
    cases.push_back({"repeated id", bytes, {}, repeated});
    cases.push_back({"repeated id, bad stream",
                     bytes,
                     {"--full"},
                     repeated + "entry 0x0A000002 at 0x00000390: decompresses to 50 bytes, but "
                                "declares 60\n"});
  }

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string archive = write_bytes(dir, c.archive);
    std::vector<std::string> args = {"verify", archive};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const RunResult run = run_cli(args);
    EXPECT_EQ(run.out, c.out);
    if (c.out.empty()) {
      EXPECT_EQ(run.exit_status, 0);
      EXPECT_EQ(run.err, "");
    } else {
      const auto lines = std::count(c.out.begin(), c.out.end(), '\n');
      EXPECT_EQ(run.exit_status, 65);
      EXPECT_EQ(run.err, "quorvale-dat: " + archive + ": " + std::to_string(lines) +
                             (lines == 1 ? " problem\n" : " problems\n"));
    }
  }
}

TEST(Cli, VerifyJson) {
  TempDir dir;
  const std::string sound = write_archive(dir, example_records(), "sound.dat");
  const RunResult ok = run_cli({"verify", "--json", "--full", sound});
  EXPECT_EQ(ok.exit_status, 0);
  EXPECT_EQ(Json::parse(ok.out),
            Json::parse(R"({"archive": ")" + sound + R"(", "full": true, "nodes": 1,
                            "entries": 7, "records_read": 7, "ok": true, "problems": []})"));

  const std::string broken = write_bytes(
      dir, one_node_archive({}, [](const std::vector<std::uint32_t>&, build::ArchiveWriter&) {
        return std::vector<DatFileEntry>{entry(0x0A000002, 0x00100000, 5)};
      }));
  const RunResult bad = run_cli({"verify", broken, "--json"});
  EXPECT_EQ(bad.exit_status, 65);
  const Json doc = Json::parse(bad.out);
  EXPECT_EQ(doc["ok"], false);
  EXPECT_EQ(doc["full"], false);
  EXPECT_EQ(doc["records_read"], 0);
  EXPECT_EQ(doc["problems"],
            Json::parse(R"([{"place": "entry", "id": 167772162, "id_hex": "0x0A000002",
                             "offset": 1048576, "offset_hex": "0x00100000",
                             "message": "block 0x00100000 lies outside the file",
                             "kind": "block-outside-file", "tolerated": false,
                             "block": 1048576, "block_hex": "0x00100000", "count": 1}])"));
}

TEST(Cli, VerifyOutcomes) {
  TempDir dir;
  const std::string sound = write_archive(dir, example_records(), "sound.dat");
  const std::string empty = write_bytes(dir, {}, "empty.dat");
  const std::string zeros = write_bytes(dir, Bytes(4096, 0), "zeros.dat");
  const std::string broken = write_bytes(
      dir,
      one_node_archive({},
                       [](const std::vector<std::uint32_t>&, build::ArchiveWriter&) {
                         return std::vector<DatFileEntry>{entry(0x0A000002, 0x00100000, 5)};
                       }),
      "broken.dat");
  struct Case {
    std::string name;
    std::vector<std::string> args;
    int status;
    std::string out;  // exactly; "{" for a JSON document
  };
  const std::vector<Case> cases = {
      {"sound is silent", {"verify", sound}, 0, ""},
      {"sound, -v",
       {"verify", "-v", sound},
       0,
       sound + ": no problems in 1 directory node and 7 entries (--full also reads the records)\n"},
      {"sound, -v --full",
       {"verify", "--verbose", "--full", sound},
       0,
       sound + ": no problems in 1 directory node and 7 entries, 7 records read\n"},
      {"zeros, -v: nothing to check, and says so",
       {"verify", "-v", zeros},
       0,
       zeros +
           ": no problems in 0 directory nodes and 0 entries (--full also reads the records)\n"},
      {"-v with --json prints the document alone", {"verify", "-v", "--json", sound}, 0, "{"},
      {"empty, --json", {"verify", "--json", empty}, 65, "{"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const RunResult run = run_cli(c.args);
    EXPECT_EQ(run.exit_status, c.status) << run.err;
    if (c.out == "{") {
      EXPECT_TRUE(run.out.starts_with("{")) << run.out;
    } else if (c.status != 2) {
      EXPECT_EQ(run.out, c.out);
    }
  }
  const Json doc = Json::parse(run_cli({"verify", "--json", empty}).out);
  EXPECT_EQ(doc["ok"], false);
  ASSERT_EQ(doc["problems"].size(), 1u);
  EXPECT_EQ(doc["problems"][0]["place"], "header");
  EXPECT_EQ(doc["problems"][0]["kind"], "does-not-open");
  EXPECT_EQ(doc["problems"][0]["message"],
            "the file ends at byte 0, inside the header (field 'magic')");

  // Output that cannot be written is 74 whatever verify found.
  for (const std::string& archive : {sound, broken}) {
    const std::string command = std::string("'") + QUORVALE_DAT_CLI_PATH + "' verify -v '" +
                                archive + "' >/dev/full 2>/dev/null";
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 74) << archive;
  }

  const RunResult info = run_cli({"info", zeros});
  EXPECT_EQ(info.exit_status, 0);
  EXPECT_NE(info.out.find("entries               0 (the directory is empty)\n"), std::string::npos)
      << info.out;
}

// ---------------------------------------------------------------------------------------------
// The sample archive

TEST(Cli, SampleArchive) {
  TempDir dir;
  const fs::path path = dir.path() / "client_portal.dat";
  const std::string command =
      std::string("'") + QUORVALE_DAT_SAMPLE_WRITER_PATH + "' '" + path.string() + "' >/dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0);

  const RunResult verify = run_cli({"verify", "--full", path.string()});
  EXPECT_EQ(verify.exit_status, 0) << verify.out << verify.err;

  // Every texture exports, the gallery's one of each format among them.
  const fs::path out = dir.path() / "textures";
  const RunResult all = run_cli({"texture", path.string(), "--all", out.string()});
  EXPECT_EQ(all.exit_status, 0) << all.err;
  EXPECT_EQ(all.err, "");
  const std::vector<std::string> formats = {"A8R8G8B8", "R8G8B8",  "R5G6B5", "A4R4G4B4",
                                            "A8",       "Index16", "Dxt1",   "Dxt2",
                                            "Dxt3",     "Dxt4",    "Dxt5",   "CustomRawJpeg"};
  for (std::uint32_t i = 0; i < formats.size(); ++i) {
    const std::uint32_t id = 0x06000D00 + i;
    SCOPED_TRACE(formats[i]);
    const RunResult show = run_cli({"show", path.string(), hex8(id)});
    EXPECT_NE(show.out.find(" " + formats[i] + " (0x"), std::string::npos) << show.out;
    if (formats[i] == "CustomRawJpeg") {
      const Bytes jpeg = read_bytes(out / (hex8(id) + ".jpg"));
      ASSERT_GE(jpeg.size(), 4u);
      EXPECT_EQ(jpeg[0], 0xFF);
      EXPECT_EQ(jpeg[1], 0xD8);
      EXPECT_EQ(jpeg[jpeg.size() - 2], 0xFF);
      EXPECT_EQ(jpeg.back(), 0xD9);
      continue;
    }
    const std::optional<Picture> picture = read_png(out / (hex8(id) + ".png"));
    ASSERT_TRUE(picture.has_value());
    EXPECT_EQ(picture->width, 32u);
    EXPECT_EQ(picture->height, 32u);
  }
  EXPECT_TRUE(read_png(out / "0x06000C30.png").has_value());

#ifdef QUORVALE_DAT_DUMP_PATH
  const RunResult dump = quorvale_dat::test::run_program(QUORVALE_DAT_DUMP_PATH, {path.string()});
  const RunResult surface = run_cli({"surface", path.string()});
  EXPECT_EQ(surface.exit_status, 0);
  EXPECT_EQ(surface.out, dump.out);
#endif
}

}  // namespace
