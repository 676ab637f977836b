"""The SSH benchmark script still runs: a quick pass prints its table with both workloads."""

import pathlib
import re
import subprocess
import sys

import pytest

pytest.importorskip("tarn.terminal.ssh", reason="paramiko is not installed for this interpreter")
pytestmark = pytest.mark.slow

SCRIPT = pathlib.Path(__file__).resolve().parent.parent / "bench" / "bench_ssh.py"
NUMBER = r"\d+\.\d{3}"


def test_quick_pass_prints_medians_and_ratios(sshd):  # sshd: skips where no server can run
    done = subprocess.run([sys.executable, str(SCRIPT), "--quick"], capture_output=True, text=True,
                          timeout=300)
    assert done.returncode == 0, done.stderr
    rows = [line for line in done.stdout.splitlines() if re.match(r'run\("true"\)|upload 20 MB', line)]
    assert len(rows) == 2, done.stdout
    for row in rows:
        assert re.fullmatch(rf'(run\("true"\)|upload 20 MB)\s+\d+(\s+{NUMBER}){{3}}', row), row
    assert re.search(r"^target: (met|missed by .+)$", done.stdout, re.M)
