// The benchmark archives must be what they claim: every record readable through the library with
// the planned content, chains laid out as asked, a balanced directory, the tool's records linked
// up, and content that compresses like pixel data.
#include "archive_generator.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <ostream>
#include <set>

#include "block_chain.hpp"
#include "byte_source.hpp"
#include "quorvale_dat/database.hpp"
#include "quorvale_dat/file_type/palette.hpp"
#include "quorvale_dat/file_type/surface.hpp"
#include "quorvale_dat/file_type/surface_texture.hpp"
#include "quorvale_dat/file_type/texture.hpp"
#include "quorvale_dat_builder/lrs_encoder.hpp"

namespace {

namespace qd = quorvale_dat;
namespace qb = quorvale_dat::bench;
namespace ft = quorvale_dat::file_type;

class TempPath {
 public:
  explicit TempPath(const std::string& name)
      : path_(std::filesystem::temp_directory_path() /
              ("quorvale_dat_gen_" + std::to_string(::getpid()) + "_" + name + ".dat")) {}
  TempPath(const TempPath&) = delete;
  TempPath& operator=(const TempPath&) = delete;
  ~TempPath() {
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
  }
  [[nodiscard]] const std::filesystem::path& get() const { return path_; }

 private:
  std::filesystem::path path_;
};

std::uint32_t load_u32(std::span<const std::uint8_t> bytes, std::size_t at) {
  return static_cast<std::uint32_t>(bytes[at]) | static_cast<std::uint32_t>(bytes[at + 1]) << 8 |
         static_cast<std::uint32_t>(bytes[at + 2]) << 16 |
         static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}

struct Case {
  const char* name;
  qb::ArchiveShape shape;
};

// The case as the test's listing shows it (GoogleTest would print its bytes).
void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name << ": " << c.shape.entries << " entries, " << c.shape.data_bytes << " bytes, "
      << c.shape.block_size << "-byte blocks, "
      << (c.shape.layout == qb::ChainLayout::Contiguous ? "contiguous" : "scattered");
}

struct Generated {
  explicit Generated(const Case& c)
      : plan(qb::plan_archive(c.shape).value()),
        path(c.name),
        summary(qb::write_archive(plan, path.get()).value()) {}

  qb::ArchivePlan plan;
  TempPath path;
  qb::ArchiveSummary summary;
};

class GeneratedArchive : public ::testing::TestWithParam<Case> {
 protected:
  // The case's archive, written once and shared by the case's tests; removed at exit.
  static const Generated& generated() {
    static std::map<std::string, std::unique_ptr<Generated>> archives;
    std::unique_ptr<Generated>& slot = archives[GetParam().name];
    if (!slot) slot = std::make_unique<Generated>(GetParam());
    return *slot;
  }
};

TEST_P(GeneratedArchive, EveryRecordReadsBackAsPlanned) {
  const Generated& g = generated();
  const qb::ArchiveShape& shape = g.plan.shape;
  const qb::ArchivePlan* plan = &g.plan;
  const qb::ArchiveSummary* summary = &g.summary;
  const TempPath& path = g.path;

  auto db = qd::DatDatabase::open(path.get());
  ASSERT_TRUE(db) << db.error().display();
  EXPECT_EQ(db->header().block_size, shape.block_size);
  EXPECT_EQ(db->header().file_size, summary->file_size);
  EXPECT_EQ(db->file_size(), summary->file_size);
  ASSERT_EQ(db->files().size(), shape.entries);

  std::uint64_t content = 0;
  std::uint64_t compressed = 0;
  for (std::size_t i = 0; i < plan->records.size(); ++i) {
    const qb::RecordPlan& r = plan->records[i];
    const qd::DatFileEntry& e = db->files().entries()[i];
    SCOPED_TRACE(testing::Message() << "record " << std::hex << r.id);
    ASSERT_EQ(e.id, r.id);
    EXPECT_EQ(e.is_compressed(), r.compressed);
    const std::vector<std::uint8_t> expected = qb::record_content(*plan, i);
    ASSERT_EQ(expected.size(), r.content_size);
    auto bytes = db->get_file(r.id);
    ASSERT_TRUE(bytes) << bytes.error().display();
    ASSERT_EQ(*bytes, expected);
    content += bytes->size();
    compressed += r.compressed ? 1 : 0;

    switch (r.type()) {
      case qb::RecordType::Palette: {
        auto palette = ft::Palette::unpack(*bytes);
        ASSERT_TRUE(palette);
        EXPECT_EQ(palette->colors.size(), 256u);
        break;
      }
      case qb::RecordType::TextureList: {
        auto list = ft::SurfaceTexture::unpack(*bytes);
        ASSERT_TRUE(list);
        for (std::uint32_t id : list->textures) EXPECT_TRUE(db->files().contains(id));
        break;
      }
      case qb::RecordType::Texture: {
        auto texture = ft::Texture::unpack(*bytes);
        ASSERT_TRUE(texture);
        EXPECT_EQ(texture->width, r.width);
        EXPECT_EQ(static_cast<std::uint32_t>(texture->height), r.height);
        EXPECT_EQ(texture->source_data.size(), qb::pixel_bytes(r.format, r.width, r.height));
        if (texture->default_palette_id) {
          EXPECT_TRUE(db->files().contains(*texture->default_palette_id));
        }
        break;
      }
      case qb::RecordType::Surface: {
        auto surface = ft::Surface::unpack(*bytes);
        ASSERT_TRUE(surface);
        if (surface->texture_refs) {
          EXPECT_TRUE(db->files().contains(surface->texture_refs->orig_texture_id));
          EXPECT_TRUE(db->files().contains(surface->texture_refs->orig_palette_id));
        }
        break;
      }
    }
  }
  EXPECT_EQ(content, summary->content_bytes);
  EXPECT_EQ(compressed, summary->compressed_records);
}

