"""Hostile input: every public function and method called with random argument counts, keywords
and values of random types (None, bytes, str subclasses, huge integers, NaN, objects whose
protocol methods raise, mappings whose lookups raise, quantity records without their
attributes, numpy arrays of odd dtypes).

Only ordinary exceptions may come out: never a crash, never SystemError (also not printed by a
method that reports failures as lines, nor reported by a finaliser), never an error that speaks
of NULL. Each module is searched in a child interpreter with a time limit, so a crash is seen as
a crash; TARN_HOSTILE_EXAMPLES scales the number of inputs (default 1.0).
"""

import collections.abc
import json
import os
import pathlib
import socket
import sys
import warnings

import pytest

from helpers import StrSub, run_python
from standins import Connection, ScriptedChannel, Session, Stream

SCALE = float(os.environ.get("TARN_HOSTILE_EXAMPLES", "1.0"))
EXAMPLES = {"plinth": 1500, "terminal": 1000, "ssh": 600}
HERE = pathlib.Path(__file__).resolve().parent

# Texts that only a broken native call produces (the generated texts never contain "null").
SYMPTOMS = ("NULL", "null argument", "null pointer", "without exception set",
            "with an exception set", "SystemError")


# --- values that fight back ---------------------------------------------------------------------

class Boom(Exception):
    """What every hostile method raises."""


def boom(*args, **kw):
    raise Boom("hostile")


def raising(*names):
    """A class whose instances raise Boom from each of the given special methods."""
    return type("Raises" + "".join(n.strip("_").title() for n in names), (), dict.fromkeys(names, boom))


HOSTILE_TYPES = [
    raising("__eq__", "__ne__"),                       # unhashable too (no __hash__ with __eq__)
    raising("__eq__", "__ne__", "__hash__"),
    raising("__str__", "__repr__"),
    raising("__format__"),
    raising("__bool__", "__len__"),
    raising("__iter__", "__getitem__", "__len__", "__contains__"),
    raising("__index__", "__int__", "__float__"),
    raising("__getattr__"),
    raising("__getattribute__"),
    raising("__deepcopy__", "__copy__", "__reduce_ex__"),
    raising("__sub__", "__rsub__", "__add__", "__radd__", "__lt__", "__gt__"),
    raising("__call__"),
]


class EqText(str):
    __eq__ = __ne__ = __hash__ = boom


class FormatText(str):
    __format__ = __str__ = __repr__ = boom


class BadDict(dict):
    __getitem__ = __contains__ = __setitem__ = boom


class BadMapping(collections.abc.MutableMapping):
    __getitem__ = __setitem__ = __delitem__ = boom
    def __iter__(self): return iter(["ch", "value"])
    def __len__(self): return 2


class Record:
    """A quantity record with whatever attributes it is given (or none)."""
    def __init__(self, **attributes):
        self.__dict__.update(attributes)
    def __repr__(self):
        return f"Record({sorted(self.__dict__)})"


# --- the child's side ---------------------------------------------------------------------------

class Bad(AssertionError):
    """A symptom of a broken native call."""


class Tally:
    def __init__(self):
        self.calls = 0
        self.outcomes = collections.Counter()


TALLY = Tally()
# Symptoms seen where raising would not reach the search: printed lines, finaliser reports.
SEEN = []


def safe_text(obj):
    try:
        return str(obj)
    except Exception:
        return ""


def inspect_exception(exc):
    """Raises Bad when `exc` (or an exception it was raised from or during) shows a symptom."""
    seen = set()
    while exc is not None and id(exc) not in seen:
        seen.add(id(exc))
        if isinstance(exc, SystemError):
            raise Bad(f"SystemError: {safe_text(exc)}") from exc
        text = safe_text(exc)
        if any(s in text for s in SYMPTOMS):
            raise Bad(f"{type(exc).__name__} with a symptom: {text}") from exc
        exc = exc.__cause__ or exc.__context__


