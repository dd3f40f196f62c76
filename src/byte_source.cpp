#include "byte_source.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <limits>
#include <new>

#include "quorvale_dat/utils.hpp"

namespace quorvale_dat::detail {
namespace {

bool offset_fits(std::uint64_t offset) noexcept {
  return offset <= static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());
}

}  // namespace

FileSource::FileSource(File file, std::uint64_t size) noexcept
    : ByteSource(size), file_(std::move(file)) {}

Expected<void, IoError> FileSource::read_exact_at(std::span<std::uint8_t> buf,
                                                  std::uint64_t offset) const {
  return utils::read_exact_at_compat(file_, buf, offset);
}

std::size_t FileSource::read_available_at(std::span<std::uint8_t> buf,
                                          std::uint64_t offset) const noexcept {
  if (buf.empty() || !offset_fits(offset)) return 0;
  ssize_t got = -1;
  do {
    got = ::pread(file_.fd(), buf.data(), buf.size(), static_cast<off_t>(offset));
  } while (got < 0 && errno == EINTR);
  return got < 0 ? 0 : static_cast<std::size_t>(got);
}

std::size_t FileSource::read_available_at(std::span<const iovec> pieces,
                                          std::uint64_t offset) const noexcept {
  if (pieces.empty() || pieces.size() > IOV_MAX || !offset_fits(offset)) return 0;
  ssize_t got = -1;
  do {
    got = ::preadv(file_.fd(), pieces.data(), static_cast<int>(pieces.size()),
                   static_cast<off_t>(offset));
  } while (got < 0 && errno == EINTR);
  return got < 0 ? 0 : static_cast<std::size_t>(got);
}

// The view is taken of the argument, whose buffer the move then hands to owned_ unchanged.
MemorySource::MemorySource(std::vector<std::uint8_t> bytes) noexcept
    : SpanSource(std::span<const std::uint8_t>(bytes)), owned_(std::move(bytes)) {}

Expected<void, IoError> SpanSource::read_exact_at(std::span<std::uint8_t> buf,
                                                  std::uint64_t offset) const {
  if (buf.empty()) return {};
  if (offset > size() || buf.size() > size() - offset) return Unexpected(IoError::short_read());
  std::memcpy(buf.data(), bytes().data() + offset, buf.size());
  return {};
}

std::size_t SpanSource::read_available_at(std::span<std::uint8_t> buf,
                                          std::uint64_t offset) const noexcept {
  if (offset >= size()) return 0;
  const std::size_t n =
      static_cast<std::size_t>(std::min<std::uint64_t>(buf.size(), size() - offset));
  if (n > 0) std::memcpy(buf.data(), bytes().data() + offset, n);
  return n;
}

std::size_t SpanSource::read_available_at(std::span<const iovec> pieces,
                                          std::uint64_t offset) const noexcept {
  std::size_t total = 0;
  for (const iovec& piece : pieces) {
    const std::size_t n = read_available_at(
        std::span(static_cast<std::uint8_t*>(piece.iov_base), piece.iov_len), offset + total);
    total += n;
    if (n < piece.iov_len) break;
  }
  return total;
}

std::unique_ptr<MappedSource> MappedSource::map(const File& file, std::uint64_t size,
                                                int advice) noexcept {
  if (size == 0) {
    errno = EINVAL;
    return nullptr;
  }
  if (size > std::numeric_limits<std::size_t>::max() ||
      size > static_cast<std::uint64_t>(std::numeric_limits<std::ptrdiff_t>::max())) {
    errno = ENOMEM;
    return nullptr;
  }
  const auto length = static_cast<std::size_t>(size);
  void* at = ::mmap(nullptr, length, PROT_READ, MAP_PRIVATE, file.fd(), 0);
  if (at == MAP_FAILED) return nullptr;
  if (advice != MADV_NORMAL)
    (void)::madvise(at, length, advice);  // a hint: failing changes nothing
  auto* source = new (std::nothrow)
      MappedSource(std::span<const std::uint8_t>(static_cast<const std::uint8_t*>(at), length));
  if (source == nullptr) {
    ::munmap(at, length);
    errno = ENOMEM;
  }
  return std::unique_ptr<MappedSource>(source);
}

MappedSource::~MappedSource() {
  // const_cast: munmap takes the address it gave out, which the span holds as read-only bytes.
  ::munmap(const_cast<std::uint8_t*>(bytes().data()), bytes().size());
}

}  // namespace quorvale_dat::detail
