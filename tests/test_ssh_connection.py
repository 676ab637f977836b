"""SSHClient against a real sshd: logging in, the printed connection lines, the cached
connection and SFTP entries in each state (fresh, connected, failed, closed), and close."""

import os
import socket
import subprocess

import pytest

ssh = pytest.importorskip("tarn.terminal.ssh", reason="paramiko is not installed for this interpreter")
import paramiko  # noqa: E402  (after the skip: present wherever the module loads)

import sshd_server  # noqa: E402

CLIENT, SFTP = "_SSHClient__client", "_SSHClient__sftp"


def connected_line(server):
    return f"Connected to {server.host}:{server.port} as {server.user}\n"


def paramiko_error(action):
    """The text of the exception that paramiko itself raises for `action`."""
    with pytest.raises(Exception) as info:
        action()
    return str(info.value)


def direct_login(host, port, **kw):
    """Logs in with paramiko directly, as SSHClient does; used to learn the dependency's message."""
    client = paramiko.SSHClient()
    client.set_missing_host_key_policy(paramiko.AutoAddPolicy())
    try:
        client.connect(host, port=port, **kw)
    finally:
        client.close()


def test_fresh_instance_holds_no_cached_entries(ssh_client, capsys):
    c = ssh_client()
    assert CLIENT not in vars(c) and SFTP not in vars(c)
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("login", ["password", "key", "empty key path"])
def test_login_prints_the_connected_line_once_and_caches_the_connection(sshd, ssh_client, login, capsys):
    if login == "password":
        c = ssh_client()
    elif login == "key":
        c = ssh_client(password="not-the-password", pkey_path=sshd.key_path)
    else:
        c = ssh_client(pkey_path="")  # false: the password is used
    connection = c._SSHClient__client
    assert capsys.readouterr().out == connected_line(sshd)
    assert type(connection) is paramiko.SSHClient
    assert connection.get_transport().is_active()
    assert connection.get_transport().get_username() == sshd.user
    # Nagle's algorithm is off: a command's small packets do not wait for delayed acknowledgements.
    sock = connection.get_transport().sock
    assert sock.getsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY) != 0
    assert c._SSHClient__client is connection  # cached: no second login, no output
    assert vars(c)[CLIENT] is connection and SFTP not in vars(c)
    assert capsys.readouterr().out == ""


def test_settings_are_read_at_first_use(sshd, ssh_client, capsys):
    c = ssh_client(password="wrong", port=1)
    c.password, c.port = sshd.password, sshd.port
    assert c._SSHClient__client is not None
    assert capsys.readouterr().out == connected_line(sshd)


@pytest.fixture
def not_rsa_key(tmp_path):
    """An Ed25519 private key: a valid key file that is not RSA."""
    path = tmp_path / "ed25519"
    subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", str(path)], check=True, timeout=60)
    return str(path)


@pytest.mark.parametrize("case", ["wrong password", "refused", "missing key file", "not a key",
                                  "not an RSA key", "unknown host"])
def test_failed_login_prints_the_dependency_error_and_caches_none(sshd, ssh_client, case, tmp_path,
                                                                  not_rsa_key, capsys):
    host, port = sshd.host, sshd.port
    if case == "wrong password":
        c = ssh_client(password="wrong")
        expected = paramiko_error(lambda: direct_login(host, port, username=sshd.user, password="wrong"))
    elif case == "refused":
        port = sshd_server.free_port()  # nobody listens there
        c = ssh_client(port=port)
        expected = paramiko_error(lambda: direct_login(host, port, username=sshd.user, password=sshd.password))
    elif case == "unknown host":
        host = "tarn-no-such-host.invalid"
        c = ssh_client(host=host)
        expected = paramiko_error(lambda: direct_login(host, port, username=sshd.user, password=sshd.password))
    else:
        path = {"missing key file": str(tmp_path / "missing"), "not an RSA key": not_rsa_key}.get(case)
        if path is None:
            path = str(tmp_path / "garbage")
            with open(path, "w") as f:
                f.write("not a key\n")
        c = ssh_client(pkey_path=path)
        expected = paramiko_error(lambda: paramiko.RSAKey.from_private_key_file(path))
    assert c._SSHClient__client is None
    assert capsys.readouterr().out == f"Failed to connect to {host}:{port} - {expected}\n"
    assert expected  # the dependency's text is really there
    # Failed lasts: no second attempt, no output.
    assert c._SSHClient__client is None
    assert vars(c)[CLIENT] is None
    assert capsys.readouterr().out == ""


