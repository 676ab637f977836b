// tarn.terminal.ssh: the load-time namespace of the SSH client module and its class SSHClient,
// assembled from the files' factories.
#include "classes.hpp"
#include "module.hpp"
#include "ssh.hpp"
#include "state.hpp"

namespace tarn::ssh {

State state;

namespace {

// The class SSHClient, created through its metaclass as the class statement would; its
// connection and SFTP session are cached properties (functools.cached_property as bound in the
// module). Returns a new reference.
PyObject* new_client_class() noexcept {
    Ref bases = steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    if (!bases) return nullptr;
    ClassBuilder cls;
    if (cls.begin("SSHClient", bases.get()) < 0 ||
        cls.set(init_methods) < 0 ||
        cls.set(transfer_methods) < 0 ||
        cls.set(run_methods) < 0 ||
        cls.set(connection_methods) < 0)
        return nullptr;
    return cls.finish();
}

int exec_ssh(PyObject* module) noexcept {
    {
        Ref functools = steal(import_module("functools"));
        if (!functools) return -1;
        if (add_global(module, "cached_property", steal(import_from(functools.get(), "cached_property"))) < 0)
            return -1;
    }
    if (add_global(module, "paramiko", steal(import_module("paramiko"))) < 0) return -1;
    return add_global(module, "SSHClient", steal(new_client_class()));
}

const ModuleInfo info = module_info<state>("ssh", "tarn.terminal.ssh", exec_ssh);

}  // namespace

}  // namespace tarn::ssh

TARN_MODULE_INIT(ssh, tarn::ssh::info)
