"""Quantity records that validate, format and parse their values, and the configuration mapping
newcfg builds from them (global quantities share one entry)."""

import copy

import numpy as np
import pytest

from tarn.driver.common.quantity import Quantity, newcfg
from tarn.driver.virtual import VirtualDevice

VOLT = Quantity("Voltage", 0.0, unit="V", range={1: (0, 30), 2: (0, 6)},
                get_cmd="SOUR{ch}:VOLT?", set_cmd="SOUR{ch}:VOLT {value}")
REF = Quantity("Reference", "internal", ch="global", choices={"internal": "INT", "external": "EXT"},
               get_cmd="ROSC:SOUR?", set_cmd="ROSC:SOUR {value}")
OUT = Quantity("Output", False, get_cmd="OUTP{ch}?", set_cmd="OUTP{ch} {value}")
MEAS = Quantity("Measured", 0.0, unit="A", readonly=True, get_cmd="MEAS{ch}:CURR?")
AVG = Quantity("Averages", 1, choices=[1, 2, 4, 8])
TEMP = Quantity("Temp", 20.0, unit="K", range=(None, 300))
DELAY = Quantity("Delay", 0.0, unit="s", range=(0, None))
MASK = Quantity("Mask", 0, parser=lambda text: int(text, 16), formatter=lambda v: f"{v:X}",
                set_cmd="MASK {value}")
MODE = Quantity("Mode", "fast", choices=["fast", "slow"])
NAN = float("nan")
INP = Quantity("Input", "volt", choices={1: {"volt": "VOLT"}, 2: {"volt": "VOLT", "curr": "CURR"}},
               set_cmd="INP{ch} {value}")
# an indexed table of 27 steps, 2 nV .. 1 V, and its rounding variants
STEPS = [float(f"{m}e{e}") for e in range(-9, 1) for m in (1, 2, 5)][1:28]
SENS = Quantity("Sensitivity", 1.0, unit="V", choices=dict(zip(STEPS, range(27))), set_cmd="SENS {value}")
UP = Quantity("Sensitivity", 1.0, unit="V", choices=dict(zip(STEPS, range(27))), rounding="up")
NEAR = Quantity("Averages", 1, choices=[1, 2, 4, 8], rounding="nearest")


