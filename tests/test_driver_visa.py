"""VisaDriver through expect_exchange: the lines a driver sends for its declared quantities, the
error queue, channels, the session, and expect_exchange's own checks."""

import contextlib
import gc
import importlib.util
import logging
import pathlib
import sys
import threading

import numpy as np
import pytest

from tarn.driver.common.plinth import compress
from tarn.driver.common.quantity import Action, Quantity
from tarn.driver.testing import StandIn, expect_exchange
from tarn.driver.visa import InstrumentAnswerError, InstrumentError, InstrumentTimeout, VisaDriver

OK = '+0,"No error"'
IDN = "TARN,stand-in,0,0"
RANGE = '-222,"Data out of range"'


class Source(VisaDriver):
    CHs = [1, 2]
    quants = [
        Quantity("Power", -10.0, unit="dBm", range=(-130, 20),
                 get_cmd="SOUR{ch}:POW?", set_cmd="SOUR{ch}:POW {value}"),
        Quantity("Reference", "internal", ch="global", choices={"internal": "INT", "external": "EXT"},
                 get_cmd="ROSC:SOUR?", set_cmd="ROSC:SOUR {value}"),
        Quantity("Label", ""),  # neither templates nor methods
        Quantity("Pattern", ""),  # through set_pattern / get_pattern
        Quantity("Text", "", set_cmd="DISP:TEXT '{value}'"),
    ]
    actions = [Action("trigger", "*TRG", doc="Starts a sweep."), Action("arm", "PATT{ch}:ARM")]

    def set_pattern(self, value, ch):
        self.send(f"PATT{ch} {value}")
        self.send(f"PATT{ch}:ARM")

    def get_pattern(self, ch):
        return self.query(f"PATT{ch}?")


# A waveform as the driver is given it, as it goes on the wire (float32), and a trace read back.
WAVE = [0.0, 0.1, -0.5, 0.5]
WAVE32 = np.array(WAVE, dtype=np.float32)
TRACE = np.linspace(-0.25, 0.75, 1001).astype(np.float32)


def big_endian(d):
    d.block_big_endian = True
    return d


def refused(command, *entries):
    return [(command, None), *[("SYST:ERR?", e) for e in entries]]


