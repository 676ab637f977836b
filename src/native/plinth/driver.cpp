// The methods of Plinth that make and describe a driver: construction, description, the
// quantities' defaults per channel, context manager, finaliser and the base bodies of the device
// operations.
#include <Python.h>

#include "calls.hpp"
#include "errors.hpp"
#include "function.hpp"
#include "module.hpp"
#include "plinth.hpp"

namespace tarn::plinth {

namespace {

PyObject* init_impl(PyObject* const* args, const Keywords& kw) noexcept {
    PyObject* self = args[0];
    if (PyObject_SetAttr(self, state.s_addr.get(), args[1]) < 0) return nullptr;
    const struct {
        const tarn::GlobalRef& name;
        const tarn::GlobalRef& fallback;
    } options[] = {{state.s_host, state.default_host},
                   {state.s_port, state.default_port},
                   {state.s_timeout, state.default_timeout},
                   {state.s_model, state.default_model},
                   {state.s_srate, state.default_srate}};
    for (const auto& option : options) {
        PyObject* value = kw.find(option.name.get());
        if (PyObject_SetAttr(self, option.name.get(), value ? value : option.fallback.get()) < 0)
            return nullptr;
    }

    // newcfg is looked up at each construction, so rebinding the module's name takes effect.
    Ref newcfg = steal(tarn::lookup_global(state.s_newcfg.get()));
    if (!newcfg) return nullptr;
    Ref quants = steal(PyObject_GetAttr(self, state.s_quants.get()));
    if (!quants) return nullptr;
    Ref chs = steal(PyObject_GetAttr(self, state.s_CHs.get()));
    if (!chs) return nullptr;
    PyObject* cfg_args[] = {quants.get(), chs.get()};
    Ref config = steal(PyObject_Vectorcall(newcfg.get(), cfg_args, 2, nullptr));
    if (!config || PyObject_SetAttr(self, state.s_config.get(), config.get()) < 0) return nullptr;

    // quantities: name -> record, from a fresh read of self.quants (a later name wins).
    Ref table = steal(PyDict_New());
    if (!table) return nullptr;
    quants = steal(PyObject_GetAttr(self, state.s_quants.get()));
    if (!quants) return nullptr;
    Ref it = steal(PyObject_GetIter(quants.get()));
    if (!it) return nullptr;
    while (Ref record = steal(PyIter_Next(it.get()))) {
        Ref name = steal(PyObject_GetAttr(record.get(), state.s_name.get()));
        if (!name || PyDict_SetItem(table.get(), name.get(), record.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    if (PyObject_SetAttr(self, state.s_quantities.get(), table.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

// format(sys.modules[self.__module__].__spec__.origin, ""): the file of the driver's module.
PyObject* defining_file(PyObject* self) noexcept {
    Ref sys = steal(tarn::lookup_global(state.s_sys.get()));
    if (!sys) return nullptr;
    Ref modules = steal(PyObject_GetAttr(sys.get(), state.s_modules.get()));
    if (!modules) return nullptr;
    Ref module_name = steal(PyObject_GetAttr(self, state.s_module_attr.get()));
    if (!module_name) return nullptr;
    Ref module = steal(PyObject_GetItem(modules.get(), module_name.get()));
    if (!module) return nullptr;
    Ref spec = steal(PyObject_GetAttr(module.get(), state.s_spec_attr.get()));
    if (!spec) return nullptr;
    Ref origin = steal(PyObject_GetAttr(spec.get(), state.s_origin.get()));
    if (!origin) return nullptr;
    return format_text(origin.get());
}

PyObject* info_impl(PyObject* const* args, const Keywords&) noexcept {
    PyObject* self = args[0];
    const tarn::GlobalRef* fields[] = {&state.s_addr, &state.s_model, &state.s_srate, &state.s_host,
                                       &state.s_port};
    Ref texts[5];
    for (int i = 0; i < 5; ++i) {
        Ref value = steal(PyObject_GetAttr(self, fields[i]->get()));
        if (!value) return nullptr;
        if (!(texts[i] = steal(format_text(value.get())))) return nullptr;
    }
    Ref base = steal(PyUnicode_FromFormat("%cDriver(addr=%U, model=%U, srate=%U, host=%U, port=%U)",
                                          0x1F516,  // bookmark
                                          texts[0].get(), texts[1].get(), texts[2].get(),
                                          texts[3].get(), texts[4].get()));
    if (!base) return nullptr;
    // The file is a courtesy: an ordinary failure to find it leaves the base description.
    Ref file = steal(defining_file(self));
    if (!file) return tarn::catch_exception() ? base.release() : nullptr;
    return PyUnicode_FromFormat("%U<%U>", base.get(), file.get());
}

PyObject* repr_impl(PyObject* const* args, const Keywords&) noexcept {
    return tarn::call_method(state.s_info.get(), args[0]);
}

// Closes once more at destruction; an ordinary failure is printed, never raised.
PyObject* del_impl(PyObject* const* args, const Keywords&) noexcept {
    PyObject* self = args[0];
    // The state is released only when the import fails; a driver that outlived such an
    // import (Plinth is made last, so in practice none) finds nothing to call.
    if (!state.s_close) Py_RETURN_NONE;
    Ref result = steal(tarn::call_method(state.s_close.get(), self));
    if (result) Py_RETURN_NONE;
    Ref error = tarn::catch_exception();
    if (!error) return nullptr;
    // The report is made inside the except block: an error raised while making or printing it
    // carries the close error as its context.
    tarn::ExceptBlock except_block(error.get());
    Ref description = steal(format_text(self));
    if (!description) return nullptr;
    Ref message = steal(format_text(error.get()));
    if (!message) return nullptr;
    Ref line = steal(PyUnicode_FromFormat("Failed to close %U: %U", description.get(), message.get()));
    if (!line || tarn::print(line.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* enter_impl(PyObject* const* args, const Keywords&) noexcept {
    Ref result = steal(tarn::call_method(state.s_open.get(), args[0]));
    return result ? Py_NewRef(args[0]) : nullptr;
}

// Never suppresses the exception of the with-body: the result is None.
PyObject* exit_impl(PyObject* const* args, const Keywords&) noexcept {
    Ref result = steal(tarn::call_method(state.s_close.get(), args[0]));
    if (!result) return nullptr;
    Py_RETURN_NONE;
}

PyObject* dict_from_quantity_impl(PyObject* const* args, const Keywords&) noexcept {
    PyObject* self = args[0];
    Ref result = steal(PyDict_New());
    Ref per_channel = steal(PyDict_New());
    Ref global = steal(PyDict_New());
    if (!result || !per_channel || !global) return nullptr;

    // Defaults come from a deep copy, so a mutable default is never the record's own object.
    Ref deepcopy = steal(tarn::lookup_global(state.s_deepcopy.get()));
    if (!deepcopy) return nullptr;
    Ref quants = steal(PyObject_GetAttr(self, state.s_quants.get()));
    if (!quants) return nullptr;
    Ref copies = steal(PyObject_CallOneArg(deepcopy.get(), quants.get()));
    if (!copies) return nullptr;
    Ref it = steal(PyObject_GetIter(copies.get()));
    if (!it) return nullptr;
    while (Ref record = steal(PyIter_Next(it.get()))) {
        Ref fallback = steal(PyObject_GetAttr(record.get(), state.s_default.get()));
        if (!fallback) return nullptr;
        Ref ch = steal(PyObject_GetItem(fallback.get(), state.s_ch.get()));
        if (!ch) return nullptr;
        int is_global = PyObject_RichCompareBool(ch.get(), state.s_global.get(), Py_EQ);
        if (is_global < 0) return nullptr;
        Ref value = steal(PyObject_GetItem(fallback.get(), state.s_value.get()));
        if (!value) return nullptr;
        Ref name = steal(PyObject_GetAttr(record.get(), state.s_name.get()));
        if (!name) return nullptr;
        if (PyDict_SetItem(is_global ? global.get() : per_channel.get(), name.get(), value.get()) < 0)
            return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;

    // Every channel key shares the one per-channel dict.
    Ref channels = steal(PyObject_GetAttr(self, state.s_CHs.get()));
    if (!channels) return nullptr;
    it = steal(PyObject_GetIter(channels.get()));
    if (!it) return nullptr;
    while (Ref channel = steal(PyIter_Next(it.get()))) {
        Ref text = steal(channel_text(channel.get()));
        if (!text) return nullptr;
        Ref key = steal(PyUnicode_Concat(state.s_CH.get(), text.get()));
        if (!key || PyDict_SetItem(result.get(), key.get(), per_channel.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    if (PyDict_SetItem(result.get(), state.s_CHglobal.get(), global.get()) < 0) return nullptr;
    return result.release();
}

// open/close/read/write/cancel of the base class: nothing to do.
PyObject* none_impl(PyObject* const*, const Keywords&) noexcept { Py_RETURN_NONE; }

constexpr const char kInitDoc[] =
    "initialization of the driver\n"
    "\n"
    "        Args:\n"
    "            addr (str, optional): ip address of the device. Defaults to '192.168.1.42'.\n"
    "        ";

constexpr tarn::Param kSelf[] = {{"self"}};
constexpr tarn::Param kInitParams[] = {
    {"self"}, {.name = "addr", .check = Check::exact_str, .annotation = "str", .has_default = true}};
constexpr tarn::Param kExitParams[] = {{"self"}, {"exception_type"}, {"exception_value"},
                                       {"traceback"}};
constexpr tarn::Param kWriteParams[] = {{"self"}, {"name", Check::exact_str, "str"},
                                        {"value", Check::any, "Any"}};
constexpr tarn::Param kReadParams[] = {{"self"}, {"name", Check::exact_str, "str"}};

PyObject* init_defaults() noexcept { return Py_BuildValue("(s)", "192.168.1.42"); }

constexpr auto kAbstract = tarn::Decorator::abstractmethod;

constexpr tarn::Definition kMethods[] = {
    {.signature = {"__init__", "Plinth.__init__", kInitDoc, kInitParams, "kw"}, .impl = init_impl,
     .defaults = init_defaults},
    {{"__repr__", "Plinth.__repr__", nullptr, kSelf}, repr_impl},
    {{"__del__", "Plinth.__del__", nullptr, kSelf}, del_impl},
    {{"__enter__", "Plinth.__enter__", nullptr, kSelf}, enter_impl},
    {{"__exit__", "Plinth.__exit__", nullptr, kExitParams}, exit_impl},
    {{"info", "Plinth.info", nullptr, kSelf}, info_impl},
    {{"dict_from_quantity", "Plinth.dict_from_quantity", nullptr, kSelf}, dict_from_quantity_impl},
    {{"open", "Plinth.open", "how device is opened\n        ", kSelf, "kw"}, none_impl, kAbstract},
    {{"close", "Plinth.close", "how device is closed\n        ", kSelf, "kw"}, none_impl, kAbstract},
    {{"write", "Plinth.write", "write a command(specified by name and value) to the device\n        ",
      kWriteParams, "kw"},
     none_impl, kAbstract},
    {{"read", "Plinth.read", "read a value(specified by name) from the device\n        ", kReadParams, "kw"},
     none_impl, kAbstract},
    {{"cancel", "Plinth.cancel", nullptr, kSelf}, none_impl},
};

}  // namespace

constinit const tarn::Definitions driver_methods = kMethods;

}  // namespace tarn::plinth
