// quorvale-dat show ARCHIVE ID: a record decoded by its type byte, field by field; records of
// other types as a hex dump.
#include <cmath>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "archive.hpp"
#include "commands.hpp"
#include "documents.hpp"
#include "hexdump.hpp"
#include "ids.hpp"
#include "json.hpp"
#include "output.hpp"
#include "quorvale_dat/file_type/palette.hpp"
#include "quorvale_dat/file_type/surface.hpp"
#include "quorvale_dat/file_type/surface_texture.hpp"
#include "quorvale_dat/file_type/texture.hpp"
#include "report_text.hpp"

namespace quorvale_dat::cli {
namespace {

namespace ft = file_type;

// A decoded record: its field lines for the text form and its object for JSON.
struct Shown {
  std::vector<std::pair<std::string, std::string>> fields;
  std::vector<std::string> list;  // lines after the fields: colours, texture ids
  Json json = Json::object();
};

std::string color_line(std::size_t index, std::uint32_t c) {
  return "  [" + report_text::padded(static_cast<std::uint32_t>(index), 3) + "] " + hex8(c) +
         "  (a=" + std::to_string(c >> 24) + ", r=" + std::to_string(c >> 16 & 0xFF) +
         ", g=" + std::to_string(c >> 8 & 0xFF) + ", b=" + std::to_string(c & 0xFF) + ")";
}

// A float for JSON: the shortest decimal that reads back as the same float (0.1, not the double
// 0.10000000149011612), or null for NaN and the infinities, which JSON cannot hold.
Json float_json(float value) {
  if (!std::isfinite(value)) return nullptr;
  return std::strtod(report_text::float_text(value).c_str(), nullptr);
}

Shown show_palette(const ft::Palette& p) {
  Shown s;
  s.fields = {{"id", hex8(p.id)}, {"colors", std::to_string(p.colors.size())}};
  for (std::size_t i = 0; i < p.colors.size(); ++i) s.list.push_back(color_line(i, p.colors[i]));
  put_id(s.json, "id", p.id);
  s.json["colors"] = p.colors;
  return s;
}

Shown show_surface_texture(const ft::SurfaceTexture& st) {
  Shown s;
  s.fields = {{"id", hex8(st.id)},
              {"unknown_int", std::to_string(st.unknown_int)},
              {"unknown_byte", std::to_string(st.unknown_byte)},
              {"textures", std::to_string(st.textures.size())}};
  Json textures = Json::array();
  for (std::uint32_t id : st.textures) {
    s.list.push_back("  " + hex8(id));
    Json t = Json::object();
    put_id(t, "id", id);
    textures.push_back(std::move(t));
  }
  put_id(s.json, "id", st.id);
  s.json["unknown_int"] = st.unknown_int;
  s.json["unknown_byte"] = st.unknown_byte;
  s.json["textures"] = std::move(textures);
  return s;
}

Shown show_texture(const ft::Texture& t) {
  Shown s;
  const ft::SurfacePixelFormat format = t.format();
  s.fields = {{"id", hex8(t.id)},
              {"_unknown", std::to_string(t._unknown)},
              {"width", std::to_string(t.width)},
              {"height", std::to_string(t.height)},
              {"format", format.name() + " (" + report_text::hex(t.format_raw) + ")"},
              {"length", std::to_string(t.length)}};
  if (t.default_palette_id) {
    s.fields.emplace_back("default_palette_id", hex8(*t.default_palette_id));
  }
  put_id(s.json, "id", t.id);
  s.json["_unknown"] = t._unknown;
  s.json["width"] = t.width;
  s.json["height"] = t.height;
  s.json["format"] = format.name();
  s.json["format_raw"] = t.format_raw;
  s.json["length"] = t.length;
  if (t.default_palette_id) {
    put_id(s.json, "default_palette_id", *t.default_palette_id);
  } else {
    s.json["default_palette_id"] = nullptr;
    s.json["default_palette_id_hex"] = nullptr;
  }
  return s;
}

Shown show_surface(const ft::Surface& surface) {
  Shown s;
  s.fields = {{"surface_type", hex8(surface.surface_type)}};
  s.json["surface_type"] = surface.surface_type;
  if (surface.color_value) {
    s.fields.emplace_back("color_value", hex8(*surface.color_value));
    s.json["color_value"] = *surface.color_value;
  } else {
    s.json["color_value"] = nullptr;
  }
  if (const auto& refs = surface.texture_refs) {
    s.fields.emplace_back("orig_texture_id", hex8(refs->orig_texture_id));
    s.fields.emplace_back("orig_palette_id", hex8(refs->orig_palette_id));
    Json r = Json::object();
    put_id(r, "orig_texture_id", refs->orig_texture_id);
    put_id(r, "orig_palette_id", refs->orig_palette_id);
    s.json["texture_refs"] = std::move(r);
  } else {
    s.json["texture_refs"] = nullptr;
  }
  s.fields.emplace_back("translucency", report_text::float_text(surface.translucency));
  s.fields.emplace_back("luminosity", report_text::float_text(surface.luminosity));
  s.fields.emplace_back("diffuse", report_text::float_text(surface.diffuse));
  s.json["translucency"] = float_json(surface.translucency);
  s.json["luminosity"] = float_json(surface.luminosity);
  s.json["diffuse"] = float_json(surface.diffuse);
  return s;
}

// Decodes `bytes` by the id's type byte; records of unknown types give nothing.
Expected<std::optional<Shown>, Failure> decode(std::uint32_t id,
                                               const std::vector<std::uint8_t>& bytes) {
  const auto decoded = [&](auto result, auto show) -> Expected<std::optional<Shown>, Failure> {
    if (!result) {
      return Unexpected(Failure{kExitData, "record " + hex8(id) + ": " + one_line(result.error())});
    }
    return show(*result);
  };
  switch (record_type(id)) {
    case RecordType::Palette:
      return decoded(ft::Palette::unpack(bytes), show_palette);
    case RecordType::SurfaceTexture:
      return decoded(ft::SurfaceTexture::unpack(bytes), show_surface_texture);
    case RecordType::Texture:
      return decoded(ft::Texture::unpack(bytes), show_texture);
    case RecordType::Surface:
      return decoded(ft::Surface::unpack(bytes), show_surface);
  }
  return std::optional<Shown>();
}

std::string hex_string(const std::vector<std::uint8_t>& bytes) {
  static constexpr std::string_view kDigits = "0123456789abcdef";
  std::string out;
  out.reserve(2 * bytes.size());
  for (std::uint8_t b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 0xF];
  }
  return out;
}

}  // namespace

