"""RemoteDriver: a driver served by tarn.serve, driven over PV Access from any computer.

    with RemoteDriver("LAB1:PSU:") as psu:          # EPICS_PVA_ADDR_LIST names the server
        psu.setValue("Voltage", 12.5, ch=1)
        psu.getValue("MeasuredCurrent", ch=1)        # read afresh by the server
        psu.wait_for("MeasuredVoltage", 12.5, tolerance=0.01, timeout=10, ch=1)

A refusal by the driver (or the instrument) is raised as ValueError with the server's text; a
server that does not answer within `timeout` seconds as TimeoutError naming the PV.
"""

import importlib
import math
import time
from types import TracebackType
from typing import Any, Self

import numpy as np

__all__ = ["RemoteDriver"]

# What the server posts for a value it does not know yet.
_NO_VALUE = "no value yet"


def _client() -> Any:
    try:
        return importlib.import_module("p4p.client.thread")
    except ImportError as exc:
        raise ImportError(f"RemoteDriver needs p4p ({exc}): pip install 'tarn[serve]'") from exc


class RemoteDriver:
    """setValue, getValue, config, wait_for and act of a driver served under `prefix`.

    Args:
        prefix: the prefix the driver is served with ("LAB1:PSU:").
        conf: the p4p client configuration (``serve(...).conf``, or EPICS_PVA_* keys); None
            takes it from the environment, as EPICS tools do.
        timeout: seconds to wait for each answer.
    """

    def __init__(self, prefix: str, *, conf: dict[str, str] | None = None, timeout: float = 5.0) -> None:
        self.prefix, self.timeout = prefix, timeout
        self._client = _client()
        self._context: Any = self._client.Context("pva", conf=conf, useenv=conf is None, nt=False)
        try:
            table = self._call("get", f"{prefix}quantities").value
        except BaseException:
            self.close()
            raise
        self._rows: dict[tuple[str, str], dict[str, Any]] = {}
        channels: dict[str, None] = {}
        columns = ("name", "channel", "pv", "type", "unit", "readonly")
        # the driver's actions: (name, channel) -> PV
        self._actions: dict[tuple[str, str], str] = {}
        for row in zip(*(table[c] for c in columns)):
            entry: dict[str, Any] = dict(zip(columns, row))
            if entry["type"] == "action":
                self._actions[entry["name"], entry["channel"]] = entry["pv"]
                continue
            self._rows[entry["name"], entry["channel"]] = entry
            if entry["channel"] != "global":
                channels[entry["channel"]] = None
        self.quantities = list(dict.fromkeys(name for name, _ in self._rows))
        self.actions = list(dict.fromkeys(name for name, _ in self._actions))
        self.CHs: list[int | str] = [int(c) if c.isdigit() else c for c in channels]

    def __repr__(self) -> str:
        return f"RemoteDriver({self.prefix!r}: {', '.join(self.quantities)})"

    def close(self) -> None:
        """Closes the client's connections; a second call does nothing."""
        context, self._context = self._context, None
        if context is not None:
            context.close()

    def __enter__(self) -> Self:
        return self

    def __exit__(self, exception_type: type[BaseException] | None,
                 exception_value: BaseException | None, traceback: TracebackType | None) -> None:
        self.close()

    def _call(self, verb: str, pv: str | list[str], *args: Any, **kw: Any) -> Any:
        """One get, put or rpc on `pv`: a refusal as ValueError with the server's text, no
        answer as TimeoutError naming the PV."""
        if self._context is None:
            raise RuntimeError("the RemoteDriver is closed")
        try:
            return getattr(self._context, verb)(pv, *args, timeout=self.timeout, **kw)
        except self._client.RemoteError as exc:
            raise ValueError(str(exc)) from None
        except TimeoutError:
            raise TimeoutError(f"{pv}: no answer from a PV Access server within {self.timeout} s") from None
        except (TypeError, ValueError) as exc:  # a value p4p cannot put into the PV's type
            raise type(exc)(f"{pv}: {exc}") from None

    def _row(self, name: str, ch: int | str | None) -> dict[str, Any]:
        """The served row of `name` on `ch` (None: the first channel it is served on)."""
        if ch is None:
            ch = next((c for n, c in self._rows if n == name), "")
        row = self._rows.get((name, "global")) or self._rows.get((name, str(ch)))
        if row is None:
            if name not in self.quantities:
                raise AssertionError(f"{self.prefix}: quantity({name}) not Found! "
                                     f"(served: {', '.join(self.quantities)})")
            raise AssertionError(f"{self.prefix}: channel({ch}) not found! ({name} is served on "
                                 f"{', '.join(c for n, c in self._rows if n == name)})")
        return row

    def setValue(self, name: str, value: Any, *, ch: int | str | None = None) -> None:  # noqa: N802
        """Sets the quantity through the server's driver; ValueError with its message when it is
        refused. A choice is named by its text (str(value)). Without `ch`, the first channel
        the quantity is served on."""
        row = self._row(name, ch)
        choices = self._choices(row)
        if choices is None:
            self._call("put", row["pv"], {"value": value}, get=False)  # no get first: one trip
            return
        label = str(value)
        if label not in choices:
            raise ValueError(f"{row['pv']}: {value!r} is not one of {', '.join(choices)}")
        self._call("put", row["pv"], {"value.index": choices.index(label)}, get=False)

    def _choices(self, row: dict[str, Any]) -> list[str] | None:
        """The labels of an enum PV (None for other PVs), from one get."""
        if "choices" not in row:
            V = self._call("get", row["pv"])  # noqa: N806
            row["choices"] = list(V["value.choices"]) if "value.index" in V else None
        choices: list[str] | None = row["choices"]
        return choices

    def getValue(self, name: str, *, ch: int | str | None = None) -> Any:  # noqa: N802
        """Reads the quantity afresh through the server's driver and returns the reading."""
        row = self._row(name, ch)
        Value = importlib.import_module("p4p").Value  # noqa: N806
        Type = importlib.import_module("p4p").Type  # noqa: N806
        return self._python(row, self._call("rpc", row["pv"], Value(Type([]), {})))

    def act(self, name: str, ch: int | str | None = None) -> None:
        """Carries out the served driver's action `name` (on channel `ch`, for an action that
        names one: by default the first); ValueError with the server's text when it fails."""
        pv = self._actions.get((name, "global"))
        if pv is None:
            channels = [c for n, c in self._actions if n == name]
            if not channels:
                raise ValueError(f"{self.prefix}{name}: no such action is served (served: "
                                 f"{', '.join(self.actions) or 'none'})")
            pv = self._actions.get((name, str(channels[0] if ch is None else ch)))
            if pv is None:
                raise ValueError(f"{self.prefix}{name}: served on channels {', '.join(channels)}, "
                                 f"not {ch!r}")
        elif ch is not None:
            raise TypeError(f"{self.prefix}{name}: the action is served for the whole "
                            "instrument: it takes no channel")
        Value = importlib.import_module("p4p").Value  # noqa: N806
        Type = importlib.import_module("p4p").Type  # noqa: N806
        self._call("rpc", pv, Value(Type([]), {}))

    def _python(self, row: dict[str, Any], V: Any) -> Any:  # noqa: N803
        """The Python value of a PV's value, as the driver holds it."""
        if V["alarm.severity"] == 3 and V["alarm.message"] == _NO_VALUE:
            return None
        if "value.index" in V:
            choices = V["value.choices"]
            label = choices[V["value.index"]]
            kind = row["type"]
            if kind == "bool":
                return label == "True"
            for convert in ({"int": (int, float), "float": (float,)}.get(kind, ())):
                try:
                    number = convert(label)
                except ValueError:
                    continue
                return int(number) if kind == "int" and float(number).is_integer() else number
            return label
        value: Any = V["value"]
        if type(value) is np.ndarray:
            return value.copy()
        if isinstance(value, str) and row["type"] in ("float", "int"):
            try:
                number = float(value)
            except ValueError:
                return value  # a keyword ("AUTO")
            return int(number) if row["type"] == "int" and number.is_integer() else number
        return value

    @property
    def config(self) -> dict[str, dict[int | str, dict[str, Any]]]:
        """The value every served PV holds now, as ``config[name][channel]["value"]`` (a global
        quantity's one entry under every channel and "global")."""
        rows = list(self._rows.values())
        values = self._call("get", [r["pv"] for r in rows])
        config: dict[str, dict[int | str, dict[str, Any]]] = {}
        for row, V in zip(rows, values):
            entry = {"value": self._python(row, V), "unit": row["unit"]}
            keys: list[int | str] = [*self.CHs, "global"] if row["channel"] == "global" else [
                int(row["channel"]) if row["channel"].isdigit() else row["channel"]]
            for key in keys:
                config.setdefault(row["name"], {})[key] = entry
        return config

    def wait_for(self, name: str, target: float, *, tolerance: float, timeout: float,
                 interval: float = 0.1, ch: int | str | None = None) -> Any:
        """Reads the quantity every `interval` seconds until the reading is within `tolerance`
        of `target`, and returns that reading; TimeoutError naming the last reading when
        `timeout` seconds pass first."""
        deadline = time.monotonic() + timeout
        while True:
            reading = self.getValue(name, ch=ch)
            if isinstance(reading, bool) or not isinstance(reading, (int, float)):
                raise ValueError(f"{name}: wait_for needs a number, the server gave {reading!r}")
            if abs(float(reading) - target) <= tolerance:
                return reading
            left = deadline - time.monotonic()
            if left <= 0 or math.isnan(left):
                raise TimeoutError(f"{self._row(name, ch)['pv']}: the reading {reading!r} was still "
                                   f"not within {tolerance} of {target} after {timeout} s")
            time.sleep(min(interval, left))
