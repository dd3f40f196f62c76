// verify: the directory walk with a policy that records a node it cannot walk and goes on, the
// chain walk over every entry's chain without its content, and block slots (block_slots.hpp) for
// the blocks chains share. Problems of one kind on one target are kept once, with a count.

#include "quorvale_dat/verify.hpp"

#include <algorithm>
#include <numeric>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "block_chain.hpp"
#include "block_slots.hpp"
#include "directory_walk.hpp"
#include "opening.hpp"
#include "quorvale_dat/format.hpp"
#include "quorvale_dat/utils.hpp"
#include "text.hpp"

namespace quorvale_dat {

bool tolerated(ProblemKind kind) noexcept {
  switch (kind) {
    case ProblemKind::ReachedTwice:
    case ProblemKind::RepeatedId:
    case ProblemKind::SharedBlock:
    case ProblemKind::BlockUsedTwice:
    case ProblemKind::OverlapsHeader:
    case ProblemKind::LongLastBlock:
    case ProblemKind::NotChecked:
    case ProblemKind::CompressedTooShort:
    case ProblemKind::SizeMismatch:
      return true;
    default:
      return false;
  }
}

std::string_view kind_name(ProblemKind kind) noexcept {
  switch (kind) {
    case ProblemKind::BlockOutsideFile:
      return "block-outside-file";
    case ProblemKind::BlockPastEnd:
      return "block-past-end";
    case ProblemKind::BlockOffsetTooHigh:
      return "block-offset-too-high";
    case ProblemKind::NoRoomForPayload:
      return "no-room-for-payload";
    case ProblemKind::TooManyBlocks:
      return "too-many-blocks";
    case ProblemKind::SuppliesTooMuch:
      return "supplies-too-much";
    case ProblemKind::EntryCountTooLarge:
      return "entry-count-too-large";
    case ProblemKind::OwnAncestor:
      return "own-ancestor";
    case ProblemKind::TooManyNodes:
      return "too-many-nodes";
    case ProblemKind::DoesNotOpen:
      return "does-not-open";
    case ProblemKind::ReachedTwice:
      return "reached-twice";
    case ProblemKind::RepeatedId:
      return "repeated-id";
    case ProblemKind::SharedBlock:
      return "shared-block";
    case ProblemKind::BlockUsedTwice:
      return "block-used-twice";
    case ProblemKind::OverlapsHeader:
      return "overlaps-header";
    case ProblemKind::LongLastBlock:
      return "long-last-block";
    case ProblemKind::NotChecked:
      return "not-checked";
    case ProblemKind::ReadFailed:
      return "read-failed";
    case ProblemKind::CompressedTooShort:
      return "compressed-too-short";
    case ProblemKind::SizeMismatch:
      return "size-mismatch";
  }
  return "";
}

std::string VerifyReport::message(const Problem& p) const {
  using detail::hex8;
  const std::string block = "block " + hex8(p.block);
  const auto other = [&] {
    switch (p.other_place) {
      case ProblemPlace::Node:
        return "directory node " + hex8(p.other_offset);
      case ProblemPlace::Entry:
        return "entry " + hex8(p.other_id);
      case ProblemPlace::Header:
        break;
    }
    return std::string("the header");
  };
  const auto times = [&](std::uint32_t n) {
    return n == 1 ? std::string("once") : std::to_string(n) + " times";
  };
  switch (p.kind) {
    case ProblemKind::BlockOutsideFile:
      return block + " lies outside the file";
    case ProblemKind::BlockPastEnd:
      return block + " runs past the end of the file";
    case ProblemKind::BlockOffsetTooHigh:
      return block + " leaves no room for its payload";
    case ProblemKind::NoRoomForPayload:
      return "block size " + std::to_string(p.value) + " leaves no room for a payload (" + block +
             ")";
    case ProblemKind::TooManyBlocks:
      return "the chain visits more blocks than the file holds (at most " +
             std::to_string(p.limit) + "), at " + block;
    case ProblemKind::SuppliesTooMuch:
      return "the chain supplies more bytes than the file holds, at " + block;
    case ProblemKind::EntryCountTooLarge:
      return "entry_count " + std::to_string(p.value) + " is more than a node holds (" +
             std::to_string(format::kEntrySlots) + ")";
    case ProblemKind::OwnAncestor:
      return "is its own ancestor (reached from " + other() + ")" +
             (p.count > 1 ? ", " + times(p.count) : "");
    case ProblemKind::TooManyNodes:
      return "the directory has more nodes than the file holds (at most " +
             std::to_string(p.limit) + "); the walk stops here";
    case ProblemKind::DoesNotOpen:
      return "the archive does not open";
    case ProblemKind::ReachedTwice:
      return p.count == 1 ? "is reached a second time (from " + other() + ")"
                          : "is reached " + std::to_string(p.count) + " more times (first from " +
                                other() + ")";
    case ProblemKind::RepeatedId:
      return "id appears " + std::to_string(p.count) +
             " times in the directory; only the entry met last is read";
    case ProblemKind::SharedBlock:
      return block + " overlaps a block of " + other() +
             (p.count > 1 ? " (and so do " + std::to_string(p.count - 1) + " more chains)" : "");
    case ProblemKind::BlockUsedTwice:
      return block + " is read again by the same chain" +
             (p.count > 1 ? " (" + std::to_string(p.count) + " times)" : "");
    case ProblemKind::OverlapsHeader:
      return block + " overlaps the header";
    case ProblemKind::LongLastBlock:
      return "the chain ends at " + block + " with " + std::to_string(p.value) +
             " bytes left to read, more than a block holds (" + std::to_string(p.limit) + ")";
    case ProblemKind::NotChecked:
      return std::string("not followed: the chains claim more blocks than the file holds") +
             (p.count > 1 ? " (this entry and " + std::to_string(p.count - 1) + " more)" : "");
    case ProblemKind::ReadFailed: {
      if (p.value >= read_errors.size()) return "cannot be read";
      const DatError& e = read_errors[p.value];
      const auto* io = e.get_if<DatError::Io>();
      return "cannot be read: " + (io != nullptr ? io->error.display() : e.display());
    }
    case ProblemKind::CompressedTooShort:
      return "compressed record of " + std::to_string(p.value) +
             " bytes is too short for its size field";
    case ProblemKind::SizeMismatch:
      return "decompresses to " + std::to_string(p.value) + " bytes, but declares " +
             std::to_string(p.limit);
  }
  return "";
}

namespace {

using detail::ChainBlock;
using detail::ChainFailure;
using detail::ChainStep;

struct Subject {
  ProblemPlace place = ProblemPlace::Header;
  std::uint32_t id = 0;
  std::uint32_t offset = 0;
};

// Problems that aggregate: one per kind and target.
struct Target {
  ProblemKind kind;
  std::uint32_t a;
  std::uint32_t b;
  friend bool operator==(const Target&, const Target&) = default;
};
struct TargetHash {
  std::size_t operator()(const Target& t) const noexcept {
    const std::uint64_t v = (std::uint64_t{t.a} << 32 | t.b) * 0x9E3779B97F4A7C15ull;
    return static_cast<std::size_t>(v ^ (v >> 29) ^ static_cast<std::uint64_t>(t.kind));
  }
};

// An error of a read that failed for another reason than the end of the data: verify cannot go
// on, the archive is not at fault.
bool is_os_failure(const DatError& e) {
  const auto* io = e.get_if<DatError::Io>();
  return io != nullptr && io->error.kind() != ErrorKind::UnexpectedEof;
}

ProblemKind kind_of(ChainStep step) {
  switch (step) {
    case ChainStep::BlockOffset:
      return ProblemKind::BlockOffsetTooHigh;
    case ChainStep::Pointer:
      return ProblemKind::BlockOutsideFile;
    case ChainStep::Geometry:
      return ProblemKind::NoRoomForPayload;
    case ChainStep::BlockCount:
      return ProblemKind::TooManyBlocks;
    case ChainStep::Payload:
    case ChainStep::LastBlockRest:
      return ProblemKind::BlockPastEnd;
    case ChainStep::Supply:
      return ProblemKind::SuppliesTooMuch;
  }
  return ProblemKind::BlockOutsideFile;
}

// What one walk has reported already: each chain names its first shared block and its first
// revisited block only.
struct WalkState {
  bool shared_reported = false;
  std::size_t revisit = SIZE_MAX;  // the chain's BlockUsedTwice problem
};

class Checker {
 public:
  Checker(const detail::ByteSource& source, const DatHeader& header, const VerifyOptions& options)
      : src_(source),
        header_(header),
        g_(detail::ChainGeometry::of(header.block_size, source.size())) {
    report_.full = options.full;
  }

