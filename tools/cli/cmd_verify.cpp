// quorvale-dat verify ARCHIVE [--full] [--json] [-v]: every problem the library's verify finds,
// one per line; silent when there are none, unless -v.
#include <string>

#include "archive.hpp"
#include "commands.hpp"
#include "documents.hpp"
#include "ids.hpp"
#include "json.hpp"
#include "output.hpp"
#include "quorvale_dat/format.hpp"
#include "quorvale_dat/verify.hpp"

namespace quorvale_dat::cli {
namespace {

std::string_view place_name(ProblemPlace place) {
  switch (place) {
    case ProblemPlace::Header:
      return "header";
    case ProblemPlace::Node:
      return "node";
    case ProblemPlace::Entry:
      return "entry";
  }
  return "";
}

// The problem's message; "the archive does not open" with opening's error.
std::string message(const VerifyReport& report, const Problem& p) {
  std::string text = report.message(p);
  if (p.kind == ProblemKind::DoesNotOpen && report.open_error) {
    text += ": " + one_line(*report.open_error);
  }
  return text;
}

// "entry 0x06000C30 at 0x00001190: ...", "directory node 0x00000190: ...", "header: ...".
std::string problem_line(const VerifyReport& report, const Problem& p) {
  switch (p.place) {
    case ProblemPlace::Header:
      return "header: " + message(report, p) + "\n";
    case ProblemPlace::Node:
      return "directory node " + hex8(p.offset) + ": " + message(report, p) + "\n";
    case ProblemPlace::Entry:
      return "entry " + hex8(p.id) + " at " + hex8(p.offset) + ": " + message(report, p) + "\n";
  }
  return "";
}

Json problem_json(const VerifyReport& report, const Problem& p) {
  Json j = Json::object();
  j["place"] = std::string(place_name(p.place));
  if (p.place == ProblemPlace::Entry) {
    put_id(j, "id", p.id);
  } else {
    j["id"] = nullptr;
    j["id_hex"] = nullptr;
  }
  put_offset(j, "offset", p.offset);
  j["message"] = message(report, p);
  j["kind"] = std::string(kind_name(p.kind));
  j["tolerated"] = tolerated(p.kind);
  if (p.block != 0) {
    put_offset(j, "block", p.block);
  } else {
    j["block"] = nullptr;
    j["block_hex"] = nullptr;
  }
  j["count"] = p.count;
  return j;
}

}  // namespace

Expected<VerifyReport, Failure> verify_archive(const std::string& archive, bool full) {
  auto report = verify(archive, {.full = full});
  if (!report) return Unexpected(open_failure(archive, report.error()));
  return std::move(*report);
}

Json verify_document(const std::string& archive, const VerifyReport& report) {
  Json problems = Json::array();
  for (const Problem& p : report.problems) problems.push_back(problem_json(report, p));
  Json doc = Json::object();
  doc["archive"] = archive;
  doc["full"] = report.full;
  doc["nodes"] = report.nodes;
  doc["entries"] = report.entries;
  doc["records_read"] = report.records_read;
  doc["ok"] = report.ok();
  doc["problems"] = std::move(problems);
  return doc;
}

namespace {

// `verify --json` for an archive that could not be checked at all: one header problem with the
// failure's message.
Json failure_document(const VerifyOptions& options, const Failure& failure) {
  const std::string prefix = options.archive + ": ";
  std::string message = failure.message;
  if (message.starts_with(prefix)) message.erase(0, prefix.size());
  Json problem = Json::object();
  problem["place"] = "header";
  problem["id"] = nullptr;
  problem["id_hex"] = nullptr;
  put_offset(problem, "offset", format::kHeaderOffset);
  problem["message"] = message;
  problem["kind"] = std::string(kind_name(ProblemKind::DoesNotOpen));
  problem["tolerated"] = false;
  problem["block"] = nullptr;
  problem["block_hex"] = nullptr;
  problem["count"] = 1;
  Json doc = Json::object();
  doc["archive"] = options.archive;
  doc["full"] = options.full;
  doc["nodes"] = 0;
  doc["entries"] = 0;
  doc["records_read"] = 0;
  doc["ok"] = false;
  doc["problems"] = Json::array({std::move(problem)});
  return doc;
}

std::string plural(std::uint64_t n, const std::string& one, const std::string& many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

Result run_verify(const VerifyOptions& options) {
  auto report = verify_archive(options.archive, options.full);
  if (!report) {
    if (options.json) print_json(failure_document(options, report.error()));
    return Unexpected(std::move(report.error()));
  }

  if (options.json) {
    print_json(verify_document(options.archive, *report));
  } else {
    std::string text;
    for (const Problem& p : report->problems) {
      text += problem_line(*report, p);
      if (text.size() >= 1 << 16) {
        out(text);
        text.clear();
      }
    }
    out(text);
  }
  if (report->ok()) {
    if (options.verbose && !options.json) {
      std::string line = options.archive + ": no problems in " +
                         plural(report->nodes, "directory node", "directory nodes") + " and " +
                         plural(report->entries, "entry", "entries");
      line += report->full ? ", " + plural(report->records_read, "record", "records") + " read"
                           : " (--full also reads the records)";
      out(line + "\n");
    }
    return {};
  }
  const std::size_t n = report->problems.size();
  return Unexpected(named_failure(
      kExitData, options.archive + ": " + std::to_string(n) + (n == 1 ? " problem" : " problems")));
}

}  // namespace quorvale_dat::cli
