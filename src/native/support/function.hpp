// The native function type: one type for every function and method of the three modules, with
// vectorcall, method binding, argument binding by a constant signature, and Python metadata.
#pragma once
#include <Python.h>

#include <cstdint>

#include "ref.hpp"

namespace tarn {

// The exact-type requirement of a parameter (annotation "str", "int" or "str | None").
enum class Check : std::uint8_t { any, exact_str, exact_int, exact_str_or_none };

struct Param {
    const char* name;
    Check check = Check::any;
    const char* annotation = nullptr;  // text annotation, or none
};

// A constant description of a function's parameters: positional-or-keyword parameters
// (including `self` for methods), of which the last `params - required` take defaults, and
// optionally a `**kw` parameter that collects the other keywords.
struct Signature {
    const char* name;      // __name__, also used in argument-error messages
    const char* qualname;  // __qualname__
    const char* doc;       // __doc__, or nullptr for None
    const Param* params;
    int nparams;
    int required;
    const char* var_kw = nullptr;  // name of the **kw parameter, or nullptr
};

// The keywords that a **kw parameter collected, as a vectorcall keyword view: `names` is a
// tuple of str (borrowed) and `values` its matching values (borrowed). Empty when the caller
// passed none; then no tuple or dict was made.
struct Keywords {
    PyObject* names = nullptr;
    PyObject* const* values = nullptr;

    Py_ssize_t size() const noexcept { return names ? PyTuple_GET_SIZE(names) : 0; }
    // The value passed for `key` (compared by identity first, then by text), or nullptr.
    PyObject* find(PyObject* key) const noexcept { return names ? find_given(key) : nullptr; }
    // A new dict of the keywords, for callers that need a mapping.
    PyObject* to_dict() const noexcept;

private:
    PyObject* find_given(PyObject* key) const noexcept;
};

// A function body: `args` holds one borrowed value per parameter (defaults filled in),
// `kw` the collected keywords. Returns a new reference, or nullptr with an exception set.
using Impl = PyObject* (*)(PyObject* const* args, const Keywords& kw) noexcept;

// Creates a function object of the module's function type. `defaults` (borrowed, may be
// nullptr) is the tuple for the last `nparams - required` parameters. Returns a new reference.
PyObject* new_function(const Signature& sig, Impl impl, PyObject* defaults = nullptr) noexcept;

// Creates the function type; called once by the module setup. Returns a new reference.
PyObject* create_function_type(const char* module_name) noexcept;

// Calls `obj.<name>(*args)` with vectorcall, through ordinary attribute lookup and without
// allocating a bound method. `args[0]` must be `obj`; the slot before args[0] may be
// overwritten (PY_VECTORCALL_ARGUMENTS_OFFSET).
inline PyObject* call_method(PyObject* name, PyObject* const* args, size_t nargs,
                             PyObject* kwnames = nullptr) noexcept {
    return PyObject_VectorcallMethod(name, const_cast<PyObject**>(args),
                                     nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames);
}

}  // namespace tarn
