#include "http_server.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <httplib.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "quorvale_dat/io_error.hpp"

namespace quorvale_dat::cli::serve {
namespace {

using Clock = std::chrono::steady_clock;

// Set on the accepting thread while it turns away a connection that found the workers and the
// queue full; set on a worker while it answers a request after which its connection must close.
thread_local bool t_turn_away = false;
thread_local bool t_close_after = false;
// Set on a worker when the request reached the handler; one that did not was refused by
// cpp-httplib itself (a malformed or oversized request), and what follows it cannot be trusted.
thread_local bool t_answered = false;

int millis(std::chrono::milliseconds ms) { return static_cast<int>(ms.count()); }

// Waits until `fd` is ready for `events`; false on timeout or error.
bool wait_for(int fd, short events, std::chrono::milliseconds timeout) {
  pollfd p{fd, events, 0};
  const auto deadline = Clock::now() + timeout;
  while (true) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    const int n = ::poll(&p, 1, std::max(0, millis(left)));
    if (n > 0) return true;
    if (n == 0 || errno != EINTR) return false;
  }
}

// A connection's socket as cpp-httplib's Stream, with the reads of each request counted against
// the request size limit; cpp-httplib itself bounds the request line and each header line, but not
// the number of header lines. Reads are buffered, since the request line and headers are read a
// byte at a time.
class ConnectionStream final : public httplib::Stream {
 public:
  ConnectionStream(int sock, const ServerLimits& limits) : sock_(sock), limits_(limits) {}

  void begin_request() { budget_ = limits_.request_bytes; }
  [[nodiscard]] bool buffered() const { return pos_ < len_; }

  bool is_readable() const override {
    return buffered() || wait_for(sock_, POLLIN, limits_.read_timeout);
  }
  bool is_writable() const override { return wait_for(sock_, POLLOUT, limits_.write_timeout); }

  ssize_t read(char* ptr, size_t size) override {
    if (budget_ == 0) return -1;  // the request is too long
    if (!buffered()) {
      if (!wait_for(sock_, POLLIN, limits_.read_timeout)) return -1;
      ssize_t n;
      do {
        n = ::recv(sock_, buffer_, sizeof buffer_, 0);
      } while (n < 0 && errno == EINTR);
      if (n <= 0) return n;
      pos_ = 0;
      len_ = static_cast<std::size_t>(n);
    }
    const std::size_t n = std::min({size, len_ - pos_, budget_});
    std::memcpy(ptr, buffer_ + pos_, n);
    pos_ += n;
    budget_ -= n;
    return static_cast<ssize_t>(n);
  }

  ssize_t write(const char* ptr, size_t size) override {
    if (!wait_for(sock_, POLLOUT, limits_.write_timeout)) return -1;
    ssize_t n;
    do {
      n = ::send(sock_, ptr, size, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n;
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    address(::getpeername, ip, port);
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    address(::getsockname, ip, port);
  }
  socket_t socket() const override { return sock_; }

 private:
  template <class Get>
  void address(Get get, std::string& ip, int& port) const {
    sockaddr_storage a{};
    socklen_t length = sizeof a;
    ip.clear();
    port = -1;
    if (get(sock_, reinterpret_cast<sockaddr*>(&a), &length) != 0) return;
    char text[INET6_ADDRSTRLEN] = {};
    if (a.ss_family == AF_INET) {
      const auto* v4 = reinterpret_cast<const sockaddr_in*>(&a);
      inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
      port = ntohs(v4->sin_port);
    } else if (a.ss_family == AF_INET6) {
      const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&a);
      inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
      port = ntohs(v6->sin6_port);
    }
    ip = text;
  }

  int sock_;
  const ServerLimits& limits_;
  char buffer_[4096];
  std::size_t pos_ = 0;
  std::size_t len_ = 0;
  std::size_t budget_ = 0;
};

// The workers. A connection that finds them all busy and `waiting` others queued is handed back
// to the accepting thread at once, to be turned away.
class WorkerPool final : public httplib::TaskQueue {
 public:
  WorkerPool(std::size_t workers, std::size_t waiting) : waiting_(waiting) {
    for (std::size_t i = 0; i < workers; ++i) threads_.emplace_back([this] { work(); });
  }
  ~WorkerPool() override = default;