  Expected<VerifyReport, DatError> run() {
    if (auto r = walk_directory(); !r) return Unexpected(std::move(r.error()));
    slots_.emplace(
        src_.size(), header_.block_size,
        detail::BlockSlots::grid_origin(entries_, header_.root_offset, header_.block_size));
    check_node_blocks();
    collect_entries();
    if (auto r = walk_entries(); !r) return Unexpected(std::move(r.error()));
    if (report_.full) read_records();
    return std::move(report_);
  }

  // The directory walk's policy.
  bool node(const DirectoryNode& n) {
    if (!done_nodes_.insert(n.offset).second) {
      bool fresh = false;
      Problem& p =
          aggregate({ProblemKind::ReachedTwice, n.offset, 0}, node_subject(n.offset), 0, fresh);
      if (fresh) set_other(p, node_subject(n.parent));
      return false;  // its entries are in the map already
    }
    ++report_.nodes;
    report_.depth = std::max(report_.depth, n.depth);
    node_offsets_.push_back(n.offset);
    return true;
  }

  // The blocks of the nodes' chains are checked once the walk is over and the grid of the
  // blocks is known (check_node_blocks).
  static constexpr bool block(std::uint32_t, const ChainBlock&) noexcept { return true; }

  bool failed(const detail::NodeFailure& f) {
    if (f.fault == DirectoryFault::Unreadable && is_os_failure(f.error)) {
      fatal_.emplace(f.error);
      return false;
    }
    if (!report_.open_error) report_.open_error.emplace(f.error);
    const Subject subject = node_subject(f.offset);
    bool fresh = false;
    switch (f.fault) {
      case DirectoryFault::Unreadable: {
        const ProblemKind kind = kind_of(f.chain->step);
        Problem& p = aggregate({kind, f.offset, 0}, subject, f.chain->block, fresh);
        if (fresh) describe_chain_failure(p, *f.chain);
        break;
      }
      case DirectoryFault::EntryCount: {
        Problem& p = aggregate({ProblemKind::EntryCountTooLarge, f.offset, 0}, subject, 0, fresh);
        if (fresh) {
          p.value = f.entry_count;
          ++report_.nodes;
        }
        break;
      }
      case DirectoryFault::OwnAncestor: {
        Problem& p = aggregate({ProblemKind::OwnAncestor, f.offset, 0}, subject, 0, fresh);
        if (fresh) set_other(p, node_subject(f.parent));
        break;
      }
      case DirectoryFault::TooManyNodes:
        add(ProblemKind::TooManyNodes, subject, 0).limit = f.max_nodes;
        break;
    }
    if ((f.fault == DirectoryFault::Unreadable || f.fault == DirectoryFault::EntryCount) &&
        done_nodes_.insert(f.offset).second) {
      node_offsets_.push_back(f.offset);
    }
    return true;
  }

