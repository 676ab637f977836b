// The native function type: binding, argument errors, descriptor and metadata.
#include "function.hpp"

#include <structmember.h>

#include <cstdint>
#include <cstring>

#include "compiler.hpp"
#include "errors.hpp"
#include "module.hpp"
#include "small_array.hpp"

namespace tarn {

namespace {

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const Signature* sig;
    Impl impl;
    // Copied out of the signature so the common call touches only this object.
    int nparams;
    int nchecks;                      // parameters with an exact-type requirement
    std::uint8_t checked[kMaxParams];  // their positions
    PyObject* names;     // tuple of interned parameter names
    PyObject* defaults;  // tuple, or nullptr
    PyObject* dict;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* annotations;
    PyObject* globals;   // the defining module's namespace
    PyObject* weaklist;  // weak references to the function (event libraries hold methods so)
};

bool text_equal(PyObject* a, PyObject* b) noexcept {
    if (a == b) return true;
    return PyUnicode_Compare(a, b) == 0;  // both are str: never fails
}

TARN_COLD PyObject* raise_count(const Signature& s, Py_ssize_t found) noexcept {
    Py_ssize_t expected;
    const char* more_or_less;
    if (found < s.required) {
        expected = s.required;
        more_or_less = "at least";
    } else {
        expected = s.nparams;
        more_or_less = "at most";
    }
    if (s.required == s.nparams) more_or_less = "exactly";
    return raise_format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                        s.name, more_or_less, expected, expected == 1 ? "" : "s", found);
}

TARN_COLD PyObject* raise_type(const Param& p, PyObject* v) noexcept {
    return raise_arg_type(p.name, p.check == Check::exact_int ? "int" : "str", v);
}

inline bool type_ok(Check c, PyObject* v) noexcept {
    switch (c) {
        case Check::any: return true;
        case Check::exact_str: return PyUnicode_CheckExact(v);
        case Check::exact_int: return PyLong_CheckExact(v);
        case Check::exact_str_or_none: return v == Py_None || PyUnicode_CheckExact(v);
    }
    return true;
}

inline PyObject* run(Function* f, PyObject* const* args, const Keywords& kw) noexcept {
    for (int k = 0; k < f->nchecks; ++k) {
        const Param& p = f->sig->params[f->checked[k]];
        if (!type_ok(p.check, args[f->checked[k]])) [[unlikely]]
            return raise_type(p, args[f->checked[k]]);
    }
    return f->impl(args, kw);
}

// The general path: keywords given, or fewer positional arguments than parameters. Kept out of
// line so the common call stays a few instructions.
TARN_NOINLINE PyObject* bind_slow(Function* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    const Signature& s = *f->sig;
    PyObject* bound[kMaxParams] = {};
    for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];

    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    Keywords extra;
    Ref extra_names;
    SmallArray<PyObject*, 8> extra_values;
    if (nkw) {
        // Mark which keywords bind to parameters; the rest go to **kw.
        SmallArray<bool, 16> is_param;
        if (!is_param.resize(nkw) || !extra_values.resize(nkw)) return PyErr_NoMemory();
        Py_ssize_t matched = 0;
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            int j = -1;
            for (int i = 0; i < s.nparams && j < 0; ++i)
                if (PyTuple_GET_ITEM(f->names, i) == key) j = i;
            for (int i = 0; i < s.nparams && j < 0; ++i)
                if (text_equal(PyTuple_GET_ITEM(f->names, i), key)) j = i;
            is_param[k] = j >= 0;
            if (j < 0) {
                if (!s.var_kw)
                    return raise_format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                                        s.name, key);
                continue;
            }
            if (bound[j])
                return raise_format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                                    s.name, key);
            bound[j] = args[nargs + k];
            ++matched;
        }
        if (matched == 0) {
            extra.names = kwnames;  // every keyword is collected: reuse the caller's view
            extra.values = args + nargs;
        } else if (matched < nkw) {
            extra_names = steal(PyTuple_New(nkw - matched));
            if (!extra_names) return nullptr;
            Py_ssize_t n = 0;
            for (Py_ssize_t k = 0; k < nkw; ++k) {
                if (is_param[k]) continue;
                PyTuple_SET_ITEM(extra_names.get(), n, Py_NewRef(PyTuple_GET_ITEM(kwnames, k)));
                extra_values[n++] = args[nargs + k];
            }
            extra.names = extra_names.get();
            extra.values = extra_values.data();
        }
    }
    Py_ssize_t first_default = s.required;
    for (int i = static_cast<int>(nargs); i < s.nparams; ++i) {
        if (bound[i]) continue;
        if (i < first_default) return raise_count(s, i);
        bound[i] = PyTuple_GET_ITEM(f->defaults, i - first_default);
    }
    return run(f, bound, extra);
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) noexcept {
    auto* f = reinterpret_cast<Function*>(self);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    bool no_keywords = !kwnames || PyTuple_GET_SIZE(kwnames) == 0;
    if (nargs == f->nparams && no_keywords) [[likely]]
        return run(f, args, Keywords{});
    const Signature& s = *f->sig;
    if (nargs > s.nparams) return raise_count(s, nargs);
    if (no_keywords) {
        if (nargs < s.required) return raise_count(s, nargs);
        kwnames = nullptr;
    }
    return bind_slow(f, args, nargs, kwnames);
}

