"""Shared pytest fixtures. Each module's fixtures live in their own section below."""

import subprocess
import sys

import pytest

from helpers import run_python


@pytest.fixture
def python():
    """Runs code in a fresh interpreter (for loading rules and process-wide behaviour)."""
    return run_python


# --- driver base (plinth) ---------------------------------------------------------------------

@pytest.fixture
def make_driver():
    """Returns a factory of concrete Plinth subclasses that record every device call in
    `cls.calls` as (operation, args, kw); `write` answers ("ack", value), `read` answers
    `reads.get(name)` (None when absent)."""
    from tarn.driver.common.plinth import Plinth

    def make(quants=(), chs=(1,), reads=None, base=Plinth):
        calls = []

        class Recorder(base):
            CHs = list(chs)
            def open(self, **kw): calls.append(("open", (), kw))
            def close(self, **kw): calls.append(("close", (), kw))
            def write(self, name, value, **kw):
                calls.append(("write", (name, value), kw))
                return ("ack", value)
            def read(self, name, **kw):
                calls.append(("read", (name,), kw))
                return (reads or {}).get(name)

        Recorder.quants = list(quants)
        Recorder.calls = calls
        return Recorder

    return make



@pytest.fixture
def drv(cls):
    """An instance of the module's `cls` fixture (a driver class made by make_driver)."""
    return cls()

# --- SSH client -------------------------------------------------------------------------------


def serve_sshd():
    """Starts a real OpenSSH server on a free 127.0.0.1 port (tests/sshd_server.py), yields it
    and stops it with its open connections. Skips where it cannot run: not root, no sshd, or
    sshd fails its configuration check."""
    import sshd_server

    server = sshd_server.SSHServer()
    try:
        server.start()
    except sshd_server.Unavailable as e:
        pytest.skip(f"no OpenSSH server for the SSH tests: {e}")
    try:
        yield server
    finally:
        server.stop()


@pytest.fixture(scope="session")
def sshd():
    """The server shared by the whole session."""
    yield from serve_sshd()


@pytest.fixture
def own_sshd():
    """A server of its own for one test, which the test may stop (fault tests)."""
    yield from serve_sshd()


@pytest.fixture
def remote_dir(sshd):
    """An empty folder that the test user owns, for the remote side of transfers and commands
    (the server runs on this machine, so the test reads and writes it directly)."""
    import os
    import shutil
    import tempfile

    import sshd_server

    path = tempfile.mkdtemp(prefix="tarn-remote-")
    entry = sshd_server.ensure_user()
    os.chown(path, entry.pw_uid, entry.pw_gid)
    try:
        yield path
    finally:
        shutil.rmtree(path, ignore_errors=True)


@pytest.fixture
def ssh_client(sshd):
    """Returns a factory of SSHClient objects for the session server, logging in with the
    password unless other settings are given. Connections left open are closed quietly at the
    end (through the cached connection object, so nothing is printed)."""
    from tarn.terminal.ssh import SSHClient

    made = []

    def make(username=sshd.user, password=sshd.password, host=sshd.host, port=None, **kw):
        client = SSHClient(username, password, host, sshd.port if port is None else port, **kw)
        made.append(client)
        return client

    yield make
    for client in made:
        connection = vars(client).get("_SSHClient__client")
        if connection is not None:
            connection.close()


@pytest.fixture
def connected(ssh_client, capsys):
    """An SSHClient already connected to the session server, its "Connected to" line consumed."""
    client = ssh_client()
    assert client._SSHClient__client is not None
    assert capsys.readouterr().out.startswith("Connected to ")
    return client


# --- SCPI instrument on loopback -------------------------------------------------------------


class LoopbackInstrument:
    """The process of tests/scpi_instrument.py, as the `instrument` fixture yields it."""

    def __init__(self, process, port, log_path):
        self.process = process
        self.port = port
        self.resource = f"TCPIP0::127.0.0.1::{port}::SOCKET"  # for pyvisa-py (backend "@py")
        self.log_path = log_path  # the server's stderr
        self._control = None

    def control(self, line, timeout=10.0):
        """Sends one control line ("!" is added when missing) on the fixture's own connection
        and returns the server's one-line answer."""
        import socket

        if self._control is None:
            connection = socket.create_connection(("127.0.0.1", self.port), timeout=timeout)
            self._control = (connection, connection.makefile("rb"))
        connection, answers = self._control
        connection.settimeout(timeout)
        connection.sendall(("" if line.startswith("!") else "!").encode() + line.encode() + b"\n")
        answer = answers.readline()
        if not answer.endswith(b"\n"):
            raise ConnectionError(f"the instrument closed the control connection: {answer!r}")
        return answer.decode().rstrip("\n")

    def state(self):
        """The instrument's state: channels {"1": {voltage, current, output, frequency}, "2":
        ...}, display, errors (the queue), faults and injected (armed, not yet used)."""
        import json

        return json.loads(self.control("!state"))

    def fault(self, kind, arg=None):
        """Arms a misbehaviour for the next answer (silent, late <seconds>, double, hangup,
        reset, garbage) or an error entry for the next command (error <code> [text])."""
        line = f"!fault {kind}" if arg is None else f"!fault {kind} {arg}"
        answer = self.control(line)
        if answer != "ok":
            raise ValueError(answer)

    def received(self):
        """The instrument lines received on every connection so far, in order."""
        import json

        return json.loads(self.control("!log"))

    def clear(self):
        """Empties the log that `received` returns."""
        assert self.control("!clear") == "ok"

    def stop(self):
        """Stops the server by its PID (terminate, then kill); returns what it wrote to stderr."""
        if self._control is not None:
            for part in reversed(self._control):
                part.close()
            self._control = None
        self.process.stdin.close()
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(timeout=10)
        return self.log_path.read_text(errors="replace")


