// quorvale-dat serve run as a subprocess on archives built here, healthy and damaged, and met
// over loopback as a client meets it: every status of the API, its documents against the
// commands' own --json output, PNG files against `texture`'s and their pixels read back with
// libpng, pages of entries, references, the Host and method checks, the limits on requests and
// connections, many clients at once, and stopping on signals.
#include <gtest/gtest.h>
#include <png.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "quorvale_dat/database.hpp"
#include "quorvale_dat_builder/archive_builder.hpp"
#include "quorvale_dat_builder/records.hpp"
#include "support/http_client.hpp"
#include "support/subprocess.hpp"

namespace {

namespace build = quorvale_dat::build;
namespace fs = std::filesystem;
using quorvale_dat::test::http_get;
using quorvale_dat::test::http_request;
using quorvale_dat::test::HttpConnection;
using quorvale_dat::test::HttpReply;
using quorvale_dat::test::RunResult;
using quorvale_dat::test::ServerProcess;
using quorvale_dat::test::TempDir;
using Bytes = std::vector<std::uint8_t>;
using Json = nlohmann::json;

constexpr std::uint32_t kP8 = 41;
constexpr std::uint32_t kA8R8G8B8 = 21;
constexpr std::uint32_t kA8 = 28;
constexpr std::uint32_t kIndex16 = 101;
constexpr std::uint32_t kJpeg = 500;

std::string hex8(std::uint32_t id) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", id);
  return buf;
}

Bytes read_bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

std::string as_text(const Bytes& b) { return std::string(b.begin(), b.end()); }

RunResult run_cli(const std::vector<std::string>& args) {
  return quorvale_dat::test::run_program(QUORVALE_DAT_CLI_PATH, args);
}

// ---------------------------------------------------------------------------------------------
// The archive

build::Record palette(std::uint32_t id, std::vector<std::uint32_t> colors,
                      bool compressed = false) {
  return {
      .id = id, .data = build::encode_palette({id, std::move(colors)}), .compressed = compressed};
}

build::Record texture(std::uint32_t id, std::int32_t w, std::int32_t h, std::uint32_t format,
                      Bytes pixels, std::optional<std::uint32_t> palette_id = std::nullopt) {
  return {.id = id,
          .data = build::encode_texture(
              build::make_texture(id, w, h, format, std::move(pixels), palette_id))};
}

build::Record surface(std::uint32_t id, std::uint32_t texture_id, std::uint32_t palette_id) {
  quorvale_dat::file_type::Surface s;
  s.surface_type = 2;
  s.texture_refs = quorvale_dat::file_type::TextureRefs{texture_id, palette_id};
  s.translucency = 0.5f;
  s.diffuse = 1;
  return {.id = id, .data = build::encode_surface(s)};
}

// ARGB as the four bytes B, G, R, A of an A8R8G8B8 pixel.
void put_pixel(Bytes& out, std::uint32_t argb) {
  out.insert(out.end(),
             {static_cast<std::uint8_t>(argb), static_cast<std::uint8_t>(argb >> 8),
              static_cast<std::uint8_t>(argb >> 16), static_cast<std::uint8_t>(argb >> 24)});
}

// 8x4 opaque pixels whose channels are simple functions of x and y, so that a 4x4 box's average
// is known.
std::uint32_t gradient(std::uint32_t x, std::uint32_t y) {
  return 0xFF000000u | (x * 30) << 16 | (y * 60) << 8 | ((x + y) * 10);
}

Bytes gradient_pixels(std::uint32_t w, std::uint32_t h) {
  Bytes out;
  for (std::uint32_t y = 0; y < h; ++y) {
    for (std::uint32_t x = 0; x < w; ++x) put_pixel(out, gradient(x % 8, y % 4));
  }
  return out;
}

constexpr std::uint32_t kPalette = 0x04000001;
constexpr std::uint32_t kPalette2 = 0x04000002;
constexpr std::uint32_t kBadPalette = 0x04000003;
constexpr std::uint32_t kCompressedPalette = 0x04000004;
constexpr std::uint32_t kAbsentPalette = 0x04000999;
constexpr std::uint32_t kP8Texture = 0x06000001;
constexpr std::uint32_t kGradient = 0x06000002;
constexpr std::uint32_t kTall = 0x06000003;
constexpr std::uint32_t kNoPalette = 0x06000004;
constexpr std::uint32_t kShort = 0x06000005;
constexpr std::uint32_t kNoExport = 0x06000006;
constexpr std::uint32_t kJpegTexture = 0x06000007;
constexpr std::uint32_t kIndex16Texture = 0x06000008;
constexpr std::uint32_t kWide = 0x06000009;
constexpr std::uint32_t kHalfClear = 0x0600000A;
constexpr std::uint32_t kBroken = 0x06000010;
constexpr std::uint32_t kList = 0x05000001;
constexpr std::uint32_t kSurface = 0x08000001;
constexpr std::uint32_t kSurfaceToTexture = 0x08000002;
constexpr std::uint32_t kOther = 0x0A000001;

const std::vector<std::uint32_t> kPaletteColours = {0xFF000000, 0xFFFF0000, 0x8000FF00, 0x00000000};

