// The block chain walk: the only code in the project that follows next-block pointers. Every
// reader of chains goes through it: read_file_data and get_file, the directory walk, for_each_file
// (its windows and its own chain reads), verify, and the overlap checks of extraction. The
// prefetch ring for_each_file runs ahead of its walk over memory follows pointers too, but only
// to prefetch: what a chain yields is always the walk's.
//
// The rules of a chain, here and nowhere else:
//
//   * A block is a little-endian u32 pointer to the next block (0 for the last) followed by
//     block_size - 4 payload bytes. A chain is named by its first block's offset; its content is
//     its blocks' payloads in order, and the caller says how many bytes to take (`size`): 1716
//     for a directory node, the entry's `size` for a record. Size 0 reads nothing at all.
//   * Each block is read as: its pointer, then min(bytes still wanted, block_size - 4) payload
//     bytes. A block whose pointer is 0 supplies all the bytes still wanted, read on from its
//     payload past the block's own end if need be. Blocks after the last one needed are not
//     visited, whatever their pointers say; the pointer is used with all 32 bits.
//   * The bounds that stop a crafted chain, checked in this order for every block:
//       1. a block offset above 0xFFFFFFFB leaves no room for its payload:
//          Corruption "block at offset X leaves no room for its payload";
//       2. a pointer that does not lie wholly inside the file: Io, the short-read error;
//       3. for a block with a non-zero pointer: a block_size of 4 or less leaves no room for a
//          payload: Corruption "block size B leaves no room for a payload (block at offset X)";
//          and a chain may visit at most file_size / block_size + 1 such blocks (without
//          visiting a block twice it could not visit more): Corruption "block chain at offset C
//          visits more blocks than the file holds";
//       4. payload bytes (or a last block's rest) reaching past the end of the file: Io, the
//          short-read error;
//       5. without revisiting blocks a chain supplies at most the file's own bytes, so its
//          output is never larger than min(size, file_size); a chain that would supply more:
//          Corruption "block chain at offset C supplies more bytes than the file holds".
//     Nothing else counts as corruption here: blocks shared with other chains, a block visited
//     twice within the bounds, and a last block supplying more than a block's payload are read
//     as they lie (verify reports them as problems of their own kinds).
//   * Where the bytes come from changes nothing in the results or the errors: a source that
//     holds them in memory is read in place (views, no copies where the content lies in one
//     block); a source that reads is read with positioned reads, a block's pointer and payload in
//     one read, straight into place, and blocks that turn out to lie one after another are read
//     ahead in one vectored read (doubling how far each time). What was read ahead is used only
//     once the pointers read confirm it; a read-ahead that fails or comes up short falls back to
//     reading the next block by itself, which then reports why.
//
// A walk that fails says where (ChainFailure): the chain, the block, the file offset and length
// of the read or check that failed and what it was reading, besides the error the operations
// above return. Callers choose the policy around the walk: stop at the first failure with its
// error (read_file_data, get_file, opening), or record it and go on with the next chain
// (verify). A block visitor sees every block a walk takes, with its pointer and the bytes it
// supplies, and may stop the walk (the overlap checks do, at the first shared block).
#pragma once

#include <sys/uio.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "byte_source.hpp"
#include "little_endian.hpp"
#include "quorvale_dat/dat_error.hpp"
#include "quorvale_dat/expected.hpp"
#include "quorvale_dat/format.hpp"

namespace quorvale_dat::detail {

// The block size and file size every chain of one archive is walked with.
struct ChainGeometry {
  std::uint32_t block_size = 0;
  std::uint64_t file_size = 0;
  // Blocks with a non-zero pointer one chain may visit: file_size / block_size + 1.
  std::uint64_t max_blocks = 0;

