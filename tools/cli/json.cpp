#include "json.hpp"

#include <string>

#include "ids.hpp"
#include "output.hpp"

namespace quorvale_dat::cli {

void put_id(Json& object, const char* key, std::uint32_t id) {
  object[key] = id;
  object[std::string(key) + "_hex"] = hex8(id);
}

void put_offset(Json& object, const char* key, std::uint64_t offset) {
  object[key] = offset;
  object[std::string(key) + "_hex"] = hex8(static_cast<std::uint32_t>(offset));
}

void print_json(const Json& document) {
  out(document.dump(2, ' ', false, Json::error_handler_t::replace));
  out("\n");
}

}  // namespace quorvale_dat::cli
