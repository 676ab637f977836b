// SSHClient.__init__: the attributes a connection is made from, set in order.
#include "ssh.hpp"

namespace tarn::ssh {

namespace {

PyObject* init_impl(PyObject* const* args, const Keywords&) noexcept {
    const GlobalRef* names[] = {&state.s_username, &state.s_password, &state.s_host, &state.s_port,
                                &state.s_pkey_path};
    for (int i = 0; i < 5; ++i) {
        if (PyObject_SetAttr(args[0], names[i]->get(), args[i + 1]) < 0) return nullptr;
    }
    Py_RETURN_NONE;
}

constexpr Param kInitParams[] = {
    {"self"},
    {"username", Check::exact_str, "str"},
    {"password", Check::exact_str, "str"},
    {"host", Check::exact_str, "str"},
    {.name = "port", .check = Check::exact_int, .annotation = "int", .has_default = true},
    {.name = "pkey_path", .has_default = true},
};

PyObject* init_defaults() noexcept { return Py_BuildValue("(iO)", 22, Py_None); }

constexpr Definition kMethods[] = {
    {.signature = {"__init__", "SSHClient.__init__", nullptr, kInitParams}, .impl = init_impl,
     .defaults = init_defaults},
};

}  // namespace

constinit const Definitions init_methods = kMethods;

}  // namespace tarn::ssh
