"""The SSH benchmark script still runs: a quick pass prints its table with every workload."""

import pathlib
import re
import subprocess
import sys

import pytest

pytest.importorskip("tarn.terminal.ssh", reason="paramiko is not installed for this interpreter")
pytestmark = pytest.mark.slow

SCRIPT = pathlib.Path(__file__).resolve().parent.parent / "bench" / "bench_ssh.py"


def test_quick_pass_prints_medians_and_ratios(sshd):  # sshd: skips where no server can run
    done = subprocess.run([sys.executable, str(SCRIPT), "--quick"], capture_output=True, text=True,
                          timeout=300)
    assert done.returncode == 0, done.stderr
    rows = [line for line in done.stdout.splitlines() if re.match(r'run\(|upload 20 MB', line)]
    assert len(rows) == 3, done.stdout
    for row in rows:
        assert re.fullmatch(r'(run\("true"\)|run\("sleep 0\.01"\)|upload 20 MB)\s+\d+(\s+\d+\.\d\d){4}'
                            r'\s+(\d+\.\d\d|-)(\s+\d+\.\d{3}){2}', row), row
    assert re.search(r"^upload, SSHClient / SSHClient with Nagle on: \d+\.\d{3}$", done.stdout, re.M)
    assert re.search(r"^targets .*: (met|missed by .+)$", done.stdout, re.M)