@pytest.mark.parametrize("call, exchange, expected, recorded", [
    # templates with {ch}; error queries the exchange leaves out are answered "no error"
    (lambda d: d.setValue("Power", -3, ch=2), [("SOUR2:POW -3.0", None)], None, ("Power", 2, -3.0)),
    (lambda d: d.getValue("Power", ch=1), [("SOUR1:POW?", "-3.50")], -3.5, ("Power", 1, -3.5)),
    # a global quantity ignores the channel and is recorded where "global" shows it
    (lambda d: d.setValue("Reference", "external"), [("ROSC:SOUR EXT", None)], None,
     ("Reference", "global", "external")),
    (lambda d: d.setValue("Reference", "external", ch=2), [("ROSC:SOUR EXT", None)], None,
     ("Reference", 1, "external")),
    (lambda d: d.getValue("Reference", ch="global"), [("ROSC:SOUR?", "EXT")], "external",
     ("Reference", "global", "external")),
    # methods for quantities without templates; their commands report under the quantity
    (lambda d: d.setValue("Pattern", "abc", ch=2), [("PATT2 abc", None), ("PATT2:ARM", None)], None,
     ("Pattern", 2, "abc")),
    (lambda d: d.getValue("Pattern"), [("PATT1?", "xyz")], "xyz", ("Pattern", 1, "xyz")),
    # a line a method sends is checked too: it cannot carry CR, LF or NUL
    (lambda d: d.setValue("Pattern", "a\n*RST"), [],
     ValueError("Pattern on channel 1: the line 'PATT1 a\\n*RST' cannot be sent: it holds '\\n', which "
                "would end it or cut it short"), ("Pattern", 1, "")),
    (lambda d: d.setValue("Pattern", "abc", ch=1), refused("PATT1 abc", RANGE, OK),
     InstrumentError(f"Pattern on channel 1: the instrument refused 'PATT1 abc': {RANGE}"), None),
    # the error queue: read until empty, every entry reported, config keeps the last good value
    (lambda d: d.setValue("Power", 5, ch=1), refused("SOUR1:POW 5.0", RANGE, '-221,"Settings conflict"', OK),
     InstrumentError(f"Power on channel 1: the instrument refused 'SOUR1:POW 5.0': {RANGE}; "
                     '-221,"Settings conflict"'), ("Power", 1, -10.0)),
    (lambda d: d.setValue("Power", 5, ch=1), refused("SOUR1:POW 5.0", '+201,"Device specific"', OK),
     InstrumentError("Power on channel 1: the instrument refused 'SOUR1:POW 5.0': +201,\"Device specific\""),
     ("Power", 1, -10.0)),
    (lambda d: d.setValue("Power", 5, ch=1), refused("SOUR1:POW 5.0", "garbage"),
     InstrumentError("Power on channel 1: out of step after 'SOUR1:POW 5.0': SYST:ERR? was answered "
                     "'garbage'"), ("Power", 1, -10.0)),
    # a bare number is no SYST:ERR? entry: a stray answer (*ESR? answers bare codes: see below)
    (lambda d: d.setValue("Power", 5, ch=1), refused("SOUR1:POW 5.0", "+0"),
     InstrumentError("Power on channel 1: out of step after 'SOUR1:POW 5.0': SYST:ERR? was answered "
                     "'+0'"), ("Power", 1, -10.0)),
    (lambda d: d.setValue("Power", 5, ch=1), refused("SOUR1:POW 5.0", *[RANGE] * 32),
     InstrumentError(f"Power on channel 1: the instrument refused 'SOUR1:POW 5.0': {'; '.join([RANGE] * 32)}"
                     "; (the queue was still not empty after 32 entries)"), None),
    (lambda d: d.getValue("Reference"), [("ROSC:SOUR?", "XTAL"), ("SYST:ERR?", '-113,"Undefined header"'),
                                         ("SYST:ERR?", OK)],
     InstrumentError("Reference (global): the instrument refused 'ROSC:SOUR?': -113,\"Undefined header\""),
     ("Reference", "global", "internal")),
    # an answer outside the choices is refused and not recorded
    (lambda d: d.getValue("Reference"), [("ROSC:SOUR?", "XTAL")],
     ValueError("Reference (global): the answer 'XTAL' is not one of 'INT', 'EXT'"),
     ("Reference", "global", "internal")),
    # actions: one exchange each, the channel checked first
    (lambda d: d.trigger(), [("*TRG", None), ("SYST:ERR?", OK)], None, None),
    (lambda d: (d.arm(), d.arm(ch=np.int64(2))), [("PATT1:ARM", None), ("PATT2:ARM", None)], (None, None), None),
    (lambda d: d.trigger(), refused("*TRG", RANGE, OK),
     InstrumentError(f"trigger: the instrument refused '*TRG': {RANGE}"), None),
    (lambda d: d.arm(3), [], ValueError("arm: channel 3 is not one of the declared channels 1, 2"), None),
    (lambda d: d.act("trigger", 1), [],
     TypeError("Source.trigger() acts on the whole instrument: it takes no channel"), None),
    (lambda d: d.act("triger"), [],
     ValueError("Source has no action 'triger' (declared: trigger, arm; did you mean trigger?)"), None),
    # refused before anything is sent
    (lambda d: d.setValue("Power", -1, ch="global"), [],
     ValueError("Power is set per channel [1, 2], not on channel 'global'"), ("Power", "global", -10.0)),
    (lambda d: d.getValue("Pattern", ch="global"), [],
     ValueError("Pattern is set per channel [1, 2], not on channel 'global'"), None),
    (lambda d: d.setValue("Power", 21, ch=2), [],
     ValueError("Power on channel 2: 21 is outside -130..20 dBm"), ("Power", 2, -10.0)),
    (lambda d: d.setValue("Label", "x"), [],
     NotImplementedError("Source: Label has no set_cmd template and no method set_label(value, ch)"), None),
    (lambda d: d.getValue("Label", ch=2), [],
     NotImplementedError("Source: Label has no get_cmd template and no method get_label(ch)"), None),
    (lambda d: d.setValue("Power", 1e9, ch=2, mode="debug"), [], None, ("Power", 2, -10.0)),
    (lambda d: d.getValue("Power", ch=2), [("SOUR2:POW?", TimeoutError("VI_ERROR_TMO"))],
     InstrumentTimeout("Power on channel 2: the instrument did not answer 'SOUR2:POW?' in time "
                       "(VI_ERROR_TMO)"), ("Power", 2, -10.0)),
    # a value or a channel cannot add commands; quotes inside a quoted field are doubled
    (lambda d: d.setValue("Text", "it's"), [("DISP:TEXT 'it''s'", None)], None, ("Text", 1, "it's")),
    *[(lambda d, text=text: d.setValue("Text", text), [],
       ValueError(f"Text on channel 1: the value {text!r} cannot be sent: its text holds {char!r}, "
                  "which would end the command or start another"), ("Text", 1, ""))
      for text, char in [("HI';*RST;:DISP:TEXT 'X", ";"), ("HI\n*RST", "\n"), ("HI\r", "\r"),
                         ("a\0", "\0")]],
    # channels as declared: a numpy integer is the declared one, other kinds are refused
    (lambda d: d.setValue("Power", -3, ch=np.int64(2)), [("SOUR2:POW -3.0", None)], None, ("Power", 2, -3.0)),
    *[(lambda d, ch=ch: d.setValue("Power", -3, ch=ch), [],
       ValueError(f"Power: channel {ch!r} ({type(ch).__name__}) is not one of the declared channels "
                  "1, 2, 'global'"), ("Power", 1, -10.0)) for ch in (True, 1.0, "1", np.float64(2.0))],
    # keywords and modes
    (lambda d: d.setValue("Power", -3, chanel=2), [],
     TypeError("Source.setValue() got an unexpected keyword argument 'chanel' (accepted: ch, mode, target)"),
     ("Power", 1, -10.0)),
    (lambda d: d.getValue("Power", mod="debug"), [],
     TypeError("Source.getValue() got an unexpected keyword argument 'mod' (accepted: ch, mode, target; "
               "did you mean mode?)"), None),
    (lambda d: d.setValue("Power", -3, mode="dbug"), [],
     ValueError("Source.setValue(): mode must be 'run' or 'debug', not 'dbug'"), ("Power", 1, -10.0)),
    # binary blocks: one exchange each, the error queue read after it
    (lambda d: d.send_block("SOUR1:DATA", WAVE), [(("SOUR1:DATA", WAVE32), None), ("SYST:ERR?", OK)],
     None, None),
    (lambda d: big_endian(d).send_block("SOUR1:DATA", np.array([0, -2048, 2047]), "h"),
     [(("SOUR1:DATA", np.array([0, -2048, 2047], dtype=">i2")), None)], None, None),
    (lambda d: d.query_block("TRAC:DATA?"), [("TRAC:DATA?", TRACE), ("SYST:ERR?", OK)], TRACE, None),
    (lambda d: d.query_block("TRAC:DATA?", "d"), [("TRAC:DATA?", np.array([1e-300, -2.5]))],
     np.array([1e-300, -2.5]), None),
    # read big-endian, returned in the machine's order
    (lambda d: big_endian(d).query_block("TRAC:DATA?", "i"),
     [("TRAC:DATA?", np.array([-1, 70000], dtype=">i4"))], np.array([-1, 70000], dtype=np.int32), None),
    (lambda d: d.send_block("SOUR1:DATA", WAVE), refused(("SOUR1:DATA", WAVE32), RANGE, OK),
     InstrumentError(f"the instrument refused 'SOUR1:DATA': {RANGE}"), None),
    (lambda d: d.query_block("TRAC:DATA?"), [("TRAC:DATA?", TimeoutError("VI_ERROR_TMO"))],
     InstrumentTimeout("the instrument did not answer 'TRAC:DATA?' in time (VI_ERROR_TMO)"), None),
    # l/L are 32-bit, as IEEE 488.2 instruments mean them (numpy's "l" is 64-bit on Linux)
    (lambda d: d.send_block("SOUR1:DATA", [1, -2, 3, 4], "l"),
     [(("SOUR1:DATA", np.array([1, -2, 3, 4], dtype="<i4")), None)], None, None),
    (lambda d: d.query_block("TRAC:DATA?", "L"), [("TRAC:DATA?", np.array([1, 2, 3, 4], dtype="<u4"))],
     np.array([1, 2, 3, 4], dtype=np.uint32), None),
    # refused before anything is sent: a cast that would wrap, a table, a type that is no number's
    (lambda d: d.send_block("SOUR1:DATA", [0, 40000], "h"), [],
     ValueError("the block of 'SOUR1:DATA' holds values that int16 cannot hold exactly"), None),
    (lambda d: d.send_block("SOUR1:DATA", [2**70], "q"), [],
     ValueError("the block of 'SOUR1:DATA' holds values that int64 cannot hold exactly"), None),
    (lambda d: d.send_block("SOUR1:DATA", [[0.0, 1.0]]), [],
     ValueError("the block of 'SOUR1:DATA' is one row of values, not an array of shape (1, 2)"), None),
    (lambda d: d.query_block("TRAC:DATA?", "s"), [],
     ValueError("the datatype of a block is one of bBhHiIlLqQfd (a struct code), not 's'"), None),
])
def test_driver_lines(call, exchange, expected, recorded, compound):
    run_lines(Source, call, exchange, expected, recorded, compound)


