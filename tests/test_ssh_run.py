"""SSHClient.run against a real sshd: what is printed, the password on standard input, the
sudo rewrite as the remote shell receives it, decoding, large streams (with either way of
waiting for the channel), and many quick commands on one connection."""

import os
import shutil

import pytest

ssh = pytest.importorskip("tarn.terminal.ssh", reason="paramiko is not installed for this interpreter")

import sshd_server  # noqa: E402
from helpers import run_ssh_script  # noqa: E402

# Prints the command line exactly as the remote shell received it (bash -c sets this variable).
SHOW = "printf '%s\\n' \"$BASH_EXECUTION_STRING\" #"


@pytest.mark.parametrize("command, printed", [
    ("echo hello", "hello\n\n"),
    ("true", "\n"),
    ("exit 3", "\n"),  # the exit status is not reported
    ("echo oops >&2", "\noops\n\n"),
    ("printf oops >&2", "\noops\n"),
    # Output first, then error, whatever order the command wrote them in.
    ("printf e1 >&2; printf o1; printf e2 >&2; printf o2", "o1o2\ne1e2\n"),
    ("echo err >&2; sleep 0.2; echo out", "out\n\nerr\n\n"),
    ("printf '\\303\\251\\360\\237\\230\\200'", "\u00e9\U0001f600\n"),
    ("printf 'a\\r\\nb\\000c'", "a\r\nb\x00c\n"),
    ("ls /tarn-no-such-dir", "\nls: cannot access '/tarn-no-such-dir': No such file or directory\n\n"),
    # The command line as the remote shell received it: sudo rewritten word-wise (the full
    # table of the rewrite is in test_ssh_api.py).
    (SHOW + " sudo x && (sudo -S y) sudoers visudo SUDO \u00e9sudo",
     SHOW + " sudo -S x && (sudo -S -S y) sudoers visudo SUDO \u00e9sudo -S\n\n"),
])
def test_printed_output_then_error(connected, command, printed, capsys):
    assert connected.run(command) is None
    assert capsys.readouterr().out == printed


@pytest.mark.parametrize("command", ["head -n1", "read -r line; echo \"[$line]\" >&2"])
def test_the_password_line_reaches_standard_input(sshd, connected, command, capsys):
    connected.run(command)
    out = capsys.readouterr().out
    assert out in (f"{sshd.password}\n\n", f"\n[{sshd.password}]\n\n")


# Standard input ends after the password line, so a command that reads it to the end returns.
@pytest.mark.parametrize("command, printed", [("cat", "{}\n\n"), ("wc -l", "1\n\n")])
def test_commands_reading_their_input_to_the_end_return(sshd, command, printed):
    # In a separate interpreter so that a run that never returns fails by its time-out.
    done = run_ssh_script(sshd, f"client.run({command!r})\n", timeout=60)
    assert done.returncode == 0, done.stderr
    connected = f"Connected to {sshd.host}:{sshd.port} as {sshd.user}\n"
    assert done.stdout == connected + printed.format(sshd.password)


def test_password_is_read_at_each_call(connected, capsys):
    connected.password = "changed after login"
    connected.run("head -n1")
    assert capsys.readouterr().out == "changed after login\n\n"


@pytest.fixture
def sudo_rule():
    if not (shutil.which("sudo") and os.path.exists(sshd_server.SUDOERS_FILE)):
        pytest.skip("sudo or the test user's sudo rule is missing")


@pytest.mark.parametrize("command", ["sudo id -un", "sudo -S id -un", "echo start; sudo id -u && sudo id -g"])
def test_sudo_reads_the_password_from_standard_input(sudo_rule, connected, command, capsys):
    # Without -S, sudo would stop with "a terminal is required to read the password".
    connected.run(command)
    out, _, error = capsys.readouterr().out.partition("\n\n")
    expected = {"sudo id -un": "root", "sudo -S id -un": "root"}.get(command, "start\n0\n0")
    assert out == expected
    assert "password for " + sshd_server.USER in error
    assert "terminal is required" not in error and "incorrect password" not in error


@pytest.mark.parametrize("command", ["printf 'ok\\377'", "printf '\\303' >&2", "echo fine; printf '\\200' >&2"])
def test_invalid_utf8_raises_and_prints_nothing(connected, command, capsys):
    with pytest.raises(UnicodeDecodeError):
        connected.run(command)
    assert capsys.readouterr().out == ""
    connected.run("echo still usable")
    assert capsys.readouterr().out == "still usable\n\n"


