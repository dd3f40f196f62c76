// FileCursor: the reading layer's cursor over an open file, reading sequentially from the file's
// own position. Only opening uses it, for the header: one seek to offset 320, then plain reads,
// field by field; every later read of an archive goes through a byte source (byte_source.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "quorvale_dat/expected.hpp"
#include "quorvale_dat/file.hpp"
#include "quorvale_dat/io_error.hpp"

namespace quorvale_dat::detail {

class FileCursor {
 public:
  // `position` is where the file stands when the cursor is made; the cursor keeps count from
  // there. Requires: `file` outlives the cursor.
  FileCursor(const File& file, std::uint64_t position) noexcept : fd_(file.fd()), pos_(position) {}

  [[nodiscard]] std::uint64_t position() const noexcept { return pos_; }
  // Sets the file's position (lseek) and the cursor's.
  [[nodiscard]] Expected<void, IoError> seek(std::uint64_t position);
  // Exactly out.size() bytes with plain reads, repeated after signals and short reads; the
  // short-read error when the file ends first.
  [[nodiscard]] Expected<void, IoError> read_exact(std::span<std::uint8_t> out);
  // `count` bytes read in bounded chunks, so that a huge count over a short file ends in the
  // end-of-data error after allocating no more than the file supplied.
  [[nodiscard]] Expected<std::vector<std::uint8_t>, IoError> read_counted(std::size_t count);

 private:
  // One read(2) into `buf`, repeated when interrupted by a signal: the bytes read, 0 at the end.
  [[nodiscard]] Expected<std::size_t, IoError> read_some(std::span<std::uint8_t> buf);

  int fd_;
  std::uint64_t pos_;
};

}  // namespace quorvale_dat::detail
