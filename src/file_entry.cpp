#include "quorvale_dat/file_entry.hpp"

#include <algorithm>

namespace quorvale_dat {

ParseResult<DatFileEntry> DatFileEntry::read(SpanCursor& cursor) {
  RecordReader r(cursor, "DatFileEntry");
  DatFileEntry e;
  e.bit_flags = r.read<std::uint32_t>("bit_flags");
  e.id = r.read<std::uint32_t>("id");
  e.offset = r.read<std::uint32_t>("offset");
  e.size = r.read<std::uint32_t>("size");
  e.timestamp = r.read<std::uint32_t>("timestamp");
  e.version = r.read<std::uint32_t>("version");
  return r.finish(e);
}

FileMap FileMap::from_walk_order(std::vector<DatFileEntry> entries) {
  // A stable sort keeps the walk order within each id, so the last of a run is the survivor.
  std::stable_sort(entries.begin(), entries.end(),
                   [](const DatFileEntry& a, const DatFileEntry& b) { return a.id < b.id; });
  std::size_t kept = 0;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (i + 1 < entries.size() && entries[i + 1].id == entries[i].id) continue;
    entries[kept++] = entries[i];
  }
  entries.resize(kept);
  entries.shrink_to_fit();
  FileMap map;
  map.entries_ = std::move(entries);
  return map;
}

std::optional<FileMap> FileMap::from_sorted(std::vector<DatFileEntry> entries) {
  const auto unsorted =
      std::adjacent_find(entries.begin(), entries.end(),
                         [](const DatFileEntry& a, const DatFileEntry& b) { return a.id >= b.id; });
  if (unsorted != entries.end()) return std::nullopt;
  entries.shrink_to_fit();
  FileMap map;
  map.entries_ = std::move(entries);
  return map;
}

FileMap::const_iterator FileMap::find(std::uint32_t id) const noexcept {
  const auto it =
      std::lower_bound(entries_.begin(), entries_.end(), id,
                       [](const DatFileEntry& e, std::uint32_t key) { return e.id < key; });
  return it != entries_.end() && it->id == id ? it : entries_.end();
}

const DatFileEntry* FileMap::get(std::uint32_t id) const noexcept {
  const auto it = find(id);
  return it == entries_.end() ? nullptr : &*it;
}

}  // namespace quorvale_dat
