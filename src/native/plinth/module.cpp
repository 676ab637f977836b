// tarn.driver.common.plinth: the load-time namespace of the driver base module and its class Plinth,
// assembled from the files' factories.
#include <Python.h>

#include "classes.hpp"
#include "codec/codec.hpp"
#include "module.hpp"
#include "plinth.hpp"
#include "ref.hpp"
#include "state.hpp"

namespace tarn::plinth {

State state;
codec::State codec::state;

namespace {

// The address pattern published for driver modules: a str.format template with a field `seg`.
constexpr const char kPattern[] = R"(^192\.168\.({seg})\.((2(5[0-5]|[0-4]\d))|[0-1]?\d{{1,2}}))";

// `from <source> import <name>` into the module namespace; -1 on failure.
int add_imported(PyObject* module, const char* source, const char* name) noexcept {
    Ref imported_module = steal(import_module(source));
    if (!imported_module) return -1;
    return add_global(module, name, steal(import_from(imported_module.get(), name)));
}

// __debug__ of this process: false under python -O, read once so check() costs nothing then.
int read_assertion_state(PyObject* sys) noexcept {
    Ref flags = steal(PyObject_GetAttrString(sys, "flags"));
    if (!flags) return -1;
    Ref optimize = steal(PyObject_GetAttrString(flags.get(), "optimize"));
    if (!optimize) return -1;
    int optimized = PyObject_IsTrue(optimize.get());
    if (optimized < 0) return -1;
    state.assertions = !optimized;
    return 0;
}

constexpr const char kClassDoc[] =
    "Base class for all drivers and methods open/close/read/write are required.\n"
    "\n"
    "    See template **VirtualDevice**\n"
    "    ";

PyObject* class_annotations() noexcept {
    return Py_BuildValue("{ssssss}", "segment", "tuple", "CHs", "list[int | str]", "quants",
                         "list[Quantity]");
}

// The class Plinth, created through its metaclass (abc.ABCMeta, from the base ABC) as the class
// statement would; returns a new reference.
PyObject* new_plinth_class() noexcept {
    Ref abc = steal(lookup_global(state.s_ABC.get()));
    if (!abc) return nullptr;
    Ref bases = steal(PyTuple_Pack(1, abc.get()));
    if (!bases) return nullptr;
    ClassBuilder cls;
    if (cls.begin("Plinth", bases.get()) < 0) return nullptr;
    if (cls.set("__doc__", steal(PyUnicode_FromString(kClassDoc))) < 0 ||
        cls.set("__annotations__", steal(class_annotations())) < 0 ||
        cls.set("segment", steal(Py_BuildValue("(ss)", "na", "103|104"))) < 0 ||
        cls.set("CHs", steal(Py_BuildValue("[i]", 1))) < 0 ||
        cls.set("quants", steal(PyList_New(0))) < 0 ||
        cls.set(driver_methods) < 0 ||
        cls.set(quantity_methods) < 0)
        return nullptr;
    return cls.finish();
}

int exec_plinth(PyObject* module) noexcept {
    if (add_global(module, "re", steal(import_module("re"))) < 0) return -1;
    if (add_global(module, "sys", steal(import_module("sys"))) < 0) return -1;
    if (add_imported(module, "abc", "ABC") < 0 || add_imported(module, "abc", "abstractmethod") < 0) return -1;
    if (add_imported(module, "copy", "deepcopy") < 0) return -1;
    if (add_imported(module, "typing", "Any") < 0) return -1;
    if (add_global(module, "np", steal(import_module("numpy"))) < 0) return -1;
    {
        // from .quantity import Quantity, newcfg
        Ref fromlist = steal(Py_BuildValue("(ss)", "Quantity", "newcfg"));
        if (!fromlist) return -1;
        Ref quantity = steal(PyImport_ImportModuleLevel("quantity", PyModule_GetDict(module), nullptr,
                                                        fromlist.get(), 1));
        if (!quantity) return -1;
        if (add_global(module, "Quantity", steal(import_from(quantity.get(), "Quantity"))) < 0) return -1;
        if (add_global(module, "newcfg", steal(import_from(quantity.get(), "newcfg"))) < 0) return -1;
    }
    if (add_global(module, "PATTERN", steal(PyUnicode_FromString(kPattern))) < 0) return -1;
    {
        Ref sys = steal(lookup_global(state.s_sys.get()));
        if (!sys || read_assertion_state(sys.get()) < 0) return -1;
    }
    if (add_global(module, "__codec_kernel__", steal(PyUnicode_FromString(codec::init()))) < 0) return -1;
    if (add_functions(module, codec::functions) < 0) return -1;
    return add_global(module, "Plinth", steal(new_plinth_class()));
}

const ModuleInfo info = module_info<state, codec::state>("plinth", "tarn.driver.common.plinth", exec_plinth);

}  // namespace

}  // namespace tarn::plinth

TARN_MODULE_INIT(plinth, tarn::plinth::info)