  [[nodiscard]] static constexpr ChainGeometry of(std::uint32_t block_size,
                                                  std::uint64_t file_size) noexcept {
    return {block_size, file_size, block_size == 0 ? 0 : file_size / block_size + 1};
  }
};

// The buffer a chain's content needs: never more than the file (rule 5).
[[nodiscard]] constexpr std::size_t content_capacity(std::uint32_t size,
                                                     std::uint64_t file_size) noexcept {
  return static_cast<std::size_t>(std::min<std::uint64_t>(size, file_size));
}

// What a walk was doing when it failed.
enum class ChainStep : std::uint8_t {
  BlockOffset,    // rule 1: the block's offset leaves no room for its payload
  Pointer,        // rule 2: reading the block's pointer
  Geometry,       // rule 3: a pointer under a block size without room for a payload
  BlockCount,     // rule 3: one block more than the file holds
  Payload,        // rule 4: reading a block's payload
  LastBlockRest,  // rule 4: reading what a last block supplies
  Supply,         // rule 5: more bytes than the file holds
};

// Where and why a walk failed.
struct ChainFailure {
  ChainStep step = ChainStep::Pointer;
  std::uint32_t chain = 0;                 // the chain's first block
  std::uint32_t block = 0;                 // the block being read
  std::uint64_t read_offset = 0;           // the file offset of the failing read or check
  std::uint64_t read_size = 0;             // the bytes it wanted there
  std::uint64_t supplied = 0;              // content bytes the chain had supplied before
  DatError error = IoError::short_read();  // what read_file_data returns for it
};

// The failure's error with where it was met, for DatError::summary(): the chain, or the block of
// it that a pointer leads to outside the file (of `file_size` bytes).
[[nodiscard]] DatError located_error(ChainFailure failure, std::uint64_t file_size);

// One block as a walk takes it.
struct ChainBlock {
  std::uint32_t offset = 0;    // the block
  std::uint32_t next = 0;      // its pointer
  std::uint32_t supplied = 0;  // content bytes taken from it
  bool ends_chain = false;     // the chain's content is complete with this block
};

// A block visitor that sees nothing and never stops a walk.
struct NoBlockVisitor {
  constexpr bool operator()(const ChainBlock&) const noexcept { return true; }
};

// The rules of one walk (the header comment), whatever the bytes come from: the mechanics below
// read a block's pointer and payload their own way and ask this cursor what may be read and
// what it yields. Faults are small codes on the hot path; failure() spells one out.
class ChainCursor {
 public:
  enum class Fault : std::uint8_t {
    None,
    BlockOffset,
    PointerPastEnd,
    Geometry,
    BlockCount,
    PayloadPastEnd,
    RestPastEnd,
    Supply
  };

  // Requires: the output, if any, holds content_capacity(size, geometry.file_size) bytes.
  ChainCursor(const ChainGeometry& geometry, std::uint32_t offset, std::uint32_t size) noexcept
      : g_(geometry),
        start_(offset),
        current_(offset),
        remaining_(size),
        capacity_(content_capacity(size, geometry.file_size)) {}

  [[nodiscard]] bool done() const noexcept { return remaining_ == 0; }
  [[nodiscard]] std::uint32_t block() const noexcept { return current_; }
  [[nodiscard]] std::uint32_t remaining() const noexcept { return remaining_; }
  [[nodiscard]] std::uint64_t written() const noexcept { return written_; }
  [[nodiscard]] std::uint64_t payload_offset() const noexcept {
    return std::uint64_t{current_} + 4;
  }
  // Whether every block taken so far lay right after the one before it.
  [[nodiscard]] bool contiguous() const noexcept { return contiguous_; }
  [[nodiscard]] const ChainGeometry& geometry() const noexcept { return g_; }

  // Rules 1 and 2, before the current block's pointer is read.
  [[nodiscard]] Fault check_pointer() const noexcept {
    if (current_ > format::kMaxBlockOffset) return Fault::BlockOffset;
    if (std::uint64_t{current_} + format::kBlockPointerSize > g_.file_size) {
      return Fault::PointerPastEnd;
    }
    return Fault::None;
  }

  // Rules 3 to 5, once the current block's pointer `next` is known: sets `n` to the bytes the
  // block supplies. Counts the block, so it is asked once per block.
  [[nodiscard]] Fault take(std::uint32_t next, std::uint32_t& n) noexcept {
    if (next == 0) {
      n = remaining_;
    } else {
      if (g_.block_size <= format::kBlockPointerSize) return Fault::Geometry;
      if (++blocks_ > g_.max_blocks) return Fault::BlockCount;
      n = std::min(remaining_, g_.block_size - format::kBlockPointerSize);
    }
    taking_ = n;
    if (payload_offset() + n > g_.file_size) {
      return next == 0 ? Fault::RestPastEnd : Fault::PayloadPastEnd;
    }
    if (written_ + n > capacity_) return Fault::Supply;
    return Fault::None;
  }

