// The AT-SPI walker's JSON document turned into the snapshot result: the
// text, the ref table and the result dictionary.
#pragma once

#include "../../vantor.h"

namespace ombrel::vantor {

/// The result of a snapshot whose walker printed `output` (its standard
/// output, decoded and stripped). A document whose "success" is missing or
/// false is returned as json.loads gives it; otherwise the controller gets
/// the document's ref table and the result describes its elements. Raises
/// for text that is not JSON and for records that lack a key.
nb::object atspi_document_result(nb::object self, nb::str output);

} // namespace ombrel::vantor
