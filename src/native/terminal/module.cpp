// tarn.terminal.terminal: the load-time namespace of the terminal launcher module.
#include <Python.h>

#include <initializer_list>

#include "module.hpp"
#include "state.hpp"
#include "terminal.hpp"

namespace tarn::terminal {

State state;

namespace {

int exec_terminal(PyObject* module) noexcept {
    for (const char* name : {"os", "platform", "shutil", "subprocess"}) {
        if (add_global(module, name, steal(import_module(name))) < 0) return -1;
    }
    return add_functions(module, functions);
}

const ModuleInfo info = module_info<state>("terminal", "tarn.terminal.terminal", exec_terminal);

}  // namespace

}  // namespace tarn::terminal

TARN_MODULE_INIT(terminal, tarn::terminal::info)