def call(f, args=(), kw=None, expect=None):
    """Calls f(*args, **kw); an ordinary exception is counted and returned, a symptom raises Bad.
    `expect(result)` checks what a successful call returned."""
    TALLY.calls += 1
    try:
        result = f(*args, **(kw or {}))
    except Exception as exc:
        inspect_exception(exc)
        TALLY.outcomes[type(exc).__name__] += 1
        if SEEN:
            raise Bad(f"{len(SEEN)} symptoms, the first: {SEEN[0]}") from exc
        return exc
    TALLY.outcomes["returned"] += 1
    if SEEN:
        raise Bad(f"{len(SEEN)} symptoms, the first: {SEEN[0]}")
    if expect is not None and not expect(result):
        raise Bad(f"{getattr(f, '__qualname__', f)} returned {type(result).__name__}")
    return result


class Sink:
    """Standard output for the search: keeps nothing but symptom texts."""
    def write(self, s):
        if any(symptom in s for symptom in SYMPTOMS):
            SEEN.append(f"printed: {s!r}")
        return len(s)
    def flush(self):
        pass


def unraisable(report):
    """A finaliser may fail, but not with a symptom (an exception raised in this hook would
    only be reported, so it is noted for the next call to find)."""
    try:
        inspect_exception(report.exc_value)
    except Bad as bad:
        SEEN.append(str(bad))


