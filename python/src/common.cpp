#include "common.hpp"

#include <string>

namespace quorvale_dat::python {

ByteView::ByteView(py::handle object) {
  if (!PyObject_CheckBuffer(object.ptr())) {
    throw py::type_error(std::string("a bytes-like object is required, not '") +
                         Py_TYPE(object.ptr())->tp_name + "'");
  }
  if (PyObject_GetBuffer(object.ptr(), &view_, PyBUF_SIMPLE) != 0) throw py::error_already_set();
}

std::optional<std::uint32_t> as_id(py::handle object) {
  if (!PyLong_Check(object.ptr())) {
    throw py::type_error(std::string("record ids are int, not '") + Py_TYPE(object.ptr())->tp_name +
                         "'");
  }
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(object.ptr(), &overflow);
  if (overflow != 0 || value < 0 || value > 0xFFFFFFFFLL) return std::nullopt;
  return static_cast<std::uint32_t>(value);
}

std::uint8_t as_type_byte(py::handle object) {
  if (!PyLong_Check(object.ptr())) {
    throw py::type_error(std::string("a record type is a RecordType or an int, not '") +
                         Py_TYPE(object.ptr())->tp_name + "'");
  }
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(object.ptr(), &overflow);
  if (overflow != 0 || value < 0 || value > 0xFF) {
    throw py::value_error("a record type is a byte, 0 to 255");
  }
  return static_cast<std::uint8_t>(value);
}

}  // namespace quorvale_dat::python
