"""Multimeter: a 6.5-digit digital multimeter driven with SCPI over PyVISA.

The measurement function (DC or AC volts or amps, 2- or 4-wire resistance), its range (a number,
or MIN, MAX, DEF, AUTO), its integration time in power-line cycles (NPLC: 0.02, 0.2, 1, 10 or
100) and a reading (READ?: one measurement triggered and returned). The instrument keeps a range
and an NPLC per function, so those commands start with the function selected now (VOLT:AC:RANG),
which the driver asks for first. AC functions have no NPLC: the instrument refuses it there.
``backend="@sim"`` opens the instrument simulated by pyvisa-sim from multimeter.yaml.

    with Multimeter("192.168.1.44", backend="@sim") as dmm:
        dmm.setValue("Function", "resistance")      # -> FUNC "RES"
        dmm.setValue("Range", "AUTO")               # -> FUNC?  <- "RES", -> RES:RANG:AUTO 1
        dmm.getValue("Reading")                     # -> READ?  <- +1.00012345E+03
"""

from pathlib import Path
from typing import Any

from tarn.driver.common.quantity import Channel, Quantity
from tarn.driver.visa import VisaDriver

__all__ = ["Multimeter"]

# The driver's words for the functions, and the instrument's.
FUNCTIONS = {"dc_voltage": "VOLT", "ac_voltage": "VOLT:AC", "dc_current": "CURR",
             "ac_current": "CURR:AC", "resistance": "RES", "4w_resistance": "FRES"}


class Multimeter(VisaDriver):
    """Function, range, NPLC and a reading of a one-input multimeter."""

    simulation = Path(__file__).with_name("multimeter.yaml")
    CHs = [1]
    quants = [
        Quantity("Function", "dc_voltage", "global", choices=FUNCTIONS,
                 parser=lambda answer: answer.strip('"'), get_cmd="FUNC?", set_cmd='FUNC "{value}"'),
        Quantity("Range", "AUTO", "global", range=(0, None), keywords=("MIN", "MAX", "DEF", "AUTO"),
                 doc="of the function selected now: V, A or ohms"),
        Quantity("NPLC", 10.0, "global", choices=(0.02, 0.2, 1, 10, 100), doc="DC and resistance"),
        Quantity("Reading", 0.0, "global", readonly=True, get_cmd="READ?"),
    ]

    def _prefix(self) -> str:
        return self.query("FUNC?").strip('"')  # what the function's own commands start with

    def set_range(self, value: Any, ch: Channel) -> None:
        prefix = self._prefix()
        self.send(f"{prefix}:RANG:AUTO {int(value == 'AUTO')}")
        if value != "AUTO":
            self.send(f"{prefix}:RANG {self.quantities['Range'].format(value)}")

    def get_range(self, ch: Channel) -> Any:
        prefix = self._prefix()
        if self.query(f"{prefix}:RANG:AUTO?") == "1":  # SCPI answers a boolean 1 or 0
            return "AUTO"
        return self.quantities["Range"].parse(self.query(f"{prefix}:RANG?"))

    def set_nplc(self, value: Any, ch: Channel) -> None:
        self.send(f"{self._prefix()}:NPLC {self.quantities['NPLC'].format(value)}")

    def get_nplc(self, ch: Channel) -> Any:
        return self.quantities["NPLC"].parse(self.query(f"{self._prefix()}:NPLC?"))