def strategies(module):
    """The hypothesis strategies for one module's search (built in the child, after import)."""
    import numpy as np
    from hypothesis import strategies as st

    class OddArray(np.ndarray):
        ndim = property(boom)

    readonly = np.arange(6.0)
    readonly.flags.writeable = False
    arrays = [
        np.array([1.0, np.nan, np.nan, np.inf, np.inf, -0.0, 0.0]), np.array([], dtype=float),
        np.array(5), np.arange(12).reshape(3, 4), np.arange(10, dtype=np.int8),
        np.array([2**63, 2**64 - 1], dtype=np.uint64), np.array([True, False, False]),
        np.array([1 + 2j, 1 + 2j]), np.array(["a", "a", "b"]), np.array([b"x", b"y"]),
        np.array(["2020-01-01", "2020-01-01", "NaT"], dtype="datetime64[D]"),
        np.array([1, 1], dtype="timedelta64[s]"),
        np.array([(1, 2.0), (1, 2.0)], dtype=[("a", "i4"), ("b", "f8")]),
        np.array([object(), None, 3], dtype=object), np.arange(20.0)[::3],
        np.zeros(3, dtype=np.float16), np.ma.masked_array([1, 1, 2], mask=[0, 1, 0]), readonly,
        np.arange(3).view(OddArray), np.arange(4, dtype=">i8"),
    ]
    def pick(pool):
        # By index: hypothesis describes sampled_from by the reprs of its items, which raise here.
        return st.integers(0, len(pool) - 1).map(lambda i: pool[i])

    hostile = pick(HOSTILE_TYPES).map(lambda t: t())
    texts = st.one_of(st.text(max_size=6).filter(lambda t: "null" not in t.lower()),
                      st.sampled_from(["", "\x00", "\ud800", "é" * 3, "sudo", "x" * 300]))
    blobs = st.binary(max_size=8).filter(lambda b: b"null" not in b.lower())
    scalars = st.one_of(
        st.none(), st.booleans(), st.integers(-10, 1000),
        st.sampled_from([2**63, -2**63 - 1, 2**200, -10**400]),
        st.floats(), st.complex_numbers(max_magnitude=1e300), texts, blobs,
        texts.map(StrSub), texts.map(EqText), texts.map(FormatText),
        pick([BadDict(ch=1, value=2), BadMapping(), {}, {"ch": 1, "value": 2}]),
        pick(arrays), hostile, pick([object(), boom, int, Boom, np, Ellipsis, slice(1, 2)]),
    )
    values = st.recursive(scalars, lambda inner: st.one_of(
        st.lists(inner, max_size=3), st.lists(inner, max_size=3).map(tuple),
        st.dictionaries(texts, inner, max_size=2)), max_leaves=4)
    keyword_names = st.one_of(st.sampled_from([
        "self", "addr", "name", "value", "channel", "ch", "mode", "target", "host", "port",
        "timeout", "model", "srate", "exception_type", "exception_value", "traceback", "values",
        "lengths", "command", "cwd", "username", "password", "pkey_path", "local_path",
        "remote_path", "kw", "\ud800", "x"]), texts.map(StrSub))

    def arguments(plausible):
        # Mostly the right number of arguments, so that calls get past binding into the body.
        items = st.one_of(plausible, plausible, values)
        cache = {}

        def for_arity(arity):
            if arity not in cache:
                count = st.one_of(st.just(arity), st.just(arity), st.integers(0, 5))
                cache[arity] = st.tuples(
                    count.flatmap(lambda n: st.lists(items, min_size=n, max_size=n)),
                    st.one_of(st.just({}), st.dictionaries(keyword_names, items, max_size=3)))
            return cache[arity]
        return for_arity

    if module == "plinth":
        from tarn.driver.common.plinth import compress
        from tarn.driver.common.quantity import Quantity

        def quantity(name, value, ch):
            # A record whose default holds any value: Quantity itself inspects the value it is
            # given, which a hostile value may refuse, so it is put in place afterwards.
            record = Quantity(name, None, ch)
            record.default["value"] = value
            return record

        def compressed(array):
            try:
                return compress(array)
            except Exception:
                return array

        names = st.sampled_from(["Gain", "Temp", "Waveform", "quantity", "config", "addr", "info",
                                 "Nope", "", "setValue"])
        channels = st.sampled_from([1, 2, "global", "aux", 1.0, True, 99])
        plausible = st.one_of(names, channels, st.sampled_from(["debug", "run", "10.0.0.1"]),
                              pick(arrays).map(compressed),
                              st.just((np.array([3, 7]), np.array([2, 1]))))
        records = st.one_of(
            st.builds(quantity, names, values, channels),
            st.builds(quantity, names, values, st.just("global")),
            st.builds(Record), st.builds(Record, name=names),
            st.builds(Record, name=values, default=values),
            st.builds(Record, name=names, default=pick([{}, BadDict(), BadMapping()])),
            hostile)
        behaviours = st.one_of(st.sampled_from(["return", "none", "raise"]), values)
        return {"arguments": arguments(plausible), "records": records, "values": values,
                "channel_lists": st.one_of(st.lists(st.one_of(channels, values), max_size=4), values),
                "behaviours": behaviours, "hostile": hostile, "names": names}
    if module == "terminal":
        found = st.one_of(st.none(), st.sampled_from(["", "/usr/bin/xterm", "C:/ps/powershell.exe",
                                                      "C:/cmd.exe", "C:/wt.exe"]), values)
        systems = st.one_of(st.sampled_from(["Linux", "Windows", "Darwin", "Plan9", "", "linux"]),
                            values)
        environs = st.one_of(
            st.dictionaries(st.sampled_from(["VSCODE_GIT_IPC_HANDLE", "TERM_PROGRAM", "PATH"]),
                            st.one_of(st.sampled_from(["vscode", "VSCode-x", "vs-code"]), values),
                            max_size=3),
            pick([BadDict(TERM_PROGRAM="vscode"), BadMapping()]), values)
        plausible = st.one_of(st.none(), st.sampled_from(["", "ls -l", "/tmp", "a\"b\\c"]))
        return {"arguments": arguments(plausible), "found": found, "systems": systems,
                "environs": environs, "values": values}
    if module == "ssh":
        plausible = st.sampled_from(["u", "pw", "127.0.0.1", "", "ls", "sudo id", "/tmp/x", 22, None])
        exceptions = pick([Boom("x"), OSError("gone"), KeyError("k"), UnicodeError("u")])
        data = st.one_of(blobs, st.sampled_from([b"\xff\xfe", b"ok\n"]), exceptions,
                         values)
        channel = st.builds(ScriptedChannel, st.dictionaries(
            st.sampled_from(["eof_received", "closed", "recv_ready", "recv_stderr_ready", "recv",
                             "recv_stderr", "fileno"]),
            st.one_of(st.booleans(), data, st.sampled_from([-1, 2**70, 10**6]), values), max_size=4))
        streams = st.one_of(st.builds(Stream, data), st.builds(Stream, data, channel))
        results = st.one_of(st.tuples(streams, streams, streams), st.lists(streams, max_size=4),
                            exceptions, values)
        cached = st.one_of(st.none(), st.builds(Connection, results), st.builds(Session, data), values)
        settings = st.dictionaries(st.sampled_from(["username", "password", "host", "port", "pkey_path"]),
                                   st.one_of(plausible, values, st.just("/no/such/key")), max_size=3)
        return {"arguments": arguments(plausible), "cached": cached, "settings": settings,
                "values": values}
    raise ValueError(module)


