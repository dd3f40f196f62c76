// The progress line of long commands (extract, texture --all) on standard error: records done
// out of the total, bytes written and the rate, redrawn in place at most ten times a second.
// It is shown only when standard error is a terminal; otherwise the commands are silent. A
// Progress may be advanced from several threads at once.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace quorvale_dat::cli {

// "1.5 MiB", "512 B"
[[nodiscard]] std::string human_bytes(std::uint64_t bytes);

// "extract: 12/400 records, 1.5 MiB, 3.0 MiB/s"
[[nodiscard]] std::string progress_text(std::string_view label, std::size_t done, std::size_t total,
                                        std::uint64_t bytes, double seconds);

class Progress {
 public:
  using Clock = std::chrono::steady_clock;

  // Shown when `enabled`; by default, when standard error is a terminal.
  Progress(std::string label, std::size_t total, bool enabled);
  Progress(std::string label, std::size_t total);
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;
  ~Progress() { finish(); }

  // One record done, `bytes` of output.
  void advance(std::uint64_t bytes);
  // Clears the line, so that a message can be written on standard error.
  void clear();
  // Draws the final state and ends the line.
  void finish();

 private:
  void draw();  // requires: mutex_ held

  std::mutex mutex_;
  std::string label_;
  std::size_t total_;
  bool enabled_;
  bool shown_ = false;
  bool finished_ = false;
  std::size_t done_ = 0;
  std::uint64_t bytes_ = 0;
  Clock::time_point start_ = Clock::now();
  Clock::time_point last_draw_{};
};

}  // namespace quorvale_dat::cli
