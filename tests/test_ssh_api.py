"""SSHClient's surface without a server: namespace, metadata, argument errors, stored settings,
and run's handling of what the connection returns (through a stand-in connection object)."""

import contextlib
import functools
import inspect
import io
import pathlib
import socket

import pytest

from helpers import StrSub
from standins import Channel, Connection, Stream

ssh = pytest.importorskip("tarn.terminal.ssh", reason="paramiko is not installed for this interpreter")
SSHClient = ssh.SSHClient

TYPE_ERROR = "Argument '{}' has incorrect type (expected {}, got {})"
NOTE = ("Note that subclasses of built-in types are rejected: pass a value whose type is exactly "
        "the expected one.")

RUN_DOC = (
    "run command on remote host\n"
    "        e.g. 'bash -l -c \"cd ~;ls -al\"'\n"
    "        e.g. 'echo mewl | sudo -S systemctl daemon-reload'\n"
    "\n"
    "        Args:\n"
    "            command (str): command to run\n"
    "        "
)


def test_module_namespace_and_class_members_in_order():
    import paramiko

    names = [n for n in vars(ssh) if not n.startswith("__")]
    assert names == ["cached_property", "paramiko", "SSHClient"]
    assert ssh.cached_property is functools.cached_property
    assert ssh.paramiko is paramiko
    assert ssh.__doc__ is None
    members = [n for n in vars(SSHClient) if n not in ("__module__", "__dict__", "__weakref__", "__doc__")]
    assert members == ["__init__", "upload", "download", "run", "close", "_SSHClient__sftp", "_SSHClient__client"]
    assert SSHClient.__bases__ == (object,)
    assert (SSHClient.__module__, SSHClient.__qualname__, SSHClient.__doc__) == ("tarn.terminal.ssh", "SSHClient", None)
    assert not hasattr(SSHClient, "__del__")


@pytest.mark.parametrize("name, annotations", [
    ("__init__", {"username": "str", "password": "str", "host": "str", "port": "int"}),
    ("upload", {"local_path": "str", "remote_path": "str"}),
    ("download", {"remote_path": "str", "local_path": "str"}),
    ("run", {"command": "str"}),
    ("close", {}),
])
def test_method_metadata(name, annotations):
    f = vars(SSHClient)[name]
    assert (f.__name__, f.__qualname__, f.__module__) == (name, "SSHClient." + name, "tarn.terminal.ssh")
    assert f.__annotations__ == annotations
    assert f.__doc__ == (RUN_DOC if name == "run" else None)
    assert f.__defaults__ == ((22, None) if name == "__init__" else None)


def test_signatures():
    assert str(inspect.signature(SSHClient)) == "(username: 'str', password: 'str', host: 'str', port: 'int' = 22, pkey_path=None)"
    assert str(inspect.signature(SSHClient.download)) == "(self, remote_path: 'str', local_path: 'str')"


@pytest.mark.parametrize("attr, func_name", [("_SSHClient__client", "__client"), ("_SSHClient__sftp", "__sftp")])
def test_cached_attributes_are_cached_properties(attr, func_name):
    prop = vars(SSHClient)[attr]
    assert type(prop) is functools.cached_property
    assert prop.attrname == attr
    assert (prop.func.__name__, prop.func.__qualname__) == (func_name, "SSHClient." + func_name)
    assert prop.func.__module__ == "tarn.terminal.ssh"


