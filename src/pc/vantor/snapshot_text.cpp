#include "pc/vantor/snapshot_text.h"

#include <algorithm>
#include <charconv>

namespace ombrel::vantor {

void SnapshotText::new_line() {
    if (!starts_.empty())
        buffer_.push_back('\n');
    starts_.push_back(buffer_.size());
}

void SnapshotText::add(nb::handle text) {
    nb::object formatted;
    PyObject *str = text.ptr();
    if (!PyUnicode_Check(str)) {
        formatted = nb::steal(PyObject_Format(str, nullptr));
        if (!formatted.is_valid())
            throw nb::python_error();
        str = formatted.ptr();
    }
    Py_ssize_t size = 0;
    if (const char *data = PyUnicode_AsUTF8AndSize(str, &size)) {
        buffer_.append(data, static_cast<std::size_t>(size));
        return;
    }
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError))
        throw nb::python_error();
    PyErr_Clear();
    nb::object bytes = nb::steal(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
    if (!bytes.is_valid())
        throw nb::python_error();
    buffer_.append(PyBytes_AsString(bytes.ptr()),
                   static_cast<std::size_t>(PyBytes_Size(bytes.ptr())));
}

void SnapshotText::add(long long number) {
    char digits[24];
    auto end = std::to_chars(digits, digits + sizeof digits, number).ptr;
    buffer_.append(digits, end);
}

void SnapshotText::add_lower_ascii(std::string_view ascii) {
    std::size_t start = buffer_.size();
    buffer_.append(ascii);
    for (std::size_t i = start; i < buffer_.size(); ++i) {
        char c = buffer_[i];
        if (c >= 'A' && c <= 'Z')
            buffer_[i] = static_cast<char>(c - 'A' + 'a');
    }
}

void SnapshotText::add_indent(long long depth) {
    long long levels = std::clamp(depth, 0LL, 4LL);
    buffer_.append(static_cast<std::size_t>(levels) * 2, ' ');
}

void SnapshotText::rollback(Mark point) {
    buffer_.resize(point.size);
    starts_.resize(point.lines);
}

std::size_t SnapshotText::chars_since(Mark point) const {
    std::size_t chars = 0;
    for (std::size_t i = point.size; i < buffer_.size(); ++i)
        chars += (static_cast<unsigned char>(buffer_[i]) & 0xC0) != 0x80;
    return chars;
}

nb::str SnapshotText::decode(std::size_t begin, std::size_t end) const {
    PyObject *text = PyUnicode_DecodeUTF8(buffer_.data() + begin,
                                          static_cast<Py_ssize_t>(end - begin), "surrogatepass");
    if (!text)
        throw nb::python_error();
    return nb::steal<nb::str>(text);
}

nb::str SnapshotText::text() const { return decode(0, buffer_.size()); }

void SnapshotText::append_lines_to(nb::list lines) const {
    for (std::size_t i = 0; i < starts_.size(); ++i) {
        std::size_t end = i + 1 < starts_.size() ? starts_[i + 1] - 1 : buffer_.size();
        lines.append(decode(starts_[i], end));
    }
}

} // namespace ombrel::vantor