# Method name -> the number of arguments it takes besides self.
PLINTH_METHODS = {"__init__": 1, "__repr__": 0, "__del__": 0, "__enter__": 0, "__exit__": 3,
                  "info": 0, "dict_from_quantity": 0, "open": 0, "close": 0, "write": 2, "read": 1,
                  "cancel": 0, "check": 2, "update": 3, "setValue": 2, "getValue": 1}
CODEC = {"compress": 1, "decompress": 2}
# Native methods that answer None whenever they do not raise (open, close, read and write are
# the driver's own here; their native bodies are reached through the unbound calls).
NONE_RESULT = {"__init__", "__del__", "__exit__", "cancel", "check", "update", "setValue"}


def plinth_example(data, s):
    import inspect

    import numpy as np
    from tarn.driver.common import plinth
    from tarn.driver.common.plinth import Plinth

    def behaviour(kind):
        def method(self, name=None, value=None, **kw):
            if kind == "raise":
                raise Boom("device")
            if kind == "none":
                return None
            return value if kind == "return" else kind
        return method

    body = {op: behaviour(data.draw(s["behaviours"])) for op in ("open", "close", "write", "read")}
    D = type("Hostile", (Plinth,), body)
    # Set after creation: the class statement itself would already trip over hostile values.
    D.quants = data.draw(st_lists(s["records"]))
    D.CHs = data.draw(s["channel_lists"])
    args, kw = data.draw(s["arguments"](1))
    driver = call(D, args, kw)
    if not isinstance(driver, D):
        driver = D.__new__(D)  # a driver whose construction failed part-way
    for attribute in data.draw(st_sample(["config", "quantities", "CHs", "quants", "addr"])):
        setattr(driver, attribute, data.draw(s["values"]))
    for _ in range(3):
        what = data.draw(st_sample_one([*PLINTH_METHODS, *CODEC, "unbound", "function"]))
        args, kw = data.draw(s["arguments"]({**PLINTH_METHODS, **CODEC}.get(what, 1)))
        if what == "compress":
            given = args[0] if args else kw.get("value")
            call(plinth.compress, args, kw,
                 expect=lambda r: (isinstance(r, tuple) and len(r) == 2
                                   and all(isinstance(a, np.ndarray) for a in r)) or r is given)
        elif what == "decompress":
            call(plinth.decompress, args, kw, expect=lambda r: isinstance(r, np.ndarray))
        elif what == "unbound":  # a method of Plinth called on something that is no driver
            name = data.draw(st_sample_one(list(PLINTH_METHODS)))
            args, kw = data.draw(s["arguments"](PLINTH_METHODS[name]))
            call(getattr(Plinth, name), [data.draw(s["values"]), *args], kw)
        elif what == "function":  # the methods of the native function type itself
            f = data.draw(st_sample_one([plinth.compress, plinth.decompress,
                                         *(vars(Plinth)[n] for n in PLINTH_METHODS)]))
            operation = data.draw(st_sample_one(["__get__", "__reduce__", "__reduce_ex__",
                                                 "__repr__", "__sizeof__", "__dir__"]))
            call(getattr(f, operation), args, kw)
            call(inspect.signature, [f], expect=lambda r: isinstance(r, inspect.Signature))
        else:
            expect = ((lambda r: r is None) if what in NONE_RESULT
                      else (lambda r: type(r) is str) if what in ("info", "__repr__")
                      else (lambda r: r is driver) if what == "__enter__"
                      else (lambda r: type(r) is dict) if what == "dict_from_quantity" else None)
            call(getattr(driver, what), args, kw, expect=expect)
    del driver  # the finaliser runs now, with whatever close does


