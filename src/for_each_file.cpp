// Reading every record in one pass. The records are taken in the order of their first blocks.
// A source in memory is walked in place, the chains of the next records followed ahead of the
// walk by the chain module's prefetch ring so that their cache misses overlap. A source that reads
// is read in large windows: a record whose blocks all lie inside the current window is put together
// from it by the chain walk over the window; any other record (a block outside the window, anything
// the walk reports) is read by the chain walk from the source itself, which gives exactly
// get_file()'s bytes or error.
//
// Windows only pay where records lie inside them. When one serves few records (chains scattered
// over the file), windows stop for a stretch of the file that doubles each time it happens again.
//
// The parallel walk cuts the records, in file order, into stretches of a few MiB of stored bytes
// that the threads take one after another, each with a walker of its own, so that every thread
// reads large windows (or walks memory in place with a prefetch ring of its own). Which chains
// overlap others is decided first, on the calling thread, by the walk for_each_file() does, so the
// decision is the same.

#include <algorithm>
#include <array>
#include <atomic>
#include <exception>
#include <limits>
#include <mutex>
#include <numeric>
#include <optional>
#include <system_error>
#include <thread>

#include "block_chain.hpp"
#include "block_slots.hpp"
#include "byte_source.hpp"
#include "quorvale_dat/database.hpp"
#include "quorvale_dat/utils.hpp"

namespace quorvale_dat {
namespace {

// A window takes one positioned read; a record inside one takes none.
constexpr std::size_t kWindowBytes = std::size_t{1} << 20;
// Records at most this large are put together from windows; larger ones read their own chains.
constexpr std::uint32_t kMaxWindowRecord = kWindowBytes / 2;
// A window that serves fewer records than this does not pay for its read.
constexpr std::size_t kWindowMinRecords = 16;
// How far windows stop after one that did not pay, at first and at most.
constexpr std::uint64_t kFirstSkip = 8 * kWindowBytes;
constexpr std::uint64_t kMaxSkip = 1024 * kWindowBytes;

using detail::ChainView;
using detail::WindowEnd;

class FileWalker {
 public:
  FileWalker(const detail::ByteSource& source, const detail::ChainGeometry& g)
      : src_(source), g_(g) {}

  // Forgets the window, keeping the buffers, before a jump to another stretch of the file.
  void restart() noexcept {
    window_start_ = 0;
    window_len_ = 0;
    window_served_ = 0;
    skip_ = 0;
    skip_until_ = 0;
    chains_contiguous_ = true;
  }

  // The stored bytes of `e`: a view into the source's memory or this walker's buffers, valid
  // until the next call. `on_block` sees the chain's blocks and may stop the walk.
  template <class OnBlock>
  Expected<ChainView, DatError> stored(const DatFileEntry& e, OnBlock& on_block) {
    if (e.size == 0) return ChainView{};
    if (src_.in_memory())
      return unwrap(detail::read_chain_view(src_, g_, e.offset, e.size, record_, on_block));
    if (g_.block_size > format::kBlockPointerSize && e.size <= kMaxWindowRecord) {
      if (auto bytes = from_window(e, on_block)) return *bytes;
    }
    // Read ahead on the first read only while chains have been laid out block after block.
    auto read = detail::read_chain_view(src_, g_, e.offset, e.size, record_, on_block,
                                        {chains_contiguous_ ? detail::kFirstBatch : 1});
    if (read) chains_contiguous_ = read->contiguous;
    return unwrap(std::move(read));
  }

 private:
  Expected<ChainView, DatError> unwrap(Expected<ChainView, detail::ChainFailure> r) const {
    if (!r) return Unexpected(detail::located_error(std::move(r.error()), g_.file_size));
    return *r;
  }

  [[nodiscard]] std::uint64_t window_end() const noexcept { return window_start_ + window_len_; }

