// dump_surface_80003e4 [ARCHIVE]
//
// Opens a DAT archive (by default the build's client_portal.dat), fetches Surface 0x080003E4,
// follows its texture reference through a SurfaceTexture to the Texture, and prints the surface,
// the texture list, the texture, the palette indices a P8 texture uses, and four palettes. The
// report itself is tools/report/surface_report.hpp, shared with `quorvale-dat surface`.
//
// A failed required step prints, on standard error, the position of its check in this file, the
// step's message and the error's debug text, and the tool exits with status 101. Everything the
// run owns is released first: failures return up to main() instead of exiting on the spot.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <source_location>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quorvale_dat/database.hpp"
#include "quorvale_dat/expected.hpp"
#include "quorvale_dat/file_type/surface.hpp"
#include "quorvale_dat/file_type/surface_texture.hpp"
#include "quorvale_dat/file_type/texture.hpp"
#include "quorvale_dat/io_error.hpp"
#include "report_text.hpp"
#include "surface_report.hpp"
#include "text.hpp"
#include "write_all.hpp"

#ifndef QUORVALE_DAT_DEFAULT_ARCHIVE
#error "QUORVALE_DAT_DEFAULT_ARCHIVE must name the default archive path"
#endif

namespace {

namespace qd = quorvale_dat;
namespace ft = quorvale_dat::file_type;

constexpr int kFailureStatus = 101;
constexpr std::uint32_t kSurfaceId = 0x080003E4;

// Marks a run that has ended through the failure procedure; the failure text is already written.
struct Failed {};

template <class T>
using Step = qd::Expected<T, Failed>;

using quorvale_dat::report::write_all;

// The failure procedure: an empty line, the panic header naming the failing check's position in
// this file, the message line and a hint, all on standard error. The caller unwinds to main(),
// which returns kFailureStatus.
Failed fail(std::string_view message_line, std::source_location loc) {
  std::string text = "\nthread 'main' (";
  text += report_text::decimal(static_cast<long>(::gettid()));
  text += ") panicked at ";
  text += loc.file_name();
  text += ':' + report_text::decimal(loc.line()) + ':' + report_text::decimal(loc.column()) + ":\n";
  text += message_line;
  text +=
      "\nnote: this tool does not record backtraces; the lines above name the failing step and "
      "its error\n";
  (void)write_all(STDERR_FILENO, text);  // nothing is left to report a failure of stderr to
  return Failed{};
}

std::string debug_text(const qd::DatError& error) { return error.debug(); }
std::string debug_text(const qd::ParseError& error) { return error.debug(); }

// The required-step check: passes the step's value on, or ends the run with "{message}: {debug
// text of the error}", reporting the position of this call.
template <class T, class E>
Step<T> check(qd::Expected<T, E> result, std::string_view message,
              std::source_location loc = std::source_location::current()) {
  if (result) return std::move(*result);
  return qd::Unexpected(fail(std::string(message) + ": " + debug_text(result.error()), loc));
}

// Writes report lines to standard output, each line whole and on its own (a line is never left
// half written), so a closed pipe is noticed at the line that meets it and ends the run there.
Step<void> emit(std::vector<std::string> lines,
                std::source_location loc = std::source_location::current()) {
  for (std::string& line : lines) {
    line += '\n';
    if (const int err = write_all(STDOUT_FILENO, line); err != 0) {
      return qd::Unexpected(
          fail("failed printing to stdout: " + qd::IoError::from_os(err).display(), loc));
    }
  }
  return {};
}

// The first id of a list; an empty list ends the run like a failed step, at this call.
Step<std::uint32_t> first_of(std::span<const std::uint32_t> ids,
                             std::source_location loc = std::source_location::current()) {
  if (ids.empty()) {
    return qd::Unexpected(fail("index out of bounds: the len is 0 but the index is 0", loc));
  }
  return ids.front();
}

// The report's host: each required step goes through check() here, with its message spelled out,
// so that a failure names the line of its own step in this file.
struct ReportHost {
  using Stop = Failed;
  using Bytes = std::vector<std::uint8_t>;

  Step<Bytes> step(surface_report::GetSurface, qd::Expected<Bytes, qd::DatError> r) {
    return check(std::move(r), "get surface");
  }
  Step<ft::Surface> step(surface_report::UnpackSurface, qd::ParseResult<ft::Surface> r) {
    return check(std::move(r), "unpack surface");
  }
  Step<Bytes> step(surface_report::GetSurfaceTexture, qd::Expected<Bytes, qd::DatError> r) {
    return check(std::move(r), "get surfacetexture");
  }
  Step<ft::SurfaceTexture> step(surface_report::UnpackSurfaceTexture,
                                qd::ParseResult<ft::SurfaceTexture> r) {
    return check(std::move(r), "unpack surfacetexture");
  }
  Step<Bytes> step(surface_report::GetTexture, qd::Expected<Bytes, qd::DatError> r) {
    return check(std::move(r), "get texture");
  }
  Step<ft::Texture> step(surface_report::UnpackTexture, qd::Expected<ft::Texture, qd::DatError> r) {
    return check(std::move(r), "unpack texture");
  }
  Step<std::uint32_t> first_texture(std::span<const std::uint32_t> ids) { return first_of(ids); }
  Step<void> write(std::vector<std::string> lines) { return emit(std::move(lines)); }
};

// The argument in double quotes: valid UTF-8 as it is, quotes and backslashes escaped, control
// characters and bytes outside UTF-8 as \xNN.
std::string quoted_argument(std::string_view arg) {
  static constexpr std::string_view kDigits = "0123456789ABCDEF";
  std::string out = "\"";
  for (std::size_t i = 0; i < arg.size();) {
    const auto c = static_cast<unsigned char>(arg[i]);
    const std::size_t len = qd::detail::utf8_sequence_length(arg, i);
    if (len > 1) {
      out += arg.substr(i, len);
      i += len;
      continue;
    }
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (len == 1 && c >= 0x20 && c != 0x7F) {
      out += static_cast<char>(c);
    } else {
      out += "\\x";
      out += kDigits[c >> 4];
      out += kDigits[c & 0xFu];
    }
    ++i;
  }
  return out + "\"";
}

// The arguments after the program name. Any argument that is not valid UTF-8 ends the run, at
// the position of this call.
Step<std::vector<std::string>> collect_arguments(
    int argc, char** argv, std::source_location loc = std::source_location::current()) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg(argv[i]);
    if (!qd::detail::is_utf8(arg)) {
      return qd::Unexpected(fail("invalid UTF-8 in command-line argument " +
                                     report_text::decimal(i) + ": " + quoted_argument(arg),
                                 loc));
    }
    args.emplace_back(arg);
  }
  return args;
}

Step<void> run(int argc, char** argv) {
  auto args = collect_arguments(argc, argv);
  if (!args) return qd::Unexpected(args.error());
  // The first argument is the path, taken verbatim; further arguments are ignored.
  const std::filesystem::path path = args->empty()
                                         ? std::filesystem::path(QUORVALE_DAT_DEFAULT_ARCHIVE)
                                         : std::filesystem::path(args->front());

  auto db = check(qd::DatDatabase::open(path), "open dat");
  if (!db) return qd::Unexpected(db.error());
  ReportHost host;
  return surface_report::run(*db, kSurfaceId, host);
}

}  // namespace

int main(int argc, char** argv) {
  // A reader that goes away must not kill the tool: the failed write ends the run instead.
  ::signal(SIGPIPE, SIG_IGN);
  return run(argc, argv) ? 0 : kFailureStatus;
}
