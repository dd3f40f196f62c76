#include "archive_check.hpp"

#include <algorithm>
#include <map>
#include <set>
#include <utility>

#include "ids.hpp"
#include "quorvale_dat/database.hpp"
#include "quorvale_dat/utils.hpp"

namespace quorvale_dat::cli {
namespace {

// Who a block belongs to, for naming both sides of an overlap.
struct Owner {
  Problem::Place place;
  std::uint32_t id;
  std::uint64_t offset;
};

struct OwnedBlock {
  ChainBlock block;
  std::size_t owner;
};

std::string owner_text(const Owner& owner) {
  switch (owner.place) {
    case Problem::Place::Header:
      return "the header";  // not reached: overlaps with the header are worded apart
    case Problem::Place::Node:
      return "directory node " + hex8(static_cast<std::uint32_t>(owner.offset));
    case Problem::Place::Entry:
      return "entry " + hex8(owner.id);
  }
  return "";
}

// Blocks that share bytes, reported once for each pair of owners, on the owner whose block starts
// later; an overlap with the header is always the chain's problem.
void report_overlaps(const std::vector<Owner>& owners, std::vector<OwnedBlock> blocks,
                     std::vector<Problem>& problems) {
  std::sort(blocks.begin(), blocks.end(), [](const OwnedBlock& a, const OwnedBlock& b) {
    return a.block.begin != b.block.begin ? a.block.begin < b.block.begin : a.owner < b.owner;
  });
  std::set<std::pair<std::size_t, std::size_t>> reported;
  const OwnedBlock* reaching = nullptr;  // the block seen so far that reaches furthest
  for (const OwnedBlock& b : blocks) {
    if (reaching != nullptr && b.block.begin < reaching->block.end &&
        reported.insert({reaching->owner, b.owner}).second) {
      const OwnedBlock* subject = &b;
      const OwnedBlock* other = reaching;
      if (owners[subject->owner].place == Problem::Place::Header) std::swap(subject, other);
      const Owner& owner = owners[subject->owner];
      std::string message =
          "block " + hex8(static_cast<std::uint32_t>(subject->block.begin)) + " overlaps ";
      if (owners[other->owner].place == Problem::Place::Header) {
        message += "the header";
      } else {
        message +=
            "block " + hex8(static_cast<std::uint32_t>(other->block.begin)) + " of " +
            (subject->owner == other->owner ? "the same chain" : owner_text(owners[other->owner]));
      }
      problems.push_back({owner.place, owner.id, owner.offset, std::move(message)});
    }
    if (reaching == nullptr || b.block.end > reaching->block.end) reaching = &b;
  }
}

void add_blocks(std::vector<OwnedBlock>& blocks, std::size_t owner,
                const std::vector<ChainBlock>& chain) {
  for (const ChainBlock& b : chain) blocks.push_back({b, owner});
}

// Reads every record whose chain is sound and checks what decompression yields.
void read_records(const std::string& path, const std::set<std::uint32_t>& broken,
                  CheckReport& report) {
  auto db = DatDatabase::open(path);
  if (!db) {
    report.problems.push_back(
        {Problem::Place::Header, 0, DatHeader::kOffset,
         "records not read: the archive does not open: " + one_line(db.error())});
    return;
  }
  for (const DatFileEntry& e : db->files()) {
    if (broken.contains(e.id)) continue;
    ++report.records_read;
    const auto problem = [&](std::string message) {
      report.problems.push_back({Problem::Place::Entry, e.id, e.offset, std::move(message)});
    };
    auto stored = db->read_file_data(e.offset, e.size);
    if (!stored) {
      problem("cannot be read: " + one_line(stored.error()));
      continue;
    }
    if (!e.is_compressed()) continue;
    if (stored->size() < 4) {
      problem("compressed record of " + std::to_string(stored->size()) +
              " bytes is too short for its size field");
      continue;
    }
    const std::uint32_t declared = static_cast<std::uint32_t>((*stored)[0]) |
                                   static_cast<std::uint32_t>((*stored)[1]) << 8 |
                                   static_cast<std::uint32_t>((*stored)[2]) << 16 |
                                   static_cast<std::uint32_t>((*stored)[3]) << 24;
    const std::size_t produced = utils::decompress_lrs(*stored).size();
    if (produced != declared) {
      problem("decompresses to " + std::to_string(produced) + " bytes, but declares " +
              std::to_string(declared));
    }
  }
}

}  // namespace

Expected<CheckReport, Failure> check_archive(const std::string& path, bool full) {
  auto archive = open_raw_archive(path);
  if (!archive) return Unexpected(std::move(archive.error()));
  ChainWalker walker(archive->file, archive->size, archive->header.block_size);
  auto dir = walk_directory(*archive, walker);
  if (!dir) return Unexpected(std::move(dir.error()));

  CheckReport report;
  report.full = full;
  report.nodes = dir->nodes;
  report.problems = std::move(dir->problems);

  std::vector<Owner> owners = {{Problem::Place::Header, 0, DatHeader::kOffset}};
  std::vector<OwnedBlock> blocks = {
      {{DatHeader::kOffset, DatHeader::kOffset + DatHeader::kSize}, 0}};
  for (const NodeChain& node : dir->node_chains) {
    owners.push_back({Problem::Place::Node, 0, node.offset});
    add_blocks(blocks, owners.size() - 1, node.blocks);
  }

  // One entry per id, the one opening keeps: the last met.
  std::map<std::uint32_t, DatFileEntry> entries;
  for (const DatFileEntry& e : dir->entries) entries[e.id] = e;
  report.entries = entries.size();
  std::set<std::uint32_t> broken;
  for (const auto& [id, e] : entries) {
    auto chain = walker.walk(e.offset, e.size, false);
    if (!chain) return Unexpected(std::move(chain.error()));
    owners.push_back({Problem::Place::Entry, id, e.offset});
    add_blocks(blocks, owners.size() - 1, chain->blocks);
    if (!chain->problem.empty()) {
      report.problems.push_back({Problem::Place::Entry, id, e.offset, chain->problem});
      broken.insert(id);
    }
  }
  const std::size_t before = report.problems.size();
  report_overlaps(owners, std::move(blocks), report.problems);
  for (std::size_t i = before; i < report.problems.size(); ++i) {
    if (report.problems[i].place == Problem::Place::Entry) broken.insert(report.problems[i].id);
  }

  if (full) read_records(path, broken, report);
  return report;
}

}  // namespace quorvale_dat::cli