  // The block taken (after take()), for the block visitor.
  [[nodiscard]] ChainBlock taken(std::uint32_t next, std::uint32_t n) const noexcept {
    return {current_, next, n, n == remaining_};
  }

  // Moves on past the current block, which supplied `n` bytes and points to `next`.
  void advance(std::uint32_t next, std::uint32_t n) noexcept {
    written_ += n;
    remaining_ -= n;
    if (next != 0 && next != std::uint64_t{current_} + g_.block_size) contiguous_ = false;
    current_ = next;
  }

  // The failure for `fault`, met at the current block.
  [[nodiscard]] ChainFailure failure(Fault fault) const;
  // A read at the current block that failed with `error` (an OS error: the bounds are checked
  // before any read).
  [[nodiscard]] ChainFailure read_failure(ChainStep step, std::uint64_t offset, std::uint64_t size,
                                          IoError error) const;

 private:
  ChainGeometry g_;
  std::uint32_t start_;
  std::uint32_t current_;
  std::uint32_t remaining_;
  std::uint64_t capacity_;
  std::uint64_t written_ = 0;
  std::uint64_t blocks_ = 0;
  std::uint32_t taking_ = 0;  // what the current block supplies, once take() has said
  bool contiguous_ = true;
};

// ---- Results ------------------------------------------------------------------------------------

// How a walk that did not fail ended.
struct ChainRead {
  std::size_t length = 0;  // content bytes supplied (the chain's size unless stopped)
  bool stopped = false;    // the block visitor stopped the walk
  bool contiguous = true;  // every block taken lay right after the one before it
};

struct ChainView {
  std::span<const std::uint8_t> bytes;  // in the source's memory or in the caller's scratch
  bool stopped = false;
  bool contiguous = true;
};

// ---- Walking bytes held in memory ---------------------------------------------------------------

// Bytes of the file held in memory: all of them (a source in memory), or a window of them
// (for_each_file's), starting at file offset `base`.
struct MemoryView {
  const std::uint8_t* data = nullptr;
  std::uint64_t base = 0;
  std::uint64_t length = 0;

