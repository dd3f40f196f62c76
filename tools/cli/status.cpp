#include "status.hpp"

#include <type_traits>
#include <variant>
#include <vector>

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

std::string one_line(const ParseError& error) { return error.summary(); }

std::string one_line(const DatError& error) {
  return std::visit(
      [&](const auto& c) -> std::string {
        using C = std::decay_t<decltype(c)>;
        if constexpr (std::is_same_v<C, DatError::Io>) {
          return c.error.display();
        } else if constexpr (std::is_same_v<C, DatError::BinRead>) {
          return one_line(c.error);
        } else if constexpr (std::is_same_v<C, DatError::NotFound>) {
          return "not in the archive";
        } else if constexpr (std::is_same_v<C, DatError::Corruption>) {
          return c.text;
        } else if constexpr (std::is_same_v<C, DatError::PathError>) {
          return c.source.display();
        } else {
          return error.display();
        }
      },
      error.value());
}

}  // namespace quorvale_dat::cli
