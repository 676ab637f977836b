// tarn.terminal.terminal: the load-time namespace of the terminal launcher module.
#include <Python.h>

#include <initializer_list>

#include "launcher.hpp"
#include "module.hpp"
#include "state.hpp"

namespace tarn::terminal {

State state;

}  // namespace tarn::terminal

namespace {

int exec_terminal(PyObject* module) noexcept {
    for (const char* name : {"os", "platform", "shutil", "subprocess"}) {
        if (tarn::bind(module, name, tarn::steal(tarn::import_module(name))) < 0) return -1;
    }
    return tarn::terminal::add_terminal(module);
}

const tarn::ModuleInfo info =
    tarn::module_info<tarn::terminal::state>("terminal", "tarn.terminal.terminal", exec_terminal);

}  // namespace

TARN_MODULE_INIT(terminal, info)