  [[nodiscard]] std::uint64_t end() const noexcept { return base + length; }
  [[nodiscard]] bool holds(std::uint64_t offset, std::uint64_t n) const noexcept {
    return offset >= base && offset + n <= end();
  }
};

// How a walk over a window ended: a block that lies outside the window is a miss, not an error
// (the bytes are elsewhere in the file); PastEnd when the chain had run block after block up to
// the window's end, so that a window starting at the chain may hold it all.
enum class WindowEnd : std::uint8_t { Done, Stopped, PastEnd, Elsewhere, Failed };

// Where a memory walk puts the content.
struct NoOutput {
  static constexpr bool kCopies = false;
  void put(const std::uint8_t*, std::uint32_t, std::uint64_t, bool) noexcept {}
};
struct SpanOutput {
  static constexpr bool kCopies = true;
  std::uint8_t* out;
  void put(const std::uint8_t* from, std::uint32_t n, std::uint64_t at, bool) noexcept {
    std::memcpy(out + at, from, n);
  }
};
// Each block's payload appended to a vector reserved for the content: the walk puts the content
// in order from its start, so no buffer needs filling first.
struct AppendOutput {
  static constexpr bool kCopies = true;
  std::vector<std::uint8_t>* out;
  void put(const std::uint8_t* from, std::uint32_t n, std::uint64_t, bool) {
    out->insert(out->end(), from, from + n);
  }
};
// A view of the source's memory when the first block supplies all of the content, else a copy
// into `scratch`: over what it holds when it is large enough already (a scratch reused from
// record to record), else appended to it, emptied and reserved for the content, so that no
// byte is zero-filled only to be overwritten.
struct ViewOutput {
  static constexpr bool kCopies = true;
  std::vector<std::uint8_t>* scratch;
  std::size_t capacity;
  const std::uint8_t* view = nullptr;
  bool appending = false;
  void put(const std::uint8_t* from, std::uint32_t n, std::uint64_t at, bool whole) {
    if (at == 0 && whole) {
      view = from;
      return;
    }
    if (at == 0) {
      appending = scratch->size() < capacity;
      if (appending) {
        scratch->clear();
        scratch->reserve(capacity);
      }
    }
    if (appending) {
      scratch->insert(scratch->end(), from, from + n);
      return;
    }
    std::memcpy(scratch->data() + at, from, n);
  }
};

// The walk over memory. With `window` set, a block outside `view` ends the walk as a miss;
// otherwise `view` is the whole file and the cursor's bounds are all the checks there are.
template <class Output, class OnBlock>
[[nodiscard]] inline WindowEnd walk_memory(const MemoryView& view, ChainCursor& c, Output& output,
                                           OnBlock&& on_block, bool window,
                                           ChainCursor::Fault& fault) {
  using Fault = ChainCursor::Fault;
  const std::uint32_t size = c.remaining();
  while (!c.done()) {
    const std::uint32_t at = c.block();
    if ((fault = c.check_pointer()) != Fault::None) return WindowEnd::Failed;
    if (window && !view.holds(at, format::kBlockPointerSize)) {
      return c.contiguous() && at >= view.end() ? WindowEnd::PastEnd : WindowEnd::Elsewhere;
    }
    const auto next = load_le<std::uint32_t>(view.data + (at - view.base));
    std::uint32_t n = 0;
    if ((fault = c.take(next, n)) != Fault::None) return WindowEnd::Failed;
    if (window && !view.holds(c.payload_offset(), n)) {
      return c.contiguous() ? WindowEnd::PastEnd : WindowEnd::Elsewhere;
    }
    if constexpr (Output::kCopies) {
      output.put(view.data + (c.payload_offset() - view.base), n, c.written(), n == size);
    }
    if (!on_block(c.taken(next, n))) return WindowEnd::Stopped;
    c.advance(next, n);
  }
  return WindowEnd::Done;
}

// Puts a chain together from a window of the file. Failed leaves `*failure` set; any end but
// Done and Stopped says nothing about the chain, which the caller then reads from the source.
// Requires: `out` holds content_capacity(size, file_size) bytes.
template <class OnBlock = NoBlockVisitor>
[[nodiscard]] inline WindowEnd assemble_from_window(const MemoryView& window,
                                                    const ChainGeometry& g, std::uint32_t offset,
                                                    std::uint32_t size, std::uint8_t* out,
                                                    std::size_t& length, OnBlock&& on_block = {}) {
  ChainCursor c(g, offset, size);
  SpanOutput output{out};
  ChainCursor::Fault fault = ChainCursor::Fault::None;
  const WindowEnd end = walk_memory(window, c, output, on_block, true, fault);
  length = static_cast<std::size_t>(c.written());
  return end;
}

// ---- Prefetching chains held in memory ---------------------------------------------------------

// Brings the blocks of chains about to be walked in memory into the cache ahead of the walk,
// several chains at once. The next block of a scattered chain is known only once the block before
// it has arrived, so one chain's cache misses come one after another; those of several chains
// overlap. Each chain added takes a slot of a ring, the oldest one; each step moves every chain
// in the ring one block on: it reads the pointer of the block the chain stands on, which the step
// before prefetched, and prefetches the block that pointer leads to.
//
// The ring only prefetches and decides nothing: the walk reads every chain by the rules whatever
// the ring did with it. It reads no pointer outside the source's bytes, and follows a chain no
// further than a pointer of 0, a block outside the file or the blocks its size needs, so a step
// costs at most one pointer per slot, whatever the chains do (cycles included).
class ChainPrefetch {
 public:
  // Chains in flight at once.
  static constexpr std::size_t kSlots = 16;
  // Cache lines of a block prefetched at most: its pointer's and the payload's first ones.
  static constexpr std::uint32_t kMaxLines = 4;

  // Requires: source.in_memory(). Holds onto neither argument past the source's life.
  ChainPrefetch(const ByteSource& source, const ChainGeometry& g) noexcept
      : data_(source.bytes().data()),
        size_(source.bytes().size()),
        payload_(g.block_size > format::kBlockPointerSize ? g.block_size - format::kBlockPointerSize
                                                          : 0) {}

  // Forgets every chain in the ring.
  void clear() noexcept { slots_ = {}; }

