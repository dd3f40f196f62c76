// quorvale-dat serve ARCHIVE [--port N] [--bind ADDR] [--open]: the archive in a web browser,
// from an HTTP server on loopback that runs until SIGINT or SIGTERM.
#include <arpa/inet.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <thread>

#include "api.hpp"
#include "archive.hpp"
#include "commands.hpp"
#include "http_server.hpp"
#include "output.hpp"

extern char** environ;

namespace quorvale_dat::cli {
namespace {

constexpr int kFirstPort = 8080;
constexpr int kPortsTried = 100;

// The address as a URL's host: IPv6 in brackets; the wildcard addresses, which no browser can
// visit, as the loopback address of their family.
std::string url_host(const std::string& address) {
  if (address == "0.0.0.0") return "127.0.0.1";
  if (address == "::") return "[::1]";
  if (address.find(':') != std::string::npos) return "[" + address + "]";
  return address;
}

Expected<int, Failure> listen(serve::HttpServer& server, const ServeOptions& options) {
  const auto failed = [&](int port, const IoError& e) {
    return Unexpected(named_failure(kExitIo, "cannot listen on " + url_host(options.bind) + ":" +
                                                 std::to_string(port) + ": " + e.display()));
  };
  if (options.port) {
    auto port = server.bind(options.bind, *options.port);
    if (!port) return failed(*options.port, port.error());
    return *port;
  }
  for (int port = kFirstPort; port < kFirstPort + kPortsTried; ++port) {
    auto bound = server.bind(options.bind, port);
    if (bound) return *bound;
    if (bound.error().kind() != ErrorKind::AddrInUse) return failed(port, bound.error());
  }
  return Unexpected(named_failure(kExitIo, "cannot listen on " + url_host(options.bind) +
                                               ": ports " + std::to_string(kFirstPort) + " to " +
                                               std::to_string(kFirstPort + kPortsTried - 1) +
                                               " are all in use; name one with --port"));
}

// Starts the desktop's opener for the URL and leaves it running; a failure is only a note.
void open_browser(const std::string& url) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  std::string program = "xdg-open";
  char* argv[] = {program.data(), const_cast<char*>(url.c_str()), nullptr};
  pid_t pid = 0;
  const int error = posix_spawnp(&pid, program.c_str(), &actions, &attributes, argv, environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) {
    error_line("serve: cannot start xdg-open to open " + url + ": " +
               IoError::from_os(error).display());
  }
}

}  // namespace

bool is_listen_address(const std::string& text) {
  unsigned char bytes[16];
  return text == "localhost" || inet_pton(AF_INET, text.c_str(), bytes) == 1 ||
         inet_pton(AF_INET6, text.c_str(), bytes) == 1;
}

Result run_serve(const ServeOptions& options) {
  DirectoryShape shape;
  auto db = open_archive(options.archive, shape, Access::random);
  if (!db) return Unexpected(std::move(db.error()));

  // SIGINT and SIGTERM are blocked before any thread starts, so that every thread inherits the
  // mask and only the waiter below takes them. A client that goes away mid-reply is the write's
  // error, not a signal.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  sigset_t old_mask;
  pthread_sigmask(SIG_BLOCK, &stop_signals, &old_mask);
  std::signal(SIGPIPE, SIG_IGN);
  struct RestoreMask {
    const sigset_t* mask;
    ~RestoreMask() { pthread_sigmask(SIG_SETMASK, mask, nullptr); }
  } restore{&old_mask};

  serve::Api api(options.archive, *db, shape, serve::HostCheck(options.bind));
  serve::HttpServer server([&api](const serve::Request& r) { return api.handle(r); },
                           serve::ServerLimits{});
  auto port = listen(server, options);
  if (!port) return Unexpected(std::move(port.error()));

  const std::string url = "http://" + url_host(options.bind) + ":" + std::to_string(*port) + "/";
  out(url + "\n");
  std::fflush(stdout);
  if (!serve::is_loopback(options.bind)) {
    error_line("serve: listening on " + options.bind +
               ", not only on loopback: every host that can reach this one can read the archive");
  }
  if (options.open) open_browser(url);

  std::atomic<bool> served{false};
  std::atomic<bool> signalled{false};
  std::thread waiter([&] {
    const timespec tick{0, 100'000'000};
    while (!served.load()) {
      if (sigtimedwait(&stop_signals, nullptr, &tick) > 0) {
        signalled.store(true);
        break;
      }
    }
    // A stop that comes before the server has begun to accept is missed; ask until it ends.
    while (!served.load()) {
      server.stop();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  server.serve();
  served.store(true);
  waiter.join();
  // cpp-httplib ends its accepting loop on a failed accept (other than for too many open files);
  // a server that stops unasked has failed, and says so.
  if (!signalled.load()) {
    return Unexpected(
        named_failure(kExitIo, "serve: accepting connections failed; the server stopped"));
  }
  return {};
}

}  // namespace quorvale_dat::cli
