// Archive and Header.
//
// An Archive holds its open DatDatabase through a shared pointer, taken under the GIL by every
// call before it lets the GIL go: close() drops the archive's own reference, and a read or a
// records() stream in progress on another thread keeps the file open until it ends. A const
// DatDatabase reads with positioned reads only, so calls from many threads run side by side.
#include <pybind11/operators.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "common.hpp"
#include "entry.hpp"
#include "errors.hpp"
#include "images.hpp"
#include "quorvale_dat/database.hpp"
#include "quorvale_dat/file_type/palette.hpp"
#include "quorvale_dat/file_type/texture.hpp"
#include "quorvale_dat/format.hpp"
#include "records.hpp"

namespace quorvale_dat::python {
namespace {

namespace ft = file_type;
using namespace pybind11::literals;
using Database = std::shared_ptr<const DatDatabase>;

std::string hex8(std::uint32_t value) {
  return py::str("0x{:08X}").format(value).cast<std::string>();
}

class Archive {
 public:
  Archive(Database db, std::string path) : db_(std::move(db)), path_(std::move(path)) {}

  // The open database; ValueError once the archive is closed.
  [[nodiscard]] Database db() const {
    if (!db_) throw py::value_error("I/O operation on a closed archive");
    return db_;
  }
  void close() noexcept { db_.reset(); }
  [[nodiscard]] bool closed() const noexcept { return db_ == nullptr; }
  [[nodiscard]] const std::string& path() const noexcept { return path_; }

 private:
  Database db_;
  std::string path_;
};

Archive open_archive(const std::filesystem::path& path) {
  auto db = [&] {
    py::gil_scoped_release nogil;
    return DatDatabase::open(path);
  }();
  if (!db) raise(archive_error(db.error()));
  return Archive(std::make_shared<const DatDatabase>(std::move(*db)), path.string());
}

// The id of a lookup; an int that can be no record's id is a KeyError like any absent id.
std::uint32_t lookup_id(py::handle id) {
  const std::optional<std::uint32_t> value = as_id(id);
  if (!value) throw py::key_error(py::repr(id).cast<std::string>());
  return *value;
}

py::bytes get_file(const Archive& archive, py::handle id_object) {
  const std::uint32_t id = lookup_id(id_object);
  const Database db = archive.db();
  auto bytes = [&] {
    py::gil_scoped_release nogil;
    return db->get_file(id);
  }();
  if (!bytes) raise(archive_error(bytes.error()));
  return to_bytes(*bytes);
}

const DatFileEntry& find_entry(const DatDatabase& db, std::uint32_t id) {
  const DatFileEntry* entry = db.files().get(id);
  if (entry == nullptr) raise(archive_error(DatError::NotFound{id}));
  return *entry;
}

py::bytes read_raw(const Archive& archive, py::handle id_object) {
  const std::uint32_t id = lookup_id(id_object);
  const Database db = archive.db();
  const DatFileEntry entry = find_entry(*db, id);
  auto bytes = [&] {
    py::gil_scoped_release nogil;
    return db->read_file_data(entry.offset, entry.size);
  }();
  if (!bytes) raise(archive_error(bytes.error()));
  return to_bytes(*bytes);
}

std::optional<std::uint8_t> type_filter(py::handle type) {
  if (type.is_none()) return std::nullopt;
  return as_type_byte(type);
}

py::list entries(const Archive& archive, py::handle type) {
  const std::optional<std::uint8_t> wanted = type_filter(type);
  const Database db = archive.db();
  py::list out;
  for (const DatFileEntry& e : db->files()) {
    if (!wanted || e.id >> 24 == *wanted) out.append(entry_object(e));
  }
  return out;
}

// texture_rgba(): what failed, when something did. The archive's errors, a texture that does not
// decode, a palette that does not decode and a texture without a conversion each become their
// own exception.
struct TextureFailure {
  std::variant<DatError, ParseError, ImageError> error;
  bool decoding = false;  // a DatError of Texture::unpack, not of the archive

