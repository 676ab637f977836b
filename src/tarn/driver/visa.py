"""VisaDriver: a driver whose quantities are message-based (SCPI) commands over PyVISA.

A driver is its class attributes: ``CHs``, ``quants`` whose records carry command templates
(``set_cmd="SOUR{ch}:FREQ {value}"``, ``get_cmd="SOUR{ch}:FREQ?"``), and optionally the queries
and terminations below. ``write`` validates the value through its quantity, sends the command,
reads the instrument's error queue and returns the value as set, so ``config`` records it;
``read`` queries and parses. A quantity without a template is handled by a method of the
subclass, ``set_<name>(value, ch)`` / ``get_<name>(ch)`` (name in lower case), which talks
through ``send`` and ``query``.

Every line sent and received is logged at DEBUG level to the logger ``tarn.driver.<ClassName>``.
pyvisa is needed only to open a real (or simulated) instrument: importing this module works
without it, and ``open`` names the extra to install when it is missing.
"""

import difflib
import logging
import os
from collections.abc import Generator
from contextlib import contextmanager
from contextvars import ContextVar
from typing import Any, ClassVar, Protocol

from tarn.driver.common.plinth import Plinth
from tarn.driver.common.quantity import Channel, Quantity

__all__ = ["InstrumentError", "Resource", "VisaDriver"]


class InstrumentError(RuntimeError):
    """A command the instrument refused, with the entries its error queue gave."""

    def __init__(self, message: str, command: str = "", entries: tuple[str, ...] = ()) -> None:
        super().__init__(message)
        self.command = command
        self.entries = entries


class Resource(Protocol):
    """What the driver needs of a PyVISA message-based resource (or a stand-in for one)."""

    def write(self, message: str, /) -> object: ...
    def query(self, message: str, /) -> str: ...
    def close(self) -> None: ...


# The quantity and channel that the current write or read works on ("Power on channel 2"), so
# that the commands a set_<name> method sends report errors under that name.
_WHERE: ContextVar[str] = ContextVar("tarn_visa_where", default="")


@contextmanager
def _at(where: str) -> Generator[None]:
    """Names `where` (a quantity on a channel) in the log lines of the exchange inside."""
    token = _WHERE.set(where)
    try:
        yield
    finally:
        _WHERE.reset(token)