 private:
  static Subject node_subject(std::uint32_t offset) { return {ProblemPlace::Node, 0, offset}; }
  static Subject entry_subject(const DatFileEntry& e) {
    return {ProblemPlace::Entry, e.id, e.offset};
  }

  Problem& add(ProblemKind kind, const Subject& s, std::uint32_t block) {
    Problem p;
    p.kind = kind;
    p.place = s.place;
    p.id = s.id;
    p.offset = s.offset;
    p.block = block;
    report_.problems.push_back(p);
    return report_.problems.back();
  }

  // The problem of `target`, made when new (`fresh`), else counted once more.
  Problem& aggregate(const Target& target, const Subject& s, std::uint32_t block, bool& fresh) {
    const auto [it, inserted] = aggregated_.try_emplace(target, report_.problems.size());
    fresh = inserted;
    if (inserted) return add(target.kind, s, block);
    Problem& p = report_.problems[it->second];
    ++p.count;
    return p;
  }

  static void set_other(Problem& p, const Subject& other) {
    p.other_place = other.place;
    p.other_id = other.id;
    p.other_offset = other.offset;
  }

  void describe_chain_failure(Problem& p, const ChainFailure& f) const {
    p.block = f.block;
    if (p.kind == ProblemKind::NoRoomForPayload) p.value = header_.block_size;
    if (p.kind == ProblemKind::TooManyBlocks) p.limit = g_.max_blocks;
  }