  [[nodiscard]] py::object exception() const {
    if (const auto* dat = std::get_if<DatError>(&error)) {
      return decoding ? decode_error(*dat) : archive_error(*dat);
    }
    if (const auto* parse = std::get_if<ParseError>(&error)) return parse_error(*parse);
    return image_error(std::get<ImageError>(error));
  }
};

Expected<Image, TextureFailure> texture_pixels(const DatDatabase& db, std::uint32_t id,
                                               std::optional<std::uint32_t> palette_id,
                                               std::optional<std::vector<std::uint32_t>> colours) {
  auto bytes = db.get_file(id);
  if (!bytes) return Unexpected(TextureFailure{std::move(bytes.error())});
  auto texture = ft::Texture::unpack(*bytes);
  if (!texture) return Unexpected(TextureFailure{std::move(texture.error()), true});
  if (is_indexed(texture->format()) && !colours) {
    // An indexed texture always carries its default palette id.
    const std::uint32_t chosen = palette_id.value_or(texture->default_palette_id.value_or(0));
    auto palette_bytes = db.get_file(chosen);
    if (!palette_bytes) return Unexpected(TextureFailure{std::move(palette_bytes.error())});
    auto palette = ft::Palette::unpack(*palette_bytes);
    if (!palette) return Unexpected(TextureFailure{std::move(palette.error())});
    colours = std::move(palette->colors);
  }
  auto image = colours ? texture_rgba(*texture, *colours) : texture_rgba(*texture);
  if (!image) return Unexpected(TextureFailure{std::move(image.error())});
  return std::move(*image);
}

py::object archive_texture_rgba(const Archive& archive, py::handle id_object, py::handle palette) {
  const std::uint32_t id = lookup_id(id_object);
  std::optional<std::uint32_t> palette_id;
  std::optional<std::vector<std::uint32_t>> colours;
  if (PyLong_Check(palette.ptr())) {
    palette_id = lookup_id(palette);
  } else if (!palette.is_none()) {
    colours = palette_colours(palette);
  }
  const Database db = archive.db();
  auto image = [&] {
    py::gil_scoped_release nogil;
    return texture_pixels(*db, id, palette_id, std::move(colours));
  }();
  if (!image) raise(image.error().exception());
  return rgba_array(std::move(*image));
}

}  // namespace

void bind_archive(py::module_& m) {
  py::class_<DatHeader>(m, "Header", "The archive's 80-byte header, at file offset 320.")
      .def_readonly("magic", &DatHeader::magic, "The magic number, as stored (not checked).")
      .def_readonly("block_size", &DatHeader::block_size,
                    "Bytes per block, including its 4-byte next-block pointer.")
      .def_readonly("file_size", &DatHeader::file_size, "The file size the header records.")
      .def_readonly("dataset", &DatHeader::dataset, "As stored.")
      .def_readonly("subset", &DatHeader::subset, "As stored.")
      .def_readonly("free_head", &DatHeader::free_head, "The offset of the first free block.")
      .def_readonly("free_tail", &DatHeader::free_tail, "The offset of the last free block.")
      .def_readonly("free_count", &DatHeader::free_count, "The number of free blocks.")
      .def_readonly("root_offset", &DatHeader::root_offset,
                    "The offset of the root directory node; 0 for an empty directory.")
      .def_readonly("new_lru", &DatHeader::new_lru, "As stored.")
      .def_readonly("old_lru", &DatHeader::old_lru, "As stored.")
      .def_readonly("use_lru", &DatHeader::use_lru, "As stored.")
      .def_readonly("master_map_id", &DatHeader::master_map_id, "As stored.")
      .def_readonly("engine_version", &DatHeader::engine_version, "As stored.")
      .def_readonly("game_version", &DatHeader::game_version, "As stored.")
      .def_property_readonly(
          "version_string", [](const DatHeader& h) { return to_bytes(h.version_string); },
          "The 16 raw bytes of the version string.")
      .def_readonly("version_minor", &DatHeader::version_minor, "As stored.")
      .def(py::self == py::self)
      .def("__repr__", [](const DatHeader& h) {
        return "Header(magic=" + hex8(h.magic) + ", block_size=" + std::to_string(h.block_size) +
               ", file_size=" + std::to_string(h.file_size) +
               ", root_offset=" + hex8(h.root_offset) + ")";
      });

  py::class_<Archive>(m, "Archive",
                      "An open DAT archive: a mapping from record id to the record's bytes.\n\n"
                      "    with quorvale_dat.Archive('client_portal.dat') as archive:\n"
                      "        surface = quorvale_dat.Surface.unpack(archive[0x080003E4])\n\n"
                      "Every read after opening is a positioned read, so one archive may be "
                      "shared by threads; reads and decoding run without the GIL.")
      .def(py::init(&open_archive), "path"_a,
           "Opens the archive at `path` (str or path-like): reads the header and walks the "
           "directory. Raises DatIOError when the file cannot be opened or read, "
           "CorruptionError when its header or directory is damaged.")
      .def_property_readonly("path", &Archive::path, "The path the archive was opened with.")
      .def_property_readonly("closed", &Archive::closed, "Whether close() has been called.")
      .def("close", &Archive::close,
           "Closes the archive; later calls raise ValueError. Reads in progress on other "
           "threads finish first, and so does a records() iterator.")
      .def("__enter__", [](py::object self) { return self; })
      .def(
          "__exit__",
          [](Archive& a, py::handle, py::handle, py::handle) {
            a.close();
            return false;
          },
          "exc_type"_a, "exc"_a, "traceback"_a)
      .def("__len__", [](const Archive& a) { return a.db()->files().size(); })
      .def(
          "__contains__",
          [](const Archive& a, py::handle id) {
            if (!PyLong_Check(id.ptr())) return false;
            const std::optional<std::uint32_t> value = as_id(id);
            return value && a.db()->files().contains(*value);
          },
          "id"_a)
      .def(
          "__iter__",
          [](const Archive& a) {
            py::list ids;
            for (const DatFileEntry& e : a.db()->files()) ids.append(e.id);
            return py::iter(ids);
          },
          "The ids, in ascending order.")
      .def("__getitem__", &get_file, "id"_a,
           "The record's bytes, decompressed. Raises NotFoundError (a KeyError) for an absent "
           "id, CorruptionError or DatIOError when the record cannot be read.")
      .def(
          "get",
          [](const Archive& a, py::handle id, py::object default_value) -> py::object {
            if (!PyLong_Check(id.ptr())) return default_value;  // as `in` says: not there
            const std::optional<std::uint32_t> value = as_id(id);
            if (!value || !a.db()->files().contains(*value)) return default_value;
            return get_file(a, id);
          },
          "id"_a, "default"_a = py::none(), "The record's bytes, or `default` for an absent id.")
      .def("read_raw", &read_raw, "id"_a,
           "The record's bytes as stored: not decompressed. Raises as archive[id] does.")
      .def(
          "entry",
          [](const Archive& a, py::handle id) {
            return entry_object(find_entry(*a.db(), lookup_id(id)));
          },
          "id"_a, "The record's directory entry. Raises NotFoundError for an absent id.")
      .def("entries", &entries, "type"_a = py::none(),
           "The directory entries in ascending id order, a list of Entry; with `type` (a "
           "RecordType or a type byte) only the records of that type.")
      .def_property_readonly(
          "header", [](const Archive& a) { return a.db()->header(); }, "The archive's header.")
      .def_property_readonly(
          "file_size", [](const Archive& a) { return a.db()->file_size(); },
          "The size of the archive's file when it was opened.")
      .def(
          "records",
          [](const Archive& a, py::handle type) {
            return record_stream(a.db(), type_filter(type));
          },
          "type"_a = py::none(),
          "Every record, read in one pass in the order the records lie in the file: an "
          "iterator of (Entry, value) pairs, where value is the record's bytes, decompressed, "
          "or the DatError (an exception object, not raised) that archive[entry.id] would "
          "raise. With `type` only the records of that type. The fast way to read many "
          "records: the file is read in large windows on a thread of its own, without the GIL.")
      .def("texture_rgba", &archive_texture_rgba, "id"_a, "palette"_a = py::none(),
           "The texture's pixels as a NumPy uint8 array of shape (height, width, 4): R, G, B, "
           "A. P8 and Index16 textures are drawn with their default palette, or with `palette`: "
           "a palette id, a Palette or a sequence of ARGB ints (other formats ignore it). "
           "Raises the archive's errors for the texture and its palette, ParseError when one "
           "does not decode, ImageError when the texture cannot be converted (CustomRawJpeg "
           "holds a JPEG file: Texture.unpack(archive[id]).source_data).")
      .def("__repr__", [](const Archive& a) {
        const std::string path = py::repr(py::str(a.path())).cast<std::string>();
        if (a.closed()) return "<quorvale_dat.Archive " + path + " (closed)>";
        return "<quorvale_dat.Archive " + path + " (" + std::to_string(a.db()->files().size()) +
               " records)>";
      });
}

}  // namespace quorvale_dat::python
