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

# --- SSH client -------------------------------------------------------------------------------

# --- terminal launcher ------------------------------------------------------------------------
