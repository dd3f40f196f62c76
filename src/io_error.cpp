#include "quorvale_dat/io_error.hpp"

#include <string.h>  // strerror_r (the POSIX one, _GNU_SOURCE aside)

#include <array>
#include <cerrno>
#include <type_traits>

#include "text.hpp"

namespace quorvale_dat {

std::string_view to_string(ErrorKind kind) noexcept {
  switch (kind) {
#define QV_KIND(name)   \
  case ErrorKind::name: \
    return #name;
    QV_KIND(NotFound)
    QV_KIND(PermissionDenied)
    QV_KIND(ConnectionRefused)
    QV_KIND(ConnectionReset)
    QV_KIND(HostUnreachable)
    QV_KIND(NetworkUnreachable)
    QV_KIND(ConnectionAborted)
    QV_KIND(NotConnected)
    QV_KIND(AddrInUse)
    QV_KIND(AddrNotAvailable)
    QV_KIND(NetworkDown)
    QV_KIND(BrokenPipe)
    QV_KIND(AlreadyExists)
    QV_KIND(WouldBlock)
    QV_KIND(NotADirectory)
    QV_KIND(IsADirectory)
    QV_KIND(DirectoryNotEmpty)
    QV_KIND(ReadOnlyFilesystem)
    QV_KIND(FilesystemLoop)
    QV_KIND(StaleNetworkFileHandle)
    QV_KIND(InvalidInput)
    QV_KIND(InvalidData)
    QV_KIND(TimedOut)
    QV_KIND(WriteZero)
    QV_KIND(StorageFull)
    QV_KIND(NotSeekable)
    QV_KIND(QuotaExceeded)
    QV_KIND(FileTooLarge)
    QV_KIND(ResourceBusy)
    QV_KIND(ExecutableFileBusy)
    QV_KIND(Deadlock)
    QV_KIND(CrossesDevices)
    QV_KIND(TooManyLinks)
    QV_KIND(InvalidFilename)
    QV_KIND(ArgumentListTooLong)
    QV_KIND(Interrupted)
    QV_KIND(Unsupported)
    QV_KIND(UnexpectedEof)
    QV_KIND(OutOfMemory)
    QV_KIND(InProgress)
    QV_KIND(Other)
    QV_KIND(Uncategorized)
#undef QV_KIND
  }
  return "Uncategorized";
}

ErrorKind kind_from_errno(int code) noexcept {
  switch (code) {
    case EPERM:
    case EACCES:
      return ErrorKind::PermissionDenied;
    case ENOENT:
      return ErrorKind::NotFound;
    case EINTR:
      return ErrorKind::Interrupted;
    case E2BIG:
      return ErrorKind::ArgumentListTooLong;
    case EAGAIN:
      return ErrorKind::WouldBlock;
    case ENOMEM:
      return ErrorKind::OutOfMemory;
    case EBUSY:
      return ErrorKind::ResourceBusy;
    case EEXIST:
      return ErrorKind::AlreadyExists;
    case EXDEV:
      return ErrorKind::CrossesDevices;
    case ENOTDIR:
      return ErrorKind::NotADirectory;
    case EISDIR:
      return ErrorKind::IsADirectory;
    case EINVAL:
      return ErrorKind::InvalidInput;
    case ETXTBSY:
      return ErrorKind::ExecutableFileBusy;
    case EFBIG:
      return ErrorKind::FileTooLarge;
    case ENOSPC:
      return ErrorKind::StorageFull;
    case ESPIPE:
      return ErrorKind::NotSeekable;
    case EROFS:
      return ErrorKind::ReadOnlyFilesystem;
    case EMLINK:
      return ErrorKind::TooManyLinks;
    case EPIPE:
      return ErrorKind::BrokenPipe;
    case EDEADLK:
      return ErrorKind::Deadlock;
    case ENAMETOOLONG:
      return ErrorKind::InvalidFilename;
    case ENOSYS:
    case EOPNOTSUPP:
      return ErrorKind::Unsupported;
    case ENOTEMPTY:
      return ErrorKind::DirectoryNotEmpty;
    case ELOOP:
      return ErrorKind::FilesystemLoop;
    case EADDRINUSE:
      return ErrorKind::AddrInUse;
    case EADDRNOTAVAIL:
      return ErrorKind::AddrNotAvailable;
    case ENETDOWN:
      return ErrorKind::NetworkDown;
    case ENETUNREACH:
      return ErrorKind::NetworkUnreachable;
    case ECONNABORTED:
      return ErrorKind::ConnectionAborted;
    case ECONNRESET:
      return ErrorKind::ConnectionReset;
    case ENOTCONN:
      return ErrorKind::NotConnected;
    case ETIMEDOUT:
      return ErrorKind::TimedOut;
    case ECONNREFUSED:
      return ErrorKind::ConnectionRefused;
    case EHOSTUNREACH:
      return ErrorKind::HostUnreachable;
    case EINPROGRESS:
      return ErrorKind::InProgress;
    case ESTALE:
      return ErrorKind::StaleNetworkFileHandle;
    case EDQUOT:
      return ErrorKind::QuotaExceeded;
    default:
      return ErrorKind::Uncategorized;
  }
}

namespace {

// strerror_r comes in two flavours; glibc with _GNU_SOURCE (which g++ defines) gives the one
// that returns a pointer, which may or may not point into the buffer.
[[maybe_unused]] const char* error_text(int result, const char* buffer) {
  return result == 0 ? buffer : nullptr;
}
[[maybe_unused]] const char* error_text(const char* result, const char*) { return result; }

}  // namespace

std::string os_error_text(int code) {
  std::array<char, 256> buffer{};
  const char* text = error_text(strerror_r(code, buffer.data(), buffer.size()), buffer.data());
  if (text == nullptr) return "Unknown error " + std::to_string(code);
  return text;
}

IoError IoError::from_os(int code) noexcept { return IoError(kind_from_errno(code), Os{code}); }

IoError IoError::fixed(ErrorKind kind, std::string_view message) noexcept {
  return IoError(kind, Fixed{message});
}

IoError IoError::owned(ErrorKind kind, std::string message) {
  return IoError(kind, Owned{std::move(message)});
}

IoError IoError::short_read() noexcept {
  return fixed(ErrorKind::UnexpectedEof, "failed to fill whole buffer");
}

IoError IoError::end_of_data() {
  return owned(ErrorKind::UnexpectedEof, "not enough bytes in reader");
}

int IoError::raw_os_error() const noexcept {
  const Os* os = std::get_if<Os>(&payload_);
  return os == nullptr ? 0 : os->code;
}

bool IoError::is_os_error() const noexcept { return std::holds_alternative<Os>(payload_); }

std::string IoError::message() const {
  return std::visit(
      [](const auto& p) -> std::string {
        using P = std::decay_t<decltype(p)>;
        if constexpr (std::is_same_v<P, Os>) {
          return os_error_text(p.code);
        } else {
          return std::string(p.message);
        }
      },
      payload_);
}

std::string IoError::display() const {
  if (const Os* os = std::get_if<Os>(&payload_)) {
    return os_error_text(os->code) + " (os error " + std::to_string(os->code) + ")";
  }
  return message();
}

std::string IoError::debug() const {
  const std::string kind(to_string(kind_));
  return std::visit(
      [&](const auto& p) -> std::string {
        using P = std::decay_t<decltype(p)>;
        if constexpr (std::is_same_v<P, Os>) {
          return "Os { code: " + std::to_string(p.code) + ", kind: " + kind +
                 ", message: " + detail::quote_debug(os_error_text(p.code)) + " }";
        } else if constexpr (std::is_same_v<P, Fixed>) {
          return "Error { kind: " + kind + ", message: " + detail::quote_debug(p.message) + " }";
        } else {
          return "Custom { kind: " + kind + ", error: " + detail::quote_debug(p.message) + " }";
        }
      },
      payload_);
}

}  // namespace quorvale_dat
