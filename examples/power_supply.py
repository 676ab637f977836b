"""PowerSupply: a two-channel laboratory power supply driven with SCPI over PyVISA.

Per channel: the voltage setpoint and current limit (channel 1 gives 0-30 V and 0-3 A, channel 2
0-6 V and 0-5 A; values outside are refused before anything is sent), the output state, and the
measured voltage and current (readings: setting them is refused). ``backend="@sim"`` opens the
instrument simulated by pyvisa-sim from power_supply.yaml beside this file.

    with PowerSupply("192.168.1.43", backend="@sim") as psu:
        psu.setValue("Voltage", 12.5, ch=1)         # -> SOUR1:VOLT 12.5, SYST:ERR?
        psu.setValue("Output", True, ch=1)          # -> OUTP1 1, SYST:ERR?
        psu.getValue("MeasuredCurrent", ch=1)       # -> MEAS1:CURR?   <- 0.25   gives 0.25
"""

from pathlib import Path

from tarn.driver.common.quantity import Quantity
from tarn.driver.visa import VisaDriver

__all__ = ["PowerSupply"]


class PowerSupply(VisaDriver):
    """Two outputs with voltage setpoint, current limit, on/off, and measured values."""

    simulation = Path(__file__).with_name("power_supply.yaml")
    idn_pattern = r"^TARN[^,]*,(PS-2|LOOPBACK),"  # for tarn.driver.discover
    CHs = [1, 2]
    quants = [
        Quantity("Voltage", 0.0, unit="V", range={1: (0, 30), 2: (0, 6)},
                 get_cmd="SOUR{ch}:VOLT?", set_cmd="SOUR{ch}:VOLT {value}"),
        Quantity("Current", 0.1, unit="A", range={1: (0, 3), 2: (0, 5)},
                 get_cmd="SOUR{ch}:CURR?", set_cmd="SOUR{ch}:CURR {value}"),
        Quantity("Output", False, get_cmd="OUTP{ch}?", set_cmd="OUTP{ch} {value}"),
        Quantity("MeasuredVoltage", 0.0, unit="V", readonly=True, get_cmd="MEAS{ch}:VOLT?"),
        Quantity("MeasuredCurrent", 0.0, unit="A", readonly=True, get_cmd="MEAS{ch}:CURR?"),
    ]