  // Prefetches the first block of the chain at `offset` that supplies `size` bytes, and puts the
  // chain in the ring in place of the oldest one.
  void add(std::uint32_t offset, std::uint32_t size) noexcept {
    Slot& s = slots_[next_slot_];
    next_slot_ = (next_slot_ + 1) % kSlots;
    s = {};
    if (size == 0 || !touch(offset, size)) return;
    // Followed only while the block it stands on is not the last one the size needs.
    if (payload_ != 0 && size > payload_) s = {offset, size};
  }

  // Chains in the ring still being followed.
  [[nodiscard]] std::size_t following() const noexcept {
    return static_cast<std::size_t>(
        std::ranges::count_if(slots_, [](const Slot& s) { return s.remaining != 0; }));
  }

  // Moves every chain in the ring one block on.
  void step() noexcept {
    for (Slot& s : slots_) {
      if (s.remaining == 0) continue;
      const auto next = load_le<std::uint32_t>(data_ + s.block);
      s.remaining -= payload_;
      if (next == 0 || !touch(next, s.remaining) || s.remaining <= payload_) {
        s.remaining = 0;
        continue;
      }
      s.block = next;
    }
  }

 private:
  struct Slot {
    std::uint32_t block = 0;  // the block the chain stands on, its pointer inside the source
    // Bytes still wanted from that block on, more than its payload; 0 when the slot is idle.
    std::uint32_t remaining = 0;
  };

  // Prefetches the lines of the block at `offset` that a chain wanting `remaining` more bytes
  // reads, if its pointer lies inside the source.
  bool touch(std::uint32_t offset, std::uint32_t remaining) noexcept {
    if (std::uint64_t{offset} + format::kBlockPointerSize > size_) return false;
    const std::uint64_t wanted =
        format::kBlockPointerSize + std::uint64_t{std::min(remaining, payload_)};
    const std::uint64_t end =
        std::min<std::uint64_t>({std::uint64_t{offset} + wanted, size_,
                                 (std::uint64_t{offset} | 63) + 1 + 64 * (kMaxLines - 1)});
    for (std::uint64_t at = offset; at < end; at = (at | 63) + 1) __builtin_prefetch(data_ + at);
    return true;
  }

  const std::uint8_t* data_;
  std::uint64_t size_;
  std::uint32_t payload_;
  std::array<Slot, kSlots> slots_{};
  std::size_t next_slot_ = 0;
};

// ---- Walking a source that reads ----------------------------------------------------------------

// Blocks per vectored read: two iovecs per block.
inline constexpr std::size_t kMaxBatch = IOV_MAX / 2;
// A block read by itself through a buffer on the stack at most this large.
inline constexpr std::size_t kSmallBlock = 4096;
// Blocks the first read of a chain covers: directory nodes and most records span two blocks.
inline constexpr std::size_t kFirstBatch = 2;

// Reads the current block's pointer from a source that reads, and asks the cursor what the block
// then supplies (`n`).
[[nodiscard]] inline Expected<void, ChainFailure> take_pointer(const ByteSource& source,
                                                               ChainCursor& c, std::uint32_t& next,
                                                               std::uint32_t& n) {
  std::uint8_t pointer[format::kBlockPointerSize];
  if (auto r = source.read_exact_at(pointer, c.block()); !r) {
    return Unexpected(
        c.read_failure(ChainStep::Pointer, c.block(), sizeof pointer, std::move(r.error())));
  }
  next = load_le<std::uint32_t>(pointer);
  if (const auto f = c.take(next, n); f != ChainCursor::Fault::None) {
    return Unexpected(c.failure(f));
  }
  return {};
}

// Reads a chain's content from a source that reads, with the read-ahead of the header comment.
template <class OnBlock>
class ChainReader {
 public:
  // Requires: `out` holds content_capacity(size, file_size) bytes.
  ChainReader(const ByteSource& source, const ChainGeometry& g, std::uint32_t offset,
              std::uint32_t size, std::span<std::uint8_t> out, std::size_t first_batch,
              OnBlock& on_block)
      : src_(source),
        c_(g, offset, size),
        out_(out),
        first_batch_(std::clamp<std::size_t>(first_batch, 1, kMaxBatch)),
        on_block_(on_block) {}

