"""Driving instruments through the driver base: run with `make demo`.

Three walk-throughs: the same steps on VirtualDevice, which keeps the values in a dictionary, and
on ScpiSource (scpi_source.py beside this file), which sends them as SCPI commands over PyVISA to
an instrument simulated by pyvisa-sim; then PowerSupply (power_supply.py), a driver that is only
a table of its quantities. The drivers log every line sent (->) and received (<-) to the logger
"tarn.driver.<ClassName>.<address>"; a logging handler prints them here.
"""

import logging
from collections.abc import Callable
from typing import Any

import numpy as np
import numpy.typing as npt

from tarn.driver.common.plinth import Plinth, compress

from tarn.driver.virtual import VirtualDevice


class RecordingDevice(VirtualDevice):
    """VirtualDevice that also shows every call Plinth makes into the driver."""

    def open(self, **kw: Any) -> None:
        print("  driver.open()")
        super().open(**kw)

    def close(self, **kw: Any) -> None:
        print("  driver.close()")
        super().close(**kw)

    def write(self, name: str, value: Any, **kw: Any) -> Any:
        print(f"  driver.write({name!r}, {value!r}, **{kw})")
        return super().write(name, value, **kw)

    def read(self, name: str, **kw: Any) -> Any:
        value: Any = super().read(name, **kw)
        print(f"  driver.read({name!r}, **{kw}) -> {value!r}")
        return value


def title(text: str) -> None:
    print(f"\n######## {text}")


def step(text: str) -> None:
    print(f"\n== {text}")


def walk_through(device: Plinth, received: Callable[[Any, int], npt.ArrayLike],
                 too_large: float = 1e12) -> None:
    """The steps of the demo on any driver of the two-channel source. `received(dev, ch)` gives
    the waveform that reached the device; `too_large` is a Frequency the device refuses."""
    step("open: the with statement calls the driver's open")
    with device as dev:
        step("set and get values on two channels")
        dev.setValue("Frequency", 2.4e9, ch=1)
        dev.setValue("Power", -3.5, ch=2)
        dev.setValue("Reference", "external", ch="global")
        print("  Frequency CH1 =", dev.getValue("Frequency", ch=1))
        print("  Power CH2     =", dev.getValue("Power", ch=2))
        print("  Power CH1     =", dev.getValue("Power"), " (never written: the default)")

        step("send a waveform as a compressed (values, lengths) pair")
        samples = np.array([0, 0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 1], dtype=np.int8)
        pair = compress(samples)
        print("  compress(samples) =", pair)
        dev.setValue("Waveform", pair, ch=2)
        print("  write received the expanded array; equal to samples:",
              np.array_equal(received(dev, 2), samples))

        step("a value out of range: refused, with the reason")
        try:
            dev.setValue("Frequency", too_large, ch=1)
        except Exception as exc:
            print(f"  {type(exc).__name__}: {exc}")
        print("  config keeps the last good value:", dev.config["Frequency"][1]["value"])

        step("debug mode: print instead of talking to the device")
        dev.setValue("Power", 10, mode="debug", target="lab-3")
        dev.getValue("Power", ch=2, mode="debug")

        step('getValue("quantity"): every default, per channel')
        print(" ", dev.getValue("quantity"))

        step("an undeclared quantity is refused before anything is written")
        try:
            dev.setValue("Voltage", 1.0)
        except AssertionError as exc:
            print("  AssertionError:", exc)

        step("close: leaving the with block calls the driver's close")
    step("after the with block: config keeps the last known values")
    print("  config['Power'] =", {ch: entry["value"] for ch, entry in device.config["Power"].items()})


class Wire(logging.Handler):
    """Prints the lines the drivers log, indented and shortened, and keeps them in `lines`."""

    def __init__(self) -> None:
        super().__init__(logging.DEBUG)
        self.lines: list[str] = []

    def emit(self, record: logging.LogRecord) -> None:
        line = record.getMessage()
        self.lines.append(line)
        print("    " + (line if len(line) <= 96 else line[:92] + " ..."))


title("VirtualDevice: a simulated source that keeps its values in a dictionary")
step("construct: no device access yet")
print("  a driver from a module file:", VirtualDevice())
device = RecordingDevice("192.168.103.7", model="VSG-2")
print("  one defined in this script: ", device)
walk_through(device, lambda dev, ch: dev.memory["Waveform", ch])
del device  # the finaliser closes once more

