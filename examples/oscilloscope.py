"""Oscilloscope: a four-channel digital oscilloscope with SCPI commands over PyVISA.

Per channel: the vertical scale and offset, the input coupling and whether the channel is shown;
for the instrument: the timebase, the trigger's source, level and slope, and the run, stop and
single actions. ``getValue("Trace", ch=n)`` reads channel n's last acquisition as one IEEE 488.2
block of unsigned 8-bit codes and returns it scaled by the preamble as two float arrays, the
times in seconds and the voltages in volts. pyvisa-sim cannot answer a query with a binary block,
so this example ships no simulation: its tests script the exchange with expect_exchange.

    with Oscilloscope("TCPIP0::10.0.0.9::inst0::INSTR") as scope:
        scope.setValue("Scale", 0.2, ch=2)          # -> :CHAN2:SCAL 0.2, SYST:ERR?
        scope.single()                              # -> :SING, SYST:ERR?
        times, volts = scope.getValue("Trace", ch=2)
"""

from typing import Any

import numpy as np
from numpy.typing import NDArray

from tarn.driver.common.quantity import Action, Channel, Quantity
from tarn.driver.visa import VisaDriver

__all__ = ["Oscilloscope"]

SOURCES = {**{f"ch{n}": f"CHAN{n}" for n in range(1, 5)}, "external": "EXT", "line": "LINE"}


def channel(name: str, mnemonic: str, value: Any, unit: str = "", **options: Any) -> Quantity:
    """A setting of each channel, :CHAN<n>:<mnemonic>."""
    header = f":CHAN{{ch}}:{mnemonic}"
    return Quantity(name, value, unit=unit, get_cmd=f"{header}?", set_cmd=f"{header} {{value}}", **options)


class Oscilloscope(VisaDriver):
    """Scale, offset, coupling and display per channel; timebase; trigger; run/stop/single;
    traces as (seconds, volts) arrays."""

    idn_pattern = r"^[^,]+,[^,]*(DSO|MSO)"
    CHs = [1, 2, 3, 4]
    quants = [
        channel("Scale", "SCAL", 1.0, "V/div", range=(1e-3, 10)),
        channel("Offset", "OFFS", 0.0, "V", range=(-100, 100)),
        channel("Coupling", "COUP", "dc", choices={"dc": "DC", "ac": "AC", "ground": "GND"}),
        channel("Display", "DISP", True),
        Quantity("Timebase", 1e-3, "global", "s/div", range=(1e-9, 50), get_cmd=":TIM:SCAL?", set_cmd=":TIM:SCAL {value}"),
        Quantity("TriggerSource", "ch1", "global", choices=SOURCES, get_cmd=":TRIG:SOUR?", set_cmd=":TRIG:SOUR {value}"),
        Quantity("TriggerLevel", 0.0, "global", "V", get_cmd=":TRIG:LEV?", set_cmd=":TRIG:LEV {value}"),
        Quantity("TriggerSlope", "rising", "global", choices={"rising": "POS", "falling": "NEG"},
                 get_cmd=":TRIG:SLOP?", set_cmd=":TRIG:SLOP {value}"),
        Quantity("Trace", None, readonly=True, doc="(seconds, volts) of the channel's last acquisition"),
    ]
    actions = [Action("run", ":RUN", doc="Acquires continuously."), Action("stop", ":STOP", doc="Stops acquiring."),
               Action("single", ":SING", doc="Acquires once, at the next trigger.")]

    def get_trace(self, ch: Channel) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
        self.send(f":WAV:SOUR CHAN{ch}")
        self.send(":WAV:FORM BYTE")
        # format, type, points, count, x increment, x origin, x reference, y increment, y origin, y reference
        pre = [float(field) for field in self.query(":WAV:PRE?").split(",")]
        codes = self.query_block(":WAV:DATA?", "B")
        times = (np.arange(codes.size, dtype=np.float64) - pre[6]) * pre[4] + pre[5]
        return times, (codes - pre[9]) * pre[7] + pre[8]
