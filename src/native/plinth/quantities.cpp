// The value dispatch of Plinth: check, update, setValue, getValue. Methods reach each other
// through the instance, so subclass overrides take effect.
#include <Python.h>

#include "calls.hpp"
#include "compiler.hpp"
#include "errors.hpp"
#include "function.hpp"
#include "module.hpp"
#include "plinth.hpp"
#include "small_array.hpp"

namespace tarn::plinth {

PyObject* channel_text(PyObject* channel) noexcept {
    if (PyUnicode_CheckExact(channel)) return Py_NewRef(channel);
    if (PyLong_CheckExact(channel) || PyFloat_CheckExact(channel)) return PyObject_Repr(channel);
    return format_text(channel);
}

namespace {

// The channel a call names (ch=, else 1) once self.check(name, channel) has accepted it
// (borrowed), or nullptr with check's exception set.
PyObject* checked_channel(PyObject* self, PyObject* name, const Keywords& kw) noexcept {
    PyObject* channel = kw.find(state.s_ch.get());
    if (!channel) channel = state.one.get();
    Ref checked = steal(tarn::call_method(state.s_check.get(), self, name, channel));
    return checked ? channel : nullptr;
}

// With mode="debug" (an absent mode means "run"), prints "SET name value target" or
// "GET name target" (`value` nullptr) with the builtin print instead of reaching the device.
// 1 when printed, 0 when the call is to run, -1 on failure.
int print_instead_in_debug(const Keywords& kw, PyObject* verb, PyObject* name, PyObject* value) noexcept {
    PyObject* mode = kw.find(state.s_mode.get());
    int debug = mode ? PyObject_RichCompareBool(mode, state.s_debug.get(), Py_EQ) : 0;
    if (debug <= 0) return debug;
    PyObject* target = kw.find(state.s_target.get());
    PyObject* items[4];
    size_t n = 0;
    items[n++] = verb;
    items[n++] = name;
    if (value) items[n++] = value;
    items[n++] = target ? target : state.s_empty.get();
    Ref printed = steal(PyObject_Vectorcall(tarn::builtin_print(), items, n, nullptr));
    return printed ? 1 : -1;
}

// Calls self.<method>(name, value, **kw) with the caller's keyword view passed on untouched
// (no dict is made). `value` may be nullptr for read(name, **kw).
PyObject* call_with_keywords(const tarn::GlobalRef& method, PyObject* self, PyObject* name,
                             PyObject* value, const Keywords& kw) noexcept {
    size_t npos = value ? 3 : 2;
    Py_ssize_t nkw = kw.size();
    if (nkw == 0) {
        PyObject* argv[] = {nullptr, self, name, value};  // argv[0]: scratch slot for the vectorcall
        return tarn::call_method(method.get(), argv + 1, npos);
    }
    tarn::SmallArray<PyObject*, 10> argv;
    if (!argv.resize(1 + npos + nkw)) return PyErr_NoMemory();
    argv[0] = nullptr;
    argv[1] = self;
    argv[2] = name;
    if (value) argv[3] = value;
    for (Py_ssize_t i = 0; i < nkw; ++i) argv[1 + npos + i] = kw.values[i];
    return tarn::call_method(method.get(), argv.data() + 1, npos, kw.names);
}

TARN_COLD PyObject* raise_assertion(PyObject* self, const char* format, PyObject* text) noexcept {
    Ref driver = steal(format_text(self));
    if (!driver) return nullptr;
    Ref message = steal(PyUnicode_FromFormat(format, driver.get(), text));
    if (!message) return nullptr;
    PyErr_SetObject(PyExc_AssertionError, message.get());
    return nullptr;
}

PyObject* check_impl(PyObject* const* args, const Keywords&) noexcept {
    if (!state.assertions) Py_RETURN_NONE;  // python -O: nothing is validated
    PyObject *self = args[0], *name = args[1], *channel = args[2];
    Ref quantities = steal(PyObject_GetAttr(self, state.s_quantities.get()));
    if (!quantities) return nullptr;
    int known = contains(quantities.get(), name);
    if (known < 0) return nullptr;
    if (!known) return raise_assertion(self, "%U: quantity(%U) not Found!", name);

    Ref channels = steal(PyObject_GetAttr(self, state.s_CHs.get()));
    if (!channels) return nullptr;
    int valid = PySequence_Contains(channels.get(), channel);
    if (valid == 0) valid = PyObject_RichCompareBool(channel, state.s_global.get(), Py_EQ);
    if (valid < 0) return nullptr;
    if (!valid) {
        Ref text = steal(channel_text(channel));
        return text ? raise_assertion(self, "%U: channel(%U) not found!", text.get()) : nullptr;
    }
    Py_RETURN_NONE;
}

// self.config[name][channel]: the record of one quantity on one channel (new reference).
PyObject* config_entry(PyObject* self, PyObject* name, PyObject* channel) noexcept {
    Ref config = steal(PyObject_GetAttr(self, state.s_config.get()));
    if (!config) return nullptr;
    Ref per_name = steal(get_item(config.get(), name));
    return per_name ? get_item(per_name.get(), channel) : nullptr;
}

PyObject* update_impl(PyObject* const* args, const Keywords&) noexcept {
    PyObject *self = args[0], *name = args[1], *value = args[2], *channel = args[3];
    Ref entry = steal(config_entry(self, name, channel));
    if (!entry || set_item(entry.get(), state.s_value.get(), value) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* set_value_impl(PyObject* const* args, const Keywords& kw) noexcept {
    PyObject *self = args[0], *name = args[1];
    PyObject* channel = checked_channel(self, name, kw);
    if (!channel) return nullptr;

    Ref value = tarn::borrow(args[2]);
    // A compressed waveform (values, lengths) is expanded before the driver sees it.
    if (same_text(name, state.s_Waveform.get()) && PyTuple_Check(value.get())) {
        Ref decompress = steal(tarn::lookup_global(state.s_decompress.get()));
        if (!decompress) return nullptr;
        Ref items = steal(PySequence_Tuple(value.get()));
        if (!items) return nullptr;
        value = steal(PyObject_Call(decompress.get(), items.get(), nullptr));
        if (!value) return nullptr;
    }

    int printed = print_instead_in_debug(kw, state.s_SET.get(), name, value.get());
    if (printed != 0) return printed < 0 ? nullptr : Py_NewRef(Py_None);

    Ref written = steal(call_with_keywords(state.s_write, self, name, value.get(), kw));
    if (!written) return nullptr;
    Ref updated = steal(tarn::call_method(state.s_update.get(), self, name, written.get(), channel));
    if (!updated) return nullptr;
    Py_RETURN_NONE;
}

PyObject* get_value_impl(PyObject* const* args, const Keywords& kw) noexcept {
    PyObject *self = args[0], *name = args[1];
    if (same_text(name, state.s_quantity.get())) return tarn::call_method(state.s_dict_from_quantity.get(), self);
    // Any attribute of the driver (method, property, class attribute) is answered as it is.
    Ref attribute;
    int found = PyObject_GetOptionalAttr(self, name, tarn::out_param(attribute));
    if (found < 0) return nullptr;
    if (found) return attribute.release();

    PyObject* channel = checked_channel(self, name, kw);
    if (!channel) return nullptr;
    int printed = print_instead_in_debug(kw, state.s_GET.get(), name, nullptr);
    if (printed != 0) return printed < 0 ? nullptr : Py_NewRef(Py_None);

    Ref result = steal(call_with_keywords(state.s_read, self, name, nullptr, kw));
    if (!result) return nullptr;
    if (result.get() == Py_None) {
        // No fresh value: answer the last one recorded.
        Ref entry = steal(config_entry(self, name, channel));
        if (!entry) return nullptr;
        return get_item(entry.get(), state.s_value.get());
    }
    Ref updated = steal(tarn::call_method(state.s_update.get(), self, name, result.get(), channel));
    if (!updated) return nullptr;
    return result.release();
}

constexpr tarn::Param kCheckParams[] = {{"self"}, {"name", Check::exact_str, "str"},
                                        {"channel", Check::any, "int | str"}};
constexpr tarn::Param kUpdateParams[] = {{"self"}, {"name", Check::exact_str, "str"},
                                         {"value", Check::any, "Any"},
                                         {.name = "channel", .annotation = "int | str", .has_default = true}};
constexpr tarn::Param kSetParams[] = {{"self"}, {"name", Check::exact_str, "str"}, {"value", Check::any, "Any"}};
constexpr tarn::Param kGetParams[] = {{"self"}, {"name", Check::exact_str, "str"}};

PyObject* update_defaults() noexcept { return PyTuple_Pack(1, state.one.get()); }

constexpr tarn::Definition kMethods[] = {
    {{"check", "Plinth.check", nullptr, kCheckParams}, check_impl},
    {.signature = {"update", "Plinth.update", nullptr, kUpdateParams}, .impl = update_impl,
     .defaults = update_defaults},
    {{"setValue", "Plinth.setValue", nullptr, kSetParams, "kw"}, set_value_impl},
    {{"getValue", "Plinth.getValue", nullptr, kGetParams, "kw"}, get_value_impl},
};

}  // namespace

constinit const tarn::Definitions quantity_methods = kMethods;

}  // namespace tarn::plinth
