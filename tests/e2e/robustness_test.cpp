// dump_surface_80003e4 on hostile archives: its peak memory on crafted worst cases stays within
// a constant plus a multiple of the archive's size, and archives built here with a few bytes
// changed end in a report (status 0) or the failure procedure (status 101), never in a signal, a
// sanitizer report or a hang.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <span>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quorvale_dat/database.hpp"
#include "quorvale_dat/file_type/surface.hpp"
#include "quorvale_dat/file_type/surface_texture.hpp"
#include "quorvale_dat/file_type/texture.hpp"
#include "quorvale_dat/utils.hpp"
#include "quorvale_dat_builder/archive_builder.hpp"
#include "quorvale_dat_builder/records.hpp"
#include "support/subprocess.hpp"

namespace {

namespace build = quorvale_dat::build;
namespace ft = quorvale_dat::file_type;
using quorvale_dat::DatFileEntry;
using quorvale_dat::kDirectoryNodeSize;
using quorvale_dat::test::RunResult;
using quorvale_dat::test::TempDir;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kSurfaceId = 0x080003E4;
constexpr std::uint32_t kSurfaceTextureId = 0x05000001;
constexpr std::uint32_t kTextureId = 0x06000001;
constexpr std::uint32_t kPaletteId = 0x04000001;
constexpr std::uint32_t kP8 = 41;
constexpr std::uint32_t kA8R8G8B8 = 21;
constexpr std::uint32_t kHeaderEnd = 400;  // the header at 320 and its 80 bytes

const std::string kHint =
    "note: this tool does not record backtraces; the lines above name the failing step and its "
    "error\n";

void store_u32(Bytes& bytes, std::size_t at, std::uint32_t value) {
  for (std::size_t k = 0; k < 4; ++k) bytes[at + k] = static_cast<std::uint8_t>(value >> (8 * k));
}

Bytes le32(std::uint32_t value) {
  Bytes b(4);
  store_u32(b, 0, value);
  return b;
}

// ---------------------------------------------------------------------------------------------
// Records

Bytes surface_bytes(std::uint32_t texture_id, std::uint32_t palette_id) {
  ft::Surface s;
  s.surface_type = 2;
  s.texture_refs = ft::TextureRefs{texture_id, palette_id};
  s.diffuse = 1;
  return build::encode_surface(s);
}

Bytes coloured_surface_bytes() {
  ft::Surface s;
  s.surface_type = 1;
  s.color_value = 0xFF336699;
  return build::encode_surface(s);
}

Bytes texture_bytes(std::int32_t width, std::int32_t height, std::uint32_t format, Bytes pixels,
                    std::optional<std::uint32_t> palette) {
  return build::encode_texture(
      build::make_texture(kTextureId, width, height, format, std::move(pixels), palette));
}

// An LRS stream written token by token: literals and back-references, eight to a flag byte.
class LrsStream {
 public:
  explicit LrsStream(std::uint32_t declared) : bytes_(le32(declared)) {}

  void literals(std::span<const std::uint8_t> values) {
    for (std::uint8_t v : values) {
      token(false);
      bytes_.push_back(v);
      ++output_size_;
    }
  }
  // Requires: 1 <= distance <= 4095, 2 <= length <= 17, and some output made already.
  void reference(std::uint32_t distance, std::uint32_t length) {
    token(true);
    bytes_.push_back(static_cast<std::uint8_t>(distance & 0xFF));
    bytes_.push_back(static_cast<std::uint8_t>(((distance >> 8) << 4) | (length - 2)));
    output_size_ += length;
  }
  // The output's size, while it stays below the declared size.
  [[nodiscard]] std::size_t output_size() const noexcept { return output_size_; }
  [[nodiscard]] const Bytes& bytes() const noexcept { return bytes_; }

 private:
  void token(bool reference) {
    if (tokens_ % 8 == 0) {
      flag_at_ = bytes_.size();
      bytes_.push_back(0);
    }
    if (reference) bytes_[flag_at_] |= static_cast<std::uint8_t>(0x80u >> (tokens_ % 8));
    ++tokens_;
  }

