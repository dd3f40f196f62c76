// The directory walk. A node is a 1716-byte chain content: 62 u32 branch offsets, a u32 entry
// count and up to 61 24-byte entries. A node whose slot 0 is 0 is a leaf; an inner node's
// children are slots 0 to entry_count. The walk is depth-first pre-order.

#include <array>
#include <unordered_set>

#include "hex.hpp"
#include "quorvale_dat/database.hpp"

namespace quorvale_dat {
namespace {

constexpr std::size_t kBranchSlots = 62;

struct Node {
  std::array<std::uint32_t, kBranchSlots> branches{};
  std::uint32_t child_count = 0;  // slots to walk: entry_count + 1 for an inner node, else 0
};

// Decodes a node's content, appending its entries. Requires: content.size() ==
// kDirectoryNodeSize. The content is always kDirectoryNodeSize
// bytes, so the branches, the count and up to 61 entries are there to load directly; only a
// count of 62 or more runs out of bytes, and that case goes through the checked reader for its
// exact error.
Expected<Node, DatError> decode_node(std::span<const std::uint8_t> content,
                                     std::vector<DatFileEntry>& entries) {
  constexpr std::size_t kMaxEntries = 61;
  constexpr std::size_t kEntriesAt = kBranchSlots * 4 + 4;
  Node node;
  const std::uint8_t* p = content.data();
  for (std::size_t slot = 0; slot < kBranchSlots; ++slot) {
    node.branches[slot] = detail::load_le<std::uint32_t>(p + 4 * slot);
  }
  const auto entry_count = detail::load_le<std::uint32_t>(p + kBranchSlots * 4);
  if (entry_count > kMaxEntries) {
    SpanCursor cursor(content.subspan(kEntriesAt));
    for (std::uint32_t i = 0; i < entry_count; ++i) {
      auto entry = DatFileEntry::read(cursor);
      if (!entry) return Unexpected(std::move(entry.error()));
    }
  }
  const std::uint32_t count = std::min<std::uint32_t>(entry_count, kMaxEntries);
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint8_t* e = p + kEntriesAt + i * DatFileEntry::kSize;
    entries.push_back(DatFileEntry{
        detail::load_le<std::uint32_t>(e), detail::load_le<std::uint32_t>(e + 4),
        detail::load_le<std::uint32_t>(e + 8), detail::load_le<std::uint32_t>(e + 12),
        detail::load_le<std::uint32_t>(e + 16), detail::load_le<std::uint32_t>(e + 20)});
  }
  if (node.branches[0] != 0) node.child_count = count + 1;
  return node;
}

}  // namespace

Expected<void, DatError> DatDatabase::read_directory() {
  std::vector<DatFileEntry> entries;
  if (auto r = read_node(header_.root_offset, entries); !r) return r;
  files_ = FileMap::from_walk_order(std::move(entries));
  return {};
}

Expected<void, DatError> DatDatabase::read_node(std::uint32_t offset,
                                                std::vector<DatFileEntry>& entries) const {
  if (offset == 0) return {};

  // A well-formed tree has no more nodes than the file can hold, and no node is its own
  // ancestor; either fault would otherwise amplify a small file or never end. The walk keeps its
  // own stack, so a deep (crafted) tree cannot overflow the call stack.
  const std::uint64_t max_nodes = std::max<std::uint64_t>(1, file_size_ / kDirectoryNodeSize);
  std::uint64_t nodes_read = 0;

  struct Frame {
    std::uint32_t offset;
    Node node;
    std::uint32_t next_slot;
  };
  std::vector<Frame> path;
  std::unordered_set<std::uint32_t> on_path;

  auto visit = [&](std::uint32_t node_offset) -> Expected<void, DatError> {
    // The node is read before it is counted, so that a child offset past the end of a small file
    // reports the failed read rather than the count.
    auto content = read_file_data(node_offset, kDirectoryNodeSize);
    if (!content) return Unexpected(std::move(content.error()));
    if (nodes_read == max_nodes) {
      return Unexpected(DatError::Corruption{
          "directory has more nodes than the file holds (at most " + std::to_string(max_nodes) +
          "); node at offset " + detail::hex8(node_offset)});
    }
    ++nodes_read;
    auto node = decode_node(*content, entries);
    if (!node) return Unexpected(std::move(node.error()));
    if (node->child_count > 0) {
      path.push_back(Frame{node_offset, *node, 0});
      on_path.insert(node_offset);
    }
    return {};
  };

  if (auto r = visit(offset); !r) return r;
  while (!path.empty()) {
    Frame& frame = path.back();
    if (frame.next_slot == frame.node.child_count) {
      on_path.erase(frame.offset);
      path.pop_back();
      continue;
    }
    const std::uint32_t child = frame.node.branches[frame.next_slot++];
    if (child == 0) continue;
    if (on_path.contains(child)) {
      return Unexpected(DatError::Corruption{"directory node at offset " + detail::hex8(child) +
                                             " is its own ancestor (reached from node at " +
                                             detail::hex8(frame.offset) + ")"});
    }
    if (auto r = visit(child); !r) return r;
  }
  return {};
}

}  // namespace quorvale_dat
