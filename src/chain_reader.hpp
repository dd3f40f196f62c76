// Reading a block chain: each block is a little-endian u32 pointer to the next block (0 for the
// last) followed by block_size - 4 payload bytes; a chain's content is its payloads in order.
//
// Each step reads a block's pointer and payload with one positioned read, the payload straight
// into its place in the output: a plain read for one block (over the four output bytes before its
// payload, which are put back), a vectored read for several. While the chain's blocks turn out to
// lie one after another, the step reads ahead along the following blocks, doubling how far each
// time; a block that points elsewhere ends the read-ahead. Whatever was read ahead is only used
// once the pointers read confirm it, and a read-ahead that fails or runs past the end of the file
// falls back to reading the next block by itself, so results and errors are those of reading one
// block at a time: the pointer, then the payload.

#pragma once

#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "hex.hpp"
#include "quorvale_dat/database.hpp"
#include "quorvale_dat/utils.hpp"

namespace quorvale_dat::detail {

// The highest block offset whose payload offset (offset + 4) still fits in 32 bits.
inline constexpr std::uint32_t kMaxBlockOffset = 0xFFFFFFFBu;
// Blocks per vectored read: two iovecs per block.
inline constexpr std::size_t kMaxBatch = IOV_MAX / 2;
// A block read by itself through a buffer on the stack at most this large.
inline constexpr std::size_t kSmallBlock = 4096;
// Blocks the first read of a chain covers: directory nodes and most records span two blocks.
inline constexpr std::size_t kFirstBatch = 2;

inline DatError chain_corruption(std::string text) { return DatError::Corruption{std::move(text)}; }

// The archive as chains are read from it.
struct ChainSource {
  ChainSource(const File& archive, std::uint32_t block, std::uint64_t size) noexcept
      : file(archive),
        block_size(block),
        file_size(size),
        max_blocks(block == 0 ? 0 : size / block + 1) {}

  const File& file;
  std::uint32_t block_size;
  std::uint64_t file_size;
  // Full blocks a chain can visit without visiting one twice; more is corruption.
  std::uint64_t max_blocks;
};

class ChainReader {
 public:
  // Reads into `out`, which must hold min(size, file size) bytes. `first_batch` is how many
  // blocks the first read covers.
  ChainReader(const ChainSource& source, std::uint32_t offset, std::uint32_t size,
              std::span<std::uint8_t> out, std::size_t first_batch = kFirstBatch)
      : src_(source),
        start_(offset),
        remaining_(size),
        current_(offset),
        first_batch_(std::clamp<std::size_t>(first_batch, 1, kMaxBatch)),
        out_(out) {}

  // The size a chain's buffer needs: without revisiting blocks a chain supplies at most the
  // file's own bytes, so it is never larger than the file (a chain that supplies more, or visits
  // more full blocks than the file holds, is corrupt).
  [[nodiscard]] static std::size_t buffer_size(std::uint32_t size, std::uint64_t file_size) {
    return static_cast<std::size_t>(std::min<std::uint64_t>(size, file_size));
  }

  // Whether every block followed so far lay right after the one before it.
  [[nodiscard]] bool contiguous() const noexcept { return contiguous_; }

  // The chain's content into the buffer; returns its length.
  Expected<std::size_t, DatError> read() {
    std::size_t batch = first_batch_;
    while (remaining_ > 0) {
      if (current_ > kMaxBlockOffset) {
        return Unexpected(chain_corruption("block at offset " + detail::hex8(current_) +
                                           " leaves no room for its payload"));
      }
      if (src_.block_size <= 4) {
        if (auto r = read_one_block(); !r) return Unexpected(std::move(r.error()));
        continue;
      }
      auto contiguous = read_batch(batch);
      if (!contiguous) return Unexpected(std::move(contiguous.error()));
      batch = *contiguous ? std::min(2 * batch, kMaxBatch) : 1;
    }
    return static_cast<std::size_t>(written_);
  }

 private:
  [[nodiscard]] std::uint32_t payload_size() const noexcept { return src_.block_size - 4; }

  // Without revisiting blocks a chain supplies at most the file's own bytes; one that supplies
  // more is corrupt. Only a stored size beyond the file's size can get here.
  [[nodiscard]] DatError oversupplied() const {
    return chain_corruption("block chain at offset " + detail::hex8(start_) +
                            " supplies more bytes than the file holds");
  }

