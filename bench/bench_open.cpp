// Opening an archive, beside the bare floor of the same work:
//
//   BM_Open               DatDatabase::open: the header and the directory walk into files()
//   BM_OpenFloor          open(2); the header's 80 bytes in one pread; each directory node's
//                         1716 bytes with one pread per run of adjacent blocks of its chain (the
//                         chains are found once, before timing); the entries loaded field by
//                         field into a std::vector (push_back), then std::stable_sort by id
//                         (faster than std::sort on the walk order's sorted runs); close(2)
//   BM_OpenMapped         DatDatabase::open with a mapping (OpenOptions{.map = true}): the same
//                         work, the nodes read out of the mapping; mmap and munmap included
//   BM_OpenMemory         heap bytes per directory entry held by the open database
//   BM_OpenFloorMemory    the same for the floor's sorted vector
//
// Every row but BM_OpenMapped reads with positioned reads; every row runs on one thread.
// Times are CPU times of the process (user and system: on a warm page cache, all of the work),
// which other programs on the machine disturb less than wall-clock time. This program replaces
// the global operator new and delete to count live heap bytes (the usable size malloc gives each
// block); the counting costs the same in BM_Open and BM_OpenFloor.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "bench_support.hpp"
#include "quorvale_dat/database.hpp"

// ---- counting allocator ------------------------------------------------------------------------

namespace {

std::atomic<std::int64_t> g_live{0};
std::atomic<std::int64_t> g_peak{0};

void* counted(void* p) {
  if (p == nullptr) throw std::bad_alloc();
  const auto live = g_live.fetch_add(static_cast<std::int64_t>(malloc_usable_size(p)),
                                     std::memory_order_relaxed) +
                    static_cast<std::int64_t>(malloc_usable_size(p));
  auto peak = g_peak.load(std::memory_order_relaxed);
  while (live > peak && !g_peak.compare_exchange_weak(peak, live, std::memory_order_relaxed)) {
  }
  return p;
}

void uncounted(void* p) noexcept {
  if (p == nullptr) return;
  g_live.fetch_sub(static_cast<std::int64_t>(malloc_usable_size(p)), std::memory_order_relaxed);
  std::free(p);
}

void* aligned(std::size_t n, std::align_val_t al) {
  void* p = nullptr;
  if (::posix_memalign(&p, std::max(sizeof(void*), static_cast<std::size_t>(al)), n ? n : 1) != 0) {
    p = nullptr;
  }
  return counted(p);
}

}  // namespace