def serve_instrument(folder):
    """Starts tests/scpi_instrument.py on a free 127.0.0.1 port, yields it as a
    LoopbackInstrument and stops it; fails the test if the server printed a traceback (a fault
    of the server, not of the driver under test)."""
    import os
    import select
    import time

    script = os.path.join(os.path.dirname(__file__), "scpi_instrument.py")
    log_path = folder / "instrument.log"
    with open(log_path, "wb") as log:
        process = subprocess.Popen([sys.executable, script, "--port", "0", "--stdin"],
                                   stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=log)
    port, deadline = b"", time.monotonic() + 10
    while not port.endswith(b"\n"):
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([process.stdout], [], [], left)[0]:
            break
        chunk = os.read(process.stdout.fileno(), 16)
        if not chunk:  # the server exited
            break
        port += chunk
    process.stdout.close()
    server = LoopbackInstrument(process, int(port) if port.strip().isdigit() else None, log_path)
    if server.port is None:
        pytest.fail(f"the instrument did not start: {server.stop()}")
    try:
        yield server
    finally:
        errors = server.stop()
    if "Traceback" in errors:
        pytest.fail(f"the instrument failed:\n{errors}")


@pytest.fixture
def instrument(tmp_path):
    """A fresh tests/scpi_instrument.py process on a free 127.0.0.1 port for each test, as a
    LoopbackInstrument. A process per test costs a few tens of milliseconds and leaves no state,
    armed fault, late answer or half-read connection behind for the next test."""
    yield from serve_instrument(tmp_path)


@pytest.fixture
def instruments(tmp_path):
    """Starts further loopback instruments: `instruments()` returns a new one each call; all
    are stopped when the test ends."""
    import contextlib
    import itertools

    numbers = itertools.count(1)
    with contextlib.ExitStack() as stack:
        def start():
            folder = tmp_path / f"instrument-{next(numbers)}"
            folder.mkdir()
            return stack.enter_context(contextlib.contextmanager(serve_instrument)(folder))
        yield start


# --- terminal launcher ------------------------------------------------------------------------


class FakeHost:
    """Stands in for platform.system, shutil.which and subprocess.Popen, logging every call."""

    def __init__(self):
        self.system = "Linux"
        self.found = {}              # program name -> what shutil.which returns for it
        self.flags = object()        # stands for subprocess.CREATE_NEW_CONSOLE
        self.events = []             # (kind, args, kwargs) in call order
        self.popen_error = None      # raised by the launch call when set

    def platform_system(self, *args, **kwargs):
        self.events.append(("system", args, kwargs))
        return self.system

    def which(self, *args, **kwargs):
        self.events.append(("which", args, kwargs))
        return self.found.get(args[0])

    def popen(self, *args, **kwargs):
        self.events.append(("Popen", args, kwargs))
        if self.popen_error is not None:
            raise self.popen_error
        return object()

    @property
    def searched(self):
        """The names given to shutil.which, in order (each call must pass exactly one)."""
        assert all(len(a) == 1 and not k for kind, a, k in self.events if kind == "which")
        return [a[0] for kind, a, _ in self.events if kind == "which"]

    @property
    def launches(self):
        return [(a, k) for kind, a, k in self.events if kind == "Popen"]


@pytest.fixture
def fake_host(monkeypatch):
    """A FakeHost patched into the real platform, shutil and subprocess modules, with the
    VS Code environment variables removed."""
    import platform
    import shutil

    host = FakeHost()
    monkeypatch.setattr(platform, "system", host.platform_system)
    monkeypatch.setattr(shutil, "which", host.which)
    monkeypatch.setattr(subprocess, "Popen", host.popen)
    monkeypatch.setattr(subprocess, "CREATE_NEW_CONSOLE", host.flags, raising=False)
    for name in ("VSCODE_GIT_IPC_HANDLE", "TERM_PROGRAM"):
        monkeypatch.delenv(name, raising=False)
    return host


@pytest.fixture
def xvfb_display(tmp_path):
    """Starts Xvfb on a free display number, yields its name (":N") and stops it by PID."""
    import os
    import select
    import shutil
    import time

    if not sys.platform.startswith("linux"):
        pytest.skip("Xvfb and xterm are tested on Linux only")
    xvfb = shutil.which("Xvfb")
    if xvfb is None:
        pytest.skip("Xvfb is not installed (scripts/bootstrap.sh installs it)")
    read_end, write_end = os.pipe()
    with open(tmp_path / "xvfb.log", "wb") as log:
        # -displayfd: the server takes the first free display number and writes it to the pipe.
        server = subprocess.Popen(
            [xvfb, "-displayfd", str(write_end), "-nolisten", "tcp", "-screen", "0", "640x480x24"],
            pass_fds=(write_end,), stdin=subprocess.DEVNULL, stdout=log, stderr=log)
    os.close(write_end)
    try:
        number, deadline = b"", time.monotonic() + 30
        while not number.endswith(b"\n"):
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([read_end], [], [], left)[0]:
                break
            chunk = os.read(read_end, 16)
            if not chunk:  # the server exited
                break
            number += chunk
        if not number.strip().isdigit():
            pytest.skip(f"Xvfb cannot run here: {(tmp_path / 'xvfb.log').read_text(errors='replace')}")
        yield ":" + number.decode().strip()
    finally:
        os.close(read_end)
        server.terminate()
        try:
            server.wait(timeout=10)
        except subprocess.TimeoutExpired:
            server.kill()
            server.wait(timeout=10)
