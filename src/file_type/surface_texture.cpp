#include "quorvale_dat/file_type/surface_texture.hpp"

#include <utility>

namespace quorvale_dat::file_type {

ParseResult<std::vector<std::uint32_t>> parse_texture_ids(SpanCursor& cursor) {
  return read_u32_list(cursor);
}

ParseResult<SurfaceTexture> SurfaceTexture::read(SpanCursor& cursor) {
  RecordReader r(cursor, "SurfaceTexture");
  SurfaceTexture st;
  st.id = r.read<std::uint32_t>("id");
  st.unknown_int = r.read<std::int32_t>("unknown_int");
  st.unknown_byte = r.read<std::uint8_t>("unknown_byte");
  st.textures = r.field("textures", [&] { return parse_texture_ids(cursor); });
  return r.finish(std::move(st));
}

ParseResult<SurfaceTexture> SurfaceTexture::unpack(std::span<const std::uint8_t> bytes) {
  SpanCursor cursor(bytes);
  return read(cursor);
}

}  // namespace quorvale_dat::file_type
