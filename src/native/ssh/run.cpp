// SSHClient.run: the command's three streams, the password line, both output streams drained together.
#include <cstring>
#include <new>
#include <vector>

#include "calls.hpp"
#include "errors.hpp"
#include "ssh.hpp"

namespace tarn::ssh {

namespace {

constexpr char kRunDoc[] =
    "run command on remote host\n"
    "        e.g. 'bash -l -c \"cd ~;ls -al\"'\n"
    "        e.g. 'echo mewl | sudo -S systemctl daemon-reload'\n"
    "\n"
    "        Args:\n"
    "            command (str): command to run\n"
    "        ";

// `stdin, stdout, stderr = result`: the three streams, or the error Python's tuple assignment
// raises for a result that is not three items (TypeError for one that is not iterable,
// ValueError for too few or too many).
int unpack3(PyObject* result, Ref (&out)[3]) noexcept {
    if (PyTuple_CheckExact(result) && PyTuple_GET_SIZE(result) == 3) {
        for (int i = 0; i < 3; ++i) out[i] = borrow(PyTuple_GET_ITEM(result, i));
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

// Whether the command's channel has ended: closed, its end of output received, or its exit
// status in. 1, 0, or -1 with an exception set.
int channel_ended(PyObject* channel) noexcept {
    int ended = truth(steal(getattr(channel, state.s_closed)));
    if (ended == 0) ended = truth(steal(getattr(channel, state.s_eof_received)));
    if (ended == 0) ended = truth(steal(tarn::call_method(state.s_exit_status_ready.get(), channel)));
    return ended;
}

// stream.write(line), stream.flush(), stream.close(): 0, or -1 at the first failure.
int write_and_close(PyObject* stream, PyObject* line) noexcept {
    Ref written = steal(tarn::call_method(state.s_write.get(), stream, line));
    if (!written) return -1;
    Ref flushed = steal(tarn::call_method(state.s_flush.get(), stream));
    if (!flushed) return -1;
    Ref closed = steal(tarn::call_method(state.s_close.get(), stream));
    return closed ? 0 : -1;
}

// Writes the password line to the command's standard input, then closes that input (on a
// paramiko stream this shuts the channel's write side): nothing else is ever written to it, and
// a command that reads its input to the end (cat, a filter, a script) would otherwise wait
// forever. A command that has already finished may have closed its channel before the line
// gets there: nothing can reach it then, so an OSError from the write, the flush or the close
// is ignored when the channel has ended at the moment the error is seen, and its output is
// still read and printed. On a channel still open the error is a broken connection and
// propagates.
int send_password(PyObject* self, PyObject* stdin_file) noexcept {
    Ref password = steal(getattr(self, state.s_password));
    if (!password) return -1;
    Ref line = steal(PyNumber_Add(password.get(), state.s_newline.get()));
    if (!line) return -1;
    Ref channel;
    if (PyObject_GetOptionalAttr(stdin_file, state.s_channel.get(), out_param(channel)) < 0) return -1;
    if (channel) {
        int closed = truth(steal(getattr(channel.get(), state.s_closed)));
        if (closed < 0) return -1;
        if (closed) return 0;
    }
    if (write_and_close(stdin_file, line.get()) == 0) return 0;
    if (!channel || !PyErr_ExceptionMatches(PyExc_OSError)) return -1;
    Ref error = steal(PyErr_GetRaisedException());
    int ended;
    {
        tarn::ExceptBlock except_block(error.get());  // a failure to ask is chained to the write error
        ended = channel_ended(channel.get());
    }
    if (ended != 0) return ended < 0 ? -1 : 0;
    PyErr_SetRaisedException(error.release());
    return -1;
}

// The received pieces of one stream, joined into bytes at the end.
class Chunks {
public:
    // Keeps `piece`; -1 when it is empty (a failure to pass on) or not bytes.
    int add(Ref piece) noexcept {
        if (!piece) return -1;
        if (!PyBytes_Check(piece.get()))
            return raise_int(PyExc_TypeError, "the channel returned something other than bytes");
        size_ += PyBytes_GET_SIZE(piece.get());
        try {
            pieces_.push_back(std::move(piece));
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
            std::memcpy(dst, PyBytes_AS_STRING(piece.get()), PyBytes_GET_SIZE(piece.get()));
            dst += PyBytes_GET_SIZE(piece.get());
        }
        return out;
    }

private:
    std::vector<Ref> pieces_;
    Py_ssize_t size_ = 0;
};

// Waits until the channel has data on either stream, through the descriptor paramiko keeps
// readable while either stream holds data. Python's select module does the waiting, so the
// interpreter lock is released and a signal is handled as Python code would handle it:
// select.poll where the platform has it (no ceiling on descriptor numbers), select.select
// elsewhere (Windows, where paramiko's descriptor is a socket). Each wait is bounded (50 ms)
// so that a wake-up lost between the dependency's two stream events costs a short delay
// instead of a hang.
class ChannelWait {
public:
    explicit ChannelWait(PyObject* channel) noexcept : channel_(channel) {}

    // 0 once the wait has ended (data, or the time is up), -1 with an exception set.
    int wait() noexcept {
        if (!poller_ && !readers_ && start() < 0) return -1;
        Ref ready;
        if (poller_)
            ready = steal(tarn::call_method(state.s_poll.get(), poller_.get(), state.wait_ms.get()));
        else
            ready = steal(select_readers());
        if (!ready) return -1;
        return PyErr_CheckSignals();
    }

private:
    // The first wait chooses the way: a poll object registered on the channel, or the list of
    // readers for select.select.
    int start() noexcept {
        PyObject* module = state.select_module.get();
        Ref make_poll;
        if (PyObject_GetOptionalAttr(module, state.s_poll.get(), out_param(make_poll)) < 0) return -1;
        if (!make_poll) {
            readers_ = steal(PyTuple_Pack(1, channel_));
            return readers_ ? 0 : -1;
        }
        Ref mask = steal(getattr(module, state.s_POLLIN));
        if (!mask) return -1;
        Ref poller = steal(PyObject_CallNoArgs(make_poll.get()));
        if (!poller) return -1;
        Ref done = steal(tarn::call_method(state.s_register.get(), poller.get(), channel_, mask.get()));
        if (!done) return -1;
        poller_ = std::move(poller);
        return 0;
    }

    // select.select((channel,), (), (), 0.05)
    PyObject* select_readers() noexcept {
        PyObject* args[] = {nullptr,
                            state.select_module.get(),
                            readers_.get(),
                            state.no_descriptors.get(),
                            state.no_descriptors.get(),
                            state.wait_seconds.get()};
        return tarn::call_method(state.s_select.get(), args + 1, 5);
    }

    PyObject* channel_;  // borrowed: the caller holds it for the whole drain
    Ref poller_;
    Ref readers_;
};

// Reads the command's output and error streams together until the command has closed them,
// so a command that fills its error stream before closing its output cannot stall.
int drain_channel(PyObject* channel, Ref& out, Ref& err) noexcept {
    Chunks out_chunks, err_chunks;
    ChannelWait waiting(channel);
    for (;;) {
        // Seen before the buffers are checked: data always arrives before the end of the streams.
        int finished = truth(steal(getattr(channel, state.s_eof_received)));
        if (finished == 0) finished = truth(steal(getattr(channel, state.s_closed)));
        if (finished < 0) return -1;
        int out_ready = truth(steal(tarn::call_method(state.s_recv_ready.get(), channel)));
        if (out_ready < 0) return -1;
        if (out_ready &&
            out_chunks.add(steal(tarn::call_method(state.s_recv.get(), channel, state.recv_size.get()))) < 0)
            return -1;
        int err_ready = truth(steal(tarn::call_method(state.s_recv_stderr_ready.get(), channel)));
        if (err_ready < 0) return -1;
        if (err_ready &&
            err_chunks.add(steal(tarn::call_method(state.s_recv_stderr.get(), channel, state.recv_size.get()))) < 0)
            return -1;
        if (out_ready || err_ready) continue;
        if (finished) break;
        if (waiting.wait() < 0) return -1;
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
    return tarn::call_method(state.s_decode.get(), data, state.s_utf_8.get());
}

PyObject* run_impl(PyObject* const* args, const Keywords&) noexcept {
    PyObject* self = args[0];
    int connected = require_connection(self);
    if (connected <= 0) return connected < 0 ? nullptr : Py_NewRef(Py_None);
    Ref command = steal(rewrite_sudo(args[1]));
    if (!command) return nullptr;
    Ref client = steal(getattr(self, state.s_client_attr));
    if (!client) return nullptr;
    Ref result = steal(tarn::call_method(state.s_exec_command.get(), client.get(), command.get()));
    if (!result) return nullptr;
    Ref streams[3];  // stdin, stdout, stderr
    if (unpack3(result.get(), streams) < 0) return nullptr;
    if (send_password(self, streams[0].get()) < 0) return nullptr;

    Ref out, err;
    Ref channel;
    if (PyObject_GetOptionalAttr(streams[1].get(), state.s_channel.get(), out_param(channel)) < 0)
        return nullptr;
    if (channel) {
        if (drain_channel(channel.get(), out, err) < 0) return nullptr;
    } else {
        // Plain file objects: read each stream to its end, output first.
        if (!(out = steal(tarn::call_method(state.s_read.get(), streams[1].get())))) return nullptr;
        if (!(err = steal(tarn::call_method(state.s_read.get(), streams[2].get())))) return nullptr;
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

constexpr Param kRunParams[] = {{"self"}, {"command", Check::exact_str, "str"}};

constexpr Definition kMethods[] = {
    {{"run", "SSHClient.run", kRunDoc, kRunParams}, run_impl},
};

}  // namespace

constinit const Definitions run_methods = kMethods;

}  // namespace tarn::ssh
