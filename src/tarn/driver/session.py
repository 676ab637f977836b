"""The conversation of a message-based driver with one instrument: opening, exchanges with their
error-queue read, recovery after an exchange that did not end, and closing.

A `Session` is the only code that touches the resource. It holds one explicit state (`State`),
and every change of it goes through `Session._enter`, which refuses a change `TRANSITIONS` does
not list:

    closed       --open-->                in step
    in step      --exchange starts-->     out of step  (until it has ended cleanly)
    out of step  --exchange ended-->      in step
    out of step  --recovered-->           in step      (clear, drain, marker, queue read empty)
    in step / out of step --connection lost, or no recovery--> failed
    failed       --opened anew-->         in step
    any          --close-->               closed

An exchange is a command or a query followed by the reading of the instrument's error queue,
under the session's re-entrant lock, so threads sharing one driver never read each other's
answers. Before each exchange, input nobody asked for (an answer that came twice or late) is
looked for where the transport shows it without a round trip; the session then recovers first.
"""

import contextlib
import enum
import logging
import math
import re
import select
import socket
import threading
import time
from collections.abc import Callable, Generator
from contextvars import ContextVar
from typing import Any, Literal, Protocol

import numpy as np
from numpy.typing import NDArray

from tarn.driver.common.quantity import shown

__all__ = ["BlockType", "InstrumentAnswerError", "InstrumentConnectionError", "InstrumentError",
           "InstrumentTimeout", "Resource", "Session", "State", "seconds"]

# The type of a binary block's values, as a struct code (PyVISA's): b/B 8-bit, h/H 16-bit,
# i/I and l/L 32-bit (l/L as IEEE 488.2 instruments mean them, not C's long), q/Q 64-bit
# integers (upper case unsigned), f float32, d float64.
BlockType = Literal["b", "B", "h", "H", "i", "I", "l", "L", "q", "Q", "f", "d"]
# The same types with their sizes stated: what goes to PyVISA and numpy.
BLOCK_DTYPES: dict[str, str] = {"b": "i1", "B": "u1", "h": "i2", "H": "u2", "i": "i4", "I": "u4",
                                "l": "i4", "L": "u4", "q": "i8", "Q": "u8", "f": "f4", "d": "f8"}
# ... and back, as the struct codes PyVISA is given (whose sizes match the names above).
_STRUCT: dict[str, BlockType] = {"i1": "b", "u1": "B", "i2": "h", "u2": "H", "i4": "i", "u4": "I",
                                 "i8": "q", "u8": "Q", "f4": "f", "f8": "d"}


class InstrumentError(RuntimeError):
    """A command the instrument refused, with the entries its error queue gave; or an exchange
    that went wrong on the wire. `refused` is True when the instrument answered with error
    entries (it did not take the command), False when the outcome is not known."""

    def __init__(self, message: str, command: str = "", entries: tuple[str, ...] = (), *,
                 refused: bool = False) -> None:
        super().__init__(message)
        self.command = command
        self.entries = entries
        self.refused = refused


class InstrumentTimeout(InstrumentError, TimeoutError):
    """The instrument did not answer (or take a line) in time; chained from the VISA error."""


class InstrumentConnectionError(InstrumentError, ConnectionError):
    """The connection to the instrument failed (reset, closed, refused); chained from the raw
    error. The next exchange opens it anew."""


class InstrumentAnswerError(InstrumentError, ValueError):
    """An answer that cannot be read: not text, or a malformed or indefinite block."""


class State(enum.Enum):
    """The state of a session; see the module documentation for its transitions."""

    CLOSED = "closed"
    IN_STEP = "in step"
    OUT_OF_STEP = "out of step"
    FAILED = "failed"

    __hash__ = object.__hash__  # by identity, in C: the state changes twice per exchange


TRANSITIONS: dict[State, frozenset[State]] = {
    State.CLOSED: frozenset({State.IN_STEP, State.CLOSED}),
    State.IN_STEP: frozenset({State.OUT_OF_STEP, State.FAILED, State.CLOSED}),
    State.OUT_OF_STEP: frozenset({State.IN_STEP, State.FAILED, State.CLOSED, State.OUT_OF_STEP}),
    State.FAILED: frozenset({State.IN_STEP, State.FAILED, State.CLOSED}),
}


