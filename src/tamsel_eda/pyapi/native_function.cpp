// The native function type: a C++ body wearing the full costume of a Python
// function, so that classes built from it bind, introspect, pickle and fail
// exactly like classes written in Python.
#include <structmember.h>

#include <new>
#include <vector>

#include "pyapi.hpp"

namespace tamsel::pyapi {
namespace {

struct NativeFunction {
    PyObject_HEAD vectorcallfunc vectorcall;
    const MethodDef* def;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* annotations;
    PyObject* defaults;    // tuple or None
    PyObject* kwdefaults;  // dict or None
    PyObject* globals;
    PyObject* dict;
};

NativeFunction* as_fn(PyObject* o) { return reinterpret_cast<NativeFunction*>(o); }

// ---------------------------------------------------------------------------
// Argument binding with the interpreter's own error texts
// ---------------------------------------------------------------------------

struct Shape {
    Py_ssize_t argcount = 0;  // positional-or-keyword parameters, self included
    Py_ssize_t kwonly = 0;
    bool var_keyword = false;
};

Shape shape_of(const MethodDef& def) {
    Shape s;
    for (const Param& p : def.params) {
        switch (p.kind) {
            case ParamKind::positional_or_keyword:
                ++s.argcount;
                break;
            case ParamKind::keyword_only:
                ++s.kwonly;
                break;
            case ParamKind::var_keyword:
                s.var_keyword = true;
                break;
        }
    }
    return s;
}

void too_many_positional(NativeFunction* fn, const Shape& s, Py_ssize_t given, Py_ssize_t defcount,
                         const std::vector<PyObject*>& slots) {
    Py_ssize_t kwonly_given = 0;
    for (Py_ssize_t i = s.argcount; i < s.argcount + s.kwonly; ++i) {
        if (slots[i] != nullptr) ++kwonly_given;
    }
    PyObject* sig;
    bool plural;
    if (defcount) {
        plural = true;
        sig = PyUnicode_FromFormat("from %zd to %zd", s.argcount - defcount, s.argcount);
    } else {
        plural = s.argcount != 1;
        sig = PyUnicode_FromFormat("%zd", s.argcount);
    }
    if (!sig) return;
    PyObject* kwonly_sig = kwonly_given
                               ? PyUnicode_FromFormat(" positional argument%s (and %zd keyword-only argument%s)",
                                                      given != 1 ? "s" : "", kwonly_given, kwonly_given != 1 ? "s" : "")
                               : PyUnicode_FromString("");
    if (kwonly_sig) {
        PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd%U %s given", fn->qualname, sig,
                     plural ? "s" : "", given, kwonly_sig, given == 1 && !kwonly_given ? "was" : "were");
        Py_DECREF(kwonly_sig);
    }
    Py_DECREF(sig);
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'", as the interpreter lists names.
void missing_arguments(NativeFunction* fn, const std::vector<const char*>& names, const char* kind) {
    const Py_ssize_t n = static_cast<Py_ssize_t>(names.size());
    py::list reprs;
    for (const char* nm : names) reprs.append(py::repr(py::str(nm)));
    py::str listed;
    if (n == 1) {
        listed = reprs[0];
    } else if (n == 2) {
        listed = py::str("{} and {}").format(reprs[0], reprs[1]);
    } else {
        listed = py::str("{}, and {}").format(py::str(", ").attr("join")(pyapi::head(reprs, n - 1)), reprs[n - 1]);
    }
    PyErr_Format(PyExc_TypeError, "%U() missing %zd required %s argument%s: %U", fn->qualname, n, kind,
                 n == 1 ? "" : "s", listed.ptr());
}

// A keyword default from __kwdefaults__ (a dict the user may replace), or
// nullptr; a failing key comparison propagates instead of reading "absent".
PyObject* keyword_default(PyObject* kwdefaults, const char* name) {
    if (!kwdefaults || !PyDict_Check(kwdefaults)) return nullptr;
    py::str key(name);
    PyObject* d = PyDict_GetItemWithError(kwdefaults, key.ptr());
    if (!d && PyErr_Occurred()) throw py::error_already_set();
    return d;
}

// Fills `slots` (one per parameter, new references) from a vectorcall, or
// sets the interpreter's TypeError and returns false. Runs inside the call's
// exception boundary: the messages are built through the interpreter and
// can fail like any other allocation.
bool bind(NativeFunction* fn, PyObject* const* args, size_t nargsf, PyObject* kwnames, std::vector<PyObject*>& slots) {
    const MethodDef& def = *fn->def;
    const Shape s = shape_of(def);
    const Py_ssize_t nparams = static_cast<Py_ssize_t>(def.params.size());
    const Py_ssize_t given = PyVectorcall_NARGS(nargsf);
    slots.assign(nparams, nullptr);

    for (Py_ssize_t i = 0; i < given && i < s.argcount; ++i) slots[i] = Py_NewRef(args[i]);

    PyObject* kwargs = nullptr;
    if (s.var_keyword) {
        kwargs = PyDict_New();
        if (!kwargs) return false;
        slots[nparams - 1] = kwargs;
    }

    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        PyObject* value = args[given + k];
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", fn->qualname);
            return false;
        }
        Py_ssize_t found = -1;
        for (Py_ssize_t i = 0; i < s.argcount + s.kwonly; ++i) {
            if (PyUnicode_CompareWithASCIIString(key, def.params[i].name) == 0) {
                found = i;
                break;
            }
        }
        if (found < 0) {
            if (!kwargs) {
                PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", fn->qualname, key);
                return false;
            }
            if (PyDict_SetItem(kwargs, key, value) < 0) return false;
            continue;
        }
        if (slots[found] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", fn->qualname, key);
            return false;
        }
        slots[found] = Py_NewRef(value);
    }

