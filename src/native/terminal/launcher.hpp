// The terminal launcher function and the objects it keeps from module load on.
#pragma once
#include <Python.h>

#include "state.hpp"

namespace tarn::terminal {

// The modules' names looked up in the module namespace at each call, the attributes read from
// them, the method called on the environment value, the keywords of the launch call, and the
// RuntimeError raised.
#define TARN_TERMINAL_STATE(X)                                              \
    X(os, tarn::interned("os"))                                             \
    X(platform, tarn::interned("platform"))                                 \
    X(shutil, tarn::interned("shutil"))                                     \
    X(subprocess, tarn::interned("subprocess"))                             \
    X(system, tarn::interned("system"))                                     \
    X(environ_name, tarn::interned("environ"))                              \
    X(which, tarn::interned("which"))                                       \
    X(Popen, tarn::interned("Popen"))                                       \
    X(CREATE_NEW_CONSOLE, tarn::interned("CREATE_NEW_CONSOLE"))             \
    X(lower, tarn::interned("lower"))                                       \
    X(kw_cwd, tarn::names("cwd"))                                           \
    X(kw_flags, tarn::names("creationflags"))                               \
    X(kw_cwd_flags, tarn::names("cwd", "creationflags"))                    \
    /* taken once: replacing builtins.RuntimeError later changes nothing */ \
    X(runtime_error, tarn::builtin("RuntimeError"))

struct State {
    TARN_STATE_FIELDS(TARN_TERMINAL_STATE)
};

extern State state;

// Binds `terminal` in `module`; -1 on failure.
int add_terminal(PyObject* module) noexcept;

}  // namespace tarn::terminal
