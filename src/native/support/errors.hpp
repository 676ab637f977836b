// Raise helpers: each sets an exception and returns the failure value, so a raise is one statement;
// and the two pieces of an `except Exception as e:` block.
//
// Several messages copy the wording of Cython-generated extension modules, so code written against
// such modules sees the same text: the exact-type message of raise_arg_type, and in module.cpp the
// re-initialisation and interpreter-change messages and the version warning.
#pragma once
#include <Python.h>

#include "compiler.hpp"
#include "ref.hpp"

namespace tarn {

TARN_COLD inline PyObject* raise(PyObject* type, const char* message) noexcept {
    PyErr_SetString(type, message);
    return nullptr;
}

TARN_COLD inline int raise_int(PyObject* type, const char* message) noexcept {
    PyErr_SetString(type, message);
    return -1;
}

// Formats like PyErr_Format and returns nullptr.
TARN_COLD PyObject* raise_format(PyObject* type, const char* format, ...) noexcept;

// TypeError "Argument '<param>' has incorrect type (expected <expected>, got <type>)", with a
// note added when the value's type is a subclass of the expected built-in type.
TARN_COLD PyObject* raise_arg_type(const char* param, const char* expected, PyObject* value) noexcept;

// Adds `note` to the exception being raised (exception.add_note); keeps the original
// exception when adding the note fails.
void add_note_to_current(const char* note) noexcept;

// `except Exception as e:` takes the raised exception and returns it when it belongs to the
// Exception family; anything else (KeyboardInterrupt, SystemExit) stays raised and an empty Ref
// comes back, so the caller returns its failure value at once.
inline Ref catch_exception() noexcept {
    Ref exc = steal(PyErr_GetRaisedException());
    if (exc && PyErr_GivenExceptionMatches(exc.get(), PyExc_Exception)) return exc;
    PyErr_SetRaisedException(exc.release());
    return Ref();
}

// The body of an except block: while it lives, `exc` is the exception being handled, so an
// error raised there is chained to it as in Python code. Replaces:
//     prev = PyErr_GetHandledException(); PyErr_SetHandledException(exc); ...;
//     PyErr_SetHandledException(prev); Py_XDECREF(prev);
class ExceptBlock {
public:
    explicit ExceptBlock(PyObject* exc) noexcept : previous_(PyErr_GetHandledException()) {
        PyErr_SetHandledException(exc);
    }
    ~ExceptBlock() {
        PyErr_SetHandledException(previous_);
        Py_XDECREF(previous_);
    }
    ExceptBlock(const ExceptBlock&) = delete;
    ExceptBlock& operator=(const ExceptBlock&) = delete;

private:
    PyObject* previous_;
};

}  // namespace tarn