  // The record from the current window, moving the window forward when it has been left behind.
  template <class OnBlock>
  std::optional<ChainView> from_window(const DatFileEntry& e, OnBlock& on_block) {
    if (e.offset >= window_end() || e.offset < window_start_) {
      if (e.offset < window_start_ || e.offset < skip_until_ || !fill_window(e.offset)) {
        return std::nullopt;
      }
    }
    const std::size_t need = detail::content_capacity(e.size, g_.file_size);
    if (record_.size() < need) record_.resize(std::max(need, 2 * record_.size()));
    WindowEnd end = assemble(e, on_block);
    // A chain that runs on past the window's end: read the window again from its first block.
    if (end == WindowEnd::PastEnd && e.offset != window_start_ && fill_window(e.offset)) {
      end = assemble(e, on_block);
    }
    if (end != WindowEnd::Done && end != WindowEnd::Stopped) return std::nullopt;
    if (end == WindowEnd::Done) ++window_served_;
    return ChainView{{record_.data(), length_}, end == WindowEnd::Stopped, true};
  }

  template <class OnBlock>
  WindowEnd assemble(const DatFileEntry& e, OnBlock& on_block) {
    const detail::MemoryView window{window_.data(), window_start_, window_len_};
    return detail::assemble_from_window(window, g_, e.offset, e.size, record_.data(), length_,
                                        on_block);
  }

  // Reads the window at `offset`, first deciding whether the last one paid its way.
  bool fill_window(std::uint64_t offset) {
    if (window_len_ > 0) {
      if (window_served_ < kWindowMinRecords) {
        skip_ = skip_ == 0 ? kFirstSkip : std::min(2 * skip_, kMaxSkip);
        skip_until_ = window_end() + skip_;
        window_len_ = 0;
        window_served_ = 0;
        if (offset < skip_until_) return false;
      } else {
        skip_ = 0;
      }
    }
    window_start_ = offset;
    window_len_ = 0;
    window_served_ = 0;
    if (offset >= g_.file_size) return false;
    // No larger than the file: a small archive is one window.
    if (window_.empty()) {
      window_.resize(static_cast<std::size_t>(std::min<std::uint64_t>(kWindowBytes, g_.file_size)));
    }
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(window_.size(), g_.file_size - offset));
    while (window_len_ < want) {
      const std::size_t got = src_.read_available_at(
          std::span(window_.data() + window_len_, want - window_len_), offset + window_len_);
      if (got == 0) break;  // what could not be read is read by the chain walk, or reported
      window_len_ += got;
    }
    return window_len_ > 0;
  }

  const detail::ByteSource& src_;
  detail::ChainGeometry g_;
  std::vector<std::uint8_t> window_;
  std::uint64_t window_start_ = 0;
  std::size_t window_len_ = 0;
  std::size_t window_served_ = 0;
  std::uint64_t skip_ = 0;
  std::uint64_t skip_until_ = 0;
  std::vector<std::uint8_t> record_;
  std::size_t length_ = 0;
  bool chains_contiguous_ = true;
};

// Claims every block of the current entry's chain; stops the walk at the first block another
// entry's chain took before.
struct OverlapCheck {
  detail::BlockSlots& slots;
  std::span<const DatFileEntry> entries;
  std::uint32_t owner = 0;  // the current entry's index + 1
  std::optional<Overlap> found;