std::vector<build::Record> records() {
  Bytes half_clear;
  put_pixel(half_clear, 0xFFFF0000);  // opaque red
  put_pixel(half_clear, 0x000000FF);  // blue, fully transparent
  Bytes tall;
  for (std::uint8_t i = 0; i < 16; ++i) tall.push_back(static_cast<std::uint8_t>(i * 16));
  return {
      palette(kPalette, kPaletteColours),
      palette(kPalette2, {0xFFFFFFFF, 0xFF0000FF, 0xFF00FF00, 0xFFFF00FF}),
      {.id = kBadPalette, .data = {0x03, 0x00, 0x00, 0x04, 0xE8, 0x03, 0x00, 0x00, 1, 2}},
      palette(kCompressedPalette, std::vector<std::uint32_t>(64, 0xFF336699), true),
      texture(kP8Texture, 4, 2, kP8, {0, 1, 2, 3, 1, 1, 0, 0}, kPalette),
      texture(kGradient, 8, 4, kA8R8G8B8, gradient_pixels(8, 4)),
      texture(kTall, 1, 16, kA8, tall),
      texture(kNoPalette, 2, 2, kP8, {0, 1, 1, 0}, kAbsentPalette),
      texture(kShort, 4, 4, kA8, {1, 2, 3, 4, 5, 6, 7, 8}),
      texture(kNoExport, 2, 2, 7, {1, 2, 3, 4}),
      texture(kJpegTexture, 2, 2, kJpeg,
              {0xFF, 0xD8, 0xFF, 0xE0, 0, 0x10, 'J', 'F', 'I', 'F', 0xFF, 0xD9}),
      texture(kIndex16Texture, 2, 2, kIndex16, {0, 0, 1, 0, 2, 0, 9, 0}, kPalette2),
      texture(kWide, 600, 300, kA8R8G8B8, gradient_pixels(600, 300)),
      texture(kHalfClear, 2, 1, kA8R8G8B8, half_clear),
      texture(kBroken, 8, 8, kA8R8G8B8, gradient_pixels(8, 8)),
      {.id = kList,
       .data = build::encode_surface_texture({.id = kList,
                                              .unknown_int = 1,
                                              .unknown_byte = 0,
                                              .textures = {kP8Texture, kIndex16Texture}})},
      surface(kSurface, kList, kPalette2),
      surface(kSurfaceToTexture, kGradient, kAbsentPalette),
      {.id = kOther, .data = {'h', 'e', 'l', 'l', 'o', 0, 1, 2, 0xFF}},
  };
}

// The archive, with the chain of kBroken led out of the file: the directory still opens, the one
// record cannot be read.
Bytes damaged_archive(const TempDir& dir) {
  Bytes bytes = build::build_archive(records(), {.block_size = 64});
  const fs::path probe = dir.path() / "probe.dat";
  build::write_file(probe, bytes);
  auto db = quorvale_dat::DatDatabase::open(probe);
  EXPECT_TRUE(db.has_value());
  const std::uint32_t offset = db->files().get(kBroken)->offset;
  for (int i = 0; i < 4; ++i) bytes[offset + static_cast<std::uint32_t>(i)] = i == 3 ? 0x7F : 0xF0;
  return bytes;
}

std::optional<Json> parse_json(const std::string& text) {
  Json j = Json::parse(text, nullptr, false);
  if (j.is_discarded()) return std::nullopt;
  return j;
}

// ---------------------------------------------------------------------------------------------
// PNG files, read back with libpng

struct Picture {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  Bytes rgba;

  [[nodiscard]] std::uint32_t at(std::uint32_t x, std::uint32_t y) const {  // RGBA packed
    const std::size_t i = (std::size_t{y} * width + x) * 4;
    return std::uint32_t{rgba[i]} << 24 | std::uint32_t{rgba[i + 1]} << 16 |
           std::uint32_t{rgba[i + 2]} << 8 | rgba[i + 3];
  }
};

std::optional<Picture> read_png(const std::string& bytes) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (png_image_begin_read_from_memory(&image, bytes.data(), bytes.size()) == 0) {
    ADD_FAILURE() << image.message;
    return std::nullopt;
  }
  image.format = PNG_FORMAT_RGBA;
  Picture p{image.width, image.height, Bytes(PNG_IMAGE_SIZE(image))};
  if (png_image_finish_read(&image, nullptr, p.rgba.data(), 0, nullptr) == 0) {
    ADD_FAILURE() << image.message;
    return std::nullopt;
  }
  return p;
}

// ---------------------------------------------------------------------------------------------
// One server on the damaged archive for the API's tests

class ServeApi : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir();
    archive_ = (dir_->path() / "archive.dat").string();
    build::write_file(archive_, damaged_archive(*dir_));
    server_ = new ServerProcess(QUORVALE_DAT_CLI_PATH, {"serve", archive_, "--port", "0"});
    ASSERT_GT(server_->port(), 0) << "no URL: " << server_->first_line();
  }
  static void TearDownTestSuite() {
    const ServerProcess::Exit exit = server_->stop(SIGTERM);
    EXPECT_EQ(exit.status, 0) << exit.err;
    EXPECT_EQ(exit.err, "");
    delete server_;
    delete dir_;
  }

  static int port() { return server_->port(); }
  static HttpReply get(const std::string& path, const std::vector<std::string>& headers = {}) {
    return http_get(port(), path, headers);
  }
  // The server is still there and well.
  static void expect_alive() {
    EXPECT_EQ(get("/api/records/" + hex8(kOther)).status, 200) << "the server stopped answering";
  }

  static TempDir* dir_;
  static std::string archive_;
  static ServerProcess* server_;
};

TempDir* ServeApi::dir_ = nullptr;
std::string ServeApi::archive_;
ServerProcess* ServeApi::server_ = nullptr;

TEST_F(ServeApi, PrintsItsUrlOnLoopback) {
  EXPECT_EQ(server_->first_line(), "http://127.0.0.1:" + std::to_string(port()) + "/");
}

TEST_F(ServeApi, DocumentsAreTheCommandsOwn) {
  struct Case {
    std::string path;
    std::vector<std::string> command;
  };
  std::vector<Case> cases = {{"/api/info", {"info", "--json", archive_}},
                             {"/api/verify", {"verify", "--json", archive_}}};
  for (std::uint32_t id : {kPalette, kCompressedPalette, kP8Texture, kGradient, kJpegTexture, kList,
                           kSurface, kSurfaceToTexture, kOther}) {
    cases.push_back({"/api/records/" + hex8(id), {"show", "--json", archive_, hex8(id)}});
  }
  cases.push_back(
      {"/api/records/" + std::to_string(kSurface), {"show", "--json", archive_, hex8(kSurface)}});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const HttpReply reply = get(c.path);
    ASSERT_EQ(reply.status, 200) << reply.body;
    EXPECT_EQ(reply.header("content-type"), "application/json");
    const RunResult run = run_cli(c.command);
    EXPECT_EQ(parse_json(reply.body), parse_json(run.out));
  }
}

