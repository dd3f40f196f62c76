#include "bulk_read.hpp"

#include <algorithm>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ids.hpp"
#include "output.hpp"

namespace quorvale_dat::cli {
namespace {

// Where each selected entry comes in file order (the first blocks' offsets, ties in the order of
// files()), the order the library walks them in.
class FileOrder {
 public:
  FileOrder(const DatDatabase& db, const std::function<bool(const DatFileEntry&)>& select) {
    const std::span<const DatFileEntry> entries = db.files().entries();
    std::vector<std::uint32_t> order;
    for (std::uint32_t i = 0; i < entries.size(); ++i) {
      if (select(entries[i])) order.push_back(i);
    }
    std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
      return entries[a].offset < entries[b].offset;
    });
    position_.assign(entries.size(), 0);
    sizes_.reserve(order.size());
    for (std::size_t p = 0; p < order.size(); ++p) {
      position_[order[p]] = p;
      sizes_.push_back(entries[order[p]].size);
    }
    first_ = entries.data();
  }

  [[nodiscard]] std::size_t size() const noexcept { return sizes_.size(); }
  // Requires: `e` is an entry of files() that select accepted.
  [[nodiscard]] std::size_t of(const DatFileEntry& e) const noexcept {
    return position_[static_cast<std::size_t>(&e - first_)];
  }
  [[nodiscard]] std::uint32_t size_at(std::size_t p) const noexcept { return sizes_[p]; }

 private:
  const DatFileEntry* first_ = nullptr;
  std::vector<std::size_t> position_;  // by index in files()
  std::vector<std::uint32_t> sizes_;   // by position
};

}  // namespace

BulkOutcome read_all(const std::string& archive, const DatDatabase& db, const BulkOptions& options,
                     std::string_view label, std::string_view noun,
                     const std::function<bool(const DatFileEntry&)>& select,
                     const std::function<Expected<std::uint64_t, Failure>(
                         const DatFileEntry&, std::span<const std::uint8_t>)>& write) {
  BulkOutcome outcome;
  const FileOrder order(db, select);
  outcome.selected = order.size();
  const std::uint64_t size = db.file_size();
  const std::uint64_t limit =
      options.max_output == 0 ? 0
      : size > std::numeric_limits<std::uint64_t>::max() / options.max_output
          ? std::numeric_limits<std::uint64_t>::max()
          : size * options.max_output;

  Progress progress(std::string(label), outcome.selected);
  const std::string name(noun);
  std::mutex mutex;
  std::vector<std::pair<std::size_t, Failure>> failures;  // (position in file order, failure)
  const auto fail = [&](std::size_t p, Failure f) {
    const std::scoped_lock lock(mutex);
    failures.emplace_back(p, std::move(f));
  };

  // Overlaps are all known before the first record is handed out; the first record read whose
  // stored bytes, added to those of the records read before it in file order, pass the limit
  // stops the pass there.
  std::vector<bool> overlapping(order.size(), false);
  std::size_t stop = order.size();
  std::once_flag limit_found;
  const auto find_limit = [&] {
    if (limit == 0) return;
    std::uint64_t stored = 0;
    for (std::size_t p = 0; p < order.size(); ++p) {
      if (overlapping[p]) continue;
      stored += order.size_at(p);
      if (stored > limit) {
        stop = p;
        return;
      }
    }
  };

  ForEachFileOptions walk;
  walk.select = select;
  if (!options.allow_overlap) {
    walk.overlapping = [&](const DatFileEntry& e, const Overlap& overlap) {
      overlapping[order.of(e)] = true;
      fail(order.of(e),
           Failure{kExitData, name + " " + hex8(e.id) + ": its chain overlaps that of " + name +
                                  " " + hex8(overlap.other_id) + " at block " +
                                  hex8(overlap.block) + "; not read (--allow-overlap reads it)"});
    };
  }
  db.for_each_file_parallel(
      [&](const DatFileEntry& e, DatDatabase::FileResult bytes) {
        std::call_once(limit_found, find_limit);
        const std::size_t p = order.of(e);
        if (p >= stop) return false;
        Expected<std::uint64_t, Failure> written =
            bytes ? write(e, *bytes) : Unexpected(failure(name + " " + hex8(e.id), bytes.error()));
        if (!written) fail(p, std::move(written.error()));
        progress.advance(written ? *written : 0);
        return true;
      },
      {.threads = options.jobs}, walk);
  // Overlapping records count as done, as the progress line goes.
  for (std::size_t p = 0; p < std::min(stop, order.size()); ++p) {
    if (overlapping[p]) progress.advance(0);
  }
  progress.finish();

  std::sort(failures.begin(), failures.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  for (const auto& [p, f] : failures) {
    if (p >= stop) break;
    error_line(message_for(f, archive));
    outcome.status = std::max(outcome.status, f.status);
    ++outcome.failed;
  }
  if (stop < order.size()) {
    error_line(archive + ": stopped: the " + name + "s read hold more than " +
               std::to_string(options.max_output) +
               " times the archive's size (--max-output raises the limit)");
    outcome.status = std::max(outcome.status, kExitData);
    outcome.failed += order.size() - stop;
  }
  return outcome;
}

}  // namespace quorvale_dat::cli
