// IoError: a failed operation on a file or a byte source (open, seek, read).
//
// An IoError is either an OS error number (its kind derived from the number and its text fetched
// from the platform when rendered), or a kind with a fixed or owned message. The reading layer
// produces two end-of-data errors of kind UnexpectedEof:
//   IoError::short_read()   "failed to fill whole buffer"   an exact read found fewer bytes
//   IoError::end_of_data()  "not enough bytes in reader"    a counted sequence found fewer bytes
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

namespace quorvale_dat {

enum class ErrorKind {
  NotFound,
  PermissionDenied,
  ConnectionRefused,
  ConnectionReset,
  HostUnreachable,
  NetworkUnreachable,
  ConnectionAborted,
  NotConnected,
  AddrInUse,
  AddrNotAvailable,
  NetworkDown,
  BrokenPipe,
  AlreadyExists,
  WouldBlock,
  NotADirectory,
  IsADirectory,
  DirectoryNotEmpty,
  ReadOnlyFilesystem,
  FilesystemLoop,
  StaleNetworkFileHandle,
  InvalidInput,
  InvalidData,
  TimedOut,
  WriteZero,
  StorageFull,
  NotSeekable,
  QuotaExceeded,
  FileTooLarge,
  ResourceBusy,
  ExecutableFileBusy,
  Deadlock,
  CrossesDevices,
  TooManyLinks,
  InvalidFilename,
  ArgumentListTooLong,
  Interrupted,
  Unsupported,
  UnexpectedEof,
  OutOfMemory,
  InProgress,
  Other,
  Uncategorized,
};

// The kind's name, which is also its debug text ("NotFound").
[[nodiscard]] std::string_view to_string(ErrorKind kind) noexcept;

// The kind of a Linux errno value; numbers without a kind of their own are Uncategorized.
[[nodiscard]] ErrorKind kind_from_errno(int code) noexcept;

class IoError {
 public:
  // An error of a failed system call, from its errno value.
  [[nodiscard]] static IoError from_os(int code) noexcept;
  // A kind with a constant message (the text must outlive every copy: a literal).
  [[nodiscard]] static IoError fixed(ErrorKind kind, std::string_view message) noexcept;
  // A kind with a message owned by the error.
  [[nodiscard]] static IoError owned(ErrorKind kind, std::string message);

  // "failed to fill whole buffer": an exact read found fewer bytes than it needed.
  [[nodiscard]] static IoError short_read() noexcept;
  // "not enough bytes in reader": a counted byte sequence found fewer bytes than its count.
  [[nodiscard]] static IoError end_of_data();

  [[nodiscard]] ErrorKind kind() const noexcept { return kind_; }
  // The OS error number, or 0 when the error does not come from the OS.
  [[nodiscard]] int raw_os_error() const noexcept;
  [[nodiscard]] bool is_os_error() const noexcept;
  // The message: the platform's text for an OS error, else the fixed or owned text.
  [[nodiscard]] std::string message() const;

  // "No such file or directory (os error 2)", or the message itself.
  [[nodiscard]] std::string display() const;
  // Os { code: 2, kind: NotFound, message: "No such file or directory" }
  // Error { kind: UnexpectedEof, message: "failed to fill whole buffer" }
  // Custom { kind: UnexpectedEof, error: "not enough bytes in reader" }
  [[nodiscard]] std::string debug() const;

  friend bool operator==(const IoError&, const IoError&) = default;

 private:
  struct Os {
    int code;
    friend bool operator==(const Os&, const Os&) = default;
  };
  struct Fixed {
    std::string_view message;
    friend bool operator==(const Fixed&, const Fixed&) = default;
  };
  struct Owned {
    std::string message;
    friend bool operator==(const Owned&, const Owned&) = default;
  };

  IoError(ErrorKind kind, std::variant<Os, Fixed, Owned> payload) noexcept
      : kind_(kind), payload_(std::move(payload)) {}

  ErrorKind kind_;
  std::variant<Os, Fixed, Owned> payload_;
};

// The platform's text for an errno value (strerror_r).
[[nodiscard]] std::string os_error_text(int code);

}  // namespace quorvale_dat