void* operator new(std::size_t n) { return counted(std::malloc(n ? n : 1)); }
void* operator new[](std::size_t n) { return counted(std::malloc(n ? n : 1)); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  try {
    return counted(std::malloc(n ? n : 1));
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void* operator new(std::size_t n, std::align_val_t al) { return aligned(n, al); }
void* operator new[](std::size_t n, std::align_val_t al) { return aligned(n, al); }
void operator delete(void* p) noexcept { uncounted(p); }
void operator delete[](void* p) noexcept { uncounted(p); }
void operator delete(void* p, std::size_t) noexcept { uncounted(p); }
void operator delete[](void* p, std::size_t) noexcept { uncounted(p); }
void operator delete(void* p, std::align_val_t) noexcept { uncounted(p); }
void operator delete[](void* p, std::align_val_t) noexcept { uncounted(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { uncounted(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { uncounted(p); }

// ---- benchmarks --------------------------------------------------------------------------------

namespace {

namespace qd = quorvale_dat;
namespace qb = quorvale_dat::bench;

constexpr std::size_t kBranchBytes = qd::format::kEntryCountOffset;
constexpr std::size_t kMaxNodeEntries = qd::format::kEntrySlots;

// A positioned read of adjacent blocks of one node's chain, and where its payload bytes go.
struct Run {
  std::uint32_t offset = 0;  // the first block
  std::uint32_t length = 0;  // bytes to read: up to the last payload byte needed
  std::uint32_t content_at = 0;
  std::uint32_t content_bytes = 0;
};

struct NodeReads {
  std::vector<Run> runs;
};

struct Archive {
  qb::BenchArchive source;
  std::uint32_t block_size = 0;
  std::vector<NodeReads> nodes;  // in walk order
  std::uint64_t entries = 0;
  std::uint32_t max_run = 0;
};

std::vector<std::unique_ptr<Archive>> g_archives;

// Groups a node chain's blocks into runs of adjacent blocks.
NodeReads plan_node_reads(const std::vector<std::uint32_t>& blocks, std::uint32_t block_size) {
  NodeReads reads;
  const std::uint32_t payload = block_size - 4;
  std::uint32_t content = 0;
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    const std::uint32_t take = std::min(payload, qd::format::kNodeSize - content);
    if (b > 0 && blocks[b] == blocks[b - 1] + block_size) {
      Run& run = reads.runs.back();
      run.length = blocks[b] - run.offset + 4 + take;
      run.content_bytes += take;
    } else {
      reads.runs.push_back(Run{blocks[b], 4 + take, content, take});
    }
    content += take;
  }
  return reads;
}

// Walks the directory once, outside the timing, to find every node's chain.
bool plan_directory(Archive& a) {
  qb::Fd fd(a.source.path);
  if (!fd.ok()) return false;
  const qb::HeaderFields header = qb::read_header_fields(fd.get());
  a.block_size = header.block_size;
  if (header.block_size <= 4) return false;
  std::vector<std::uint8_t> content(qd::format::kNodeSize);
  std::vector<std::uint32_t> stack;
  if (header.root_offset != 0) stack.push_back(header.root_offset);
  // Depth-first, a node before its subtrees and the subtrees in slot order, as the library walks.
  while (!stack.empty()) {
    const std::uint32_t offset = stack.back();
    stack.pop_back();
    const auto blocks = qb::chain_blocks(fd.get(), offset, qd::format::kNodeSize, a.block_size);
    if (blocks.empty()) return false;
    NodeReads reads = plan_node_reads(blocks, a.block_size);
    std::vector<std::uint8_t> buf;
    for (const Run& run : reads.runs) {
      buf.resize(run.length);
      if (!qb::pread_full(fd.get(), buf, run.offset)) return false;
      for (std::uint32_t got = 0, at = 4; got < run.content_bytes; at += a.block_size) {
        const std::uint32_t take = std::min(a.block_size - 4, run.content_bytes - got);
        std::copy_n(buf.begin() + at, take, content.begin() + run.content_at + got);
        got += take;
      }
      a.max_run = std::max(a.max_run, run.length);
    }
    a.nodes.push_back(std::move(reads));
    const std::uint32_t count = qb::load_u32(content.data() + kBranchBytes);
    a.entries += std::min<std::uint32_t>(count, kMaxNodeEntries);
    if (qb::load_u32(content.data()) != 0) {
      const std::uint32_t children =
          std::min<std::uint32_t>(count + 1, static_cast<std::uint32_t>(qd::format::kBranchSlots));
      for (std::uint32_t s = children; s-- > 0;) {
        const std::uint32_t child = qb::load_u32(content.data() + 4 * s);
        if (child != 0) stack.push_back(child);
      }
    }
  }
  return true;
}

// The floor's work, from open(2) to the sorted vector. Returns false when a read fails.
bool open_floor(const Archive& a, std::vector<qd::DatFileEntry>& entries, std::uint8_t* buf) {
  const int fd = ::open(a.source.path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const qb::HeaderFields header = qb::read_header_fields(fd);
  benchmark::DoNotOptimize(header);
  std::uint8_t content[qd::format::kNodeSize];
  bool ok = true;
  for (const NodeReads& node : a.nodes) {
    for (const Run& run : node.runs) {
      if (!qb::pread_full(fd, std::span(buf, run.length), run.offset)) {
        ok = false;
        break;
      }
      for (std::uint32_t got = 0, at = 4; got < run.content_bytes; at += a.block_size) {
        const std::uint32_t take = std::min(a.block_size - 4, run.content_bytes - got);
        std::memcpy(content + run.content_at + got, buf + at, take);
        got += take;
      }
    }
    const std::uint32_t count =
        std::min<std::uint32_t>(qb::load_u32(content + kBranchBytes), kMaxNodeEntries);
    const std::uint8_t* p = content + kBranchBytes + 4;
    for (std::uint32_t i = 0; i < count; ++i, p += qd::format::kEntrySize) {
      entries.push_back(qd::DatFileEntry{qb::load_u32(p), qb::load_u32(p + 4), qb::load_u32(p + 8),
                                         qb::load_u32(p + 12), qb::load_u32(p + 16),
                                         qb::load_u32(p + 20)});
    }
  }
  std::stable_sort(
      entries.begin(), entries.end(),
      [](const qd::DatFileEntry& x, const qd::DatFileEntry& y) { return x.id < y.id; });
  ::close(fd);
  return ok;
}

void set_counters(benchmark::State& state, const Archive* a) {
  state.SetItemsProcessed(qb::times_iterations(state, a->entries));
  state.SetBytesProcessed(qb::times_iterations(state, a->nodes.size() * qd::format::kNodeSize));
}

// DatDatabase::open as `options` say; a mapping asked for must have been made.
void open_row(benchmark::State& state, const Archive* a, const qd::OpenOptions& options) {
  const qb::WarmCache warm(state, a->source);
  for (auto _ : state) {
    auto db = qd::DatDatabase::open(a->source.path, options);
    if (!db) {
      state.SkipWithError(db.error().display().c_str());
      return;
    }
    if (db->mapped() != options.map) {
      state.SkipWithError("the archive was not mapped");
      return;
    }
    benchmark::DoNotOptimize(db->files().size());
  }
  set_counters(state, a);
}

void BM_Open(benchmark::State& state, const Archive* a) { open_row(state, a, {}); }

void BM_OpenMapped(benchmark::State& state, const Archive* a) { open_row(state, a, {.map = true}); }

void BM_OpenFloor(benchmark::State& state, const Archive* a) {
  const qb::WarmCache warm(state, a->source);
  std::vector<std::uint8_t> buf(a->max_run);
  for (auto _ : state) {
    std::vector<qd::DatFileEntry> entries;
    if (!open_floor(*a, entries, buf.data())) {
      state.SkipWithError("read failed");
      return;
    }
    benchmark::DoNotOptimize(entries.data());
  }
  set_counters(state, a);
}

// Live heap bytes (counted and as malloc sees them) at a point; resets the peak to them.
struct HeapMark {
  std::int64_t live = g_live.load();
  std::size_t arena = malloc_arena_bytes();
  HeapMark() { g_peak.store(live); }

  static std::size_t malloc_arena_bytes() {
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
  }
};

void report_memory(benchmark::State& state, const HeapMark& before, std::uint64_t entries) {
  const double n = static_cast<double>(std::max<std::uint64_t>(entries, 1));
  state.counters["bytes_per_entry"] = static_cast<double>(g_live.load() - before.live) / n;
  state.counters["peak_bytes_per_entry"] = static_cast<double>(g_peak.load() - before.live) / n;
  state.counters["malloc_bytes_per_entry"] =
      (static_cast<double>(HeapMark::malloc_arena_bytes()) - static_cast<double>(before.arena)) / n;
  state.counters["entries"] = static_cast<double>(entries);
}

void BM_OpenMemory(benchmark::State& state, const Archive* a) {
  const qb::WarmCache warm(state, a->source);
  for (auto _ : state) {
    const HeapMark before;
    auto db = qd::DatDatabase::open(a->source.path);
    if (!db) {
      state.SkipWithError(db.error().display().c_str());
      return;
    }
    report_memory(state, before, db->files().size());
  }
}

void BM_OpenFloorMemory(benchmark::State& state, const Archive* a) {
  const qb::WarmCache warm(state, a->source);
  std::vector<std::uint8_t> buf(a->max_run);
  for (auto _ : state) {
    const HeapMark before;
    std::vector<qd::DatFileEntry> entries;
    if (!open_floor(*a, entries, buf.data())) {
      state.SkipWithError("read failed");
      return;
    }
    report_memory(state, before, entries.size());
  }
}

void register_archive(const qb::BenchArchive& source) {
  auto a = std::make_unique<Archive>();
  a->source = source;
  if (!plan_directory(*a)) {
    std::fprintf(stderr, "cannot walk the directory of %s\n", source.path.c_str());
    std::exit(2);
  }
  const Archive* p = a.get();
  const std::string& label = source.label;
  benchmark::RegisterBenchmark(("BM_Open/" + label).c_str(), BM_Open, p)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark(("BM_OpenFloor/" + label).c_str(), BM_OpenFloor, p)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark(("BM_OpenMapped/" + label).c_str(), BM_OpenMapped, p)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark(("BM_OpenMemory/" + label).c_str(), BM_OpenMemory, p)
      ->Iterations(1)
      ->Repetitions(1)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark(("BM_OpenFloorMemory/" + label).c_str(), BM_OpenFloorMemory, p)
      ->Iterations(1)
      ->Repetitions(1)
      ->Unit(benchmark::kMillisecond);
  g_archives.push_back(std::move(a));
}

}  // namespace

int main(int argc, char** argv) {
  for (const qb::BenchArchive& a : qb::bench_archives(argc, argv)) register_archive(a);
  return qb::run_benchmarks(argc, argv);
}