Expected<Json, Failure> record_document(std::uint32_t id, const std::vector<std::uint8_t>& bytes) {
  auto shown = decode(id, bytes);
  if (!shown) return Unexpected(std::move(shown.error()));
  const std::uint8_t type = type_byte(record_type(id));
  const std::string_view name = record_type_name(record_type(id));
  Json doc = Json::object();
  put_id(doc, "id", id);
  doc["type"] = type;
  doc["type_hex"] = hex2(type);
  doc["kind"] = name.empty() ? Json(nullptr) : Json(std::string(name));
  doc["size"] = bytes.size();
  if (*shown) {
    doc["record"] = std::move((*shown)->json);
  } else {
    doc["record"] = nullptr;
    doc["data_hex"] = hex_string(bytes);
  }
  return doc;
}

Result run_show(const ShowOptions& options) {
  auto db = open_archive(options.archive);
  if (!db) return Unexpected(std::move(db.error()));
  auto bytes = fetch_requested(*db, options.id);
  if (!bytes) return Unexpected(std::move(bytes.error()));
  if (options.json) {
    auto doc = record_document(options.id, *bytes);
    if (!doc) return Unexpected(std::move(doc.error()));
    print_json(*doc);
    return {};
  }
  auto shown = decode(options.id, *bytes);
  if (!shown) return Unexpected(std::move(shown.error()));

  const std::uint8_t type = type_byte(record_type(options.id));
  const std::string_view name = record_type_name(record_type(options.id));

  std::string text = hex8(options.id) + " " +
                     (name.empty() ? "type " + hex2(type) : std::string(name)) + ", " +
                     std::to_string(bytes->size()) + " bytes\n";
  if (!*shown) {
    out(text + hexdump(*bytes));
    return {};
  }
  std::size_t width = 0;
  for (const auto& [field, value] : (*shown)->fields) width = std::max(width, field.size());
  for (const auto& [field, value] : (*shown)->fields) {
    text += "  " + field + std::string(width - field.size() + 2, ' ') + value + "\n";
  }
  for (const std::string& line : (*shown)->list) text += "  " + line + "\n";
  out(text);
  return {};
}

}  // namespace quorvale_dat::cli
