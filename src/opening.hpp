// Opening an archive as far as its header: the byte source and the header read from it, shared
// by DatDatabase's opening and by verify, which walks the directory its own way.
#pragma once

#include <filesystem>
#include <memory>
#include <vector>

#include "byte_source.hpp"
#include "file_cursor.hpp"
#include "quorvale_dat/dat_error.hpp"
#include "quorvale_dat/database.hpp"
#include "quorvale_dat/expected.hpp"
#include "quorvale_dat/header.hpp"

namespace quorvale_dat::detail {

struct OpenedSource {
  std::unique_ptr<const ByteSource> source;
  DatHeader header;
  // Where opening walks the directory, when not from `source`: positioned reads of a mapped
  // file. The directory's nodes lie one or two to a page over the whole file, and the kernel's
  // work to map each of those pages on first touch and unmap them all again costs more than
  // reading the nodes (about twice the reads' time on an archive whose chains are scattered).
  std::unique_ptr<const ByteSource> directory;
};

// Opens `path` read-only, seeks to the header, reads it field by field with plain reads and takes
// the file's size: PathError when the file cannot be opened, Io when seeking or taking the size
// fails, BinRead when the header is cut short or cannot be read.
// With `options`, the file is then mapped when they ask for it and it can be, and the access hint
// is given to the mapping or the file.
[[nodiscard]] Expected<OpenedSource, DatError> open_file_source(const std::filesystem::path& path,
                                                                const OpenOptions& options = {});

// The same over bytes in memory, which the source takes: BinRead when the header is cut short.
[[nodiscard]] Expected<OpenedSource, DatError> open_memory_source(std::vector<std::uint8_t> bytes);

// The header read from the file's current position (defined beside the SpanCursor version, whose
// field lines the context frames name).
[[nodiscard]] ParseResult<DatHeader> read_header(FileCursor& cursor);

}  // namespace quorvale_dat::detail
