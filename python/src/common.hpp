// Small pieces shared by the bindings: a read-only view of any bytes-like object, record ids
// from Python ints, and the parts of the module each file binds.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>
#include <span>

namespace quorvale_dat::python {

namespace py = pybind11;

// The bytes of a bytes-like object (bytes, bytearray, memoryview, a contiguous NumPy array),
// held for as long as the view lives: the exporter cannot resize or free them meanwhile, so the
// view may be read without the GIL. Raises TypeError for anything else, BufferError for a
// buffer that is not contiguous. Create and destroy it with the GIL held.
class ByteView {
 public:
  explicit ByteView(py::handle object);
  ByteView(const ByteView&) = delete;
  ByteView& operator=(const ByteView&) = delete;
  ~ByteView() { PyBuffer_Release(&view_); }

  [[nodiscard]] std::span<const std::uint8_t> bytes() const noexcept {
    return {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
  }

 private:
  Py_buffer view_{};
};

[[nodiscard]] inline py::bytes to_bytes(std::span<const std::uint8_t> data) {
  return py::bytes(reinterpret_cast<const char*>(data.data()), data.size());
}

// A record id: an int from 0 to 2^32 - 1, or nullopt for an int outside that range (no record
// has such an id). Raises TypeError for anything but an int.
[[nodiscard]] std::optional<std::uint32_t> as_id(py::handle object);

// A record type byte, 0 to 255 (a RecordType or an int); raises ValueError outside it.
[[nodiscard]] std::uint8_t as_type_byte(py::handle object);

void bind_archive(py::module_& m);
void bind_decoders(py::module_& m);
void bind_images(py::module_& m);

}  // namespace quorvale_dat::python
