#include "png_writer.hpp"

#include <png.h>

namespace quorvale_dat::cli {

Expected<std::vector<std::uint8_t>, std::string> encode_png(const Image& image) {
  png_image png{};
  png.version = PNG_IMAGE_VERSION;
  png.width = image.width;
  png.height = image.height;

  std::vector<std::uint8_t> colormap;
  switch (image.layout) {
    case PixelLayout::Rgba:
      png.format = PNG_FORMAT_RGBA;
      break;
    case PixelLayout::Grey:
      png.format = PNG_FORMAT_GRAY;
      break;
    case PixelLayout::Indexed:
      png.format = PNG_FORMAT_RGBA_COLORMAP;
      png.colormap_entries = static_cast<png_uint_32>(image.palette.size());
      for (std::uint32_t argb : image.palette) {
        colormap.insert(
            colormap.end(),
            {static_cast<std::uint8_t>(argb >> 16), static_cast<std::uint8_t>(argb >> 8),
             static_cast<std::uint8_t>(argb), static_cast<std::uint8_t>(argb >> 24)});
      }
      break;
  }

  // The largest PNG the image can make; libpng says how much of it was used.
  png_alloc_size_t size = PNG_IMAGE_PNG_SIZE_MAX(png);
  std::vector<std::uint8_t> bytes(size);
  const int ok = png_image_write_to_memory(&png, bytes.data(), &size, 0, image.pixels.data(), 0,
                                           colormap.empty() ? nullptr : colormap.data());
  if (ok == 0) {
    std::string reason = png.message;
    png_image_free(&png);
    return Unexpected("cannot encode the PNG: " + reason);
  }
  bytes.resize(size);
  return bytes;
}

}  // namespace quorvale_dat::cli