// Every object the function owns. The writable fields can close a cycle (__name__ and
// __qualname__ too: they may be str subclasses with a __dict__). The names tuple and the
// defaults were made before the function, so they reach it only through objects that the
// collector clears itself; they are visited all the same so it sees every reference.
int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    auto* f = reinterpret_cast<Function*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->names);
    Py_VISIT(f->defaults);
    Py_VISIT(f->dict);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->annotations);
    Py_VISIT(f->globals);
    return 0;
}

// Breaks cycles as CPython's functions do: the names, which repr and the binder's messages
// read, become the empty str instead of null; the defaults and parameter names stay, so a call
// still binds.
int function_clear(PyObject* self) noexcept {
    auto* f = reinterpret_cast<Function*>(self);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->globals);
    Py_SETREF(f->name, Py_GetConstant(Py_CONSTANT_EMPTY_STR));
    Py_SETREF(f->qualname, Py_GetConstant(Py_CONSTANT_EMPTY_STR));
    return 0;
}

void function_dealloc(PyObject* self) noexcept {
    auto* f = reinterpret_cast<Function*>(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (f->weaklist) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->names);
    Py_CLEAR(f->defaults);
    type->tp_free(self);
    Py_DECREF(type);
}

// Functions bind to instances as methods, as Python functions do.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

// __name__ and __qualname__ can be replaced while another thread reads them (free-threaded
// build, GIL off): they are read and swapped under the function's critical section, as
// CPython's members are (a no-op with the GIL). The replaced object is dropped after the
// section, since dropping it can run arbitrary code.
PyObject* load_field([[maybe_unused]] PyObject* self, PyObject* const& field) noexcept {
    PyObject* value;
    Py_BEGIN_CRITICAL_SECTION(self);
    value = Py_NewRef(field);
    Py_END_CRITICAL_SECTION();
    return value;
}

void store_field([[maybe_unused]] PyObject* self, PyObject*& field, PyObject* value) noexcept {
    PyObject* old;
    Py_BEGIN_CRITICAL_SECTION(self);
    old = field;
    field = Py_NewRef(value);
    Py_END_CRITICAL_SECTION();
    Py_DECREF(old);
}

PyObject* function_repr(PyObject* self) noexcept {
    Ref qualname = steal(load_field(self, reinterpret_cast<Function*>(self)->qualname));
    return PyUnicode_FromFormat("<function %U at %p>", qualname.get(), self);
}

