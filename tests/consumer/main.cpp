// A user of the installed library: the snippet of README's library section, made a program.
// Opens the archive named on the command line, decodes surface 0x080003E4 and counts the
// records; prints the error's display text where one step fails.
//
//   consumer ARCHIVE

#include <cstdint>
#include <iostream>

#include "quorvale_dat/quorvale_dat.hpp"

namespace qd = quorvale_dat;

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: consumer ARCHIVE\n";
    return 2;
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
  // --- end ---
  std::cout << db->files().size() << " records, " << textures << " textures\n";
  return 0;
}