def terminal_example(data, s):
    import types
    from tarn.terminal import terminal as module

    launched = []

    def popen(*args, **kw):
        launched.append((args, kw))
        return data.draw(s["values"]) if data.draw(st_booleans()) else object()

    found = {name: data.draw(s["found"]) for name in
             ("wt", "code", "powershell.exe", "cmd.exe", "gnome-terminal", "konsole", "xfce4-terminal", "xterm")}
    system = data.draw(s["systems"])
    module.platform = types.SimpleNamespace(system=lambda: system)
    module.shutil = types.SimpleNamespace(which=lambda name: found.get(name))
    module.os = types.SimpleNamespace(environ=data.draw(s["environs"]))
    module.subprocess = types.SimpleNamespace(Popen=popen)
    if data.draw(st_booleans()):
        module.subprocess.CREATE_NEW_CONSOLE = data.draw(s["values"])
    for _ in range(3):
        args, kw = data.draw(s["arguments"](2))
        before = len(launched)
        call(module.terminal, args, kw, expect=lambda r: r is None)
        if len(launched) > before + 1:
            raise Bad(f"one call launched {len(launched) - before} programs")


SSH_METHODS = {"__init__": 3, "run": 1, "upload": 2, "download": 2, "close": 0, "__client": 0,
               "__sftp": 0}


def ssh_example(data, s):
    from tarn.terminal.ssh import SSHClient

    args, kw = data.draw(s["arguments"](3))
    client = call(SSHClient, args, kw)
    if not isinstance(client, SSHClient):
        client = SSHClient("u", "p", "127.0.0.1", 1)
    for attribute, value in data.draw(s["settings"]).items():
        setattr(client, attribute, value)
    for attribute in data.draw(st_sample(["_SSHClient__client", "_SSHClient__sftp"])):
        client.__dict__[attribute] = data.draw(s["cached"])
    for _ in range(3):
        what = data.draw(st_sample_one([*SSH_METHODS, "unbound"]))
        args, kw = data.draw(s["arguments"](SSH_METHODS.get(what, 0)))
        if what in ("__client", "__sftp"):  # the functions behind the cached attributes
            function = vars(SSHClient)["_SSHClient" + what].func
            call(function, [client, *args], kw)
        elif what == "unbound":
            name = data.draw(st_sample_one(list(SSH_METHODS)[:5]))
            args, kw = data.draw(s["arguments"](SSH_METHODS[name]))
            call(vars(SSHClient)[name], [data.draw(s["values"]), *args], kw)
        else:
            call(getattr(client, what), args, kw, expect=lambda r: r is None)


# Strategy helpers that exist only after hypothesis is imported in the child.
def st_lists(inner):
    from hypothesis import strategies as st
    return st.lists(inner, max_size=4)


def st_sample(items):
    from hypothesis import strategies as st
    return st.lists(st.sampled_from(items), max_size=2, unique=True)


def st_sample_one(items):
    from hypothesis import strategies as st
    return st.sampled_from(items)


def st_booleans():
    from hypothesis import strategies as st
    return st.booleans()


def refuse_lookups(closed_port):
    """Name resolution that answers only loopback names, always with a port nobody listens on:
    no input can make the client reach a real server or wait for a name server."""
    real = socket.getaddrinfo

    def getaddrinfo(host, port, *args, **kw):
        if host not in ("127.0.0.1", "localhost", "", None):
            raise socket.gaierror(socket.EAI_NONAME, "name lookups are off in this test")
        real("127.0.0.1", port, *args, **kw)  # the usual errors for odd ports
        return real("127.0.0.1", closed_port, *args, **kw)

    socket.getaddrinfo = getaddrinfo


