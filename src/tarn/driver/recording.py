"""Recordings of a driver's exchanges with its instrument: written by `record` around an open
driver, read back by `read_recording` as the script of `tarn.driver.testing.expect_exchange`.

A recording is a text file, one event a line, meant to be read and edited by hand:

    # tarn recording: PowerSupply at TCPIP0::10.0.0.7::5025::SOCKET
    # error query: SYST:ERR?
    # identity: TARN,LOOPBACK,0,1.0
    -> SOUR1:VOLT 12.5           a line the driver sent
    -> SYST:ERR?
    <- +0,"No error"             the answer to the query just sent
    -> SOUR1:DATA
    -# block1: 8 x float32       the binary block sent with it (in the sidecar file)
    -> TRAC:DATA?
    <# block2: 1001 x float32    a binary block answering the query (in the sidecar file)
    -> MEAS1:VOLT?
    !! timeout                   what the exchange raised instead ("<Type>: <message>")
    << +4.998000E+00             a line read unasked (a late answer dropped by a resync)

Binary blocks are kept, as they were on the wire, in the sidecar file that the ``# blocks:``
line names (``<name>.blocks.npz`` beside the recording), never inline. To script a fault, drop
a line, or turn ``<- <answer>`` into ``!! timeout``.
"""

import ast
import builtins
import os
import re
import threading
from collections.abc import Callable, Generator, Iterable
from contextlib import contextmanager
from pathlib import Path
from types import EllipsisType
from typing import IO, Any, NamedTuple

import numpy as np
from numpy.typing import NDArray

from tarn.driver.session import BlockType, Resource, shown_block, timed_out
from tarn.driver.visa import VisaDriver

__all__ = ["Replay", "read_recording", "record"]

# The text written in place of what an identity answer says beyond maker and model.
SCRUBBED = "0"


class _Recording:
    """The file being written, its blocks and what is scrubbed from the answers."""

    def __init__(self, path: Path, replace: dict[str, str]) -> None:
        self.path = path
        self.sidecar = path.with_name(f"{path.stem}.blocks.npz")
        self.replace = replace
        self.blocks: dict[str, NDArray[Any]] = {}
        self.lock = threading.Lock()
        self.file: IO[str] = open(path, "w", encoding="utf-8", newline="\n")  # noqa: SIM115

    def line(self, kind: str, text: str) -> None:
        with self.lock:
            self.file.write(f"{kind} {text}\n" if text else f"{kind}\n")
            self.file.flush()

    def answer(self, text: str) -> str:
        """`text` with what is to be scrubbed replaced."""
        for secret, replacement in self.replace.items():
            text = text.replace(secret, replacement)
        return text

    def block(self, kind: str, values: NDArray[Any]) -> None:
        with self.lock:
            name = f"block{len(self.blocks) + 1}"
            self.blocks[name] = values
            # Saved whole at each block, so that what was written stays readable if the process
            # dies; recordings hold few blocks.
            with open(self.sidecar, "wb") as sidecar:
                np.savez(sidecar, allow_pickle=False, **self.blocks)
        self.line(kind, f"{name}: {shown_block(values).strip('#<>').removeprefix('block: ')}")

    def close(self) -> None:
        with self.lock:
            self.file.close()


def _failure(exc: BaseException) -> str:
    """How a recording writes what an exchange raised (read back by _raised)."""
    if timed_out(exc):
        return "timeout"
    if isinstance(exc, UnicodeDecodeError):
        return f"not text: {exc.start} {bytes(exc.object)!r}"
    text = f"{type(exc).__name__}: {exc}" if str(exc) else type(exc).__name__
    return text.replace("\n", " ")


def _raised(text: str, at: str) -> BaseException:
    """The exception a recorded failure stands for: a timeout, an answer that is not text, a
    built-in exception by name, or else an OSError (a VISA error: the connection failed)."""
    if text == "timeout":
        return TimeoutError("VI_ERROR_TMO (recorded)")
    if text.startswith("not text: "):
        start, _, raw = text.removeprefix("not text: ").partition(" ")
        try:
            data = ast.literal_eval(raw)
        except (ValueError, SyntaxError):
            data = None
        if not (start.isdigit() and isinstance(data, bytes) and int(start) < len(data)):
            raise ValueError(f"{at}: 'not text' needs a position and the bytes, as in "
                             "\"!! not text: 0 b'\\xff'\"")
        return UnicodeDecodeError("utf-8", data, int(start), int(start) + 1, "invalid start byte")
    name, _, message = text.partition(": ")
    kind = getattr(builtins, name, None)
    errno = re.fullmatch(r"\[Errno (\d+)\] (.*)", message)
    if isinstance(kind, type) and issubclass(kind, OSError) and errno:  # as the OS raised it
        return kind(int(errno.group(1)), errno.group(2))
    if isinstance(kind, type) and issubclass(kind, BaseException):
        try:
            return kind(message) if message else kind()
        except TypeError:  # an exception that takes other arguments
            pass
    return OSError(text)


