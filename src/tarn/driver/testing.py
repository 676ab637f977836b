"""Protocol tests of VisaDriver subclasses against a scripted stand-in instrument.

    def test_voltage_on_channel_2():
        with expect_exchange(PowerSupply, [("SOUR2:VOLT 5.0", None)]) as psu:
            psu.setValue("Voltage", 5, ch=2)

No pyvisa and no simulator are involved: the stand-in checks every line the driver sends
against the next one the exchange expects. Binary blocks are numpy arrays in the script:

        with expect_exchange(Generator, [(("SOUR1:DATA", np.zeros(4, np.float32)), None),
                                         ("TRAC:DATA?", np.arange(3.0, dtype=np.float32))]) as g:

`record(driver, path)` (from tarn.driver.recording) writes a session with a real instrument to a
file that `expect_exchange(DriverClass, path)` replays.
"""

import os
import sys
from collections.abc import Generator, Iterable, Mapping, Sequence
from contextlib import contextmanager
from types import EllipsisType
from typing import Any, Literal, TypeVar

import numpy as np
from numpy.typing import NDArray

from tarn.driver.recording import read_recording, record
from tarn.driver.session import common_query, compound_suffix, shown_block
from tarn.driver.visa import VisaDriver

__all__ = ["NO_ERROR", "NO_ERROR_CODE", "Line", "Reply", "StandIn", "expect_exchange", "record"]

NO_ERROR = '+0,"No error"'  # the stand-in's answer to an error query the exchange does not list
# ... and to a common query (*ESR?), which answers a bare code
NO_ERROR_CODE = "0"

# What the driver sends: a line, or (header, array) for a command followed by a binary block of
# the array's values (of its type and byte order).
Line = str | tuple[str, NDArray[Any]]
# What the instrument does with it: None for a command (no answer), a text for a query (its
# answer), an array for a query answered by a binary block, an exception for a query it never
# answers (raised, as a timeout would be, or as KeyboardInterrupt when Ctrl-C comes before the
# answer).
Reply = str | NDArray[Any] | BaseException | None

D = TypeVar("D", bound=VisaDriver)


