// ParseError: why a record could not be decoded, with the context it passed through.
//
// A ParseError is an Io error (the source failed or ran out), an AssertFail (a value read from the
// data failed a check), or a Backtrace: a root error plus context frames, innermost first, that
// the decoders added on the way out ("While parsing field 'diffuse' in Surface", with the source
// file and line of the field's read). display() and debug() give the same text; a Backtrace
// renders as a framed block with terminal bold/normal sequences.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "quorvale_dat/box.hpp"
#include "quorvale_dat/io_error.hpp"

namespace quorvale_dat {

class ParseError;

struct BacktraceFrame {
  // A field of a record failed: made by the record decoder.
  struct Full {
    std::string message;
    std::string file;
    std::uint32_t line = 0;
    friend bool operator==(const Full&, const Full&) = default;
  };
  // A note of the reading layer ("rewinding after a failure").
  struct Message {
    std::string message;
    friend bool operator==(const Message&, const Message&) = default;
  };
  // An error that was being reported when something else failed.
  struct Custom {
    Box<ParseError> error;
    friend bool operator==(const Custom&, const Custom&) = default;
  };

  std::variant<Full, Message, Custom> value;

  [[nodiscard]] static BacktraceFrame full(std::string message, std::string file,
                                           std::uint32_t line);
  [[nodiscard]] static BacktraceFrame note(std::string message);
  [[nodiscard]] static BacktraceFrame custom(ParseError error);

  // The frame's own message: the message of Full and Message, the display text of Custom.
  [[nodiscard]] std::string own_message() const;

  friend bool operator==(const BacktraceFrame&, const BacktraceFrame&) = default;
};

class ParseError {
 public:
  struct Io {
    IoError error;
    friend bool operator==(const Io&, const Io&) = default;
  };
  struct AssertFail {
    std::uint64_t pos = 0;
    std::string message;
    friend bool operator==(const AssertFail&, const AssertFail&) = default;
  };
  // Invariant: `error` is never itself a Backtrace and `frames` is never empty.
  struct Backtrace {
    Box<ParseError> error;
    std::vector<BacktraceFrame> frames;
    friend bool operator==(const Backtrace&, const Backtrace&) = default;
  };
  using Value = std::variant<Io, AssertFail, Backtrace>;

  // An IoError converts to kind Io.
  ParseError(IoError error) : value_(Io{std::move(error)}) {}  // NOLINT: implicit by design
  ParseError(AssertFail fail) : value_(std::move(fail)) {}     // NOLINT: implicit by design

  [[nodiscard]] static ParseError assert_fail(std::uint64_t pos, std::string message);

  [[nodiscard]] const Value& value() const noexcept { return value_; }
  template <class Kind>
  [[nodiscard]] const Kind* get_if() const noexcept {
    return std::get_if<Kind>(&value_);
  }
  // The error at the root of a Backtrace, or this error itself.
  [[nodiscard]] const ParseError& root() const noexcept;
  // The context frames, innermost first; empty unless this is a Backtrace.
  [[nodiscard]] std::vector<BacktraceFrame> frames() const;

  [[nodiscard]] std::string display() const;
  [[nodiscard]] std::string debug() const { return display(); }
  // The error on one line, for messages: the context frames' own messages, outermost first,
  // each followed by ": ", then the root's text ("While parsing field 'colors' in Palette: failed
  // to fill whole buffer"; "count -1 out of range of usize at 0x18" without frames).
  [[nodiscard]] std::string summary() const;

  // Adds a context frame: appended to a Backtrace, or a new Backtrace around any other kind.
  friend ParseError with_context(ParseError error, BacktraceFrame frame);
  // The error to report when rewinding after `error` failed with `rewind`: the rewind failure
  // becomes the root, followed by a note and the error that was being reported.
  friend ParseError with_rewind_failure(ParseError error, IoError rewind);

  friend bool operator==(const ParseError&, const ParseError&) = default;

 private:
  explicit ParseError(Backtrace backtrace) : value_(std::move(backtrace)) {}

  Value value_;
};

[[nodiscard]] ParseError with_context(ParseError error, BacktraceFrame frame);
[[nodiscard]] ParseError with_rewind_failure(ParseError error, IoError rewind);

}  // namespace quorvale_dat
