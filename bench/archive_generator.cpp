#include "archive_generator.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>
#include <optional>
#include <thread>
#include <utility>

#include "quorvale_dat/database.hpp"
#include "quorvale_dat_builder/archive_builder.hpp"
#include "quorvale_dat_builder/lrs_encoder.hpp"
#include "quorvale_dat_builder/records.hpp"

namespace quorvale_dat::bench {
namespace {

namespace ft = quorvale_dat::file_type;

// The records dump_surface_80003e4 follows.
using namespace build::report_ids;

constexpr std::uint64_t kIdsPerType = 0x1000000;
constexpr std::uint32_t kPaletteColors = 256;
constexpr std::size_t kEntriesPerNode = format::kEntrySlots;
constexpr std::size_t kBranchSlots = format::kBranchSlots;
using build::kNoChild;

// Random streams drawn per record: one while planning, one while making the content.
constexpr std::uint64_t kPlanStream = 1;
constexpr std::uint64_t kContentStream = 2;

std::string errno_text(const char* what, const std::filesystem::path& path) {
  return std::string(what) + " " + path.string() + ": " + std::strerror(errno);
}

// ---- options -------------------------------------------------------------------------------

std::optional<std::uint64_t> parse_u64(std::string_view text) {
  std::uint64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// A byte count with an optional K, M or G (or KiB, MiB, GiB) suffix.
std::optional<std::uint64_t> parse_bytes(std::string_view text) {
  std::uint64_t scale = 1;
  for (const auto& [suffix, factor] :
       {std::pair<std::string_view, std::uint64_t>{"KiB", 1ull << 10},
        {"MiB", 1ull << 20},
        {"GiB", 1ull << 30},
        {"K", 1ull << 10},
        {"M", 1ull << 20},
        {"G", 1ull << 30}}) {
    if (text.ends_with(suffix)) {
      text.remove_suffix(suffix.size());
      scale = factor;
      break;
    }
  }
  const auto value = parse_u64(text);
  if (!value || *value > std::numeric_limits<std::uint64_t>::max() / scale) return std::nullopt;
  return *value * scale;
}

// ---- planning ------------------------------------------------------------------------------

// `count` ids of `type`, spread over the type's id space with random gaps, including `fixed`.
Expected<std::vector<std::uint32_t>, std::string> make_ids(std::uint32_t type, std::uint64_t count,
                                                           std::span<const std::uint32_t> fixed,
                                                           SplitMix& rng) {
  if (count >= kIdsPerType) {
    return Unexpected(std::string("more records of one type than its ids can number"));
  }
  const std::uint64_t generated = count - fixed.size();
  const std::uint64_t gap = std::max<std::uint64_t>(1, kIdsPerType / (count + 1));
  std::vector<std::uint32_t> low;
  low.reserve(count);
  for (std::uint64_t k = 0; k < generated; ++k) {
    low.push_back(static_cast<std::uint32_t>(k * gap + rng.below(static_cast<std::uint32_t>(gap))));
  }
  for (std::uint32_t id : fixed) low.push_back(id & 0xFFFFFF);
  std::sort(low.begin(), low.end());
  low.erase(std::unique(low.begin(), low.end()), low.end());
  // Ids lost to collisions with the fixed ones are made up above the highest.
  for (std::uint32_t next = low.empty() ? 0 : low.back() + 1; low.size() < count; ++next) {
    if (next >= kIdsPerType) return Unexpected(std::string("ran out of ids"));
    low.push_back(next);
  }
  std::vector<std::uint32_t> ids;
  ids.reserve(low.size());
  for (std::uint32_t v : low) ids.push_back(type << 24 | v);
  return ids;
}

// A standard normal draw, cut at +-2.5 so that no texture is absurdly large.
double normal(SplitMix& rng) {
  const double u1 = std::max(rng.unit(), 1e-12);
  const double u2 = rng.unit();
  const double z = std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * std::numbers::pi * u2);
  return std::clamp(z, -2.5, 2.5);
}

std::uint32_t texture_list_size(std::uint32_t count) { return 4 + 4 + 1 + 4 + 4 * count; }
std::uint32_t surface_size(bool textured) { return 4 + (textured ? 8 : 4) + 12; }
std::uint32_t texture_size(PixelFormat format, std::uint32_t width, std::uint32_t height) {
  return static_cast<std::uint32_t>(24 + pixel_bytes(format, width, height) +
                                    (format == PixelFormat::P8 ? 4 : 0));
}
constexpr std::uint32_t kPaletteSize = 4 + 4 + 4 * kPaletteColors;

// Width and height of a texture of about `target` pixel bytes: a power-of-two width near the
// square root, sometimes twice as wide, and the height that makes up the size.
void texture_dimensions(RecordPlan& r, double target, SplitMix& rng) {
  double per_pixel = 1;
  switch (r.format) {
    case PixelFormat::P8:
      per_pixel = 1;
      break;
    case PixelFormat::A8R8G8B8:
      per_pixel = 4;
      break;
    case PixelFormat::R5G6B5:
      per_pixel = 2;
      break;
    case PixelFormat::Dxt1:
      per_pixel = 0.5;
      break;
  }
  const double pixels = std::clamp(target / per_pixel, 16.0, 64.0 * 1024 * 1024);
  std::uint32_t width = std::bit_floor(static_cast<std::uint32_t>(std::sqrt(pixels)));
  if (rng.below(4) == 0) width *= 2;
  width = std::clamp<std::uint32_t>(width, 4, 2048);
  auto height = static_cast<std::uint32_t>(std::max(1.0, std::round(pixels / width)));
  if (r.format == PixelFormat::Dxt1) height = std::max<std::uint32_t>(4, (height + 2) / 4 * 4);
  r.width = static_cast<std::uint16_t>(width);
  r.height = height;
}

PixelFormat random_format(SplitMix& rng) {
  const std::uint32_t roll = rng.below(20);
  if (roll < 8) return PixelFormat::P8;
  if (roll < 13) return PixelFormat::Dxt1;
  if (roll < 17) return PixelFormat::R5G6B5;
  return PixelFormat::A8R8G8B8;
}

// ---- directory -----------------------------------------------------------------------------

std::uint32_t tree_depth(const std::vector<build::DirectoryNode>& nodes, std::uint32_t node) {
  std::uint32_t below = 0;
  for (std::uint32_t child : nodes[node].children) {
    if (child != kNoChild) below = std::max(below, tree_depth(nodes, child));
  }
  return below + 1;
}

// ---- writing -------------------------------------------------------------------------------

// An open output file, closed on destruction.
class OutFile {
 public:
  explicit OutFile(int fd) noexcept : fd_(fd) {}
  OutFile(const OutFile&) = delete;
  OutFile& operator=(const OutFile&) = delete;
  ~OutFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  [[nodiscard]] int fd() const noexcept { return fd_; }
  // Closes the file, reporting whether the close succeeded.
  [[nodiscard]] bool close() noexcept {
    const int fd = std::exchange(fd_, -1);
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

bool pwrite_all(int fd, std::span<const std::uint8_t> bytes, std::uint64_t offset) {
  while (!bytes.empty()) {
    const ssize_t n = ::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes = bytes.subspan(static_cast<std::size_t>(n));
    offset += static_cast<std::uint64_t>(n);
  }
  return true;
}

// Collects blocks into runs that follow one another in the file and writes each run with one
// pwrite, so a contiguous layout is written in large sequential pieces.
class BlockWriter {
 public:
  BlockWriter(int fd, std::uint32_t block_size) : fd_(fd), block_size_(block_size) {
    buffer_.reserve(kBufferSize);
  }

  // Writes a block at `at`: the pointer to the next block, the payload, zeros to the block's end.
  [[nodiscard]] bool block(std::uint64_t at, std::uint32_t next,
                           std::span<const std::uint8_t> payload) {
    if (!buffer_.empty() &&
        (at != start_ + buffer_.size() || buffer_.size() + block_size_ > kBufferSize)) {
      if (!flush()) return false;
    }
    if (buffer_.empty()) start_ = at;
    for (int shift = 0; shift < 32; shift += 8)
      buffer_.push_back(static_cast<std::uint8_t>(next >> shift));
    buffer_.insert(buffer_.end(), payload.begin(), payload.end());
    buffer_.resize(buffer_.size() + (block_size_ - 4 - payload.size()), 0);
    return true;
  }

  [[nodiscard]] bool flush() {
    const bool ok = pwrite_all(fd_, buffer_, start_);
    buffer_.clear();
    return ok;
  }

 private:
  static constexpr std::size_t kBufferSize = std::size_t{8} << 20;
  int fd_;
  std::uint32_t block_size_;
  std::uint64_t start_ = 0;
  std::vector<std::uint8_t> buffer_;
};

std::size_t blocks_for(std::size_t size, std::uint32_t block_size) {
  const std::size_t payload = block_size - 4;
  return std::max<std::size_t>(1, (size + payload - 1) / payload);
}

}  // namespace

Expected<ArchiveShape, std::string> parse_shape(std::span<const std::string_view> args,
                                                std::filesystem::path& out) {
  ArchiveShape shape;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string_view name = args[i];
    std::string_view value;
    if (const auto eq = name.find('='); eq != std::string_view::npos) {
      value = name.substr(eq + 1);
      name = name.substr(0, eq);
    } else if (i + 1 < args.size()) {
      value = args[++i];
    } else {
      return Unexpected("option " + std::string(name) + " needs a value");
    }
    const auto bad = [&] {
      return Unexpected("bad value for " + std::string(name) + ": \"" + std::string(value) + "\"");
    };
    if (name == "--out") {
      out = std::filesystem::path(value);
    } else if (name == "--entries") {
      const auto v = parse_u64(value);
      if (!v) return bad();
      shape.entries = *v;
    } else if (name == "--data-bytes") {
      const auto v = parse_bytes(value);
      if (!v) return bad();
      shape.data_bytes = *v;
    } else if (name == "--block-size") {
      const auto v = parse_u64(value);
      if (!v || *v > std::numeric_limits<std::uint32_t>::max()) return bad();
      shape.block_size = static_cast<std::uint32_t>(*v);
    } else if (name == "--layout") {
      if (value == "contiguous") {
        shape.layout = ChainLayout::Contiguous;
      } else if (value == "scattered") {
        shape.layout = ChainLayout::Scattered;
      } else {
        return bad();
      }
    } else if (name == "--compressed-share") {
      double v = 0;
      const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), v);
      if (ec != std::errc{} || end != value.data() + value.size() || !(v >= 0 && v <= 1)) {
        return bad();
      }
      shape.compressed_share = v;
    } else if (name == "--seed") {
      const auto v = parse_u64(value);
      if (!v) return bad();
      shape.seed = *v;
    } else {
      return Unexpected("unknown option " + std::string(name));
    }
  }
  return shape;
}

