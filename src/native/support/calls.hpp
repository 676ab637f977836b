// Calling methods from C++: `obj.<name>(args...)` through ordinary attribute lookup, with
// vectorcall and without a bound method.
#pragma once
#include <Python.h>

#include <cstddef>

namespace tarn {

// self.<name>(args...): every argument is a borrowed PyObject*. The argument vector lives on
// the stack with a scratch slot in front, so CPython may call an unbound method in place
// (PY_VECTORCALL_ARGUMENTS_OFFSET) and nothing is allocated. Returns a new reference, or
// nullptr with an exception set.
template <class... Args>
inline PyObject* call_method(PyObject* name, PyObject* self, Args... args) noexcept {
    PyObject* argv[] = {nullptr, self, args...};
    return PyObject_VectorcallMethod(name, argv + 1, (1 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                     nullptr);
}

// The same for a vector the caller built, for calls that pass keywords: `args[0]` is the
// object, `nargs` counts the positional arguments (the object included) and `kwnames` names
// the values that follow them. The slot before args[0] may be overwritten.
inline PyObject* call_method(PyObject* name, PyObject* const* args, std::size_t nargs,
                             PyObject* kwnames = nullptr) noexcept {
    return PyObject_VectorcallMethod(name, const_cast<PyObject**>(args),
                                     nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames);
}

}  // namespace tarn
