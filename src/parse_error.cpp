#include "quorvale_dat/parse_error.hpp"

#include <type_traits>

#include "text.hpp"

namespace quorvale_dat {
namespace {

constexpr std::string_view kBold = "\x1b[1m";
constexpr std::string_view kNormal = "\x1b[22m";
constexpr std::string_view kHeader =
    "\n \u257A\u2501\u2501\u2501\u2501\u2501\u2501\u2501\u2501\u2501\u2501\u2501\u2501\u2501\u2501"
    "\u2501\u2501\u2501\u2501\u2501\u2501\u2505 Backtrace "
    "\u2505\u2501\u2501\u2501\u2501\u2501\u2501"
    "\u2501\u2501\u2501\u2501\u2501\u2501\u2501\u2501\u2501\u2501\u2501\u2501\u2501\u2501\u2578\n"
    "\n";

std::string footer() {
  std::string out = "\n \u257A";
  for (int i = 0; i < 53; ++i) out += "\u2501";
  out += "\u2578\n\n";
  return out;
}

void append_frame(std::string& out, std::size_t index, std::string_view message,
                  const BacktraceFrame& frame) {
  out += " ";
  out += std::to_string(index);
  out += ": ";
  out += kBold;
  out += message;
  out += kNormal;
  out += "\n";
  if (const auto* full = std::get_if<BacktraceFrame::Full>(&frame.value)) {
    out += "     at ";
    out += full->file;
    out += ":";
    out += std::to_string(full->line);
    out += "\n";
  }
}

std::string render_backtrace(const ParseError::Backtrace& bt) {
  std::string out(kHeader);
  for (std::size_t i = 0; i < bt.frames.size(); ++i) {
    const BacktraceFrame& frame = bt.frames[i];
    if (i == 0) {
      std::string composite;
      composite += kBold;
      composite += "Error: ";
      composite += bt.error->display();
      composite += kNormal;
      composite += "\n           ";
      composite += kBold;
      composite += frame.own_message();
      composite += kNormal;
      append_frame(out, i, composite, frame);
    } else {
      append_frame(out, i, frame.own_message(), frame);
    }
  }
  out += footer();
  return out;
}

}  // namespace

BacktraceFrame BacktraceFrame::full(std::string message, std::string file, std::uint32_t line) {
  return BacktraceFrame{Full{std::move(message), std::move(file), line}};
}

BacktraceFrame BacktraceFrame::note(std::string message) {
  return BacktraceFrame{Message{std::move(message)}};
}

BacktraceFrame BacktraceFrame::custom(ParseError error) {
  return BacktraceFrame{Custom{Box<ParseError>(std::move(error))}};
}

std::string BacktraceFrame::own_message() const {
  return std::visit(
      [](const auto& f) -> std::string {
        using F = std::decay_t<decltype(f)>;
        if constexpr (std::is_same_v<F, Custom>) {
          return f.error->display();
        } else {
          return f.message;
        }
      },
      value);
}

ParseError ParseError::assert_fail(std::uint64_t pos, std::string message) {
  return ParseError(AssertFail{pos, std::move(message)});
}

const ParseError& ParseError::root() const noexcept {
  if (const auto* bt = std::get_if<Backtrace>(&value_)) return *bt->error;
  return *this;
}

std::vector<BacktraceFrame> ParseError::frames() const {
  if (const auto* bt = std::get_if<Backtrace>(&value_)) return bt->frames;
  return {};
}

std::string ParseError::display() const {
  return std::visit(
      [](const auto& v) -> std::string {
        using V = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<V, Io>) {
          return v.error.display();
        } else if constexpr (std::is_same_v<V, AssertFail>) {
          return v.message + " at 0x" + detail::hex_lower(v.pos);
        } else {
          return render_backtrace(v);
        }
      },
      value_);
}

std::string ParseError::summary() const {
  std::string out;
  if (const auto* bt = std::get_if<Backtrace>(&value_)) {
    for (auto it = bt->frames.rbegin(); it != bt->frames.rend(); ++it) {
      out += it->own_message();
      out += ": ";
    }
  }
  const ParseError& bottom = root();
  if (const auto* io = bottom.get_if<Io>()) return out + io->error.display();
  return out + bottom.display();
}

ParseError with_context(ParseError error, BacktraceFrame frame) {
  if (auto* bt = std::get_if<ParseError::Backtrace>(&error.value_)) {
    bt->frames.push_back(std::move(frame));
    return error;
  }
  std::vector<BacktraceFrame> frames;
  frames.push_back(std::move(frame));
  return ParseError(ParseError::Backtrace{Box<ParseError>(std::move(error)), std::move(frames)});
}

ParseError with_rewind_failure(ParseError error, IoError rewind) {
  std::vector<BacktraceFrame> frames;
  frames.push_back(BacktraceFrame::note("rewinding after a failure"));
  if (auto* bt = std::get_if<ParseError::Backtrace>(&error.value_)) {
    frames.push_back(BacktraceFrame::custom(std::move(*bt->error)));
    for (auto& f : bt->frames) frames.push_back(std::move(f));
  } else {
    frames.push_back(BacktraceFrame::custom(std::move(error)));
  }
  return ParseError(
      ParseError::Backtrace{Box<ParseError>(ParseError(std::move(rewind))), std::move(frames)});
}

}  // namespace quorvale_dat
