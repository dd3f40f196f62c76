// Texture images for the server: the file `quorvale-dat texture` writes, and thumbnails. This is
// the one place where the server turns texture records into pixels.
//
//   auto png = texture_file(db, 0x06000C30, record, std::nullopt);     // the export's bytes
//   auto small = texture_thumbnail(db, 0x06000C30, record, std::nullopt, 128);
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "quorvale_dat/database.hpp"
#include "quorvale_dat/expected.hpp"
#include "status.hpp"

namespace quorvale_dat::cli::serve {

struct ImageFile {
  std::vector<std::uint8_t> bytes;
  bool jpeg = false;  // a CustomRawJpeg texture's JPEG file, not a PNG
};

// What `quorvale-dat texture ID -o FILE [--palette P]` writes, byte for byte. The failures are
// those of texture_picture() (texture_export.hpp).
[[nodiscard]] Expected<ImageFile, Failure> texture_file(const DatDatabase& db, std::uint32_t id,
                                                        const std::vector<std::uint8_t>& record,
                                                        std::optional<std::uint32_t> palette);

// The texture scaled down to fit `max_side` x `max_side` by the library's thumbnail()
// (quorvale_dat/image.hpp), keeping its aspect ratio and never enlarged: a texture that fits
// already is its texture_file() PNG, a scaled one an RGBA PNG of area-weighted averages. A JPEG
// texture is its JPEG file, unscaled: the server does not decode JPEG. Requires: max_side >= 1.
[[nodiscard]] Expected<ImageFile, Failure> texture_thumbnail(
    const DatDatabase& db, std::uint32_t id, const std::vector<std::uint8_t>& record,
    std::optional<std::uint32_t> palette, std::uint32_t max_side);

}  // namespace quorvale_dat::cli::serve
