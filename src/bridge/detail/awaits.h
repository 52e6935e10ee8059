// The descriptions of an await that the bridge's `co_await` forms build
// before the frame suspends: an awaitable already turned into its iterator,
// with the way its end is taken.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <type_traits>
#include <utility>

namespace ombrel::bridge {

namespace nb = nanobind;

// Documented in bridge/coroutine.h.
nb::object awaitable_iterator(nb::handle awaitable);
nb::object awaitable_iterator(nb::object &&awaitable);

} // namespace ombrel::bridge

namespace ombrel::bridge::detail {

/// What the awaiting code gets when an await ends.
enum class AwaitMode : std::uint8_t {
    throwing,     ///< the value, or the error thrown at the `co_await`
    outcome,      ///< an `Outcome`
    propagating,  ///< the value; an error ends the coroutine
};

/// An awaitable already turned into its iterator, with the way its end is
/// taken and the C++ type of its value.
template <AwaitMode Mode, typename T = nb::object> class Await {
public:
    explicit Await(nb::object iterator) : iterator_(std::move(iterator)) {}
    nb::object take_iterator() { return std::move(iterator_); }

private:
    nb::object iterator_;
};

/// The error a coroutine ends with through `co_await raise(error)`.
class Raise {
public:
    explicit Raise(nb::python_error error) : error_(std::move(error)) {}
    nb::python_error take() { return std::move(error_); }

private:
    nb::python_error error_;
};

/// An await whose first step someone else took: its iterator and what that
/// step yielded.
class TakenOver {
public:
    TakenOver(nb::object iterator, nb::object yielded)
        : iterator_(std::move(iterator)), yielded_(std::move(yielded)) {}
    nb::object take_iterator() { return std::move(iterator_); }
    nb::object take_yielded() { return std::move(yielded_); }

private:
    nb::object iterator_;
    nb::object yielded_;
};

/// An owned Python object passed as a temporary, which may be handed on.
template <typename O>
concept OwnedObject = std::is_base_of_v<nb::object, std::remove_cvref_t<O>> &&
                      !std::is_lvalue_reference_v<O>;

/// The iterator of what an `outcome`/`propagating` await takes.
inline nb::object iterator_of(nb::handle awaitable) { return awaitable_iterator(awaitable); }
template <OwnedObject O> nb::object iterator_of(O &&awaitable) {
    return awaitable_iterator(nb::object(std::move(awaitable)));
}

} // namespace ombrel::bridge::detail
