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
