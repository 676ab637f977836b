"""Every public entry point called many times, error paths included: the reference counts of the
objects involved return to their start, traced memory stays flat and resident memory stays
within a small bound.

The rounds run in one child interpreter (so pytest's own allocations do not blur the figures);
each scenario below is a function that prepares its objects and returns one round of calls and
the objects whose reference counts must not drift. TARN_LEAK_ROUNDS sets the number of
measured rounds (default 2000).
"""

import gc
import json
import os
import pathlib
import socket
import sys
import tracemalloc
import warnings

import pytest

from helpers import fresh, run_python
from standins import Channel, Connection, Session, Stream

pytestmark = pytest.mark.slow

ROUNDS = int(os.environ.get("TARN_LEAK_ROUNDS", "2000"))
HERE = pathlib.Path(__file__).resolve().parent

SCENARIOS = {}


def scenario(share=1.0):
    """Registers a scenario; `share` scales its rounds (connection attempts are slow)."""
    def register(make):
        make.share = share
        SCENARIOS[make.__name__] = make
        return make
    return register


def text(s):
    """A str that is neither interned nor immortal, so its reference count is observable."""
    return "".join(list(s))


def expect_error(kind, call, *args, **kw):
    try:
        call(*args, **kw)
    except kind:
        return
    raise AssertionError(f"{call!r} did not raise {kind.__name__}")


class Sink:
    """Standard output that discards what is printed."""
    def write(self, s): return len(s)
    def flush(self): pass


class Failure(Exception):
    pass


# --- driver base --------------------------------------------------------------------------------

def driver_class(quants=None, chs=(1, 2), read=None, write_error=None, read_error=None,
                 close_error=None, open_error=None):
    from tarn.driver.common.plinth import Plinth
    from tarn.driver.common.quantity import Quantity

    class D(Plinth):
        CHs = list(chs)
        def open(self, **kw):
            if open_error is not None:
                raise fresh(open_error)
        def close(self, **kw):
            if close_error is not None:
                raise fresh(close_error)
        def write(self, name, value, **kw):
            if write_error is not None:
                raise fresh(write_error)
            return value
        def read(self, name, **kw):
            if read_error is not None:
                raise fresh(read_error)
            return read

    D.quants = [Quantity("Gain", 1.5), Quantity("Temp", [20.0], ch="global"),
                Quantity("Waveform", None)] if quants is None else quants
    return D


@scenario()
def plinth_construction():
    D = driver_class()
    addr, host, model, extra = text("10.0.0.7"), text("lab"), text("M-1"), text("ignored")

    def round_():
        D()
        D(addr, host=host, port=5025, timeout=1.0, model=model, srate=10, other=extra)
        D(addr=addr)
    return round_, [D, addr, host, model, extra]


@scenario()
def plinth_construction_errors():
    from tarn.driver.common.plinth import Plinth

    class Record:  # a quantity record without `name`
        default = {"ch": 1, "value": 0, "unit": ""}

    class Unhashable:
        name = ["not", "hashable"]
        default = {"ch": 1, "value": 0, "unit": ""}

    class Flaky:
        """Its name reads well the first time (newcfg) and as `second` the next (the driver's
        own table), so the constructor's last step fails after config was set."""
        default = {"ch": 1, "value": 0, "unit": ""}
        def __init__(self, second):
            self.second, self.reads = second, 0
        @property
        def name(self):
            self.reads += 1
            if self.reads % 2:
                return "Gain"
            if isinstance(self.second, Exception):
                raise fresh(self.second)
            return self.second

    record, unhashable = Record(), Unhashable()
    no_name = driver_class(quants=[record])
    bad_key = driver_class(quants=[unhashable])
    late_error, late_unhashable = Flaky(AttributeError("name")), Flaky(["un", "hashable"])
    late_missing = driver_class(quants=[late_error])
    late_bad_key = driver_class(quants=[late_unhashable])
    bad_channels = driver_class(chs=())
    bad_channels.CHs = 5  # newcfg cannot iterate it
    D = driver_class()
    addr, sub = text("10.0.0.7"), type("Text", (str,), {})("10.0.0.8")

    def round_():
        expect_error(TypeError, Plinth)                     # abstract
        expect_error(TypeError, D, None)
        expect_error(TypeError, D, sub)
        expect_error(TypeError, D, addr, addr)
        expect_error(AttributeError, no_name, addr)
        expect_error(TypeError, bad_key, addr)
        expect_error(TypeError, bad_channels, addr)
        expect_error(AttributeError, late_missing, addr)
        expect_error(TypeError, late_bad_key, addr)
    return round_, [record, unhashable, no_name, bad_key, bad_channels, D, addr, sub, late_error,
                    late_unhashable, late_missing, late_bad_key]