def test_one_connection_serves_every_command(sshd, ssh_client, capsys):
    c = ssh_client()
    c.run("echo $SSH_CONNECTION")
    c.run("echo $SSH_CONNECTION")
    lines = capsys.readouterr().out.split("\n")
    assert lines[0] == f"Connected to {sshd.host}:{sshd.port} as {sshd.user}"
    assert lines[1] and lines[1] == lines[3]  # same client port: the same connection
    assert lines[1].split()[2:] == [sshd.host, str(sshd.port)]


def test_fresh_instance_whose_login_fails_sends_nothing(sshd, ssh_client, capsys):
    c = ssh_client(password="wrong")
    assert c.run("echo never") is None
    assert capsys.readouterr().out == (
        f"Failed to connect to {sshd.host}:{sshd.port} - Authentication failed.\n"
        "SSH client is not connected.\n")


MB5 = 5_000_000
STDERR_FIRST = f"head -c {MB5} /dev/zero | tr '\\0' e >&2; echo done"
INTERLEAVED = ("for i in $(seq 50); do head -c 100000 /dev/zero | tr '\\0' e >&2; "
               "head -c 100000 /dev/zero | tr '\\0' o; done")
# run waits for the channel with select.poll where the platform has it, with select.select
# where it has not (Windows); this takes poll away in the child to use the second way.
WITHOUT_POLL = "import select; del select.poll\n"
# Descriptors numbered past select.select's ceiling (1024): the channel's lands above them,
# where poll still waits on it.
HIGH_DESCRIPTORS = (
    "import os, resource\n"
    "soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)\n"
    "resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, 2048), max(hard, 2048)))\n"
    "held = [os.open(os.devnull, os.O_RDONLY) for _ in range(1100)]\n"
    "assert held[-1] > 1100\n"
)


@pytest.mark.parametrize("setup, command, output, error", [
    # 5 MB on the error stream before the output closes: sequential reading of the output
    # first would stall once the channel window (2 MB) is full.
    ("", STDERR_FIRST, "done\n", "e" * MB5),
    # Both streams large and interleaved.
    ("", INTERLEAVED, "o" * MB5, "e" * MB5),
    ("", f"head -c {MB5} /dev/zero | tr '\\0' o", "o" * MB5, ""),
    (WITHOUT_POLL, INTERLEAVED, "o" * MB5, "e" * MB5),
    (HIGH_DESCRIPTORS, STDERR_FIRST, "done\n", "e" * MB5),
])
def test_large_streams_are_drained_together(sshd, setup, command, output, error):
    # In a separate interpreter so that a stalled call fails by its time-out instead of hanging.
    done = run_ssh_script(sshd, setup + f"client.run({command!r})\n", timeout=120)
    assert done.returncode == 0, done.stderr
    expected = f"Connected to {sshd.host}:{sshd.port} as {sshd.user}\n{output}\n"
    if error:
        expected += error + "\n"
    assert len(done.stdout) == len(expected)
    assert done.stdout == expected


def test_two_hundred_quick_commands_in_a_row(sshd):
    # `true` often closes its channel before the password line is written: that write error is
    # ignored, and every call still prints its empty line. Each call's channel and the pipe it
    # waits on are released. The dependency's transport thread closes a finished channel's pipe
    # a moment after the call returns, so the count is read once it has settled (a leak would
    # keep some 200 descriptors, not one channel's pair).
    body = (
        "import gc, os, sys, time\n"
        "client.run('true')\n"
        "before = len(os.listdir('/proc/self/fd'))\n"
        "for _ in range(200):\n"
        "    client.run('true')\n"
        "client.run('echo last')\n"
        "deadline = time.monotonic() + 5\n"
        "while True:\n"
        "    gc.collect()\n"
        "    after = len(os.listdir('/proc/self/fd'))\n"
        "    if after <= before or time.monotonic() > deadline: break\n"
        "    time.sleep(0.05)\n"
        "print(before, after, file=sys.stderr)\n"
    )
    done = run_ssh_script(sshd, body, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout == f"Connected to {sshd.host}:{sshd.port} as {sshd.user}\n" + "\n" * 201 + "last\n\n"
    before, after = map(int, done.stderr.split()[-2:])
    assert after <= before + 2
