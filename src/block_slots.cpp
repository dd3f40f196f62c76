#include "block_slots.hpp"

#include <algorithm>

namespace quorvale_dat::detail {
namespace {

// Blocks of 4 bytes or less hold no payload and chains of them are one block long; slots of 5
// bytes keep the map small.
constexpr std::uint64_t kMinSlot = format::kBlockPointerSize + 1;

}  // namespace

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
  const std::uint64_t last = (end - 1 + shift_) / slot_size_;
  for (std::uint64_t s = (begin + shift_) / slot_size_; s <= last; ++s) {
    std::uint32_t& taken = owners_[static_cast<std::size_t>(s)];
    if (taken == 0) {
      taken = owner;
      continue;
    }
    return {taken == owner ? Claim::Kind::Own : Claim::Kind::Other, taken};
  }
  return {};
}

}  // namespace quorvale_dat::detail
