// PNG files from images (quorvale_dat/image.hpp), through libpng's simplified writing interface:
// RGBA as colour type 6, grey as colour type 0, indexed as colour type 3 with a PLTE chunk and,
// when any colour is not opaque, a tRNS chunk of the palette's alphas.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "quorvale_dat/expected.hpp"
#include "quorvale_dat/image.hpp"

namespace quorvale_dat::cli {

// The bytes of a PNG file holding `image`, or libpng's reason for refusing it.
[[nodiscard]] Expected<std::vector<std::uint8_t>, std::string> encode_png(const Image& image);

}  // namespace quorvale_dat::cli
