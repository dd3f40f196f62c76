// quorvale_dat_testbuilder: the project's archive builder for the Python tests. Archives and
// record bytes are made by the same code the C++ tests use (tools/builder), never by hand in
// Python. Test-only: not part of the package.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "quorvale_dat_builder/archive_builder.hpp"
#include "quorvale_dat_builder/dxt_encoder.hpp"
#include "quorvale_dat_builder/lrs_encoder.hpp"
#include "quorvale_dat_builder/records.hpp"

namespace {

namespace py = pybind11;
namespace build = quorvale_dat::build;
namespace ft = quorvale_dat::file_type;
using namespace pybind11::literals;
using Bytes = std::vector<std::uint8_t>;

Bytes bytes_of(const py::bytes& data) {
  const std::string s = data;
  return Bytes(s.begin(), s.end());
}

py::bytes to_py(const Bytes& data) {
  return py::bytes(reinterpret_cast<const char*>(data.data()), data.size());
}

}  // namespace

PYBIND11_MODULE(quorvale_dat_testbuilder, m) {
  m.doc() = "The project's archive builder, for the Python tests.";

  m.def(
      "build_archive",
      [](const py::list& records, std::uint32_t block_size, bool scattered,
         std::uint32_t entries_per_node, std::uint64_t seed) {
        std::vector<build::Record> built;
        for (py::handle r : records) {
          const auto t = r.cast<py::tuple>();
          build::Record record{.id = t[0].cast<std::uint32_t>(), .data = bytes_of(t[1])};
          if (t.size() > 2) record.compressed = t[2].cast<bool>();
          built.push_back(std::move(record));
        }
        const build::ArchiveOptions options{
            .block_size = block_size,
            .layout = scattered ? build::Layout::Scattered : build::Layout::Sequential,
            .seed = seed,
            .entries_per_node = entries_per_node};
        return to_py(build::build_archive(built, options));
      },
      "records"_a, "block_size"_a = 1024, "scattered"_a = false, "entries_per_node"_a = 61,
      "seed"_a = 1, "An archive of (id, data) or (id, data, compressed) records, as bytes.");

  m.def(
      "encode_texture",
      [](std::uint32_t id, std::int32_t width, std::int32_t height, std::uint32_t format_raw,
         const py::bytes& data, std::optional<std::uint32_t> default_palette_id,
         std::optional<std::int32_t> length) {
        ft::Texture t =
            build::make_texture(id, width, height, format_raw, bytes_of(data), default_palette_id);
        if (length) t.length = *length;
        return to_py(build::encode_texture(t));
      },
      "id"_a, "width"_a, "height"_a, "format_raw"_a, "data"_a, "default_palette_id"_a = py::none(),
      "length"_a = py::none());

  m.def(
      "encode_palette",
      [](std::uint32_t id, std::vector<std::uint32_t> colors) {
        return to_py(build::encode_palette({id, std::move(colors)}));
      },
      "id"_a, "colors"_a);

  m.def(
      "encode_surface",
      [](std::uint32_t surface_type, std::optional<std::pair<std::uint32_t, std::uint32_t>> refs,
         std::optional<std::uint32_t> color_value, float translucency, float luminosity,
         float diffuse) {
        ft::Surface s;
        s.surface_type = surface_type;
        if (refs) s.texture_refs = ft::TextureRefs{refs->first, refs->second};
        s.color_value = color_value;
        s.translucency = translucency;
        s.luminosity = luminosity;
        s.diffuse = diffuse;
        return to_py(build::encode_surface(s));
      },
      "surface_type"_a, "texture_refs"_a = py::none(), "color_value"_a = py::none(),
      "translucency"_a = 0.0f, "luminosity"_a = 0.0f, "diffuse"_a = 0.0f);

  m.def(
      "encode_surface_texture",
      [](std::uint32_t id, std::int32_t unknown_int, std::uint8_t unknown_byte,
         std::vector<std::uint32_t> textures) {
        return to_py(build::encode_surface_texture({.id = id,
                                                    .unknown_int = unknown_int,
                                                    .unknown_byte = unknown_byte,
                                                    .textures = std::move(textures)}));
      },
      "id"_a, "unknown_int"_a, "unknown_byte"_a, "textures"_a);

  m.def(
      "compress_lrs",
      [](const py::bytes& data) { return to_py(build::compress_lrs(bytes_of(data))); }, "data"_a);

  m.def(
      "encode_dxt",
      [](int kind, const py::bytes& rgba, std::uint32_t width, std::uint32_t height) {
        const build::DxtFormat format = kind == 1   ? build::DxtFormat::Dxt1
                                        : kind == 3 ? build::DxtFormat::Dxt3
                                                    : build::DxtFormat::Dxt5;
        return to_py(build::encode_dxt(format, bytes_of(rgba), width, height));
      },
      "kind"_a, "rgba"_a, "width"_a, "height"_a, "Dxt1, Dxt3 or Dxt5 blocks (kind 1, 3, 5).");
}
