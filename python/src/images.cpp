// Texture pixels and thumbnails as NumPy arrays. An array made here owns the C++ Image its
// pixels live in (through a capsule), so the pixels are written once, by the conversion.
#include "images.hpp"

#include <pybind11/numpy.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "common.hpp"
#include "errors.hpp"
#include "quorvale_dat/file_type/palette.hpp"

namespace quorvale_dat::python {
namespace {

using namespace pybind11::literals;

// The conversion of `texture` without the GIL; an ImageError is raised.
py::object convert(const file_type::Texture& texture,
                   const std::optional<std::vector<std::uint32_t>>& palette) {
  auto image = [&] {
    py::gil_scoped_release nogil;
    return palette ? texture_rgba(texture, *palette) : texture_rgba(texture);
  }();
  if (!image) raise(image_error(image.error()));
  return rgba_array(std::move(*image));
}

py::object thumbnail_of(const py::array_t<std::uint8_t, py::array::c_style>& pixels,
                        std::uint32_t max_side) {
  if (pixels.ndim() != 3 || pixels.shape(2) != 4) {
    throw py::value_error(
        "a thumbnail is made of an RGBA image: a uint8 array of shape "
        "(height, width, 4)");
  }
  if (pixels.shape(0) < 1 || pixels.shape(1) < 1) {
    throw py::value_error("the image has no pixels");
  }
  Image image{PixelLayout::Rgba,
              static_cast<std::uint32_t>(pixels.shape(1)),
              static_cast<std::uint32_t>(pixels.shape(0)),
              std::vector<std::uint8_t>(pixels.data(), pixels.data() + pixels.size()),
              {}};
  Image small;
  {
    py::gil_scoped_release nogil;
    small = thumbnail(image, max_side);
  }
  return rgba_array(std::move(small));
}

}  // namespace

std::vector<std::uint32_t> palette_colours(py::handle palette) {
  if (py::isinstance<file_type::Palette>(palette)) {
    return palette.cast<const file_type::Palette&>().colors;
  }
  if (PyUnicode_Check(palette.ptr()) || PyBytes_Check(palette.ptr()) ||
      PyByteArray_Check(palette.ptr()) || !PySequence_Check(palette.ptr())) {
    throw py::type_error("a palette is a Palette or a sequence of ARGB ints");
  }
  const auto sequence = py::reinterpret_borrow<py::sequence>(palette);
  std::vector<std::uint32_t> colours;
  colours.reserve(sequence.size());
  for (py::handle item : sequence) {
    if (!PyLong_Check(item.ptr())) throw py::type_error("palette colours are ints (ARGB)");
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(item.ptr(), &overflow);
    if (overflow != 0 || value < 0 || value > 0xFFFFFFFFLL) {
      throw py::value_error("a palette colour is a 32-bit ARGB value, 0 to 0xFFFFFFFF");
    }
    colours.push_back(static_cast<std::uint32_t>(value));
  }
  return colours;
}

py::object rgba_array(Image image) {
  auto owned = std::make_unique<Image>(std::move(image));
  const auto h = static_cast<py::ssize_t>(owned->height);
  const auto w = static_cast<py::ssize_t>(owned->width);
  std::uint8_t* data = owned->pixels.data();
  py::capsule owner(owned.get(), [](void* p) { delete static_cast<Image*>(p); });
  owned.release();  // the capsule owns it now
  return py::array_t<std::uint8_t>({h, w, py::ssize_t{4}}, {4 * w, py::ssize_t{4}, py::ssize_t{1}},
                                   data, owner);
}

py::object texture_to_rgba(const file_type::Texture& texture, py::handle palette) {
  std::optional<std::vector<std::uint32_t>> colours;
  if (!palette.is_none()) colours = palette_colours(palette);
  return convert(texture, colours);
}

void bind_images(py::module_& m) {
  m.def("thumbnail", &thumbnail_of, "rgba"_a, "max_side"_a,
        "The RGBA image (a uint8 array of shape (height, width, 4)) made small enough to fit "
        "in max_side x max_side, keeping its aspect ratio and never enlarging it: each pixel "
        "is the area-weighted average of the pixels it covers, colours weighted by alpha. A new "
        "array; an image that fits comes back as a copy.");
}

}  // namespace quorvale_dat::python
