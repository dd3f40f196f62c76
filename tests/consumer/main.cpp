// A user of the installed library: the snippet of README's library section, made a program, and
// the rest of the public interface: opening from memory, a directory visitor, verify, images.
// Opens the archive named on the command line, decodes surface 0x080003E4, counts the records and
// converts texture 0x06000C30 to RGBA; prints the error's display text where one step fails.
//
//   consumer ARCHIVE

#include <cstdint>
#include <iostream>
#include <vector>

#include "quorvale_dat/quorvale_dat.hpp"

namespace qd = quorvale_dat;

namespace {

struct CountNodes : qd::DirectoryVisitor {
  int nodes = 0;
  void node(const qd::DirectoryNode&) override { ++nodes; }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: consumer ARCHIVE\n";
    return 2;
  }
  // The rest of the public interface a program of its own would use: four hundred zero bytes in
  // memory are a header whose root is 0, an empty archive, which opens and verifies as one.
  CountNodes counter;
  const auto empty = qd::DatDatabase::open_bytes(std::vector<std::uint8_t>(400), counter);
  const auto checked = qd::verify_bytes(std::vector<std::uint8_t>(400), {.full = true});
  if (!empty || !empty->files().empty() || counter.nodes != 0 || !checked || !checked->ok()) {
    std::cerr << "an empty archive in memory did not open as one\n";
    return 3;
  }
  // --- README: the library ---
  auto db = qd::DatDatabase::open(argv[1]);
  if (!db) {
    // PathError when the file cannot be opened: "Failed to open file at client_portal.dat: No such
    // file or directory (os error 2)"; BinRead, Io or Corruption when it is no readable archive.
    std::cout << db.error().display() << '\n';
    return 1;
  }
  constexpr std::uint32_t id = 0x080003E4;
  static_assert(qd::record_type(id) == qd::RecordType::Surface);  // the id's top byte, 0x08
  auto bytes = db->get_file(id);  // std::expected<std::vector<std::uint8_t>, DatError>
  if (!bytes) {
    std::cout << bytes.error().display() << '\n';  // "File ID 080003E4 not found in provider"
    return 1;
  }
  auto surface = qd::file_type::Surface::unpack(*bytes);  // std::expected<Surface, ParseError>
  if (surface && surface->texture_refs) {
    const std::uint32_t ref = surface->texture_refs->orig_texture_id;
    std::cout << "surface 0x080003E4 refers to a " << qd::record_type_name(qd::record_type(ref))
              << '\n';
  }

  // Every record in one pass, in file order: the bytes or the error get_file would give.
  std::size_t textures = 0;
  db->for_each_file([&](const qd::DatFileEntry& e, qd::DatDatabase::FileResult r) {
    if (r && qd::record_type(e.id) == qd::RecordType::Texture) ++textures;
  });

  // A texture as 8-bit RGBA pixels, drawn with its default palette (it is a P8 texture).
  auto record = db->get_file(0x06000C30);
  auto texture = record ? qd::file_type::Texture::unpack(*record) : qd::Unexpected(record.error());
  if (texture) {
    std::vector<std::uint32_t> colors;
    if (auto p = db->get_file(texture->default_palette_id.value_or(0))) {
      if (auto palette = qd::file_type::Palette::unpack(*p)) colors = palette->colors;
    }
    auto image = qd::texture_rgba(*texture, colors);  // std::expected<Image, ImageError>
    if (!image) {
      std::cout << image.error().display() << '\n';  // "P8 at 64x64 needs 4096 bytes of pixel ..."
      return 1;
    }
    const qd::Image small = qd::thumbnail(*image, 16);  // area-filtered to fit in 16 x 16
    std::cout << "texture 0x06000C30: " << image->width << "x" << image->height
              << " RGBA, thumbnail " << small.width << "x" << small.height << '\n';
  }
  // --- end ---
  std::cout << db->files().size() << " records, " << textures << " textures\n";
  return 0;
}
