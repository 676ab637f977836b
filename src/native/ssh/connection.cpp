// The methods of SSHClient around its connection: close, and the SFTP session and connection
// (cached properties, opened on first use).
#include "calls.hpp"
#include "errors.hpp"
#include "ssh.hpp"

namespace tarn::ssh {

namespace {

// Where the client connects: host and port, and the username where the login or a line needs
// it, read from the client's attributes at each use, as Python code reading self.host would.
struct Address {
    Ref host, port, username;

    // Reads host, port and, when asked, username, in that order; 0, or -1 with an exception set.
    int read(PyObject* self, bool with_username) noexcept {
        host = steal(getattr(self, state.s_host));
        if (!host) return -1;
        port = steal(getattr(self, state.s_port));
        if (!port) return -1;
        if (!with_username) return 0;
        username = steal(getattr(self, state.s_username));
        return username ? 0 : -1;
    }
};

// Sets TCP_NODELAY on the connection's socket: 0 when set or when the transport is not over a
// TCP socket (none, a proxy command, a channel), -1 with an exception set.
int set_nodelay(PyObject* client) noexcept {
    Ref transport = steal(tarn::call_method(state.s_get_transport.get(), client));
    if (!transport) return -1;
    if (transport.get() == Py_None) return 0;
    Ref sock = steal(getattr(transport.get(), state.s_sock));
    if (!sock) return -1;
    int is_socket = PyObject_IsInstance(sock.get(), state.socket_socket.get());
    if (is_socket <= 0) return is_socket;
    Ref family = steal(getattr(sock.get(), state.s_family));
    if (!family) return -1;
    int is_tcp = PySequence_Contains(state.tcp_families.get(), family.get());
    if (is_tcp <= 0) return is_tcp;
    Ref done = steal(tarn::call_method(state.s_setsockopt.get(), sock.get(), state.socket_IPPROTO_TCP.get(),
                                       state.socket_TCP_NODELAY.get(), state.one.get()));
    return done ? 0 : -1;
}

// Turns Nagle's algorithm off once connected. A command is a few small packets each way, and
// with Nagle on each of them waits for the peer's delayed acknowledgement (about 40 ms on
// Linux), as OpenSSH avoids for interactive sessions. Failing to set the option is no
// connection failure: such an error is dropped, and only one outside the Exception family
// (KeyboardInterrupt) gives -1.
int turn_nagle_off(PyObject* client) noexcept {
    if (set_nodelay(client) == 0) return 0;
    return tarn::catch_exception() ? 0 : -1;
}

// The guarded part of opening: log in with the key file or the password and report it.
// Returns a new reference to `client`, or nullptr with the failure raised.
PyObject* log_in(PyObject* self, PyObject* paramiko, PyObject* client) noexcept {
    int use_key = truth(steal(getattr(self, state.s_pkey_path)));
    if (use_key < 0) return nullptr;
    Ref secret;  // the key object, or the password
    if (use_key) {
        Ref rsakey = steal(getattr(paramiko, state.s_RSAKey));
        if (!rsakey) return nullptr;
        Ref path = steal(getattr(self, state.s_pkey_path));
        if (!path) return nullptr;
        secret = steal(tarn::call_method(state.s_from_private_key_file.get(), rsakey.get(), path.get()));
        if (!secret) return nullptr;
    }
    Address address;
    if (address.read(self, true) < 0) return nullptr;
    if (!use_key && !(secret = steal(getattr(self, state.s_password)))) return nullptr;
    // client.connect(host, port=..., username=..., pkey=... | password=...)
    PyObject* args[] = {nullptr, client, address.host.get(), address.port.get(), address.username.get(),
                        secret.get()};
    PyObject* kwnames = use_key ? state.kw_connect_key.get() : state.kw_connect_password.get();
    Ref done = steal(tarn::call_method(state.s_connect.get(), args + 1, 2, kwnames));
    if (!done) return nullptr;
    if (turn_nagle_off(client) < 0) return nullptr;

    if (address.read(self, true) < 0) return nullptr;
    if (print_line(steal(PyUnicode_FromFormat("Connected to %S:%S as %S", address.host.get(),
                                              address.port.get(), address.username.get()))) < 0)
        return nullptr;
    return Py_NewRef(client);
}

PyObject* client_impl(PyObject* const* args, const Keywords&) noexcept {
    PyObject* self = args[0];
    // Making the connection object and its host-key policy may raise to the reader.
    Ref paramiko = steal(tarn::lookup_global(state.s_paramiko.get()));
    if (!paramiko) return nullptr;
    Ref factory = steal(getattr(paramiko.get(), state.s_SSHClient));
    if (!factory) return nullptr;
    Ref client = steal(PyObject_CallNoArgs(factory.get()));
    if (!client) return nullptr;
    Ref policy_type = steal(getattr(paramiko.get(), state.s_AutoAddPolicy));
    if (!policy_type) return nullptr;
    Ref policy = steal(PyObject_CallNoArgs(policy_type.get()));
    if (!policy) return nullptr;
    Ref ignored =
        steal(tarn::call_method(state.s_set_missing_host_key_policy.get(), client.get(), policy.get()));
    if (!ignored) return nullptr;

    if (PyObject* connected = log_in(self, paramiko.get(), client.get())) return connected;
    Ref exc = tarn::catch_exception();
    if (!exc) return nullptr;
    tarn::ExceptBlock except_block(exc.get());
    Address address;
    if (address.read(self, false) < 0) return nullptr;
    if (print_line(steal(PyUnicode_FromFormat("Failed to connect to %S:%S - %S", address.host.get(),
                                              address.port.get(), exc.get()))) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* sftp_impl(PyObject* const* args, const Keywords&) noexcept {
    PyObject* self = args[0];
    int connected = require_connection(self);
    if (connected <= 0) return connected < 0 ? nullptr : Py_NewRef(Py_None);
    Ref client = steal(getattr(self, state.s_client_attr));
    return client ? tarn::call_method(state.s_open_sftp.get(), client.get()) : nullptr;
}

PyObject* close_impl(PyObject* const* args, const Keywords&) noexcept {
    PyObject* self = args[0];
    int connected = truth(steal(getattr(self, state.s_client_attr)));
    if (connected <= 0) return connected < 0 ? nullptr : Py_NewRef(Py_None);
    Ref client = steal(getattr(self, state.s_client_attr));
    if (!client) return nullptr;
    Ref done = steal(tarn::call_method(state.s_close.get(), client.get()));
    if (!done) return nullptr;
    Address address;
    if (address.read(self, false) < 0) return nullptr;
    if (print_line(steal(PyUnicode_FromFormat("Connection to %S:%S closed", address.host.get(),
                                              address.port.get()))) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

constexpr Param kSelf[] = {{"self"}};
constexpr auto kCached = Decorator::cached_property;

constexpr Definition kMethods[] = {
    {{"close", "SSHClient.close", nullptr, kSelf}, close_impl},
    {{"__sftp", "SSHClient.__sftp", nullptr, kSelf}, sftp_impl, kCached},
    {{"__client", "SSHClient.__client", nullptr, kSelf}, client_impl, kCached},
};

}  // namespace

constinit const Definitions connection_methods = kMethods;

}  // namespace tarn::ssh
