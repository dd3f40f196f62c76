#include "quorvale_dat/dat_error.hpp"

#include <type_traits>

#include "text.hpp"

namespace quorvale_dat {

std::string DatError::display() const {
  return std::visit(
      [](const auto& c) -> std::string {
        using C = std::decay_t<decltype(c)>;
        using detail::hex8_digits;
        if constexpr (std::is_same_v<C, Io>) {
          return "IO error: " + c.error.display();
        } else if constexpr (std::is_same_v<C, BinRead>) {
          return "Binary read error: " + c.error.display();
        } else if constexpr (std::is_same_v<C, NotFound>) {
          return "File ID " + hex8_digits(c.id) + " not found in provider";
        } else if constexpr (std::is_same_v<C, DuplicateId>) {
          return "Duplicate File ID " + hex8_digits(c.id) + " detected";
        } else if constexpr (std::is_same_v<C, DuplicateNamespacedId>) {
          return "Duplicate namespaced file " + c.namespace_name + ":" + hex8_digits(c.file_id) +
                 " detected";
        } else if constexpr (std::is_same_v<C, InvalidMagic>) {
          return "Invalid magic for format: " + c.text;
        } else if constexpr (std::is_same_v<C, UnsupportedVersion>) {
          return "Unsupported version: " + std::to_string(c.version);
        } else if constexpr (std::is_same_v<C, InvalidNamespace>) {
          return "Invalid namespace: " + c.text;
        } else if constexpr (std::is_same_v<C, Corruption>) {
          return "Corruption detected: " + c.text;
        } else if constexpr (std::is_same_v<C, DecompressionFailed>) {
          return "Failed to recover compressed file " + hex8_digits(c.id);
        } else if constexpr (std::is_same_v<C, PathError>) {
          return "Failed to open file at " + c.path.string() + ": " + c.source.display();
        } else {
          static_assert(std::is_same_v<C, Other>);
          return "Other error: " + c.text;
        }
      },
      value_);
}

namespace {

// The innermost field a parse error names ("While parsing field 'free_head' in DatHeader"), or
// empty.
std::string innermost_field(const ParseError& error) {
  for (const BacktraceFrame& frame : error.frames()) {
    const std::string text = frame.own_message();
    const auto start = text.find("field '");
    if (start == std::string::npos) continue;
    const auto end = text.find('\'', start + 7);
    if (end != std::string::npos) return text.substr(start + 7, end - start - 7);
  }
  return {};
}

const IoError* end_of_data(const DatError::Value& value) {
  const IoError* io = nullptr;
  if (const auto* c = std::get_if<DatError::Io>(&value)) io = &c->error;
  if (const auto* c = std::get_if<DatError::BinRead>(&value)) {
    if (const auto* root = c->error.root().get_if<ParseError::Io>()) io = &root->error;
  }
  return io != nullptr && io->kind() == ErrorKind::UnexpectedEof ? io : nullptr;
}

}  // namespace

std::string DatError::summary() const {
  using detail::hex8;
  if (data_end_ && end_of_data(value_) != nullptr) {
    if (beyond_ && !place_.empty()) {
      return place_ + " lies outside the file, which ends at byte " + std::to_string(*data_end_);
    }
    std::string text = "the file ends at byte " + std::to_string(*data_end_);
    if (!place_.empty()) text += ", inside " + place_;
    if (const auto* bin = get_if<BinRead>()) {
      if (const std::string field = innermost_field(bin->error); !field.empty()) {
        text += " (field '" + field + "')";
      }
    }
    return text;
  }
  std::string text = std::visit(
      [&](const auto& c) -> std::string {
        using C = std::decay_t<decltype(c)>;
        if constexpr (std::is_same_v<C, Io>) {
          return c.error.display();
        } else if constexpr (std::is_same_v<C, BinRead>) {
          return c.error.summary();
        } else if constexpr (std::is_same_v<C, NotFound>) {
          return "record " + hex8(c.id) + " is not in the archive";
        } else if constexpr (std::is_same_v<C, Corruption>) {
          return c.text;
        } else if constexpr (std::is_same_v<C, DecompressionFailed>) {
          return "record " + hex8(c.id) + " does not decompress";
        } else if constexpr (std::is_same_v<C, PathError>) {
          return "cannot open " + c.path.string() + ": " + c.source.display();
        } else {
          return display();
        }
      },
      value_);
  return place_.empty() ? text : place_ + ": " + text;
}

std::string DatError::debug() const {
  return std::visit(
      [](const auto& c) -> std::string {
        using C = std::decay_t<decltype(c)>;
        using detail::quote_debug;
        if constexpr (std::is_same_v<C, Io>) {
          return "Io(" + c.error.debug() + ")";
        } else if constexpr (std::is_same_v<C, BinRead>) {
          return "BinRead(" + c.error.display() + ")";
        } else if constexpr (std::is_same_v<C, NotFound>) {
          return "NotFound(" + std::to_string(c.id) + ")";
        } else if constexpr (std::is_same_v<C, DuplicateId>) {
          return "DuplicateId(" + std::to_string(c.id) + ")";
        } else if constexpr (std::is_same_v<C, DuplicateNamespacedId>) {
          return "DuplicateNamespacedId { namespace: " + quote_debug(c.namespace_name) +
                 ", file_id: " + std::to_string(c.file_id) + " }";
        } else if constexpr (std::is_same_v<C, InvalidMagic>) {
          return "InvalidMagic(" + quote_debug(c.text) + ")";
        } else if constexpr (std::is_same_v<C, UnsupportedVersion>) {
          return "UnsupportedVersion(" + std::to_string(c.version) + ")";
        } else if constexpr (std::is_same_v<C, InvalidNamespace>) {
          return "InvalidNamespace(" + quote_debug(c.text) + ")";
        } else if constexpr (std::is_same_v<C, Corruption>) {
          return "Corruption(" + quote_debug(c.text) + ")";
        } else if constexpr (std::is_same_v<C, DecompressionFailed>) {
          return "DecompressionFailed(" + std::to_string(c.id) + ")";
        } else if constexpr (std::is_same_v<C, PathError>) {
          return "PathError { path: " + quote_debug(c.path.string()) +
                 ", source: " + c.source.debug() + " }";
        } else {
          static_assert(std::is_same_v<C, Other>);
          return "Other(" + quote_debug(c.text) + ")";
        }
      },
      value_);
}

}  // namespace quorvale_dat
