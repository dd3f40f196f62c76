#include "opening.hpp"

#include <fcntl.h>
#include <sys/mman.h>

#include <utility>

#include "quorvale_dat/format.hpp"

namespace quorvale_dat::detail {

namespace {

// The kernel's read-ahead hints for `access`: for a mapping (madvise) and for positioned reads
// (posix_fadvise).
struct Hints {
  int map = MADV_NORMAL;
  int file = POSIX_FADV_NORMAL;
};

Hints hints_of(Access access) noexcept {
  switch (access) {
    case Access::normal:
      return {};
    case Access::random:
      return {MADV_RANDOM, POSIX_FADV_RANDOM};
    case Access::sequential:
      return {MADV_SEQUENTIAL, POSIX_FADV_SEQUENTIAL};
    case Access::willneed:
      return {MADV_WILLNEED, POSIX_FADV_WILLNEED};
  }
  return {};
}

}  // namespace

Expected<OpenedSource, DatError> open_file_source(const std::filesystem::path& path,
                                                  const OpenOptions& options) {
  auto file = File::open_read_only(path);
  if (!file) return Unexpected(DatError::PathError{path, std::move(file.error())});

  FileCursor cursor(*file, 0);
  if (auto r = cursor.seek(format::kHeaderOffset); !r) return Unexpected(std::move(r.error()));
  auto header = read_header(cursor);
  if (!header) return Unexpected(std::move(header.error()));

  auto size = file->size();
  if (!size) return Unexpected(std::move(size.error()));
  const Hints hints = hints_of(options.access);
  if (options.map) {
    if (auto mapped = MappedSource::map(*file, *size, hints.map)) {
      return OpenedSource{std::move(mapped), std::move(*header)};
    }
  }
  // A hint: failing changes nothing.
  if (hints.file != POSIX_FADV_NORMAL) (void)::posix_fadvise(file->fd(), 0, 0, hints.file);
  return OpenedSource{std::make_unique<FileSource>(std::move(*file), *size), std::move(*header)};
}

Expected<OpenedSource, DatError> open_memory_source(std::vector<std::uint8_t> bytes) {
  SpanCursor cursor(bytes);
  (void)cursor.seek(format::kHeaderOffset);  // cannot fail in memory
  auto header = DatHeader::read(cursor);
  if (!header) return Unexpected(std::move(header.error()));
  return OpenedSource{std::make_unique<MemorySource>(std::move(bytes)), std::move(*header)};
}

}  // namespace quorvale_dat::detail
