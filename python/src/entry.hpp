// Entry: a directory entry as a Python object. A plain CPython type rather than a pybind11
// class, because records() makes one for every record and a pybind11 instance costs several
// times as much to create; everything the package returns as an Entry is made here.
#pragma once

#include <pybind11/pybind11.h>

#include "quorvale_dat/file_entry.hpp"

namespace quorvale_dat::python {

namespace py = pybind11;

// Creates the type and adds it to the module as Entry. Called once, at import.
void bind_entry(py::module_& m);

// A new Entry for `entry`; nullptr with MemoryError set when out of memory. Needs the GIL.
[[nodiscard]] PyObject* new_entry(const DatFileEntry& entry) noexcept;

// new_entry() as an object; raises on failure.
[[nodiscard]] py::object entry_object(const DatFileEntry& entry);

}  // namespace quorvale_dat::python
