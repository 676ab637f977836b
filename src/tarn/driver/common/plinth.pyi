"""The driver base: the abstract class Plinth with its quantity table, and the run-length codec
compress/decompress for waveforms."""

import re as re
import sys as sys
from abc import ABC as ABC, abstractmethod as abstractmethod
from copy import deepcopy as deepcopy
from types import TracebackType
from typing import Any, Literal, Self

import numpy as np
import numpy.typing as npt

from .quantity import Quantity as Quantity, newcfg as newcfg

PATTERN: str
"""The address-pattern template for drivers.

A regular expression for LAN addresses ``192.168.<seg>.<host>`` once formatted with ``seg`` set
to an alternation of third octets, such as ``Plinth.segment[1]`` ("103|104"). It is anchored at
the start only. Nothing in tarn applies it; drivers may.
"""

__codec_kernel__: str
"""The name of the codec's kernel set in use.

"portable", "sse2" or "avx2", chosen when the module loads; the environment variable
``TARN_CODEC_KERNEL`` forces one.
"""

def compress(value: Any) -> Any:
    """Code a numpy array as the runs of equal neighbours it is made of.

    Two neighbours share a run when numpy's difference between them is zero (for booleans: when
    they are equal), so 0.0 and -0.0 share a run and two NaNs never do. ``decompress(*pair)``
    gives the array back.

    Args:
        value: a one-dimensional numpy array, or any other object.

    Returns:
        For a numpy array the tuple ``(values, lengths)``, that is the first element of every run
        (with the array's dtype) and the length of every run (numpy's default integer type). Any
        other object is returned itself, unchanged. An empty array has no runs: it gives two empty
        arrays.

    Raises:
        TypeError: numpy's error for elements it cannot subtract, such as text.

    Example:
        ``compress(np.array([3, 3, 3, 7, 7, 3]))`` gives ``(array([3, 7, 3]), array([3, 2, 1]))``.
    """

def decompress(values: npt.ArrayLike, lengths: npt.ArrayLike) -> np.ndarray:
    """Expand runs back into an array: every value repeated as often as its length says.

    The same as ``numpy.repeat(values, lengths)``: a new one-dimensional array.

    Args:
        values: the run values, an array or a sequence.
        lengths: one length per value, or a single length for all; 0 drops its value.

    Raises:
        ValueError: negative lengths, a number of lengths that matches neither one nor the
            number of values, or lengths whose total is more than an array can hold.
    """

