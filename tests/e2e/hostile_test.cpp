// Crafted archives that make quorvale-dat do far more than the file holds, built here by hand from
// the format: directories whose entries all name one chain (extraction would write the chain
// thousands of times), and shapes that made verify's bookkeeping grow with what the directory
// claims rather than with the file. Each runs the tool as a user would; memory is its peak
// resident set, measured through peak_rss, above that of a run on a tiny archive.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "quorvale_dat/format.hpp"
#include "quorvale_dat_builder/archive_builder.hpp"
#include "quorvale_dat_builder/records.hpp"
#include "support/subprocess.hpp"

namespace {

namespace build = quorvale_dat::build;
namespace fs = std::filesystem;
namespace format = quorvale_dat::format;
using quorvale_dat::DatFileEntry;
using quorvale_dat::test::RunResult;
using quorvale_dat::test::TempDir;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kA8R8G8B8 = 21;

RunResult run_cli(const std::vector<std::string>& args) {
  RunResult r = quorvale_dat::test::run_program(QUORVALE_DAT_CLI_PATH, args);
  EXPECT_EQ(r.signal, 0);
  EXPECT_FALSE(r.timed_out);
  return r;
}

std::string write(const TempDir& dir, const Bytes& bytes, const std::string& name) {
  const fs::path path = dir.path() / name;
  build::write_file(path, bytes);
  return path.string();
}

// `nodes` directory nodes, one below the other in slot 0, each holding 61 entries with ids of
// their own from `first_id` on, every one naming the same chain of `content`. With
// `back_to_root`, slots 1 to 61 of every node lead back to the root.
Bytes one_chain_archive(const Bytes& content, std::uint32_t first_id, std::uint32_t nodes,
                        std::uint32_t block_size, bool back_to_root = false) {
  build::ArchiveWriter w(block_size);
  const std::uint32_t chain = w.add_chain(content);
  std::vector<std::uint32_t> node_offsets;
  std::uint32_t below = 0;
  std::uint32_t id = first_id + nodes * static_cast<std::uint32_t>(format::kEntrySlots);
  for (std::uint32_t n = 0; n < nodes; ++n) {
    build::NodeSpec node;
    node.entry_count = static_cast<std::uint32_t>(format::kEntrySlots);
    for (std::size_t e = 0; e < format::kEntrySlots; ++e) {
      node.entries.push_back(DatFileEntry{
          .id = --id, .offset = chain, .size = static_cast<std::uint32_t>(content.size())});
    }
    node.branches[0] = below;
    below = w.add_node(node);
    node_offsets.push_back(below);
  }
  w.header().root_offset = below;
  if (back_to_root) {
    // A node's branches are the first 248 bytes of its content: in its first block when the
    // block holds them.
    for (std::uint32_t at : node_offsets) {
      for (std::uint32_t slot = 1; slot < format::kBranchSlots; ++slot) {
        w.put_u32(at + format::kBlockPointerSize + 4 * slot, below);
      }
    }
  }
  return w.finish();
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

struct Output {
  std::size_t files = 0;
  std::uint64_t bytes = 0;
};

Output output_of(const fs::path& dir) {
  Output o;
  for (const auto& f : fs::directory_iterator(dir)) {
    ++o.files;
    o.bytes += fs::file_size(f.path());
  }
  return o;
}

// 100 nodes of 61 entries all naming one 100,000-byte chain: a 300 KB file that extraction
// would turn into 6,100 files and 610 MB. The same with one thread or several.
TEST(Hostile, ExtractWritesEachSharedChainOnce) {
  for (const char* jobs : {"1", "2"}) {
    SCOPED_TRACE(std::string("-j ") + jobs);
    TempDir dir;
    Bytes content(100000);
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<std::uint8_t>(i * 7);
    const Bytes bytes = one_chain_archive(content, 0x0A000000, 100, 1024);
    const std::string archive = write(dir, bytes, "bomb.dat");
    const std::size_t entries = 100 * format::kEntrySlots;

    const fs::path out = dir.path() / "out";
    const RunResult run = run_cli({"extract", "-j", jobs, archive, out.string()});
    EXPECT_EQ(run.exit_status, 65);
    const Output o = output_of(out);
    EXPECT_EQ(o.files, 1u);
    EXPECT_EQ(o.bytes, content.size());
    std::ifstream first(out / "0x0A000000.bin", std::ios::binary);
    EXPECT_TRUE(first.is_open()) << "the first entry in file order (the lowest id) is extracted";
    const std::vector<std::string> err = lines_of(run.err);
    ASSERT_EQ(err.size(), entries);
    EXPECT_EQ(err[0], "quorvale-dat: " + archive +
                          ": record 0x0A000001: its chain overlaps that of record 0x0A000000 at "
                          "block 0x00000190; not read (--allow-overlap reads it)");
    EXPECT_EQ(err.back(), "quorvale-dat: " + archive + ": " + std::to_string(entries - 1) + " of " +
                              std::to_string(entries) + " records could not be extracted");

    // Allowed to overlap, the records read may hold 4 times the archive's size, and no more.
    const fs::path allowed = dir.path() / "allowed";
    const RunResult all =
        run_cli({"extract", "-j", jobs, "--allow-overlap", archive, allowed.string()});
    EXPECT_EQ(all.exit_status, 65);
    const Output a = output_of(allowed);
    EXPECT_LE(a.bytes, 4 * bytes.size());
    EXPECT_EQ(a.files, 4 * bytes.size() / content.size());
    EXPECT_NE(all.err.find("quorvale-dat: " + archive +
                           ": stopped: the records read hold more than 4 times the "
                           "archive's size (--max-output raises the limit)\n"),
              std::string::npos)
        << all.err;

    const fs::path raised = dir.path() / "raised";
    const RunResult more = run_cli(
        {"extract", "-j", jobs, "--allow-overlap", "--max-output", "8", archive, raised.string()});
    EXPECT_EQ(output_of(raised).files, 8 * bytes.size() / content.size());
  }
}

// The same shape with texture entries: texture --all decodes and writes the texture once.
TEST(Hostile, TextureAllExportsEachSharedChainOnce) {
  TempDir dir;
  Bytes pixels(64 * 64 * 4);
  for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<std::uint8_t>(i);
  const Bytes texture =
      build::encode_texture(build::make_texture(0x06000000, 64, 64, kA8R8G8B8, pixels));
  const std::string archive =
      write(dir, one_chain_archive(texture, 0x06000000, 40, 1024), "textures.dat");

  const fs::path out = dir.path() / "out";
  const RunResult run = run_cli({"texture", archive, "--all", out.string()});
  EXPECT_EQ(run.exit_status, 65);
  EXPECT_EQ(output_of(out).files, 1u);
  EXPECT_TRUE(fs::exists(out / "0x06000000.png"));
  const std::vector<std::string> err = lines_of(run.err);
  ASSERT_FALSE(err.empty());
  EXPECT_EQ(err.back(),
            "quorvale-dat: " + archive + ": 2439 of 2440 textures could not be exported");
}

// ---------------------------------------------------------------------------------------------
// verify's memory

// Under AddressSanitizer freed memory waits in a quarantine before it is used again; the
// measured runs turn it off, so that peaks are the tool's own.
class NoQuarantine {
 public:
  NoQuarantine() {
    if (const char* old = std::getenv("ASAN_OPTIONS")) saved_ = old;
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

struct Measured {
  RunResult run;
  long peak_kib = 0;
};

Measured verify_full(const TempDir& dir, const Bytes& archive) {
  const NoQuarantine no_quarantine;
  const std::string path = write(dir, archive, "verify.dat");
  const fs::path report = dir.path() / "peak.txt";
  fs::remove(report);
  Measured m;
  m.run = quorvale_dat::test::run_program(
      QUORVALE_DAT_PEAK_RSS_PATH,
      {report.string(), QUORVALE_DAT_CLI_PATH, "verify", "--full", path});
  std::ifstream in(report);
  int status = -1;
  int signal = -1;
  in >> status >> signal >> m.peak_kib;
  EXPECT_TRUE(in) << "no report from peak_rss";
  m.run.exit_status = status;
  m.run.signal = signal;
  return m;
}

// A sound archive of about 766 KB in blocks of 5 bytes: every block holds one byte of content.
Bytes tiny_blocks_archive() {
  std::vector<build::Record> records;
  for (std::uint32_t i = 0; i < 60; ++i) {
    records.push_back({.id = 0x0A000000 + i, .data = Bytes(2200, static_cast<std::uint8_t>(i))});
  }
  return build::build_archive(records, {.block_size = 5});
}

TEST(Hostile, VerifyMemoryStaysWithinFourTimesTheArchive) {
  TempDir dir;
  const Measured baseline =
      verify_full(dir, build::build_archive({{.id = 0x0A000001, .data = {1, 2, 3}}}));
  ASSERT_EQ(baseline.run.exit_status, 0) << baseline.run.out << baseline.run.err;

  struct Case {
    const char* name;
    Bytes archive;
    int status;
    std::size_t max_lines;  // problem lines
  };
  Case cases[] = {
      // 2,000 nodes whose branches all lead back to the root, 122,000 entries naming one chain.
      {"2000 nodes back to the root, every entry one 16-byte chain",
       one_chain_archive(Bytes(16, 1), 0x0A000000, 2000, 2048, true), 65, 3},
      {"sound, block size 5", tiny_blocks_archive(), 0, 0},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t n = c.archive.size();
    const Measured m = verify_full(dir, c.archive);
    c.archive.clear();
    c.archive.shrink_to_fit();
    EXPECT_EQ(m.run.exit_status, c.status) << m.run.err;
    EXPECT_EQ(m.run.signal, 0);
    EXPECT_LE(lines_of(m.run.out).size(), c.max_lines) << m.run.out.substr(0, 2000);
    const long growth = m.peak_kib - baseline.peak_kib;
    const double n_kib = static_cast<double>(n) / 1024;
    EXPECT_LE(static_cast<double>(growth), 4 * n_kib + 2048)
        << "archive " << n << " bytes, peak " << m.peak_kib << " KiB";
    std::printf("%-60s N = %8zu B  peak %7ld KiB  growth %7ld KiB = %5.2f N\n", c.name, n,
                m.peak_kib, growth, static_cast<double>(growth) / n_kib);
    std::printf("%s", m.run.out.c_str());
  }
}

}  // namespace
