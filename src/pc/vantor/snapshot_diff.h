// Reading snapshot texts back: their element lines and refs, and what
// changed between two snapshots of one window.
//
// A snapshot text is a header line ("Window: ..."), element lines, empty
// lines and, for a snapshot cut by a budget, a closing "[Cut at ...]" line.
// An element line with a ref starts, after its indent, with "[n] ".
#pragma once

#include "pc/vantor/vantor.h"

#include <string_view>

namespace ombrel::vantor {

/// The element lines of a snapshot text (a str), in order.
nb::list element_lines(nb::handle text);

/// The ref a line starts with after its indent, or -1.
long long line_ref(std::string_view line);

/// The snapshot result turned into its diff against `previous` (the text of
/// the previous snapshot of the same window, or None): "snapshot" becomes
/// the changes, and "added", "removed", "renumbered" and "previous" are
/// added (see the docstring of `Vantor.snapshot`).
nb::dict diff_result(nb::dict result, nb::handle previous);

/// The key under which the texts of a window's snapshots are kept for
/// diffs: the window, and for a subtree its root's line without the ref.
nb::object diff_key(nb::handle window, nb::handle root_line);

/// Keeps `text` as the latest snapshot text under `key`; answers the one it
/// replaces (None when there was none). A few keys are kept at most.
nb::object keep_text(Vantor &controller, nb::handle key, nb::handle text);

/// The line of `ref` in a snapshot text, its indent removed; None when the
/// text has none.
nb::object line_of_ref(nb::handle text, long long ref);

} // namespace ombrel::vantor
