// Module boilerplate: the create and exec slots, loading rules and shared module data.
#include "module.hpp"

#include "errors.hpp"
#include "function.hpp"
#include "ref.hpp"

namespace tarn {

namespace {

// One module object per process: these belong to the single module this copy of the
// toolkit serves, and live from its first successful execution to the end of the process.
// Holding the module here keeps it alive for good, so CPython never clears or frees it (the
// definition has no clear or free hook for that reason); only a failed import releases them.
struct Shared {
    const ModuleInfo* info = nullptr;
    int64_t main_interpreter = -1;
    PyObject* module = nullptr;  // strong; set while executing and after success
    GlobalRef function_type;
    GlobalRef name;
    GlobalRef builtins;
    GlobalRef print;
} g;

PyModuleDef_Slot slots[5];
PyModuleDef definition;

// Only the first interpreter that imports the module may use it.
int check_single_interpreter() noexcept {
    int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (g.main_interpreter == -1) {
        g.main_interpreter = current;
    } else if (current != g.main_interpreter) {
        return raise_int(PyExc_ImportError,
                         "Interpreter change detected - this module can only be loaded into one "
                         "interpreter per process.");
    }
    return 0;
}

int check_version() noexcept {
    Ref version = borrow(PySys_GetObject("version_info"));  // looked up once: it may be replaced
    if (!version) return 0;
    Ref major = steal(PySequence_GetItem(version.get(), 0));
    if (!major) { PyErr_Clear(); return 0; }
    Ref minor = steal(PySequence_GetItem(version.get(), 1));
    if (!minor) { PyErr_Clear(); return 0; }
    long rt_major = PyLong_AsLong(major.get()), rt_minor = PyLong_AsLong(minor.get());
    if (PyErr_Occurred()) { PyErr_Clear(); return 0; }
    if (rt_major == PY_MAJOR_VERSION && rt_minor == PY_MINOR_VERSION) return 0;
    char message[200];
    PyOS_snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  PY_MAJOR_VERSION, PY_MINOR_VERSION, g.info->full_name, "does not match",
                  static_cast<int>(rt_major), static_cast<int>(rt_minor));
    return PyErr_WarnEx(nullptr, message, 1);
}

PyObject* module_create(PyObject* spec, PyModuleDef*) noexcept {
    if (check_single_interpreter() < 0) return nullptr;
    if (g.module) return Py_NewRef(g.module);  // the same module object, its setup not run again
    Ref name = steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    return PyModule_NewObject(name.get());
}

void clear_shared() noexcept {
    g.info->clear();
    g.function_type.clear();
    g.name.clear();
    g.builtins.clear();
    g.print.clear();
    Py_CLEAR(g.module);
}

int module_exec(PyObject* module) noexcept {
    if (g.module) {
        if (g.module == module) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     g.info->short_name);
        return -1;
    }
    if (check_version() < 0) return -1;
#ifdef Py_GIL_DISABLED
    if (PyUnstable_Module_SetGIL(module, Py_MOD_GIL_USED) < 0) return -1;
#endif
    g.module = Py_NewRef(module);
    g.name.set(steal(PyUnicode_InternFromString(g.info->full_name)));
    if (!g.name) goto fail;
    g.function_type.set(steal(create_function_type()));
    if (!g.function_type) goto fail;
    g.builtins.set(steal(PyImport_ImportModule("builtins")));
    if (!g.builtins) goto fail;
    g.print.set(steal(PyObject_GetAttrString(g.builtins.get(), "print")));
    if (!g.print) goto fail;
    if (g.info->init() < 0) goto fail;
    if (g.info->exec(module) < 0) goto fail;
    return 0;
fail:
    clear_shared();  // a failed import leaves nothing behind and may be tried again
    return -1;
}

// The shared data belongs to the one live module object. A module object whose execution
// failed may be collected later (on free-threaded builds, while a retry executes): it must not
// report what the live module now holds.
int module_traverse(PyObject* module, visitproc visit, void* arg) noexcept {
    if (module != g.module) return 0;
    Py_VISIT(g.function_type.get());
    Py_VISIT(g.name.get());
    Py_VISIT(g.builtins.get());
    Py_VISIT(g.print.get());
    return g.info->traverse(visit, arg);
}

}  // namespace

PyObject* module_init(const ModuleInfo& info) noexcept {
    g.info = &info;
    slots[0] = {Py_mod_create, reinterpret_cast<void*>(module_create)};
    slots[1] = {Py_mod_exec, reinterpret_cast<void*>(module_exec)};
    // Let CPython pass any interpreter to the create slot, which refuses all but the first
    // with its own message.
    slots[2] = {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED};
    slots[3] = {Py_mod_gil, Py_MOD_GIL_USED};
    slots[4] = {0, nullptr};
    definition = {
        PyModuleDef_HEAD_INIT,
        info.full_name,
        nullptr,  // no module docstring
        0,        // the state is process-wide, see Shared
        nullptr,
        slots,
        module_traverse,
        nullptr,  // no clear or free hook: see Shared
        nullptr,
    };
    return PyModuleDef_Init(&definition);
}

PyObject* module_function_type() noexcept { return g.function_type.get(); }
PyObject* module_name_object() noexcept { return g.name.get(); }
PyObject* module_dict() noexcept { return g.module ? PyModule_GetDict(g.module) : nullptr; }
PyObject* builtins_module() noexcept { return g.builtins.get(); }
PyObject* builtin_print() noexcept { return g.print.get(); }

PyObject* lookup_global(PyObject* name) noexcept {
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(module_dict(), name, &value) != 0) return value;  // found, or error
    PyObject* builtins = PyEval_GetFrameBuiltins();
    int found = builtins ? PyDict_GetItemRef(builtins, name, &value) : -1;
    Py_XDECREF(builtins);
    if (found > 0) return value;
    if (found == 0) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return nullptr;
}

PyObject* import_module(const char* module) noexcept { return PyImport_ImportModule(module); }

PyObject* import_from(PyObject* module, const char* name) noexcept {
    PyObject* value = PyObject_GetAttrString(module, name);
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) return value;
    PyErr_Clear();
    Ref text = steal(PyUnicode_FromString(name));
    if (!text) return nullptr;
    return raise_format(PyExc_ImportError, "cannot import name %S", text.get());
}

int add_global(PyObject* module, const char* name, Ref value) noexcept {
    if (!value) return -1;
    return PyModule_Add(module, name, value.release());
}

int add_functions(PyObject* module, Definitions functions) noexcept {
    for (const Definition& function : functions) {
        if (add_global(module, function.signature.name, steal(new_function(function))) < 0) return -1;
    }
    return 0;
}

int print(PyObject* text) noexcept {
    Ref r = steal(PyObject_CallOneArg(g.print.get(), text));
    return r ? 0 : -1;
}

}  // namespace tarn
