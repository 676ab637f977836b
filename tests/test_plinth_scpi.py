"""Drivers on the real wire: the example SCPI source (examples/scpi_source.py), power supply,
multimeter and temperature controller over PyVISA against their instruments simulated by
pyvisa-sim, watching the lines that reach the instrument; the examples' size and type checks."""

import ast
import gc
import importlib.util
import io
import logging
import pathlib
import shutil
import subprocess
import sys
import tokenize
import types
import weakref

import numpy as np
import pytest

from tarn.driver.common.plinth import compress

pyvisa = pytest.importorskip("pyvisa", reason="pyvisa is not installed (the examples extra)")
pytest.importorskip("pyvisa_sim", reason="pyvisa-sim is not installed (the examples extra)")

from tarn.driver.visa import InstrumentError, InstrumentTimeout

ROOT = pathlib.Path(__file__).resolve().parent.parent


def load(name):
    spec = importlib.util.spec_from_file_location(name, ROOT / "examples" / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    sys.modules.setdefault(name, module)
    spec.loader.exec_module(module)
    return module


scpi = load("scpi_source")
supply = load("power_supply")
dmm = load("multimeter")
controller = load("temperature_controller")
lockin = load("lockin_amplifier")

RESOURCE = "TCPIP0::192.168.1.42::inst0::INSTR"
OPENING = ["*CLS", "*IDN?"]
NO_ERROR = "SYST:ERR?"


@pytest.fixture(params=[scpi.ScpiSource])
def sim(request, tmp_path, monkeypatch):
    """A fresh simulated instrument of the driver class `request.param` (PyVISA keeps one per
    simulation file for the whole process, so each test gets its own copy of the file) and the
    list of lines that reach it."""
    path = tmp_path / "instrument.yaml"
    shutil.copy(request.param.simulation, path)
    backend = f"{path}@sim"
    device = pyvisa.ResourceManager(backend).visalib.devices[RESOURCE]
    received = []
    write = device.write

    def spy(data):
        received.extend(data.decode().splitlines())
        write(data)

    monkeypatch.setattr(device, "write", spy)
    return types.SimpleNamespace(backend=backend, received=received, driver=request.param)


@pytest.mark.parametrize("ch", [1, 2])
@pytest.mark.parametrize("name, value, line", [
    ("Frequency", 2.4e9, "SOUR{ch}:FREQ 2400000000.0"),
    ("Frequency", 9e3, "SOUR{ch}:FREQ 9000.0"),           # both ends of the range
    ("Frequency", 6e9, "SOUR{ch}:FREQ 6000000000.0"),
    ("Frequency", 123456.789, "SOUR{ch}:FREQ 123456.789"),
    ("Power", -3.5, "SOUR{ch}:POW -3.5"),
    ("Power", -130.0, "SOUR{ch}:POW -130.0"),
    ("Power", 20, "SOUR{ch}:POW 20.0"),                   # an int goes out as a float
    ("Output", True, "OUTP{ch} 1"),
    ("Output", np.True_, "OUTP{ch} 1"),
    ("Output", 0, "OUTP{ch} 0"),
    ("Reference", "external", "ROSC:SOUR EXT"),          # instrument-wide: any channel
    ("Reference", "internal", "ROSC:SOUR INT"),
])
def test_every_quantity_round_trips_through_the_instrument(sim, caplog, name, value, line, ch):
    caplog.set_level(logging.DEBUG, logger="tarn.driver.ScpiSource")
    with scpi.ScpiSource(backend=sim.backend) as source:
        assert source.identity == "TARN LAB,SG-2,000042,1.0.0"
        source.setValue(name, value, ch=ch)
        recorded = source.config[name][ch]["value"]
        answer = source.getValue(name, ch=ch)
        sent = line.format(ch=ch)
        query = sent.split(" ")[0] + "?"
        assert sim.received == OPENING + [sent, NO_ERROR, query, NO_ERROR]
        echoed = [r.getMessage() for r in caplog.records]
        assert echoed[:7] == ["-> *CLS", "-> *IDN?", "<- TARN LAB,SG-2,000042,1.0.0",
                              f"-> {sent}", f"-> {NO_ERROR}", '<- +0,"No error"', f"-> {query}"]
        assert echoed[7].startswith("<- ") and echoed[8:] == [f"-> {NO_ERROR}", '<- +0,"No error"']
        expected = value if name == "Reference" else bool(value) if name == "Output" else float(value)
        for got in (recorded, answer, source.config[name][ch]["value"]):
            assert got == expected and type(got) is type(expected)
        if name != "Reference":  # the other channel still holds the instrument's default
            assert source.getValue(name, ch=3 - ch) == source.quantities[name].default["value"]
        else:  # instrument-wide: recorded once, whichever channel was named
            assert source.config[name]["global"]["value"] == value


@pytest.mark.parametrize("name, good, bad, ch", [
    ("Frequency", 2e9, 1e12, 1),
    ("Frequency", 2e9, 8999.0, 2),
    ("Power", -3.5, 20.5, 2),
    ("Power", -3.5, -131, 1),
])
def test_a_refused_value_raises_the_instrument_message_and_keeps_the_last_good_one(
        sim, name, good, bad, ch):
    with scpi.ScpiSource(backend=sim.backend) as source:
        source.setValue(name, good, ch=ch)
        with pytest.raises(InstrumentError) as info:
            source.setValue(name, bad, ch=ch)
        line = sim.received[-3]
        assert str(info.value) == (f"{name} on channel {ch}: the instrument refused {line!r}: "
                                   '-222,"Data out of range"')
        # The queue was read until empty, and both config and the instrument kept the good value.
        assert sim.received[-2:] == [NO_ERROR, NO_ERROR]
        assert source.config[name][ch]["value"] == good
        assert source.getValue(name, ch=ch) == good
        source.setValue(name, good, ch=ch)  # the next setting finds an empty queue


@pytest.mark.parametrize("name, value, ch, error, message", [
    ("Frequency", float("nan"), 1, ValueError, "Frequency on channel 1: nan is not a finite number"),
    ("Power", float("-inf"), 2, ValueError, "Power on channel 2: -inf is not a finite number"),
    ("Frequency", 1e9, "global", ValueError, "Frequency is set per channel [1, 2], not on channel 'global'"),
    ("Output", "ON", 1, ValueError, "Output on channel 1: expected True/False or 1/0, not 'ON'"),
    ("Output", 1.0, 1, ValueError, "Output on channel 1: expected True/False or 1/0, not 1.0"),
    ("Output", 2, 2, ValueError, "Output on channel 2: expected True/False or 1/0, not 2"),
    ("Reference", "INT", "global", ValueError,
     "Reference (global): 'INT' is not one of 'internal', 'external'"),
    ("Waveform", np.zeros((2, 3)), 1, ValueError, "Waveform on channel 1: expected a non-empty "
     "1-D array of finite real numbers, got float64 of shape (2, 3)"),
    ("Waveform", np.array([], dtype=np.int32), 1, ValueError, "Waveform on channel 1: expected a "
     "non-empty 1-D array of finite real numbers, got int32 of shape (0,)"),
    ("Waveform", np.array([1j]), 2, ValueError, "Waveform on channel 2: expected a non-empty "
     "1-D array of finite real numbers, got complex128 of shape (1,)"),
    ("Waveform", np.array(["1"]), 2, ValueError, "Waveform on channel 2: expected a non-empty "
     "1-D array of finite real numbers, got <U1 of shape (1,)"),
    ("Waveform", compress(np.array([0.0, np.inf])), 2, ValueError, "Waveform on channel 2: expected "
     "a non-empty 1-D array of finite real numbers, got float64 of shape (2,)"),
])
def test_values_the_wire_cannot_carry_are_refused_before_sending(sim, name, value, ch, error, message):
    with scpi.ScpiSource(backend=sim.backend) as source:
        default = source.config[name][ch]["value"]
        with pytest.raises(error) as info:
            source.setValue(name, value, ch=ch)
        assert str(info.value) == message
        assert sim.received == OPENING
        assert source.config[name][ch]["value"] is default


@pytest.mark.parametrize("samples, chunk", [
    (np.array([0, 0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 1], dtype=np.int8), 8),   # two lines
    (np.array([3, 3, 7], dtype=np.uint16), 3),                           # exactly one line
    (np.array([True, True, False, True]), 256),                          # sent as 1 and 0
    (np.random.default_rng(7).normal(size=1000), 256),                   # four lines, last short
    (np.repeat(np.float32([0.1, -0.7, 1e-30]), [100, 1, 411]), 100),       # float32, six lines
])
def test_a_compressed_waveform_reaches_the_instrument_expanded(sim, samples, chunk):
    with scpi.ScpiSource(backend=sim.backend, chunk=chunk) as source:
        source.setValue("Waveform", compress(samples), ch=2)
        lines = sim.received[len(OPENING):]
        data = lines[0::2]
        assert lines[1::2] == [NO_ERROR] * len(data)
        heads = [line.split(" ", 1)[0] for line in data]
        assert heads == ["SOUR2:DATA"] + ["SOUR2:DATA:APP"] * (len(samples) // -chunk * -1 - 1)
        blocks = [line.split(" ", 1)[1].split(",") for line in data]
        assert all(len(block) == chunk for block in blocks[:-1])
        sent = np.array([float(v) for block in blocks for v in block])
        assert np.array_equal(sent, samples.astype(np.float64))
        # The instrument cannot send it back: getValue answers the expanded array from config.
        assert np.array_equal(source.getValue("Waveform", ch=2), samples)
        assert len(sim.received) == len(OPENING) + 2 * len(data)


@pytest.mark.parametrize("body_raises", [False, True])
def test_with_and_the_finaliser_close_the_resource_once(sim, capsys, body_raises):
    closes = []

    class Source(scpi.ScpiSource):
        def close(self, **kw):
            closes.append(self.resource is not None)
            super().close(**kw)

    source = Source(backend=sim.backend)
    resource_closes = []
    try:
        with source as entered:
            assert entered is source and sim.received == OPENING
            resource = source.resource
            close = resource.close
            resource.close = lambda: (resource_closes.append(1), close())
            if body_raises:
                raise KeyError("body")
    except KeyError:
        assert body_raises
    assert closes == [True] and resource_closes == [1] and source.resource is None
    with pytest.raises(pyvisa.errors.InvalidSession):
        resource.session
    with pytest.raises(RuntimeError, match="^the instrument is not open"):
        source.setValue("Power", 0.0)
    alive = weakref.ref(source)
    del source, entered
    gc.collect()
    assert alive() is None
    assert closes == [True, False] and resource_closes == [1]
    assert capsys.readouterr().out == ""  # the finaliser had nothing to report


def test_resource_options_reach_open_resource(sim):
    class Delayed(scpi.ScpiSource):
        resource_options = {"query_delay": 0.001, "timeout": 1500}

    with Delayed(backend=sim.backend) as source:
        assert (source.resource.query_delay, source.resource.timeout) == (0.001, 1500)
        assert source.getValue("Power", ch=2) == -10.0


def test_an_instrument_that_does_not_answer_leaves_no_session_open(tmp_path):
    path = tmp_path / "mute.yaml"  # *IDN? gets no answer
    path.write_text(scpi.ScpiSource.simulation.read_text().replace('r: "TARN LAB,SG-2,000042,1.0.0"', ""))
    source = scpi.ScpiSource(backend=f"{path}@sim", timeout=0.2)
    with pytest.raises(InstrumentTimeout, match=r"^the instrument did not answer '\*IDN\?' in time") as info:
        with source:
            pytest.fail("the body runs only once open has succeeded")
    assert isinstance(info.value.__cause__, pyvisa.errors.VisaIOError)
    assert source.resource is None
    assert pyvisa.ResourceManager(f"{path}@sim").list_opened_resources() == []


def test_debug_mode_sends_nothing(sim, capsys):
    with scpi.ScpiSource(backend=sim.backend) as source:
        source.setValue("Frequency", 1e12, ch=2, mode="debug", target="bench")
        source.setValue("Waveform", compress(np.array([1.5, 1.5])), ch=1, mode="debug")
        assert source.getValue("Power", ch=1, mode="debug") is None
        assert sim.received == OPENING
        assert source.config["Frequency"][2]["value"] == 1e9
    assert capsys.readouterr().out == ("SET Frequency 1000000000000.0 bench\n"
                                       "SET Waveform [1.5 1.5] \nGET Power \n")


# --- the power supply ------------------------------------------------------------------------

@pytest.mark.parametrize("sim", [supply.PowerSupply], indirect=True)
@pytest.mark.parametrize("name, value, ch, sent, answer", [
    ("Voltage", 12.5, 1, "SOUR1:VOLT 12.5", 12.5),
    ("Voltage", 6, 2, "SOUR2:VOLT 6.0", 6.0),             # channel 2's upper bound
    ("Current", 0, 2, "SOUR2:CURR 0.0", 0.0),
    ("Output", True, 2, "OUTP2 1", True),
    ("MeasuredVoltage", None, 1, None, 4.998),            # readings: only queried
    ("MeasuredCurrent", None, 2, None, 0.25),
])
def test_the_supply_sets_and_reads_each_quantity(sim, name, value, ch, sent, answer):
    with supply.PowerSupply(backend=sim.backend) as psu:
        if sent is not None:
            psu.setValue(name, value, ch=ch)
        assert psu.getValue(name, ch=ch) == answer and psu.config[name][ch]["value"] == answer
        query = psu.quantities[name].get_command(ch)
        assert sim.received == OPENING + ([sent, NO_ERROR] if sent else []) + [query, NO_ERROR]


@pytest.mark.parametrize("sim", [supply.PowerSupply], indirect=True)
@pytest.mark.parametrize("name, value, ch, message", [
    ("Voltage", 7.0, 2, "Voltage on channel 2: 7.0 is outside 0..6 V"),  # the instrument takes 7
    ("Current", 3.5, 1, "Current on channel 1: 3.5 is outside 0..3 A"),
    ("Voltage", float("nan"), 1, "Voltage on channel 1: nan is not a finite number"),
    ("MeasuredCurrent", 1.0, 1, "MeasuredCurrent on channel 1: read-only, it cannot be set"),
    ("Output", 1, "global", "Output is set per channel [1, 2], not on channel 'global'"),
])
def test_the_supply_refuses_before_sending(sim, name, value, ch, message):
    with supply.PowerSupply(backend=sim.backend) as psu:
        with pytest.raises(ValueError) as info:
            psu.setValue(name, value, ch=ch)
        assert str(info.value) == message and sim.received == OPENING


# --- the multimeter and the temperature controller ----------------------------------------------

@pytest.mark.parametrize("sim, name, value, ch, lines, answer", [
    (dmm.Multimeter, "Function", "4w_resistance", 1, ['FUNC "FRES"', "FUNC?"], "4w_resistance"),
    (dmm.Multimeter, "Range", 1000, 1,
     ["FUNC?", "VOLT:RANG:AUTO 0", "VOLT:RANG 1000.0", "FUNC?", "VOLT:RANG:AUTO?", "VOLT:RANG?"], 1000.0),
    (dmm.Multimeter, "Range", "auto", 1, ["FUNC?", "VOLT:RANG:AUTO 1", "FUNC?", "VOLT:RANG:AUTO?"], "AUTO"),
    (dmm.Multimeter, "NPLC", 0.02, 1, ["FUNC?", "VOLT:NPLC 0.02", "FUNC?", "VOLT:NPLC?"], 0.02),
    (dmm.Multimeter, "Reading", None, 1, ["READ?"], 4.99871234),
    (controller.TemperatureController, "Temperature", None, "B", ["KRDG? B"], 4.218),
    (controller.TemperatureController, "HeaterRange", "high", 2, ["RANGE 2,3", "RANGE? 2"], "high"),
    # a ramp from the setpoint read first, 5 K a step; the delay after each, the interval between
    (controller.TemperatureController, "Setpoint", 70, 1,
     ["SETP? 1", "SETP 1,75.0", "SETP 1,70.0", "SETP? 1"], 70.0),
    (controller.TemperatureController, "HeaterOutput", None, 1, ["HTR? 1"], 42.5),
    # indexed tables, a value between steps rounded up: 3 mV is 5 mV (19), 0.2 s is 0.3 s (9)
    (lockin.LockinAmplifier, "Sensitivity", 3e-3, 1, ["SENS 19", "SENS?"], 5e-3),
    (lockin.LockinAmplifier, "TimeConstant", 0.2, 1, ["OFLT 9", "OFLT?"], 0.3),
    (lockin.LockinAmplifier, "Harmonic", 3, 1, ["HARM 3", "HARM?"], 3),
    (lockin.LockinAmplifier, "XY", None, 1, ["SNAP? 1,2"], (1.2e-3, -4e-5)),
], indirect=["sim"])
def test_the_meter_and_the_controller_set_and_read_each_quantity(sim, name, value, ch, lines, answer,
                                                                  monkeypatch):
    slept = []
    monkeypatch.setattr("tarn.driver.visa.time.sleep", slept.append)
    with sim.driver(backend=sim.backend) as driver:
        if value is not None:
            driver.setValue(name, value, ch=ch)
        assert driver.getValue(name, ch=ch) == answer and driver.config[name][ch]["value"] == answer
        errors = driver.error_query
    assert sim.received == OPENING + [line for sent in lines for line in (sent, errors)]
    assert slept == ([0.5, 0.5, 0.5] if name == "Setpoint" else [])


# --- size and types of the examples -----------------------------------------------------------

def code_lines(path):
    """Lines that hold code: neither blank, nor comments only, nor docstrings."""
    source = pathlib.Path(path).read_text()
    docstrings = set()
    for node in ast.walk(ast.parse(source)):
        body = getattr(node, "body", None)
        if isinstance(body, list) and body and isinstance(body[0], ast.Expr) \
                and isinstance(body[0].value, ast.Constant) and isinstance(body[0].value.value, str):
            docstrings.update(range(body[0].lineno, body[0].end_lineno + 1))
    lines = set()
    skip = {tokenize.COMMENT, tokenize.NL, tokenize.NEWLINE, tokenize.INDENT, tokenize.DEDENT,
            tokenize.ENCODING, tokenize.ENDMARKER}
    for token in tokenize.generate_tokens(io.StringIO(source).readline):
        if token.type not in skip:
            lines.update(range(token.start[0], token.end[0] + 1))
    return len(lines - docstrings)


@pytest.mark.parametrize("source, expected", [
    ('"""doc\n\nmore"""\n\n# note\nx = 1  # one\n', 1),
    ('def f():\n    """doc"""\n    return (1,\n            2)\n', 3),
    ('s = """a\nb"""\n', 2),  # a string that is not a docstring counts
])
def test_code_lines(tmp_path, source, expected):
    path = tmp_path / "m.py"
    path.write_text(source)
    assert code_lines(path) == expected


@pytest.mark.parametrize("example, budget", [("scpi_source.py", 35), ("power_supply.py", 25),
                                             ("multimeter.py", 40), ("temperature_controller.py", 26),
                                             ("waveform_generator.py", 40),
                                             ("lockin_amplifier.py", 45), ("oscilloscope.py", 45)])
def test_examples_stay_within_their_line_budget(example, budget):
    assert code_lines(ROOT / "examples" / example) <= budget


@pytest.mark.slow
@pytest.mark.parametrize("tool, command", [
    ("mypy", [sys.executable, "-m", "mypy", "--strict", "--cache-dir", "{tmp}"]),
    ("basedpyright", [str(pathlib.Path(sys.executable).with_name("basedpyright")),
                      "--pythonpath", sys.executable]),
])
def test_the_python_layer_and_the_examples_type_check(tmp_path, tool, command):
    for needed in (tool, "paramiko"):  # the SSH module's stub imports paramiko
        if importlib.util.find_spec(needed) is None:
            pytest.skip(f"{needed} is not installed for this interpreter")
    command = [part.format(tmp=tmp_path) for part in command]
    done = subprocess.run([*command, "src/tarn", "examples"], cwd=ROOT, capture_output=True,
                          text=True, timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr
