// BlockSlots: which chain took each block slot of the file, for telling chains that share blocks
// (verify, and for_each_file's overlap check). It costs 4 bytes per block of the file, whatever
// the chains claim: a crafted directory whose entries all name one chain adds nothing.
//
// The file is cut into slots of block_size bytes on the grid of the root node (the slot of a
// block at offset p is (p - origin) / block_size, origin = root_offset % block_size). A block
// takes the slots its bytes touch: block_size bytes from its offset, or more for a last block
// that supplies more than a block's payload. In an archive whose blocks lie on that grid, as a
// writer of fixed-size blocks puts them, two blocks share a slot exactly when they share bytes;
// a block off the grid is taken to share with any block that touches one of its slots.
#pragma once

#include <cstdint>
#include <vector>

#include "block_chain.hpp"

namespace quorvale_dat::detail {

class BlockSlots {
 public:
  BlockSlots(std::uint64_t file_size, std::uint32_t block_size, std::uint32_t root_offset);

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
