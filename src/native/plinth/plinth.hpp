// Declarations shared by the files of the driver base module: its state, the method tables
// and small helpers.
#pragma once
#include <Python.h>

#include "function.hpp"
#include "ref.hpp"
#include "state.hpp"

namespace tarn::plinth {

// Objects the module keeps from load on, each with its initialiser. Names are interned once,
// so attribute and keyword lookups on the hot path compare pointers first.
#define TARN_PLINTH_STATE(X)                                                                       \
    /* attribute, method and keyword names */                                                     \
    X(s_addr, tarn::interned("addr"))                                                              \
    X(s_host, tarn::interned("host"))                                                              \
    X(s_port, tarn::interned("port"))                                                              \
    X(s_timeout, tarn::interned("timeout"))                                                        \
    X(s_model, tarn::interned("model"))                                                            \
    X(s_srate, tarn::interned("srate"))                                                            \
    X(s_config, tarn::interned("config"))                                                          \
    X(s_quantities, tarn::interned("quantities"))                                                  \
    X(s_quants, tarn::interned("quants"))                                                          \
    X(s_CHs, tarn::interned("CHs"))                                                                \
    X(s_name, tarn::interned("name"))                                                              \
    X(s_default, tarn::interned("default"))                                                        \
    X(s_ch, tarn::interned("ch"))                                                                  \
    X(s_value, tarn::interned("value"))                                                            \
    X(s_mode, tarn::interned("mode"))                                                              \
    X(s_target, tarn::interned("target"))                                                          \
    X(s_open, tarn::interned("open"))                                                              \
    X(s_close, tarn::interned("close"))                                                            \
    X(s_read, tarn::interned("read"))                                                              \
    X(s_write, tarn::interned("write"))                                                            \
    X(s_info, tarn::interned("info"))                                                              \
    X(s_check, tarn::interned("check"))                                                            \
    X(s_update, tarn::interned("update"))                                                          \
    X(s_dict_from_quantity, tarn::interned("dict_from_quantity"))                                  \
    X(s_module_attr, tarn::interned("__module__"))                                                 \
    X(s_spec_attr, tarn::interned("__spec__"))                                                     \
    X(s_origin, tarn::interned("origin"))                                                          \
    X(s_modules, tarn::interned("modules"))                                                        \
    /* globals looked up in the module namespace at each use */                                   \
    X(s_newcfg, tarn::interned("newcfg"))                                                          \
    X(s_sys, tarn::interned("sys"))                                                                \
    X(s_deepcopy, tarn::interned("deepcopy"))                                                      \
    X(s_decompress, tarn::interned("decompress"))                                                  \
    X(s_ABC, tarn::interned("ABC"))                                                                \
    /* texts compared with or printed */                                                          \
    X(s_empty, tarn::interned(""))                                                                 \
    X(s_global, tarn::interned("global"))                                                          \
    X(s_debug, tarn::interned("debug"))                                                            \
    X(s_Waveform, tarn::interned("Waveform"))                                                      \
    X(s_quantity, tarn::interned("quantity"))                                                      \
    X(s_SET, tarn::interned("SET"))                                                                \
    X(s_GET, tarn::interned("GET"))                                                                \
    X(s_CH, tarn::interned("CH"))                                                                  \
    X(s_CHglobal, tarn::interned("CHglobal"))                                                      \
    /* constructor defaults */                                                                    \
    X(default_host, tarn::interned("127.0.0.1"))                                                   \
    X(default_port, PyLong_FromLong(0))                                                            \
    X(default_timeout, PyFloat_FromDouble(3.0))                                                    \
    X(default_model, tarn::interned("None"))                                                       \
    X(default_srate, PyLong_FromLong(-1))                                                          \
    X(one, PyLong_FromLong(1))

struct State {
    TARN_STATE_FIELDS(TARN_PLINTH_STATE)
    // Whether check() tests its arguments: __debug__ as it was when the module was imported.
    bool assertions = true;
};

extern State state;

// The methods of Plinth, in the order of the class namespace, which module.cpp hands to the
// class: construction, description, context manager, finaliser and the device operations'
// base bodies (driver.cpp), then check, update, setValue and getValue (quantities.cpp).
extern const tarn::Definitions driver_methods;
extern const tarn::Definitions quantity_methods;

// format(value, ""): the text that f-strings and print show. Returns a new reference.
inline PyObject* format_text(PyObject* value) noexcept {
    return PyObject_Format(value, state.s_empty.get());
}

// Equality of two exact str objects (cannot fail); texts of different lengths are told apart
// without a call.
inline bool same_text(PyObject* a, PyObject* b) noexcept {
    if (a == b) return true;
    return PyUnicode_GET_LENGTH(a) == PyUnicode_GET_LENGTH(b) && PyUnicode_Compare(a, b) == 0;
}

// mapping[key] (new reference), straight through the dict for exact dicts. A missing key takes
// the generic path so the error is exactly the one indexing raises.
inline PyObject* get_item(PyObject* mapping, PyObject* key) noexcept {
    if (PyDict_CheckExact(mapping)) {
        PyObject* value = nullptr;
        if (PyDict_GetItemRef(mapping, key, &value) != 0) return value;  // found, or an error
    }
    return PyObject_GetItem(mapping, key);
}

// mapping[key] = value; -1 on failure.
inline int set_item(PyObject* mapping, PyObject* key, PyObject* value) noexcept {
    return PyDict_CheckExact(mapping) ? PyDict_SetItem(mapping, key, value)
                                      : PyObject_SetItem(mapping, key, value);
}

// key in container; -1 on failure.
inline int contains(PyObject* container, PyObject* key) noexcept {
    return PyDict_CheckExact(container) ? PyDict_Contains(container, key)
                                        : PySequence_Contains(container, key);
}

// The text form of a channel: a str unchanged, repr() of an exact int or float, otherwise
// format(value, ""). Returns a new reference.
PyObject* channel_text(PyObject* channel) noexcept;

}  // namespace tarn::plinth
