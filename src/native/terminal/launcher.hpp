// The terminal launcher function and the objects it keeps from module load on.
#pragma once
#include <Python.h>

namespace tarn_terminal {

// Takes the builtins the launcher keeps and binds `terminal` in `module`; -1 on failure.
int add_terminal(PyObject* module) noexcept;

// Visit and release what add_terminal keeps.
int traverse_launcher(visitproc visit, void* arg) noexcept;
void clear_launcher() noexcept;

}  // namespace tarn_terminal
