// The library's error values as the package's exceptions (quorvale_dat/_types.py): DatError and
// its subclasses NotFoundError, CorruptionError, DatIOError, ParseError and ImageError, each with
// the error's display text as its message, its debug text as `debug` and its one-line summary()
// as `summary` (for ParseError, the decoder error's summary(), which is also its message).
//
// Every function here needs the GIL.
#pragma once

#include <pybind11/pybind11.h>

#include "quorvale_dat/dat_error.hpp"
#include "quorvale_dat/image.hpp"
#include "quorvale_dat/parse_error.hpp"

namespace quorvale_dat::python {

namespace py = pybind11;

// Imports quorvale_dat._types and keeps its classes for the life of the process. Called once,
// when the module is imported.
void load_types();

// The classes of quorvale_dat._types, as loaded by load_types().
[[nodiscard]] py::handle record_type_class();
[[nodiscard]] py::handle pixel_format_class();

// An archive's error as an exception object, not raised: NotFoundError for an absent id,
// DatIOError for a failed system call (with its errno), CorruptionError for a damaged archive
// (a broken chain or directory, or a read that finds the end of the file first), DatError for
// anything else.
[[nodiscard]] py::object archive_error(const DatError& error);

// A decoder's failure as a ParseError object, naming the failing field and record type.
[[nodiscard]] py::object parse_error(const ParseError& error);

// Texture::unpack's DatError: its BinRead as a ParseError, anything else as archive_error().
[[nodiscard]] py::object decode_error(const DatError& error);

[[nodiscard]] py::object image_error(const ImageError& error);

// Raises the exception object: sets it as Python's current error and throws
// py::error_already_set, which pybind11 hands back to the interpreter.
[[noreturn]] void raise(const py::object& exception);

}  // namespace quorvale_dat::python
