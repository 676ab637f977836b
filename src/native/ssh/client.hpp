// The SSHClient class of tarn.terminal.ssh: creation and the module state it keeps.
#pragma once
#include <Python.h>

namespace tarn_ssh {

// Creates SSHClient through its metaclass and binds it in `module`; -1 on failure.
int add_client_class(PyObject* module) noexcept;

// Visit and clear the interned names and constants the class's functions keep.
int traverse_state(visitproc visit, void* arg) noexcept;
void clear_state() noexcept;

}  // namespace tarn_ssh