  Expected<ChainRead, ChainFailure> read() {
    std::size_t batch = first_batch_;
    while (!c_.done() && !stopped_) {
      if (const auto f = c_.check_pointer(); f != ChainCursor::Fault::None) {
        return Unexpected(c_.failure(f));
      }
      if (c_.geometry().block_size <= format::kBlockPointerSize) {
        if (auto r = read_one_block(); !r) return Unexpected(std::move(r.error()));
        continue;
      }
      auto contiguous = read_batch(batch);
      if (!contiguous) return Unexpected(std::move(contiguous.error()));
      batch = *contiguous ? std::min(2 * batch, kMaxBatch) : 1;
    }
    return ChainRead{static_cast<std::size_t>(c_.written()), stopped_, c_.contiguous()};
  }

 private:
  using Fault = ChainCursor::Fault;

  [[nodiscard]] std::uint32_t payload_size() const noexcept {
    return c_.geometry().block_size - format::kBlockPointerSize;
  }
  [[nodiscard]] std::uint8_t* out_at(std::uint64_t at) const noexcept {
    return out_.data() + static_cast<std::size_t>(at);
  }

  // Hands the block to the visitor and moves past it.
  void consume(std::uint32_t next, std::uint32_t n) {
    if (!on_block_(c_.taken(next, n))) stopped_ = true;
    c_.advance(next, n);
  }

  // What a last block supplies beyond the `already` bytes read with its pointer.
  [[nodiscard]] Expected<void, ChainFailure> read_rest(std::uint32_t n, std::uint32_t already) {
    const std::uint64_t at = c_.payload_offset() + already;
    const std::uint32_t rest = n - already;
    auto target = std::span(out_at(c_.written() + already), rest);
    if (auto r = src_.read_exact_at(target, at); !r) {
      return Unexpected(c_.read_failure(ChainStep::LastBlockRest, at, rest, std::move(r.error())));
    }
    consume(0, n);
    return {};
  }

  // One block exactly as the rules read it: the pointer, then the payload.
  [[nodiscard]] Expected<void, ChainFailure> read_one_block() {
    std::uint32_t next = 0;
    std::uint32_t n = 0;
    if (auto r = take_pointer(src_, c_, next, n); !r) return r;
    if (next == 0) return read_rest(n, 0);
    auto target = std::span(out_at(c_.written()), n);
    if (auto r = src_.read_exact_at(target, c_.payload_offset()); !r) {
      return Unexpected(
          c_.read_failure(ChainStep::Payload, c_.payload_offset(), n, std::move(r.error())));
    }
    consume(next, n);
    return {};
  }

  // Reads up to `batch` blocks assumed to lie one after another from the current block on, and
  // takes those whose pointers confirm it. Returns whether every block read was contiguous.
  [[nodiscard]] Expected<bool, ChainFailure> read_batch(std::size_t batch) {
    const ChainGeometry& g = c_.geometry();
    const std::uint32_t current = c_.block();
    // Plan: block j at current + j * block_size, with the payload it would supply. In 64 bits:
    // with a block size near 2^32 the sum would wrap to a plan of no blocks.
    const std::uint64_t needed =
        (std::uint64_t{c_.remaining()} + payload_size() - 1) / payload_size();
    const std::uint64_t room = (format::kMaxBlockOffset - current) / g.block_size + 1;
    const std::size_t most =
        static_cast<std::size_t>(std::min<std::uint64_t>({batch, needed, room}));
    std::uint64_t planned = 0;
    std::size_t k = 0;
    for (; k < most; ++k) {
      const auto n = static_cast<std::uint32_t>(
          std::min<std::uint64_t>(c_.remaining() - planned, payload_size()));
      // Only blocks that end inside the file and whose payloads fit the buffer are read ahead;
      // a block that does not is read on its own, which reports why.
      if (current + k * std::uint64_t{g.block_size} + 4 + n > g.file_size) break;
      if (c_.written() + planned + n > out_.size()) break;
      payload_sizes_[k] = n;
      planned += n;
    }
    if (k == 0) {
      if (auto r = read_one_block(); !r) return Unexpected(std::move(r.error()));
      return false;
    }

    std::uint64_t available = k == 1 ? read_single() : read_vectored(k);
    for (std::size_t j = 0; j < k; ++j) {
      const std::uint64_t block_bytes = 4 + std::uint64_t{payload_sizes_[j]};
      if (available < block_bytes) {
        if (auto r = read_one_block(); !r) return Unexpected(std::move(r.error()));
        return false;
      }
      available -= block_bytes;
      const auto next = load_le<std::uint32_t>(pointers_[j].data());
      std::uint32_t n = 0;
      if (const auto f = c_.take(next, n); f != Fault::None) return Unexpected(c_.failure(f));
      if (next == 0) {
        if (auto r = read_rest(n, payload_sizes_[j]); !r) return Unexpected(std::move(r.error()));
        return true;
      }
      const std::uint64_t following = std::uint64_t{c_.block()} + g.block_size;
      consume(next, n);
      if (stopped_) return false;
      if (next != following) return false;
    }
    return true;
  }

