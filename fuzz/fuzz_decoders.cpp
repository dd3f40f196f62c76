// Runs every record decoder on the raw fuzz input and renders the texts of any failure; a decoded
// texture is converted to pixels, its own form checked against its RGBA.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "quorvale_dat/file_type/palette.hpp"
#include "quorvale_dat/file_type/surface.hpp"
#include "quorvale_dat/file_type/surface_texture.hpp"
#include "quorvale_dat/file_type/texture.hpp"
#include "quorvale_dat/image.hpp"

namespace qd = quorvale_dat;
namespace ft = quorvale_dat::file_type;

namespace {

template <class Result>
void render(const Result& r) {
  if (!r) {
    (void)r.error().display();
    (void)r.error().debug();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  render(ft::Surface::unpack(bytes));
  render(ft::SurfaceTexture::unpack(bytes));
  render(ft::Palette::unpack(bytes));
  const auto texture = ft::Texture::unpack(bytes);
  render(texture);
  if (texture) {
    (void)texture->format().name();
    // A decoded texture holds exactly the pixel bytes it declares, all within the input.
    if (texture->source_data.size() != static_cast<std::size_t>(texture->length) ||
        texture->source_data.size() > size) {
      __builtin_trap();
    }
    // A palette from the input's first bytes, so that both its ends and missing colours occur.
    std::vector<std::uint32_t> palette;
    for (std::size_t i = 0; i + 4 <= size && palette.size() < 300; i += 4) {
      palette.push_back(std::uint32_t{data[i]} | std::uint32_t{data[i + 1]} << 8 |
                        std::uint32_t{data[i + 2]} << 16 | std::uint32_t{data[i + 3]} << 24);
    }
    const auto rgba = qd::texture_rgba(*texture, palette);
    const auto own = qd::texture_image(*texture, palette);
    render(rgba);
    if (rgba.has_value() != own.has_value()) __builtin_trap();
    if (rgba) {
      if (rgba->pixels.size() != 4 * std::size_t{rgba->width} * rgba->height) __builtin_trap();
      if (qd::to_rgba(*own) != *rgba) __builtin_trap();
      (void)qd::thumbnail(*rgba, 7);
    }
  }
  // A failed decode through a cursor leaves the cursor where the record started.
  qd::SpanCursor cursor(bytes);
  if (size > 0 && !ft::Palette::read(cursor) && cursor.position() != 0) __builtin_trap();
  return 0;
}