  bool operator()(const detail::ChainBlock& block) {
    const auto claim = slots.claim(block, owner);
    if (claim.kind != detail::BlockSlots::Claim::Kind::Other) return true;
    found = Overlap{block.offset, entries[claim.owner - 1].id};
    return false;
  }
};

using VisitFn = bool (*)(void* visitor, const DatFileEntry& entry, DatDatabase::FileResult result);

// The positions of the entries `select` accepts, in file order: the first blocks' offsets, ties
// in index order. Sorted as (offset << 32 | position) keys, least significant byte of the offset
// first, each pass stable, skipping bytes that all keys share: on a large scattered archive a
// comparison sort that looks the offsets up through the positions misses the cache at every
// comparison, on the calling thread, while the other threads wait.
std::vector<std::uint32_t> file_order(std::span<const DatFileEntry> entries,
                                      const std::function<bool(const DatFileEntry&)>& select) {
  std::vector<std::uint64_t> keys;
  keys.reserve(entries.size());
  bool sorted = true;
  for (std::uint32_t i = 0; i < entries.size(); ++i) {
    if (select && !select(entries[i])) continue;
    const std::uint64_t key = std::uint64_t{entries[i].offset} << 32 | i;
    if (!keys.empty() && key < keys.back()) sorted = false;
    keys.push_back(key);
  }
  if (!sorted) {
    std::vector<std::uint64_t> spare(keys.size());
    for (unsigned shift = 32; shift < 64; shift += 8) {
      std::array<std::size_t, 257> starts{};
      for (const std::uint64_t k : keys) ++starts[((k >> shift) & 0xFF) + 1];
      if (std::ranges::find(starts, keys.size()) != starts.end()) continue;  // one byte for all
      std::partial_sum(starts.begin(), starts.end(), starts.begin());
      for (const std::uint64_t k : keys) spare[starts[(k >> shift) & 0xFF]++] = k;
      keys.swap(spare);
    }
  }
  std::vector<std::uint32_t> order(keys.size());
  std::ranges::transform(keys, order.begin(),
                         [](std::uint64_t k) { return static_cast<std::uint32_t>(k); });
  return order;
}

// Hands a record's stored bytes, or their error, to the visitor, decompressed when the entry says
// so.
class Handover {
 public:
  Handover(void* visitor, VisitFn call) noexcept : visitor_(visitor), call_(call) {}

  bool operator()(const DatFileEntry& e, Expected<ChainView, DatError> stored) {
    if (!stored) return call_(visitor_, e, Unexpected(std::move(stored.error())));
    if (!e.is_compressed()) return call_(visitor_, e, stored->bytes);
    decompressed_ = utils::decompress_lrs(stored->bytes);
    return call_(visitor_, e, std::span<const std::uint8_t>(decompressed_));
  }

 private:
  void* visitor_;
  VisitFn call_;
  std::vector<std::uint8_t> decompressed_;
};

// Over a source in memory, prefetches the chains of the records a few places ahead of the one
// being walked, among positions [first, last) of the order, several chains at once.
class Lookahead {
 public:
  static constexpr std::size_t kAhead = detail::ChainPrefetch::kSlots;

  Lookahead(const detail::ByteSource& source, const detail::ChainGeometry& g,
            std::span<const DatFileEntry> entries, std::span<const std::uint32_t> order)
      : entries_(entries), order_(order) {
    if (source.in_memory()) ring_.emplace(source, g);
  }

  void start(std::size_t first, std::size_t last) noexcept {
    if (!ring_) return;
    ring_->clear();
    last_ = last;
    for (std::size_t p = first; p < std::min(first + kAhead, last); ++p) add(p);
  }

  // Before the record at position `p` is walked.
  void before(std::size_t p) noexcept {
    if (!ring_) return;
    ring_->step();
    if (p + kAhead < last_) add(p + kAhead);
  }

 private:
  void add(std::size_t p) noexcept {
    const DatFileEntry& e = entries_[order_[p]];
    ring_->add(e.offset, e.size);
  }

