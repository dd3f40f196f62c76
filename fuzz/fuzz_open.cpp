// Opens an archive made of the fuzz input from memory, from a file of the same bytes read with
// positioned reads and from a mapping of that file, which must all agree (the entries, every
// record's bytes or error), then reads every record it lists, one by one and in one pass, which
// must give the same bytes and errors, and verifies it: a chain get_file reads must never be
// reported broken, one it cannot read always must, and an archive that does not open must carry
// opening's error.

#include <sys/mman.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "quorvale_dat/quorvale_dat.hpp"
#include "write_all.hpp"

namespace qd = quorvale_dat;

namespace {

// Bounds the work per input: a crafted directory can list many entries that share one big
// chain, and reading all of them is legitimate but slow.
constexpr std::uint64_t kMaxBytesRead = 64u << 20;

void check(bool condition) {
  if (!condition) __builtin_trap();
}

bool broken(qd::ProblemKind kind) {
  return !qd::tolerated(kind) && kind != qd::ProblemKind::DoesNotOpen;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::uint8_t> bytes(data, data + size);
  auto db = qd::DatDatabase::open_bytes(bytes);

  const int fd = memfd_create("fuzz_open", MFD_CLOEXEC);
  if (fd >= 0) {
    qd::File holder(fd);
    if (qd::report::write_all(fd, bytes) == 0) {
      const std::string path = "/proc/self/fd/" + std::to_string(fd);
      auto from_file = qd::DatDatabase::open(path);
      auto mapped = qd::DatDatabase::open(path, {.map = true});
      check(from_file.has_value() == db.has_value());
      check(mapped.has_value() == db.has_value());
      if (!db) {
        check(from_file.error() == db.error());
        check(mapped.error() == db.error());
        check(mapped.error().display() == from_file.error().display());
      } else {
        check(mapped->mapped());
        check(from_file->files().size() == db->files().size());
        check(mapped->files().size() == db->files().size());
        std::uint64_t compared = 0;
        for (const qd::DatFileEntry& entry : from_file->files()) {
          if (compared > kMaxBytesRead) break;
          const qd::DatFileEntry* other = mapped->files().get(entry.id);
          check(other != nullptr && other->offset == entry.offset && other->size == entry.size);
          const auto positioned = from_file->get_file(entry.id);
          const auto through_map = mapped->get_file(entry.id);
          check(positioned.has_value() == through_map.has_value());
          if (positioned) {
            check(*positioned == *through_map);
          } else {
            check(positioned.error().debug() == through_map.error().debug());
          }
          compared += entry.size;
        }
      }
    }
  }

  auto report = qd::verify_bytes(bytes);
  if (!db) {
    (void)db.error().display();
    (void)db.error().debug();
    check(!report || (report->open_error && *report->open_error == db.error()));
    return 0;
  }
  check(report && !report->open_error);
  std::set<std::uint32_t> broken_ids;
  bool all_followed = true;
  for (const qd::Problem& p : report->problems) {
    (void)report->message(p);
    if (p.kind == qd::ProblemKind::NotChecked) all_followed = false;
    if (p.place == qd::ProblemPlace::Entry && broken(p.kind)) broken_ids.insert(p.id);
  }

  std::uint64_t read = 0;
  for (const qd::DatFileEntry& entry : db->files()) {
    if (read > kMaxBytesRead) break;
    auto got = db->get_file(entry.id);
    check(all_followed ? broken_ids.contains(entry.id) == !got.has_value()
                       : !got || !broken_ids.contains(entry.id));
    if (!got) {
      (void)got.error().debug();
      continue;
    }
    if (!entry.is_compressed()) check(got->size() == entry.size);
    read += entry.size;
  }

  read = 0;
  db->for_each_file([&](const qd::DatFileEntry& entry, qd::DatDatabase::FileResult result) {
    auto direct = db->get_file(entry.id);
    check(result.has_value() == direct.has_value());
    if (result) {
      check(std::equal(result->begin(), result->end(), direct->begin(), direct->end()));
    } else {
      check(result.error().debug() == direct.error().debug());
    }
    read += entry.size;
    return read <= kMaxBytesRead;
  });
  return 0;
}
