// Raise helpers: each sets an exception and returns the failure value, so a raise is one statement.
#pragma once
#include <Python.h>

namespace tarn {

[[gnu::cold]] inline PyObject* raise(PyObject* type, const char* message) noexcept {
    PyErr_SetString(type, message);
    return nullptr;
}

[[gnu::cold]] inline int raise_int(PyObject* type, const char* message) noexcept {
    PyErr_SetString(type, message);
    return -1;
}

// Formats like PyErr_Format and returns nullptr.
[[gnu::cold]] PyObject* raise_format(PyObject* type, const char* format, ...) noexcept;

// TypeError "Argument '<param>' has incorrect type (expected <expected>, got <type>)", with a
// note added when the value's type is a subclass of the expected built-in type.
[[gnu::cold]] PyObject* raise_arg_type(const char* param, const char* expected,
                                       PyObject* value) noexcept;

// Adds `note` to the exception being raised (exception.add_note); keeps the original
// exception when adding the note fails.
void add_note_to_current(const char* note) noexcept;

// True when the exception being raised is an instance of `type` (which may be a tuple).
inline bool error_matches(PyObject* type) noexcept { return PyErr_ExceptionMatches(type) != 0; }

}  // namespace tarn