TEST_F(ServeApi, BytesAndImagesAreTheCommandsOwn) {
  struct Case {
    std::string path;
    std::vector<std::string> command;  // writes to standard output, or to `file`
    std::string type;
    std::string file;
  };
  const std::string png = (dir_->path() / "t.png").string();
  std::vector<Case> cases;
  for (std::uint32_t id : {kPalette, kCompressedPalette, kP8Texture, kOther}) {
    cases.push_back({"/api/records/" + hex8(id) + "/raw",
                     {"cat", archive_, hex8(id)},
                     "application/octet-stream",
                     ""});
    cases.push_back({"/api/records/" + hex8(id) + "/raw?stored=1",
                     {"cat", "--raw", archive_, hex8(id)},
                     "application/octet-stream",
                     ""});
    cases.push_back({"/api/records/" + hex8(id) + "/raw?stored=0",
                     {"cat", archive_, hex8(id)},
                     "application/octet-stream",
                     ""});
  }
  for (std::uint32_t id : {kP8Texture, kGradient, kTall, kIndex16Texture, kWide, kHalfClear}) {
    cases.push_back({"/api/textures/" + hex8(id) + ".png",
                     {"texture", archive_, hex8(id), "-o", png},
                     "image/png",
                     png});
  }
  cases.push_back({"/api/textures/" + hex8(kP8Texture) + ".png?palette=" + hex8(kPalette2),
                   {"texture", archive_, hex8(kP8Texture), "-o", png, "--palette", hex8(kPalette2)},
                   "image/png",
                   png});
  cases.push_back(
      {"/api/textures/" + hex8(kIndex16Texture) + ".png?palette=" + std::to_string(kPalette),
       {"texture", archive_, hex8(kIndex16Texture), "-o", png, "--palette", hex8(kPalette)},
       "image/png",
       png});
  cases.push_back(
      {"/api/textures/" + hex8(kJpegTexture) + ".png",
       {"texture", archive_, hex8(kJpegTexture), "-o", (dir_->path() / "t.jpg").string()},
       "image/jpeg",
       (dir_->path() / "t.jpg").string()});
  // A thumbnail of a texture that fits is the texture's own file.
  cases.push_back({"/api/textures/" + hex8(kGradient) + "/thumb.png?size=8",
                   {"texture", archive_, hex8(kGradient), "-o", png},
                   "image/png",
                   png});
  cases.push_back({"/api/textures/" + hex8(kP8Texture) + "/thumb.png",
                   {"texture", archive_, hex8(kP8Texture), "-o", png},
                   "image/png",
                   png});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const HttpReply reply = get(c.path);
    ASSERT_EQ(reply.status, 200) << reply.body;
    EXPECT_EQ(reply.header("content-type"), c.type);
    const RunResult run = run_cli(c.command);
    ASSERT_EQ(run.exit_status, 0) << run.err;
    EXPECT_EQ(reply.body, c.file.empty() ? run.out : as_text(read_bytes(c.file)));
  }
  EXPECT_EQ(get("/api/records/" + hex8(kOther) + "/raw").header("content-disposition"),
            "attachment; filename=\"0x0A000001.bin\"");
}

