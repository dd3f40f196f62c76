// The surface report: a Surface, the texture its reference leads to and four palettes, as lines
// of text. dump_surface_80003e4 (examples/) prints it for 0x080003E4, `quorvale-dat surface` for
// any id.
//
// The report fetches and decodes records in a fixed order; each required step's result goes to
// the caller's host, which passes the value on or stops the run, so that each tool reports a
// failure its own way (dump_surface_80003e4 names the position of its check in its own source).
//
//   struct Host {
//     using Stop = MyFailure;
//     template <class Step, class T, class E>
//     Expected<T, Stop> step(Step, Expected<T, E> result);   // Step::kMessage names the step
//     Expected<std::uint32_t, Stop> first_texture(std::span<const std::uint32_t> textures);
//     Expected<void, Stop> write(std::vector<std::string> lines);
//   };
//   auto done = surface_report::run(db, 0x080003E4, host);
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
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
#include "quorvale_dat/format.hpp"
#include "report_text.hpp"

namespace surface_report {

// The required steps, in the order the report takes them. A host tells them apart by type.
struct GetSurface {
  static constexpr std::string_view kMessage = "get surface";
};
struct UnpackSurface {
  static constexpr std::string_view kMessage = "unpack surface";
};
struct GetSurfaceTexture {
  static constexpr std::string_view kMessage = "get surfacetexture";
};
struct UnpackSurfaceTexture {
  static constexpr std::string_view kMessage = "unpack surfacetexture";
};
struct GetTexture {
  static constexpr std::string_view kMessage = "get texture";
};
struct UnpackTexture {
  static constexpr std::string_view kMessage = "unpack texture";
};

// Palettes dumped after the texture's and the surface's own.
inline constexpr std::uint32_t kFixedPaletteIds[] = {0x040010BE, 0x04000DC0};
inline constexpr std::uint32_t kSurfaceTextureType =
    quorvale_dat::type_byte(quorvale_dat::RecordType::SurfaceTexture);

// The set of byte values a P8 texture uses, indexed by value.
using IndexSet = std::array<bool, 256>;

// "(a=255, r=16, g=32, b=48)"
inline std::string channels(std::uint32_t color) {
  using report_text::decimal;
  return "(a=" + decimal(color >> 24) + ", r=" + decimal((color >> 16) & 0xFFu) +
         ", g=" + decimal((color >> 8) & 0xFFu) + ", b=" + decimal(color & 0xFFu) + ")";
}

// The lines of one palette's dump. A palette that cannot be fetched or decoded is one line, not
// a failure of the report; palette id 0 gives no lines.
// Frees a buffer's memory (clear() alone keeps it).
inline void release(std::vector<std::uint8_t>& bytes) { std::vector<std::uint8_t>().swap(bytes); }

inline std::vector<std::string> palette_lines(const quorvale_dat::DatDatabase& db,
                                              std::uint32_t palette_id,
                                              const IndexSet& p8_indices) {
  using report_text::decimal;
  using report_text::hex8;
  using report_text::padded;
  if (palette_id == 0) return {};

  auto bytes = db.get_file(palette_id);
  if (!bytes) return {"palette " + hex8(palette_id) + ": ERR " + bytes.error().display()};
  auto palette = quorvale_dat::file_type::Palette::unpack(*bytes);
  if (!palette) {
    return {"palette " + hex8(palette_id) + ": unpack ERR " + palette.error().display()};
  }
  release(*bytes);
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
  return lines;
}

// The surface section: four lines, then its texture reference or "no texture_refs".
inline std::vector<std::string> surface_lines(std::uint32_t surface_id,
                                              const quorvale_dat::file_type::Surface& surface) {
  using report_text::float_text;
  using report_text::hex8;
  const auto& refs = surface.texture_refs;
  return {
      "=== Surface " + hex8(surface_id) + " ===",
      "surface_type = " + hex8(surface.surface_type),
      "color_value  = " + report_text::optional_id(surface.color_value),
      "translucency = " + float_text(surface.translucency) + ", luminosity = " +
          float_text(surface.luminosity) + ", diffuse = " + float_text(surface.diffuse),
      refs ? "orig_texture_id = " + hex8(refs->orig_texture_id) +
                 ", orig_palette_id = " + hex8(refs->orig_palette_id)
           : "no texture_refs",
  };
}

// The palette indices a P8 texture uses: every distinct byte of source_data, whatever its width
// and height say. Other formats, Index16 included, use none.
inline IndexSet p8_index_set(const quorvale_dat::file_type::Texture& texture) {
  IndexSet members{};
  if (texture.format().kind() == quorvale_dat::file_type::SurfacePixelFormat::Kind::P8) {
    for (std::uint8_t b : texture.source_data) members[b] = true;
  }
  return members;
}

// The texture section: its format line, the P8 index set and, for at most 256 bytes, the bytes.
inline std::vector<std::string> texture_lines(std::uint32_t texture_id,
                                              const quorvale_dat::file_type::Texture& texture,
                                              const IndexSet& p8_indices) {
  using report_text::decimal;
  const std::size_t p8_count =
      static_cast<std::size_t>(std::count(p8_indices.begin(), p8_indices.end(), true));
  std::vector<std::string> lines = {
      "=== Texture " + report_text::hex8(texture_id) + " ===",
      "format = " + texture.format().name() + " (" + report_text::hex(texture.format_raw) + "), " +
          decimal(texture.width) + "x" + decimal(texture.height) +
          ", source_data.len = " + decimal(texture.source_data.size()) +
          ", default_palette_id = " + report_text::optional_id(texture.default_palette_id),
      "unique P8 indices (" + decimal(p8_count) + "): " + report_text::index_set(p8_indices)};
  if (texture.source_data.size() <= 256) {
    lines.push_back("source_data bytes: " + report_text::byte_list(texture.source_data));
  }
  return lines;
}

// Runs the report for `surface_id`: fetches and decodes the surface, follows its texture
// reference (through a SurfaceTexture when the reference's type byte is 0x05) to a texture, and
// dumps the texture's default palette, the surface's palette and the two fixed palettes. Lines go
// to host.write() a section at a time; the first Stop from the host ends the run.
template <class Host>
quorvale_dat::Expected<void, typename Host::Stop> run(const quorvale_dat::DatDatabase& db,
                                                      std::uint32_t surface_id, Host& host) {
  namespace ft = quorvale_dat::file_type;
  using quorvale_dat::Unexpected;
  using report_text::hex8;

  auto surface_bytes = host.step(GetSurface{}, db.get_file(surface_id));
  if (!surface_bytes) return Unexpected(std::move(surface_bytes.error()));
  auto surface = host.step(UnpackSurface{}, ft::Surface::unpack(*surface_bytes));
  if (!surface) return Unexpected(std::move(surface.error()));
  // Each record's bytes are released once decoded: the report's peak memory is what it holds at
  // once, and a record can be many times its stored size once decompressed.
  release(*surface_bytes);

  if (auto written = host.write(surface_lines(surface_id, *surface)); !written) return written;
  if (!surface->texture_refs) return {};
  const ft::TextureRefs refs = *surface->texture_refs;

  std::uint32_t texture_id = refs.orig_texture_id;
  if (refs.orig_texture_id >> 24 == kSurfaceTextureType) {
    auto list_bytes = host.step(GetSurfaceTexture{}, db.get_file(refs.orig_texture_id));
    if (!list_bytes) return Unexpected(std::move(list_bytes.error()));
    auto list = host.step(UnpackSurfaceTexture{}, ft::SurfaceTexture::unpack(*list_bytes));
    if (!list) return Unexpected(std::move(list.error()));
    release(*list_bytes);
    // The list's line is built once, with room for its line feed, and handed on without copies:
    // it takes 3.5 bytes of text per byte of ids.
    std::vector<std::string> line(1);
    line[0].reserve(40 + 14 * list->textures.size());
    line[0] += "SurfaceTexture " + hex8(refs.orig_texture_id) + " -> textures ";
    report_text::append_id_list(line[0], list->textures);
    auto written = host.write(std::move(line));
    if (!written) return written;
    // Only the first listed texture is fetched.
    auto first = host.first_texture(list->textures);
    if (!first) return Unexpected(std::move(first.error()));
    texture_id = *first;
  }

  auto texture_bytes = host.step(GetTexture{}, db.get_file(texture_id));
  if (!texture_bytes) return Unexpected(std::move(texture_bytes.error()));
  auto texture = host.step(UnpackTexture{}, ft::Texture::unpack(*texture_bytes));
  if (!texture) return Unexpected(std::move(texture.error()));
  release(*texture_bytes);

  const IndexSet p8_indices = p8_index_set(*texture);
  if (auto written = host.write(texture_lines(texture_id, *texture, p8_indices)); !written) {
    return written;
  }

  // Not deduplicated and not checked for type: the same palette may be dumped twice.
  const std::uint32_t palette_ids[] = {texture->default_palette_id.value_or(0),
                                       refs.orig_palette_id, kFixedPaletteIds[0],
                                       kFixedPaletteIds[1]};
  for (std::uint32_t id : palette_ids) {
    if (auto written = host.write(palette_lines(db, id, p8_indices)); !written) return written;
  }
  return {};
}

}  // namespace surface_report