class Plinth(ABC):
    """The base class of every instrument driver.

    A driver derives from ``Plinth``, lists its channels in ``CHs`` and its quantities in
    ``quants`` at class level, and implements ``open``, ``close``, ``write`` and ``read``
    (``tarn.driver.virtual.VirtualDevice`` is the template). Clients then set and read every
    quantity with ``setValue(name, value, ch=...)`` and ``getValue(name, ch=...)``, and the driver
    keeps the last known value of each in ``config``.

    A driver is a context manager: ``with`` calls ``open`` on entry and ``close`` on exit. The
    finaliser calls ``close`` once more, so ``close`` must tolerate a closed device.
    """

    segment: tuple[str, str]
    """Address segment data for drivers, ``("na", "103|104")``; the second element is the
    ``seg`` of ``PATTERN``."""
    CHs: list[int | str]
    """The driver's channel identifiers (class level; default ``[1]``)."""
    quants: list[Quantity]
    """The driver's quantities (class level; default empty)."""

    addr: str
    """The device address, as given (never parsed)."""
    host: Any
    """Keyword ``host``; default "127.0.0.1", whatever ``addr`` says."""
    port: Any
    """Keyword ``port``; default 0."""
    timeout: Any
    """Keyword ``timeout``; default 3.0."""
    model: Any
    """Keyword ``model``; default the text "None", not the None object."""
    srate: Any
    """Keyword ``srate`` (sample rate); default -1."""
    config: dict[str, dict[int | str, dict[str, Any]]]
    """The last known value of every quantity, in ``config[name][channel]["value"]``."""
    quantities: dict[str, Quantity]
    """The quantities by name (a later one with the same name replaces an earlier one)."""

    def __init__(self, addr: str = "192.168.1.42", **kw: Any) -> None:
        """Store the address and the connection keywords, and build ``config`` and
        ``quantities`` from the class's ``quants`` and ``CHs``. Nothing is opened.

        Args:
            addr: the device address; exactly a ``str``.
            **kw: ``host``, ``port``, ``timeout``, ``model`` and ``srate`` are stored as
                attributes, unchecked; other keywords are accepted and ignored.

        A driver's own ``__init__`` must call ``Plinth.__init__(self, addr, **kw)``.
        """

    def __repr__(self) -> str:
        """The driver's description, ``self.info()``."""

    def __del__(self) -> None:
        """Call ``close``; an ``Exception`` from it is printed as ``Failed to close <driver>:
        <message>`` instead of raised."""

    def __enter__(self) -> Self:
        """Call ``open()`` and return the driver."""

    def __exit__(
        self,
        exception_type: type[BaseException] | None,
        exception_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        """Call ``close()``; an exception of the ``with`` body still propagates."""

    def info(self) -> str:
        """One line describing the driver, also its ``repr()`` and ``str()``.

        ``🔖Driver(addr=..., model=..., srate=..., host=..., port=...)`` followed by
        ``<path>``, the file of the module that defines the driver's class, when that can be
        found.
        """

    def dict_from_quantity(self) -> dict[str, dict[str, Any]]:
        """Every quantity's default value, per channel.

        Returns:
            A new dict with a key ``"CH<channel>"`` per entry of ``CHs`` and ``"CHglobal"``. The
            channel keys all map to one shared dict of the per-channel quantities' defaults;
            ``"CHglobal"`` maps to the defaults of the quantities whose channel is "global". The
            values are deep copies of the defaults; ``config`` is not consulted.
        """

    @abstractmethod
    def open(self, **kw: Any) -> None:
        """Connect to the device (a driver implements this; ``with`` calls it)."""

    @abstractmethod
    def close(self, **kw: Any) -> None:
        """Disconnect (a driver implements this). It is called again by the finaliser, so it
        must tolerate a device that is already closed."""

    @abstractmethod
    def write(self, name: str, value: Any, **kw: Any) -> Any:
        """Send one setting to the device (a driver implements this).

        Args:
            name: the quantity.
            value: the value (a compressed waveform arrives expanded).
            **kw: the keywords of the ``setValue`` call, unchanged.

        Returns:
            What ``config`` should record as the quantity's new value.
        """

    @abstractmethod
    def read(self, name: str, **kw: Any) -> Any:
        """Read one value from the device (a driver implements this).

        Args:
            name: the quantity.
            **kw: the keywords of the ``getValue`` call, unchanged.

        Returns:
            The value read, or None for "no fresh value": ``getValue`` then answers the value
            recorded in ``config``.
        """

    def cancel(self) -> None:
        """Stop what the device is doing; the base does nothing. Drivers may override it."""

    def check(self, name: str, channel: int | str) -> None:
        """Refuse an undeclared quantity or channel.

        Raises:
            AssertionError: ``<driver>: quantity(<name>) not Found!`` for a name missing from
                ``quantities``; ``<driver>: channel(<channel>) not found!`` for a channel that is
                neither in ``CHs`` nor "global". Under ``python -O`` nothing is checked.
        """

    def update(self, name: str, value: Any, channel: int | str = 1) -> None:
        """Record ``value`` as the last known value: ``config[name][channel]["value"]``."""

    def setValue(
        self, name: str, value: Any, *, ch: int | str = 1, mode: Literal["run", "debug"] | str = "run",
        target: Any = "", **kw: Any,
    ) -> None:
        """Set a quantity on a channel.

        Checks the name and channel, expands a ``"Waveform"`` given as a tuple
        ``(values, lengths)`` with ``decompress``, calls ``write(name, value, **kw)`` with the
        caller's keywords unchanged and records what ``write`` returns in ``config``.

        Args:
            name: the quantity, exactly a ``str``.
            value: the value to set.
            ch: the channel, a member of ``CHs`` or "global" (default 1).
            mode: "debug" prints ``SET <name> <value> <target>`` instead: nothing is written
                and ``config`` is unchanged.
            target: shown in the debug line.
            **kw: passed on to ``write``.

        Raises:
            AssertionError: an undeclared quantity or channel (see ``check``).
        """

    def getValue(
        self, name: str, *, ch: int | str = 1, mode: Literal["run", "debug"] | str = "run",
        target: Any = "", **kw: Any,
    ) -> Any:
        """Read a quantity on a channel.

        ``"quantity"`` returns ``dict_from_quantity()``, and the name of an attribute of the
        driver returns that attribute (``getValue("config")``). Otherwise the name and channel
        are checked and ``read(name, **kw)`` is called with the caller's keywords unchanged: a
        value other than None is recorded in ``config`` and returned; None returns the value
        last recorded there.

        Args:
            name: the quantity, exactly a ``str``.
            ch: the channel, a member of ``CHs`` or "global" (default 1).
            mode: "debug" prints ``GET <name> <target>`` and returns None without reading.
            target: shown in the debug line.
            **kw: passed on to ``read``.

        Raises:
            AssertionError: an undeclared quantity or channel (see ``check``).
        """
