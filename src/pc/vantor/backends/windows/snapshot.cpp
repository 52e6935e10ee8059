// The Windows snapshot: the window is found and its tree walked through
// pywinauto (preferred) or the uiautomation library, on one worker thread of
// the loop's default executor.
#include "pc/vantor/backends/windows/windows.h"

#include "pc/vantor/py.h"
#include "pc/vantor/results.h"
#include "pc/vantor/snapshot_options.h"
#include "pc/vantor/snapshot_text.h"

#include <atomic>
#include <climits>
#include <cmath>
#include <optional>
#include <vector>

namespace ombrel::vantor {

namespace {

enum class Library { pywinauto, uiautomation };

/// An int argument as a C++ number, saturated at the limits of long long
/// (depths beyond them behave alike).
long long clamped_int(nb::handle value, const char *name) {
    nb::int_ number = common::expect_int(value, name);
    int overflow = 0;
    long long result = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
    if (overflow)
        return overflow > 0 ? LLONG_MAX : LLONG_MIN;
    if (result == -1 && PyErr_Occurred())
        throw nb::python_error();
    return result;
}

/// `text[:limit]` of a str; anything else is formatted first.
nb::object prefix(nb::handle text, Py_ssize_t limit, bool *cut = nullptr) {
    nb::object str = nb::borrow(text);
    if (!PyUnicode_Check(text.ptr()))
        str = py::checked(PyObject_Format(text.ptr(), nullptr));
    Py_ssize_t length = PyUnicode_GetLength(str.ptr());
    if (length < 0)
        throw nb::python_error();
    if (cut)
        *cut = length > limit;
    if (length <= limit)
        return str;
    return py::checked(PyUnicode_Substring(str.ptr(), 0, limit));
}

/// The UTF-8 text of an ASCII str, or null for any other object.
const char *ascii_text(nb::handle text, Py_ssize_t *size) {
    if (!PyUnicode_Check(text.ptr()))
        return nullptr;
    const char *data = PyUnicode_AsUTF8AndSize(text.ptr(), size);
    if (!data) {
        PyErr_Clear(); // lone surrogates: not ASCII
        return nullptr;
    }
    return *size == common::str_length(text.ptr()) ? data : nullptr;
}

/// `not name.strip()`
bool only_white_space(nb::handle name) {
    Py_ssize_t size = 0;
    if (const char *data = ascii_text(name, &size)) {
        for (Py_ssize_t i = 0; i < size; ++i) {
            unsigned char c = static_cast<unsigned char>(data[i]);
            bool space = c == ' ' || (c >= '\t' && c <= '\r') || (c >= 0x1c && c <= 0x1f);
            if (!space)
                return false;
        }
        return true;
    }
    return !py::truth(name.attr("strip")());
}

/// What the walk reads of one element.
struct Element {
    nb::object kind, name, auto_id, enabled, value;
    /// pywinauto: the element's `element_info`, when it could be read.
    nb::object info;
    /// The kind's text when it is an ASCII str (the usual case), else empty.
    std::string_view kind_ascii;
};

/// The children of one element being walked: a list read by index (as its
/// iterator would read it), or any other iterator.
struct Level {
    /// The element whose children these are: one step of the current path.
    nb::object parent;
    nb::object children;
    Py_ssize_t index; // -1: `children` is an iterator
    long long depth;

