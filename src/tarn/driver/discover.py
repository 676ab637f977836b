"""Finding instruments: every resource asked for its identity at once, each answer matched
against the drivers' `idn_pattern`::

    from tarn.driver.discover import discover
    for found in discover([PowerSupply, Multimeter], resources=["TCPIP0::10.0.0.7::5025::SOCKET"]):
        print(found.address, found.driver, found.identity or found.error)

Each resource is opened and asked ``*IDN?`` on a thread of its own, with `timeout` for the
opening and `timeout` for the answer, so a busy, silent or failing resource never holds the
others up; the call returns within ``2 * timeout + 1`` seconds once the resources are listed
(listing is bounded by `timeout` too). A probe still running then is reported as giving no
answer, and closes its resource when its own timeouts end.

``python -m tarn.driver.discover [--backend B] [--resource R ...] [--timeout S] [module ...]``
prints a table, matching against the drivers (VisaDriver classes with an `idn_pattern`) found in
the modules named (dotted names, or paths of .py files).
"""

import argparse
import importlib
import importlib.util
import math
import re
import sys
import threading
import time
import types
from collections.abc import Callable, Iterable, Sequence
from pathlib import Path
from typing import Any, NamedTuple, cast

from tarn.driver.session import timed_out
from tarn.driver.visa import VisaDriver

__all__ = ["Found", "discover", "drivers_in"]

# What the call waits beyond the timeouts of one probe (threads starting, closing).
_SLACK = 1.0


class Found(NamedTuple):
    """One resource: its `identity` (the ``*IDN?`` answer, None when there was none), the `driver`
    whose idn_pattern matched it (None when none did) and, for a resource that was busy, silent
    or failing, a short `error` saying so."""

    address: str
    identity: str | None
    driver: type[VisaDriver] | None
    error: str | None


def discover(drivers: Iterable[type[VisaDriver]], *, resources: Iterable[str] | None = None,
             backend: str = "", timeout: float = 1.0) -> list[Found]:
    """The resources of `backend` (or the `resources` given: a raw socket such as
    ``TCPIP0::host::5025::SOCKET`` is never listed) asked for their identity concurrently, one
    Found per resource in order. The first of `drivers` whose `idn_pattern` matches the answer
    (``re.search``) is its driver. Returns within ``2 * timeout + 1`` seconds after listing."""
    given = cast(object, timeout)  # callers without type checks pass anything
    if isinstance(given, bool) or not isinstance(given, (int, float)) or not 0 < timeout < math.inf:
        raise ValueError(f"timeout must be a positive number of seconds, not {timeout!r}")
    if isinstance(resources, str):
        raise TypeError("resources is a sequence of resource names, not one text")
    patterns = _patterns(drivers)
    try:
        import pyvisa
    except ImportError as exc:
        raise ImportError("discover talks to instruments through pyvisa, which is not installed: "
                          "pip install 'tarn[visa]'") from exc
    manager = pyvisa.ResourceManager(backend)
    if resources is None:
        listed = _bounded(lambda: tuple(manager.list_resources()), timeout)
        if listed is None:
            raise TimeoutError(f"the resources of {backend or 'the VISA library'} were not listed "
                               f"within {timeout:g} s")
        resources = listed
    addresses = list(dict.fromkeys(resources))  # each once, in order

    def probe(address: str) -> Callable[[], tuple[str | None, str | None]]:
        return lambda: _identity(manager, address, timeout)

    answers = _all_bounded([probe(address) for address in addresses], 2 * timeout + _SLACK)
    found: list[Found] = []
    for address, answer in zip(addresses, answers, strict=True):
        identity, error = answer or (None, f"no answer within {2 * timeout + _SLACK:g} s")
        driver = None
        if identity is not None:
            driver = next((cls for cls, pattern in patterns if pattern.search(identity)), None)
        found.append(Found(address, identity, driver, error))
    return found


def _patterns(drivers: Iterable[type[VisaDriver]]) -> list[tuple[type[VisaDriver], "re.Pattern[str]"]]:
    """The drivers that declare an idn_pattern, with it compiled; ValueError naming the driver
    for a pattern that is no regular expression."""
    if isinstance(drivers, type):
        raise TypeError("drivers is a sequence of driver classes, not one class: "
                        f"[{drivers.__name__}]")
    compiled: list[tuple[type[VisaDriver], re.Pattern[str]]] = []
    for cls in drivers:
        given = cast(object, cls)
        if not (isinstance(given, type) and issubclass(given, VisaDriver)):
            raise TypeError(f"discover matches VisaDriver classes, not {cls!r}")
        if cls.idn_pattern is not None:
            try:
                compiled.append((cls, re.compile(cls.idn_pattern)))
            except re.error as exc:
                raise ValueError(f"{cls.__name__}.idn_pattern {cls.idn_pattern!r} is not a regular "
                                 f"expression: {exc}") from None
    return compiled


