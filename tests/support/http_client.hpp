// What the server tests need to meet `quorvale-dat serve` as its users do: the server as a child
// process that prints its URL and is stopped by a signal, and a small HTTP/1.1 client over
// loopback sockets that sends exactly the bytes a test writes (wrong Host headers, other methods,
// oversized requests) and reads replies by their Content-Length.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quorvale_dat::test {

// A program started with `args` that keeps running: its first line of standard output (a
// server's URL) is read at once; the rest of its output is collected until it exits.
class ServerProcess {
 public:
  // `env` entries ("NAME=value") are added to the environment.
  ServerProcess(const std::string& program, const std::vector<std::string>& args,
                const std::vector<std::string>& env = {});
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;
  // Kills the program if it still runs.
  ~ServerProcess();

  // The first line, without its line feed; empty when the program exited or printed none
  // within 30 s.
  [[nodiscard]] const std::string& first_line() const noexcept { return first_line_; }
  // The port of the URL of the first line, or -1.
  [[nodiscard]] int port() const;
  [[nodiscard]] pid_t pid() const noexcept { return pid_; }

  struct Exit {
    int status = -1;  // the exit status, -1 unless it exited
    int signal = 0;   // the signal that ended it
    bool timed_out = false;
    std::string out;  // standard output after the first line
    std::string err;
  };
  // Sends `signal` (0: none) and waits for the exit, killing it after `timeout`.
  Exit stop(int signal, std::chrono::milliseconds timeout = std::chrono::seconds(30));

 private:
  void collect(std::chrono::steady_clock::time_point deadline, bool until_line);

  pid_t pid_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  std::string first_line_;
  std::string out_;
  std::string err_;
};

struct HttpReply {
  int status = 0;  // 0 when no status line arrived (the connection closed)
  std::multimap<std::string, std::string> headers;  // names in lower case
  std::string body;

  [[nodiscard]] std::string header(const std::string& lower_name) const;
};

// One connection to 127.0.0.1:port, for one request or several in turn (keep-alive).
class HttpConnection {
 public:
  explicit HttpConnection(int port);
  HttpConnection(const HttpConnection&) = delete;
  HttpConnection& operator=(const HttpConnection&) = delete;
  ~HttpConnection();

  [[nodiscard]] bool connected() const noexcept { return fd_ >= 0; }
  // Sends `bytes` as they are; false when the send failed.
  bool send(const std::string& bytes);
  // Reads one reply; a HEAD's reply or a 304 has no body whatever Content-Length says.
  [[nodiscard]] HttpReply read_reply(bool head = false,
                                     std::chrono::milliseconds timeout = std::chrono::seconds(30));
  // Whether the server has closed the connection (within `timeout`).
  [[nodiscard]] bool closed_by_server(std::chrono::milliseconds timeout);
  [[nodiscard]] int fd() const noexcept { return fd_; }

 private:
  int fd_ = -1;
  std::string buffer_;
};

// A GET (or another method) of `path` on a connection of its own, with Host 127.0.0.1:port
// unless `headers` holds a Host line, and any further header lines ("Name: value").
[[nodiscard]] HttpReply http_request(int port, const std::string& method, const std::string& path,
                                     const std::vector<std::string>& headers = {});
[[nodiscard]] inline HttpReply http_get(int port, const std::string& path,
                                        const std::vector<std::string>& headers = {}) {
  return http_request(port, "GET", path, headers);
}

}  // namespace quorvale_dat::test
