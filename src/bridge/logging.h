// Logging through the host's standard logging facility.
#pragma once

#include <nanobind/nanobind.h>

#include <utility>

namespace ombrel::bridge {

namespace nb = nanobind;

/// A named logger of the `logging` module. Messages are %-style templates
/// whose arguments are passed to the logger as Python values, so formatting
/// (and skipping disabled levels) happens exactly as in Python code.
class Logger {
public:
    explicit constexpr Logger(const char *name) : name_(name) {}

    /// `logging.getLogger(name)`, looked up at each use.
    nb::object get() const;

    template <typename... Args> void debug(const char *message, Args &&...args) const {
        emit("debug", message, nb::make_tuple(std::forward<Args>(args)...));
    }
    template <typename... Args> void info(const char *message, Args &&...args) const {
        emit("info", message, nb::make_tuple(std::forward<Args>(args)...));
    }
    template <typename... Args> void warning(const char *message, Args &&...args) const {
        emit("warning", message, nb::make_tuple(std::forward<Args>(args)...));
    }
    template <typename... Args> void error(const char *message, Args &&...args) const {
        emit("error", message, nb::make_tuple(std::forward<Args>(args)...));
    }
    /// Error level with the traceback of `exception` (`exc_info=exception`).
    template <typename... Args>
    void exception(const char *message, nb::handle exception, Args &&...args) const {
        emit_exception(message, nb::make_tuple(std::forward<Args>(args)...), exception);
    }

    const char *name() const { return name_; }

private:
    void emit(const char *level, const char *message, nb::tuple args) const;
    void emit_exception(const char *message, nb::tuple args, nb::handle exception) const;
    const char *name_;
};

} // namespace ombrel::bridge
