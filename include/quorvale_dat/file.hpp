// File: a move-only owner of one open file descriptor, closed when the File is destroyed: the
// open-file type that utils::read_exact_at_compat reads from.
//
// Positioned reads neither use nor move the descriptor's position, so a const File may be read
// from several threads at once.
#pragma once

#include <cstdint>
#include <filesystem>

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

 private:
  int fd_ = -1;
};

}  // namespace quorvale_dat
