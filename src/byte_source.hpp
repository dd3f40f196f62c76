// ByteSource: where an open archive's bytes come from, for every read after the header. The chain
// walk (block_chain.hpp) is written against it and nothing below it.
//
// Two kinds of source exist. A source that reads (FileSource: positioned reads on the open file,
// read_exact_at_compat underneath) fills the caller's buffers. A source that holds the bytes in
// memory (MemorySource: a byte vector, or a span the caller keeps alive; MappedSource: a read-only
// mapping of the whole file) also offers them as one span, and the walk then reads pointers and
// payloads from there and hands out views instead of copies. Both read their span the same way
// (SpanSource), so a mapping gives exactly the results and errors of memory, which gives those of
// positioned reads.
//
// Every read is positioned: a const source keeps no position and may be read from several
// threads at once.
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "quorvale_dat/expected.hpp"
#include "quorvale_dat/file.hpp"
#include "quorvale_dat/io_error.hpp"

namespace quorvale_dat::detail {

class ByteSource {
 public:
  ByteSource(const ByteSource&) = delete;
  ByteSource& operator=(const ByteSource&) = delete;
  virtual ~ByteSource() = default;

  // The number of bytes the source holds: the file's size when it was opened.
  [[nodiscard]] std::uint64_t size() const noexcept { return size_; }

  // Whether the source holds its bytes in memory; bytes() is then all of them, valid for the
  // source's life.
  [[nodiscard]] bool in_memory() const noexcept { return in_memory_; }
  [[nodiscard]] std::span<const std::uint8_t> bytes() const noexcept { return bytes_; }

  // Exactly buf.size() bytes at `offset`. The short-read error ("failed to fill whole buffer")
  // when the source ends first; the OS error when a read fails. An empty buffer succeeds at once.
  [[nodiscard]] virtual Expected<void, IoError> read_exact_at(std::span<std::uint8_t> buf,
                                                              std::uint64_t offset) const = 0;

  // As much of buf.size() bytes at `offset` as one read gives: fewer at the end of the source, or
  // none when the read fails. For reading ahead, where a short read is not an error: whoever
  // needs the missing bytes reads them with read_exact_at, which says why they are missing.
  [[nodiscard]] virtual std::size_t read_available_at(std::span<std::uint8_t> buf,
                                                      std::uint64_t offset) const noexcept = 0;

  // The same for several buffers, filled in order from `offset` (one preadv on a file).
  [[nodiscard]] virtual std::size_t read_available_at(std::span<const iovec> pieces,
                                                      std::uint64_t offset) const noexcept = 0;

 protected:
  // A source that reads.
  explicit ByteSource(std::uint64_t size) noexcept : size_(size) {}
  // A source that holds `bytes`.
  explicit ByteSource(std::span<const std::uint8_t> bytes) noexcept
      : size_(bytes.size()), in_memory_(true), bytes_(bytes) {}

 private:
  std::uint64_t size_ = 0;
  bool in_memory_ = false;
  std::span<const std::uint8_t> bytes_;
};

// Positioned reads on an open file (pread, preadv), which the source owns.
class FileSource final : public ByteSource {
 public:
  // `size` is the file's size when it was opened; reads past it find the end of the source.
  FileSource(File file, std::uint64_t size) noexcept;

  [[nodiscard]] Expected<void, IoError> read_exact_at(std::span<std::uint8_t> buf,
                                                      std::uint64_t offset) const override;
  [[nodiscard]] std::size_t read_available_at(std::span<std::uint8_t> buf,
                                              std::uint64_t offset) const noexcept override;
  [[nodiscard]] std::size_t read_available_at(std::span<const iovec> pieces,
                                              std::uint64_t offset) const noexcept override;

 private:
  File file_;
};

// Reads of a source that holds its bytes as one span: copies out of bytes(), the short-read
// error where the span ends first.
class SpanSource : public ByteSource {
 public:
  [[nodiscard]] Expected<void, IoError> read_exact_at(std::span<std::uint8_t> buf,
                                                      std::uint64_t offset) const final;
  [[nodiscard]] std::size_t read_available_at(std::span<std::uint8_t> buf,
                                              std::uint64_t offset) const noexcept final;
  [[nodiscard]] std::size_t read_available_at(std::span<const iovec> pieces,
                                              std::uint64_t offset) const noexcept final;

 protected:
  explicit SpanSource(std::span<const std::uint8_t> bytes) noexcept : ByteSource(bytes) {}
};

// Bytes in memory: a vector the source owns, or a span the caller keeps alive.
class MemorySource final : public SpanSource {
 public:
  explicit MemorySource(std::vector<std::uint8_t> bytes) noexcept;
  // Requires: `bytes` outlives the source.
  explicit MemorySource(std::span<const std::uint8_t> bytes) noexcept : SpanSource(bytes) {}

 private:
  std::vector<std::uint8_t> owned_;
};

// A read-only private mapping of a whole file, unmapped when the source is destroyed. The file's
// descriptor is not needed once the mapping exists. Touching a page that a truncation of the file
// took away raises SIGBUS: the owner of the database decides what that does.
class MappedSource final : public SpanSource {
 public:
  // Maps the first `size` bytes of `file` and gives the kernel `advice` (an madvise value) on
  // how they will be read; nothing (and errno set) when the file system cannot map the file, the
  // size is 0 or more than the address space can hold.
  [[nodiscard]] static std::unique_ptr<MappedSource> map(const File& file, std::uint64_t size,
                                                         int advice) noexcept;
  ~MappedSource() override;

 private:
  explicit MappedSource(std::span<const std::uint8_t> bytes) noexcept : SpanSource(bytes) {}
};

}  // namespace quorvale_dat::detail
