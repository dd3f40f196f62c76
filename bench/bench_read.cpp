// Reading records, each figure beside the bare read it is measured against:
//
//   BM_Cat               the whole file in 1 MiB positioned reads: the cat-equivalent floor
//   BM_ForEachFile       for_each_file: every record's bytes in one pass, in file order; the
//                        bytes are dropped
//   BM_ExtractAll        get_file of every entry, in id order (which is also file order in a
//                        contiguous archive); the bytes are dropped
//   BM_ExtractAllStored  read_file_data of every entry: the chains without decompression
//   BM_BlockLoop         the bare block loop: for every entry in id order, one pread of a whole
//                        block per block of its chain, following the pointer read from the block
//   BM_ForEachFileParallel<Source>
//                        for_each_file_parallel on every hardware thread, the database opened
//                        from one source (kParallelSources: File, positioned reads; Mapped, a
//                        mapping; Memory, open_bytes of the file read whole); wall-clock time, the
//                        thread count in the "threads" counter
//   BM_GetFile           get_file of one record per iteration, over 65 536 random ids
//   BM_GetFileBlockLoop  the same ids: binary search of a sorted entry vector and the bare block
//                        loop over the record's chain
//   BM_GetFileMapped     get_file of the same ids from the archive opened with a mapping
//                        (OpenOptions{.map = true, .access = Access::random})
//   BM_GetFileMappedFloor the same ids: binary search of a sorted entry vector, a fresh buffer of
//                        the record's size (uninitialised) and the payload of every block of the
//                        chain copied into it out of a mapping of the file (MADV_RANDOM),
//                        following the next-block pointers
//
// Every row but the mapped ones reads with positioned reads; every row runs on one thread.
//
// Bytes per second count record content for get_file, stored bytes for the chain readers and the
// file's bytes for cat; CPU time per iteration (user and system: on a warm page cache, all of the
// work) is what the ratios compare.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "bench_support.hpp"
#include "quorvale_dat/database.hpp"
#include "texture_content.hpp"

