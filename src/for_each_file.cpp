// Reading every record in one pass. The records are taken in the order of their first blocks,
// and the file is read in large windows: a record whose blocks all lie inside the current window
// is put together from it, with the same checks the chain reader makes; any other record (a
// block outside the window, anything the chain reader would report) is read by the chain reader
// itself, which gives exactly get_file()'s bytes or error.
//
// Windows only pay where records lie inside them. When one serves few records (chains scattered
// over the file), windows stop for a stretch of the file that doubles each time it happens again.

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <numeric>
#include <optional>

#include "chain_reader.hpp"

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

class FileWalker {
 public:
  explicit FileWalker(const detail::ChainSource& source) : src_(source) {}

  // The stored bytes of `e`: a view into this walker's buffers, valid until the next call.
  Expected<std::span<const std::uint8_t>, DatError> stored(const DatFileEntry& e) {
    if (e.size == 0) return std::span<const std::uint8_t>{};
    if (src_.block_size > 4 && e.size <= kMaxWindowRecord) {
      if (auto bytes = from_window(e)) return *bytes;
    }
    return from_chain(e);
  }

 private:
  enum class Miss { None, PastWindow, Elsewhere };

  [[nodiscard]] std::uint64_t window_end() const noexcept { return window_start_ + window_len_; }

  // The record from the current window, moving the window forward when it has been left behind.
  std::optional<std::span<const std::uint8_t>> from_window(const DatFileEntry& e) {
    if (e.offset >= window_end() || e.offset < window_start_) {
      if (e.offset < window_start_ || e.offset < skip_until_ || !fill_window(e.offset)) {
        return std::nullopt;
      }
    }
    Miss miss = Miss::None;
    if (auto n = assemble(e, miss)) return std::span<const std::uint8_t>(record_.data(), *n);
    // A chain that runs on past the window's end: read the window again from its first block.
    if (miss == Miss::PastWindow && e.offset != window_start_ && fill_window(e.offset)) {
      if (auto n = assemble(e, miss)) return std::span<const std::uint8_t>(record_.data(), *n);
    }
    return std::nullopt;
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
    if (offset >= src_.file_size) return false;
    // No larger than the file: a small archive is one window.
    if (window_.empty()) {
      window_.resize(
          static_cast<std::size_t>(std::min<std::uint64_t>(kWindowBytes, src_.file_size)));
    }
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(window_.size(), src_.file_size - offset));
    while (window_len_ < want) {
      const ssize_t got = ::pread(src_.file.fd(), window_.data() + window_len_, want - window_len_,
                                  static_cast<off_t>(offset + window_len_));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;  // what could not be read is read by the chain reader, or reported
      window_len_ += static_cast<std::size_t>(got);
    }
    return window_len_ > 0;
  }

  // Puts the record together from the window if every block it needs lies inside and passes
  // the chain reader's checks; otherwise says why not.
  std::optional<std::size_t> assemble(const DatFileEntry& e, Miss& miss) {
    if (e.size > src_.file_size) {
      miss = Miss::Elsewhere;
      return std::nullopt;
    }
    if (record_.size() < e.size) record_.resize(std::max<std::size_t>(e.size, 2 * record_.size()));
    const std::uint32_t payload_size = src_.block_size - 4;
    const std::uint64_t end = window_end();
    std::uint64_t current = e.offset;
    std::uint32_t remaining = e.size;
    std::size_t written = 0;
    std::uint64_t blocks = 0;
    bool contiguous = true;
    while (remaining > 0) {
      if (current > detail::kMaxBlockOffset || current < window_start_ || current + 4 > end) {
        miss = contiguous && current >= end ? Miss::PastWindow : Miss::Elsewhere;
        return std::nullopt;
      }
      const std::uint8_t* block = window_.data() + (current - window_start_);
      const auto next = detail::load_le<std::uint32_t>(block);
      const std::uint32_t n = next == 0 ? remaining : std::min(remaining, payload_size);
      if (current + 4 + n > end) {
        miss = contiguous ? Miss::PastWindow : Miss::Elsewhere;
        return std::nullopt;
      }
      if (next != 0 && ++blocks > src_.max_blocks) {
        miss = Miss::Elsewhere;
        return std::nullopt;
      }
      std::copy_n(block + 4, n, record_.data() + written);
      written += n;
      remaining -= n;
      contiguous = contiguous && next == current + src_.block_size;
      current = next;
    }
    ++window_served_;
    return written;
  }

  Expected<std::span<const std::uint8_t>, DatError> from_chain(const DatFileEntry& e) {
    const std::size_t need = detail::ChainReader::buffer_size(e.size, src_.file_size);
    if (record_.size() < need) record_.resize(std::max(need, 2 * record_.size()));
    // Read ahead on the first read only while chains have been laid out block after block.
    detail::ChainReader chain(src_, e.offset, e.size, std::span(record_).first(need),
                              chains_contiguous_ ? detail::kFirstBatch : 1);
    auto n = chain.read();
    if (!n) return Unexpected(std::move(n.error()));
    chains_contiguous_ = chain.contiguous();
    return std::span<const std::uint8_t>(record_.data(), *n);
  }

  detail::ChainSource src_;
  std::vector<std::uint8_t> window_;
  std::uint64_t window_start_ = 0;
  std::size_t window_len_ = 0;
  std::size_t window_served_ = 0;
  std::uint64_t skip_ = 0;
  std::uint64_t skip_until_ = 0;
  std::vector<std::uint8_t> record_;
  bool chains_contiguous_ = true;
};

}  // namespace

void DatDatabase::visit_files(void* visitor, VisitFn call) const {
  const std::span<const DatFileEntry> entries = files_.entries();
  // File order: the first blocks' offsets, ties in id order.
  std::vector<std::uint32_t> order(entries.size());
  std::iota(order.begin(), order.end(), 0u);
  const auto by_offset = [&](std::uint32_t a, std::uint32_t b) {
    return entries[a].offset != entries[b].offset ? entries[a].offset < entries[b].offset : a < b;
  };
  if (!std::is_sorted(order.begin(), order.end(), by_offset)) {
    std::sort(order.begin(), order.end(), by_offset);
  }

  FileWalker walker({file_, header_.block_size, file_size_});
  std::vector<std::uint8_t> decompressed;
  for (const std::uint32_t i : order) {
    const DatFileEntry& e = entries[i];
    auto stored = walker.stored(e);
    if (!stored || !e.is_compressed()) {
      if (!call(visitor, e, std::move(stored))) return;
      continue;
    }
    decompressed = utils::decompress_lrs(*stored);
    if (!call(visitor, e, std::span<const std::uint8_t>(decompressed))) return;
  }
}

}  // namespace quorvale_dat