TEST_F(ServeApi, ErrorStatusesWithJsonBodies) {
  const std::string t = "/api/textures/";
  const struct Case {
    std::string path;
    int status;
    std::string error;  // the start of the body's "error"
  } cases[] = {
      {"/api/records/0x0A000002", 404, "record 0x0A000002: not in the archive"},
      {"/api/records/167772162/raw", 404, "record 0x0A000002: not in the archive"},
      {"/api/records/0x06000001/raw?stored=1&stored=0", 400, "parameter 'stored' given twice"},
      {"/api/refs/x", 400, "record: not an id"},
      {"/api/records/0x12G", 400,
       "record: not an id (0x and hexadecimal digits, or decimal): 0x12G"},
      {"/api/records/080003E4", 400, "record: not an id"},
      {"/api/records/0x100000000", 400, "record: not an id"},
      {"/api/records/-1", 400, "record: not an id"},
      {"/api/records/0x0A000001?x=1", 400, "unknown parameter 'x'"},
      {"/api/records/0x0A000001/raw?stored=yes", 400, "stored: 0 or 1, not yes"},
      {"/api/records/" + hex8(kBroken), 422, "record 0x06000010: "},
      {"/api/records/" + hex8(kBroken) + "/raw", 422, "record 0x06000010: "},
      {"/api/records/" + hex8(kBroken) + "/raw?stored=1", 422, "record 0x06000010: "},
      {"/api/records/" + hex8(kBadPalette), 422,
       "record 0x04000003: While parsing field 'colors' in Palette"},
      {t + hex8(kBroken) + ".png", 422, "record 0x06000010: "},
      {t + "0x06000999.png", 404, "texture 0x06000999: not in the archive"},
      {t + "0x06000999/thumb.png", 404, "texture 0x06000999: not in the archive"},
      {t + hex8(kSurface) + ".png", 400, "record 0x08000001 is a surface, not a texture"},
      {t + "0xZZ.png", 400, "texture: not an id"},
      {t + hex8(kP8Texture) + ".png?palette=" + hex8(kAbsentPalette), 404,
       "record 0x04000999: not in the archive"},
      {t + hex8(kP8Texture) + ".png?palette=" + hex8(kSurface), 400,
       "palette 0x08000001 is a surface, not a palette"},
      {t + hex8(kP8Texture) + ".png?palette=nope", 400, "palette: not an id"},
      {t + hex8(kGradient) + ".png?palette=" + hex8(kPalette), 400,
       "palette: texture 0x06000002 is A8R8G8B8, which uses no palette"},
      {t + hex8(kNoPalette) + ".png", 422,
       "texture 0x06000004: palette 0x04000999: not in the archive"},
      {t + hex8(kP8Texture) + ".png?palette=" + hex8(kBadPalette), 422,
       "texture 0x06000001: palette 0x04000003: While parsing"},
      {t + hex8(kShort) + ".png", 422, "texture 0x06000005: "},
      {t + hex8(kNoExport) + "/thumb.png", 422,
       "texture 0x06000006: format Other(7) (7) has no export"},
      {t + hex8(kGradient) + ".png?size=4", 400, "unknown parameter 'size'"},
      {t + hex8(kGradient) + "/thumb.png?size=0", 400, "size: 1 to 512, not 0"},
      {t + hex8(kGradient) + "/thumb.png?size=513", 400, "size: 1 to 512, not 513"},
      {t + hex8(kGradient) + "/thumb.png?size=99999999999999999999", 400, "size: not a number"},
      {t + hex8(kGradient) + "/thumb.png?size=-1", 400, "size: not a number"},
      {"/api/entries?type=0x100", 400, "type: not a type byte"},
      {"/api/entries?from=9&to=1", 400, "from: 0x00000009 is after to: 0x00000001"},
      {"/api/entries?offset=-1", 400, "offset: not a number: -1"},
      {"/api/entries?limit=ten", 400, "limit: not a number: ten"},
      {"/api/entries?tpye=6", 400, "unknown parameter 'tpye'"},
      {"/api/info?x", 400, "unknown parameter 'x'"},
      {"/api/nothing", 404, "no such API: /api/nothing"},
      {"/api/info/", 404, "no such API"},
      {"/api/records/0x0A000001/raw/more", 404, "no such API"},
      {"/nothing", 404, "not found: /nothing"},
      {"/assets/missing.js", 404, "not found"},
      {"/../../etc/passwd", 404, "not found"},
      {"/assets/..%2F..%2F..%2Fetc%2Fpasswd", 404, "not found"},
      {"/assets/%2e%2e/app.js", 404, "not found"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const HttpReply reply = get(c.path);
    EXPECT_EQ(reply.status, c.status) << reply.body;
    EXPECT_EQ(reply.header("content-type"), "application/json");
    EXPECT_EQ(reply.header("cache-control"), "no-store");
    const auto body = parse_json(reply.body);
    ASSERT_TRUE(body.has_value()) << reply.body;
    EXPECT_EQ((*body)["status"], c.status);
    EXPECT_TRUE((*body)["error"].get<std::string>().starts_with(c.error)) << (*body)["error"];
  }
  expect_alive();
}

TEST_F(ServeApi, ThumbnailsKeepTheAspectRatioAndNeverEnlarge) {
  const struct Case {
    std::uint32_t id;
    std::string size;
    std::uint32_t width, height;
  } cases[] = {
      {kGradient, "2", 2, 1},   {kGradient, "4", 4, 2},  {kGradient, "8", 8, 4},
      {kGradient, "512", 8, 4}, {kTall, "4", 1, 4},      {kTall, "1", 1, 1},
      {kWide, "", 128, 64},     {kWide, "100", 100, 50}, {kWide, "512", 512, 256},
      {kWide, "599", 512, 256}, {kHalfClear, "1", 1, 1}, {kP8Texture, "2", 2, 1},
  };
  for (const Case& c : cases) {
    if (c.size == "599") continue;  // above the limit: an error, tested with the statuses
    SCOPED_TRACE(hex8(c.id) + " size " + c.size);
    const HttpReply reply = get("/api/textures/" + hex8(c.id) + "/thumb.png" +
                                (c.size.empty() ? "" : "?size=" + c.size));
    ASSERT_EQ(reply.status, 200) << reply.body;
    EXPECT_EQ(reply.header("content-type"), "image/png");
    const auto picture = read_png(reply.body);
    ASSERT_TRUE(picture.has_value());
    EXPECT_EQ(picture->width, c.width);
    EXPECT_EQ(picture->height, c.height);
  }

  // 8x4 to 2x1: each pixel the average of a 4x4 box.
  const auto two = read_png(get("/api/textures/" + hex8(kGradient) + "/thumb.png?size=2").body);
  ASSERT_TRUE(two.has_value());
  for (std::uint32_t box = 0; box < 2; ++box) {
    std::uint32_t sum[3] = {0, 0, 0};
    for (std::uint32_t y = 0; y < 4; ++y) {
      for (std::uint32_t x = box * 4; x < box * 4 + 4; ++x) {
        const std::uint32_t c = gradient(x, y);
        sum[0] += c >> 16 & 0xFF;
        sum[1] += c >> 8 & 0xFF;
        sum[2] += c & 0xFF;
      }
    }
    const auto avg = [&](int i) { return (sum[i] + 8) / 16; };
    EXPECT_EQ(two->at(box, 0), avg(0) << 24 | avg(1) << 16 | avg(2) << 8 | 0xFF) << "box " << box;
  }
  // Opaque red beside transparent blue: half as opaque, and all red; the blue has no weight.
  const auto clear = read_png(get("/api/textures/" + hex8(kHalfClear) + "/thumb.png?size=1").body);
  ASSERT_TRUE(clear.has_value());
  EXPECT_EQ(clear->at(0, 0), 0xFF000080u);
  // An indexed texture scaled: its palette's colours averaged, index 3 transparent.
  const auto p8 = read_png(get("/api/textures/" + hex8(kP8Texture) + "/thumb.png?size=2").body);
  ASSERT_TRUE(p8.has_value());
  // Left box: indices 0, 1, 1, 1: black, red, red, red, all opaque.
  EXPECT_EQ(p8->at(0, 0), 0xBF0000FFu);
}

TEST_F(ServeApi, FullImagesCarryTheirPixels) {
  const auto p8 = read_png(get("/api/textures/" + hex8(kP8Texture) + ".png").body);
  ASSERT_TRUE(p8.has_value());
  ASSERT_EQ(p8->width, 4u);
  const std::uint8_t indices[] = {0, 1, 2, 3, 1, 1, 0, 0};
  for (std::uint32_t i = 0; i < 8; ++i) {
    const std::uint32_t argb = kPaletteColours[indices[i]];
    EXPECT_EQ(p8->at(i % 4, i / 4), (argb << 8 | argb >> 24)) << "pixel " << i;
  }
  const auto index16 = read_png(
      get("/api/textures/" + hex8(kIndex16Texture) + ".png?palette=" + hex8(kPalette)).body);
  ASSERT_TRUE(index16.has_value());
  EXPECT_EQ(index16->at(1, 0), 0xFF0000FFu);  // index 1 of kPalette: red
  EXPECT_EQ(index16->at(1, 1), 0u);           // index 9, past the palette's end: transparent black
}

TEST_F(ServeApi, EntriesInPages) {
  const auto page = [&](const std::string& query) {
    const HttpReply reply = get("/api/entries" + query);
    EXPECT_EQ(reply.status, 200) << reply.body;
    return parse_json(reply.body).value_or(Json::object());
  };
  const auto ids = [](const Json& doc) {
    std::vector<std::uint32_t> out;
    for (const Json& e : doc["entries"]) out.push_back(e["id"].get<std::uint32_t>());
    return out;
  };
  const Json all = page("");
  EXPECT_EQ(all["total"], 19);
  EXPECT_EQ(all["offset"], 0);
  EXPECT_EQ(all["limit"], 100);
  const Json ls = parse_json(run_cli({"ls", "--json", archive_}).out).value();
  EXPECT_EQ(all["entries"], ls["entries"]);

  const struct Case {
    std::string query;
    std::uint64_t total;
    std::vector<std::uint32_t> ids;
  } cases[] = {
      {"?type=0x05", 1, {kList}},
      {"?type=5&limit=0", 1, {}},
      {"?type=0x04&offset=1&limit=2", 4, {kPalette2, kBadPalette}},
      {"?type=0x04&offset=3&limit=2", 4, {kCompressedPalette}},
      {"?type=0x04&offset=4", 4, {}},
      {"?type=0x04&offset=18446744073709551615", 4, {}},
      {"?from=0x05000000&to=0x08000001", 13, {}},
      {"?from=0x06000009&to=0x06000010", 3, {kWide, kHalfClear, kBroken}},
      {"?type=0x08&from=0x06000000", 2, {kSurface, kSurfaceToTexture}},
      {"?type=0x06&from=0x08000000", 0, {}},
      {"?type=0x0B", 0, {}},
      {"?from=" + hex8(kOther) + "&to=" + hex8(kOther), 1, {kOther}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.query);
    const Json doc = page(c.query);
    EXPECT_EQ(doc["total"], c.total);
    if (!c.ids.empty() || c.query.find("offset") != std::string::npos ||
        c.query.find("limit") != std::string::npos || c.total == 0) {
      EXPECT_EQ(ids(doc), c.ids);
    }
  }
}

TEST_F(ServeApi, ReferencesOnceTheIndexIsReady) {
  // The first request starts the index; it answers "ready": false until it is done.
  Json doc;
  for (int i = 0; i < 500; ++i) {
    const HttpReply reply = get("/api/refs/" + hex8(kPalette2));
    ASSERT_EQ(reply.status, 200) << reply.body;
    doc = parse_json(reply.body).value();
    if (doc["ready"] == true) break;
    EXPECT_EQ(reply.header("cache-control"), "no-store");
    EXPECT_LE(doc["done"].get<int>(), doc["total"].get<int>());
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(doc["ready"], true);
  const auto referrers = [&](std::uint32_t id) {
    const Json d = parse_json(get("/api/refs/" + hex8(id)).body).value();
    std::vector<std::pair<std::uint32_t, std::string>> out;
    for (const Json& r : d["referrers"])
      out.emplace_back(r["id"].get<std::uint32_t>(), r["field"].get<std::string>());
    return std::pair{d["in_archive"].get<bool>(), out};
  };
  using Refs = std::vector<std::pair<std::uint32_t, std::string>>;
  const struct Case {
    std::uint32_t id;
    bool in_archive;
    Refs refs;
  } cases[] = {
      {kPalette, true, {{kP8Texture, "default_palette_id"}}},
      {kPalette2, true, {{kIndex16Texture, "default_palette_id"}, {kSurface, "orig_palette_id"}}},
      {kP8Texture, true, {{kList, "textures"}}},
      {kIndex16Texture, true, {{kList, "textures"}}},
      {kList, true, {{kSurface, "orig_texture_id"}}},
      {kGradient, true, {{kSurfaceToTexture, "orig_texture_id"}}},
      {kAbsentPalette,
       false,
       {{kNoPalette, "default_palette_id"}, {kSurfaceToTexture, "orig_palette_id"}}},
      {kSurface, true, {}},
      {0x0F000000, false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(hex8(c.id));
    const auto [in_archive, refs] = referrers(c.id);
    EXPECT_EQ(in_archive, c.in_archive);
    EXPECT_EQ(refs, c.refs);
  }
  // The broken record could not be read; it is counted, not indexed.
  EXPECT_EQ(doc["unreadable"], 1);
}

TEST_F(ServeApi, VerifyListsTheDamage) {
  const HttpReply reply = get("/api/verify");
  ASSERT_EQ(reply.status, 200);
  const Json doc = parse_json(reply.body).value();
  EXPECT_EQ(doc["ok"], false);
  EXPECT_EQ(doc["full"], false);
  ASSERT_EQ(doc["problems"].size(), 1u);
  EXPECT_EQ(doc["problems"][0]["id"], kBroken);
  EXPECT_EQ(get("/api/verify").body, reply.body);
}

TEST_F(ServeApi, HostHeaders) {
  const std::string p = std::to_string(port());
  const struct Case {
    std::vector<std::string> headers;
    int status;
  } cases[] = {
      {{"Host: 127.0.0.1:" + p}, 200},
      {{"Host: 127.0.0.1"}, 200},
      {{"Host: 127.8.9.10:" + p}, 200},
      {{"Host: localhost:" + p}, 200},
      {{"Host: LocalHost"}, 200},
      {{"Host: [::1]:" + p}, 200},
      {{"Host: [::1]"}, 200},
      {{"Host: evil.example"}, 403},
      {{"Host: evil.example:" + p}, 403},
      {{"Host: localhost.evil.example"}, 403},
      {{"Host: 127.0.0.1.evil.example"}, 403},
      {{"Host: 10.0.0.1:" + p}, 403},
      {{"Host: ::1"}, 403},
      {{"Host: [::1"}, 403},
      {{"Host: [127.0.0.1]"}, 403},
      {{"Host: "}, 400},
      {{"Host: 127.0.0.1", "Host: evil.example"}, 400},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.headers.back());
    const HttpReply reply = get("/api/info", c.headers);
    EXPECT_EQ(reply.status, c.status) << reply.body;
    if (c.status != 200) {
      EXPECT_EQ(reply.header("content-type"), "application/json");
      EXPECT_EQ(reply.body.find("\"header\""), std::string::npos)
          << "the archive leaked: " << reply.body;
    }
  }
  // HTTP/1.0 without a Host header.
  HttpConnection c(port());
  ASSERT_TRUE(c.send("GET /api/info HTTP/1.0\r\n\r\n"));
  const HttpReply no_host = c.read_reply();
  EXPECT_EQ(no_host.status, 400);
  EXPECT_NE(no_host.body.find("a Host header is required"), std::string::npos) << no_host.body;
}

TEST_F(ServeApi, OnlyGetAndHead) {
  for (const char* method : {"POST", "PUT", "DELETE", "PATCH", "OPTIONS", "TRACE"}) {
    SCOPED_TRACE(method);
    const HttpReply reply = http_request(port(), method, "/api/info");
    EXPECT_EQ(reply.status, 405) << reply.body;
    EXPECT_EQ(reply.header("allow"), "GET, HEAD");
  }
  // A POST with a body: refused, and the body never read as a request of its own.
  HttpConnection c(port());
  const std::string smuggled = "GET /api/records/0x0A000001 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  ASSERT_TRUE(c.send("POST /api/info HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " +
                     std::to_string(smuggled.size()) + "\r\n\r\n" + smuggled));
  EXPECT_EQ(c.read_reply().status, 405);
  EXPECT_TRUE(c.closed_by_server(std::chrono::seconds(5)));

  const HttpReply head = http_request(port(), "HEAD", "/api/records/" + hex8(kP8Texture));
  const HttpReply full = get("/api/records/" + hex8(kP8Texture));
  EXPECT_EQ(head.status, 200);
  EXPECT_EQ(head.header("content-length"), std::to_string(full.body.size()));
  EXPECT_EQ(head.header("etag"), full.header("etag"));
  expect_alive();
}