PyObject* get_defaults(PyObject* self, void*) noexcept {
    auto* f = reinterpret_cast<Function*>(self);
    return Py_NewRef(f->defaults ? f->defaults : Py_None);
}

PyObject* get_kwdefaults(PyObject*, void*) noexcept { Py_RETURN_NONE; }

// __name__ and __qualname__ stay str, as on Python functions: repr and error messages format
// them as text.
int set_text(PyObject* self, PyObject*& field, PyObject* value, const char* message) noexcept {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    store_field(self, field, value);
    return 0;
}

PyObject* get_name(PyObject* self, void*) noexcept {
    return load_field(self, reinterpret_cast<Function*>(self)->name);
}

int set_name(PyObject* self, PyObject* value, void*) noexcept {
    return set_text(self, reinterpret_cast<Function*>(self)->name, value, "__name__ must be set to a string object");
}

PyObject* get_qualname(PyObject* self, void*) noexcept {
    return load_field(self, reinterpret_cast<Function*>(self)->qualname);
}

int set_qualname(PyObject* self, PyObject* value, void*) noexcept {
    return set_text(self, reinterpret_cast<Function*>(self)->qualname, value,
                    "__qualname__ must be set to a string object");
}

// inspect.Signature of the true parameters, so help() and IDEs show them.
PyObject* get_signature(PyObject* self, void*) noexcept {
    auto* f = reinterpret_cast<Function*>(self);
    const Signature& s = *f->sig;
    Ref inspect = steal(PyImport_ImportModule("inspect"));
    if (!inspect) return nullptr;
    Ref parameter = steal(PyObject_GetAttrString(inspect.get(), "Parameter"));
    Ref signature = steal(PyObject_GetAttrString(inspect.get(), "Signature"));
    if (!parameter || !signature) return nullptr;
    Ref pos_or_kw = steal(PyObject_GetAttrString(parameter.get(), "POSITIONAL_OR_KEYWORD"));
    Ref var_kw = steal(PyObject_GetAttrString(parameter.get(), "VAR_KEYWORD"));
    if (!pos_or_kw || !var_kw) return nullptr;
    Ref params = steal(PyList_New(0));
    if (!params) return nullptr;
    auto add = [&](const char* name, PyObject* kind, PyObject* dflt, const char* ann) -> bool {
        Ref kwargs = steal(PyDict_New());
        if (!kwargs) return false;
        if (dflt && PyDict_SetItemString(kwargs.get(), "default", dflt) < 0) return false;
        if (ann) {
            Ref text = steal(PyUnicode_FromString(ann));
            if (!text || PyDict_SetItemString(kwargs.get(), "annotation", text.get()) < 0) return false;
        }
        Ref pname = steal(PyUnicode_FromString(name));
        if (!pname) return false;
        PyObject* argv[] = {pname.get(), kind};
        Ref p = steal(PyObject_VectorcallDict(parameter.get(), argv, 2, kwargs.get()));
        return p && PyList_Append(params.get(), p.get()) == 0;
    };
    for (int i = 0; i < s.nparams; ++i) {
        PyObject* dflt = i >= s.required ? PyTuple_GET_ITEM(f->defaults, i - s.required) : nullptr;
        if (!add(s.params[i].name, pos_or_kw.get(), dflt, s.params[i].annotation)) return nullptr;
    }
    if (s.var_kw && !add(s.var_kw, var_kw.get(), nullptr, nullptr)) return nullptr;
    return PyObject_CallOneArg(signature.get(), params.get());
}

// Pickled by reference, like other module-level functions and methods.
PyObject* function_reduce(PyObject* self, PyObject*) noexcept {
    return load_field(self, reinterpret_cast<Function*>(self)->qualname);
}

