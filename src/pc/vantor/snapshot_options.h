// What a snapshot may be asked for beyond the window and the depth (budgets,
// details, a subtree), and the pieces of text those options add, written
// alike by every backend.
//
// The controller hands a backend its options as a dict (None when none was
// given: the snapshot is then exactly the plain one), so that they travel
// to the executor and through coroutine frames as one Python object the
// garbage collector sees. Its keys:
//
//     "max_elements", "max_chars"  int, or None for no limit
//     "details"                    bool
//     "root"                       the root's ref, or None
//     "root_entry"                 the root's entry in the ref table
//     "window", "header"           the root's window ("window" of its last
//                                  snapshot) and that snapshot's first line
//     "root_path", "ref_window"    Linux: the root's path from its window,
//                                  and that window (see `Vantor::ref_paths`)
#pragma once

#include "pc/vantor/snapshot_text.h"

#include <nanobind/nanobind.h>

#include <string_view>

namespace ombrel::vantor {

namespace nb = nanobind;

struct SnapshotOptions {
    /// Elements the walk may read; -1 for no limit.
    long long max_elements = -1;
    /// Characters of text before the closing budget line; -1 for no limit.
    long long max_chars = -1;
    bool details = false;
    /// The root's ref and its entry, when the snapshot is of a subtree.
    nb::object root, root_entry;
    /// The window of the root and the first line of its last snapshot.
    nb::object window, header;
    nb::object root_path, ref_window;

    /// The options in `options` (a dict, or None for none).
    static SnapshotOptions from(nb::handle options);

    bool budgeted() const { return max_elements >= 0 || max_chars >= 0; }
    bool has_root() const { return root.is_valid() && !root.is_none(); }
};

/// The states a detailed line shows, in the order it shows them.
enum State : unsigned {
    focused = 1u << 0,
    checked = 1u << 1,
    selected = 1u << 2,
    expanded = 1u << 3,
    disabled = 1u << 4,
    offscreen = 1u << 5,
};

/// The state a name stands for ("focused", ...); 0 for a name it does not know.
unsigned state_named(std::string_view name);

/// A rectangle on the screen, in pixels.
struct Bounds {
    long long x = 0, y = 0, width = 0, height = 0;
    bool empty() const { return width == 0 && height == 0; }
};

/// " [focused] [checked]" for each state in `states`, then " @x,y,w,h"
/// unless `bounds` is null or empty.
void add_details(SnapshotText &text, unsigned states, const Bounds *bounds);

/// Where a walk stopped because a budget was spent: which budget, and how
/// many elements, at least, it left out.
struct Cut {
    const char *budget = nullptr; ///< "max_elements" or "max_chars"; null: nothing cut
    long long left_out = 0;

    explicit operator bool() const { return budget != nullptr; }
};

/// Counts a walk's elements and characters against the options' budgets.
class BudgetCounter {
public:
    explicit BudgetCounter(const SnapshotOptions *options)
        : max_elements_(options ? options->max_elements : -1),
          max_chars_(options ? options->max_chars : -1) {}

    bool limits_elements() const { return max_elements_ >= 0; }
    bool limits_chars() const { return max_chars_ >= 0; }
    /// Whether one more element may be read; counts it when it may.
    bool take_element() {
        if (max_elements_ >= 0 && read_ >= max_elements_)
            return false;
        ++read_;
        return true;
    }
    /// Counts the characters of the text written since `mark`; false (and
    /// nothing counted) when they would pass the budget.
    bool take_chars(const SnapshotText &text, SnapshotText::Mark mark) {
        if (max_chars_ < 0)
            return true;
        long long more = static_cast<long long>(text.chars_since(mark));
        if (chars_ + more > max_chars_)
            return false;
        chars_ += more;
        return true;
    }
    /// Counts the whole text so far (the header), whatever the budget.
    void count_text(const SnapshotText &text) {
        chars_ = static_cast<long long>(text.chars_since({0, 0}));
    }

private:
    long long max_elements_, max_chars_;
    long long read_ = 0, chars_ = 0;
};

/// The closing line of a cut snapshot:
/// "[Cut at max_elements=500: at least 12 more elements left out. ...]".
void add_cut_line(SnapshotText &text, const SnapshotOptions &options, const Cut &cut);

/// The budget keys of a snapshot result, when a budget was given:
/// "truncated" (bool) and "left_out" (int, 0 when nothing was cut).
void add_budget_keys(nb::dict result, const SnapshotOptions &options, const Cut &cut);

/// The failure of an action or a subtree snapshot whose element is no longer
/// the one of its ref: "Ref [n] is stale: ...", with "ref" and "stale": True.
nb::dict stale_ref(nb::handle ref);

} // namespace ombrel::vantor
