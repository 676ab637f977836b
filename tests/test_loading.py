"""Module loading rules shared by the three native modules, and their type stubs."""

import os
import pathlib
import re
import subprocess
import sys
import textwrap

import pytest

from helpers import FREE_THREADED, run_python

MODULES = [
    ("tarn.driver.common.plinth", "plinth"),
    ("tarn.terminal.ssh", "ssh"),
    ("tarn.terminal.terminal", "terminal"),
]


def needs(module):
    """Skips when a module's dependency is missing on this interpreter: only paramiko on 3.13t,
    whose compiled dependencies publish no wheels there. From 3.14 on every test interpreter has
    it, so the SSH tests run rather than skip."""
    try:
        __import__(module)
    except ImportError as exc:
        if sys.version_info >= (3, 14):
            raise
        pytest.skip(f"{module} cannot be imported here: {exc}")


@pytest.fixture(params=MODULES, ids=[m[1] for m in MODULES])
def module(request):
    needs(request.param[0])
    return request.param


def test_reimport_returns_the_same_module_without_running_setup_again(module):
    full, _ = module
    result = run_python(textwrap.dedent(f"""
        import importlib, sys
        first = importlib.import_module({full!r})
        names = dict(vars(first))
        del sys.modules[{full!r}]
        second = importlib.import_module({full!r})
        assert second is first, "a second module object was created"
        # Setup did not run again: every bound object is the very same one.
        assert all(vars(second)[k] is v for k, v in names.items() if not k.startswith("__"))
        print("ok")
    """))
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


def test_executing_the_setup_on_another_module_object_raises(module):
    full, short = module
    result = run_python(textwrap.dedent(f"""
        import ctypes, importlib, types
        mod = importlib.import_module({full!r})
        api = ctypes.pythonapi
        api.PyModule_GetDef.restype = ctypes.c_void_p
        api.PyModule_GetDef.argtypes = [ctypes.py_object]
        api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
        definition = api.PyModule_GetDef(mod)
        other = types.ModuleType({full!r})
        try:
            api.PyModule_ExecDef(other, definition)
        except RuntimeError as exc:
            print(type(exc).__name__, exc)
        # The original module is still usable and executing it again is a no-op.
        api.PyModule_ExecDef(mod, definition)
        print("again ok")
    """))
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        f"RuntimeError Module '{short}' has already been imported. Re-initialisation is not supported.",
        "again ok",
    ]


def subinterpreter_api():
    try:
        import _interpreters
    except ImportError:
        pytest.skip("this interpreter cannot create subinterpreters from Python")
    return _interpreters


def test_second_interpreter_is_refused(module):
    full, _ = module
    subinterpreter_api()
    result = run_python(textwrap.dedent(f"""
        import importlib, _interpreters
        importlib.import_module({full!r})
        interp = _interpreters.create()
        code = '''
        try:
            import {full}
        except ImportError as exc:
            print("ImportError", exc)
        '''
        import textwrap
        err = _interpreters.exec(interp, textwrap.dedent(code))
        _interpreters.destroy(interp)
        print("exec error:", err)
    """))
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[0] == (
        "ImportError Interpreter change detected - this module can only be loaded into one "
        "interpreter per process."
    )


@pytest.mark.skipif(not FREE_THREADED, reason="needs a free-threaded interpreter")
@pytest.mark.parametrize("forced_off", [False, True], ids=["default", "PYTHON_GIL=0"])
def test_gil_is_enabled_by_the_import_unless_forced_off(module, forced_off):
    full, _ = module
    env = dict(os.environ)
    env.pop("PYTHON_GIL", None)
    if forced_off:
        env["PYTHON_GIL"] = "0"
    result = run_python(textwrap.dedent(f"""
        import sys, warnings, importlib
        before = sys._is_gil_enabled()
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            importlib.import_module({full!r})
        gil_warnings = [w for w in caught if "global interpreter lock" in str(w.message)]
        print(before, sys._is_gil_enabled(), len(gil_warnings))
    """), env=env)
    assert result.returncode == 0, result.stderr
    before, after, warned = result.stdout.split()
    assert before == "False"
    assert after == str(not forced_off)
    assert warned == ("0" if forced_off else "1")


