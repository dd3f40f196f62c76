// What `quorvale-dat serve` answers, apart from HTTP itself: the checks every request passes (its
// method and its Host header), the JSON API under /api/, the web interface and its files, ETags
// and caching. Requests and replies are plain values here; http_server.hpp carries them over the
// wire. docs/serve.md describes the API.
//
//   Api api(archive_path, db, shape, HostCheck("127.0.0.1"));
//   Reply r = api.handle({.method = "GET", .path = "/api/info", .host = "127.0.0.1:8080"});
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "documents.hpp"
#include "json.hpp"
#include "quorvale_dat/database.hpp"
#include "quorvale_dat/expected.hpp"
#include "references.hpp"
#include "status.hpp"

namespace quorvale_dat::cli::serve {

struct Request {
  std::string method;
  std::string path;                                        // decoded, without the query
  std::vector<std::pair<std::string, std::string>> query;  // decoded, in their order
  std::optional<std::string> host;                         // the Host header
  std::optional<std::string> if_none_match;                // the If-None-Match header
};

struct Reply {
  int status = 200;
  std::string content_type;
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
  bool close = false;  // close the connection after this reply
};

// The Host headers the server answers: "localhost", a loopback address (127.0.0.0/8, ::1), or the
// address it is bound to; any IP address when it is bound to all of them (0.0.0.0 or ::). A page
// of another site that has made its own name resolve to this machine (DNS rebinding) sends that
// name, and is refused.
// Whether `address` is a loopback address (127.0.0.0/8, ::1) or "localhost".
[[nodiscard]] bool is_loopback(const std::string& address);

class HostCheck {
 public:
  // `bound`: the listening address as --bind gives it, an IP address or "localhost".
  explicit HostCheck(std::string bound);

  // `host`: a Host header, "name", "name:port", "[v6]" or "[v6]:port".
  [[nodiscard]] bool allows(std::string_view host) const;

 private:
  std::string bound_;
  bool any_address_ = false;
};

class Api {
 public:
  // Requires: `db` was opened from `archive` and outlives the Api; `shape` was taken while it
  // opened. `archive` is the path as the command line gave it, which /api/info and /api/verify
  // repeat.
  Api(std::string archive, const DatDatabase& db, DirectoryShape shape, HostCheck hosts);
  Api(const Api&) = delete;
  Api& operator=(const Api&) = delete;

  // Thread-safe: every request is answered from the one read-only database, the documents that
  // are computed once, and the reference index.
  [[nodiscard]] Reply handle(const Request& request);

 private:
  Reply route(const Request& request);
  Reply entries(const Request& request);
  Reply record(const Request& request, std::uint32_t id, bool raw);
  Reply texture(const Request& request, std::uint32_t id, bool thumbnail);
  Reply references(const Request& request, std::uint32_t id);
  Reply asset(const Request& request, std::string_view name);

  // A document computed on its first request, and stored for every later one.
  struct StoredDocument {
    std::once_flag once;
    Expected<std::string, Failure> text = std::string();
  };
  Reply computed_once(const Request& request, std::string_view key, StoredDocument& document,
                      const std::function<Expected<Json, Failure>()>& compute);

  // The ETag of the answer to what `key` names: the same key gives the same tag for as long as
  // this server runs, and another server (another archive, another build) other tags.
  [[nodiscard]] std::string etag(std::string_view key) const;
  // 304 when the request's If-None-Match holds `tag`.
  [[nodiscard]] std::optional<Reply> not_modified(const Request& request,
                                                  const std::string& tag) const;

  std::string archive_;
  const DatDatabase& db_;
  DirectoryShape shape_;
  HostCheck hosts_;
  std::string instance_;  // what makes this server's ETags its own
  ReferenceIndex refs_;
  StoredDocument info_;
  StoredDocument verify_;
};

}  // namespace quorvale_dat::cli::serve
