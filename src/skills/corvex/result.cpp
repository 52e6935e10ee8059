// PythonSkillResult: a standard dataclass, built by the dataclasses module
// itself, with `to_dict` attached.
#include "skills/corvex/corvex.h"

namespace ombrel::corvex {


static const char *result_doc = "Result of a Python skill execution.";

/// `to_dict()`: the record as a new dictionary, keys in their fixed order;
/// the duration rounded by Python's own `round` (half to even).
static nb::dict result_to_dict(nb::handle self) {
    nb::object round = import_module("builtins").attr("round");
    nb::dict out;
    out["success"] = self.attr("success");
    out["skill_name"] = self.attr("skill_name");
    out["result"] = self.attr("result");
    out["error"] = self.attr("error");
    out["logs"] = self.attr("logs");
    out["duration_seconds"] = round(self.attr("duration"), 2);
    out["output_files"] = self.attr("output_files");
    return out;
}

nb::object make_result_type(nb::handle module) {
    nb::module_ dataclasses = import_module("dataclasses");
    nb::module_ typing = import_module("typing");
    nb::object field = dataclasses.attr("field");
    nb::object list_factory = nb::borrow((PyObject *) &PyList_Type);
    nb::handle str_type = (PyObject *) &PyUnicode_Type;
    nb::object list_of_str =
        import_module("types").attr("GenericAlias")(list_factory, str_type);
    nb::object optional_str = typing.attr("Optional")[str_type];

    nb::list fields;
    fields.append(nb::make_tuple("success", nb::handle((PyObject *) &PyBool_Type)));
    fields.append(nb::make_tuple("skill_name", str_type));
    fields.append(nb::make_tuple("result", typing.attr("Any"), field("default"_a = nb::none())));
    fields.append(nb::make_tuple("error", optional_str, field("default"_a = nb::none())));
    fields.append(nb::make_tuple("logs", list_of_str, field("default_factory"_a = list_factory)));
    fields.append(nb::make_tuple("duration", nb::handle((PyObject *) &PyFloat_Type),
                                 field("default"_a = 0.0)));
    fields.append(nb::make_tuple("output_files", list_of_str,
                                 field("default_factory"_a = list_factory)));

    nb::dict namespace_;
    namespace_["__doc__"] = result_doc;
    namespace_["__module__"] = nb::getattr(module, "__name__");
    nb::dict options;
    options["namespace"] = namespace_;
#if PY_VERSION_HEX >= 0x030C0000
    // Otherwise the class would be named after whichever Python frame
    // happens to be importing this module.
    options["module"] = nb::getattr(module, "__name__");
#endif
    nb::object cls = dataclasses.attr("make_dataclass")("PythonSkillResult", fields, **options);

    nb::cpp_function_def(
        &result_to_dict, nb::scope(cls), nb::name("to_dict"), nb::is_method(),
        nb::sig("def to_dict(self) -> dict[str, typing.Any]"),
        "The result as a plain dictionary: \"success\", \"skill_name\", "
        "\"result\", \"error\", \"logs\", \"duration_seconds\" (the duration "
        "rounded to 2 decimals) and \"output_files\".");
    return cls;
}

nb::object new_result(ResultFields fields) {
    static const common::Interned success("success"), skill_name("skill_name"),
        result("result"), error("error"), logs("logs"), duration("duration"),
        output_files("output_files");
    nb::float_ seconds(fields.duration);
    // Keyword arguments as the record's constructor takes them; the lists
    // are left to their default factories when not given.
    PyObject *args[7];
    PyObject *keys[7];
    Py_ssize_t count = 0;
    auto add = [&](const common::Interned &key, nb::handle value) {
        keys[count] = key.get().ptr();
        args[count++] = value.ptr();
    };
    add(success, fields.success);
    add(skill_name, fields.skill_name);
    add(result, fields.result);
    add(error, fields.error);
    if (fields.logs.is_valid())
        add(logs, fields.logs);
    add(duration, seconds);
    if (fields.output_files.is_valid())
        add(output_files, fields.output_files);
    // One tuple of names per combination of the optional lists, made once.
    static PyObject *keyword_tuples[4] = {};
    PyObject *&keywords =
        keyword_tuples[(fields.logs.is_valid() ? 1 : 0) + (fields.output_files.is_valid() ? 2 : 0)];
    if (!keywords) {
        nb::object tuple = common::checked(PyTuple_New(count));
        for (Py_ssize_t i = 0; i < count; ++i)
            common::tuple_fill(tuple.ptr(), i, Py_NewRef(keys[i]));
        keywords = tuple.release().ptr();
    }
    nb::object cls = module_attr(names::PythonSkillResult);
    return common::checked(PyObject_Vectorcall(cls.ptr(), args, 0, keywords));
}

} // namespace ombrel::corvex
