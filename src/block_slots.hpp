// BlockSlots: which chain took each block slot of the file, for telling chains that share blocks
// (verify, and for_each_file's overlap check). It costs 4 bytes per block of the file, whatever
// the chains claim: a crafted directory whose entries all name one chain adds nothing.
//
// The file is cut into slots of block_size bytes on the grid the archive's blocks lie on (the slot
// of a block at offset p is (p - origin) / block_size; grid_origin() finds the origin as the
// offset, modulo block_size, that most chains start at). A block takes the slot it starts in; a
// last block that supplies more than a block's payload takes every slot its bytes touch. In an
// archive whose blocks lie on one grid, as a writer of fixed-size blocks puts them, two blocks
// take one slot exactly when they share bytes. Off the grid, blocks that keep apart are not
// taken for sharing (but for a long last block, whose slots may be shared with a block just past
// its end), while two that overlap across a slot's edge can go unnoticed: a crafted archive gains
// at most a second copy of a chain that way, and the callers' output bounds hold whatever it does.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "block_chain.hpp"
#include "quorvale_dat/file_entry.hpp"

namespace quorvale_dat::detail {

class BlockSlots {
 public:
  BlockSlots(std::uint64_t file_size, std::uint32_t block_size, std::uint32_t origin);

  // The grid the chains of `entries` and the root node start on: the most frequent offset
  // modulo the slot size (a sample of at most 65,536 entries, spread over them, decides).
  [[nodiscard]] static std::uint32_t grid_origin(std::span<const DatFileEntry> entries,
                                                 std::uint32_t root_offset,
                                                 std::uint32_t block_size);

  struct Claim {
    enum class Kind : std::uint8_t { Free, Own, Other };
    Kind kind = Kind::Free;
    std::uint32_t owner = 0;  // Own, Other: who took the slot first
  };

  // Takes the slots `block` touches for `owner` (not 0). At the first slot taken before it stops
  // and says by whom: the same owner (the chain visits the block again) or another.
  [[nodiscard]] Claim claim(const ChainBlock& block, std::uint32_t owner);

 private:
  std::uint64_t file_size_;
  std::uint64_t slot_size_;
  std::uint64_t shift_;  // slot_size - origin: slot = (offset + shift) / slot_size
  std::vector<std::uint32_t> owners_;
};

}  // namespace quorvale_dat::detail
