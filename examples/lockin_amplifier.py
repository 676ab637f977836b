"""LockinAmplifier: a dual-phase lock-in amplifier (SR830-style commands) over PyVISA.

The reference (frequency, phase, harmonic and sine-out amplitude), the sensitivity and the time
constant, which the instrument takes as indexes into its tables (SENS 20 is 10 mV): the driver
speaks in volts and seconds, and a value between two steps is rounded up to the next one, the
step taken being what ``config`` records. The outputs X, Y, R and theta, a snapshot of X and Y
taken at one instant, and the auto-gain and auto-phase actions. The instrument has no SCPI error
queue: its event status register (``*ESR?``) reports refused commands. ``backend="@sim"`` opens
the instrument simulated by pyvisa-sim from lockin_amplifier.yaml beside this file.

    with LockinAmplifier("GPIB0::8::INSTR", backend="@sim") as lia:
        lia.setValue("Sensitivity", 3e-3)            # -> SENS 19 (5 mV), *ESR?
        lia.auto_phase()                             # -> APHS, *ESR?
        lia.getValue("XY")                           # -> SNAP? 1,2   <- 1.2e-3,-4e-5
"""

from pathlib import Path

from tarn.driver.common.quantity import Action, Quantity
from tarn.driver.visa import VisaDriver

__all__ = ["LockinAmplifier"]

# The steps of the sensitivity (2 nV .. 1 V) and time-constant (10 us .. 30 ks) tables: each
# step's index is what the instrument takes and answers.
def indexed(steps: list[float]) -> dict[float, int]:
    return {step: index for index, step in enumerate(steps)}


SENSITIVITY = indexed([float(f"{m}e{e}") for e in range(-9, 1) for m in (1, 2, 5)][1:28])
TIME_CONSTANT = indexed([float(f"{m}e{e}") for e in range(-5, 5) for m in (1, 3)])


def numbers(answer: str) -> tuple[float, ...]:
    return tuple(float(part) for part in answer.split(","))


def reading(name: str, index: int, unit: str) -> Quantity:
    return Quantity(name, 0.0, "global", unit, readonly=True, get_cmd=f"OUTP? {index}")


class LockinAmplifier(VisaDriver):
    """Reference, sensitivity, time constant, X/Y/R/theta, a snapshot, auto-gain, auto-phase."""

    simulation = Path(__file__).with_name("lockin_amplifier.yaml")
    idn_pattern = r"^Stanford_Research_Systems,SR8[13]0,"
    error_query = "*ESR?"
    quants = [
        Quantity("Frequency", 1e3, "global", "Hz", range=(1e-3, 102e3), get_cmd="FREQ?", set_cmd="FREQ {value}"),
        Quantity("Phase", 0.0, "global", "deg", range=(-360, 729.99), get_cmd="PHAS?", set_cmd="PHAS {value}"),
        Quantity("Harmonic", 1, "global", range=(1, 19999), get_cmd="HARM?", set_cmd="HARM {value}"),
        Quantity("Amplitude", 1.0, "global", "V", range=(4e-3, 5), get_cmd="SLVL?", set_cmd="SLVL {value}"),
        Quantity("Sensitivity", 1.0, "global", "V", choices=SENSITIVITY, rounding="up",
                 get_cmd="SENS?", set_cmd="SENS {value}"),
        Quantity("TimeConstant", 0.1, "global", "s", choices=TIME_CONSTANT, rounding="up",
                 get_cmd="OFLT?", set_cmd="OFLT {value}"),
        reading("X", 1, "V"), reading("Y", 2, "V"), reading("R", 3, "V"), reading("Theta", 4, "deg"),
        Quantity("XY", (0.0, 0.0), "global", "V", readonly=True, get_cmd="SNAP? 1,2", parser=numbers,
                 doc="X and Y taken at one instant"),
    ]
    actions = [Action("auto_gain", "AGAN", doc="Sets the sensitivity to suit the signal."),
               Action("auto_phase", "APHS", doc="Sets the phase so that Y is zero.")]
