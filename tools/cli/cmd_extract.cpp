// quorvale-dat extract ARCHIVE DIR [--type BYTE]: every matching record to DIR/<Hex8 id>.bin.
#include <algorithm>
#include <string>
#include <vector>

#include "archive.hpp"
#include "commands.hpp"
#include "output.hpp"
#include "progress.hpp"

namespace quorvale_dat::cli {

Result run_extract(const ExtractOptions& options) {
  auto db = open_archive(options.archive);
  if (!db) return Unexpected(std::move(db.error()));
  auto dir = OutputDir::open(options.dir);
  if (!dir) return Unexpected(std::move(dir.error()));

  std::vector<DatFileEntry> entries;
  for (const DatFileEntry& e : db->files()) {
    if (!options.type || type_of(e.id) == *options.type) entries.push_back(e);
  }

  // A record that fails is reported and skipped; the status is that of the worst failure.
  Progress progress("extract", entries.size());
  std::size_t failed = 0;
  int status = kExitOk;
  for (const DatFileEntry& e : entries) {
    auto bytes = db->get_file(e.id);
    Result written = bytes ? dir->write(hex8(e.id) + ".bin", *bytes)
                           : Unexpected(failure("record " + hex8(e.id), bytes.error()));
    if (!written) {
      progress.clear();
      error_line(written.error().message);
      status = std::max(status, written.error().status);
      ++failed;
    }
    progress.advance(bytes ? bytes->size() : 0);
  }
  progress.finish();
  if (failed > 0) {
    return Unexpected(Failure{status, std::to_string(failed) + " of " +
                                          std::to_string(entries.size()) +
                                          " records could not be extracted"});
  }
  return {};
}

}  // namespace quorvale_dat::cli