    /// The next child (a new reference), or null at the end or on an error.
    PyObject *next() {
        if (index < 0)
            return PyIter_Next(children.ptr());
        if (index >= common::list_size(children.ptr()))
            return nullptr;
        PyObject *child = common::list_item(children.ptr(), index++);
        Py_INCREF(child);
        return child;
    }
};

/// Set by the coroutine that awaits a walk when it stops waiting (cancelled
/// or closed): the walk then ends at its next element.
using StopFlag = std::atomic<bool>;

/// `kind in ("Edit", "ComboBox", "Document")`
bool has_value_kind(nb::handle kind) {
    if (PyUnicode_CheckExact(kind.ptr())) {
        Py_ssize_t size = 0;
        const char *data = ascii_text(kind, &size);
        if (!data)
            return false;
        std::string_view text(data, static_cast<std::size_t>(size));
        return text == "Edit" || text == "ComboBox" || text == "Document";
    }
    namespace n = py::names;
    return py::equal(kind, n::Edit) || py::equal(kind, n::ComboBox) ||
           py::equal(kind, n::Document);
}

void read_pywinauto(nb::handle child, Element &e) {
    namespace n = py::names;
    e.kind = py::or_empty(py::call_method(child, n::friendly_class_name));
    e.name = py::or_empty(py::call_method(child, n::window_text));
    e.auto_id = nb::borrow(n::empty);
    e.enabled = nb::borrow(Py_True);
    try {
        nb::object info = py::attr(child, n::element_info);
        e.info = info;
        e.auto_id = py::or_empty(py::attr(info, n::automation_id));
        e.enabled = py::attr(info, n::enabled);
    } catch (nb::python_error &error) {
        if (!py::is_exception(error))
            throw;
    }
    e.value = nb::borrow(n::empty);
    if (has_value_kind(e.kind)) {
        try {
            nb::object pattern = py::attr(child, n::iface_value);
            if (py::truth(pattern))
                e.value = py::or_empty(py::attr(pattern, n::CurrentValue));
        } catch (nb::python_error &error) {
            if (!py::is_exception(error))
                throw;
        }
    }
}

/// The control type's name without "Control", as uiautomation names it.
nb::object uiautomation_kind(nb::handle child) {
    namespace n = py::names;
    nb::object type_name = py::or_empty(py::attr(child, n::ControlTypeName));
    if (PyUnicode_Check(type_name.ptr()))
        return py::checked(
            PyUnicode_Replace(type_name.ptr(), n::Control.ptr(), n::empty.ptr(), -1));
    return type_name.attr("replace")(n::Control, n::empty);
}

void read_uiautomation(nb::handle child, Element &e) {
    namespace n = py::names;
    e.kind = uiautomation_kind(child);
    e.name = py::or_empty(py::attr(child, n::Name));
    e.auto_id = py::or_empty(py::attr(child, n::AutomationId));
    e.enabled = py::attr(child, n::IsEnabled);
    e.value = nb::borrow(n::empty);
    try {
        nb::object pattern = py::call_method(child, n::GetValuePattern);
        if (py::truth(pattern))
            e.value = py::or_empty(py::attr(pattern, n::Value));
    } catch (nb::python_error &error) {
        if (!py::is_exception(error))
            throw;
    }
}

void read_element(nb::handle child, Element &e, Library library) {
    if (library == Library::pywinauto)
        read_pywinauto(child, e);
    else
        read_uiautomation(child, e);
    Py_ssize_t size = 0;
    if (const char *data = ascii_text(e.kind, &size))
        e.kind_ascii = std::string_view(data, static_cast<std::size_t>(size));
}

/// What a ref's entry remembers of its element (its kind and name), read
/// again as the walk reads them.
void read_identity(nb::handle element, Library library, nb::object &kind, nb::object &name) {
    namespace n = py::names;
    if (library == Library::pywinauto) {
        kind = py::or_empty(py::call_method(element, n::friendly_class_name));
        name = py::or_empty(py::call_method(element, n::window_text));
    } else {
        kind = uiautomation_kind(element);
        name = py::or_empty(py::attr(element, n::Name));
    }
}

Library library_of(nb::handle backend) {
    return py::equal(backend, py::names::uiautomation) ? Library::uiautomation
                                                        : Library::pywinauto;
}

/// The states and bounds of listed elements, read through one UI Automation
/// cache request per element: the element's own IUIAutomationElement
/// (pywinauto's `element_info.element`, uiautomation's `Control.Element`)
/// is brought up to date with every property below in one call, and the
/// values are then read from its cache: focus and visibility as the cached
/// element's properties, its bounds and, for the control types that have
/// them, the states of its toggle, selection-item and expand-collapse
/// patterns through GetCachedPropertyValue.
class DetailReader {
public:
    // Property ids of UIAutomationClient.h.
    static constexpr long bounding_rectangle = 30001, has_keyboard_focus = 30008,
                          is_offscreen = 30022, expand_collapse_state = 30070,
                          selection_item_is_selected = 30079, toggle_state = 30086;

