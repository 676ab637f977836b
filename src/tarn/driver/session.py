"""The session of a message-based driver with its instrument: one exchange at a time, the error
queue read after each, and back in step after any exchange that failed.

An exchange is a command or a query followed by the reading of the instrument's error queue. It
runs under the session's re-entrant lock, so threads sharing one driver never read each other's
answers. An exchange that does not end cleanly (a timeout, Ctrl-C between a query and its
answer, a lost connection, an error-queue answer that is not an error entry) leaves the session
out of step: answers may still be on their way. The next exchange first discards them (a device
clear, then the identity query asked again and every line before its answer dropped, then the
error queue read empty), so no late answer is ever paired with a later question. A connection
that failed, or a session that cannot be brought back in step, is opened anew by the driver.
"""

import logging
import re
import threading
from collections.abc import Callable
from contextvars import ContextVar
from typing import Any, Literal, Protocol

import numpy as np
from numpy.typing import NDArray

__all__ = ["BlockType", "InstrumentError", "InstrumentTimeout", "Resource", "Session"]

# The type of a binary block's values, as a struct code (PyVISA's): b/B 8-bit, h/H 16-bit,
# i/I and l/L 32-bit, q/Q 64-bit integers (upper case unsigned), f float32, d float64.
BlockType = Literal["b", "B", "h", "H", "i", "I", "l", "L", "q", "Q", "f", "d"]


class InstrumentError(RuntimeError):
    """A command the instrument refused, with the entries its error queue gave; or an exchange
    that went wrong on the wire."""

    def __init__(self, message: str, command: str = "", entries: tuple[str, ...] = ()) -> None:
        super().__init__(message)
        self.command = command
        self.entries = entries


class InstrumentTimeout(InstrumentError, TimeoutError):
    """The instrument did not answer (or take a line) in time; chained from the VISA error."""


class Resource(Protocol):
    """What the driver needs of a PyVISA message-based resource (or a stand-in for one).
    A `clear()` (device clear) is used when the resource has one."""

    def write(self, message: str, /) -> object: ...
    def query(self, message: str, /) -> str: ...
    def read(self) -> str: ...
    def close(self) -> None: ...
    def write_binary_values(self, message: str, values: Any, /, *, datatype: BlockType,
                            is_big_endian: bool) -> object: ...
    def query_binary_values(self, message: str, /, *, datatype: BlockType, is_big_endian: bool,
                            container: Callable[..., Any]) -> Any: ...


# The quantity and channel that the current write or read works on ("Power on channel 2"), so
# that the commands a set_<name> method sends report errors under that name.
WHERE: ContextVar[str] = ContextVar("tarn_visa_where", default="")

# An SCPI error-queue entry: an integer code, a comma, a text ('-222,"Data out of range"').
_ENTRY = re.compile(r"\s*([+-]?\d+)\s*,")
# The answer of an IEEE 488.2 common query (*ESR?): a bare integer, nonzero when errors occurred.
_CODE = re.compile(r"\s*([+-]?\d+)\s*$")
# VISA's status code for a timeout (VI_ERROR_TMO, 0xBFFF0015 as a signed 32-bit integer).
_VI_ERROR_TMO = -1073807339
# Lines read at most while looking for the identity after an exchange went out of step.
_STALE_LINES = 64


def timed_out(exc: BaseException) -> bool:
    """Whether `exc` is a timeout: Python's own, or a VISA error carrying VI_ERROR_TMO."""
    return isinstance(exc, TimeoutError) or getattr(exc, "error_code", None) == _VI_ERROR_TMO


def connection_failed(exc: BaseException) -> bool:
    """Whether `exc` says the connection itself is gone (an OS error, or a VISA error other
    than a timeout), so that only opening it anew can help."""
    if timed_out(exc):
        return False
    return isinstance(exc, OSError) or isinstance(getattr(exc, "error_code", None), int)


def shown(line: str) -> str:
    """A line as messages quote it: cut after 56 characters."""
    return repr(line if len(line) <= 60 else line[:56] + " ...")


