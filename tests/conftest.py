"""Shared pytest fixtures. Each module's fixtures live in their own section below."""

import subprocess
import sys
import sysconfig

import pytest

# A free-threaded build, whether or not an import has turned the GIL on since.
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def run_python(code, *args, env=None, timeout=120):
    """Run `code` in a fresh interpreter of this environment; returns the CompletedProcess."""
    return subprocess.run(
        [sys.executable, *args, "-c", code],
        capture_output=True, text=True, timeout=timeout, env=env,
    )


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


# --- SSH client -------------------------------------------------------------------------------

# --- terminal launcher ------------------------------------------------------------------------
