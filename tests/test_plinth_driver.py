"""Plinth as a class: load-time namespace, metadata, construction, description, context manager,
finaliser and the base bodies of the device operations."""

import abc
import gc
import inspect
import pydoc
import re
import sys
import types

import pytest

import tarn.driver.common.plinth as plinth
from helpers import StrSub
from tarn.driver.common.plinth import Plinth
from tarn.driver.common.quantity import Quantity, newcfg

HERE = __file__
BASE = "🔖Driver(addr=192.168.1.42, model=None, srate=-1, host=127.0.0.1, port=0)"


class Minimal(Plinth):
    def open(self, **kw): pass
    def close(self, **kw): pass
    def write(self, name, value, **kw): pass
    def read(self, name, **kw): pass


# --- module and class metadata -----------------------------------------------------------------

def test_module_namespace_order():
    names = [n for n in vars(plinth) if not n.startswith("__")]
    assert names == ["re", "sys", "ABC", "abstractmethod", "deepcopy", "Any", "np", "Quantity",
                     "newcfg", "PATTERN", "compress", "decompress", "Plinth"]
    import copy, numpy, typing
    assert (plinth.re, plinth.sys, plinth.np) == (re, sys, numpy)
    assert (plinth.ABC, plinth.abstractmethod) == (abc.ABC, abc.abstractmethod)
    assert (plinth.deepcopy, plinth.Any) == (copy.deepcopy, typing.Any)
    assert (plinth.Quantity, plinth.newcfg) == (Quantity, newcfg)


def test_pattern_text():
    assert plinth.PATTERN == "^192\\.168\\.({seg})\\.((2(5[0-5]|[0-4]\\d))|[0-1]?\\d{{1,2}})"
    assert len(plinth.PATTERN) == 57


def test_class_metadata():
    assert (Plinth.__name__, Plinth.__qualname__, Plinth.__module__) == (
        "Plinth", "Plinth", "tarn.driver.common.plinth")
    assert Plinth.__bases__ == (abc.ABC,) and type(Plinth) is abc.ABCMeta
    assert Plinth.__doc__ == ("Base class for all drivers and methods open/close/read/write are "
                              "required.\n\n    See template **VirtualDevice**\n    ")
    assert Plinth.__annotations__ == {"segment": "tuple", "CHs": "list[int | str]",
                                      "quants": "list[Quantity]"}
    assert Plinth.segment == ("na", "103|104")
    assert Plinth.CHs == [1] and Plinth.quants == []
    assert Plinth.__abstractmethods__ == {"open", "close", "read", "write"}
    assert Plinth.open.__isabstractmethod__ is True
    assert not hasattr(Plinth.cancel, "__isabstractmethod__")


def test_class_namespace_order():
    order = [n for n in vars(Plinth) if n not in ("__dict__", "__weakref__", "__abstractmethods__",
                                                   "_abc_impl")]
    assert order == ["__module__", "__doc__", "__annotations__", "segment", "CHs", "quants",
                     "__init__", "__repr__", "__del__", "__enter__", "__exit__", "info",
                     "dict_from_quantity", "open", "close", "write", "read", "cancel", "check",
                     "update", "setValue", "getValue"]


INIT_DOC = ("initialization of the driver\n\n        Args:\n            addr (str, optional): ip "
            "address of the device. Defaults to '192.168.1.42'.\n        ")
S, A, C = "str", "Any", "int | str"


