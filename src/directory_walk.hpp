// The directory walk, written once for every caller: opening (which stops at the first node it
// cannot walk, with the specified error), and verify (which records the node, leaves its subtree
// out and goes on). A node is the 1716-byte content of a chain: 62 u32 branch offsets, a u32
// entry_count and up to 61 entries of 24 bytes. A node whose slot 0 is 0 is a leaf; an inner
// node's children are slots 0 to entry_count, a slot holding 0 skipped. The walk is depth-first
// pre-order: a node's entries before its subtrees, subtrees in slot order.
//
// The entries are handed out in the walk's order, or in the tree's: an inner node's entry i
// after its subtree in slot i and before the one in slot i + 1, as in a B-tree, whose ids then
// come out sorted. The nodes are read in the same order either way, so that the walk meets the
// same failures first.
//
// Its bounds: no node may be its own ancestor ("directory node at offset X is its own ancestor
// (reached from node at P)"), and the walk visits at most max(1, file size / 1716) nodes
// ("directory has more nodes than the file holds (at most K); node at offset X"), so that a small
// file whose nodes all name the same children cannot be walked into millions of entries. It
// keeps its own stack, so a deep tree cannot overflow the call stack.
//
// The caller's policy sees every node read (and may drop its entries), every block of the
// nodes' chains, and every node that cannot be walked, and says whether the walk goes on.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <unordered_set>
#include <vector>

#include "block_chain.hpp"
#include "byte_source.hpp"
#include "little_endian.hpp"
#include "quorvale_dat/dat_error.hpp"
#include "quorvale_dat/directory.hpp"
#include "quorvale_dat/file_entry.hpp"
#include "quorvale_dat/format.hpp"
#include "text.hpp"

namespace quorvale_dat::detail {

// A node that cannot be walked, with all the walk knows of it.
struct NodeFailure {
  NodeFailure(DirectoryFault why, std::uint32_t at, std::uint32_t from, std::uint32_t level,
              DatError what)
      : fault(why), offset(at), parent(from), depth(level), error(std::move(what)) {}