class StandIn:
    """A stand-in for a PyVISA message-based resource that follows a script of (line, reply)
    pairs. The first `opening` pairs are what the driver's open sends; positions in messages
    count the others from 1. An `error_query` that the script does not expect at that point is
    answered NO_ERROR (NO_ERROR_CODE for a common query such as ``*ESR?``). The first mismatch
    raises AssertionError and is kept in `failure`.
    A driver with `compound_messages` sends a line and the error query as one line
    (`<line>;:<error query>`): unless `exact`, the stand-in splits it, checks each part against
    the script as if sent alone, and answers the parts' answers joined by ";", so one script
    serves both ways; with `exact` the script lists the lines as they go on the wire.
    `pending` holds what the instrument sent unasked (a late answer, say; text or bytes):
    `read` and `read_raw` return it in turn, `input_waiting` tells it is there, and `clear` (a
    device clear) drops it. A block sent must equal the script's array in length, type, byte
    order and every value bit for bit; a block query's array is answered as the driver reads it,
    of the type it asks for, else it fails."""

    def __init__(self, script: Sequence[tuple[Line, Reply]], *, error_query: str | None = None,
                 opening: int = 0, compound: bool = False, exact: bool = False,
                 late: Mapping[int, Sequence[str]] | None = None, where: Sequence[str] = ()) -> None:
        self.script = list(script)
        for line, reply in self.script:
            if isinstance(line, tuple) and reply is not None:
                raise TypeError(f"the block command {line[0]!r} has no reply: pair it with None")
        self.error_query = error_query
        self.no_error = NO_ERROR_CODE if common_query(error_query) else NO_ERROR
        self.suffix = compound_suffix(error_query) if compound and error_query and not exact else ""
        self.opening = opening
        self.late = dict(late or {})  # lines sent unasked after the pair of each position
        self.where = list(where)  # where each exchange pair comes from (a recording's line)
        self.position = 0  # the next pair of the script
        self.sent: list[str] = []
        self.closes = 0
        self.closed = False
        self.clears = 0
        self.pending: list[str | bytes | BaseException] = []
        self.failure: AssertionError | None = None

    def write(self, message: str, /) -> int:
        # A query written (to be read later) is answered into `pending`, as an instrument would;
        # an exception scripted for a command (no "?") is a write that failed.
        expected = self.script[self.position] if self.position < len(self.script) else None
        asked = expected is not None and expected[0] == message and expected[1] is not None and \
            not (isinstance(expected[1], BaseException) and "?" not in message)
        reply = self._next(message, query=asked)
        if asked:
            self.pending.append(reply if isinstance(reply, (str, BaseException)) else
                                TimeoutError("VI_ERROR_TMO: a block where text is read"))
        elif isinstance(reply, BaseException):
            raise reply
        self.pending.extend(self.late.pop(self.position - 1, ()))
        return len(message)

    def query(self, message: str, /) -> str:
        if self.suffix and message.endswith(self.suffix):
            return self._folded(message[:-len(self.suffix)])
        reply = self._next(message, query=True)
        if isinstance(reply, BaseException):
            raise reply
        assert isinstance(reply, str)
        if self.pending:  # an answer sent earlier comes first
            self.pending.append(reply)
            reply = self.read()
        self.pending.extend(self.late.pop(self.position - 1, ()))
        return reply

    def _folded(self, line: str) -> str:
        """The answer to `line` and the error query sent as one line."""
        expected = self.script[self.position] if self.position < len(self.script) else None
        asked = expected is not None and expected[0] == line and expected[1] is not None
        reply = self._next(line, query=asked)
        if isinstance(reply, BaseException):
            raise reply
        assert self.error_query is not None
        entry = self._next(self.error_query, query=True)
        if isinstance(entry, BaseException):  # the line's answer never comes
            raise entry
        assert isinstance(entry, str)
        return entry if reply is None else f"{reply};{entry}"

    def read(self) -> str:
        item = self.read_raw()[:-1]
        return item.decode()

    def read_raw(self) -> bytes:
        if not self.pending:
            raise TimeoutError("VI_ERROR_TMO: nothing pending")
        item = self.pending.pop(0)
        if isinstance(item, BaseException):
            raise item
        return (item.encode() if isinstance(item, str) else item) + b"\n"

    def input_waiting(self) -> bool:
        return bool(self.pending)

    def write_binary_values(self, message: str, values: Any, /, *, datatype: str = "f",
                            is_big_endian: bool = False) -> int:
        # What PyVISA would put on the wire: the values converted to `datatype` in that order.
        sent = np.asarray(values).astype(np.dtype(datatype).newbyteorder(_order(is_big_endian)))
        reply = self._next(message.rstrip(" "), query=False, block=sent)
        if isinstance(reply, BaseException):
            raise reply
        return len(message) + sent.nbytes

    def query_binary_values(self, message: str, /, *, datatype: str = "f",
                            is_big_endian: bool = False, container: Any = list,
                            data_points: int = 0) -> Any:
        reply = self._next(message, query=True, block=True)
        if isinstance(reply, BaseException):
            raise reply
        assert isinstance(reply, np.ndarray)
        read = np.dtype(datatype).newbyteorder(_order(is_big_endian))
        if _type(reply.dtype) != _type(read):
            raise self._fail(f"{self._label(self.position - 1)}: the block answering "
                             f"{message!r} holds {reply.dtype.name} values, read as {read.name}")
        if reply.dtype.itemsize > 1 and _endian(reply.dtype) != _endian(read):
            raise self._fail(f"{self._label(self.position - 1)}: the block answering "
                             f"{message!r} is {_endian(reply.dtype)}, read as {_endian(read)}")
        return container(reply.astype(read))

    def clear(self) -> None:
        self.clears += 1
        self.pending.clear()

    def close(self) -> None:
        self.closes += 1
        self.closed = True

    def _label(self, position: int) -> str:
        if position < self.opening:
            return f"opening line {position + 1}"
        line = position - self.opening
        origin = f" ({self.where[line]})" if line < len(self.where) else ""
        return f"exchange line {line + 1}{origin}"

    def _fail(self, message: str) -> AssertionError:
        self.failure = self.failure or AssertionError(message)
        return AssertionError(message)

    def _next(self, line: str, *, query: bool,
              block: NDArray[Any] | bool | None = None) -> Reply:
        """Checks what the driver sent against the next pair: `line`, a query or a command,
        and `block`, the values of a command's block or True for a query answered by one."""
        if self.closed:
            raise self._fail(f"{line!r} sent after the resource was closed")
        self.sent.append(line)
        expected = self.script[self.position] if self.position < len(self.script) else None
        if query and block is None and line == self.error_query and \
                (expected is None or expected[0] != line):
            return self.no_error
        where = self._label(self.position)
        sent = _shown(line, query, block)
        if expected is None:
            raise self._fail(f"{where}: expected nothing more, sent "
                             f"{sent if block is not None else repr(line)}")
        want, reply = expected
        wanted: NDArray[Any] | bool | None = None
        if isinstance(want, tuple):  # a command with a block
            want, wanted = want
        elif isinstance(reply, np.ndarray):  # a query answered by a block
            wanted = True
        elif isinstance(reply, BaseException):  # never answered, whatever its kind
            wanted = block
        # an exception fails a query or a command alike (a read or a write that timed out)
        asks = query if isinstance(reply, BaseException) else reply is not None
        if want != line or query != asks or _form(wanted) != _form(block):
            raise self._fail(f"{where}: expected {_shown(want, asks, wanted)}, sent {sent}")
        if isinstance(wanted, np.ndarray) and isinstance(block, np.ndarray):
            differs = _difference(wanted, block)
            if differs:
                raise self._fail(f"{where}: expected {_shown(want, False, wanted)}, sent "
                                 f"{sent}: {differs}")
        self.position += 1
        return reply

    def finish(self) -> None:
        """Raises the first mismatch, if any, or AssertionError naming the lines left unsent."""
        if self.failure is not None:
            raise self.failure
        if self.position < len(self.script):
            left = [line if isinstance(line, str) else f"{line[0]} {shown_block(line[1])}"
                    for line, _ in self.script[self.position:]]
            raise AssertionError(f"{self._label(self.position)} and after never sent: {left}")


