// Classes assembled the way a class statement in a Python module assembles
// them, so that type() and dataclass() see exactly what they would see there.
#include "pyapi.hpp"

namespace tamsel::pyapi {

py::object evaluate(const char* expr, py::handle globals) {
    PyObject* r = PyRun_String(expr, Py_eval_input, globals.ptr(), globals.ptr());
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

py::object make_class(py::handle function_type, py::handle globals, const char* name, std::span<const FieldDef> fields,
                      std::span<const MethodDef* const> methods) {
    py::dict body;
    // Without __module__, type() would take the calling frame's module.
    body["__module__"] = py::reinterpret_borrow<py::dict>(globals)["__name__"];
    body["__qualname__"] = py::str(name);
    if (!fields.empty()) {
        py::dict annotations;
        for (const FieldDef& f : fields) annotations[f.name] = evaluate(f.annotation, globals);
        body["__annotations__"] = annotations;
        for (const FieldDef& f : fields) {
            if (f.default_expr) body[f.name] = evaluate(f.default_expr, globals);
        }
    }
    for (const MethodDef* m : methods) body[m->name] = make_function(function_type, *m, name, globals);
    py::tuple bases;
    return py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type))(py::str(name), bases, body);
}

}  // namespace tamsel::pyapi
