// DatDatabase: an open DAT archive.
//
// Opening reads the header at offset 320 and walks the on-disk directory tree once into an
// id -> entry map; afterwards the database is read-only and get_file() reads a record's bytes
// from its chain of blocks, decompressing them when the entry says so. An archive is opened from
// a file (open) or from bytes in memory (open_bytes), with the same results and the same errors
// for the same bytes. Every read after opening is a positioned read or a read of memory, so a
// const DatDatabase may be shared between threads.
//
//   auto db = quorvale_dat::DatDatabase::open("client_portal.dat");
//   if (!db) { std::cerr << db.error().display() << '\n'; return 1; }
//   auto bytes = db->get_file(0x080003E4);
//
// A file is read with positioned reads (pread), one system call per block, unless OpenOptions
// ask for a mapping:
//
//   auto db = quorvale_dat::DatDatabase::open(path, {.map = true, .access = Access::random});
//
// With a mapping every read is a read of memory, with the same results and errors as positioned
// reads, and records that lie in one block are read in place. The hazard of a mapping: when
// another program truncates the file while it is mapped, touching a page that the truncation
// took away raises SIGBUS, whose default action ends the process. The library does not catch it.
// A caller that cannot rule out a truncation under it reads with positioned reads (the default),
// or handles SIGBUS itself (quorvale-dat reports "the archive changed while it was read" and
// exits).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "quorvale_dat/dat_error.hpp"
#include "quorvale_dat/directory.hpp"
#include "quorvale_dat/expected.hpp"
#include "quorvale_dat/file_entry.hpp"
#include "quorvale_dat/format.hpp"
#include "quorvale_dat/header.hpp"

namespace quorvale_dat {

namespace detail {
class ByteSource;
}  // namespace detail

// The size of a directory node's content; an alias of format::kNodeSize kept for callers.
inline constexpr std::uint32_t kDirectoryNodeSize = format::kNodeSize;

// A chain that shares a block with the chain of an entry met before it (for_each_file).
struct Overlap {
  std::uint32_t block = 0;     // the first block of this entry's chain found in use
  std::uint32_t other_id = 0;  // the entry whose chain used it first, in file order
};

struct ForEachFileOptions {
  // Only the entries it accepts are visited (and read); all of them when empty.
  std::function<bool(const DatFileEntry&)> select = {};
  // When set, a chain that shares a block with the chain of an entry visited before it (in file
  // order) is not read: this is called for its entry instead of the visitor. Well-formed archives
  // never share blocks between chains; crafted ones do, to make many entries out of one chain.
  // Telling costs 4 bytes per block of the file.
  std::function<void(const DatFileEntry&, const Overlap&)> overlapping = {};
};

// Where an open database's bytes come from: positioned reads of the file, a read-only mapping of
// it, or bytes in memory (open_bytes).
enum class Source { positioned, mapped, memory };

// How the records will be read: a hint for the kernel's read-ahead (madvise on a mapping,
// posix_fadvise on positioned reads). It changes no result, only the speed.
enum class Access {
  normal,      // no hint: the kernel's default read-ahead
  random,      // records read on demand, in no order: no read-ahead around each one
  sequential,  // whole passes over the file (for_each_file): read ahead aggressively
  willneed,    // the whole file will be read soon: start reading all of it into memory now
};

struct OpenOptions {
  // Map the whole file read-only and read through the mapping (see the SIGBUS hazard above).
  // When the file cannot be mapped (an empty file, a file system without mappings, a file larger
  // than the address space can map) the database silently reads with positioned reads; source()
  // tells which it uses.
  bool map = false;
  Access access = Access::normal;
};

// How for_each_file_parallel() spreads its work.
struct ParallelOptions {
  // Threads that read records and call the visitor, the calling thread among them; 0: one per
  // hardware thread (std::thread::hardware_concurrency()). 1 walks on the calling thread alone.
  unsigned threads = 0;
};
struct Salvaged;

class DatDatabase {
 public:
  // Opens the archive at `path`: all or nothing. Errors: PathError when the file cannot be
  // opened; Io when seeking or reading fails; BinRead when the header or a directory entry is
  // cut short; Corruption when the directory or a block chain is malformed (a cycle, more nodes
  // or blocks than the file can hold, a block size without room for a payload). With `visitor`,
  // the directory walk shows it every node (directory.hpp).
  [[nodiscard]] static Expected<DatDatabase, DatError> open(const std::filesystem::path& path);
  [[nodiscard]] static Expected<DatDatabase, DatError> open(const std::filesystem::path& path,
                                                            DirectoryVisitor& visitor);
  // The same, reading the file as `options` say. The results and errors are those of open():
  // the header is read with plain reads before the file is mapped.
  [[nodiscard]] static Expected<DatDatabase, DatError> open(const std::filesystem::path& path,
                                                            const OpenOptions& options);
  [[nodiscard]] static Expected<DatDatabase, DatError> open(const std::filesystem::path& path,
                                                            const OpenOptions& options,
                                                            DirectoryVisitor& visitor);

