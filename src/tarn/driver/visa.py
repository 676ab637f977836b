"""VisaDriver: a driver whose quantities are message-based (SCPI) commands over PyVISA.

A driver is its class attributes: ``CHs``, ``quants`` whose records carry command templates
(``set_cmd="SOUR{ch}:FREQ {value}"``, ``get_cmd="SOUR{ch}:FREQ?"``), and optionally the queries
and terminations below. ``write`` validates the value through its quantity, sends the command,
reads the instrument's error queue and returns the value as set, so ``config`` records it;
``read`` queries and parses. A quantity without a template is handled by a method of the
subclass, ``set_<name>(value, ch)`` / ``get_<name>(ch)`` (name in lower case), which talks
through ``send`` and ``query``.

The conversation with the instrument (opening, exchanges, recovery, closing) belongs to the
driver's `Session` (``tarn.driver.session``); one driver may be shared by threads. Every line
sent and received is logged at DEBUG level to the logger ``tarn.driver.<ClassName>.<address>``.
pyvisa is needed only to open a real (or simulated) instrument: importing this module works
without it, and ``open`` names the extra to install when it is missing.
"""

import difflib
from decimal import Decimal
import logging
import math
import os
import threading
import time
from collections.abc import Callable, Mapping, Sequence
from contextlib import AbstractContextManager
from numbers import Integral
from types import MappingProxyType
from typing import Any, ClassVar, get_args

import numpy as np
from numpy.typing import ArrayLike, NDArray

from tarn.driver.common.plinth import Plinth
from tarn.driver.common.quantity import Action, Channel, Quantity, is_number
from tarn.driver.session import (BLOCK_DTYPES, WHERE, BlockType, InstrumentAnswerError,
                                 InstrumentConnectionError, InstrumentError, InstrumentTimeout,
                                 Resource, Session, seconds)

__all__ = ["InstrumentAnswerError", "InstrumentConnectionError", "InstrumentError",
           "InstrumentTimeout", "Resource", "VisaDriver"]

# The keywords setValue and getValue take, and the modes.
_KEYWORDS = ("ch", "mode", "target")
_MODES = ("run", "debug")
# Attributes every driver instance has besides its class's: a quantity of such a name would be
# answered by getValue from the attribute and never read.
_INSTANCE_ATTRIBUTES = frozenset({"addr", "host", "port", "timeout", "model", "srate", "config",
                                  "quantities", "backend", "session", "quantity"})


class _At:
    """Names `where` (a quantity on a channel) in the messages of the exchanges inside (a class
    rather than a generator: it is on every write and read)."""

    __slots__ = ("where", "token")

    def __init__(self, where: str) -> None:
        self.where = where

    def __enter__(self) -> None:
        self.token = WHERE.set(self.where)

    def __exit__(self, *exc: object) -> None:
        WHERE.reset(self.token)


def _key(kw: Mapping[str, Any]) -> Channel:
    """The channel a call names, as config keys it: its `ch`, else channel 1 (Plinth's
    default)."""
    ch: Channel = kw.get("ch", 1)
    return ch


def _kind(ch: object) -> str | None:
    """"int" for integers (not bools), "str" for texts, None for anything else."""
    if isinstance(ch, bool):
        return None
    if isinstance(ch, Integral):
        return "int"
    return "str" if isinstance(ch, str) else None