@pytest.mark.parametrize("runtime", [(3, 99), (2, 14)])
def test_version_mismatch_warns(runtime):
    # Faking the running version is safe for the launcher module, whose imports do not check it.
    compiled = "{}.{}".format(*sys.version_info[:2])
    result = run_python(textwrap.dedent(f"""
        import sys, warnings
        real = sys.version_info
        import os, platform, shutil, subprocess  # the module's own imports, before the fake
        sys.version_info = {runtime!r} + tuple(real[2:])
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import tarn.terminal.terminal
        sys.version_info = real
        for w in caught:
            if "compile time" in str(w.message):
                print(w.category.__name__, w.message)
    """))
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        f"RuntimeWarning compile time Python version {compiled} of module "
        f"'tarn.terminal.terminal' does not match runtime version {runtime[0]}.{runtime[1]}"
    ]


def test_matching_version_does_not_warn():
    result = run_python(
        "import warnings; warnings.simplefilter('error', RuntimeWarning);"
        "warnings.filterwarnings('ignore', 'The global interpreter lock');"
        "import tarn.terminal.terminal; print('ok')"
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


def test_failed_import_leaves_nothing_behind_and_can_be_retried(tmp_path):
    # numpy hidden: the driver module's import fails, then succeeds once numpy is back.
    (tmp_path / "numpy.py").write_text("raise ImportError('numpy hidden for the test')\n")
    result = run_python(textwrap.dedent(f"""
        import sys
        sys.path.insert(0, {str(tmp_path)!r})
        try:
            import tarn.driver.common.plinth
        except ImportError as exc:
            print("first:", exc)
        assert "tarn.driver.common.plinth" not in sys.modules
        sys.path.pop(0)
        sys.modules.pop("numpy", None)
        import tarn.driver.common.plinth as p
        print("second:", p.__name__, "np" in vars(p))
    """))
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "first: numpy hidden for the test",
        "second: tarn.driver.common.plinth True",
    ]


@pytest.fixture(scope="module")
def stubtest_errors(tmp_path_factory):
    """mypy's stubtest run once over every module importable here, against the installed .pyi
    stubs: the "error: <object> ..." lines of its report, by the object they name."""
    try:
        import mypy.stubtest  # noqa: F401
    except ImportError as exc:
        pytest.skip(f"mypy is not installed in this environment: {exc}")
    importable = []
    for full, _ in MODULES:
        try:
            __import__(full)
            importable.append(full)
        except ImportError:
            pass
    # Run from a scratch folder: mypy writes its cache into the working directory.
    done = subprocess.run([sys.executable, "-m", "mypy.stubtest", *importable], capture_output=True,
                          text=True, timeout=600, cwd=tmp_path_factory.mktemp("stubtest"))
    report = done.stdout + done.stderr
    errors = [line for line in report.splitlines() if line.startswith("error: ")]
    assert (done.returncode == 0) == (not errors), report
    # Anything that names none of the modules (a stub mypy cannot compile, say) fails them all.
    unowned = [e for e in errors if not any(e.split()[1] == m or e.split()[1].startswith(m + ".")
                                            for m in importable)]
    assert not unowned, report
    if not errors:
        assert f"Success: no issues found in {len(importable)} module" in report, report
    return errors, report


@pytest.mark.slow
def test_stub_matches_the_module(module, stubtest_errors):
    full, _ = module
    errors, report = stubtest_errors
    mine = [e for e in errors if e.split()[1] == full or e.split()[1].startswith(full + ".")]
    assert not mine, report


# --- the wheel --------------------------------------------------------------------------------

WHEEL_USE = textwrap.dedent("""
    import inspect, os, sys
    import numpy as np
    import tarn.driver.common.plinth as plinth, tarn.terminal.ssh as ssh
    import tarn.terminal.terminal as term
    from tarn.driver.virtual import VirtualDevice
    # Every module comes from the fresh environment, none from the source tree.
    print(all(m.__file__.startswith(sys.prefix + os.sep) for m in (plinth, ssh, term)))
    with VirtualDevice("10.0.0.1") as dev:
        dev.setValue("Power", -3.5, ch=2)
        print(dev.getValue("Power", ch=2), dev.getValue("Power"))
    # The VISA base ships in the wheel and imports without pyvisa, which opening then asks for.
    from tarn.driver.visa import VisaDriver
    from tarn.driver.testing import expect_exchange
    try:
        VisaDriver().open()
    except ImportError as exc:
        print(exc)
    values, lengths = plinth.compress(np.array([0, 0, 1, 1, 1, 0], dtype=np.int8))
    print(values.tolist(), lengths.tolist(), plinth.decompress(values, lengths).tolist())
    client = ssh.SSHClient("operator", "secret", "192.0.2.1")
    print(type(client).__module__, inspect.signature(term.terminal))
""")