    const Py_ssize_t defcount = (fn->defaults && PyTuple_Check(fn->defaults)) ? PyTuple_GET_SIZE(fn->defaults) : 0;
    if (given > s.argcount) {
        too_many_positional(fn, s, given, defcount, slots);
        return false;
    }
    if (given < s.argcount) {
        const Py_ssize_t first_default = s.argcount - defcount;
        std::vector<const char*> missing;
        for (Py_ssize_t i = given; i < first_default; ++i) {
            if (!slots[i]) missing.push_back(def.params[i].name);
        }
        if (!missing.empty()) {
            missing_arguments(fn, missing, "positional");
            return false;
        }
        for (Py_ssize_t i = std::max(given, first_default); i < s.argcount; ++i) {
            if (!slots[i]) slots[i] = Py_NewRef(PyTuple_GET_ITEM(fn->defaults, i - first_default));
        }
    }
    if (s.kwonly) {
        std::vector<const char*> missing;
        for (Py_ssize_t i = s.argcount; i < s.argcount + s.kwonly; ++i) {
            if (slots[i]) continue;
            if (PyObject* d = keyword_default(fn->kwdefaults, def.params[i].name)) {
                slots[i] = Py_NewRef(d);
                continue;
            }
            missing.push_back(def.params[i].name);
        }
        if (!missing.empty()) {
            missing_arguments(fn, missing, "keyword-only");
            return false;
        }
    }
    return true;
}

// The bound arguments of one call: new references, released however the
// call ends.
struct Slots {
    std::vector<PyObject*> items;
    Slots() = default;
    Slots(const Slots&) = delete;
    Slots& operator=(const Slots&) = delete;
    ~Slots() {
        for (PyObject* o : items) Py_XDECREF(o);
    }
};

PyObject* call(NativeFunction* fn, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    Slots slots;
    if (!bind(fn, args, nargsf, kwnames, slots.items)) return nullptr;
    Frame frame(fn->globals, slots.items.data(), reinterpret_cast<PyObject*>(fn));
    py::object result = fn->def->body(frame);
    if (!result) return Py_NewRef(Py_None);
    return result.release().ptr();
}

PyObject* fn_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    NativeFunction* fn = as_fn(self);
    // Without this, `EDA.__new__(EDA).x` would recurse through __getattr__
    // in C until the stack overflows instead of raising RecursionError.
    if (Py_EnterRecursiveCall(" while calling a profilon method")) return nullptr;
    PyObject* result =
        at_c_boundary(fn->qualname, static_cast<PyObject*>(nullptr), [&] { return call(fn, args, nargsf, kwnames); });
    Py_LeaveRecursiveCall();
    return result;
}

// ---------------------------------------------------------------------------
// Type slots
// ---------------------------------------------------------------------------

int fn_traverse(PyObject* self, visitproc visit, void* arg) {
    NativeFunction* fn = as_fn(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(fn->name);
    Py_VISIT(fn->qualname);
    Py_VISIT(fn->module);
    Py_VISIT(fn->doc);
    Py_VISIT(fn->annotations);
    Py_VISIT(fn->defaults);
    Py_VISIT(fn->kwdefaults);
    Py_VISIT(fn->globals);
    Py_VISIT(fn->dict);
    return 0;
}

int fn_clear(PyObject* self) {
    NativeFunction* fn = as_fn(self);
    Py_CLEAR(fn->name);
    Py_CLEAR(fn->qualname);
    Py_CLEAR(fn->module);
    Py_CLEAR(fn->doc);
    Py_CLEAR(fn->annotations);
    Py_CLEAR(fn->defaults);
    Py_CLEAR(fn->kwdefaults);
    Py_CLEAR(fn->globals);
    Py_CLEAR(fn->dict);
    return 0;
}

void fn_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    fn_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject* fn_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* fn_repr(PyObject* self) { return PyUnicode_FromFormat("<function %U at %p>", as_fn(self)->qualname, self); }

PyObject* fn_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_fn(self)->qualname); }