std::string shape_key(const ArchiveShape& shape) {
  char share[32];
  const auto end = std::to_chars(share, share + sizeof share, shape.compressed_share).ptr;
  return std::string(shape.layout == ChainLayout::Contiguous ? "c" : "s") +
         std::to_string(shape.block_size) + "-n" + std::to_string(shape.entries) + "-d" +
         std::to_string(shape.data_bytes) + "-z" + std::string(share, end) + "-s" +
         std::to_string(shape.seed);
}

Expected<ArchivePlan, std::string> plan_archive(const ArchiveShape& shape) {
  if (shape.entries < 8) {
    return Unexpected(std::string("an archive needs at least 8 entries (the tool's records)"));
  }
  if (shape.block_size < 8) return Unexpected(std::string("block size below 8"));
  if (!(shape.compressed_share >= 0 && shape.compressed_share <= 1)) {
    return Unexpected(std::string("compressed share outside 0..1"));
  }

  // The tool's records take 4 palettes, 1 texture list, 2 textures and 1 surface; the rest is
  // shared out as 15% palettes, 10% texture lists, 25% surfaces and 50% textures.
  const std::uint64_t rest = shape.entries - 8;
  const std::uint64_t n_palettes = 4 + rest * 15 / 100;
  const std::uint64_t n_lists = 1 + rest / 10;
  const std::uint64_t n_surfaces = 1 + rest / 4;
  const std::uint64_t n_textures = shape.entries - n_palettes - n_lists - n_surfaces;

  if (std::max({n_palettes, n_lists, n_surfaces, n_textures}) >= kIdsPerType) {
    return Unexpected(std::string("more records of one type than its ids can number"));
  }

  ArchivePlan plan;
  plan.shape = shape;
  SplitMix rng(mix_seed(shape.seed, 0));
  const std::uint32_t palette_fixed[] = {kTexturePalette, kSurfacePalette, kFixedPalettes[0],
                                         kFixedPalettes[1]};
  const std::uint32_t list_fixed[] = {kSurfaceTexture};
  const std::uint32_t texture_fixed[] = {kTexture, kMipTexture};
  const std::uint32_t surface_fixed[] = {kSurface};
  auto palettes = make_ids(0x04, n_palettes, palette_fixed, rng);
  auto lists = make_ids(0x05, n_lists, list_fixed, rng);
  auto textures = make_ids(0x06, n_textures, texture_fixed, rng);
  auto surfaces = make_ids(0x08, n_surfaces, surface_fixed, rng);
  for (const auto* ids : {&palettes, &lists, &textures, &surfaces}) {
    if (!*ids) return Unexpected(ids->error());
  }
  plan.palette_ids = std::move(*palettes);
  plan.texture_list_ids = std::move(*lists);
  plan.texture_ids = std::move(*textures);

  plan.records.reserve(shape.entries);
  std::uint64_t other_bytes = 0;
  const auto add = [&](std::uint32_t id) -> RecordPlan& {
    RecordPlan& r = plan.records.emplace_back();
    r.id = id;
    return r;
  };
  for (std::uint32_t id : plan.palette_ids) {
    SplitMix r_rng(mix_seed(shape.seed, id, kPlanStream));
    RecordPlan& r = add(id);
    r.content_size = kPaletteSize;
    r.compressed = r_rng.unit() < shape.compressed_share;
    other_bytes += r.content_size;
  }
  for (std::uint32_t id : plan.texture_list_ids) {
    SplitMix r_rng(mix_seed(shape.seed, id, kPlanStream));
    RecordPlan& r = add(id);
    r.height = id == kSurfaceTexture ? 2 : 1 + r_rng.below(4);
    r.content_size = texture_list_size(r.height);
    other_bytes += r.content_size;
  }
  const std::size_t first_texture = plan.records.size();
  for (std::uint32_t id : plan.texture_ids) add(id);
  for (std::uint32_t id : *surfaces) {
    SplitMix r_rng(mix_seed(shape.seed, id, kPlanStream));
    RecordPlan& r = add(id);
    r.height = id == kSurface || r_rng.below(3) != 0 ? 1 : 0;  // 1: textured
    r.content_size = surface_size(r.height != 0);
    other_bytes += r.content_size;
  }

  // The textures take what the budget leaves, in sizes spread around their mean (log-normal).
  const double budget = static_cast<double>(shape.data_bytes) - static_cast<double>(other_bytes);
  const double mean_pixels =
      std::max(16.0, budget / static_cast<double>(n_textures) - 25.6);  // 24 + a P8 palette id
  constexpr double kSigma = 0.8;
  for (std::size_t i = first_texture; i < first_texture + n_textures; ++i) {
    RecordPlan& r = plan.records[i];
    SplitMix r_rng(mix_seed(shape.seed, r.id, kPlanStream));
    r.compressed = r_rng.unit() < shape.compressed_share;
    if (r.id == kTexture || r.id == kMipTexture) {
      r.format = PixelFormat::P8;
      r.width = r.id == kTexture ? 64 : 32;
      r.height = r.width;
    } else {
      r.format = random_format(r_rng);
      const double target = mean_pixels * std::exp(kSigma * normal(r_rng) - kSigma * kSigma / 2);
      texture_dimensions(r, target, r_rng);
    }
    r.content_size = texture_size(r.format, r.width, r.height);
  }
  return plan;
}

