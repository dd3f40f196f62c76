// DatError: the error value of the archive reader and of Texture::unpack.
//
// Twelve cases in a fixed order; the reader itself produces Io, BinRead, NotFound, PathError and
// Corruption. display() is the fixed text of the case ("File ID 080003E4 not found in
// provider"); debug() the structural text (NotFound(134218724)). summary() is a short message in
// plain words, on one line and without terminal escapes, that also says where the error was met
// when the reader knows it: "the file ends at byte 400, inside directory node 0x00039990".
//
// Where the error was met (place() and data_end()) is context beside the case: display(),
// debug() and == leave it out, so an error compares equal to the same case met elsewhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <variant>

#include "quorvale_dat/io_error.hpp"
#include "quorvale_dat/parse_error.hpp"

namespace quorvale_dat {

class DatError {
 public:
  struct Io {
    IoError error;
    friend bool operator==(const Io&, const Io&) = default;
  };
  struct BinRead {
    ParseError error;
    friend bool operator==(const BinRead&, const BinRead&) = default;
  };
  struct NotFound {
    std::uint32_t id = 0;
    friend bool operator==(const NotFound&, const NotFound&) = default;
  };
  struct DuplicateId {
    std::uint32_t id = 0;
    friend bool operator==(const DuplicateId&, const DuplicateId&) = default;
  };
  struct DuplicateNamespacedId {
    std::string namespace_name;  // "namespace" in texts; the word is reserved in C++
    std::uint32_t file_id = 0;
    friend bool operator==(const DuplicateNamespacedId&, const DuplicateNamespacedId&) = default;
  };
  struct InvalidMagic {
    std::string text;
    friend bool operator==(const InvalidMagic&, const InvalidMagic&) = default;
  };
  struct UnsupportedVersion {
    std::uint32_t version = 0;
    friend bool operator==(const UnsupportedVersion&, const UnsupportedVersion&) = default;
  };
  struct InvalidNamespace {
    std::string text;
    friend bool operator==(const InvalidNamespace&, const InvalidNamespace&) = default;
  };
  struct Corruption {
    std::string text;
    friend bool operator==(const Corruption&, const Corruption&) = default;
  };
  struct DecompressionFailed {
    std::uint32_t id = 0;
    friend bool operator==(const DecompressionFailed&, const DecompressionFailed&) = default;
  };
  struct PathError {
    std::filesystem::path path;
    IoError source;
    friend bool operator==(const PathError&, const PathError&) = default;
  };
  struct Other {
    std::string text;
    friend bool operator==(const Other&, const Other&) = default;
  };

  // Cases in declared order; index() is the case number.
  using Value = std::variant<Io, BinRead, NotFound, DuplicateId, DuplicateNamespacedId,
                             InvalidMagic, UnsupportedVersion, InvalidNamespace, Corruption,
                             DecompressionFailed, PathError, Other>;

  // Any case converts, and so do the lower errors: IoError to Io, ParseError to BinRead.
  template <class Case>
  requires std::is_constructible_v<Value, Case&&> DatError(Case&& c)
      : value_(std::forward<Case>(c)) {}                             // NOLINT: implicit by design
  DatError(IoError error) : value_(Io{std::move(error)}) {}          // NOLINT
  DatError(ParseError error) : value_(BinRead{std::move(error)}) {}  // NOLINT

  [[nodiscard]] const Value& value() const noexcept { return value_; }
  [[nodiscard]] std::size_t index() const noexcept { return value_.index(); }
  template <class Case>
  [[nodiscard]] const Case* get_if() const noexcept {
    return std::get_if<Case>(&value_);
  }
  template <class Case>
  [[nodiscard]] bool holds() const noexcept {
    return std::holds_alternative<Case>(value_);
  }

  [[nodiscard]] std::string display() const;
  [[nodiscard]] std::string debug() const;
  // One line for users: the case in plain words, with the place where it was met.
  [[nodiscard]] std::string summary() const;

  // What was being read when the error was met, in words ("directory node 0x00039990", "the
  // header", "block 0x00000380 of the chain at 0x00000300"); empty when not known.
  [[nodiscard]] const std::string& place() const noexcept { return place_; }
  // The size of the data being read (the file's), when the reader knows it; summary() uses it for
  // a read that ran past the end.
  [[nodiscard]] const std::optional<std::uint64_t>& data_end() const noexcept { return data_end_; }
  DatError& set_place(std::string place) {
    place_ = std::move(place);
    return *this;
  }
  // `beyond`: the place lies wholly past the end (a block the chain points to outside the file).
  DatError& set_data_end(std::uint64_t size, bool beyond = false) noexcept {
    data_end_ = size;
    beyond_ = beyond;
    return *this;
  }

  friend bool operator==(const DatError& a, const DatError& b) { return a.value_ == b.value_; }

 private:
  Value value_;
  std::string place_;
  std::optional<std::uint64_t> data_end_;
  bool beyond_ = false;
};

}  // namespace quorvale_dat
