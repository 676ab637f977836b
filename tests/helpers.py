"""Helpers that test modules import (fixtures live in conftest.py): fresh interpreters, the
process table, the numpy formulation of the codec, and small values that tests share."""

import os
import subprocess
import sys
import sysconfig

import numpy as np

# A free-threaded build, whether or not an import has turned the GIL on since.
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def run_python(code, *args, env=None, timeout=120):
    """Run `code` in a fresh interpreter of this environment; returns the CompletedProcess."""
    return subprocess.run(
        [sys.executable, *args, "-c", code],
        capture_output=True, text=True, timeout=timeout, env=env,
    )


def run_ssh_script(server, body, timeout=120):
    """Runs `body` in a fresh interpreter where `client` is an SSHClient for `server` (password
    login); returns the CompletedProcess. The timeout bounds calls that could otherwise stall."""
    code = (
        "from tarn.terminal.ssh import SSHClient\n"
        f"client = SSHClient({server.user!r}, {server.password!r}, {server.host!r}, {server.port!r})\n"
        + body
    )
    return run_python(code, timeout=timeout)


def processes():
    """Every process this one can see, as (pid, command name, the stat fields after the name)
    read from /proc; the name is in parentheses and may hold blanks."""
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                stat = f.read()
        except OSError:
            continue
        yield int(entry), stat[stat.index("(") + 1:stat.rindex(")")], stat[stat.rindex(")") + 2:].split()


def numpy_compress(a):
    """compress written as numpy's steps (the formulation the codec answers like); an empty
    array gives two empty arrays."""
    if a.shape == (0,):
        return a[:0].copy(), np.zeros(0, dtype=int)
    starts = np.r_[0, np.flatnonzero(np.diff(a)) + 1]
    return a[starts], np.diff(np.r_[starts, len(a)])


def fresh(error):
    """`error` without the traceback and context of its last raise: raising one instance again
    and again would otherwise chain every traceback, and the frames in them, onto it."""
    error.__context__ = None
    return error.with_traceback(None)


class StrSub(str):
    """A str subclass: parameters annotated `str` take exact str only."""