TEST_F(ServeApi, ThePageAndItsFiles) {
  const struct Case {
    std::string path;
    std::string type;
  } cases[] = {
      {"/", "text/html; charset=utf-8"},
      {"/entries", "text/html; charset=utf-8"},
      {"/gallery", "text/html; charset=utf-8"},
      {"/records/0x06000001", "text/html; charset=utf-8"},
      {"/records/whatever", "text/html; charset=utf-8"},
      {"/assets/app.js", "text/javascript; charset=utf-8"},
      {"/assets/app.css", "text/css; charset=utf-8"},
      {"/assets/icon.svg", "image/svg+xml"},
  };
  const std::string page = get("/").body;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const HttpReply reply = get(c.path);
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.header("content-type"), c.type);
    EXPECT_EQ(reply.header("x-content-type-options"), "nosniff");
    if (c.type.starts_with("text/html")) {
      EXPECT_EQ(reply.body, page);
      EXPECT_NE(reply.header("content-security-policy").find("default-src 'none'"),
                std::string::npos);
      EXPECT_EQ(reply.header("x-frame-options"), "DENY");
    }
  }
  EXPECT_NE(page.find("/assets/app.js"), std::string::npos);
  // Nothing in the page loads from elsewhere.
  for (const std::string& file : {page, get("/assets/app.js").body, get("/assets/app.css").body}) {
    EXPECT_EQ(file.find("https://"), std::string::npos);
    EXPECT_EQ(file.find("http://"), std::string::npos);
  }
}

