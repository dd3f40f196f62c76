// The archive's directory walked by the tool itself, from the header, with the library's public
// reading primitives: the node count and depth that `info` shows, and for `verify` the blocks
// every node's chain takes and every fault met on the way.
//
// Unlike opening an archive, the walk does not stop at the first fault: a node that cannot be
// read is reported and its subtree left out. It guards against the same things opening does: a
// node that is its own ancestor, and more nodes than the file can hold.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "chain_walk.hpp"
#include "quorvale_dat/expected.hpp"
#include "quorvale_dat/file.hpp"
#include "quorvale_dat/file_entry.hpp"
#include "quorvale_dat/header.hpp"
#include "status.hpp"

namespace quorvale_dat::cli {

// The archive file opened by the tool itself, with its header, for walks that must go on where
// DatDatabase::open would stop.
struct RawArchive {
  File file;
  DatHeader header;
  std::uint64_t size = 0;
};

// Opens `path` and reads its header, with the statuses of open_archive().
[[nodiscard]] Expected<RawArchive, Failure> open_raw_archive(const std::string& path);

// A fault of the archive: in the header, in the directory node at `offset`, or in the entry `id`
// whose chain starts at `offset`.
struct Problem {
  enum class Place { Header, Node, Entry };
  Place place = Place::Header;
  std::uint32_t id = 0;
  std::uint64_t offset = 0;
  std::string message;
};

struct NodeChain {
  std::uint32_t offset = 0;
  std::vector<ChainBlock> blocks;
};

struct DirectoryStats {
  std::uint64_t nodes = 0;
  std::uint32_t depth = 0;             // levels of nodes; 0 for an empty directory
  std::vector<DatFileEntry> entries;   // every entry, in the walk order of opening
  std::vector<NodeChain> node_chains;  // the chains of the nodes read
  std::vector<Problem> problems;
};

// Walks the tree from the header's root_offset. Fails only when reading the file fails.
[[nodiscard]] Expected<DirectoryStats, Failure> walk_directory(const RawArchive& archive,
                                                               ChainWalker& walker);

}  // namespace quorvale_dat::cli