// Walks every record's chain by its stored pointers, and the directory from the root.
TEST_P(GeneratedArchive, ChainsAndDirectoryHaveTheirShape) {
  const Generated& g = generated();
  const qb::ArchiveShape& shape = g.plan.shape;
  const qb::ArchiveSummary* summary = &g.summary;
  const TempPath& path = g.path;
  std::ifstream in(path.get(), std::ios::binary);
  const std::vector<std::uint8_t> file((std::istreambuf_iterator<char>(in)),
                                       std::istreambuf_iterator<char>());
  ASSERT_EQ(file.size(), summary->file_size);
  auto db = qd::DatDatabase::open(path.get());
  ASSERT_TRUE(db);

  const std::uint32_t block = shape.block_size;
  const qd::detail::MemorySource source{std::span<const std::uint8_t>(file)};
  const auto geometry = qd::detail::ChainGeometry::of(block, file.size());
  const auto chain = [&](std::uint32_t offset, std::uint32_t size) {
    std::vector<std::uint32_t> blocks;
    auto walked = qd::detail::walk_chain(
        source, geometry, offset, size, [&](const qd::detail::ChainBlock& b) {
          blocks.push_back(b.offset);
          EXPECT_EQ(b.offset % block, 0u) << "blocks lie on multiples of the block size";
          if (b.ends_chain) {
            EXPECT_EQ(b.next, 0u) << "the last block's pointer is 0";
          }
          return true;
        });
    EXPECT_TRUE(walked);
    return blocks;
  };

  std::set<std::uint32_t> used;
  std::size_t multi_block = 0;
  std::size_t adjacent = 0;
  for (const qd::DatFileEntry& e : db->files()) {
    const auto blocks = chain(e.offset, e.size);
    used.insert(blocks.begin(), blocks.end());
    if (blocks.size() < 2) continue;
    ++multi_block;
    bool all_adjacent = true;
    for (std::size_t b = 1; b < blocks.size(); ++b)
      all_adjacent &= blocks[b] == blocks[b - 1] + block;
    adjacent += all_adjacent ? 1 : 0;
  }
  ASSERT_GT(multi_block, 20u);
  if (shape.layout == qb::ChainLayout::Contiguous) {
    EXPECT_EQ(adjacent, multi_block);
  } else {
    EXPECT_LT(adjacent * 10, multi_block) << "scattered chains are rarely adjacent";
  }

  // The directory: every leaf at the same depth, every node but the root at least half full.
  std::map<std::uint32_t, std::uint32_t> leaf_depths;  // depth -> leaves
  std::uint64_t nodes = 0;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> stack = {{db->header().root_offset, 1}};
  while (!stack.empty()) {
    const auto [offset, depth] = stack.back();
    stack.pop_back();
    ++nodes;
    for (std::uint32_t b : chain(offset, qd::format::kNodeSize)) used.insert(b);
    auto node = db->read_file_data(offset, qd::format::kNodeSize);
    ASSERT_TRUE(node);
    const std::uint32_t count = load_u32(*node, qd::format::kEntryCountOffset);
    ASSERT_LE(count, qd::format::kEntrySlots);
    if (offset != db->header().root_offset) {
      EXPECT_GE(count, 30u);
    }
    if (load_u32(*node, 0) == 0) {
      ++leaf_depths[depth];
      continue;
    }
    for (std::uint32_t s = 0; s <= count; ++s) {
      const std::uint32_t child = load_u32(*node, 4 * s);
      ASSERT_NE(child, 0u);
      stack.emplace_back(child, depth + 1);
    }
  }
  EXPECT_EQ(leaf_depths.size(), 1u);
  EXPECT_EQ(leaf_depths.begin()->first, summary->depth);
  EXPECT_EQ(nodes, summary->nodes);
  EXPECT_EQ(used.size(), summary->blocks) << "no block is shared or left over";
}

