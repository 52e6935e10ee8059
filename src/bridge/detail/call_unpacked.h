// Calling a plain C++ function with the Python arguments of a call, each
// cast to its parameter's type (what `run_in_executor` runs on the worker).
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <type_traits>
#include <utility>

namespace ombrel::bridge::detail {

namespace nb = nanobind;

template <typename R, typename... Params, std::size_t... I>
nb::object call_unpacked(R (*fn)(Params...), nb::args args, std::index_sequence<I...>) {
    if constexpr (std::is_void_v<R>) {
        fn(nb::cast<Params>(args[I])...);
        return nb::none();
    } else {
        return nb::cast(fn(nb::cast<Params>(args[I])...));
    }
}
template <typename R, typename... Params> constexpr std::size_t arity(R (*)(Params...)) {
    return sizeof...(Params);
}

} // namespace ombrel::bridge::detail
