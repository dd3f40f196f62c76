// Damaged archives made from sound ones built by the builder, from a seed: block pointers bent
// into loops, into other chains, past the end and to the top of the offset range; entries whose
// offset or size lie; entry counts beyond a node; branches that lead back up the tree; a file
// cut short; a header whose block size or root is wrong. The damage is placed where the format
// puts the fields, found by walking the sound archive's chains with the library's own walk.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "block_chain.hpp"
#include "byte_source.hpp"
#include "quorvale_dat/database.hpp"
#include "quorvale_dat/directory.hpp"
#include "quorvale_dat/format.hpp"
#include "quorvale_dat_builder/archive_builder.hpp"

namespace quorvale_dat::test_support {

class Damage {
 public:
  explicit Damage(std::uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 1) {}

  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  std::uint64_t below(std::uint64_t n) { return n == 0 ? 0 : next() % n; }

  // A sound archive of a random shape.
  std::vector<std::uint8_t> sound() {
    const std::uint32_t sizes[] = {5, 8, 64, 256, 1024, 2048};
    build::ArchiveOptions options;
    options.block_size = sizes[below(std::size(sizes))];
    options.layout = below(2) == 0 ? build::Layout::Sequential : build::Layout::Scattered;
    options.seed = next();
    options.entries_per_node = static_cast<std::uint32_t>(1 + below(8));
    std::vector<build::Record> records(static_cast<std::size_t>(1 + below(40)));
    std::uint32_t id = 0x06000000;
    for (build::Record& r : records) {
      r.id = id += static_cast<std::uint32_t>(1 + below(3));
      r.compressed = below(3) == 0;
      r.data.resize(static_cast<std::size_t>(below(600)));
      const auto salt = static_cast<std::uint8_t>(next());
      for (std::size_t i = 0; i < r.data.size(); ++i) {
        r.data[i] = static_cast<std::uint8_t>(r.compressed ? (i / 9) % 4 + salt : i * 13 + salt);
      }
    }
    return build::build_archive(records, options);
  }

  // A damaged archive: a sound one with one to four faults.
  std::vector<std::uint8_t> damaged() {
    std::vector<std::uint8_t> bytes = sound();
    Layout layout = layout_of(bytes);
    const auto faults = 1 + below(4);
    for (std::uint64_t f = 0; f < faults; ++f) damage(bytes, layout);
    return bytes;
  }

 private:
  struct Layout {
    std::uint32_t block_size = 0;
    std::vector<std::uint32_t> nodes;          // node offsets
    std::vector<std::uint32_t> blocks;         // every block of every chain
    std::vector<std::uint32_t> record_blocks;  // the blocks of the records' chains
    std::vector<std::uint32_t> node_fields;    // file offsets of nodes' content bytes 0..251
    std::vector<std::uint32_t> entry_fields;   // file offsets of the entries' offset and size
    std::vector<std::uint32_t> counts;         // file offsets of entry_count fields
    std::vector<std::uint32_t> branches;       // file offsets of branch slots in use
  };

  struct Recorder : DirectoryVisitor {
    std::vector<DirectoryNode> nodes;
    std::vector<std::vector<DatFileEntry>> entries;
    void node(const DirectoryNode& n) override {
      nodes.push_back(n);
      entries.emplace_back(n.entries.begin(), n.entries.end());
    }
  };

  // The file offsets of a chain's content bytes [from, from + n), by walking its blocks.
  static void content_offsets(const detail::ByteSource& source, const detail::ChainGeometry& g,
                              std::uint32_t chain, std::uint32_t size, std::uint32_t from,
                              std::uint32_t n, std::vector<std::uint32_t>& out,
                              std::vector<std::uint32_t>* blocks) {
    std::uint64_t at = 0;
    (void)detail::walk_chain(source, g, chain, size, [&](const detail::ChainBlock& b) {
      if (blocks != nullptr) blocks->push_back(b.offset);
      for (std::uint32_t k = 0; k < b.supplied; ++k, ++at) {
        if (at >= from && at < std::uint64_t{from} + n) out.push_back(b.offset + 4 + k);
      }
      return true;
    });
  }