  DirectoryFault fault = DirectoryFault::Unreadable;
  std::uint32_t offset = 0;
  std::uint32_t parent = 0;
  std::uint32_t depth = 0;
  std::uint32_t slot = 0;  // the parent's branch slot that led here; 0 for the root
  DatError error = IoError::short_read();
  std::optional<ChainFailure> chain;  // Unreadable: where the node's chain failed
  std::uint32_t block = 0;            // Unreadable: the block of the node's chain that failed
  std::uint32_t entry_count = 0;      // EntryCount: as stored
  std::uint64_t max_nodes = 0;        // TooManyNodes: the bound
};

// The public view of a node failure.
[[nodiscard]] inline DirectoryFailure public_failure(const NodeFailure& f) {
  return DirectoryFailure{f.fault, f.offset, f.parent, f.depth, f.block, f.error};
}

// Decodes a node's content: its branches and entry count, and its entries appended to
// `entries`. Fails (with the reading layer's exact error) only for an entry_count of 62 or
// more, whose entries run out of the node's bytes. Requires: content.size() == kNodeSize.
struct DecodedNode {
  std::array<std::uint32_t, format::kBranchSlots> branches{};
  std::uint32_t entry_count = 0;
  std::uint32_t child_slots = 0;
};
[[nodiscard]] Expected<DecodedNode, DatError> decode_node(std::span<const std::uint8_t> content,
                                                          std::vector<DatFileEntry>& entries);

// Where a walk puts each node's entries.
enum class EntryOrder : std::uint8_t {
  Walk,  // each node's entries as its node is read
  Tree,  // an inner node's entry i between its subtrees in slots i and i + 1
};

// Walks the tree from `root`, appending every entry to `entries` in `order`. Returns the error
// that stopped the walk, or success (also when the policy went on past failures).
//
// Policy:
//   bool node(const DirectoryNode&)              false: the node's entries are dropped again
//   bool block(std::uint32_t node, const ChainBlock&)   a block of a node's chain
//   bool failed(const NodeFailure&)              true: go on without the node and its subtree
template <class Policy>
[[nodiscard]] Expected<void, DatError> walk_directory(const ByteSource& source,
                                                      const ChainGeometry& g, std::uint32_t root,
                                                      std::vector<DatFileEntry>& entries,
                                                      Policy& policy,
                                                      EntryOrder order = EntryOrder::Walk) {
  if (root == 0) return {};
  const std::uint64_t max_nodes = std::max<std::uint64_t>(1, g.file_size / format::kNodeSize);
  std::uint64_t nodes_read = 0;
  std::vector<std::uint8_t> scratch;

  struct Frame {
    std::uint32_t offset;
    DecodedNode node;
    std::uint32_t next_slot;
    std::size_t held = 0;          // in tree order: where the node's entries start in `held`
    std::uint32_t held_count = 0;  // in tree order: how many of them there are
  };
  std::vector<Frame> path;
  // In tree order, the entries of the inner nodes on the path, until their turn comes.
  std::vector<DatFileEntry> held;
  std::unordered_set<std::uint32_t> on_path;

  // Returns false when the walk is to stop; `stop` then holds its error, if any.
  std::optional<DatError> stop;
  const auto fail = [&](NodeFailure f) {
    if (policy.failed(f)) return true;
    stop.emplace(std::move(f.error));
    return false;
  };
  const auto visit = [&](std::uint32_t offset, std::uint32_t parent, std::uint32_t slot) -> bool {
    const auto depth = static_cast<std::uint32_t>(path.size() + 1);
    // The node is read before it is counted, so that a child offset past the end of a small file
    // reports the failed read rather than the count.
    auto content = read_chain_view(source, g, offset, format::kNodeSize, scratch,
                                   [&](const ChainBlock& b) { return policy.block(offset, b); });
    if (!content) {
      DatError error = std::move(content.error().error);
      // A node or a block of it that lies outside the file is said to; otherwise the file ends
      // inside the node.
      const std::uint32_t block = content.error().block;
      const bool beyond = block >= g.file_size;
      error.set_place(block != offset
                          ? "block " + hex8(block) + " of directory node " + hex8(offset)
                          : "directory node " + hex8(offset));
      error.set_data_end(g.file_size, beyond);
      NodeFailure f(DirectoryFault::Unreadable, offset, parent, depth, std::move(error));
      f.slot = slot;
      f.block = content.error().block;
      f.chain = std::move(content.error());
      return fail(std::move(f));
    }
    if (nodes_read == max_nodes) {
      NodeFailure f(
          DirectoryFault::TooManyNodes, offset, parent, depth,
          DatError::Corruption{"directory has more nodes than the file holds (at most " +
                               std::to_string(max_nodes) + "); node at offset " + hex8(offset)});
      f.slot = slot;
      f.max_nodes = max_nodes;
      (void)fail(std::move(f));
      return false;  // past the bound nothing more is walked
    }
    ++nodes_read;
    const std::size_t first = entries.size();
    auto node = decode_node(content->bytes, entries);
    if (!node) {
      const auto count = load_le<std::uint32_t>(content->bytes.data() + format::kEntryCountOffset);
      DatError error = std::move(node.error());
      error.set_place("directory node " + hex8(offset) + ", whose entry_count " +
                      std::to_string(count) + " is more than a node holds (" +
                      std::to_string(format::kEntrySlots) + ")");
      NodeFailure f(DirectoryFault::EntryCount, offset, parent, depth, std::move(error));
      f.slot = slot;
      f.entry_count = count;
      return fail(std::move(f));
    }
    const DirectoryNode shown{offset,
                              parent,
                              depth,
                              node->branches,
                              node->entry_count,
                              std::span(entries).subspan(first),
                              node->child_slots};
    if (!policy.node(shown)) entries.resize(first);
    if (node->child_slots > 0) {
      Frame frame{offset, *node, 0};
      if (order == EntryOrder::Tree) {
        frame.held = held.size();
        frame.held_count = static_cast<std::uint32_t>(entries.size() - first);
        held.insert(held.end(), entries.begin() + static_cast<std::ptrdiff_t>(first),
                    entries.end());
        entries.resize(first);
      }
      path.push_back(frame);
      on_path.insert(offset);
    }
    return true;
  };

  bool go_on = visit(root, 0, 0);
  while (go_on && !path.empty()) {
    Frame& frame = path.back();
    if (frame.next_slot == frame.node.child_slots) {
      on_path.erase(frame.offset);
      held.resize(frame.held);
      path.pop_back();
      continue;
    }
    const std::uint32_t slot = frame.next_slot++;
    // In tree order, the entry before this slot's subtree (the node has one fewer entries than
    // child slots, or none if the policy dropped them).
    if (slot > 0 && slot - 1 < frame.held_count) entries.push_back(held[frame.held + slot - 1]);
    const std::uint32_t child = frame.node.branches[slot];
    if (child == 0) continue;
    if (on_path.contains(child)) {
      NodeFailure f(DirectoryFault::OwnAncestor, child, frame.offset,
                    static_cast<std::uint32_t>(path.size() + 1),
                    DatError::Corruption{"directory node at offset " + hex8(child) +
                                         " is its own ancestor (reached from node at " +
                                         hex8(frame.offset) + ")"});
      f.slot = slot;
      go_on = fail(std::move(f));
      continue;
    }
    go_on = visit(child, frame.offset, slot);
  }
  if (stop) return Unexpected(std::move(*stop));
  return {};
}

}  // namespace quorvale_dat::detail