  // The pointer and payload of the current block alone with one plain positioned read, which
  // costs less than a vectored one. The read goes straight into place over the four output bytes
  // before the payload, which are put back afterwards; a chain's first block, with nothing before
  // it, goes through a small buffer, or a vectored read when larger. Returns the bytes read.
  std::uint64_t read_single() {
    const std::uint32_t n = payload_sizes_[0];
    const std::size_t bytes = 4 + std::size_t{n};
    if (c_.written() >= 4) {
      std::uint8_t* at = out_at(c_.written() - 4);
      std::array<std::uint8_t, 4> kept;
      std::memcpy(kept.data(), at, 4);
      const std::size_t got = src_.read_available_at(std::span(at, bytes), c_.block());
      std::memcpy(pointers_[0].data(), at, 4);
      std::memcpy(at, kept.data(), 4);
      return got;
    }
    if (bytes > kSmallBlock) return read_vectored(1);
    std::array<std::uint8_t, kSmallBlock> block;
    const std::size_t got = src_.read_available_at(std::span(block.data(), bytes), c_.block());
    if (got == bytes) {
      std::memcpy(pointers_[0].data(), block.data(), 4);
      std::memcpy(out_at(c_.written()), block.data() + 4, n);
    }
    return got;
  }

  // The pointers and payloads of `k` blocks lying one after another, each payload straight into
  // place. Returns the bytes read.
  std::uint64_t read_vectored(std::size_t k) {
    std::array<iovec, 2 * kMaxBatch> iov;
    std::uint64_t at = c_.written();
    for (std::size_t j = 0; j < k; ++j) {
      iov[2 * j] = {pointers_[j].data(), 4};
      iov[2 * j + 1] = {out_at(at), payload_sizes_[j]};
      at += payload_sizes_[j];
    }
    return src_.read_available_at(std::span<const iovec>(iov.data(), 2 * k), c_.block());
  }