  void enqueue(std::function<void()> fn) override {
    {
      std::unique_lock lock(mutex_);
      if (jobs_.size() < waiting_) {
        jobs_.push_back(std::move(fn));
        ready_.notify_one();
        return;
      }
    }
    t_turn_away = true;
    fn();
    t_turn_away = false;
  }

  // Runs every job queued, then ends the workers.
  void shutdown() override {
    {
      std::unique_lock lock(mutex_);
      shutting_down_ = true;
    }
    ready_.notify_all();
    for (std::thread& t : threads_) t.join();
    threads_.clear();
  }

 private:
  void work() {
    while (true) {
      std::function<void()> job;
      {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [this] { return shutting_down_ || !jobs_.empty(); });
        if (jobs_.empty()) return;
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      job();
    }
  }

  std::size_t waiting_;
  std::vector<std::thread> threads_;
  std::deque<std::function<void()>> jobs_;
  bool shutting_down_ = false;
  std::mutex mutex_;
  std::condition_variable ready_;
};

constexpr std::string_view kBusyBody =
    R"({"status":503,"error":"the server is busy: too many connections"})";

// Closes a socket whose peer may still be sending: first only our side, then after reading off
// what arrives for a moment, so that the peer reads our reply before the connection resets.
void lingering_close(int sock) {
  ::shutdown(sock, SHUT_WR);
  char sink[4096];
  const auto deadline = Clock::now() + std::chrono::milliseconds(200);
  std::size_t drained = 0;
  while (drained < (1 << 16) && Clock::now() < deadline &&
         wait_for(sock, POLLIN, std::chrono::milliseconds(50))) {
    const ssize_t n = ::recv(sock, sink, sizeof sink, MSG_DONTWAIT);
    if (n <= 0) break;
    drained += static_cast<std::size_t>(n);
  }
  ::close(sock);
}

}  // namespace

class HttpServer::Impl final : public httplib::Server {
 public:
  Impl(HttpServer::Handler handler, ServerLimits limits)
      : handler_(std::move(handler)), limits_(std::move(limits)) {
    // Only for the Keep-Alive header cpp-httplib writes; the connection loop below keeps them.
    set_keep_alive_timeout(static_cast<time_t>(limits_.keep_alive.count()));
    set_keep_alive_max_count(limits_.requests_per_connection);
    set_payload_max_length(limits_.request_bytes);
    new_task_queue = [this] { return new WorkerPool(limits_.workers, limits_.waiting); };
    // cpp-httplib's own socket options include SO_REUSEPORT, which would let a second server
    // bind a port this one holds, and the two share its connections. SO_REUSEADDR alone lets a
    // restarted server take its port back from connections in TIME_WAIT.
    set_socket_options([](socket_t sock) {
      const int yes = 1;
      ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
      ::fcntl(sock, F_SETFD, FD_CLOEXEC);
    });
    set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
      answer(req, res);
      return HandlerResponse::Handled;
    });
  }

  Expected<int, IoError> bind(const std::string& address, int port) {
    errno = 0;
    int bound = port;
    if (port == 0) {
      bound = bind_to_any_port(address);
      if (bound <= 0) bound = -1;
    } else if (!bind_to_port(address, port)) {
      bound = -1;
    }
    if (bound < 0) {
      // cpp-httplib keeps the errno of the failed call; EADDRNOTAVAIL when it found no address.
      return Unexpected(IoError::from_os(errno != 0 ? errno : EADDRNOTAVAIL));
    }
    // cpp-httplib listens with a backlog of 5, which a page loading its thumbnails overflows;
    // listening again raises it.
    ::listen(svr_sock_, SOMAXCONN);
    return bound;
  }

  void stop_serving() {
    stopping_.store(true);
    // cpp-httplib's stop() may be called once while it runs, and does nothing before.
    if (is_running() && !stop_sent_.exchange(true)) stop();
  }

 private:
  void answer(const httplib::Request& req, httplib::Response& res) {
    Request request;
    request.method = req.method;
    request.path = req.path;
    for (const auto& [name, value] : req.params) request.query.emplace_back(name, value);
    const std::size_t hosts = req.get_header_value_count("Host");
    if (hosts == 1) request.host = req.get_header_value("Host");
    if (req.has_header("If-None-Match"))
      request.if_none_match = req.get_header_value("If-None-Match");

    Reply reply;
    const auto plain = [&](int status, std::string_view body) {
      reply = Reply();
      reply.status = status;
      reply.content_type = "application/json";
      reply.body = body;
      reply.headers.emplace_back("Cache-Control", "no-store");
    };
    try {
      if (hosts > 1) {
        plain(400, R"({"status":400,"error":"more than one Host header"})");
      } else {
        reply = handler_(request);
      }
    } catch (const std::exception&) {
      plain(500, R"({"status":500,"error":"internal error"})");
    }
    // A body the request came with is not read: the connection cannot carry another request.
    const bool has_body =
        req.has_header("Transfer-Encoding") ||
        (req.has_header("Content-Length") && req.get_header_value("Content-Length") != "0");
    t_close_after = reply.close || has_body;
    t_answered = true;

    res.status = reply.status;
    for (auto& [name, value] : reply.headers) res.set_header(name, value);
    if (!reply.content_type.empty()) res.set_content(std::move(reply.body), reply.content_type);
  }

  // Replaces cpp-httplib's connection loop, to count each request's bytes, close idle
  // connections as soon as the server stops, and turn away connections beyond the limit.
  bool process_and_close_socket(socket_t sock) override {
    if (t_turn_away) {
      const std::string reply =
          "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\nContent-Length: " +
          std::to_string(kBusyBody.size()) + "\r\nRetry-After: 1\r\nConnection: close\r\n\r\n" +
          std::string(kBusyBody);
      [[maybe_unused]] const ssize_t sent =
          ::send(sock, reply.data(), reply.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
      ::shutdown(sock, SHUT_WR);
      ::close(sock);
      return true;
    }
    // Replies go out in two writes, head and body; without this the second waits for the
    // peer's delayed acknowledgement of the first.
    const int yes = 1;
    ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);

    ConnectionStream stream(sock, limits_);
    bool linger = false;
    for (std::size_t left = limits_.requests_per_connection; left > 0; --left) {
      if (!await_request(stream, sock)) break;
      stream.begin_request();
      t_close_after = false;
      t_answered = false;
      bool closed = false;
      const bool last = left == 1 || stopping_.load();
      const bool ok = process_request(stream, last, closed, [](httplib::Request&) {});
      linger = t_close_after || !t_answered;
      if (!ok || closed || last || linger) break;
    }
    if (linger) {
      lingering_close(sock);
    } else {
      ::shutdown(sock, SHUT_RDWR);
      ::close(sock);
    }
    return true;
  }

  // Waits for the next request's first bytes: false after keep_alive of silence, or at once when
  // the server is stopping and nothing has arrived.
  bool await_request(const ConnectionStream& stream, int sock) const {
    const auto deadline = Clock::now() + limits_.keep_alive;
    while (true) {
      if (stream.buffered() || wait_for(sock, POLLIN, std::chrono::milliseconds(50))) return true;
      if (stopping_.load() || Clock::now() >= deadline) return false;
    }
  }

  HttpServer::Handler handler_;
  ServerLimits limits_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> stop_sent_{false};
};

HttpServer::HttpServer(Handler handler, ServerLimits limits)
    : impl_(std::make_unique<Impl>(std::move(handler), std::move(limits))) {}

HttpServer::~HttpServer() = default;

Expected<int, IoError> HttpServer::bind(const std::string& address, int port) {
  return impl_->bind(address, port);
}

void HttpServer::serve() { impl_->listen_after_bind(); }

void HttpServer::stop() { impl_->stop_serving(); }

}  // namespace quorvale_dat::cli::serve