@pytest.fixture(params=[False, True], ids=["alone", "compound"])
def compound(request):
    """Error queries sent alone, or in one line with what they check (the same script)."""
    return request.param


def run_lines(driver_class, call, exchange, expected, recorded, compound=False):
    """Runs `call` on a driver_class on a stand-in following `exchange`; checks its result (or
    error message) and the value config then records under (name, ch)."""
    if compound:
        driver_class = type(driver_class.__name__, (driver_class,), {"compound_messages": True})
    with expect_exchange(driver_class, exchange) as driver:
        if isinstance(expected, Exception):
            with pytest.raises(type(expected)) as info:
                call(driver)
            assert str(info.value) == str(expected)
        elif isinstance(expected, np.ndarray):
            result = call(driver)
            assert result.dtype == expected.dtype and np.array_equal(result, expected)
        else:
            assert call(driver) == expected
        if recorded:
            name, ch, value = recorded
            assert driver.config[name][ch]["value"] == value


@pytest.mark.parametrize("name, ch, hint", [
    ("Powr", 1, ": quantity(Powr) not Found! (declared: Power, Reference, Label, Pattern, Text; "
                "did you mean Power?)"),
    ("Volts", 1, ": quantity(Volts) not Found! (declared: Power, Reference, Label, Pattern, Text)"),
    ("Power", 3, ": channel(3) not found! (declared: 1, 2, global)"),
    ("Power", "globl", ": channel(globl) not found! (declared: 1, 2, global; did you mean global?)"),
])
def test_check_names_what_is_declared(name, ch, hint):
    with expect_exchange(Source, []) as driver:
        with pytest.raises(AssertionError) as info:
            driver.setValue(name, 0.0, ch=ch)
        assert str(info.value) == f"{driver}{hint}"


@pytest.mark.parametrize("failing, again, late", [
    ([("SOUR1:POW?", TimeoutError("VI_ERROR_TMO"))], [("*IDN?", IDN)], None),
    ([("SOUR1:POW?", KeyboardInterrupt())], [("*IDN?", IDN)], None),  # Ctrl-C before the answer
    ([("SOUR1:POW?", "-1.0"), ("SYST:ERR?", "-1.0")], [("*IDN?", IDN)], None),  # answered twice
    # answers arriving after the device clear: dropped as they come before the identity, 64 at most
    ([("SOUR1:POW?", TimeoutError("VI_ERROR_TMO"))], [("*IDN?", IDN)], ["-7.0"]),
    ([("SOUR1:POW?", TimeoutError("VI_ERROR_TMO"))], [("*IDN?", IDN)], ["-7.0"] * 64),
    # past 64 stale lines, or an identity that no longer answers: opened anew
    ([("SOUR1:POW?", TimeoutError("VI_ERROR_TMO"))], [("*IDN?", IDN), ("*CLS", None), ("*IDN?", IDN)],
     ["-7.0"] * 65),
    # a connection that failed is opened again, with open's lines
    ([("SOUR1:POW?", ConnectionResetError("reset by peer"))], [("*CLS", None), ("*IDN?", IDN)], None),
])
def test_after_a_failed_exchange_the_next_one_is_back_in_step(failing, again, late, caplog):
    with expect_exchange(Source, [*failing, *again, ("SOUR1:POW?", "-2.0")]) as driver:
        with pytest.raises((InstrumentError, KeyboardInterrupt, ConnectionError)):
            driver.getValue("Power")
        if late is not None:
            driver.resource.clear = lambda: driver.resource.pending.extend(late)
        assert driver.getValue("Power") == -2.0 and driver.config["Power"][1]["value"] == -2.0
    reopened = [r.getMessage() for r in caplog.records if r.levelno == logging.WARNING]
    assert reopened[-1:] == (["192.168.1.42: the connection failed; opening it again"]
                             if ("*CLS", None) in again else [])


@pytest.mark.parametrize("name", ["Power", "open", "send", "session"])
def test_an_action_named_like_a_quantity_or_attribute_is_refused(name):
    with pytest.raises(TypeError) as info:
        type("Shadowed", (Source,), {"actions": [Action(name, "*TRG")]})
    assert str(info.value) == (f"Shadowed: the action {name!r} is named like a quantity or an "
                               "attribute of the driver: rename the action")


def test_a_subclass_with_actions_of_its_own_keeps_those_of_its_base():
    with expect_exchange(type("Sub", (Source,), {"actions": [Action("fire", "*TRG")]}),
                         [("PATT2:ARM", None), ("*TRG", None)]) as driver:
        driver.arm(2)
        driver.fire()


