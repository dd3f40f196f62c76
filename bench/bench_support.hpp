// Pieces shared by the benchmark programs: the archives they run on (named by a label such as
// "c1024"), a file descriptor that closes itself, whole positioned reads, warming the page cache,
// and following a block chain by hand for the bare-read baselines.
//
//   int main(int argc, char** argv) {
//     for (const BenchArchive& a : bench_archives(argc, argv)) register_for(a);
//     return run_benchmarks(argc, argv);
//   }
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

namespace quorvale_dat::bench {

struct BenchArchive {
  std::string label;
  std::filesystem::path path;
};

// The archives to run on, from `--archive=LABEL=PATH` arguments (taken out of argv) or else from
// QUORVALE_DAT_BENCH_ARCHIVES ("LABEL=PATH,LABEL=PATH"). With neither, two small archives
// (c1024 and s1024, 50 000 entries each) are generated into a temporary directory that is
// removed when the program ends. Exits with a message when an archive cannot be read.
[[nodiscard]] std::vector<BenchArchive> bench_archives(int& argc, char** argv);

// Reads the whole file once with 1 MiB reads, so that a benchmark that follows runs on a warm
// page cache. Called before every benchmark run: the machine may page out file pages left idle
// for a minute or so, even with memory to spare.
void warm_page_cache(const BenchArchive& archive);

// The share of the file's pages in the page cache (mincore), 0 to 1; -1 when it cannot be told.
[[nodiscard]] double cached_share(const BenchArchive& archive);

// Warms the archive's pages before a benchmark's timed loop and, on destruction, reports the
// share of them still cached after it as the counter "cached" (1 = the run never touched disk).
class WarmCache {
 public:
  WarmCache(benchmark::State& state, const BenchArchive& archive);
  WarmCache(const WarmCache&) = delete;
  WarmCache& operator=(const WarmCache&) = delete;
  ~WarmCache();

 private:
  benchmark::State& state_;
  const BenchArchive& archive_;
};

// Initializes Google Benchmark with what is left of the arguments, runs the registered
// benchmarks and returns main()'s status.
int run_benchmarks(int argc, char** argv);

// An open file descriptor (read-only), closed on destruction; -1 when opening failed.
class Fd {
 public:
  explicit Fd(const std::filesystem::path& path);
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd();
  [[nodiscard]] int get() const noexcept { return fd_; }
  [[nodiscard]] bool ok() const noexcept { return fd_ >= 0; }

 private:
  int fd_;
};

// A read-only mapping of a whole file, unmapped on destruction; empty when mapping failed.
class Mapping {
 public:
  explicit Mapping(const std::filesystem::path& path);
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  ~Mapping();
  [[nodiscard]] std::span<const std::uint8_t> bytes() const noexcept { return bytes_; }

 private:
  std::span<const std::uint8_t> bytes_;
};

// Fills `buf` from `offset` with pread, repeating short reads; false on an error or the end of
// the file.
[[nodiscard]] bool pread_full(int fd, std::span<std::uint8_t> buf, std::uint64_t offset) noexcept;

// `n` per iteration, times the iterations run: what SetBytesProcessed and SetItemsProcessed take.
[[nodiscard]] inline std::int64_t times_iterations(const benchmark::State& state,
                                                   std::uint64_t n) noexcept {
  return static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(n);
}

[[nodiscard]] inline std::uint32_t load_u32(const std::uint8_t* p) noexcept {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// The block offsets of the chain at `offset` holding `size` bytes, walked by the library's chain
// walk (for setting up benchmarks, outside their timing). Empty when the walk fails.
[[nodiscard]] std::vector<std::uint32_t> chain_blocks(int fd, std::uint32_t offset,
                                                      std::uint32_t size, std::uint32_t block_size);

// The archive's block size and root offset, from its header; {0, 0} when it cannot be read.
struct HeaderFields {
  std::uint32_t block_size = 0;
  std::uint32_t root_offset = 0;
};
[[nodiscard]] HeaderFields read_header_fields(int fd) noexcept;

}  // namespace quorvale_dat::bench
