// bench_python_baseline ARCHIVE ROUNDS [for_each_file|texture_rgba]: the C++ side of
// bench/python_bench.py. Times, ROUNDS times each, the two things the Python benchmark does
// through the package (or only the one named, for instruction counts under callgrind):
//
//   for_each_file   every record in one pass, each record's bytes touched once
//   texture_rgba    every texture (type byte 0x06): get_file, Texture::unpack, its palette for
//                   P8 and Index16, texture_rgba; textures without a conversion are counted
//
// and prints one JSON object: {"for_each_file": [seconds...], "texture_rgba": [...],
// "records": N, "textures": N, "converted": N}. Wall-clock seconds, like time.perf_counter() on
// the Python side.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "quorvale_dat/database.hpp"
#include "quorvale_dat/file_type/palette.hpp"
#include "quorvale_dat/file_type/texture.hpp"
#include "quorvale_dat/format.hpp"
#include "quorvale_dat/image.hpp"

namespace {

namespace qd = quorvale_dat;
namespace ft = quorvale_dat::file_type;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The conversion Archive.texture_rgba(id) makes; true when the texture converted.
bool convert(const qd::DatDatabase& db, std::uint32_t id, std::uint64_t& checksum) {
  auto bytes = db.get_file(id);
  if (!bytes) return false;
  auto texture = ft::Texture::unpack(*bytes);
  if (!texture) return false;
  std::vector<std::uint32_t> colours;
  if (qd::is_indexed(texture->format())) {
    auto palette_bytes = db.get_file(texture->default_palette_id.value_or(0));
    if (!palette_bytes) return false;
    auto palette = ft::Palette::unpack(*palette_bytes);
    if (!palette) return false;
    colours = std::move(palette->colors);
  }
  auto image = qd::texture_rgba(*texture, colours);
  if (!image) return false;
  checksum += image->pixels[image->pixels.size() / 2];
  return true;
}

std::string list(const std::vector<double>& values) {
  std::string out = "[";
  for (double v : values) out += (out.size() > 1 ? ", " : "") + std::to_string(v);
  return out + "]";
}

}  // namespace

int main(int argc, char** argv) {
  const std::string only = argc == 4 ? argv[3] : "";
  if ((argc != 3 && argc != 4) ||
      (argc == 4 && only != "for_each_file" && only != "texture_rgba")) {
    std::fprintf(stderr,
                 "usage: bench_python_baseline ARCHIVE ROUNDS [for_each_file|texture_rgba]\n");
    return 2;
  }
  auto db = qd::DatDatabase::open(argv[1]);
  if (!db) {
    std::fprintf(stderr, "bench_python_baseline: %s\n", db.error().display().c_str());
    return 1;
  }
  const int rounds = std::atoi(argv[2]);
  std::vector<std::uint32_t> textures;
  for (const qd::DatFileEntry& e : db->files()) {
    if (qd::record_type(e.id) == qd::RecordType::Texture) textures.push_back(e.id);
  }

  std::vector<double> walk, convert_times;
  std::uint64_t records = 0;
  std::uint64_t converted = 0;
  std::uint64_t checksum = 0;
  for (int r = 0; r < rounds; ++r) {
    records = 0;
    auto start = Clock::now();
    if (only != "texture_rgba") {
      db->for_each_file([&](const qd::DatFileEntry&, qd::DatDatabase::FileResult result) {
        ++records;
        if (result && !result->empty()) checksum += (*result)[result->size() - 1];
      });
    }
    walk.push_back(seconds_since(start));

    converted = 0;
    if (only == "for_each_file") continue;
    start = Clock::now();
    for (std::uint32_t id : textures) {
      if (convert(*db, id, checksum)) ++converted;
    }
    convert_times.push_back(seconds_since(start));
  }
  std::printf(
      "{\"for_each_file\": %s, \"texture_rgba\": %s, \"records\": %llu, \"textures\": %zu, "
      "\"converted\": %llu, \"checksum\": %llu}\n",
      list(walk).c_str(), list(convert_times).c_str(), static_cast<unsigned long long>(records),
      textures.size(), static_cast<unsigned long long>(converted),
      static_cast<unsigned long long>(checksum));
  return 0;
}
