// Declarations shared by the files of the terminal launcher module: its state and the table
// of its function.
#pragma once
#include <Python.h>

#include "function.hpp"
#include "state.hpp"

namespace tarn::terminal {

// Objects the module keeps from load on, each with its initialiser (names as in plinth.hpp).
#define TARN_TERMINAL_STATE(X)                                              \
    /* globals looked up in the module namespace at each call */            \
    X(s_os, tarn::interned("os"))                                           \
    X(s_platform, tarn::interned("platform"))                               \
    X(s_shutil, tarn::interned("shutil"))                                   \
    X(s_subprocess, tarn::interned("subprocess"))                           \
    /* attribute and method names */                                        \
    X(s_system, tarn::interned("system"))                                   \
    X(s_environ, tarn::interned("environ"))                                 \
    X(s_which, tarn::interned("which"))                                     \
    X(s_Popen, tarn::interned("Popen"))                                     \
    X(s_CREATE_NEW_CONSOLE, tarn::interned("CREATE_NEW_CONSOLE"))           \
    X(s_lower, tarn::interned("lower"))                                     \
    /* keyword names of subprocess.Popen */                                 \
    X(kw_cwd, tarn::names("cwd"))                                           \
    X(kw_flags, tarn::names("creationflags"))                               \
    X(kw_cwd_flags, tarn::names("cwd", "creationflags"))                    \
    /* taken once: replacing builtins.RuntimeError later changes nothing */ \
    X(builtin_RuntimeError, tarn::builtin("RuntimeError"))

struct State {
    TARN_STATE_FIELDS(TARN_TERMINAL_STATE)
};

extern State state;

// The function terminal (launcher.cpp).
extern const tarn::Definitions functions;

}  // namespace tarn::terminal
