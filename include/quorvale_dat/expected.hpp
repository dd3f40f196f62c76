// The one place that names the result type of the library. Every fallible operation returns
// Expected<T, E>: a value, or an error value that owns its texts. Nothing is thrown across the API.
#pragma once

#include <expected>

namespace quorvale_dat {

template <class T, class E>
using Expected = std::expected<T, E>;

template <class E>
using Unexpected = std::unexpected<E>;

}  // namespace quorvale_dat
