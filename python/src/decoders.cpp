// Surface, TextureRefs, SurfaceTexture, Texture and Palette with their unpack() decoders, and
// decompress_lrs(). Decoding runs without the GIL, over the caller's bytes.
#include <pybind11/operators.h>
#include <pybind11/stl.h>

#include <string>
#include <utility>

#include "common.hpp"
#include "errors.hpp"
#include "images.hpp"
#include "quorvale_dat/file_type/palette.hpp"
#include "quorvale_dat/file_type/surface.hpp"
#include "quorvale_dat/file_type/surface_texture.hpp"
#include "quorvale_dat/file_type/texture.hpp"
#include "quorvale_dat/utils.hpp"

namespace quorvale_dat::python {
namespace {

namespace ft = file_type;
using namespace pybind11::literals;

// Runs a decoder over the bytes of `data` without the GIL; a failure is raised as the exception
// `to_exception` makes of its error.
template <class Decode, class ToException>
auto decode(py::handle data, Decode decode_bytes, ToException to_exception) {
  const ByteView view(data);
  auto result = [&] {
    py::gil_scoped_release nogil;
    return decode_bytes(view.bytes());
  }();
  if (!result) raise(to_exception(result.error()));
  return std::move(*result);
}

std::string hex_id(std::uint32_t id) { return py::str("0x{:08X}").format(id).cast<std::string>(); }

std::string optional_id(const std::optional<std::uint32_t>& id) {
  return id ? hex_id(*id) : "None";
}

std::string repr_of(const ft::TextureRefs& refs) {
  return "TextureRefs(orig_texture_id=" + hex_id(refs.orig_texture_id) +
         ", orig_palette_id=" + hex_id(refs.orig_palette_id) + ")";
}

std::string float_repr(float value) { return py::repr(py::float_(value)).cast<std::string>(); }

}  // namespace

void bind_decoders(py::module_& m) {
  py::class_<ft::TextureRefs>(m, "TextureRefs",
                              "The texture reference of a textured Surface: a SurfaceTexture "
                              "(0x05xxxxxx) or texture id, and a palette id.")
      .def_readonly("orig_texture_id", &ft::TextureRefs::orig_texture_id,
                    "A SurfaceTexture id (type byte 0x05) or a texture id.")
      .def_readonly("orig_palette_id", &ft::TextureRefs::orig_palette_id, "A palette id.")
      .def(py::self == py::self)
      .def("__repr__", &repr_of);

  py::class_<ft::Surface>(m, "Surface",
                          "A Surface record (ids 0x08xxxxxx): a flat colour or a texture "
                          "reference, and three lighting factors.")
      .def_static(
          "unpack",
          [](py::handle data) {
            return decode(data, &ft::Surface::unpack,
                          [](const ParseError& e) { return parse_error(e); });
          },
          "data"_a,
          "Decodes a Surface record from its bytes (any bytes-like object). Raises ParseError "
          "naming the field that failed.")
      .def_readonly("surface_type", &ft::Surface::surface_type,
                    "Bits 0x6 say whether the surface is textured.")
      .def_readonly("texture_refs", &ft::Surface::texture_refs,
                    "TextureRefs of a textured surface, else None.")
      .def_readonly("color_value", &ft::Surface::color_value,
                    "The ARGB colour of an untextured surface, else None.")
      .def_readonly("translucency", &ft::Surface::translucency, "A lighting factor, as stored.")
      .def_readonly("luminosity", &ft::Surface::luminosity, "A lighting factor, as stored.")
      .def_readonly("diffuse", &ft::Surface::diffuse, "A lighting factor, as stored.")
      .def("__repr__", [](const ft::Surface& s) {
        return "Surface(surface_type=" +
               py::str("0x{:X}").format(s.surface_type).cast<std::string>() +
               ", texture_refs=" + (s.texture_refs ? repr_of(*s.texture_refs) : "None") +
               ", color_value=" + optional_id(s.color_value) +
               ", translucency=" + float_repr(s.translucency) +
               ", luminosity=" + float_repr(s.luminosity) + ", diffuse=" + float_repr(s.diffuse) +
               ")";
      });

  py::class_<ft::SurfaceTexture>(m, "SurfaceTexture",
                                 "A SurfaceTexture record (ids 0x05xxxxxx): a list of texture ids.")
      .def_static(
          "unpack",
          [](py::handle data) {
            return decode(data, &ft::SurfaceTexture::unpack,
                          [](const ParseError& e) { return parse_error(e); });
          },
          "data"_a, "Decodes a SurfaceTexture record from its bytes. Raises ParseError.")
      .def_readonly("id", &ft::SurfaceTexture::id, "The record's own id, as stored.")
      .def_readonly("unknown_int", &ft::SurfaceTexture::unknown_int,
                    "A stored value, not interpreted.")
      .def_readonly("unknown_byte", &ft::SurfaceTexture::unknown_byte,
                    "A stored value, not interpreted.")
      .def_readonly("textures", &ft::SurfaceTexture::textures, "The texture ids, a list of int.")
      .def(py::self == py::self)
      .def("__repr__", [](const ft::SurfaceTexture& s) {
        std::string ids;
        for (std::uint32_t id : s.textures) ids += (ids.empty() ? "" : ", ") + hex_id(id);
        return "SurfaceTexture(id=" + hex_id(s.id) +
               ", unknown_int=" + std::to_string(s.unknown_int) +
               ", unknown_byte=" + std::to_string(s.unknown_byte) + ", textures=[" + ids + "])";
      });

  py::class_<ft::Texture>(m, "Texture",
                          "A Texture record: one image's size, pixel-format code and raw pixel "
                          "bytes, and for P8 and Index16 the id of a default palette.")
      .def_static(
          "unpack",
          [](py::handle data) {
            return decode(data, &ft::Texture::unpack,
                          [](const DatError& e) { return decode_error(e); });
          },
          "data"_a, "Decodes a Texture record from its bytes. Raises ParseError.")
      .def_readonly("id", &ft::Texture::id, "The record's own id, as stored.")
      .def_readonly("_unknown", &ft::Texture::_unknown, "A stored value, not interpreted.")
      .def_readonly("width", &ft::Texture::width, "The width as stored (an image has at least 1).")
      .def_readonly("height", &ft::Texture::height,
                    "The height as stored (an image has at least 1).")
      .def_readonly("format_raw", &ft::Texture::format_raw, "The pixel-format code as stored.")
      .def_property_readonly(
          "format", [](const ft::Texture& t) { return pixel_format_class()(t.format_raw); },
          "The pixel format, a SurfacePixelFormat (Other(code) for an unnamed code).")
      .def_readonly("length", &ft::Texture::length, "The number of pixel bytes.")
      .def_property_readonly(
          "source_data", [](const ft::Texture& t) { return to_bytes(t.source_data); },
          "The pixel bytes as stored, a new bytes object on each access.")
      .def_readonly("default_palette_id", &ft::Texture::default_palette_id,
                    "The palette id of a P8 or Index16 texture, else None.")
      .def("to_rgba", &texture_to_rgba, "palette"_a = py::none(),
           "The pixels as a NumPy uint8 array of shape (height, width, 4), R, G, B, A. An "
           "indexed texture (P8, Index16) needs `palette`, a Palette or a sequence of ARGB "
           "ints; other formats ignore it. Raises ImageError when the texture cannot be "
           "converted.")
      .def(py::self == py::self)
      .def("__repr__", [](const ft::Texture& t) {
        return "Texture(id=" + hex_id(t.id) +
               ", format=" + py::repr(pixel_format_class()(t.format_raw)).cast<std::string>() +
               ", width=" + std::to_string(t.width) + ", height=" + std::to_string(t.height) +
               ", length=" + std::to_string(t.length) +
               ", default_palette_id=" + optional_id(t.default_palette_id) + ")";
      });

  py::class_<ft::Palette>(m, "Palette",
                          "A Palette record (ids 0x04xxxxxx): a list of ARGB colours, alpha in "
                          "bits 24-31, then red, green and blue.")
      .def_static(
          "unpack",
          [](py::handle data) {
            return decode(data, &ft::Palette::unpack,
                          [](const ParseError& e) { return parse_error(e); });
          },
          "data"_a, "Decodes a Palette record from its bytes. Raises ParseError.")
      .def_readonly("id", &ft::Palette::id, "The record's own id, as stored.")
      .def_readonly("colors", &ft::Palette::colors, "The colours, a list of int (ARGB).")
      .def("__len__", [](const ft::Palette& p) { return p.colors.size(); })
      .def(py::self == py::self)
      .def("__repr__", [](const ft::Palette& p) {
        return "Palette(id=" + hex_id(p.id) + ", colors=<" + std::to_string(p.colors.size()) +
               " colors>)";
      });

  m.def(
      "decompress_lrs",
      [](py::handle data) {
        const ByteView view(data);
        std::vector<std::uint8_t> out;
        {
          py::gil_scoped_release nogil;
          out = utils::decompress_lrs(view.bytes());
        }
        return to_bytes(out);
      },
      "data"_a,
      "Decompresses an LRS stream (a little-endian u32 size, then the compressed groups) as "
      "stored for a compressed record. Never fails: a short or malformed stream gives the bytes "
      "made up to where it stops, an input under 4 bytes comes back unchanged.");
}

}  // namespace quorvale_dat::python
