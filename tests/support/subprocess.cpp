#include "support/subprocess.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>

extern char** environ;

namespace quorvale_dat::test {
namespace {

class Fd {
 public:
  explicit Fd(int fd = -1) noexcept : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }
  [[nodiscard]] int get() const noexcept { return fd_; }
  void reset(int fd = -1) noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

struct Pipe {
  Fd read;
  Fd write;
};

void make_pipe(Pipe& p) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0) << std::strerror(errno);
  p.read.reset(fds[0]);
  p.write.reset(fds[1]);
}

}  // namespace

RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                      const RunOptions& options) {
  RunResult result;
  Pipe out;
  Pipe err;
  make_pipe(out);
  make_pipe(err);
  if (options.close_after_first_line) {
    // A small pipe makes the child block long before its output ends, so the closed read end is
    // met by a write whatever the scheduling.
    EXPECT_GE(::fcntl(out.write.get(), F_SETPIPE_SZ, 4096), 0) << std::strerror(errno);
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out.write.get(), STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err.write.get(), STDERR_FILENO);
  if (!options.cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, options.cwd.c_str());

  std::vector<std::string> argv_strings = {program};
  argv_strings.insert(argv_strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& s : argv_strings) argv.push_back(s.data());
  argv.push_back(nullptr);

  const int rc =
      ::posix_spawn(&result.pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    ADD_FAILURE() << "posix_spawn " << program << ": " << std::strerror(rc);
    return result;
  }
  out.write.reset();
  err.write.reset();

  const auto deadline = std::chrono::steady_clock::now() + options.timeout;
  Fd* fds[2] = {&out.read, &err.read};
  std::string* sinks[2] = {&result.out, &result.err};
  while (out.read.get() >= 0 || err.read.get() >= 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      result.timed_out = true;
      ::kill(result.pid, SIGKILL);
      break;
    }
    pollfd polled[2];
    nfds_t count = 0;
    int which[2];
    for (int i = 0; i < 2; ++i) {
      if (fds[i]->get() < 0) continue;
      polled[count] = {fds[i]->get(), POLLIN, 0};
      which[count++] = i;
    }
    if (::poll(polled, count, static_cast<int>(left.count())) < 0) {
      if (errno == EINTR) continue;
      ADD_FAILURE() << "poll: " << std::strerror(errno);
      break;
    }
    for (nfds_t k = 0; k < count; ++k) {
      if (polled[k].revents == 0) continue;
      const int i = which[k];
      char buf[4096];
      const ssize_t n = ::read(fds[i]->get(), buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        fds[i]->reset();
        continue;
      }
      sinks[i]->append(buf, static_cast<std::size_t>(n));
      if (i == 0 && options.close_after_first_line && result.out.find('\n') != std::string::npos) {
        out.read.reset();
      }
    }
  }

  int status = 0;
  rusage usage{};
  while (::wait4(result.pid, &status, 0, &usage) < 0) {
    if (errno != EINTR) {
      ADD_FAILURE() << "wait4: " << std::strerror(errno);
      return result;
    }
  }
  result.max_rss_kib = usage.ru_maxrss;
  if (WIFEXITED(status)) {
    result.exit_status = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.signal = WTERMSIG(status);
  }
  return result;
}

TempDir::TempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "quorvale_e2e.XXXXXX").string();
  if (::mkdtemp(tmpl.data()) == nullptr) std::abort();
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

}  // namespace quorvale_dat::test
