// serve_bench --tool QUORVALE-DAT --archive ARCHIVE [--seconds S] [--clients N]
//
// Starts `quorvale-dat serve ARCHIVE --port 0` and measures it from loopback clients, each with a
// keep-alive connection of its own:
//   - thumbnails (thumb.png?size=128) per second to 1 client and to N (8) clients at once, over
//     textures spread across the archive, every reply checked to be a 200 PNG;
//   - the time of a page of /api/entries (limit 100) at offset 0 and at offset 999,000, as the
//     median of many requests one after another.
// Not a test: it prints its figures, for docs/performance.md. On a machine with C cores the
// thumbnail rate should grow with the clients up to about C times that of one.
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "support/http_client.hpp"

namespace {

using quorvale_dat::test::HttpConnection;
using quorvale_dat::test::HttpReply;
using quorvale_dat::test::ServerProcess;
using Clock = std::chrono::steady_clock;

// A keep-alive client that opens a new connection when the server has closed its last one (it
// does after a number of requests).
class Client {
 public:
  explicit Client(int port) : port_(port) {}

  HttpReply get(const std::string& path) {
    // A connection left idle may have been closed by the server meanwhile: one more try.
    for (int attempt = 0; attempt < 2; ++attempt) {
      const bool reused = c_ != nullptr;
      if (!c_) c_ = std::make_unique<HttpConnection>(port_);
      HttpReply r;
      if (c_->send("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")) r = c_->read_reply();
      if (r.status == 0 || r.header("connection") == "close") c_.reset();
      if (r.status != 0 || !reused) return r;
    }
    return {};
  }