def _closest(word: str, words: list[str]) -> str:
    """"; did you mean X?" for the closest of `words`, or nothing."""
    match = difflib.get_close_matches(word, words, n=1)
    return f"; did you mean {match[0]}?" if match else ""


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
    # Send a command or query and the error query as one line ("SOUR1:VOLT 5;:SYST:ERR?"): one
    # round trip instead of two. Off by default: an instrument that does not take compound
    # lines would answer none of them (docs: "Threads and faults").
    compound_messages: ClassVar[bool] = False
    # Further keywords for PyVISA's open_resource: a serial line's baud_rate, data_bits, parity,
    # or query_delay, say (they win over the terminations and the timeout above).
    resource_options: ClassVar[Mapping[str, Any]] = MappingProxyType({})
    # The pyvisa-sim description that backend="@sim" opens (None: pyvisa-sim's own default).
    simulation: ClassVar[str | os.PathLike[str] | None] = None
    # The byte order of the values in binary blocks, both ways: little-endian by default (as
    # PyVISA's); an instrument that sends and takes them in SCPI's FORM:BORD NORM wants True.
    block_big_endian: ClassVar[bool] = False
    # Class-level default, so that the finaliser's close finds it even when construction failed
    # before __init__ set it.
    session: Session | None = None
    # A regular expression that this kind of instrument's idn_query answer matches (re.search),
    # so that tarn.driver.discover can pick the driver.
    idn_pattern: ClassVar[str | None] = None
    # Commands without a value, each a method of the driver (see Action and act).
    actions: ClassVar[Sequence[Action]] = ()

    def __init_subclass__(cls, **kw: Any) -> None:
        super().__init_subclass__(**kw)
        for quantity in cls.quants:
            name = quantity.name
            if name in _INSTANCE_ATTRIBUTES or hasattr(cls, name):
                raise TypeError(f"{cls.__name__}: the quantity {name!r} is named like the driver's "
                                f"attribute {name!r}; getValue({name!r}) would answer the attribute "
                                "and never read the instrument: rename the quantity")
        quantities = {quantity.name for quantity in cls.quants}
        for action in cls.__dict__.get("actions", ()):
            if action.name in quantities | _INSTANCE_ATTRIBUTES or hasattr(VisaDriver, action.name):
                raise TypeError(f"{cls.__name__}: the action {action.name!r} is named like a "
                                "quantity or an attribute of the driver: rename the action")
            if action.name not in cls.__dict__:  # a method written in the class body wins
                setattr(cls, action.name, _action_method(cls, action))

    def __init__(self, addr: str = "192.168.1.42", *, backend: str = "", **kw: Any) -> None:
        """backend: the PyVISA library ("" the system's, "@py" pyvisa-py, "@sim" pyvisa-sim
        with `simulation`, or "<file>.yaml@sim"). Other keywords (timeout in seconds, model,
        ...) go to Plinth."""
        super().__init__(addr, **kw)
        self.backend = backend
        if "timeout" in self.resource_options:  # PyVISA's, in milliseconds: it wins
            self.timeout = self.resource_options["timeout"] / 1000
        name = self.addr if "::" in self.addr else f"TCPIP0::{self.addr}::inst0::INSTR"
        self.session = Session(
            self.addr, lambda: self.open_resource(name), self.log, error_query=self.error_query,
            max_errors=self.max_errors, clear_command=self.clear_command, marker=self.idn_query,
            termination=self.write_termination, timeout=self.timeout,
            compound=self.compound_messages)
        # The (name, config key) pairs whose value in config came from the instrument or was
        # set: a ramp starts from those, and reads the others first.
        self._known: set[tuple[str, Channel]] = set()
        self._ramps: dict[tuple[str, Channel], threading.Lock] = {}

    @property
    def timeout(self) -> float:
        """Seconds an answer may take (and a line or block to be taken); assigned on an open
        driver it applies at once."""
        return float(getattr(self, "_seconds", 3.0))

    @timeout.setter
    def timeout(self, value: float) -> None:
        self._seconds = seconds("timeout", value)
        if self.session is not None:
            self.session.timeout = value

    @property
    def log(self) -> logging.Logger:
        """The logger of the wire: ``tarn.driver.<ClassName>.<address>``."""
        return logging.getLogger(f"tarn.driver.{type(self).__name__}.{self.addr}")

    @property
    def resource(self) -> Resource | None:
        """The open PyVISA resource, None while closed."""
        return None if self.session is None else self.session.resource

    @property
    def identity(self) -> str | None:
        """The answer to idn_query, read by open (a non-empty line of text)."""
        return None if self.session is None else self.session.identity

    def _session(self) -> Session:
        if self.session is None:
            raise RuntimeError("the instrument is not open: use `with` or call open() first")
        return self.session

    def open(self, **kw: Any) -> None:
        """Opens the resource, sends `clear_command` and keeps the answer to `idn_query` in
        `identity` (it must be a non-empty line of text); does nothing when open, and opens
        anew a connection that failed."""
        self._session().open()

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
        options: dict[str, Any] = {
            "read_termination": self.read_termination, "write_termination": self.write_termination,
            "timeout": round(float(self.timeout) * 1000),  # PyVISA counts milliseconds
            **self.resource_options}
        resource = pyvisa.ResourceManager(library).open_resource(name, **options)
        if not isinstance(resource, pyvisa.resources.MessageBasedResource):
            resource.close()
            raise TypeError(f"{name} is not a message-based instrument")
        return resource

    def close(self, **kw: Any) -> None:
        """Closes the resource; a second call does nothing (the finaliser makes one)."""
        if self.session is not None:
            self.session.close()

    def exclusive(self) -> AbstractContextManager[Any]:
        """``with driver.exclusive():`` holds the driver for several exchanges (a sweep: set the
        mode, trigger, read, restore) so that no other thread's exchange comes between them.
        Re-entrant: the calls inside take the same lock again."""
        return self._session().lock

    # --- setValue and getValue -----------------------------------------------------------------

    def setValue(self, name: str, value: Any, **kw: Any) -> None:
        """Plinth's setValue under the driver's lock, so that `config` ends with what the
        instrument last took; the keywords and the channel are checked first. A quantity with a
        `step` goes to `value` in steps (see `_ramp`)."""
        kw = self._keywords("setValue", name, kw)
        quantity = self.quantities.get(name)
        if quantity is not None and quantity.step is not None and kw.get("mode", "run") == "run":
            self._ramp(quantity, value, kw)
            return
        with self._session().lock:
            super().setValue(name, value, **kw)

    def _ramp(self, quantity: Quantity, value: Any, kw: dict[str, Any]) -> None:
        """Sets `value` in steps: from the last known value (read first when none is known), no
        step larger than `quantity.step`, `quantity.interval` seconds apart. Each step is sent,
        checked and recorded like a set, so an error or Ctrl-C leaves config at the last step
        the instrument took (a step whose outcome is unknown is read again by the next ramp).
        One ramp per quantity and channel at a time; the driver's lock is held per step, so
        other exchanges go on between steps."""
        name, key = quantity.name, _key(kw)
        assert quantity.step is not None
        session = self._session()
        with session.lock:
            ramp = self._ramps.setdefault((name, key), threading.Lock())
        with ramp:
            with session.lock:
                self.check(name, key)
                target = quantity.validate(value, self._channel(quantity, key))
                if (name, key) not in self._known and (
                        quantity.get_cmd is not None or hasattr(self, f"get_{name.lower()}")):
                    self.getValue(name, **kw)
                start = self.config[name][key]["value"]
            steps, first, span = 1, Decimal(0), Decimal(0)
            if is_number(start) and is_number(target) and math.isfinite(start):
                steps = max(1, math.ceil(abs(float(target) - float(start)) / quantity.step))
                # in decimal, free of float noise: 0.4, not 0.39999999999999997
                first = Decimal(repr(float(start)))
                span = Decimal(repr(float(target))) - first
            for k in range(1, steps + 1):
                if k > 1:
                    time.sleep(quantity.interval)
                step = target if k == steps else float(first + span * k / steps)
                with session.lock:
                    self.update(name, self.write(name, step, **kw), key)

    def wait_for(self, name: str, target: float, *, tolerance: float, timeout: float,
                 interval: float = 0.1, ch: Channel | None = None) -> Any:
        """Reads the quantity every `interval` seconds until the reading is within `tolerance`
        of `target`, and returns that reading; TimeoutError naming the last reading when
        `timeout` seconds pass first. ValueError for a tolerance, timeout or interval that is
        not a finite number >= 0."""
        for what, given in (("tolerance", tolerance), ("timeout", timeout), ("interval", interval)):
            seconds(what, given)
        kw = self._keywords("wait_for", name, {} if ch is None else {"ch": ch})
        deadline = time.monotonic() + timeout
        while True:
            reading = self.getValue(name, **kw)
            if not is_number(reading):
                raise ValueError(f"{name}: wait_for needs a number, the instrument gave {reading!r}")
            if abs(float(reading) - target) <= tolerance:
                return reading
            left = deadline - time.monotonic()
            if left <= 0:
                quantity = self.quantities[name]
                where = quantity.where(self._channel(quantity, _key(kw)))
                raise TimeoutError(f"{where}: the reading {reading!r} was still not within "
                                   f"{tolerance} of {target} after {timeout} s")
            time.sleep(min(interval, left))

    def getValue(self, name: str, **kw: Any) -> Any:
        """Plinth's getValue under the driver's lock; the keywords and the channel are checked
        first."""
        kw = self._keywords("getValue", name, kw)
        with self._session().lock:
            return super().getValue(name, **kw)

    def _keywords(self, method: str, name: str, kw: dict[str, Any]) -> dict[str, Any]:
        """The caller's keywords with the channel as declared (a quantity's first channel when
        none is given); TypeError for a keyword other than ch, mode and target, ValueError for
        an unknown mode or a channel of another type than the declared ones."""
        for key in kw:
            if key not in _KEYWORDS:
                raise TypeError(f"{type(self).__name__}.{method}() got an unexpected keyword "
                                f"argument {key!r} (accepted: {', '.join(_KEYWORDS)}"
                                f"{_closest(key, list(_KEYWORDS))})")
        mode = kw.get("mode", "run")
        if not isinstance(mode, str) or mode not in _MODES:
            raise ValueError(f"{type(self).__name__}.{method}(): mode must be 'run' or 'debug', "
                             f"not {mode!r}")
        # Plinth refuses a name that is not exactly a str with its own message, after this
        quantity = self.quantities.get(name) if type(name) is str else None
        channels = self.CHs if quantity is None else self._channels(quantity)
        if "ch" in kw:
            ch = kw["ch"]
            # the common case: an int or a text that is a declared channel as it stands
            if not ((type(ch) is int or type(ch) is str) and (ch in channels or ch == "global")):
                ch = self._declared(name, ch, channels)
                if ch is not kw["ch"]:
                    kw = {**kw, "ch": ch}
        elif quantity is not None and quantity.chs:
            kw = {**kw, "ch": quantity.chs[0]}  # the first of the quantity's own channels
        return kw

    def _channels(self, quantity: Quantity) -> list[Channel]:
        """The channels a quantity lives on: its own `chs`, else the driver's CHs."""
        return list(quantity.chs) if quantity.chs else self.CHs

    def _declared(self, name: str, ch: Any, channels: list[Channel]) -> Any:
        """The member of CHs (or "global") that `ch` equals, when it is of the same kind (an
        integer, a text); ValueError for a bool, or a value of another kind that would reach the
        command as other text ("1.0", "True", "1" for 1). Channels equal to none are left to
        check, which refuses them."""
        declared = [*channels, "global"]
        kind = _kind(ch)
        if kind is not None:
            for member in declared:
                if _kind(member) == kind and member == ch:
                    return member
            if not any(str(member) == str(ch) for member in declared):
                return ch
        shown = ", ".join(map(repr, declared))
        raise ValueError(f"{name}: channel {ch!r} ({type(ch).__name__}) is not one of the declared "
                         f"channels {shown}")

    # --- the four operations Plinth asks for ---------------------------------------------------

    def write(self, name: str, value: Any, **kw: Any) -> Any:
        """Validates `value` through its quantity, sends it (the set_cmd template or the
        method set_<name>), reads the error queue and returns the value as set. A set whose
        outcome is unknown (a timeout, Ctrl-C) leaves the value unknown until read."""
        quantity = self.quantities[name]
        key = _key(kw)  # the key config records it under
        ch = self._channel(quantity, key)
        value = quantity.validate(value, ch)
        method = self._method(quantity, "set", name, "value, ch")
        known = (name, key) in self._known
        self._known.discard((name, key))
        with self._session().lock, _At(quantity.where(ch)):
            try:
                if method is not None:
                    result = method(value, ch)
                    if result is not None:  # what the instrument took (a rounded value, say)
                        value = result
                else:
                    self.send(quantity.set_command(value, ch, termination=self.write_termination))
            except InstrumentError as exc:
                if exc.refused and known:  # refused: the instrument kept what it had
                    self._known.add((name, key))
                raise
            if quantity.delay > 0:
                time.sleep(quantity.delay)
        self._known.add((name, key))
        return value

    def read(self, name: str, **kw: Any) -> Any:
        """Queries the quantity (the get_cmd template or the method get_<name>) and returns the
        value of the answer."""
        quantity = self.quantities[name]
        ch = self._channel(quantity, _key(kw))
        method = self._method(quantity, "get", name, "ch")
        with self._session().lock, _At(quantity.where(ch)):
            if method is not None:
                value = method(ch)
            else:
                command = quantity.get_command(ch, termination=self.write_termination)
                answer = self.query(command)
                try:
                    value = quantity.parse(answer, ch)
                except ValueError as exc:  # an answer that cannot be read: the instrument's fault
                    raise InstrumentAnswerError(str(exc), command) from None
        if value is not None:
            self._known.add((name, _key(kw)))  # the key config records it under
        return value

    def _method(self, quantity: Quantity, verb: str, name: str, parameters: str) -> Any:
        """The driver's method `<verb>_<name>` (lower case), or None when the quantity's
        `<verb>_cmd` template stands in for it; NotImplementedError when neither exists."""
        method = getattr(self, f"{verb}_{name.lower()}", None)
        if method is None and getattr(quantity, f"{verb}_cmd") is None:
            raise NotImplementedError(f"{type(self).__name__}: {name} has no {verb}_cmd template "
                                      f"and no method {verb}_{name.lower()}({parameters})")
        return method

    def check(self, name: str, channel: Channel) -> None:
        """Plinth's check, its message followed by what is declared and the closest match. A
        quantity with channels of its own is checked against them by write and read."""
        quantity = self.quantities.get(name)
        if quantity is not None and quantity.chs:
            channel = "global"  # the name alone: the channel is the quantity's to check
        try:
            super().check(name, channel)
        except AssertionError as exc:
            if name not in self.quantities:
                declared, given = [str(n) for n in self.quantities], name
            else:
                declared, given = [str(c) for c in [*self.CHs, "global"]], str(channel)
            raise AssertionError(f"{exc} (declared: {', '.join(declared)}"
                                 f"{_closest(given, declared)})") from None

    def _channel(self, quantity: Quantity, ch: Channel) -> Channel:
        """The channel a command addresses: "global" for an instrument-wide quantity, else one
        of CHs ("global" names none of them)."""
        if quantity.is_global:
            return "global"
        channels = self._channels(quantity)
        if ch == "global" or ch not in channels:
            raise ValueError(f"{quantity.name} is set per channel {channels}, not on channel {ch!r}")
        return ch

    @classmethod
    def declared_actions(cls) -> dict[str, Action]:
        """The driver's actions by name: its class's own, then those its bases declared."""
        return {a.name: a for base in reversed(cls.__mro__) for a in vars(base).get("actions", ())}

    def act(self, name: str, ch: Channel | None = None) -> None:
        """Carries out the action `name` (see `actions`): its command sent, the error queue
        read, under the driver's lock; `ch` for an action whose command names a channel."""
        declared = self.declared_actions()
        action = declared.get(name)
        if action is None:
            raise ValueError(f"{type(self).__name__} has no action {name!r} (declared: "
                             f"{', '.join(declared) or 'none'}{_closest(name, list(declared))})")
        command = action.command
        if action.per_channel:
            ch = self.CHs[0] if ch is None else self._declared(name, ch, self.CHs)
            if ch not in self.CHs:
                raise ValueError(f"{name}: channel {ch!r} is not one of the declared channels "
                                 f"{', '.join(map(repr, self.CHs))}")
            command = command.format(ch=ch)
        elif ch is not None:
            raise TypeError(f"{type(self).__name__}.{name}() acts on the whole instrument: it "
                            "takes no channel")
        with self._session().lock, _At(name if ch is None else f"{name} on channel {ch}"):
            self.send(command)
            if action.delay > 0:
                time.sleep(action.delay)

    # --- the wire --------------------------------------------------------------------------

    def send(self, command: str, *, timeout: float | None = None) -> None:
        """Sends one command, then raises InstrumentError if the instrument reports errors.
        `timeout` (seconds) replaces the driver's for this exchange."""
        self._session().command(command, timeout)

    def query(self, command: str, *, timeout: float | None = None) -> str:
        """Sends one query and returns its answer (stripped); errors and `timeout` as send."""
        return self._session().query(command, timeout)

    def errors(self) -> list[str]:
        """Reads the error queue until it reports no error, at most max_errors entries; returns
        the entries read (an answer that is not an error entry among them)."""
        return self._session().errors()

    def send_block(self, command: str, values: ArrayLike, datatype: BlockType = "f", *,
                   timeout: float | None = None) -> None:
        """Sends `command`, a space and `values` as an IEEE 488.2 definite-length block of
        `datatype` (a struct code of explicit size: "f" float32, "d" float64, "h" int16, "i"
        and "l" int32, "q" int64, ...), then reads the error queue as send does; the block is
        taken within the timeout or InstrumentTimeout. ValueError, before anything is sent, for
        values that are not one row or that an integer `datatype` cannot hold exactly."""
        block = _block(command, values, datatype)
        self._session().send_block(command, block, block.dtype.str[1:], self.block_big_endian,
                                   timeout)

    def query_block(self, command: str, datatype: BlockType = "f", *,
                    timeout: float | None = None) -> NDArray[Any]:
        """Sends one query and returns the values of the IEEE 488.2 definite-length block that
        answers it, of `datatype` (see send_block) in the machine's byte order; an indefinite
        (#0) or malformed block raises InstrumentAnswerError. Errors as by send."""
        dtype = _block_type(datatype)
        return self._session().query_block(command, dtype.str[1:], self.block_big_endian,
                                           timeout)