  std::span<const DatFileEntry> entries_;
  std::span<const std::uint32_t> order_;
  std::optional<detail::ChainPrefetch> ring_;
  std::size_t last_ = 0;
};

// The overlapping entries among `order`, as for_each_file() finds them: (position in `order`,
// overlap), ascending.
using OverlapList = std::vector<std::pair<std::size_t, Overlap>>;

OverlapList find_overlaps(const detail::ByteSource& source, const detail::ChainGeometry& g,
                          std::span<const DatFileEntry> entries,
                          std::span<const std::uint32_t> order, std::uint32_t root_offset) {
  OverlapList found;
  detail::BlockSlots slots(g.file_size, g.block_size,
                           detail::BlockSlots::grid_origin(entries, root_offset, g.block_size));
  OverlapCheck check{slots, entries, 0, std::nullopt};
  FileWalker walker(source, g);
  Lookahead ahead(source, g, entries, order);
  ahead.start(0, order.size());
  for (std::size_t p = 0; p < order.size(); ++p) {
    ahead.before(p);
    const DatFileEntry& e = entries[order[p]];
    check.owner = order[p] + 1;
    check.found.reset();
    if (source.in_memory()) {
      // The pointers alone: the same blocks, the same stops as reading the record.
      (void)detail::walk_chain(source, g, e.offset, e.size, check);
    } else {
      (void)walker.stored(e, check);
    }
    if (check.found) found.emplace_back(p, *check.found);
  }
  return found;
}

// Stretches of records are about this many stored bytes: enough of them for every thread to
// stay busy to the end, none so small that a window is read for a fraction of its records.
constexpr std::size_t kStretchesPerThread = 8;
constexpr std::uint64_t kMaxStretchBytes = std::uint64_t{16} << 20;
constexpr std::uint64_t kMinStretchBytesMemory = std::uint64_t{64} << 10;
// An entry counts at least this much, so that a run of empty records is cut too.
constexpr std::uint64_t kMinEntryCost = 64;

// The first position of every stretch, then order.size().
std::vector<std::size_t> stretch_bounds(std::span<const DatFileEntry> entries,
                                        std::span<const std::uint32_t> order, unsigned threads,
                                        bool in_memory) {
  std::uint64_t total = 0;
  for (const std::uint32_t i : order)
    total += std::max<std::uint64_t>(entries[i].size, kMinEntryCost);
  const std::uint64_t least = in_memory ? kMinStretchBytesMemory : kWindowBytes;
  const std::uint64_t target = std::clamp<std::uint64_t>(
      total / (std::uint64_t{threads} * kStretchesPerThread), least, kMaxStretchBytes);
  std::vector<std::size_t> bounds{0};
  std::uint64_t run = 0;
  for (std::size_t p = 0; p < order.size(); ++p) {
    run += std::max<std::uint64_t>(entries[order[p]].size, kMinEntryCost);
    if (run >= target) {
      bounds.push_back(p + 1);
      run = 0;
    }
  }
  if (bounds.back() != order.size()) bounds.push_back(order.size());
  return bounds;
}

// What the threads of one parallel walk share.
class ParallelWalk {
 public:
  static constexpr std::size_t kNoStop = std::numeric_limits<std::size_t>::max();

  ParallelWalk(const detail::ByteSource& source, const detail::ChainGeometry& g,
               std::span<const DatFileEntry> entries, std::span<const std::uint32_t> order,
               const OverlapList& overlaps, std::vector<std::size_t> bounds, void* visitor,
               VisitFn call)
      : src_(source),
        g_(g),
        entries_(entries),
        order_(order),
        overlaps_(overlaps),
        bounds_(std::move(bounds)),
        visitor_(visitor),
        call_(call) {}

  [[nodiscard]] std::size_t stretches() const noexcept { return bounds_.size() - 1; }

  // One thread's share: stretches taken in turn until none is left or the walk stopped before.
  void work() noexcept {
    try {
      FileWalker walker(src_, g_);
      Handover hand_over(visitor_, call_);
      Lookahead ahead(src_, g_, entries_, order_);
      while (run_stretch(walker, hand_over, ahead)) {
      }
    } catch (...) {
      const std::scoped_lock lock(error_mutex_);
      if (!error_) error_ = std::current_exception();
      stop_at(0);
    }
  }

  // Rethrows the first exception a thread met.
  void rethrow() const {
    if (error_) std::rethrow_exception(error_);
  }

 private:
  // Returns false once there is nothing left to take.
  bool run_stretch(FileWalker& walker, Handover& hand_over, Lookahead& ahead) {
    const std::size_t s = next_.fetch_add(1, std::memory_order_relaxed);
    if (s >= stretches()) return false;
    const std::size_t first = bounds_[s];
    const std::size_t last = bounds_[s + 1];
    walker.restart();
    ahead.start(first, last);
    auto overlap = std::lower_bound(overlaps_.begin(), overlaps_.end(), first,
                                    [](const auto& o, std::size_t p) { return o.first < p; });
    detail::NoBlockVisitor none;
    for (std::size_t p = first; p < last; ++p) {
      if (p > stop_.load(std::memory_order_relaxed)) return false;
      ahead.before(p);
      if (overlap != overlaps_.end() && overlap->first == p) {
        ++overlap;
        continue;
      }
      const DatFileEntry& e = entries_[order_[p]];
      if (!hand_over(e, walker.stored(e, none))) {
        stop_at(p);
        return false;
      }
    }
    return true;
  }