  Bytes bytes_;
  std::size_t tokens_ = 0;
  std::size_t flag_at_ = 0;
  std::size_t output_size_ = 0;
};

// `prefix` as literals, then `references` back-references of 17 bytes at `distance`: after the
// prefix every 17 stream bytes (a flag byte and eight references) make 136 output bytes, the
// most any LRS stream can make. The declared size is the largest there is.
LrsStream eightfold_stream(const Bytes& prefix, std::uint32_t distance, std::size_t references) {
  LrsStream s(0xFFFFFFFF);
  s.literals(prefix);
  for (std::size_t i = 0; i < references; ++i) s.reference(distance, 17);
  return s;
}

// A record as it lies in the archive: its stored bytes (already compressed where `compressed`
// says so) and the size its entry claims.
struct Stored {
  std::uint32_t id;
  Bytes bytes;
  bool compressed = false;
  std::optional<std::uint32_t> claimed_size = std::nullopt;
};

// An archive of the stored records in chains of `block_size`, listed in one leaf node.
Bytes archive_of(const std::vector<Stored>& records, std::uint32_t block_size = 1024) {
  build::ArchiveWriter w(block_size);
  build::NodeSpec root;
  for (const Stored& r : records) {
    const std::uint32_t at = w.add_chain(r.bytes);
    root.entries.push_back(DatFileEntry{
        .bit_flags = r.compressed ? 1u : 0u,
        .id = r.id,
        .offset = at,
        .size = r.claimed_size.value_or(static_cast<std::uint32_t>(r.bytes.size())),
    });
  }
  root.entry_count = static_cast<std::uint32_t>(root.entries.size());
  w.header().root_offset = w.add_node(root);
  return w.finish();
}

// ---------------------------------------------------------------------------------------------
// Running the tool

constexpr std::chrono::seconds kRunLimit{20};  // a run ends well within this, asan build included

// Checks that a run ended in a report or in the failure procedure: status 0 with nothing on
// standard error, or status 101 with exactly the failure text on it (a debug text may span
// several lines, so its middle is only checked for sanitizer reports). Standard output holds
// whole lines either way. `pid` is the tool's process id, which its failure text names.
testing::AssertionResult clean_outcome(const RunResult& run, pid_t pid) {
  auto fail = [&] {
    return testing::AssertionFailure()
           << "\nstatus " << run.exit_status << ", signal " << run.signal << ", stderr:\n"
           << run.err << "\nstdout tail:\n"
           << run.out.substr(run.out.size() - std::min<std::size_t>(run.out.size(), 300));
  };
  if (run.timed_out) return fail() << "\nthe run timed out";
  if (run.signal != 0) return fail() << "\nthe run was ended by a signal";
  if (!run.out.empty() && run.out.back() != '\n') return fail() << "\nstdout ends inside a line";
  if (run.exit_status == 0) {
    if (!run.err.empty()) return fail() << "\nstatus 0 with text on stderr";
    return testing::AssertionSuccess();
  }
  if (run.exit_status != 101) return fail() << "\nstatus neither 0 nor 101";
  for (const char* report : {"AddressSanitizer", "LeakSanitizer", "runtime error"}) {
    if (run.err.find(report) != std::string::npos) return fail() << "\na sanitizer report";
  }
  const std::string header = "\nthread 'main' (" + std::to_string(pid) +
                             ") panicked at examples/dump_surface_80003e4.cpp:";
  if (!run.err.starts_with(header)) return fail() << "\nno panic header";
  if (!run.err.ends_with(kHint)) return fail() << "\nno hint line at the end";
  const std::size_t message_at = run.err.find('\n', header.size()) + 1;
  static constexpr std::string_view kSteps[] = {
      "open dat: ",           "get surface: ",           "unpack surface: ",
      "get surfacetexture: ", "unpack surfacetexture: ", "index out of bounds: ",
      "get texture: ",        "unpack texture: ",        "failed printing to stdout: "};
  const std::string_view message = std::string_view(run.err).substr(message_at);
  if (std::none_of(std::begin(kSteps), std::end(kSteps),
                   [&](std::string_view step) { return message.starts_with(step); })) {
    return fail() << "\nthe message names no step of the tool";
  }
  return testing::AssertionSuccess();
}

// ---------------------------------------------------------------------------------------------
// Peak memory
//
// What one archive of N bytes can make the tool hold at once, from the code:
//  - opening: the staged directory entries, at most 61 per node and N / 1716 nodes, so 24 bytes
//    x 61 / 1716 = 0.85 N, twice that while the staging vector grows and while the map is sorted
//    into place, plus the walk's own stack of at most N / 1716 frames (0.15 N);
//  - read_file_data: a buffer of at most min(size, N); a chain that would supply more than the
//    file holds revisits (or overlaps) blocks and is corrupt;
//  - decompression: at most 8 bytes per stored byte; the stored bytes are freed after it;
//  - the report frees each record's bytes once decoded; it holds the texture's pixel copy while
//    each palette's bytes and colour copy are held, and both the texture's bytes and its copy
//    while it is decoded. Entries may share a chain, so one compressed chain of N bytes can be
//    the surface, the texture and a palette at once: 3 x 8 N = 24 N;
//  - the SurfaceTexture's line has 3.5 text bytes per id byte ("0x06000001", with quotes, comma
//    and space), built once and written without copies: 28 N of text for 8 N of ids, 36 N.
// The multiples the tests hold the tool to, with room over those figures: kK for records, and the
// line's own.
// kSlackKib absorbs page-granular noise between runs.
constexpr double kK = 32;
constexpr double kKIdList = 40;
constexpr long kSlackKib = 2048;

constexpr std::size_t kLarge = 4u << 20;  // the size of the large crafted archives

// (a) A directory of as many nodes as the file can hold, every one with 61 entries, in one line
// of descent: each node's slot 0 names the next, so the walk's stack holds all of them at once.
// A block size of 1720 makes every node one block. The deepest node lists a coloured surface,
// so the run ends with status 0 after opening.
Bytes directory_worst_case() {
  build::ArchiveWriter w(kDirectoryNodeSize + 4);
  const Bytes surface = coloured_surface_bytes();
  const std::uint32_t surface_at = w.add_chain(surface);
  const std::size_t nodes = (kLarge - w.size()) / (kDirectoryNodeSize + 4);
  std::uint32_t below = 0;
  std::uint32_t id = 0x01000000;
  for (std::size_t n = 0; n < nodes; ++n) {
    build::NodeSpec node;
    node.branches[0] = below;
    node.entry_count = 61;
    for (int e = 0; e < 61; ++e) node.entries.push_back(DatFileEntry{.id = id++});
    if (n == 0) {
      node.entries[0] = DatFileEntry{.id = kSurfaceId,
                                     .offset = surface_at,
                                     .size = static_cast<std::uint32_t>(surface.size())};
    }
    below = w.add_node(node);
  }
  w.header().root_offset = below;
  return w.finish();
}

// (b) A texture stored compressed eightfold with declared size 0xFFFFFFFF: its 24-byte header
// as literals (a length that matches the output), then runs of its last byte.
Bytes eightfold_texture_case() {
  const std::size_t references = (kLarge / 17) * 8;
  const std::size_t pixels = references * 17;
  Bytes header = texture_bytes(1, 1, kA8R8G8B8, {}, std::nullopt);
  store_u32(header, 20, static_cast<std::uint32_t>(pixels));
  const LrsStream stream = eightfold_stream(header, 1, references);
  return archive_of(
      {{kSurfaceId, surface_bytes(kTextureId, 0)}, {kTextureId, stream.bytes(), true}});
}

// (b') The texture of (b) with its stream read twice over, from a chain of two overlapping full
// blocks of about N bytes each: block X at 4096 names block Y 31 bytes further on. The stream
// starts in X's payload with the declared size and the texture's 24 bytes as three groups of
// literals, whose last four bytes (the texture's length) are Y's pointer; groups of eight
// references follow to the end of the file. Y's payload starts where the literals end, and a
// block size of 1 modulo 17 makes X's payload end where a group ends, so the second pass goes on
// from a group's start. Two full blocks are as many as a file of N < 2 x block_size may visit.
Bytes revisiting_eightfold_texture_case(std::size_t archive_size) {
  constexpr std::uint32_t kX = 4096;
  constexpr std::uint32_t kSurfaceAt = 400;
  constexpr std::uint32_t kRoot = 512;
  auto block_size = static_cast<std::uint32_t>(archive_size - kX - 31);
  while (block_size % 17 != 1) --block_size;
  const std::uint32_t file_size = kX + 31 + block_size;
  build::ArchiveWriter w(block_size);
  w.put_u32(file_size - 4, 0);
  w.header().root_offset = kRoot;
  Bytes file = w.finish();

  // The output: the 24 literal bytes, X's groups after them, then Y's payload, whose last 14
  // bytes are a flag byte, six references and one byte that ends the stream.
  const std::size_t output =
      24 + (block_size - 35) / 17 * 136 + (block_size - 4) / 17 * 136 + 6 * 17;
  Bytes header = texture_bytes(1, 1, kA8R8G8B8, {}, std::nullopt);
  store_u32(header, 20, static_cast<std::uint32_t>(output - 24));
  LrsStream stream(0xFFFFFFFF);
  stream.literals(header);
  for (std::uint32_t k = 0; k < 8; ++k) stream.reference(1, 17);
  const Bytes& start = stream.bytes();  // the declared size, the literals and one group
  store_u32(file, kX, kX + 31);
  std::copy(start.begin(), start.end(), file.begin() + kX + 4);
  for (std::size_t at = kX + 4 + start.size(); at < file_size; ++at) {
    file[at] = start[4 + 27 + (at - kX - 35) % 17];
  }

  const Bytes surface = surface_bytes(kTextureId, 0);
  std::copy(surface.begin(), surface.end(), file.begin() + kSurfaceAt + 4);  // pointer 0 first
  build::NodeSpec root;
  root.entry_count = 2;
  root.entries = {
      DatFileEntry{.id = kSurfaceId,
                   .offset = kSurfaceAt,
                   .size = static_cast<std::uint32_t>(surface.size())},
      DatFileEntry{.bit_flags = 1, .id = kTextureId, .offset = kX, .size = 2 * (block_size - 4)}};
  const Bytes node = build::encode_node(root);
  std::copy(node.begin(), node.end(), file.begin() + kRoot + 4);
  return file;
}

// (b'') One chain compressed eightfold that the surface, the texture and a palette all name, so
// that the tool holds it three times over, with the texture's pixels and the palette's colours:
// the most records read once can cost. Its words serve every record at once: 2 is a textured
// surface type; the texture id (the surface's reference, the texture's _unknown) is the
// palette's colour count; the palette id is the surface's palette and the texture's width, and
// follows the pixels as the P8 texture's default palette; 41 (P8) is the luminosity's bits.
Bytes shared_chain_case() {
  const std::size_t references = (kLarge / 17) * 8;
  const std::size_t pixels = references * 17;
  const auto colors = static_cast<std::uint32_t>((24 + pixels + 4 - 8) / 4);
  const std::uint32_t texture_id = colors;  // below 0x05000000: a direct texture reference
  Bytes header;
  for (std::uint32_t word :
       {2u, texture_id, kPaletteId, 1u, kP8, static_cast<std::uint32_t>(pixels)}) {
    for (std::uint8_t b : le32(word)) header.push_back(b);
  }
  LrsStream stream = eightfold_stream(header, 1, references);
  stream.literals(le32(kPaletteId));
  build::ArchiveWriter w(1024);
  const std::uint32_t at = w.add_chain(stream.bytes());
  build::NodeSpec root;
  for (std::uint32_t id : {kSurfaceId, texture_id, kPaletteId}) {
    root.entries.push_back(DatFileEntry{.bit_flags = 1,
                                        .id = id,
                                        .offset = at,
                                        .size = static_cast<std::uint32_t>(stream.bytes().size())});
  }
  root.entry_count = 3;
  w.header().root_offset = w.add_node(root);
  return w.finish();
}

// (c) A surface whose entry claims 0xFFFFFFFF stored bytes, in a small file.
Bytes huge_claim_case() {
  return archive_of({{kSurfaceId, surface_bytes(kTextureId, 0), false, 0xFFFFFFFF}});
}

// (c') A surface whose chain revisits its blocks to supply about three times the file: block
// A (at 400) names block B (at 404, overlapping A), which names a last block L at 408 (where B's
// payload starts with four zero bytes). With a block size of N - 404, A and B are two full
// blocks of N / block_size + 1 = 2, and L supplies the rest of the file. The surface decodes
// from A's payload: type 0x198 (B's pointer, untextured) and colour 0 (L's pointer).
Bytes revisiting_chain_case() {
  const std::uint32_t file_size = kLarge;
  const std::uint32_t block_size = file_size - 404;
  constexpr std::uint32_t kRoot = 1024;
  build::ArchiveWriter w(block_size);
  w.put_u32(file_size - 4, 0);
  w.header().root_offset = kRoot;
  Bytes file = w.finish();
  store_u32(file, 400, 404);  // A -> B
  store_u32(file, 404, 408);  // B -> L; L's pointer at 408 stays 0
  const std::uint32_t supplied = 2 * (block_size - 4) + (file_size - 412);
  build::NodeSpec root;
  root.entry_count = 1;
  root.entries.push_back(DatFileEntry{.id = kSurfaceId, .offset = 400, .size = supplied});
  const Bytes node = build::encode_node(root);
  std::copy(node.begin(), node.end(), file.begin() + kRoot + 4);  // pointer 0, then the node
  return file;
}

// (d) A texture whose length says 2147483647 over a few pixel bytes.
Bytes huge_texture_length_case() {
  Bytes texture = texture_bytes(1, 1, kP8, {1, 2, 3, 4}, kPaletteId);
  store_u32(texture, 20, 0x7FFFFFFF);
  return archive_of({{kSurfaceId, surface_bytes(kTextureId, 0)}, {kTextureId, texture}});
}

// (e) A SurfaceTexture stored compressed eightfold: its 13-byte header and first id as literals,
// then runs repeating that id, and a count covering all of them. Its report line lists every id.
Bytes eightfold_texture_list_case(std::size_t archive_size) {
  const std::size_t references = (archive_size / 17) * 8;
  const std::size_t ids = (4 + references * 17) / 4;
  Bytes prefix = le32(kSurfaceTextureId);
  prefix.insert(prefix.end(), 5, 0);  // unknown_int, unknown_byte
  for (std::uint8_t b : le32(static_cast<std::uint32_t>(ids))) prefix.push_back(b);
  for (std::uint8_t b : le32(kTextureId)) prefix.push_back(b);
  const LrsStream stream = eightfold_stream(prefix, 4, references);
  return archive_of({{kSurfaceId, surface_bytes(kSurfaceTextureId, 0)},
                     {kSurfaceTextureId, stream.bytes(), true},
                     {kTextureId, texture_bytes(2, 2, kP8, {0, 1, 1, 0}, kPaletteId)}});
}

// A small archive of the whole report: the baseline of the tool's own constant memory.
Bytes baseline_archive() {
  return build::build_archive(
      {{.id = kSurfaceId, .data = surface_bytes(kSurfaceTextureId, kPaletteId)},
       {.id = kSurfaceTextureId,
        .data = build::encode_surface_texture({kSurfaceTextureId, 0, 0, {kTextureId}})},
       {.id = kTextureId, .data = texture_bytes(2, 2, kP8, {0, 1, 1, 0}, kPaletteId)},
       {.id = kPaletteId, .data = build::encode_palette({kPaletteId, {0xFF000000, 0xFFFFFFFF}})}},
      {.block_size = 256});
}

struct Measured {
  RunResult run;
  long peak_kib = 0;
  double seconds = 0;
};

// Under AddressSanitizer a freed buffer waits in a quarantine (256 MiB by default) before its
// memory is used again, so every buffer the tool ever freed would count towards its peak. The
// measured runs turn the quarantine off; the mutation runs below keep it.
class NoQuarantine {
 public:
  NoQuarantine() {
    const char* old = std::getenv("ASAN_OPTIONS");
    if (old != nullptr) saved_ = old;
    const std::string options = (saved_ ? *saved_ + ":" : std::string()) + "quarantine_size_mb=0";
    ::setenv("ASAN_OPTIONS", options.c_str(), 1);
  }
  NoQuarantine(const NoQuarantine&) = delete;
  NoQuarantine& operator=(const NoQuarantine&) = delete;
  ~NoQuarantine() {
    if (saved_) {
      ::setenv("ASAN_OPTIONS", saved_->c_str(), 1);
    } else {
      ::unsetenv("ASAN_OPTIONS");
    }
  }

