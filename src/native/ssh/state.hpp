// The SSH client's internal header: its module state, the call helpers and the entry points its files share.
#pragma once
#include <Python.h>

#include "function.hpp"
#include "module.hpp"
#include "ref.hpp"

namespace tarn::ssh {

// Interned names and constants, made once when the module executes.
#define TARN_SSH_STATE(X)                                                   \
    X(username, intern("username"))                                         \
    X(password, intern("password"))                                         \
    X(host, intern("host"))                                                 \
    X(port, intern("port"))                                                 \
    X(pkey_path, intern("pkey_path"))                                       \
    X(client_attr, intern("_SSHClient__client"))                            \
    X(sftp_attr, intern("_SSHClient__sftp"))                                \
    X(paramiko, intern("paramiko"))                                         \
    X(SSHClient, intern("SSHClient"))                                       \
    X(AutoAddPolicy, intern("AutoAddPolicy"))                               \
    X(RSAKey, intern("RSAKey"))                                             \
    X(from_private_key_file, intern("from_private_key_file"))               \
    X(set_missing_host_key_policy, intern("set_missing_host_key_policy"))   \
    X(connect, intern("connect"))                                           \
    X(open_sftp, intern("open_sftp"))                                       \
    X(close, intern("close"))                                               \
    X(exec_command, intern("exec_command"))                                 \
    X(write, intern("write"))                                               \
    X(flush, intern("flush"))                                               \
    X(read, intern("read"))                                                 \
    X(decode, intern("decode"))                                             \
    X(utf_8, intern("utf-8"))                                               \
    X(channel, intern("channel"))                                           \
    X(closed, intern("closed"))                                             \
    X(eof_received, intern("eof_received"))                                 \
    X(exit_status_ready, intern("exit_status_ready"))                       \
    X(recv_ready, intern("recv_ready"))                                     \
    X(recv_stderr_ready, intern("recv_stderr_ready"))                       \
    X(recv, intern("recv"))                                                 \
    X(recv_stderr, intern("recv_stderr"))                                   \
    X(select_module, tarn::import_module("select"))                         \
    X(poll, intern("poll"))                                                 \
    X(POLLIN, intern("POLLIN"))                                             \
    X(register_, intern("register"))                                        \
    X(select, intern("select"))                                             \
    X(no_descriptors, PyTuple_New(0))                                       \
    X(wait_ms, PyLong_FromLong(50))                                         \
    X(wait_seconds, PyFloat_FromDouble(0.05))                               \
    X(put, intern("put"))                                                   \
    X(get, intern("get"))                                                   \
    X(open, intern("open"))                                                 \
    X(read_binary, intern("rb"))                                            \
    X(newline, intern("\n"))                                                \
    X(not_connected, intern("SSH client is not connected."))                \
    X(recv_size, PyLong_FromLong(1 << 20))                                  \
    X(connect_with_key, Py_BuildValue("(sss)", "port", "username", "pkey")) \
    X(connect_with_password, Py_BuildValue("(sss)", "port", "username", "password"))

struct State {
#define TARN_SSH_DECLARE(field, init) GlobalRef field;
    TARN_SSH_STATE(TARN_SSH_DECLARE)
#undef TARN_SSH_DECLARE
};
extern State st;

// Fills `st`; -1 with an exception set on failure.
int init_state() noexcept;
// Visit and clear the state's references (the module's traverse and clear).
int traverse_state(visitproc visit, void* arg) noexcept;
void clear_state() noexcept;

// ---- small call helpers (each returns a new reference or nullptr with an exception set) ----

inline PyObject* getattr(PyObject* obj, const GlobalRef& name) noexcept {
    return PyObject_GetAttr(obj, name.get());
}

inline PyObject* call0(PyObject* obj, const GlobalRef& name) noexcept {
    PyObject* args[] = {nullptr, obj};
    return call_method(name.get(), args + 1, 1);
}

inline PyObject* call1(PyObject* obj, const GlobalRef& name, PyObject* a) noexcept {
    PyObject* args[] = {nullptr, obj, a};
    return call_method(name.get(), args + 1, 2);
}

inline PyObject* call2(PyObject* obj, const GlobalRef& name, PyObject* a, PyObject* b) noexcept {
    PyObject* args[] = {nullptr, obj, a, b};
    return call_method(name.get(), args + 1, 3);
}

// Truth of a fresh reference: 1, 0, or -1 with an exception set (also when `value` is null).
inline int truth(Ref value) noexcept { return value ? PyObject_IsTrue(value.get()) : -1; }

// Prints `line` (a new reference, or nullptr when making it failed); 0 or -1.
inline int print_line(PyObject* line) noexcept {
    Ref owned = steal(line);
    return owned ? tarn::print(owned.get()) : -1;
}

// `except Exception as e:` takes the raised exception when it belongs to the Exception family;
// anything else (KeyboardInterrupt, SystemExit) stays raised and an empty Ref is returned.
inline Ref catch_exception() noexcept {
    Ref exc = steal(PyErr_GetRaisedException());
    if (exc && PyErr_GivenExceptionMatches(exc.get(), PyExc_Exception)) return exc;
    PyErr_SetRaisedException(exc.release());
    return Ref();
}

// Makes `exc` the exception being handled while the except block runs, so an error raised
// there is chained to it as in Python code. Replaces:
//     prev = PyErr_GetHandledException(); PyErr_SetHandledException(exc); ...;
//     PyErr_SetHandledException(prev); Py_XDECREF(prev);
class Handling {
public:
    explicit Handling(PyObject* exc) noexcept : previous_(PyErr_GetHandledException()) {
        PyErr_SetHandledException(exc);
    }
    ~Handling() {
        PyErr_SetHandledException(previous_);
        Py_XDECREF(previous_);
    }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    PyObject* previous_;
};

// Reads the cached connection (opening it on first use) and tests it for truth; when there is
// none, prints "SSH client is not connected.". Returns 1 when connected, 0 when the line was
// printed, -1 on failure.
int require_connection(PyObject* self) noexcept;

// ---- the entry points the files give one another ----------------------------------------------

// run (run.cpp).
extern const Signature run_sig;
PyObject* run_impl(PyObject* const* args, const Keywords&) noexcept;

// Rewrites every "sudo" that stands as a word of its own to "sudo -S" (sudo.cpp). Returns a new
// reference (the same object when nothing changes).
PyObject* rewrite_sudo(PyObject* command) noexcept;

// Creates SSHClient through its metaclass and binds it in `module`; -1 on failure (client.cpp).
int add_client_class(PyObject* module) noexcept;

}  // namespace tarn::ssh