@pytest.mark.parametrize("name, doc, defaults, annotations, signature", [
    ("__init__", INIT_DOC, ("192.168.1.42",), {"addr": S}, "(self, addr: 'str' = '192.168.1.42', **kw)"),
    ("__repr__", None, None, {}, "(self)"),
    ("__del__", None, None, {}, "(self)"),
    ("__enter__", None, None, {}, "(self)"),
    ("__exit__", None, None, {}, "(self, exception_type, exception_value, traceback)"),
    ("info", None, None, {}, "(self)"),
    ("dict_from_quantity", None, None, {}, "(self)"),
    ("open", "how device is opened\n        ", None, {}, "(self, **kw)"),
    ("close", "how device is closed\n        ", None, {}, "(self, **kw)"),
    ("write", "write a command(specified by name and value) to the device\n        ", None,
     {"name": S, "value": A}, "(self, name: 'str', value: 'Any', **kw)"),
    ("read", "read a value(specified by name) from the device\n        ", None, {"name": S},
     "(self, name: 'str', **kw)"),
    ("cancel", None, None, {}, "(self)"),
    ("check", None, None, {"name": S, "channel": C}, "(self, name: 'str', channel: 'int | str')"),
    ("update", None, (1,), {"name": S, "value": A, "channel": C},
     "(self, name: 'str', value: 'Any', channel: 'int | str' = 1)"),
    ("setValue", None, None, {"name": S, "value": A}, "(self, name: 'str', value: 'Any', **kw)"),
    ("getValue", None, None, {"name": S}, "(self, name: 'str', **kw)"),
])
def test_method_metadata(name, doc, defaults, annotations, signature):
    f = vars(Plinth)[name]
    assert (f.__name__, f.__qualname__, f.__module__) == (name, f"Plinth.{name}", plinth.__name__)
    assert f.__doc__ == doc
    assert f.__defaults__ == defaults
    assert f.__annotations__ == annotations
    assert str(inspect.signature(f)) == signature
    # Read through an instance it is a bound method, without self in the signature.
    bound = f.__get__(Minimal())
    assert isinstance(bound, types.MethodType) and bound.__func__ is f
    assert str(inspect.signature(bound)) == signature.replace("(self, ", "(").replace("(self)", "()")


def test_help_shows_the_method_parameters():
    # pydoc 3.13 quotes text annotations, 3.14 does not: compare without quotes.
    text = pydoc.render_doc(Plinth, renderer=pydoc.plaintext).replace("'", "")
    for line in ["setValue(self, name: str, value: Any, **kw)",
                 "update(self, name: str, value: Any, channel: int | str = 1)",
                 "__init__(self, addr: str = 192.168.1.42, **kw)",
                 "read(self, name: str, **kw)\n |      read a value(specified by name) from the device",
                 "See template **VirtualDevice**"]:
        assert line in text


# --- construction ------------------------------------------------------------------------------

def test_abstract_class_cannot_be_instantiated():
    with pytest.raises(TypeError):
        Plinth()

    class NoWrite(Plinth):
        def open(self, **kw): pass
        def close(self, **kw): pass
        def read(self, name, **kw): pass

    with pytest.raises(TypeError):
        NoWrite()


def test_construction_defaults():
    d = Minimal()
    assert vars(d) == {"addr": "192.168.1.42", "host": "127.0.0.1", "port": 0, "timeout": 3.0,
                       "model": "None", "srate": -1, "config": newcfg([], [1]), "quantities": {}}
    assert type(d.timeout) is float and d.model is not None


def test_keywords_are_stored_unchanged_and_others_ignored():
    port = object()
    d = Minimal("any text at all", host="10.0.0.2", port=port, timeout=None, model=5, srate="x",
                colour="red")
    assert (d.addr, d.host, d.port, d.timeout, d.model, d.srate) == (
        "any text at all", "10.0.0.2", port, None, 5, "x")
    assert not hasattr(d, "colour")
    assert Minimal(addr="a").addr == "a"


def test_attributes_are_assigned_in_order_through_setattr():
    order = []

    class Watching(Minimal):
        def __setattr__(self, name, value):
            order.append(name)
            super().__setattr__(name, value)

    Watching()
    assert order == ["addr", "host", "port", "timeout", "model", "srate", "config", "quantities"]


@pytest.mark.parametrize("addr, type_name", [(None, "NoneType"), (b"1.2.3.4", "bytes"),
                                             (StrSub("1.2.3.4"), "StrSub"), (42, "int")])
def test_addr_must_be_exactly_str(addr, type_name):
    order = []

    class Watching(Minimal):
        def __setattr__(self, name, value):
            order.append(name)

    with pytest.raises(TypeError) as info:
        Watching(addr)
    assert str(info.value) == f"Argument 'addr' has incorrect type (expected str, got {type_name})"
    assert order == []  # nothing assigned