  // Opens an archive held in memory. The database takes the bytes (moved in, they are not
  // copied) and keeps them for its life; records that lie in one block are then read in place.
  // The results and errors are exactly those of open() on a file of the same bytes, except that
  // there is no PathError and no OS error.
  [[nodiscard]] static Expected<DatDatabase, DatError> open_bytes(std::vector<std::uint8_t> bytes);
  [[nodiscard]] static Expected<DatDatabase, DatError> open_bytes(std::vector<std::uint8_t> bytes,
                                                                  DirectoryVisitor& visitor);

  // Opens the archive as far as its directory can be read: the header must read (its errors are
  // open()'s), but a directory node that cannot be walked is left out with its whole subtree and
  // the walk goes on with the next, within the same bounds as open(). Every entry of every node
  // that reads is kept, as open() would keep it; Salvaged::skipped says what was left out. On an
  // archive that open() reads, the database is the one open() gives and nothing is skipped.
  //
  //   auto s = quorvale_dat::DatDatabase::open_salvage("damaged.dat");
  //   if (!s) { std::cerr << s.error().summary() << '\n'; return 1; }
  //   for (const auto& lost : s->skipped) std::cerr << lost.error.summary() << '\n';
  [[nodiscard]] static Expected<Salvaged, DatError> open_salvage(const std::filesystem::path& path);
  [[nodiscard]] static Expected<Salvaged, DatError> open_salvage_bytes(
      std::vector<std::uint8_t> bytes);

  // A moved-from database may only be destroyed or assigned to.
  DatDatabase(DatDatabase&&) noexcept;
  DatDatabase& operator=(DatDatabase&&) noexcept;
  DatDatabase(const DatDatabase&) = delete;
  DatDatabase& operator=(const DatDatabase&) = delete;
  ~DatDatabase();

  [[nodiscard]] const DatHeader& header() const noexcept { return header_; }
  [[nodiscard]] const FileMap& files() const noexcept { return files_; }
  // Size of the archive when it was opened.
  [[nodiscard]] std::uint64_t file_size() const noexcept;
  // Where the bytes are read from: mapped only when a mapping was asked for and could be made.
  [[nodiscard]] Source source() const noexcept;
  [[nodiscard]] bool mapped() const noexcept { return source() == Source::mapped; }

  // The record's bytes, decompressed when its entry is compressed. NotFound when the id is not
  // in the directory; the chain's errors otherwise. Nothing is cached: every call reads again.
  [[nodiscard]] Expected<std::vector<std::uint8_t>, DatError> get_file(std::uint32_t id) const;

  // What for_each_file() hands over for one entry: the record's bytes, valid until the visitor
  // returns, or the error get_file() gives for it.
  using FileResult = Expected<std::span<const std::uint8_t>, DatError>;

  // Calls visit(entry, result) once for every entry of files(), in the order of the records'
  // first blocks in the file, with exactly the bytes or the error get_file(entry.id) would give.
  // Much faster than get_file() per entry on large archives: it reads the file in large windows
  // and takes every record whose blocks lie inside one from there, without a read of its own. A
  // visitor that returns bool stops the walk by returning false; one that returns void sees
  // every entry. `options` choose entries and leave out chains that overlap others.
  //
  //   db.for_each_file([&](const DatFileEntry& e, DatDatabase::FileResult bytes) {
  //     if (bytes) write_out(e.id, *bytes);
  //   });
  template <class Visit>
  void for_each_file(Visit&& visit, const ForEachFileOptions& options = {}) const {
    visit_files(const_cast<void*>(static_cast<const void*>(std::addressof(visit))),
                &call_visitor<Visit>, options);
  }

  // for_each_file() on several threads: visit(entry, result) is called once for every entry of
  // files() (or for those options.select accepts) with exactly the bytes or the error
  // get_file(entry.id) would give, as for_each_file() does, but the visitor MAY BE CALLED FROM
  // SEVERAL THREADS AT ONCE and in no particular order: it must be safe to call concurrently.
  // Each thread takes a stretch of the records in file order at a time, so reads stay large.
  //
  //   * options.select is called on the calling thread, for every entry, before anything else.
  //   * options.overlapping is decided before the records are handed out, exactly as
  //     for_each_file() decides it (against the entries before in file order): it is called on
  //     the calling thread, in file order, for every overlapping entry, before the first call of
  //     the visitor. The visitor never sees those entries.
  //   * A visitor that returns false stops the walk at its entry: no entry after it in file order
  //     is handed out from then on, while every entry before it still is (threads finish the
  //     stretch they are in). Entries after it may have been visited already.
  //   * An exception thrown by the visitor stops the walk; the first one is rethrown here once
  //     every thread has finished. Nothing else is thrown but std::bad_alloc.
  //
  //   db.for_each_file_parallel([&](const DatFileEntry& e, DatDatabase::FileResult bytes) {
  //     if (bytes) write_out(e.id, *bytes);  // write_out may run on several threads at once
  //   });
  template <class Visit>
  void for_each_file_parallel(Visit&& visit, const ParallelOptions& parallel = {},
                              const ForEachFileOptions& options = {}) const {
    visit_files_parallel(const_cast<void*>(static_cast<const void*>(std::addressof(visit))),
                         &call_visitor<Visit>, parallel, options);
  }