// The records dump_surface_80003e4 follows, linked up as it follows them.
TEST_P(GeneratedArchive, HoldsTheToolsRecords) {
  auto db = qd::DatDatabase::open(generated().path.get());
  ASSERT_TRUE(db);

  auto surface = ft::Surface::unpack(db->get_file(0x080003E4).value());
  ASSERT_TRUE(surface && surface->texture_refs);
  EXPECT_EQ(surface->texture_refs->orig_texture_id, 0x05000A10u);
  auto list = ft::SurfaceTexture::unpack(db->get_file(0x05000A10).value());
  ASSERT_TRUE(list);
  ASSERT_FALSE(list->textures.empty());
  auto texture = ft::Texture::unpack(db->get_file(list->textures.front()).value());
  ASSERT_TRUE(texture);
  EXPECT_EQ(texture->format().kind(), ft::SurfacePixelFormat::Kind::P8);
  ASSERT_TRUE(texture->default_palette_id);
  for (std::uint32_t id : {*texture->default_palette_id, surface->texture_refs->orig_palette_id,
                           0x040010BEu, 0x04000DC0u}) {
    auto palette = ft::Palette::unpack(db->get_file(id).value());
    ASSERT_TRUE(palette) << std::hex << id;
    EXPECT_EQ(palette->colors.size(), 256u);
  }
}

qb::ArchiveShape small(qb::ChainLayout layout, std::uint32_t block_size) {
  qb::ArchiveShape shape;
  shape.entries = 4000;
  shape.data_bytes = 4000 * 1024;
  shape.block_size = block_size;
  shape.layout = layout;
  shape.compressed_share = 0.5;
  shape.seed = 9;
  return shape;
}

INSTANTIATE_TEST_SUITE_P(Shapes, GeneratedArchive,
                         ::testing::Values(Case{"c1024", small(qb::ChainLayout::Contiguous, 1024)},
                                           Case{"s1024", small(qb::ChainLayout::Scattered, 1024)},
                                           Case{"c256", small(qb::ChainLayout::Contiguous, 256)},
                                           Case{"s256", small(qb::ChainLayout::Scattered, 256)}),
                         [](const ::testing::TestParamInfo<Case>& test) {
                           return std::string(test.param.name);
                         });

TEST(ArchivePlan, SizesSpreadAroundTheMeanAndContentCompressesLikePixels) {
  qb::ArchiveShape shape;
  shape.entries = 20000;
  shape.data_bytes = 20000 * 1024;
  auto plan = qb::plan_archive(shape);
  ASSERT_TRUE(plan);
  std::uint64_t total = 0;
  std::uint32_t smallest = UINT32_MAX;
  std::uint32_t largest = 0;
  std::map<qb::RecordType, std::size_t> types;
  for (const qb::RecordPlan& r : plan->records) {
    total += r.content_size;
    ++types[r.type()];
    if (r.type() != qb::RecordType::Texture) continue;
    smallest = std::min(smallest, r.content_size);
    largest = std::max(largest, r.content_size);
  }
  const double mean = static_cast<double>(total) / 20000.0;
  EXPECT_NEAR(mean, 1024.0, 1024.0 * 0.1);
  EXPECT_LT(smallest * 8, largest) << "texture sizes vary";
  EXPECT_EQ(types.size(), 4u);
  EXPECT_GT(types[qb::RecordType::Texture], 20000u * 4 / 10);

  // LRS on the samples: well below the raw size (not random bytes), far from a constant fill.
  std::size_t raw = 0;
  std::size_t packed = 0;
  for (const auto& sample : qb::compressible_samples(3, 1 << 20)) {
    raw += sample.size();
    packed += qd::build::compress_lrs(sample).size();
  }
  EXPECT_GT(raw, (1u << 20) * 8 / 10);
  const double ratio = static_cast<double>(raw) / static_cast<double>(packed);
  EXPECT_GT(ratio, 1.3);
  EXPECT_LT(ratio, 8.0);
}

