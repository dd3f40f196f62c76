#include "progress.hpp"

#include <unistd.h>

#include <array>
#include <cstdio>
#include <utility>

namespace quorvale_dat::cli {
namespace {

std::string one_decimal(double value) {
  std::array<char, 32> buf{};
  std::snprintf(buf.data(), buf.size(), "%.1f", value);
  return buf.data();
}

void write_stderr(const std::string& text) { std::fwrite(text.data(), 1, text.size(), stderr); }

}  // namespace

std::string human_bytes(std::uint64_t bytes) {
  static constexpr const char* kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
  if (bytes < 1024) return std::to_string(bytes) + " B";
  double value = static_cast<double>(bytes) / 1024.0;
  std::size_t unit = 0;
  while (value >= 1024.0 && unit + 1 < std::size(kUnits)) {
    value /= 1024.0;
    ++unit;
  }
  return one_decimal(value) + " " + kUnits[unit];
}

std::string progress_text(std::string_view label, std::size_t done, std::size_t total,
                          std::uint64_t bytes, double seconds) {
  std::string text(label);
  text +=
      ": " + std::to_string(done) + "/" + std::to_string(total) + " records, " + human_bytes(bytes);
  if (seconds > 0) {
    text +=
        ", " + human_bytes(static_cast<std::uint64_t>(static_cast<double>(bytes) / seconds)) + "/s";
  }
  return text;
}

Progress::Progress(std::string label, std::size_t total, bool enabled)
    : label_(std::move(label)), total_(total), enabled_(enabled) {}

Progress::Progress(std::string label, std::size_t total)
    : Progress(std::move(label), total, ::isatty(STDERR_FILENO) == 1) {}

void Progress::advance(std::uint64_t bytes) {
  const std::scoped_lock lock(mutex_);
  ++done_;
  bytes_ += bytes;
  if (!enabled_) return;
  const Clock::time_point now = Clock::now();
  if (!shown_ || now - last_draw_ >= std::chrono::milliseconds(100)) {
    last_draw_ = now;
    draw();
  }
}

void Progress::clear() {
  const std::scoped_lock lock(mutex_);
  if (!enabled_ || !shown_) return;
  write_stderr("\r\x1b[K");
  shown_ = false;
}

void Progress::finish() {
  const std::scoped_lock lock(mutex_);
  if (!enabled_ || finished_) return;
  finished_ = true;
  draw();
  write_stderr("\n");
}

void Progress::draw() {
  const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
  write_stderr("\r\x1b[K" + progress_text(label_, done_, total_, bytes_, seconds));
  shown_ = true;
}

}  // namespace quorvale_dat::cli