PyMethodDef fn_methods[] = {
    {"__reduce__", fn_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// inspect.Signature built from the parameter table and the current
// __annotations__, __defaults__ and __kwdefaults__.
PyObject* signature(NativeFunction* fn) {
    py::module_ inspect = py::module_::import("inspect");
    py::object Parameter = inspect.attr("Parameter");
    py::object empty = Parameter.attr("empty");
    py::dict annotations = py::reinterpret_borrow<py::dict>(fn->annotations);
    const Shape s = shape_of(*fn->def);
    const Py_ssize_t defcount = (fn->defaults && PyTuple_Check(fn->defaults)) ? PyTuple_GET_SIZE(fn->defaults) : 0;
    py::list params;
    Py_ssize_t index = 0;
    for (const Param& p : fn->def->params) {
        py::object kind;
        py::object dflt = empty;
        switch (p.kind) {
            case ParamKind::positional_or_keyword:
                kind = Parameter.attr("POSITIONAL_OR_KEYWORD");
                if (index >= s.argcount - defcount) {
                    dflt = py::reinterpret_borrow<py::object>(
                        PyTuple_GET_ITEM(fn->defaults, index - (s.argcount - defcount)));
                }
                break;
            case ParamKind::keyword_only:
                kind = Parameter.attr("KEYWORD_ONLY");
                if (PyObject* d = keyword_default(fn->kwdefaults, p.name)) {
                    dflt = py::reinterpret_borrow<py::object>(d);
                }
                break;
            case ParamKind::var_keyword:
                kind = Parameter.attr("VAR_KEYWORD");
                break;
        }
        py::object ann = empty;
        if (annotations && annotations.contains(p.name)) ann = annotations[p.name];
        params.append(Parameter(p.name, kind, "default"_a = dflt, "annotation"_a = ann));
        ++index;
    }
    py::object ret = inspect.attr("Signature").attr("empty");
    if (annotations && annotations.contains("return")) ret = annotations["return"];
    return inspect.attr("Signature")(params, "return_annotation"_a = ret).release().ptr();
}

PyObject* fn_get_signature(PyObject* self, void*) {
    NativeFunction* fn = as_fn(self);
    return at_c_boundary(fn->qualname, static_cast<PyObject*>(nullptr), [&] { return signature(fn); });
}

int set_str_field(PyObject** field, PyObject* value, const char* what) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_XSETREF(*field, Py_NewRef(value));
    return 0;
}

PyObject* fn_get_name(PyObject* self, void*) { return Py_NewRef(as_fn(self)->name); }
int fn_set_name(PyObject* self, PyObject* v, void*) { return set_str_field(&as_fn(self)->name, v, "__name__"); }
PyObject* fn_get_qualname(PyObject* self, void*) { return Py_NewRef(as_fn(self)->qualname); }
int fn_set_qualname(PyObject* self, PyObject* v, void*) {
    return set_str_field(&as_fn(self)->qualname, v, "__qualname__");
}

PyObject* fn_get_defaults(PyObject* self, void*) { return Py_NewRef(as_fn(self)->defaults); }
int fn_set_defaults(PyObject* self, PyObject* v, void*) {
    if (v == nullptr) v = Py_None;
    if (v != Py_None && !PyTuple_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Py_XSETREF(as_fn(self)->defaults, Py_NewRef(v));
    return 0;
}
PyObject* fn_get_kwdefaults(PyObject* self, void*) { return Py_NewRef(as_fn(self)->kwdefaults); }
int fn_set_kwdefaults(PyObject* self, PyObject* v, void*) {
    if (v == nullptr) v = Py_None;
    if (v != Py_None && !PyDict_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_fn(self)->kwdefaults, Py_NewRef(v));
    return 0;
}
PyObject* fn_get_annotations(PyObject* self, void*) { return Py_NewRef(as_fn(self)->annotations); }
int fn_set_annotations(PyObject* self, PyObject* v, void*) {
    if (v == nullptr || v == Py_None) {
        v = PyDict_New();
        if (!v) return -1;
        Py_XSETREF(as_fn(self)->annotations, v);
        return 0;
    }
    if (!PyDict_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_fn(self)->annotations, Py_NewRef(v));
    return 0;
}

PyGetSetDef fn_getset[] = {
    {"__name__", fn_get_name, fn_set_name, nullptr, nullptr},
    {"__qualname__", fn_get_qualname, fn_set_qualname, nullptr, nullptr},
    {"__defaults__", fn_get_defaults, fn_set_defaults, nullptr, nullptr},
    {"__kwdefaults__", fn_get_kwdefaults, fn_set_kwdefaults, nullptr, nullptr},
    {"__annotations__", fn_get_annotations, fn_set_annotations, nullptr, nullptr},
    {"__signature__", fn_get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef fn_members[] = {
    {"__module__", T_OBJECT, offsetof(NativeFunction, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(NativeFunction, doc), 0, nullptr},
    {"__globals__", T_OBJECT, offsetof(NativeFunction, globals), Py_READONLY, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(NativeFunction, vectorcall), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(NativeFunction, dict), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot fn_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(fn_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(fn_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(fn_clear)},
    {Py_tp_descr_get, reinterpret_cast<void*>(fn_descr_get)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_repr, reinterpret_cast<void*>(fn_repr)},
    {Py_tp_methods, fn_methods},
    {Py_tp_getset, fn_getset},
    {Py_tp_members, fn_members},
    {0, nullptr},
};

PyType_Spec fn_spec = {
    "profilon.native_function",
    sizeof(NativeFunction),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    fn_slots,
};

}  // namespace

py::object make_function_type(py::handle module) {
    PyObject* tp = PyType_FromModuleAndSpec(module.ptr(), &fn_spec, nullptr);
    if (!tp) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(tp);
}

py::object make_function(py::handle function_type, const MethodDef& def, const char* owner_qualname,
                         py::handle globals) {
    auto* tp = reinterpret_cast<PyTypeObject*>(function_type.ptr());
    // Annotations and defaults first: a failing expression must not leave a
    // half-built object behind.
    py::dict annotations;
    py::list defaults;
    py::dict kwdefaults;
    for (const Param& p : def.params) {
        if (p.annotation) annotations[p.name] = evaluate(p.annotation, globals);
        if (p.default_expr) {
            if (p.kind == ParamKind::keyword_only) {
                kwdefaults[p.name] = evaluate(p.default_expr, globals);
            } else {
                defaults.append(evaluate(p.default_expr, globals));
            }
        }
    }
    if (def.returns) annotations["return"] = evaluate(def.returns, globals);

    py::str name(def.name);
    py::str qualname = py::str("{}.{}").format(owner_qualname, def.name);
    py::object module_name = globals.cast<py::dict>()["__name__"];
    py::object doc = def.doc ? py::object(py::str(def.doc)) : py::none();
    py::object defaults_tuple = defaults.empty() ? py::object(py::none()) : py::object(py::tuple(defaults));
    py::object kwdefaults_or_none = kwdefaults.empty() ? py::object(py::none()) : py::object(kwdefaults);

    // Owned from the allocation on: the fields start out null, which
    // deallocation and traversal accept, and nothing below can throw.
    py::object result = steal_or_throw(tp->tp_alloc(tp, 0));
    NativeFunction* fn = as_fn(result.ptr());
    fn->vectorcall = fn_vectorcall;
    fn->def = &def;
    fn->name = name.release().ptr();
    fn->qualname = qualname.release().ptr();
    fn->module = module_name.release().ptr();
    fn->doc = doc.release().ptr();
    fn->annotations = annotations.release().ptr();
    fn->defaults = defaults_tuple.release().ptr();
    fn->kwdefaults = kwdefaults_or_none.release().ptr();
    fn->globals = Py_NewRef(globals.ptr());
    fn->dict = nullptr;
    return result;
}

}  // namespace tamsel::pyapi

namespace tamsel::pyapi {

bool runs_body(py::handle fn, Body body) {
    // The type cannot be subclassed, and every module instance's copy of it
    // deallocates through the same function.
    if (!fn || Py_TYPE(fn.ptr())->tp_dealloc != fn_dealloc) return false;
    const MethodDef* def = as_fn(fn.ptr())->def;
    return def != nullptr && def->body == body;
}

bool own_method(py::handle self, const char* name) {
    py::object inst_dict = getattr_or_none(self, "__dict__");
    if (PyDict_Check(inst_dict.ptr()) && PyDict_GetItemString(inst_dict.ptr(), name) != nullptr) return false;
    py::object mro = getattr_or_none(py::type::handle_of(self), "__mro__");
    if (!PyTuple_Check(mro.ptr())) return false;
    py::str key(name);
    for (py::handle cls : py::reinterpret_borrow<py::tuple>(mro)) {
        py::object cls_dict = cls.attr("__dict__");
        if (!truthy(cls_dict.attr("__contains__")(key))) continue;
        py::object fn = cls_dict[key];
        if (Py_TYPE(fn.ptr())->tp_dealloc != fn_dealloc) return false;
        return std::string(py::str(fn.attr("__qualname__"))) == std::string("EDA.") + name;
    }
    return false;
}

}  // namespace tamsel::pyapi