def _order(big_endian: bool) -> Literal["<", ">"]:
    return ">" if big_endian else "<"


def _endian(dtype: np.dtype[Any]) -> str:
    big = dtype.byteorder == ">" or (dtype.byteorder == "=" and sys.byteorder == "big")
    return "big-endian" if big else "little-endian"


def _type(dtype: np.dtype[Any]) -> tuple[str, int]:
    return dtype.kind, dtype.itemsize


def _form(block: NDArray[Any] | bool | None) -> str:
    """"values" for a command's block, "True" for a query answered by a block, "None"."""
    return "values" if isinstance(block, np.ndarray) else repr(block)


def _shown(line: str, query: bool, block: NDArray[Any] | bool | None) -> str:
    """What was sent or expected, as messages name it: "the query 'X?'", "the block query
    'X?'" (answered by a block), "the command 'X'", "the block 'X' #<block: ...>"."""
    if isinstance(block, np.ndarray):
        return f"the block {line!r} {shown_block(block)}"
    if block:
        return f"the block query {line!r}"
    return f"the {'query' if query else 'command'} {line!r}"


def _difference(expected: NDArray[Any], sent: NDArray[Any]) -> str:
    """How a block sent differs from the one expected (its length, type, byte order, first
    differing value, bit for bit), or nothing."""
    if len(expected) != len(sent):
        return f"expected {len(expected)} values, sent {len(sent)}"
    if _type(expected.dtype) != _type(sent.dtype):
        return f"expected {expected.dtype.name} values, sent {sent.dtype.name}"
    if expected.dtype.itemsize > 1 and _endian(expected.dtype) != _endian(sent.dtype):
        return f"expected {_endian(expected.dtype)} values, sent {_endian(sent.dtype)}"
    bits = f"u{expected.dtype.itemsize}"
    want = expected.astype(expected.dtype.newbyteorder("=")).view(bits)
    got = sent.astype(sent.dtype.newbyteorder("=")).view(bits)
    if np.array_equal(want, got):
        return ""
    at = int(np.flatnonzero(want != got)[0])
    shown = [f"{expected[at]!s}", f"{sent[at]!s}"]
    if shown[0] == shown[1]:  # values that print alike (NaNs, zeros of either sign): their bits
        shown = [f"{shown[0]} (bits {want[at]:#x})", f"{shown[1]} (bits {got[at]:#x})"]
    return f"value {at} expected {shown[0]}, sent {shown[1]}"


