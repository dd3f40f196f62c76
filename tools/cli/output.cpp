#include "output.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <system_error>

#include "archive.hpp"
#include "quorvale_dat/io_error.hpp"
#include "write_all.hpp"

namespace quorvale_dat::cli {
namespace {

using report::write_all;

// EFAULT from a write of bytes that lie in the archive's mapping is the archive truncated under
// it: the kernel met a page the file no longer has where a read of memory would raise SIGBUS.
Failure io_failure(const std::string& what, int code) {
  if (code == EFAULT && reading_mapped()) archive_changed();
  return named_failure(kExitIo, what + ": " + IoError::from_os(code).display());
}

// Closes `fd`; returns 0 or errno (a failed close can be the first report of a failed write).
int close_fd(int fd) { return ::close(fd) == 0 ? 0 : errno; }

}  // namespace

void out(std::string_view text) { std::fwrite(text.data(), 1, text.size(), stdout); }

void out_bytes(std::span<const std::uint8_t> bytes) {
  std::fwrite(bytes.data(), 1, bytes.size(), stdout);
}

void error_line(std::string_view message) {
  std::fflush(stdout);  // keep the order of interleaved data and messages on a terminal
  std::string line = "quorvale-dat: ";
  line += message;
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
}

Expected<void, Failure> write_file(const std::filesystem::path& path,
                                   std::span<const std::uint8_t> bytes) {
  const std::string what = "cannot write " + path.string();
  int fd = -1;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return Unexpected(io_failure(what, errno));
  const int write_error = write_all(fd, bytes);
  const int close_error = close_fd(fd);
  if (write_error != 0 || close_error != 0) {
    return Unexpected(io_failure(what, write_error != 0 ? write_error : close_error));
  }
  return {};
}

Expected<OutputDir, Failure> OutputDir::open(const std::filesystem::path& path) {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  if (ec) return Unexpected(io_failure("cannot create " + path.string(), ec.value()));
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return Unexpected(io_failure("cannot open " + path.string(), errno));
  return OutputDir(fd, path);
}

OutputDir::~OutputDir() {
  if (fd_ >= 0) ::close(fd_);
}

Expected<void, Failure> OutputDir::write(const std::string& name,
                                         std::span<const std::uint8_t> bytes) const {
  const std::string what = "cannot write " + (path_ / name).string();
  // O_EXCL: the temporary name is never an existing file or link; a stale one from a killed run
  // is skipped over.
  std::string temp;
  int fd = -1;
  for (int attempt = 0; fd < 0; ++attempt) {
    temp = "." + name + "." + std::to_string(::getpid()) + "." + std::to_string(attempt) + ".tmp";
    fd = ::openat(fd_, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0 && (errno != EEXIST || attempt == 99)) return Unexpected(io_failure(what, errno));
  }
  int error = write_all(fd, bytes);
  const int close_error = close_fd(fd);
  if (error == 0) error = close_error;
  if (error == 0 && ::renameat(fd_, temp.c_str(), fd_, name.c_str()) != 0) error = errno;
  if (error != 0) {
    ::unlinkat(fd_, temp.c_str(), 0);
    return Unexpected(io_failure(what, error));
  }
  return {};
}

}  // namespace quorvale_dat::cli
