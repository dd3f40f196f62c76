// Writes the seed corpora of the fuzz targets into DIR/<target>/, from archives and records made
// by the builder: usage: fuzz_seeds DIR

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "quorvale_dat/image.hpp"
#include "quorvale_dat_builder/archive_builder.hpp"
#include "quorvale_dat_builder/lrs_encoder.hpp"
#include "quorvale_dat_builder/records.hpp"

namespace qd = quorvale_dat;
namespace ft = quorvale_dat::file_type;
using Bytes = std::vector<std::uint8_t>;

namespace {

Bytes pattern(std::size_t size, std::uint32_t seed) {
  Bytes out(size);
  for (std::size_t i = 0; i < size; ++i) {
    out[i] = static_cast<std::uint8_t>((i / 7 + seed * (i % 5)) & 0x1F);
  }
  return out;
}

std::vector<qd::build::Record> sample_records(std::uint32_t n) {
  std::vector<qd::build::Record> records;
  for (std::uint32_t i = 0; i < n; ++i) {
    ft::Palette palette{0x04000000u + i, {0xFF000000u, 0x80FF4020u, i}};
    records.push_back({.id = 0x04000000u + i,
                       .data = qd::build::encode_palette(palette),
                       .compressed = i % 2 == 0});
    ft::Texture texture;
    texture.id = 0x06000000u + i;
    texture.width = 8;
    texture.height = 8;
    texture.format_raw = 41;
    texture.source_data = pattern(64, i);
    texture.length = 64;
    texture.default_palette_id = 0x04000000u + i;
    records.push_back({.id = 0x06000000u + i,
                       .data = qd::build::encode_texture(texture),
                       .compressed = i % 3 == 0});
  }
  ft::Surface surface;
  surface.surface_type = 2;
  surface.texture_refs = ft::TextureRefs{0x05000001, 0x04000001};
  surface.diffuse = 1;
  records.push_back({.id = 0x080003E4, .data = qd::build::encode_surface(surface)});
  records.push_back({.id = 0x05000001,
                     .data = qd::build::encode_surface_texture({0x05000001, -1, 7, {0x06000001}})});
  return records;
}

void write(const std::filesystem::path& dir, const std::string& name, const Bytes& bytes) {
  std::filesystem::create_directories(dir);
  qd::build::write_file(dir / name, bytes);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: fuzz_seeds DIR\n");
    return 2;
  }
  const std::filesystem::path root = argv[1];

  int n = 0;
  for (std::uint32_t block_size : {64u, 256u, 1024u}) {
    for (auto layout : {qd::build::Layout::Sequential, qd::build::Layout::Scattered}) {
      for (std::uint32_t records : {0u, 3u, 40u}) {
        qd::build::ArchiveOptions options{.block_size = block_size, .layout = layout};
        options.entries_per_node = records > 10 ? 4 : 61;
        write(root / "fuzz_open", "archive_" + std::to_string(n++),
              qd::build::build_archive(sample_records(records), options));
      }
    }
  }

  n = 0;
  for (const auto& record : sample_records(4)) {
    write(root / "fuzz_decoders", "record_" + std::to_string(n++), record.data);
    write(root / "fuzz_lrs", "stream_" + std::to_string(n), qd::build::compress_lrs(record.data));
  }
  // A texture of every format with a pixel conversion, for the image checks of fuzz_decoders.
  for (std::uint32_t code : {20u, 21u, 23u, 26u, 28u, 41u, 101u, 0x31545844u, 0x32545844u,
                             0x33545844u, 0x34545844u, 0x35545844u}) {
    const auto format = ft::SurfacePixelFormat::from_u32(code);
    const auto palette = qd::is_indexed(format) ? std::optional(0x04000001u) : std::nullopt;
    const ft::Texture texture = qd::build::make_texture(
        0x06000100, 6, 5, code, pattern(*qd::pixel_data_length(format, 6, 5), code), palette);
    write(root / "fuzz_decoders", "texture_" + format.name(), qd::build::encode_texture(texture));
  }
  write(root / "fuzz_lrs", "run", {8, 0, 0, 0, 0x20, 0x41, 0x42, 0x02, 0x04});
  write(root / "fuzz_lrs", "pattern", qd::build::compress_lrs(pattern(5000, 3)));

  // The builder target reads its own description format; any bytes are a valid start.
  for (std::uint32_t i = 0; i < 8; ++i) {
    write(root / "fuzz_builder", "description_" + std::to_string(i), pattern(64 + 97 * i, i + 1));
  }
  return 0;
}