def shown_block(values: NDArray[Any]) -> str:
    """A binary block as the log and messages show it: its length, type, first and last values
    (never every value)."""
    if len(values) == 0:
        return f"#<block: 0 x {values.dtype.name}>"
    return f"#<block: {len(values)} x {values.dtype.name}, {values[0]!s} .. {values[-1]!s}>"


def _at() -> str:
    where = WHERE.get()
    return f"{where}: " if where else ""


class Session:
    """The open resource of one driver, with its lock and its step state.

    `in_step` is False from the start of every exchange until it ended cleanly; `failed` is
    True once the connection itself failed. The driver's `ready` callback, called at the start of
    each exchange, brings the session back (`resync` or a new connection)."""

    def __init__(self, log: logging.Logger, error_query: str | None,
                 max_errors: int) -> None:
        self.lock = threading.RLock()
        self.resource: Resource | None = None
        self.in_step = True
        self.failed = False
        self.log = log
        self.error_query = error_query
        self.max_errors = max_errors

    # --- lines ---------------------------------------------------------------------------

    def _failure(self, exc: BaseException, line: str, verb: str) -> BaseException:
        """Marks the session after `exc` interrupted the sending or answering of `line`, and
        returns the error to raise: a timeout as InstrumentTimeout, an undecodable answer as a
        ValueError naming the quantity, anything else as it is."""
        self.in_step = False
        if connection_failed(exc):
            self.failed = True
        if timed_out(exc):
            return InstrumentTimeout(f"{_at()}the instrument did not {verb} {shown(line)} in time "
                                     f"({exc})", line)
        if isinstance(exc, UnicodeDecodeError):
            return ValueError(f"{_at()}the answer to {shown(line)} is not text: byte "
                              f"{exc.object[exc.start:exc.start + 1]!r} at {exc.start}")
        return exc

    def _resource(self) -> Resource:
        if self.resource is None:
            raise RuntimeError("the instrument is not open: use `with` or call open() first")
        return self.resource

    def _guarded[T](self, line: str, verb: str, call: Callable[..., T], *args: Any) -> T:
        """`call(*args)` (the wire part of `line`); what it raises marks the session
        (_failure)."""
        try:
            return call(*args)
        except BaseException as exc:
            error = self._failure(exc, line, verb)
            if error is exc:
                raise
            raise error from exc

    def write(self, line: str) -> None:
        """Sends one line."""
        resource = self._resource()
        self.log.debug("-> %s", line)
        self._guarded(line, "take", resource.write, line)

    def ask(self, line: str) -> str:
        """Sends one query and returns its answer, stripped."""
        resource = self._resource()
        debug = self.log.isEnabledFor(logging.DEBUG)
        if debug:
            self.log.debug("-> %s", line)
        answer = self._guarded(line, "answer", resource.query, line).strip()
        if debug:
            self.log.debug("<- %s", answer)
        return answer

    def write_block(self, line: str, values: NDArray[Any], datatype: BlockType,
                    big_endian: bool) -> None:
        """Sends `line`, a space and `values` as an IEEE 488.2 definite-length block."""
        resource = self._resource()
        self.log.debug("-> %s %s", line, shown_block(values))
        self._guarded(line, "take", lambda: resource.write_binary_values(
            f"{line} ", values, datatype=datatype, is_big_endian=big_endian))

    def ask_block(self, line: str, datatype: BlockType, big_endian: bool) -> NDArray[Any]:
        """Sends one query and returns the values of the block that answers it, in the
        machine's byte order."""
        resource = self._resource()
        self.log.debug("-> %s", line)
        reply = self._guarded(line, "answer", lambda: resource.query_binary_values(
            line, datatype=datatype, is_big_endian=big_endian, container=np.array))
        values: NDArray[Any] = np.asarray(reply)
        if not values.dtype.isnative:
            values = values.astype(values.dtype.newbyteorder("="))
        self.log.debug("<- %s", shown_block(values))
        return values

    # --- exchanges -----------------------------------------------------------------------

    def exchange(self, line: str, query: bool, ready: Callable[[], None]) -> str | None:
        """One command (`query` False) or query with the error-queue read after it, under the
        lock; returns the answer of a query. Raises InstrumentError naming the queue's entries
        when the instrument reports errors."""
        if query:
            return self.exchange_with(line, self.ask, ready, line)
        return self.exchange_with(line, self.write, ready, line)

    def exchange_with[T](self, line: str, operation: Callable[..., T],
                         ready: Callable[[], None], *args: Any) -> T:
        """One exchange whose wire part is `operation(*args)` (sending `line`, with or without
        a block, and reading its answer), then the error queue read, as `exchange` describes;
        returns what `operation` returned. `ready` brings the session back first if needed."""
        with self.lock:
            if self.failed or not self.in_step:
                ready()
            self.in_step = False  # until the exchange has ended cleanly
            answer = operation(*args)
            entries, stray = self.errors()
            self.in_step = stray is None
        if stray is not None:
            raise InstrumentError(f"{_at()}out of step after {shown(line)}: {self.error_query} "
                                  f"was answered {stray!r}", line, (stray,))
        if entries:
            raise InstrumentError(f"{_at()}the instrument refused {shown(line)}: "
                                  f"{'; '.join(entries)}", line, tuple(entries))
        return answer

    def errors(self) -> tuple[list[str], str | None]:
        """Reads the error queue until it reports no error (code 0), at most max_errors
        entries: "<code>,<text>" entries, or bare codes for a common query such as ``*ESR?``
        (reading the register clears it). Returns the entries read and the answer that was not
        an error entry, if one came (the session is then out of step)."""
        found: list[str] = []
        if self.error_query is None:
            return found, None
        # A common query answers a bare code; SYST:ERR? and its kind answer "<code>,<text>", and
        # a bare number there is a stray answer, not an entry.
        shape = _CODE if self.error_query.startswith("*") else _ENTRY
        for _ in range(self.max_errors):
            entry = self.ask(self.error_query)
            code = shape.match(entry)
            if code is None:
                self.in_step = False
                return found, entry
            if int(code.group(1)) == 0:
                return found, None
            found.append(entry)
        found.append(f"(the queue was still not empty after {self.max_errors} entries)")
        return found, None

    def resync(self, marker: str | None, expected: str | None) -> None:
        """Discards what an exchange that went wrong left pending: a device clear where the
        resource has one, then the query `marker` (the identity query) asked and every line
        before its `expected` answer dropped, then the error queue read empty. Without a marker
        only the clear is possible."""
        resource = self._resource()
        log = self.log
        log.debug("bringing the session back in step")
        # A device clear empties the instrument's output queue (VXI-11, USB, GPIB). On a raw
        # socket there is no such message: pyvisa-py's clear only drains its input, and after the
        # peer has closed it never returns, so the marker alone does the work there.
        socket = str(getattr(resource, "resource_name", "")).upper().endswith("::SOCKET")
        clear = None if socket else getattr(resource, "clear", None)
        if clear is not None:
            try:
                clear()
            except Exception as exc:  # a resource that has no device clear: the marker suffices
                if connection_failed(exc) and not _unsupported(exc):
                    self.failed = True
                    raise
                log.debug("device clear not available: %s", exc)
        if marker is not None and expected is not None:
            answer = self.ask(marker)
            for _ in range(_STALE_LINES):
                if answer == expected:
                    break
                log.debug("<- %s (a stale answer, dropped)", answer)
                answer = self._read()
            else:
                raise InstrumentError(f"{_at()}the session could not be brought back in step: "
                                      f"{_STALE_LINES} lines came before the answer to {marker!r}")
        entries, stray = self.errors()
        if stray is not None:
            raise InstrumentError(f"{_at()}the session could not be brought back in step: "
                                  f"{self.error_query} was answered {stray!r}", "", (stray,))
        if entries:
            log.warning("errors left by an exchange that did not end, dropped: %s",
                        "; ".join(entries))
        self.in_step = True

    def _read(self) -> str:
        resource = self._resource()
        answer = self._guarded("(a pending answer)", "send", resource.read).strip()
        self.log.debug("<- %s", answer)
        return answer


def _unsupported(exc: BaseException) -> bool:
    """A VISA error saying the operation is not supported by this kind of resource."""
    return getattr(exc, "abbreviation", "") in ("VI_ERROR_NSUP_OPER", "VI_ERROR_NIMPL_OPER") or \
        isinstance(exc, NotImplementedError)
