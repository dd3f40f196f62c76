// Texture pixels as images: every pixel format the library can convert, turned into rows of 8-bit
// RGBA (texture_rgba) or kept in the texture's own form, palette indices for P8 and grey levels
// for A8 (texture_image), for writers that store those as they are; and thumbnails of images.
//
//   auto texture = file_type::Texture::unpack(*db.get_file(id));
//   auto palette = file_type::Palette::unpack(*db.get_file(*texture->default_palette_id));
//   auto image = quorvale_dat::texture_rgba(*texture, palette->colors);
//   if (!image) std::cerr << image.error().display() << '\n';   // names the reason
//
// The conversions, multi-byte values little-endian:
//   R8G8B8     3 bytes B, G, R              opaque
//   A8R8G8B8   4 bytes B, G, R, A
//   R5G6B5     u16 rrrrrggg gggbbbbb        opaque, channels widened to 8 bits
//   A4R4G4B4   u16 aaaarrrr ggggbbbb        channels times 17
//   A8         1 byte alpha                 grey, the alpha as its level, opaque
//   P8         1 byte index                 through the palette
//   Index16    u16 index                    through the palette
//   Dxt1-Dxt5  4x4 blocks                   straight alpha: Dxt2 and Dxt4 store colours
//                                           premultiplied by alpha, which is divided out
// A palette colour is ARGB (alpha in bits 24-31); an index beyond the palette's end is
// transparent black, 0x00000000. A8 holds nothing but alpha; it becomes grey so that a picture of
// it shows something. CustomRawJpeg holds a JPEG file, not pixels, and has no conversion, nor do
// Unknown, the two CustomLscape formats and unnamed codes.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "quorvale_dat/expected.hpp"
#include "quorvale_dat/file_type/texture.hpp"

namespace quorvale_dat {

// How an Image's pixels are stored.
enum class PixelLayout : std::uint8_t {
  Rgba,     // 4 bytes a pixel: R, G, B, A
  Grey,     // 1 byte a pixel: the grey level, opaque
  Indexed,  // 1 byte a pixel: an index into the image's palette
};

struct Image {
  PixelLayout layout = PixelLayout::Rgba;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  // Rows from the top, `width` pixels each, 4 or 1 bytes a pixel as `layout` says.
  std::vector<std::uint8_t> pixels;
  // Indexed only: ARGB colours, one for every index the pixels hold and at most 256.
  std::vector<std::uint32_t> palette;

  friend bool operator==(const Image&, const Image&) = default;
};

// Why a texture could not be converted. display() is the text for users ("A8R8G8B8 at 4x4 needs
// 64 bytes of pixel data, the texture holds 63"); debug() the structural text
// (LengthMismatch { format: A8R8G8B8, width: 4, height: 4, expected: 64, actual: 63 }).
class ImageError {
 public:
  // The format has no conversion to pixels.
  struct NoConversion {
    file_type::SurfacePixelFormat format;
    friend bool operator==(const NoConversion&, const NoConversion&) = default;
  };
  // The width or the height is below 1.
  struct InvalidSize {
    std::int32_t width = 0;
    std::int32_t height = 0;
    friend bool operator==(const InvalidSize&, const InvalidSize&) = default;
  };
  // The pixel data is not exactly as long as the size and the format need.
  struct LengthMismatch {
    file_type::SurfacePixelFormat format;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint64_t expected = 0;
    std::uint64_t actual = 0;
    friend bool operator==(const LengthMismatch&, const LengthMismatch&) = default;
  };
  // An indexed texture (P8, Index16) was converted without a palette.
  struct MissingPalette {
    file_type::SurfacePixelFormat format;
    friend bool operator==(const MissingPalette&, const MissingPalette&) = default;
  };

  // Cases in declared order; index() is the case number.
  using Value = std::variant<NoConversion, InvalidSize, LengthMismatch, MissingPalette>;

  template <class Case>
  requires std::is_constructible_v<Value, Case&&> ImageError(Case&& c)
      : value_(std::forward<Case>(c)) {}  // NOLINT: implicit by design

  [[nodiscard]] const Value& value() const noexcept { return value_; }
  [[nodiscard]] std::size_t index() const noexcept { return value_.index(); }
  template <class Case>
  [[nodiscard]] const Case* get_if() const noexcept {
    return std::get_if<Case>(&value_);
  }
  template <class Case>
  [[nodiscard]] bool holds() const noexcept {
    return std::holds_alternative<Case>(value_);
  }

  [[nodiscard]] std::string display() const;
  [[nodiscard]] std::string debug() const;

  friend bool operator==(const ImageError&, const ImageError&) = default;

 private:
  Value value_;
};

// Whether texture_rgba() and texture_image() convert `format`.
[[nodiscard]] bool has_pixel_conversion(file_type::SurfacePixelFormat format) noexcept;

// P8 and Index16: their pixels are indices into a palette.
[[nodiscard]] bool is_indexed(file_type::SurfacePixelFormat format) noexcept;

// The bytes of pixel data that `width` x `height` pixels of `format` take, for the formats with a
// conversion; a Dxt image takes one block for each started 4x4 square.
[[nodiscard]] std::optional<std::uint64_t> pixel_data_length(file_type::SurfacePixelFormat format,
                                                             std::uint32_t width,
                                                             std::uint32_t height) noexcept;

// The texture's pixels as RGBA. `palette` holds the ARGB colours of an indexed texture's palette
// and is not used for other formats; without one an indexed texture fails with MissingPalette.
// Also fails with NoConversion, InvalidSize or LengthMismatch, checked in that order, before the
// palette. The result is at most 8 times as large as the pixel data (Dxt1: 8 bytes for 16
// pixels), so no texture makes it allocate more than that.
[[nodiscard]] Expected<Image, ImageError> texture_rgba(const file_type::Texture& texture);
[[nodiscard]] Expected<Image, ImageError> texture_rgba(const file_type::Texture& texture,
                                                       std::span<const std::uint32_t> palette);

// The texture's pixels in its own form: Indexed for P8 (the indices as stored, with the
// palette's first 256 colours, padded with transparent black up to the largest index), Grey for
// A8, RGBA otherwise. to_rgba() of the result equals texture_rgba(). Fails as texture_rgba().
[[nodiscard]] Expected<Image, ImageError> texture_image(const file_type::Texture& texture);
[[nodiscard]] Expected<Image, ImageError> texture_image(const file_type::Texture& texture,
                                                        std::span<const std::uint32_t> palette);

// The image as RGBA: grey levels become opaque grey, indices their palette colours.
// Requires: image.pixels holds width x height pixels of its layout.
[[nodiscard]] Image to_rgba(const Image& image);

// The image made small enough to fit in `max_side` x `max_side` pixels, keeping its aspect ratio
// (each side at least 1 pixel) and never enlarging it: an image that fits already comes back
// unchanged, in its own layout. A scaled image is RGBA, each pixel the area-weighted average of
// the input pixels it covers, the colours weighted by their alpha, so that transparent pixels add
// no colour (a pixel that covers only transparent ones is transparent black). A max_side of 0 is
// taken as 1.
// Requires: image.pixels holds width x height pixels of its layout.
[[nodiscard]] Image thumbnail(const Image& image, std::uint32_t max_side);

}  // namespace quorvale_dat
