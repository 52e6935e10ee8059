// OmbrelContext: reading and writing files, relative to the skill's output
// directory.
#include "skills/corvex/corvex.h"

namespace ombrel::corvex {

/// An absolute path as it is; a relative one taken from the output directory.
static nb::str resolve(nb::handle self, nb::str path) {
    if (common::truth(make_path(path).attr("is_absolute")()))
        return path;
    return text_of(join(self.attr("_output_dir"), path));
}

nb::str write_file(nb::handle self, nb::handle path, nb::handle content) {
    nb::str given = common::expect_str(path, "path");
    nb::str text = common::expect_str(content, "content");
    nb::str target = resolve(self, given);
    nb::object file = make_path(target);
    file.attr("parent").attr("mkdir")("parents"_a = true, "exist_ok"_a = true);
    file.attr("write_text")(text, "encoding"_a = "utf-8");
    self.attr("log")(nb::str("Wrote file: {} ({} chars)").format(target, nb::len(text)));
    return target;
}

nb::str read_file(nb::handle self, nb::handle path) {
    nb::str source = resolve(self, common::expect_str(path, "path"));
    return nb::borrow<nb::str>(make_path(source).attr("read_text")("encoding"_a = "utf-8"));
}

} // namespace ombrel::corvex
