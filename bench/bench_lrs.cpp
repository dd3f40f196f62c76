// Decompression speed on the same content: the texture and palette records of a small archive
// planned like the large ones (about 4 MiB, a couple of KiB per record), each record compressed
// on its own, as the archives store them.
//
//   BM_DecompressLrs           utils::decompress_lrs of each record (a new vector per record,
//                              as get_file makes it)
//   BM_ReferenceDecompressLrs  the builder's plain step-by-step decoder, for comparison
//   BM_Lz4DecompressSafe/fast  LZ4_decompress_safe of the records compressed by
//                              LZ4_compress_default, into one preallocated buffer
//   BM_Lz4DecompressSafe/hc    the same, compressed by LZ4_compress_HC (default level)
//   BM_Memcpy                  memcpy of each record's bytes into the same buffer
//
// Bytes per second count the decompressed output in every case. LZ4 is optional: without
// liblz4 its benchmarks are left out.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "archive_generator.hpp"
#include "bench_support.hpp"
#include "quorvale_dat/utils.hpp"
#include "quorvale_dat_builder/lrs_encoder.hpp"
#include "quorvale_dat_builder/lrs_reference.hpp"

#ifdef QUORVALE_DAT_BENCH_HAVE_LZ4
#include <lz4.h>
#include <lz4hc.h>
#endif

namespace {

namespace qd = quorvale_dat;
namespace qb = quorvale_dat::bench;

constexpr std::size_t kSampleBytes = std::size_t{4} << 20;

struct Corpus {
  std::vector<std::vector<std::uint8_t>> original;
  std::vector<std::vector<std::uint8_t>> lrs;
  std::vector<std::size_t> out_at;  // where each record goes in a shared output buffer
  std::size_t total = 0;
  std::size_t lrs_total = 0;
};

const Corpus& corpus() {
  static const Corpus c = [] {
    Corpus k;
    k.original = qb::compressible_samples(0xC0FFEE, kSampleBytes);
    for (const auto& record : k.original) {
      k.lrs.push_back(qd::build::compress_lrs(record));
      k.out_at.push_back(k.total);
      k.total += record.size();
      k.lrs_total += k.lrs.back().size();
    }
    return k;
  }();
  return c;
}

void set_counters(benchmark::State& state, std::size_t compressed) {
  const Corpus& c = corpus();
  state.SetBytesProcessed(qb::times_iterations(state, c.total));
  state.SetItemsProcessed(qb::times_iterations(state, c.original.size()));
  state.counters["ratio"] = static_cast<double>(c.total) / static_cast<double>(compressed);
}

template <class Decode>
void decompress_each(benchmark::State& state, Decode decode) {
  const Corpus& c = corpus();
  for (std::size_t i = 0; i < c.lrs.size(); ++i) {
    if (decode(c.lrs[i]) != c.original[i]) {
      state.SkipWithError("decoded bytes differ from the original");
      return;
    }
  }
  for (auto _ : state) {
    for (const auto& stream : c.lrs) {
      auto out = decode(stream);
      benchmark::DoNotOptimize(out.data());
    }
  }
  set_counters(state, c.lrs_total);
}

void BM_DecompressLrs(benchmark::State& state) {
  decompress_each(state,
                  [](std::span<const std::uint8_t> s) { return qd::utils::decompress_lrs(s); });
}

void BM_ReferenceDecompressLrs(benchmark::State& state) {
  decompress_each(state, [](std::span<const std::uint8_t> s) {
    return qd::build::reference_decompress_lrs(s);
  });
}

void BM_Memcpy(benchmark::State& state) {
  const Corpus& c = corpus();
  std::vector<std::uint8_t> out(c.total);
  for (auto _ : state) {
    for (std::size_t i = 0; i < c.original.size(); ++i) {
      std::memcpy(out.data() + c.out_at[i], c.original[i].data(), c.original[i].size());
    }
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  set_counters(state, c.total);
}

#ifdef QUORVALE_DAT_BENCH_HAVE_LZ4
void BM_Lz4DecompressSafe(benchmark::State& state, bool high_compression) {
  const Corpus& c = corpus();
  std::vector<std::vector<char>> packed;
  std::size_t packed_total = 0;
  for (const auto& record : c.original) {
    const int size = static_cast<int>(record.size());
    std::vector<char> dst(static_cast<std::size_t>(LZ4_compressBound(size)));
    const auto* src = reinterpret_cast<const char*>(record.data());
    const int n = high_compression
                      ? LZ4_compress_HC(src, dst.data(), size, static_cast<int>(dst.size()),
                                        LZ4HC_CLEVEL_DEFAULT)
                      : LZ4_compress_default(src, dst.data(), size, static_cast<int>(dst.size()));
    dst.resize(static_cast<std::size_t>(n));
    packed_total += dst.size();
    packed.push_back(std::move(dst));
  }
  std::vector<char> out(c.total);
  for (std::size_t i = 0; i < packed.size(); ++i) {
    const int size = static_cast<int>(c.original[i].size());
    char* dst = out.data() + c.out_at[i];
    if (LZ4_decompress_safe(packed[i].data(), dst, static_cast<int>(packed[i].size()), size) !=
            size ||
        std::memcmp(dst, c.original[i].data(), c.original[i].size()) != 0) {
      state.SkipWithError("LZ4 round trip failed");
      return;
    }
  }
  for (auto _ : state) {
    for (std::size_t i = 0; i < packed.size(); ++i) {
      const int n = LZ4_decompress_safe(packed[i].data(), out.data() + c.out_at[i],
                                        static_cast<int>(packed[i].size()),
                                        static_cast<int>(c.original[i].size()));
      benchmark::DoNotOptimize(n);
    }
    benchmark::ClobberMemory();
  }
  set_counters(state, packed_total);
}
#endif

}  // namespace

int main(int argc, char** argv) {
  benchmark::AddCustomContext("lrs corpus", std::to_string(corpus().original.size()) +
                                                " texture and palette records, " +
                                                std::to_string(corpus().total) + " bytes");
  benchmark::RegisterBenchmark("BM_DecompressLrs", BM_DecompressLrs);
  benchmark::RegisterBenchmark("BM_ReferenceDecompressLrs", BM_ReferenceDecompressLrs);
#ifdef QUORVALE_DAT_BENCH_HAVE_LZ4
  benchmark::RegisterBenchmark("BM_Lz4DecompressSafe/fast", BM_Lz4DecompressSafe, false);
  benchmark::RegisterBenchmark("BM_Lz4DecompressSafe/hc", BM_Lz4DecompressSafe, true);
#endif
  benchmark::RegisterBenchmark("BM_Memcpy", BM_Memcpy);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
