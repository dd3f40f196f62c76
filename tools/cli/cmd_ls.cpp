// quorvale-dat ls ARCHIVE [--type BYTE] [--range FROM-TO] [-l] [--salvage]: the entries in
// ascending id order.
#include <string>

#include "archive.hpp"
#include "commands.hpp"
#include "documents.hpp"
#include "ids.hpp"
#include "json.hpp"
#include "output.hpp"

namespace quorvale_dat::cli {
namespace {

bool selected(const LsOptions& options, const DatFileEntry& e) {
  return options.range.contains(e.id) &&
         (!options.type || type_byte(record_type(e.id)) == *options.type);
}

std::string right_aligned(const std::string& text, std::size_t width) {
  return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}

}  // namespace

Json entry_document(const DatFileEntry& e) {
  Json j = Json::object();
  put_id(j, "id", e.id);
  j["type"] = type_byte(record_type(e.id));
  j["size"] = e.size;
  put_offset(j, "flags", e.bit_flags);
  j["compressed"] = e.is_compressed();
  put_offset(j, "offset", e.offset);
  j["timestamp"] = e.timestamp;
  j["version"] = e.version;
  return j;
}

namespace {

void list(const LsOptions& options, const DatDatabase& db);

}  // namespace

Result run_ls(const LsOptions& options) {
  if (options.salvage) {
    auto salvaged = open_archive_salvage(options.archive);
    if (!salvaged) return Unexpected(std::move(salvaged.error()));
    list(options, salvaged->database);
    if (salvaged->complete()) return {};
    const std::size_t n = salvaged->database.files().size();
    return Unexpected(
        lost_failure(options.archive, salvaged->skipped.size(),
                     "listed " + std::to_string(n) + (n == 1 ? " entry" : " entries")));
  }
  auto db = open_archive(options.archive);
  if (!db) return Unexpected(std::move(db.error()));
  list(options, *db);
  return {};
}

namespace {

void list(const LsOptions& options, const DatDatabase& db) {
  if (options.json) {
    Json entries = Json::array();
    for (const DatFileEntry& e : db.files()) {
      if (selected(options, e)) entries.push_back(entry_document(e));
    }
    print_json(Json{{"entries", std::move(entries)}});
    return;
  }

  // id, then with -l: stored size, flags, "compressed" or "-", chain offset.
  std::string text;
  for (const DatFileEntry& e : db.files()) {
    if (!selected(options, e)) continue;
    text += hex8(e.id);
    if (options.long_format) {
      text += "  " + right_aligned(std::to_string(e.size), 10) + "  " + hex8(e.bit_flags) + "  " +
              (e.is_compressed() ? "compressed" : "-         ") + "  " + hex8(e.offset);
    }
    text += '\n';
    if (text.size() >= 1 << 16) {
      out(text);
      text.clear();
    }
  }
  out(text);
}

}  // namespace
}  // namespace quorvale_dat::cli