  // Owners of block slots: directory nodes from 1 in the order first read, then the entries.
  Subject owner_subject(std::uint32_t owner) const {
    if (owner <= node_offsets_.size()) return node_subject(node_offsets_[owner - 1]);
    return entry_subject(entries_[owner - 1 - node_offsets_.size()]);
  }

  // The checks every block of every chain gets, whatever the chain belongs to.
  void check_block(const Subject& subject, std::uint32_t owner, const ChainBlock& b,
                   WalkState& walk) {
    const std::uint64_t length =
        std::max<std::uint64_t>(header_.block_size, 4 + std::uint64_t{b.supplied});
    const std::uint64_t header_end = format::kHeaderOffset + format::kHeaderSize;
    bool fresh = false;
    if (b.offset < header_end && b.offset + length > format::kHeaderOffset) {
      aggregate({ProblemKind::OverlapsHeader, owner, 0}, subject, b.offset, fresh);
    }
    const std::uint32_t payload = header_.block_size - format::kBlockPointerSize;
    if (b.next == 0 && header_.block_size > format::kBlockPointerSize && b.supplied > payload) {
      Problem& p = add(ProblemKind::LongLastBlock, subject, b.offset);
      p.value = b.supplied;
      p.limit = payload;
    }
    const auto claim = slots_->claim(b, owner);
    using Kind = detail::BlockSlots::Claim::Kind;
    if (claim.kind == Kind::Own) {
      if (walk.revisit == SIZE_MAX) {
        walk.revisit = report_.problems.size();
        add(ProblemKind::BlockUsedTwice, subject, b.offset);
      } else {
        ++report_.problems[walk.revisit].count;
      }
    } else if (claim.kind == Kind::Other && !walk.shared_reported) {
      walk.shared_reported = true;
      Problem& p =
          aggregate({ProblemKind::SharedBlock, claim.owner, b.offset}, subject, b.offset, fresh);
      if (fresh) set_other(p, owner_subject(claim.owner));
    }
  }

  Expected<void, DatError> walk_directory() {
    std::vector<DatFileEntry> walked;
    auto r = detail::walk_directory(src_, g_, header_.root_offset, walked, *this);
    if (fatal_) return Unexpected(std::move(*fatal_));
    if (!r) return Unexpected(std::move(r.error()));
    if (report_.open_error) {
      add(ProblemKind::DoesNotOpen, {ProblemPlace::Header, 0, format::kHeaderOffset}, 0);
    }
    entries_ = std::move(walked);
    return {};
  }

  // Every node's chain walked again, its blocks checked as the entries' are; its failures, if
  // any, were reported by the directory walk.
  void check_node_blocks() {
    for (std::size_t i = 0; i < node_offsets_.size(); ++i) {
      const Subject subject = node_subject(node_offsets_[i]);
      const auto owner = static_cast<std::uint32_t>(i + 1);
      WalkState walk;
      (void)detail::walk_chain(src_, g_, node_offsets_[i], format::kNodeSize,
                               [&](const ChainBlock& b) {
                                 check_block(subject, owner, b, walk);
                                 return true;
                               });
    }
  }

  // One entry per id, the one opening keeps (the last met); ids met more than once reported.
  void collect_entries() {
    std::stable_sort(entries_.begin(), entries_.end(),
                     [](const DatFileEntry& a, const DatFileEntry& b) { return a.id < b.id; });
    std::size_t kept = 0;
    for (std::size_t i = 0; i < entries_.size();) {
      std::size_t j = i + 1;
      while (j < entries_.size() && entries_[j].id == entries_[i].id) ++j;
      const DatFileEntry& last = entries_[j - 1];
      if (j - i > 1) {
        add(ProblemKind::RepeatedId, entry_subject(last), 0).count =
            static_cast<std::uint32_t>(j - i);
      }
      entries_[kept++] = last;
      i = j;
    }
    entries_.resize(kept);
    report_.entries = kept;
    order_.resize(kept);
    std::iota(order_.begin(), order_.end(), 0u);
    std::sort(order_.begin(), order_.end(), [&](std::uint32_t a, std::uint32_t b) {
      return entries_[a].offset != entries_[b].offset ? entries_[a].offset < entries_[b].offset
                                                      : a < b;
    });
    unread_.assign(kept, 0);
  }