@scenario()
def plinth_description():
    D = driver_class()
    Elsewhere = driver_class()
    Elsewhere.__module__ = "not.loaded.anywhere"   # the file lookup fails and is swallowed
    d, e = D(text("10.0.0.7")), Elsewhere()
    bare = D.__new__(D)                              # no attributes: info raises AttributeError

    def round_():
        d.info()
        repr(d)
        str(d)
        format(d, "")
        e.info()
        expect_error(AttributeError, bare.info)
        expect_error(AttributeError, repr, bare)
    return round_, [D, Elsewhere, d, e, bare]


@scenario()
def plinth_context_manager():
    ok = driver_class()()
    error = Failure("open failed")
    failing_open = driver_class(open_error=error)()
    failing_close = driver_class(close_error=error)()
    body = ValueError("body")

    def round_():
        with ok as same:
            assert same is ok
        try:
            with ok:
                raise fresh(body)
        except ValueError:
            pass
        expect_error(Failure, failing_open.__enter__)
        expect_error(Failure, failing_close.__exit__, None, None, None)
        expect_error(TypeError, ok.__exit__, None, None)
        failing_close.__del__()                      # printed, not raised
    return round_, [ok, failing_open, failing_close, error, body]


@scenario()
def plinth_finaliser():
    error = Failure(text("close failed"))
    closes = driver_class()
    fails = driver_class(close_error=error)
    interrupt = KeyboardInterrupt()
    interrupts = driver_class(close_error=interrupt)

    def round_():
        closes()
        fails()                                          # prints "Failed to close ..."
        interrupts()                                     # escapes, reported as unraisable
        half = fails.__new__(fails)                      # description fails while reporting
        del half
    return round_, [error, interrupt, closes, fails, interrupts]


@scenario()
def plinth_quantities():
    import numpy as np
    from tarn.driver.common.plinth import compress

    D = driver_class()
    d = D()
    fresh = driver_class(read=7.5)()
    name, target, value, other = text("Gain"), text("scope"), object(), text("extra")
    pair = compress(np.repeat(np.arange(5.0), 3))

    def round_():
        d.setValue(name, value)
        d.setValue(name, value, ch=2, target=target, other=other)
        d.setValue("Temp", value, ch="global")
        d.setValue("Waveform", pair)
        d.setValue(name, value, mode="debug", target=target)
        d.getValue(name)
        d.getValue(name, ch=2, other=other)
        d.getValue(name, mode="debug")
        d.getValue("quantity", ch=2)
        d.getValue("config")
        d.check(name, 2)
        d.update(name, value)
        d.update(name, value, "global")
        d.dict_from_quantity()
        fresh.getValue(name, ch=1)
    return round_, [D, d, fresh, name, target, value, other, pair]


