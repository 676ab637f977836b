// Declarations shared by the files of the driver base module: its state and the builders.
#pragma once
#include <Python.h>

#include "ref.hpp"

namespace plinth {

// Objects the module keeps from load to unload. Names are interned once, so attribute and
// keyword lookups on the hot path compare pointers first.
#define PLINTH_STATE_FIELDS(X)                                                                      \
    /* attribute, method and keyword names */                                                     \
    X(s_addr) X(s_host) X(s_port) X(s_timeout) X(s_model) X(s_srate) X(s_config) X(s_quantities)  \
    X(s_quants) X(s_CHs) X(s_name) X(s_default) X(s_ch) X(s_value) X(s_mode) X(s_target)          \
    X(s_open) X(s_close) X(s_read) X(s_write) X(s_info) X(s_check) X(s_update)                    \
    X(s_dict_from_quantity) X(s_module_attr) X(s_spec_attr) X(s_origin) X(s_modules) X(s_ndim)    \
    X(s_dtype) X(s_kind) X(s_byteorder) X(s_str) X(s_view)                                       \
    /* globals looked up in the module namespace at each use */                                   \
    X(s_newcfg) X(s_sys) X(s_deepcopy) X(s_decompress) X(s_abstractmethod) X(s_ABC)               \
    /* texts compared with or printed */                                                          \
    X(s_empty) X(s_global) X(s_debug) X(s_run) X(s_Waveform) X(s_quantity) X(s_SET) X(s_GET)      \
    X(s_CH) X(s_CHglobal)                                                                         \
    /* constructor defaults */                                                                    \
    X(default_host) X(default_port) X(default_timeout) X(default_model) X(default_srate)          \
    X(zero) X(one)                                                                                \
    /* numpy pieces used by the codec, taken once at load */                                      \
    X(np_ndarray) X(np_diff) X(np_flatnonzero) X(np_r) X(np_repeat)

struct State {
#define PLINTH_DECLARE(field) tarn::GlobalRef field;
    PLINTH_STATE_FIELDS(PLINTH_DECLARE)
#undef PLINTH_DECLARE
    // Whether check() tests its arguments: __debug__ as it was when the module was imported.
    bool assertions = true;
};

extern State state;

// Fills the interned names and constants; -1 on failure.
int init_state() noexcept;
int traverse_state(visitproc visit, void* arg) noexcept;
void clear_state() noexcept;

// The codec: takes the numpy pieces from `np` and binds `compress` and `decompress`.
int add_codec(PyObject* module, PyObject* np) noexcept;

// Creates the class Plinth through its metaclass; returns a new reference.
PyObject* create_plinth_class() noexcept;

// The quantity methods, created in class order by create_plinth_class.
PyObject* new_dict_from_quantity() noexcept;
PyObject* new_check() noexcept;
PyObject* new_update() noexcept;
PyObject* new_set_value() noexcept;
PyObject* new_get_value() noexcept;

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

}  // namespace plinth
