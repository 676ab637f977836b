// tarn.terminal.ssh: the load-time namespace of the SSH client module.
#include "module.hpp"
#include "ssh.hpp"
#include "state.hpp"

namespace tarn::ssh {

State state;

namespace {

int exec_ssh(PyObject* module) noexcept {
    {
        Ref functools = steal(import_module("functools"));
        if (!functools) return -1;
        if (bind(module, "cached_property", steal(import_from(functools.get(), "cached_property"))) < 0) return -1;
    }
    if (bind(module, "paramiko", steal(import_module("paramiko"))) < 0) return -1;
    return add_client_class(module);
}

const ModuleInfo info = module_info<state>("ssh", "tarn.terminal.ssh", exec_ssh);

}  // namespace

}  // namespace tarn::ssh

TARN_MODULE_INIT(ssh, tarn::ssh::info)
