// quorvale-dat verify ARCHIVE [--full]: every problem of the archive's structure (and, with
// --full, of its records), one per line; silent when there are none.
#include <string>

#include "archive_check.hpp"
#include "commands.hpp"
#include "documents.hpp"
#include "ids.hpp"
#include "json.hpp"
#include "output.hpp"

namespace quorvale_dat::cli {
namespace {

std::string_view place_name(Problem::Place place) {
  switch (place) {
    case Problem::Place::Header:
      return "header";
    case Problem::Place::Node:
      return "node";
    case Problem::Place::Entry:
      return "entry";
  }
  return "";
}

// "entry 0x06000C30 at 0x00001190: ...", "directory node 0x00000190: ...", "header: ...".
std::string problem_line(const Problem& p) {
  const std::string offset = hex8(static_cast<std::uint32_t>(p.offset));
  switch (p.place) {
    case Problem::Place::Header:
      return "header: " + p.message + "\n";
    case Problem::Place::Node:
      return "directory node " + offset + ": " + p.message + "\n";
    case Problem::Place::Entry:
      return "entry " + hex8(p.id) + " at " + offset + ": " + p.message + "\n";
  }
  return "";
}

Json problem_json(const Problem& p) {
  Json j = Json::object();
  j["place"] = std::string(place_name(p.place));
  if (p.place == Problem::Place::Entry) {
    put_id(j, "id", p.id);
  } else {
    j["id"] = nullptr;
    j["id_hex"] = nullptr;
  }
  put_offset(j, "offset", p.offset);
  j["message"] = p.message;
  return j;
}

}  // namespace

Json verify_document(const std::string& archive, const CheckReport& report) {
  Json problems = Json::array();
  for (const Problem& p : report.problems) problems.push_back(problem_json(p));
  Json doc = Json::object();
  doc["archive"] = archive;
  doc["full"] = report.full;
  doc["nodes"] = report.nodes;
  doc["entries"] = report.entries;
  doc["records_read"] = report.records_read;
  doc["ok"] = report.problems.empty();
  doc["problems"] = std::move(problems);
  return doc;
}

Result run_verify(const VerifyOptions& options) {
  auto report = check_archive(options.archive, options.full);
  if (!report) return Unexpected(std::move(report.error()));

  if (options.json) {
    print_json(verify_document(options.archive, *report));
  } else {
    std::string text;
    for (const Problem& p : report->problems) text += problem_line(p);
    out(text);
  }
  if (report->problems.empty()) return {};
  const std::size_t n = report->problems.size();
  return Unexpected(Failure{
      kExitData, options.archive + ": " + std::to_string(n) + (n == 1 ? " problem" : " problems")});
}

}  // namespace quorvale_dat::cli