  // Accounts for a block with a non-zero pointer, which supplies a full payload.
  [[nodiscard]] Expected<void, DatError> count_block() {
    if (src_.block_size <= 4) {
      return Unexpected(chain_corruption("block size " + std::to_string(src_.block_size) +
                                         " leaves no room for a payload (block at offset " +
                                         detail::hex8(current_) + ")"));
    }
    if (++blocks_ > src_.max_blocks) {
      return Unexpected(chain_corruption("block chain at offset " + detail::hex8(start_) +
                                         " visits more blocks than the file holds"));
    }
    return {};
  }

  // The last block supplies all remaining bytes, read in one piece from its payload on, past
  // the block's own end if need be.
  [[nodiscard]] Expected<void, DatError> read_last_block_rest(std::uint32_t already) {
    const std::uint64_t payload = static_cast<std::uint64_t>(current_) + 4 + already;
    const std::uint32_t n = remaining_ - already;
    if (written_ + already + n > out_.size()) {
      if (payload + n > src_.file_size) return Unexpected(IoError::short_read());
      return Unexpected(oversupplied());
    }
    auto target = out_.subspan(static_cast<std::size_t>(written_ + already), n);
    if (auto r = utils::read_exact_at_compat(src_.file, target, payload); !r) {
      return Unexpected(std::move(r.error()));
    }
    written_ += remaining_;
    remaining_ = 0;
    return {};
  }

  // One block exactly as the format reads it: the pointer, then the payload.
  [[nodiscard]] Expected<void, DatError> read_one_block() {
    std::uint8_t pointer_bytes[4];
    if (auto r = utils::read_exact_at_compat(src_.file, pointer_bytes, current_); !r) {
      return Unexpected(std::move(r.error()));
    }
    const auto next = detail::load_le<std::uint32_t>(pointer_bytes);
    if (next == 0) return read_last_block_rest(0);
    if (auto r = count_block(); !r) return r;
    const std::uint32_t n = std::min(remaining_, payload_size());
    const std::uint64_t payload = static_cast<std::uint64_t>(current_) + 4;
    if (written_ + n > out_.size()) {
      if (payload + n > src_.file_size) return Unexpected(IoError::short_read());
      return Unexpected(oversupplied());
    }
    auto target = out_.subspan(static_cast<std::size_t>(written_), n);
    if (auto r = utils::read_exact_at_compat(src_.file, target, payload); !r) {
      return Unexpected(std::move(r.error()));
    }
    written_ += n;
    remaining_ -= n;
    if (next != static_cast<std::uint64_t>(current_) + src_.block_size) contiguous_ = false;
    current_ = next;
    return {};
  }

  // Reads up to `batch` blocks assumed to lie one after another from the current block on, and
  // consumes those whose pointers confirm it. Returns whether every block read was contiguous.
  [[nodiscard]] Expected<bool, DatError> read_batch(std::size_t batch) {
    // Plan: block j at current + j * block_size, with the payload it would supply.
    // In 64 bits: with a block size near 2^32 the sum would wrap to a plan of no blocks.
    const std::uint64_t needed = (std::uint64_t{remaining_} + payload_size() - 1) / payload_size();
    const std::uint64_t room = (kMaxBlockOffset - current_) / src_.block_size + 1;
    const std::size_t most =
        static_cast<std::size_t>(std::min<std::uint64_t>({batch, needed, room}));
    std::array<std::uint32_t, kMaxBatch> payload_sizes;
    std::uint64_t planned = 0;
    std::size_t k = 0;
    for (; k < most; ++k) {
      const auto n =
          static_cast<std::uint32_t>(std::min<std::uint64_t>(remaining_ - planned, payload_size()));
      // Only blocks that end inside the file and whose payloads fit the buffer are read ahead;
      // a block that does not is read on its own, which reports why.
      if (current_ + k * std::uint64_t{src_.block_size} + 4 + n > src_.file_size) break;
      if (written_ + planned + n > out_.size()) break;
      payload_sizes[k] = n;
      planned += n;
    }
    if (k == 0) {
      if (auto r = read_one_block(); !r) return Unexpected(std::move(r.error()));
      return false;
    }

    std::array<std::array<std::uint8_t, 4>, kMaxBatch> pointers;
    const ssize_t got =
        k == 1 ? read_single(pointers, payload_sizes) : read_vectored(pointers, payload_sizes, k);
    // A failed read-ahead says nothing about the chain: read the block on its own, which meets
    // the same failure only if the chain really needs those bytes.
    std::uint64_t available = got < 0 ? 0 : static_cast<std::uint64_t>(got);

    for (std::size_t j = 0; j < k; ++j) {
      const std::uint64_t block_bytes = 4 + std::uint64_t{payload_sizes[j]};
      if (available < block_bytes) {
        if (auto r = read_one_block(); !r) return Unexpected(std::move(r.error()));
        return false;
      }
      available -= block_bytes;
      const auto next = detail::load_le<std::uint32_t>(pointers[j].data());
      if (next == 0) {
        if (auto r = read_last_block_rest(payload_sizes[j]); !r) return Unexpected(r.error());
        return true;
      }
      if (auto r = count_block(); !r) return Unexpected(std::move(r.error()));
      written_ += payload_sizes[j];
      remaining_ -= payload_sizes[j];
      const std::uint64_t following = static_cast<std::uint64_t>(current_) + src_.block_size;
      current_ = next;
      if (next != following) {
        contiguous_ = false;
        return false;
      }
    }
    return true;
  }

