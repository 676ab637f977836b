"""Quantity records and the configuration mapping that drivers keep per quantity and channel.

A quantity record describes one setting or reading of an instrument: its name, default value,
channel and unit, and optionally what values it allows (``range``, ``choices``), whether it can
be set at all (``readonly``), the commands that set and query it (``set_cmd``, ``get_cmd``) and
how its values turn into command text and back (``formatter``, ``parser``). Drivers call
``validate`` before they talk to the instrument, so a value it cannot take never leaves the
computer.
"""

import functools
import math
import re
import string
from collections.abc import Callable, Iterable, Mapping, Sequence
from copy import deepcopy
from numbers import Integral, Real
from typing import Any, Literal, TypedDict

import numpy as np

__all__ = ["Action", "Bounds", "Channel", "Quantity", "QuantityDefault", "is_number", "newcfg",
           "shown"]

Channel = int | str
Bounds = tuple[float | None, float | None]

# Answers a default bool parser accepts, upper-cased.
_TRUE = frozenset({"1", "ON", "TRUE"})
_FALSE = frozenset({"0", "OFF", "FALSE"})


# Characters that would end a command or start another one if a value or a channel brought them
# into a command line.
_SEPARATORS = "\r\n\0;"


@functools.cache
def _unsafe(termination: str) -> "re.Pattern[str]":
    """A pattern finding the separators and the characters of `termination`."""
    return re.compile(f"[{re.escape(_SEPARATORS + termination)}]")


@functools.cache
def _quoted_fields(template: str) -> dict[str, str]:
    """The fields of a command template that stand inside quotes, with their quote character:
    {"value": "'"} for "DISP:TEXT '{value}'"."""
    quoted: dict[str, str] = {}
    quote = ""
    for literal, field, _, _ in string.Formatter().parse(template):
        for char in literal:
            if not quote and char in "'\"":
                quote = char
            elif char == quote:
                quote = ""
        if field is not None and quote:
            quoted[field] = quote
    return quoted


class QuantityDefault(TypedDict):
    """The default of a quantity: its value, unit and channel ("global" for the instrument)."""

    value: Any
    unit: str
    ch: Channel


def _is_flag(value: object) -> bool:
    """True for Python's and numpy's booleans and for the integers 0 and 1."""
    return isinstance(value, (bool, np.bool_)) or (isinstance(value, Integral) and value in (0, 1))


def is_number(value: object) -> bool:
    """A real number, and not a bool (True is an Integral too, but no number here)."""
    return isinstance(value, Real) and not isinstance(value, (bool, np.bool_))


def _number(x: float) -> str:
    """A bound as people write it: 30, 0.5, 6000000000."""
    return f"{x:.12g}"


