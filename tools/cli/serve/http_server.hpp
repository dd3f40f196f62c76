// The HTTP side of `quorvale-dat serve`, on cpp-httplib: requests in, the Api's replies out, with
// the limits a server on a user's machine needs. A fixed pool of worker threads serves one
// connection each at a time; a bounded number of accepted connections wait for a worker, and any
// beyond get "503 Service Unavailable" at once. A request (its line, headers and body) may be at
// most ServerLimits::request_bytes long, and a connection that stays silent is closed after the
// timeouts. stop() lets every request already received finish.
//
//   HttpServer server([&](const Request& r) { return api.handle(r); }, ServerLimits{});
//   auto port = server.bind("127.0.0.1", 0);
//   std::thread t([&] { server.serve(); });
//   ...
//   server.stop();
//   t.join();
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "api.hpp"
#include "quorvale_dat/expected.hpp"
#include "quorvale_dat/io_error.hpp"

namespace quorvale_dat::cli::serve {

struct ServerLimits {
  std::size_t workers = 16;  // connections served at once
  std::size_t waiting = 64;  // accepted connections waiting for a worker
  std::size_t request_bytes = 64 * 1024;
  std::chrono::seconds read_timeout{5};   // for each read of a request in progress
  std::chrono::seconds write_timeout{5};  // for each write of a reply
  std::chrono::seconds keep_alive{2};     // an idle connection's wait for its next request
  std::size_t requests_per_connection = 1000;
};

class HttpServer {
 public:
  using Handler = std::function<Reply(const Request&)>;

  HttpServer(Handler handler, ServerLimits limits);
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;
  ~HttpServer();

  // Listens on `address` (an IP address or "localhost") and `port`; port 0 takes one the system
  // picks. Returns the port, or why it cannot listen (AddrInUse when another server has it).
  [[nodiscard]] Expected<int, IoError> bind(const std::string& address, int port);

  // Serves until stop() and returns when every worker is done. Requires: bind() succeeded.
  void serve();

  // Stops accepting connections; requests already received are answered, idle connections are
  // closed. Thread-safe. A stop() before serve() has begun may be missed: call it again until
  // serve() returns.
  void stop();

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace quorvale_dat::cli::serve