    explicit DetailReader(Library library) : library_(library) {
        // Without a cache request (a library that does not offer one) the
        // lines show what the walk read anyway: [disabled].
        works([&] {
            nb::object automation, constants;
            if (library == Library::pywinauto) {
                nb::object client = py::import_from("pywinauto.uia_defines", "IUIA")();
                automation = client.attr("iuia");
                constants = common::attr_or(client, nb::str("UIA_dll"), Py_None);
            } else {
                nb::module_ inner = common::import_module("uiautomation.uiautomation");
                automation = inner.attr("_AutomationClient").attr("instance")().attr("IUIAutomation");
                constants = common::attr_or(inner, nb::str("PropertyId"), Py_None);
            }
            // The library's own constants where it has them (pywinauto:
            // UIA_<name>PropertyId of its UIAutomationClient module;
            // uiautomation: PropertyId.<name>PropertyId), else their values.
            auto id = [&](const char *pywinauto_name, const char *uiautomation_name, long value) {
                nb::object known = constants.is_none()
                                       ? nb::object(nb::none())
                                       : common::attr_or(constants,
                                                         nb::str(library == Library::pywinauto
                                                                     ? pywinauto_name
                                                                     : uiautomation_name),
                                                         Py_None);
                return PyLong_CheckExact(known.ptr()) ? known : nb::object(nb::int_(value));
            };
            rectangle_ = id("UIA_BoundingRectanglePropertyId", "BoundingRectanglePropertyId",
                            bounding_rectangle);
            focus_ = id("UIA_HasKeyboardFocusPropertyId", "HasKeyboardFocusPropertyId",
                        has_keyboard_focus);
            offscreen_ = id("UIA_IsOffscreenPropertyId", "IsOffscreenPropertyId", is_offscreen);
            expand_ = id("UIA_ExpandCollapseExpandCollapseStatePropertyId",
                         "ExpandCollapseExpandCollapseStatePropertyId", expand_collapse_state);
            selected_ = id("UIA_SelectionItemIsSelectedPropertyId",
                           "SelectionItemIsSelectedPropertyId", selection_item_is_selected);
            toggle_ = id("UIA_ToggleToggleStatePropertyId", "ToggleToggleStatePropertyId",
                         toggle_state);
            nb::object request = automation.attr("CreateCacheRequest")();
            for (nb::handle property : {rectangle_, focus_, offscreen_, expand_, selected_, toggle_})
                request.attr("AddProperty")(property);
            request_ = request;
            return true;
        });
    }

    /// The states of an element and its bounds (left empty when they cannot
    /// be read); what cannot be read is left out.
    unsigned read(nb::handle child, const Element &e, Bounds &bounds) const {
        unsigned states = py::truth(e.enabled) ? 0u : State::disabled;
        if (!request_.is_valid())
            return states;
        namespace n = py::names;
        nb::object cached;
        bool built = works([&] {
            nb::object element = library_ == Library::pywinauto
                                     ? (e.info.is_valid() ? py::attr(e.info, n::element)
                                                          : nb::object())
                                     : py::attr(child, n::Element);
            if (!element.is_valid())
                return false;
            cached = py::call_method(element, n::BuildUpdatedCache, request_);
            return true;
        });
        if (!built)
            return states;
        nb::object get;
        if (!works([&] {
                get = py::attr(cached, n::GetCachedPropertyValue);
                return true;
            }))
            return states;
        nb::object rect = value(get, rectangle_);
        if (rect.is_valid())
            works([&] {
                // (left, top, width, height): a tuple of floats from comtypes.
                bool tuple = PyTuple_CheckExact(rect.ptr()) && common::tuple_size(rect.ptr()) == 4;
                long long numbers[4];
                for (Py_ssize_t i = 0; i < 4; ++i) {
                    nb::object item = tuple ? nb::borrow(common::tuple_item(rect.ptr(), i))
                                            : py::checked(PySequence_GetItem(rect.ptr(), i));
                    double number = PyFloat_CheckExact(item.ptr()) ? common::float_value(item.ptr())
                                                                   : PyFloat_AsDouble(item.ptr());
                    if (number == -1.0 && PyErr_Occurred())
                        throw nb::python_error();
                    numbers[i] = rounded(number);
                }
                bounds = {numbers[0], numbers[1], numbers[2], numbers[3]};
                return true;
            });
        if (is_true(property(cached, n::CachedHasKeyboardFocus)))
            states |= State::focused;
        if (is_true(property(cached, n::CachedIsOffscreen)))
            states |= State::offscreen;
        unsigned patterns = patterns_of(e);
        // ToggleState_On; Expanded or PartiallyExpanded.
        if ((patterns & State::checked) && is_number(value(get, toggle_), 1))
            states |= State::checked;
        if ((patterns & State::selected) && is_true(value(get, selected_)))
            states |= State::selected;
        if (patterns & State::expanded) {
            nb::object expand = value(get, expand_);
            if (is_number(expand, 1) || is_number(expand, 2))
                states |= State::expanded;
        }
        return states;
    }

private:
    /// The states whose patterns an element of this kind may have (UI
    /// Automation's control types: toggle, selection item, expand-collapse).
    static unsigned patterns_of(const Element &e) {
        std::string_view kind = e.kind_ascii;
        if (!kind.data())
            return 0;
        struct Kind {
            std::string_view name;
            unsigned patterns;
        };
        constexpr unsigned T = State::checked, S = State::selected, E = State::expanded;
        static constexpr Kind kinds[] = {
            {"Button", T | E},      {"CheckBox", T},       {"ComboBox", E},
            {"Custom", T | S | E},  {"DataItem", T | S | E}, {"Group", E},
            {"ListItem", T | S | E}, {"Menu", E},          {"MenuItem", T | S | E},
            {"RadioButton", S},     {"SplitButton", T | E}, {"TabItem", S},
            {"ToolBar", E},         {"TreeItem", T | S | E},
        };
        for (const Kind &known : kinds)
            if (known.name == kind)
                return known.patterns;
        return 0;
    }

