#include "quorvale_dat_builder/archive_builder.hpp"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

#include "quorvale_dat/format.hpp"
#include "quorvale_dat_builder/lrs_encoder.hpp"

namespace quorvale_dat::build {
namespace {

constexpr std::size_t kHeaderEnd = format::kHeaderOffset + format::kHeaderSize;  // 400
constexpr std::size_t kBranchSlots = format::kBranchSlots;
constexpr std::size_t kMaxEntriesPerNode = format::kEntrySlots;
constexpr std::size_t kVersionStringSize = format::kVersionStringSize;

// splitmix64: small, seedable and the same on every platform.
std::uint64_t next_random(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

template <class T>
void shuffle(std::vector<T>& items, std::uint64_t& state) {
  for (std::size_t i = items.size(); i > 1; --i) {
    const auto j = static_cast<std::size_t>(next_random(state) % i);
    std::swap(items[i - 1], items[j]);
  }
}

void store_u32(std::span<std::uint8_t> bytes, std::size_t at, std::uint32_t value) {
  for (std::size_t k = 0; k < 4; ++k) bytes[at + k] = static_cast<std::uint8_t>(value >> (8 * k));
}

void append_u32(std::vector<std::uint8_t>& bytes, std::uint32_t value) {
  bytes.resize(bytes.size() + 4);
  store_u32(bytes, bytes.size() - 4, value);
}

std::uint32_t to_offset(std::size_t offset) {
  if (offset > std::numeric_limits<std::uint32_t>::max()) {
    throw std::length_error("archive larger than 32-bit offsets can address");
  }
  return static_cast<std::uint32_t>(offset);
}

// Blocks needed for `size` content bytes; at least one.
std::size_t blocks_for(std::size_t size, std::uint32_t block_size) {
  const std::size_t payload = block_size - 4;
  return std::max<std::size_t>(1, (size + payload - 1) / payload);
}

// Writes `content` into the blocks at `offsets`, in that order: each block's pointer names the
// next block, the last one's is 0. The blocks must already lie inside `file`.
void write_chain(std::vector<std::uint8_t>& file, std::span<const std::uint32_t> offsets,
                 std::span<const std::uint8_t> content, std::uint32_t block_size) {
  const std::size_t payload = block_size - 4;
  for (std::size_t b = 0; b < offsets.size(); ++b) {
    const std::size_t at = offsets[b];
    store_u32(file, at, b + 1 < offsets.size() ? offsets[b + 1] : 0);
    const std::size_t from = std::min(b * payload, content.size());
    const std::size_t count = std::min(payload, content.size() - from);
    std::copy_n(content.begin() + static_cast<std::ptrdiff_t>(from), count,
                file.begin() + static_cast<std::ptrdiff_t>(at + 4));
  }
}

// Plans the subtrees of a directory into `nodes`, in walk order.
class DirectoryPlanner {
 public:
  explicit DirectoryPlanner(std::size_t per_node) : per_node_(per_node) {}

  // Lays entries [lo, hi) out as a subtree; returns its root's index. Requires: lo < hi.
  std::uint32_t plan(std::size_t lo, std::size_t hi) {
    const std::size_t n = hi - lo;
    const auto index = static_cast<std::uint32_t>(nodes_.size());
    nodes_.emplace_back();
    if (n <= per_node_) {
      for (std::size_t i = lo; i < hi; ++i) nodes_[index].entries.push_back(to_index(i));
      return index;
    }
    // The lowest height whose full tree holds n entries; the children are one level lower and
    // hold `child_capacity` each. The node takes the fewest entries k whose k + 1 children can
    // hold the rest, and the rest is shared out evenly, earlier children taking any extra.
    std::size_t child_capacity = per_node_;
    while (capacity_above(child_capacity) < n) child_capacity = capacity_above(child_capacity);
    const std::size_t k = (n + 1 + child_capacity) / (child_capacity + 1) - 1;
    const std::size_t below = n - k;
    std::size_t pos = lo;
    for (std::size_t j = 0; j <= k; ++j) {
      const std::size_t share = below / (k + 1) + (j < below % (k + 1) ? 1 : 0);
      const std::uint32_t child = share == 0 ? kNoChild : plan(pos, pos + share);
      nodes_[index].children.push_back(child);
      pos += share;
      if (j < k) nodes_[index].entries.push_back(to_index(pos++));
    }
    return index;
  }

  [[nodiscard]] std::vector<DirectoryNode> take() { return std::move(nodes_); }

 private:
  static std::uint32_t to_index(std::size_t i) { return static_cast<std::uint32_t>(i); }

  // Entries a full tree one level taller than one holding `capacity` can hold.
  [[nodiscard]] std::size_t capacity_above(std::size_t capacity) const {
    return (capacity + 1) * (per_node_ + 1) - 1;
  }

  std::size_t per_node_;
  std::vector<DirectoryNode> nodes_;
};

}  // namespace

std::vector<DirectoryNode> plan_directory(std::size_t count, std::size_t per_node) {
  if (count == 0) return {};
  DirectoryPlanner planner(std::clamp<std::size_t>(per_node, 1, kMaxEntriesPerNode));
  planner.plan(0, count);
  return planner.take();
}

DatHeader ArchiveOptions::default_header() {
  DatHeader h;
  h.magic = 0x00005442;
  h.block_size = 1024;
  h.file_size = 0;
  h.dataset = 1;
  h.subset = 1;
  h.engine_version = 3;
  h.game_version = 7;
  const std::string_view text = "quorvale-builder";  // 16 bytes, no terminator
  h.version_string.assign(text.begin(), text.end());
  h.version_minor = 1;
  return h;
}

std::vector<std::uint8_t> encode_header(const DatHeader& h) {
  std::vector<std::uint8_t> out;
  out.reserve(format::kHeaderSize);
  for (std::uint32_t v : {h.magic, h.block_size, h.file_size, h.dataset, h.subset, h.free_head,
                          h.free_tail, h.free_count, h.root_offset, h.new_lru, h.old_lru, h.use_lru,
                          h.master_map_id, h.engine_version, h.game_version}) {
    append_u32(out, v);
  }
  for (std::size_t i = 0; i < kVersionStringSize; ++i) {
    out.push_back(i < h.version_string.size() ? h.version_string[i] : 0);
  }
  append_u32(out, h.version_minor);
  return out;
}

std::vector<std::uint8_t> encode_node(const NodeSpec& node) {
  std::vector<std::uint8_t> out;
  out.reserve(format::kNodeSize);
  for (std::uint32_t branch : node.branches) append_u32(out, branch);
  append_u32(out, node.entry_count);
  const std::size_t written = std::min(node.entries.size(), kMaxEntriesPerNode);
  for (std::size_t i = 0; i < written; ++i) {
    const DatFileEntry& e = node.entries[i];
    for (std::uint32_t v : {e.bit_flags, e.id, e.offset, e.size, e.timestamp, e.version}) {
      append_u32(out, v);
    }
  }
  out.resize(format::kNodeSize, 0);
  return out;
}

std::vector<std::uint8_t> build_archive(const std::vector<Record>& records,
                                        const ArchiveOptions& options) {
  const std::uint32_t block_size = options.block_size;
  if (block_size < 5) throw std::invalid_argument("block_size leaves no room for a payload");
  const std::size_t per_node =
      std::clamp<std::size_t>(options.entries_per_node, 1, kMaxEntriesPerNode);

  // Records in ascending id order; of repeated ids the one given last.
  std::vector<const Record*> sorted;
  sorted.reserve(records.size());
  for (const Record& r : records) sorted.push_back(&r);
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const Record* a, const Record* b) { return a->id < b->id; });
  std::size_t kept = 0;
  for (std::size_t i = 0; i < sorted.size(); ++i) {
    if (i + 1 < sorted.size() && sorted[i + 1]->id == sorted[i]->id) continue;
    sorted[kept++] = sorted[i];
  }
  sorted.resize(kept);

