#include "directory_stats.hpp"

#include <algorithm>
#include <array>
#include <map>
#include <unordered_set>
#include <utility>

#include "ids.hpp"
#include "quorvale_dat/database.hpp"
#include "quorvale_dat/reader.hpp"
#include "quorvale_dat/utils.hpp"

namespace quorvale_dat::cli {
namespace {

constexpr std::size_t kBranchSlots = 62;
constexpr std::uint32_t kMaxEntries = 61;

struct Node {
  std::array<std::uint32_t, kBranchSlots> branches{};
  std::uint32_t child_slots = 0;  // entry_count + 1 for an inner node, else 0
};

// The node's branches and entries. The content is a whole node, so only an entry_count beyond
// 61 can make the reads run out; that is checked first.
Expected<Node, std::string> decode_node(std::span<const std::uint8_t> content,
                                        std::vector<DatFileEntry>& entries) {
  SpanCursor cursor(content);
  Node node;
  for (auto& branch : node.branches) branch = *read_le<std::uint32_t>(cursor);
  const std::uint32_t entry_count = *read_le<std::uint32_t>(cursor);
  if (entry_count > kMaxEntries) {
    return Unexpected("entry_count " + std::to_string(entry_count) +
                      " is more than a node holds (" + std::to_string(kMaxEntries) + ")");
  }
  for (std::uint32_t i = 0; i < entry_count; ++i) entries.push_back(*DatFileEntry::read(cursor));
  if (node.branches[0] != 0) node.child_slots = entry_count + 1;
  return node;
}

Problem node_problem(std::uint32_t offset, std::string message) {
  return Problem{Problem::Place::Node, 0, offset, std::move(message)};
}

// Ids that occur more than once: opening keeps the entry met last.
void report_repeated_ids(DirectoryStats& stats) {
  std::map<std::uint32_t, std::size_t> seen;
  for (const DatFileEntry& e : stats.entries) ++seen[e.id];
  std::map<std::uint32_t, const DatFileEntry*> last;
  for (const DatFileEntry& e : stats.entries) last[e.id] = &e;
  for (const auto& [id, count] : seen) {
    if (count < 2) continue;
    stats.problems.push_back({Problem::Place::Entry, id, last[id]->offset,
                              "id appears " + std::to_string(count) +
                                  " times in the directory; only the entry met last is read"});
  }
}

}  // namespace

Expected<RawArchive, Failure> open_raw_archive(const std::string& path) {
  auto file = File::open_read_only(path);
  if (!file) {
    return Unexpected(Failure{kExitNoInput, "cannot open " + path + ": " + file.error().display()});
  }
  auto size = file->size();
  if (!size) return Unexpected(Failure{kExitIo, path + ": " + size.error().display()});

  std::vector<std::uint8_t> bytes(DatHeader::kSize);
  if (auto r = utils::read_exact_at_compat(*file, bytes, DatHeader::kOffset); !r) {
    const IoError& e = r.error();
    if (e.kind() == ErrorKind::IsADirectory) {
      return Unexpected(Failure{kExitNoInput, "cannot open " + path + ": " + e.display()});
    }
    if (e.kind() == ErrorKind::UnexpectedEof) {
      return Unexpected(Failure{
          kExitData, path + ": too short for a header (" + std::to_string(*size) + " bytes)"});
    }
    return Unexpected(Failure{kExitIo, path + ": " + e.display()});
  }
  SpanCursor cursor(bytes);
  auto header = DatHeader::read(cursor);
  if (!header) return Unexpected(Failure{kExitData, path + ": " + one_line(header.error())});
  return RawArchive{std::move(*file), std::move(*header), *size};
}

Expected<DirectoryStats, Failure> walk_directory(const RawArchive& archive, ChainWalker& walker) {
  DirectoryStats stats;
  const std::uint32_t root = archive.header.root_offset;
  if (root == 0) return stats;

  const std::uint64_t max_nodes = std::max<std::uint64_t>(1, archive.size / kDirectoryNodeSize);
  std::unordered_set<std::uint32_t> reached;

  struct Frame {
    std::uint32_t offset;
    Node node;
    std::uint32_t next_slot;
  };
  std::vector<Frame> path;
  std::unordered_set<std::uint32_t> on_path;

  // Reads the node at `offset` and, when it has children, puts it on the path. Returns false
  // when the walk must end.
  const auto visit = [&](std::uint32_t offset, std::uint32_t parent) -> Expected<bool, Failure> {
    if (on_path.contains(offset)) {
      stats.problems.push_back(node_problem(
          offset, "is its own ancestor (reached from directory node " + hex8(parent) + ")"));
      return true;
    }
    if (!reached.insert(offset).second) {
      stats.problems.push_back(node_problem(
          offset, "is reached a second time (from directory node " + hex8(parent) + ")"));
      return true;
    }
    if (stats.nodes == max_nodes) {
      stats.problems.push_back(
          node_problem(offset, "the directory has more nodes than the file holds (at most " +
                                   std::to_string(max_nodes) + "); the walk stops here"));
      return false;
    }
    auto chain = walker.walk(offset, kDirectoryNodeSize, true);
    if (!chain) return Unexpected(std::move(chain.error()));
    ++stats.nodes;
    stats.depth = std::max(stats.depth, static_cast<std::uint32_t>(path.size() + 1));
    stats.node_chains.push_back({offset, chain->blocks});
    if (!chain->problem.empty()) {
      stats.problems.push_back(node_problem(offset, chain->problem));
      return true;
    }
    auto node = decode_node(chain->content, stats.entries);
    if (!node) {
      stats.problems.push_back(node_problem(offset, node.error()));
      return true;
    }
    if (node->child_slots > 0) {
      path.push_back(Frame{offset, *node, 0});
      on_path.insert(offset);
    }
    return true;
  };

  auto go_on = visit(root, 0);
  while (go_on && *go_on && !path.empty()) {
    Frame& frame = path.back();
    if (frame.next_slot == frame.node.child_slots) {
      on_path.erase(frame.offset);
      path.pop_back();
      continue;
    }
    const std::uint32_t child = frame.node.branches[frame.next_slot++];
    if (child != 0) go_on = visit(child, frame.offset);
  }
  if (!go_on) return Unexpected(std::move(go_on.error()));
  report_repeated_ids(stats);
  return stats;
}

}  // namespace quorvale_dat::cli
