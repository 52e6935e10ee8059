// Logging through the host's standard logging facility.
#pragma once

#include "bridge/detail/state.h"

#include "common/interned.h"

#include <nanobind/nanobind.h>

#include <utility>

namespace ombrel::bridge {

namespace nb = nanobind;

/// A named logger of the `logging` module. Messages are %-style templates
/// whose arguments are passed to the logger as Python values, so formatting
/// happens exactly as in Python code. A level the logger does not handle
/// (`isEnabledFor`) costs one call: the arguments are not even converted.
class Logger {
public:
    explicit constexpr Logger(const char *name) : name_(name) {}

    /// `logging.getLogger(name)`, looked up once (the logging module keeps
    /// one logger per name for the life of the process).
    nb::object get() const;

    template <typename... Args> void debug(const char *message, Args &&...args) const {
        log(debug_level, detail::state().names.debug, message, std::forward<Args>(args)...);
    }
    template <typename... Args> void info(const char *message, Args &&...args) const {
        log(info_level, detail::state().names.info, message, std::forward<Args>(args)...);
    }
    template <typename... Args> void warning(const char *message, Args &&...args) const {
        log(warning_level, detail::state().names.warning, message, std::forward<Args>(args)...);
    }
    template <typename... Args> void error(const char *message, Args &&...args) const {
        log(error_level, detail::state().names.error, message, std::forward<Args>(args)...);
    }
    /// Error level with the traceback of `exception` (`exc_info=exception`).
    template <typename... Args>
    void exception(const char *message, nb::handle exception, Args &&...args) const {
        nb::object logger = get();
        if (enabled(logger, error_level))
            emit_exception(logger, message, nb::make_tuple(std::forward<Args>(args)...), exception);
    }

    const char *name() const { return name_; }

private:
    static constexpr int debug_level = 10, info_level = 20, warning_level = 30,
                         error_level = 40;

    template <typename... Args>
    void log(int level, const common::Interned &method, const char *message,
             Args &&...args) const {
        nb::object logger = get();
        if (enabled(logger, level))
            emit(logger, method, message, nb::make_tuple(std::forward<Args>(args)...));
    }
    /// `logger.isEnabledFor(level)`
    static bool enabled(nb::handle logger, int level);
    static void emit(nb::handle logger, const common::Interned &method, const char *message,
                     nb::tuple args);
    static void emit_exception(nb::handle logger, const char *message, nb::tuple args,
                               nb::handle exception);

    const char *name_;
    mutable PyObject *logger_ = nullptr;
};

} // namespace ombrel::bridge
