#include "quorvale_dat/utils.hpp"

#include <unistd.h>

#include <cerrno>
#include <limits>

namespace quorvale_dat::utils {

Expected<void, IoError> read_exact_at_compat(const File& file, std::span<std::uint8_t> buf,
                                             std::uint64_t offset) {
  while (!buf.empty()) {
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
      return Unexpected(IoError::from_os(EINVAL));
    }
    const ssize_t n = ::pread(file.fd(), buf.data(), buf.size(), static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      return Unexpected(IoError::from_os(errno));
    }
    if (n == 0) return Unexpected(IoError::short_read());
    buf = buf.subspan(static_cast<std::size_t>(n));
    offset += static_cast<std::uint64_t>(n);
  }
  return {};
}

}  // namespace quorvale_dat::utils
