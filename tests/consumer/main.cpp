// A user of the installed library: the snippet of README's library section, made a program, and
// the rest of the public interface: opening from memory, a directory visitor, verify.
// Opens the archive named on the command line, decodes surface 0x080003E4 and counts the
// records; prints the error's display text where one step fails.
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
  // --- end ---
  std::cout << db->files().size() << " records, " << textures << " textures\n";
  return 0;
}