  // Reads `size` content bytes of the block chain starting at `offset`. Each block starts with
  // the absolute offset of the next (0 for the last); the last block supplies all remaining
  // bytes, even past its own end. Io with "failed to fill whole buffer" when a read reaches past
  // the end of the file; Corruption when the chain could only supply `size` by visiting more
  // blocks than the file holds, or the geometry leaves no room for a payload. The rules, with
  // every bound, are those of the chain walk (src/block_chain.hpp).
  [[nodiscard]] Expected<std::vector<std::uint8_t>, DatError> read_file_data(
      std::uint32_t offset, std::uint32_t size) const;

  // Walks the directory tree from the header's root_offset and fills files(): depth first, a
  // node's entries before its subtrees, subtrees in slot order; where an id repeats, the entry
  // met last stays. Opening calls it; calling it again walks the archive again. The walk's rules
  // and bounds are in src/directory_walk.hpp.
  [[nodiscard]] Expected<void, DatError> read_directory();

 private:
  DatDatabase(std::unique_ptr<const detail::ByteSource> source, DatHeader header) noexcept;

  // Opens the file at `path` as `options` say and walks its directory (visitor may be null).
  [[nodiscard]] static Expected<DatDatabase, DatError> open_file(const std::filesystem::path& path,
                                                                 const OpenOptions& options,
                                                                 DirectoryVisitor* visitor);
  // Builds the database and walks its directory, leaving out the subtrees it cannot read.
  [[nodiscard]] static Salvaged finish_salvage(std::unique_ptr<const detail::ByteSource> source,
                                               DatHeader header);

  // Builds the database and walks its directory from `directory` (from `source` if null),
  // showing the walk to `visitor` (may be null).
  [[nodiscard]] static Expected<DatDatabase, DatError> finish_open(
      std::unique_ptr<const detail::ByteSource> source, DatHeader header, DirectoryVisitor* visitor,
      const detail::ByteSource* directory = nullptr);

  // for_each_file() without the template: `call(visitor, entry, result)` returns false to stop.
  using VisitFn = bool (*)(void* visitor, const DatFileEntry& entry, FileResult result);
  void visit_files(void* visitor, VisitFn call, const ForEachFileOptions& options) const;
  void visit_files_parallel(void* visitor, VisitFn call, const ParallelOptions& parallel,
                            const ForEachFileOptions& options) const;

  template <class Visit>
  static bool call_visitor(void* v, const DatFileEntry& entry, FileResult result) {
    auto& f = *static_cast<std::remove_reference_t<Visit>*>(v);
    using Result = std::invoke_result_t<decltype(f), const DatFileEntry&, FileResult>;
    if constexpr (std::is_void_v<Result>) {
      std::invoke(f, entry, std::move(result));
      return true;
    } else {
      return static_cast<bool>(std::invoke(f, entry, std::move(result)));
    }
  }

  // Walks the directory from `from`, a source of the same bytes as source_ (showing its nodes
  // to `visitor`, which may be null), into the map of its entries.
  [[nodiscard]] Expected<FileMap, DatError> walk_files(const detail::ByteSource& from,
                                                       DirectoryVisitor* visitor) const;

  std::unique_ptr<const detail::ByteSource> source_;
  DatHeader header_;
  FileMap files_;
};

// A subtree of the directory that open_salvage() could not read and left out: the node at its
// root and why. A node reached again from below itself (OwnAncestor) is left out only where it
// was reached that way; TooManyNodes ends the walk, so nothing after it in walk order was read.
struct SkippedNode {
  DirectoryFault fault = DirectoryFault::Unreadable;
  std::uint32_t offset = 0;  // the node
  std::uint32_t parent = 0;  // the node whose branch led there; 0 for the root
  std::uint32_t slot = 0;    // the parent's branch slot holding `offset`; 0 for the root
  std::uint32_t depth = 0;   // where it would have been; 1 for the root
  std::uint32_t block = 0;   // for Unreadable: the block of the node's chain where reading failed
  DatError error;            // what open() returns when it meets this node first

  friend bool operator==(const SkippedNode&, const SkippedNode&) = default;
};

// What open_salvage() read: the database of every entry it could reach, and the subtrees it
// could not, in walk order.
struct Salvaged {
  DatDatabase database;
  std::vector<SkippedNode> skipped;

  // True when nothing was left out.
  [[nodiscard]] bool complete() const noexcept { return skipped.empty(); }
};

}  // namespace quorvale_dat
