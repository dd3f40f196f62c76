#include "file_cursor.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>

namespace quorvale_dat::detail {

Expected<void, IoError> FileCursor::seek(std::uint64_t position) {
  if (position > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
    return Unexpected(IoError::from_os(EINVAL));
  }
  if (::lseek(fd_, static_cast<off_t>(position), SEEK_SET) < 0) {
    return Unexpected(IoError::from_os(errno));
  }
  pos_ = position;
  return {};
}

Expected<std::size_t, IoError> FileCursor::read_some(std::span<std::uint8_t> buf) {
  for (;;) {
    const ssize_t n = ::read(fd_, buf.data(), buf.size());
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return Unexpected(IoError::from_os(errno));
  }
}

Expected<void, IoError> FileCursor::read_exact(std::span<std::uint8_t> out) {
  while (!out.empty()) {
    auto n = read_some(out);
    if (!n) return Unexpected(std::move(n.error()));
    if (*n == 0) return Unexpected(IoError::short_read());
    pos_ += *n;
    out = out.subspan(*n);
  }
  return {};
}

Expected<std::vector<std::uint8_t>, IoError> FileCursor::read_counted(std::size_t count) {
  constexpr std::size_t kChunk = 64 * 1024;
  std::vector<std::uint8_t> out;
  while (out.size() < count) {
    const std::size_t have = out.size();
    out.resize(have + std::min(kChunk, count - have));
    auto n = read_some(std::span(out).subspan(have));
    if (!n) return Unexpected(std::move(n.error()));
    if (*n == 0) return Unexpected(IoError::end_of_data());
    pos_ += *n;
    out.resize(have + *n);
  }
  return out;
}

}  // namespace quorvale_dat::detail
