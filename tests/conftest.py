"""Shared pytest fixtures. Each module's fixtures live in their own section below."""

import subprocess
import sys

import pytest

FREE_THREADED = bool(getattr(sys, "_is_gil_enabled", None)) and not sys._is_gil_enabled()


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
