// The JSON documents of quorvale-dat, each built by one function that both its command (--json)
// and the server's API (`quorvale-dat serve`) call, so that the two always give the same document.
// The schema is in docs/cli.md.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "archive_check.hpp"
#include "json.hpp"
#include "quorvale_dat/database.hpp"
#include "quorvale_dat/expected.hpp"
#include "status.hpp"

namespace quorvale_dat::cli {

// `info --json`: the header, the entries per type and the directory's shape. `archive` is the
// path as given, which the document repeats; the directory is walked again from it for the node
// count and depth, which the library does not keep.
[[nodiscard]] Expected<Json, Failure> info_document(const std::string& archive,
                                                    const DatDatabase& db);

// One object of `ls --json`'s "entries": every field of the directory entry.
[[nodiscard]] Json entry_document(const DatFileEntry& entry);

// `show --json`: the record `id`, whose bytes are `bytes`, decoded by its type byte; kExitData
// with the failing field when it does not decode.
[[nodiscard]] Expected<Json, Failure> record_document(std::uint32_t id,
                                                      const std::vector<std::uint8_t>& bytes);

// `verify --json`: the report of check_archive() on `archive`.
[[nodiscard]] Json verify_document(const std::string& archive, const CheckReport& report);

}  // namespace quorvale_dat::cli