def test_construction_stores_settings_and_does_nothing_else(capsys):
    c = SSHClient("alice", "pw", "lab-pc")
    assert vars(c) == {"username": "alice", "password": "pw", "host": "lab-pc", "port": 22, "pkey_path": None}
    key = object()
    c = SSHClient(host="h", password="p", username="u", pkey_path=key, port=2222)
    assert list(vars(c).items()) == [("username", "u"), ("password", "p"), ("host", "h"), ("port", 2222), ("pkey_path", key)]
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("args, kwargs, message, note", [
    ((None, "p", "h"), {}, TYPE_ERROR.format("username", "str", "NoneType"), False),
    (("u", b"p", "h"), {}, TYPE_ERROR.format("password", "str", "bytes"), False),
    (("u", "p", StrSub("h")), {}, TYPE_ERROR.format("host", "str", "StrSub"), True),
    (("u", "p", "h", 22.0), {}, TYPE_ERROR.format("port", "int", "float"), False),
    (("u", "p", "h"), {"port": True}, TYPE_ERROR.format("port", "int", "bool"), True),
    ((1, 2, 3, 4.0), {}, TYPE_ERROR.format("username", "str", "int"), False),  # first one wins
    (("u", "p"), {}, "__init__() takes at least 4 positional arguments (3 given)", False),
    (("u", "p", "h", 22, None, 1), {}, "__init__() takes at most 6 positional arguments (7 given)", False),
    (("u", "p", "h"), {"timeout": 1}, "__init__() got an unexpected keyword argument 'timeout'", False),
    (("u", "p", "h"), {"username": "v"}, "__init__() got multiple values for keyword argument 'username'", False),
])
def test_constructor_argument_errors(args, kwargs, message, note):
    with pytest.raises(TypeError) as info:
        SSHClient(*args, **kwargs)
    assert str(info.value) == message
    assert getattr(info.value, "__notes__", []) == ([NOTE] if note else [])


@pytest.mark.parametrize("method, args, message", [
    ("run", (None,), TYPE_ERROR.format("command", "str", "NoneType")),
    ("run", (b"ls",), TYPE_ERROR.format("command", "str", "bytes")),
    ("run", (), "run() takes exactly 2 positional arguments (1 given)"),
    ("run", ("a", "b"), "run() takes exactly 2 positional arguments (3 given)"),
    ("upload", (pathlib.Path("a"), "b"), TYPE_ERROR.format("local_path", "str", "PosixPath")),
    ("upload", ("a", pathlib.Path("b")), TYPE_ERROR.format("remote_path", "str", "PosixPath")),
    ("upload", (None, None), TYPE_ERROR.format("local_path", "str", "NoneType")),
    ("download", (pathlib.Path("a"), "b"), TYPE_ERROR.format("remote_path", "str", "PosixPath")),
    ("download", ("a", None), TYPE_ERROR.format("local_path", "str", "NoneType")),
    ("download", ("a",), "download() takes exactly 3 positional arguments (2 given)"),
    ("close", (1,), "close() takes exactly 1 positional argument (2 given)"),
])
def test_method_argument_errors_touch_no_connection(method, args, message, capsys):
    c = SSHClient("u", "p", "127.0.0.1", 1)
    with pytest.raises(TypeError) as info:
        getattr(c, method)(*args)
    assert str(info.value) == message
    assert "_SSHClient__client" not in vars(c) and "_SSHClient__sftp" not in vars(c)
    assert capsys.readouterr().out == ""


def test_str_subclass_command_carries_the_note():
    with pytest.raises(TypeError) as info:
        SSHClient("u", "p", "h").run(StrSub("ls"))
    assert str(info.value) == TYPE_ERROR.format("command", "str", "StrSub")
    assert info.value.__notes__ == [NOTE]


# --- run against a stand-in connection: what it is given and what it does with the result ----

@pytest.fixture
def on_stand_in():
    """Returns a factory of SSHClient objects whose cached connection is the given stand-in, as
    a successful first access leaves it."""
    def make(fake, password="pw"):
        c = SSHClient("u", password, "h")
        c._SSHClient__client = fake
        return c
    return make


