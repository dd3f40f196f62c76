// The reading layer shared by every decoder: cursors over bytes, little-endian primitive reads,
// counted byte sequences, and RecordReader, which reads one record field by field, adds the
// failing field's context frame and rewinds the cursor to the record's start on failure.
//
//   SpanCursor cursor(bytes);
//   RecordReader r(cursor, "Palette");
//   Palette p;
//   p.id = r.read<std::uint32_t>("id");
//   p.colors = r.field("colors", [&] { return read_u32_list(cursor); });
//   return r.finish(std::move(p));
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <source_location>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "quorvale_dat/expected.hpp"
#include "quorvale_dat/io_error.hpp"
#include "quorvale_dat/parse_error.hpp"

namespace quorvale_dat {

template <class T>
using ParseResult = Expected<T, ParseError>;

// A cursor over an in-memory byte span. The span must outlive the cursor. Seeking never fails;
// a position past the end simply has nothing left to read.
class SpanCursor {
 public:
  explicit SpanCursor(std::span<const std::uint8_t> data) noexcept : data_(data) {}

  [[nodiscard]] std::uint64_t position() const noexcept { return pos_; }
  [[nodiscard]] Expected<void, IoError> seek(std::uint64_t position) noexcept {
    pos_ = position;
    return {};
  }
  [[nodiscard]] std::uint64_t remaining() const noexcept {
    return pos_ >= data_.size() ? 0 : data_.size() - pos_;
  }

  // Reads exactly out.size() bytes, or fails with the short-read error and leaves the position
  // at the end of the data.
  [[nodiscard]] Expected<void, IoError> read_exact(std::span<std::uint8_t> out) noexcept;
  // Reads `count` bytes, or fails with the end-of-data error (position at the end of the data).
  // Nothing is allocated unless the bytes are there.
  [[nodiscard]] Expected<std::vector<std::uint8_t>, IoError> read_counted(std::size_t count);

 private:
  std::span<const std::uint8_t> data_;
  std::uint64_t pos_ = 0;
};

// Reads one little-endian primitive (u8, u32, i32, f32). On failure the cursor is put back where
// it was and the read's error is returned as kind Io.
// The value is assembled byte by byte, first byte least significant.
template <class T, class Cursor>
requires(std::is_same_v<T, std::uint8_t> || std::is_same_v<T, std::uint32_t> ||
         std::is_same_v<T, std::int32_t> || std::is_same_v<T, float>)
    [[nodiscard]] ParseResult<T> read_le(Cursor& cursor) {
  const std::uint64_t start = cursor.position();
  std::uint8_t bytes[sizeof(T)];
  if (auto r = cursor.read_exact(bytes); !r) {
    ParseError error(std::move(r.error()));
    if (auto s = cursor.seek(start); !s) {
      return Unexpected(with_rewind_failure(std::move(error), std::move(s.error())));
    }
    return Unexpected(std::move(error));
  }
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) value |= std::uint32_t{bytes[i]} << (8 * i);
  if constexpr (sizeof(T) == 1) {
    return static_cast<T>(value);
  } else {
    return std::bit_cast<T>(value);
  }
}

// Reads a counted byte sequence: exactly `count` bytes, or the end-of-data error.
template <class Cursor>
[[nodiscard]] ParseResult<std::vector<std::uint8_t>> read_bytes(Cursor& cursor, std::size_t count) {
  auto bytes = cursor.read_counted(count);
  if (!bytes) return Unexpected(ParseError(std::move(bytes.error())));
  return std::move(*bytes);
}

// The message of a field's context frame: "While parsing field 'diffuse' in Surface".
[[nodiscard]] std::string field_message(std::string_view record, std::string_view field);

// Reads one record field by field. The first failure is kept, every later read is skipped and
// returns a default value, and finish() rewinds the cursor to the record's start and returns the
// error. A failing field's error gets the frame "While parsing field '<field>' in <record>" with
// the source file and line of the call that reads it.
template <class Cursor>
class RecordReader {
 public:
  RecordReader(Cursor& cursor, std::string_view record) noexcept
      : cursor_(&cursor), record_(record), start_(cursor.position()) {}

  [[nodiscard]] bool ok() const noexcept { return !error_.has_value(); }
  [[nodiscard]] Cursor& cursor() noexcept { return *cursor_; }

  // Reads a little-endian primitive field.
  template <class T>
  [[nodiscard]] T read(std::string_view field,
                       std::source_location where = std::source_location::current()) {
    return this->field(
        field, [this] { return read_le<T>(*cursor_); }, where);
  }

  // Reads a counted byte sequence field.
  [[nodiscard]] std::vector<std::uint8_t> bytes(
      std::string_view field, std::size_t count,
      std::source_location where = std::source_location::current()) {
    return this->field(
        field, [this, count] { return read_bytes(*cursor_, count); }, where);
  }

  // Reads a field with `read_fn`, which returns a ParseResult (a nested record or a list).
  template <class F>
  [[nodiscard]] auto field(std::string_view field, F&& read_fn,
                           std::source_location where = std::source_location::current()) ->
      typename std::invoke_result_t<F>::value_type {
    using T = typename std::invoke_result_t<F>::value_type;
    if (error_) return T{};
    auto result = std::forward<F>(read_fn)();
    if (!result) {
      error_.emplace(with_context(
          std::move(result.error()),
          BacktraceFrame::full(field_message(record_, field), where.file_name(), where.line())));
      return T{};
    }
    return std::move(*result);
  }

  // Fails the record with `error` as it is, without a field frame (a check on a value read).
  void fail(ParseError error) {
    if (!error_) error_.emplace(std::move(error));
  }

  // The record, or the first error after rewinding the cursor to the record's start.
  template <class T>
  [[nodiscard]] ParseResult<T> finish(T value) {
    if (!error_) return value;
    if (auto s = cursor_->seek(start_); !s) {
      return Unexpected(with_rewind_failure(std::move(*error_), std::move(s.error())));
    }
    return Unexpected(std::move(*error_));
  }

 private:
  Cursor* cursor_;
  std::string_view record_;
  std::uint64_t start_;
  std::optional<ParseError> error_;
};

// Reads a list: a little-endian signed 32-bit count, then that many little-endian u32 values.
// A negative count fails with "count <n> out of range of usize" at the position after the
// count; a count larger than the input can hold fails with the short-read error once the input
// runs out, having reserved no more than the input could supply.
[[nodiscard]] ParseResult<std::vector<std::uint32_t>> read_u32_list(SpanCursor& cursor);

// The check of a signed count: "count -1 out of range of usize" at `pos`.
[[nodiscard]] ParseError count_out_of_range(std::int32_t count, std::uint64_t pos);

}  // namespace quorvale_dat
