"""Serving an open driver over EPICS PV Access (p4p): one PV per quantity and channel.

    with PowerSupply(address) as psu, serve(psu, "LAB1:PSU:") as server:
        print(server.names)      # LAB1:PSU:CH1:Voltage, LAB1:PSU:CH2:Voltage, ...
        ...                      # clients use server.conf (or EPICS_PVA_ADDR_LIST) to reach it

A global quantity is served as ``{prefix}{name}``, a quantity on channel ``ch`` as
``{prefix}CH{ch}:{name}``. Numbers carry their unit and range as display and control limits
(NTScalar), choices are an enum (NTEnum), arrays are arrays. A put goes through the driver's
``setValue`` (validated there, never clipped) and its refusal reaches the client with the
driver's message; an RPC call on a PV reads the quantity afresh and answers the reading.
A driver's actions (commands without a value) are PVs of their own under the same names: a put
of any value, or an RPC call, carries the action out, and the PV counts the times it ran.
``{prefix}quantities`` is a table of what is served, for ``tarn.remote.RemoteDriver``.

PV Access has no authentication: the server listens on loopback unless other interfaces are
named, and ``read_only=True`` refuses every put.
"""

import importlib
import logging
import math
import threading
import time
from collections.abc import Iterable, Mapping
from types import TracebackType
from typing import Any, Self

from tarn.driver.common.quantity import Action, Channel
from tarn.serve.pvs import INVALID, Served, pv_name, pv_type

__all__ = ["Server", "serve"]

log = logging.getLogger("tarn.serve")

# Threads that run puts and RPC calls: puts meet at the driver's lock, but a long put (a ramp)
# should not hold back reads of other quantities.
WORKERS = 4
# Guards the counts of connected clients (the PVs' own locks are held through reads).
_counting = threading.Lock()


def p4p_modules() -> tuple[Any, Any, Any, Any]:
    """p4p's (nt, server, server.thread, util) modules; ImportError naming the extra without it."""
    try:
        return tuple(importlib.import_module(f"p4p.{name}")  # type: ignore[return-value]
                     for name in ("nt", "server", "server.thread", "util"))
    except ImportError as exc:
        raise ImportError(f"serving a driver needs p4p ({exc}): pip install 'tarn[serve]'") from exc


def periods(driver: Any, poll: float | Mapping[str, float] | None) -> dict[str, float]:
    """Seconds between reads per quantity name: `poll` for every reading (read-only quantity),
    or a mapping for the quantities it names, settings included."""
    def seconds(value: Any, what: str) -> float:
        if isinstance(value, bool) or not isinstance(value, (int, float)) or not (
                math.isfinite(value) and value > 0):
            raise ValueError(f"poll{what}: expected a positive number of seconds, not {value!r}")
        return float(value)

    if poll is None:
        return {}
    if isinstance(poll, Mapping):
        unknown = [name for name in poll if name not in driver.quantities]
        if unknown:
            raise ValueError(f"poll: {', '.join(map(repr, unknown))} is not a quantity of the "
                             f"driver (declared: {', '.join(driver.quantities)})")
        return {name: seconds(value, f"[{name!r}]") for name, value in poll.items()}
    every = seconds(poll, "")
    return {name: every for name, q in driver.quantities.items() if q.readonly}


def message(exc: BaseException) -> str:
    """What a client is told of a refusal: the driver's message; its kind for other errors."""
    if isinstance(exc, ValueError):
        return str(exc)
    return f"{type(exc).__name__}: {exc}" if str(exc) else type(exc).__name__


class Handler:
    """p4p's callbacks of one PV, run on the server's worker threads."""

    def __init__(self, server: "Server", served: Served) -> None:
        self.server, self.served = server, served

    def put(self, pv: Any, op: Any) -> None:
        self.server.put(self.served, op)

    def rpc(self, pv: Any, op: Any) -> None:
        try:
            self.server.refresh(self.served, reply=True)
        except Exception as exc:
            op.done(error=message(exc))
        else:
            op.done(pv.current().raw)

    def onFirstConnect(self, pv: Any) -> None:  # noqa: N802 (p4p's name)
        with _counting:
            self.served.clients += 1
        self.server.wake.set()

    def onLastDisconnect(self, pv: Any) -> None:  # noqa: N802 (p4p's name)
        with _counting:
            self.served.clients -= 1