def _identity(manager: Any, address: str, timeout: float) -> tuple[str | None, str | None]:
    """(the ``*IDN?`` answer, None), or (None, why there is none)."""
    import pyvisa

    milliseconds = max(1, round(timeout * 1000))
    try:
        resource = manager.open_resource(address, open_timeout=milliseconds, timeout=milliseconds,
                                         read_termination="\n", write_termination="\n")
    except Exception as exc:
        return None, _reason(exc, timeout)
    try:
        if not isinstance(resource, pyvisa.resources.MessageBasedResource):
            return None, "not a message-based instrument"
        return str(resource.query("*IDN?")).strip(), None
    except Exception as exc:
        return None, _reason(exc, timeout)
    finally:
        try:
            resource.close()
        except Exception:  # a connection already gone: nothing left to close
            pass


def _reason(exc: BaseException, timeout: float) -> str:
    """A short text for what kept a resource from answering."""
    if timed_out(exc):
        return f"no answer within {timeout:g} s"
    if isinstance(exc, UnicodeDecodeError):
        return "answered bytes that are not text"
    abbreviation = getattr(exc, "abbreviation", None)
    if isinstance(exc, OSError) and exc.strerror:  # "connection refused", "no route to host"
        text = exc.strerror[:1].lower() + exc.strerror[1:]
    elif isinstance(abbreviation, str):
        text = f"{abbreviation}: {getattr(exc, 'description', '')}"
    else:
        text = f"{type(exc).__name__}: {exc}"
    return text if len(text) <= 100 else text[:96] + " ..."


def _bounded[T](call: Callable[[], T], seconds: float) -> T | None:
    """`call()` on a thread of its own, or None when it has not returned within `seconds`."""
    return _all_bounded([call], seconds)[0]


def _all_bounded[T](calls: Sequence[Callable[[], T]], seconds: float) -> list[T | None]:
    """Each of `calls` on a daemon thread of its own, at once; the results of those that
    returned within `seconds` (an exception is re-raised), None for the others."""
    results: list[tuple[bool, Any] | None] = [None] * len(calls)
    finished = threading.Condition()

    def run(i: int) -> None:
        try:
            outcome: tuple[bool, Any] = (True, calls[i]())
        except BaseException as exc:  # handed to the caller, not lost on this thread
            outcome = (False, exc)
        with finished:
            results[i] = outcome
            finished.notify()

    for i in range(len(calls)):
        threading.Thread(target=run, args=(i,), name=f"tarn-discover-{i}", daemon=True).start()
    deadline = time.monotonic() + seconds
    with finished:
        finished.wait_for(lambda: all(r is not None for r in results),
                          max(0.0, deadline - time.monotonic()))
        taken = list(results)
    for outcome in taken:
        if outcome is not None and not outcome[0]:
            raise outcome[1]
    return [None if outcome is None else outcome[1] for outcome in taken]


def drivers_in(module: types.ModuleType) -> list[type[VisaDriver]]:
    """The VisaDriver classes with an idn_pattern that `module` holds, in the order defined."""
    return [value for value in vars(module).values() if isinstance(value, type)
            and issubclass(value, VisaDriver) and value.idn_pattern is not None]


def _load(name: str) -> types.ModuleType:
    """The module of a dotted name, or of a path to a .py file."""
    if not name.endswith(".py"):
        return importlib.import_module(name)
    path = Path(name)
    spec = importlib.util.spec_from_file_location(path.stem, path)
    if spec is None or spec.loader is None or not path.is_file():
        raise FileNotFoundError(f"no Python file {name}")
    module = importlib.util.module_from_spec(spec)
    sys.modules[path.stem] = module  # dataclasses and pickling look a class's module up
    spec.loader.exec_module(module)
    return module


def table(found: Sequence[Found]) -> str:
    """The rows as the command line prints them: address, driver, identity or (error)."""
    rows = [("ADDRESS", "DRIVER", "IDENTITY")]
    rows += [(f.address, f.driver.__name__ if f.driver else "-",
              f"({f.error})" if f.error is not None else f.identity or "") for f in found]
    widths = [max(len(row[i]) for row in rows) for i in range(2)]
    return "\n".join(f"{a:<{widths[0]}}  {d:<{widths[1]}}  {i}".rstrip() for a, d, i in rows)


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m tarn.driver.discover",
        description="Ask every instrument for its identity and name the driver that matches it.")
    parser.add_argument("modules", nargs="*", metavar="module",
                        help="a module (dotted name or .py file) whose drivers to match")
    parser.add_argument("--backend", default="", help='the VISA library: "", "@py", "@sim", ...')
    parser.add_argument("--resource", action="append", dest="resources", metavar="NAME",
                        help="a resource to ask (repeatable); default: those the backend lists")
    parser.add_argument("--timeout", type=float, default=1.0, help="seconds per resource")
    options = parser.parse_args(argv)
    try:
        drivers = [cls for name in options.modules for cls in drivers_in(_load(name))]
        found = discover(list(dict.fromkeys(drivers)), resources=options.resources,
                         backend=options.backend, timeout=options.timeout)
    except (ImportError, OSError, ValueError, TypeError) as exc:
        parser.exit(2, f"{parser.prog}: {exc}\n")
    print(table(found))
    return 0


class _CallableModule(types.ModuleType):
    """This module, callable as the function: ``tarn.driver.discover(drivers, ...)``."""

    def __call__(self, drivers: Iterable[type[VisaDriver]], **kw: Any) -> list[Found]:
        return discover(drivers, **kw)


if __name__ == "__main__":
    sys.exit(main())
else:
    sys.modules[__name__].__class__ = _CallableModule
