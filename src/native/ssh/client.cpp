// SSHClient: settings, the lazily opened connection and SFTP session, run, upload, download, close.
#include "client.hpp"

#include <poll.h>

#include <cerrno>
#include <new>
#include <vector>

#include "classes.hpp"
#include "errors.hpp"
#include "function.hpp"
#include "module.hpp"
#include "ref.hpp"

namespace tarn_ssh {

namespace {

using tarn::Check;
using tarn::GlobalRef;
using tarn::Keywords;
using tarn::Param;
using tarn::Ref;
using tarn::Signature;
using tarn::steal;

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
    X(recv_ready, intern("recv_ready"))                                     \
    X(recv_stderr_ready, intern("recv_stderr_ready"))                       \
    X(recv, intern("recv"))                                                 \
    X(recv_stderr, intern("recv_stderr"))                                   \
    X(fileno, intern("fileno"))                                             \
    X(put, intern("put"))                                                   \
    X(get, intern("get"))                                                   \
    X(newline, intern("\n"))                                                \
    X(not_connected, intern("SSH client is not connected."))                \
    X(recv_size, PyLong_FromLong(1 << 20))                                  \
    X(connect_with_key, Py_BuildValue("(sss)", "port", "username", "pkey")) \
    X(connect_with_password, Py_BuildValue("(sss)", "port", "username", "password"))

struct State {
#define TARN_SSH_DECLARE(field, init) GlobalRef field;
    TARN_SSH_STATE(TARN_SSH_DECLARE)
#undef TARN_SSH_DECLARE
} st;

PyObject* intern(const char* text) noexcept { return PyUnicode_InternFromString(text); }

int init_state() noexcept {
#define TARN_SSH_INIT(field, init) \
    st.field.set(init);            \
    if (!st.field) return -1;
    TARN_SSH_STATE(TARN_SSH_INIT)
#undef TARN_SSH_INIT
    return 0;
}

// ---- small call helpers (each returns a new reference or nullptr with an exception set) ----

PyObject* getattr(PyObject* obj, const GlobalRef& name) noexcept { return PyObject_GetAttr(obj, name.get()); }

PyObject* call0(PyObject* obj, const GlobalRef& name) noexcept {
    PyObject* args[] = {nullptr, obj};
    return tarn::call_method(name.get(), args + 1, 1);
}

PyObject* call1(PyObject* obj, const GlobalRef& name, PyObject* a) noexcept {
    PyObject* args[] = {nullptr, obj, a};
    return tarn::call_method(name.get(), args + 1, 2);
}

PyObject* call2(PyObject* obj, const GlobalRef& name, PyObject* a, PyObject* b) noexcept {
    PyObject* args[] = {nullptr, obj, a, b};
    return tarn::call_method(name.get(), args + 1, 3);
}

// Truth of a fresh reference: 1, 0, or -1 with an exception set (also when `value` is null).
int truth(Ref value) noexcept { return value ? PyObject_IsTrue(value.get()) : -1; }

int print_line(PyObject* line) noexcept {
    Ref owned = steal(line);
    return owned ? tarn::print(owned.get()) : -1;
}

// `except Exception as e:` takes the raised exception when it belongs to the Exception family;
// anything else (KeyboardInterrupt, SystemExit) stays raised and an empty Ref is returned.
Ref catch_exception() noexcept {
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

// ---- __init__ -------------------------------------------------------------------------------

const Param init_params[] = {
    {"self"},
    {"username", Check::exact_str, "str"},
    {"password", Check::exact_str, "str"},
    {"host", Check::exact_str, "str"},
    {"port", Check::exact_int, "int"},
    {"pkey_path"},
};
const Signature init_sig = {"__init__", "SSHClient.__init__", nullptr, init_params, 6, 4};

PyObject* init_impl(PyObject* const* args, const Keywords&) noexcept {
    const GlobalRef* names[] = {&st.username, &st.password, &st.host, &st.port, &st.pkey_path};
    for (int i = 0; i < 5; ++i) {
        if (PyObject_SetAttr(args[0], names[i]->get(), args[i + 1]) < 0) return nullptr;
    }
    Py_RETURN_NONE;
}

// ---- the cached connection (__client) -------------------------------------------------------

const Param self_only[] = {{"self"}};
const Signature client_sig = {"__client", "SSHClient.__client", nullptr, self_only, 1, 1};
const Signature sftp_sig = {"__sftp", "SSHClient.__sftp", nullptr, self_only, 1, 1};
const Signature close_sig = {"close", "SSHClient.close", nullptr, self_only, 1, 1};

// The guarded part of opening: log in with the key file or the password and report it.
// Returns a new reference to `client`, or nullptr with the failure raised.
PyObject* log_in(PyObject* self, PyObject* paramiko, PyObject* client) noexcept {
    int use_key = truth(steal(getattr(self, st.pkey_path)));
    if (use_key < 0) return nullptr;
    Ref secret;  // the key object, or the password
    if (use_key) {
        Ref rsakey = steal(getattr(paramiko, st.RSAKey));
        Ref path = rsakey ? steal(getattr(self, st.pkey_path)) : Ref();
        if (!path) return nullptr;
        secret = steal(call1(rsakey.get(), st.from_private_key_file, path.get()));
        if (!secret) return nullptr;
    }
    Ref host = steal(getattr(self, st.host));
    if (!host) return nullptr;
    Ref port = steal(getattr(self, st.port));
    if (!port) return nullptr;
    Ref username = steal(getattr(self, st.username));
    if (!username) return nullptr;
    if (!use_key && !(secret = steal(getattr(self, st.password)))) return nullptr;
    // client.connect(host, port=..., username=..., pkey=... | password=...)
    PyObject* args[] = {nullptr, client, host.get(), port.get(), username.get(), secret.get()};
    PyObject* kwnames = use_key ? st.connect_with_key.get() : st.connect_with_password.get();
    Ref done = steal(tarn::call_method(st.connect.get(), args + 1, 2, kwnames));
    if (!done) return nullptr;

    host = steal(getattr(self, st.host));
    port = host ? steal(getattr(self, st.port)) : Ref();
    username = port ? steal(getattr(self, st.username)) : Ref();
    if (!username) return nullptr;
    if (print_line(PyUnicode_FromFormat("Connected to %S:%S as %S", host.get(), port.get(),
                                        username.get())) < 0)
        return nullptr;
    return Py_NewRef(client);
}

PyObject* client_impl(PyObject* const* args, const Keywords&) noexcept {
    PyObject* self = args[0];
    // Making the connection object and its host-key policy may raise to the reader.
    Ref paramiko = steal(tarn::lookup_global(st.paramiko.get()));
    if (!paramiko) return nullptr;
    Ref factory = steal(getattr(paramiko.get(), st.SSHClient));
    Ref client = factory ? steal(PyObject_CallNoArgs(factory.get())) : Ref();
    if (!client) return nullptr;
    Ref policy_type = steal(getattr(paramiko.get(), st.AutoAddPolicy));
    Ref policy = policy_type ? steal(PyObject_CallNoArgs(policy_type.get())) : Ref();
    if (!policy) return nullptr;
    Ref ignored = steal(call1(client.get(), st.set_missing_host_key_policy, policy.get()));
    if (!ignored) return nullptr;

    if (PyObject* connected = log_in(self, paramiko.get(), client.get())) return connected;
    Ref exc = catch_exception();
    if (!exc) return nullptr;
    Handling handling(exc.get());
    Ref host = steal(getattr(self, st.host));
    Ref port = host ? steal(getattr(self, st.port)) : Ref();
    if (!port) return nullptr;
    if (print_line(PyUnicode_FromFormat("Failed to connect to %S:%S - %S", host.get(), port.get(),
                                        exc.get())) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

// ---- the cached SFTP session (__sftp) and close ---------------------------------------------

// Reads the cached connection (opening it on first use) and tests it for truth; when there is
// none, prints "SSH client is not connected.". Returns 1 when connected, 0 when the line was
// printed, -1 on failure.
int require_connection(PyObject* self) noexcept {
    int connected = truth(steal(getattr(self, st.client_attr)));
    if (connected == 0 && tarn::print(st.not_connected.get()) < 0) return -1;
    return connected;
}

PyObject* sftp_impl(PyObject* const* args, const Keywords&) noexcept {
    PyObject* self = args[0];
    int connected = require_connection(self);
    if (connected <= 0) return connected < 0 ? nullptr : Py_NewRef(Py_None);
    Ref client = steal(getattr(self, st.client_attr));
    return client ? call0(client.get(), st.open_sftp) : nullptr;
}

PyObject* close_impl(PyObject* const* args, const Keywords&) noexcept {
    PyObject* self = args[0];
    int connected = truth(steal(getattr(self, st.client_attr)));
    if (connected <= 0) return connected < 0 ? nullptr : Py_NewRef(Py_None);
    Ref client = steal(getattr(self, st.client_attr));
    Ref done = client ? steal(call0(client.get(), st.close)) : Ref();
    if (!done) return nullptr;
    Ref host = steal(getattr(self, st.host));
    Ref port = host ? steal(getattr(self, st.port)) : Ref();
    if (!port) return nullptr;
    if (print_line(PyUnicode_FromFormat("Connection to %S:%S closed", host.get(), port.get())) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

// ---- run ------------------------------------------------------------------------------------

const char run_doc[] =
    "run command on remote host\n"
    "        e.g. 'bash -l -c \"cd ~;ls -al\"'\n"
    "        e.g. 'echo mewl | sudo -S systemctl daemon-reload'\n"
    "\n"
    "        Args:\n"
    "            command (str): command to run\n"
    "        ";
const Param run_params[] = {{"self"}, {"command", Check::exact_str, "str"}};
const Signature run_sig = {"run", "SSHClient.run", run_doc, run_params, 2, 2};

// Characters that continue a word: "sudo" next to one of them is part of another word
// (visudo, sudoers, sudo.conf, sudo-rs) and is left alone.
inline bool word_char(Py_UCS4 c) noexcept {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-' || c == '.';
}

// "sudo" standing as a word of its own, at index i of `data`.
inline bool sudo_at(int kind, const void* data, Py_ssize_t n, Py_ssize_t i) noexcept {
    if (i + 4 > n) return false;
    if (PyUnicode_READ(kind, data, i) != 's' || PyUnicode_READ(kind, data, i + 1) != 'u' ||
        PyUnicode_READ(kind, data, i + 2) != 'd' || PyUnicode_READ(kind, data, i + 3) != 'o')
        return false;
    if (i > 0 && word_char(PyUnicode_READ(kind, data, i - 1))) return false;
    return i + 4 == n || !word_char(PyUnicode_READ(kind, data, i + 4));
}

// Rewrites every "sudo" that stands as a word to "sudo -S", so sudo reads the password from
// standard input. Returns a new reference (the same object when nothing changes).
PyObject* rewrite_sudo(PyObject* command) noexcept {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(command);
    const int kind = PyUnicode_KIND(command);
    const void* data = PyUnicode_DATA(command);
    Py_ssize_t count = 0;
    for (Py_ssize_t i = 0; i + 4 <= n; ++i) {
        if (sudo_at(kind, data, n, i)) {
            ++count;
            i += 3;
        }
    }
    if (count == 0) return Py_NewRef(command);
    PyObject* out = PyUnicode_New(n + 3 * count, PyUnicode_MAX_CHAR_VALUE(command));
    if (!out) return nullptr;
    const int out_kind = PyUnicode_KIND(out);
    void* out_data = PyUnicode_DATA(out);
    Py_ssize_t j = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (sudo_at(kind, data, n, i)) {
            for (char c : {'s', 'u', 'd', 'o', ' ', '-', 'S'}) PyUnicode_WRITE(out_kind, out_data, j++, c);
            i += 3;
        } else {
            PyUnicode_WRITE(out_kind, out_data, j++, PyUnicode_READ(kind, data, i));
        }
    }
    return out;
}

// `stdin, stdout, stderr = result` with the unpacking errors of the original code.
int unpack3(PyObject* result, Ref (&out)[3]) noexcept {
    if (PyTuple_CheckExact(result) && PyTuple_GET_SIZE(result) == 3) {
        for (int i = 0; i < 3; ++i) out[i] = tarn::borrow(PyTuple_GET_ITEM(result, i));
        return 0;
    }
    if (!Py_TYPE(result)->tp_iter && !PySequence_Check(result)) {
        PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(result)->tp_name);
        return -1;
    }
    Ref it = steal(PyObject_GetIter(result));
    if (!it) return -1;
    for (Py_ssize_t i = 0; i < 3; ++i) {
        out[i] = steal(PyIter_Next(it.get()));
        if (out[i]) continue;
        if (PyErr_Occurred()) return -1;
        PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", i, i == 1 ? "" : "s");
        return -1;
    }
    Ref extra = steal(PyIter_Next(it.get()));
    if (extra) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{3});
        return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// Writes the password line to the command's standard input. A command that has already
// finished has closed its channel: nothing can reach it then, and the write error is ignored
// so that its output is still read and printed.
int send_password(PyObject* self, PyObject* stdin_file) noexcept {
    Ref password = steal(getattr(self, st.password));
    Ref line = password ? steal(PyNumber_Add(password.get(), st.newline.get())) : Ref();
    if (!line) return -1;
    Ref channel;
    if (PyObject_GetOptionalAttr(stdin_file, st.channel.get(), tarn::prepare_ref(channel)) < 0) return -1;
    if (channel) {
        int closed = truth(steal(getattr(channel.get(), st.closed)));
        if (closed < 0) return -1;
        if (closed) return 0;
    }
    Ref written = steal(call1(stdin_file, st.write, line.get()));
    Ref flushed = written ? steal(call0(stdin_file, st.flush)) : Ref();
    if (flushed) return 0;
    if (!PyErr_ExceptionMatches(PyExc_OSError)) return -1;
    PyErr_Clear();
    return 0;
}

// The received pieces of one stream, joined into bytes at the end.
class Chunks {
public:
    int add(PyObject* piece) noexcept {
        Ref owned = steal(piece);
        if (!owned) return -1;
        if (!PyBytes_Check(owned.get()))
            return tarn::raise_int(PyExc_TypeError, "the channel returned something other than bytes");
        size_ += PyBytes_GET_SIZE(owned.get());
        try {
            pieces_.push_back(std::move(owned));
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return -1;
        }
        return 0;
    }
    PyObject* join() noexcept {
        if (pieces_.size() == 1) return Py_NewRef(pieces_.front().get());
        PyObject* out = PyBytes_FromStringAndSize(nullptr, size_);
        if (!out) return nullptr;
        char* dst = PyBytes_AS_STRING(out);
        for (const Ref& piece : pieces_) {
            memcpy(dst, PyBytes_AS_STRING(piece.get()), PyBytes_GET_SIZE(piece.get()));
            dst += PyBytes_GET_SIZE(piece.get());
        }
        return out;
    }

private:
    std::vector<Ref> pieces_;
    Py_ssize_t size_ = 0;
};

// Waits, without the interpreter lock, until the channel's event descriptor is readable. The
// wait is bounded so that a wake-up lost between the dependency's two stream events costs a
// short delay instead of a hang; a signal is handled as Python code would handle it.
int wait_readable(int fd) noexcept {
    pollfd p = {fd, POLLIN, 0};
    int rc, error;
    Py_BEGIN_ALLOW_THREADS
    rc = poll(&p, 1, 50);
    error = errno;
    Py_END_ALLOW_THREADS
    if (rc >= 0) return 0;
    if (error == EINTR) return PyErr_CheckSignals();
    errno = error;
    PyErr_SetFromErrno(PyExc_OSError);
    return -1;
}

// Reads the command's output and error streams together until the command has closed them,
// so a command that fills its error stream before closing its output cannot stall.
int drain_channel(PyObject* channel, Ref& out, Ref& err) noexcept {
    Chunks out_chunks, err_chunks;
    int fd = -1;
    for (;;) {
        // Seen before the buffers are checked: data always arrives before the end of the streams.
        int finished = truth(steal(getattr(channel, st.eof_received)));
        if (finished == 0) finished = truth(steal(getattr(channel, st.closed)));
        if (finished < 0) return -1;
        int out_ready = truth(steal(call0(channel, st.recv_ready)));
        if (out_ready < 0) return -1;
        if (out_ready && out_chunks.add(call1(channel, st.recv, st.recv_size.get())) < 0) return -1;
        int err_ready = truth(steal(call0(channel, st.recv_stderr_ready)));
        if (err_ready < 0) return -1;
        if (err_ready && err_chunks.add(call1(channel, st.recv_stderr, st.recv_size.get())) < 0) return -1;
        if (out_ready || err_ready) continue;
        if (finished) break;
        if (fd < 0) {
            Ref number = steal(call0(channel, st.fileno));
            if (!number) return -1;
            fd = PyLong_AsInt(number.get());
            if (fd == -1 && PyErr_Occurred()) return -1;
        }
        if (wait_readable(fd) < 0) return -1;
    }
    out = steal(out_chunks.join());
    if (!out) return -1;
    err = steal(err_chunks.join());
    return err ? 0 : -1;
}

// `data.decode("utf-8")`, strict.
PyObject* decode_utf8(PyObject* data) noexcept {
    if (PyBytes_CheckExact(data))
        return PyUnicode_DecodeUTF8(PyBytes_AS_STRING(data), PyBytes_GET_SIZE(data), "strict");
    return call1(data, st.decode, st.utf_8.get());
}

PyObject* run_impl(PyObject* const* args, const Keywords&) noexcept {
    PyObject* self = args[0];
    int connected = require_connection(self);
    if (connected <= 0) return connected < 0 ? nullptr : Py_NewRef(Py_None);
    Ref command = steal(rewrite_sudo(args[1]));
    if (!command) return nullptr;
    Ref client = steal(getattr(self, st.client_attr));
    Ref result = client ? steal(call1(client.get(), st.exec_command, command.get())) : Ref();
    if (!result) return nullptr;
    Ref streams[3];  // stdin, stdout, stderr
    if (unpack3(result.get(), streams) < 0) return nullptr;
    if (send_password(self, streams[0].get()) < 0) return nullptr;

    Ref out, err;
    Ref channel;
    if (PyObject_GetOptionalAttr(streams[1].get(), st.channel.get(), tarn::prepare_ref(channel)) < 0)
        return nullptr;
    if (channel) {
        if (drain_channel(channel.get(), out, err) < 0) return nullptr;
    } else {
        // Plain file objects: read each stream to its end, output first.
        if (!(out = steal(call0(streams[1].get(), st.read)))) return nullptr;
        if (!(err = steal(call0(streams[2].get(), st.read)))) return nullptr;
    }
    Ref output = steal(decode_utf8(out.get()));
    if (!output) return nullptr;
    Ref error = steal(decode_utf8(err.get()));
    if (!error) return nullptr;
    if (tarn::print(output.get()) < 0) return nullptr;
    int has_error = PyObject_IsTrue(error.get());
    if (has_error < 0 || (has_error && tarn::print(error.get()) < 0)) return nullptr;
    Py_RETURN_NONE;
}

// ---- upload and download --------------------------------------------------------------------

const Param upload_params[] = {
    {"self"}, {"local_path", Check::exact_str, "str"}, {"remote_path", Check::exact_str, "str"}};
const Signature upload_sig = {"upload", "SSHClient.upload", nullptr, upload_params, 3, 3};
const Param download_params[] = {
    {"self"}, {"remote_path", Check::exact_str, "str"}, {"local_path", Check::exact_str, "str"}};
const Signature download_sig = {"download", "SSHClient.download", nullptr, download_params, 3, 3};

// Copies `source` to `destination` with the session's put or get, reporting the outcome as one
// printed line; failures of the Exception family are printed, never raised.
PyObject* transfer(PyObject* self, const GlobalRef& method, PyObject* source, PyObject* destination,
                   const char* success_format, const char* failure_format) noexcept {
    Ref sftp = steal(getattr(self, st.sftp_attr));
    Ref done = sftp ? steal(call2(sftp.get(), method, source, destination)) : Ref();
    if (done && print_line(PyUnicode_FromFormat(success_format, source, destination)) == 0)
        Py_RETURN_NONE;
    Ref exc = catch_exception();
    if (!exc) return nullptr;
    Handling handling(exc.get());
    if (print_line(PyUnicode_FromFormat(failure_format, exc.get())) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* upload_impl(PyObject* const* args, const Keywords&) noexcept {
    return transfer(args[0], st.put, args[1], args[2], "upload successfully: %U -> %U",
                    "failed to upload: %S");
}

PyObject* download_impl(PyObject* const* args, const Keywords&) noexcept {
    return transfer(args[0], st.get, args[1], args[2], "download successfully: %U -> %U",
                    "failed to download: %S");
}

}  // namespace

TARN_DEFINE_STATE_GC(TARN_SSH_STATE, st, traverse_state, clear_state)

int add_client_class(PyObject* module) noexcept {
    if (init_state() < 0) return -1;
    Ref cached_property = steal(PyObject_GetAttrString(module, "cached_property"));
    if (!cached_property) return -1;
    auto cached = [&](const Signature& sig, tarn::Impl impl) -> PyObject* {
        Ref function = steal(tarn::new_function(sig, impl));
        return function ? PyObject_CallOneArg(cached_property.get(), function.get()) : nullptr;
    };
    Ref bases = steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    Ref defaults = steal(Py_BuildValue("(iO)", 22, Py_None));
    if (!bases || !defaults) return -1;
    tarn::ClassBuilder builder;
    if (builder.begin("SSHClient", bases.get()) < 0 ||
        builder.set("__module__", PyUnicode_FromString("tarn.terminal.ssh")) < 0 ||
        builder.set("__qualname__", PyUnicode_FromString("SSHClient")) < 0 ||
        builder.set("__init__", tarn::new_function(init_sig, init_impl, defaults.get())) < 0 ||
        builder.set("upload", tarn::new_function(upload_sig, upload_impl)) < 0 ||
        builder.set("download", tarn::new_function(download_sig, download_impl)) < 0 ||
        builder.set("run", tarn::new_function(run_sig, run_impl)) < 0 ||
        builder.set("close", tarn::new_function(close_sig, close_impl)) < 0 ||
        builder.set("_SSHClient__sftp", cached(sftp_sig, sftp_impl)) < 0 ||
        builder.set("_SSHClient__client", cached(client_sig, client_impl)) < 0)
        return -1;
    return tarn::bind(module, "SSHClient", builder.finish());
}

}  // namespace tarn_ssh
