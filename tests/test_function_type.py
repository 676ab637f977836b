"""The native function type shared by the three modules: argument binding, its exact messages,
method binding and the metadata that inspect, help() and abc rely on."""

import gc
import inspect
import os
import pickle
import subprocess
import sys
import sysconfig
import types
import typing
import weakref

import pytest

from helpers import StrSub

plinth = pytest.importorskip("tarn.driver.common.plinth")
from tarn.terminal.terminal import terminal  # noqa: E402

Plinth = plinth.Plinth


class Driver(Plinth):
    def open(self, **kw): pass
    def close(self, **kw): pass
    def write(self, name, value, **kw): return value
    def read(self, name, **kw): return None


class IntSub(int):
    pass


@pytest.fixture
def drv():
    return Driver()


def ssh_client():
    return pytest.importorskip("tarn.terminal.ssh").SSHClient


COUNT_CASES = [
    (lambda d: terminal(1, 2, 3), "terminal() takes at most 2 positional arguments (3 given)"),
    (lambda d: d.cancel(1), "cancel() takes exactly 1 positional argument (2 given)"),
    (lambda d: Plinth.cancel(), "cancel() takes exactly 1 positional argument (0 given)"),
    (lambda d: d.__exit__(), "__exit__() takes exactly 4 positional arguments (1 given)"),
    (lambda d: d.update(), "update() takes at least 3 positional arguments (1 given)"),
    (lambda d: d.update("x"), "update() takes at least 3 positional arguments (2 given)"),
    (lambda d: d.update(value=1), "update() takes at least 3 positional arguments (1 given)"),
    (lambda d: d.update("Power", 1, 2, 3), "update() takes at most 4 positional arguments (5 given)"),
    (lambda d: Driver("a", "b"), "__init__() takes at most 2 positional arguments (3 given)"),
    (lambda d: d.setValue("x"), "setValue() takes exactly 3 positional arguments (2 given)"),
    (lambda d: plinth.decompress(), "decompress() takes exactly 2 positional arguments (0 given)"),
    (lambda d: plinth.decompress([1]), "decompress() takes exactly 2 positional arguments (1 given)"),
    (lambda d: plinth.compress(1, 2), "compress() takes exactly 1 positional argument (2 given)"),
]


@pytest.mark.parametrize("args,message", [
    (("u",), "__init__() takes at least 4 positional arguments (2 given)"),
    (("u", "p", "h", 22, None, 7), "__init__() takes at most 6 positional arguments (7 given)"),
])
def test_ssh_constructor_counts(args, message):
    with pytest.raises(TypeError) as info:
        ssh_client()(*args)
    assert str(info.value) == message


KEYWORD_CASES = [
    (lambda d: terminal(foo=1), "terminal() got an unexpected keyword argument 'foo'"),
    (lambda d: terminal(None, command=None), "terminal() got multiple values for keyword argument 'command'"),
    (lambda d: d.cancel(x=1), "cancel() got an unexpected keyword argument 'x'"),
    (lambda d: d.check("x", 1, other=2), "check() got an unexpected keyword argument 'other'"),
    (lambda d: d.update(1, name="x"), "update() got multiple values for keyword argument 'name'"),
    (lambda d: d.setValue("x", 1, name="y"), "setValue() got multiple values for keyword argument 'name'"),
    (lambda d: Driver(None, addr="x"), "__init__() got multiple values for keyword argument 'addr'"),
    (lambda d: plinth.compress([1], value=[1]), "compress() got multiple values for keyword argument 'value'"),
]


@pytest.mark.parametrize("call,message", COUNT_CASES + KEYWORD_CASES,
                         ids=[m for _, m in COUNT_CASES + KEYWORD_CASES])
def test_argument_count_and_keyword_messages(drv, call, message):
    with pytest.raises(TypeError) as info:
        call(drv)
    assert str(info.value) == message


@pytest.mark.parametrize("value,type_name,noted", [
    (None, "NoneType", False),
    (b"x", "bytes", False),
    (1.5, "float", False),
    (StrSub("x"), "StrSub", True),
])
def test_exact_type_checks(drv, value, type_name, noted):
    with pytest.raises(TypeError) as info:
        drv.check(value, 1)
    assert str(info.value) == f"Argument 'name' has incorrect type (expected str, got {type_name})"
    notes = getattr(info.value, "__notes__", [])
    assert bool(notes) == noted
    if noted:
        assert "subclasses of built-in types are rejected" in notes[0]