    /// A property of the cached element, or nothing when it cannot be read.
    static nb::object property(nb::handle cached, const common::Interned &name) {
        PyObject *got = PyObject_GetAttr(cached.ptr(), name.get().ptr());
        return answer(got);
    }
    /// The cached value of a property (`get` is the cached element's
    /// GetCachedPropertyValue), or nothing when it cannot be read.
    static nb::object value(nb::handle get, nb::handle id) {
        return answer(common::call_one_arg(get.ptr(), id.ptr()));
    }
    static nb::object answer(PyObject *got) {
        if (got)
            return nb::steal(got);
        if (!PyErr_ExceptionMatches(PyExc_Exception))
            throw nb::python_error();
        PyErr_Clear();
        return nb::object();
    }
    /// The nearest integer, halves away from zero (as llround; coordinates
    /// beyond long long do not occur).
    static long long rounded(double number) {
        if (!(std::fabs(number) < 9e18))
            return 0;
        return static_cast<long long>(number < 0 ? number - 0.5 : number + 0.5);
    }
    /// A value that is exactly True (or a true int, as VARIANT_BOOL may come).
    static bool is_true(nb::handle value) {
        return value.is_valid() && (value.is(Py_True) || (PyLong_CheckExact(value.ptr()) &&
                                                          PyLong_AsLong(value.ptr()) != 0));
    }
    static bool is_number(nb::handle value, long number) {
        return value.is_valid() && PyLong_Check(value.ptr()) &&
               PyLong_AsLong(value.ptr()) == number;
    }

    Library library_;
    nb::object request_;
    nb::object rectangle_, focus_, offscreen_, expand_, selected_, toggle_;
};

/// Walks the descendants of one element, depth first, an element before its
/// children, adding a line per listed element and an entry per ref. The
/// recursion of the tree is kept on an explicit stack, so a deep tree needs
/// no deep C++ stack on the worker thread. An element that is already on the
/// path from the starting element is listed but not descended into again,
/// so a tree whose library reports a cycle stays finite.
///
/// With options, the walk reads no element past its budgets (`cut()` then
/// says where it stopped), and details add each listed element's states and
/// bounds to its line.
class Walker {
public:
    Walker(Vantor &controller, nb::handle ref_map, SnapshotText &text, Library library,
           long long max_depth, const StopFlag *stop = nullptr,
           const SnapshotOptions *options = nullptr)
        : controller_(controller), ref_map_(nb::borrow(ref_map)), text_(text),
          library_(library), max_depth_(max_depth), stop_(stop), budget_(options),
          interactive_(module_attr(py::names::INTERACTIVE_TYPES)),
          context_(module_attr(py::names::CONTEXT_TYPES)), entry_template_(make_entry_template()) {
        if (options && options->details)
            details_.emplace(library);
        budget_.count_text(text);
    }

    /// Lists the children of `element` at `depth`, their children at
    /// `depth` + 1, and so on down to `max_depth`. False when the stop flag
    /// ended the walk before its end.
    bool walk(nb::handle element, long long depth) {
        std::vector<Level> stack;
        if (!push_children(stack, element, depth))
            return true;
        while (!stack.empty()) {
            if (stop_ && stop_->load(std::memory_order_relaxed))
                return false;
            PyObject *next = stack.back().next();
            long long level = stack.back().depth;
            if (!next) {
                if (!PyErr_Occurred()) {
                    stack.pop_back();
                    continue;
                }
                // The children could not be iterated: for the level above,
                // the element whose children these are failed.
                nb::python_error error;
                stack.pop_back();
                if (stack.empty() || !py::is_exception(error))
                    throw error;
                failed(error);
                continue;
            }
            nb::object child = nb::steal(next);
            if (!budget_.take_element()) {
                cut_ = {"max_elements", 1 + remaining(stack)};
                return true;
            }
            try {
                Element read;
                read_element(child, read, library_);
                list(child, read, level);
                if (cut_) {
                    cut_.left_out += remaining(stack);
                    return true;
                }
                if (level < max_depth_) // level + 1 would be too deep
                    push_children(stack, child, level + 1);
            } catch (nb::python_error &error) {
                if (!py::is_exception(error))
                    throw;
                failed(error);
            }
        }
        return true;
    }

