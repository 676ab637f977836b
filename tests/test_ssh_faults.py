"""SSHClient when things go wrong on the far side: the server stopped in the middle of a command
or a download, and uploads to a full or read-only destination. Every call must end within a
bound, report the failure the documented way, and leave nothing but what the failure itself
touched."""

import os
import re
import signal
import sys
import subprocess
import tempfile
import threading
import time

import pytest

ssh = pytest.importorskip("tarn.terminal.ssh", reason="paramiko is not installed for this interpreter")
from tarn.terminal.ssh import SSHClient  # noqa: E402

import sshd_server  # noqa: E402

BOUND = 30.0  # seconds any call may take once its server is gone


def wait_for(condition, what, timeout=20.0):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            pytest.fail(f"timed out waiting for {what}")
        time.sleep(0.01)


def in_thread(call):
    """Starts `call` in a daemon thread; returns the thread and a list that receives
    ("returned", value) or ("raised", exception)."""
    outcome = []

    def body():
        try:
            outcome.append(("returned", call()))
        except BaseException as e:  # noqa: BLE001  (recorded for the test to judge)
            outcome.append(("raised", e))

    thread = threading.Thread(target=body, daemon=True)
    thread.start()
    return thread, outcome


@pytest.fixture
def user_dir():
    """A folder the test user owns, outside any server's temporary files."""
    import shutil

    try:
        entry = sshd_server.ensure_user()
    except sshd_server.Unavailable as e:
        pytest.skip(f"no test user for the SSH tests: {e}")
    path = tempfile.mkdtemp(prefix="tarn-fault-")
    os.chown(path, entry.pw_uid, entry.pw_gid)
    yield path
    shutil.rmtree(path, ignore_errors=True)


# --- the server stops while a command runs ----------------------------------------------------

@pytest.mark.parametrize("work", [
    "sleep 60; echo late",                         # silent
    "while :; do echo output; done",               # streaming its output
    "while :; do echo error >&2; done",            # streaming its error stream
])
def test_server_stopped_while_a_command_runs(own_sshd, user_dir, work, capsys):
    marker = os.path.join(user_dir, "started")
    c = SSHClient(own_sshd.user, own_sshd.password, own_sshd.host, own_sshd.port)
    thread, outcome = in_thread(lambda: c.run(f"touch {marker}; {work}"))
    wait_for(lambda: os.path.exists(marker), "the command to start")
    own_sshd.stop()  # the listener and the processes serving the connection
    thread.join(BOUND)
    assert not thread.is_alive(), "run() still blocked after the server was stopped"
    # The transport's end closes the channel: run returns what arrived before, printed as usual.
    assert outcome == [("returned", None)]
    out = capsys.readouterr().out
    assert out.startswith(f"Connected to {own_sshd.host}:{own_sshd.port} as {own_sshd.user}\n")
    assert "late" not in out
    # The connection object stays cached; the next command fails with the dependency's error.
    with pytest.raises(Exception, match="SSH session not active"):
        c.run("true")


def test_interrupt_ends_a_waiting_run(sshd, user_dir):
    # The wait for the command's streams gives way to Ctrl-C, and the connection stays usable.
    # The command makes its marker only after the end of its input, so run has written the
    # password line and ended the input (whole packets) and is waiting when Ctrl-C comes: a
    # signal in the middle of a packet write would break the connection for the next command.
    marker = os.path.join(user_dir, "started")
    code = (
        "from tarn.terminal.ssh import SSHClient\n"
        f"c = SSHClient({sshd.user!r}, {sshd.password!r}, {sshd.host!r}, {sshd.port!r})\n"
        "try:\n"
        f"    c.run('cat >/dev/null; touch {marker}; sleep 60; echo late')\n"
        "except KeyboardInterrupt:\n"
        "    print('interrupted')\n"
        "c.run('echo after')\n"
    )
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True)
    try:
        wait_for(lambda: os.path.exists(marker) or child.poll() is not None, "the command to start")
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=BOUND)
    finally:
        if child.poll() is None:
            child.kill()
            child.communicate(timeout=BOUND)
    assert child.returncode == 0, err
    assert out == f"Connected to {sshd.host}:{sshd.port} as {sshd.user}\ninterrupted\nafter\n\n"


# --- uploads to a full or read-only destination -----------------------------------------------

@pytest.fixture
def small_filesystem(user_dir):
    """A 256 KiB tmpfs mounted on a folder the test user owns; yields (folder, remount) where
    remount(read_only) switches it; unmounted afterwards."""
    mount_point = os.path.join(user_dir, "mnt")
    os.mkdir(mount_point)
    entry = sshd_server.ensure_user()
    options = f"size=256k,uid={entry.pw_uid},gid={entry.pw_gid},mode=0755"
    done = subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tarn-test", mount_point],
                          capture_output=True, text=True, timeout=30)
    if done.returncode != 0:
        pytest.skip(f"cannot mount a small tmpfs here: {done.stderr.strip()}")

    def remount(read_only):
        subprocess.run(["mount", "-o", "remount," + ("ro" if read_only else "rw"), mount_point],
                       check=True, timeout=30)

    try:
        yield mount_point, remount
    finally:
        subprocess.run(["umount", mount_point], timeout=30)


