// Helpers of the archive reader that stand on their own: the positioned read every archive read
// goes through, and the LRS decompressor of stored records.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "quorvale_dat/expected.hpp"
#include "quorvale_dat/file.hpp"
#include "quorvale_dat/io_error.hpp"

namespace quorvale_dat::utils {

// Reads exactly buf.size() bytes at absolute `offset` with pread, neither using nor moving the
// file position. Interrupted reads are repeated; a read that finds the end of the file first
// fails with the short-read error ("failed to fill whole buffer"). An empty buffer succeeds
// without touching the file.
[[nodiscard]] Expected<void, IoError> read_exact_at_compat(const File& file,
                                                           std::span<std::uint8_t> buf,
                                                           std::uint64_t offset);

// Decompresses an LRS stream: a little-endian u32 declared size, then groups of a flag byte
// (bits from 0x80 down: 0 literal, 1 back-reference) and eight tokens. A back-reference is two
// bytes b0 b1: distance b0 | (b1 & 0xF0) << 4, length (b1 & 0x0F) + 2, copied byte by byte from
// the output itself, from index 0 when the distance reaches before the start.
//
// Never fails: a short or malformed stream yields the output made up to the point where it
// stops (the input runs out, a distance of 0, or a back-reference while the output is still
// empty, which has nothing to copy). An input shorter than 4 bytes is returned unchanged. The
// output never exceeds the declared size, and no more than min(declared size, 8 x input size)
// plus 144 bytes (one group's largest expansion) is ever reserved, since no stream can expand
// more than eightfold.
[[nodiscard]] std::vector<std::uint8_t> decompress_lrs(std::span<const std::uint8_t> input);

}  // namespace quorvale_dat::utils