@scenario()
def plinth_quantity_errors():
    D = driver_class()
    d = D()
    werror, rerror = Failure("write failed"), Failure("read failed")
    wfails = driver_class(write_error=werror)()
    rfails = driver_class(read_error=rerror)()
    name, value, missing = text("Gain"), object(), text("Nope")

    class Mode:
        def __eq__(self, other): raise Failure("no comparison")
        __hash__ = object.__hash__

    mode = Mode()

    def round_():
        expect_error(TypeError, d.setValue, None, value)
        expect_error(TypeError, d.getValue, b"Gain")
        expect_error(TypeError, d.check, name)
        expect_error(TypeError, d.check, name, 1, channel=2)
        expect_error(TypeError, d.update, name, value, 1, bogus=1)
        expect_error(AssertionError, d.setValue, missing, value)
        expect_error(AssertionError, d.getValue, name, ch=9)
        expect_error(AssertionError, d.check, name, missing)
        expect_error(KeyError, d.update, missing, value)
        expect_error(TypeError, d.setValue, "Waveform", (1, 2, 3))
        expect_error(Failure, d.setValue, name, value, mode=mode)
        expect_error(Failure, wfails.setValue, name, value, ch=2)
        expect_error(Failure, rfails.getValue, name)
    return round_, [D, d, werror, rerror, wfails, rfails, name, value, missing, mode]


@scenario()
def codec():
    import numpy as np
    from tarn.driver.common.plinth import compress, decompress

    samples = np.repeat(np.arange(50.0), 4)
    ints = np.array([3, 3, 3, 7, 7, 3])
    listed, scalar = [1, 2, 3], object()
    texts = np.array(["a", "b"])

    def round_():
        values, lengths = compress(samples)
        decompress(values, lengths)
        decompress(values=ints, lengths=2)
        compress(value=ints)
        assert compress(listed) is listed and compress(scalar) is scalar
        expect_error(Exception, compress, texts)          # numpy cannot subtract text
        expect_error(Exception, compress, np.array(1.0))     # 0-d: numpy's diff refuses it
        expect_error(ValueError, decompress, ints, [1, 2])
        expect_error(TypeError, decompress, ints)
        expect_error(TypeError, compress)
    return round_, [samples, ints, listed, scalar, texts]


# --- terminal launcher ---------------------------------------------------------------------------

@scenario()
def terminal_routes():
    import platform
    import shutil
    import subprocess
    from tarn.terminal.terminal import terminal

    state = {"system": "Linux", "found": {}, "error": None}
    launched = []

    def popen(args, **kw):
        if state["error"] is not None:
            raise fresh(state["error"])
        launched.append(1)
        return object()

    for name in ("VSCODE_GIT_IPC_HANDLE", "TERM_PROGRAM"):  # this child's environment only
        os.environ.pop(name, None)
    platform.system = lambda: state["system"]
    shutil.which = lambda name: state["found"].get(name)
    subprocess.Popen = popen
    subprocess.CREATE_NEW_CONSOLE = 16
    command, cwd = text("echo hi"), text("/tmp")
    error = FileNotFoundError(text("no such program"))
    windows = {"wt": None, "code": None, "powershell.exe": text("C:/ps/powershell.exe")}

    def round_():
        state["error"] = None
        for system, found in (("Linux", {"xterm": "/usr/bin/xterm"}), ("Darwin", {}),
                              ("Windows", windows), ("Windows", {"wt": "C:/wt.exe"})):
            state["system"], state["found"] = system, found
            terminal()
            terminal(command, cwd)
            terminal(command=command)
        state["system"], state["found"] = "Windows", {"code": "C:/code.cmd"}
        os.environ["TERM_PROGRAM"] = "VSCode"          # the editor's route, with its notice
        terminal(command, cwd)
        del os.environ["TERM_PROGRAM"]
        state["system"], state["found"] = "Linux", {}
        expect_error(RuntimeError, terminal, command)
        state["system"] = "Windows"
        expect_error(RuntimeError, terminal)
        state["system"] = text("Plan9")
        expect_error(RuntimeError, terminal, command, cwd)
        state["system"], state["found"], state["error"] = "Linux", {"xterm": "x"}, error
        expect_error(FileNotFoundError, terminal, command, cwd)
        expect_error(TypeError, terminal, b"ls")
        expect_error(TypeError, terminal, command, cwd, cwd)
        expect_error(TypeError, terminal, shell=command)
        launched.clear()
    return round_, [terminal, command, cwd, error]


# --- SSH client ----------------------------------------------------------------------------------

