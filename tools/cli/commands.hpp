// The subcommands of quorvale-dat, each run from its parsed options. main.cpp does the parsing;
// each command writes its data to standard output and returns the failure that ends it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "bulk_read.hpp"
#include "ids.hpp"
#include "quorvale_dat/expected.hpp"
#include "status.hpp"

namespace quorvale_dat::cli {

using Result = Expected<void, Failure>;

struct InfoOptions {
  std::string archive;
  bool json = false;
};
[[nodiscard]] Result run_info(const InfoOptions& options);

struct LsOptions {
  std::string archive;
  std::optional<std::uint8_t> type;
  IdRange range;
  bool long_format = false;
  bool json = false;
  bool salvage = false;  // list what the directory still holds when parts of it cannot be read
};
[[nodiscard]] Result run_ls(const LsOptions& options);

struct CatOptions {
  std::string archive;
  std::uint32_t id = 0;
  bool raw = false;
  std::optional<std::string> output;
};
[[nodiscard]] Result run_cat(const CatOptions& options);

struct ExtractOptions {
  std::string archive;
  std::string dir;
  std::optional<std::uint8_t> type;
  BulkOptions bulk;
  bool salvage = false;  // extract what the directory still holds when parts of it cannot be read
};
[[nodiscard]] Result run_extract(const ExtractOptions& options);

struct ShowOptions {
  std::string archive;
  std::uint32_t id = 0;
  bool json = false;
};
[[nodiscard]] Result run_show(const ShowOptions& options);

struct SurfaceOptions {
  std::string archive;
  std::uint32_t id = 0x080003E4;
};
[[nodiscard]] Result run_surface(const SurfaceOptions& options);

// What `texture` writes: the pixels as a PNG file, the JPEG file a CustomRawJpeg texture holds,
// or the pixel data as stored.
enum class TextureFormat { Png, Jpeg, Raw };

struct TextureOptions {
  std::string archive;
  std::optional<std::uint32_t> id;  // one texture, to `output` ("-": standard output)
  std::optional<std::string> output;
  // The format asked for; without it, `output`'s extension decides (.png, .jpg, .jpeg), and a
  // name without an extension, or "-", takes the texture's own: JPEG for CustomRawJpeg, else PNG.
  std::optional<TextureFormat> format;
  std::optional<std::uint32_t> palette;
  std::optional<std::string> all_dir;  // every texture, into this directory
  BulkOptions bulk;                    // for all_dir
};
[[nodiscard]] Result run_texture(const TextureOptions& options);

struct VerifyOptions {
  std::string archive;
  bool full = false;
  bool json = false;
  bool verbose = false;  // a line saying what was checked when nothing is wrong
};
[[nodiscard]] Result run_verify(const VerifyOptions& options);

struct ServeOptions {
  std::string archive;
  std::optional<int> port;  // 0: one the system picks; none: 8080 or the next free one
  std::string bind = "127.0.0.1";
  bool open = false;  // open the interface in the user's web browser
};
// Serves until SIGINT or SIGTERM, then returns success.
[[nodiscard]] Result run_serve(const ServeOptions& options);
// What --bind takes: an IPv4 or IPv6 address, or "localhost"; no other name is looked up.
[[nodiscard]] bool is_listen_address(const std::string& text);

}  // namespace quorvale_dat::cli