  const ByteSource& src_;
  ChainCursor c_;
  std::span<std::uint8_t> out_;
  std::size_t first_batch_;
  OnBlock& on_block_;
  bool stopped_ = false;
  std::array<std::uint32_t, kMaxBatch> payload_sizes_;
  std::array<std::array<std::uint8_t, 4>, kMaxBatch> pointers_;
};

// ---- The walks callers use ----------------------------------------------------------------------

struct ReadOptions {
  // Blocks the first read of a chain covers on a source that reads.
  std::size_t first_batch = kFirstBatch;
};

// Reads the chain's content into `out`. Requires: `out` holds
// content_capacity(size, g.file_size) bytes.
template <class OnBlock = NoBlockVisitor>
[[nodiscard]] Expected<ChainRead, ChainFailure> read_chain(
    const ByteSource& source, const ChainGeometry& g, std::uint32_t offset, std::uint32_t size,
    std::span<std::uint8_t> out, OnBlock&& on_block = {}, ReadOptions options = {}) {
  if (source.in_memory()) {
    ChainCursor c(g, offset, size);
    SpanOutput output{out.data()};
    ChainCursor::Fault fault = ChainCursor::Fault::None;
    const MemoryView all{source.bytes().data(), 0, source.size()};
    const WindowEnd end = walk_memory(all, c, output, on_block, false, fault);
    if (end == WindowEnd::Failed) return Unexpected(c.failure(fault));
    return ChainRead{static_cast<std::size_t>(c.written()), end == WindowEnd::Stopped,
                     c.contiguous()};
  }
  ChainReader<std::remove_reference_t<OnBlock>> reader(source, g, offset, size, out,
                                                       options.first_batch, on_block);
  return reader.read();
}

// The chain's content, from a source that holds its bytes in memory, as a vector: read_chain's
// results without zeroing a buffer that the copies then overwrite. Requires: source.in_memory().
[[nodiscard]] inline Expected<std::vector<std::uint8_t>, ChainFailure> read_memory_chain(
    const ByteSource& source, const ChainGeometry& g, std::uint32_t offset, std::uint32_t size) {
  std::vector<std::uint8_t> out;
  out.reserve(content_capacity(size, g.file_size));
  ChainCursor c(g, offset, size);
  AppendOutput output{&out};
  ChainCursor::Fault fault = ChainCursor::Fault::None;
  NoBlockVisitor on_block;
  const MemoryView all{source.bytes().data(), 0, source.size()};
  if (walk_memory(all, c, output, on_block, false, fault) == WindowEnd::Failed) {
    return Unexpected(c.failure(fault));
  }
  return out;
}

// The chain's content as a view: of the source's memory when it holds the bytes and the
// content lies in the first block, else of `scratch`, which grows as needed. Valid until
// `scratch` changes.
template <class OnBlock = NoBlockVisitor>
[[nodiscard]] Expected<ChainView, ChainFailure> read_chain_view(
    const ByteSource& source, const ChainGeometry& g, std::uint32_t offset, std::uint32_t size,
    std::vector<std::uint8_t>& scratch, OnBlock&& on_block = {}, ReadOptions options = {}) {
  const std::size_t capacity = content_capacity(size, g.file_size);
  if (source.in_memory()) {
    ChainCursor c(g, offset, size);
    ViewOutput output{&scratch, capacity};
    ChainCursor::Fault fault = ChainCursor::Fault::None;
    const MemoryView all{source.bytes().data(), 0, source.size()};
    const WindowEnd end = walk_memory(all, c, output, on_block, false, fault);
    if (end == WindowEnd::Failed) return Unexpected(c.failure(fault));
    const auto length = static_cast<std::size_t>(c.written());
    const std::uint8_t* data = output.view != nullptr ? output.view : scratch.data();
    return ChainView{{data, length}, end == WindowEnd::Stopped, c.contiguous()};
  }
  if (scratch.size() < capacity) scratch.resize(std::max(capacity, 2 * scratch.size()));
  auto r =
      read_chain(source, g, offset, size, std::span(scratch).first(capacity), on_block, options);
  if (!r) return Unexpected(std::move(r.error()));
  return ChainView{{scratch.data(), r->length}, r->stopped, r->contiguous};
}

// Walks the chain without reading its content: its pointers only, with the same rules and the
// same failures as reading it (a payload past the end of the file fails as its read would).
template <class OnBlock = NoBlockVisitor>
[[nodiscard]] Expected<ChainRead, ChainFailure> walk_chain(const ByteSource& source,
                                                           const ChainGeometry& g,
                                                           std::uint32_t offset, std::uint32_t size,
                                                           OnBlock&& on_block = {}) {
  using Fault = ChainCursor::Fault;
  ChainCursor c(g, offset, size);
  if (source.in_memory()) {
    NoOutput output;
    Fault fault = Fault::None;
    const MemoryView all{source.bytes().data(), 0, source.size()};
    const WindowEnd end = walk_memory(all, c, output, on_block, false, fault);
    if (end == WindowEnd::Failed) return Unexpected(c.failure(fault));
    return ChainRead{static_cast<std::size_t>(c.written()), end == WindowEnd::Stopped,
                     c.contiguous()};
  }
  while (!c.done()) {
    if (const auto f = c.check_pointer(); f != Fault::None) return Unexpected(c.failure(f));
    std::uint32_t next = 0;
    std::uint32_t n = 0;
    if (auto r = take_pointer(source, c, next, n); !r) return Unexpected(std::move(r.error()));
    const bool go_on = on_block(c.taken(next, n));
    c.advance(next, n);
    if (!go_on) return ChainRead{static_cast<std::size_t>(c.written()), true, c.contiguous()};
  }
  return ChainRead{static_cast<std::size_t>(c.written()), false, c.contiguous()};
}

}  // namespace quorvale_dat::detail
