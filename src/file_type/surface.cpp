#include "quorvale_dat/file_type/surface.hpp"

namespace quorvale_dat::file_type {
namespace {

// Bits of surface_type that mark a textured surface; no other bit changes the layout.
constexpr std::uint32_t kTexturedMask = 0x6;

}  // namespace

ParseResult<TextureRefs> TextureRefs::read(SpanCursor& cursor) {
  RecordReader r(cursor, "TextureRefs");
  TextureRefs refs;
  refs.orig_texture_id = r.read<std::uint32_t>("orig_texture_id");
  refs.orig_palette_id = r.read<std::uint32_t>("orig_palette_id");
  return r.finish(refs);
}

ParseResult<Surface> Surface::read(SpanCursor& cursor) {
  RecordReader r(cursor, "Surface");
  Surface s;
  s.surface_type = r.read<std::uint32_t>("surface_type");
  if ((s.surface_type & kTexturedMask) != 0) {
    s.texture_refs = r.field("texture_refs", [&] { return TextureRefs::read(cursor); });
  } else {
    s.color_value = r.read<std::uint32_t>("color_value");
  }
  s.translucency = r.read<float>("translucency");
  s.luminosity = r.read<float>("luminosity");
  s.diffuse = r.read<float>("diffuse");
  return r.finish(s);
}

ParseResult<Surface> Surface::unpack(std::span<const std::uint8_t> bytes) {
  SpanCursor cursor(bytes);
  return read(cursor);
}

}  // namespace quorvale_dat::file_type