  static Layout layout_of(const std::vector<std::uint8_t>& bytes) {
    Layout layout;
    Recorder recorder;
    auto db = DatDatabase::open_bytes(bytes, recorder);
    if (!db) return layout;
    layout.block_size = db->header().block_size;
    const detail::MemorySource source{std::span<const std::uint8_t>(bytes)};
    const auto g = detail::ChainGeometry::of(layout.block_size, bytes.size());
    for (std::size_t i = 0; i < recorder.nodes.size(); ++i) {
      const DirectoryNode& n = recorder.nodes[i];
      layout.nodes.push_back(n.offset);
      std::vector<std::uint32_t> content;
      content_offsets(source, g, n.offset, format::kNodeSize, 0,
                      static_cast<std::uint32_t>(format::kEntriesOffset +
                                                 recorder.entries[i].size() * format::kEntrySize),
                      content, &layout.blocks);
      if (content.size() < format::kEntriesOffset) continue;
      layout.counts.push_back(content[format::kEntryCountOffset]);
      for (std::uint32_t slot = 0; slot < n.child_slots; ++slot) {
        layout.branches.push_back(content[4 * slot]);
      }
      for (std::size_t e = 0; e < recorder.entries[i].size(); ++e) {
        const std::size_t at = format::kEntriesOffset + e * format::kEntrySize;
        layout.entry_fields.push_back(content[at + 8]);   // offset
        layout.entry_fields.push_back(content[at + 12]);  // size
      }
    }
    for (const DatFileEntry& e : db->files()) {
      std::vector<std::uint32_t> ignored;
      content_offsets(source, g, e.offset, e.size, 0, 0, ignored, &layout.record_blocks);
    }
    layout.blocks.insert(layout.blocks.end(), layout.record_blocks.begin(),
                         layout.record_blocks.end());
    return layout;
  }

  static void put(std::vector<std::uint8_t>& bytes, std::uint32_t at, std::uint32_t value) {
    for (std::uint32_t k = 0; k < 4; ++k) {
      if (at + k < bytes.size()) bytes[at + k] = static_cast<std::uint8_t>(value >> (8 * k));
    }
  }

  template <class T>
  T pick(const std::vector<T>& v) {
    return v[static_cast<std::size_t>(below(v.size()))];
  }

  std::uint32_t bent(const std::vector<std::uint8_t>& bytes, const Layout& layout,
                     std::uint32_t near) {
    const auto size = static_cast<std::uint32_t>(bytes.size());
    switch (below(9)) {
      case 0:
        return near;
      case 1:
        return near - layout.block_size;
      case 2:
        return layout.blocks.empty() ? near : pick(layout.blocks);
      case 3:
        return size - static_cast<std::uint32_t>(below(8));
      case 4:
        return size + static_cast<std::uint32_t>(below(5000));
      case 5:
        return 0xFFFFFFFC + static_cast<std::uint32_t>(below(4));
      case 6:
        return 0;
      case 7:
        return layout.nodes.empty() ? near : pick(layout.nodes);
      default:
        return static_cast<std::uint32_t>(next());
    }
  }

  void damage(std::vector<std::uint8_t>& bytes, const Layout& layout) {
    // Faults of records' chains come most often, so that most damaged archives still open and
    // get_file has chains of every kind to read.
    switch (below(11)) {
      case 0:
      case 1:
      case 2:
      case 3:  // a block's pointer
        if (!layout.blocks.empty()) {
          const std::uint32_t at = below(4) != 0 && !layout.record_blocks.empty()
                                       ? pick(layout.record_blocks)
                                       : pick(layout.blocks);
          put(bytes, at, bent(bytes, layout, at));
        }
        break;
      case 4:
      case 5:
      case 6:  // an entry's offset or size
        if (!layout.entry_fields.empty()) {
          const std::uint32_t at = pick(layout.entry_fields);
          put(bytes, at,
              below(2) == 0 ? bent(bytes, layout, at)
                            : static_cast<std::uint32_t>(below(3) == 0 ? next() : below(9000)));
        }
        break;
      case 7:  // an entry count beyond the node
        if (!layout.counts.empty()) {
          put(bytes, pick(layout.counts), static_cast<std::uint32_t>(62 + below(4)));
        }
        break;
      case 8:  // a branch
        if (!layout.branches.empty()) {
          put(bytes, pick(layout.branches),
              below(2) == 0 && !layout.nodes.empty() ? pick(layout.nodes)
                                                     : bent(bytes, layout, pick(layout.branches)));
        }
        break;
      case 9:  // the file cut short
        bytes.resize(bytes.size() - static_cast<std::size_t>(below(bytes.size() / 3 + 1)));
        break;
      default: {  // the header's block size or root
        const std::uint32_t block_sizes[] = {0, 3, 4, 5, 7, layout.block_size + 1};
        if (below(2) == 0) {
          put(bytes, 0x144, block_sizes[below(std::size(block_sizes))]);
        } else {
          put(bytes, 0x160, bent(bytes, layout, layout.nodes.empty() ? 0 : layout.nodes[0]));
        }
      }
    }
  }

  std::uint64_t state_;
};

}  // namespace quorvale_dat::test_support
