// Runs every record decoder on the raw fuzz input and renders the texts of any failure.

#include <cstddef>
#include <cstdint>
#include <span>

#include "quorvale_dat/file_type/palette.hpp"
#include "quorvale_dat/file_type/surface.hpp"
#include "quorvale_dat/file_type/surface_texture.hpp"
#include "quorvale_dat/file_type/texture.hpp"

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
  }
  // A failed decode through a cursor leaves the cursor where the record started.
  qd::SpanCursor cursor(bytes);
  if (size > 0 && !ft::Palette::read(cursor) && cursor.position() != 0) __builtin_trap();
  return 0;
}
