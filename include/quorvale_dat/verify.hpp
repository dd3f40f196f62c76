// verify: every problem of an archive's structure, and with `full` of its records, as values.
//
// The structural check walks the directory from the header as opening does, but goes on past
// nodes it cannot walk (leaving their subtrees out), then walks every entry's block chain
// without reading its content, by the same rules get_file reads it with: a chain is reported as
// broken exactly when get_file would fail on it. It also reports what reads but looks wrong:
// blocks shared between chains, a block a chain visits twice, chains over the header, a last
// block that must supply more than a block's payload, ids that repeat. The full check then reads
// every record whose chain is sound, and checks what a compressed record decompresses to.
//
//   auto report = quorvale_dat::verify("client_portal.dat", {.full = true});
//   if (!report) { std::cerr << report.error().display() << '\n'; return 1; }
//   for (const quorvale_dat::Problem& p : report->problems) std::cout << report->message(p) <<
//   '\n';
//
// Its bookkeeping is bounded by the file, whatever the archive claims: 4 bytes per block of the
// file for who uses which block (a crafted directory whose entries all name one chain adds
// nothing), the entries, and the problems. A problem of one kind on one target (a node, a
// shared block, the chains not followed) is reported once, with a count.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quorvale_dat/dat_error.hpp"
#include "quorvale_dat/expected.hpp"

namespace quorvale_dat {

enum class ProblemKind : std::uint8_t {
  // A chain that get_file cannot read (for a directory node: that opening cannot read). `block`
  // is the block where reading fails.
  BlockOutsideFile,    // the block's pointer lies outside the file
  BlockPastEnd,        // its payload, or what a last block supplies, runs past the end of the file
  BlockOffsetTooHigh,  // the block's offset leaves no room for its payload (0xFFFFFFFC or above)
  NoRoomForPayload,    // a pointer under a block size of 4 or less; value: the block size
  TooManyBlocks,       // more blocks than the file holds; limit: the most a chain may visit
  SuppliesTooMuch,     // more bytes than the file holds
  // A directory node that opening cannot walk (place Node).
  EntryCountTooLarge,  // value: the entry_count, more than the 61 a node holds
  OwnAncestor,         // a branch of node `other` leads back to it; count: times reached so
  TooManyNodes,        // the node visit that is one too many; limit: the most; the walk stops
  DoesNotOpen,         // (place Header) opening fails: VerifyReport::open_error says how
  // Read all the same by get_file and opening, but wrong.
  ReachedTwice,    // a node reached again, from node `other`; count: further times
  RepeatedId,      // count: entries with the id; only the one met last is read
  SharedBlock,     // `block` of this chain overlaps a block of chain `other`, met before it
                   // (nodes in walk order, then entries in file order); count: the chains
                   // that overlap it there, this one first
  BlockUsedTwice,  // the chain visits `block` again; count: further visits
  OverlapsHeader,  // `block` overlaps the header's bytes (0x140 to 0x190)
  LongLastBlock,   // the last `block` supplies value bytes, more than a block's payload (limit)
  NotChecked,      // the chain was not followed: the chains walked claim more blocks than the
                   // file holds; count: entries not followed
  // Found by the full check (place Entry).
  ReadFailed,          // reading the record failed: VerifyReport::read_errors[value]
  CompressedTooShort,  // value: the stored size, too short for the 4-byte declared size
  SizeMismatch,        // decompresses to value bytes, but declares limit
};

// Whether get_file (or, for a node, opening) reads through a problem of this kind without error.
[[nodiscard]] bool tolerated(ProblemKind kind) noexcept;
// The kind's name in the JSON output of quorvale-dat verify: "shared-block".
[[nodiscard]] std::string_view kind_name(ProblemKind kind) noexcept;

enum class ProblemPlace : std::uint8_t { Header, Node, Entry };

struct Problem {
  ProblemKind kind = ProblemKind::BlockOutsideFile;
  ProblemPlace place = ProblemPlace::Header;
  std::uint32_t id = 0;      // the entry's id (place Entry)
  std::uint32_t offset = 0;  // the entry's chain, the node, or the header's offset (0x140)
  std::uint32_t block = 0;   // the block the problem lies in; 0 when none
  std::uint32_t count = 1;   // how often it was met on this target
  std::uint64_t value = 0;   // what the kind says
  std::uint64_t limit = 0;   // what the kind says
  // Another chain or node involved (SharedBlock, OwnAncestor, ReachedTwice).
  ProblemPlace other_place = ProblemPlace::Header;
  std::uint32_t other_id = 0;
  std::uint32_t other_offset = 0;

  friend bool operator==(const Problem&, const Problem&) = default;
};

struct VerifyOptions {
  bool full = false;  // also read every record whose chain is sound
};

struct VerifyReport {
  bool full = false;
  std::uint64_t nodes = 0;         // directory nodes read
  std::uint32_t depth = 0;         // levels of nodes; 0 for an empty directory
  std::uint64_t entries = 0;       // distinct ids in the directory
  std::uint64_t records_read = 0;  // records read by the full check
  // Directory problems in walk order, then repeated ids, then the chains' problems in the order
  // of the chains in the file, then the records'.
  std::vector<Problem> problems;
  // The error DatDatabase::open gives for the archive, when it does not open.
  std::optional<DatError> open_error;
  // The errors of ReadFailed problems.
  std::vector<DatError> read_errors;

  [[nodiscard]] bool ok() const noexcept { return problems.empty(); }
  // One line about `p`, without its place: "block 0x00100000 lies outside the file".
  [[nodiscard]] std::string message(const Problem& p) const;
};

// Checks the archive at `path`, opening it once. Fails only when it cannot be checked at all:
// PathError when it cannot be opened, BinRead when its header is cut short, Io when a read
// fails for another reason than the end of the file.
[[nodiscard]] Expected<VerifyReport, DatError> verify(const std::filesystem::path& path,
                                                      const VerifyOptions& options = {});
// The same for an archive held in memory.
[[nodiscard]] Expected<VerifyReport, DatError> verify_bytes(std::vector<std::uint8_t> bytes,
                                                            const VerifyOptions& options = {});

}  // namespace quorvale_dat