  // No entry after position `p` is handed out from now on.
  void stop_at(std::size_t p) noexcept {
    std::size_t current = stop_.load(std::memory_order_relaxed);
    while (p < current && !stop_.compare_exchange_weak(current, p, std::memory_order_relaxed)) {
    }
  }

  const detail::ByteSource& src_;
  detail::ChainGeometry g_;
  std::span<const DatFileEntry> entries_;
  std::span<const std::uint32_t> order_;
  const OverlapList& overlaps_;
  std::vector<std::size_t> bounds_;
  void* visitor_;
  VisitFn call_;
  std::atomic<std::size_t> next_{0};
  std::atomic<std::size_t> stop_{kNoStop};
  std::mutex error_mutex_;
  std::exception_ptr error_;
};

}  // namespace

void DatDatabase::visit_files(void* visitor, VisitFn call,
                              const ForEachFileOptions& options) const {
  const std::span<const DatFileEntry> entries = files_.entries();
  const std::vector<std::uint32_t> order = file_order(entries, options.select);
  const auto g = detail::ChainGeometry::of(header_.block_size, source_->size());
  FileWalker walker(*source_, g);
  Handover hand_over(visitor, call);

  Lookahead ahead(*source_, g, entries, order);
  ahead.start(0, order.size());
  if (!options.overlapping) {
    detail::NoBlockVisitor none;
    for (std::size_t p = 0; p < order.size(); ++p) {
      ahead.before(p);
      const DatFileEntry& e = entries[order[p]];
      if (!hand_over(e, walker.stored(e, none))) return;
    }
    return;
  }
  detail::BlockSlots slots(
      g.file_size, g.block_size,
      detail::BlockSlots::grid_origin(entries, header_.root_offset, g.block_size));
  OverlapCheck check{slots, entries, 0, std::nullopt};
  for (std::size_t p = 0; p < order.size(); ++p) {
    ahead.before(p);
    const DatFileEntry& e = entries[order[p]];
    check.owner = order[p] + 1;
    check.found.reset();
    auto stored = walker.stored(e, check);
    if (check.found) {
      options.overlapping(e, *check.found);
      continue;
    }
    if (!hand_over(e, std::move(stored))) return;
  }
}

void DatDatabase::visit_files_parallel(void* visitor, VisitFn call, const ParallelOptions& parallel,
                                       const ForEachFileOptions& options) const {
  const std::span<const DatFileEntry> entries = files_.entries();
  const std::vector<std::uint32_t> order = file_order(entries, options.select);
  const auto g = detail::ChainGeometry::of(header_.block_size, source_->size());
  OverlapList overlaps;
  if (options.overlapping) {
    overlaps = find_overlaps(*source_, g, entries, order, header_.root_offset);
    for (const auto& [p, overlap] : overlaps) options.overlapping(entries[order[p]], overlap);
  }
  unsigned threads = parallel.threads != 0 ? parallel.threads : std::thread::hardware_concurrency();
  threads = std::max(threads, 1U);
  ParallelWalk walk(*source_, g, entries, order, overlaps,
                    stretch_bounds(entries, order, threads, source_->in_memory()), visitor, call);
  threads = static_cast<unsigned>(std::min<std::size_t>(threads, walk.stretches()));
  {
    std::vector<std::jthread> helpers;
    helpers.reserve(threads > 0 ? threads - 1 : 0);
    for (unsigned t = 1; t < threads; ++t) {
      try {
        helpers.emplace_back([&walk] { walk.work(); });
      } catch (const std::system_error&) {
        break;  // no more threads to be had: those running do the work
      }
    }
    walk.work();
  }
  walk.rethrow();
}

}  // namespace quorvale_dat
