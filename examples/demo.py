"""Driving a (simulated) instrument through the driver base: run with `make demo`."""

import numpy as np

from tarn.driver.common.plinth import compress
from tarn.driver.virtual import VirtualDevice


class RecordingDevice(VirtualDevice):
    """VirtualDevice that also shows every call Plinth makes into the driver."""

    def open(self, **kw):
        print("  driver.open()")
        super().open(**kw)

    def close(self, **kw):
        print("  driver.close()")
        super().close(**kw)

    def write(self, name, value, **kw):
        print(f"  driver.write({name!r}, {value!r}, **{kw})")
        return super().write(name, value, **kw)

    def read(self, name, **kw):
        value = super().read(name, **kw)
        print(f"  driver.read({name!r}, **{kw}) -> {value!r}")
        return value


def step(title):
    print(f"\n== {title}")


step("construct: no device access yet")
print("  a driver from a module file:", VirtualDevice())
device = RecordingDevice("192.168.103.7", model="VSG-2")
print("  one defined in this script: ", device)

with device as dev:
    step("set and get values on two channels")
    dev.setValue("Frequency", 2.4e9, ch=1)
    dev.setValue("Power", -3.5, ch=2)
    dev.setValue("Reference", "external", ch="global")
    print("  Frequency CH1 =", dev.getValue("Frequency", ch=1))
    print("  Power CH2     =", dev.getValue("Power", ch=2))
    print("  Power CH1     =", dev.getValue("Power"), " (never written: the default from config)")

    step("send a waveform as a compressed (values, lengths) pair")
    samples = np.array([0, 0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 1], dtype=np.int8)
    pair = compress(samples)
    print("  compress(samples) =", pair)
    dev.setValue("Waveform", pair, ch=2)
    print("  write received the expanded array; equal to samples:",
          np.array_equal(dev.memory["Waveform", 2], samples))

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

step("after the with block: config keeps the last known values")
print("  config['Power'] =", {ch: entry["value"] for ch, entry in device.config["Power"].items()})
del device, dev  # the finaliser closes once more