class _Tap:
    """A resource that passes every call on to `inner` and writes it to the recording."""

    def __init__(self, inner: Resource, recording: _Recording) -> None:
        self.inner = inner
        self.recording = recording

    def __getattr__(self, name: str) -> Any:  # resource_name, timeout, clear ...
        found = getattr(self.inner, name)
        if name != "clear":
            return found

        def clear() -> None:  # a device clear, only where the resource has one
            self.recording.line("#", "device clear")
            found()
        return clear

    def _call[T](self, call: Callable[[], T]) -> T:
        try:
            return call()
        except BaseException as exc:
            self.recording.line("!!", _failure(exc))
            raise

    def write(self, message: str, /) -> object:
        self.recording.line("->", message)
        return self._call(lambda: self.inner.write(message))

    def query(self, message: str, /) -> str:
        self.recording.line("->", message)
        answer = self._call(lambda: self.inner.query(message))
        self.recording.line("<-", self.recording.answer(answer))
        return answer

    def read(self) -> str:
        return self.read_raw().decode().rstrip("\r\n")

    def read_raw(self) -> bytes:
        try:
            raw = self.inner.read_raw()
        except BaseException as exc:  # nothing pending: replayed as nothing pending
            self.recording.line("#", f"read: {_failure(exc)}")
            raise
        text = raw.decode(errors="backslashreplace").rstrip("\r\n")
        self.recording.line("<<", self.recording.answer(text))
        return raw

    def block_on_socket(self, line: str, values: Any, datatype: BlockType, is_big_endian: bool,
                        send: Callable[[], None]) -> None:
        """A block the session sends straight to a raw socket (within its timeout) by `send`."""
        self.recording.line("->", line)
        self.recording.block("-#", _wire(values, datatype, is_big_endian))
        self._call(send)

    def write_binary_values(self, message: str, values: Any, /, *, datatype: BlockType,
                            is_big_endian: bool) -> object:
        self.recording.line("->", message.rstrip(" "))
        self.recording.block("-#", _wire(values, datatype, is_big_endian))
        return self._call(lambda: self.inner.write_binary_values(
            message, values, datatype=datatype, is_big_endian=is_big_endian))

    def query_binary_values(self, message: str, /, *, datatype: BlockType, is_big_endian: bool,
                            container: Callable[..., Any], data_points: int = 0) -> Any:
        self.recording.line("->", message)
        reply = self._call(lambda: self.inner.query_binary_values(
            message, datatype=datatype, is_big_endian=is_big_endian, container=container,
            data_points=data_points))
        self.recording.block("<#", _wire(reply, datatype, is_big_endian))
        return reply

    def close(self) -> None:
        self.inner.close()


def _wire(values: Any, datatype: BlockType, big_endian: bool) -> NDArray[Any]:
    """The values of a block as they were on the wire: of `datatype`, in its byte order."""
    return np.asarray(values).astype(np.dtype(datatype).newbyteorder(">" if big_endian else "<"))


@contextmanager
def _tapped(driver: VisaDriver, tap: Callable[[Resource], Resource]) -> Generator[None]:
    """The one place where recording reaches into the driver: the session's open resource is
    replaced by `tap(resource)`, and so is a resource the driver opens anew while recording (after
    a connection failed); both are undone on exit."""
    session = driver.session
    if session is None or session.resource is None:
        raise RuntimeError("record needs an open driver: use it inside `with driver:`")
    own = vars(driver).get("open_resource")  # expect_exchange's stand-in, say
    opener = driver.open_resource

    def open_tapped(name: str) -> Resource:
        return tap(opener(name))

    with session.lock:
        session.resource = tap(session.resource)
        setattr(driver, "open_resource", open_tapped)
    try:
        yield
    finally:
        with session.lock:
            if own is None:
                delattr(driver, "open_resource")
            else:
                setattr(driver, "open_resource", own)
            tapped: object = session.resource
            if isinstance(tapped, _Tap):
                session.resource = tapped.inner


