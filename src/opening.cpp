#include "opening.hpp"

#include <fcntl.h>
#include <sys/mman.h>

#include <type_traits>
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

// A header that does not read, with where: the header, in data of `size` bytes (if known).
template <class Size>
DatError in_header(ParseError error, const Size& size) {
  DatError out(std::move(error));
  out.set_place("the header");
  if constexpr (std::is_integral_v<Size>) {
    out.set_data_end(size);
  } else if (size) {
    out.set_data_end(*size);
  }
  return out;
}

}  // namespace

Expected<OpenedSource, DatError> open_file_source(const std::filesystem::path& path,
                                                  const OpenOptions& options) {
  auto file = File::open_read_only(path);
  if (!file) return Unexpected(DatError::PathError{path, std::move(file.error())});

  FileCursor cursor(*file, 0);
  if (auto r = cursor.seek(format::kHeaderOffset); !r) return Unexpected(std::move(r.error()));
  auto header = read_header(cursor);
  if (!header) return Unexpected(in_header(std::move(header.error()), file->size()));

  auto size = file->size();
  if (!size) return Unexpected(std::move(size.error()));
  const Hints hints = hints_of(options.access);
  if (options.map) {
    if (auto mapped = MappedSource::map(*file, *size, hints.map)) {
      return OpenedSource{std::move(mapped), std::move(*header),
                          std::make_unique<FileSource>(std::move(*file), *size)};
    }
  }
  // A hint: failing changes nothing.
  if (hints.file != POSIX_FADV_NORMAL) (void)::posix_fadvise(file->fd(), 0, 0, hints.file);
  return OpenedSource{std::make_unique<FileSource>(std::move(*file), *size), std::move(*header),
                      nullptr};
}

Expected<OpenedSource, DatError> open_memory_source(std::vector<std::uint8_t> bytes) {
  SpanCursor cursor(bytes);
  (void)cursor.seek(format::kHeaderOffset);  // cannot fail in memory
  auto header = DatHeader::read(cursor);
  if (!header) return Unexpected(in_header(std::move(header.error()), bytes.size()));
  return OpenedSource{std::make_unique<MemorySource>(std::move(bytes)), std::move(*header),
                      nullptr};
}

}  // namespace quorvale_dat::detail
