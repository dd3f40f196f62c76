#include "quorvale_dat/image.hpp"

#include <algorithm>
#include <cmath>
#include <type_traits>

#include "dxt.hpp"

namespace quorvale_dat {
namespace {

using file_type::SurfacePixelFormat;
using Kind = SurfacePixelFormat::Kind;

std::optional<detail::DxtKind> dxt_kind(Kind kind) noexcept {
  switch (kind) {
    case Kind::Dxt1:
      return detail::DxtKind::Dxt1;
    case Kind::Dxt2:
      return detail::DxtKind::Dxt2;
    case Kind::Dxt3:
      return detail::DxtKind::Dxt3;
    case Kind::Dxt4:
      return detail::DxtKind::Dxt4;
    case Kind::Dxt5:
      return detail::DxtKind::Dxt5;
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

std::uint8_t byte(std::uint32_t value) noexcept { return static_cast<std::uint8_t>(value); }

// The u16 of pixel i, without bounds checking.
std::uint32_t u16_at(const std::uint8_t* data, std::size_t i) noexcept {
  return std::uint32_t{data[2 * i]} | std::uint32_t{data[2 * i + 1]} << 8;
}

// Writes an ARGB colour as R, G, B, A at `out`, without bounds checking.
void put_argb(std::uint8_t* out, std::uint32_t argb) noexcept {
  out[0] = byte(argb >> 16);
  out[1] = byte(argb >> 8);
  out[2] = byte(argb);
  out[3] = byte(argb >> 24);
}

std::uint32_t palette_colour(std::span<const std::uint32_t> palette, std::uint32_t index) noexcept {
  return index < palette.size() ? palette[index] : 0;
}

std::span<const std::uint32_t> colours_or_none(const std::span<const std::uint32_t>* palette) {
  return palette != nullptr ? *palette : std::span<const std::uint32_t>{};
}

// A texture that passed every check: its size as unsigned values.
struct Checked {
  Kind kind;
  std::uint32_t width;
  std::uint32_t height;
  [[nodiscard]] std::size_t count() const noexcept { return std::size_t{width} * height; }
};

Expected<Checked, ImageError> check(const file_type::Texture& texture,
                                    const std::span<const std::uint32_t>* palette) {
  const SurfacePixelFormat format = texture.format();
  if (!has_pixel_conversion(format))
    return Unexpected(ImageError(ImageError::NoConversion{format}));
  if (texture.width < 1 || texture.height < 1) {
    return Unexpected(ImageError(ImageError::InvalidSize{texture.width, texture.height}));
  }
  const Checked checked{format.kind(), static_cast<std::uint32_t>(texture.width),
                        static_cast<std::uint32_t>(texture.height)};
  const std::uint64_t needed = *pixel_data_length(format, checked.width, checked.height);
  if (texture.source_data.size() != needed) {
    return Unexpected(ImageError(ImageError::LengthMismatch{format, checked.width, checked.height,
                                                            needed, texture.source_data.size()}));
  }
  if (is_indexed(format) && palette == nullptr) {
    return Unexpected(ImageError(ImageError::MissingPalette{format}));
  }
  return checked;
}

// The RGBA pixels of a checked texture. From here on the pixel data has exactly the size the
// image needs, so the loops below read and write without bounds checks.
std::vector<std::uint8_t> rgba_pixels(const Checked& t, std::span<const std::uint8_t> data,
                                      std::span<const std::uint32_t> palette) {
  const std::size_t count = t.count();
  std::vector<std::uint8_t> rgba(4 * count);
  std::uint8_t* out = rgba.data();
  const std::uint8_t* in = data.data();
  if (const auto dxt = dxt_kind(t.kind)) {
    detail::decode_dxt(*dxt, data, t.width, t.height, rgba);
    return rgba;
  }
  switch (t.kind) {
    case Kind::R8G8B8:
      for (std::size_t i = 0; i < count; ++i, out += 4, in += 3) {
        out[0] = in[2];
        out[1] = in[1];
        out[2] = in[0];
        out[3] = 255;
      }
      break;
    case Kind::A8R8G8B8:
      for (std::size_t i = 0; i < count; ++i, out += 4, in += 4) {
        out[0] = in[2];
        out[1] = in[1];
        out[2] = in[0];
        out[3] = in[3];
      }
      break;
    case Kind::R5G6B5:
      for (std::size_t i = 0; i < count; ++i, out += 4) {
        const std::uint32_t v = u16_at(in, i);
        const std::uint32_t r = v >> 11 & 0x1F;
        const std::uint32_t g = v >> 5 & 0x3F;
        const std::uint32_t b = v & 0x1F;
        out[0] = byte(r << 3 | r >> 2);
        out[1] = byte(g << 2 | g >> 4);
        out[2] = byte(b << 3 | b >> 2);
        out[3] = 255;
      }
      break;
    case Kind::A4R4G4B4:
      for (std::size_t i = 0; i < count; ++i, out += 4) {
        const std::uint32_t v = u16_at(in, i);
        out[0] = byte((v >> 8 & 0xF) * 17);
        out[1] = byte((v >> 4 & 0xF) * 17);
        out[2] = byte((v & 0xF) * 17);
        out[3] = byte((v >> 12) * 17);
      }
      break;
    case Kind::A8:
      for (std::size_t i = 0; i < count; ++i, out += 4) {
        out[0] = out[1] = out[2] = in[i];
        out[3] = 255;
      }
      break;
    case Kind::P8:
      for (std::size_t i = 0; i < count; ++i, out += 4)
        put_argb(out, palette_colour(palette, in[i]));
      break;
    case Kind::Index16:
      for (std::size_t i = 0; i < count; ++i, out += 4) {
        put_argb(out, palette_colour(palette, u16_at(in, i)));
      }
      break;
    default:
      break;  // unreachable: check() admitted only the formats handled above
  }
  return rgba;
}

Expected<Image, ImageError> rgba_of(const file_type::Texture& texture,
                                    const std::span<const std::uint32_t>* palette) {
  auto checked = check(texture, palette);
  if (!checked) return Unexpected(std::move(checked.error()));
  return Image{PixelLayout::Rgba,
               checked->width,
               checked->height,
               rgba_pixels(*checked, texture.source_data, colours_or_none(palette)),
               {}};
}

Expected<Image, ImageError> image_of(const file_type::Texture& texture,
                                     const std::span<const std::uint32_t>* palette) {
  auto checked = check(texture, palette);
  if (!checked) return Unexpected(std::move(checked.error()));
  const std::vector<std::uint8_t>& data = texture.source_data;
  Image image{PixelLayout::Rgba, checked->width, checked->height, {}, {}};
  switch (checked->kind) {
    case Kind::P8: {
      image.layout = PixelLayout::Indexed;
      image.pixels = data;
      // At most 256 colours, as many as a byte can index; indices past the palette's end get
      // transparent black.
      const std::uint8_t top = *std::max_element(data.begin(), data.end());
      const std::size_t entries =
          std::max<std::size_t>(std::min<std::size_t>(palette->size(), 256), std::size_t{top} + 1);
      image.palette.resize(entries);
      for (std::uint32_t i = 0; i < entries; ++i) image.palette[i] = palette_colour(*palette, i);
      return image;
    }
    case Kind::A8:
      image.layout = PixelLayout::Grey;
      image.pixels = data;
      return image;
    default:
      image.pixels = rgba_pixels(*checked, data, colours_or_none(palette));
      return image;
  }
}

// The input pixels that output pixel i covers along an axis of `in` pixels, each with the length
// of its overlap: output pixel i spans [i * in / out, (i + 1) * in / out).
struct Tap {
  std::uint32_t source;
  float weight;
};

std::vector<std::vector<Tap>> taps(std::uint32_t in, std::uint32_t out) {
  std::vector<std::vector<Tap>> result(out);
  const double step = static_cast<double>(in) / out;
  for (std::uint32_t i = 0; i < out; ++i) {
    const double begin = i * step;
    const double end = std::min(static_cast<double>(in), (i + 1) * step);
    for (auto j = static_cast<std::uint32_t>(begin); j < in && j < end; ++j) {
      const double overlap = std::min(end, j + 1.0) - std::max(begin, static_cast<double>(j));
      if (overlap > 0) result[i].push_back({j, static_cast<float>(overlap)});
    }
  }
  return result;
}

std::uint8_t to_byte(float value) noexcept {
  return static_cast<std::uint8_t>(std::clamp(std::lround(value), 0L, 255L));
}

}  // namespace

std::string ImageError::display() const {
  return std::visit(
      [](const auto& c) -> std::string {
        using C = std::decay_t<decltype(c)>;
        if constexpr (std::is_same_v<C, NoConversion>) {
          return "format " + c.format.name() + " has no pixel conversion";
        } else if constexpr (std::is_same_v<C, InvalidSize>) {
          return "size " + std::to_string(c.width) + "x" + std::to_string(c.height) +
                 " is not an image";
        } else if constexpr (std::is_same_v<C, LengthMismatch>) {
          return c.format.name() + " at " + std::to_string(c.width) + "x" +
                 std::to_string(c.height) + " needs " + std::to_string(c.expected) +
                 " bytes of pixel data, the texture holds " + std::to_string(c.actual);
        } else {
          static_assert(std::is_same_v<C, MissingPalette>);
          return c.format.name() + " needs a palette, and none was given";
        }
      },
      value_);
}

std::string ImageError::debug() const {
  return std::visit(
      [](const auto& c) -> std::string {
        using C = std::decay_t<decltype(c)>;
        if constexpr (std::is_same_v<C, NoConversion>) {
          return "NoConversion(" + c.format.name() + ")";
        } else if constexpr (std::is_same_v<C, InvalidSize>) {
          return "InvalidSize { width: " + std::to_string(c.width) +
                 ", height: " + std::to_string(c.height) + " }";
        } else if constexpr (std::is_same_v<C, LengthMismatch>) {
          return "LengthMismatch { format: " + c.format.name() +
                 ", width: " + std::to_string(c.width) + ", height: " + std::to_string(c.height) +
                 ", expected: " + std::to_string(c.expected) +
                 ", actual: " + std::to_string(c.actual) + " }";
        } else {
          static_assert(std::is_same_v<C, MissingPalette>);
          return "MissingPalette(" + c.format.name() + ")";
        }
      },
      value_);
}

bool has_pixel_conversion(SurfacePixelFormat format) noexcept {
  return bytes_per_pixel(format.kind()) || dxt_kind(format.kind());
}

bool is_indexed(SurfacePixelFormat format) noexcept {
  return format.kind() == Kind::P8 || format.kind() == Kind::Index16;
}

std::optional<std::uint64_t> pixel_data_length(SurfacePixelFormat format, std::uint32_t width,
                                               std::uint32_t height) noexcept {
  if (const auto dxt = dxt_kind(format.kind())) return detail::dxt_image_bytes(*dxt, width, height);
  if (const auto bpp = bytes_per_pixel(format.kind())) {
    return std::uint64_t{width} * height * *bpp;  // below 2^64 for 32-bit sides and 4 bytes
  }
  return std::nullopt;
}

Expected<Image, ImageError> texture_rgba(const file_type::Texture& texture) {
  return rgba_of(texture, nullptr);
}

Expected<Image, ImageError> texture_rgba(const file_type::Texture& texture,
                                         std::span<const std::uint32_t> palette) {
  return rgba_of(texture, &palette);
}

Expected<Image, ImageError> texture_image(const file_type::Texture& texture) {
  return image_of(texture, nullptr);
}

Expected<Image, ImageError> texture_image(const file_type::Texture& texture,
                                          std::span<const std::uint32_t> palette) {
  return image_of(texture, &palette);
}

Image to_rgba(const Image& image) {
  if (image.layout == PixelLayout::Rgba) return image;
  Image out{PixelLayout::Rgba, image.width, image.height, {}, {}};
  const std::size_t count = std::size_t{image.width} * image.height;
  out.pixels.resize(4 * count);
  std::uint8_t* px = out.pixels.data();
  for (std::size_t i = 0; i < count; ++i, px += 4) {
    const std::uint8_t v = image.pixels[i];
    if (image.layout == PixelLayout::Grey) {
      px[0] = px[1] = px[2] = v;
      px[3] = 255;
    } else {
      put_argb(px, palette_colour(image.palette, v));
    }
  }
  return out;
}

Image thumbnail(const Image& image, std::uint32_t max_side) {
  max_side = std::max<std::uint32_t>(max_side, 1);
  const std::uint32_t w = image.width;
  const std::uint32_t h = image.height;
  if (w <= max_side && h <= max_side) return image;
  // The longer side becomes max_side, the other keeps the ratio, rounded, and at least 1.
  const auto scaled = [&](std::uint32_t side, std::uint32_t longer) {
    return std::max<std::uint32_t>(
        1, static_cast<std::uint32_t>((std::uint64_t{side} * max_side + longer / 2) / longer));
  };
  const std::uint32_t ow = w >= h ? max_side : scaled(w, h);
  const std::uint32_t oh = w >= h ? scaled(h, w) : max_side;

  const Image converted = image.layout == PixelLayout::Rgba ? Image{} : to_rgba(image);
  const std::vector<std::uint8_t>& src =
      image.layout == PixelLayout::Rgba ? image.pixels : converted.pixels;
  const std::vector<std::vector<Tap>> across = taps(w, ow);
  const std::vector<std::vector<Tap>> down = taps(h, oh);

  // Rows first: every input row reduced to ow pixels, colours premultiplied by alpha.
  std::vector<float> rows(std::size_t{h} * ow * 4);
  for (std::uint32_t y = 0; y < h; ++y) {
    const std::uint8_t* line = src.data() + std::size_t{y} * w * 4;
    float* out = rows.data() + std::size_t{y} * ow * 4;
    for (std::uint32_t x = 0; x < ow; ++x, out += 4) {
      for (const Tap& t : across[x]) {
        const std::uint8_t* p = line + std::size_t{t.source} * 4;
        const float a = p[3] * t.weight;
        out[0] += p[0] * a;
        out[1] += p[1] * a;
        out[2] += p[2] * a;
        out[3] += a;
      }
    }
  }
  // Then the columns; the colours divided by the alpha they carry, the alpha by the area.
  Image result{PixelLayout::Rgba, ow, oh, std::vector<std::uint8_t>(std::size_t{ow} * oh * 4), {}};
  const float area = (static_cast<float>(w) / static_cast<float>(ow)) *
                     (static_cast<float>(h) / static_cast<float>(oh));
  for (std::uint32_t y = 0; y < oh; ++y) {
    for (std::uint32_t x = 0; x < ow; ++x) {
      float sum[4] = {0, 0, 0, 0};
      for (const Tap& t : down[y]) {
        const float* p = rows.data() + (std::size_t{t.source} * ow + x) * 4;
        for (std::size_t c = 0; c < 4; ++c) sum[c] += p[c] * t.weight;
      }
      std::uint8_t* out = result.pixels.data() + (std::size_t{y} * ow + x) * 4;
      const float alpha = sum[3];  // alpha times the area it covers
      for (std::size_t c = 0; c < 3; ++c) out[c] = alpha > 0 ? to_byte(sum[c] / alpha) : 0;
      out[3] = to_byte(alpha / area);
    }
  }
  return result;
}

}  // namespace quorvale_dat