@pytest.mark.slow
def test_the_wheel_works_in_a_fresh_environment_outside_the_repository(tmp_path):
    """Builds the wheel (or takes TARN_WHEEL, as `make wheels` passes its repaired one), installs
    it with its dependencies into a new virtual environment and uses each module from there."""
    needs("paramiko")  # a dependency of the wheel; absent where it has no wheels (3.13t)
    if os.environ.get("TARN_SANITIZED"):
        pytest.skip("the wheel is checked by the run without sanitizers")
    import shutil
    import subprocess

    repo = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    cache = os.environ.get("TARN_CACHE") or os.path.expanduser("~/.cache/tarn")
    uv = shutil.which("uv") or os.path.join(cache, "tools", "bin", "uv")
    if not os.access(uv, os.X_OK):
        pytest.skip("uv is not installed (scripts/bootstrap.sh installs it)")
    env = dict(os.environ, UV_CACHE_DIR=os.environ.get("UV_CACHE_DIR") or os.path.join(cache, "uv"))
    env.pop("PYTHONPATH", None)

    def run(*command, timeout, cwd=tmp_path):
        result = subprocess.run(command, cwd=cwd, env=env, capture_output=True, text=True,
                                timeout=timeout)
        assert result.returncode == 0, f"{command[:3]} failed:\n{result.stdout}\n{result.stderr}"
        return result.stdout

    wheel = os.environ.get("TARN_WHEEL")
    if not wheel:
        # The build backend itself, with a build folder of its own (incremental after the first).
        build = ("import sys; from scikit_build_core.build import build_wheel;"
                 "print(build_wheel(sys.argv[1], {'build-dir': 'build/wheel-test-{wheel_tag}'}))")
        built = run(sys.executable, "-c", build, str(tmp_path), timeout=900, cwd=repo)
        wheel = str(tmp_path / built.split()[-1])
    run(uv, "venv", "-q", "--python", sys._base_executable, str(tmp_path / "env"), timeout=120)
    python = str(tmp_path / "env" / "bin" / "python")
    # Dependencies from uv's cache, which the bootstrap filled; nothing is downloaded.
    run(uv, "pip", "install", "-q", "--offline", "--python", python, wheel, timeout=300)
    assert run(python, "-c", WHEEL_USE, timeout=120).splitlines() == [
        "True",
        "-3.5 -10.0",
        "VisaDriver talks to instruments through pyvisa, which is not installed: "
        "pip install 'tarn[visa]'",
        "[0, 1, 0] [2, 3, 1] [0, 0, 1, 1, 1, 0]",
        "tarn.terminal.ssh (command: 'str | None' = None, cwd: 'str | None' = None)",
    ]


# Calls that are unsafe in the native sources: lookups that return borrowed references (another
# thread may drop the object meanwhile on the free-threaded build), private CPython functions,
# and deprecated globals.
SOURCES = pathlib.Path(__file__).resolve().parents[1] / "src" / "native"
BANNED = [
    (re.compile(r"\bPyDict_GetItem(String)?\("), "returns a borrowed reference"),
    (re.compile(r"\bPyList_GET_ITEM\b|\bPyList_GetItem\("), "a borrowed item of a list others may change"),
    (re.compile(r"\bPyWeakref_GetObject\("), "returns a borrowed reference"),
    (re.compile(r"\b_Py[A-Za-z]"), "private CPython API"),
    (re.compile(r"\bPy_OptimizeFlag\b"), "deprecated global"),
]


@pytest.mark.parametrize("path", sorted(p for p in SOURCES.rglob("*") if p.is_file()),
                         ids=lambda p: str(p.relative_to(SOURCES)))
def test_native_sources_avoid_unsafe_calls(path):
    hits = [f"{n}: {why}: {line.strip()}"
            for n, line in enumerate(path.read_text().splitlines(), 1)
            for rx, why in BANNED if rx.search(line)]
    assert hits == []
