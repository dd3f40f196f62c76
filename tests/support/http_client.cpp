#include "support/http_client.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace quorvale_dat::test {
namespace {

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::max<std::chrono::milliseconds::rep>(0, left.count()));
}

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

}  // namespace

ServerProcess::ServerProcess(const std::string& program, const std::vector<std::string>& args,
                             const std::vector<std::string>& env) {
  int out[2];
  int err[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
    throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  std::vector<std::string> argv_strings = {program};
  argv_strings.insert(argv_strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& s : argv_strings) argv.push_back(s.data());
  argv.push_back(nullptr);
  // The environment, with the entries of `env` in place of those of the same names.
  std::vector<std::string> env_strings = env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('=') + 1);
    if (std::none_of(env.begin(), env.end(),
                     [&](const std::string& x) { return x.starts_with(name); })) {
      env_strings.push_back(entry);
    }
  }
  std::vector<char*> envp;
  for (std::string& s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);
  const int rc = ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  ::close(err[1]);
  out_fd_ = out[0];
  err_fd_ = err[0];
  if (rc != 0) {
    pid_ = -1;
    throw std::runtime_error("posix_spawn " + program + ": " + std::strerror(rc));
  }
  collect(Clock::now() + std::chrono::seconds(30), true);
}

ServerProcess::~ServerProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  if (out_fd_ >= 0) ::close(out_fd_);
  if (err_fd_ >= 0) ::close(err_fd_);
}

int ServerProcess::port() const {
  const std::size_t colon = first_line_.rfind(':');
  if (!first_line_.starts_with("http://") || colon == std::string::npos) return -1;
  return std::atoi(first_line_.c_str() + colon + 1);
}

// Reads both pipes until the first line is in (`until_line`) or both are closed, or the deadline.
void ServerProcess::collect(Clock::time_point deadline, bool until_line) {
  while (out_fd_ >= 0 || err_fd_ >= 0) {
    if (until_line && out_.find('\n') != std::string::npos) break;
    pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    const int n = ::poll(fds, 2, remaining_ms(deadline));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buf[4096];
      const ssize_t got = ::read(fds[i].fd, buf, sizeof buf);
      if (got <= 0) {
        ::close(fds[i].fd);
        (i == 0 ? out_fd_ : err_fd_) = -1;
      } else {
        (i == 0 ? out_ : err_).append(buf, static_cast<std::size_t>(got));
      }
    }
  }
  if (until_line) {
    const std::size_t nl = out_.find('\n');
    if (nl != std::string::npos) {
      first_line_ = out_.substr(0, nl);
      out_.erase(0, nl + 1);
    }
  }
}

ServerProcess::Exit ServerProcess::stop(int signal, std::chrono::milliseconds timeout) {
  Exit exit;
  if (pid_ <= 0) return exit;
  if (signal != 0) ::kill(pid_, signal);
  const auto deadline = Clock::now() + timeout;
  int status = 0;
  while (true) {
    collect(std::min(deadline, Clock::now() + std::chrono::milliseconds(20)), false);
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) break;
    if (Clock::now() >= deadline) {
      exit.timed_out = true;
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      break;
    }
  }
  pid_ = -1;
  collect(Clock::now() + std::chrono::seconds(5), false);
  if (WIFEXITED(status)) exit.status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) exit.signal = WTERMSIG(status);
  exit.out = out_;
  exit.err = err_;
  return exit;
}

std::string HttpReply::header(const std::string& lower_name) const {
  const auto it = headers.find(lower_name);
  return it == headers.end() ? std::string() : it->second;
}

HttpConnection::HttpConnection(int port) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

HttpConnection::~HttpConnection() {
  if (fd_ >= 0) ::close(fd_);
}

bool HttpConnection::send(const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

HttpReply HttpConnection::read_reply(bool head, std::chrono::milliseconds timeout) {
  HttpReply reply;
  const auto deadline = Clock::now() + timeout;
  // Reads more into buffer_; false at the end of the stream or the deadline.
  const auto more = [&] {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, remaining_ms(deadline)) <= 0) return false;
    char buf[16384];
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) return false;
    buffer_.append(buf, static_cast<std::size_t>(n));
    return true;
  };
  std::size_t end;
  while ((end = buffer_.find("\r\n\r\n")) == std::string::npos) {
    if (!more()) return reply;
  }
  const std::string head_text = buffer_.substr(0, end);
  buffer_.erase(0, end + 4);
  std::size_t line_end = head_text.find("\r\n");
  const std::string status_line = head_text.substr(0, line_end);
  if (status_line.size() < 12 || !status_line.starts_with("HTTP/1.")) return reply;
  reply.status = std::atoi(status_line.c_str() + 9);
  while (line_end != std::string::npos) {
    const std::size_t start = line_end + 2;
    line_end = head_text.find("\r\n", start);
    const std::string line = head_text.substr(start, line_end - start);
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::size_t value = colon + 1;
    while (value < line.size() && line[value] == ' ') ++value;
    reply.headers.emplace(lower(line.substr(0, colon)), line.substr(value));
  }
  if (head || reply.status == 304 || reply.status == 204) return reply;
  const std::size_t length =
      static_cast<std::size_t>(std::atoll(reply.header("content-length").c_str()));
  while (buffer_.size() < length) {
    if (!more()) break;
  }
  reply.body = buffer_.substr(0, length);
  buffer_.erase(0, std::min(length, buffer_.size()));
  return reply;
}

bool HttpConnection::closed_by_server(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (true) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, remaining_ms(deadline)) <= 0) return false;
    char buf[4096];
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) return true;
    buffer_.append(buf, static_cast<std::size_t>(n));
  }
}

HttpReply http_request(int port, const std::string& method, const std::string& path,
                       const std::vector<std::string>& headers) {
  HttpConnection c(port);
  if (!c.connected()) return {};
  std::string request = method + " " + path + " HTTP/1.1\r\n";
  const bool has_host = std::any_of(headers.begin(), headers.end(), [](const std::string& h) {
    return lower(h.substr(0, 5)) == "host:";
  });
  if (!has_host) request += "Host: 127.0.0.1:" + std::to_string(port) + "\r\n";
  for (const std::string& h : headers) request += h + "\r\n";
  request += "Connection: close\r\n\r\n";
  if (!c.send(request)) return {};
  return c.read_reply(method == "HEAD");
}

}  // namespace quorvale_dat::test