@pytest.mark.parametrize("call, message", [
    (lambda: Minimal("a", "b"), "__init__() takes at most 2 positional arguments (3 given)"),
    (lambda: Minimal("a", addr="b"), "__init__() got multiple values for keyword argument 'addr'"),
    (lambda: Minimal().cancel(x=1), "cancel() got an unexpected keyword argument 'x'"),
    (lambda: Minimal().__exit__(None, None),
     "__exit__() takes exactly 4 positional arguments (3 given)"),
])
def test_argument_count_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_quantities_table_and_newcfg_call():
    first, second, other = Quantity("A", 1), Quantity("A", 2), Quantity("B", 3)

    class Q(Minimal):
        quants = [first, other, second]
        CHs = [1, "x"]

    d = Q()
    assert list(d.quantities) == ["A", "B"]
    assert d.quantities["A"] is second and d.quantities["B"] is other
    assert d.config == newcfg(Q.quants, Q.CHs)
    assert "quants" not in vars(d) and "CHs" not in vars(d)


def test_newcfg_is_looked_up_in_the_module_at_each_construction(monkeypatch):
    seen = []
    sentinel = object()

    def fake(*args):
        seen.append(args)
        return sentinel

    monkeypatch.setattr(plinth, "newcfg", fake)
    d = Minimal()
    assert d.config is sentinel
    assert len(seen) == 1 and seen[0][0] is Minimal.quants and seen[0][1] is Minimal.CHs


@pytest.mark.parametrize("quants, cfg_fails, error", [
    ([object()], False, AttributeError),   # a record without name
    ([Quantity("A")], True, ZeroDivisionError),
])
def test_failed_construction_keeps_earlier_attributes(monkeypatch, quants, cfg_fails, error):
    if cfg_fails:
        monkeypatch.setattr(plinth, "newcfg", lambda q, c: 1 / 0)
    else:
        monkeypatch.setattr(plinth, "newcfg", lambda q, c: "cfg")

    class Bad(Minimal):
        pass

    Bad.quants = quants
    d = Bad.__new__(Bad)
    with pytest.raises(error):
        d.__init__()
    assert d.addr == "192.168.1.42" and d.srate == -1
    assert hasattr(d, "config") is not cfg_fails and not hasattr(d, "quantities")


def test_subclass_with_its_own_init():
    class Own(Minimal):
        def __init__(self, serial, **kw):
            Plinth.__init__(self, "10.1.1.1", **kw)
            self.serial = serial

    d = Own("SN1", port=5025)
    assert (d.serial, d.addr, d.port, d.host) == ("SN1", "10.1.1.1", 5025, "127.0.0.1")


# --- description ---------------------------------------------------------------------------------

def test_info_names_the_defining_module_file():
    d = Minimal()
    assert d.info() == f"{BASE}<{HERE}>"
    assert repr(d) == str(d) == f"{d}" == d.info()
    assert len("🔖Driver(addr=, model=, srate=, host=, port=)") == 44


class Boom(BaseException):
    pass


def _module_with_spec(spec):
    module = types.ModuleType("tarn_test_fake_driver_module")
    module.__spec__ = spec
    return module


@pytest.mark.parametrize("module, suffix", [
    (None, ""),                                                    # module not in sys.modules
    (_module_with_spec(None), ""),                                 # run as a script
    (_module_with_spec(types.SimpleNamespace()), ""),              # a spec without origin
    (_module_with_spec(types.SimpleNamespace(origin=None)), "<None>"),
    (_module_with_spec(types.SimpleNamespace(origin="/x/drv.py")), "</x/drv.py>"),
])
def test_info_swallows_ordinary_errors_finding_the_file(monkeypatch, module, suffix):
    class Elsewhere(Minimal):
        __module__ = "tarn_test_fake_driver_module"

    if module is not None:
        monkeypatch.setitem(sys.modules, "tarn_test_fake_driver_module", module)
    assert Elsewhere().info() == BASE + suffix


def test_info_lets_non_exception_errors_through(monkeypatch):
    class Exploding(types.ModuleType):
        @property
        def __spec__(self):
            raise Boom("spec")

    class Elsewhere(Minimal):
        __module__ = "tarn_test_fake_driver_module"

    monkeypatch.setitem(sys.modules, "tarn_test_fake_driver_module", Exploding("m"))
    with pytest.raises(Boom):
        Elsewhere().info()


