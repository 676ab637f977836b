// Raise helpers shared by the three modules.
#include "errors.hpp"

#include <cstdarg>
#include <cstring>

#include "ref.hpp"

namespace tarn {

PyObject* raise_format(PyObject* type, const char* format, ...) noexcept {
    va_list va;
    va_start(va, format);
    PyErr_FormatV(type, format, va);
    va_end(va);
    return nullptr;
}

void add_note_to_current(const char* note) noexcept {
    Ref exc = steal(PyErr_GetRaisedException());
    if (!exc) return;
    Ref res = steal(PyObject_CallMethod(exc.get(), "add_note", "s", note));
    if (!res) PyErr_Clear();
    PyErr_SetRaisedException(exc.release());
}

PyObject* raise_arg_type(const char* param, const char* expected, PyObject* value) noexcept {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 param, expected, Py_TYPE(value)->tp_name);
    // Only a value whose type derives from the expected one gets the note (an int given
    // for a str parameter is simply of the wrong type).
    bool subclass = std::strcmp(expected, "str") == 0 ? PyUnicode_Check(value)
                  : std::strcmp(expected, "int") == 0 ? PyLong_Check(value)
                                                       : false;
    if (subclass) {
        add_note_to_current(
            "Note that subclasses of built-in types are rejected: pass a value whose type is "
            "exactly the expected one.");
    }
    return nullptr;
}

}  // namespace tarn