TEST_F(ServeApi, ETagsAndRevalidation) {
  const std::vector<std::string> paths = {
      "/api/info",
      "/api/entries?type=0x06",
      "/api/records/" + hex8(kP8Texture),
      "/api/records/" + hex8(kP8Texture) + "/raw",
      "/api/records/" + hex8(kP8Texture) + "/raw?stored=1",
      "/api/textures/" + hex8(kP8Texture) + ".png",
      "/api/textures/" + hex8(kP8Texture) + ".png?palette=" + hex8(kPalette2),
      "/api/textures/" + hex8(kP8Texture) + "/thumb.png?size=2",
      "/api/verify",
      "/",
      "/assets/app.js",
  };
  std::vector<std::string> tags;
  for (const std::string& path : paths) {
    SCOPED_TRACE(path);
    const HttpReply first = get(path);
    ASSERT_EQ(first.status, 200);
    const std::string tag = first.header("etag");
    ASSERT_FALSE(tag.empty());
    EXPECT_EQ(first.header("cache-control"), "no-cache");
    EXPECT_EQ(get(path).header("etag"), tag);
    tags.push_back(tag);
    for (const std::string& match : {tag, "\"other\", " + tag, "W/" + tag, std::string("*")}) {
      const HttpReply again = get(path, {"If-None-Match: " + match});
      EXPECT_EQ(again.status, 304) << match;
      EXPECT_EQ(again.body, "");
      EXPECT_EQ(again.header("etag"), tag);
    }
    EXPECT_EQ(get(path, {"If-None-Match: \"other\""}).status, 200);
  }
  std::sort(tags.begin(), tags.end());
  EXPECT_EQ(std::unique(tags.begin(), tags.end()), tags.end()) << "two answers share a tag";
  // The same record by a decimal id is the same answer.
  EXPECT_EQ(get("/api/records/" + std::to_string(kP8Texture)).header("etag"),
            get("/api/records/" + hex8(kP8Texture)).header("etag"));
}

