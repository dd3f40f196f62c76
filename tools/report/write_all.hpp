// Writing to a file descriptor in full, for the tools' outputs: standard output and standard error
// of dump_surface_80003e4, the files quorvale-dat writes.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace quorvale_dat::report {

// Writes all of `bytes` to `fd`, repeating after signals and short writes. Returns 0, or the
// errno of the write that failed.
[[nodiscard]] int write_all(int fd, std::span<const std::uint8_t> bytes) noexcept;
[[nodiscard]] int write_all(int fd, std::string_view text) noexcept;

}  // namespace quorvale_dat::report
