// The SSH client's internal header: its module state, small helpers and the entry points its files share.
#pragma once
#include <Python.h>

#include "function.hpp"
#include "module.hpp"
#include "ref.hpp"
#include "state.hpp"

namespace tarn::ssh {

// Interned names and constants, made once when the module loads.
#define TARN_SSH_STATE(X)                                                         \
    X(username, tarn::interned("username"))                                       \
    X(password, tarn::interned("password"))                                       \
    X(host, tarn::interned("host"))                                               \
    X(port, tarn::interned("port"))                                               \
    X(pkey_path, tarn::interned("pkey_path"))                                     \
    X(client_attr, tarn::interned("_SSHClient__client"))                          \
    X(sftp_attr, tarn::interned("_SSHClient__sftp"))                              \
    X(paramiko, tarn::interned("paramiko"))                                       \
    X(SSHClient, tarn::interned("SSHClient"))                                     \
    X(AutoAddPolicy, tarn::interned("AutoAddPolicy"))                             \
    X(RSAKey, tarn::interned("RSAKey"))                                           \
    X(from_private_key_file, tarn::interned("from_private_key_file"))             \
    X(set_missing_host_key_policy, tarn::interned("set_missing_host_key_policy")) \
    X(connect, tarn::interned("connect"))                                         \
    X(open_sftp, tarn::interned("open_sftp"))                                     \
    X(close, tarn::interned("close"))                                             \
    X(exec_command, tarn::interned("exec_command"))                               \
    X(write, tarn::interned("write"))                                             \
    X(flush, tarn::interned("flush"))                                             \
    X(read, tarn::interned("read"))                                               \
    X(decode, tarn::interned("decode"))                                           \
    X(utf_8, tarn::interned("utf-8"))                                             \
    X(channel, tarn::interned("channel"))                                         \
    X(closed, tarn::interned("closed"))                                           \
    X(eof_received, tarn::interned("eof_received"))                               \
    X(exit_status_ready, tarn::interned("exit_status_ready"))                     \
    X(recv_ready, tarn::interned("recv_ready"))                                   \
    X(recv_stderr_ready, tarn::interned("recv_stderr_ready"))                     \
    X(recv, tarn::interned("recv"))                                               \
    X(recv_stderr, tarn::interned("recv_stderr"))                                 \
    X(select_module, tarn::imported("select"))                                    \
    X(poll, tarn::interned("poll"))                                               \
    X(POLLIN, tarn::interned("POLLIN"))                                           \
    X(register_, tarn::interned("register"))                                      \
    X(select, tarn::interned("select"))                                           \
    X(no_descriptors, PyTuple_New(0))                                             \
    X(wait_ms, PyLong_FromLong(50))                                               \
    X(wait_seconds, PyFloat_FromDouble(0.05))                                     \
    X(put, tarn::interned("put"))                                                 \
    X(get, tarn::interned("get"))                                                 \
    X(open, tarn::interned("open"))                                               \
    X(read_binary, tarn::interned("rb"))                                          \
    X(newline, tarn::interned("\n"))                                              \
    X(not_connected, tarn::interned("SSH client is not connected."))              \
    X(recv_size, PyLong_FromLong(1 << 20))                                        \
    X(connect_with_key, tarn::names("port", "username", "pkey"))                  \
    X(connect_with_password, tarn::names("port", "username", "password"))         \
    X(get_transport, tarn::interned("get_transport"))                             \
    X(sock, tarn::interned("sock"))                                               \
    X(family, tarn::interned("family"))                                           \
    X(setsockopt, tarn::interned("setsockopt"))                                   \
    X(socket_type, tarn::attribute("socket", "socket"))                           \
    X(af_inet, tarn::attribute("socket", "AF_INET"))                              \
    X(af_inet6, tarn::attribute("socket", "AF_INET6"))                            \
    X(tcp_families, PyTuple_Pack(2, af_inet.get(), af_inet6.get()))               \
    X(ipproto_tcp, tarn::attribute("socket", "IPPROTO_TCP"))                      \
    X(tcp_nodelay, tarn::attribute("socket", "TCP_NODELAY"))                      \
    X(one, PyLong_FromLong(1))

struct State {
    TARN_STATE_FIELDS(TARN_SSH_STATE)
};

extern State state;

// ---- small helpers (each returns a new reference or nullptr with an exception set) ----

inline PyObject* getattr(PyObject* obj, const GlobalRef& name) noexcept {
    return PyObject_GetAttr(obj, name.get());
}

// Truth of a fresh reference: 1, 0, or -1 with an exception set (also when `value` is null).
inline int truth(Ref value) noexcept { return value ? PyObject_IsTrue(value.get()) : -1; }

// Prints `line`; 0, or -1 on failure (an empty `line` is a failure to pass on).
inline int print_line(Ref line) noexcept { return line ? tarn::print(line.get()) : -1; }

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
