// The JSON documents of quorvale-dat, each built by one function that both its command (--json)
// and the server's API (`quorvale-dat serve`) call, so that the two always give the same document.
// The schema is in docs/cli.md.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "json.hpp"
#include "quorvale_dat/database.hpp"
#include "quorvale_dat/directory.hpp"
#include "quorvale_dat/expected.hpp"
#include "quorvale_dat/verify.hpp"
#include "status.hpp"

namespace quorvale_dat::cli {

// The directory's shape, seen while opening walks it: give it to open_archive().
struct DirectoryShape : DirectoryVisitor {
  std::uint64_t nodes = 0;  // node visits
  std::uint32_t depth = 0;  // levels of nodes; 0 for an empty directory
  void node(const DirectoryNode& n) override {
    ++nodes;
    if (n.depth > depth) depth = n.depth;
  }
};

// `info --json`: the header, the entries per type and the directory's shape. `archive` is the
// path as given, which the document repeats; `shape` was taken while `db` opened.
[[nodiscard]] Expected<Json, Failure> info_document(const std::string& archive,
                                                    const DatDatabase& db,
                                                    const DirectoryShape& shape);

// One object of `ls --json`'s "entries": every field of the directory entry.
[[nodiscard]] Json entry_document(const DatFileEntry& entry);

// `show --json`: the record `id`, whose bytes are `bytes`, decoded by its type byte; kExitData
// with the failing field when it does not decode.
[[nodiscard]] Expected<Json, Failure> record_document(std::uint32_t id,
                                                      const std::vector<std::uint8_t>& bytes);

// The library's verify of `archive`, with the failures of open_archive() for an archive that
// cannot be checked at all ("too short for a header (330 bytes)" for a header cut short).
[[nodiscard]] Expected<VerifyReport, Failure> verify_archive(const std::string& archive, bool full);

// `verify --json`: the report of verify_archive() on `archive`.
[[nodiscard]] Json verify_document(const std::string& archive, const VerifyReport& report);

}  // namespace quorvale_dat::cli
