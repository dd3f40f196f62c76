// Where the commands' data goes: standard output, a file named on the command line, or files in
// a directory that a command fills (extract, texture --all).
//
// Standard output goes through stdio; main() flushes it at the end and turns a failed write into
// exit status 74. A closed pipe ends the process with SIGPIPE, as it does for other tools.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

#include "quorvale_dat/expected.hpp"
#include "status.hpp"

namespace quorvale_dat::cli {

void out(std::string_view text);
void out_bytes(std::span<const std::uint8_t> bytes);
// Writes "quorvale-dat: <message>" and a line feed to standard error.
void error_line(std::string_view message);

// Writes `bytes` to `path`, creating or truncating it as a shell redirection would.
[[nodiscard]] Expected<void, Failure> write_file(const std::filesystem::path& path,
                                                 std::span<const std::uint8_t> bytes);

// Files written into one directory, named only by the caller's simple names (no '/').
//
// Each file is written under a temporary name in the directory and then renamed over its final
// name. So nothing is ever written through a symbolic link or a hard link that sits in the
// directory under a target's name: the link itself is replaced, and whatever it pointed at
// outside the directory stays untouched. A file that fails half way never appears.
class OutputDir {
 public:
  // Opens `path`, creating it (and its parents) when it does not exist.
  [[nodiscard]] static Expected<OutputDir, Failure> open(const std::filesystem::path& path);

  OutputDir(OutputDir&& other) noexcept : fd_(other.fd_), path_(std::move(other.path_)) {
    other.fd_ = -1;
  }
  OutputDir& operator=(OutputDir&&) = delete;
  OutputDir(const OutputDir&) = delete;
  OutputDir& operator=(const OutputDir&) = delete;
  ~OutputDir();

  // Requires: `name` is a plain file name: no '/', not "." or "..".
  [[nodiscard]] Expected<void, Failure> write(const std::string& name,
                                              std::span<const std::uint8_t> bytes) const;

  [[nodiscard]] const std::filesystem::path& path() const noexcept { return path_; }

 private:
  OutputDir(int fd, std::filesystem::path path) noexcept : fd_(fd), path_(std::move(path)) {}

  int fd_ = -1;
  std::filesystem::path path_;
};

}  // namespace quorvale_dat::cli