    /// Lists `root` (already read into `read`) at depth 0, then walks its
    /// descendants from depth 1.
    bool walk_from(nb::handle root, const Element &read) {
        if (!budget_.take_element()) {
            cut_ = {"max_elements", 1};
            return true;
        }
        list(root, read, 0);
        if (cut_)
            return true;
        return walk(root, 1);
    }

    /// Where a budget stopped the walk; empty when none did.
    const Cut &cut() const { return cut_; }

private:
    /// The elements the stack still holds for later: a lower bound of what a
    /// walk that stops now leaves out (iterated children are not counted).
    static long long remaining(const std::vector<Level> &stack) {
        long long count = 0;
        for (const Level &level : stack)
            if (level.index >= 0)
                count += common::list_size(level.children.ptr()) - level.index;
        return count;
    }

    /// Whether `element` is one of the elements whose children the stack
    /// holds (its own ancestors, by the library's equality).
    static bool on_path(const std::vector<Level> &stack, nb::handle element) {
        for (const Level &level : stack) {
            int same = PyObject_RichCompareBool(level.parent.ptr(), element.ptr(), Py_EQ);
            if (same < 0)
                throw nb::python_error();
            if (same)
                return true;
        }
        return false;
    }

    /// Puts the children of `element` on the stack, unless the walk stops
    /// above them (too deep, none, or they cannot be read). An error of
    /// iterating them is the element's own error.
    bool push_children(std::vector<Level> &stack, nb::handle element, long long depth) {
        if (depth > max_depth_ || on_path(stack, element))
            return false;
        namespace n = py::names;
        nb::object children;
        try {
            children = py::call_method(element, library_ == Library::pywinauto ? n::children
                                                                        : n::GetChildren);
        } catch (nb::python_error &error) {
            if (!py::is_exception(error))
                throw;
            return false;
        }
        if (PyList_CheckExact(children.ptr())) {
            if (PyList_Size(children.ptr()) == 0)
                return false;
            stack.push_back({nb::borrow(element), std::move(children), 0, depth});
            return true;
        }
        stack.push_back(
            {nb::borrow(element), py::checked(PyObject_GetIter(children.ptr())), -1, depth});
        return true;
    }

    /// The kind lower-cased, as `kind.lower()` gives it.
    void add_kind(const Element &e) {
        if (e.kind_ascii.data()) {
            text_.add_lower_ascii(e.kind_ascii);
            return;
        }
        text_.add(e.kind.attr("lower")());
    }

    void add_details(nb::handle child, const Element &e) {
        Bounds bounds;
        unsigned states = details_->read(child, e, bounds);
        vantor::add_details(text_, states, &bounds);
    }

    /// Whether the line written since `mark` fits the character budget;
    /// when it does not, it is taken back and the walk is cut.
    bool fits(SnapshotText::Mark mark) {
        if (budget_.take_chars(text_, mark))
            return true;
        text_.rollback(mark);
        cut_ = {"max_chars", 1};
        return false;
    }

    void list(nb::handle child, const Element &e, long long depth) {
        namespace n = py::names;
        bool has_name = !e.name.is(n::empty);
        SnapshotText::Mark mark = text_.mark();
        try {
            if (py::contains(interactive_, e.kind) && py::truth(e.enabled)) {
                if (controller_.ref_counter == LLONG_MAX) {
                    PyErr_SetString(PyExc_OverflowError, "no ref number left");
                    throw nb::python_error();
                }
                long long ref = controller_.ref_counter + 1;
                text_.new_line();
                text_.add_indent(depth);
                text_.add('[');
                text_.add(ref);
                text_.add("] ");
                add_kind(e);
                if (has_name) {
                    text_.add(" \"");
                    text_.add(e.name);
                    text_.add('"');
                }
                if (!e.value.is(n::empty) && !py::equal(e.value, e.name)) {
                    text_.add(" value=\"");
                    text_.add(prefix(e.value, 100));
                    text_.add('"');
                }
                if (!e.auto_id.is(n::empty) && !py::equal(e.auto_id, e.name)) {
                    text_.add(" (id: ");
                    text_.add(e.auto_id);
                    text_.add(')');
                }
                if (details_)
                    add_details(child, e);
                if (!fits(mark))
                    return;
                store(ref, child, e);
                controller_.ref_counter = ref;
            } else if (has_name && py::contains(context_, e.kind) && !only_white_space(e.name)) {
                text_.new_line();
                text_.add_indent(depth);
                add_kind(e);
                text_.add(": ");
                bool cut = false;
                text_.add(prefix(e.name, 200, &cut));
                if (cut)
                    text_.add("...");
                if (details_)
                    add_details(child, e);
                fits(mark);
            }
        } catch (...) {
            text_.rollback(mark);
            throw;
        }
    }