def test_failed_instance_everywhere_reports_not_connected(ssh_client, capsys):
    c = ssh_client(password="wrong")
    c.run("true")
    first = capsys.readouterr().out.splitlines()
    assert first[0].startswith("Failed to connect to ") and first[1:] == ["SSH client is not connected."]
    c.run("true")
    assert c.close() is None
    assert capsys.readouterr().out == "SSH client is not connected.\n"  # close prints nothing
    c.upload("a", "b")
    c.download("b", "a")
    assert capsys.readouterr().out == (
        "SSH client is not connected.\n"
        "failed to upload: 'NoneType' object has no attribute 'put'\n"
        "failed to download: 'NoneType' object has no attribute 'get'\n")
    assert vars(c)[CLIENT] is None and vars(c)[SFTP] is None


def test_close_on_fresh_instance_connects_then_closes(sshd, ssh_client, capsys):
    c = ssh_client()
    assert c.close() is None
    assert capsys.readouterr().out == connected_line(sshd) + f"Connection to {sshd.host}:{sshd.port} closed\n"
    assert not vars(c)[CLIENT].get_transport()


def test_close_on_fresh_instance_whose_login_fails_prints_only_the_failure(ssh_client, capsys):
    c = ssh_client(password="wrong")
    c.close()
    out = capsys.readouterr().out.splitlines()
    assert len(out) == 1 and out[0].startswith("Failed to connect to ")


def test_close_twice_closes_the_same_object_twice(sshd, connected, capsys):
    connection = connected._SSHClient__client
    transport = connection.get_transport()
    closes = []
    original = connection.close
    connection.close = lambda: (closes.append(1), original())[1]  # count the calls, keep the effect
    line = f"Connection to {sshd.host}:{sshd.port} closed\n"
    assert connected.close() is None
    assert not transport.is_active()
    assert capsys.readouterr().out == line
    assert connected.close() is None
    assert capsys.readouterr().out == line
    assert closes == [1, 1]
    assert vars(connected)[CLIENT] is connection  # the entry stays: Closed still tests true


def test_closed_instance_run_raises_the_dependency_error(connected, capsys):
    connected.close()
    capsys.readouterr()
    expected = paramiko_error(lambda: paramiko.SSHClient().exec_command("true"))
    with pytest.raises(Exception) as info:
        connected.run("true")
    assert str(info.value) == expected
    assert capsys.readouterr().out == ""


def test_closed_instance_transfers_print_failures(connected, remote_dir, tmp_path, capsys):
    local = tmp_path / "f"
    local.write_bytes(b"x")
    connected.close()
    capsys.readouterr()
    # No session was opened before close: every transfer tries to open one and fails.
    for _ in range(2):
        connected.upload(str(local), os.path.join(remote_dir, "f"))
        assert capsys.readouterr().out == (
            "failed to upload: 'NoneType' object has no attribute 'open_sftp_client'\n")
        assert SFTP not in vars(connected)
    assert os.listdir(remote_dir) == []


def test_session_opened_before_close_stays_cached_and_fails(connected, remote_dir, tmp_path, capsys):
    local = tmp_path / "f"
    local.write_bytes(b"x")
    remote = os.path.join(remote_dir, "f")
    connected.upload(str(local), remote)
    session = vars(connected)[SFTP]
    connected.close()
    capsys.readouterr()
    connected.upload(str(local), remote + "2")
    connected.download(remote, str(tmp_path / "back"))
    assert capsys.readouterr().out == "failed to upload: Socket is closed\nfailed to download: Socket is closed\n"
    assert vars(connected)[SFTP] is session
    assert os.listdir(remote_dir) == ["f"]


def test_rebound_host_shows_in_close_but_the_original_connection_is_closed(sshd, connected, capsys):
    transport = connected._SSHClient__client.get_transport()
    connected.host = "renamed-host"
    connected.port = 2222
    connected.close()
    assert capsys.readouterr().out == "Connection to renamed-host:2222 closed\n"
    assert not transport.is_active()


def test_deleting_the_entry_reconnects(sshd, connected, capsys):
    first = connected._SSHClient__client
    del connected._SSHClient__client
    second = connected._SSHClient__client
    assert second is not first and second.get_transport().is_active()
    assert capsys.readouterr().out == connected_line(sshd)
    first.close()
