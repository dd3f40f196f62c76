#include "archive.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <string_view>

#include "ids.hpp"
#include "output.hpp"
#include "quorvale_dat/io_error.hpp"

namespace quorvale_dat::cli {

namespace {

// A descriptor closed when it goes out of scope.
struct ScopedFd {
  int fd = -1;
  ScopedFd() = default;
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  ~ScopedFd() {
    if (fd >= 0) ::close(fd);
  }
};

std::string_view file_kind(mode_t mode) {
  if (S_ISFIFO(mode)) return "a pipe or FIFO";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a file";
}

// Opens `path` without blocking and refuses what the archive cannot be: anything but a regular
// file or a block device. Opening a FIFO blocks until a writer comes, and a pipe
// (`<(cat archive)`) cannot be read at an offset. O_NONBLOCK keeps the open from blocking and
// O_NOCTTY from taking a terminal.
Expected<void, Failure> open_checked(const std::string& path, ScopedFd& probe) {
  const auto refused = [&](const std::string& why) {
    return Unexpected(named_failure(kExitNoInput, "cannot open " + path + ": " + why));
  };
  do {
    probe.fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  } while (probe.fd < 0 && errno == EINTR);
  if (probe.fd < 0) return refused(IoError::from_os(errno).display());
  struct stat st {};
  if (::fstat(probe.fd, &st) != 0) return refused(IoError::from_os(errno).display());
  if (S_ISDIR(st.st_mode)) return refused(IoError::from_os(EISDIR).display());
  if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) {
    return refused(std::string(file_kind(st.st_mode)) + ", not a regular file or block device");
  }
  return {};
}

}  // namespace

Expected<void, Failure> check_archive_file(const std::string& path) {
  ScopedFd probe;
  return open_checked(path, probe);
}

Failure open_failure(const std::string& path, const DatError& error) {
  if (const auto* path_error = error.get_if<DatError::PathError>()) {
    return named_failure(kExitNoInput, "cannot open " + path + ": " + path_error->source.display());
  }
  return named_failure(status_of(error), path + ": " + one_line(error));
}

namespace {

bool map_archives = true;
bool mapped_open = false;

// The message of a SIGBUS on the mapping, written before the mapping is used: the handler may
// only make async-signal-safe calls, so it formats nothing.
char changed_message[1024];
std::size_t changed_length = 0;

extern "C" void on_sigbus(int /*signal*/) { archive_changed(); }

// From now on a SIGBUS is the archive at `path` changing under its mapping.
void guard_mapping(const std::string& path) {
  const std::string_view tail =
      ": the archive changed while it was read (the file was truncated)\n";
  const std::string_view head = "quorvale-dat: ";
  const std::size_t room = sizeof changed_message - head.size() - tail.size();
  const std::string_view name = std::string_view(path).substr(0, room);
  char* at = changed_message;
  for (const std::string_view part : {head, name, tail}) {
    std::memcpy(at, part.data(), part.size());
    at += part.size();
  }
  changed_length = static_cast<std::size_t>(at - changed_message);
  struct sigaction action {};
  action.sa_handler = on_sigbus;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGBUS, &action, nullptr);
}

// The archive is read with positioned reads after all: SIGBUS is no longer the archive's.
void unguard_mapping() {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGBUS, &action, nullptr);
}

// Opens the archive after open_checked(), through the descriptor it checked, so that a path
// replaced in between changes nothing: `open(name)` opens it under the name to use.
template <class Open>
auto open_probed(const std::string& path, Open open)
    -> Expected<typename decltype(open(path))::value_type, Failure> {
  ScopedFd probe;
  if (auto checked = open_checked(path, probe); !checked) return Unexpected(checked.error());
  const std::string through_fd = "/proc/self/fd/" + std::to_string(probe.fd);
  auto opened = open(::access(through_fd.c_str(), F_OK) == 0 ? through_fd : path);
  if (opened) return std::move(*opened);
  return Unexpected(open_failure(path, opened.error()));
}

// open_probed() through a mapping unless --no-mmap; `visitor` (may be null) watches the
// directory walk.
Expected<DatDatabase, Failure> open_through_probe(const std::string& path,
                                                  DirectoryVisitor* visitor, Access access) {
  // The handler is in place before the walk of the directory first touches the mapping.
  if (map_archives) guard_mapping(path);
  const OpenOptions options{.map = map_archives, .access = access};
  auto db = open_probed(path, [&](const std::string& name) {
    return visitor != nullptr ? DatDatabase::open(name, options, *visitor)
                              : DatDatabase::open(name, options);
  });
  if (map_archives && !(db && db->mapped())) unguard_mapping();
  if (db) mapped_open = mapped_open || db->mapped();
  return db;
}

// "lost directory node 0x00039990 and its subtree (slot 1 of directory node 0x00000190): why".
std::string lost_line(const std::string& path, const SkippedNode& s) {
  std::string what;
  const std::string below = s.parent == 0 ? std::string(" (the root)")
                                          : " (slot " + std::to_string(s.slot) +
                                                " of directory node " + hex8(s.parent) + ")";
  switch (s.fault) {
    case DirectoryFault::OwnAncestor:
      what = "lost slot " + std::to_string(s.slot) + " of directory node " + hex8(s.parent) +
             ", which leads back to node " + hex8(s.offset);
      break;
    case DirectoryFault::TooManyNodes:
      what = "lost directory node " + hex8(s.offset) + " and every node after it" + below;
      break;
    default:
      what = "lost directory node " + hex8(s.offset) + " and its subtree" + below;
  }
  return path + ": " + what + ": " + one_line(s.error);
}

}  // namespace

void set_mapping(bool map) noexcept { map_archives = map; }

bool reading_mapped() noexcept { return mapped_open; }

void archive_changed() noexcept {
  (void)!::write(STDERR_FILENO, changed_message, changed_length);
  ::_exit(kExitIo);
}

Expected<DatDatabase, Failure> open_archive(const std::string& path, Access access) {
  return open_through_probe(path, nullptr, access);
}

Expected<DatDatabase, Failure> open_archive(const std::string& path, DirectoryVisitor& visitor,
                                            Access access) {
  return open_through_probe(path, &visitor, access);
}

Expected<Salvaged, Failure> open_archive_salvage(const std::string& path) {
  auto salvaged =
      open_probed(path, [](const std::string& name) { return DatDatabase::open_salvage(name); });
  if (salvaged) {
    for (const SkippedNode& s : salvaged->skipped) error_line(lost_line(path, s));
  }
  return salvaged;
}

Failure lost_failure(const std::string& path, std::size_t lost, const std::string& done) {
  return named_failure(kExitData, path + ": " + std::to_string(lost) +
                                      (lost == 1 ? " directory subtree" : " directory subtrees") +
                                      " could not be read; " + done + " from the rest");
}

Expected<std::vector<std::uint8_t>, Failure> fetch_requested(const DatDatabase& db,
                                                             std::uint32_t id) {
  auto bytes = db.get_file(id);
  if (bytes) return std::move(*bytes);
  Failure f = failure("record " + hex8(id), bytes.error());
  if (bytes.error().holds<DatError::NotFound>()) f.status = kExitAbsent;
  return Unexpected(std::move(f));
}

Expected<std::vector<std::uint8_t>, Failure> fetch_referenced(const DatDatabase& db,
                                                              std::uint32_t id,
                                                              const std::string& role) {
  auto bytes = db.get_file(id);
  if (bytes) return std::move(*bytes);
  return Unexpected(failure(role, bytes.error()));
}

}  // namespace quorvale_dat::cli
