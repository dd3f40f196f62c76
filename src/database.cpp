#include "quorvale_dat/database.hpp"

#include "quorvale_dat/utils.hpp"

namespace quorvale_dat {

Expected<DatDatabase, DatError> DatDatabase::open(const std::filesystem::path& path) {
  auto file = File::open_read_only(path);
  if (!file) return Unexpected(DatError::PathError{path, std::move(file.error())});

  if (auto r = file->seek(DatHeader::kOffset); !r) return Unexpected(std::move(r.error()));
  FileCursor cursor(*file, DatHeader::kOffset);
  auto header = DatHeader::read(cursor);
  if (!header) return Unexpected(std::move(header.error()));

  auto size = file->size();
  if (!size) return Unexpected(std::move(size.error()));

  DatDatabase db(std::move(*file), std::move(*header), *size);
  if (auto walk = db.read_directory(); !walk) return Unexpected(std::move(walk.error()));
  return db;
}

Expected<std::vector<std::uint8_t>, DatError> DatDatabase::get_file(std::uint32_t id) const {
  const DatFileEntry* entry = files_.get(id);
  if (entry == nullptr) return Unexpected(DatError::NotFound{id});
  auto stored = read_file_data(entry->offset, entry->size);
  if (!stored || !entry->is_compressed()) return stored;
  return utils::decompress_lrs(*stored);
}

}  // namespace quorvale_dat