def test_help_lists_the_actions():
    import pydoc
    text = pydoc.render_doc(Source, renderer=pydoc.plaintext)
    assert "trigger(self: VisaDriver) -> None\n |      Starts a sweep. (The action '*TRG'.)" in text
    assert "arm(self: VisaDriver, ch: Channel | None = None) -> None\n |      (The action" in text


@pytest.mark.parametrize("name", ["timeout", "identity", "srate", "resource", "open", "quantity", "config"])
def test_a_quantity_named_like_a_driver_attribute_is_refused(name):
    with pytest.raises(TypeError) as info:
        type("Shadowed", (VisaDriver,), {"quants": [Quantity(name, 0.0)]})
    assert str(info.value) == (f"Shadowed: the quantity {name!r} is named like the driver's attribute "
                               f"{name!r}; getValue({name!r}) would answer the attribute and never read "
                               "the instrument: rename the quantity")


class Controller(VisaDriver):
    """Lettered inputs beside numbered loops, a ramped setpoint, a range with keywords."""
    CHs = [1, 2]
    quants = [
        Quantity("Temperature", 0.0, unit="K", readonly=True, chs=("A", "B"), get_cmd="KRDG? {ch}"),
        Quantity("Setpoint", 300.0, unit="K", range=(0, 400), step=5.0, interval=0.25, delay=0.5,
                 get_cmd="SETP? {ch}", set_cmd="SETP {ch},{value}"),
        Quantity("Span", 10.0, keywords=("AUTO", "MIN"), choices={1: [0.1, 1.0, 10.0], 2: [1.0, 10.0]},
                 get_cmd="SPAN{ch}?", set_cmd="SPAN{ch} {value}"),
        Quantity("Heater", 0.0),  # through set_heater, which reports what the instrument took
    ]

    def set_heater(self, value, ch):
        self.send(f"HTR{ch} {round(value)}")
        return float(round(value))


@pytest.mark.parametrize("call, exchange, expected, recorded", [
    # a quantity on channels of its own: the first without ch, the driver's CHs refused
    (lambda d: d.getValue("Temperature"), [("KRDG? A", "+77.350")], 77.35, ("Temperature", "A", 77.35)),
    (lambda d: d.getValue("Temperature", ch="B"), [("KRDG? B", "4.2")], 4.2, ("Temperature", "B", 4.2)),
    (lambda d: d.getValue("Temperature", ch=1), [],
     ValueError("Temperature is set per channel ['A', 'B'], not on channel 1"), None),
    # a ramp from the value read first, in equal steps no larger than step; then from config
    (lambda d: d.setValue("Setpoint", 312, ch=2),
     [("SETP? 2", "300.0"), ("SETP 2,304.0", None), ("SETP 2,308.0", None), ("SETP 2,312.0", None)],
     None, ("Setpoint", 2, 312.0)),
    (lambda d: (d.setValue("Setpoint", 302), d.setValue("Setpoint", 295)),
     [("SETP? 1", "300.0"), ("SETP 1,302.0", None), ("SETP 1,298.5", None), ("SETP 1,295.0", None)],
     (None, None), ("Setpoint", 1, 295.0)),
    (lambda d: d.setValue("Setpoint", 401), [], ValueError("Setpoint on channel 1: 401 is outside 0..400 K"),
     ("Setpoint", 1, 300.0)),
    # an error stops the ramp: config holds the last step the instrument took
    (lambda d: d.setValue("Setpoint", 312),
     [("SETP? 1", "300.0"), ("SETP 1,304.0", None), ("SETP 1,308.0", None), ("SYST:ERR?", RANGE),
      ("SYST:ERR?", OK)],
     InstrumentError(f"Setpoint on channel 1: the instrument refused 'SETP 1,308.0': {RANGE}"),
     ("Setpoint", 1, 304.0)),
    # a step whose outcome is unknown (a timeout on its error read) is read again by the next ramp
    (lambda d: (pytest.raises(InstrumentTimeout, d.setValue, "Setpoint", 310), d.setValue("Setpoint", 300))[1],
     [("SETP? 1", "300.0"), ("SETP 1,305.0", None), ("SETP 1,310.0", None), ("SYST:ERR?", TimeoutError("TMO")),
      ("*IDN?", IDN), ("SETP? 1", "310.0"), ("SETP 1,305.0", None), ("SETP 1,300.0", None)],
     None, ("Setpoint", 1, 300.0)),
    # steps free of float noise: 4.1, not 4.1000000000000005
    (lambda d: d.setValue("Setpoint", 12.3), [("SETP? 1", "0.0"), ("SETP 1,4.1", None), ("SETP 1,8.2", None),
                                               ("SETP 1,12.3", None)], None, ("Setpoint", 1, 12.3)),
    # keywords in any case, sent and read back as declared; choices per channel
    (lambda d: d.setValue("Span", "auto", ch=2), [("SPAN2 AUTO", None)], None, ("Span", 2, "AUTO")),
    (lambda d: [d.getValue("Span") for _ in "ab"], [("SPAN1?", "Min"), ("SPAN1?", "+1.0E-01")],
     ["MIN", 0.1], ("Span", 1, 0.1)),
    (lambda d: d.setValue("Span", 0.1, ch=2), [],
     ValueError("Span on channel 2: 0.1 is not one of 1.0, 10.0, 'AUTO', 'MIN'"), ("Span", 2, 10.0)),
    (lambda d: d.setValue("Span", "max"), [],
     ValueError("Span on channel 1: expected a number or one of AUTO, MIN, not 'max'"), None),
    # what a set_<name> method returns is what config records
    (lambda d: d.setValue("Heater", 10.3, ch=2), [("HTR2 10", None)], None, ("Heater", 2, 10.0)),
])
def test_channel_groups_ramps_keywords(call, exchange, expected, recorded, monkeypatch, compound):
    monkeypatch.setattr("tarn.driver.visa.time.sleep", lambda seconds: None)
    run_lines(Controller, call, exchange, expected, recorded, compound)


