// Opening the archive and fetching records for the commands, with failures as exit statuses and
// one-line messages.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "quorvale_dat/database.hpp"
#include "quorvale_dat/expected.hpp"
#include "status.hpp"

namespace quorvale_dat::cli {

// Opens the archive. A path that cannot be opened, or names a directory, a FIFO, a pipe, a socket
// or a character device, is kExitNoInput, at once; a file that opens but is not a readable archive
// (a short header, a broken directory) is kExitData. With `visitor`, the directory walk shows it
// every node.
[[nodiscard]] Expected<DatDatabase, Failure> open_archive(const std::string& path);
[[nodiscard]] Expected<DatDatabase, Failure> open_archive(const std::string& path,
                                                          DirectoryVisitor& visitor);

// Opens the archive as far as its directory reads (DatDatabase::open_salvage), with
// open_archive()'s checks and failures for the file and its header. Every subtree left out is
// reported on standard error, one line each ("ARCHIVE: lost directory node 0x00039990 and its
// subtree (slot 1 of directory node 0x00000190): ..."); the failure that ends the command when
// any was, kExitData, comes from lost_failure().
[[nodiscard]] Expected<Salvaged, Failure> open_archive_salvage(const std::string& path);
// The failure for a salvage that left `lost` subtrees out, in `done` ("listed 12 entries").
[[nodiscard]] Failure lost_failure(const std::string& path, std::size_t lost,
                                   const std::string& done);

// The failure for an error met opening the archive at `path`, with open_archive()'s statuses.
[[nodiscard]] Failure open_failure(const std::string& path, const DatError& error);

// The check open_archive makes before opening, alone, for commands that open the archive in
// other ways: kExitNoInput unless `path` opens and is a regular file or a block device.
[[nodiscard]] Expected<void, Failure> check_archive_file(const std::string& path);

// A record named on the command line: absent is kExitAbsent, "record 0x06000C30: not in the
// archive".
[[nodiscard]] Expected<std::vector<std::uint8_t>, Failure> fetch_requested(const DatDatabase& db,
                                                                           std::uint32_t id);

// A record that another record refers to: absent is data (kExitData), like any other fault of
// the archive. `role` says how it was reached: "palette 0x0400112A of texture 0x06000C30".
[[nodiscard]] Expected<std::vector<std::uint8_t>, Failure> fetch_referenced(
    const DatDatabase& db, std::uint32_t id, const std::string& role);

}  // namespace quorvale_dat::cli