  std::vector<std::vector<std::uint8_t>> stored;
  stored.reserve(sorted.size());
  for (const Record* r : sorted) stored.push_back(r->compressed ? compress_lrs(r->data) : r->data);

  const std::vector<DirectoryNode> tree = plan_directory(sorted.size(), per_node);

  // Chains: the records' first, then the nodes'. Every block gets a slot of block_size bytes
  // after the header; the layout decides which slots each chain's blocks take.
  const std::size_t chain_count = sorted.size() + tree.size();
  std::vector<std::size_t> block_counts(chain_count);
  std::size_t total_blocks = 0;
  for (std::size_t c = 0; c < chain_count; ++c) {
    const std::size_t size = c < sorted.size() ? stored[c].size() : format::kNodeSize;
    block_counts[c] = blocks_for(size, block_size);
    total_blocks += block_counts[c];
  }
  std::vector<std::size_t> slots(total_blocks);
  for (std::size_t s = 0; s < total_blocks; ++s) slots[s] = s;
  std::uint64_t rng = options.seed;
  if (options.layout == Layout::Scattered) shuffle(slots, rng);

  std::vector<std::vector<std::uint32_t>> chain_blocks(chain_count);
  std::size_t next_slot = 0;
  for (std::size_t c = 0; c < chain_count; ++c) {
    for (std::size_t b = 0; b < block_counts[c]; ++b) {
      chain_blocks[c].push_back(to_offset(kHeaderEnd + slots[next_slot++] * block_size));
    }
  }
  std::vector<std::uint8_t> file(kHeaderEnd + total_blocks * block_size, 0);
  to_offset(file.size());