@contextmanager
def record(driver: VisaDriver, path: str | os.PathLike[str], *,
           scrub: bool | Iterable[str] = False) -> Generator[None]:
    """Writes every exchange of the open `driver` inside the block to the recording `path`
    (see the module documentation), in the form `expect_exchange(DriverClass, path)` replays.

    `scrub=True` writes the identity with only its maker and model (``TARN,PS-2,0,0``), in the
    header and wherever an answer gives it; texts given instead (serial numbers, a host name)
    are replaced by ``0`` in every answer and in the header as well. Lines the driver sends are
    written as sent, so that the replay checks them."""
    path = Path(path)
    identity = driver.identity
    replace: dict[str, str] = {}
    if scrub is not False and identity:
        fields = identity.split(",")
        if len(fields) > 2:
            replace[identity] = ",".join([*fields[:2], *[SCRUBBED] * (len(fields) - 2)])
    if not isinstance(scrub, bool):
        if isinstance(scrub, str):
            raise TypeError("scrub is True or a sequence of texts, not one text")
        replace.update((secret, SCRUBBED) for secret in scrub if secret)
    recording = _Recording(path, replace)
    try:
        recording.line("#", f"tarn recording: {type(driver).__name__} at "
                            f"{recording.answer(driver.addr)}")
        recording.line("#", f"error query: {driver.error_query}")
        if identity is not None:
            recording.line("#", f"identity: {recording.answer(identity)}")
        recording.line("#", f"blocks: {recording.sidecar.name}")
        with _tapped(driver, lambda resource: _Tap(resource, recording)):
            yield
    finally:
        recording.close()


class Replay(NamedTuple):
    """A recording read back: the `script` of (line, reply) pairs; `late`, the lines read unasked
    after the pair of each index; the `identity` and `error_query` of its header (None and
    ``...`` when it names none); `where`, the file and line of each pair."""

    script: list[tuple[Any, Any]]
    late: dict[int, list[str]]
    identity: str | None
    error_query: str | None | EllipsisType
    where: list[str]
    address: str | None = None


def read_recording(path: str | os.PathLike[str]) -> Replay:
    """The recording at `path` as expect_exchange's script; ValueError naming the file and line
    of anything it cannot read."""
    path = Path(path)
    text = path.read_text(encoding="utf-8")
    script: list[tuple[Any, Any]] = []
    where: list[str] = []
    late: dict[int, list[str]] = {}
    header: dict[str, str] = {}
    blocks: dict[str, NDArray[Any]] | None = None
    sent: str | None = None  # the line sent whose reply is still to come
    sent_at = ""

    def flush() -> None:
        nonlocal sent
        if sent is not None:
            script.append((sent, None))
            where.append(sent_at)
            sent = None

    def block(name: str, at: str) -> NDArray[Any]:
        nonlocal blocks
        if blocks is None:
            sidecar = path.with_name(header.get("blocks", f"{path.stem}.blocks.npz"))
            with np.load(sidecar, allow_pickle=False) as stored:
                blocks = {key: stored[key] for key in stored.files}
        key = name.partition(":")[0].strip()
        if key not in blocks:
            raise ValueError(f"{at}: no block {key!r} in {header.get('blocks', 'the sidecar file')}")
        return blocks[key]

    for number, line in enumerate(text.split("\n"), 1):
        at = f"{path.name}:{number}"
        kind, _, rest = line.partition(" ")
        if not line.strip():
            continue
        if kind == "#":
            if rest.startswith("tarn recording: ") and " at " in rest:
                header["address"] = rest.partition(" at ")[2]
            key, colon, value = rest.partition(": ")
            if colon and key in ("error query", "identity", "blocks"):
                header[key] = value
            continue
        if kind == "->":
            flush()
            sent, sent_at = rest, at
            continue
        if kind == "<<":
            flush()
            late.setdefault(len(script) - 1, []).append(rest)
            continue
        if kind == "!!" and sent is None and where and where[-1] == sent_at \
                and isinstance(script[-1][0], tuple):
            # a block command that failed: replayed as its line failing, the block unchecked
            script[-1] = (script[-1][0][0], _raised(rest, at))
            continue
        if kind not in ("<-", "<#", "!!", "-#"):
            raise ValueError(f"{at}: {line!r} is no line of a recording (->, <-, -#, <#, !!, <<, #)")
        if sent is None:
            raise ValueError(f"{at}: {line!r} follows no line sent")
        if kind == "<-":
            script.append((sent, rest))
        elif kind == "<#":
            script.append((sent, block(rest, at)))
        elif kind == "!!":
            script.append((sent, _raised(rest, at)))
        else:
            script.append(((sent, block(rest, at)), None))
        where.append(sent_at)
        sent = None
    flush()
    query = header.get("error query")
    pinned = ... if query is None else None if query == "None" else query
    return Replay(script, late, header.get("identity"), pinned, where, header.get("address"))
