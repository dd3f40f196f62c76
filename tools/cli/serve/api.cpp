#include "api.hpp"

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <cstring>
#include <new>

#include "archive.hpp"
#include "documents.hpp"
#include "ids.hpp"
#include "json.hpp"
#include "texture_images.hpp"
#include "web_assets.hpp"

namespace quorvale_dat::cli::serve {
namespace {

constexpr std::size_t kDefaultLimit = 100;
constexpr std::size_t kMaxLimit = 1000;
constexpr std::uint32_t kDefaultThumbnail = 128;
constexpr std::uint32_t kMaxThumbnail = 512;

// Answers that stay the same while the server runs are stored and revalidated with their ETag;
// errors and answers still in the making are not stored at all.
constexpr const char* kRevalidate = "no-cache";
constexpr const char* kNoStore = "no-store";

// The interface's own pages and files may load only from this server, and no other site may
// frame them.
constexpr const char* kPagePolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' blob: data:; "
    "connect-src 'self'; base-uri 'none'; form-action 'self'; frame-ancestors 'none'";

std::string dump(const Json& doc) {
  return doc.dump(-1, ' ', false, Json::error_handler_t::replace);
}

Reply make_reply(int status, std::string_view content_type, std::string body) {
  Reply r;
  r.status = status;
  r.content_type = content_type;
  r.body = std::move(body);
  return r;
}

Reply json_reply(int status, std::string body) {
  return make_reply(status, "application/json", std::move(body));
}

// A reply that stays the same while the server runs, with its ETag.
Reply lasting(Reply r, const std::string& tag) {
  r.headers.emplace_back("ETag", tag);
  r.headers.emplace_back("Cache-Control", kRevalidate);
  return r;
}

Reply error_reply(int status, const std::string& message) {
  Reply r = json_reply(status, dump(Json{{"status", status}, {"error", message}}));
  r.headers.emplace_back("Cache-Control", kNoStore);
  return r;
}

// The HTTP status of a command's failure: what the command line names and the archive lacks is
// absent (404), a wrong request 400, a fault of the archive's data 422; only a failed read of the
// file itself is the server's own failure.
int http_status(const Failure& f) {
  switch (f.status) {
    case kExitAbsent:
      return 404;
    case kExitUsage:
      return 400;
    case kExitData:
      return 422;
    default:
      return 500;
  }
}

Reply failure_reply(const Failure& f) {
  // The commands name their options ("--palette: ..."); the API's parameters have no dashes.
  std::string_view message = f.message;
  if (message.starts_with("--")) message.remove_prefix(2);
  return error_reply(http_status(f), std::string(message));
}

// 64-bit FNV-1a.
std::uint64_t fnv1a(std::string_view text, std::uint64_t hash = 0xCBF29CE484222325ull) {
  for (char c : text) hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001B3ull;
  return hash;
}

std::string hex64(std::uint64_t v) {
  std::array<char, 16> digits{};
  for (int i = 15; i >= 0; --i, v >>= 4)
    digits[static_cast<std::size_t>(i)] = "0123456789abcdef"[v & 0xF];
  return std::string(digits.data(), digits.size());
}

std::optional<std::uint64_t> parse_count(std::string_view text) {
  std::uint64_t value = 0;
  if (text.empty() || text.front() == '+' || text.front() == '-') return std::nullopt;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::string not_an_id(std::string_view what, std::string_view text) {
  return std::string(what) +
         ": not an id (0x and hexadecimal digits, or decimal): " + std::string(text);
}

// A request's query, checked against the parameters its route takes: an unknown or repeated
// parameter is a mistake worth a 400, not something to ignore.
class Query {
 public:
  static Expected<Query, std::string> check(const Request& request,
                                            std::initializer_list<std::string_view> known) {
    Query q;
    for (const auto& [name, value] : request.query) {
      if (std::find(known.begin(), known.end(), name) == known.end()) {
        return Unexpected("unknown parameter '" + name + "'");
      }
      if (q.get(name)) return Unexpected("parameter '" + name + "' given twice");
      q.values_.emplace_back(name, value);
    }
    return q;
  }

  [[nodiscard]] const std::string* get(std::string_view name) const {
    for (const auto& [n, v] : values_) {
      if (n == name) return &v;
    }
    return nullptr;
  }

  // An id parameter; `type` is the type it must have, when it must.
  [[nodiscard]] Expected<std::optional<std::uint32_t>, std::string> id(
      std::string_view name, std::optional<RecordType> type = std::nullopt) const {
    const std::string* text = get(name);
    if (text == nullptr) return std::optional<std::uint32_t>();
    const auto id = parse_id(*text);
    if (!id) return Unexpected(not_an_id(name, *text));
    if (type) {
      if (auto mismatch = type_mismatch(*id, *type, name)) return Unexpected(std::move(*mismatch));
    }
    return std::optional<std::uint32_t>(*id);
  }

  [[nodiscard]] Expected<std::uint64_t, std::string> count(std::string_view name,
                                                           std::uint64_t fallback) const {
    const std::string* text = get(name);
    if (text == nullptr) return fallback;
    const auto value = parse_count(*text);
    if (!value) return Unexpected(std::string(name) + ": not a number: " + *text);
    return *value;
  }

 private:
  std::vector<std::pair<std::string, std::string>> values_;
};

// The path's segments after the leading '/': "/api/records/0x1/raw" is api, records, 0x1, raw.
std::vector<std::string_view> segments(std::string_view path) {
  std::vector<std::string_view> out;
  if (path.starts_with('/')) path.remove_prefix(1);
  while (true) {
    const std::size_t slash = path.find('/');
    out.push_back(path.substr(0, slash));
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
  return out;
}

std::string_view content_type_of(std::string_view name) {
  if (name.ends_with(".html")) return "text/html; charset=utf-8";
  if (name.ends_with(".css")) return "text/css; charset=utf-8";
  if (name.ends_with(".js")) return "text/javascript; charset=utf-8";
  if (name.ends_with(".svg")) return "image/svg+xml";
  return "application/octet-stream";
}

const WebAsset* find_asset(std::string_view name) {
  for (const WebAsset& a : web_assets()) {
    if (a.name == name) return &a;
  }
  return nullptr;
}

std::string lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

// The name part of a Host header, without a port and without the brackets of an IPv6 address.
// `bracketed` says whether it had them.
std::string_view host_name(std::string_view host, bool& bracketed) {
  bracketed = host.starts_with('[');
  if (bracketed) {
    const std::size_t close = host.find(']');
    if (close == std::string_view::npos) return {};
    const std::string_view rest = host.substr(close + 1);
    if (!rest.empty() && !rest.starts_with(':')) return {};
    return host.substr(1, close - 1);
  }
  const std::size_t colon = host.find(':');
  if (colon == std::string_view::npos) return host;
  if (host.find(':', colon + 1) != std::string_view::npos) return {};  // IPv6 needs brackets
  return host.substr(0, colon);
}

struct Address {
  int family = 0;  // 0: not an IP address
  std::array<unsigned char, 16> bytes{};
};

Address address_of(const std::string& text) {
  Address a;
  if (inet_pton(AF_INET, text.c_str(), a.bytes.data()) == 1) {
    a.family = AF_INET;
  } else if (inet_pton(AF_INET6, text.c_str(), a.bytes.data()) == 1) {
    a.family = AF_INET6;
  }
  return a;
}

bool is_loopback(const Address& a) {
  if (a.family == AF_INET) return a.bytes[0] == 127;
  if (a.family == AF_INET6) {
    return std::all_of(a.bytes.begin(), a.bytes.begin() + 15,
                       [](unsigned char b) { return b == 0; }) &&
           a.bytes[15] == 1;
  }
  return false;
}

bool is_any(const Address& a) {
  return a.family != 0 &&
         std::all_of(a.bytes.begin(), a.bytes.end(), [](unsigned char b) { return b == 0; });
}

}  // namespace

bool is_loopback(const std::string& address) {
  return address == "localhost" || is_loopback(address_of(address));
}

HostCheck::HostCheck(std::string bound) : bound_(lower(bound)) {
  any_address_ = is_any(address_of(bound_));
}

bool HostCheck::allows(std::string_view host) const {
  bool bracketed = false;
  const std::string name = lower(host_name(host, bracketed));
  if (name.empty()) return false;
  const Address a = address_of(name);
  // Brackets hold an IPv6 address and nothing else.
  if ((a.family == AF_INET6) != bracketed) return false;
  if (name == "localhost" || name == bound_) return true;
  if (a.family == 0) return false;
  if (is_loopback(a) || any_address_) return true;
  const Address b = address_of(bound_);
  return a.family == b.family && a.bytes == b.bytes;
}

Api::Api(std::string archive, const DatDatabase& db, DirectoryShape shape, HostCheck hosts)
    : archive_(std::move(archive)), db_(db), shape_(shape), hosts_(std::move(hosts)), refs_(db) {
  // The archive is read-only while it is served, so an answer's ETag may depend on the request
  // alone; what ties it to this archive and this build is a token of the running process.
  const auto now = std::chrono::system_clock::now().time_since_epoch().count();
  instance_ = hex64(fnv1a(archive_ + "|" + std::to_string(now) + "|" + std::to_string(getpid())));
}

std::string Api::etag(std::string_view key) const {
  return "\"" + instance_.substr(0, 8) + hex64(fnv1a(key, fnv1a(instance_))) + "\"";
}

std::optional<Reply> Api::not_modified(const Request& request, const std::string& tag) const {
  if (!request.if_none_match) return std::nullopt;
  std::string_view list = *request.if_none_match;
  while (!list.empty()) {
    const std::size_t comma = list.find(',');
    std::string_view item = list.substr(0, comma);
    list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
    while (item.starts_with(' ') || item.starts_with('\t')) item.remove_prefix(1);
    while (item.ends_with(' ') || item.ends_with('\t')) item.remove_suffix(1);
    if (item.starts_with("W/")) item.remove_prefix(2);
    if (item == "*" || item == tag) return lasting(make_reply(304, "", ""), tag);
  }
  return std::nullopt;
}

Reply Api::handle(const Request& request) {
  Reply reply;
  if (!request.host) {
    reply = error_reply(400, "a Host header is required");
  } else if (!hosts_.allows(*request.host)) {
    // A page of another site whose name was made to resolve to this machine: refused, so that it
    // cannot read the archive through the visitor's browser.
    reply = error_reply(403, "Host '" + *request.host + "' is not an address of this server");
  } else if (request.method != "GET" && request.method != "HEAD") {
    reply = error_reply(405, request.method + " is not served: only GET and HEAD");
    reply.headers.emplace_back("Allow", "GET, HEAD");
    reply.close = true;  // whatever body the request carries is not read
  } else {
    try {
      reply = route(request);
    } catch (const std::bad_alloc&) {
      reply = error_reply(503, "out of memory");
    }
  }
  reply.headers.emplace_back("X-Content-Type-Options", "nosniff");
  reply.headers.emplace_back("Cross-Origin-Resource-Policy", "same-origin");
  reply.headers.emplace_back("Referrer-Policy", "no-referrer");
  return reply;
}

Reply Api::route(const Request& request) {
  const std::vector<std::string_view> parts = segments(request.path);
  const auto id_at = [&](std::size_t i) { return parse_id(parts[i]); };
  if (parts[0] == "api") {
    const std::size_t n = parts.size();
    const std::string_view what = n > 1 ? parts[1] : std::string_view();
    if (n == 2 && what == "info") {
      return computed_once(request, "info", info_,
                           [&] { return info_document(archive_, db_, shape_); });
    }
    if (n == 2 && what == "entries") return entries(request);
    if (n == 2 && what == "verify") {
      // The structural pass, which reads no record.
      return computed_once(request, "verify", verify_, [&]() -> Expected<Json, Failure> {
        auto report = verify_archive(archive_, false);
        if (!report) return Unexpected(std::move(report.error()));
        return verify_document(archive_, *report);
      });
    }
    if ((n == 3 || (n == 4 && parts[3] == "raw")) && what == "records") {
      const auto id = id_at(2);
      if (!id) return error_reply(400, not_an_id("record", parts[2]));
      return record(request, *id, n == 4);
    }
    if (n == 3 && what == "refs") {
      const auto id = id_at(2);
      if (!id) return error_reply(400, not_an_id("record", parts[2]));
      return references(request, *id);
    }
    const bool full = n == 3 && parts[2].ends_with(".png");
    if (what == "textures" && (full || (n == 4 && parts[3] == "thumb.png"))) {
      std::string_view text = parts[2];
      if (full) text.remove_suffix(4);
      const auto id = parse_id(text);
      if (!id) return error_reply(400, not_an_id("texture", text));
      if (auto mismatch = type_mismatch(*id, RecordType::Texture)) {
        return error_reply(400, *mismatch);
      }
      return texture(request, *id, !full);
    }
    return error_reply(404, "no such API: " + request.path);
  }
  // The interface's views are one page, which reads its view from the path.
  if (request.path == "/" || request.path == "/entries" || request.path == "/gallery" ||
      (parts.size() == 2 && parts[0] == "records")) {
    return asset(request, "index.html");
  }
  if (parts.size() == 2 && parts[0] == "assets") {
    return asset(request, parts[1]);
  }
  return error_reply(404, "not found: " + request.path);
}

Reply Api::asset(const Request& request, std::string_view name) {
  const WebAsset* a = find_asset(name);
  if (a == nullptr) return error_reply(404, "not found: " + request.path);
  const std::string tag = etag("asset/" + std::string(name));
  if (auto r = not_modified(request, tag)) return std::move(*r);
  Reply r = lasting(
      make_reply(200, content_type_of(name), std::string(a->bytes.begin(), a->bytes.end())), tag);
  if (name.ends_with(".html")) {
    r.headers.emplace_back("Content-Security-Policy", kPagePolicy);
    r.headers.emplace_back("X-Frame-Options", "DENY");
  }
  return r;
}

Reply Api::computed_once(const Request& request, std::string_view key, StoredDocument& document,
                         const std::function<Expected<Json, Failure>()>& compute) {
  auto query = Query::check(request, {});
  if (!query) return error_reply(400, query.error());
  const std::string tag = etag(key);
  if (auto r = not_modified(request, tag)) return std::move(*r);
  // Requests that come while the first computes wait for it.
  std::call_once(document.once, [&] {
    auto doc = compute();
    if (doc) {
      document.text = dump(*doc);
    } else {
      document.text = Unexpected(std::move(doc.error()));
    }
  });
  if (!document.text) return failure_reply(document.text.error());
  return lasting(json_reply(200, *document.text), tag);
}

Reply Api::entries(const Request& request) {
  auto query = Query::check(request, {"type", "from", "to", "offset", "limit"});
  if (!query) return error_reply(400, query.error());
  std::optional<std::uint8_t> type;
  if (const std::string* text = query->get("type")) {
    type = parse_type_byte(*text);
    if (!type)
      return error_reply(400, "type: not a type byte (0x00 to 0xFF, or 0 to 255): " + *text);
  }
  const auto from = query->id("from");
  if (!from) return error_reply(400, from.error());
  const auto to = query->id("to");
  if (!to) return error_reply(400, to.error());
  const auto offset = query->count("offset", 0);
  if (!offset) return error_reply(400, offset.error());
  const auto limit_asked = query->count("limit", kDefaultLimit);
  if (!limit_asked) return error_reply(400, limit_asked.error());

  std::uint32_t first = from->value_or(0);
  std::uint32_t last = to->value_or(0xFFFFFFFF);
  if (first > last) return error_reply(400, "from: " + hex8(first) + " is after to: " + hex8(last));
  // A type byte is the top byte of the id, so its entries are one run of ids.
  bool empty = false;
  if (type) {
    const std::uint32_t base = std::uint32_t{*type} << 24;
    first = std::max(first, base);
    last = std::min(last, base | 0x00FFFFFF);
    empty = first > last;
  }
  const std::uint64_t limit = std::min<std::uint64_t>(*limit_asked, kMaxLimit);
  const std::string tag =
      etag("entries/" + hex8(first) + "/" + hex8(last) + "/" + std::to_string(empty) + "/" +
           std::to_string(*offset) + "/" + std::to_string(limit));
  if (auto r = not_modified(request, tag)) return std::move(*r);

  // The entries are sorted by id: the selection is found by two binary searches and a page by
  // its offset into it, whatever the offset.
  const std::span<const DatFileEntry> all = db_.files().entries();
  const auto by_id = [](const DatFileEntry& e, std::uint32_t id) { return e.id < id; };
  const auto begin = std::lower_bound(all.begin(), all.end(), first, by_id);
  const auto end =
      std::upper_bound(all.begin(), all.end(), last,
                       [](std::uint32_t id, const DatFileEntry& e) { return id < e.id; });
  const std::uint64_t total = empty || begin >= end ? 0 : static_cast<std::uint64_t>(end - begin);
  const std::uint64_t skip = std::min(*offset, total);
  const std::uint64_t count = std::min(limit, total - skip);

  Json list = Json::array();
  for (std::uint64_t i = 0; i < count; ++i) {
    list.push_back(entry_document(*(begin + static_cast<std::ptrdiff_t>(skip + i))));
  }
  Json doc = Json::object();
  doc["total"] = total;
  doc["offset"] = *offset;
  doc["limit"] = limit;
  doc["entries"] = std::move(list);
  return lasting(json_reply(200, dump(doc)), tag);
}

Reply Api::record(const Request& request, std::uint32_t id, bool raw) {
  auto query = Query::check(request, raw ? std::initializer_list<std::string_view>{"stored"}
                                         : std::initializer_list<std::string_view>{});
  if (!query) return error_reply(400, query.error());
  bool stored = false;
  if (const std::string* text = query->get("stored")) {
    if (*text != "0" && *text != "1") return error_reply(400, "stored: 0 or 1, not " + *text);
    stored = *text == "1";
  }
  const DatFileEntry* entry = db_.files().get(id);
  if (entry == nullptr) return error_reply(404, "record " + hex8(id) + ": not in the archive");
  const std::string tag = etag((raw ? (stored ? "stored/" : "raw/") : "record/") + hex8(id));
  if (auto r = not_modified(request, tag)) return std::move(*r);

  Reply r;
  if (raw && stored) {
    auto bytes = db_.read_file_data(entry->offset, entry->size);
    if (!bytes) return failure_reply(failure("record " + hex8(id), bytes.error()));
    r.body.assign(bytes->begin(), bytes->end());
  } else {
    auto bytes = fetch_requested(db_, id);
    if (!bytes) return failure_reply(bytes.error());
    if (raw) {
      r.body.assign(bytes->begin(), bytes->end());
    } else {
      auto doc = record_document(id, *bytes);
      if (!doc) return failure_reply(doc.error());
      r.body = dump(*doc);
    }
  }
  r.content_type = raw ? "application/octet-stream" : "application/json";
  r = lasting(std::move(r), tag);
  if (raw) {
    r.headers.emplace_back("Content-Disposition", "attachment; filename=\"" + hex8(id) +
                                                      (stored ? ".stored" : "") + ".bin\"");
  }
  return r;
}

Reply Api::texture(const Request& request, std::uint32_t id, bool thumbnail) {
  auto query =
      Query::check(request, thumbnail ? std::initializer_list<std::string_view>{"palette", "size"}
                                      : std::initializer_list<std::string_view>{"palette"});
  if (!query) return error_reply(400, query.error());
  const auto palette = query->id("palette", RecordType::Palette);
  if (!palette) return error_reply(400, palette.error());
  const auto size = query->count("size", kDefaultThumbnail);
  if (!size) return error_reply(400, size.error());
  if (*size < 1 || *size > kMaxThumbnail) {
    return error_reply(
        400, "size: 1 to " + std::to_string(kMaxThumbnail) + ", not " + std::to_string(*size));
  }
  const std::string key = (thumbnail ? "thumb/" + std::to_string(*size) + "/" : "png/") + hex8(id) +
                          "/" + (*palette ? hex8(**palette) : "-");
  const std::string tag = etag(key);
  if (!db_.files().contains(id))
    return error_reply(404, "texture " + hex8(id) + ": not in the archive");
  if (auto r = not_modified(request, tag)) return std::move(*r);

  auto bytes = fetch_requested(db_, id);
  if (!bytes) return failure_reply(bytes.error());
  auto file = thumbnail
                  ? texture_thumbnail(db_, id, *bytes, *palette, static_cast<std::uint32_t>(*size))
                  : texture_file(db_, id, *bytes, *palette);
  if (!file) return failure_reply(file.error());
  Reply r = lasting(make_reply(200, file->jpeg ? "image/jpeg" : "image/png",
                               std::string(file->bytes.begin(), file->bytes.end())),
                    tag);
  if (!thumbnail) {
    r.headers.emplace_back("Content-Disposition", "inline; filename=\"" + hex8(id) +
                                                      (file->jpeg ? ".jpg" : ".png") + "\"");
  }
  return r;
}

Reply Api::references(const Request& request, std::uint32_t id) {
  auto query = Query::check(request, {});
  if (!query) return error_reply(400, query.error());
  refs_.start();
  Json doc = Json::object();
  put_id(doc, "id", id);
  if (!refs_.ready()) {
    doc["ready"] = false;
    doc["done"] = refs_.done();
    doc["total"] = refs_.total();
    Reply r = json_reply(200, dump(doc));
    r.headers = {{"Cache-Control", kNoStore}, {"Retry-After", "1"}};
    return r;
  }
  if (refs_.failed()) return error_reply(503, "the reference index ran out of memory");
  const std::string tag = etag("refs/" + hex8(id));
  if (auto r = not_modified(request, tag)) return std::move(*r);
  Json list = Json::array();
  for (const Reference& ref : refs_.referrers(id)) {
    Json j = Json::object();
    put_id(j, "id", ref.source);
    const RecordType type = record_type(ref.source);
    j["type"] = type_byte(type);
    j["type_hex"] = hex2(type_byte(type));
    j["kind"] = std::string(record_type_name(type));
    j["field"] = std::string(field_name(ref.field));
    list.push_back(std::move(j));
  }
  doc["ready"] = true;
  doc["in_archive"] = db_.files().contains(id);
  doc["referrers"] = std::move(list);
  doc["unreadable"] = refs_.unreadable();
  return lasting(json_reply(200, dump(doc)), tag);
}

}  // namespace quorvale_dat::cli::serve
