// tarn.terminal.ssh: the load-time namespace of the SSH client module.
#include "state.hpp"

namespace tarn::ssh {

namespace {

int exec_ssh(PyObject* module) noexcept {
    {
        Ref functools = steal(import_module("functools"));
        if (!functools) return -1;
        if (bind(module, "cached_property", import_from(functools.get(), "cached_property")) < 0) return -1;
    }
    if (bind(module, "paramiko", import_module("paramiko")) < 0) return -1;
    return add_client_class(module);
}

const ModuleInfo info = {"ssh", "tarn.terminal.ssh", exec_ssh, traverse_state, clear_state};

}  // namespace

}  // namespace tarn::ssh

TARN_MODULE_INIT(ssh, tarn::ssh::info)