@contextmanager
def expect_exchange(driver_class: type[D],
                    exchange: Iterable[tuple[Line, Reply]] | str | os.PathLike[str], *,
                    identity: Reply | EllipsisType = ...,
                    error_query: str | None | EllipsisType = ..., exact: bool = False,
                    **kw: Any) -> Generator[D]:
    """An opened `driver_class(**kw)` whose resource is a StandIn expecting, after the lines
    of open (the clear command, then the identity query answered `identity`, by default
    "TARN,stand-in,0,0"), exactly the `exchange`: (line, reply) pairs in order, reply None for
    a command, the answer text for a query, or an exception that the query (or command) raises;
    ((header, array), None) for a command with a binary block, an array for a query answered by
    one. Error queries the exchange does not list are answered NO_ERROR ("0" for ``*ESR?``);
    list them to answer errors. A line that differs from the next expected one fails at once
    with its position, the expected and the sent line; lines left unsent fail when the block
    ends. The driver is closed when the block ends.
    `error_query` pins the query the instrument answers for its error queue (None: it has none):
    a driver that declares another one fails at once, as it would time out on the instrument.
    `exchange` may be the path of a recording (see tarn.driver.recording): its lines are the
    script, its header gives the identity and pins the error query, and a mismatch names the
    recording's line; the driver is made with the recorded address; a recording lists the lines as they went on the wire, so it is replayed
    `exact`. A driver with `compound_messages` is followed by the same script (see StandIn);
    `exact` checks the lines as they go on the wire instead."""
    late: dict[int, list[str]] = {}
    where: list[str] = []
    if isinstance(exchange, (str, os.PathLike)):
        replay = read_recording(exchange)
        exchange, where = replay.script, replay.where
        if identity is ... and replay.identity is not None:
            identity = replay.identity
        if error_query is ...:
            error_query = replay.error_query
        late = replay.late
        exact = True
        if replay.address and "addr" not in kw:  # messages name the recorded instrument
            kw["addr"] = replay.address
    if identity is ...:
        identity = "TARN,stand-in,0,0"
    opening: list[tuple[Line, Reply]] = []
    if driver_class.clear_command is not None:
        opening.append((driver_class.clear_command, None))
    if driver_class.idn_query is not None:
        opening.append((driver_class.idn_query, identity))
    wire = StandIn([*opening, *exchange], error_query=driver_class.error_query,
                   opening=len(opening), compound=driver_class.compound_messages, exact=exact,
                   where=where, late={len(opening) + index: lines for index, lines in late.items()})
    driver = driver_class(**kw)
    if error_query is not ... and driver.error_query != error_query:
        raise AssertionError(f"{driver_class.__name__} reads its error queue with "
                             f"{driver.error_query!r}, the instrument answers {error_query!r}")

    def stand_in(name: str) -> StandIn:
        wire.closed = False  # opened (again, after a connection failed): nothing pending
        wire.pending.clear()
        return wire

    # The instance attribute shadows the method: open gets the stand-in instead of pyvisa.
    setattr(driver, "open_resource", stand_in)
    with driver:
        yield driver
    wire.finish()
