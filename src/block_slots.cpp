#include "block_slots.hpp"

#include <algorithm>
#include <unordered_map>

namespace quorvale_dat::detail {
namespace {

// Blocks of 4 bytes or less hold no payload and chains of them are one block long; slots of 5
// bytes keep the map small.
constexpr std::uint64_t kMinSlot = format::kBlockPointerSize + 1;

std::uint64_t slot_size_of(std::uint32_t block_size) {
  return std::max<std::uint64_t>(block_size, kMinSlot);
}

}  // namespace

std::uint32_t BlockSlots::grid_origin(std::span<const DatFileEntry> entries,
                                      std::uint32_t root_offset, std::uint32_t block_size) {
  const std::uint64_t slot = slot_size_of(block_size);
  constexpr std::size_t kSample = 65536;
  const std::size_t step = std::max<std::size_t>(1, entries.size() / kSample);
  std::unordered_map<std::uint64_t, std::uint32_t> counts;
  if (root_offset != 0) ++counts[root_offset % slot];
  for (std::size_t i = 0; i < entries.size(); i += step) {
    if (entries[i].size != 0) ++counts[entries[i].offset % slot];
  }
  std::uint64_t best = (format::kHeaderOffset + format::kHeaderSize) % slot;
  std::uint32_t best_count = 0;
  for (const auto& [residue, count] : counts) {
    if (count > best_count || (count == best_count && residue < best)) {
      best = residue;
      best_count = count;
    }
  }
  return static_cast<std::uint32_t>(best);
}

BlockSlots::BlockSlots(std::uint64_t file_size, std::uint32_t block_size, std::uint32_t root_offset)
    : file_size_(file_size), slot_size_(std::max<std::uint64_t>(block_size, kMinSlot)) {
  const std::uint64_t origin =
      (root_offset != 0 ? root_offset : format::kHeaderOffset + format::kHeaderSize) % slot_size_;
  shift_ = slot_size_ - origin;
  owners_.assign(static_cast<std::size_t>((file_size + shift_) / slot_size_ + 1), 0);
}

BlockSlots::Claim BlockSlots::claim(const ChainBlock& block, std::uint32_t owner) {
  const std::uint64_t begin = block.offset;
  if (begin >= file_size_) return {};
  const std::uint64_t length = std::max<std::uint64_t>(
      slot_size_, format::kBlockPointerSize + std::uint64_t{block.supplied});
  const std::uint64_t end = std::min(file_size_, begin + length);
  // A block of block_size bytes takes the slot it starts in; a longer one every slot it touches.
  const std::uint64_t first = (begin + shift_) / slot_size_;
  const std::uint64_t last = length > slot_size_ ? (end - 1 + shift_) / slot_size_ : first;
  for (std::uint64_t s = first; s <= last; ++s) {
    std::uint32_t& taken = owners_[static_cast<std::size_t>(s)];
    if (taken != 0) return {taken == owner ? Claim::Kind::Own : Claim::Kind::Other, taken};
    taken = owner;
  }
  return {};
}

}  // namespace quorvale_dat::detail
