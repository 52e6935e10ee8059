// The AT-SPI walker's JSON document turned into the snapshot result: the
// text, the ref table and the result dictionary.
#pragma once

#include "pc/vantor/snapshot_options.h"
#include "pc/vantor/vantor.h"

#include <string_view>

namespace ombrel::vantor {

/// The result of a snapshot whose walker printed `output` (its standard
/// output decoded and stripped, as UTF-8, not empty). A document whose
/// "success" is missing or false is returned as json.loads gives it;
/// otherwise the controller gets the document's ref table and the result
/// describes its elements. Raises (a Python error) for text that is not
/// JSON, for JSON that Python's reader refuses, and for records
/// that lack a key, leaving the previous ref table in place. With
/// `options`, their budgets and details shape the text as well (the walker
/// was given the same).
nb::object atspi_document_result(nb::object self, std::string_view output,
                                 const SnapshotOptions *options = nullptr);

/// The standard output of the walker as `atspi_document_result` takes it:
/// decoded as UTF-8 (undecodable bytes replaced) and stripped of white
/// space. ASCII output, the usual case, is not copied: the view is into
/// `bytes`, else into the str kept in `keep`.
std::string_view walker_output(nb::handle bytes, nb::object &keep);

} // namespace ombrel::vantor
