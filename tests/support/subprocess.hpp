// Running a program as a subprocess for end-to-end tests: its standard output and error, its
// pid and exit status, with the resource use the kernel reports for it; and temporary folders.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace quorvale_dat::test {

struct RunResult {
  pid_t pid = -1;
  int exit_status = -1;  // -1 unless the child exited normally
  int signal = 0;        // the signal that ended the child, or 0
  bool timed_out = false;
  long max_rss_kib = 0;  // the child's peak resident set
  std::string out;
  std::string err;
};

struct RunOptions {
  std::filesystem::path cwd;                 // the child's working directory, when set
  bool close_after_first_line = false;       // close stdout's read end once a line has arrived
  std::chrono::milliseconds timeout{60000};  // the child is killed (SIGKILL) after this long
};

// Runs `program` with `args` (after the program name), stdin on /dev/null, and collects both
// output streams until the child closes them and exits.
[[nodiscard]] RunResult run_program(const std::string& program,
                                    const std::vector<std::string>& args,
                                    const RunOptions& options = {});

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir();
  [[nodiscard]] const std::filesystem::path& path() const noexcept { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace quorvale_dat::test
