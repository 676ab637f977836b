"""ScpiSource: a two-channel signal source driven with SCPI commands over PyVISA.

The VirtualDevice template with a real wire behind it, written on VisaDriver: the quantities'
command templates are the driver. ``write`` sends one SCPI setting and then reads the
instrument's error queue (``SYST:ERR?``), so a value the instrument refuses raises
``InstrumentError`` and ``config`` keeps the last good value; ``read`` queries and converts the
answer. The waveform goes out in blocks of ``chunk`` samples, through ``set_waveform``.

``backend="@sim"`` opens the instrument simulated by pyvisa-sim from scpi_source.yaml beside
this file; "" (the default) takes the system's VISA library, "@py" pyvisa-py.

    with ScpiSource("192.168.1.42", backend="@sim") as source:
        source.setValue("Frequency", 2.4e9, ch=1)     # -> SOUR1:FREQ 2400000000.0, SYST:ERR?
        source.getValue("Power", ch=2)                # -> SOUR2:POW?   <- -10.00   gives -10.0
"""

from pathlib import Path
from typing import Any

import numpy as np

from tarn.driver.common.quantity import Channel, Quantity
from tarn.driver.visa import VisaDriver

class ScpiSource(VisaDriver):
    """Frequency, power, output state and an arbitrary waveform per channel, and an
    instrument-wide reference oscillator."""

    simulation = Path(__file__).with_name("scpi_source.yaml")
    CHs = [1, 2]
    quants = [
        Quantity("Frequency", 1e9, unit="Hz",
                 get_cmd="SOUR{ch}:FREQ?", set_cmd="SOUR{ch}:FREQ {value}"),
        Quantity("Power", -10.0, unit="dBm",
                 get_cmd="SOUR{ch}:POW?", set_cmd="SOUR{ch}:POW {value}"),
        Quantity("Output", False, get_cmd="OUTP{ch}?", set_cmd="OUTP{ch} {value}"),
        Quantity("Waveform", None, doc="samples, sent by set_waveform; never read back"),
        Quantity("Reference", "internal", "global", choices={"internal": "INT", "external": "EXT"},
                 get_cmd="ROSC:SOUR?", set_cmd="ROSC:SOUR {value}"),
    ]

    def __init__(self, addr: str = "192.168.1.42", *, chunk: int = 256, **kw: Any) -> None:
        """chunk: waveform samples per SOURn:DATA line; other keywords go to VisaDriver."""
        super().__init__(addr, **kw)
        if chunk < 1:
            raise ValueError(f"chunk must be a positive integer, not {chunk!r}")
        self.chunk = chunk

    def set_waveform(self, value: Any, ch: Channel) -> None:
        samples = np.asarray(value)
        samples = samples.astype(np.int8) if samples.dtype.kind == "b" else samples  # 1 and 0
        if samples.ndim != 1 or not samples.size or samples.dtype.kind not in "iuf" \
                or not np.isfinite(samples).all():  # SCPI has no text for NaN or infinity
            raise ValueError(f"Waveform on channel {ch}: expected a non-empty 1-D array of finite "
                             f"real numbers, got {samples.dtype} of shape {samples.shape}")
        for start in range(0, samples.size, self.chunk):
            block = ",".join(map(str, samples[start:start + self.chunk].tolist()))
            self.send(f"SOUR{ch}:DATA{':APP' if start else ''} {block}")

    def get_waveform(self, ch: Channel) -> None:
        return None  # the instrument does not send its waveform back: config answers
