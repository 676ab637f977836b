"""TemperatureController: a two-loop cryogenic temperature controller over PyVISA.

Inputs "A" and "B" read temperatures in kelvin (KRDG?); control loops 1 and 2 each have a
setpoint and a heater range (off, low, medium, high). The setpoint moves in steps of at most 5 K,
half a second apart, and the driver waits half a second after each step before it goes on, so
the loop is never asked to jump hundreds of kelvin at once. The instrument's commands take their
arguments after a space, comma-separated (SETP 1,77.0), and it answers with CR LF.

This kind of controller has no SCPI error queue: it reports a command it could not carry out in
the standard event status register, which *ESR? reads (and clears); a nonzero answer is an
error, so `error_query` is "*ESR?". ``backend="@sim"`` opens the instrument simulated by
pyvisa-sim from temperature_controller.yaml beside this file; a serial one takes its line
settings through `resource_options` (baud_rate, data_bits, parity).

    with TemperatureController("192.168.1.45", backend="@sim") as tc:
        tc.setValue("HeaterRange", "medium", ch=1)    # -> RANGE 1,2, *ESR?
        tc.setValue("Setpoint", 70.0, ch=1)           # from 80 K: SETP 1,75.0, then SETP 1,70.0
        tc.wait_for("Temperature", 70.0, tolerance=0.1, timeout=600, ch="A")
"""

from pathlib import Path

from tarn.driver.common.quantity import Quantity
from tarn.driver.visa import VisaDriver

__all__ = ["TemperatureController"]


class TemperatureController(VisaDriver):
    """Two inputs, two control loops with setpoint and heater range, and the heater output."""

    simulation = Path(__file__).with_name("temperature_controller.yaml")
    error_query = "*ESR?"
    read_termination = write_termination = "\r\n"
    CHs = [1, 2]
    quants = [
        Quantity("Temperature", 0.0, unit="K", chs=("A", "B"), readonly=True, get_cmd="KRDG? {ch}"),
        Quantity("Setpoint", 300.0, unit="K", range=(0, 400), step=5.0, interval=0.5, delay=0.5,
                 get_cmd="SETP? {ch}", set_cmd="SETP {ch},{value}"),
        Quantity("HeaterRange", "off", choices={"off": 0, "low": 1, "medium": 2, "high": 3},
                 get_cmd="RANGE? {ch}", set_cmd="RANGE {ch},{value}"),
        Quantity("HeaterOutput", 0.0, unit="%", readonly=True, get_cmd="HTR? {ch}"),
    ]