class ActionHandler:
    """p4p's callbacks of an action's PV: a put or an RPC call carries the action out."""

    def __init__(self, server: "Server", name: str, ch: Channel | None, pv_name: str) -> None:
        self.server, self.name, self.ch, self.pv_name = server, name, ch, pv_name
        self.count = 0
        self.lock = threading.Lock()

    def run(self, pv: Any, op: Any, reply: bool) -> None:
        try:
            if self.server.read_only:
                raise PermissionError(f"{self.pv_name}: served read-only, actions are refused")
            with self.lock:
                self.server.driver.act(self.name, self.ch)
                self.count += 1
                pv.post(self.count, timestamp=time.time())
        except Exception as exc:
            log.info("%s: action refused: %s", self.pv_name, message(exc))
            op.done(error=str(exc) if isinstance(exc, PermissionError) else message(exc))
        else:
            op.done(pv.current().raw if reply else None)

    def put(self, pv: Any, op: Any) -> None:
        self.run(pv, op, reply=False)

    def rpc(self, pv: Any, op: Any) -> None:
        self.run(pv, op, reply=True)


class Server:
    """A running PV Access server for one driver (see `serve`). ``conf`` is the client
    configuration that reaches it, ``names`` the PVs it serves."""

    def __init__(self, driver: Any, prefix: str, *, interfaces: Iterable[str] = ("127.0.0.1",),
                 port: int = 0, read_only: bool = False,
                 poll: float | Mapping[str, float] | None = None) -> None:
        if not isinstance(prefix, str) or any(c.isspace() for c in prefix):  # pyright: ignore[reportUnnecessaryIsInstance]
            raise ValueError(f"prefix: a PV name prefix without blanks, not {prefix!r}")
        self.interfaces = [interfaces] if isinstance(interfaces, str) else list(interfaces)
        if not self.interfaces:
            raise ValueError("interfaces: name at least one address to listen on")
        if isinstance(port, bool) or not isinstance(port, int) or not 0 <= port <= 65535:  # pyright: ignore[reportUnnecessaryIsInstance]
            raise ValueError(f"port: expected 0 (any free port) to 65535, not {port!r}")
        self.driver, self.prefix, self.port, self.read_only = driver, prefix, port, read_only
        self.periods = periods(driver, poll)
        self.served: list[Served] = []
        self.conf: dict[str, str] = {}
        self.wake = threading.Event()
        self._stop = threading.Event()
        self._threads: list[threading.Thread] = []
        self._server: Any = None
        self._queue: Any = None
        self._table: Any = None
        self._action_pvs: list[Any] = []

    @property
    def names(self) -> list[str]:
        return [s.name for s in self.served]

    def __enter__(self) -> Self:
        self.start()
        return self

    def __exit__(self, exception_type: type[BaseException] | None,
                 exception_value: BaseException | None, traceback: TracebackType | None) -> None:
        self.stop()

    # --- starting and stopping -----------------------------------------------------------------

    def start(self) -> None:
        """Opens every PV (each read once), starts the threads and the server; whatever was
        started is stopped again when a step fails."""
        try:
            self._start()
        except BaseException:
            self.stop()
            raise
        log.info("serving %d PVs of %r on %s", len(self.served), self.driver,
                 self.conf.get("EPICS_PVA_ADDR_LIST"))

    def _start(self) -> None:
        nt, server, thread, util = p4p_modules()
        self._queue = util.WorkQueue(maxsize=0)  # unbounded: a busy driver delays, never drops
        provider = server.StaticProvider(f"tarn:{self.prefix}")
        for served in self._plan():
            served.pv = thread.SharedPV(handler=Handler(self, served), queue=self._queue)
            self._open(nt, served)
            provider.add(served.name, served.pv)
            self.served.append(served)
        actions = self._actions(nt, thread, provider)
        table = nt.NTTable([("name", "s"), ("channel", "s"), ("pv", "s"), ("type", "s"),
                            ("unit", "s"), ("readonly", "?")])
        rows = [{"name": s.quantity.name, "channel": str(s.ch), "pv": s.name, "type": s.quantity.kind,
                 "unit": s.quantity.unit, "readonly": s.quantity.readonly or self.read_only}
                for s in self.served]
        rows += [{"name": name, "channel": "global" if ch is None else str(ch), "pv": pv_name,
                  "type": "action", "unit": "", "readonly": self.read_only}
                 for name, ch, pv_name in actions]
        self._table = thread.SharedPV(nt=table, initial=table.wrap(rows), queue=self._queue)
        provider.add(f"{self.prefix}quantities", self._table)
        for k in range(WORKERS):
            self._spawn(self._queue.handle, f"tarn.serve worker {k}")
        loopback = all(a.startswith("127.") or a in ("::1", "localhost") for a in self.interfaces)
        conf = {"EPICS_PVAS_INTF_ADDR_LIST": " ".join(self.interfaces),
                "EPICS_PVAS_SERVER_PORT": str(self.port),
                # port 0: a search port of its own too; else the standard one, for any client
                "EPICS_PVAS_BROADCAST_PORT": "0" if self.port == 0 else "5076",
                # beacons go to the interfaces served; to their networks only when asked for
                "EPICS_PVAS_BEACON_ADDR_LIST": " ".join(self.interfaces) if loopback else "",
                "EPICS_PVAS_AUTO_BEACON_ADDR_LIST": "NO" if loopback else "YES"}
        self._server = server.Server(providers=[provider], conf=conf, useenv=False)
        self.conf = {k: v for k, v in self._server.conf().items() if k.startswith("EPICS_PVA_")}
        self.conf["EPICS_PVA_AUTO_ADDR_LIST"] = "NO"
        # The server's TCP endpoints as name servers: a client searches over TCP too, so it
        # finds the server where UDP search does not get through (a firewall, an emulator).
        port = self.conf.get("EPICS_PVA_SERVER_PORT", "5075")
        self.conf["EPICS_PVA_NAME_SERVERS"] = " ".join(
            f"{'127.0.0.1' if a in ('0.0.0.0', '') else a}:{port}" for a in self.interfaces)
        self._spawn(self._poll, "tarn.serve poller")

    def _actions(self, nt: Any, thread: Any, provider: Any) -> list[tuple[str, Channel | None, str]]:
        """A PV for every action of the driver (on every channel, for one that names a channel),
        added to the provider; returns (name, channel, PV name) of each."""
        # a driver without actions (a Plinth that is no VisaDriver) serves none
        declared: dict[str, Action] = getattr(self.driver, "declared_actions", dict)()
        served: list[tuple[str, Channel | None, str]] = []
        for action in declared.values():
            for ch in list(self.driver.CHs) if action.per_channel else [None]:
                name = f"{self.prefix}{action.name}" if ch is None else \
                    f"{self.prefix}CH{ch}:{action.name}"
                kind = nt.NTScalar("l", display=True)
                pv = thread.SharedPV(handler=ActionHandler(self, action.name, ch, name),
                                     queue=self._queue, nt=kind,
                                     initial=kind.wrap({"value": 0,
                                                        "display": {"description": action.doc}}))
                provider.add(name, pv)
                self._action_pvs.append(pv)
                served.append((action.name, ch, name))
        return served

    def stop(self) -> None:
        """Stops serving: the clients are disconnected and the threads end. The driver stays
        open (its owner closes it)."""
        self._stop.set()
        self.wake.set()
        if self._server is not None:
            self._server.stop()
            self._server = None
        for pv in [s.pv for s in self.served] + self._action_pvs + [self._table]:
            if pv is not None:
                pv.close()
        if self._queue is not None:
            for t in self._threads:
                if t.name.startswith("tarn.serve worker"):
                    self._queue.interrupt()
        for t in self._threads:
            t.join(30)  # a put waits for its exchange, which the driver's timeout bounds
        self._threads.clear()

    def _spawn(self, target: Any, name: str) -> None:
        t = threading.Thread(target=target, name=name, daemon=True)
        t.start()
        self._threads.append(t)

    def _plan(self) -> list[Served]:
        """A Served for every quantity and channel a PV can carry."""
        driver, planned = self.driver, list[Served]()
        for quantity in driver.quantities.values():
            channels: list[Channel] = ["global"] if quantity.is_global else list(
                quantity.chs or driver.CHs)
            for ch in channels:
                kind = pv_type(quantity, ch)
                if kind is None:
                    log.warning("%s: its value %r has no PV type; not served",
                                quantity.name, quantity.default["value"])
                    continue
                planned.append(Served(quantity, ch, pv_name(self.prefix, quantity, ch), *kind,
                                      self.periods.get(quantity.name)))
        return planned

    def _open(self, nt: Any, served: Served) -> None:
        """Opens the PV with its type, limits and first value: read from the instrument, or what
        the driver holds when it cannot be read."""
        q, ch = served.quantity, served.ch
        try:
            value = self.driver.getValue(q.name, ch=ch)
        except NotImplementedError:
            value = self.driver.config[q.name][ch]["value"]  # a setting that cannot be read
        except Exception as exc:
            log.warning("%s: the first read failed: %s", served.name, message(exc))
            value = self.driver.config[q.name][ch]["value"]
        pv_value, severity, text = served.posted = served.to_pv(value)
        fields: dict[str, Any] = {"alarm": {"severity": severity, "message": text},
                                  "display": {"description": q.doc}}
        if served.code == "enum":
            kind = nt.NTEnum(display=True)
            fields["value"] = {"index": pv_value, "choices": served.labels}
        else:
            kind = nt.NTScalar(served.code, display=True, control=True)
            fields["value"] = pv_value
            fields["display"]["units"] = q.unit
            low, high = q.bounds(ch)
            if low is not None or high is not None:
                limits = {"limitLow": -math.inf if low is None else float(low),
                          "limitHigh": math.inf if high is None else float(high)}
                fields["display"].update(limits)
                fields["control"] = limits
        served.pv.open(kind.wrap(fields, timestamp=time.time()), nt=kind)

    # --- puts, reads and polling ---------------------------------------------------------------

    def _post(self, served: Served, posting: tuple[Any, int, str]) -> None:
        """Posts a value and alarm when they differ from the last posted (under served.lock)."""
        if served.changed(posting):
            value, severity, text = served.posted = posting
            if served.code == "enum":
                value = {"index": value}
            served.pv.post(value, severity=severity, message=text, timestamp=time.time())

    def put(self, served: Served, op: Any) -> None:
        q = served.quantity
        try:
            if self.read_only:
                raise PermissionError(f"{served.name}: served read-only, puts are refused")
            value = served.from_pv(op.value())
            if q.readonly:
                q.validate(value, served.ch)  # the quantity's own refusal of a reading
            with served.lock:
                self.driver.setValue(q.name, value, ch=served.ch)
                self._post(served, served.to_pv(self.driver.config[q.name][served.ch]["value"]))
        except Exception as exc:
            log.info("%s: put refused: %s", served.name, message(exc))
            op.done(error=str(exc) if isinstance(exc, PermissionError) else message(exc))
        else:
            op.done()

    def refresh(self, served: Served, *, reply: bool = False) -> None:
        """Reads the quantity and posts the reading when it changed; a failed read is posted as
        an INVALID alarm with the driver's message (and raised when `reply` is asked for)."""
        q = served.quantity
        with served.lock:
            try:
                value = self.driver.getValue(q.name, ch=served.ch)
            except Exception as exc:
                assert served.posted is not None
                self._post(served, (served.posted[0], INVALID, message(exc)))
                if reply:
                    raise
                log.warning("%s: read failed: %s", served.name, message(exc))
                return
            self._post(served, served.to_pv(value))

    def _poll(self) -> None:
        """Reads the polled quantities that clients are connected to, each at its period."""
        while not self._stop.is_set():
            self.wake.clear()  # before the pass: a connection during it wakes the next wait
            now, wait = time.monotonic(), 1.0
            for served in self.served:
                if served.period is None or served.clients <= 0:
                    continue
                if served.due <= now:
                    try:
                        self.refresh(served)
                    except Exception:  # a fault of the serving itself: log it, poll on
                        log.exception("%s: polling failed", served.name)
                    served.due += served.period
                    if served.due <= now:  # late (a slow read): from now on
                        served.due = now + served.period
                    now = time.monotonic()
                wait = min(wait, served.due - now)
            self.wake.wait(max(wait, 0.0))


def serve(driver: Any, prefix: str, *, interfaces: Iterable[str] = ("127.0.0.1",), port: int = 0,
          read_only: bool = False, poll: float | Mapping[str, float] | None = None) -> Server:
    """Serves an open driver over PV Access while the returned server is used in a ``with``.

    Args:
        driver: an open driver (a Plinth subclass such as a VisaDriver).
        prefix: put before every PV name ("LAB1:PSU:").
        interfaces: the addresses to listen on; loopback unless others are named.
        port: the TCP port (0: a free one, with a search port of its own; see ``.conf``).
        read_only: refuse every put.
        poll: seconds between reads of the readings clients are connected to, or a mapping of
            quantity names to seconds (settings may be polled too); None reads them only when
            served and on an RPC call.
    """
    return Server(driver, prefix, interfaces=interfaces, port=port, read_only=read_only, poll=poll)
