// A texture record turned into what `quorvale-dat texture` writes: the image, drawn through the
// texture's default palette or a chosen one, and its file. Defined with the command in
// cmd_texture.cpp (export_of in texture_export.cpp); the server serves the same files.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "commands.hpp"
#include "quorvale_dat/database.hpp"
#include "quorvale_dat/expected.hpp"
#include "quorvale_dat/file_type/texture.hpp"
#include "quorvale_dat/image.hpp"
#include "status.hpp"

namespace quorvale_dat::cli {

// What a format is written as: a PNG of its pixels for every format the library converts
// (quorvale_dat/image.hpp), the JPEG file a CustomRawJpeg texture holds, or nothing.
enum class Export { Png, Jpeg, Unsupported };
[[nodiscard]] Export export_of(file_type::SurfacePixelFormat format) noexcept;

struct TexturePicture {
  Image image;                     // when jpeg is empty
  std::vector<std::uint8_t> jpeg;  // CustomRawJpeg: the JPEG file the texture holds
};

// Texture `id`, decoded as `texture`, as an image. `palette` names the palette of a P8 or
// Index16 texture in place of its default one: one that is absent is kExitAbsent, one for a
// texture without a palette kExitUsage; every fault of the archive (a default palette missing, a
// format without an export, pixel data of the wrong length) is kExitData.
[[nodiscard]] Expected<TexturePicture, Failure> texture_picture(
    const DatDatabase& db, std::uint32_t id, const file_type::Texture& texture,
    std::optional<std::uint32_t> palette);

struct ExportedTexture {
  std::vector<std::uint8_t> bytes;
  bool jpeg = false;
};

// The file `quorvale-dat texture` writes for texture `id`, whose record is `bytes`: in the format
// `wanted`, or without one in the texture's own (the JPEG file of CustomRawJpeg, else PNG).
[[nodiscard]] Expected<ExportedTexture, Failure> export_texture(
    const DatDatabase& db, std::uint32_t id, std::span<const std::uint8_t> bytes,
    std::optional<std::uint32_t> palette, std::optional<TextureFormat> wanted = std::nullopt);

}  // namespace quorvale_dat::cli