  std::vector<DatFileEntry> entries(sorted.size());
  for (std::size_t i = 0; i < sorted.size(); ++i) {
    const Record& r = *sorted[i];
    entries[i] = DatFileEntry{
        .bit_flags = (r.bit_flags & ~format::kCompressedFlag) |
                     (r.compressed ? format::kCompressedFlag : 0u),
        .id = r.id,
        .offset = chain_blocks[i].front(),
        .size = static_cast<std::uint32_t>(stored[i].size()),
        .timestamp = r.timestamp,
        .version = r.version,
    };
    write_chain(file, chain_blocks[i], stored[i], block_size);
  }
  for (std::size_t n = 0; n < tree.size(); ++n) {
    NodeSpec on_disk;
    on_disk.entry_count = static_cast<std::uint32_t>(tree[n].entries.size());
    for (std::uint32_t e : tree[n].entries) on_disk.entries.push_back(entries[e]);
    for (std::size_t j = 0; j < tree[n].children.size() && j < kBranchSlots; ++j) {
      const std::uint32_t child = tree[n].children[j];
      on_disk.branches[j] = child == kNoChild ? 0 : chain_blocks[sorted.size() + child].front();
    }
    write_chain(file, chain_blocks[sorted.size() + n], encode_node(on_disk), block_size);
  }

  DatHeader header = options.header;
  header.block_size = block_size;
  header.root_offset = tree.empty() ? 0 : chain_blocks[sorted.size()].front();
  const std::vector<std::uint8_t> header_bytes = encode_header(header);
  std::copy(header_bytes.begin(), header_bytes.end(),
            file.begin() + static_cast<std::ptrdiff_t>(format::kHeaderOffset));
  return file;
}

ArchiveWriter::ArchiveWriter(std::uint32_t block_size, Layout layout, std::uint64_t seed)
    : block_size_(block_size),
      layout_(layout),
      rng_(seed),
      header_(ArchiveOptions::default_header()),
      bytes_(kHeaderEnd, 0) {
  header_.block_size = block_size;
}

std::uint32_t ArchiveWriter::add_chain(std::span<const std::uint8_t> content) {
  const std::size_t start = bytes_.size();
  if (block_size_ < 5) {
    append_u32(bytes_, 0);
    bytes_.insert(bytes_.end(), content.begin(), content.end());
    to_offset(bytes_.size());
    return to_offset(start);
  }
  const std::size_t count = blocks_for(content.size(), block_size_);
  bytes_.resize(start + count * block_size_, 0);
  to_offset(bytes_.size());
  std::vector<std::uint32_t> offsets(count);
  for (std::size_t b = 0; b < count; ++b) offsets[b] = to_offset(start + b * block_size_);
  if (layout_ == Layout::Scattered) shuffle(offsets, rng_);
  write_chain(bytes_, offsets, content, block_size_);
  return offsets.front();
}

std::uint32_t ArchiveWriter::add_raw(std::span<const std::uint8_t> bytes) {
  const std::size_t start = bytes_.size();
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  to_offset(bytes_.size());
  return to_offset(start);
}

void ArchiveWriter::put_u32(std::uint32_t offset, std::uint32_t value) {
  const std::size_t end = static_cast<std::size_t>(offset) + 4;
  if (bytes_.size() < end) bytes_.resize(end, 0);
  store_u32(bytes_, offset, value);
}

std::uint32_t ArchiveWriter::size() const noexcept {
  return static_cast<std::uint32_t>(bytes_.size());
}

std::vector<std::uint8_t> ArchiveWriter::finish() const {
  std::vector<std::uint8_t> out = bytes_;
  const std::vector<std::uint8_t> header_bytes = encode_header(header_);
  if (out.size() < kHeaderEnd) out.resize(kHeaderEnd, 0);
  std::copy(header_bytes.begin(), header_bytes.end(),
            out.begin() + static_cast<std::ptrdiff_t>(format::kHeaderOffset));
  return out;
}

void write_file(const std::filesystem::path& path, std::span<const std::uint8_t> bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

TempFile::TempFile(std::span<const std::uint8_t> bytes) {
  static std::atomic<std::uint64_t> counter{0};
  path_ = std::filesystem::temp_directory_path() /
          ("quorvale_dat_" + std::to_string(::getpid()) + "_" + std::to_string(counter++) + ".dat");
  write_file(path_, bytes);
}

TempFile::~TempFile() {
  if (path_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove(path_, ignored);
}

}  // namespace quorvale_dat::build
