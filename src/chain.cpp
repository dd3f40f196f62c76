// Reading a block chain: each block is a little-endian u32 pointer to the next block (0 for the
// last) followed by block_size - 4 payload bytes; a chain's content is its payloads in order.

#include <algorithm>

#include "hex.hpp"
#include "quorvale_dat/database.hpp"
#include "quorvale_dat/utils.hpp"

namespace quorvale_dat {
namespace {

// The highest block offset whose payload offset (offset + 4) still fits in 32 bits.
constexpr std::uint32_t kMaxBlockOffset = 0xFFFFFFFBu;

DatError corruption(std::string text) { return DatError::Corruption{std::move(text)}; }

}  // namespace

Expected<std::vector<std::uint8_t>, DatError> DatDatabase::read_file_data(
    std::uint32_t offset, std::uint32_t size) const {
  std::vector<std::uint8_t> out;
  if (size == 0) return out;

  // Without revisiting blocks a chain supplies at most the file's own bytes, so the buffer
  // starts no larger than the file; it grows only while the chain keeps supplying bytes, and a
  // chain that visits more full blocks than the file holds is corrupt.
  out.resize(static_cast<std::size_t>(std::min<std::uint64_t>(size, file_size_)));
  const std::uint32_t block_size = header_.block_size;
  const std::uint64_t max_blocks = block_size == 0 ? 0 : file_size_ / block_size + 1;

  std::uint64_t written = 0;
  std::uint32_t remaining = size;
  std::uint32_t current = offset;
  std::uint64_t blocks = 0;
  while (remaining > 0) {
    if (current > kMaxBlockOffset) {
      return Unexpected(corruption("block at offset " + detail::hex8(current) +
                                   " leaves no room for its payload"));
    }
    std::uint8_t pointer_bytes[4];
    if (auto r = utils::read_exact_at_compat(file_, pointer_bytes, current); !r) {
      return Unexpected(std::move(r.error()));
    }
    const auto next = detail::load_le<std::uint32_t>(pointer_bytes);

    std::uint32_t n = remaining;
    if (next != 0) {
      if (block_size <= 4) {
        return Unexpected(corruption("block size " + std::to_string(block_size) +
                                     " leaves no room for a payload (block at offset " +
                                     detail::hex8(current) + ")"));
      }
      if (++blocks > max_blocks) {
        return Unexpected(corruption("block chain at offset " + detail::hex8(offset) +
                                     " visits more blocks than the file holds"));
      }
      n = std::min(remaining, block_size - 4);
    }

    const std::uint64_t payload = static_cast<std::uint64_t>(current) + 4;
    if (written + n > out.size()) {
      // Only a stored size beyond the file's size gets here. The last block reads the rest of
      // the chain in one piece, which the file cannot hold.
      if (next == 0 && payload + n > file_size_) return Unexpected(IoError::short_read());
      out.resize(static_cast<std::size_t>(
          std::min<std::uint64_t>(size, std::max<std::uint64_t>(written + n, 2 * out.size()))));
    }
    auto target = std::span(out).subspan(static_cast<std::size_t>(written), n);
    if (auto r = utils::read_exact_at_compat(file_, target, payload); !r) {
      return Unexpected(std::move(r.error()));
    }
    written += n;
    remaining -= n;
    current = next;
  }
  out.resize(static_cast<std::size_t>(written));
  return out;
}

}  // namespace quorvale_dat