def test_exact_int_check_notes_bool():
    with pytest.raises(TypeError) as info:
        ssh_client()("u", "p", "h", port=True)
    assert str(info.value) == "Argument 'port' has incorrect type (expected int, got bool)"
    assert info.value.__notes__


def test_keywords_bind_by_name_in_any_order():
    values, lengths = plinth.compress(plinth.np.array([1, 1, 2]))
    out = plinth.decompress(lengths=lengths, values=values)
    assert out.tolist() == [1, 1, 2]


def test_collected_keywords_reach_the_callee_unchanged():
    seen = []

    class Recorder(Driver):
        def write(self, name, value, **kw):
            seen.append(kw)
            return value

    Recorder.quants = [plinth.Quantity("Power", 0)]
    d = Recorder()
    d.setValue("Power", 1)
    d.setValue("Power", 2, ch=1, extra="x")
    d.setValue("Power", 3, **{"target": "t", "mode": "run"})
    assert seen == [{}, {"ch": 1, "extra": "x"}, {"target": "t", "mode": "run"}]


def test_binding_as_method(drv):
    assert Plinth.info is Plinth.__dict__["info"]
    bound = drv.info
    assert isinstance(bound, types.MethodType)
    assert bound.__func__ is Plinth.info and bound.__self__ is drv
    assert bound() == Plinth.info(drv)
    # Stored on an instance, a function does not bind, like a Python function.
    drv.f = Plinth.cancel
    assert drv.f is Plinth.cancel


def test_metadata(drv):
    f = Plinth.update
    assert (f.__name__, f.__qualname__, f.__module__) == ("update", "Plinth.update", "tarn.driver.common.plinth")
    assert f.__defaults__ == (1,)
    assert f.__kwdefaults__ is None
    assert f.__annotations__ == {"name": "str", "value": "Any", "channel": "int | str"}
    assert f.__doc__ is None
    assert Plinth.cancel.__defaults__ is None
    assert terminal.__defaults__ == (None, None)
    assert repr(f).startswith("<function Plinth.update at 0x")
    # Instances carry a __dict__, which abc.abstractmethod relies on.
    assert Plinth.open.__isabstractmethod__ is True
    assert "__isabstractmethod__" not in Plinth.cancel.__dict__


def test_signatures():
    assert str(inspect.signature(terminal)) == "(command: 'str | None' = None, cwd: 'str | None' = None)"
    assert str(inspect.signature(Plinth.update)) == "(self, name: 'str', value: 'Any', channel: 'int | str' = 1)"
    assert str(inspect.signature(Driver().setValue)) == "(name: 'str', value: 'Any', **kw)"
    assert str(inspect.signature(Plinth.__init__)) == "(self, addr: 'str' = '192.168.1.42', **kw)"


def test_help_shows_parameters():
    text = __import__("pydoc").render_doc(Plinth, renderer=__import__("pydoc").plaintext)
    # pydoc quotes string annotations before 3.14 and prints them bare from 3.14 on
    text = text.replace("'", "")
    assert "setValue(self, name: str, value: Any, **kw)" in text
    assert "update(self, name: str, value: Any, channel: int | str = 1)" in text


PLINTH, SSH, TERMINAL = "tarn.driver.common.plinth", "tarn.terminal.ssh", "tarn.terminal.terminal"
# Every annotated function of the three modules, with its annotations evaluated.
HINTS = {
    (PLINTH, "Plinth.__init__"): {"addr": str},
    (PLINTH, "Plinth.write"): {"name": str, "value": typing.Any},
    (PLINTH, "Plinth.read"): {"name": str},
    (PLINTH, "Plinth.check"): {"name": str, "channel": int | str},
    (PLINTH, "Plinth.update"): {"name": str, "value": typing.Any, "channel": int | str},
    (PLINTH, "Plinth.setValue"): {"name": str, "value": typing.Any},
    (PLINTH, "Plinth.getValue"): {"name": str},
    (PLINTH, "compress"): {"value": typing.Any},
    (SSH, "SSHClient.__init__"): {"username": str, "password": str, "host": str, "port": int},
    (SSH, "SSHClient.run"): {"command": str},
    (SSH, "SSHClient.upload"): {"local_path": str, "remote_path": str},
    (SSH, "SSHClient.download"): {"remote_path": str, "local_path": str},
    (TERMINAL, "terminal"): {"command": str | None, "cwd": str | None},
}


