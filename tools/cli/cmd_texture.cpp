// quorvale-dat texture ARCHIVE ID -o FILE [--format png|jpeg|raw] [--palette ID]: a texture as a
// PNG file, the JPEG file a CustomRawJpeg texture holds, or its pixel data as stored.
// texture ARCHIVE --all DIR: every texture into DIR, as PNG or JPEG.
#include <algorithm>
#include <span>
#include <string>
#include <vector>

#include "archive.hpp"
#include "bulk_read.hpp"
#include "commands.hpp"
#include "ids.hpp"
#include "output.hpp"
#include "png_writer.hpp"
#include "quorvale_dat/file_type/palette.hpp"
#include "quorvale_dat/file_type/texture.hpp"
#include "quorvale_dat/image.hpp"
#include "texture_export.hpp"

namespace quorvale_dat::cli {
namespace {

namespace ft = file_type;

// The ARGB colours of the palette an indexed texture is drawn with: `chosen` when the command
// line names one (absent: kExitAbsent), else the texture's default palette (absent: data).
Expected<std::vector<std::uint32_t>, Failure> palette_colours(const DatDatabase& db,
                                                              std::uint32_t texture_id,
                                                              const ft::Texture& texture,
                                                              std::optional<std::uint32_t> chosen) {
  const std::uint32_t palette_id = chosen.value_or(texture.default_palette_id.value_or(0));
  // A palette named on the command line was checked before the archive was opened.
  if (auto mismatch = type_mismatch(palette_id, RecordType::Palette, "default palette")) {
    return Unexpected(Failure{kExitData, "texture " + hex8(texture_id) + ": " + *mismatch});
  }
  auto bytes =
      chosen ? fetch_requested(db, palette_id)
             : fetch_referenced(db, palette_id,
                                "texture " + hex8(texture_id) + ": palette " + hex8(palette_id));
  if (!bytes) return Unexpected(std::move(bytes.error()));
  auto palette = ft::Palette::unpack(*bytes);
  if (!palette) {
    return Unexpected(Failure{kExitData, "texture " + hex8(texture_id) + ": palette " +
                                             hex8(palette_id) + ": " + one_line(palette.error())});
  }
  return std::move(palette->colors);
}

// Why texture `name`, which exports as `holds`, cannot be written as the other image format, and
// how it can be.
Failure format_mismatch(const std::string& name, const ft::SurfacePixelFormat& format,
                        Export holds) {
  const std::string text =
      holds == Export::Jpeg
          ? name +
                " holds JPEG data, which cannot be written as PNG: write it as JPEG (a .jpg "
                "name or --format jpeg)"
          : name + " is " + format.name() +
                " data, which cannot be written as JPEG: write it as PNG (a .png name or "
                "--format png)";
  return Failure{kExitUsage, text + " or as stored (--format raw)"};
}

}  // namespace

Expected<TexturePicture, Failure> texture_picture(const DatDatabase& db, std::uint32_t id,
                                                  const ft::Texture& texture,
                                                  std::optional<std::uint32_t> chosen_palette) {
  const std::string name = "texture " + hex8(id);
  const ft::SurfacePixelFormat format = texture.format();
  switch (export_of(format)) {
    case Export::Unsupported:
      return Unexpected(Failure{kExitData, name + ": format " + format.name() + " (" +
                                               std::to_string(texture.format_raw) +
                                               ") has no export as an image; --format raw writes "
                                               "its pixel data as stored"});
    case Export::Jpeg: {
      const std::vector<std::uint8_t>& data = texture.source_data;
      if (data.size() < 2 || data[0] != 0xFF || data[1] != 0xD8) {
        return Unexpected(
            Failure{kExitData, name + ": CustomRawJpeg data does not start with a JPEG marker"});
      }
      return TexturePicture{{}, data};
    }
    case Export::Png:
      break;
  }

  std::vector<std::uint32_t> colours;
  if (chosen_palette && !is_indexed(format)) {
    return Unexpected(Failure{
        kExitUsage, "--palette: " + name + " is " + format.name() + ", which uses no palette"});
  }
  if (is_indexed(format)) {
    auto found = palette_colours(db, id, texture, chosen_palette);
    if (!found) return Unexpected(std::move(found.error()));
    colours = std::move(*found);
  }
  auto image = texture_image(texture, colours);
  if (!image) return Unexpected(Failure{kExitData, name + ": " + image.error().display()});
  return TexturePicture{std::move(*image), {}};
}

Expected<ExportedTexture, Failure> export_texture(const DatDatabase& db, std::uint32_t id,
                                                  std::span<const std::uint8_t> bytes,
                                                  std::optional<std::uint32_t> chosen_palette,
                                                  std::optional<TextureFormat> wanted) {
  const std::string name = "texture " + hex8(id);
  auto texture = ft::Texture::unpack(bytes);
  if (!texture) return Unexpected(failure(name, texture.error()));
  const ft::SurfacePixelFormat format = texture->format();

  const Export holds = export_of(format);
  if (wanted == TextureFormat::Raw) return ExportedTexture{std::move(texture->source_data), false};
  if (holds != Export::Unsupported && wanted &&
      (*wanted == TextureFormat::Jpeg) != (holds == Export::Jpeg)) {
    return Unexpected(format_mismatch(name, format, holds));
  }
  auto picture = texture_picture(db, id, *texture, chosen_palette);
  if (!picture) return Unexpected(std::move(picture.error()));
  if (!picture->jpeg.empty()) return ExportedTexture{std::move(picture->jpeg), true};
  auto png = encode_png(picture->image);
  if (!png) return Unexpected(Failure{kExitData, name + ": " + png.error()});
  return ExportedTexture{std::move(*png), false};
}

namespace {

Result export_one(const DatDatabase& db, const TextureOptions& options) {
  auto bytes = fetch_requested(db, *options.id);
  if (!bytes) return Unexpected(std::move(bytes.error()));
  auto exported = export_texture(db, *options.id, *bytes, options.palette, options.format);
  if (!exported) return Unexpected(std::move(exported.error()));
  if (*options.output == "-") {
    out_bytes(exported->bytes);
    return {};
  }
  return write_file(*options.output, exported->bytes);
}

Result export_all(const std::string& archive, const DatDatabase& db, const std::string& dir_path,
                  const BulkOptions& bulk) {
  auto dir = OutputDir::open(dir_path);
  if (!dir) return Unexpected(std::move(dir.error()));
  const BulkOutcome outcome = read_all(
      archive, db, bulk, "texture", "texture",
      [](const DatFileEntry& e) { return record_type(e.id) == RecordType::Texture; },
      [&](const DatFileEntry& e,
          std::span<const std::uint8_t> bytes) -> Expected<std::uint64_t, Failure> {
        auto exported = export_texture(db, e.id, bytes, std::nullopt);
        if (!exported) return Unexpected(std::move(exported.error()));
        auto written = dir->write(hex8(e.id) + (exported->jpeg ? ".jpg" : ".png"), exported->bytes);
        if (!written) return Unexpected(std::move(written.error()));
        return exported->bytes.size();
      });
  if (outcome.failed > 0) {
    return Unexpected(Failure{outcome.status, std::to_string(outcome.failed) + " of " +
                                                  std::to_string(outcome.selected) +
                                                  " textures could not be exported"});
  }
  return {};
}

}  // namespace

Result run_texture(const TextureOptions& options) {
  auto db = open_archive(options.archive, options.all_dir ? Access::sequential : Access::normal);
  if (!db) return Unexpected(std::move(db.error()));
  return options.all_dir ? export_all(options.archive, *db, *options.all_dir, options.bulk)
                         : export_one(*db, options);
}

}  // namespace quorvale_dat::cli
