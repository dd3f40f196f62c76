#include "quorvale_dat/file_type/palette.hpp"

#include <utility>

namespace quorvale_dat::file_type {

ParseResult<std::vector<std::uint32_t>> parse_colors(SpanCursor& cursor) {
  return read_u32_list(cursor);
}

ParseResult<Palette> Palette::read(SpanCursor& cursor) {
  RecordReader r(cursor, "Palette");
  Palette p;
  p.id = r.read<std::uint32_t>("id");
  p.colors = r.field("colors", [&] { return parse_colors(cursor); });
  return r.finish(std::move(p));
}

ParseResult<Palette> Palette::unpack(std::span<const std::uint8_t> bytes) {
  SpanCursor cursor(bytes);
  return read(cursor);
}

}  // namespace quorvale_dat::file_type
