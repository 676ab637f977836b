"""The PVs of a served driver: a quantity on one channel as a PV type, and its values both ways
between what the driver holds and what the PV carries."""

import threading
from typing import Any

import numpy as np

from tarn.driver.common.quantity import Channel, Quantity

__all__ = ["INVALID", "Served", "pv_name", "pv_type"]

# Alarm severities of EPICS: a value that is not to be trusted is INVALID.
INVALID = 3
# The p4p type codes of numpy's array element types.
_ARRAY_CODES = {"?": "?", "b": "b", "B": "B", "h": "h", "H": "H", "i": "i", "I": "I", "l": "l",
                "q": "l", "L": "L", "Q": "L", "f": "f", "d": "d"}


def pv_name(prefix: str, quantity: Quantity, ch: Channel) -> str:
    """The PV of `quantity` on channel `ch`: ``{prefix}{name}`` for a global quantity,
    ``{prefix}CH{ch}:{name}`` otherwise."""
    return f"{prefix}{quantity.name}" if quantity.is_global else f"{prefix}CH{ch}:{quantity.name}"


class Served:
    """One PV: a quantity on one channel, its PV type and what was posted last."""

    def __init__(self, quantity: Quantity, ch: Channel, name: str, code: str,
                 choices: list[Any] | None, period: float | None) -> None:
        self.quantity = quantity
        self.ch = ch  # the channel setValue and getValue are called with ("global" for global)
        self.name = name
        self.code = code  # a p4p type code ("d", "l", "?", "s", "ad", ...), or "enum"
        self.choices = choices  # for an enum: the values its indices stand for
        self.period = period  # seconds between reads while clients are connected, or None
        self.lock = threading.Lock()  # a read or put and its post, one at a time
        self.posted: tuple[Any, int, str] | None = None
        self.clients = 0  # first connections less last disconnections
        self.due = 0.0
        self.pv: Any = None

    @property
    def labels(self) -> list[str]:
        return [str(c) for c in self.choices or ()]

    def to_pv(self, value: Any) -> tuple[Any, int, str]:
        """`value` as the PV carries it, with an alarm severity and message: INVALID for a value
        unknown yet or of another type."""
        empty: Any = {"enum": 0, "?": False, "s": ""}.get(self.code, 0)
        if self.code.startswith("a"):
            empty = np.zeros(0, dtype=self.code[1:].replace("l", "q").replace("L", "Q"))
        if value is None:
            return empty, INVALID, "no value yet"
        try:
            if self.code == "enum":
                assert self.choices is not None
                for index, choice in enumerate(self.choices):
                    if type(choice) is type(value) and choice == value:
                        return index, 0, ""
                return self.labels.index(str(value)), 0, ""
            if self.code.startswith("a"):
                return np.array(value, dtype=empty.dtype).reshape(-1), 0, ""
            convert: Any = {"?": bool, "d": float, "l": int, "s": str}[self.code]
            if self.code == "s" and isinstance(value, float):
                return repr(value), 0, ""
            return convert(value), 0, ""
        except (ValueError, TypeError, OverflowError):
            return empty, INVALID, f"the driver holds {value!r}, which this PV cannot carry"

    def from_pv(self, value: Any) -> Any:
        """The value a client put, as the driver's setValue takes it."""
        if self.code == "enum":
            assert self.choices is not None
            index = int(value)
            if not 0 <= index < len(self.choices):
                raise ValueError(f"{self.quantity.where(self.ch)}: choice {index} is not one of "
                                 f"0..{len(self.choices) - 1} ({', '.join(self.labels)})")
            return self.choices[index]
        if self.code.startswith("a"):
            return np.array(value)
        if self.code == "s" and self.quantity.kind in ("float", "int"):
            text = str(value)  # a number, or one of the quantity's keywords
            try:
                number = float(text)
            except ValueError:
                return text
            return int(number) if self.quantity.kind == "int" and number.is_integer() else number
        return {"?": bool, "d": float, "l": int, "s": str}[self.code](value)

    def changed(self, posting: tuple[Any, int, str]) -> bool:
        if self.posted is None:
            return True
        (old, *old_alarm), (new, *new_alarm) = self.posted, posting
        if old_alarm != new_alarm:
            return True
        if type(new) is np.ndarray:
            return not (type(old) is np.ndarray and bool(np.array_equal(old, new)))
        return bool(old != new) or type(old) is not type(new)


def pv_type(quantity: Quantity, ch: Channel) -> tuple[str, list[Any] | None] | None:
    """The p4p type code of the quantity's PV on channel `ch` with its choices, or None for a
    value no PV type carries."""
    choices = quantity.allowed(ch)
    if choices is not None:
        return "enum", [*choices, *quantity.keywords]
    if quantity.kind in ("float", "int"):
        # a number that may also be a word ("AUTO") travels as text
        return ("s" if quantity.keywords else {"float": "d", "int": "l"}[quantity.kind]), None
    if quantity.kind in ("bool", "str"):
        return {"bool": "?", "str": "s"}[quantity.kind], None
    default = quantity.default["value"]
    if default is None or isinstance(default, (list, tuple)):
        return "ad", None  # a waveform: numbers
    if type(default) is np.ndarray and default.dtype.char in _ARRAY_CODES:
        return "a" + _ARRAY_CODES[default.dtype.char], None
    return None
