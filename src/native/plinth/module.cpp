// tarn.driver.common.plinth: the load-time namespace of the driver base module.
#include <Python.h>

#include "module.hpp"
#include "plinth.hpp"
#include "ref.hpp"

namespace plinth {

State state;

int init_state() noexcept {
    struct Text {
        tarn::GlobalRef& field;
        const char* text;
    };
    const Text texts[] = {
        {state.s_addr, "addr"}, {state.s_host, "host"}, {state.s_port, "port"},
        {state.s_timeout, "timeout"}, {state.s_model, "model"}, {state.s_srate, "srate"},
        {state.s_config, "config"}, {state.s_quantities, "quantities"}, {state.s_quants, "quants"},
        {state.s_CHs, "CHs"}, {state.s_name, "name"}, {state.s_default, "default"},
        {state.s_ch, "ch"}, {state.s_value, "value"}, {state.s_mode, "mode"},
        {state.s_target, "target"}, {state.s_open, "open"}, {state.s_close, "close"},
        {state.s_read, "read"}, {state.s_write, "write"}, {state.s_info, "info"},
        {state.s_check, "check"}, {state.s_update, "update"},
        {state.s_dict_from_quantity, "dict_from_quantity"}, {state.s_module_attr, "__module__"},
        {state.s_spec_attr, "__spec__"}, {state.s_origin, "origin"}, {state.s_modules, "modules"},
        {state.s_ndim, "ndim"}, {state.s_dtype, "dtype"}, {state.s_kind, "kind"},
        {state.s_byteorder, "byteorder"}, {state.s_str, "str"}, {state.s_view, "view"}, {state.s_newcfg, "newcfg"}, {state.s_sys, "sys"},
        {state.s_deepcopy, "deepcopy"}, {state.s_decompress, "decompress"},
        {state.s_abstractmethod, "abstractmethod"}, {state.s_ABC, "ABC"}, {state.s_empty, ""},
        {state.s_global, "global"}, {state.s_debug, "debug"}, {state.s_run, "run"},
        {state.s_Waveform, "Waveform"}, {state.s_quantity, "quantity"}, {state.s_SET, "SET"},
        {state.s_GET, "GET"}, {state.s_CH, "CH"}, {state.s_CHglobal, "CHglobal"},
        {state.default_host, "127.0.0.1"}, {state.default_model, "None"},
    };
    for (const Text& t : texts) {
        t.field.set(PyUnicode_InternFromString(t.text));
        if (!t.field) return -1;
    }
    state.zero.set(PyLong_FromLong(0));
    state.default_port.set(PyLong_FromLong(0));
    state.default_timeout.set(PyFloat_FromDouble(3.0));
    state.default_srate.set(PyLong_FromLong(-1));
    state.one.set(PyLong_FromLong(1));
    if (!state.zero || !state.default_port || !state.default_timeout || !state.default_srate || !state.one)
        return -1;
    return 0;
}

TARN_DEFINE_STATE_GC(PLINTH_STATE_FIELDS, state, traverse_state, clear_state)

}  // namespace plinth

namespace {

using tarn::Ref;
using tarn::steal;

// The address pattern published for driver modules: a str.format template with a field `seg`.
constexpr const char* kPattern = R"(^192\.168\.({seg})\.((2(5[0-5]|[0-4]\d))|[0-1]?\d{{1,2}}))";

int bind_from(PyObject* module, const char* source, const char* name) noexcept {
    Ref mod = steal(tarn::import_module(source));
    if (!mod) return -1;
    return tarn::bind(module, name, tarn::import_from(mod.get(), name));
}

// __debug__ of this process: false under python -O, read once so check() costs nothing then.
int read_assertion_state(PyObject* sys) noexcept {
    Ref flags = steal(PyObject_GetAttrString(sys, "flags"));
    Ref optimize = flags ? steal(PyObject_GetAttrString(flags.get(), "optimize")) : Ref();
    if (!optimize) return -1;
    int optimized = PyObject_IsTrue(optimize.get());
    if (optimized < 0) return -1;
    plinth::state.assertions = !optimized;
    return 0;
}

// A name bound earlier in this module's namespace (new reference).
PyObject* bound(PyObject* module, const char* name) noexcept {
    PyObject* value = nullptr;
    if (PyDict_GetItemStringRef(PyModule_GetDict(module), name, &value) == 0)
        PyErr_Format(PyExc_SystemError, "'%s' is missing from the module namespace", name);
    return value;
}

int exec_plinth(PyObject* module) noexcept {
    if (plinth::init_state() < 0) return -1;
    if (tarn::bind(module, "re", tarn::import_module("re")) < 0) return -1;
    if (tarn::bind(module, "sys", tarn::import_module("sys")) < 0) return -1;
    if (bind_from(module, "abc", "ABC") < 0 || bind_from(module, "abc", "abstractmethod") < 0) return -1;
    if (bind_from(module, "copy", "deepcopy") < 0) return -1;
    if (bind_from(module, "typing", "Any") < 0) return -1;
    if (tarn::bind(module, "np", tarn::import_module("numpy")) < 0) return -1;
    {
        // from .quantity import Quantity, newcfg
        Ref fromlist = steal(Py_BuildValue("(ss)", "Quantity", "newcfg"));
        if (!fromlist) return -1;
        Ref quantity = steal(PyImport_ImportModuleLevel("quantity", PyModule_GetDict(module), nullptr,
                                                        fromlist.get(), 1));
        if (!quantity) return -1;
        if (tarn::bind(module, "Quantity", tarn::import_from(quantity.get(), "Quantity")) < 0) return -1;
        if (tarn::bind(module, "newcfg", tarn::import_from(quantity.get(), "newcfg")) < 0) return -1;
    }
    if (tarn::bind(module, "PATTERN", PyUnicode_FromString(kPattern)) < 0) return -1;
    {
        Ref sys = steal(bound(module, "sys"));
        if (!sys || read_assertion_state(sys.get()) < 0) return -1;
        Ref np = steal(bound(module, "np"));
        if (!np || plinth::add_codec(module, np.get()) < 0) return -1;
    }
    return tarn::bind(module, "Plinth", plinth::create_plinth_class());
}

const tarn::ModuleInfo info = {"plinth", "tarn.driver.common.plinth", exec_plinth,
                               plinth::traverse_state, plinth::clear_state};

}  // namespace

TARN_MODULE_INIT(plinth, info)
