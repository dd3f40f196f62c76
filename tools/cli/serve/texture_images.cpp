#include "texture_images.hpp"

#include <utility>

#include "ids.hpp"
#include "png_writer.hpp"
#include "quorvale_dat/image.hpp"
#include "texture_export.hpp"

namespace quorvale_dat::cli::serve {

Expected<ImageFile, Failure> texture_file(const DatDatabase& db, std::uint32_t id,
                                          const std::vector<std::uint8_t>& record,
                                          std::optional<std::uint32_t> palette) {
  auto exported = export_texture(db, id, record, palette);
  if (!exported) return Unexpected(std::move(exported.error()));
  return ImageFile{std::move(exported->bytes), exported->jpeg};
}

Expected<ImageFile, Failure> texture_thumbnail(const DatDatabase& db, std::uint32_t id,
                                               const std::vector<std::uint8_t>& record,
                                               std::optional<std::uint32_t> palette,
                                               std::uint32_t max_side) {
  auto texture = file_type::Texture::unpack(record);
  if (!texture) return Unexpected(failure("texture " + hex8(id), texture.error()));
  auto picture = texture_picture(db, id, *texture, palette);
  if (!picture) return Unexpected(std::move(picture.error()));
  if (!picture->jpeg.empty()) return ImageFile{std::move(picture->jpeg), true};
  auto png = encode_png(thumbnail(picture->image, max_side));
  if (!png) return Unexpected(Failure{kExitData, "texture " + hex8(id) + ": " + png.error()});
  return ImageFile{std::move(*png), false};
}

}  // namespace quorvale_dat::cli::serve