try:
    from power_supply import PowerSupply
    from scpi_source import ScpiSource
except ImportError as exc:  # pyvisa and pyvisa-sim come with the `examples` extra
    print(f"\n  the SCPI drivers are skipped: {exc} (install them: pip install '.[examples]')")
else:
    wire = Wire()
    drivers = logging.getLogger("tarn.driver")
    drivers.addHandler(wire)
    drivers.setLevel(logging.DEBUG)

    def received(dev: Any, ch: int) -> npt.ArrayLike:
        """The samples of the last waveform sent to channel `ch`, read back from the wire."""
        blocks: list[float] = []
        for line in wire.lines:
            command, _, values = line[3:].partition(" ")
            if line.startswith("-> ") and command in (f"SOUR{ch}:DATA", f"SOUR{ch}:DATA:APP"):
                blocks = [] if command.endswith("DATA") else blocks
                blocks += [float(v) for v in values.split(",")]
        return np.array(blocks)

    title("ScpiSource: SCPI over PyVISA to an instrument simulated by pyvisa-sim")
    step("construct: no device access yet")
    # chunk=8: the 12-sample waveform goes out in two lines, as a long one would.
    source = ScpiSource("192.168.103.7", backend="@sim", model="SG-2", chunk=8)
    print("  a driver from an example file:", source)
    walk_through(source, received)
    print("  the instrument identified itself as:", source.identity)
    del source  # the finaliser closes once more: the resource is already closed

    title("PowerSupply: a driver that is a table of its quantities (power_supply.py)")
    with PowerSupply("192.168.103.8", backend="@sim") as psu:
        print("  the instrument identified itself as:", psu.identity)
        step("set the voltage and the current limit of channel 1, then switch it on")
        psu.setValue("Voltage", 5.0, ch=1)
        psu.setValue("Current", 0.5, ch=1)
        psu.setValue("Output", True, ch=1)
        step("read back: setpoints and readings, parsed from the answers")
        for name in ("Voltage", "Output", "MeasuredVoltage", "MeasuredCurrent"):
            print(f"  {name} CH1 =", repr(psu.getValue(name, ch=1)))
        step("refused before anything is sent: the quantities say what they allow")
        refused: list[tuple[str, float, int | str]] = [
            ("Voltage", 7.0, 2), ("Current", -0.1, 1), ("Voltage", float("nan"), 1),
            ("MeasuredVoltage", 1.0, 1), ("Voltage", 5.0, "global"), ("Voltag", 5.0, 1)]
        for name, value, ch in refused:
            try:
                psu.setValue(name, value, ch=ch)
            except (ValueError, AssertionError) as exc:
                print(f"  {type(exc).__name__}: {str(exc).replace(str(psu), '<driver>')}")
        print("  config['Voltage'] =",
              {ch: entry["value"] for ch, entry in psu.config["Voltage"].items()})
        step("close: leaving the with block")

    title("Serving the power supply over EPICS PV Access, driven from a RemoteDriver")
    try:
        from tarn.remote import RemoteDriver
        from tarn.serve import serve
        with PowerSupply("192.168.103.8", backend="@sim") as psu, serve(psu, "DEMO:PSU:") as server:
            step("serve(psu, 'DEMO:PSU:'): one PV per quantity and channel, on 127.0.0.1 only")
            print("  " + ", ".join(server.names[:4]) + f", ... ({len(server.names)} PVs)")
            # server.conf reaches this server; another computer sets EPICS_PVA_ADDR_LIST instead
            with RemoteDriver("DEMO:PSU:", conf=server.conf) as remote:
                step("a RemoteDriver sets and reads through the served driver")
                remote.setValue("Voltage", 3.3, ch=2)
                print("  Voltage CH2 =", remote.getValue("Voltage", ch=2),
                      " (the served driver's config:", psu.config["Voltage"][2]["value"], ")")
                step("a refusal comes back with the driver's own message")
                try:
                    remote.setValue("Voltage", 7.0, ch=2)
                except ValueError as exc:
                    print(f"  ValueError: {exc}")
    except ImportError as exc:  # p4p comes with the `serve` extra
        print(f"\n  serving is skipped: {exc}")
