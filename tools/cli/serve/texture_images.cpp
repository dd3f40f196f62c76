#include "texture_images.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "ids.hpp"
#include "png_writer.hpp"
#include "texture_export.hpp"

namespace quorvale_dat::cli::serve {
namespace {

// The image as straight (not premultiplied) RGBA, 4 bytes a pixel.
std::vector<std::uint8_t> rgba_of(const Image& image) {
  switch (image.kind) {
    case Image::Kind::Rgba:
      return image.pixels;
    case Image::Kind::Grey: {
      std::vector<std::uint8_t> out;
      out.reserve(image.pixels.size() * 4);
      for (std::uint8_t g : image.pixels) out.insert(out.end(), {g, g, g, 255});
      return out;
    }
    case Image::Kind::Indexed: {
      std::vector<std::uint8_t> out;
      out.reserve(image.pixels.size() * 4);
      for (std::uint8_t i : image.pixels) {
        const std::uint32_t argb = i < image.palette.size() ? image.palette[i] : 0;
        out.insert(out.end(),
                   {static_cast<std::uint8_t>(argb >> 16), static_cast<std::uint8_t>(argb >> 8),
                    static_cast<std::uint8_t>(argb), static_cast<std::uint8_t>(argb >> 24)});
      }
      return out;
    }
  }
  return {};
}

// The source pixels that output pixel `i` of `out` covers along an axis of `in` pixels, each with
// the length of its overlap: output pixel i spans [i * in / out, (i + 1) * in / out).
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

std::uint8_t to_byte(float value) {
  return static_cast<std::uint8_t>(std::clamp(std::lround(value), 0L, 255L));
}

}  // namespace

Image scale_to_fit(const Image& image, std::uint32_t max_side) {
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

  const std::vector<std::uint8_t> src = rgba_of(image);
  const auto across = taps(w, ow);
  const auto down = taps(h, oh);

  // Rows first: every source row reduced to ow premultiplied pixels.
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

  Image result;
  result.kind = Image::Kind::Rgba;
  result.width = ow;
  result.height = oh;
  result.pixels.resize(std::size_t{ow} * oh * 4);
  const float area = (static_cast<float>(w) / static_cast<float>(ow)) *
                     (static_cast<float>(h) / static_cast<float>(oh));
  for (std::uint32_t y = 0; y < oh; ++y) {
    for (std::uint32_t x = 0; x < ow; ++x) {
      float sum[4] = {0, 0, 0, 0};
      for (const Tap& t : down[y]) {
        const float* p = rows.data() + (std::size_t{t.source} * ow + x) * 4;
        for (int c = 0; c < 4; ++c) sum[c] += p[c] * t.weight;
      }
      std::uint8_t* out = result.pixels.data() + (std::size_t{y} * ow + x) * 4;
      const float alpha = sum[3];  // alpha times the area covered
      for (int c = 0; c < 3; ++c) out[c] = alpha > 0 ? to_byte(sum[c] / alpha) : 0;
      out[3] = to_byte(alpha / area);
    }
  }
  return result;
}

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
  auto png = encode_png(scale_to_fit(picture->image, max_side));
  if (!png) return Unexpected(Failure{kExitData, "texture " + hex8(id) + ": " + png.error()});
  return ImageFile{std::move(*png), false};
}

}  // namespace quorvale_dat::cli::serve