def test_ramp_waits_and_ctrl_c_between_steps_stops_it(monkeypatch):
    slept = []

    def sleep(seconds):
        slept.append(seconds)
        if len(slept) == 4:
            raise KeyboardInterrupt

    monkeypatch.setattr("tarn.driver.visa.time.sleep", sleep)
    script = [("SETP? 1", "300.0"), ("SETP 1,305.0", None), ("SETP 1,310.0", None)]
    with expect_exchange(Controller, script) as driver:
        with pytest.raises(KeyboardInterrupt):
            driver.setValue("Setpoint", 320)
        assert driver.config["Setpoint"][1]["value"] == 310.0
    assert slept == [0.5, 0.25, 0.5, 0.25]  # the delay after each set, the interval between steps


@pytest.mark.parametrize("readings, timeout, expected", [
    (["290.0", "299.2", "300.4"], 5.0, 299.2),
    (["290.0"], 0.0, TimeoutError("Temperature on channel B: the reading 290.0 was still not within 1.0 "
                                 "of 300.0 after 0.0 s")),
    ([], float("nan"), ValueError("timeout must be a finite number >= 0, not nan")),
])
def test_wait_for_polls_until_the_reading_settles(readings, timeout, expected, monkeypatch):
    monkeypatch.setattr("tarn.driver.visa.time.sleep", lambda seconds: None)
    script = [("KRDG? B", r) for r in readings[:2]]
    with expect_exchange(Controller, script) as driver:
        if isinstance(expected, Exception):
            with pytest.raises(type(expected)) as info:
                driver.wait_for("Temperature", 300.0, tolerance=1.0, timeout=timeout, ch="B")
            assert str(info.value) == str(expected)
        else:
            assert driver.wait_for("Temperature", 300.0, tolerance=1.0, timeout=timeout, ch="B") == expected


def example(name):
    """The module examples/<name>.py of the source tree."""
    path = pathlib.Path(__file__).resolve().parent.parent / "examples" / f"{name}.py"
    spec = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


Multimeter = example("multimeter").Multimeter
TemperatureController = example("temperature_controller").TemperatureController
WaveformGenerator = example("waveform_generator").WaveformGenerator
LockinAmplifier = example("lockin_amplifier").LockinAmplifier
Oscilloscope = example("oscilloscope").Oscilloscope
SAMPLES = np.repeat(np.array([0.0, 0.5, -1.0], dtype=np.float32), [3, 4, 1])


