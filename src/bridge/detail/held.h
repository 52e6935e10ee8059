// What a coroutine frame shows the garbage collector: its Python-object
// parameters and the objects it holds in `Local` variables and awaiters.
#pragma once

#include <nanobind/nanobind.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace ombrel::bridge::detail {

namespace nb = nanobind;

/// The Python objects among the parameters of a coroutine function, so that
/// the garbage collector sees what the frame keeps alive.
class HeldParameters {
public:
    static constexpr std::size_t capacity = 8;

    template <typename... Args> void remember(Args &...args) {
        static_assert((0 + ... + (is_owning<Args>() ? 1 : 0)) <= capacity,
                      "too many Python-object parameters for one coroutine");
        (remember_one(args), ...);
    }
    int traverse(visitproc visit, void *arg) const {
        for (std::size_t i = 0; i < count_; ++i)
            Py_VISIT(held_[i]->ptr());
        return 0;
    }

private:
    // Only owning references: reporting a borrowed `nb::handle` to the
    // collector would let it free an object that is still in use.
    template <typename A> static constexpr bool is_owning() {
        return std::is_base_of_v<nb::object, std::remove_cvref_t<A>>;
    }
    template <typename A> void remember_one(A &arg) {
        if constexpr (is_owning<A>())
            held_[count_++] = &arg;
    }

    std::array<const nb::handle *, capacity> held_{};
    std::uint8_t count_ = 0;
};

/// An entry of a frame's list of held objects (see `Promise::hold`).
struct HeldLink {
    const nb::handle *object = nullptr;
    HeldLink *prev = nullptr;
    HeldLink *next = nullptr;
};

/// Whether `U` is one of nanobind's attribute or item accessors, which a
/// `Local` converts through their own operator instead of constructing from.
template <typename U> struct is_accessor : std::false_type {};
template <typename I> struct is_accessor<nb::detail::accessor<I>> : std::true_type {};

} // namespace ombrel::bridge::detail
