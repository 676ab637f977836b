"""Stand-ins for what SSHClient uses of paramiko once it is connected: the connection, the
command's streams and their channel, and the SFTP session. Shared by the API tests, the leak
scenarios and the hostile-input search.

A value that is an exception is raised where the stand-in would answer it, each time without
the traceback of its last raise (helpers.fresh)."""

import io
import types

from helpers import fresh


def answer(value):
    """`value`, or raises it when it is an exception."""
    if isinstance(value, BaseException):
        raise fresh(value)
    return value


class Channel:
    """The channel of a command's stream, as run reads it. recv and recv_stderr hand out the
    pieces of `out` and `err` in order; the end of output counts as received once both are
    drained, or as `eof` says when it is given. end() leaves the channel as `ends` says:
    "closed", "eof", "exit status" (exit_status_ready() is then true) or None (still open)."""

    closed = False

    def __init__(self, out=(), err=(), eof=None, ends=None):
        self.out, self.err = list(out), list(err)
        self.eof, self.ends, self.exited = eof, ends, False

    @property
    def eof_received(self):
        return not self.out and not self.err if self.eof is None else self.eof

    def end(self):
        self.closed = self.ends == "closed"
        self.eof = self.ends == "eof"
        self.exited = self.ends == "exit status"

    def exit_status_ready(self): return self.exited
    def recv_ready(self): return bool(self.out)
    def recv_stderr_ready(self): return bool(self.err)
    def recv(self, n): return self.out.pop(0)
    def recv_stderr(self, n): return self.err.pop(0)
    def fileno(self): return -1


class ScriptedChannel:
    """A channel that answers from `plan` (attribute -> value, or an exception to raise) and
    reports its end after a few calls, so the reading loop always finishes."""

    def __init__(self, plan):
        self.plan, self.calls = plan, 0

    def _answer(self, key, default):
        self.calls += 1
        if self.calls > 8:
            return {"eof_received": True, "closed": True}.get(key, False)
        return answer(self.plan.get(key, default))

    eof_received = property(lambda self: self._answer("eof_received", True))
    closed = property(lambda self: self._answer("closed", False))
    def recv_ready(self): return self._answer("recv_ready", False)
    def recv_stderr_ready(self): return self._answer("recv_stderr_ready", False)
    def recv(self, n): return self._answer("recv", b"")
    def recv_stderr(self, n): return self._answer("recv_stderr", b"")
    def fileno(self): return self._answer("fileno", -1)


class Stream:
    """One of a command's streams. read() answers `data`; when `data` is an exception, the
    methods named in `fails_in` raise it instead, after ending the stream's channel (see
    Channel.end). write, flush and close are recorded in `written`. `channel`, when given, is the
    stream's channel attribute."""

    def __init__(self, data=b"", channel=None, fails_in=("read", "write", "flush", "close")):
        self.data, self.fails_in, self.written = data, fails_in, []
        if channel is not None:
            self.channel = channel

    def _step(self, method):
        if isinstance(self.data, BaseException) and method in self.fails_in:
            end = getattr(getattr(self, "channel", None), "end", None)
            if end is not None:
                end()
            answer(self.data)

    def read(self):
        self._step("read")
        return self.data

    def write(self, text):
        self.written.append(text)
        self._step("write")

    def flush(self):
        self.written.append("<flush>")
        self._step("flush")

    def close(self):
        self.written.append("<close>")
        self._step("close")


# What exec_command answers by default: a recording standard input and the output and error
# text as plain file objects (no channel).
PLAIN = object()


class Connection:
    """The connection: exec_command counts its calls, keeps the last command and answers
    `result` (by default, see PLAIN); a function there is called for each command (fresh
    streams each time), an exception is raised. close raises `result` when it is an exception;
    open_sftp gives a Session whose outcome is `result`."""

    def __init__(self, result=PLAIN, out=b"", err=b""):
        self.result, self.out, self.err = result, out, err
        self.stdin, self.runs, self.command = Stream(), 0, None

    def exec_command(self, command):
        self.runs, self.command = self.runs + 1, command
        if self.result is PLAIN:
            return self.stdin, io.BytesIO(self.out), io.BytesIO(self.err)
        if isinstance(self.result, types.FunctionType):
            return self.result()
        return answer(self.result)

    def close(self):
        if isinstance(self.result, BaseException):
            answer(self.result)

    def open_sftp(self):
        return Session(self.result)


class Session:
    """The SFTP session: put and get answer `outcome` (or raise it); download opens the remote
    file before get, which gives the session itself."""

    def __init__(self, outcome=None):
        self.outcome = outcome

    def put(self, a, b):
        return answer(self.outcome)

    get = put

    def open(self, path, mode):
        return self

    def close(self):
        pass