std::vector<std::uint8_t> record_content(const ArchivePlan& plan, std::size_t index) {
  const RecordPlan& r = plan.records[index];
  SplitMix rng(mix_seed(plan.shape.seed, r.id, kContentStream));
  const auto pick = [&](const std::vector<std::uint32_t>& ids) {
    return ids[rng.below(static_cast<std::uint32_t>(ids.size()))];
  };
  switch (r.type()) {
    case RecordType::Palette:
      return build::encode_palette({r.id, palette_colors(kPaletteColors, rng.next())});
    case RecordType::TextureList: {
      ft::SurfaceTexture list{.id = r.id,
                              .unknown_int = static_cast<std::int32_t>(rng.below(3)),
                              .unknown_byte = static_cast<std::uint8_t>(rng.below(2)),
                              .textures = {}};
      if (r.id == kSurfaceTexture) {
        list.textures = {kTexture, kMipTexture};
      } else {
        for (std::uint32_t k = 0; k < r.height; ++k)
          list.textures.push_back(pick(plan.texture_ids));
      }
      return build::encode_surface_texture(list);
    }
    case RecordType::Texture: {
      ft::Texture t;
      t.id = r.id;
      t._unknown = static_cast<std::int32_t>(rng.below(2));
      t.width = r.width;
      t.height = static_cast<std::int32_t>(r.height);
      t.format_raw = format_code(r.format);
      append_pixels(r.format, r.width, r.height, rng.next(), t.source_data);
      t.length = static_cast<std::int32_t>(t.source_data.size());
      if (r.format == PixelFormat::P8) {
        t.default_palette_id =
            r.id == kTexture || r.id == kMipTexture ? kTexturePalette : pick(plan.palette_ids);
      }
      return build::encode_texture(t);
    }
    case RecordType::Surface:
    default: {
      ft::Surface s;
      s.translucency = static_cast<float>(rng.below(5)) / 4.0f;
      s.luminosity = static_cast<float>(rng.below(3)) / 2.0f;
      s.diffuse = 1.0f;
      if (r.id == kSurface) {
        s.surface_type = 0x2;
        s.texture_refs = ft::TextureRefs{kSurfaceTexture, kSurfacePalette};
        s.translucency = 0.1f;
        s.luminosity = 0.0f;
        s.diffuse = 0.75f;
      } else if (r.height != 0) {
        s.surface_type = rng.below(2) == 0 ? 0x2 : 0x4;
        s.texture_refs = ft::TextureRefs{pick(plan.texture_list_ids), pick(plan.palette_ids)};
      } else {
        s.surface_type = 0x1;
        s.color_value = 0xFF000000u | static_cast<std::uint32_t>(rng.next() & 0xFFFFFF);
      }
      return build::encode_surface(s);
    }
  }
}