# Every "sudo" standing as a word of its own becomes "sudo -S"; inside another word, or in
# other letter cases, it is left alone (a plain replacement turned sudoers into sudo -Sers).
@pytest.mark.parametrize("command, executed", [
    ("ls -l", "ls -l"),
    ("sudo apt update", "sudo -S apt update"),
    ("sudo", "sudo -S"),
    ("sudo -S id", "sudo -S -S id"),
    ("sudo cat /etc/sudoers", "sudo -S cat /etc/sudoers"),
    ("sudo make && sudo make install", "sudo -S make && sudo -S make install"),
    ("echo x|sudo tee f;(sudo id)", "echo x|sudo -S tee f;(sudo -S id)"),
    ("a && sudo b || (sudo c);sudo|sudo", "a && sudo -S b || (sudo -S c);sudo -S|sudo -S"),
    ("'sudo' \"sudo\" $(sudo) `sudo`", "'sudo -S' \"sudo -S\" $(sudo -S) `sudo -S`"),
    ("visudo; sudoku; sudo.conf; sudo-rs; sudo_x; 1sudo; xsudo", "visudo; sudoku; sudo.conf; sudo-rs; sudo_x; 1sudo; xsudo"),
    ("SUDO id; Sudo id; sUdo", "SUDO id; Sudo id; sUdo"),
    ("\u00e9sudo sudo\u00e9 sudo\U0001f600", "\u00e9sudo -S sudo -S\u00e9 sudo -S\U0001f600"),
    ("sud", "sud"),
    ("", ""),
])
def test_sudo_rewrite_word_wise(on_stand_in, command, executed, capsys):
    fake = Connection()
    on_stand_in(fake).run(command)
    assert (fake.runs, fake.command) == (1, executed)
    assert fake.stdin.written == ["pw\n", "<flush>", "<close>"]
    assert capsys.readouterr().out == "\n"


@pytest.mark.parametrize("out, err, printed", [
    (b"", b"", "\n"),
    (b"hello\n", b"", "hello\n\n"),
    (b"", b"oops\n", "\noops\n\n"),
    (b"out", b"err", "out\nerr\n"),
    ("\u00e9".encode(), b"", "\u00e9\n"),
])
def test_output_then_error_from_plain_streams(on_stand_in, out, err, printed, capsys):
    on_stand_in(Connection(out=out, err=err)).run("x")
    assert capsys.readouterr().out == printed


@pytest.mark.parametrize("out, err", [(b"\xff", b""), (b"", b"a\xc3")])
def test_invalid_utf8_raises_and_prints_nothing(on_stand_in, out, err, capsys):
    with pytest.raises(UnicodeDecodeError):
        on_stand_in(Connection(out=out, err=err)).run("x")
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("result, error, message", [
    ((1, 2), ValueError, "need more than 2 values to unpack"),
    ([io.BytesIO()], ValueError, "need more than 1 value to unpack"),
    ((1, 2, 3, 4), ValueError, "too many values to unpack (expected 3)"),
    (5, TypeError, "cannot unpack non-iterable int object"),
])
def test_unpacking_the_streams(on_stand_in, result, error, message, capsys):
    with pytest.raises(error) as info:
        on_stand_in(Connection(result)).run("x")
    assert str(info.value) == message
    assert capsys.readouterr().out == ""


# A command that has finished may close its channel before the password line reaches it: that
# error is ignored so its output is still printed. On a channel still open the error means a
# broken connection and reaches the caller.
@pytest.mark.parametrize("error, fails_in, ends, propagates", [
    (OSError("Socket is closed"), "flush", "closed", False),
    (OSError("Socket is closed"), "write", "closed", False),
    (OSError(32, "Broken pipe"), "flush", "eof", False),
    (OSError(32, "Broken pipe"), "flush", "exit status", False),
    (OSError("Socket is closed"), "close", "closed", False),
    (OSError(32, "Broken pipe"), "close", None, True),
    (OSError(32, "Broken pipe"), "write", None, True),
    (OSError(32, "Broken pipe"), "flush", None, True),
    (OSError("Socket is closed"), "flush", "no channel", True),  # nothing says the command ended
    (EOFError("gone"), "flush", "closed", True),
    (RuntimeError("boom"), "write", None, True),
])
def test_password_write_error(on_stand_in, error, fails_in, ends, propagates, capsys):
    # Standard input whose write, flush or close (`fails_in`) raises `error`, after its channel
    # (none for "no channel") has ended as `ends` says.
    channel = None if ends == "no channel" else Channel(eof=False, ends=ends)
    stdin = Stream(error, channel, fails_in=(fails_in,))
    fake = Connection((stdin, io.BytesIO(b"done"), io.BytesIO(b"")))
    if propagates:
        with pytest.raises(type(error)) as info:
            on_stand_in(fake).run("true")
        assert info.value is error
        assert capsys.readouterr().out == ""
    else:
        assert on_stand_in(fake).run("true") is None
        assert capsys.readouterr().out == "done\n"


