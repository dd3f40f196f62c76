// The files of the web interface (tools/cli/serve/web/), compiled into the program: the build
// turns them into a C++ source (embed_files.cmake), so the server needs no file of its own and
// reads no path from a request.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace quorvale_dat::cli::serve {

struct WebAsset {
  std::string_view name;  // the file's name in web/, "app.js"
  std::span<const std::uint8_t> bytes;
};

[[nodiscard]] std::span<const WebAsset> web_assets() noexcept;

}  // namespace quorvale_dat::cli::serve