 private:
  int port_;
  std::unique_ptr<HttpConnection> c_;
};

// The ids of the first `limit` entries from `offset` on, of type 0x06 when `textures`.
std::vector<std::string> ids(Client& c, std::uint64_t offset, int limit, bool textures) {
  const HttpReply r = c.get("/api/entries?offset=" + std::to_string(offset) +
                            "&limit=" + std::to_string(limit) + (textures ? "&type=6" : ""));
  std::vector<std::string> out;
  for (std::size_t at = 0; (at = r.body.find("\"id_hex\":\"", at)) != std::string::npos;) {
    at += 10;
    out.push_back(r.body.substr(at, 10));
  }
  return out;
}

std::uint64_t total(Client& c, bool textures) {
  const HttpReply r = c.get(std::string("/api/entries?limit=0") + (textures ? "&type=6" : ""));
  const std::size_t at = r.body.find("\"total\":");
  return at == std::string::npos ? 0 : std::strtoull(r.body.c_str() + at + 8, nullptr, 10);
}

struct Rate {
  double per_second = 0;
  std::uint64_t done = 0;
  std::uint64_t failed = 0;
};

// `clients` threads, each asking for thumbnails of `textures` in turn (from its own starting
// point) for `seconds`.
Rate thumbnails(int port, const std::vector<std::string>& textures, int clients, double seconds) {
  std::atomic<std::uint64_t> done{0};
  std::atomic<std::uint64_t> failed{0};
  std::atomic<bool> go{false};
  const auto length = std::chrono::duration<double>(seconds);
  std::vector<std::thread> threads;
  Clock::time_point start;
  for (int t = 0; t < clients; ++t) {
    threads.emplace_back([&, t] {
      Client c(port);
      std::size_t k =
          static_cast<std::size_t>(t) * textures.size() / static_cast<std::size_t>(clients);
      while (!go.load()) std::this_thread::yield();
      while (Clock::now() - start < length) {
        const HttpReply r =
            c.get("/api/textures/" + textures[k++ % textures.size()] + "/thumb.png?size=128");
        if (r.status == 200 && r.body.starts_with("\x89PNG")) {
          ++done;
        } else {
          ++failed;
        }
      }
    });
  }
  start = Clock::now();
  go.store(true);
  for (std::thread& t : threads) t.join();
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  return {static_cast<double>(done.load()) / elapsed, done.load(), failed.load()};
}

// The median time of `count` requests for a page of entries at `offset`, in microseconds; -1 when
// one fails.
double page_time(Client& c, std::uint64_t offset, int count) {
  std::vector<double> times;
  for (int i = 0; i < count; ++i) {
    const auto t0 = Clock::now();
    const HttpReply r = c.get("/api/entries?offset=" + std::to_string(offset) + "&limit=100");
    const auto t1 = Clock::now();
    if (r.status != 200 || r.body.find("\"entries\":[{") == std::string::npos) {
      std::fprintf(stderr, "serve_bench: the page at offset %llu failed (%d)\n",
                   static_cast<unsigned long long>(offset), r.status);
      return -1;
    }
    times.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  std::string tool;
  std::string archive;
  double seconds = 10;
  int clients = 8;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string_view name = argv[i];
    if (name == "--tool")
      tool = argv[i + 1];
    else if (name == "--archive")
      archive = argv[i + 1];
    else if (name == "--seconds")
      seconds = std::atof(argv[i + 1]);
    else if (name == "--clients")
      clients = std::atoi(argv[i + 1]);
  }
  if (tool.empty() || archive.empty() || seconds <= 0 || clients < 1) {
    std::fprintf(
        stderr,
        "usage: serve_bench --tool QUORVALE-DAT --archive ARCHIVE [--seconds S] [--clients N]\n");
    return 2;
  }

  ServerProcess server(tool, {"serve", archive, "--port", "0"});
  if (server.port() <= 0) {
    std::fprintf(stderr, "serve_bench: the server printed no URL\n");
    return 1;
  }
  const int port = server.port();
  Client c(port);
  const std::uint64_t entries = total(c, false);
  const std::uint64_t texture_count = total(c, true);
  // 2000 textures from 20 places spread over the archive, so that the page cache and the
  // archive's layout are not those of one corner.
  std::vector<std::string> textures;
  for (int part = 0; part < 20 && texture_count > 100; ++part) {
    const auto more = ids(c, texture_count * static_cast<std::uint64_t>(part) / 20, 100, true);
    textures.insert(textures.end(), more.begin(), more.end());
  }
  if (textures.empty()) {
    std::fprintf(stderr, "serve_bench: the archive has too few textures\n");
    return 1;
  }
  std::printf("archive %s: %llu entries, %llu textures; %zu textures asked for in turn\n",
              archive.c_str(), static_cast<unsigned long long>(entries),
              static_cast<unsigned long long>(texture_count), textures.size());

  thumbnails(port, textures, 1, 1.0);  // warm the page cache
  const Rate one = thumbnails(port, textures, 1, seconds);
  const Rate many = thumbnails(port, textures, clients, seconds);
  std::printf("thumbnails, 1 client:  %8.1f/s (%llu in %.0f s, %llu failed)\n", one.per_second,
              static_cast<unsigned long long>(one.done), seconds,
              static_cast<unsigned long long>(one.failed));
  std::printf("thumbnails, %d clients: %8.1f/s (%llu in %.0f s, %llu failed), %.2fx one client\n",
              clients, many.per_second, static_cast<unsigned long long>(many.done), seconds,
              static_cast<unsigned long long>(many.failed), many.per_second / one.per_second);

  const std::uint64_t far = entries > 1000 ? std::min<std::uint64_t>(999'000, entries - 1000) : 0;
  if (page_time(c, 0, 50) < 0 || page_time(c, far, 50) < 0) return 1;
  const double first = page_time(c, 0, 500);
  const double last = page_time(c, far, 500);
  if (first < 0 || last < 0) return 1;
  std::printf("entries page (limit 100) at offset 0:       %8.1f us (median of 500)\n", first);
  std::printf("entries page (limit 100) at offset %llu: %8.1f us (median of 500), %.2fx offset 0\n",
              static_cast<unsigned long long>(far), last, last / first);

  const ServerProcess::Exit exit = server.stop(SIGTERM);
  if (exit.status != 0) {
    std::fprintf(stderr, "serve_bench: the server exited with %d: %s\n", exit.status,
                 exit.err.c_str());
    return 1;
  }
  return one.failed + many.failed == 0 ? 0 : 1;
}