def test_pieces_still_buffered_after_the_end_are_all_printed(on_stand_in, capsys):
    # The end of output has arrived while pieces of both streams are still buffered.
    stdout = Stream(channel=Channel([b"o1", b"o2", b"o3"], [b"e1", b"e2"], eof=True))
    on_stand_in(Connection((Stream(), stdout, io.BytesIO()))).run("x")
    assert capsys.readouterr().out == "o1o2o3\ne1e2\n"


def test_password_is_read_at_each_run(on_stand_in):
    fake = Connection()
    c = on_stand_in(fake)
    c.run("a")
    c.password = "new"
    c.run("b")
    assert fake.stdin.written == ["pw\n", "<flush>", "<close>", "new\n", "<flush>", "<close>"]
    c.password = None
    with pytest.raises(TypeError):
        c.run("c")


# --- opening the connection: the dependency sees exactly these calls ---------------------------

class RecordingParamiko:
    """A paramiko stand-in whose every call, on the module or on a connection, lands in `calls`;
    `connect` raises `error` when one is given."""

    def __init__(self, error=None, transport=None):
        calls = self.calls = []

        class AutoAddPolicy:
            def __init__(self):
                calls.append(("AutoAddPolicy",))

        class RSAKey:
            @staticmethod
            def from_private_key_file(path):
                calls.append(("from_private_key_file", path))
                return "KEY"

        class Connection:
            def __init__(self):
                calls.append(("SSHClient",))

            def __getattr__(self, name):  # anything beyond the methods below is recorded
                def method(*args, **kw):
                    calls.append((name, args, kw))
                return method

            def set_missing_host_key_policy(self, policy):
                calls.append(("set_missing_host_key_policy", type(policy).__name__))

            def connect(self, host, **kw):
                calls.append(("connect", host, list(kw.items())))
                if error is not None:
                    raise error

            def get_transport(self):
                calls.append(("get_transport",))
                if isinstance(transport, Exception):
                    raise transport
                return transport

            def exec_command(self, command):
                calls.append(("exec_command", command))
                return Stream(), io.BytesIO(b"ok"), io.BytesIO(b"")

        self.SSHClient, self.AutoAddPolicy, self.RSAKey = Connection, AutoAddPolicy, RSAKey


@pytest.mark.parametrize("pkey_path, credential", [
    (None, ("password", "pw")),
    ("", ("password", "pw")),
    ("/keys/id_rsa", ("pkey", "KEY")),
])
@pytest.mark.parametrize("error", [None, OSError("refused")])
def test_connection_makes_exactly_the_described_calls(monkeypatch, capsys, pkey_path, credential, error):
    fake = RecordingParamiko(error)
    monkeypatch.setattr(ssh, "paramiko", fake)
    c = SSHClient("u", "pw", "h", 2222, pkey_path=pkey_path)
    c._SSHClient__client
    key_load = [("from_private_key_file", pkey_path)] if pkey_path else []
    assert fake.calls == [
        ("SSHClient",), ("AutoAddPolicy",), ("set_missing_host_key_policy", "AutoAddPolicy"),
        *key_load, ("connect", "h", [("port", 2222), ("username", "u"), credential]),
        *([("get_transport",)] if error is None else []),
    ]
    line = "Connected to h:2222 as u\n" if error is None else "Failed to connect to h:2222 - refused\n"
    assert capsys.readouterr().out == line


