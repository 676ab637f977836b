"""terminal() on a real X display: xterm under Xvfb runs the command in the given directory."""

import os
import shutil
import signal
import subprocess
import time

import pytest

from helpers import processes
from tarn.terminal.terminal import terminal


def children_named(name):
    """PIDs of this process's children whose command name is `name` (read from /proc)."""
    return [pid for pid, comm, fields in processes() if comm == name and int(fields[1]) == os.getpid()]


def stop_child(pid, deadline):
    """Kills our child `pid` if it is still there and reaps it, waiting at most until `deadline`."""
    if pid not in children_named("xterm"):
        return
    os.kill(pid, signal.SIGKILL)
    while time.monotonic() < deadline:
        try:
            if os.waitpid(pid, os.WNOHANG)[0] == pid:
                return
        except ChildProcessError:  # already reaped by subprocess's own bookkeeping
            return
        time.sleep(0.05)


def test_xterm_runs_the_command_in_the_working_directory(xvfb_display, tmp_path, monkeypatch):
    xterm = shutil.which("xterm")
    if xterm is None:
        pytest.skip("xterm is not installed (scripts/bootstrap.sh installs it)")
    monkeypatch.setenv("DISPLAY", xvfb_display)
    probe = subprocess.run([xterm, "-e", "true"], capture_output=True, text=True, timeout=60)
    if probe.returncode != 0:
        pytest.skip(f"xterm cannot run on {xvfb_display}: {probe.stderr.strip()}")

    # Only xterm can be found, so the other three are probed and passed over.
    searched, real_which = [], shutil.which
    monkeypatch.setattr(shutil, "which", lambda name: searched.append(name) or (
        real_which(name) if name == "xterm" else None))
    workdir = tmp_path / "work dir"
    workdir.mkdir()
    before = set(children_named("xterm"))
    assert terminal("touch MARKER; exit", cwd=str(workdir)) is None
    started = [pid for pid in children_named("xterm") if pid not in before]
    try:
        assert searched == ["gnome-terminal", "konsole", "xfce4-terminal", "xterm"]
        deadline = time.monotonic() + 60
        while not (workdir / "MARKER").exists() and time.monotonic() < deadline:
            time.sleep(0.05)
        assert (workdir / "MARKER").exists(), "xterm did not run the command within 60 s"
    finally:
        stop_deadline = time.monotonic() + 20
        for pid in started:
            stop_child(pid, stop_deadline)
