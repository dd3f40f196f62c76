#include "pixels.hpp"

#include <algorithm>

#include "dxt.hpp"

namespace quorvale_dat::cli {
namespace {

using Kind = file_type::SurfacePixelFormat::Kind;

std::optional<DxtKind> dxt_kind(Kind kind) noexcept {
  switch (kind) {
    case Kind::Dxt1:
      return DxtKind::Dxt1;
    case Kind::Dxt2:
      return DxtKind::Dxt2;
    case Kind::Dxt3:
      return DxtKind::Dxt3;
    case Kind::Dxt4:
      return DxtKind::Dxt4;
    case Kind::Dxt5:
      return DxtKind::Dxt5;
    default:
      return std::nullopt;
  }
}

// Bytes per pixel of the formats stored pixel by pixel.
std::optional<std::uint32_t> bytes_per_pixel(Kind kind) noexcept {
  switch (kind) {
    case Kind::R8G8B8:
      return 3;
    case Kind::A8R8G8B8:
      return 4;
    case Kind::R5G6B5:
    case Kind::A4R4G4B4:
    case Kind::Index16:
      return 2;
    case Kind::A8:
    case Kind::P8:
      return 1;
    default:
      return std::nullopt;
  }
}

std::uint32_t u16_at(std::span<const std::uint8_t> data, std::size_t i) noexcept {
  return std::uint32_t{data[2 * i]} | std::uint32_t{data[2 * i + 1]} << 8;
}

std::uint8_t byte(std::uint32_t value) noexcept { return static_cast<std::uint8_t>(value); }

// Appends an ARGB colour as R, G, B, A.
void put_argb(std::vector<std::uint8_t>& out, std::uint32_t argb) {
  out.insert(out.end(), {byte(argb >> 16), byte(argb >> 8), byte(argb), byte(argb >> 24)});
}

std::uint32_t palette_colour(std::span<const std::uint32_t> palette, std::uint32_t index) {
  return index < palette.size() ? palette[index] : 0;
}

}  // namespace

Export export_of(file_type::SurfacePixelFormat format) noexcept {
  if (format.kind() == Kind::CustomRawJpeg) return Export::Jpeg;
  if (bytes_per_pixel(format.kind()) || dxt_kind(format.kind())) return Export::Png;
  return Export::Unsupported;
}

bool is_indexed(file_type::SurfacePixelFormat format) noexcept {
  return format.kind() == Kind::P8 || format.kind() == Kind::Index16;
}

std::optional<std::uint64_t> expected_length(file_type::SurfacePixelFormat format,
                                             std::uint32_t width, std::uint32_t height) noexcept {
  if (const auto dxt = dxt_kind(format.kind())) return dxt_image_bytes(*dxt, width, height);
  if (const auto bpp = bytes_per_pixel(format.kind())) {
    return std::uint64_t{width} * height * *bpp;  // below 2^62 * 4 for 31-bit sizes
  }
  return std::nullopt;
}

Expected<Image, std::string> to_image(const file_type::Texture& texture,
                                      std::span<const std::uint32_t> palette) {
  const file_type::SurfacePixelFormat format = texture.format();
  if (export_of(format) != Export::Png) {
    return Unexpected("format " + format.name() + " has no PNG export");
  }
  if (texture.width < 1 || texture.height < 1) {
    return Unexpected("size " + std::to_string(texture.width) + "x" +
                      std::to_string(texture.height) + " is not an image");
  }
  Image image;
  image.width = static_cast<std::uint32_t>(texture.width);
  image.height = static_cast<std::uint32_t>(texture.height);
  const std::uint64_t needed = *expected_length(format, image.width, image.height);
  const std::span<const std::uint8_t> data = texture.source_data;
  if (data.size() != needed) {
    return Unexpected(format.name() + " at " + std::to_string(image.width) + "x" +
                      std::to_string(image.height) + " needs " + std::to_string(needed) +
                      " bytes of pixel data, the texture holds " + std::to_string(data.size()));
  }
  // From here on the pixel data has exactly the size the image needs, so the output is at most
  // eight times the input (Dxt1: 8 bytes for 16 RGBA pixels).
  const std::size_t count = std::size_t{image.width} * image.height;
  std::vector<std::uint8_t>& out = image.pixels;

  if (const auto dxt = dxt_kind(format.kind())) {
    out.resize(4 * count);
    decode_dxt(*dxt, data, image.width, image.height, out);
    return image;
  }
  switch (format.kind()) {
    case Kind::P8: {
      image.kind = Image::Kind::Indexed;
      out.assign(data.begin(), data.end());
      // PNG holds at most 256 colours; indices past the palette's end get transparent black.
      const std::uint8_t top = *std::max_element(data.begin(), data.end());
      const std::size_t entries =
          std::max<std::size_t>(std::min<std::size_t>(palette.size(), 256), std::size_t{top} + 1);
      for (std::uint32_t i = 0; i < entries; ++i)
        image.palette.push_back(palette_colour(palette, i));
      return image;
    }
    case Kind::A8:
      image.kind = Image::Kind::Grey;
      out.assign(data.begin(), data.end());
      return image;
    default:
      break;
  }
  out.reserve(4 * count);
  for (std::size_t i = 0; i < count; ++i) {
    switch (format.kind()) {
      case Kind::R8G8B8:
        out.insert(out.end(), {data[3 * i + 2], data[3 * i + 1], data[3 * i], 255});
        break;
      case Kind::A8R8G8B8:
        out.insert(out.end(), {data[4 * i + 2], data[4 * i + 1], data[4 * i], data[4 * i + 3]});
        break;
      case Kind::R5G6B5: {
        const std::uint32_t v = u16_at(data, i);
        const std::uint32_t r = v >> 11 & 0x1F;
        const std::uint32_t g = v >> 5 & 0x3F;
        const std::uint32_t b = v & 0x1F;
        out.insert(out.end(),
                   {byte(r << 3 | r >> 2), byte(g << 2 | g >> 4), byte(b << 3 | b >> 2), 255});
        break;
      }
      case Kind::A4R4G4B4: {
        const std::uint32_t v = u16_at(data, i);
        out.insert(out.end(), {byte((v >> 8 & 0xF) * 17), byte((v >> 4 & 0xF) * 17),
                               byte((v & 0xF) * 17), byte((v >> 12) * 17)});
        break;
      }
      case Kind::Index16:
        put_argb(out, palette_colour(palette, u16_at(data, i)));
        break;
      default:
        break;  // unreachable: export_of() admitted only the formats handled above
    }
  }
  return image;
}

}  // namespace quorvale_dat::cli