 private:
  std::optional<std::string> saved_;
};

// Runs the tool on `archive` through peak_rss, which reports the tool's own peak RSS.
Measured measure(const TempDir& dir, const Bytes& archive) {
  const NoQuarantine no_quarantine;
  const std::filesystem::path path = dir.path() / "archive.dat";
  const std::filesystem::path report = dir.path() / "peak.txt";
  build::write_file(path, archive);
  std::filesystem::remove(report);
  Measured m;
  const auto start = Clock::now();
  m.run = quorvale_dat::test::run_program(
      QUORVALE_DAT_PEAK_RSS_PATH, {report.string(), QUORVALE_DAT_TOOL_PATH, path.string()},
      {.cwd = {}, .close_after_first_line = false, .timeout = kRunLimit});
  m.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::ifstream in(report);
  int status = -1;
  int signal = -1;
  in >> status >> signal >> m.peak_kib;
  EXPECT_TRUE(in) << "no report from peak_rss";
  // The tool's own status and signal, as peak_rss saw them.
  m.run.exit_status = status;
  m.run.signal = signal;
  return m;
}

TEST(ToolRobustness, PeakMemoryStaysWithinAMultipleOfTheArchive) {
  TempDir dir;
  const Measured baseline = measure(dir, baseline_archive());
  ASSERT_EQ(baseline.run.exit_status, 0) << baseline.run.err;
  std::printf("baseline: peak RSS %ld KiB\n", baseline.peak_kib);

  struct Case {
    const char* name;
    std::function<Bytes()> build;
    int status;
    double multiple;
  };
  const std::vector<Case> cases = {
      {"(a) directory of the most nodes, 61 entries each", directory_worst_case, 0, kK},
      {"(b) texture compressed eightfold", eightfold_texture_case, 0, kK},
      {"(b') texture compressed eightfold, read twice by its chain",
       [] { return revisiting_eightfold_texture_case(kLarge); }, 101, kK},
      {"(b'') one eightfold chain as surface, texture and palette", shared_chain_case, 0, kK},
      {"(c) stored size 0xFFFFFFFF in a small file", huge_claim_case, 101, kK},
      {"(c') chain revisiting blocks for three times the file", revisiting_chain_case, 101, kK},
      {"(d) texture length 2147483647", huge_texture_length_case, 101, kK},
      {"(e) SurfaceTexture list compressed eightfold",
       [] { return eightfold_texture_list_case(kLarge / 4); }, 0, kKIdList},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Measured m;
    std::size_t n = 0;
    {
      const Bytes archive = c.build();
      n = archive.size();
      m = measure(dir, archive);
    }
    EXPECT_EQ(m.run.exit_status, c.status) << m.run.err;
    EXPECT_EQ(m.run.signal, 0);
    EXPECT_FALSE(m.run.timed_out);
    EXPECT_LT(m.seconds, 15.0);
    const long growth = m.peak_kib - baseline.peak_kib;
    const double n_kib = static_cast<double>(n) / 1024;
    EXPECT_LE(static_cast<double>(growth), c.multiple * n_kib + kSlackKib)
        << "archive " << n << " bytes, peak " << m.peak_kib << " KiB";
    std::printf("%-55s N = %8zu B  peak %7ld KiB  growth %7ld KiB = %6.2f N  %.2f s  status %d\n",
                c.name, n, m.peak_kib, growth, static_cast<double>(growth) / n_kib, m.seconds,
                m.run.exit_status);
  }
}

// The crafted streams decode as the cases above intend: the texture's length matches the output
// (so the tool copies all of it), and the list's count covers it.
TEST(ToolRobustness, CraftedStreamsExpandEightfold) {
  const std::size_t references = 800;
  const LrsStream texture = eightfold_stream(Bytes(24, 7), 1, references);
  const Bytes out = quorvale_dat::utils::decompress_lrs(texture.bytes());
  EXPECT_EQ(out.size(), texture.output_size());
  EXPECT_EQ(out.size(), 24 + references * 17);
  EXPECT_EQ((texture.bytes().size() - 4 - 27) * 8, references * 17);

  const Bytes archive = eightfold_texture_list_case(2000);
  const build::TempFile file(archive);
  auto db = quorvale_dat::DatDatabase::open(file.path());
  ASSERT_TRUE(db) << db.error().debug();
  auto bytes = db->get_file(kSurfaceTextureId);
  ASSERT_TRUE(bytes) << bytes.error().debug();
  auto list = ft::SurfaceTexture::unpack(*bytes);
  ASSERT_TRUE(list) << list.error().display();
  EXPECT_EQ(list->textures.size(), (bytes->size() - 13) / 4);
  EXPECT_TRUE(std::all_of(list->textures.begin(), list->textures.end(),
                          [](std::uint32_t id) { return id == kTextureId; }));

  // Chains that revisit their blocks to supply more than the file holds are corrupt.
  const build::TempFile twice(revisiting_eightfold_texture_case(100000));
  auto db3 = quorvale_dat::DatDatabase::open(twice.path());
  ASSERT_TRUE(db3) << db3.error().debug();
  EXPECT_GT(db3->files().get(kTextureId)->size, db3->file_size());
  auto pixels = db3->get_file(kTextureId);
  ASSERT_FALSE(pixels);
  ASSERT_TRUE(pixels.error().holds<quorvale_dat::DatError::Corruption>()) << pixels.error().debug();
  EXPECT_NE(pixels.error().display().find("supplies more bytes than the file holds"),
            std::string::npos);

  const build::TempFile revisiting(revisiting_chain_case());
  auto db2 = quorvale_dat::DatDatabase::open(revisiting.path());
  ASSERT_TRUE(db2) << db2.error().debug();
  auto surface = db2->get_file(kSurfaceId);
  ASSERT_FALSE(surface);
  EXPECT_TRUE(surface.error().holds<quorvale_dat::DatError::Corruption>())
      << surface.error().debug();
}

// ---------------------------------------------------------------------------------------------
// Mutations of valid archives

// Byte ranges of an archive worth aiming at: the header, the blocks of the directory's nodes and
// the blocks of the chains of the records the tool reads, found by following the chains as the
// reader does.
struct Regions {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> header, nodes, records;  // [begin, end)
};

std::uint32_t load_u32(const Bytes& bytes, std::size_t at) {
  std::uint32_t v = 0;
  for (std::size_t k = 0; k < 4; ++k) v |= static_cast<std::uint32_t>(bytes[at + k]) << (8 * k);
  return v;
}

// The blocks of the chain at `offset` that supply `size` bytes. Requires: a well-formed chain.
void add_chain_blocks(const Bytes& archive, std::uint32_t block_size, std::uint32_t offset,
                      std::uint32_t size,
                      std::vector<std::pair<std::uint32_t, std::uint32_t>>& blocks) {
  std::uint32_t remaining = size;
  while (remaining > 0) {
    const std::uint32_t n = std::min(remaining, block_size - 4);
    blocks.emplace_back(offset, offset + 4 + n);
    remaining -= n;
    offset = load_u32(archive, offset);
    if (offset == 0) break;
  }
}

Regions regions_of(const Bytes& archive, std::span<const std::uint32_t> report_ids) {
  Regions r;
  r.header.emplace_back(320, kHeaderEnd);
  const std::uint32_t block_size = load_u32(archive, 324);
  std::vector<std::uint32_t> pending = {load_u32(archive, 352)};  // root_offset
  while (!pending.empty()) {
    const std::uint32_t node = pending.back();
    pending.pop_back();
    if (node == 0) continue;
    const std::size_t first = r.nodes.size();
    add_chain_blocks(archive, block_size, node, kDirectoryNodeSize, r.nodes);
    // The node's content, gathered from its blocks.
    Bytes content;
    for (std::size_t b = first; b < r.nodes.size(); ++b) {
      content.insert(content.end(), archive.begin() + r.nodes[b].first + 4,
                     archive.begin() + r.nodes[b].second);
    }
    const std::uint32_t count = load_u32(content, 248);
    for (std::uint32_t e = 0; e < count; ++e) {
      const std::size_t at = 252 + 24 * e;
      if (std::find(report_ids.begin(), report_ids.end(), load_u32(content, at + 4)) ==
          report_ids.end()) {
        continue;
      }
      add_chain_blocks(archive, block_size, load_u32(content, at + 8), load_u32(content, at + 12),
                       r.records);
    }
    if (load_u32(content, 0) != 0) {
      for (std::uint32_t slot = 0; slot <= count; ++slot)
        pending.push_back(load_u32(content, 4 * slot));
    }
  }
  return r;
}

struct BaseArchive {
  std::string name;
  Bytes bytes;
  Regions regions;
};

// The whole report's records: surface -> SurfaceTexture -> P8 texture with a default palette,
// and the surface's palette, which is also the first fixed one.
std::vector<build::Record> report_records(bool compressed, bool through_surface_texture) {
  Bytes pixels(64 * 64);
  for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<std::uint8_t>(i / 97 % 9);
  std::vector<std::uint32_t> colors(256);
  for (std::uint32_t i = 0; i < 256; ++i) colors[i] = 0xFF000000u | i * 0x010101u;
  const std::uint32_t surface_palette = 0x040010BE;
  return {
      {.id = kSurfaceId,
       .data =
           surface_bytes(through_surface_texture ? kSurfaceTextureId : kTextureId, surface_palette),
       .compressed = compressed},
      {.id = kSurfaceTextureId,
       .data = build::encode_surface_texture({kSurfaceTextureId, 7, 1, {kTextureId, 0x06000002}}),
       .compressed = compressed},
      {.id = kTextureId,
       .data = texture_bytes(64, 64, kP8, pixels, kPaletteId),
       .compressed = compressed},
      {.id = kPaletteId,
       .data = build::encode_palette({kPaletteId, colors}),
       .compressed = compressed},
      {.id = surface_palette,
       .data = build::encode_palette({surface_palette, {0x80FF0000, 0x00000000, 0xFF00FF00}})},
  };
}

// Small records around the report's, so that the directory has several levels.
void add_fillers(std::vector<build::Record>& records, std::size_t count, std::uint32_t seed) {
  std::mt19937 rng(seed);
  for (std::size_t i = 0; i < count; ++i) {
    build::Record r;
    r.id = 0x01000000u + static_cast<std::uint32_t>(rng() % 0x0C000000u);
    r.compressed = i % 3 == 0;
    r.data.resize(rng() % 200);
    for (auto& b : r.data) b = static_cast<std::uint8_t>(r.compressed ? 'a' + rng() % 3 : rng());
    records.push_back(std::move(r));
  }
}

std::vector<BaseArchive> base_archives() {
  struct Shape {
    const char* name;
    bool compressed;
    bool through_surface_texture;
    std::size_t fillers;
    build::ArchiveOptions options;
  };
  const std::vector<Shape> shapes = {
      {"plain, one node, block 256", false, true, 0, {.block_size = 256}},
      {"compressed, 3 per node, scattered, block 64",
       true,
       true,
       120,
       {.block_size = 64, .layout = build::Layout::Scattered, .seed = 5, .entries_per_node = 3}},
      {"compressed texture path, 5 per node, block 1024",
       true,
       false,
       60,
       {.block_size = 1024, .layout = build::Layout::Sequential, .entries_per_node = 5}},
      {"plain, 2 per node, scattered, block 256",
       false,
       true,
       40,
       {.block_size = 256, .layout = build::Layout::Scattered, .seed = 11, .entries_per_node = 2}},
  };
  std::vector<BaseArchive> out;
  for (const Shape& s : shapes) {
    std::vector<build::Record> records = report_records(s.compressed, s.through_surface_texture);
    add_fillers(records, s.fillers, static_cast<std::uint32_t>(out.size() + 1));
    Bytes bytes = build::build_archive(records, s.options);
    std::vector<std::uint32_t> report_ids;
    for (std::size_t r = 0; r < 5; ++r) report_ids.push_back(records[r].id);
    Regions regions = regions_of(bytes, report_ids);
    out.push_back({s.name, std::move(bytes), std::move(regions)});
  }
  return out;
}

// Changes 1 to 8 bytes, mostly in the header, the directory's nodes and the records' blocks:
// a bit flipped, a random byte, or 0x00 / 0xFF. Returns the changes as text.
std::string mutate(Bytes& bytes, const Regions& regions, std::mt19937_64& rng) {
  const auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
  std::ostringstream text;
  const std::size_t changes = 1 + pick(8);
  for (std::size_t i = 0; i < changes; ++i) {
    const std::size_t where = pick(10);
    const auto& ranges = where < 2 ? regions.header : where < 6 ? regions.nodes : regions.records;
    std::size_t at = 0;
    if (where == 9 || ranges.empty()) {
      at = pick(bytes.size());
    } else {
      const auto& [begin, end] = ranges[pick(ranges.size())];
      at = begin + pick(end - begin);
    }
    const std::uint8_t before = bytes[at];
    switch (pick(3)) {
      case 0:
        bytes[at] ^= static_cast<std::uint8_t>(1u << pick(8));
        break;
      case 1:
        bytes[at] = static_cast<std::uint8_t>(rng());
        break;
      default:
        bytes[at] = pick(2) == 0 ? 0x00 : 0xFF;
        break;
    }
    char line[64];
    std::snprintf(line, sizeof line, " [%zu] %02X->%02X", at, before, bytes[at]);
    text << line;
  }
  return text.str();
}

constexpr std::uint64_t kMutationSeed = 0x5EED0000;
constexpr std::size_t kMutants = 300;
constexpr std::chrono::seconds kMutationBudget{120};

TEST(ToolRobustness, MutatedArchivesEndInAReportOrTheFailureProcedure) {
  const std::vector<BaseArchive> bases = base_archives();
  TempDir dir;
  const std::string path = (dir.path() / "mutant.dat").string();
  for (const BaseArchive& base : bases) {
    SCOPED_TRACE(base.name);
    build::write_file(path, base.bytes);
    const RunResult run = quorvale_dat::test::run_program(QUORVALE_DAT_TOOL_PATH, {path});
    ASSERT_EQ(run.exit_status, 0) << run.err;
    ASSERT_TRUE(run.out.starts_with("=== Surface 0x080003E4 ===\n")) << run.out;
    ASSERT_FALSE(base.regions.nodes.empty());
    ASSERT_FALSE(base.regions.records.empty());
  }

  const auto start = Clock::now();
  std::size_t ran = 0;
  std::array<std::size_t, 2> by_status{};
  for (std::size_t i = 0; i < kMutants; ++i) {
    if (Clock::now() - start > kMutationBudget) break;
    const BaseArchive& base = bases[i % bases.size()];
    std::mt19937_64 rng(kMutationSeed + i);
    Bytes bytes = base.bytes;
    const std::string changes = mutate(bytes, base.regions, rng);
    build::write_file(path, bytes);
    const RunResult run = quorvale_dat::test::run_program(
        QUORVALE_DAT_TOOL_PATH, {path},
        {.cwd = {}, .close_after_first_line = false, .timeout = kRunLimit});
    ++ran;
    if (run.exit_status == 0 || run.exit_status == 101) ++by_status[run.exit_status == 0 ? 0 : 1];
    EXPECT_TRUE(clean_outcome(run, run.pid))
        << "mutant " << i << " (seed " << kMutationSeed << " + " << i << ") of \"" << base.name
        << "\":" << changes;
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("%zu mutants in %.1f s: %zu reports, %zu failure procedures\n", ran, seconds,
              by_status[0], by_status[1]);
  // Even a slow (sanitized) build gets through a good share of them within the budget.
  EXPECT_GE(ran, kMutants / 3);
}

}  // namespace
