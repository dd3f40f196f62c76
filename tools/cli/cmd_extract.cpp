// quorvale-dat extract ARCHIVE DIR [--type BYTE]: every matching record to DIR/<Hex8 id>.bin.
#include <string>

#include "archive.hpp"
#include "bulk_read.hpp"
#include "commands.hpp"
#include "ids.hpp"
#include "output.hpp"
#include "quorvale_dat/format.hpp"

namespace quorvale_dat::cli {

Result run_extract(const ExtractOptions& options) {
  auto db = open_archive(options.archive, Access::sequential);
  if (!db) return Unexpected(std::move(db.error()));
  auto dir = OutputDir::open(options.dir);
  if (!dir) return Unexpected(std::move(dir.error()));

  // One pass in file order. A record that fails is reported and skipped; the status is that of
  // the worst failure.
  const BulkOutcome outcome = read_all(
      *db, options.bulk, "extract", "record",
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
  return {};
}

}  // namespace quorvale_dat::cli