def refuse_descriptor_keys():
    """paramiko opens a key path with open(), which takes an int as a file descriptor and closes
    it after reading: pkey_path=True would close standard output. Such a path fails here as a
    missing file instead."""
    import paramiko

    load = paramiko.RSAKey.from_private_key_file.__func__

    def from_private_key_file(cls, filename, password=None):
        if isinstance(filename, int):
            raise FileNotFoundError(f"no key file {filename!r}")
        return load(cls, filename, password)

    paramiko.RSAKey.from_private_key_file = classmethod(from_private_key_file)


def child(module, examples):
    import faulthandler
    import subprocess

    from hypothesis import HealthCheck, given, settings
    from hypothesis import strategies as st

    faulthandler.enable()
    warnings.filterwarnings("ignore")
    subprocess.Popen = boom  # nothing in the search may start a program
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        closed_port = probe.getsockname()[1]
    refuse_lookups(closed_port)
    if module == "ssh":
        refuse_descriptor_keys()
    s = strategies(module)
    example = {"plinth": plinth_example, "terminal": terminal_example, "ssh": ssh_example}[module]
    ran = [0]

    @settings(max_examples=examples, deadline=None, database=None,
              suppress_health_check=list(HealthCheck))
    @given(st.data())
    def search(data):
        ran[0] += 1
        example(data, s)

    sys.unraisablehook = unraisable
    real_stdout, sys.stdout = sys.stdout, Sink()
    try:
        search()
    finally:
        sys.stdout = real_stdout
    if SEEN:
        raise Bad(f"{len(SEEN)} symptoms, the first: {SEEN[0]}")
    print(json.dumps({"examples": ran[0], "calls": TALLY.calls, "outcomes": TALLY.outcomes}))


@pytest.mark.slow
@pytest.mark.parametrize("module", list(EXAMPLES))
def test_hostile_arguments_raise_only_ordinary_exceptions(module):
    if module == "ssh":
        pytest.importorskip("paramiko", reason="paramiko is not installed for this interpreter")
    examples = max(10, int(EXAMPLES[module] * SCALE))
    code = (f"import sys; sys.path.insert(0, {str(HERE)!r}); import test_hostile; "
            f"test_hostile.child({module!r}, {examples})")
    env = dict(os.environ, PATH="")  # nothing can be found to start, whatever slips through
    result = run_python(code, env=env, timeout=900)
    assert result.returncode == 0, result.stderr[-6000:]
    report = json.loads(result.stdout.splitlines()[-1])
    print(f"{module}: {report['examples']} inputs, {report['calls']} calls, {report['outcomes']}")
    assert report["examples"] >= examples
    # The search reached the bodies: some calls returned, and errors of several kinds came out.
    outcomes = report["outcomes"]
    assert outcomes.get("returned", 0) >= report["calls"] // 20, outcomes
    assert len(outcomes) >= 3, outcomes


@pytest.mark.parametrize("change, must_refuse", [
    ("f.__qualname__ = 5", True), ("del f.__qualname__", True), ("f.__name__ = 5", True),
    ("del f.__name__", True), ("f.__module__ = None", False), ("del f.__doc__", False),
    ("f.__annotations__ = 5", False), ("f.__dict__ = 5", False),
])
def test_metadata_assignment_leaves_the_function_usable(change, must_refuse):
    """Metadata of a native function set to a wrong type, or deleted: the assignment may be
    refused, but afterwards repr, pickling, inspect and calls raise at most ordinary errors.
    __name__ and __qualname__ must stay str, as on Python functions: repr formats the
    qualified name as text, and a non-str there crashed it."""
    result = run_python(f"""if True:
        import inspect, pickle
        from tarn.driver.common.plinth import Plinth
        f = Plinth.check
        try:
            {change}
            print("accepted")
        except (TypeError, AttributeError):
            print("refused")
        for op in (lambda: repr(f), f.__reduce__, lambda: inspect.signature(f),
                   lambda: pickle.dumps(f), lambda: f(1, 2, 3), lambda: f.__name__):
            try:
                op()
            except SystemError:
                raise
            except Exception:
                pass
        print("usable")
    """, "-W", "ignore", timeout=60)
    assert result.returncode == 0, result.stderr[-2000:]
    outcome, usable = result.stdout.split()
    assert usable == "usable"
    if must_refuse:
        assert outcome == "refused"