PyMemberDef function_members[] = {
    {"__module__", Py_T_OBJECT_EX, offsetof(Function, module), 0, nullptr},
    {"__doc__", Py_T_OBJECT_EX, offsetof(Function, doc), 0, nullptr},
    {"__annotations__", Py_T_OBJECT_EX, offsetof(Function, annotations), 0, nullptr},
    // Where typing.get_type_hints and inspect.get_annotations resolve the text annotations.
    {"__globals__", Py_T_OBJECT_EX, offsetof(Function, globals), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(Function, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(Function, weaklist), Py_READONLY, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(Function, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyObject* Keywords::find_given(PyObject* key) const noexcept {
    Py_ssize_t n = size();
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyTuple_GET_ITEM(names, i) == key) return values[i];
    for (Py_ssize_t i = 0; i < n; ++i)
        if (text_equal(PyTuple_GET_ITEM(names, i), key)) return values[i];
    return nullptr;
}

PyObject* create_function_type() noexcept {
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
        {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
        {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
        {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
        {Py_tp_members, function_members},
        {Py_tp_getset, function_getset},
        {Py_tp_methods, function_methods},
        {0, nullptr},
    };
    static PyType_Spec spec = {
        "tarn.function",
        sizeof(Function),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
            Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
        slots,
    };
    return PyType_FromSpec(&spec);
}

PyObject* new_function(const Signature& sig, Impl impl, PyObject* defaults) noexcept {
    // The binder and __signature__ read one default per parameter after `required`.
    Py_ssize_t ndefaults = defaults && PyTuple_Check(defaults) ? PyTuple_GET_SIZE(defaults) : 0;
    if (sig.nparams < 0 || sig.nparams > kMaxParams || sig.required < 0 || sig.required > sig.nparams ||
        (defaults && !PyTuple_Check(defaults)) || ndefaults != sig.nparams - sig.required) {
        return raise_format(PyExc_SystemError, "invalid native function signature for %s()", sig.name);
    }
    PyObject* globals = module_dict();
    if (!globals) return raise(PyExc_SystemError, "native functions are made while their module executes");
    auto* type = reinterpret_cast<PyTypeObject*>(module_function_type());
    auto* f = PyObject_GC_New(Function, type);
    if (!f) return nullptr;
    f->vectorcall = function_vectorcall;
    f->sig = &sig;
    f->impl = impl;
    f->nparams = sig.nparams;
    f->nchecks = 0;
    f->names = f->defaults = f->dict = f->name = f->qualname = f->module = f->doc = f->annotations =
        f->globals = f->weaklist = nullptr;
    Ref self = steal(reinterpret_cast<PyObject*>(f));  // dealloc copes with the null fields

    if (!(f->names = PyTuple_New(sig.nparams))) return nullptr;
    if (!(f->annotations = PyDict_New())) return nullptr;
    for (int i = 0; i < sig.nparams; ++i) {
        PyObject* n = PyUnicode_InternFromString(sig.params[i].name);
        if (!n) return nullptr;
        PyTuple_SET_ITEM(f->names, i, n);
        if (sig.params[i].check != Check::any) f->checked[f->nchecks++] = static_cast<std::uint8_t>(i);
        if (sig.params[i].annotation) {
            Ref text = steal(PyUnicode_FromString(sig.params[i].annotation));
            if (!text || PyDict_SetItem(f->annotations, n, text.get()) < 0) return nullptr;
        }
    }
    f->defaults = Py_XNewRef(defaults);
    if (!(f->name = PyUnicode_InternFromString(sig.name))) return nullptr;
    if (!(f->qualname = PyUnicode_FromString(sig.qualname))) return nullptr;
    f->module = Py_NewRef(module_name_object());
    f->globals = Py_NewRef(globals);
    if (sig.doc) {
        if (!(f->doc = PyUnicode_FromString(sig.doc))) return nullptr;
    } else {
        f->doc = Py_NewRef(Py_None);
    }
    PyObject_GC_Track(self.get());
    return self.release();
}

PyObject* new_function(const Definition& definition) noexcept {
    Ref defaults;
    if (definition.defaults && !(defaults = steal(definition.defaults()))) return nullptr;
    return new_function(definition.signature, definition.impl, defaults.get());
}

}  // namespace tarn