@pytest.mark.parametrize("call, expected", [
    # range: inclusive bounds, per channel, refused (never clipped) with what is allowed
    (lambda: VOLT.validate(30, 1), 30.0),
    (lambda: VOLT.validate(np.float32(0.5), 2), 0.5),
    (lambda: VOLT.validate(40.0, 2), ValueError("Voltage on channel 2: 40.0 is outside 0..6 V")),
    (lambda: VOLT.validate(7, 2), ValueError("Voltage on channel 2: 7 is outside 0..6 V")),
    (lambda: VOLT.validate(-0.1, 1), ValueError("Voltage on channel 1: -0.1 is outside 0..30 V")),
    (lambda: VOLT.validate(1e6, 3), 1e6),  # a channel the mapping does not name is unbounded
    (lambda: TEMP.validate(301, 1), ValueError("Temp on channel 1: 301 is above the maximum 300 K")),
    (lambda: DELAY.validate(-1e-3, 2), ValueError("Delay on channel 2: -0.001 is below the minimum 0 s")),
    # numbers: the type of the default, finite, no bools or texts
    (lambda: VOLT.validate(NAN, 1), ValueError("Voltage on channel 1: nan is not a finite number")),
    (lambda: TEMP.validate(-np.inf, 1), ValueError("Temp on channel 1: -inf is not a finite number")),
    (lambda: VOLT.validate("5", 1), ValueError("Voltage on channel 1: expected a number, not '5'")),
    (lambda: VOLT.validate(True, 1), ValueError("Voltage on channel 1: expected a number, not True")),
    (lambda: VOLT.validate(10**400, 1),
     ValueError(f"Voltage on channel 1: {repr(10**400)[:60]} ... is not a finite number")),
    (lambda: TEMP.validate(-10**400, 1),
     ValueError(f"Temp on channel 1: {repr(-10**400)[:60]} ... is not a finite number")),
    (lambda: AVG.validate(4.0, 1), 4),
    (lambda: AVG.validate(np.int16(8), 1), 8),
    (lambda: AVG.validate(2.5, 1), ValueError("Averages on channel 1: expected a whole number, not 2.5")),
    (lambda: OUT.validate(np.True_, 1), True),
    (lambda: OUT.validate(0, 2), False),
    (lambda: OUT.validate(2, 1), ValueError("Output on channel 1: expected True/False or 1/0, not 2")),
    (lambda: OUT.validate("ON", 1), ValueError("Output on channel 1: expected True/False or 1/0, not 'ON'")),
    # choices: a sequence, or a mapping whose keys are the driver's words
    (lambda: AVG.validate(3, 1), ValueError("Averages on channel 1: 3 is not one of 1, 2, 4, 8")),
    (lambda: REF.validate("external", 2), "external"),
    (lambda: REF.validate("EXT", "global"),
     ValueError("Reference (global): 'EXT' is not one of 'internal', 'external'")),
    (lambda: MODE.validate(1, 1), ValueError("Mode on channel 1: expected a text, not 1")),
    # choices per channel, words mapped per channel
    (lambda: INP.validate("curr", 1), ValueError("Input on channel 1: 'curr' is not one of 'volt'")),
    (lambda: INP.set_command("curr", 2), "INP2 CURR"),
    (lambda: INP.parse("CURR", 2), "curr"),
    # readonly
    (lambda: MEAS.validate(1.0, 2), ValueError("Measured on channel 2: read-only, it cannot be set")),
    # templates with {ch} and {value}, formatted by kind or by the quantity's formatter
    (lambda: VOLT.set_command(12.5, 2), "SOUR2:VOLT 12.5"),
    (lambda: VOLT.set_command(1e-7, 1), "SOUR1:VOLT 1e-07"),
    (lambda: VOLT.get_command(2), "SOUR2:VOLT?"),
    (lambda: REF.set_command("external", "global"), "ROSC:SOUR EXT"),
    (lambda: OUT.set_command(True, 1), "OUTP1 1"),
    (lambda: MASK.set_command(255, 1), "MASK FF"),
    (lambda: Quantity("G", 0, ch="global", set_cmd="G{ch} {value}").set_command(3, "global"), "Gglobal 3"),
    # what a value or channel brings into a command: no separators, quotes doubled in quotes
    (lambda: Quantity("T", "", set_cmd='T "{value}"').set_command('say "hi"', 1), 'T "say ""hi"""'),
    (lambda: Quantity("T", "", set_cmd="T {value}").set_command("a'b", 1), "T a'b"),
    (lambda: Quantity("T", "", set_cmd="T {value}").set_command("a\x04", 1, termination="\x04"),
     ValueError("T on channel 1: the value 'a\\x04' cannot be sent: its text holds '\\x04', which "
                "would end the command or start another")),
    (lambda: Quantity("C", "", formatter=lambda v: v + ";*RST", set_cmd="C {value}").set_command("a", 1),
     ValueError("C on channel 1: the value 'a' cannot be sent: its text holds ';', which would end "
                "the command or start another")),
    (lambda: Quantity("C", 0.0, get_cmd="C{ch}?").get_command("1;*RST"),
     ValueError("C on channel 1;*RST: the channel '1;*RST' cannot be sent: its text holds ';', which "
                "would end the command or start another")),
    # parsers: by kind, mapped back through choices, or the quantity's parser
    (lambda: VOLT.parse("+1.250000E+01\n"), 12.5),
    (lambda: VOLT.parse("volts", 2), ValueError("Voltage on channel 2: cannot read the answer 'volts' as float")),
    (lambda: AVG.parse("+4.000E+00"), 4),
    (lambda: AVG.parse("4.5"), ValueError("Averages on channel 1: cannot read the answer '4.5' as int")),
    (lambda: [OUT.parse(a) for a in ("1", "0", "ON", "off", "+1.0E+00")], [True, False, True, False, True]),
    (lambda: [REF.parse(a) for a in ("EXT", "int")], ["external", "internal"]),
    # an answer outside the table is refused, never recorded as a setting
    (lambda: REF.parse("XTAL"), ValueError("Reference (global): the answer 'XTAL' is not one of 'INT', 'EXT'")),
    (lambda: AVG.parse("3"), ValueError("Averages on channel 1: the answer '3' is not one of 1, 2, 4, 8")),
    (lambda: [SENS.parse("26"), SENS.parse("+0")], [1.0, 2e-9]),
    (lambda: SENS.parse("27\n"),
     ValueError("Sensitivity on channel 1: the answer '27' is not one of 0, 1, ..., 26 (27 choices)")),
    # rounding to a member: up, or to the closest (a tie goes up); the member is what is sent
    (lambda: [UP.validate(v) for v in (3e-9, 2e-9, 1e-12, 0.6, 5e-3 * (1 + 1e-12))], [5e-9, 2e-9, 2e-9, 1.0, 5e-3]),
    (lambda: UP.validate(1.5), ValueError("Sensitivity on channel 1: 1.5 is above the largest choice, 1.0")),
    (lambda: [NEAR.validate(v) for v in (3, 5, 7, 100, -4)], [4, 4, 8, 8, 1]),
    (lambda: SENS.validate(3e-9), ValueError("Sensitivity on channel 1: 3e-09 is not one of "
                                              + ", ".join(map(repr, STEPS)))),
    (lambda: Quantity("R", 1.0, rounding="up"),
     TypeError("R: rounding='up' needs numeric choices to round to")),
    (lambda: Quantity("R", 1.0, choices=[1.0], rounding="down"),
     ValueError("R: rounding must be 'up', 'nearest' or None, not 'down'")),
    (lambda: MASK.parse("1f"), 31),
    (lambda: OUT.parse("inf"), ValueError("Output on channel 1: cannot read the answer 'inf' as bool")),
    # declarations checked when the record is made
    (lambda: Quantity("V", 40.0, range=(0, 30)), ValueError("V on channel 1: 40.0 is outside 0..30")),
    (lambda: Quantity("R", "auto", ch="global", choices={"internal": "INT"}),
     ValueError("R (global): 'auto' is not one of 'internal'")),
    (lambda: Quantity("T", 5.0, readonly=True, range=(0, 10)).default["value"], 5.0),
    (lambda: Quantity("T", 20.0, readonly=True, range=(0, 10)), ValueError("T on channel 1: 20.0 is outside 0..10")),
    (lambda: Quantity("S", 0.0, step=1.0, interval=-0.5),
     ValueError("S: interval must be a finite number of seconds >= 0, not -0.5")),
    (lambda: Quantity("S", 0.0, step=1.0, interval=NAN),
     ValueError("S: interval must be a finite number of seconds >= 0, not nan")),
    (lambda: Quantity("S", 0.0, delay=-1), ValueError("S: delay must be a finite number of seconds >= 0, not -1")),
    (lambda: Quantity("M", "a", choices="ab"),
     TypeError("M: choices must be a sequence or a mapping, not the text 'ab'")),
], ids=lambda v: "" if callable(v) else None)
def test_quantity_options(call, expected):
    if isinstance(expected, Exception):
        with pytest.raises(type(expected)) as info:
            call()
        assert str(info.value) == str(expected)
    else:
        got = call()
        assert got == expected and type(got) is type(expected)


