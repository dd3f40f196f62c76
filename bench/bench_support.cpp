#include "bench_support.hpp"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "archive_generator.hpp"
#include "block_chain.hpp"
#include "byte_source.hpp"
#include "quorvale_dat/file.hpp"
#include "quorvale_dat/format.hpp"

namespace quorvale_dat::bench {
namespace {

constexpr std::string_view kArchiveFlag = "--archive=";
constexpr std::size_t kReadSize = std::size_t{1} << 20;

[[noreturn]] void die(const std::string& message) {
  std::fprintf(stderr, "%s\n", message.c_str());
  std::exit(2);
}

void add_archive(std::vector<BenchArchive>& archives, std::string_view arg) {
  const auto eq = arg.find('=');
  if (eq == std::string_view::npos || eq == 0 || eq + 1 == arg.size()) {
    die("bad archive \"" + std::string(arg) + "\": expected LABEL=PATH");
  }
  archives.push_back({std::string(arg.substr(0, eq)), std::filesystem::path(arg.substr(eq + 1))});
}

// Small archives in a temporary directory, removed with it at exit.
class TempArchives {
 public:
  TempArchives() {
    dir_ = std::filesystem::temp_directory_path() /
           ("quorvale_dat_bench_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
  }
  TempArchives(const TempArchives&) = delete;
  TempArchives& operator=(const TempArchives&) = delete;
  ~TempArchives() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  BenchArchive make(const std::string& label, ChainLayout layout) {
    ArchiveShape shape;
    shape.entries = 50'000;
    shape.data_bytes = std::uint64_t{48} << 20;
    shape.layout = layout;
    const std::filesystem::path path = dir_ / (label + ".dat");
    auto plan = plan_archive(shape);
    if (!plan) die("cannot plan a sample archive: " + plan.error());
    auto written = write_archive(*plan, path);
    if (!written) die("cannot write a sample archive: " + written.error());
    return {label, path};
  }

 private:
  std::filesystem::path dir_;
};

std::uint64_t read_whole(const BenchArchive& archive) {
  Fd fd(archive.path);
  if (!fd.ok()) die("cannot open " + archive.path.string() + ": " + std::strerror(errno));
  std::vector<std::uint8_t> buf(kReadSize);
  std::uint64_t total = 0;
  for (;;) {
    const ssize_t n = ::pread(fd.get(), buf.data(), buf.size(), static_cast<off_t>(total));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) die("cannot read " + archive.path.string() + ": " + std::strerror(errno));
    if (n == 0) break;
    total += static_cast<std::uint64_t>(n);
  }
  return total;
}

}  // namespace

std::vector<BenchArchive> bench_archives(int& argc, char** argv) {
  std::vector<BenchArchive> archives;
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg(argv[i]);
    if (arg.starts_with(kArchiveFlag)) {
      add_archive(archives, arg.substr(kArchiveFlag.size()));
    } else {
      argv[kept++] = argv[i];
    }
  }
  argc = kept;
  if (archives.empty()) {
    if (const char* env = std::getenv("QUORVALE_DAT_BENCH_ARCHIVES"); env != nullptr && *env) {
      std::string_view list(env);
      while (!list.empty()) {
        const auto comma = list.find(',');
        add_archive(archives, list.substr(0, comma));
        list = comma == std::string_view::npos ? std::string_view{} : list.substr(comma + 1);
      }
    }
  }
  if (archives.empty()) {
    std::fprintf(stderr,
                 "no --archive=LABEL=PATH or QUORVALE_DAT_BENCH_ARCHIVES given: generating two "
                 "small archives (bench/run.sh runs on the large ones)\n");
    static TempArchives temp;
    archives.push_back(temp.make("c1024", ChainLayout::Contiguous));
    archives.push_back(temp.make("s1024", ChainLayout::Scattered));
  }
  for (const BenchArchive& a : archives) {
    std::error_code ec;
    const std::uintmax_t size = std::filesystem::file_size(a.path, ec);
    if (ec) die("cannot read " + a.path.string() + ": " + ec.message());
    benchmark::AddCustomContext("archive " + a.label,
                                a.path.string() + " (" + std::to_string(size) + " bytes)");
  }
  benchmark::AddCustomContext("page cache",
                              "warm: the archive is read whole before every benchmark run");
  return archives;
}

void warm_page_cache(const BenchArchive& archive) { (void)read_whole(archive); }

double cached_share(const BenchArchive& archive) {
  Fd fd(archive.path);
  struct stat st {};
  if (!fd.ok() || ::fstat(fd.get(), &st) != 0 || st.st_size <= 0) return -1;
  const auto size = static_cast<std::size_t>(st.st_size);
  void* map = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd.get(), 0);
  if (map == MAP_FAILED) return -1;
  const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  std::vector<unsigned char> resident((size + page - 1) / page);
  double share = -1;
  if (::mincore(map, size, resident.data()) == 0) {
    std::size_t cached = 0;
    for (unsigned char r : resident) cached += r & 1u;
    share = static_cast<double>(cached) / static_cast<double>(resident.size());
  }
  ::munmap(map, size);
  return share;
}

WarmCache::WarmCache(benchmark::State& state, const BenchArchive& archive)
    : state_(state), archive_(archive) {
  warm_page_cache(archive);
}

WarmCache::~WarmCache() { state_.counters["cached"] = cached_share(archive_); }

int run_benchmarks(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

Fd::Fd(const std::filesystem::path& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}

Fd::~Fd() {
  if (fd_ >= 0) ::close(fd_);
}

// MADV_RANDOM, as DatDatabase::open gives a mapping opened with Access::random.
Mapping::Mapping(const std::filesystem::path& path) {
  const Fd fd(path);
  struct stat st {};
  if (!fd.ok() || ::fstat(fd.get(), &st) != 0 || st.st_size <= 0) return;
  const auto size = static_cast<std::size_t>(st.st_size);
  void* at = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd.get(), 0);
  if (at == MAP_FAILED) return;
  (void)::madvise(at, size, MADV_RANDOM);
  bytes_ = std::span(static_cast<const std::uint8_t*>(at), size);
}

Mapping::~Mapping() {
  if (!bytes_.empty()) ::munmap(const_cast<std::uint8_t*>(bytes_.data()), bytes_.size());
}

bool pread_full(int fd, std::span<std::uint8_t> buf, std::uint64_t offset) noexcept {
  while (!buf.empty()) {
    const ssize_t n = ::pread(fd, buf.data(), buf.size(), static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    buf = buf.subspan(static_cast<std::size_t>(n));
    offset += static_cast<std::uint64_t>(n);
  }
  return true;
}

std::vector<std::uint32_t> chain_blocks(int fd, std::uint32_t offset, std::uint32_t size,
                                        std::uint32_t block_size) {
  const int own = ::dup(fd);
  if (own < 0) return {};
  File file(own);
  auto file_size = file.size();
  if (!file_size) return {};
  const detail::FileSource source(std::move(file), *file_size);
  std::vector<std::uint32_t> blocks;
  auto walked = detail::walk_chain(source, detail::ChainGeometry::of(block_size, *file_size),
                                   offset, size, [&](const detail::ChainBlock& b) {
                                     blocks.push_back(b.offset);
                                     return true;
                                   });
  if (!walked) return {};
  return blocks;
}

HeaderFields read_header_fields(int fd) noexcept {
  std::uint8_t header[format::kHeaderSize];
  if (!pread_full(fd, header, format::kHeaderOffset)) return {};
  return {load_u32(header + 4), load_u32(header + 32)};
}

}  // namespace quorvale_dat::bench
