#include "quorvale_dat_builder/records.hpp"

#include <bit>
#include <span>

namespace quorvale_dat::build {
namespace {

// Appends little-endian values to a record's bytes.
class ByteWriter {
 public:
  void u8(std::uint8_t value) { bytes_.push_back(value); }
  void u32(std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
      bytes_.push_back(static_cast<std::uint8_t>(value >> shift));
    }
  }
  void i32(std::int32_t value) { u32(static_cast<std::uint32_t>(value)); }
  void f32(float value) { u32(std::bit_cast<std::uint32_t>(value)); }
  void bytes(std::span<const std::uint8_t> data) {
    bytes_.insert(bytes_.end(), data.begin(), data.end());
  }
  // An i32 count followed by the values; the count is the list's own size.
  void u32_list(std::span<const std::uint32_t> values) {
    i32(static_cast<std::int32_t>(values.size()));
    for (std::uint32_t v : values) u32(v);
  }

  [[nodiscard]] std::vector<std::uint8_t> take() { return std::move(bytes_); }

 private:
  std::vector<std::uint8_t> bytes_;
};

}  // namespace

file_type::Texture make_texture(std::uint32_t id, std::int32_t width, std::int32_t height,
                                std::uint32_t format_raw, std::vector<std::uint8_t> pixels,
                                std::optional<std::uint32_t> default_palette_id) {
  file_type::Texture t;
  t.id = id;
  t.width = width;
  t.height = height;
  t.format_raw = format_raw;
  t.length = static_cast<std::int32_t>(pixels.size());
  t.source_data = std::move(pixels);
  t.default_palette_id = default_palette_id;
  return t;
}

std::vector<std::uint8_t> encode_surface(const file_type::Surface& surface) {
  ByteWriter w;
  w.u32(surface.surface_type);
  // The record's layout follows surface_type alone; the optional fields are written when present
  // so that a test can also craft records that disagree with their type word.
  if (surface.texture_refs) {
    w.u32(surface.texture_refs->orig_texture_id);
    w.u32(surface.texture_refs->orig_palette_id);
  }
  if (surface.color_value) w.u32(*surface.color_value);
  w.f32(surface.translucency);
  w.f32(surface.luminosity);
  w.f32(surface.diffuse);
  return w.take();
}

std::vector<std::uint8_t> encode_surface_texture(const file_type::SurfaceTexture& surface_texture) {
  ByteWriter w;
  w.u32(surface_texture.id);
  w.i32(surface_texture.unknown_int);
  w.u8(surface_texture.unknown_byte);
  w.u32_list(surface_texture.textures);
  return w.take();
}

std::vector<std::uint8_t> encode_texture(const file_type::Texture& texture) {
  ByteWriter w;
  w.u32(texture.id);
  w.i32(texture._unknown);
  w.i32(texture.width);
  w.i32(texture.height);
  w.u32(texture.format_raw);
  w.i32(texture.length);
  w.bytes(texture.source_data);
  if (texture.default_palette_id) w.u32(*texture.default_palette_id);
  return w.take();
}

std::vector<std::uint8_t> encode_palette(const file_type::Palette& palette) {
  ByteWriter w;
  w.u32(palette.id);
  w.u32_list(palette.colors);
  return w.take();
}

}  // namespace quorvale_dat::build
