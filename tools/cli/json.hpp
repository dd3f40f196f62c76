// The JSON documents of --json: nlohmann's ordered_json, so that keys come out in the order the
// schema in docs/cli.md lists them, and the helpers every document shares.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>

namespace quorvale_dat::cli {

using Json = nlohmann::ordered_json;

// An id under `key` as a number and under `key` + "_hex" as Hex8: put_id(o, "id", 0x080003E4)
// adds "id": 134218724 and "id_hex": "0x080003E4".
void put_id(Json& object, const char* key, std::uint32_t id);

// A 32-bit archive offset the same way: "offset": 400, "offset_hex": "0x00000190".
void put_offset(Json& object, const char* key, std::uint64_t offset);

// Writes the document to standard output, indented by two spaces, with a final line feed. Text
// that is not UTF-8 (a path, a version string) is written with U+FFFD in place of bad bytes.
void print_json(const Json& document);

}  // namespace quorvale_dat::cli