@pytest.mark.parametrize("driver, call, exchange, expected, recorded", [
    # the multimeter: functions in the driver's words; range and NPLC under the function's prefix
    (Multimeter, lambda d: d.setValue("Function", "ac_voltage"), [('FUNC "VOLT:AC"', None)], None,
     ("Function", "global", "ac_voltage")),
    (Multimeter, lambda d: d.getValue("Function"), [("FUNC?", '"FRES"')], "4w_resistance",
     ("Function", 1, "4w_resistance")),
    (Multimeter, lambda d: d.setValue("Range", "auto"), [("FUNC?", '"RES"'), ("RES:RANG:AUTO 1", None)],
     None, ("Range", "global", "AUTO")),
    (Multimeter, lambda d: d.setValue("Range", 100),
     [("FUNC?", '"VOLT"'), ("VOLT:RANG:AUTO 0", None), ("VOLT:RANG 100.0", None)], None,
     ("Range", "global", 100.0)),
    (Multimeter, lambda d: d.setValue("Range", "Min"),
     [("FUNC?", '"CURR"'), ("CURR:RANG:AUTO 0", None), ("CURR:RANG MIN", None)], None, ("Range", 1, "MIN")),
    (Multimeter, lambda d: d.getValue("Range"),
     [("FUNC?", '"CURR:AC"'), ("CURR:AC:RANG:AUTO?", "0"), ("CURR:AC:RANG?", "+1.00000000E+00")], 1.0,
     ("Range", "global", 1.0)),
    (Multimeter, lambda d: d.getValue("Range"), [("FUNC?", '"VOLT"'), ("VOLT:RANG:AUTO?", "1")], "AUTO",
     None),
    (Multimeter, lambda d: d.setValue("Range", -1), [], ValueError("Range (global): -1 is below the minimum 0"),
     ("Range", "global", "AUTO")),
    (Multimeter, lambda d: d.setValue("NPLC", 0.2), [("FUNC?", '"VOLT"'), ("VOLT:NPLC 0.2", None)], None,
     ("NPLC", "global", 0.2)),
    (Multimeter, lambda d: d.getValue("NPLC"), [("FUNC?", '"FRES"'), ("FRES:NPLC?", "+1.00000000E+02")],
     100.0, None),
    (Multimeter, lambda d: d.setValue("NPLC", 2), [],
     ValueError("NPLC (global): 2 is not one of 0.02, 0.2, 1, 10, 100"), ("NPLC", "global", 10.0)),
    (Multimeter, lambda d: d.setValue("NPLC", 1),  # the AC functions have none
     [("FUNC?", '"VOLT:AC"'), *refused("VOLT:AC:NPLC 1.0", '-113,"Undefined header"', OK)],
     InstrumentError("NPLC (global): the instrument refused 'VOLT:AC:NPLC 1.0': -113,\"Undefined header\""),
     ("NPLC", "global", 10.0)),
    (Multimeter, lambda d: d.getValue("Reading"), [("READ?", "-1.23456789E-03")], -0.00123456789, None),
    (Multimeter, lambda d: d.setValue("Reading", 1.0), [],
     ValueError("Reading (global): read-only, it cannot be set"), None),
    # the temperature controller: inputs A and B beside loops 1 and 2; *ESR? for errors
    (TemperatureController, lambda d: d.getValue("Temperature"), [("KRDG? A", "+077.350")], 77.35,
     ("Temperature", "A", 77.35)),
    (TemperatureController, lambda d: d.setValue("HeaterRange", "high", ch=2), [("RANGE 2,3", None)], None,
     ("HeaterRange", 2, "high")),
    (TemperatureController, lambda d: d.getValue("HeaterRange"), [("RANGE? 1", "1")], "low", None),
    (TemperatureController, lambda d: d.setValue("Setpoint", 70.0, ch=2),
     [("SETP? 2", "+080.000"), ("SETP 2,75.0", None), ("SETP 2,70.0", None)], None, ("Setpoint", 2, 70.0)),
    (TemperatureController, lambda d: d.setValue("HeaterRange", "low"),
     [("RANGE 1,1", None), ("*ESR?", "32"), ("*ESR?", "0")],
     InstrumentError("HeaterRange on channel 1: the instrument refused 'RANGE 1,1': 32 (command error)"),
     ("HeaterRange", 1, "off")),
    (TemperatureController, lambda d: d.setValue("HeaterRange", "low"),
     [("RANGE 1,1", None), ("*ESR?", "+49"), ("*ESR?", "0")],
     InstrumentError("HeaterRange on channel 1: the instrument refused 'RANGE 1,1': +49 (execution error, "
                     "command error)"),
     ("HeaterRange", 1, "off")),
    # *ESR?: only the error bits (2-5) are errors; operation complete (bit 0) is not
    (TemperatureController, lambda d: d.send("*OPC"), [("*OPC", None), ("*ESR?", "1")], None, None),
    (TemperatureController, lambda d: d.getValue("HeaterOutput", ch=2), [("HTR? 2", "+042.5"), ("*ESR?", "+0")],
     42.5, None),
    (TemperatureController, lambda d: d.getValue("HeaterOutput"), [("HTR? 1", "+042.5"), ("*ESR?", OK)],
     InstrumentError(f"HeaterOutput on channel 1: out of step after 'HTR? 1': *ESR? was answered {OK!r}"),
     None),
    # the waveform generator: a compressed waveform goes out expanded, as one float32 block
    (WaveformGenerator, lambda d: d.setValue("Shape", "arbitrary", ch=2), [("SOUR2:FUNC ARB", None)], None,
     ("Shape", 2, "arbitrary")),
    (WaveformGenerator, lambda d: d.getValue("Shape"), [("SOUR1:FUNC?", "SQU")], "square", None),
    (WaveformGenerator, lambda d: d.setValue("Frequency", 2.5e6, ch=2), [("SOUR2:FREQ 2500000.0", None)], None,
     ("Frequency", 2, 2.5e6)),
    (WaveformGenerator, lambda d: d.setValue("Offset", -0.25), [("SOUR1:VOLT:OFFS -0.25", None)], None, None),
    (WaveformGenerator, lambda d: d.setValue("Amplitude", 11), [],
     ValueError("Amplitude on channel 1: 11 is outside 0.001..10 Vpp"), None),
    (WaveformGenerator, lambda d: d.setValue("Waveform", compress(SAMPLES.astype(np.float64)), ch=2),
     [(("SOUR2:DATA", SAMPLES), None)], None, None),
    (WaveformGenerator, lambda d: d.setValue("Waveform", SAMPLES * 2), [],
     ValueError("Waveform on channel 1: expected 8 to 65536 samples within -1..1, got an array of shape (8,)"),
     None),
    (WaveformGenerator, lambda d: d.setValue("Waveform", SAMPLES[:7]), [],
     ValueError("Waveform on channel 1: expected 8 to 65536 samples within -1..1, got an array of shape (7,)"),
     None),
    # the lock-in amplifier: indexed tables in volts and seconds, *ESR? after every exchange
    (LockinAmplifier, lambda d: d.setValue("Sensitivity", 3e-3), [("SENS 19", None), ("*ESR?", "0")], None,
     ("Sensitivity", "global", 5e-3)),
    (LockinAmplifier, lambda d: d.getValue("Sensitivity"), [("SENS?", "27")],
     ValueError("Sensitivity (global): the answer '27' is not one of 0, 1, ..., 26 (27 choices)"),
     ("Sensitivity", "global", 1.0)),
    (LockinAmplifier, lambda d: d.getValue("XY"), [("SNAP? 1,2", "1.5e-3,-2e-4")], (1.5e-3, -2e-4), None),
    (LockinAmplifier, lambda d: d.auto_gain(), [("AGAN", None), ("*ESR?", "32"), ("*ESR?", "0")],
     InstrumentError("auto_gain: the instrument refused 'AGAN': 32 (command error)"), None),
    # the oscilloscope: settings per channel, actions, a trace scaled by its preamble
    (Oscilloscope, lambda d: d.setValue("Coupling", "ac", ch=3), [(":CHAN3:COUP AC", None)], None,
     ("Coupling", 3, "ac")),
    (Oscilloscope, lambda d: (d.stop(), d.single()), [(":STOP", None), (":SING", None)], (None, None), None),
    (Oscilloscope, lambda d: np.array(d.getValue("Trace", ch=2)),
     [(":WAV:SOUR CHAN2", None), (":WAV:FORM BYTE", None), (":WAV:PRE?", "0,0,4,1,0.25,-0.5,0,0.25,0.5,128"),
      (":WAV:DATA?", np.array([0, 128, 255, 130], np.uint8))],
     np.array([[-0.5, -0.25, 0.0, 0.25], [-31.5, 0.5, 32.25, 1.0]]), None),
])
def test_example_drivers_lines(driver, call, exchange, expected, recorded, monkeypatch, compound):
    monkeypatch.setattr("tarn.driver.visa.time.sleep", lambda seconds: None)
    run_lines(driver, call, exchange, expected, recorded, compound)


@pytest.mark.parametrize("exchange, call, lines", [
    ([("SOUR2:POW?", "-1.5")], lambda d: d.getValue("Power", ch=2) == -1.5,
     ["-> SOUR2:POW?", "<- -1.5"]),
    # blocks by their length, type, first and last values, never every value
    ([(("SOUR1:DATA", WAVE32), None), ("TRAC:DATA?", TRACE)],
     lambda d: d.send_block("SOUR1:DATA", WAVE) is None and len(d.query_block("TRAC:DATA?")) == 1001,
     ["-> SOUR1:DATA #<block: 4 x float32, 0.0 .. 0.5>", "-> SYST:ERR?", f"<- {OK}",
      "-> TRAC:DATA?", "<- #<block: 1001 x float32, -0.25 .. 0.75>"]),
])
def test_the_wire_is_logged_and_nothing_printed(exchange, call, lines, caplog, capsys):
    caplog.set_level(logging.DEBUG, logger="tarn.driver")
    with expect_exchange(Source, exchange, identity="ACME,X1,7,1.0") as driver:
        assert call(driver)
        assert driver.identity == "ACME,X1,7,1.0"
    assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records] == [
        ("tarn.driver.Source.192.168.1.42", logging.DEBUG, line) for line in
        ["-> *CLS", "-> *IDN?", "<- ACME,X1,7,1.0", *lines, "-> SYST:ERR?", f"<- {OK}"]]
    assert capsys.readouterr() == ("", "")


