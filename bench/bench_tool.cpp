// The tool's whole run beside opening alone, both as subprocesses with standard output and
// error on /dev/null:
//
//   BM_ToolRun      dump_surface_80003e4 ARCHIVE: open, the surface report, four palettes
//   BM_OpenOnlyRun  bench_open_only ARCHIVE: the same process start, open and exit, nothing else
//
// The time of an iteration is the child's CPU time (user and system, from wait4), which other
// programs on the machine disturb less than wall-clock time; the counter wall_ms gives the
// wall-clock time of a run.
//
// The programs' paths are built in; QUORVALE_DAT_BENCH_TOOL and QUORVALE_DAT_BENCH_OPEN_ONLY
// override them.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bench_support.hpp"

#if !defined(QUORVALE_DAT_BENCH_TOOL) || !defined(QUORVALE_DAT_BENCH_OPEN_ONLY)
#error "QUORVALE_DAT_BENCH_TOOL and QUORVALE_DAT_BENCH_OPEN_ONLY must name the programs"
#endif

extern char** environ;

namespace {

namespace qb = quorvale_dat::bench;

std::string program(const char* variable, const char* built_in) {
  const char* value = std::getenv(variable);
  return value != nullptr && *value != '\0' ? value : built_in;
}

// Runs `path` with one argument, output discarded; returns its exit status, or -1 when it could
// not be started or did not exit normally. Adds the child's CPU seconds to `cpu_seconds`.
int run(const std::string& path, const std::string& arg, double* cpu_seconds = nullptr) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<char*> argv = {const_cast<char*>(path.c_str()), const_cast<char*>(arg.c_str()),
                             nullptr};
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  int status = 0;
  struct rusage usage {};
  while (wait4(pid, &status, 0, &usage) < 0) {
    if (errno != EINTR) return -1;
  }
  if (cpu_seconds != nullptr) {
    const auto seconds = [](const timeval& t) {
      return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
    };
    *cpu_seconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void BM_Run(benchmark::State& state, std::string path, qb::BenchArchive archive) {
  const qb::WarmCache warm(state, archive);
  if (const int status = run(path, archive.path.string()); status != 0) {
    state.SkipWithError((path + " exited with status " + std::to_string(status)).c_str());
    return;
  }
  double wall = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    double cpu = 0;
    if (run(path, archive.path.string(), &cpu) != 0) {
      state.SkipWithError("the run failed");
      return;
    }
    wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(cpu);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
  state.counters["wall_ms"] = 1e3 * wall / static_cast<double>(state.iterations());
}

}  // namespace

int main(int argc, char** argv) {
  const std::string tool = program("QUORVALE_DAT_BENCH_TOOL", QUORVALE_DAT_BENCH_TOOL);
  const std::string open_only =
      program("QUORVALE_DAT_BENCH_OPEN_ONLY", QUORVALE_DAT_BENCH_OPEN_ONLY);
  benchmark::AddCustomContext("tool", tool);
  for (const qb::BenchArchive& a : qb::bench_archives(argc, argv)) {
    benchmark::RegisterBenchmark(("BM_ToolRun/" + a.label).c_str(), BM_Run, tool, a)
        ->UseManualTime()
        ->MinTime(2)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("BM_OpenOnlyRun/" + a.label).c_str(), BM_Run, open_only, a)
        ->UseManualTime()
        ->MinTime(2)
        ->Unit(benchmark::kMillisecond);
  }
  return qb::run_benchmarks(argc, argv);
}