class Quantity:
    """A named setting or reading of an instrument.

    ``ch`` is the channel the default belongs to; the text "global" marks a quantity of the
    instrument as a whole. The keyword-only options:

    - ``range``: inclusive ``(low, high)`` bounds (either may be None), or a mapping from channel
      to such a pair; channels missing from the mapping are unbounded. Values outside are
      refused, never clipped.
    - ``choices``: the allowed values, or a mapping from the driver's words to the instrument's
      (``{"internal": "INT"}``), used when sending and mapped back when reading; or a mapping
      from channel to either, for channels that differ. An answer outside the table is refused
      with ValueError naming the quantity and the answer.
    - ``rounding``: "up" or "nearest" lets a number between numeric choices through as the
      next larger one or the closest one (ties go up); the member taken is what is sent and
      recorded. None (the default) refuses every value that is not a member.
    - ``chs``: the channels the quantity lives on, when they are not the driver's ``CHs``
      (inputs "A", "B" beside loops 1, 2); a call without a channel addresses the first.
    - ``keywords``: words a numeric quantity takes besides numbers (``("MIN", "MAX", "DEF",
      "AUTO")``), in any case; sent in the spelling given here and read back as that word.
    - ``delay``: seconds to wait after each setting (an instrument that needs time to take it).
    - ``step`` / ``interval``: set in steps no larger than ``step`` from the last known value,
      ``interval`` seconds apart (a ramp).
    - ``readonly``: a reading; setting it is refused.
    - ``get_cmd`` / ``set_cmd``: command templates with ``{ch}`` and ``{value}``.
    - ``parser`` / ``formatter``: answer text to value and value to command text. The defaults
      follow the type of the default value: float, int, bool (answers 1/0/ON/OFF) or text.
    """

    def __init__(
        self,
        name: str,
        value: Any = None,
        ch: Channel = 1,
        unit: str = "",
        *,
        doc: str = "",
        range: Bounds | Mapping[Channel, Bounds] | None = None,  # noqa: A002 (the option's name)
        choices: Sequence[Any] | Mapping[Any, Any] | None = None,
        readonly: bool = False,
        get_cmd: str | None = None,
        set_cmd: str | None = None,
        parser: Callable[[str], Any] | None = None,
        formatter: Callable[[Any], str] | None = None,
        chs: Sequence[Channel] | None = None,
        keywords: Sequence[str] = (),
        delay: float = 0.0,
        step: float | None = None,
        interval: float = 0.0,
        rounding: Literal["up", "nearest"] | None = None,
    ) -> None:
        self.name = name
        self.default: QuantityDefault = {"value": value, "unit": unit, "ch": ch}
        if isinstance(choices, str):
            raise TypeError(f"{name}: choices must be a sequence or a mapping, not the text {choices!r}")
        self.doc = doc
        self.range = range
        self.choices = choices
        self.readonly = readonly
        self.get_cmd = get_cmd
        self.set_cmd = set_cmd
        self.parser = parser
        self.formatter = formatter
        # Queries filled in, by (template, channel, termination): they do not change.
        self._queries: dict[tuple[str, Channel, str], str] = {}
        self.chs = None if chs is None else tuple(chs)
        self.keywords = tuple(keywords)
        self.delay = delay
        self.step = step
        self.interval = interval
        self.rounding = rounding
        if rounding not in (None, "up", "nearest"):
            raise ValueError(f"{name}: rounding must be 'up', 'nearest' or None, not {rounding!r}")
        if rounding is not None and choices is None:
            raise TypeError(f"{name}: rounding={rounding!r} needs numeric choices to round to")
        if isinstance(keywords, str):
            raise TypeError(f"{name}: keywords must be a sequence of words, not the text {keywords!r}")
        if step is not None and not (is_number(step) and 0 < step < math.inf):
            raise ValueError(f"{name}: step must be a positive number, not {step!r}")
        for option, given in (("delay", delay), ("interval", interval)):
            if not (is_number(given) and 0 <= given < math.inf):
                raise ValueError(f"{name}: {option} must be a finite number of seconds >= 0, "
                                 f"not {given!r}")
        # The kind of value, from the default: it picks the default checks, parser and formatter.
        if isinstance(value, bool):
            self.kind = "bool"
        elif isinstance(value, Integral):
            self.kind = "int"
        elif isinstance(value, Real) or (value is None and range is not None) or (
                isinstance(value, str) and self.keyword(value) is not None):
            self.kind = "float"
        elif isinstance(value, str):
            self.kind = "str"
        else:
            self.kind = "any"
        if value is not None and (range is not None or choices is not None):
            self.validate(value, ch, setting=False)  # a declared default must itself be allowed

    @property
    def ch(self) -> Channel:
        return self.default["ch"]

    @property
    def unit(self) -> str:
        return self.default["unit"]

    @property
    def is_global(self) -> bool:
        return self.default["ch"] == "global"

    def __repr__(self) -> str:
        d = self.default
        text = f"Quantity({self.name!r}, value={d['value']!r}, ch={d['ch']!r}, unit={d['unit']!r}"
        for option in ("doc", "range", "choices", "readonly", "get_cmd", "set_cmd", "parser",
                       "formatter", "chs", "keywords", "delay", "step", "interval", "rounding"):
            given: object = getattr(self, option)
            if given not in (None, False, "", (), 0.0):
                text += f", {option}={given!r}"
        return text + ")"

    def where(self, ch: Channel) -> str:
        """How messages name the quantity: "Voltage on channel 2", "Reference (global)"."""
        return f"{self.name} (global)" if self.is_global else f"{self.name} on channel {ch}"

    def allowed(self, ch: Channel) -> Sequence[Any] | Mapping[Any, Any] | None:
        """The choices that hold on channel ``ch`` (None: any value of the quantity's kind)."""
        choices = self.choices
        if isinstance(choices, Mapping) and choices and all(
                isinstance(v, (Sequence, Mapping, set, frozenset)) and not isinstance(v, str)
                for v in choices.values()):
            per_channel: Mapping[Channel, Any] = choices
            return per_channel.get(ch)
        return choices

    def keyword(self, value: Any) -> str | None:
        """The declared spelling of `value` when it is one of the keywords (any case)."""
        if isinstance(value, str):
            for word in self.keywords:
                if word.upper() == value.strip().upper():
                    return word
        return None

    def bounds(self, ch: Channel) -> Bounds:
        """The (low, high) bounds that hold on channel ``ch``."""
        if self.range is None:
            return (None, None)
        if isinstance(self.range, Mapping):
            return self.range.get(ch, (None, None))
        return self.range

    def validate(self, value: Any, ch: Channel = 1, *, setting: bool = True) -> Any:
        """The value as the driver sends and records it (a number of the quantity's type, a
        choice in the driver's words), or ValueError naming quantity, channel, value and what is
        allowed. ``setting=False`` checks a value without refusing a read-only quantity."""
        where = self.where(ch)
        if setting and self.readonly:
            raise ValueError(f"{where}: read-only, it cannot be set")
        word = self.keyword(value)
        if word is not None:
            return word
        given, value = value, self._coerce(where, value)  # messages show what the caller gave
        choices = self.allowed(ch)
        if choices is not None and value not in choices and self.rounding is not None:
            value = self._rounded(where, value, choices)
        if choices is not None and value not in choices:
            allowed = ", ".join(map(repr, [*choices, *self.keywords]))
            raise ValueError(f"{where}: {given!r} is not one of {allowed}")
        low, high = self.bounds(ch)
        if low is not None or high is not None:
            if not is_number(value):
                raise ValueError(f"{where}: expected a number, not {value!r}")
            number, unit = self._float(where, value), f" {self.unit}" if self.unit else ""
            if low is not None and high is not None and not low <= number <= high:
                raise ValueError(f"{where}: {given!r} is outside {_number(low)}..{_number(high)}{unit}")
            if low is not None and not number >= low:
                raise ValueError(f"{where}: {given!r} is below the minimum {_number(low)}{unit}")
            if high is not None and not number <= high:
                raise ValueError(f"{where}: {given!r} is above the maximum {_number(high)}{unit}")
        return value

    def _rounded(self, where: str, value: Any, choices: Iterable[Any]) -> Any:
        """The numeric member of `choices` that `value` rounds to (see ``rounding``), or `value`
        itself when it is no number (validate then refuses it). ValueError for a number above
        every member when rounding up."""
        if isinstance(value, bool) or not isinstance(value, Real):
            return value
        members = sorted((float(c), c) for c in choices
                         if not isinstance(c, bool) and isinstance(c, Real))
        if not members:
            return value
        number = self._float(where, value)
        if self.rounding == "up":
            # a step computed as 5e-3 * 1.0000000001 is that step, not the next one
            above = [member for key, member in members if key >= number - 1e-9 * abs(number)]
            if not above:
                raise ValueError(f"{where}: {value!r} is above the largest choice, {members[-1][1]!r}")
            return above[0]
        return min(reversed(members), key=lambda m: abs(m[0] - number))[1]  # a tie goes up

    def _coerce(self, where: str, value: Any) -> Any:
        """The value converted to the quantity's kind, or ValueError if it is not one."""
        if self.kind == "bool":
            if _is_flag(value):
                return bool(value)
            raise ValueError(f"{where}: expected True/False or 1/0, not {value!r}")
        if self.kind == "int":
            if not isinstance(value, bool):  # True is an Integral too, but not a number here
                if isinstance(value, Integral):
                    return int(value)
                if isinstance(value, Real) and float(value).is_integer():
                    return int(float(value))
            raise ValueError(f"{where}: expected a whole number, not {value!r}")
        if self.kind == "float":
            if not is_number(value):
                words = f" or one of {', '.join(self.keywords)}" if self.keywords else ""
                raise ValueError(f"{where}: expected a number{words}, not {value!r}")
            return self._float(where, value)
        if self.kind == "str" and not isinstance(value, str):
            raise ValueError(f"{where}: expected a text, not {value!r}")
        return value

    @staticmethod
    def _float(where: str, value: Any) -> float:
        """`value` as a finite float, or ValueError (NaN, infinity, an integer past float's
        range)."""
        try:
            number = float(value)
        except OverflowError:
            number = math.inf
        if not math.isfinite(number):  # no command can carry NaN or infinity
            raise ValueError(f"{where}: {shown(value)} is not a finite number")
        return number

    def format(self, value: Any, ch: Channel = 1) -> str:
        """The command text of a validated value: the instrument's word for a choice, 1/0 for a
        bool, Python's shortest exact text for a number, a keyword as declared."""
        if self.formatter is not None:
            return self.formatter(value)
        if self.keyword(value) is not None:
            return str(value)
        choices = self.allowed(ch)
        if isinstance(choices, Mapping):
            value = choices[value]
        if isinstance(value, bool):
            return "1" if value else "0"
        if isinstance(value, float):
            return repr(value)
        return str(value)

    def parse(self, text: str, ch: Channel = 1) -> Any:
        """The value of an answer: through ``parser`` or the default of the quantity's kind,
        then mapped back to the driver's word if ``choices`` maps words."""
        answer = text.strip()
        word = self.keyword(answer)
        if word is not None:
            return word
        try:
            value: Any = self._parse(answer)
        except (ValueError, OverflowError):  # OverflowError: "inf" read as a whole number
            raise ValueError(f"{self.where(ch)}: cannot read the answer {text!r} "
                             f"as {self.kind}") from None
        choices = self.allowed(ch)
        if isinstance(choices, Mapping):
            for word, code in choices.items():
                if code == value or str(code).upper() == str(value).upper():
                    return word
        # An answer the table does not hold is no setting the driver knows: never recorded.
        if choices is not None and (isinstance(choices, Mapping) or value not in choices):
            codes = list(choices.values() if isinstance(choices, Mapping) else choices)
            shown = ", ".join(map(repr, codes)) if len(codes) <= 8 else \
                f"{codes[0]!r}, {codes[1]!r}, ..., {codes[-1]!r} ({len(codes)} choices)"
            raise ValueError(f"{self.where(ch)}: the answer {answer!r} is not one of {shown}")
        return value

    def _parse(self, answer: str) -> Any:
        if self.parser is not None:
            return self.parser(answer)
        if self.kind == "float":
            return float(answer)
        if self.kind == "int":
            number = float(answer)  # "+1.000E+00" is an integer too
            if not number.is_integer():
                raise ValueError(answer)
            return int(number)
        if self.kind == "bool":
            word = answer.upper()
            if word in _TRUE or word in _FALSE:
                return word in _TRUE
            return bool(int(float(answer)))
        return answer

    def set_command(self, value: Any, ch: Channel, *, termination: str = "") -> str:
        """``set_cmd`` filled with the channel and the formatted value (see ``fill``)."""
        assert self.set_cmd is not None
        return self.fill(self.set_cmd, ch, self.format(value, ch), value, termination=termination)

    def get_command(self, ch: Channel, *, termination: str = "") -> str:
        """``get_cmd`` filled with the channel (see ``fill``)."""
        assert self.get_cmd is not None
        key = (self.get_cmd, ch, termination)
        command = self._queries.get(key)
        if command is None:
            command = self.fill(self.get_cmd, ch, termination=termination)
            if len(self._queries) < 64:  # a few channels; never grows without bound
                self._queries[key] = command
        return command

    def fill(self, template: str, ch: Channel, text: str = "", value: Any = None, *,
             termination: str = "") -> str:
        """`template` with ``{ch}`` and ``{value}`` (the command text `text` of `value`) put in.
        Neither may bring in CR, LF, NUL, ";" or the characters of `termination`, which would
        end the command or add another (ValueError naming quantity and value); a quote character
        of a value that stands inside quotes in the template is doubled, SCPI's escape."""
        channel = str(ch)
        unsafe = _unsafe(termination)
        for what, given, part in (("channel", ch, channel), ("value", value, text)):
            found = unsafe.search(part)
            if found is not None:
                raise ValueError(f"{self.where(ch)}: the {what} {shown(given)} cannot be sent: "
                                 f"its text holds {found.group()!r}, which would end the command "
                                 "or start another")
        quoted = _quoted_fields(template)
        if "value" in quoted:
            text = text.replace(quoted["value"], quoted["value"] * 2)
        if "ch" in quoted:
            channel = channel.replace(quoted["ch"], quoted["ch"] * 2)
        return template.format(ch=channel, value=text)


