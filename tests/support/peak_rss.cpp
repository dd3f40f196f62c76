// peak_rss REPORT PROGRAM [ARGS...]
//
// Runs PROGRAM with ARGS as a child of its own, on this process's standard streams, then writes
// "<exit status> <signal> <peak RSS in KiB>" of that child to the file REPORT and exits with the
// child's status (128 + the signal when a signal ended it).
//
// The peak RSS the kernel reports for a process includes that of the process it was started
// from: exec keeps the high-water mark of the memory it replaces, and a posix_spawn child starts
// on its parent's memory. Started from a test process, the tool's figure would be the test's own
// whenever that is higher. Started from this small program, it is the tool's.
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: peak_rss REPORT PROGRAM [ARGS...]\n");
    return 2;
  }
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) return 2;
  if (pid == 0) {
    // The child must not outlive this process when a test kills it after a timeout.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(2);
    ::execv(argv[2], argv + 2);
    ::_exit(127);
  }
  int status = 0;
  rusage usage{};
  while (::wait4(pid, &status, 0, &usage) < 0) {
    if (errno != EINTR) return 2;
  }
  const int exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  const int signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  std::FILE* report = std::fopen(argv[1], "w");
  if (report == nullptr) return 2;
  std::fprintf(report, "%d %d %ld\n", exit_status, signal, usage.ru_maxrss);
  if (std::fclose(report) != 0) return 2;
  return signal != 0 ? 128 + signal : exit_status;
}
