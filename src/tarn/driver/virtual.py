"""VirtualDevice: a simulated two-channel signal source, and the template for writing a driver.

A driver derives from ``Plinth``, declares its channels (``CHs``) and quantities (``quants``) at
class level, and implements ``open``, ``close``, ``write`` and ``read``. Clients then use the
generic ``setValue(name, value, ch=...)`` and ``getValue(name, ch=...)``; ``Plinth`` checks the
name and channel, expands compressed waveforms, and records every value in ``config``.
"""

from typing import Any

from tarn.driver.common.plinth import Plinth
from tarn.driver.common.quantity import Quantity

__all__ = ["VirtualDevice"]


class VirtualDevice(Plinth):
    """A simulated instrument: ``read`` answers what ``write`` stored, or None if never written."""

    CHs = [1, 2]
    quants = [
        Quantity("Frequency", value=1e9, unit="Hz"),
        Quantity("Power", value=-10.0, unit="dBm"),
        Quantity("Output", value=False),
        Quantity("Waveform", value=None),
        Quantity("Reference", value="internal", ch="global"),
    ]

    def __init__(self, addr: str = "192.168.1.42", **kw):
        super().__init__(addr, **kw)  # sets addr, host, port, ..., config and quantities
        self.connected = False
        self.memory: dict[tuple[str, Any], Any] = {}  # (name, channel) -> value last written

    def open(self, **kw):
        self.connected = True

    def close(self, **kw):
        # Called by __exit__ and again by the finaliser: closing twice must be harmless.
        self.connected = False

    def write(self, name: str, value: Any, **kw):
        # kw holds the caller's keywords unchanged; the channel defaults to 1 here, as in Plinth.
        self.memory[name, kw.get("ch", 1)] = value
        return value  # what Plinth records as the new value in config

    def read(self, name: str, **kw):
        # None means "no fresh value": getValue then answers the value recorded in config.
        return self.memory.get((name, kw.get("ch", 1)))
