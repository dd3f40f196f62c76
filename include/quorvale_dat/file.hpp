// File: a move-only owner of one open file descriptor, closed when the File is destroyed.
//
// Reads of an open archive go through positioned reads (utils::read_exact_at_compat), which
// neither use nor move the descriptor's position, so a const File may be read from several
// threads at once. Only opening uses seek() and read().
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>

#include "quorvale_dat/expected.hpp"
#include "quorvale_dat/io_error.hpp"

namespace quorvale_dat {

class File {
 public:
  // Opens `path` for reading only (no creation, no writing).
  [[nodiscard]] static Expected<File, IoError> open_read_only(const std::filesystem::path& path);

  // Takes ownership of `fd` (-1 for none).
  explicit File(int fd) noexcept : fd_(fd) {}
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  File(File&& other) noexcept : fd_(other.release()) {}
  File& operator=(File&& other) noexcept;
  ~File();

  [[nodiscard]] int fd() const noexcept { return fd_; }
  [[nodiscard]] bool is_open() const noexcept { return fd_ >= 0; }
  // Gives up ownership of the descriptor without closing it.
  [[nodiscard]] int release() noexcept;

  // The file's size in bytes (fstat).
  [[nodiscard]] Expected<std::uint64_t, IoError> size() const;
  // Sets the file position to the absolute `offset`.
  [[nodiscard]] Expected<void, IoError> seek(std::uint64_t offset);
  // One sequential read() into `buf`, repeated when interrupted by a signal. Returns the number
  // of bytes read; 0 at the end of the file.
  [[nodiscard]] Expected<std::size_t, IoError> read(std::span<std::uint8_t> buf);

 private:
  int fd_ = -1;
};

}  // namespace quorvale_dat
