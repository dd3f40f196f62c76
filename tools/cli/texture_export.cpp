#include "texture_export.hpp"

#include "quorvale_dat/image.hpp"

namespace quorvale_dat::cli {

Export export_of(file_type::SurfacePixelFormat format) noexcept {
  if (format.kind() == file_type::SurfacePixelFormat::Kind::CustomRawJpeg) return Export::Jpeg;
  return has_pixel_conversion(format) ? Export::Png : Export::Unsupported;
}

}  // namespace quorvale_dat::cli
