// OmbrelContext: questions to a chat-completion model, answered as text or
// as JSON. The client comes from the OpenAI client library on first use
// unless the context was given one.
#include "skills/corvex/corvex.h"

#include <optional>

namespace ombrel::corvex {

/// The only parameter sent besides the model and the messages.
static constexpr int max_tokens = 4096;
/// How much of an unparsable reply the log shows.
static constexpr Py_ssize_t logged_reply_chars = 200;

nb::object create_llm_client(nb::handle) {
    // Imported here: a skill that never asks the model does not need the
    // library. The client reads its key and endpoint from its own settings.
    return import_from("openai", "AsyncOpenAI")();
}

static nb::dict chat_message(const char *role, nb::handle content) {
    nb::dict message;
    message["role"] = role;
    message["content"] = content;
    return message;
}

/// The content of the reply's first choice: its text, or "" for none.
static nb::str reply_text(nb::handle response) {
    nb::object choices = response.attr("choices");
    nb::object first = nb::steal(PyObject_GetItem(choices.ptr(), nb::int_(0).ptr()));
    if (!first.is_valid())
        throw nb::python_error();
    nb::object content = first.attr("message").attr("content");
    if (content.is_none())
        return nb::str("");
    if (!PyUnicode_Check(content.ptr()))
        nb::raise_type_error("the reply's content must be str or None, not %s",
                             common::python_type_name(content).c_str());
    return nb::borrow<nb::str>(content);
}

Coro<> llm_ask(nb::object self, nb::object prompt, nb::object system) {
    nb::str question = common::expect_str(prompt, "prompt");
    nb::str instructions = common::expect_str(system, "system");
    // Created once and kept for the context's life; a failure to create it
    // (the library missing, say) is the caller's as it stands.
    if (nb::object(self.attr("_llm")).is_none())
        self.attr("_llm") = self.attr("_create_llm_client")();

    bridge::Local<nb::list> messages;
    if (nb::len(instructions) > 0)
        messages.append(chat_message("system", instructions));
    messages.append(chat_message("user", question));

    std::optional<nb::python_error> failure;
    try {
        bridge::Local<> create = self.attr("_llm").attr("chat").attr("completions").attr("create");
        bridge::Local<> asking = create("model"_a = self.attr("_llm_model"), "messages"_a = messages,
                                        "max_tokens"_a = max_tokens);
        bridge::Local<> response = co_await asking;
        nb::str text = reply_text(response);
        // Only the length: the reply may hold anything.
        self.attr("log")(nb::str("LLM response: {} chars").format(nb::len(text)));
        co_return text;
    } catch (...) {
        nb::python_error error = bridge::as_python_error(std::current_exception());
        if (!common::is_exception(error))
            throw std::move(error);
        failure.emplace(std::move(error));
    }
    self.attr("log")(
        nb::str("LLM call failed: {}").format(common::exception_message(failure->value())));
    throw std::move(*failure);
}

/// `text.strip()`: a str, or an empty object when the reply's own `strip`
/// gave something else (a str subclass may answer anything).
static nb::object stripped(nb::handle text) {
    static const common::Interned strip("strip");
    nb::object result = common::call_method(text, strip);
    if (!PyUnicode_Check(result.ptr()))
        return nb::object();
    return result;
}

/// Position of `needle` in `text` from `start` on, -1 when absent.
static Py_ssize_t find(nb::handle text, nb::handle needle, Py_ssize_t start) {
    Py_ssize_t at = PyUnicode_Find(text.ptr(), needle.ptr(), start,
                                   common::str_length(text.ptr()), 1);
    if (at == -2)
        throw nb::python_error();
    return at;
}

/// What a reply wraps in a fenced block: after the first fence marked json
/// (else the first fence) up to the next fence or the end, trimmed. A reply
/// without a fence as it is.
static nb::str unfenced(nb::str text) {
    nb::str fence("```");
    Py_ssize_t start = find(text, nb::str("```json"), 0);
    if (start >= 0) {
        start += 7;
    } else {
        start = find(text, fence, 0);
        if (start < 0)
            return text;
        start += 3;
    }
    Py_ssize_t end = find(text, fence, start);
    if (end < 0)
        end = common::str_length(text.ptr());
    nb::object inside = nb::steal(PyUnicode_Substring(text.ptr(), start, end));
    if (!inside.is_valid())
        throw nb::python_error();
    return nb::borrow<nb::str>(stripped(inside));  // a plain str's strip()
}

/// The failure result for a reply that is not JSON, logged with the start
/// of `text`.
static nb::dict unreadable(nb::handle self, nb::handle reply, nb::handle text) {
    nb::object head = common::checked(PyUnicode_Substring(text.ptr(), 0, logged_reply_chars));
    self.attr("log")(nb::str("Failed to parse LLM response as JSON: {}").format(head));
    nb::dict failed;
    failed["raw_response"] = reply;
    failed["parse_error"] = true;
    return failed;
}

Coro<> llm_json(nb::object self, nb::object prompt, nb::object system) {
    common::expect_str(prompt, "prompt");
    common::expect_str(system, "system");
    bridge::Local<> asking = self.attr("llm_ask")(prompt, system);
    bridge::Local<> reply = co_await asking;
    nb::object trimmed = stripped(reply);
    if (!trimmed.is_valid()) {
        // Its characters, when it has any, are what the log shows.
        nb::object text = PyUnicode_Check(reply.ptr())
                              ? common::checked(PyUnicode_FromObject(reply.ptr()))
                              : nb::str("");
        co_return unreadable(self, reply, text);
    }
    nb::str text = unfenced(nb::borrow<nb::str>(trimmed));

    // The common cases are read here; anything else, invalid JSON included,
    // is json.loads's to decide.
    bridge::Local<> parsed = read_json(text);
    if (!parsed.is_valid()) {
        nb::module_ json = import_module("json");
        try {
            parsed = json.attr("loads")(text);
        } catch (nb::python_error &e) {
            if (!e.matches(json.attr("JSONDecodeError")))
                throw;
        }
        if (!parsed.is_valid())
            co_return unreadable(self, reply, text);
    }
    // The result is a mapping (or None for null); any other JSON value is
    // not what the caller asked for.
    if (!parsed.is_none() && !PyDict_Check(parsed.ptr()))
        nb::raise_type_error("the model's JSON reply must be an object, not %s",
                             common::python_type_name(parsed).c_str());
    co_return parsed;
}

} // namespace ombrel::corvex
