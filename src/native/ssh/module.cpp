// tarn.terminal.ssh: the load-time namespace of the SSH client module.
#include <Python.h>

#include "client.hpp"
#include "module.hpp"
#include "ref.hpp"

namespace {

using tarn::Ref;
using tarn::steal;

int exec_ssh(PyObject* module) noexcept {
    {
        Ref functools = steal(tarn::import_module("functools"));
        if (!functools) return -1;
        if (tarn::bind(module, "cached_property", tarn::import_from(functools.get(), "cached_property")) < 0)
            return -1;
    }
    if (tarn::bind(module, "paramiko", tarn::import_module("paramiko")) < 0) return -1;
    return tarn_ssh::add_client_class(module);
}

const tarn::ModuleInfo info = {"ssh", "tarn.terminal.ssh", exec_ssh, tarn_ssh::traverse_state,
                              tarn_ssh::clear_state};

}  // namespace

TARN_MODULE_INIT(ssh, info)
