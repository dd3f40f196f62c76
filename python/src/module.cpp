// quorvale_dat._native: the compiled part of the Python package quorvale_dat. The package's
// __init__ imports quorvale_dat._types (exceptions and enumerations) before this module, which
// raises and returns those classes.
#include <pybind11/pybind11.h>

#include "common.hpp"
#include "entry.hpp"
#include "errors.hpp"
#include "records.hpp"

#ifndef QUORVALE_DAT_VERSION
#error "QUORVALE_DAT_VERSION must name the project's version"
#endif

PYBIND11_MODULE(_native, m) {
  namespace qp = quorvale_dat::python;
  m.doc() = "The compiled part of quorvale_dat; import quorvale_dat instead.";
  m.attr("__version__") = QUORVALE_DAT_VERSION;
  qp::load_types();
  qp::bind_entry(m);
  qp::bind_records(m);
  qp::bind_archive(m);
  qp::bind_decoders(m);
  qp::bind_images(m);
}