    /// {"element": None, "control_type": None, ..., "backend": <library>}:
    /// copies of it keep their keys' table, so filling one in never resizes.
    nb::object make_entry_template() const {
        namespace n = py::names;
        nb::dict entry;
        for (nb::handle key : {n::element, n::control_type, n::name, n::auto_id, n::value})
            entry[key] = nb::none();
        entry[n::backend] = library_ == Library::pywinauto ? n::pywinauto : n::uiautomation;
        return entry;
    }

    void store(long long ref, nb::handle child, const Element &e) {
        namespace n = py::names;
        nb::object entry = py::checked(PyDict_Copy(entry_template_.ptr()));
        PyObject *d = entry.ptr();
        if (PyDict_SetItem(d, n::element.ptr(), child.ptr()) ||
            PyDict_SetItem(d, n::control_type.ptr(), e.kind.ptr()) ||
            PyDict_SetItem(d, n::name.ptr(), e.name.ptr()) ||
            PyDict_SetItem(d, n::auto_id.ptr(), e.auto_id.ptr()) ||
            PyDict_SetItem(d, n::value.ptr(), e.value.ptr()))
            throw nb::python_error();
        nb::object key = py::checked(PyLong_FromLongLong(ref));
        if (PyObject_SetItem(ref_map_.ptr(), key.ptr(), d))
            throw nb::python_error();
    }

    void failed(const nb::python_error &error) {
        if (library_ == Library::pywinauto)
            logger.debug("Error processing element: %s", common::exception_message(error.value()));
    }

    Vantor &controller_;
    nb::object ref_map_;
    SnapshotText &text_;
    Library library_;
    long long max_depth_;
    const StopFlag *stop_;
    BudgetCounter budget_;
    std::optional<DetailReader> details_;
    Cut cut_;
    nb::object interactive_, context_, entry_template_;
};

/// Holds the controller's walk lock; waits for it with the GIL released.
class WalkLock {
public:
    explicit WalkLock(Vantor &controller) : lock_(controller.walk_mutex, std::defer_lock) {
        if (!lock_.try_lock()) {
            nb::gil_scoped_release unlocked;
            lock_.lock();
        }
    }

private:
    std::unique_lock<std::recursive_mutex> lock_;
};

nb::dict snapshot_result(Vantor &controller, nb::handle window, const SnapshotText &text) {
    nb::dict result = success();
    nb::str snapshot = text.text();
    result["window"] = window;
    result["snapshot"] = snapshot;
    result["element_count"] = controller.ref_counter;
    result["hint"] = SNAPSHOT_HINT;
    remember_snapshot(controller, window, snapshot);
    return result;
}

bool has_title(nb::handle window_title) {
    return !window_title.is_none() && py::truth(window_title);
}

void walk_into(nb::object self, nb::object element, nb::list lines, nb::object depth,
               nb::object max_depth, Library library) {
    Vantor &controller = state(self);
    long long start = clamped_int(depth, "depth");
    long long limit = clamped_int(max_depth, "max_depth");
    WalkLock lock(controller);
    SnapshotText text;
    try {
        Walker(controller, controller.ref_map, text, library, limit).walk(element, start);
    } catch (...) {
        text.append_lines_to(lines);
        throw;
    }
    text.append_lines_to(lines);
}

/// The ref table a snapshot fills, and the one it replaced.
struct FreshTable {
    nb::object previous, previous_paths, previous_window;
    long long previous_counter;
    nb::dict table;

    explicit FreshTable(Vantor &controller)
        : previous(controller.ref_map), previous_paths(controller.ref_paths),
          previous_window(controller.ref_window), previous_counter(controller.ref_counter),
          table(reset_ref_table(controller)) {}

