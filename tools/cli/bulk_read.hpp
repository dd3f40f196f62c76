// Reading every selected record of an archive in one pass for the commands that write them all
// out (extract, texture --all), with their defences against crafted archives:
//
//   * A record whose block chain overlaps the chain of a record read before it (in file order) is
//     not read unless --allow-overlap: the others are reported as overlapping. Sound archives
//     never share blocks; a crafted one names one chain from thousands of entries to turn a small
//     file into a huge output, the overlapping-entries pattern of zip bombs.
//   * The records read may hold at most --max-output times the archive's size in stored bytes
//     (default kDefaultMaxOutput; 0 for no limit); the pass stops there. Decompression expands
//     stored bytes by up to eight times on top of that, which the limit leaves alone.
//
// The records are read, and written, by --jobs threads (default: one per core). What the command
// does and says is the same whatever their number: the overlaps and the limit are decided in
// file order, and failures are reported after the pass, in file order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "progress.hpp"
#include "quorvale_dat/database.hpp"
#include "quorvale_dat/expected.hpp"
#include "status.hpp"

namespace quorvale_dat::cli {

inline constexpr std::uint64_t kDefaultMaxOutput = 4;

struct BulkOptions {
  bool allow_overlap = false;
  std::uint64_t max_output = kDefaultMaxOutput;  // times the archive's size; 0: no limit
  unsigned jobs = 0;                             // threads; 0: one per core
};

struct BulkOutcome {
  std::size_t selected = 0;  // records the pass was to read
  std::size_t failed = 0;    // not written: unreadable, overlapping, or failed to write
  int status = kExitOk;      // the worst failure's
};

// Reads the records `select` accepts and hands each one's bytes to `write`, which returns the
// bytes it wrote (for the progress line) or its failure. `write` is called from several threads
// at once, never twice for one record. Every failure is reported on standard error as
// "<archive>: <noun> 0x...: <why>" (message_for()) and the pass goes on, until the output limit
// stops it.
[[nodiscard]] BulkOutcome read_all(const std::string& archive, const DatDatabase& db,
                                   const BulkOptions& options, std::string_view label,
                                   std::string_view noun,
                                   const std::function<bool(const DatFileEntry&)>& select,
                                   const std::function<Expected<std::uint64_t, Failure>(
                                       const DatFileEntry&, std::span<const std::uint8_t>)>& write);

}  // namespace quorvale_dat::cli