@pytest.mark.parametrize("addr, resource", [
    ("192.168.1.42", "TCPIP0::192.168.1.42::inst0::INSTR"),
    ("lab-psu.local", "TCPIP0::lab-psu.local::inst0::INSTR"),
    ("ASRL/dev/ttyUSB0::INSTR", "ASRL/dev/ttyUSB0::INSTR"),
    ("TCPIP0::10.0.0.5::5025::SOCKET", "TCPIP0::10.0.0.5::5025::SOCKET"),
])
def test_open_names_the_resource_and_close_closes_once(addr, resource):
    names = []
    wire = StandIn([("*CLS", None), ("*IDN?", "X")], opening=2)
    driver = Source(addr)
    driver.open_resource = lambda name: names.append(name) or wire
    with driver:
        driver.open()  # already open: nothing happens
    driver.close()
    assert names == [resource] and wire.closes == 1 and driver.resource is None
    with pytest.raises(RuntimeError, match="^the instrument is not open: use `with` or call open"):
        driver.setValue("Power", 0.0)


# the identity must be a non-empty line of text (an address missing from a pyvisa-sim file answers "")
@pytest.mark.parametrize("identity, raised", [(TimeoutError("VI_ERROR_TMO"), TimeoutError),
                                              ("", InstrumentAnswerError), ("AC\x00ME", InstrumentAnswerError)])
def test_a_failed_open_or_construction_leaves_no_session(capfd, monkeypatch, identity, raised):
    reported = []
    monkeypatch.setattr(sys, "unraisablehook", reported.append)
    wire = StandIn([("*CLS", None), ("*IDN?", identity)], opening=2)
    driver = Source()
    driver.open_resource = lambda name: wire
    with pytest.raises(raised):
        with driver:
            pytest.fail("the body runs only once open has succeeded")
    assert driver.resource is None and driver.identity is None and wire.closes == 1
    with pytest.raises(TypeError):
        Source(42)  # refused by Plinth before the driver's own attributes are set
    gc.collect()  # the finaliser of the half-made driver closes without complaint
    assert reported == [] and capfd.readouterr() == ("", "")


@pytest.mark.parametrize("exchange, body, message", [
    ([("SOUR1:POW -3.0", None)], lambda d: d.setValue("Power", -3.5),
     "exchange line 1: expected the command 'SOUR1:POW -3.0', sent the command 'SOUR1:POW -3.5'"),
    ([("SOUR1:POW?", None)], lambda d: d.getValue("Power"),
     "exchange line 1: expected the command 'SOUR1:POW?', sent the query 'SOUR1:POW?'"),
    ([], lambda d: d.setValue("Power", -3.5),
     "exchange line 1: expected nothing more, sent 'SOUR1:POW -3.5'"),
    ([("SOUR1:POW -3.5", None), ("ROSC:SOUR INT", None), ("*RST", None)], lambda d: d.setValue("Power", -3.5),
     "exchange line 2 and after never sent: ['ROSC:SOUR INT', '*RST']"),
    ([("*RST", None)], lambda d: None, "exchange line 1 and after never sent: ['*RST']"),
    # a mismatch the driver swallows still fails the block
    ([], lambda d: pytest.raises(AssertionError, d.setValue, "Power", 1.0),
     "exchange line 1: expected nothing more, sent 'SOUR1:POW 1.0'"),
    # blocks: length, type, byte order and every value bit for bit
    ([("*RST", None), (("SOUR1:DATA", WAVE32), None)],
     lambda d: d.send("*RST") or d.send_block("SOUR1:DATA", [0.0, 0.1, -0.5, 0.25]),
     "exchange line 2: expected the block 'SOUR1:DATA' #<block: 4 x float32, 0.0 .. 0.5>, sent the "
     "block 'SOUR1:DATA' #<block: 4 x float32, 0.0 .. 0.25>: value 3 expected 0.5, sent 0.25"),
    ([(("SOUR1:DATA", np.array([0.0, np.nan])), None)], lambda d: d.send_block("SOUR1:DATA", [0.0, -np.nan], "d"),
     "exchange line 1: expected the block 'SOUR1:DATA' #<block: 2 x float64, 0.0 .. nan>, sent the "
     "block 'SOUR1:DATA' #<block: 2 x float64, 0.0 .. nan>: value 1 expected nan (bits 0x7ff8000000000000), "
     "sent nan (bits 0xfff8000000000000)"),
    ([(("SOUR1:DATA", WAVE32), None)], lambda d: d.send_block("SOUR1:DATA", WAVE[:3]),
     "exchange line 1: expected the block 'SOUR1:DATA' #<block: 4 x float32, 0.0 .. 0.5>, sent the "
     "block 'SOUR1:DATA' #<block: 3 x float32, 0.0 .. -0.5>: expected 4 values, sent 3"),
    ([(("SOUR1:DATA", WAVE32), None)], lambda d: d.send_block("SOUR1:DATA", WAVE, "d"),
     "exchange line 1: expected the block 'SOUR1:DATA' #<block: 4 x float32, 0.0 .. 0.5>, sent the "
     "block 'SOUR1:DATA' #<block: 4 x float64, 0.0 .. 0.5>: expected float32 values, sent float64"),
    ([(("SOUR1:DATA", WAVE32), None)], lambda d: big_endian(d).send_block("SOUR1:DATA", WAVE),
     "exchange line 1: expected the block 'SOUR1:DATA' #<block: 4 x float32, 0.0 .. 0.5>, sent the "
     "block 'SOUR1:DATA' #<block: 4 x float32, 0.0 .. 0.5>: expected little-endian values, sent big-endian"),
    ([(("SOUR1:DATA", WAVE32), None)], lambda d: d.send("SOUR1:DATA 0,0.1,-0.5,0.5"),
     "exchange line 1: expected the block 'SOUR1:DATA' #<block: 4 x float32, 0.0 .. 0.5>, sent the "
     "command 'SOUR1:DATA 0,0.1,-0.5,0.5'"),
    # a text answer where a block is read, and the other way round
    ([("TRAC:DATA?", "0.1,0.2")], lambda d: d.query_block("TRAC:DATA?"),
     "exchange line 1: expected the query 'TRAC:DATA?', sent the block query 'TRAC:DATA?'"),
    ([("TRAC:DATA?", TRACE)], lambda d: d.query("TRAC:DATA?"),
     "exchange line 1: expected the block query 'TRAC:DATA?', sent the query 'TRAC:DATA?'"),
    ([("TRAC:DATA?", TRACE)], lambda d: d.query_block("TRAC:DATA?", "d"),
     "exchange line 1: the block answering 'TRAC:DATA?' holds float32 values, read as float64"),
    ([("TRAC:DATA?", TRACE)], lambda d: big_endian(d).query_block("TRAC:DATA?"),
     "exchange line 1: the block answering 'TRAC:DATA?' is little-endian, read as big-endian"),
    ([(("SOUR1:DATA", WAVE32), None)], lambda d: None,
     "exchange line 1 and after never sent: ['SOUR1:DATA #<block: 4 x float32, 0.0 .. 0.5>']"),
])
def test_expect_exchange_catches_wrong_extra_and_missing_lines(exchange, body, message):
    with pytest.raises(AssertionError) as info:
        with expect_exchange(Source, exchange) as driver:
            body(driver)
    assert str(info.value) == message


