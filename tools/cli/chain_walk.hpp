// Following one block chain the way the archive reader does, but recording where each of its
// blocks lies and saying what is wrong with it instead of stopping at an error: the ground work
// of `verify` and of the tool's own directory walk.
//
// A block is a u32 pointer to the next block (0 for the last) and block_size - 4 payload bytes.
// A chain read for `size` bytes takes min(remaining, block_size - 4) from each block with a
// non-zero pointer, and all remaining bytes from the block whose pointer is 0.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "quorvale_dat/expected.hpp"
#include "quorvale_dat/file.hpp"
#include "status.hpp"

namespace quorvale_dat::cli {

// The bytes of the file a block takes: its pointer and the payload bytes the chain uses.
struct ChainBlock {
  std::uint64_t begin = 0;
  std::uint64_t end = 0;
};

struct ChainWalk {
  std::vector<ChainBlock> blocks;     // the blocks visited, in chain order
  std::string problem;                // why the chain is broken; empty when it is sound
  std::vector<std::uint8_t> content;  // the chain's content, when asked for and sound
};

class ChainWalker {
 public:
  // Requires: `file` outlives the walker.
  ChainWalker(const File& file, std::uint64_t file_size, std::uint32_t block_size) noexcept;

  // Follows the chain of `size` content bytes from `offset`. A read that fails for another reason
  // than the end of the file is the tool's failure (kExitIo), not a problem of the chain.
  [[nodiscard]] Expected<ChainWalk, Failure> walk(std::uint32_t offset, std::uint32_t size,
                                                  bool read_content);

  // Sound chains never share blocks, so all their blocks with a successor together fit in the
  // file. Once the chains walked so far claim more, every further walk stops at once with a
  // problem: a crafted archive cannot make the walks take more than the file supplies.
  [[nodiscard]] bool exhausted() const noexcept { return linked_blocks_ > max_linked_blocks_; }

 private:
  const File* file_;
  std::uint64_t file_size_;
  std::uint32_t block_size_;
  std::uint64_t linked_blocks_ = 0;
  std::uint64_t max_linked_blocks_;
};

}  // namespace quorvale_dat::cli
