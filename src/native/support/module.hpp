// Module boilerplate shared by the three modules: multi-phase initialisation, one module object
// per process in one interpreter, the version warning, the GIL declaration and module state.
#pragma once
#include <Python.h>

#include "function.hpp"
#include "ref.hpp"

namespace tarn {

// What a module tells the toolkit. Each extension links its own copy of the toolkit, so the
// toolkit's process-wide data belongs to exactly one module. A module makes this from its
// state list with tarn::module_info (state.hpp).
struct ModuleInfo {
    const char* short_name;  // "plinth": used in the re-initialisation message
    const char* full_name;   // "tarn.driver.common.plinth"
    // Fills the module namespace; returns -1 with an exception set on failure.
    int (*exec)(PyObject* module) noexcept;
    // Visit the module's own state (the objects its functions keep), and clear it when the
    // import fails.
    int (*traverse)(visitproc visit, void* arg) noexcept;
    void (*clear)() noexcept;
    // Fills the state before exec runs; -1 with an exception set on failure.
    int (*init)() noexcept;
};

// The initialisation entry's body: PyInit_<name> returns this.
PyObject* module_init(const ModuleInfo& info) noexcept;

// Borrowed references, valid while the module is executed or loaded.
PyObject* module_function_type() noexcept;
PyObject* module_name_object() noexcept;  // the module's full name as str
PyObject* module_dict() noexcept;         // the module's namespace
PyObject* builtins_module() noexcept;     // the builtins module
PyObject* builtin_print() noexcept;       // builtins.print as it was when the module loaded

// Looks a global name up in the module namespace, then in the builtins, at each use
// (NameError "name '%U' is not defined" when missing). Returns a new reference.
PyObject* lookup_global(PyObject* name) noexcept;

// Imports `module` and returns it (new reference).
PyObject* import_module(const char* module) noexcept;
// `from <module> import <name>`: ImportError "cannot import name %S" when the name is missing.
PyObject* import_from(PyObject* module, const char* name) noexcept;
// Sets the global `name` of the module to `value`; -1 on failure (an empty `value` is a failure
// to pass on).
int add_global(PyObject* module, const char* name, Ref value) noexcept;
// Sets a global for each row of `functions`, in order: the function under its name; -1 on failure.
int add_functions(PyObject* module, Definitions functions) noexcept;

// Calls builtins.print(text) with one argument; -1 on failure.
int print(PyObject* text) noexcept;

}  // namespace tarn

// Declares PyInit_<name>, returning the multi-phase definition of the module.
#define TARN_MODULE_INIT(name, info) \
    PyMODINIT_FUNC PyInit_##name() { return ::tarn::module_init(info); }