def local_state(path):
    st = os.stat(path)
    with open(path, "rb") as f:
        return f.read(), st.st_mtime_ns, st.st_mode


# paramiko writes an upload in pipelined requests and does not see the server refuse them when
# the space runs out; it notices only when it compares the sizes at the end.
@pytest.mark.parametrize("destination, line", [
    ("full filesystem", r"failed to upload: size mismatch in put!  \d+ != 1048576"),
    ("full device", r"failed to upload: size mismatch in put!  0 != 1048576"),
    ("read-only filesystem", r"failed to upload: Failure"),
    ("read-only folder", r"failed to upload: \[Errno 13\] Permission denied"),
    ("read-only file", r"failed to upload: \[Errno 13\] Permission denied"),
])
def test_upload_to_a_full_or_read_only_destination(sshd, connected, small_filesystem, user_dir,
                                                   tmp_path, destination, line, capsys):
    mount_point, remount = small_filesystem
    local = tmp_path / "payload"
    local.write_bytes(os.urandom(1 << 20))  # 1 MiB: four times the small filesystem
    before = local_state(local)
    protected = os.path.join(user_dir, "protected")
    os.mkdir(protected, 0o755)  # owned by root
    with open(os.path.join(protected, "kept"), "wb") as f:
        f.write(b"old")
    remote = {
        "full filesystem": os.path.join(mount_point, "payload"),
        "full device": "/dev/full",
        "read-only filesystem": os.path.join(mount_point, "payload"),
        "read-only folder": os.path.join(protected, "payload"),
        "read-only file": os.path.join(protected, "kept"),
    }[destination]
    if destination == "read-only filesystem":
        remount(read_only=True)
    connected.upload(str(local), remote)
    assert re.fullmatch(line + "\n", capsys.readouterr().out)
    assert local_state(local) == before
    assert sorted(os.listdir(protected)) == ["kept"]
    with open(os.path.join(protected, "kept"), "rb") as f:
        assert f.read() == b"old"
    if destination == "read-only filesystem":
        assert os.listdir(mount_point) == []
    # The session survives a failed transfer.
    connected.upload(str(local), os.path.join(user_dir, "ok"))
    assert capsys.readouterr().out == f"upload successfully: {local} -> {os.path.join(user_dir, 'ok')}\n"


# --- a download over an existing local file that fails ----------------------------------------

CHUNK = 1 << 20


def write_numbered_chunks(path, count):
    """A file of `count` MiB whose every MiB starts with its own number, so a prefix is
    recognisable."""
    with open(path, "wb") as f:
        for i in range(count):
            head = f"chunk {i:08d}\n".encode()
            f.write(head + b"\0" * (CHUNK - len(head)))


# paramiko's prefetch thread dies with the connection and reports that as an unhandled exception.
@pytest.mark.filterwarnings("ignore::pytest.PytestUnhandledThreadExceptionWarning")
def test_download_over_an_existing_file_fails_midway(own_sshd, user_dir, tmp_path, capsys):
    remote = os.path.join(user_dir, "big")
    write_numbered_chunks(remote, 256)
    local = tmp_path / "existing"
    local.write_bytes(b"previous contents\n")
    sibling = tmp_path / "sibling"
    sibling.write_bytes(b"untouched")
    c = SSHClient(own_sshd.user, own_sshd.password, own_sshd.host, own_sshd.port)
    thread, outcome = in_thread(lambda: c.download(remote, str(local)))
    wait_for(lambda: local.stat().st_size >= CHUNK, "the first MiB to arrive")
    sessions = own_sshd.sessions()
    own_sshd.signal_sessions(signal.SIGSTOP, sessions)  # freeze the transfer where it is
    try:
        own_sshd.stop()
    finally:
        own_sshd.signal_sessions(signal.SIGCONT, sessions)
    thread.join(BOUND)
    assert not thread.is_alive(), "download() still blocked after the server was stopped"
    for helper in threading.enumerate():  # let paramiko's prefetch thread end within this test
        if "_prefetch_thread" in helper.name:
            helper.join(BOUND)
    assert outcome == [("returned", None)]
    out = capsys.readouterr().out.splitlines()
    assert out[0].startswith("Connected to ") and len(out) == 2
    assert out[1] == "failed to download: Server connection dropped: "
    # What paramiko leaves: the local file was truncated when the download began and holds the
    # prefix of the remote file that arrived before the failure; the old contents are gone.
    data = local.read_bytes()
    assert CHUNK <= len(data) < 256 * CHUNK
    with open(remote, "rb") as f:
        assert f.read(len(data)) == data
    # Nothing else is touched or deleted.
    assert sorted(p.name for p in tmp_path.iterdir()) == ["existing", "sibling"]
    assert sibling.read_bytes() == b"untouched"
    assert os.path.getsize(remote) == 256 * CHUNK

