// Images as NumPy arrays, shared by Archive.texture_rgba and Texture.to_rgba.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <vector>

#include "quorvale_dat/file_type/texture.hpp"
#include "quorvale_dat/image.hpp"

namespace quorvale_dat::python {

namespace py = pybind11;

// The ARGB colours a palette argument stands for: a Palette's colours, or a sequence of ints.
// Raises TypeError for anything else. Needs the GIL.
[[nodiscard]] std::vector<std::uint32_t> palette_colours(py::handle palette);

// An RGBA image as a NumPy uint8 array of shape (height, width, 4) over the image's own pixels:
// the array owns the image, nothing is copied. Needs the GIL.
[[nodiscard]] py::object rgba_array(Image image);

// Texture.to_rgba(palette=None): the texture's RGBA pixels as an array; `palette` is None or a
// palette argument as above. Raises ImageError.
[[nodiscard]] py::object texture_to_rgba(const file_type::Texture& texture, py::handle palette);

}  // namespace quorvale_dat::python