Expected<ArchiveSummary, std::string> write_archive(const ArchivePlan& plan,
                                                    const std::filesystem::path& path,
                                                    unsigned threads) {
  const std::uint32_t block_size = plan.shape.block_size;
  const std::size_t n = plan.records.size();
  ArchiveSummary summary;
  summary.entries = n;

  // Compressed records are made and compressed first, on all threads, since their stored sizes
  // decide the layout; the others are made again while they are written.
  std::vector<std::uint32_t> compressed_index;
  for (std::size_t i = 0; i < n; ++i) {
    if (plan.records[i].compressed) compressed_index.push_back(static_cast<std::uint32_t>(i));
  }
  std::vector<std::vector<std::uint8_t>> compressed(compressed_index.size());
  {
    const unsigned workers = std::max(1u, threads);
    std::vector<std::jthread> pool;
    for (unsigned w = 0; w < workers; ++w) {
      pool.emplace_back([&, w] {
        for (std::size_t j = w; j < compressed_index.size(); j += workers) {
          compressed[j] = build::compress_lrs(record_content(plan, compressed_index[j]));
        }
      });
    }
  }
  std::vector<std::uint32_t> stored_size(n);
  for (std::size_t i = 0, j = 0; i < n; ++i) {
    const RecordPlan& r = plan.records[i];
    stored_size[i] =
        r.compressed ? static_cast<std::uint32_t>(compressed[j++].size()) : r.content_size;
    summary.content_bytes += r.content_size;
    summary.stored_bytes += stored_size[i];
    if (r.compressed) {
      ++summary.compressed_records;
      summary.compressed_content_bytes += r.content_size;
      summary.compressed_stored_bytes += stored_size[i];
    }
  }

  const std::vector<build::DirectoryNode> tree = build::plan_directory(n, kEntriesPerNode);
  summary.nodes = tree.size();
  summary.depth = tree.empty() ? 0 : tree_depth(tree, 0);

  // Chains: the records' in id order, then the nodes' in walk order. first_block[c] is the
  // index of chain c's first block in that order; slot(b) is where block b lies in the file.
  const std::size_t chains = n + tree.size();
  std::vector<std::uint64_t> first_block(chains + 1, 0);
  const std::size_t node_blocks = blocks_for(format::kNodeSize, block_size);
  for (std::size_t c = 0; c < chains; ++c) {
    first_block[c + 1] =
        first_block[c] + (c < n ? blocks_for(stored_size[c], block_size) : node_blocks);
  }
  const std::uint64_t total_blocks = first_block[chains];
  summary.blocks = total_blocks;
  // The blocks start at the first multiple of the block size past the header.
  const std::uint64_t data_start =
      (format::kHeaderOffset + format::kHeaderSize + block_size - 1) / block_size * block_size;
  summary.file_size = data_start + total_blocks * block_size;
  if (summary.file_size > std::numeric_limits<std::uint32_t>::max()) {
    return Unexpected("the archive would take " + std::to_string(summary.file_size) +
                      " bytes, past what 32-bit offsets reach");
  }

  std::vector<std::uint32_t> slots;
  if (plan.shape.layout == ChainLayout::Scattered) {
    slots.resize(total_blocks);
    for (std::uint64_t b = 0; b < total_blocks; ++b) slots[b] = static_cast<std::uint32_t>(b);
    SplitMix rng(mix_seed(plan.shape.seed, 0, 3));
    for (std::size_t i = slots.size(); i > 1; --i) {
      std::swap(slots[i - 1], slots[rng.next() % i]);
    }
  }
  const auto block_offset = [&](std::uint64_t b) {
    const std::uint64_t slot = slots.empty() ? b : slots[b];
    return static_cast<std::uint32_t>(data_start + slot * block_size);
  };

  const std::filesystem::path temp = path.string() + ".partial";
  OutFile file(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (file.fd() < 0) return Unexpected(errno_text("cannot create", temp));
  if (::ftruncate(file.fd(), static_cast<off_t>(summary.file_size)) != 0) {
    return Unexpected(errno_text("cannot size", temp));
  }
  BlockWriter writer(file.fd(), block_size);
  const std::size_t payload = block_size - 4;
  const auto write_chain = [&](std::size_t c, std::span<const std::uint8_t> content) {
    const std::uint64_t first = first_block[c];
    const std::uint64_t count = first_block[c + 1] - first;
    for (std::uint64_t b = 0; b < count; ++b) {
      const std::size_t from = std::min<std::size_t>(b * payload, content.size());
      const std::size_t size = std::min(payload, content.size() - from);
      const std::uint32_t next = b + 1 < count ? block_offset(first + b + 1) : 0;
      if (!writer.block(block_offset(first + b), next, content.subspan(from, size))) return false;
    }
    return true;
  };

  std::vector<DatFileEntry> entries(n);
  for (std::size_t i = 0, j = 0; i < n; ++i) {
    const RecordPlan& r = plan.records[i];
    const std::uint64_t id_hash = mix_seed(plan.shape.seed, r.id, 4);
    entries[i] =
        DatFileEntry{.bit_flags = r.compressed ? 1u : 0u,
                     .id = r.id,
                     .offset = block_offset(first_block[i]),
                     .size = stored_size[i],
                     .timestamp = 0x5F000000u + static_cast<std::uint32_t>(id_hash % 0x4000000),
                     .version = 1 + static_cast<std::uint32_t>((id_hash >> 32) % 3)};
    bool ok = false;
    if (r.compressed) {
      ok = write_chain(i, compressed[j]);
      std::vector<std::uint8_t>().swap(compressed[j++]);
    } else {
      ok = write_chain(i, record_content(plan, i));
    }
    if (!ok) return Unexpected(errno_text("cannot write", temp));
  }
  for (std::size_t k = 0; k < tree.size(); ++k) {
    build::NodeSpec node;
    node.entry_count = static_cast<std::uint32_t>(tree[k].entries.size());
    for (std::uint32_t e : tree[k].entries) node.entries.push_back(entries[e]);
    for (std::size_t s = 0; s < tree[k].children.size() && s < kBranchSlots; ++s) {
      const std::uint32_t child = tree[k].children[s];
      node.branches[s] = child == kNoChild ? 0 : block_offset(first_block[n + child]);
    }
    if (!write_chain(n + k, build::encode_node(node))) {
      return Unexpected(errno_text("cannot write", temp));
    }
  }
  if (!writer.flush()) return Unexpected(errno_text("cannot write", temp));

  DatHeader header = build::ArchiveOptions::default_header();
  header.block_size = block_size;
  header.file_size = static_cast<std::uint32_t>(summary.file_size);
  header.root_offset = tree.empty() ? 0 : block_offset(first_block[n]);
  if (!pwrite_all(file.fd(), build::encode_header(header), format::kHeaderOffset)) {
    return Unexpected(errno_text("cannot write", temp));
  }
  if (!file.close()) return Unexpected(errno_text("cannot close", temp));
  std::error_code ec;
  std::filesystem::rename(temp, path, ec);
  if (ec) return Unexpected("cannot rename " + temp.string() + ": " + ec.message());
  return summary;
}

std::vector<std::vector<std::uint8_t>> compressible_samples(std::uint64_t seed,
                                                            std::size_t total_bytes) {
  ArchiveShape shape;
  shape.entries = std::max<std::uint64_t>(64, total_bytes / 1024);
  shape.data_bytes = total_bytes;
  shape.seed = seed;
  std::vector<std::vector<std::uint8_t>> samples;
  auto plan = plan_archive(shape);
  if (!plan) return samples;
  for (std::size_t i = 0; i < plan->records.size(); ++i) {
    const RecordType type = plan->records[i].type();
    if (type == RecordType::Texture || type == RecordType::Palette) {
      samples.push_back(record_content(*plan, i));
    }
  }
  return samples;
}

}  // namespace quorvale_dat::bench
