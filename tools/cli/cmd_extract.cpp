// quorvale-dat extract ARCHIVE DIR [--type BYTE] [--salvage]: every matching record to
// DIR/<Hex8 id>.bin.
#include <string>

#include "archive.hpp"
#include "bulk_read.hpp"
#include "commands.hpp"
#include "ids.hpp"
#include "output.hpp"
#include "quorvale_dat/format.hpp"

namespace quorvale_dat::cli {

namespace {

Result extract(const ExtractOptions& options, const DatDatabase& db, std::size_t lost);

}  // namespace

Result run_extract(const ExtractOptions& options) {
  if (options.salvage) {
    auto salvaged = open_archive_salvage(options.archive);
    if (!salvaged) return Unexpected(std::move(salvaged.error()));
    return extract(options, salvaged->database, salvaged->skipped.size());
  }
  auto db = open_archive(options.archive, Access::sequential);
  if (!db) return Unexpected(std::move(db.error()));
  return extract(options, *db, 0);
}

namespace {

// Extracts from `db`, which a salvage made leaving `lost` subtrees out.
Result extract(const ExtractOptions& options, const DatDatabase& db, std::size_t lost) {
  auto dir = OutputDir::open(options.dir);
  if (!dir) return Unexpected(std::move(dir.error()));

  // One pass in file order. A record that fails is reported and skipped; the status is that of
  // the worst failure.
  const BulkOutcome outcome = read_all(
      options.archive, db, options.bulk, "extract", "record",
      [&](const DatFileEntry& e) {
        return !options.type || type_byte(record_type(e.id)) == *options.type;
      },
      [&](const DatFileEntry& e,
          std::span<const std::uint8_t> bytes) -> Expected<std::uint64_t, Failure> {
        if (auto w = dir->write(hex8(e.id) + ".bin", bytes); !w) {
          return Unexpected(std::move(w.error()));
        }
        return bytes.size();
      });
  if (outcome.failed > 0) {
    return Unexpected(Failure{outcome.status, std::to_string(outcome.failed) + " of " +
                                                  std::to_string(outcome.selected) +
                                                  " records could not be extracted"});
  }
  if (lost > 0) {
    const std::size_t n = outcome.selected;
    return Unexpected(
        lost_failure(options.archive, lost,
                     "extracted " + std::to_string(n) + (n == 1 ? " record" : " records")));
  }
  return {};
}

}  // namespace

}  // namespace quorvale_dat::cli