def closed_port():
    """A loopback port that nobody listens on (bound and released, so it was free just now)."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@scenario()
def ssh_construction():
    from tarn.terminal.ssh import SSHClient

    user, password, host, key = text("alice"), text("pw"), text("lab-pc"), text("/no/key")

    def round_():
        SSHClient(user, password, host)
        SSHClient(user, password, host, 2222, key)
        SSHClient(host=host, password=password, username=user, pkey_path=key)
        expect_error(TypeError, SSHClient, None, password, host)
        expect_error(TypeError, SSHClient, user, password, host, True)     # with the note
        expect_error(TypeError, SSHClient, user, password)
        expect_error(TypeError, SSHClient, user, password, host, timeout=1)
    return round_, [SSHClient, user, password, host, key]


class Relative:
    """A tracked object whose reference count is read against a control's. Where the interpreter
    counts references to heap types per thread (free-threaded 3.14), a class's count drifts
    with what the dependency does under it; a pure-Python class doing the same work drifts
    alike, so only a leak of our own remains in the difference."""
    def __init__(self, obj, control):
        self.obj, self.control = obj, control


@scenario(share=0.1)
def ssh_failed_connections():
    import paramiko
    from tarn.terminal.ssh import SSHClient

    user, password, command, key = text("alice"), text("pw"), text("ls"), text("/no/such/key")
    local, remote = text("/no/local"), text("/no/remote")
    port = closed_port()

    class Control:
        """The connection SSHClient makes, failing the same way, from plain Python."""
        def __init__(self, pkey_path=None):
            try:
                connection = paramiko.SSHClient()
                connection.set_missing_host_key_policy(paramiko.AutoAddPolicy())
                credential = ({"pkey": paramiko.RSAKey.from_private_key_file(pkey_path)} if pkey_path
                              else {"password": password})
                connection.connect("127.0.0.1", port=port, username=user, **credential)
            except Exception:
                pass

    def control():
        Control()
        Control(key)

    def round_():
        control()
        c = SSHClient(user, password, "127.0.0.1", port)
        c.run(command)                    # Failed to connect ...; SSH client is not connected.
        c.upload(local, remote)           # failed to upload: ...
        c.download(remote, local)
        c.close()
        SSHClient(user, password, "127.0.0.1", port, key).close()   # key file missing
        expect_error(TypeError, c.run, None)
    return round_, [Relative(SSHClient, Control), user, password, command, key, local, remote], control


@scenario()
def ssh_stand_in_connection():
    from tarn.terminal.ssh import SSHClient

    error = Failure(text("stream broke"))
    behaviours = [
        lambda: (Stream(), Stream(b"listing\n"), Stream(b"")),
        lambda: (Stream(), Stream(b"out"), Stream(b"warning")),
        lambda: (Stream(), Stream(channel=Channel([b"out"], [b"err"])), Stream()),
        lambda: (Stream(), Stream(b"\xff\xfe"), Stream(b"")),          # UnicodeDecodeError
        lambda: (Stream(), Stream(error), Stream()),
        lambda: (Stream(error), Stream(), Stream()),
        lambda: (Stream(), Stream()),                                   # too few to unpack
        lambda: iter([Stream()] * 4),                                   # too many
        lambda: 5,                                                      # not iterable
        lambda: raise_(error),                                          # exec_command raises
    ]
    command = text("sudo ls")

    def raise_(e):
        raise fresh(e)

    def client(behaviour, session):
        c = SSHClient("u", "p", "127.0.0.1")
        c.__dict__["_SSHClient__client"] = Connection(behaviour)
        c.__dict__["_SSHClient__sftp"] = session
        return c

    clients = [client(b, Session()) for b in behaviours]
    broken = client(Failure(text("close failed")), Session(error))
    local, remote = text("/a"), text("/b")

    def round_():
        for c in clients:
            try:
                c.run(command)
            except Exception:
                pass
        clients[0].upload(local, remote)
        clients[0].download(remote, local)
        broken.upload(local, remote)            # failed to upload: stream broke
        broken.download(remote, local)
        expect_error(Failure, broken.close)
    return round_, [error, command, broken, local, remote, *clients]


# --- the child's side ---------------------------------------------------------------------------

def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def refcounts(objects):
    return [sys.getrefcount(o.obj) - sys.getrefcount(o.control) if isinstance(o, Relative) else sys.getrefcount(o)
            for o in objects]


def traced_growth(round_, rounds):
    """Traced memory over two equal runs: a cache that fills once does so in the first, a leak
    grows in both, so the second shows it alone."""
    tracemalloc.start()
    for _ in range(rounds):
        round_()
    gc.collect()
    base = tracemalloc.get_traced_memory()[0]
    for _ in range(rounds):
        round_()
    gc.collect()
    traced = tracemalloc.get_traced_memory()[0] - base
    tracemalloc.stop()
    return traced


def measure(make, rounds):
    """A scenario's growth over `rounds`. Reference counts, like traced memory, are read over two
    equal runs after a first one: a cache that fills (or a deferred count that settles, as a
    heap type's does on free-threaded 3.14) does so in the first, a leak grows in every run.
    A scenario may also return its pure-Python control (the dependency's own part of a round,
    done from Python): its traced growth is what the dependency does under us, and is taken
    off, as Relative does for reference counts."""
    round_, tracked, *control = make()
    for _ in range(max(20, rounds // 4)):        # warm caches and allocator pools
        round_()
    gc.collect()
    start = rss()
    for _ in range(rounds):
        round_()
    gc.collect()
    grown = rss() - start
    counts = refcounts(tracked)
    traced = traced_growth(round_, rounds)
    refs = [now - before for now, before in zip(refcounts(tracked), counts)]
    if control:
        traced -= max(0, traced_growth(control[0], rounds))
    return {"rounds": rounds, "refs": refs, "rss": grown, "traced": traced}


def child():
    warnings.filterwarnings("ignore", "The global interpreter lock")
    sys.unraisablehook = lambda unraisable: None      # finaliser failures are expected here
    try:
        import paramiko  # noqa: F401
        have_ssh = True
    except ImportError:
        have_ssh = False
    results = {}
    real_stdout, sys.stdout = sys.stdout, Sink()
    try:
        for name, make in SCENARIOS.items():
            if name.startswith("ssh") and not have_ssh:
                continue
            results[name] = measure(make, max(10, int(ROUNDS * make.share)))
    finally:
        sys.stdout = real_stdout
    print(json.dumps(results))


@pytest.fixture(scope="module")
def measured():
    code = f"import sys; sys.path.insert(0, {str(HERE)!r}); import test_leaks; test_leaks.child()"
    result = run_python(code, timeout=900)
    assert result.returncode == 0, result.stderr[-4000:]
    return json.loads(result.stdout)


@pytest.mark.parametrize("name", list(SCENARIOS))
def test_no_leak(name, measured):
    if name not in measured:
        pytest.skip("paramiko is not installed for this interpreter")
    m = measured[name]
    # A leak adds at least one reference, or one small object (16 bytes or more), per round;
    # the bounds leave room only for caches that stop growing.
    assert all(-2 <= r <= 2 for r in m["refs"]), f"reference counts drifted: {m['refs']}"
    assert m["traced"] < 8 * m["rounds"], f"traced memory grew by {m['traced']} bytes"
    if not os.environ.get("TARN_SANITIZED"):  # the sanitizer's quarantine keeps freed memory
        assert m["rss"] < 2 * 1024 * 1024, f"resident memory grew by {m['rss']} bytes"


def test_the_measurement_sees_one_leak_per_round():
    """The bounds above are tight enough: one reference and one 32-byte object kept per round
    show up in both figures."""
    import ctypes

    probe, kept = object(), []

    def make():
        def round_():
            ctypes.pythonapi.Py_IncRef(ctypes.py_object(probe))
            kept.append(bytes(32))
        return round_, [probe]

    m = measure(make, 500)
    for _ in range(len(kept)):
        ctypes.pythonapi.Py_DecRef(ctypes.py_object(probe))
    assert m["refs"][0] >= 1000  # the two runs over which counts are read
    assert m["traced"] >= 8 * m["rounds"]
