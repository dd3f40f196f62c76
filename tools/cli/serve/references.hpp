// Which records refer to which: surfaces to their texture (a texture list or a texture) and
// palette, texture lists to their textures, textures to their default palettes. The index is
// built once, in the background, from one pass over every record; until it is done it answers
// only with its progress.
//
//   ReferenceIndex refs(db);
//   refs.start();                       // returns at once; the first call starts the pass
//   if (refs.ready()) for (const Reference& r : refs.referrers(0x06000C30)) use(r.source);
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <span>
#include <string_view>
#include <thread>
#include <vector>

#include "quorvale_dat/database.hpp"

namespace quorvale_dat::cli::serve {

// The field of `source` that names `target`.
enum class RefField : std::uint8_t {
  Textures,          // a texture list's textures
  OrigTextureId,     // a surface's texture_refs
  OrigPaletteId,     // a surface's texture_refs
  DefaultPaletteId,  // a texture's
};

[[nodiscard]] std::string_view field_name(RefField field) noexcept;

struct Reference {
  std::uint32_t target = 0;
  std::uint32_t source = 0;
  RefField field = RefField::Textures;

  friend auto operator<=>(const Reference&, const Reference&) = default;
};

class ReferenceIndex {
 public:
  // Requires: `db` outlives the index.
  explicit ReferenceIndex(const DatDatabase& db) noexcept : db_(db) {}
  ReferenceIndex(const ReferenceIndex&) = delete;
  ReferenceIndex& operator=(const ReferenceIndex&) = delete;
  // Stops a pass that is still running and waits for it.
  ~ReferenceIndex();

  // Starts the pass on a thread of its own, the first time; later calls do nothing.
  void start();

  [[nodiscard]] bool ready() const noexcept { return ready_.load(std::memory_order_acquire); }
  // Entries looked at so far, of every entry in the archive.
  [[nodiscard]] std::uint64_t done() const noexcept {
    return done_.load(std::memory_order_relaxed);
  }
  [[nodiscard]] std::uint64_t total() const noexcept { return db_.files().size(); }

  // Requires: ready(). The references to `target`, by source id.
  [[nodiscard]] std::span<const Reference> referrers(std::uint32_t target) const noexcept;
  // Requires: ready(). The pass ran out of memory: the index is empty.
  [[nodiscard]] bool failed() const noexcept { return failed_; }
  // Requires: ready(). Records of the three referring types that could not be read or decoded,
  // and whose references are therefore not in the index.
  [[nodiscard]] std::uint64_t unreadable() const noexcept { return unreadable_; }

 private:
  void run() noexcept;
  void build();

  const DatDatabase& db_;
  std::once_flag started_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> ready_{false};
  std::atomic<std::uint64_t> done_{0};
  // Written by the pass before ready_ is set, read only after.
  std::vector<Reference> refs_;  // sorted
  std::uint64_t unreadable_ = 0;
  bool failed_ = false;
};

}  // namespace quorvale_dat::cli::serve
