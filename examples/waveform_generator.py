"""WaveformGenerator: a two-channel function and arbitrary-waveform generator over PyVISA.

Per channel: the shape (sine, square, ramp, pulse, noise, dc, or "arbitrary", which plays the
samples last uploaded), frequency, amplitude (peak to peak into a high-impedance load), offset
and the output state. The samples of an arbitrary waveform go to the channel's memory as one
IEEE 488.2 binary block of float32 values (SOURn:DATA #...), each within -1..1 of full scale,
through ``set_waveform``; they cannot be read back, so ``getValue("Waveform")`` answers what
``config`` recorded. A waveform given compressed, ``compress(samples)``, arrives expanded.

    with WaveformGenerator("TCPIP0::10.0.0.7::5025::SOCKET", backend="@py") as gen:
        gen.setValue("Waveform", np.sin(np.linspace(0, 2 * np.pi, 1000)), ch=1)
        gen.setValue("Shape", "arbitrary", ch=1)     # -> SOUR1:FUNC ARB
        gen.setValue("Output", True, ch=1)           # -> OUTP1 1
"""

from typing import Any

import numpy as np

from tarn.driver.common.quantity import Channel, Quantity
from tarn.driver.visa import VisaDriver

__all__ = ["WaveformGenerator"]

SHAPES = {"sine": "SIN", "square": "SQU", "ramp": "RAMP", "pulse": "PULS", "noise": "NOIS",
          "dc": "DC", "arbitrary": "ARB"}


class WaveformGenerator(VisaDriver):
    """Shape, frequency, amplitude, offset, output and an arbitrary waveform per channel."""

    CHs = [1, 2]
    quants = [
        Quantity("Shape", "sine", choices=SHAPES, get_cmd="SOUR{ch}:FUNC?", set_cmd="SOUR{ch}:FUNC {value}"),
        Quantity("Frequency", 1e3, unit="Hz", range=(1e-6, 30e6),
                 get_cmd="SOUR{ch}:FREQ?", set_cmd="SOUR{ch}:FREQ {value}"),
        Quantity("Amplitude", 0.1, unit="Vpp", range=(1e-3, 10),
                 get_cmd="SOUR{ch}:VOLT?", set_cmd="SOUR{ch}:VOLT {value}"),
        Quantity("Offset", 0.0, unit="V", range=(-5, 5),
                 get_cmd="SOUR{ch}:VOLT:OFFS?", set_cmd="SOUR{ch}:VOLT:OFFS {value}"),
        Quantity("Output", False, get_cmd="OUTP{ch}?", set_cmd="OUTP{ch} {value}"),
        Quantity("Waveform", None, doc="float32 samples within -1..1, 8 to 65536 of them"),
    ]

    def set_waveform(self, value: Any, ch: Channel) -> Any:
        samples = np.asarray(value, dtype=np.float32)
        if samples.ndim != 1 or not 8 <= samples.size <= 65536 or not (abs(samples) <= 1).all():
            raise ValueError(f"Waveform on channel {ch}: expected 8 to 65536 samples within -1..1, "
                             f"got an array of shape {samples.shape}")
        self.send_block(f"SOUR{ch}:DATA", samples)
        return samples  # what the instrument holds: config records the float32 samples

    def get_waveform(self, ch: Channel) -> None:
        return None  # the instrument does not send its waveform back: config answers
