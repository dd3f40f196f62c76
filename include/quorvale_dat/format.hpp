// The constants of the DAT archive format, in one place: where the header lies, how blocks,
// directory nodes and entries are laid out, and the type bytes of the records this library
// decodes. docs/format.md describes the same layout field by field.
//
//   if (quorvale_dat::record_type(id) == quorvale_dat::RecordType::Texture) ...
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quorvale_dat {

namespace format {

// The 80-byte header at absolute offset 320 (0x140); the bytes before it are not read.
inline constexpr std::uint64_t kHeaderOffset = 320;
inline constexpr std::uint64_t kHeaderSize = 80;
// The header's version_string: raw bytes, not decoded as text.
inline constexpr std::size_t kVersionStringSize = 16;

// A block is a little-endian u32 offset of the next block (0 for the last) and block_size - 4
// payload bytes.
inline constexpr std::uint32_t kBlockPointerSize = 4;
// The highest block offset whose payload offset (offset + 4) still fits in 32 bits.
inline constexpr std::uint32_t kMaxBlockOffset = 0xFFFFFFFFu - kBlockPointerSize;

// A directory entry: six little-endian u32 (bit_flags, id, offset, size, timestamp, version).
inline constexpr std::size_t kEntrySize = 24;
// Bit 0 of an entry's bit_flags: the stored bytes are LRS-compressed.
inline constexpr std::uint32_t kCompressedFlag = 1;

// A directory node's content: 62 u32 child offsets, a u32 entry count and room for 61 entries.
inline constexpr std::size_t kBranchSlots = 62;
inline constexpr std::size_t kEntrySlots = 61;
inline constexpr std::size_t kEntryCountOffset = kBranchSlots * 4;
inline constexpr std::size_t kEntriesOffset = kEntryCountOffset + 4;
inline constexpr std::uint32_t kNodeSize = kEntriesOffset + kEntrySlots * kEntrySize;
static_assert(kNodeSize == 1716);

}  // namespace format

// The type of a record: the top byte of its id. Only the types this library decodes have names;
// every other byte is a valid RecordType all the same.
enum class RecordType : std::uint8_t {
  Palette = 0x04,
  SurfaceTexture = 0x05,
  Texture = 0x06,
  Surface = 0x08,
};

[[nodiscard]] constexpr RecordType record_type(std::uint32_t id) noexcept {
  return static_cast<RecordType>(id >> 24);
}

[[nodiscard]] constexpr std::uint8_t type_byte(RecordType type) noexcept {
  return static_cast<std::uint8_t>(type);
}

// The type's name in messages and listings: "palette", "texture list", "texture", "surface";
// empty for a type without a decoder.
[[nodiscard]] constexpr std::string_view record_type_name(RecordType type) noexcept {
  switch (type) {
    case RecordType::Palette:
      return "palette";
    case RecordType::SurfaceTexture:
      return "texture list";
    case RecordType::Texture:
      return "texture";
    case RecordType::Surface:
      return "surface";
  }
  return {};
}

}  // namespace quorvale_dat
