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
// every node. `access` tells the kernel how the records will be read.
//
// The archive is mapped unless set_mapping(false) said not to (--no-mmap) or it cannot be. While
// it is mapped, a SIGBUS (another program truncated the file, and a page it took away was
// touched) ends the program with kExitIo and "ARCHIVE: the archive changed while it was read (the
// file was truncated)" on standard error, never a core dump.
[[nodiscard]] Expected<DatDatabase, Failure> open_archive(const std::string& path,
                                                          Access access = Access::normal);
[[nodiscard]] Expected<DatDatabase, Failure> open_archive(const std::string& path,
                                                          DirectoryVisitor& visitor,
                                                          Access access = Access::normal);

// Whether open_archive() maps the archive (the default) or reads it with positioned reads.
void set_mapping(bool map) noexcept;

// Whether an archive open_archive() opened is read through a mapping.
[[nodiscard]] bool reading_mapped() noexcept;

// Ends the program as a SIGBUS on the mapped archive does: the message, then kExitIo. For a
// system call that met a page of the mapping that the file no longer has (EFAULT).
[[noreturn]] void archive_changed() noexcept;

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
// archive" (shown after the archive's path, as every failure about a record is).
[[nodiscard]] Expected<std::vector<std::uint8_t>, Failure> fetch_requested(const DatDatabase& db,
                                                                           std::uint32_t id);

// A record that another record refers to: absent is data (kExitData), like any other fault of
// the archive. `role` says how it was reached: "palette 0x0400112A of texture 0x06000C30".
[[nodiscard]] Expected<std::vector<std::uint8_t>, Failure> fetch_referenced(
    const DatDatabase& db, std::uint32_t id, const std::string& role);

}  // namespace quorvale_dat::cli
