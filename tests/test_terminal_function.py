"""terminal(): module namespace, metadata, argument checking, name resolution and references."""

import builtins
import gc
import inspect
import os
import pathlib
import platform
import shutil
import subprocess
import sys
import textwrap
import threading
import types
import weakref

import pytest

from helpers import StrSub, run_python
from tarn.terminal import terminal as mod
from tarn.terminal.terminal import terminal

ORIGINAL_RUNTIME_ERROR = RuntimeError
DOC = "\n".join([
    "Open a new terminal window",
    "",
    "    Args:",
    "        command (str | None, optional): Optional shell command to run inside the terminal. Defaults to None.",
    "        cwd (str | None, optional): Optional working directory to start the terminal in. Defaults to None.",
    "",
    "    Supports:",
    "        - Windows Terminal",
    "        - VSCode integrated environment",
    "        - PowerShell / CMD fallback",
    "        - macOS Terminal",
    "        - Linux terminals (GNOME, Konsole, XFCE, Xterm)",
    "",
    "    Raises:",
    "        RuntimeError: Neither PowerShell nor CMD found on system",
    "        RuntimeError: Linux: no supported terminal emulator found",
    "        RuntimeError: Unsupported platform",
    "    ",
])
SUBCLASS_NOTE = ("Note that subclasses of built-in types are rejected: pass a value whose type is "
                 "exactly the expected one.")


def test_namespace_and_metadata():
    names = [k for k in vars(mod) if not (k.startswith("__") and k.endswith("__"))]
    assert names == ["os", "platform", "shutil", "subprocess", "terminal"]
    assert (mod.os, mod.platform, mod.shutil, mod.subprocess) == (os, platform, shutil, subprocess)
    assert mod.__doc__ is None
    assert (terminal.__name__, terminal.__qualname__, terminal.__module__) == (
        "terminal", "terminal", "tarn.terminal.terminal")
    assert terminal.__defaults__ == (None, None)
    assert terminal.__annotations__ == {"command": "str | None", "cwd": "str | None"}
    assert terminal.__doc__ == DOC
    assert str(inspect.signature(terminal)) == "(command: 'str | None' = None, cwd: 'str | None' = None)"


@pytest.mark.parametrize("args, kwargs, message, notes", [
    ((b"ls",), {}, "Argument 'command' has incorrect type (expected str, got bytes)", None),
    ((None, 3), {}, "Argument 'cwd' has incorrect type (expected str, got int)", None),
    ((), {"cwd": pathlib.PurePosixPath("/tmp")},
     "Argument 'cwd' has incorrect type (expected str, got PurePosixPath)", None),
    ((["ls"],), {"cwd": "/tmp"}, "Argument 'command' has incorrect type (expected str, got list)", None),
    ((StrSub("ls"),), {}, "Argument 'command' has incorrect type (expected str, got StrSub)", [SUBCLASS_NOTE]),
    (("ls",), {"cwd": StrSub("/")}, "Argument 'cwd' has incorrect type (expected str, got StrSub)", [SUBCLASS_NOTE]),
    (("a", "b", "c"), {}, "terminal() takes at most 2 positional arguments (3 given)", None),
    ((b"a", 1, 2, 3), {}, "terminal() takes at most 2 positional arguments (4 given)", None),
    ((), {"shell": "bash"}, "terminal() got an unexpected keyword argument 'shell'", None),
    (("ls",), {"command": "pwd"}, "terminal() got multiple values for keyword argument 'command'", None),
])
def test_argument_errors_come_before_any_work(fake_host, args, kwargs, message, notes):
    with pytest.raises(TypeError) as info:
        terminal(*args, **kwargs)
    assert str(info.value) == message
    assert getattr(info.value, "__notes__", None) == notes
    assert fake_host.events == []


@pytest.mark.parametrize("name, system, found", [
    ("platform", "Linux", {}),
    ("os", "Windows", {}),
    ("shutil", "Linux", {}),
    ("shutil", "Windows", {}),
    ("subprocess", "Linux", {"xterm": "/usr/bin/xterm"}),
    ("subprocess", "Darwin", {}),
])
def test_a_missing_module_name_raises_name_error_at_its_first_use(fake_host, monkeypatch, name, system, found):
    fake_host.system, fake_host.found = system, found
    monkeypatch.delattr(mod, name)  # restored by monkeypatch
    with pytest.raises(NameError) as info:
        terminal("ls")
    assert str(info.value) == f"name '{name}' is not defined"
    assert fake_host.launches == []