  // Every entry's chain, without its content. Sound chains never share blocks, so together their
  // blocks with a successor fit in the file; the walks stop once they have visited twice that
  // many, so that entries naming one long chain cannot make verify walk it again and again.
  Expected<void, DatError> walk_entries() {
    const std::uint64_t budget =
        2 * (header_.block_size == 0 ? 0 : g_.file_size / header_.block_size) + 64;
    std::uint64_t linked = 0;
    const auto base = static_cast<std::uint32_t>(node_offsets_.size());
    for (const std::uint32_t i : order_) {
      const DatFileEntry& e = entries_[i];
      if (e.size == 0) continue;
      const Subject subject = entry_subject(e);
      const std::uint32_t owner = base + i + 1;
      WalkState walk;
      bool over_budget = false;
      auto r = detail::walk_chain(src_, g_, e.offset, e.size, [&](const ChainBlock& b) {
        if (b.next != 0 && ++linked > budget) {
          over_budget = true;
          return false;
        }
        check_block(subject, owner, b, walk);
        return true;
      });
      if (!r) {
        if (is_os_failure(r.error().error)) return Unexpected(std::move(r.error().error));
        Problem& p = add(kind_of(r.error().step), subject, r.error().block);
        describe_chain_failure(p, r.error());
        unread_[i] = 1;
      } else if (over_budget) {
        bool fresh = false;
        aggregate({ProblemKind::NotChecked, 0, 0}, subject, 0, fresh);
        unread_[i] = 1;
      }
    }
    return {};
  }

  // Reads every record whose chain is sound, as get_file does, and checks what decompression
  // yields.
  void read_records() {
    std::vector<std::uint8_t> scratch;
    for (const std::uint32_t i : order_) {
      if (unread_[i] != 0) continue;
      const DatFileEntry& e = entries_[i];
      const Subject subject = entry_subject(e);
      ++report_.records_read;
      std::span<const std::uint8_t> stored;
      if (e.size > 0) {
        auto r = detail::read_chain_view(src_, g_, e.offset, e.size, scratch);
        if (!r) {
          add(ProblemKind::ReadFailed, subject, r.error().block).value = report_.read_errors.size();
          report_.read_errors.push_back(std::move(r.error().error));
          continue;
        }
        stored = r->bytes;
      }
      if (!e.is_compressed()) continue;
      if (stored.size() < 4) {
        add(ProblemKind::CompressedTooShort, subject, 0).value = stored.size();
        continue;
      }
      const std::uint32_t declared = detail::load_le<std::uint32_t>(stored.data());
      const std::size_t produced = utils::decompress_lrs(stored).size();
      if (produced != declared) {
        Problem& p = add(ProblemKind::SizeMismatch, subject, 0);
        p.value = produced;
        p.limit = declared;
      }
    }
  }

  const detail::ByteSource& src_;
  const DatHeader& header_;
  detail::ChainGeometry g_;
  std::optional<detail::BlockSlots> slots_;
  VerifyReport report_;
  std::unordered_map<Target, std::size_t, TargetHash> aggregated_;
  std::vector<std::uint32_t> node_offsets_;  // the nodes read, in walk order
  std::unordered_set<std::uint32_t> done_nodes_;
  std::vector<DatFileEntry> entries_;
  std::vector<std::uint32_t> order_;
  std::vector<std::uint8_t> unread_;  // 1: the chain is broken or was not followed
  std::optional<DatError> fatal_;
};

Expected<VerifyReport, DatError> check(Expected<detail::OpenedSource, DatError> opened,
                                       const VerifyOptions& options) {
  if (!opened) return Unexpected(std::move(opened.error()));
  Checker checker(*opened->source, opened->header, options);
  return checker.run();
}

}  // namespace

Expected<VerifyReport, DatError> verify(const std::filesystem::path& path,
                                        const VerifyOptions& options) {
  return check(detail::open_file_source(path), options);
}

Expected<VerifyReport, DatError> verify_bytes(std::vector<std::uint8_t> bytes,
                                              const VerifyOptions& options) {
  return check(detail::open_memory_source(std::move(bytes)), options);
}

}  // namespace quorvale_dat
