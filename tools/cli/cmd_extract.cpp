// quorvale-dat extract ARCHIVE DIR [--type BYTE]: every matching record to DIR/<Hex8 id>.bin.
#include <algorithm>
#include <string>

#include "archive.hpp"
#include "commands.hpp"
#include "output.hpp"
#include "progress.hpp"
#include "quorvale_dat/format.hpp"

namespace quorvale_dat::cli {

Result run_extract(const ExtractOptions& options) {
  auto db = open_archive(options.archive);
  if (!db) return Unexpected(std::move(db.error()));
  auto dir = OutputDir::open(options.dir);
  if (!dir) return Unexpected(std::move(dir.error()));

  const auto wanted = [&](const DatFileEntry& e) {
    return !options.type || type_byte(record_type(e.id)) == *options.type;
  };
  const auto count =
      static_cast<std::size_t>(std::count_if(db->files().begin(), db->files().end(), wanted));

  // One pass in file order. A record that fails is reported and skipped; the status is that of
  // the worst failure.
  Progress progress("extract", count);
  std::size_t failed = 0;
  int status = kExitOk;
  db->for_each_file([&](const DatFileEntry& e, DatDatabase::FileResult bytes) {
    if (!wanted(e)) return;
    Result written = bytes ? dir->write(hex8(e.id) + ".bin", *bytes)
                           : Unexpected(failure("record " + hex8(e.id), bytes.error()));
    if (!written) {
      progress.clear();
      error_line(written.error().message);
      status = std::max(status, written.error().status);
      ++failed;
    }
    progress.advance(bytes ? bytes->size() : 0);
  });
  progress.finish();
  if (failed > 0) {
    return Unexpected(Failure{status, std::to_string(failed) + " of " + std::to_string(count) +
                                          " records could not be extracted"});
  }
  return {};
}

}  // namespace quorvale_dat::cli