class Resource(Protocol):
    """What the session needs of a PyVISA message-based resource (or a stand-in for one).
    A `clear()` (device clear) and a `timeout` (milliseconds) are used when the resource has
    them."""

    def write(self, message: str, /) -> object: ...
    def query(self, message: str, /) -> str: ...
    def read(self) -> str: ...
    def read_raw(self) -> bytes: ...
    def close(self) -> None: ...
    def write_binary_values(self, message: str, values: Any, /, *, datatype: BlockType,
                            is_big_endian: bool) -> object: ...
    def query_binary_values(self, message: str, /, *, datatype: BlockType, is_big_endian: bool,
                            container: Callable[..., Any], data_points: int) -> Any: ...


# The quantity and channel that the current write or read works on ("Power on channel 2"), so
# that the commands a set_<name> method sends report errors under that name.
WHERE: ContextVar[str] = ContextVar("tarn_visa_where", default="")

# An SCPI error-queue entry: an integer code, a comma, a text ('-222,"Data out of range"').
_ENTRY = re.compile(r"\s*([+-]?\d+)\s*,")
# The answer of an IEEE 488.2 common query (*ESR?): a bare integer.
_CODE = re.compile(r"\s*([+-]?\d+)\s*$")
# What splits a compound answer: quoted strings (skipped whole) and the ";" between units.
_TOKENS = re.compile(r""""[^"]*"|'[^']*'|;""")
# The bits of the standard event status register that report errors, and their names.
_ESR_ERRORS = {4: "query error", 8: "device-dependent error", 16: "execution error",
               32: "command error"}
_ESR_MASK = sum(_ESR_ERRORS)
# VISA's status code for a timeout (VI_ERROR_TMO, 0xBFFF0015 as a signed 32-bit integer).
_VI_ERROR_TMO = -1073807339
# Stale lines dropped at most while looking for the marker's answer during a recovery.
STALE_LINES = 64
# Characters no line may hold: they would end it or cut it short on the wire.
_LINE_BREAKS = "\r\n\0"


def timed_out(exc: BaseException) -> bool:
    """Whether `exc` is a timeout: Python's own, or a VISA error carrying VI_ERROR_TMO."""
    return isinstance(exc, TimeoutError) or getattr(exc, "error_code", None) == _VI_ERROR_TMO


def connection_failed(exc: BaseException) -> bool:
    """Whether `exc` says the connection itself is gone (an OS error, or a VISA error other
    than a timeout), so that only opening it anew can help."""
    if timed_out(exc):
        return False
    return isinstance(exc, OSError) or isinstance(getattr(exc, "error_code", None), int)


def shown_block(values: NDArray[Any]) -> str:
    """A binary block as the log and messages show it: its length, type, first and last values
    (never every value)."""
    if len(values) == 0:
        return f"#<block: 0 x {values.dtype.name}>"
    return f"#<block: {len(values)} x {values.dtype.name}, {values[0]!s} .. {values[-1]!s}>"


def common_query(query: str | None) -> bool:
    """An IEEE 488.2 common query (*ESR?): it answers a bare code."""
    return query is not None and query.startswith("*")


def compound_suffix(error_query: str) -> str:
    """What a line carries to ask the error query in the same program message: ";:SYST:ERR?",
    or ";*ESR?" for a common query, which takes no colon."""
    return f";{error_query}" if common_query(error_query) else f";:{error_query}"


def split_answer(answer: str) -> tuple[str | None, str]:
    """A compound answer split at its last ";" outside quoted strings: (the value, or None when
    the line holds only one unit, and the last unit, the error query's answer)."""
    cut = -1
    for token in _TOKENS.finditer(answer):
        if token.group() == ";":
            cut = token.start()
    if cut < 0:
        return None, answer
    return answer[:cut], answer[cut + 1:]


def _at() -> str:
    where = WHERE.get()
    return f"{where}: " if where else ""


