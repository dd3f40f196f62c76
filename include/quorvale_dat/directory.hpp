// The directory walk's visitor: what a caller of DatDatabase::open() (or open_bytes()) may watch
// of the walk that fills files(), node by node, without walking the directory a second time.
//
//   struct Shape : quorvale_dat::DirectoryVisitor {
//     std::uint64_t nodes = 0;
//     std::uint32_t depth = 0;
//     void node(const quorvale_dat::DirectoryNode& n) override {
//       ++nodes;
//       depth = std::max(depth, n.depth);
//     }
//   } shape;
//   auto db = quorvale_dat::DatDatabase::open("client_portal.dat", shape);
//
// The walk is depth first, a node before its subtrees and subtrees in slot order. Opening stops
// at the first node it cannot walk; the visitor hears of it through failed() before open()
// returns the error.
#pragma once

#include <cstdint>
#include <span>

#include "quorvale_dat/dat_error.hpp"
#include "quorvale_dat/file_entry.hpp"

namespace quorvale_dat {

// A directory node as the walk read it.
struct DirectoryNode {
  std::uint32_t offset = 0;                 // the first block of the node's chain
  std::uint32_t parent = 0;                 // the node whose branch led here; 0 for the root
  std::uint32_t depth = 0;                  // 1 for the root
  std::span<const std::uint32_t> branches;  // all 62 slots as stored
  std::uint32_t entry_count = 0;            // as stored
  std::span<const DatFileEntry> entries;    // the node's entries, in node order
  std::uint32_t child_slots = 0;            // slots walked: entry_count + 1, or 0 for a leaf
};

// Why the walk could not walk a node.
enum class DirectoryFault : std::uint8_t {
  Unreadable,    // the node's chain cannot be read (the error is the chain's)
  EntryCount,    // entry_count is more than the 61 entries a node holds
  OwnAncestor,   // a branch leads back to a node on the path from the root
  TooManyNodes,  // more node visits than the file can hold nodes (file size / 1716)
};

struct DirectoryFailure {
  DirectoryFault fault = DirectoryFault::Unreadable;
  std::uint32_t offset = 0;  // the node
  std::uint32_t parent = 0;  // the node whose branch led there; 0 for the root
  std::uint32_t depth = 0;   // where it would have been
  std::uint32_t block = 0;   // for Unreadable: the block of the node's chain where reading failed
  const DatError& error;     // what opening returns for it
};

class DirectoryVisitor {
 public:
  virtual ~DirectoryVisitor() = default;
  // A node read, before its subtrees.
  virtual void node(const DirectoryNode& node) { (void)node; }
  // A node that cannot be walked.
  virtual void failed(const DirectoryFailure& failure) { (void)failure; }
};

}  // namespace quorvale_dat
