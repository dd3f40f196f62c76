#include "bulk_read.hpp"

#include <algorithm>
#include <limits>
#include <string>

#include "ids.hpp"
#include "output.hpp"

namespace quorvale_dat::cli {

BulkOutcome read_all(const DatDatabase& db, const BulkOptions& options, std::string_view label,
                     std::string_view noun, const std::function<bool(const DatFileEntry&)>& select,
                     const std::function<Expected<std::uint64_t, Failure>(
                         const DatFileEntry&, std::span<const std::uint8_t>)>& write) {
  BulkOutcome outcome;
  outcome.selected = static_cast<std::size_t>(std::count_if(
      db.files().begin(), db.files().end(), [&](const DatFileEntry& e) { return select(e); }));
  const std::uint64_t size = db.file_size();
  const std::uint64_t limit =
      options.max_output == 0 ? 0
      : size > std::numeric_limits<std::uint64_t>::max() / options.max_output
          ? std::numeric_limits<std::uint64_t>::max()
          : size * options.max_output;

  Progress progress(std::string(label), outcome.selected);
  const std::string name(noun);
  const auto report = [&](const Failure& f) {
    progress.clear();
    error_line(f.message);
    outcome.status = std::max(outcome.status, f.status);
    ++outcome.failed;
  };

  std::uint64_t stored = 0;
  std::size_t visited = 0;
  ForEachFileOptions walk;
  walk.select = select;
  if (!options.allow_overlap) {
    walk.overlapping = [&](const DatFileEntry& e, const Overlap& overlap) {
      ++visited;
      report(Failure{kExitData, name + " " + hex8(e.id) + ": its chain overlaps that of " + name +
                                    " " + hex8(overlap.other_id) + " at block " +
                                    hex8(overlap.block) + "; not read (--allow-overlap reads it)"});
      progress.advance(0);
    };
  }
  db.for_each_file(
      [&](const DatFileEntry& e, DatDatabase::FileResult bytes) {
        stored += e.size;
        if (limit != 0 && stored > limit) {
          progress.clear();
          error_line("stopped: the " + name + "s read hold more than " +
                     std::to_string(options.max_output) +
                     " times the archive's size (--max-output raises the limit)");
          outcome.status = std::max(outcome.status, kExitData);
          outcome.failed += outcome.selected - visited;
          return false;
        }
        ++visited;
        Expected<std::uint64_t, Failure> written =
            bytes ? write(e, *bytes) : Unexpected(failure(name + " " + hex8(e.id), bytes.error()));
        if (!written) report(written.error());
        progress.advance(written ? *written : 0);
        return true;
      },
      walk);
  progress.finish();
  return outcome;
}

}  // namespace quorvale_dat::cli