TEST(ArchivePlan, RefusesImpossibleShapes) {
  const struct {
    const char* name;
    qb::ArchiveShape shape;
    std::string error;
  } cases[] = {
      {"too few entries",
       {.entries = 7},
       "an archive needs at least 8 entries (the tool's records)"},
      {"tiny blocks", {.entries = 100, .block_size = 4}, "block size below 8"},
      {"share above 1", {.entries = 100, .compressed_share = 1.5}, "compressed share outside 0..1"},
      {"too many ids", {.entries = 40'000'000}, "more records of one type than its ids can number"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto plan = qb::plan_archive(c.shape);
    ASSERT_FALSE(plan);
    EXPECT_EQ(plan.error(), c.error);
  }

  // Past 4 GiB (3 GiB of content in blocks of 4 payload bytes): found before a byte is written.
  auto plan = qb::plan_archive({.entries = 1000,
                                .data_bytes = std::uint64_t{3} << 30,
                                .block_size = 8,
                                .compressed_share = 0});
  ASSERT_TRUE(plan);
  TempPath path("huge");
  auto written = qb::write_archive(*plan, path.get());
  ASSERT_FALSE(written);
  EXPECT_NE(written.error().find("past what 32-bit offsets reach"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(path.get()));
}

TEST(ParseShape, OptionsAndErrors) {
  const struct {
    std::vector<std::string_view> args;
    qb::ArchiveShape expected;
  } good[] = {
      {{}, {}},
      {{"--entries", "5000", "--data-bytes=64M", "--block-size", "256", "--layout=scattered",
        "--compressed-share", "0.5", "--seed", "3"},
       {.entries = 5000,
        .data_bytes = 64ull << 20,
        .block_size = 256,
        .layout = qb::ChainLayout::Scattered,
        .compressed_share = 0.5,
        .seed = 3}},
      {{"--data-bytes", "2GiB"}, {.data_bytes = 2ull << 30}},
  };
  for (const auto& c : good) {
    std::filesystem::path out;
    auto shape = qb::parse_shape(c.args, out);
    ASSERT_TRUE(shape) << shape.error();
    EXPECT_EQ(qb::shape_key(*shape), qb::shape_key(c.expected));
  }

  const struct {
    std::vector<std::string_view> args;
    std::string error;
  } bad[] = {
      {{"--entries"}, "option --entries needs a value"},
      {{"--entries", "12x"}, "bad value for --entries: \"12x\""},
      {{"--layout", "diagonal"}, "bad value for --layout: \"diagonal\""},
      {{"--compressed-share", "1.01"}, "bad value for --compressed-share: \"1.01\""},
      {{"--data-bytes", "99999999999G"}, "bad value for --data-bytes: \"99999999999G\""},
      {{"--colour", "red"}, "unknown option --colour"},
  };
  for (const auto& c : bad) {
    std::filesystem::path out;
    auto shape = qb::parse_shape(c.args, out);
    ASSERT_FALSE(shape);
    EXPECT_EQ(shape.error(), c.error);
  }

  std::filesystem::path out;
  const std::string_view with_out[] = {"--out", "x/y.dat"};
  ASSERT_TRUE(qb::parse_shape(with_out, out));
  EXPECT_EQ(out, std::filesystem::path("x/y.dat"));
  EXPECT_EQ(qb::shape_key({.entries = 5000,
                           .data_bytes = 1 << 20,
                           .block_size = 256,
                           .layout = qb::ChainLayout::Scattered,
                           .compressed_share = 0.5,
                           .seed = 3}),
            "s256-n5000-d1048576-z0.5-s3");
}

}  // namespace
