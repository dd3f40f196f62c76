#include "chain_walk.hpp"

#include <algorithm>
#include <span>
#include <unordered_set>

#include "ids.hpp"
#include "quorvale_dat/utils.hpp"

namespace quorvale_dat::cli {
namespace {

// The highest block offset whose payload offset (offset + 4) still fits in 32 bits.
constexpr std::uint32_t kMaxBlockOffset = 0xFFFFFFFBu;

std::string block_text(std::uint32_t offset) { return "block " + hex8(offset); }

}  // namespace

ChainWalker::ChainWalker(const File& file, std::uint64_t file_size,
                         std::uint32_t block_size) noexcept
    : file_(&file),
      file_size_(file_size),
      block_size_(block_size),
      max_linked_blocks_(block_size == 0 ? 0 : file_size / block_size) {}

Expected<ChainWalk, Failure> ChainWalker::walk(std::uint32_t offset, std::uint32_t size,
                                               bool read_content) {
  ChainWalk walk;
  const auto broken = [&](std::string problem) {
    walk.problem = std::move(problem);
    walk.content.clear();
    return walk;
  };
  // Short reads cannot happen below: every read is checked against the file's size first.
  const auto read = [&](std::span<std::uint8_t> buf, std::uint64_t at) -> Expected<void, Failure> {
    if (auto r = utils::read_exact_at_compat(*file_, buf, at); !r) {
      return Unexpected(Failure{kExitIo, "cannot read the archive: " + r.error().display()});
    }
    return {};
  };

  std::unordered_set<std::uint32_t> visited;
  std::uint32_t remaining = size;
  std::uint32_t current = offset;
  while (remaining > 0) {
    if (exhausted()) {
      return broken("not followed: the chains claim more blocks than the file holds");
    }
    if (current > kMaxBlockOffset) {
      return broken(block_text(current) + " leaves no room for its payload");
    }
    if (std::uint64_t{current} + 4 > file_size_) {
      return broken(block_text(current) + " lies outside the file");
    }
    if (!visited.insert(current).second) return broken(block_text(current) + " is visited twice");

    std::uint8_t pointer[4];
    if (auto r = read(pointer, current); !r) return Unexpected(std::move(r.error()));
    const std::uint32_t next =
        static_cast<std::uint32_t>(pointer[0]) | static_cast<std::uint32_t>(pointer[1]) << 8 |
        static_cast<std::uint32_t>(pointer[2]) << 16 | static_cast<std::uint32_t>(pointer[3]) << 24;

    std::uint32_t n = remaining;
    if (next != 0) {
      if (block_size_ <= 4) {
        return broken("block size " + std::to_string(block_size_) +
                      " leaves no room for a payload (" + block_text(current) + ")");
      }
      n = std::min(remaining, block_size_ - 4);
      ++linked_blocks_;
    } else if (block_size_ > 4 && n > block_size_ - 4) {
      return broken("the chain ends at " + block_text(current) + " with " +
                    std::to_string(remaining) + " bytes left to read, more than a block holds (" +
                    std::to_string(block_size_ - 4) + ")");
    }
    const std::uint64_t end = std::uint64_t{current} + 4 + n;
    if (end > file_size_) return broken(block_text(current) + " runs past the end of the file");
    walk.blocks.push_back({current, end});
    if (read_content) {
      walk.content.resize(walk.content.size() + n);
      if (auto r = read(std::span(walk.content).last(n), std::uint64_t{current} + 4); !r) {
        return Unexpected(std::move(r.error()));
      }
    }
    remaining -= n;
    current = next;
  }
  return walk;
}

}  // namespace quorvale_dat::cli
