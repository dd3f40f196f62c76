// quorvale-dat info ARCHIVE: the header, the entries by type, the directory's shape.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "archive.hpp"
#include "commands.hpp"
#include "documents.hpp"
#include "ids.hpp"
#include "json.hpp"
#include "output.hpp"

namespace quorvale_dat::cli {
namespace {

struct Summary {
  std::map<std::uint8_t, std::uint64_t> per_type;
  std::uint64_t compressed = 0;
};

Summary summarize(const FileMap& files) {
  Summary s;
  for (const DatFileEntry& e : files) {
    ++s.per_type[type_byte(record_type(e.id))];
    if (e.is_compressed()) ++s.compressed;
  }
  return s;
}

std::string_view plural_type_name(std::uint8_t type) {
  switch (static_cast<RecordType>(type)) {
    case RecordType::Palette:
      return "palettes";
    case RecordType::SurfaceTexture:
      return "texture lists";
    case RecordType::Texture:
      return "textures";
    case RecordType::Surface:
      return "surfaces";
  }
  return "";
}

// The version string's bytes up to the last non-NUL one, printable ASCII as is and the rest as
// \xNN, in double quotes.
std::string quoted_bytes(const std::vector<std::uint8_t>& bytes) {
  static constexpr std::string_view kDigits = "0123456789ABCDEF";
  std::size_t end = bytes.size();
  while (end > 0 && bytes[end - 1] == 0) --end;
  std::string out = "\"";
  for (std::size_t i = 0; i < end; ++i) {
    const std::uint8_t b = bytes[i];
    if (b == '"' || b == '\\') {
      out += '\\';
      out += static_cast<char>(b);
    } else if (b >= 0x20 && b < 0x7F) {
      out += static_cast<char>(b);
    } else {
      out += "\\x";
      out += kDigits[b >> 4];
      out += kDigits[b & 0xF];
    }
  }
  return out + "\"";
}

std::string hex_bytes(const std::vector<std::uint8_t>& bytes) {
  static constexpr std::string_view kDigits = "0123456789abcdef";
  std::string out;
  for (std::uint8_t b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 0xF];
  }
  return out;
}

// "label" padded to the value column.
std::string row(std::string_view label, const std::string& value) {
  constexpr std::size_t kColumn = 22;
  std::string line(label);
  line.append(line.size() < kColumn ? kColumn - line.size() : 1, ' ');
  return line + value + "\n";
}

void print_text(const std::string& path, const DatDatabase& db, const Summary& s,
                const DirectoryShape& dir) {
  const DatHeader& h = db.header();
  std::string text = row("archive", path) +
                     row("file size", std::to_string(db.file_size()) + " bytes") +
                     row("block size", std::to_string(h.block_size)) +
                     row("entries", db.files().empty() ? std::string("0 (the directory is empty)")
                                                       : std::to_string(db.files().size()));
  for (const auto& [type, count] : s.per_type) {
    std::string label = "  " + hex2(type);
    if (const std::string_view name = plural_type_name(type); !name.empty()) {
      label += " ";
      label += name;
    }
    text += row(label, std::to_string(count));
  }
  text += row("compressed entries", std::to_string(s.compressed)) +
          row("directory nodes", std::to_string(dir.nodes)) +
          row("directory depth", std::to_string(dir.depth)) + "header\n";
  const auto dec = [](std::uint32_t v) { return std::to_string(v); };
  const std::pair<const char*, std::string> fields[] = {
      {"magic", hex8(h.magic)},
      {"block_size", dec(h.block_size)},
      {"file_size", dec(h.file_size)},
      {"dataset", dec(h.dataset)},
      {"subset", dec(h.subset)},
      {"free_head", hex8(h.free_head)},
      {"free_tail", hex8(h.free_tail)},
      {"free_count", dec(h.free_count)},
      {"root_offset", hex8(h.root_offset)},
      {"new_lru", hex8(h.new_lru)},
      {"old_lru", hex8(h.old_lru)},
      {"use_lru", hex8(h.use_lru)},
      {"master_map_id", hex8(h.master_map_id)},
      {"engine_version", dec(h.engine_version)},
      {"game_version", dec(h.game_version)},
      {"version_string", quoted_bytes(h.version_string)},
      {"version_minor", dec(h.version_minor)},
  };
  for (const auto& [name, value] : fields) text += row(std::string("  ") + name, value);
  out(text);
}

Json json_document(const std::string& path, const DatDatabase& db, const Summary& s,
                   const DirectoryShape& dir) {
  const DatHeader& h = db.header();
  Json header = Json::object();
  put_offset(header, "magic", h.magic);
  header["block_size"] = h.block_size;
  header["file_size"] = h.file_size;
  header["dataset"] = h.dataset;
  header["subset"] = h.subset;
  put_offset(header, "free_head", h.free_head);
  put_offset(header, "free_tail", h.free_tail);
  header["free_count"] = h.free_count;
  put_offset(header, "root_offset", h.root_offset);
  put_offset(header, "new_lru", h.new_lru);
  put_offset(header, "old_lru", h.old_lru);
  put_offset(header, "use_lru", h.use_lru);
  put_id(header, "master_map_id", h.master_map_id);
  header["engine_version"] = h.engine_version;
  header["game_version"] = h.game_version;
  header["version_string_hex"] = hex_bytes(h.version_string);
  header["version_minor"] = h.version_minor;

  Json types = Json::array();
  for (const auto& [type, count] : s.per_type) {
    Json t = Json::object();
    t["type"] = type;
    t["type_hex"] = hex2(type);
    const std::string_view name = record_type_name(static_cast<RecordType>(type));
    t["name"] = name.empty() ? Json(nullptr) : Json(std::string(name));
    t["count"] = count;
    types.push_back(std::move(t));
  }

  Json doc = Json::object();
  doc["archive"] = path;
  doc["file_size"] = db.file_size();
  doc["block_size"] = h.block_size;
  doc["entries"] = db.files().size();
  doc["types"] = std::move(types);
  doc["compressed_entries"] = s.compressed;
  doc["directory"] = Json{{"nodes", dir.nodes}, {"depth", dir.depth}};
  doc["header"] = std::move(header);
  return doc;
}

}  // namespace

Expected<Json, Failure> info_document(const std::string& archive, const DatDatabase& db,
                                      const DirectoryShape& shape) {
  return json_document(archive, db, summarize(db.files()), shape);
}

Result run_info(const InfoOptions& options) {
  DirectoryShape shape;
  auto db = open_archive(options.archive, shape);
  if (!db) return Unexpected(std::move(db.error()));
  if (options.json) {
    auto doc = info_document(options.archive, *db, shape);
    if (!doc) return Unexpected(std::move(doc.error()));
    print_json(*doc);
    return {};
  }
  print_text(options.archive, *db, summarize(db->files()), shape);
  return {};
}

}  // namespace quorvale_dat::cli
