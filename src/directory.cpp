// DatDatabase's directory: the walk of directory_walk.hpp, stopping at the first node it cannot
// walk, filling files() as if in walk order (where an id repeats, the entry met last stays).

#include "directory_walk.hpp"
#include "quorvale_dat/database.hpp"

namespace quorvale_dat {
namespace detail {

// The content is always kNodeSize bytes, so the branches, the count and up to 61 entries are
// there to load directly; only a count of 62 or more runs out of bytes, and that case goes
// through the checked reader for its exact error.
Expected<DecodedNode, DatError> decode_node(std::span<const std::uint8_t> content,
                                            std::vector<DatFileEntry>& entries) {
  DecodedNode node;
  const std::uint8_t* p = content.data();
  for (std::size_t slot = 0; slot < format::kBranchSlots; ++slot) {
    node.branches[slot] = load_le<std::uint32_t>(p + 4 * slot);
  }
  node.entry_count = load_le<std::uint32_t>(p + format::kEntryCountOffset);
  if (node.entry_count > format::kEntrySlots) {
    SpanCursor cursor(content.subspan(format::kEntriesOffset));
    for (std::uint32_t i = 0; i < node.entry_count; ++i) {
      auto entry = DatFileEntry::read(cursor);
      if (!entry) return Unexpected(std::move(entry.error()));
    }
  }
  const auto count =
      static_cast<std::uint32_t>(std::min<std::size_t>(node.entry_count, format::kEntrySlots));
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint8_t* e = p + format::kEntriesOffset + i * format::kEntrySize;
    entries.push_back(DatFileEntry{load_le<std::uint32_t>(e), load_le<std::uint32_t>(e + 4),
                                   load_le<std::uint32_t>(e + 8), load_le<std::uint32_t>(e + 12),
                                   load_le<std::uint32_t>(e + 16), load_le<std::uint32_t>(e + 20)});
  }
  if (node.branches[0] != 0) node.child_slots = count + 1;
  return node;
}

}  // namespace detail

namespace {

// Opening's policy: every node's entries kept, the first failure ends the walk; a visitor, if
// any, is shown each node and the failure.
struct OpenPolicy {
  DirectoryVisitor* visitor;

  bool node(const DirectoryNode& n) {
    if (visitor != nullptr) visitor->node(n);
    return true;
  }
  static constexpr bool block(std::uint32_t, const detail::ChainBlock&) noexcept { return true; }
  bool failed(const detail::NodeFailure& f) {
    if (visitor != nullptr) visitor->failed(detail::public_failure(f));
    return false;
  }
};

// Salvage's policy: every node's entries kept, every failure recorded and walked past.
struct SalvagePolicy {
  std::vector<SkippedNode>& skipped;

  static constexpr bool node(const DirectoryNode&) noexcept { return true; }
  static constexpr bool block(std::uint32_t, const detail::ChainBlock&) noexcept { return true; }
  bool failed(const detail::NodeFailure& f) {
    skipped.push_back(SkippedNode{f.fault, f.offset, f.parent, f.slot, f.depth, f.block, f.error});
    return true;
  }
};

}  // namespace

Salvaged DatDatabase::finish_salvage(std::unique_ptr<const detail::ByteSource> source,
                                     DatHeader header) {
  Salvaged out{DatDatabase(std::move(source), std::move(header)), {}};
  DatDatabase& db = out.database;
  std::vector<DatFileEntry> entries;
  SalvagePolicy policy{out.skipped};
  const auto g = detail::ChainGeometry::of(db.header_.block_size, db.source_->size());
  // The policy goes on past every failure, so the walk itself always succeeds.
  (void)detail::walk_directory(*db.source_, g, db.header_.root_offset, entries, policy);
  db.files_ = FileMap::from_walk_order(std::move(entries));
  return out;
}

Expected<void, DatError> DatDatabase::read_directory() {
  auto files = walk_files(*source_, nullptr);
  if (!files) return Unexpected(std::move(files.error()));
  files_ = std::move(*files);
  return {};
}

// The entries come in tree order, in which a directory that is a well-formed B-tree yields its
// ids sorted, each once: then the map needs no sort. Any other directory is walked again in walk
// order (the visitor has seen its nodes already), for the rule that the entry met last stays.
Expected<FileMap, DatError> DatDatabase::walk_files(const detail::ByteSource& from,
                                                    DirectoryVisitor* visitor) const {
  const auto g = detail::ChainGeometry::of(header_.block_size, from.size());
  std::vector<DatFileEntry> entries;
  OpenPolicy policy{visitor};
  auto walk = detail::walk_directory(from, g, header_.root_offset, entries, policy,
                                     detail::EntryOrder::Tree);
  if (!walk) return Unexpected(std::move(walk.error()));
  if (auto sorted = FileMap::from_sorted(std::move(entries))) return std::move(*sorted);

  entries.clear();
  OpenPolicy quiet{nullptr};
  walk = detail::walk_directory(from, g, header_.root_offset, entries, quiet);
  if (!walk) return Unexpected(std::move(walk.error()));
  return FileMap::from_walk_order(std::move(entries));
}

}  // namespace quorvale_dat
