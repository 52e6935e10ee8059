#include "bridge/binding.h"

#include <deque>

namespace ombrel::bridge::detail {

const char *keep(std::string text) {
    static std::deque<std::string> kept;
    return kept.emplace_back(std::move(text)).c_str();
}

const char *method_qualname(nb::handle cls, const char *name) {
    nb::str class_name = nb::borrow<nb::str>(cls.attr("__name__"));
    return keep(std::string(class_name.c_str()) + "." + name);
}

Signature::Signature(const char *name, bool method)
    : text_(std::string("def ") + name + "(" + (method ? "self" : "")), first_(!method) {}

void Signature::add(const Param &param) {
    text_ += first_ ? "" : ", ";
    first_ = false;
    text_ += param.name();
    text_ += ": ";
    text_ += param.annotation();
    if (param.default_value().is_valid()) {
        text_ += " = ";
        text_ += nb::repr(param.default_value()).c_str();
    }
}

void Signature::add(KwOnly) {
    text_ += first_ ? "*" : ", *";
    first_ = false;
}

const char *Signature::finish(Returns returns, bool coroutine) {
    text_ += ") -> ";
    if (coroutine)
        text_ += std::string("collections.abc.Coroutine[typing.Any, typing.Any, ") +
                 returns.annotation + "]";
    else
        text_ += returns.annotation;
    return keep(std::move(text_));
}

} // namespace ombrel::bridge::detail
