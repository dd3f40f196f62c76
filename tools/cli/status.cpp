#include "status.hpp"

namespace quorvale_dat::cli {

const IoError* io_root(const DatError& error) noexcept {
  if (const auto* io = error.get_if<DatError::Io>()) return &io->error;
  if (const auto* bin = error.get_if<DatError::BinRead>()) {
    if (const auto* io = bin->error.root().get_if<ParseError::Io>()) return &io->error;
  }
  return nullptr;
}

int status_of(const DatError& error) noexcept {
  if (error.holds<DatError::PathError>()) return kExitNoInput;
  if (const IoError* io = io_root(error)) {
    return io->kind() == ErrorKind::UnexpectedEof ? kExitData : kExitIo;
  }
  return kExitData;
}

std::string message_for(const Failure& failure, const std::string& archive) {
  if (failure.names_subject || failure.status == kExitUsage) return failure.message;
  return archive + ": " + failure.message;
}

std::string one_line(const ParseError& error) { return error.summary(); }

std::string one_line(const DatError& error) {
  // The callers name the record or the path before the message.
  if (error.holds<DatError::NotFound>() && error.place().empty()) return "not in the archive";
  if (const auto* path = error.get_if<DatError::PathError>()) return path->source.display();
  return error.summary();
}

}  // namespace quorvale_dat::cli
