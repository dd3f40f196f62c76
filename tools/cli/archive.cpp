#include "archive.hpp"

#include "ids.hpp"

namespace quorvale_dat::cli {

Expected<DatDatabase, Failure> open_archive(const std::string& path) {
  auto db = DatDatabase::open(path);
  if (db) return std::move(*db);
  const DatError& error = db.error();
  if (const auto* path_error = error.get_if<DatError::PathError>()) {
    return Unexpected(
        Failure{kExitNoInput, "cannot open " + path + ": " + path_error->source.display()});
  }
  // A directory opens for reading; its first read, of the header, fails.
  if (const IoError* io = io_root(error); io != nullptr && io->kind() == ErrorKind::IsADirectory) {
    return Unexpected(Failure{kExitNoInput, "cannot open " + path + ": " + io->display()});
  }
  return Unexpected(failure(path, error));
}

Expected<std::vector<std::uint8_t>, Failure> fetch_requested(const DatDatabase& db,
                                                             std::uint32_t id) {
  auto bytes = db.get_file(id);
  if (bytes) return std::move(*bytes);
  Failure f = failure("record " + hex8(id), bytes.error());
  if (bytes.error().holds<DatError::NotFound>()) f.status = kExitAbsent;
  return Unexpected(std::move(f));
}

Expected<std::vector<std::uint8_t>, Failure> fetch_referenced(const DatDatabase& db,
                                                              std::uint32_t id,
                                                              const std::string& role) {
  auto bytes = db.get_file(id);
  if (bytes) return std::move(*bytes);
  return Unexpected(failure(role, bytes.error()));
}

}  // namespace quorvale_dat::cli