    void put_back(Vantor &controller) const {
        controller.ref_map = previous;
        controller.ref_counter = previous_counter;
        controller.ref_paths = previous_paths;
        controller.ref_window = previous_window;
    }
};

/// Walks the window's tree into `fresh` (the caller holds the walk lock):
/// the children of `start`, the window; with `root`, `start` is the root of
/// a subtree, already read into `root`, and is listed first. Stopped before
/// its end, the walk puts the previous table back and answers None: nobody
/// waits for it any more.
nb::object walk_window(Vantor &controller, const FreshTable &fresh, nb::handle start,
                       nb::object name, nb::handle class_name, Library library,
                       long long limit, const StopFlag *stop,
                       const SnapshotOptions *options = nullptr, const Element *root = nullptr) {
    SnapshotText text(controller.last_text_size);
    text.new_line();
    if (root) {
        text.add(options->header);
    } else {
        text.add("Window: ");
        text.add(name);
        if (class_name.is_valid()) {
            text.add(" [");
            text.add(class_name);
            text.add("]");
        }
    }
    text.new_line();
    Walker walker(controller, fresh.table, text, library, limit, stop, options);
    if (!(root ? walker.walk_from(start, *root) : walker.walk(start, 0))) {
        fresh.put_back(controller);
        return nb::none();
    }
    if (options)
        add_cut_line(text, *options, walker.cut());
    controller.last_text_size = text.size();
    nb::dict result = snapshot_result(controller, name, text);
    if (options)
        add_budget_keys(result, *options, walker.cut());
    return result;
}

nb::object pywinauto_snapshot(nb::object self, nb::object window_title, nb::object max_depth,
                              const StopFlag *stop, const SnapshotOptions *options = nullptr) {
    Vantor &controller = state(self);
    long long limit = clamped_int(max_depth, "max_depth");
    nb::object desktop = py::import_from("pywinauto", "Desktop")(nb::arg("backend") = "uia");
    bool titled = has_title(window_title);
    nb::object windows;
    if (titled) {
        nb::object pattern = py::checked(PyUnicode_FromFormat(".*%S.*", window_title.ptr()));
        windows = desktop.attr("windows")(nb::arg("title_re") = pattern,
                                          nb::arg("visible_only") = true);
    } else {
        nb::object user32 = nb::module_::import_("ctypes").attr("windll").attr("user32");
        nb::object handle = user32.attr("GetForegroundWindow")();
        if (!py::truth(handle))
            return failure("No foreground window found");
        windows = desktop.attr("windows")(nb::arg("handle") = handle);
    }
    if (!py::truth(windows)) {
        if (titled)
            return failure(py::checked(
                PyUnicode_FromFormat("No window found matching: %S", window_title.ptr())));
        return failure("No window found");
    }
    nb::object wrapper = py::item(windows, nb::int_(0)).attr("wrapper_object")();

    WalkLock lock(controller);
    FreshTable fresh(controller);
    namespace n = py::names;
    nb::object name = py::call_method(wrapper, n::window_text);
    if (!py::truth(name))
        name = nb::str("Unknown");
    nb::object class_name = py::or_empty(py::call_method(wrapper, n::friendly_class_name));
    return walk_window(controller, fresh, wrapper, name, class_name, Library::pywinauto, limit,
                       stop, options);
}

nb::object uiautomation_snapshot(nb::object self, nb::object window_title,
                                 nb::object max_depth, const StopFlag *stop,
                                 const SnapshotOptions *options = nullptr) {
    Vantor &controller = state(self);
    long long limit = clamped_int(max_depth, "max_depth");
    nb::module_ automation = nb::module_::import_("uiautomation");
    nb::object window;
    if (has_title(window_title))
        window = automation.attr("WindowControl")(nb::arg("searchDepth") = 1,
                                                  nb::arg("Name") = window_title);
    else
        window = automation.attr("GetForegroundControl")();
    if (!py::truth(window) || !py::truth(window.attr("Exists")(0)))
        return failure("No window found");

    WalkLock lock(controller);
    FreshTable fresh(controller);
    nb::object name = py::attr(window, py::names::Name);
    if (!py::truth(name))
        name = nb::str("Unknown");
    return walk_window(controller, fresh, window, name, nb::handle(), Library::uiautomation, limit,
                       stop, options);
}

/// The subtree of the root's element (its entry's library decides how it
/// is read), after checking that it is still the element of the ref.
nb::object root_snapshot(nb::object self, nb::object max_depth, const SnapshotOptions &options,
                         const StopFlag *stop) {
    Vantor &controller = state(self);
    long long limit = clamped_int(max_depth, "max_depth");
    nb::object element = py::item(options.root_entry, py::names::element);
    Library library = library_of(entry_backend(options.root_entry));
    WalkLock lock(controller);
    Element root;
    bool same = works([&] {
        read_element(element, root, library);
        nb::handle none = Py_None;
        return py::equal(root.kind, py::get(options.root_entry, py::names::control_type, none)) &&
               py::equal(root.name, py::get(options.root_entry, py::names::name, none));
    });
    if (!same)
        return stale_ref(options.root);
    FreshTable fresh(controller);
    return walk_window(controller, fresh, element, options.window, nb::handle(), library, limit,
                       stop, &options, &root);
}

nb::object snapshot_through(nb::object self, nb::object window_title, nb::object max_depth,
                            nb::object options, const StopFlag *stop) {
    SnapshotOptions asked = SnapshotOptions::from(options);
    const SnapshotOptions *given = options.is_none() ? nullptr : &asked;
    if (given && asked.has_root())
        return root_snapshot(self, max_depth, asked, stop);
    if (state(self).pywinauto_available)
        return pywinauto_snapshot(self, window_title, max_depth, stop, given);
    return uiautomation_snapshot(self, window_title, max_depth, stop, given);
}

/// What the executor runs for `_snapshot_windows`: the snapshot, until the
/// flag in `stop` is raised.
nb::object snapshot_until_stopped(nb::object self, nb::object window_title,
                                  nb::object max_depth, nb::object options, nb::capsule stop) {
    return snapshot_through(self, window_title, max_depth, options,
                            static_cast<const StopFlag *>(stop.data()));
}

/// Raises the stop flag when the awaiting coroutine ends, however it ends.
struct RaiseOnExit {
    StopFlag *flag;
    ~RaiseOnExit() { flag->store(true, std::memory_order_relaxed); }
};

Coro<> snapshot_on_executor(nb::object self, nb::object window_title, nb::object max_depth,
                            nb::object options) {
    // The walk runs on a worker thread and cannot be interrupted there: a
    // cancelled or closed snapshot raises its flag, and the walk ends at its
    // next element, releasing the controller for the next snapshot.
    auto *flag = new StopFlag(false);
    bridge::Local<nb::capsule> stop(flag, [](void *p) noexcept { delete static_cast<StopFlag *>(p); });
    RaiseOnExit raise_on_exit{flag};
    co_return co_await bridge::run_in_executor<&snapshot_until_stopped>(self, window_title,
                                                                         max_depth, options, stop);
}

const OnError snapshot_error{.log = "Desktop snapshot failed: %s"};

/// Whether the element of a Windows entry still reads as the entry says
/// (its kind and name); false when it cannot be read at all.
bool unchanged_sync(nb::object element, nb::object backend, nb::object kind, nb::object name) {
    return works([&] {
        nb::object now_kind, now_name;
        read_identity(element, library_of(backend), now_kind, now_name);
        return py::equal(now_kind, kind) && py::equal(now_name, name);
    });
}

} // namespace

Coro<> snapshot_windows_options(nb::object self, nb::object window_title, nb::object max_depth,
                                nb::object options) {
    if (!state(self).uia_available) {
        nb::dict result = failure(
            "Windows UI Automation not available. Install pywinauto: pip install pywinauto");
        result["hint"] = "This feature requires pywinauto installed.";
        co_return result;
    }
    co_return co_await result_or_failure<&snapshot_on_executor, snapshot_error>(
        self, window_title, max_depth, options);
}

Coro<> snapshot_windows(nb::object self, nb::object window_title, nb::object max_depth) {
    co_return co_await snapshot_windows_options(self, window_title, max_depth, nb::none());
}

nb::object snapshot_sync(nb::object self, nb::object window_title, nb::object max_depth) {
    return snapshot_through(self, window_title, max_depth, nb::none(), nullptr);
}

nb::object snapshot_pywinauto(nb::object self, nb::object window_title, nb::object max_depth) {
    return pywinauto_snapshot(self, window_title, max_depth, nullptr);
}

nb::object snapshot_uiautomation(nb::object self, nb::object window_title,
                                 nb::object max_depth) {
    return uiautomation_snapshot(self, window_title, max_depth, nullptr);
}

void walk_element_pywinauto(nb::object self, nb::object element, nb::list lines,
                            nb::object depth, nb::object max_depth) {
    walk_into(self, element, lines, depth, max_depth, Library::pywinauto);
}

void walk_element_uiautomation(nb::object self, nb::object element, nb::list lines,
                               nb::object depth, nb::object max_depth) {
    walk_into(self, element, lines, depth, max_depth, Library::uiautomation);
}

Coro<> verify_windows(nb::object, nb::object ref, nb::object elem_info) {
    nb::handle none = Py_None;
    bridge::Local<> element = py::get(elem_info, py::names::element, none);
    bridge::Local<> backend = entry_backend(elem_info);
    bridge::Local<> kind = py::get(elem_info, py::names::control_type, none);
    bridge::Local<> name = py::get(elem_info, py::names::name, none);
    bridge::Outcome same = co_await bridge::outcome(
        bridge::run_in_executor<&unchanged_sync>(element, backend, kind, name));
    if (same && py::truth(same.value()))
        co_return nb::none();
    if (!same) {
        nb::python_error error = same.take_error();
        if (!py::is_exception(error))
            co_await bridge::raise(std::move(error));
    }
    co_return stale_ref(ref);
}

} // namespace ombrel::vantor