class Transport:
    def __init__(self, sock):
        self.sock = sock


class UnixSocket(socket.socket):
    """A socket of the right type but not TCP: TCP_NODELAY must not be tried on it."""

    def setsockopt(self, *args):
        raise AssertionError("setsockopt called on a socket that is not TCP")


# Nagle's algorithm is turned off only on a TCP socket; any other transport (none, a proxy
# command, a channel, a Unix socket) is left alone, and a failure there is no connection failure.
@pytest.mark.parametrize("transport", [
    None,
    Transport(object()),
    Transport(io.BytesIO()),
    RuntimeError("no transport"),
    "unix",
])
def test_connection_over_other_transports_still_connects(monkeypatch, capsys, transport):
    with contextlib.ExitStack() as stack:
        if transport == "unix":
            transport = Transport(stack.enter_context(UnixSocket(socket.AF_UNIX, socket.SOCK_STREAM)))
        fake = RecordingParamiko(transport=transport)
        monkeypatch.setattr(ssh, "paramiko", fake)
        c = SSHClient("u", "pw", "h")
        assert c._SSHClient__client is not None
        assert fake.calls[-1] == ("get_transport",)
        assert capsys.readouterr().out == "Connected to h:22 as u\n"
        c.run("x")
        assert fake.calls[-1] == ("exec_command", "x")
        assert capsys.readouterr().out == "ok\n"


# --- the type stub describes the class as it is -------------------------------------------------

def stub_tree():
    import ast

    path = pathlib.Path(ssh.__file__).with_name("ssh.pyi")
    return ast.parse(path.read_text())


def test_stub_module_names_and_class_members_match():
    import ast

    tree = stub_tree()
    imported = [alias.asname for node in tree.body if isinstance(node, (ast.Import, ast.ImportFrom))
                for alias in node.names if alias.asname]
    classes = [node for node in tree.body if isinstance(node, ast.ClassDef)]
    assert imported + [c.name for c in classes] == ["cached_property", "paramiko", "SSHClient"]
    (cls,) = classes
    methods = [node.name for node in cls.body if isinstance(node, ast.FunctionDef)]
    real = [n for n in vars(SSHClient) if n not in ("__module__", "__dict__", "__weakref__", "__doc__")]
    assert methods == real
    cached = [node.name for node in cls.body if isinstance(node, ast.FunctionDef)
              and any(ast.unparse(d) == "cached_property" for d in node.decorator_list)]
    assert cached == ["_SSHClient__sftp", "_SSHClient__client"]
    attributes = [node.target.id for node in cls.body if isinstance(node, ast.AnnAssign)]
    assert attributes == list(vars(SSHClient("u", "p", "h")))


@pytest.mark.parametrize("name", ["__init__", "upload", "download", "run", "close"])
def test_stub_signatures_match(name):
    import ast

    (cls,) = [node for node in stub_tree().body if isinstance(node, ast.ClassDef)]
    (stub,) = [node for node in cls.body if isinstance(node, ast.FunctionDef) and node.name == name]
    real = inspect.signature(vars(SSHClient)[name])
    args = stub.args
    assert [a.arg for a in args.args] == list(real.parameters)
    defaults = [ast.literal_eval(d) for d in args.defaults]
    assert defaults == [p.default for p in real.parameters.values() if p.default is not p.empty]
    annotated = {a.arg: ast.unparse(a.annotation) for a in args.args if a.annotation}
    assert {k: v for k, v in annotated.items() if k != "pkey_path"} == vars(SSHClient)[name].__annotations__
    if name == "run":
        # The stub repeats the module's own text first, then completes it for the reference.
        stub_doc = inspect.cleandoc(ast.get_docstring(stub, clean=False))
        assert stub_doc.startswith(inspect.cleandoc(RUN_DOC) + "\n\n")
