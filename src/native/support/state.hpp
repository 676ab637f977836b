// Module state: a module lists each field once with its initialiser, and that one list generates
// the fields, their initialisation and their garbage-collector hooks. For example, with the
// list written as one macro (its lines joined by backslashes):
//
//     #define MY_STATE(X)
//         X(s_name, tarn::interned("name"))
//         X(np_diff, tarn::attribute("numpy", "diff"))
//         X(kw_cwd, tarn::names("cwd"))
//         X(builtin_RuntimeError, tarn::builtin("RuntimeError"))
//         X(one, PyLong_FromLong(1))
//     struct State {
//         TARN_STATE_FIELDS(MY_STATE)
//     };
//     State state;
//     const tarn::ModuleInfo info = tarn::module_info<state>("my", "tarn.my", exec_my);
//
// Field names say what a field holds, alike in every module: s_<text> for an interned str
// (s_name holds "name"), kw_<use> for a tuple of keyword names, <module>_<name> for an object
// imported from a module (np_diff, socket_AF_INET), <module>_module for a module itself,
// builtin_<name> for a builtin, and a plain lowercase name for any other constant (one, wait_ms).
//
// Each initialiser is an expression giving a new reference, or nullptr with an exception set.
// The toolkit initialises the fields in list order before the module's exec function runs (an
// initialiser may use a field listed before it), visits them for the garbage collector, and
// clears them all when the import fails.
#pragma once
#include <Python.h>

#include "module.hpp"
#include "ref.hpp"

namespace tarn {

// Initialisers; each returns a new reference, or nullptr with an exception set.
inline PyObject* interned(const char* text) noexcept { return PyUnicode_InternFromString(text); }
inline PyObject* imported(const char* module) noexcept { return PyImport_ImportModule(module); }
// <module>.<name>, the module imported first.
inline PyObject* attribute(const char* module, const char* name) noexcept {
    Ref imported_module = steal(PyImport_ImportModule(module));
    return imported_module ? PyObject_GetAttrString(imported_module.get(), name) : nullptr;
}
// builtins.<name> as it is when the module loads.
inline PyObject* builtin(const char* name) noexcept {
    return PyObject_GetAttrString(builtins_module(), name);
}
// A tuple of interned str: the keyword names of a vectorcall.
template <class... Text>
PyObject* names(Text... texts) noexcept {
    const char* items[] = {texts...};
    Ref tuple = steal(PyTuple_New(sizeof...(texts)));
    if (!tuple) return nullptr;
    for (Py_ssize_t i = 0; i < static_cast<Py_ssize_t>(sizeof...(texts)); ++i) {
        PyObject* text = PyUnicode_InternFromString(items[i]);
        if (!text) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), i, text);
    }
    return tuple.release();
}

// The hooks of ModuleInfo for the state objects declared with TARN_STATE_FIELDS: a module's own
// and those of its parts (the codec's, for plinth), initialised in the order given.
template <auto&... module_states>
constexpr ModuleInfo module_info(const char* short_name, const char* full_name,
                                 int (*exec)(PyObject* module) noexcept) noexcept {
    return {short_name,
            full_name,
            exec,
            [](visitproc visit, void* arg) noexcept {
                int visited = 0;
                ((visited = visited ? visited : module_states.traverse_fields(visit, arg)), ...);
                return visited;
            },
            []() noexcept { (module_states.clear_fields(), ...); },
            []() noexcept {
                int status = 0;
                ((status = status < 0 ? status : module_states.init_fields()), ...);
                return status;
            }};
}

}  // namespace tarn

// The initialiser is the variadic part of each entry because it may itself hold commas
// (PyTuple_Pack(2, a, b), tarn::names("a", "b")), which would otherwise split the argument.
#define TARN_STATE_DECLARE_(field, ...) ::tarn::GlobalRef field;
#define TARN_STATE_INIT_(field, ...)       \
    field.set(::tarn::steal(__VA_ARGS__)); \
    if (!field) return -1;
#define TARN_STATE_VISIT_(field, ...) Py_VISIT(field.get());
#define TARN_STATE_CLEAR_(field, ...) field.clear();

// Inside a struct: one tarn::GlobalRef per X(field, initialiser) of LIST, and the members
// init_fields() (-1 on failure), traverse_fields() and clear_fields() that module_info uses.
#define TARN_STATE_FIELDS(LIST)                                \
    LIST(TARN_STATE_DECLARE_)                                  \
    int init_fields() noexcept {                               \
        LIST(TARN_STATE_INIT_)                                 \
        return 0;                                              \
    }                                                          \
    int traverse_fields(visitproc visit, void* arg) noexcept { \
        LIST(TARN_STATE_VISIT_)                                \
        return 0;                                              \
    }                                                          \
    void clear_fields() noexcept { LIST(TARN_STATE_CLEAR_) }
