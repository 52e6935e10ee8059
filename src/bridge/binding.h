// Binding a module's functions for Python: one way for coroutines and plain
// functions alike.
//
//     bridge::def_coroutine<&broadcast>(manager_class, "broadcast", returns("None"),
//                                       param("message", "dict[str, typing.Any]"),
//                                       R"(Send a message to every client. ...)");
//
// binds `Coro<void> broadcast(nb::object self, nb::object message)` as the
// method `ConnectionManager.broadcast`: its coroutine objects are named
// "ConnectionManager.broadcast", and the stub shows
// `def broadcast(self, message: dict[str, typing.Any]) ->
// collections.abc.Coroutine[typing.Any, typing.Any, None]`. On a module, the
// same binds a function. `def_function` binds a function that returns a
// value at once.
//
// The function takes its Python-visible `self` (on a class) and then one
// Python object (`nb::object`, `nb::handle`, ...) per parameter, in the order of the
// `param`s; every parameter accepts None, since the function checks its
// arguments itself. `param(...) = value` gives a default, `kw_only` makes
// the parameters after it keyword-only, and the docstring (raw string, with
// Args and Returns) comes last.
#pragma once

#include "bridge/coroutine.h"
#include "bridge/slot_method.h"

#include <nanobind/nanobind.h>

#include <cstddef>
#include <string>
#include <type_traits>
#include <utility>

