// Exit statuses of quorvale-dat and the failure value every command returns.
//
// The statuses follow <sysexits.h> where one fits: 65 for data that is not what the archive
// format says (EX_DATAERR), 66 for an archive that cannot be opened (EX_NOINPUT), 74 for a failed
// read or write (EX_IOERR). 1 is a record that the command line asked for and the archive does
// not hold; 2 a command line that does not parse.
#pragma once

#include <string>
#include <utility>

#include "quorvale_dat/dat_error.hpp"

namespace quorvale_dat::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitAbsent = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitData = 65;
inline constexpr int kExitNoInput = 66;
inline constexpr int kExitIo = 74;

// Why a command stopped: the exit status and a message for standard error, without the program
// name.
//
// Most messages are about something the archive holds ("record 0x080003E4: not in the
// archive"); they are shown after the archive's path (message_for()), so that every message
// names the file. A message that names what it is about itself has `names_subject`: the archive
// when it does not open ("cannot open ARCHIVE: ..."), an output file ("cannot create out/x.bin:
// ..."), the address serve cannot listen on.
struct Failure {
  int status = kExitData;
  std::string message;
  bool names_subject = false;
};

// A failure whose message names what it is about.
[[nodiscard]] inline Failure named_failure(int status, std::string message) {
  return Failure{status, std::move(message), true};
}

// The message for standard error of a failure met by a command on `archive`: "ARCHIVE: " and
// the message ("ARCHIVE: record 0x080003E4: not in the archive"), except for a message that
// names its subject and for a command line error (kExitUsage), which are shown as they are.
[[nodiscard]] std::string message_for(const Failure& failure, const std::string& archive);

// The status of a library error met while reading a record or the directory. A read that finds
// the end of the file is the archive's fault (a chain that leads outside it, a header cut short),
// so it is data; any other failed read is I/O. NotFound is data as well here: a record that another
// record refers to is missing. The callers that fetch a record named on the command line map
// NotFound to kExitAbsent themselves.
[[nodiscard]] int status_of(const DatError& error) noexcept;

// The I/O error at the root of a library error: its Io case, or the Io root of a BinRead (a read
// that failed while a record or the header was being decoded from the file). Null otherwise.
[[nodiscard]] const IoError* io_root(const DatError& error) noexcept;

// One line of text for a library error: its summary(), which says where the error was met
// ("the file ends at byte 400, inside directory node 0x00039990"), except that a record not found
// is "not in the archive" and a path that does not open is the OS error alone, since the callers
// name the record or the path before it.
[[nodiscard]] std::string one_line(const DatError& error);
[[nodiscard]] std::string one_line(const ParseError& error);

// A failure from a library error, with `what` naming the thing that failed.
[[nodiscard]] inline Failure failure(const std::string& what, const DatError& error) {
  return Failure{status_of(error), what + ": " + one_line(error)};
}

}  // namespace quorvale_dat::cli
