#include "quorvale_dat/file_type/texture.hpp"

#include <array>
#include <string_view>
#include <utility>

namespace quorvale_dat::file_type {
namespace {

struct NamedFormat {
  SurfacePixelFormat::Kind kind;
  std::uint32_t code;
  std::string_view name;
};

using K = SurfacePixelFormat::Kind;

// Every named code, in the enumeration's order.
constexpr std::array<NamedFormat, 16> kNamedFormats{{
    {K::Unknown, 0, "Unknown"},
    {K::R8G8B8, 20, "R8G8B8"},
    {K::A8R8G8B8, 21, "A8R8G8B8"},
    {K::R5G6B5, 23, "R5G6B5"},
    {K::A4R4G4B4, 26, "A4R4G4B4"},
    {K::A8, 28, "A8"},
    {K::P8, 41, "P8"},
    {K::Index16, 101, "Index16"},
    {K::CustomLscapeR8G8B8, 243, "CustomLscapeR8G8B8"},
    {K::CustomLscapeAlpha, 244, "CustomLscapeAlpha"},
    {K::CustomRawJpeg, 500, "CustomRawJpeg"},
    {K::Dxt1, 0x31545844, "Dxt1"},  // "DXT1" read as a little-endian u32
    {K::Dxt2, 0x32545844, "Dxt2"},
    {K::Dxt3, 0x33545844, "Dxt3"},
    {K::Dxt4, 0x34545844, "Dxt4"},
    {K::Dxt5, 0x35545844, "Dxt5"},
}};

// The two palette-indexed formats, the only ones followed by a default palette id.
bool has_default_palette(SurfacePixelFormat format) noexcept {
  return format.kind() == K::P8 || format.kind() == K::Index16;
}

}  // namespace

SurfacePixelFormat SurfacePixelFormat::from_u32(std::uint32_t code) noexcept {
  for (const NamedFormat& f : kNamedFormats) {
    if (f.code == code) return SurfacePixelFormat(f.kind, code);
  }
  return SurfacePixelFormat(Kind::Other, code);
}

std::string SurfacePixelFormat::name() const {
  if (kind_ == Kind::Other) return "Other(" + std::to_string(code_) + ")";
  for (const NamedFormat& f : kNamedFormats) {
    if (f.kind == kind_) return std::string(f.name);
  }
  return "Other(" + std::to_string(code_) + ")";  // unreachable: every named kind is listed
}

ParseResult<Texture> Texture::read(SpanCursor& cursor) {
  RecordReader r(cursor, "Texture");
  Texture t;
  t.id = r.read<std::uint32_t>("id");
  t._unknown = r.read<std::int32_t>("_unknown");
  t.width = r.read<std::int32_t>("width");
  t.height = r.read<std::int32_t>("height");
  t.format_raw = r.read<std::uint32_t>("format_raw");
  t.length = r.read<std::int32_t>("length");
  // The count check belongs to no field: its error carries no frame.
  if (t.length < 0) r.fail(count_out_of_range(t.length, cursor.position()));
  // SpanCursor allocates only once the bytes are known to be there, so a huge stored length
  // over a short record ends in the end-of-data error without a matching allocation.
  const std::size_t length = t.length < 0 ? 0 : static_cast<std::size_t>(t.length);
  t.source_data = r.bytes("source_data", length);
  if (r.ok() && has_default_palette(t.format())) {
    t.default_palette_id = r.read<std::uint32_t>("default_palette_id");
  }
  return r.finish(std::move(t));
}

Expected<Texture, DatError> Texture::unpack(std::span<const std::uint8_t> bytes) {
  SpanCursor cursor(bytes);
  auto texture = read(cursor);
  if (!texture) return Unexpected(DatError(std::move(texture.error())));
  return std::move(*texture);
}

}  // namespace quorvale_dat::file_type
