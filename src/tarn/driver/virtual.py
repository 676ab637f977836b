"""VirtualDevice: a simulated two-channel signal source, and the template for writing a driver.

A driver derives from ``Plinth``, declares its channels (``CHs``) and quantities (``quants``) at
class level, and implements ``open``, ``close``, ``write`` and ``read``. Clients then use the
generic ``setValue(name, value, ch=...)`` and ``getValue(name, ch=...)``; ``Plinth`` checks the
name and channel, expands compressed waveforms, and records every value in ``config``. ``write``
validates the value through its quantity record (range, choices, type), so a value the
instrument cannot take is refused with ValueError before it reaches the device.

Instruments that speak SCPI or another message-based protocol derive from
``tarn.driver.visa.VisaDriver`` instead, where the quantities' command templates are the driver.
"""

from typing import Any

from tarn.driver.common.plinth import Plinth
from tarn.driver.common.quantity import Quantity

__all__ = ["VirtualDevice"]


class VirtualDevice(Plinth):
    """A simulated instrument: ``read`` answers what ``write`` stored, or None if never written."""

    CHs = [1, 2]
    quants = [
        Quantity("Frequency", value=1e9, unit="Hz", range=(9e3, 6e9)),
        Quantity("Power", value=-10.0, unit="dBm", range=(-130, 20)),
        Quantity("Output", value=False),
        Quantity("Waveform", value=None),
        Quantity("Reference", value="internal", ch="global", choices=["internal", "external"]),
    ]

    def __init__(self, addr: str = "192.168.1.42", **kw: Any) -> None:
        super().__init__(addr, **kw)  # sets addr, host, port, ..., config and quantities
        self.connected = False
        self.memory: dict[tuple[str, Any], Any] = {}  # (name, channel) -> value last written

    def open(self, **kw: Any) -> None:
        self.connected = True

    def close(self, **kw: Any) -> None:
        # Called by __exit__ and again by the finaliser: closing twice must be harmless.
        self.connected = False

    def write(self, name: str, value: Any, **kw: Any) -> Any:
        ch = self._channel(name, kw)
        value = self.quantities[name].validate(value, ch)  # ValueError, and nothing stored
        self.memory[name, ch] = value
        return value  # what Plinth records as the new value in config: never forget it

    def read(self, name: str, **kw: Any) -> Any:
        # None means "no fresh value": getValue then answers the value recorded in config.
        return self.memory.get((name, self._channel(name, kw)))

    def _channel(self, name: str, kw: dict[str, Any]) -> Any:
        # kw holds the caller's keywords unchanged; the channel defaults to 1 here, as in Plinth.
        # An instrument-wide quantity has one value, whichever channel the caller names.
        return "global" if self.quantities[name].is_global else kw.get("ch", 1)
