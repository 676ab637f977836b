"""Protocol tests of VisaDriver subclasses against a scripted stand-in instrument.

    def test_voltage_on_channel_2():
        with expect_exchange(PowerSupply, [("SOUR2:VOLT 5.0", None)]) as psu:
            psu.setValue("Voltage", 5, ch=2)

No pyvisa and no simulator are involved: the stand-in checks every line the driver sends
against the next one the exchange expects.
"""

from collections.abc import Generator, Iterable, Sequence
from contextlib import contextmanager
from typing import Any, TypeVar

from tarn.driver.visa import VisaDriver

__all__ = ["NO_ERROR", "Reply", "StandIn", "expect_exchange"]

NO_ERROR = '+0,"No error"'  # the stand-in's answer to an error query the exchange does not list

# What the instrument does with a line: None for a command (no answer), a text for a query
# (its answer), an exception for a query it never answers (raised, as a timeout would be, or as
# KeyboardInterrupt when Ctrl-C comes before the answer).
Reply = str | BaseException | None

D = TypeVar("D", bound=VisaDriver)


class StandIn:
    """A stand-in for a PyVISA message-based resource that follows a script of (line, reply)
    pairs. The first `opening` pairs are what the driver's open sends; positions in messages
    count the others from 1. An `error_query` that the script does not expect at that point is
    answered NO_ERROR. The first mismatch raises AssertionError and is kept in `failure`.
    `pending` holds lines the instrument sent unasked (a late answer, say): `read` returns them
    in turn and `clear` (a device clear) drops them."""

    def __init__(self, script: Sequence[tuple[str, Reply]], *, error_query: str | None = None,
                 opening: int = 0) -> None:
        self.script = list(script)
        self.error_query = error_query
        self.opening = opening
        self.position = 0  # the next pair of the script
        self.sent: list[str] = []
        self.closes = 0
        self.closed = False
        self.clears = 0
        self.pending: list[str] = []
        self.failure: AssertionError | None = None

    def write(self, message: str, /) -> int:
        self._next(message, query=False)
        return len(message)

    def query(self, message: str, /) -> str:
        reply = self._next(message, query=True)
        if isinstance(reply, BaseException):
            raise reply
        assert reply is not None
        if self.pending:  # an answer sent earlier comes first
            self.pending.append(reply)
            return self.pending.pop(0)
        return reply

    def read(self) -> str:
        if not self.pending:
            raise TimeoutError("VI_ERROR_TMO: nothing pending")
        return self.pending.pop(0)

    def clear(self) -> None:
        self.clears += 1
        self.pending.clear()

    def close(self) -> None:
        self.closes += 1
        self.closed = True

    def _label(self, position: int) -> str:
        if position < self.opening:
            return f"opening line {position + 1}"
        return f"exchange line {position - self.opening + 1}"

    def _fail(self, message: str) -> AssertionError:
        self.failure = self.failure or AssertionError(message)
        return AssertionError(message)

    def _next(self, line: str, *, query: bool) -> Reply:
        if self.closed:
            raise self._fail(f"{line!r} sent after the resource was closed")
        self.sent.append(line)
        expected = self.script[self.position] if self.position < len(self.script) else None
        if query and line == self.error_query and (expected is None or expected[0] != line):
            return NO_ERROR
        where = self._label(self.position)
        if expected is None:
            raise self._fail(f"{where}: expected nothing more, sent {line!r}")
        want, reply = expected
        if want != line or query != (reply is not None):
            kind = ("query", "command")
            raise self._fail(f"{where}: expected the {kind[reply is None]} {want!r}, "
                             f"sent the {kind[not query]} {line!r}")
        self.position += 1
        return reply

    def finish(self) -> None:
        """Raises the first mismatch, if any, or AssertionError naming the lines left unsent."""
        if self.failure is not None:
            raise self.failure
        if self.position < len(self.script):
            left = [line for line, _ in self.script[self.position:]]
            raise AssertionError(f"{self._label(self.position)} and after never sent: {left}")


@contextmanager
def expect_exchange(driver_class: type[D], exchange: Iterable[tuple[str, Reply]], *,
                    identity: Reply = "TARN,stand-in,0,0", **kw: Any) -> Generator[D]:
    """An opened `driver_class(**kw)` whose resource is a StandIn expecting, after the lines
    of open (the clear command, then the identity query answered `identity`), exactly the
    `exchange`: (line, reply) pairs in order, reply None for a command, the answer text for a
    query, or an exception that the query raises. Error queries the exchange does not list are
    answered NO_ERROR; list them to answer errors. A line that differs from the next expected
    one fails at once with its position, the expected and the sent line; lines left unsent fail
    when the block ends. The driver is closed when the block ends."""
    opening: list[tuple[str, Reply]] = []
    if driver_class.clear_command is not None:
        opening.append((driver_class.clear_command, None))
    if driver_class.idn_query is not None:
        opening.append((driver_class.idn_query, identity))
    wire = StandIn([*opening, *exchange], error_query=driver_class.error_query,
                   opening=len(opening))
    driver = driver_class(**kw)

    def stand_in(name: str) -> StandIn:
        wire.closed = False  # opened (again, after a connection failed)
        return wire

    # The instance attribute shadows the method: open gets the stand-in instead of pyvisa.
    setattr(driver, "open_resource", stand_in)
    with driver:
        yield driver
    wire.finish()
