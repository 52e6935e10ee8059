// The snapshot text, written line by line into one UTF-8 buffer and turned
// into a Python string once.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace ombrel::vantor {

namespace nb = nanobind;

/// Lines joined with single line feeds, no line feed at the end. Python
/// strings go in as UTF-8 with lone surrogates (which Windows names can
/// carry) passed through, so the text comes out exactly as it went in.
class SnapshotText {
public:
    SnapshotText() = default;
    /// Room for `expected` bytes from the start (the previous snapshot's size).
    explicit SnapshotText(std::size_t expected) { buffer_.reserve(expected + expected / 8); }

    std::size_t size() const { return buffer_.size(); }
    /// Starts a new line; what follows is added to it.
    void new_line();
    void add(std::string_view ascii) { buffer_.append(ascii); }
    void add(char ascii) { buffer_.push_back(ascii); }
    /// A str as it is; anything else as an f-string would show it.
    void add(nb::handle text);
    void add(long long number);
    /// ASCII text, lower-cased.
    void add_lower_ascii(std::string_view ascii);
    /// Two spaces per level of `depth`, at most four levels.
    void add_indent(long long depth);

    /// A point to come back to when a line cannot be finished.
    struct Mark {
        std::size_t size, lines;
    };
    Mark mark() const { return {buffer_.size(), starts_.size()}; }
    void rollback(Mark point);
    /// The characters (code points) written since `point`, line feeds
    /// included.
    std::size_t chars_since(Mark point) const;
    /// The lines written since `point`.
    std::size_t lines_since(Mark point) const { return starts_.size() - point.lines; }

    /// The lines joined with line feeds.
    nb::str text() const;
    /// Appends every line to `lines` as a str.
    void append_lines_to(nb::list lines) const;

private:
    nb::str decode(std::size_t begin, std::size_t end) const;
    std::string buffer_;
    std::vector<std::size_t> starts_;
};

} // namespace ombrel::vantor