def test_module_names_fall_back_to_the_builtins(fake_host, monkeypatch):
    launched = []
    monkeypatch.delattr(mod, "subprocess")
    monkeypatch.setattr(builtins, "subprocess",
                        types.SimpleNamespace(Popen=lambda *a, **k: launched.append((a, k))), raising=False)
    fake_host.found = {"konsole": "/usr/bin/konsole"}
    terminal("top", "/")
    assert launched == [((["konsole", "-e", "bash", "-c", "top; exec bash"],), {"cwd": "/"})]


def test_print_and_runtime_error_replaced_in_builtins_have_no_effect(fake_host, monkeypatch, capsys):
    printed = []
    monkeypatch.setattr(builtins, "print", lambda *a, **k: printed.append(a))
    monkeypatch.setattr(builtins, "RuntimeError", type("OtherError", (Exception,), {}))
    monkeypatch.setenv("TERM_PROGRAM", "vscode")
    fake_host.system, fake_host.found = "Windows", {"code": "code.cmd"}
    terminal()
    fake_host.found = {}
    with pytest.raises(ORIGINAL_RUNTIME_ERROR) as info:
        terminal()
    assert type(info.value) is ORIGINAL_RUNTIME_ERROR
    assert printed == []
    assert capsys.readouterr().out.startswith("\u2699\ufe0f Currently running inside VSCode")


def test_print_and_runtime_error_are_the_ones_present_at_load():
    result = run_python(textwrap.dedent("""
        import builtins, io, platform, sys
        class LoadTimeError(Exception): pass
        lines = []
        saved = builtins.print, builtins.RuntimeError
        builtins.print, builtins.RuntimeError = (lambda *a: lines.append(a)), LoadTimeError
        from tarn.terminal.terminal import terminal
        builtins.print, builtins.RuntimeError = saved
        platform.system = lambda: "Plan9"
        try:
            terminal()
        except LoadTimeError as exc:
            print("raised", exc)
    """))
    assert result.returncode == 0, result.stderr
    assert result.stdout == "raised Unsupported platform: Plan9\n"


def test_the_launched_process_object_is_dropped(fake_host, monkeypatch):
    class Child:
        pass
    children = []
    monkeypatch.setattr(subprocess, "Popen", lambda *a, **k: children.append(weakref.ref(c := Child())) or c)
    fake_host.found = {"xterm": "/usr/bin/xterm"}
    terminal("ls")
    gc.collect()
    assert len(children) == 1 and children[0]() is None


@pytest.mark.parametrize("system, found, env, fails", [
    ("Linux", {"xterm": None}, {}, False),
    ("Linux", {}, {}, True),
    ("Darwin", {}, {}, False),
    ("Windows", {"wt": None}, {}, False),
    ("Windows", {"code": None}, {"TERM_PROGRAM": "VSCode"}, False),
    ("Windows", {"powershell.exe": None}, {}, False),
    ("Windows", {"cmd.exe": None}, {}, False),
    ("Windows", {}, {}, True),
    ("Haiku", {}, {}, True),
])
def test_no_references_are_leaked(fake_host, monkeypatch, capsys, system, found, env, fails):
    for key, value in env.items():
        monkeypatch.setenv(key, value)
    # Built at run time so that they are ordinary, counted objects.
    command, cwd = "".join(["echo", " hi"]), "".join(["/t", "mp"])
    fake_host.system = system
    fake_host.found = {name: "".join(["C:/bin/", name]) for name in found}
    watched = [command, cwd, fake_host.flags, *fake_host.found.values()]
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(50):
        try:
            terminal(command, cwd)
        except RuntimeError:
            assert fails
    fake_host.events.clear()
    assert [sys.getrefcount(o) for o in watched] == before


def test_calls_from_many_threads_are_independent(fake_host):
    fake_host.found = {"xterm": "/usr/bin/xterm"}
    count = 8
    barrier = threading.Barrier(count, timeout=30)

    def call(i):
        barrier.wait()
        for j in range(20):
            terminal(f"job {i}.{j}", f"/run/{i}")

    threads = [threading.Thread(target=call, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    assert not any(t.is_alive() for t in threads)
    expected = [((["xterm", "-e", "bash", "-c", f"job {i}.{j}; exec bash"],), {"cwd": f"/run/{i}"})
                for i in range(count) for j in range(20)]
    assert sorted(fake_host.launches, key=repr) == sorted(expected, key=repr)