TEST_F(ServeApi, OversizedAndMalformedRequests) {
  const struct Case {
    std::string name;
    std::string request;
    int status;  // 0: the connection is closed without a reply
  } cases[] = {
      {"a request line beyond 8 KiB",
       "GET /" + std::string(9000, 'a') + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 414},
      {"a header line beyond 8 KiB",
       "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX: " + std::string(9000, 'a') + "\r\n\r\n", 400},
      {"headers beyond 64 KiB in all",
       [] {
         std::string r = "GET /api/info HTTP/1.1\r\nHost: 127.0.0.1\r\n";
         for (int i = 0; i < 2000; ++i)
           r += "X-Filler-" + std::to_string(i) + ": " + std::string(60, 'x') + "\r\n";
         return r + "\r\n";
       }(),
       400},
      {"not HTTP", std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03\r\n\r\n", 15), 400},
      {"an unknown method", "BREW /api/info HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 400},
      {"no version", "GET /\r\n\r\n", 400},
      {"a GET with a body, which is not read",
       "GET /api/info HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 99999999\r\n\r\n", 200},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HttpConnection conn(port());
    ASSERT_TRUE(conn.connected());
    conn.send(c.request);  // the server may close before all of it is sent
    const HttpReply reply = conn.read_reply(false, std::chrono::seconds(10));
    if (c.status == 0) {
      EXPECT_TRUE(reply.status == 0 || reply.status == 400) << reply.status;
    } else {
      EXPECT_EQ(reply.status, c.status);
    }
    EXPECT_TRUE(conn.closed_by_server(std::chrono::seconds(10)));
  }
  // A client that sends half a request and waits is dropped after the read timeout.
  HttpConnection slow(port());
  ASSERT_TRUE(slow.send("GET /api/info HTTP/1.1\r\nHost: 127.0."));
  EXPECT_TRUE(slow.closed_by_server(std::chrono::seconds(15)));
  expect_alive();
}

TEST_F(ServeApi, KeepAliveServesRequestsInTurn) {
  HttpConnection c(port());
  for (int i = 0; i < 20; ++i) {
    const std::string path = i % 2 ? "/api/info" : "/api/records/" + hex8(kOther);
    ASSERT_TRUE(c.send("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
    const HttpReply reply = c.read_reply();
    ASSERT_EQ(reply.status, 200) << i;
  }
  // Two requests sent at once are answered in order.
  ASSERT_TRUE(
      c.send("GET /api/records/0x0A000001 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
             "GET /api/records/0x0A000002 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
  EXPECT_EQ(c.read_reply().status, 200);
  EXPECT_EQ(c.read_reply().status, 404);
}

TEST_F(ServeApi, ManyClientsAtOnceEachGetTheirOwnAnswer) {
  std::vector<std::string> paths = {"/api/info", "/api/entries?type=0x06&limit=3", "/api/verify",
                                    "/api/records/0x0A000002",
                                    "/api/textures/" + hex8(kNoExport) + ".png"};
  for (std::uint32_t id : {kPalette, kP8Texture, kList, kSurface, kOther}) {
    paths.push_back("/api/records/" + hex8(id));
  }
  for (std::uint32_t id : {kP8Texture, kGradient, kHalfClear, kIndex16Texture}) {
    paths.push_back("/api/textures/" + hex8(id) + ".png");
    paths.push_back("/api/textures/" + hex8(id) + "/thumb.png?size=" + std::to_string(id % 7 + 1));
  }
  std::vector<HttpReply> expected;
  for (const std::string& p : paths) expected.push_back(get(p));

  constexpr int kClients = 24;
  constexpr int kRequests = 40;
  std::atomic<int> wrong{0};
  std::atomic<int> done{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < kClients; ++t) {
    clients.emplace_back([&, t] {
      // Half the clients keep one connection, half open one per request.
      std::unique_ptr<HttpConnection> kept =
          t % 2 ? std::make_unique<HttpConnection>(port()) : nullptr;
      for (int i = 0; i < kRequests; ++i) {
        const std::size_t k = static_cast<std::size_t>(t * 7 + i * 3) % paths.size();
        HttpReply reply;
        if (kept) {
          kept->send("GET " + paths[k] + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
          reply = kept->read_reply();
        } else {
          reply = get(paths[k]);
        }
        if (reply.status != expected[k].status || reply.body != expected[k].body ||
            reply.header("content-type") != expected[k].header("content-type")) {
          ++wrong;
        }
        ++done;
      }
    });
  }
  for (std::thread& c : clients) c.join();
  EXPECT_EQ(done.load(), kClients * kRequests);
  EXPECT_EQ(wrong.load(), 0);
}

TEST_F(ServeApi, ConnectionsBeyondTheLimitAreTurnedAway) {
  // 16 workers and 64 waiting: of 120 silent connections, the last ones are answered 503 at once.
  std::vector<std::unique_ptr<HttpConnection>> idle;
  for (int i = 0; i < 120; ++i) {
    idle.push_back(std::make_unique<HttpConnection>(port()));
    ASSERT_TRUE(idle.back()->connected());
  }
  // The turned-away ones are answered at once; the others wait for a worker in silence. The
  // count is taken until it stops growing (the accepting thread may lag on a busy machine).
  int busy = 0;
  std::vector<bool> answered(idle.size(), false);
  for (int round = 0; round < 15; ++round) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const int before = busy;
    for (std::size_t i = 0; i < idle.size(); ++i) {
      pollfd p{idle[i]->fd(), POLLIN, 0};
      if (answered[i] || ::poll(&p, 1, 0) <= 0) continue;
      answered[i] = true;
      if (idle[i]->read_reply(false, std::chrono::milliseconds(100)).status == 503) ++busy;
    }
    if (busy >= 40 && busy == before) break;
  }
  // At most 64 wait and 16 are served: at least 40 are turned away, and up to 56 when the
  // workers had not yet taken any from the queue as they came in.
  EXPECT_GE(busy, 120 - 64 - 16);
  EXPECT_LE(busy, 120 - 64);
  idle.clear();
  // The server recovers at once.
  for (int i = 0; i < 50; ++i) {
    if (get("/api/info").status == 200) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  expect_alive();
}

// ---------------------------------------------------------------------------------------------
// The command: starting, ports, stopping

TEST(Serve, StopsOnSigtermAndSigintWithExitZero) {
  TempDir dir;
  const std::string archive = (dir.path() / "a.dat").string();
  build::write_file(archive, build::build_archive(records(), {.block_size = 64}));
  for (int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal);
    ServerProcess server(QUORVALE_DAT_CLI_PATH, {"serve", archive, "--port", "0"});
    ASSERT_GT(server.port(), 0);
    // An idle keep-alive connection does not hold the server up.
    HttpConnection idle(server.port());
    ASSERT_TRUE(idle.send("GET /api/info HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
    ASSERT_EQ(idle.read_reply().status, 200);
    // A request the server is reading when the signal comes is read to its end and answered.
    HttpConnection busy(server.port());
    ASSERT_TRUE(busy.send("GET /api/textures/" + hex8(kWide) + ".png HTTP/1.1\r\nHost: 127.0."));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto started = std::chrono::steady_clock::now();
    ::kill(server.pid(), signal);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_TRUE(busy.send("0.1\r\n\r\n"));
    const ServerProcess::Exit exit = server.stop(0, std::chrono::seconds(20));
    EXPECT_FALSE(exit.timed_out);
    EXPECT_EQ(exit.status, 0) << exit.err;
    EXPECT_EQ(exit.signal, 0);
    EXPECT_EQ(exit.err, "");
    EXPECT_EQ(busy.read_reply().status, 200);
    EXPECT_TRUE(idle.closed_by_server(std::chrono::seconds(1)));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
  }
}

TEST(Serve, PortsAndAddresses) {
  TempDir dir;
  const std::string archive = (dir.path() / "a.dat").string();
  build::write_file(archive, build::build_archive(records(), {.block_size = 64}));

  // Without --port: 8080, or the next free port; a second server takes another.
  ServerProcess first(QUORVALE_DAT_CLI_PATH, {"serve", archive});
  ASSERT_GE(first.port(), 8080) << first.first_line();
  ASSERT_LT(first.port(), 8180);
  ServerProcess second(QUORVALE_DAT_CLI_PATH, {"serve", archive});
  ASSERT_GT(second.port(), first.port()) << second.first_line();
  ASSERT_LT(second.port(), 8180);
  EXPECT_EQ(http_get(second.port(), "/api/info").status, 200);

  // A port another server holds: exit 74, whatever SO_REUSEPORT would allow.
  const RunResult taken = run_cli({"serve", archive, "--port", std::to_string(first.port())});
  EXPECT_EQ(taken.exit_status, 74);
  EXPECT_EQ(taken.out, "");
  EXPECT_EQ(taken.err, "quorvale-dat: cannot listen on 127.0.0.1:" + std::to_string(first.port()) +
                           ": Address already in use (os error 98)\n")
      << taken.err;
  EXPECT_EQ(first.stop(SIGTERM).status, 0);
  EXPECT_EQ(second.stop(SIGTERM).status, 0);

  // Another loopback address, named by --bind; the Host check follows it.
  ServerProcess other(QUORVALE_DAT_CLI_PATH,
                      {"serve", archive, "--port", "0", "--bind", "127.0.0.2"});
  ASSERT_TRUE(other.first_line().starts_with("http://127.0.0.2:")) << other.first_line();
  const ServerProcess::Exit exit = other.stop(SIGTERM);
  EXPECT_EQ(exit.status, 0);
  EXPECT_EQ(exit.err, "") << "a loopback address needs no warning";
}

TEST(Serve, CommandLineAndArchiveFailures) {
  TempDir dir;
  const std::string archive = (dir.path() / "a.dat").string();
  build::write_file(archive, build::build_archive(records(), {.block_size = 64}));
  Bytes cut = build::build_archive(records());
  cut.resize(330);
  const std::string short_file = (dir.path() / "short.dat").string();
  build::write_file(short_file, cut);
  const std::string missing = (dir.path() / "missing.dat").string();
  const struct Case {
    std::string name;
    std::vector<std::string> args;
    int status;
    std::string err;
  } cases[] = {
      {"no archive", {"serve"}, 2, "quorvale-dat: ARCHIVE is required"},
      {"a port too large", {"serve", archive, "--port", "65536"}, 2, ""},
      {"a port that is not one", {"serve", archive, "--port", "http"}, 2, ""},
      {"a name to bind",
       {"serve", archive, "--bind", "example.com"},
       2,
       "not an IP address: example.com"},
      {"an address not of this machine",
       {"serve", archive, "--port", "0", "--bind", "192.0.2.1"},
       74,
       "quorvale-dat: cannot listen on 192.0.2.1:0: "},
      {"a missing archive", {"serve", missing}, 66, "quorvale-dat: cannot open " + missing},
      {"an archive cut short", {"serve", short_file}, 65, "quorvale-dat: " + short_file},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const RunResult run = run_cli(c.args);
    EXPECT_EQ(run.exit_status, c.status) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
  }
}

TEST(Serve, OpenStartsTheDesktopsOpener) {
  TempDir dir;
  const std::string archive = (dir.path() / "a.dat").string();
  build::write_file(archive, build::build_archive(records(), {.block_size = 64}));
  const fs::path opened = dir.path() / "opened.txt";
  const fs::path opener = dir.path() / "xdg-open";
  {
    std::ofstream script(opener);
    script << "#!/bin/sh\necho \"$@\" > '" << opened.string() << "'\n";
  }
  fs::permissions(opener, fs::perms::owner_all);
  const char* path = std::getenv("PATH");
  ServerProcess server(QUORVALE_DAT_CLI_PATH, {"serve", archive, "--port", "0", "--open"},
                       {"PATH=" + dir.path().string() + ":" + (path ? path : "/usr/bin:/bin")});
  ASSERT_GT(server.port(), 0);
  for (int i = 0; i < 100 && !fs::exists(opened); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(as_text(read_bytes(opened)), server.first_line() + "\n");
  EXPECT_EQ(server.stop(SIGTERM).status, 0);
}

// The archive truncated under a running server: through the mapping, the first read of a lost page
// ends the server with status 74 and the message, never a core dump; with --no-mmap the read fails
// as a short read does and the server goes on.
TEST(Serve, AnArchiveTruncatedUnderTheServer) {
  const std::uint32_t big = 0x0A000002;
  std::vector<build::Record> with_big = records();
  Bytes payload(1 << 20);
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(i * 7);
  with_big.push_back({.id = big, .data = payload});
  const struct Case {
    const char* name;
    std::vector<std::string> before;
  } cases[] = {{"mapped", {}}, {"--no-mmap", {"--no-mmap"}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string archive = (dir.path() / "a.dat").string();
    build::write_file(archive, build::build_archive(with_big, {.block_size = 4096}));
    std::vector<std::string> args = c.before;
    for (const char* a : {"serve", "--port", "0"}) args.emplace_back(a);
    args.insert(args.end() - 2, archive);
    ServerProcess server(QUORVALE_DAT_CLI_PATH, args);
    ASSERT_GT(server.port(), 0) << server.first_line();
    const HttpReply before = http_get(server.port(), "/api/records/" + hex8(kOther) + "/raw");
    ASSERT_EQ(before.status, 200);
    ASSERT_EQ(::truncate(archive.c_str(), 0), 0);
    const HttpReply after = http_get(server.port(), "/api/records/" + hex8(big) + "/raw");
    if (c.before.empty()) {
      EXPECT_EQ(after.status, 0) << "the server ended before it answered";
      const ServerProcess::Exit exit = server.stop(0, std::chrono::seconds(20));
      EXPECT_EQ(exit.signal, 0) << "no core dump";
      EXPECT_EQ(exit.status, 74);
      EXPECT_EQ(exit.err, "quorvale-dat: " + archive +
                              ": the archive changed while it was read (the file was truncated)\n");
    } else {
      EXPECT_GE(after.status, 400);
      EXPECT_EQ(http_get(server.port(), "/api/info").status, 200);
      const ServerProcess::Exit exit = server.stop(SIGTERM);
      EXPECT_EQ(exit.signal, 0);
      EXPECT_EQ(exit.status, 0) << exit.err;
    }
  }
}

}  // namespace
