// What `verify` checks. The structural pass walks the directory and every entry's block chain
// without reading any record: each chain must lie inside the file, and no two blocks (of one
// chain or of two, directory nodes and the header included) may share a byte. The full pass then
// reads every record through the library and checks that a compressed record decompresses to the
// size its stream declares.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "directory_stats.hpp"
#include "quorvale_dat/expected.hpp"
#include "status.hpp"

namespace quorvale_dat::cli {

struct CheckReport {
  bool full = false;
  std::uint64_t nodes = 0;
  std::uint64_t entries = 0;  // distinct ids in the directory
  std::uint64_t records_read = 0;
  std::vector<Problem> problems;
};

// Fails only when the archive cannot be opened or read at all; faults of the archive are
// problems in the report.
[[nodiscard]] Expected<CheckReport, Failure> check_archive(const std::string& path, bool full);

}  // namespace quorvale_dat::cli