def test_records_keep_the_default_mapping_and_copy_deeply():
    q = Quantity("Gain", [1.5], 2, "dB")
    assert q.default == {"value": [1.5], "unit": "dB", "ch": 2}
    assert repr(q) == "Quantity('Gain', value=[1.5], ch=2, unit='dB')"
    assert repr(REF) == ("Quantity('Reference', value='internal', ch='global', unit='', choices="
                         "{'internal': 'INT', 'external': 'EXT'}, get_cmd='ROSC:SOUR?', "
                         "set_cmd='ROSC:SOUR {value}')")
    twin = copy.deepcopy(MASK)
    assert twin.default is not MASK.default and twin.set_command(10, 1) == "MASK A"


def test_newcfg_shares_one_entry_for_a_global_quantity():
    config = newcfg([VOLT, REF, Quantity("Trace", [0])], [1, 2])
    assert list(config["Reference"]) == [1, 2, "global"]
    assert config["Reference"][1] is config["Reference"][2] is config["Reference"]["global"]
    assert config["Reference"]["global"] == {"value": "internal", "unit": ""}
    volts = config["Voltage"]
    assert len({id(volts[key]) for key in (1, 2, "global")}) == 3
    assert config["Trace"][1]["value"] == [0] and config["Trace"][1]["value"] is not config["Trace"][2]["value"]


def test_virtual_device_validates_and_records_global_quantities_once():
    with VirtualDevice() as dev:
        dev.setValue("Reference", "external")  # recorded under channel 1: the same entry
        assert dev.config["Reference"]["global"]["value"] == "external"
        assert dev.getValue("Reference", ch="global") == "external"
        with pytest.raises(ValueError, match=r"^Power on channel 2: 30 is outside -130\.\.20 dBm$"):
            dev.setValue("Power", 30, ch=2)
        assert dev.config["Power"][2]["value"] == -10.0 and ("Power", 2) not in dev.memory
        dev.setValue("Power", 3, ch=2)
        assert dev.getValue("Power", ch=2) == 3.0 and type(dev.config["Power"][2]["value"]) is float