def _pyvisa_socket(resource: Any) -> Any:
    """The socket of a pyvisa-py raw-socket (``::SOCKET``) session, or None for any other
    resource or backend."""
    if not str(getattr(resource, "resource_name", "")).upper().endswith("::SOCKET"):
        return None
    sessions: Any = getattr(getattr(resource, "visalib", None), "sessions", None)
    try:
        session: Any = sessions[getattr(resource, "session")]
    except (TypeError, KeyError, AttributeError):
        return None
    sock: Any = getattr(session, "interface", None)
    return sock if hasattr(sock, "setsockopt") and hasattr(sock, "fileno") else None


class Session:
    """The open resource of one driver, its state, its lock and its identity.

    `opener` opens the resource (the driver says how); `clear_command` and `marker` (the
    identity query) are the opening lines: the first is sent, the second asked, and its answer,
    which must be a non-empty line of text, is kept as `identity` and asked again to find the
    way back in step. `compound` sends a command or query and the error query as one line."""

    def __init__(self, name: str, opener: Callable[[], Resource], log: logging.Logger, *,
                 error_query: str | None, max_errors: int, clear_command: str | None,
                 marker: str | None, termination: str, timeout: float,
                 compound: bool = False) -> None:
        self.name = name
        self.opener = opener
        self.log = log
        self.lock = threading.RLock()
        self.error_query = error_query
        self.max_errors = max_errors
        self.clear_command = clear_command
        self.marker = marker
        self.compound = compound and error_query is not None
        self.identity: str | None = None
        self._resource: Resource | None = None
        self._state = State.CLOSED
        self._timeout = timeout
        self._unsafe = tuple(dict.fromkeys(_LINE_BREAKS + termination))
        self._socket: Any = None
        self._probe: Callable[[], bool] | None = None  # whether unasked input is waiting
        self._common = common_query(error_query)
        self._suffix = "" if error_query is None else compound_suffix(error_query)

    @property
    def state(self) -> State:
        return self._state

    @property
    def resource(self) -> Resource | None:
        """The open resource, None while closed. Assigned on an open session, a wrapper of it
        (a recorder, say) takes its place; the state stays as it is."""
        return self._resource

    @resource.setter
    def resource(self, resource: Resource) -> None:
        with self.lock:
            if self._resource is None:
                raise RuntimeError("the instrument is not open: use `with` or call open() first")
            self._resource = resource

    def _enter(self, state: State) -> None:
        """The one place the state changes."""
        if state not in TRANSITIONS[self._state]:
            raise AssertionError(f"session: no transition from {self._state.value} to "
                                 f"{state.value}")
        self._state = state

    # --- the timeout ------------------------------------------------------------------------

    @property
    def timeout(self) -> float:
        """Seconds an answer or a line may take; assigned on an open session, it applies at
        once."""
        return self._timeout

    @timeout.setter
    def timeout(self, value: float) -> None:
        checked = seconds("timeout", value)
        with self.lock:
            self._timeout = checked
            if self._resource is not None:
                self._apply_timeout(checked)

    def _apply_timeout(self, value: float) -> None:
        if hasattr(self._resource, "timeout"):
            setattr(self._resource, "timeout", round(value * 1000))  # PyVISA counts ms

    @contextlib.contextmanager
    def _within(self, timeout: float | None) -> Generator[None]:
        """`timeout` (seconds) for the exchange inside, then the session's again."""
        if timeout is None or self._resource is None:
            yield
            return
        self._apply_timeout(timeout)
        try:
            yield
        finally:
            self._apply_timeout(self._timeout)

    # --- open and close ---------------------------------------------------------------------

    def open(self) -> None:
        """Opens the resource, sends the clear command and asks the marker; does nothing when
        open, and opens anew a connection that failed."""
        with self.lock:
            if self._state in (State.IN_STEP, State.OUT_OF_STEP):
                return
            reopening = self._state is State.FAILED
            if reopening:
                self.log.warning("%s: the connection failed; opening it again", self.name)
                self._drop()
            try:
                try:
                    self._resource = self.opener()
                except Exception as exc:
                    if isinstance(exc, InstrumentError) or not connection_failed(exc):
                        raise
                    raise InstrumentConnectionError(
                        f"{self.name}: the instrument could not be reached: {exc!r}") from exc
                self._apply_timeout(self._timeout)
                self._socket = _pyvisa_socket(self._resource)
                self._probe = self._prober()
                if self._socket is not None:
                    # No Nagle stall: an error query must not wait for the instrument's
                    # delayed acknowledgement of the command before it.
                    self._socket.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                if self.clear_command is not None:
                    self._write(self.clear_command)
                if self.marker is not None:
                    identity = self._ask(self.marker)
                    if not identity or not identity.isprintable():
                        raise InstrumentAnswerError(
                            f"{self.name}: the instrument answered {self.marker} with "
                            f"{identity!r}, not a line of text naming it: is the address right?",
                            self.marker)
                    self.identity = identity
            except BaseException:
                self._drop()  # an instrument that does not answer leaves no session open
                self._enter(State.FAILED if reopening else State.CLOSED)
                raise
            self._enter(State.IN_STEP)

    def close(self) -> None:
        """Closes the resource; a second call does nothing."""
        with self.lock:
            self._drop()
            self._enter(State.CLOSED)

    def _drop(self) -> None:
        resource, self._resource, self._socket, self._probe = self._resource, None, None, None
        if resource is not None:
            try:
                resource.close()
            except Exception as exc:  # a connection already gone: closed either way
                self.log.debug("closing the resource: %s", exc)

    # --- lines ------------------------------------------------------------------------------

    def _checked(self, line: str) -> None:
        for char in self._unsafe:  # a few characters: faster than a pattern
            if char in line:
                raise ValueError(f"{_at()}the line {shown(line)} cannot be sent: it holds "
                                 f"{char!r}, which would end it or cut it short")

    def _failure(self, exc: BaseException, line: str, verb: str) -> BaseException:
        """Marks the session after `exc` interrupted the sending or answering of `line`, and
        returns the error to raise."""
        if connection_failed(exc):
            if self._state is not State.CLOSED:  # while opening, open itself decides
                self._enter(State.FAILED)
            return InstrumentConnectionError(
                f"{self.name}: {_at()}the connection failed while the instrument was to {verb} "
                f"{shown(line)}: {exc!r}", line)
        if self._state is State.IN_STEP:
            self._enter(State.OUT_OF_STEP)
        if timed_out(exc):
            return InstrumentTimeout(f"{_at()}the instrument did not {verb} {shown(line)} in time "
                                     f"({exc})", line)
        if isinstance(exc, UnicodeDecodeError):
            return InstrumentAnswerError(
                f"{_at()}the answer to {shown(line)} is not text: byte "
                f"{exc.object[exc.start:exc.start + 1]!r} at {exc.start}", line)
        return exc

    def _guarded[T](self, line: str, verb: str, call: Callable[..., T], *args: Any) -> T:
        try:
            return call(*args)
        except BaseException as exc:
            error = self._failure(exc, line, verb)
            if error is exc:
                raise
            raise error from exc

    def _write(self, line: str) -> None:
        resource = self._open_resource()
        self.log.debug("-> %s", line)
        self._guarded(line, "take", resource.write, line)

    def _ask(self, line: str, shown_as: str | None = None) -> str:
        resource = self._open_resource()
        debug = self.log.isEnabledFor(logging.DEBUG)
        if debug:
            self.log.debug("-> %s", line)
        answer = self._guarded(shown_as or line, "answer", resource.query, line).strip()
        if debug:
            self.log.debug("<- %s", answer)
        return answer

    def _open_resource(self) -> Resource:
        if self._resource is None:
            raise RuntimeError("the instrument is not open: use `with` or call open() first")
        return self._resource

    # --- exchanges --------------------------------------------------------------------------

    def command(self, line: str, timeout: float | None = None) -> None:
        """Sends one command, then reads the error queue; InstrumentError naming the entries
        when the instrument reports errors."""
        self._exchange(line, None, timeout)

    def query(self, line: str, timeout: float | None = None) -> str:
        """Sends one query and returns its answer (stripped); errors as `command`."""
        answer: str = self._exchange(line, "", timeout)
        return answer

    def send_block(self, line: str, values: NDArray[Any], datatype: str, big_endian: bool,
                   timeout: float | None = None) -> None:
        """Sends `line`, a space and `values` as an IEEE 488.2 definite-length block, then reads
        the error queue."""
        def operation(resource: Resource) -> None:
            self.log.debug("-> %s %s", line, shown_block(values))
            if self._socket is not None:
                def send() -> None:
                    self._send_bounded(line, values, datatype, big_endian)

                # a wrapper in the resource's place (a recorder) sees a block that goes straight
                # to the socket: it is handed the sending
                through = getattr(resource, "block_on_socket", None)
                if through is None:
                    send()
                else:
                    through(line, values, _STRUCT[datatype], big_endian, send)
            else:
                self._guarded(line, "take", lambda: resource.write_binary_values(
                    f"{line} ", values, datatype=_STRUCT[datatype], is_big_endian=big_endian))

        self._exchange(line, operation, timeout)

    def query_block(self, line: str, datatype: str, big_endian: bool,
                    timeout: float | None = None) -> NDArray[Any]:
        """Sends one query and returns the values of the definite-length block that answers
        it, in the machine's byte order; errors as `command`."""
        def operation(resource: Resource) -> NDArray[Any]:
            self.log.debug("-> %s", line)
            try:
                # data_points=-1: an indefinite block (#0) is refused, never read as empty
                reply = self._guarded(line, "answer", lambda: resource.query_binary_values(
                    line, datatype=_STRUCT[datatype], is_big_endian=big_endian,
                    container=np.array, data_points=-1))
            except ValueError as exc:  # a malformed header, an indefinite or short block
                if isinstance(exc, InstrumentError):
                    raise
                if self._state is not State.FAILED:
                    self._enter(State.OUT_OF_STEP)
                raise InstrumentAnswerError(f"{_at()}{self.name}: the answer to {shown(line)} is "
                                            f"not a definite-length block: {exc}", line) from exc
            values = _native(reply)
            self.log.debug("<- %s", shown_block(values))
            return values

        values: NDArray[Any] = self._exchange(line, operation, timeout)
        return values

    def _exchange[T](self, line: str, operation: Callable[[Resource], T] | str | None,
                     timeout: float | None) -> Any:
        """One exchange under the lock: the session brought back first if needed, the wire part
        (`operation`: None a command, "" a query, else a callable), then the error queue."""
        self._checked(line)
        if timeout is not None:
            seconds("timeout", timeout)
        with self.lock:
            if self._state is not State.IN_STEP or self._probe is not None:
                self.ready()
            self._enter(State.OUT_OF_STEP)  # until the exchange has ended cleanly
            if timeout is None:
                answer, entries, stray = self._wire(line, operation)
            else:
                with self._within(timeout):
                    answer, entries, stray = self._wire(line, operation)
            if stray is None:
                self._enter(State.IN_STEP)
        if stray is not None:
            raise InstrumentError(f"{_at()}out of step after {shown(line)}: {self.error_query} "
                                  f"was answered {stray!r}", line, (stray,))
        if entries:
            raise InstrumentError(f"{_at()}the instrument refused {shown(line)}: "
                                  f"{'; '.join(entries)}", line, tuple(entries), refused=True)
        return answer

    def _wire[T](self, line: str, operation: Callable[[Resource], T] | str | None
                 ) -> tuple[Any, list[str], str | None]:
        """The wire part of an exchange: (the answer, the error entries, the answer that was
        not an error entry, if one came)."""
        if callable(operation):
            answer: Any = operation(self._open_resource())
            return (answer, *self._errors())
        if not self.compound:
            if operation is None:
                self._write(line)
                return (None, *self._errors())
            return (self._ask(line), *self._errors())
        both = self._ask(line + self._suffix, line)
        value, last = split_answer(both)
        if operation is None and value is not None:  # a command has no answer
            return None, [], both
        entries, stray = self._errors(last)
        if operation is not None and value is None and not entries:
            stray = both  # a query whose answer is missing, yet no error
        return value, entries, stray

    def errors(self) -> list[str]:
        """Reads the error queue until it reports no error, at most max_errors entries; returns
        the entries read (an answer that is not an error entry among them)."""
        with self.lock:
            self.ready()
            self._enter(State.OUT_OF_STEP)
            entries, stray = self._errors()
            if stray is None:
                self._enter(State.IN_STEP)
        return entries if stray is None else [*entries, stray]

    def _errors(self, first: str | None = None) -> tuple[list[str], str | None]:
        """Reads the error queue (its first answer `first` when it came already) until it
        reports no error, at most max_errors entries: "<code>,<text>" entries, or the error bits
        of a common query such as ``*ESR?`` (reading the register clears it). Returns the
        entries and the answer that was not an error entry, if one came."""
        found: list[str] = []
        query = self.error_query
        if query is None:
            return found, None
        shape = _CODE if self._common else _ENTRY
        for _ in range(self.max_errors):
            entry = self._ask(query) if first is None else first.strip()
            first = None
            code = shape.match(entry)
            if code is None:
                return found, entry
            number = int(code.group(1))
            if self._common:
                bits = number & _ESR_MASK
                if not bits:
                    return found, None
                entry = f"{entry} ({', '.join(n for b, n in _ESR_ERRORS.items() if bits & b)})"
            elif number == 0:
                return found, None
            found.append(entry)
        found.append(f"(the queue was still not empty after {self.max_errors} entries)")
        return found, None

    # --- back in step -----------------------------------------------------------------------

    def ready(self) -> None:
        """Brings the session back before an exchange: input nobody asked for noticed, an
        exchange that did not end recovered from, a failed connection opened anew."""
        state = self._state
        if state is State.CLOSED:
            raise RuntimeError("the instrument is not open: use `with` or call open() first")
        if state is State.IN_STEP and self._probe is not None and self._probe():
            self.log.warning("%s: input nobody asked for is waiting (an answer that came twice "
                             "or late); bringing the session back in step", self.name)
            self._enter(State.OUT_OF_STEP)
        if self._state is State.OUT_OF_STEP:
            try:
                self._recover()
            except Exception as exc:
                self.log.warning("%s: the session could not be brought back in step: %s",
                                 self.name, exc)
                if self.state is not State.FAILED:
                    self._enter(State.FAILED)
        if self.state is State.FAILED:
            self.open()

    def _prober(self) -> Callable[[], bool] | None:
        """How to see input nobody asked for without a round trip, where the transport shows
        it: a raw socket (pyvisa-py), a serial line, the stand-in; None elsewhere."""
        resource, sock = self._resource, self._socket
        if sock is not None:
            visalib = getattr(resource, "visalib", None)
            session = getattr(visalib, "sessions", {}).get(getattr(resource, "session", None))

            def socket_waiting() -> bool:
                # pyvisa-py keeps what it read past the last answer in _pending_buffer
                try:
                    return bool(getattr(session, "_pending_buffer", None)) or \
                        bool(select.select([sock], [], [], 0)[0])
                except (OSError, ValueError):  # closed under us: let the recovery find out
                    return True
            return socket_waiting
        waiting = getattr(resource, "input_waiting", None)
        if callable(waiting):
            return lambda: bool(waiting())
        if str(getattr(resource, "resource_name", "")).upper().startswith("ASRL"):
            return lambda: bool(getattr(resource, "bytes_in_buffer", 0))
        return None

    def _recover(self) -> None:
        """Discards what an exchange that did not end left pending: a device clear where the
        resource has a real one, every byte up to the marker's answer (at most STALE_LINES
        stale lines before it), then the error queue read empty."""
        resource = self._open_resource()
        log = self.log
        log.debug("bringing the session back in step")
        # A device clear empties the instrument's output queue (VXI-11, USB, GPIB). On a raw
        # socket there is no such message: pyvisa-py's clear only drains its input, and after
        # the peer has closed it never returns, so the marker alone does the work there.
        on_socket = str(getattr(resource, "resource_name", "")).upper().endswith("::SOCKET")
        clear = None if on_socket else getattr(resource, "clear", None)
        if clear is not None:
            try:
                clear()
            except Exception as exc:  # a resource that has no device clear: the marker suffices
                if connection_failed(exc) and not _unsupported(exc):
                    raise self._failure(exc, "(device clear)", "take") from exc
                log.debug("device clear not available: %s", exc)
        if self.marker is not None and self.identity is not None:
            self._write(self.marker)
            expected = self.identity.encode()
            for _ in range(STALE_LINES + 1):
                raw = self._guarded(self.marker, "answer", resource.read_raw)
                if raw.strip() == expected:
                    break
                log.debug("<- %r (stale input, dropped)", raw[:60])
            else:
                raise InstrumentError(f"{_at()}the session could not be brought back in step: "
                                      f"{STALE_LINES} lines came before the answer to "
                                      f"{self.marker!r}")
        elif self._probe is not None:  # no marker: at least what is waiting now goes
            for _ in range(STALE_LINES):
                if not self._probe():
                    break
                raw = self._guarded("(stale input)", "send", resource.read_raw)
                log.debug("<- %r (stale input, dropped)", raw[:60])
        entries, stray = self._errors()
        if stray is not None:
            raise InstrumentError(f"{_at()}the session could not be brought back in step: "
                                  f"{self.error_query} was answered {stray!r}", "", (stray,))
        if entries:
            log.warning("errors left by an exchange that did not end, dropped: %s",
                        "; ".join(entries))
        self._enter(State.IN_STEP)

    # --- blocks on a raw socket -------------------------------------------------------------

    def _send_bounded(self, line: str, values: NDArray[Any], datatype: str,
                      big_endian: bool) -> None:
        """Sends a block command on a raw socket within the timeout: pyvisa-py would wait
        without a bound for an instrument that stopped reading."""
        data = np.asarray(values, dtype=np.dtype(datatype).newbyteorder(">" if big_endian else "<"))
        payload = data.tobytes()
        length = str(len(payload)).encode()
        termination = getattr(self._resource, "write_termination", "\n") or ""
        message = (f"{line} #".encode() + str(len(length)).encode() + length + payload
                   + termination.encode())
        deadline = time.monotonic() + self._current_timeout()
        view = memoryview(message)
        sock = self._socket
        blocking = sock.gettimeout()
        try:
            while view:
                left = deadline - time.monotonic()
                if left <= 0:
                    raise TimeoutError(f"VI_ERROR_TMO: {len(message) - len(view)} of "
                                       f"{len(message)} bytes taken")
                sock.settimeout(left)  # one send waits at most what is left, then takes a part
                view = view[sock.send(view):]
        except BaseException as exc:
            cut_short = len(view) not in (0, len(message))
            error = self._failure(exc, line, "take")
            if cut_short and self._state is not State.FAILED:
                # a block cut short leaves the instrument inside it: only a new connection helps
                self._enter(State.FAILED)
            if error is exc:
                raise
            raise error from exc
        finally:
            sock.settimeout(blocking)

    def _current_timeout(self) -> float:
        milliseconds = getattr(self._resource, "timeout", None)
        if isinstance(milliseconds, (int, float)) and math.isfinite(milliseconds):
            return milliseconds / 1000
        return self._timeout


def _native(values: Any) -> NDArray[Any]:
    """A block's values as numpy gives them, in the machine's byte order."""
    array: NDArray[Any] = np.asarray(values)
    return array if array.dtype.isnative else array.astype(array.dtype.newbyteorder("="))


def seconds(what: str, value: object) -> float:
    """`value` as a number of seconds: finite and >= 0, else ValueError."""
    if isinstance(value, bool) or not isinstance(value, (int, float)) or \
            not math.isfinite(value) or value < 0:
        raise ValueError(f"{what} must be a finite number >= 0, not {value!r}")
    return float(value)


def _unsupported(exc: BaseException) -> bool:
    """A VISA error saying the operation is not supported by this kind of resource."""
    return getattr(exc, "abbreviation", "") in ("VI_ERROR_NSUP_OPER", "VI_ERROR_NIMPL_OPER") or \
        isinstance(exc, NotImplementedError)

