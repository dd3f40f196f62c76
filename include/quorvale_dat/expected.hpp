// The one place that names the result type of the library. Every fallible operation returns
// Expected<T, E>: a value, or an error value that owns its texts. Nothing is thrown across the API.
#pragma once

#include <expected>
#include <type_traits>
#include <utility>

namespace quorvale_dat {

template <class T, class E>
using Expected = std::expected<T, E>;

// Wraps an error for returning through an Expected: `return Unexpected(IoError::short_read());`.
// A function rather than an alias, so that it deduces its type on every supported compiler.
template <class E>
[[nodiscard]] constexpr std::unexpected<std::decay_t<E>> Unexpected(E&& error) {
  return std::unexpected<std::decay_t<E>>(std::forward<E>(error));
}

}  // namespace quorvale_dat
