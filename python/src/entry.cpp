#include "entry.hpp"

#include <structmember.h>

#include <cstddef>
#include <cstdio>
#include <string>

namespace quorvale_dat::python {
namespace {

struct EntryObject {
  PyObject ob_base;  // PyObject_HEAD
  DatFileEntry entry;
};

PyTypeObject* entry_type = nullptr;  // a strong reference, for the life of the process

const DatFileEntry& entry_of(PyObject* self) noexcept {
  return reinterpret_cast<EntryObject*>(self)->entry;
}

std::string hex8(std::uint32_t value) {
  char text[11];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

PyObject* entry_repr(PyObject* self) {
  const DatFileEntry& e = entry_of(self);
  const std::string text = "Entry(id=" + hex8(e.id) + ", size=" + std::to_string(e.size) +
                           ", offset=" + hex8(e.offset) + ", flags=" + hex8(e.bit_flags) +
                           ", compressed=" + (e.is_compressed() ? "True" : "False") + ")";
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* entry_richcompare(PyObject* self, PyObject* other, int op) {
  if (!PyObject_TypeCheck(other, entry_type) || (op != Py_EQ && op != Py_NE)) {
    Py_RETURN_NOTIMPLEMENTED;
  }
  const bool equal = entry_of(self) == entry_of(other);
  return PyBool_FromLong((op == Py_EQ) == equal ? 1 : 0);
}

Py_hash_t entry_hash(PyObject* self) {
  const DatFileEntry& e = entry_of(self);
  std::uint64_t h = 1469598103934665603ULL;  // FNV-1a over the six fields
  for (std::uint32_t v : {e.bit_flags, e.id, e.offset, e.size, e.timestamp, e.version}) {
    h = (h ^ v) * 1099511628211ULL;
  }
  const auto hash = static_cast<Py_hash_t>(h >> 1);
  return hash == -1 ? -2 : hash;
}

PyObject* entry_compressed(PyObject* self, void*) {
  return PyBool_FromLong(entry_of(self).is_compressed() ? 1 : 0);
}

PyObject* entry_type_byte(PyObject* self, void*) {
  return PyLong_FromLong(entry_of(self).id >> 24);
}

constexpr Py_ssize_t field(std::size_t offset) {
  return static_cast<Py_ssize_t>(offsetof(EntryObject, entry) + offset);
}

PyMemberDef entry_members[] = {
    {"id", T_UINT, field(offsetof(DatFileEntry, id)), READONLY,
     "The record's id; its top byte is its type."},
    {"size", T_UINT, field(offsetof(DatFileEntry, size)), READONLY,
     "The stored size in bytes, before any decompression."},
    {"offset", T_UINT, field(offsetof(DatFileEntry, offset)), READONLY,
     "The absolute file offset of the record's first block."},
    {"flags", T_UINT, field(offsetof(DatFileEntry, bit_flags)), READONLY,
     "The entry's bit flags; bit 0 says the record is LRS-compressed."},
    {"timestamp", T_UINT, field(offsetof(DatFileEntry, timestamp)), READONLY,
     "The entry's timestamp, as stored."},
    {"version", T_UINT, field(offsetof(DatFileEntry, version)), READONLY,
     "The entry's version, as stored."},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef entry_getset[] = {
    {"compressed", entry_compressed, nullptr, "Whether the stored bytes are LRS-compressed.",
     nullptr},
    {"type", entry_type_byte, nullptr, "The record's type byte (compare with RecordType).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot entry_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("A directory entry: where a record's bytes lie and how they are stored.")},
    {Py_tp_repr, reinterpret_cast<void*>(entry_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(entry_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(entry_hash)},
    {Py_tp_members, entry_members},
    {Py_tp_getset, entry_getset},
    {0, nullptr},
};

PyType_Spec entry_spec = {
    "quorvale_dat.Entry", static_cast<int>(sizeof(EntryObject)), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION, entry_slots};

}  // namespace

void bind_entry(py::module_& m) {
  PyObject* type = PyType_FromSpec(&entry_spec);
  if (type == nullptr) throw py::error_already_set();
  entry_type = reinterpret_cast<PyTypeObject*>(type);
  m.attr("Entry") = py::reinterpret_borrow<py::object>(type);
}

PyObject* new_entry(const DatFileEntry& entry) noexcept {
  PyObject* self = entry_type->tp_alloc(entry_type, 0);
  if (self != nullptr) reinterpret_cast<EntryObject*>(self)->entry = entry;
  return self;
}

py::object entry_object(const DatFileEntry& entry) {
  PyObject* self = new_entry(entry);
  if (self == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(self);
}

}  // namespace quorvale_dat::python