def native_functions(module):
    """Every function of the native type in a module's namespace and its classes' namespaces
    (cached properties included), by qualified name."""
    found = {}
    for value in vars(module).values():
        for item in [value, *vars(value).values()] if isinstance(value, type) else [value]:
            item = getattr(item, "func", item)  # functools.cached_property
            if repr(type(item)) == "<class 'tarn.function'>":  # each module has its own copy of the type
                found[item.__qualname__] = item
    return found


@pytest.mark.parametrize("module_name", [PLINTH, SSH, TERMINAL])
def test_annotated_functions_are_all_in_the_hints_table(module_name):
    module = pytest.importorskip(module_name)
    annotated = {name for name, f in native_functions(module).items() if f.__annotations__}
    assert annotated == {name for m, name in HINTS if m == module_name}


@pytest.mark.parametrize("module_name, qualname", list(HINTS), ids=[q for _, q in HINTS])
def test_type_hints_resolve_in_the_defining_module(module_name, qualname):
    module = pytest.importorskip(module_name)
    f = native_functions(module)[qualname]
    assert f.__globals__ is vars(module)
    with pytest.raises(AttributeError):
        f.__globals__ = {}
    expected = HINTS[module_name, qualname]
    assert typing.get_type_hints(f) == expected
    assert inspect.get_annotations(f, eval_str=True) == expected


@pytest.mark.parametrize("attribute, value", [
    ("__module__", ["a module name that is a list"]),
    ("__doc__", ["a list"]),
    ("__annotations__", {"x": ["a list"]}),
    ("__name__", StrSub("update")),
    ("__qualname__", StrSub("Plinth.update")),
    ("__dict__", {"attr": ["a list"]}),  # f.attr = ... closes a cycle through it
])
def test_the_collector_sees_every_writable_field(monkeypatch, attribute, value):
    f = Plinth.update
    monkeypatch.setattr(f, attribute, value)
    referents = gc.get_referents(f)
    assert any(r is value for r in referents)
    assert any(r is vars(plinth) for r in referents)  # __globals__
    assert any(r is f.__defaults__ for r in referents)


@pytest.mark.parametrize("obj", [terminal, plinth.compress, Plinth.setValue])
def test_pickled_by_reference(obj):
    assert pickle.loads(pickle.dumps(obj)) is obj


# Event and callback libraries hold functions and methods weakly, as they may with Python's own.
@pytest.mark.parametrize("obj", [terminal, plinth.compress, Plinth.setValue])
def test_weak_references(obj):
    ref = weakref.ref(obj)
    assert ref() is obj and ref in weakref.getweakrefs(obj)


def test_weak_method_lives_as_long_as_its_instance():
    drv = Driver()
    method = weakref.WeakMethod(drv.setValue)
    assert method() == drv.setValue and method().__func__ is Plinth.setValue
    del drv
    gc.collect()
    assert method() is None


# Setters and getters of __name__ and __qualname__ racing in threads with the GIL off: each set
# replaces an object that the getters may be reading. str subclass instances are freed as soon
# as they are replaced, so an unguarded read would use freed memory.
RACING_NAMES = """
import sys, threading
from tarn.driver.common.plinth import Plinth
assert not sys._is_gil_enabled()
f = Plinth.update
class Name(str):
    pass
errors = []
threading.excepthook = lambda args: errors.append(repr(args.exc_value))
barrier = threading.Barrier(4)
def setter(tag):
    barrier.wait()
    for i in range(200000):
        f.__name__ = Name(f"{tag}{i}")
        f.__qualname__ = Name(f"Plinth.{tag}{i}")
def reader():
    barrier.wait()
    for _ in range(200000):
        name, qualname, text = f.__name__, f.__qualname__, repr(f)
        assert qualname.startswith("Plinth.") and text.startswith("<function Plinth."), (qualname, text)
        assert name.isalnum(), name
threads = [threading.Thread(target=setter, args=(t,)) for t in "ab"] + [threading.Thread(target=reader) for _ in range(2)]
for t in threads:
    t.start()
for t in threads:
    t.join(120)
print(errors or "ok")
"""


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="needs a free-threaded build")
def test_names_set_and_read_concurrently_without_the_gil():
    env = dict(os.environ, PYTHON_GIL="0")
    result = subprocess.run([sys.executable, "-c", RACING_NAMES], env=env, capture_output=True, text=True,
                            timeout=300)
    assert (result.returncode, result.stdout) == (0, "ok\n"), result.stderr[-3000:]
