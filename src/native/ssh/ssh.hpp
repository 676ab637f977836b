// Declarations shared by the files of the SSH client module: its state, small helpers and the
// method factories.
#pragma once
#include <Python.h>

#include "function.hpp"
#include "module.hpp"
#include "ref.hpp"
#include "state.hpp"

namespace tarn::ssh {

// Objects the module keeps from load on, each with its initialiser (names as in plinth.hpp).
#define TARN_SSH_STATE(X)                                                           \
    /* attribute, method and keyword names */                                       \
    X(s_username, tarn::interned("username"))                                       \
    X(s_password, tarn::interned("password"))                                       \
    X(s_host, tarn::interned("host"))                                               \
    X(s_port, tarn::interned("port"))                                               \
    X(s_pkey_path, tarn::interned("pkey_path"))                                     \
    X(s_client_attr, tarn::interned("_SSHClient__client"))                          \
    X(s_sftp_attr, tarn::interned("_SSHClient__sftp"))                              \
    X(s_SSHClient, tarn::interned("SSHClient"))                                     \
    X(s_AutoAddPolicy, tarn::interned("AutoAddPolicy"))                             \
    X(s_RSAKey, tarn::interned("RSAKey"))                                           \
    X(s_from_private_key_file, tarn::interned("from_private_key_file"))             \
    X(s_set_missing_host_key_policy, tarn::interned("set_missing_host_key_policy")) \
    X(s_connect, tarn::interned("connect"))                                         \
    X(s_open_sftp, tarn::interned("open_sftp"))                                     \
    X(s_close, tarn::interned("close"))                                             \
    X(s_exec_command, tarn::interned("exec_command"))                               \
    X(s_write, tarn::interned("write"))                                             \
    X(s_flush, tarn::interned("flush"))                                             \
    X(s_read, tarn::interned("read"))                                               \
    X(s_decode, tarn::interned("decode"))                                           \
    X(s_channel, tarn::interned("channel"))                                         \
    X(s_closed, tarn::interned("closed"))                                           \
    X(s_eof_received, tarn::interned("eof_received"))                               \
    X(s_exit_status_ready, tarn::interned("exit_status_ready"))                     \
    X(s_recv_ready, tarn::interned("recv_ready"))                                   \
    X(s_recv_stderr_ready, tarn::interned("recv_stderr_ready"))                     \
    X(s_recv, tarn::interned("recv"))                                               \
    X(s_recv_stderr, tarn::interned("recv_stderr"))                                 \
    X(s_poll, tarn::interned("poll"))                                               \
    X(s_POLLIN, tarn::interned("POLLIN"))                                           \
    X(s_register, tarn::interned("register"))                                       \
    X(s_select, tarn::interned("select"))                                           \
    X(s_put, tarn::interned("put"))                                                 \
    X(s_get, tarn::interned("get"))                                                 \
    X(s_open, tarn::interned("open"))                                               \
    X(s_get_transport, tarn::interned("get_transport"))                             \
    X(s_sock, tarn::interned("sock"))                                               \
    X(s_family, tarn::interned("family"))                                           \
    X(s_setsockopt, tarn::interned("setsockopt"))                                   \
    /* globals looked up in the module namespace at each use */                     \
    X(s_paramiko, tarn::interned("paramiko"))                                       \
    /* texts passed or printed */                                                   \
    X(s_utf_8, tarn::interned("utf-8"))                                             \
    X(s_rb, tarn::interned("rb"))                                                   \
    X(s_newline, tarn::interned("\n"))                                              \
    X(s_not_connected, tarn::interned("SSH client is not connected."))              \
    /* keyword names of client.connect */                                           \
    X(kw_connect_key, tarn::names("port", "username", "pkey"))                      \
    X(kw_connect_password, tarn::names("port", "username", "password"))             \
    /* imported modules and their attributes */                                     \
    X(select_module, tarn::imported("select"))                                      \
    X(socket_socket, tarn::attribute("socket", "socket"))                           \
    X(socket_AF_INET, tarn::attribute("socket", "AF_INET"))                         \
    X(socket_AF_INET6, tarn::attribute("socket", "AF_INET6"))                       \
    X(socket_IPPROTO_TCP, tarn::attribute("socket", "IPPROTO_TCP"))                 \
    X(socket_TCP_NODELAY, tarn::attribute("socket", "TCP_NODELAY"))                 \
    /* constants */                                                                 \
    X(tcp_families, PyTuple_Pack(2, socket_AF_INET.get(), socket_AF_INET6.get()))   \
    X(no_descriptors, PyTuple_New(0))                                               \
    X(wait_ms, PyLong_FromLong(50))                                                 \
    X(wait_seconds, PyFloat_FromDouble(0.05))                                       \
    X(recv_size, PyLong_FromLong(1 << 20))                                          \
    X(one, PyLong_FromLong(1))

struct State {
    TARN_STATE_FIELDS(TARN_SSH_STATE)
};

extern State state;

// Small helpers; each returns a new reference, or nullptr with an exception set.
inline PyObject* getattr(PyObject* obj, const GlobalRef& name) noexcept {
    return PyObject_GetAttr(obj, name.get());
}

// Truth of a fresh reference: 1, 0, or -1 with an exception set (also when `value` is empty).
inline int truth(Ref value) noexcept { return value ? PyObject_IsTrue(value.get()) : -1; }

// Prints `line`; 0, or -1 on failure (an empty `line` is a failure to pass on).
inline int print_line(Ref line) noexcept { return line ? tarn::print(line.get()) : -1; }

// Reads the cached connection (opening it on first use) and tests it for truth; when there is
// none, prints "SSH client is not connected.". Returns 1 when connected, 0 when the line was
// printed, -1 on failure.
inline int require_connection(PyObject* self) noexcept {
    int connected = truth(steal(getattr(self, state.s_client_attr)));
    if (connected == 0 && tarn::print(state.s_not_connected.get()) < 0) return -1;
    return connected;
}

// Rewrites every "sudo" that stands as a word of its own to "sudo -S" (sudo.cpp). Returns a new
// reference (the same object when nothing changes).
PyObject* rewrite_sudo(PyObject* command) noexcept;

// The methods of SSHClient, in the order of the class namespace, which module.cpp hands to the
// class: __init__ (client.cpp), upload and download (transfer.cpp), run (run.cpp), then close
// and the cached SFTP session and connection (connection.cpp).
extern const Definitions init_methods;
extern const Definitions transfer_methods;
extern const Definitions run_methods;
extern const Definitions connection_methods;

}  // namespace tarn::ssh
