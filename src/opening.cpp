#include "opening.hpp"

#include <utility>

#include "quorvale_dat/format.hpp"

namespace quorvale_dat::detail {

Expected<OpenedSource, DatError> open_file_source(const std::filesystem::path& path) {
  auto file = File::open_read_only(path);
  if (!file) return Unexpected(DatError::PathError{path, std::move(file.error())});

  FileCursor cursor(*file, 0);
  if (auto r = cursor.seek(format::kHeaderOffset); !r) return Unexpected(std::move(r.error()));
  auto header = read_header(cursor);
  if (!header) return Unexpected(std::move(header.error()));

  auto size = file->size();
  if (!size) return Unexpected(std::move(size.error()));
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
