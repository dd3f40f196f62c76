// dump_surface_80003e4 [ARCHIVE]
//
// Opens a DAT archive (by default the build's client_portal.dat), fetches Surface 0x080003E4,
// follows its texture reference through a SurfaceTexture to the Texture, and prints the surface,
// the texture list, the texture, the palette indices a P8 texture uses, and four palettes.
//
// A failed required step prints, on standard error, the position of its check in this file, the
// step's message and the error's debug text, and the tool exits with status 101. Everything the
// run owns is released first: failures return up to main() instead of exiting on the spot.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <source_location>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quorvale_dat/database.hpp"
#include "quorvale_dat/expected.hpp"
#include "quorvale_dat/file_type/palette.hpp"
#include "quorvale_dat/file_type/surface.hpp"
#include "quorvale_dat/file_type/surface_texture.hpp"
#include "quorvale_dat/file_type/texture.hpp"
#include "quorvale_dat/io_error.hpp"
#include "report_text.hpp"

#ifndef QUORVALE_DAT_DEFAULT_ARCHIVE
#error "QUORVALE_DAT_DEFAULT_ARCHIVE must name the default archive path"
#endif

namespace {

namespace qd = quorvale_dat;
namespace ft = quorvale_dat::file_type;
using report_text::hex8;

constexpr int kFailureStatus = 101;
constexpr std::uint32_t kSurfaceId = 0x080003E4;
constexpr std::uint32_t kSurfaceTextureType = 0x05;
constexpr std::uint32_t kFixedPaletteIds[] = {0x040010BE, 0x04000DC0};

// Marks a run that has ended through the failure procedure; the failure text is already written.
struct Failed {};

template <class T>
using Step = qd::Expected<T, Failed>;

// Writes all of `text` to `fd`, repeating after signals and short writes. Returns 0 or the errno
// of the failed write.
int write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return 0;
}

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
Step<void> emit(const std::vector<std::string>& lines,
                std::source_location loc = std::source_location::current()) {
  for (const std::string& line : lines) {
    std::string text = line + '\n';
    if (const int err = write_all(STDOUT_FILENO, text); err != 0) {
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

std::string channels(std::uint32_t color) {
  using report_text::decimal;
  return "(a=" + decimal(color >> 24) + ", r=" + decimal((color >> 16) & 0xFFu) +
         ", g=" + decimal((color >> 8) & 0xFFu) + ", b=" + decimal(color & 0xFFu) + ")";
}

// Dumps one palette. A palette that cannot be fetched or decoded is a report line, not a failure
// of the run; only a failed write to standard output ends it.
Step<void> dump_palette(const qd::DatDatabase& db, std::uint32_t palette_id,
                        const std::array<bool, 256>& p8_indices) {
  using report_text::decimal;
  using report_text::padded;
  if (palette_id == 0) return {};

  auto bytes = db.get_file(palette_id);
  if (!bytes) return emit({"palette " + hex8(palette_id) + ": ERR " + bytes.error().display()});
  auto palette = ft::Palette::unpack(*bytes);
  if (!palette) {
    return emit({"palette " + hex8(palette_id) + ": unpack ERR " + palette.error().display()});
  }
  const std::vector<std::uint32_t>& colors = palette->colors;

  std::uint32_t min_alpha = 255;
  std::uint32_t max_alpha = 0;
  std::uint32_t zero_alpha = 0;
  for (std::uint32_t c : colors) {
    const std::uint32_t a = c >> 24;
    min_alpha = std::min(min_alpha, a);
    max_alpha = std::max(max_alpha, a);
    if (a == 0) ++zero_alpha;
  }

  const std::string count = decimal(colors.size());
  std::vector<std::string> lines = {
      "=== Palette " + hex8(palette_id) + " (" + count + " colors) ===",
      "  alpha range [" + decimal(min_alpha) + ", " + decimal(max_alpha) + "], " +
          decimal(zero_alpha) + " entries with alpha==0 / " + count + " total"};
  for (std::size_t i = 0; i < std::min<std::size_t>(16, colors.size()); ++i) {
    lines.push_back("  [" + padded(static_cast<std::uint32_t>(i), 3) + "] " + hex8(colors[i]) +
                    "  " + channels(colors[i]));
  }
  // An index beyond the palette shows as colour 0.
  for (std::uint32_t x = 0; x < p8_indices.size(); ++x) {
    if (!p8_indices[x]) continue;
    const std::uint32_t c = x < colors.size() ? colors[x] : 0;
    lines.push_back("  idx " + padded(x, 3) + " -> " + hex8(c) + "  " + channels(c));
  }
  return emit(lines);
}

// The surface report and the palette dumps, after the archive is open.
Step<void> report(const qd::DatDatabase& db) {
  using report_text::decimal;
  using report_text::float_text;
  using report_text::optional_id;

  auto surface_bytes = check(db.get_file(kSurfaceId), "get surface");
  if (!surface_bytes) return qd::Unexpected(surface_bytes.error());
  auto surface = check(ft::Surface::unpack(*surface_bytes), "unpack surface");
  if (!surface) return qd::Unexpected(surface.error());

  const std::optional<ft::TextureRefs> refs = surface->texture_refs;
  const std::string refs_line = refs ? "orig_texture_id = " + hex8(refs->orig_texture_id) +
                                           ", orig_palette_id = " + hex8(refs->orig_palette_id)
                                     : "no texture_refs";
  auto surface_section = emit({
      "=== Surface " + hex8(kSurfaceId) + " ===",
      "surface_type = " + hex8(surface->surface_type),
      "color_value  = " + optional_id(surface->color_value),
      "translucency = " + float_text(surface->translucency) + ", luminosity = " +
          float_text(surface->luminosity) + ", diffuse = " + float_text(surface->diffuse),
      refs_line,
  });
  if (!surface_section || !refs) return surface_section;

  std::uint32_t texture_id = refs->orig_texture_id;
  if (refs->orig_texture_id >> 24 == kSurfaceTextureType) {
    auto st_bytes = check(db.get_file(refs->orig_texture_id), "get surfacetexture");
    if (!st_bytes) return qd::Unexpected(st_bytes.error());
    auto surface_texture = check(ft::SurfaceTexture::unpack(*st_bytes), "unpack surfacetexture");
    if (!surface_texture) return qd::Unexpected(surface_texture.error());
    auto list_line = emit({"SurfaceTexture " + hex8(refs->orig_texture_id) + " -> textures " +
                           report_text::id_list(surface_texture->textures)});
    if (!list_line) return list_line;
    auto first = first_of(surface_texture->textures);
    if (!first) return qd::Unexpected(first.error());
    texture_id = *first;
  }

  auto texture_bytes = check(db.get_file(texture_id), "get texture");
  if (!texture_bytes) return qd::Unexpected(texture_bytes.error());
  auto texture = check(ft::Texture::unpack(*texture_bytes), "unpack texture");
  if (!texture) return qd::Unexpected(texture.error());

  // The palette indices a P8 texture uses: every distinct byte of source_data, whatever its
  // width and height say. Other formats, Index16 included, use none.
  const ft::SurfacePixelFormat format = texture->format();
  std::array<bool, 256> p8_indices{};
  std::size_t p8_count = 0;
  if (format.kind() == ft::SurfacePixelFormat::Kind::P8) {
    for (std::uint8_t b : texture->source_data) {
      if (!p8_indices[b]) ++p8_count;
      p8_indices[b] = true;
    }
  }

  std::vector<std::string> texture_section = {
      "=== Texture " + hex8(texture_id) + " ===",
      "format = " + format.name() + " (" + report_text::hex(texture->format_raw) + "), " +
          decimal(texture->width) + "x" + decimal(texture->height) +
          ", source_data.len = " + decimal(texture->source_data.size()) +
          ", default_palette_id = " + optional_id(texture->default_palette_id),
      "unique P8 indices (" + decimal(p8_count) + "): " + report_text::index_set(p8_indices)};
  if (texture->source_data.size() <= 256) {
    texture_section.push_back("source_data bytes: " + report_text::byte_list(texture->source_data));
  }
  if (auto written = emit(texture_section); !written) return written;

  // Not deduplicated and not checked for type: the same palette may be dumped twice.
  const std::uint32_t palette_ids[] = {texture->default_palette_id.value_or(0),
                                       refs->orig_palette_id, kFixedPaletteIds[0],
                                       kFixedPaletteIds[1]};
  for (std::uint32_t id : palette_ids) {
    if (auto dumped = dump_palette(db, id, p8_indices); !dumped) return dumped;
  }
  return {};
}

// The length of the valid UTF-8 sequence at the start of `bytes`, or 0 when it is not one
// (overlong forms, surrogates and code points above U+10FFFF are not valid).
std::size_t utf8_sequence_length(std::string_view bytes) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  std::size_t len = 0;
  unsigned char lo = 0x80;
  unsigned char hi = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    len = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    len = 3;
    if (lead == 0xE0) lo = 0xA0;
    if (lead == 0xED) hi = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    len = 4;
    if (lead == 0xF0) lo = 0x90;
    if (lead == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (bytes.size() < len) return 0;
  if (byte(1) < lo || byte(1) > hi) return 0;
  for (std::size_t i = 2; i < len; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  }
  return len;
}

// The argument in double quotes: valid UTF-8 as it is, quotes and backslashes escaped, control
// characters and bytes outside UTF-8 as \xNN.
std::string quoted_argument(std::string_view arg) {
  static constexpr std::string_view kDigits = "0123456789ABCDEF";
  std::string out = "\"";
  while (!arg.empty()) {
    const auto c = static_cast<unsigned char>(arg.front());
    const std::size_t len = utf8_sequence_length(arg);
    if (len > 1) {
      out += arg.substr(0, len);
      arg.remove_prefix(len);
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
    arg.remove_prefix(1);
  }
  return out + "\"";
}

bool is_utf8(std::string_view text) {
  while (!text.empty()) {
    const std::size_t len = utf8_sequence_length(text);
    if (len == 0) return false;
    text.remove_prefix(len);
  }
  return true;
}

// The arguments after the program name. Any argument that is not valid UTF-8 ends the run, at
// the position of this call.
Step<std::vector<std::string>> collect_arguments(
    int argc, char** argv, std::source_location loc = std::source_location::current()) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg(argv[i]);
    if (!is_utf8(arg)) {
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
  return report(*db);
}

}  // namespace

int main(int argc, char** argv) {
  // A reader that goes away must not kill the tool: the failed write ends the run instead.
  ::signal(SIGPIPE, SIG_IGN);
  return run(argc, argv) ? 0 : kFailureStatus;
}
