// Opens an archive made of the fuzz input and reads every record it lists, one by one and then
// in one pass, which must give the same bytes and errors.

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "quorvale_dat/quorvale_dat.hpp"

namespace {

// Bounds the work per input: a crafted directory can list many entries that share one big
// chain, and reading all of them is legitimate but slow.
constexpr std::uint64_t kMaxBytesRead = 64u << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const int fd = memfd_create("fuzz_open", MFD_CLOEXEC);
  if (fd < 0) return 0;
  quorvale_dat::File holder(fd);
  for (std::size_t done = 0; done < size;) {
    const ssize_t n = ::write(fd, data + done, size - done);
    if (n <= 0) return 0;
    done += static_cast<std::size_t>(n);
  }
  const std::string path = "/proc/self/fd/" + std::to_string(fd);

  auto db = quorvale_dat::DatDatabase::open(path);
  if (!db) {
    (void)db.error().display();
    (void)db.error().debug();
    return 0;
  }
  std::uint64_t read = 0;
  for (const quorvale_dat::DatFileEntry& entry : db->files()) {
    auto bytes = db->get_file(entry.id);
    if (!bytes) {
      (void)bytes.error().debug();
      continue;
    }
    if (!entry.is_compressed() && bytes->size() != entry.size) __builtin_trap();
    read += entry.size;
    if (read > kMaxBytesRead) break;
  }

  read = 0;
  db->for_each_file(
      [&](const quorvale_dat::DatFileEntry& entry, quorvale_dat::DatDatabase::FileResult result) {
        auto direct = db->get_file(entry.id);
        if (result.has_value() != direct.has_value()) __builtin_trap();
        if (result) {
          if (!std::equal(result->begin(), result->end(), direct->begin(), direct->end())) {
            __builtin_trap();
          }
        } else if (result.error().debug() != direct.error().debug()) {
          __builtin_trap();
        }
        read += entry.size;
        return read <= kMaxBytesRead;
      });
  return 0;
}
