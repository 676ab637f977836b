"""A driver on the real wire: the example SCPI source (examples/scpi_source.py) over PyVISA against
its instrument simulated by pyvisa-sim, watching the lines that reach the instrument."""

import gc
import importlib.util
import pathlib
import shutil
import sys
import types
import weakref

import numpy as np
import pytest

from tarn.driver.common.plinth import compress

pyvisa = pytest.importorskip("pyvisa", reason="pyvisa is not installed (the examples extra)")
pytest.importorskip("pyvisa_sim", reason="pyvisa-sim is not installed (the examples extra)")

EXAMPLE = pathlib.Path(__file__).resolve().parent.parent / "examples" / "scpi_source.py"
_spec = importlib.util.spec_from_file_location("scpi_source", EXAMPLE)
scpi = importlib.util.module_from_spec(_spec)
sys.modules.setdefault("scpi_source", scpi)
_spec.loader.exec_module(scpi)

RESOURCE = "TCPIP0::192.168.1.42::inst0::INSTR"
OPENING = ["*CLS", "*IDN?"]
NO_ERROR = "SYST:ERR?"


@pytest.fixture
def sim(tmp_path, monkeypatch):
    """A fresh simulated instrument (PyVISA keeps one per simulation file for the whole process,
    so each test gets its own copy of the file) and the list of lines that reach it."""
    path = tmp_path / "instrument.yaml"
    shutil.copy(scpi.SIMULATION, path)
    backend = f"{path}@sim"
    device = pyvisa.ResourceManager(backend).visalib.devices[RESOURCE]
    received = []
    write = device.write

    def spy(data):
        received.extend(data.decode().splitlines())
        write(data)

    monkeypatch.setattr(device, "write", spy)
    return types.SimpleNamespace(backend=backend, received=received)


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
def test_every_quantity_round_trips_through_the_instrument(sim, name, value, line, ch):
    echoed = []
    with scpi.ScpiSource(backend=sim.backend, echo=echoed.append) as source:
        assert source.identity == "TARN LAB,SG-2,000042,1.0.0"
        source.setValue(name, value, ch=ch)
        recorded = source.config[name][ch]["value"]
        answer = source.getValue(name, ch=ch)
        sent = line.format(ch=ch)
        query = sent.split(" ")[0] + "?"
        assert sim.received == OPENING + [sent, NO_ERROR, query]
        assert echoed[:-1] == ["-> *CLS", "-> *IDN?", "<- TARN LAB,SG-2,000042,1.0.0",
                               f"-> {sent}", f"-> {NO_ERROR}", '<- +0,"No error"', f"-> {query}"]
        assert echoed[-1].startswith("<- ")
        expected = value if name == "Reference" else bool(value) if name == "Output" else float(value)
        for got in (recorded, answer, source.config[name][ch]["value"]):
            assert got == expected and type(got) is type(expected)
        if name != "Reference":  # the other channel still holds the instrument's default
            assert source.getValue(name, ch=3 - ch) == source.quantities[name].default["value"]


@pytest.mark.parametrize("name, good, bad, ch", [
    ("Frequency", 2e9, 1e12, 1),
    ("Frequency", 2e9, 8999.0, 2),
    ("Power", -3.5, 20.5, 2),
    ("Power", -3.5, -131, 1),
    ("Output", True, 2, 1),
])
def test_a_refused_value_raises_the_instrument_message_and_keeps_the_last_good_one(
        sim, name, good, bad, ch):
    with scpi.ScpiSource(backend=sim.backend) as source:
        source.setValue(name, good, ch=ch)
        with pytest.raises(scpi.InstrumentError) as info:
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
    ("Output", "ON", 1, TypeError, "Output on channel 1: expected True/False or 1/0, not 'ON'"),
    ("Output", 1.0, 1, TypeError, "Output on channel 1: expected True/False or 1/0, not 1.0"),
    ("Reference", "INT", "global", ValueError, "Reference must be 'internal' or 'external', not 'INT'"),
    ("Waveform", np.zeros((2, 3)), 1, ValueError, "Waveform on channel 1: expected a non-empty "
     "one-dimensional array of real numbers, got float64 of shape (2, 3)"),
    ("Waveform", np.array([], dtype=np.int32), 1, ValueError, "Waveform on channel 1: expected a "
     "non-empty one-dimensional array of real numbers, got int32 of shape (0,)"),
    ("Waveform", np.array([1j]), 2, ValueError, "Waveform on channel 2: expected a non-empty "
     "one-dimensional array of real numbers, got complex128 of shape (1,)"),
    ("Waveform", compress(np.array([0.0, np.inf])), 2, ValueError,
     "Waveform on channel 2: the samples must be finite numbers"),
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


def test_an_instrument_that_does_not_answer_leaves_no_session_open(tmp_path):
    path = tmp_path / "mute.yaml"  # *IDN? gets no answer
    path.write_text(scpi.SIMULATION.read_text().replace('r: "TARN LAB,SG-2,000042,1.0.0"', ""))
    source = scpi.ScpiSource(backend=f"{path}@sim", timeout=0.2)
    with pytest.raises(pyvisa.errors.VisaIOError, match="VI_ERROR_TMO"):
        with source:
            pytest.fail("the body runs only once open has succeeded")
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
