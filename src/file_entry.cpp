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
  map.build_index();
  return map;
}

void FileMap::build_index() {
  // The sizes first, so that the index is allocated once and exactly.
  std::size_t size = entries_.size();
  std::size_t total = 0;
  while (true) {
    level_begin_[levels_] = static_cast<std::uint32_t>(total);
    level_size_[levels_] = static_cast<std::uint32_t>(size);
    ++levels_;
    total += size;
    if (size <= kFanout) break;
    size = (size + kFanout - 1) / kFanout;
  }
  index_.resize(total);
  for (std::size_t j = 0; j < entries_.size(); ++j) index_[j] = entries_[j].id;
  for (std::size_t k = 1; k < levels_; ++k) {
    const std::uint32_t* below = index_.data() + level_begin_[k - 1];
    std::uint32_t* level = index_.data() + level_begin_[k];
    for (std::size_t j = 0; j < level_size_[k]; ++j) level[j] = below[j * kFanout];
  }
}

// The index of the last entry whose id is not above `id`, or entries_.size() when every id is.
std::size_t FileMap::last_not_above(std::uint32_t id) const noexcept {
  // `p` is the place of the last id not above `id` in the level counted last; the run counted
  // next starts with the same id one level down, so it counts at least one.
  std::size_t p = 0;
  std::size_t run_begin = 0;
  for (std::size_t k = levels_; k-- > 0;) {
    const std::uint32_t* run = index_.data() + level_begin_[k] + run_begin;
    const std::size_t n = std::min<std::size_t>(kFanout, level_size_[k] - run_begin);
    std::size_t count = 0;
    if (n == kFanout) {
      // A full run without a branch per id.
      for (std::size_t i = 0; i < kFanout; ++i) count += static_cast<std::size_t>(run[i] <= id);
    } else {
      for (std::size_t i = 0; i < n; ++i) count += static_cast<std::size_t>(run[i] <= id);
    }
    if (count == 0) return entries_.size();  // only at the top: `id` is below every id
    p = run_begin + count - 1;
    run_begin = p * kFanout;
  }
  return p;
}

FileMap::const_iterator FileMap::find(std::uint32_t id) const noexcept {
  const std::size_t i = last_not_above(id);
  if (i >= entries_.size() || entries_[i].id != id) return entries_.end();
  return entries_.begin() + static_cast<std::ptrdiff_t>(i);
}

const DatFileEntry* FileMap::get(std::uint32_t id) const noexcept {
  const auto it = find(id);
  return it == entries_.end() ? nullptr : &*it;
}

}  // namespace quorvale_dat
