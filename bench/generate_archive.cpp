// bench_generate --out PATH [--entries N] [--data-bytes B] [--block-size 1024|256]
//                [--layout contiguous|scattered] [--compressed-share S] [--seed N]
//
// Writes a benchmark archive of the given shape to PATH (by default a million entries, 1 GiB of
// record content, 1024-byte blocks, contiguous chains, a quarter of the textures and palettes
// compressed) and prints what it wrote. `--print-key` prints the shape's cache key and exits.
#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "archive_generator.hpp"

namespace {

namespace qb = quorvale_dat::bench;

constexpr const char* kUsage =
    "usage: bench_generate --out PATH [--entries N] [--data-bytes B[K|M|G]] [--block-size N]\n"
    "                      [--layout contiguous|scattered] [--compressed-share 0..1] [--seed N]\n"
    "       bench_generate --print-key [options]\n";

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string_view> args;
  bool print_key = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg(argv[i]);
    if (arg == "--print-key") {
      print_key = true;
    } else if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else {
      args.push_back(arg);
    }
  }
  std::filesystem::path out;
  auto shape = qb::parse_shape(args, out);
  if (!shape) {
    std::fprintf(stderr, "bench_generate: %s\n%s", shape.error().c_str(), kUsage);
    return 2;
  }
  if (print_key) {
    std::printf("%s\n", qb::shape_key(*shape).c_str());
    return 0;
  }
  if (out.empty()) {
    std::fprintf(stderr, "bench_generate: --out is required\n%s", kUsage);
    return 2;
  }

  const auto start = std::chrono::steady_clock::now();
  auto plan = qb::plan_archive(*shape);
  if (!plan) {
    std::fprintf(stderr, "bench_generate: %s\n", plan.error().c_str());
    return 1;
  }
  if (out.has_parent_path()) std::filesystem::create_directories(out.parent_path());
  const unsigned threads = std::max(1u, std::thread::hardware_concurrency());
  auto summary = qb::write_archive(*plan, out, threads);
  if (!summary) {
    std::fprintf(stderr, "bench_generate: %s\n", summary.error().c_str());
    return 1;
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const auto mib = [](std::uint64_t bytes) { return static_cast<double>(bytes) / (1 << 20); };
  std::printf(
      "wrote %s (%s) in %.1f s\n"
      "  entries %llu, content %.1f MiB, stored %.1f MiB, file %.1f MiB\n"
      "  compressed records %llu: %.1f MiB of content stored in %.1f MiB\n"
      "  blocks %llu of %u bytes, directory %llu nodes in %u levels\n",
      out.c_str(), qb::shape_key(*shape).c_str(), seconds,
      static_cast<unsigned long long>(summary->entries), mib(summary->content_bytes),
      mib(summary->stored_bytes), mib(summary->file_size),
      static_cast<unsigned long long>(summary->compressed_records),
      mib(summary->compressed_content_bytes), mib(summary->compressed_stored_bytes),
      static_cast<unsigned long long>(summary->blocks), shape->block_size,
      static_cast<unsigned long long>(summary->nodes), summary->depth);
  return 0;
}
