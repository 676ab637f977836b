"""SSHClient.upload and download against a real sshd: the files that arrive, the printed lines,
the reused SFTP session, and failures printed instead of raised."""

import os

import pytest

ssh = pytest.importorskip("tarn.terminal.ssh", reason="paramiko is not installed for this interpreter")

SFTP = "_SSHClient__sftp"


@pytest.mark.parametrize("size", [0, 1, 32768, 3_000_001])
def test_upload_copies_the_file(connected, remote_dir, tmp_path, size, capsys):
    data = os.urandom(size)
    local = tmp_path / "src.bin"
    local.write_bytes(data)
    remote = os.path.join(remote_dir, "dst.bin")
    assert connected.upload(str(local), remote) is None
    assert capsys.readouterr().out == f"upload successfully: {local} -> {remote}\n"
    with open(remote, "rb") as f:
        assert f.read() == data
    assert local.read_bytes() == data


@pytest.mark.parametrize("size", [0, 1, 32768, 3_000_001])
def test_download_copies_the_file(connected, remote_dir, tmp_path, size, capsys):
    data = os.urandom(size)
    remote = os.path.join(remote_dir, "src.bin")
    with open(remote, "wb") as f:
        f.write(data)
    local = tmp_path / "dst.bin"
    assert connected.download(remote, str(local)) is None
    assert capsys.readouterr().out == f"download successfully: {remote} -> {local}\n"
    assert local.read_bytes() == data


def test_paths_are_passed_as_given(connected, remote_dir, tmp_path, monkeypatch, capsys):
    # Relative local paths (to the working folder), names with blanks and non-ASCII letters.
    monkeypatch.chdir(tmp_path)
    (tmp_path / "r\u00e9sum\u00e9 1.txt").write_text("caf\u00e9")
    remote = os.path.join(remote_dir, "na\u00efve copy.txt")
    connected.upload("r\u00e9sum\u00e9 1.txt", remote)
    connected.download(remote_path=remote, local_path="back.txt")  # keywords, local path first
    assert capsys.readouterr().out == (
        f"upload successfully: r\u00e9sum\u00e9 1.txt -> {remote}\n"
        f"download successfully: {remote} -> back.txt\n")
    assert (tmp_path / "back.txt").read_text() == "caf\u00e9"


def test_first_transfer_connects_and_later_ones_reuse_the_session(sshd, ssh_client, remote_dir, tmp_path, capsys):
    local = tmp_path / "f"
    local.write_bytes(b"abc")
    c = ssh_client()
    remote = os.path.join(remote_dir, "f")
    c.upload(str(local), remote)
    session = vars(c)[SFTP]
    c.download(remote, str(tmp_path / "g"))
    c.upload(str(local), remote + "2")
    assert capsys.readouterr().out == (
        f"Connected to {sshd.host}:{sshd.port} as {sshd.user}\n"
        f"upload successfully: {local} -> {remote}\n"
        f"download successfully: {remote} -> {tmp_path / 'g'}\n"
        f"upload successfully: {local} -> {remote}2\n")
    assert vars(c)[SFTP] is session
    c.run("true")  # the command channel and the SFTP channel share one connection
    assert capsys.readouterr().out == "\n"


@pytest.mark.parametrize("case, line", [
    ("missing local file", "failed to upload: [Errno 2] No such file or directory: '{local}'"),
    ("missing remote folder", "failed to upload: [Errno 2] No such file"),
    ("remote path is a folder", "failed to upload: Failure"),
    ("remote folder not writable", "failed to upload: [Errno 13] Permission denied"),
])
def test_upload_failures_are_printed(connected, remote_dir, tmp_path, case, line, capsys):
    local = tmp_path / "f"
    if case != "missing local file":
        local.write_bytes(b"payload")
    remote = {
        "missing remote folder": os.path.join(remote_dir, "no", "f"),
        "remote path is a folder": remote_dir,
        "remote folder not writable": "/tarn-upload-denied",  # / belongs to root
    }.get(case, os.path.join(remote_dir, "f"))
    assert connected.upload(str(local), remote) is None
    assert capsys.readouterr().out == line.format(local=local) + "\n"
    assert not os.path.exists("/tarn-upload-denied")
    if case != "remote path is a folder":
        assert os.listdir(remote_dir) == []


def local_state(path):
    st = os.stat(path)
    return path.read_bytes(), st.st_mode, st.st_mtime_ns


# The remote file is opened before paramiko's get creates the local one, so a remote file that
# is missing or unreadable leaves an existing local file as it was and creates none.
@pytest.mark.parametrize("case, existing, line", [
    ("missing remote file", False, "failed to download: [Errno 2] No such file"),
    ("missing remote file", True, "failed to download: [Errno 2] No such file"),
    ("remote file not readable", False, "failed to download: [Errno 13] Permission denied"),
    ("remote file not readable", True, "failed to download: [Errno 13] Permission denied"),
    ("missing local folder", False, "failed to download: [Errno 2] No such file or directory: '{local}'"),
    ("missing remote file and local folder", False, "failed to download: [Errno 2] No such file"),
])
def test_download_failures_are_printed(connected, remote_dir, tmp_path, case, existing, line, capsys):
    remote = os.path.join(remote_dir, "f")
    if case == "missing local folder":
        with open(remote, "wb") as f:
            f.write(b"remote")
    if case == "remote file not readable":
        remote = "/etc/shadow"  # root only
    local = tmp_path / ("no/f" if "local folder" in case else "f")
    if existing:
        local.write_bytes(b"previous contents\n")
        local.chmod(0o640)
    before = local_state(local) if existing else None
    assert connected.download(remote, str(local)) is None
    assert capsys.readouterr().out == line.format(local=local) + "\n"
    assert sorted(os.listdir(tmp_path)) == (["f"] if existing else [])
    if existing:
        assert local_state(local) == before


def test_failed_connection_transfers_print_their_failure_lines(sshd, ssh_client, tmp_path, capsys):
    local = tmp_path / "f"
    local.write_bytes(b"x")
    c = ssh_client(password="wrong")
    c.upload(str(local), "/tmp/x")
    c.download("/tmp/x", str(tmp_path / "g"))
    assert capsys.readouterr().out == (
        f"Failed to connect to {sshd.host}:{sshd.port} - Authentication failed.\n"
        "SSH client is not connected.\n"
        "failed to upload: 'NoneType' object has no attribute 'put'\n"
        "failed to download: 'NoneType' object has no attribute 'get'\n")
    assert sorted(os.listdir(tmp_path)) == ["f"]
