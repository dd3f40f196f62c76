#include "errors.hpp"

#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace quorvale_dat::python {
namespace {

// Strong references kept for the life of the process: a py::object in static storage would be
// released after the interpreter has gone.
struct Types {
  PyObject* dat_error = nullptr;
  PyObject* not_found = nullptr;
  PyObject* corruption = nullptr;
  PyObject* io = nullptr;
  PyObject* parse = nullptr;
  PyObject* image = nullptr;
  PyObject* record_type = nullptr;
  PyObject* pixel_format = nullptr;
};
Types types;

py::handle type(PyObject* t) { return py::handle(t); }

// The root IoError of an archive error, if it has one.
const IoError* io_root(const DatError& error) noexcept {
  if (const auto* io = error.get_if<DatError::Io>()) return &io->error;
  if (const auto* bin = error.get_if<DatError::BinRead>()) {
    if (const auto* io = bin->error.root().get_if<ParseError::Io>()) return &io->error;
  }
  return nullptr;
}

// The message of an archive error: its display text, with a parse error's context on one line
// rather than the framed block of ParseError::display().
std::string message_of(const DatError& error) {
  if (const auto* bin = error.get_if<DatError::BinRead>()) {
    return "Binary read error: " + bin->error.summary();
  }
  return error.display();
}

using namespace pybind11::literals;

py::object io_error(const std::string& message, const std::string& debug,
                    const std::string& summary, const IoError& io,
                    std::optional<std::string> filename) {
  py::object errno_value = py::none();
  py::object strerror = py::none();
  if (io.is_os_error()) {
    errno_value = py::int_(io.raw_os_error());
    strerror = py::str(io.message());
  }
  py::object name = filename ? py::object(py::str(*filename)) : py::object(py::none());
  return type(types.io)(message, debug, errno_value, strerror, name, "summary"_a = summary);
}

// The field and record type of the innermost field frame: "While parsing field 'colors' in
// Palette" names the field colors of Palette.
std::pair<py::object, py::object> failing_field(const ParseError& error) {
  constexpr std::string_view kPrefix = "While parsing field '";
  constexpr std::string_view kMiddle = "' in ";
  for (const BacktraceFrame& frame : error.frames()) {
    const auto* full = std::get_if<BacktraceFrame::Full>(&frame.value);
    if (full == nullptr) continue;
    const std::string_view message = full->message;
    if (!message.starts_with(kPrefix)) continue;
    const std::size_t middle = message.find(kMiddle, kPrefix.size());
    if (middle == std::string_view::npos) continue;
    return {py::str(std::string(message.substr(kPrefix.size(), middle - kPrefix.size()))),
            py::str(std::string(message.substr(middle + kMiddle.size())))};
  }
  return {py::none(), py::none()};
}

constexpr const char* kReasons[] = {"NoConversion", "InvalidSize", "LengthMismatch",
                                    "MissingPalette"};
static_assert(std::size(kReasons) == std::variant_size_v<ImageError::Value>);

}  // namespace

void load_types() {
  py::module_ m = py::module_::import("quorvale_dat._types");
  const auto keep = [&](const char* name) { return py::object(m.attr(name)).release().ptr(); };
  types.dat_error = keep("DatError");
  types.not_found = keep("NotFoundError");
  types.corruption = keep("CorruptionError");
  types.io = keep("DatIOError");
  types.parse = keep("ParseError");
  types.image = keep("ImageError");
  types.record_type = keep("RecordType");
  types.pixel_format = keep("SurfacePixelFormat");
}

py::handle record_type_class() { return type(types.record_type); }
py::handle pixel_format_class() { return type(types.pixel_format); }

py::object archive_error(const DatError& error) {
  const std::string message = message_of(error);
  const std::string debug = error.debug();
  const std::string summary = error.summary();
  const auto plain = [&](PyObject* cls) {
    return type(cls)(message, debug, "summary"_a = summary);
  };
  if (const auto* not_found = error.get_if<DatError::NotFound>()) {
    return type(types.not_found)(message, debug, not_found->id, "summary"_a = summary);
  }
  if (const auto* path = error.get_if<DatError::PathError>()) {
    return io_error(message, debug, summary, path->source, path->path.string());
  }
  if (error.holds<DatError::Corruption>() || error.holds<DatError::DecompressionFailed>()) {
    return plain(types.corruption);
  }
  if (const IoError* io = io_root(error)) {
    // A read that finds the end of the file before the data it looks for is the archive's
    // fault, not the system's.
    if (io->kind() == ErrorKind::UnexpectedEof) return plain(types.corruption);
    return io_error(message, debug, summary, *io, std::nullopt);
  }
  if (error.holds<DatError::BinRead>()) return plain(types.corruption);
  return plain(types.dat_error);
}

py::object parse_error(const ParseError& error) {
  auto [field, record] = failing_field(error);
  const std::string summary = error.summary();
  return type(types.parse)(summary, error.debug(), field, record, "summary"_a = summary);
}

py::object decode_error(const DatError& error) {
  if (const auto* bin = error.get_if<DatError::BinRead>()) return parse_error(bin->error);
  return archive_error(error);
}

py::object image_error(const ImageError& error) {
  return type(types.image)(error.display(), error.debug(), kReasons[error.index()]);
}

void raise(const py::object& exception) {
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.ptr())), exception.ptr());
  throw py::error_already_set();
}

}  // namespace quorvale_dat::python
