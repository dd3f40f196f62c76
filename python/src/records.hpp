// Archive.records(): every record of an archive in one pass, as an iterator of (Entry, bytes or
// DatError) pairs. for_each_file runs on a thread of its own without the GIL and hands the
// records over in batches; the iterator, a plain CPython type so that each step costs no more
// than the objects it makes, turns them into pairs.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>
#include <optional>

#include "quorvale_dat/database.hpp"

namespace quorvale_dat::python {

namespace py = pybind11;

// Creates the iterator type and adds it to the module as RecordIterator.
void bind_records(py::module_& m);

// A new iterator over the records of `db`, only those of type byte `type` when given. The walk
// starts at the first next().
[[nodiscard]] py::object record_stream(std::shared_ptr<const DatDatabase> db,
                                       std::optional<std::uint8_t> type);

}  // namespace quorvale_dat::python