class EsrSource(Source):
    error_query = "*ESR?"


@pytest.mark.parametrize("driver, pinned", [(Source, "*ESR?"), (EsrSource, None)])
def test_a_pinned_error_query_fails_a_driver_that_asks_another(driver, pinned):
    with pytest.raises(AssertionError) as info:
        with expect_exchange(driver, [], error_query=pinned):
            pytest.fail("the block does not run")
    assert str(info.value) == (f"{driver.__name__} reads its error queue with {driver.error_query!r}, "
                               f"the instrument answers {pinned!r}")


@pytest.mark.parametrize("exchange, message", [
    ([("SOUR1:POW -3.0;:SYST:ERR?", OK), ("SOUR1:POW?;:SYST:ERR?", f"-3.0;{OK}")], None),
    ([("SOUR1:POW -3.0", None)], "exchange line 1: expected the command 'SOUR1:POW -3.0', sent the query "
                                 "'SOUR1:POW -3.0;:SYST:ERR?'"),
])
def test_expect_exchange_can_check_the_exact_wire_of_compound_messages(exchange, message):
    class Compound(Source):
        compound_messages = True

    with pytest.raises(AssertionError) if message else contextlib.nullcontext() as info:
        with expect_exchange(Compound, exchange, exact=True) as driver:
            driver.setValue("Power", -3.0)
            assert driver.getValue("Power") == -3.0
    assert message is None or str(info.value) == message


def test_exclusive_holds_the_driver_for_several_exchanges():
    with expect_exchange(Source, [("SOUR1:POW -3.0", None), ("SOUR1:POW?", "-3.0"), ("SOUR2:POW?", "-1.0")]) as d:
        other = threading.Thread(target=d.getValue, args=("Power",), kwargs={"ch": 2})
        with d.exclusive(), d.exclusive():  # re-entrant
            d.setValue("Power", -3.0)
            other.start()
            other.join(0.2)
            assert other.is_alive()  # waiting for the block to end
            assert d.getValue("Power") == -3.0
        other.join(10)
        assert not other.is_alive() and d.config["Power"][2]["value"] == -1.0


@pytest.mark.parametrize("datatype, big, values", [
    ("f", False, [0.0, 0.1, -0.5, 3.4e38]),
    ("d", True, [1e-300, -2.5]),
    ("h", True, [0, -2048, 2047]),
    ("B", False, list(range(0, 256, 17))),
])
def test_blocks_go_through_pyvisas_ieee_encoding(datatype, big, values):
    """send_block's values, encoded by PyVISA's own IEEE 488.2 block code, are the bytes of a
    definite-length block; query_block reads them back through its decoding."""
    util = pytest.importorskip("pyvisa.util")

    class Wire(StandIn):
        def write_binary_values(self, message, values, /, *, datatype, is_big_endian):
            self.written = message.encode() + util.to_ieee_block(values, datatype, is_big_endian)

        def query_binary_values(self, message, /, *, datatype, is_big_endian, container, data_points):
            block = self.written.removeprefix(b"SOUR1:DATA ")
            return util.from_ieee_block(block, datatype, is_big_endian, container)

    wire = Wire([("*CLS", None), ("*IDN?", IDN)], error_query="SYST:ERR?", opening=2)
    driver = Source()
    driver.block_big_endian = big
    driver.open_resource = lambda name: wire
    data = np.asarray(values, dtype=np.dtype(datatype).newbyteorder(">" if big else "<")).tobytes()
    with driver:
        driver.send_block("SOUR1:DATA", values, datatype)
        length = str(len(data)).encode()
        assert wire.written == b"SOUR1:DATA #" + str(len(length)).encode() + length + data
        read = driver.query_block("TRAC:DATA?", datatype)
    assert read.dtype == np.dtype(datatype) and read.dtype.isnative
    assert read.tolist() == np.asarray(values, dtype=datatype).tolist()


def test_without_pyvisa_the_module_imports_and_open_names_the_extra(python):
    result = python("import sys; sys.modules['pyvisa'] = None\n"
                    "from tarn.driver.visa import VisaDriver\n"
                    "import tarn.driver.testing\n"
                    "class D(VisaDriver): pass\n"
                    "try:\n    D().open()\nexcept ImportError as e:\n    print(e)\n")
    assert result.returncode == 0, result.stderr
    assert result.stdout == ("D talks to instruments through pyvisa, which is not installed: "
                             "pip install 'tarn[visa]'\n")
