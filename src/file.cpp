#include "quorvale_dat/file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace quorvale_dat {

Expected<File, IoError> File::open_read_only(const std::filesystem::path& path) {
  int fd = -1;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return Unexpected(IoError::from_os(errno));
  return File(fd);
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.release();
  }
  return *this;
}

File::~File() {
  if (fd_ >= 0) ::close(fd_);
}

int File::release() noexcept {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

Expected<std::uint64_t, IoError> File::size() const {
  struct stat st {};
  if (::fstat(fd_, &st) != 0) return Unexpected(IoError::from_os(errno));
  return st.st_size < 0 ? 0 : static_cast<std::uint64_t>(st.st_size);
}

}  // namespace quorvale_dat
