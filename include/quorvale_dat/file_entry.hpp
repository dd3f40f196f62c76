// DatFileEntry: one directory entry (24 bytes on disk, six little-endian u32), and FileMap, the
// read-only id -> entry map that opening an archive fills.
//
//   if (auto it = db.files().find(0x080003E4); it != db.files().end()) use(it->offset);
//   for (const DatFileEntry& e : db.files()) ...   // ascending id order
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "quorvale_dat/format.hpp"
#include "quorvale_dat/reader.hpp"

namespace quorvale_dat {

// format::kEntrySize bytes on disk.
struct DatFileEntry {
  std::uint32_t bit_flags = 0;  // bit 0: the stored bytes are LRS-compressed
  std::uint32_t id = 0;
  std::uint32_t offset = 0;  // absolute offset of the first block of the record's chain
  std::uint32_t size = 0;    // stored bytes, before any decompression
  std::uint32_t timestamp = 0;
  std::uint32_t version = 0;

  [[nodiscard]] constexpr bool is_compressed() const noexcept {
    return (bit_flags & format::kCompressedFlag) != 0;
  }

  // Reads one entry; a failing field carries "While parsing field '<name>' in DatFileEntry".
  [[nodiscard]] static ParseResult<DatFileEntry> read(SpanCursor& cursor);

  friend bool operator==(const DatFileEntry&, const DatFileEntry&) = default;
};

// The entries of an archive, at most one per id, sorted by id. Lookup is a binary search; the
// entries take 24 bytes each and nothing else.
class FileMap {
 public:
  using value_type = DatFileEntry;
  using const_iterator = std::vector<DatFileEntry>::const_iterator;
  using iterator = const_iterator;

  FileMap() = default;
  // Builds the map from entries in the order they were met; where an id repeats, the entry met
  // last is the one that stays.
  [[nodiscard]] static FileMap from_walk_order(std::vector<DatFileEntry> entries);
  // Builds the map from entries whose ids increase strictly, as they are; nothing if they do
  // not.
  [[nodiscard]] static std::optional<FileMap> from_sorted(std::vector<DatFileEntry> entries);

  [[nodiscard]] std::size_t size() const noexcept { return entries_.size(); }
  [[nodiscard]] bool empty() const noexcept { return entries_.empty(); }
  [[nodiscard]] const_iterator begin() const noexcept { return entries_.begin(); }
  [[nodiscard]] const_iterator end() const noexcept { return entries_.end(); }
  // The entry with `id`, or end().
  [[nodiscard]] const_iterator find(std::uint32_t id) const noexcept;
  [[nodiscard]] bool contains(std::uint32_t id) const noexcept { return find(id) != end(); }
  // The entry with `id`, or nullptr.
  [[nodiscard]] const DatFileEntry* get(std::uint32_t id) const noexcept;
  // The entries as one sorted span.
  [[nodiscard]] std::span<const DatFileEntry> entries() const noexcept { return entries_; }

 private:
  std::vector<DatFileEntry> entries_;
};

}  // namespace quorvale_dat