class VisaDriver(Plinth):
    """The base of message-based drivers; see the module documentation."""

    error_query: ClassVar[str | None] = "SYST:ERR?"  # read until "0,..." after each command
    idn_query: ClassVar[str | None] = "*IDN?"  # asked by open, the answer kept as `identity`
    clear_command: ClassVar[str | None] = "*CLS"  # sent by open: start from an empty error queue
    read_termination: ClassVar[str] = "\n"
    write_termination: ClassVar[str] = "\n"
    # Error entries read after one command at most: an instrument whose queue never empties
    # must not hold the caller forever.
    max_errors: ClassVar[int] = 32
    # The pyvisa-sim description that backend="@sim" opens (None: pyvisa-sim's own default).
    simulation: ClassVar[str | os.PathLike[str] | None] = None
    # Class-level defaults, so that the finaliser's close finds them even when construction
    # failed before __init__ set them.
    resource: Resource | None = None  # the open resource, None while closed
    identity: str | None = None  # the answer to idn_query, read by open

    def __init__(self, addr: str = "192.168.1.42", *, backend: str = "", **kw: Any) -> None:
        """backend: the PyVISA library ("" the system's, "@py" pyvisa-py, "@sim" pyvisa-sim
        with `simulation`, or "<file>.yaml@sim"). Other keywords (timeout in seconds, model,
        ...) go to Plinth."""
        super().__init__(addr, **kw)
        self.backend = backend
        self.resource = None
        self.identity = None

    @property
    def log(self) -> logging.Logger:
        return logging.getLogger(f"tarn.driver.{type(self).__name__}")

    # --- the session ---------------------------------------------------------------------------

    def open(self, **kw: Any) -> None:
        if self.resource is not None:
            return
        name = self.addr if "::" in self.addr else f"TCPIP0::{self.addr}::inst0::INSTR"
        self.resource = self.open_resource(name)
        try:
            if self.clear_command is not None:
                self._write(self.clear_command)
            if self.idn_query is not None:
                self.identity = self._ask(self.idn_query)
        except BaseException:
            self.close()  # an instrument that does not answer leaves no session open
            raise

    def open_resource(self, name: str) -> Resource:
        """The PyVISA resource called `name`, from the library `backend` chooses."""
        try:
            import pyvisa
        except ImportError as exc:
            raise ImportError(f"{type(self).__name__} talks to instruments through pyvisa, which "
                              "is not installed: pip install 'tarn[visa]'") from exc
        library = self.backend
        if library == "@sim" and self.simulation is not None:
            library = f"{self.simulation}@sim"
        # PyVISA shares one manager per library in the process, and closing it closes every
        # resource opened through it: the driver closes only its own resource.
        resource = pyvisa.ResourceManager(library).open_resource(
            name, read_termination=self.read_termination, write_termination=self.write_termination,
            timeout=round(float(self.timeout) * 1000))  # PyVISA counts milliseconds
        if not isinstance(resource, pyvisa.resources.MessageBasedResource):
            resource.close()
            raise TypeError(f"{name} is not a message-based instrument")
        return resource

    def close(self, **kw: Any) -> None:
        # Called by __exit__ and again by the finaliser: the resource is closed once.
        resource, self.resource = self.resource, None
        if resource is not None:
            resource.close()

    # --- the four operations Plinth asks for ---------------------------------------------------

    def write(self, name: str, value: Any, **kw: Any) -> Any:
        quantity = self.quantities[name]
        ch = self._channel(quantity, kw.get("ch", 1))
        value = quantity.validate(value, ch)
        method = self._method(quantity, "set", name, "value, ch")
        with _at(quantity.where(ch)):
            if method is not None:
                method(value, ch)
            else:
                self.send(quantity.set_command(value, ch))
        return value

    def read(self, name: str, **kw: Any) -> Any:
        quantity = self.quantities[name]
        ch = self._channel(quantity, kw.get("ch", 1))
        method = self._method(quantity, "get", name, "ch")
        with _at(quantity.where(ch)):
            if method is not None:
                return method(ch)
            return quantity.parse(self.query(quantity.get_command(ch)), ch)

    def _method(self, quantity: Quantity, verb: str, name: str, parameters: str) -> Any:
        """The driver's method `<verb>_<name>` (lower case), or None when the quantity's
        `<verb>_cmd` template stands in for it; NotImplementedError when neither exists."""
        method = getattr(self, f"{verb}_{name.lower()}", None)
        if method is None and getattr(quantity, f"{verb}_cmd") is None:
            raise NotImplementedError(f"{type(self).__name__}: {name} has no {verb}_cmd template "
                                      f"and no method {verb}_{name.lower()}({parameters})")
        return method

    def check(self, name: str, channel: Channel) -> None:
        """Plinth's check, its message followed by what is declared and the closest match."""
        try:
            super().check(name, channel)
        except AssertionError as exc:
            if name not in self.quantities:
                declared, given = [str(n) for n in self.quantities], name
            else:
                declared, given = [str(c) for c in [*self.CHs, "global"]], str(channel)
            hint = f" (declared: {', '.join(declared)}"
            closest = difflib.get_close_matches(given, declared, n=1)
            hint += f"; did you mean {closest[0]}?)" if closest else ")"
            raise AssertionError(f"{exc}{hint}") from None

    # --- the wire --------------------------------------------------------------------------

    def send(self, command: str) -> None:
        """Sends one command, then raises InstrumentError if the instrument reports errors."""
        self._write(command)
        self._check_errors(command)

    def query(self, command: str) -> str:
        """Sends one query and returns its answer (stripped); errors are checked as by send."""
        answer = self._ask(command)
        self._check_errors(command)
        return answer

    def errors(self) -> list[str]:
        """Reads the error queue until it reports no error, at most max_errors entries; returns
        the entries read."""
        if self.error_query is None:
            return []
        found: list[str] = []
        for _ in range(self.max_errors):
            entry = self._ask(self.error_query)
            try:
                code = int(entry.split(",", 1)[0])
            except ValueError:  # not an SCPI error entry: report it as it came
                found.append(entry)
                return found
            if code == 0:
                return found
            found.append(entry)
        found.append(f"(the queue was still not empty after {self.max_errors} entries)")
        return found

    def _check_errors(self, command: str) -> None:
        entries = self.errors()
        if entries:
            shown = command if len(command) <= 60 else command[:56] + " ..."
            where = _WHERE.get()
            raise InstrumentError(f"{where + ': ' if where else ''}the instrument refused "
                                  f"{shown!r}: {'; '.join(entries)}", command, tuple(entries))

    def _resource(self) -> Resource:
        if self.resource is None:
            raise RuntimeError("the instrument is not open: use `with` or call open() first")
        return self.resource

    def _write(self, line: str) -> None:
        resource = self._resource()
        self.log.debug("-> %s", line)
        resource.write(line)

    def _ask(self, line: str) -> str:
        resource = self._resource()
        self.log.debug("-> %s", line)
        answer = resource.query(line).strip()
        self.log.debug("<- %s", answer)
        return answer

    def _channel(self, quantity: Quantity, ch: Channel) -> Channel:
        """The channel a command addresses: "global" for an instrument-wide quantity, else one
        of CHs ("global" names none of them)."""
        if quantity.is_global:
            return "global"
        if ch == "global" or ch not in self.CHs:
            raise ValueError(f"{quantity.name} is set per channel {self.CHs}, not on channel {ch!r}")
        return ch