def _action_method(cls: type[VisaDriver], action: Action) -> Callable[..., None]:
    """The method of `cls` that carries out `action`, named after it and documented by it."""
    def on_channel(self: VisaDriver, ch: Channel | None = None) -> None:
        self.act(action.name, ch)

    def on_instrument(self: VisaDriver) -> None:
        self.act(action.name)

    run: Callable[..., None] = on_channel if action.per_channel else on_instrument
    run.__name__ = action.name
    run.__qualname__ = f"{cls.__qualname__}.{action.name}"
    run.__module__ = cls.__module__
    run.__doc__ = f"{action.doc}{' ' if action.doc else ''}(The action {action.command!r}.)"
    return run


def _block_type(datatype: str) -> np.dtype[Any]:
    """The numpy type of a block's values; ValueError for a code that is not a number's."""
    if datatype not in get_args(BlockType):
        raise ValueError(f"the datatype of a block is one of {''.join(get_args(BlockType))} (a "
                         f"struct code), not {datatype!r}")
    return np.dtype(BLOCK_DTYPES[datatype])


def _block(command: str, values: ArrayLike, datatype: str) -> NDArray[Any]:
    """`values` as the block `command` sends: one row of `datatype`."""
    dtype = _block_type(datatype)
    given = np.asarray(values)
    if given.ndim != 1:
        raise ValueError(f"the block of {command!r} is one row of values, not an array of shape "
                         f"{given.shape}")
    with np.errstate(invalid="ignore", over="ignore"):
        try:
            block = given.astype(dtype)
        except OverflowError:  # Python integers past the type's range
            block = None
        # A cast to integers would wrap or truncate silently: a DAC code must arrive as given.
        if block is None or (dtype.kind in "iu" and not np.array_equal(block, given)):
            raise ValueError(f"the block of {command!r} holds values that {dtype.name} cannot "
                             "hold exactly")
    return block