def test_info_without_plinth_init_raises_attribute_error():
    class NoInit(Minimal):
        def __init__(self):
            pass

    with pytest.raises(AttributeError):
        repr(NoInit())


def test_repr_uses_the_subclass_info():
    class Named(Minimal):
        def info(self):
            return "named driver"

    assert repr(Named()) == str(Named()) == "named driver"


# --- context manager and finaliser -------------------------------------------------------------

def test_with_block_opens_and_closes_once(make_driver):
    cls = make_driver()
    d = cls()
    with d as target:
        assert target is d
        assert cls.calls == [("open", (), {})]
    assert cls.calls == [("open", (), {}), ("close", (), {})]


def test_with_body_exception_propagates_after_close(make_driver):
    cls = make_driver()
    d = cls()
    with pytest.raises(KeyError):
        with d:
            raise KeyError("body")
    assert [c[0] for c in cls.calls] == ["open", "close"]


@pytest.mark.parametrize("failing", ["open", "close"])
def test_open_or_close_failure_propagates_from_with(failing):
    events = []

    class Failing(Minimal):
        def open(self, **kw):
            events.append("open")
            if failing == "open":
                raise OSError("no device")

        def close(self, **kw):
            events.append("close")
            if failing == "close":
                raise OSError("no device")

    d = Failing()
    with pytest.raises(OSError):
        with d:
            events.append("body")
    assert events == (["open"] if failing == "open" else ["open", "body", "close"])
    d.close = lambda: None  # keep the finaliser quiet


def test_exit_does_not_examine_its_arguments(make_driver):
    cls = make_driver()
    d = cls()
    assert d.__exit__(1, 2, 3) is None
    assert cls.calls == [("close", (), {})]


def test_finaliser_prints_a_failure_to_close(capsys):
    class Stubborn(Minimal):
        def close(self, **kw):
            raise RuntimeError("boom")

    d = Stubborn()
    d.__del__()
    del d
    gc.collect()
    assert capsys.readouterr().out == f"Failed to close {BASE}<{HERE}>: boom\n" * 2


def test_finaliser_calls_close_and_is_silent_on_success(make_driver, capsys):
    cls = make_driver()
    d = cls()
    del d
    gc.collect()
    assert cls.calls == [("close", (), {})]
    assert capsys.readouterr().out == ""


def test_finaliser_lets_non_exception_errors_escape(monkeypatch, capsys):
    reported = []
    monkeypatch.setattr(sys, "unraisablehook", reported.append)

    class Stubborn(Minimal):
        def close(self, **kw):
            raise Boom("halt")

    d = Stubborn()
    with pytest.raises(Boom):
        d.__del__()
    del d
    gc.collect()
    assert [type(r.exc_value) for r in reported] == [Boom]
    assert capsys.readouterr().out == ""


def test_finaliser_error_while_describing_escapes(monkeypatch, capsys):
    # A constructor that failed before addr was set: the description itself fails.
    reported = []
    monkeypatch.setattr(sys, "unraisablehook", reported.append)

    class Broken(Minimal):
        def __init__(self):
            raise ValueError("bad")

        def close(self, **kw):
            raise RuntimeError("boom")

    with pytest.raises(ValueError):
        Broken()
    gc.collect()
    assert [type(r.exc_value) for r in reported] == [AttributeError]
    # Raised inside the except block of the close error, as Python code would chain it.
    context = reported[0].exc_value.__context__
    assert type(context) is RuntimeError and str(context) == "boom"
    assert capsys.readouterr().out == ""


# --- base bodies ---------------------------------------------------------------------------------

def test_base_bodies_return_none_and_check_name():
    class ViaSuper(Plinth):
        open, close, write = Minimal.open, Minimal.close, Minimal.write

        def read(self, name, **kw):
            return super().read(name, **kw)

    d = ViaSuper()
    assert d.cancel() is None
    assert Plinth.open(d, anything=1) is None and Plinth.close(d, x=2) is None
    assert Plinth.write(d, "any", object(), ch=3) is None
    assert d.read("whatever", ch=1) is None
    with pytest.raises(TypeError) as info:
        d.read(5)
    assert str(info.value) == "Argument 'name' has incorrect type (expected str, got int)"
    assert vars(d) == vars(ViaSuper())  # nothing touched the instance
