#include "quorvale_dat/reader.hpp"

#include <algorithm>
#include <cstring>

namespace quorvale_dat {

Expected<void, IoError> SpanCursor::read_exact(std::span<std::uint8_t> out) noexcept {
  if (remaining() < out.size()) {
    pos_ = std::max<std::uint64_t>(pos_, data_.size());
    return Unexpected(IoError::short_read());
  }
  if (!out.empty()) std::memcpy(out.data(), data_.data() + pos_, out.size());
  pos_ += out.size();
  return {};
}

Expected<std::vector<std::uint8_t>, IoError> SpanCursor::read_counted(std::size_t count) {
  if (remaining() < count) {
    pos_ = std::max<std::uint64_t>(pos_, data_.size());
    return Unexpected(IoError::end_of_data());
  }
  const auto first = data_.begin() + static_cast<std::ptrdiff_t>(pos_);
  std::vector<std::uint8_t> out(first, first + static_cast<std::ptrdiff_t>(count));
  pos_ += count;
  return out;
}

std::string field_message(std::string_view record, std::string_view field) {
  std::string out = "While parsing field '";
  out += field;
  out += "' in ";
  out += record;
  return out;
}

ParseError count_out_of_range(std::int32_t count, std::uint64_t pos) {
  return ParseError::assert_fail(pos, "count " + std::to_string(count) + " out of range of usize");
}

ParseResult<std::vector<std::uint32_t>> read_u32_list(SpanCursor& cursor) {
  auto count = read_le<std::int32_t>(cursor);
  if (!count) return Unexpected(std::move(count.error()));
  if (*count < 0) return Unexpected(count_out_of_range(*count, cursor.position()));
  const auto wanted = static_cast<std::uint64_t>(*count);
  std::vector<std::uint32_t> values;
  values.reserve(static_cast<std::size_t>(std::min(wanted, cursor.remaining() / 4)));
  for (std::uint64_t i = 0; i < wanted; ++i) {
    auto value = read_le<std::uint32_t>(cursor);
    if (!value) return Unexpected(std::move(value.error()));
    values.push_back(*value);
  }
  return values;
}

}  // namespace quorvale_dat