class Action:
    """A command without a value (auto-gain, run, stop): declared in a driver's ``actions``
    beside its quantities, it becomes a method of the driver called `name` that sends `command`
    and reads the error queue, under the driver's lock. A `command` with ``{ch}`` makes the
    method take the channel (``ch``, default the driver's first); ``delay`` seconds are waited
    after it, as for a setting."""

    def __init__(self, name: str, command: str, *, doc: str = "", delay: float = 0.0) -> None:
        if not name.isidentifier() or name.startswith("_"):
            raise ValueError(f"an action's name is a public method name, not {name!r}")
        self.name = name
        self.command = command
        self.doc = doc
        self.delay = delay
        self.per_channel = "{ch}" in command

    def __repr__(self) -> str:
        doc = f", doc={self.doc!r}" if self.doc else ""
        return f"Action({self.name!r}, {self.command!r}{doc})"


def shown(value: Any) -> str:
    """repr of `value` as messages quote it, cut after 60 characters (a huge number, a long
    text or line)."""
    text = repr(value)
    return text if len(text) <= 64 else text[:60] + " ..."


def newcfg(quants: Iterable[Quantity], CHs: Iterable[Channel]) -> dict[str, dict[Channel, dict[str, Any]]]:
    """Build the configuration mapping: for every quantity name, an entry
    ``{"value": <copy of the default>, "unit": <unit>}`` per channel in ``CHs`` (or in the
    quantity's own ``chs``) and one for "global". A quantity whose default channel is "global"
    gets a single entry shared by every key, so whichever channel a value is recorded under,
    "global" shows it.

    A later quantity with an already used name replaces the earlier one.
    """
    config: dict[str, dict[Channel, dict[str, Any]]] = {}
    channels = list(CHs)
    for q in quants:
        keys = [*(getattr(q, "chs", None) or channels), "global"]
        default = q.default
        if default["ch"] == "global":
            shared = {"value": deepcopy(default["value"]), "unit": default["unit"]}
            config[q.name] = dict.fromkeys(keys, shared)
        else:
            config[q.name] = {
                ch: {"value": deepcopy(default["value"]), "unit": default["unit"]} for ch in keys
            }
    return config
