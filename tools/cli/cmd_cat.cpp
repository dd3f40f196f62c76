// quorvale-dat cat ARCHIVE ID [--raw] [-o FILE]: a record's bytes, decompressed unless --raw.
#include "archive.hpp"
#include "commands.hpp"
#include "output.hpp"

namespace quorvale_dat::cli {

Result run_cat(const CatOptions& options) {
  auto db = open_archive(options.archive);
  if (!db) return Unexpected(std::move(db.error()));

  Expected<std::vector<std::uint8_t>, Failure> bytes;
  if (options.raw) {
    const DatFileEntry* entry = db->files().get(options.id);
    if (entry == nullptr) {
      return Unexpected(
          Failure{kExitAbsent, "record " + hex8(options.id) + ": not in the archive"});
    }
    auto stored = db->read_file_data(entry->offset, entry->size);
    if (!stored) return Unexpected(failure("record " + hex8(options.id), stored.error()));
    bytes = std::move(*stored);
  } else {
    bytes = fetch_requested(*db, options.id);
  }
  if (!bytes) return Unexpected(std::move(bytes.error()));

  if (options.output) return write_file(*options.output, *bytes);
  out_bytes(*bytes);
  return {};
}

}  // namespace quorvale_dat::cli
