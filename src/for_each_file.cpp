// Reading every record in one pass. The records are taken in the order of their first blocks.
// A source in memory is walked in place. A source that reads is read in large windows: a record
// whose blocks all lie inside the current window is put together from it by the chain walk over
// the window; any other record (a block outside the window, anything the walk reports) is read
// by the chain walk from the source itself, which gives exactly get_file()'s bytes or error.
//
// Windows only pay where records lie inside them. When one serves few records (chains scattered
// over the file), windows stop for a stretch of the file that doubles each time it happens again.

#include <algorithm>
#include <numeric>
#include <optional>

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

}  // namespace

void DatDatabase::visit_files(void* visitor, VisitFn call,
                              const ForEachFileOptions& options) const {
  const std::span<const DatFileEntry> entries = files_.entries();
  // File order: the first blocks' offsets, ties in id order.
  std::vector<std::uint32_t> order;
  order.reserve(entries.size());
  for (std::uint32_t i = 0; i < entries.size(); ++i) {
    if (!options.select || options.select(entries[i])) order.push_back(i);
  }
  const auto by_offset = [&](std::uint32_t a, std::uint32_t b) {
    return entries[a].offset != entries[b].offset ? entries[a].offset < entries[b].offset : a < b;
  };
  if (!std::is_sorted(order.begin(), order.end(), by_offset)) {
    std::sort(order.begin(), order.end(), by_offset);
  }

  const auto g = detail::ChainGeometry::of(header_.block_size, source_->size());
  FileWalker walker(*source_, g);
  std::vector<std::uint8_t> decompressed;
  const auto hand_over = [&](const DatFileEntry& e, Expected<ChainView, DatError> stored) {
    if (!stored) return call(visitor, e, Unexpected(std::move(stored.error())));
    if (!e.is_compressed()) return call(visitor, e, stored->bytes);
    decompressed = utils::decompress_lrs(stored->bytes);
    return call(visitor, e, std::span<const std::uint8_t>(decompressed));
  };

  if (!options.overlapping) {
    detail::NoBlockVisitor none;
    for (const std::uint32_t i : order) {
      if (!hand_over(entries[i], walker.stored(entries[i], none))) return;
    }
    return;
  }
  detail::BlockSlots slots(
      g.file_size, g.block_size,
      detail::BlockSlots::grid_origin(entries, header_.root_offset, g.block_size));
  OverlapCheck check{slots, entries, 0, std::nullopt};
  for (const std::uint32_t i : order) {
    const DatFileEntry& e = entries[i];
    check.owner = i + 1;
    check.found.reset();
    auto stored = walker.stored(e, check);
    if (check.found) {
      options.overlapping(e, *check.found);
      continue;
    }
    if (!hand_over(e, std::move(stored))) return;
  }
}

}  // namespace quorvale_dat
