#include "quorvale_dat/database.hpp"

#include <utility>

#include "block_chain.hpp"
#include "byte_source.hpp"
#include "opening.hpp"
#include "quorvale_dat/utils.hpp"

namespace quorvale_dat {

DatDatabase::DatDatabase(std::unique_ptr<const detail::ByteSource> source,
                         DatHeader header) noexcept
    : source_(std::move(source)), header_(std::move(header)) {}

DatDatabase::DatDatabase(DatDatabase&&) noexcept = default;
DatDatabase& DatDatabase::operator=(DatDatabase&&) noexcept = default;
DatDatabase::~DatDatabase() = default;

std::uint64_t DatDatabase::file_size() const noexcept { return source_->size(); }

Source DatDatabase::source() const noexcept {
  if (!source_->in_memory()) return Source::positioned;
  return dynamic_cast<const detail::MappedSource*>(source_.get()) != nullptr ? Source::mapped
                                                                             : Source::memory;
}

Expected<DatDatabase, DatError> DatDatabase::finish_open(
    std::unique_ptr<const detail::ByteSource> source, DatHeader header, DirectoryVisitor* visitor,
    const detail::ByteSource* directory) {
  DatDatabase db(std::move(source), std::move(header));
  auto files = db.walk_files(directory != nullptr ? *directory : *db.source_, visitor);
  if (!files) return Unexpected(std::move(files.error()));
  db.files_ = std::move(*files);
  return db;
}

Expected<DatDatabase, DatError> DatDatabase::open_file(const std::filesystem::path& path,
                                                       const OpenOptions& options,
                                                       DirectoryVisitor* visitor) {
  auto opened = detail::open_file_source(path, options);
  if (!opened) return Unexpected(std::move(opened.error()));
  return finish_open(std::move(opened->source), std::move(opened->header), visitor,
                     opened->directory.get());
}

Expected<DatDatabase, DatError> DatDatabase::open(const std::filesystem::path& path) {
  return open_file(path, {}, nullptr);
}

Expected<DatDatabase, DatError> DatDatabase::open(const std::filesystem::path& path,
                                                  DirectoryVisitor& visitor) {
  return open_file(path, {}, &visitor);
}

Expected<DatDatabase, DatError> DatDatabase::open(const std::filesystem::path& path,
                                                  const OpenOptions& options) {
  return open_file(path, options, nullptr);
}

Expected<DatDatabase, DatError> DatDatabase::open(const std::filesystem::path& path,
                                                  const OpenOptions& options,
                                                  DirectoryVisitor& visitor) {
  return open_file(path, options, &visitor);
}

Expected<DatDatabase, DatError> DatDatabase::open_bytes(std::vector<std::uint8_t> bytes) {
  auto opened = detail::open_memory_source(std::move(bytes));
  if (!opened) return Unexpected(std::move(opened.error()));
  return finish_open(std::move(opened->source), std::move(opened->header), nullptr);
}

Expected<DatDatabase, DatError> DatDatabase::open_bytes(std::vector<std::uint8_t> bytes,
                                                        DirectoryVisitor& visitor) {
  auto opened = detail::open_memory_source(std::move(bytes));
  if (!opened) return Unexpected(std::move(opened.error()));
  return finish_open(std::move(opened->source), std::move(opened->header), &visitor);
}

Expected<Salvaged, DatError> DatDatabase::open_salvage(const std::filesystem::path& path) {
  auto opened = detail::open_file_source(path);
  if (!opened) return Unexpected(std::move(opened.error()));
  return finish_salvage(std::move(opened->source), std::move(opened->header));
}

Expected<Salvaged, DatError> DatDatabase::open_salvage_bytes(std::vector<std::uint8_t> bytes) {
  auto opened = detail::open_memory_source(std::move(bytes));
  if (!opened) return Unexpected(std::move(opened.error()));
  return finish_salvage(std::move(opened->source), std::move(opened->header));
}

Expected<std::vector<std::uint8_t>, DatError> DatDatabase::read_file_data(
    std::uint32_t offset, std::uint32_t size) const {
  if (size == 0) return std::vector<std::uint8_t>{};
  const auto g = detail::ChainGeometry::of(header_.block_size, source_->size());
  if (source_->in_memory()) {
    auto r = detail::read_memory_chain(*source_, g, offset, size);
    if (!r) return Unexpected(detail::located_error(std::move(r.error()), g.file_size));
    return std::move(*r);
  }
  std::vector<std::uint8_t> out(detail::content_capacity(size, g.file_size));
  auto r = detail::read_chain(*source_, g, offset, size, out);
  if (!r) return Unexpected(detail::located_error(std::move(r.error()), g.file_size));
  out.resize(r->length);
  return out;
}

Expected<std::vector<std::uint8_t>, DatError> DatDatabase::get_file(std::uint32_t id) const {
  const DatFileEntry* entry = files_.get(id);
  if (entry == nullptr) return Unexpected(DatError::NotFound{id});
  if (!entry->is_compressed()) return read_file_data(entry->offset, entry->size);
  if (!source_->in_memory() || entry->size == 0) {
    auto stored = read_file_data(entry->offset, entry->size);
    if (!stored) return stored;
    return utils::decompress_lrs(*stored);
  }
  const auto g = detail::ChainGeometry::of(header_.block_size, source_->size());
  // A compressed record is decompressed where it lies when it lies in one block, else from a
  // copy of its stored bytes.
  std::vector<std::uint8_t> copy;
  auto stored = detail::read_chain_view(*source_, g, entry->offset, entry->size, copy);
  if (!stored) return Unexpected(detail::located_error(std::move(stored.error()), g.file_size));
  return utils::decompress_lrs(stored->bytes);
}

}  // namespace quorvale_dat
