// Texture records: one image's size, pixel-format code, raw pixel bytes and, for the indexed
// formats P8 and Index16, a default palette id.
//
// Layout, little-endian: u32 id, i32 _unknown, i32 width, i32 height, u32 format_raw,
// i32 length, `length` bytes of source_data, then a u32 default_palette_id only when format_raw
// is 41 (P8) or 101 (Index16). Bytes after the last field are ignored; whether length agrees
// with the size and format is not checked.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "quorvale_dat/dat_error.hpp"
#include "quorvale_dat/reader.hpp"

namespace quorvale_dat::file_type {

// A pixel-format code. The named codes below 0x100 are the Direct3D 9 format numbers; the Dxt
// codes are the four characters "DXT1".."DXT5" read as a little-endian u32. Any other code is
// carried as Other with its value.
class SurfacePixelFormat {
 public:
  enum class Kind {
    Unknown,
    R8G8B8,
    A8R8G8B8,
    R5G6B5,
    A4R4G4B4,
    A8,
    P8,
    Index16,
    CustomLscapeR8G8B8,
    CustomLscapeAlpha,
    CustomRawJpeg,
    Dxt1,
    Dxt2,
    Dxt3,
    Dxt4,
    Dxt5,
    Other,
  };

  // The named case for `code`, or Other carrying `code`. Never fails.
  [[nodiscard]] static SurfacePixelFormat from_u32(std::uint32_t code) noexcept;

  [[nodiscard]] Kind kind() const noexcept { return kind_; }
  // The stored code: the case's own value, or Other's payload.
  [[nodiscard]] std::uint32_t code() const noexcept { return code_; }
  // The case name ("P8", "Dxt1"), or "Other(22)" for an unnamed code.
  [[nodiscard]] std::string name() const;

  friend bool operator==(const SurfacePixelFormat&, const SurfacePixelFormat&) = default;

 private:
  SurfacePixelFormat(Kind kind, std::uint32_t code) noexcept : kind_(kind), code_(code) {}

  Kind kind_;
  std::uint32_t code_;
};

struct Texture {
  std::uint32_t id = 0;  // as stored; not compared with the id it was fetched by
  std::int32_t _unknown = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::uint32_t format_raw = 0;
  std::int32_t length = 0;  // == source_data.size() after a successful decode
  std::vector<std::uint8_t> source_data;
  std::optional<std::uint32_t> default_palette_id;  // present exactly for P8 and Index16

  [[nodiscard]] SurfacePixelFormat format() const noexcept {
    return SurfacePixelFormat::from_u32(format_raw);
  }

  // A negative length fails with "count <length> out of range of usize" at the position after
  // it, without a field frame; too few pixel bytes fail with "not enough bytes in reader".
  [[nodiscard]] static ParseResult<Texture> read(SpanCursor& cursor);
  // Decodes a whole record; a parse failure comes back as DatError::BinRead.
  [[nodiscard]] static Expected<Texture, DatError> unpack(std::span<const std::uint8_t> bytes);

  friend bool operator==(const Texture&, const Texture&) = default;
};

}  // namespace quorvale_dat::file_type