namespace ombrel::bridge {

namespace nb = nanobind;

/// A parameter as Python shows it: its name, its annotation in the stub and,
/// after `= value`, its default.
class Param {
public:
    constexpr Param(const char *name, const char *annotation)
        : name_(name), annotation_(annotation) {}
    template <typename T> Param operator=(T &&value) const {
        Param given(name_, annotation_);
        given.default_ = nb::cast(std::forward<T>(value));
        return given;
    }
    const char *name() const { return name_; }
    const char *annotation() const { return annotation_; }
    /// The default; empty when the parameter must be given.
    const nb::object &default_value() const { return default_; }

private:
    const char *name_;
    const char *annotation_;
    nb::object default_;
};

inline Param param(const char *name, const char *annotation) { return {name, annotation}; }

/// The parameters after it are keyword-only (`*` in a Python signature).
struct KwOnly {};
inline constexpr KwOnly kw_only{};

/// The Python name of a bound function; its coroutine objects' qualified
/// name is "<class>.<name>" (or "<name>") unless another is given.
struct Name {
    Name(const char *name) : name(name) {}
    Name(const char *name, const char *qualname) : name(name), qualname(qualname) {}
    const char *name;
    const char *qualname = nullptr;
};

/// The annotation of the result: of the coroutine's result for a coroutine.
struct Returns {
    const char *annotation;
};
inline constexpr Returns returns(const char *annotation) { return {annotation}; }

namespace detail {

/// A text kept for the life of the module: nanobind and the coroutine
/// objects refer to signatures and qualified names without copying them.
const char *keep(std::string text);
/// "<the class's name>.<name>", kept.
const char *method_qualname(nb::handle cls, const char *name);

/// The stub's signature line: "def name(self, a: T = <repr>, *, b: U) -> R",
/// R wrapped as a coroutine's result when `coroutine`.
class Signature {
public:
    Signature(const char *name, bool method);
    void add(const Param &param);
    void add(KwOnly);
    void add(const char *) {}  // the docstring
    const char *finish(Returns returns, bool coroutine);

private:
    std::string text_;
    bool first_;
};

template <typename T> struct is_coro : std::false_type {};
template <typename T> struct is_coro<Coro<T>> : std::true_type {};

/// Parameters are Python objects as nanobind hands them (`nb::object`,
/// `nb::handle`, or a typed one such as `nb::list`, which nanobind checks).
template <typename T> inline constexpr bool is_python_parameter = std::is_base_of_v<nb::handle, T>;

template <typename... Extra> constexpr std::size_t count_params() {
    return (std::size_t{0} + ... + (std::is_same_v<std::remove_cvref_t<Extra>, Param> ? 1 : 0));
}

template <uint32_t Flags, bool Locked>
nb::arg_v_t<Flags, Locked> with_default(const nb::arg_t<Flags, Locked> &base, nb::object value) {
    return {base, std::move(value)};  // an empty value: no default
}

/// What nanobind takes for each extra.
inline auto nanobind_extra(const Param &param) {
    return with_default(nb::arg(param.name()).none(), param.default_value());
}
inline nb::kw_only nanobind_extra(KwOnly) { return {}; }
inline const char *nanobind_extra(const char *doc) { return doc; }

template <typename F> struct returns_coro;
template <typename R, typename... P> struct returns_coro<R (*)(P...)> : is_coro<R> {};

template <auto Fn, typename = decltype(Fn)> struct Method;
template <auto Fn, typename = decltype(Fn)> struct Function;

/// `Fn(self, args...)` as a method of a class.
template <auto Fn, typename R, typename S, typename... P> struct Method<Fn, R (*)(S, P...)> {
    static_assert(is_python_parameter<S> && (is_python_parameter<P> && ...),
                  "bound functions take Python objects (nb::object, nb::handle, ...)");

    /// `BesideSlot`: the method of a slot the class was created with
    /// (`def_beside_slot`), which `.def` would reset.
    template <bool BesideSlot = false, typename C, typename... Extra>
    static void def(nb::class_<C> &cls, Name name, Returns result, const Extra &...extra) {
        static_assert(count_params<Extra...>() == sizeof...(P),
                      "one param(...) for each parameter after self");
        const char *qualname =
            name.qualname ? name.qualname : method_qualname(cls, name.name);
        Signature sig(name.name, true);
        (sig.add(extra), ...);
        auto method = [qualname](nb::pointer_and_handle<C> self, P... passed) {
            if constexpr (is_coro<R>::value)
                return Fn(nb::borrow(self.h), std::move(passed)...).named(qualname);
            else
                return Fn(nb::borrow(self.h), std::move(passed)...);
        };
        const char *signature = sig.finish(result, is_coro<R>::value);
        if constexpr (BesideSlot)
            def_beside_slot(cls, name.name, method, nanobind_extra(extra)..., nb::sig(signature));
        else
            cls.def(name.name, method, nanobind_extra(extra)..., nb::sig(signature));
    }
};

/// `Fn(args...)` as a function of a module.
template <auto Fn, typename R, typename... P> struct Function<Fn, R (*)(P...)> {
    static_assert((is_python_parameter<P> && ...),
                  "bound functions take Python objects (nb::object, nb::handle, ...)");

    template <typename... Extra>
    static void def(nb::module_ &m, Name name, Returns result, const Extra &...extra) {
        static_assert(count_params<Extra...>() == sizeof...(P),
                      "one param(...) for each parameter");
        const char *qualname = name.qualname ? name.qualname : name.name;
        Signature sig(name.name, false);
        (sig.add(extra), ...);
        m.def(
            name.name,
            [qualname](P... passed) {
                if constexpr (is_coro<R>::value)
                    return Fn(std::move(passed)...).named(qualname);
                else
                    return Fn(std::move(passed)...);
            },
            nanobind_extra(extra)..., nb::sig(sig.finish(result, is_coro<R>::value)));
    }
};

} // namespace detail

/// Binds the coroutine function `Fn` as a method of `cls` (its first
/// parameter is `self`) or as a function of the module `m`.
template <auto Fn, typename C, typename... Extra>
void def_coroutine(nb::class_<C> &cls, Name name, Returns result, const Extra &...extra) {
    static_assert(detail::returns_coro<decltype(Fn)>::value, "def_function binds plain functions");
    detail::Method<Fn>::def(cls, name, result, extra...);
}
template <auto Fn, typename... Extra>
void def_coroutine(nb::module_ &m, Name name, Returns result, const Extra &...extra) {
    static_assert(detail::returns_coro<decltype(Fn)>::value, "def_function binds plain functions");
    detail::Function<Fn>::def(m, name, result, extra...);
}

/// The same for the special method (`__call__`, `__await__`) of a slot the
/// class was created with (`nb::type_slots`): defined beside the slot,
/// which `.def` would reset (see slot_method.h).
template <auto Fn, typename C, typename... Extra>
void def_coroutine_beside_slot(nb::class_<C> &cls, Name name, Returns result,
                               const Extra &...extra) {
    static_assert(detail::returns_coro<decltype(Fn)>::value, "def_function binds plain functions");
    detail::Method<Fn>::template def<true>(cls, name, result, extra...);
}

/// The same for a plain function, whose result is returned at once.
template <auto Fn, typename C, typename... Extra>
void def_function(nb::class_<C> &cls, Name name, Returns result, const Extra &...extra) {
    static_assert(!detail::returns_coro<decltype(Fn)>::value, "def_coroutine binds coroutines");
    detail::Method<Fn>::def(cls, name, result, extra...);
}
template <auto Fn, typename... Extra>
void def_function(nb::module_ &m, Name name, Returns result, const Extra &...extra) {
    static_assert(!detail::returns_coro<decltype(Fn)>::value, "def_coroutine binds coroutines");
    detail::Function<Fn>::def(m, name, result, extra...);
}

} // namespace ombrel::bridge