namespace {

namespace qd = quorvale_dat;
namespace qb = quorvale_dat::bench;

constexpr std::size_t kCatRead = std::size_t{1} << 20;
constexpr std::size_t kRandomIds = std::size_t{1} << 16;

struct Archive {
  qb::BenchArchive source;
  qd::DatDatabase db;
  std::vector<qd::DatFileEntry> entries;  // a copy of the directory, for the baselines
  std::uint64_t file_size = 0;
  std::uint64_t content_bytes = 0;
  std::uint64_t stored_bytes = 0;
  std::vector<std::uint32_t> random_ids;
  std::optional<qd::DatDatabase> mapped;  // the same archive read through a mapping
};

std::vector<std::unique_ptr<Archive>> g_archives;

// The bare block loop over one chain: one pread of a whole block per block, the next block's
// offset taken from the block just read. Returns false when a read fails. It follows next-block
// pointers by itself on purpose, outside the library's one chain walk: it is the floor the
// library's reads are measured against, without any of the walk's checks.
bool block_loop(int fd, std::uint32_t offset, std::uint32_t size, std::uint32_t block_size,
                std::uint8_t* block) {
  const std::uint32_t payload = block_size - 4;
  std::uint32_t current = offset;
  std::uint32_t remaining = size;
  while (remaining > 0) {
    if (::pread(fd, block, block_size, current) != static_cast<ssize_t>(block_size)) return false;
    remaining -= std::min(remaining, payload);
    current = qb::load_u32(block);
    if (current == 0) break;
  }
  return true;
}

void BM_Cat(benchmark::State& state, const Archive* a) {
  const qb::WarmCache warm(state, a->source);
  qb::Fd fd(a->source.path);
  std::vector<std::uint8_t> buf(kCatRead);
  for (auto _ : state) {
    for (std::uint64_t at = 0; at < a->file_size; at += kCatRead) {
      const std::size_t n =
          static_cast<std::size_t>(std::min<std::uint64_t>(kCatRead, a->file_size - at));
      if (!qb::pread_full(fd.get(), std::span(buf).first(n), at)) {
        state.SkipWithError("read failed");
        return;
      }
    }
    benchmark::DoNotOptimize(buf.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(qb::times_iterations(state, a->file_size));
}

void BM_ExtractAll(benchmark::State& state, const Archive* a) {
  const qb::WarmCache warm(state, a->source);
  for (auto _ : state) {
    for (const qd::DatFileEntry& e : a->db.files()) {
      auto bytes = a->db.get_file(e.id);
      if (!bytes) {
        state.SkipWithError(bytes.error().display().c_str());
        return;
      }
      benchmark::DoNotOptimize(bytes->data());
    }
  }
  state.SetBytesProcessed(qb::times_iterations(state, a->content_bytes));
  state.SetItemsProcessed(qb::times_iterations(state, a->entries.size()));
}

void BM_ForEachFile(benchmark::State& state, const Archive* a) {
  const qb::WarmCache warm(state, a->source);
  for (auto _ : state) {
    bool failed = false;
    a->db.for_each_file([&](const qd::DatFileEntry&, qd::DatDatabase::FileResult bytes) {
      if (!bytes) {
        state.SkipWithError(bytes.error().display().c_str());
        failed = true;
        return false;
      }
      benchmark::DoNotOptimize(bytes->data());
      return true;
    });
    if (failed) return;
  }
  state.SetBytesProcessed(qb::times_iterations(state, a->content_bytes));
  state.SetItemsProcessed(qb::times_iterations(state, a->entries.size()));
}

// The sources the parallel rows open the archive from: a row per source and archive, named
// BM_ForEachFileParallel<name>/<archive>.
struct ParallelSource {
  const char* name;
  qd::Expected<qd::DatDatabase, qd::DatError> (*open)(const qb::BenchArchive& archive);
};

const ParallelSource kParallelSources[] = {
    {"File", [](const qb::BenchArchive& a) { return qd::DatDatabase::open(a.path); }},
    {"Memory",
     [](const qb::BenchArchive& a) {
       std::ifstream in(a.path, std::ios::binary);
       std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                       std::istreambuf_iterator<char>());
       return qd::DatDatabase::open_bytes(std::move(bytes));
     }},
    {"Mapped",
     [](const qb::BenchArchive& a) {
       return qd::DatDatabase::open(a.path,
                                    qd::OpenOptions{.map = true, .access = qd::Access::sequential});
     }},
};

void BM_ForEachFileParallel(benchmark::State& state, const Archive* a,
                            const ParallelSource* source) {
  const qb::WarmCache warm(state, a->source);
  auto db = source->open(a->source);  // outside the timing, and freed after the run
  if (!db) {
    state.SkipWithError(db.error().display().c_str());
    return;
  }
  const unsigned threads = std::max(1U, std::thread::hardware_concurrency());
  for (auto _ : state) {
    std::atomic<bool> failed{false};
    db->for_each_file_parallel(
        [&](const qd::DatFileEntry&, qd::DatDatabase::FileResult bytes) {
          if (!bytes) {
            failed = true;
            return false;
          }
          benchmark::DoNotOptimize(bytes->data());
          return true;
        },
        {.threads = threads});
    if (failed) {
      state.SkipWithError("a record failed");
      return;
    }
  }
  state.SetBytesProcessed(qb::times_iterations(state, a->content_bytes));
  state.SetItemsProcessed(qb::times_iterations(state, a->entries.size()));
  state.counters["threads"] = threads;
}

void BM_ExtractAllStored(benchmark::State& state, const Archive* a) {
  const qb::WarmCache warm(state, a->source);
  for (auto _ : state) {
    for (const qd::DatFileEntry& e : a->db.files()) {
      auto bytes = a->db.read_file_data(e.offset, e.size);
      if (!bytes) {
        state.SkipWithError(bytes.error().display().c_str());
        return;
      }
      benchmark::DoNotOptimize(bytes->data());
    }
  }
  state.SetBytesProcessed(qb::times_iterations(state, a->stored_bytes));
  state.SetItemsProcessed(qb::times_iterations(state, a->entries.size()));
}

void BM_BlockLoop(benchmark::State& state, const Archive* a) {
  const qb::WarmCache warm(state, a->source);
  qb::Fd fd(a->source.path);
  const std::uint32_t block_size = a->db.header().block_size;
  std::vector<std::uint8_t> block(block_size);
  for (auto _ : state) {
    for (const qd::DatFileEntry& e : a->entries) {
      if (!block_loop(fd.get(), e.offset, e.size, block_size, block.data())) {
        state.SkipWithError("read failed");
        return;
      }
    }
    benchmark::DoNotOptimize(block.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(qb::times_iterations(state, a->stored_bytes));
  state.SetItemsProcessed(qb::times_iterations(state, a->entries.size()));
}

// get_file of the random ids from `db`: the archive opened one way or the other.
void get_file_row(benchmark::State& state, const Archive* a, const qd::DatDatabase& db) {
  const qb::WarmCache warm(state, a->source);
  std::size_t next = 0;
  std::int64_t bytes_read = 0;
  for (auto _ : state) {
    auto bytes = db.get_file(a->random_ids[next++ % kRandomIds]);
    if (!bytes) {
      state.SkipWithError(bytes.error().display().c_str());
      return;
    }
    bytes_read += static_cast<std::int64_t>(bytes->size());
    benchmark::DoNotOptimize(bytes->data());
  }
  state.SetBytesProcessed(bytes_read);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

void BM_GetFile(benchmark::State& state, const Archive* a) { get_file_row(state, a, a->db); }

void BM_GetFileBlockLoop(benchmark::State& state, const Archive* a) {
  const qb::WarmCache warm(state, a->source);
  qb::Fd fd(a->source.path);
  const std::uint32_t block_size = a->db.header().block_size;
  std::vector<std::uint8_t> block(block_size);
  std::size_t next = 0;
  std::int64_t bytes_read = 0;
  for (auto _ : state) {
    const std::uint32_t id = a->random_ids[next++ % kRandomIds];
    const auto it =
        std::lower_bound(a->entries.begin(), a->entries.end(), id,
                         [](const qd::DatFileEntry& e, std::uint32_t key) { return e.id < key; });
    if (!block_loop(fd.get(), it->offset, it->size, block_size, block.data())) {
      state.SkipWithError("read failed");
      return;
    }
    bytes_read += it->size;
    benchmark::DoNotOptimize(block.data());
  }
  state.SetBytesProcessed(bytes_read);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

// The chain's payloads copied out of the mapping into `out`, which holds `size` bytes: the floor
// of get_file on a mapping. Returns false when a block lies outside the file.
bool copy_chain(std::span<const std::uint8_t> file, std::uint32_t offset, std::uint32_t size,
                std::uint32_t block_size, std::uint8_t* out) {
  const std::uint32_t payload = block_size - 4;
  std::uint32_t current = offset;
  std::uint32_t done = 0;
  while (done < size) {
    if (current > file.size() || file.size() - current < block_size) return false;
    const std::uint32_t take = std::min(size - done, payload);
    std::memcpy(out + done, file.data() + current + 4, take);
    done += take;
    current = qb::load_u32(file.data() + current);
    if (current == 0) break;
  }
  return true;
}

void BM_GetFileMapped(benchmark::State& state, const Archive* a) {
  get_file_row(state, a, *a->mapped);
}

void BM_GetFileMappedFloor(benchmark::State& state, const Archive* a) {
  const qb::WarmCache warm(state, a->source);
  const qb::Mapping mapping(a->source.path);
  if (mapping.bytes().empty()) {
    state.SkipWithError("cannot map the archive");
    return;
  }
  const std::uint32_t block_size = a->db.header().block_size;
  std::size_t next = 0;
  std::int64_t bytes_read = 0;
  for (auto _ : state) {
    const std::uint32_t id = a->random_ids[next++ % kRandomIds];
    const auto it =
        std::lower_bound(a->entries.begin(), a->entries.end(), id,
                         [](const qd::DatFileEntry& e, std::uint32_t key) { return e.id < key; });
    const std::unique_ptr<std::uint8_t[]> out(new std::uint8_t[it->size]);
    if (!copy_chain(mapping.bytes(), it->offset, it->size, block_size, out.get())) {
      state.SkipWithError("a chain leaves the file");
      return;
    }
    bytes_read += it->size;
    benchmark::DoNotOptimize(out.get());
  }
  state.SetBytesProcessed(bytes_read);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

void register_archive(const qb::BenchArchive& source) {
  auto db = qd::DatDatabase::open(source.path);
  if (!db) {
    std::fprintf(stderr, "cannot open %s: %s\n", source.path.c_str(), db.error().display().c_str());
    std::exit(2);
  }
  auto mapped = qd::DatDatabase::open(source.path, {.map = true, .access = qd::Access::random});
  if (!mapped || !mapped->mapped()) {
    std::fprintf(stderr, "cannot map %s\n", source.path.c_str());
    std::exit(2);
  }
  auto a = std::make_unique<Archive>(
      Archive{source, std::move(*db), {}, 0, 0, 0, {}, std::move(*mapped)});
  a->entries.assign(a->db.files().begin(), a->db.files().end());
  a->file_size = a->db.file_size();
  for (const qd::DatFileEntry& e : a->entries) {
    a->stored_bytes += e.size;
    // A compressed record's content size is the declared size at the start of its stream.
    if (e.is_compressed()) {
      auto head = a->db.read_file_data(e.offset, std::min<std::uint32_t>(e.size, 4));
      a->content_bytes += head && head->size() == 4 ? qb::load_u32(head->data()) : 0;
    } else {
      a->content_bytes += e.size;
    }
  }
  qb::SplitMix rng(0xBE7C4);
  for (std::size_t i = 0; i < kRandomIds; ++i) {
    a->random_ids.push_back(
        a->entries[rng.below(static_cast<std::uint32_t>(a->entries.size()))].id);
  }

  const Archive* p = a.get();
  const std::string& label = source.label;
  benchmark::RegisterBenchmark(("BM_Cat/" + label).c_str(), BM_Cat, p)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark(("BM_ForEachFile/" + label).c_str(), BM_ForEachFile, p)
      ->Unit(benchmark::kMillisecond);
  for (const ParallelSource& from : kParallelSources) {
    benchmark::RegisterBenchmark(
        ("BM_ForEachFileParallel" + std::string(from.name) + "/" + label).c_str(),
        BM_ForEachFileParallel, p, &from)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
  }
  benchmark::RegisterBenchmark(("BM_ExtractAll/" + label).c_str(), BM_ExtractAll, p)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark(("BM_ExtractAllStored/" + label).c_str(), BM_ExtractAllStored, p)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark(("BM_BlockLoop/" + label).c_str(), BM_BlockLoop, p)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark(("BM_GetFile/" + label).c_str(), BM_GetFile, p);
  benchmark::RegisterBenchmark(("BM_GetFileBlockLoop/" + label).c_str(), BM_GetFileBlockLoop, p);
  benchmark::RegisterBenchmark(("BM_GetFileMapped/" + label).c_str(), BM_GetFileMapped, p);
  benchmark::RegisterBenchmark(("BM_GetFileMappedFloor/" + label).c_str(), BM_GetFileMappedFloor,
                               p);
  g_archives.push_back(std::move(a));
}

}  // namespace

int main(int argc, char** argv) {
  for (const qb::BenchArchive& a : qb::bench_archives(argc, argv)) register_archive(a);
  return qb::run_benchmarks(argc, argv);
}