  // The pointer and payload of the current block alone with one plain positioned read, which
  // costs less than a vectored one. The read goes straight into place over the four output bytes
  // before the payload, which are put back afterwards; a chain's first block, with nothing
  // before it, goes through a small buffer, or a vectored read when larger. Returns what the read
  // returned.
  ssize_t read_single(std::array<std::array<std::uint8_t, 4>, kMaxBatch>& pointers,
                      const std::array<std::uint32_t, kMaxBatch>& payload_sizes) {
    const std::uint32_t n = payload_sizes[0];
    const std::size_t bytes = 4 + std::size_t{n};
    if (written_ >= 4) {
      std::uint8_t* at = out_.data() + written_ - 4;
      std::array<std::uint8_t, 4> kept;
      std::memcpy(kept.data(), at, 4);
      const ssize_t got = pread_all(at, bytes);
      std::memcpy(pointers[0].data(), at, 4);
      std::memcpy(at, kept.data(), 4);
      return got;
    }
    if (bytes > kSmallBlock) return read_vectored(pointers, payload_sizes, 1);
    std::array<std::uint8_t, kSmallBlock> block;
    const ssize_t got = pread_all(block.data(), bytes);
    if (got == static_cast<ssize_t>(bytes)) {
      std::memcpy(pointers[0].data(), block.data(), 4);
      std::memcpy(out_.data() + written_, block.data() + 4, n);
    }
    return got;
  }

  ssize_t pread_all(std::uint8_t* into, std::size_t bytes) const {
    ssize_t got = -1;
    do {
      got = ::pread(src_.file.fd(), into, bytes, static_cast<off_t>(current_));
    } while (got < 0 && errno == EINTR);
    return got;
  }

  // The pointers and payloads of `k` blocks lying one after another, each payload straight into
  // place. Returns what preadv returned.
  ssize_t read_vectored(std::array<std::array<std::uint8_t, 4>, kMaxBatch>& pointers,
                        const std::array<std::uint32_t, kMaxBatch>& payload_sizes, std::size_t k) {
    std::array<iovec, 2 * kMaxBatch> iov;
    std::uint64_t at = written_;
    for (std::size_t j = 0; j < k; ++j) {
      iov[2 * j] = {pointers[j].data(), 4};
      iov[2 * j + 1] = {out_.data() + at, payload_sizes[j]};
      at += payload_sizes[j];
    }
    ssize_t got = -1;
    do {
      got = ::preadv(src_.file.fd(), iov.data(), static_cast<int>(2 * k),
                     static_cast<off_t>(current_));
    } while (got < 0 && errno == EINTR);
    return got;
  }

  ChainSource src_;
  std::uint32_t start_;
  std::uint32_t remaining_;
  std::uint32_t current_;
  std::size_t first_batch_;
  std::span<std::uint8_t> out_;
  std::uint64_t blocks_ = 0;
  std::uint64_t written_ = 0;
  bool contiguous_ = true;
};

}  // namespace quorvale_dat::detail
