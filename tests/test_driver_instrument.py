"""The SCPI instrument of tests/scpi_instrument.py on loopback: what it answers on a raw socket,
the misbehaviours its control lines arm, and the power-supply example driver talking to it
through pyvisa-py."""

import _thread
import json
import os
import socket
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

from helpers import FREE_THREADED
from tarn.driver.common.plinth import compress
from tarn.driver.common.quantity import Quantity
from tarn.driver.visa import (InstrumentAnswerError, InstrumentConnectionError, InstrumentError,
                              InstrumentTimeout)

IDN = b"TARN,LOOPBACK,0,1.0"
OK = '+0,"No error"'


class Client:
    """A raw instrument connection: lines out, lines (bytes) in, every wait bounded."""

    def __init__(self, port, timeout=5.0):
        self.socket = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        self.answers = self.socket.makefile("rb")

    def send(self, *lines):
        self.socket.sendall(b"".join(line.encode() + b"\n" for line in lines))

    def line(self):
        """The next answer without its newline; b"" at the end of the connection."""
        return self.answers.readline().removesuffix(b"\n")

    def ask(self, line):
        self.send(line)
        return self.line().decode()

    def close(self):
        self.answers.close()
        self.socket.close()


@pytest.fixture
def client(instrument):
    made = Client(instrument.port)
    yield made
    made.close()


@pytest.mark.parametrize("lines, answers, changed", [
    (["*IDN?"], [IDN.decode()], {}),
    # ranges per channel; a refused value stays as it was and queues its error
    (["SOUR2:VOLT 5.5", "SOUR2:VOLT 6.5", "SOUR2:VOLT?", "SYST:ERR?", "SYST:ERR?"],
     ["+5.500000E+00", '-222,"Data out of range"', OK], {"2.voltage": 5.5}),
    (["SOUR1:VOLT 30", "SOUR1:CURR 3.5", "SOUR1:CURR?", "SYST:ERR?"],
     ["+1.000000E-01", '-222,"Data out of range"'], {"1.voltage": 30.0}),
    # long forms, any case; the answers of one line joined by ";"
    (["source2:current 0.25;:OUTPut2 ON;:OUTP2?;:SOURce2:CURRent?"], ["1;+2.500000E-01"],
     {"2.current": 0.25, "2.output": True}),
    # a header after ";" continues the previous one's path
    (["SOUR1:VOLT 2;CURR 0.5;FREQ 2e6;VOLT?"], ["+2.000000E+00"],
     {"1.voltage": 2.0, "1.current": 0.5, "1.frequency": 2e6}),
    (["SOUR1:VOLT 2;OUTP1 1", "SYST:ERR?", "SYST:ERR?"], ['-113,"Undefined header"', OK],
     {"1.voltage": 2.0}),
    # measured values: the set voltage and voltage / load (10 ohms on 1, 4 on 2) while on
    (["SOUR1:VOLT 12;:SOUR2:VOLT 6;:MEAS1:VOLT?;:MEAS1:CURR?", "OUTP1 1;OUTP2 1",
      "MEAS1:VOLT?;:MEAS1:CURR?;:MEAS2:VOLT?;:MEAS2:CURR?"],
     ["+0.000000E+00;+0.000000E+00", "+1.200000E+01;+1.200000E+00;+6.000000E+00;+1.500000E+00"],
     {"1.voltage": 12.0, "2.voltage": 6.0, "1.output": True, "2.output": True}),
    # errors: undefined headers, channel suffix, missing or wrong parameters, queue order
    (["VOLT 1;:SOUR3:VOLT?;:SOUR1:VOLT abc;:OUTP1 2;:SOUR1:VOLT;*IDN? 1", *["SYST:ERR?"] * 7],
     ['-113,"Undefined header"', '-114,"Header suffix out of range"', '-104,"Data type error"',
      '-224,"Illegal parameter value"', '-109,"Missing parameter"', '-108,"Parameter not allowed"',
      OK], {}),
    (["FOO", "*CLS", "SYST:ERR?"], [OK], {}),
    # strings: doubled quotes, ";" inside quotes is text; *RST outside quotes runs and resets
    (["DISP:TEXT 'it''s \"A;B\"'", "DISP:TEXT?"], ['"it\'s ""A;B"""'], {"display": 'it\'s "A;B"'}),
    (["SOUR1:VOLT 9;:OUTP1 1;:DISP:TEXT 'x'", "DISP:TEXT 'y';*RST", "SOUR1:VOLT?;:OUTP1?;:DISP:TEXT?"],
     ['+0.000000E+00;0;""'], {}),
    (["DISP:TEXT plain", "SYST:ERR?"], ['-104,"Data type error"'], {}),
])
def test_dialogue(instrument, client, lines, answers, changed):
    defaults = instrument.state()
    client.send(*lines)
    assert [client.line().decode() for _ in answers] == answers
    expected = defaults
    for path, value in changed.items():
        if path == "display":
            expected["display"] = value
        else:
            ch, name = path.split(".")
            expected["channels"][ch][name] = value
    state = instrument.state()
    state["errors"] = []  # the queue is checked through SYST:ERR? above
    assert state == expected
    assert instrument.received() == lines


# For each fault: what the client sends, then the lines it reads before the connection ends
# (b"" at the end, ConnectionResetError for an RST). "*OPC?" after the query shows that the next
# query is answered as usual.
@pytest.mark.parametrize("kind, arg, lines, expected", [
    ("silent", None, ["*IDN?", "*OPC?"], [b"1"]),
    ("late", "0.3", ["*IDN?", "*OPC?"], [IDN, b"1"]),
    ("double", None, ["*IDN?", "*OPC?"], [IDN, IDN, b"1"]),
    ("garbage", None, ["*IDN?", "*OPC?"], [b"\xff\xfe\x80\xc3(#\x00\x9f", b"1"]),
    ("lateblock", "0.3", ["*IDN?", "*OPC?"], [b"#14\x00", b"\xff\x80", b"1"]),
    ("block", "#0", ["*IDN?", "*OPC?"], [b"#0" + IDN, b"1"]),
    ("hangup", None, ["*IDN?"], [b""]),
    ("reset", None, ["*IDN?"], [ConnectionResetError]),
    # an error entry comes with the next command, query or not, which still takes effect
    ("error", "201", ["SOUR1:VOLT 3", "SYST:ERR?", "SYST:ERR?"], [b'+201,"Device specific"', OK.encode()]),
    ("error", "-310 System error", ["*OPC?;:SYST:ERR?"], [b'1;-310,"System error"']),
])
def test_fault(instrument, client, kind, arg, lines, expected):
    instrument.fault(kind, arg)
    assert instrument.state()["faults" if kind != "error" else "injected"]
    sent = time.monotonic()
    client.send(*lines)
    for want in expected:
        if isinstance(want, type):
            with pytest.raises(want):
                client.line()
        else:
            assert client.line() == want
    if kind == "late":
        assert time.monotonic() - sent >= float(arg)
    # used once: the state shows nothing armed, and a new connection is answered as usual
    state = instrument.state()
    assert state["faults"] == state["injected"] == []
    if lines[0] == "SOUR1:VOLT 3":
        assert state["channels"]["1"]["voltage"] == 3.0
    again = Client(instrument.port)
    try:
        assert again.ask("*IDN?;:SYST:ERR?") == f"{IDN.decode()};{OK}"
    finally:
        again.close()


def test_connections_share_state_and_log(instrument):
    first, second = Client(instrument.port), Client(instrument.port)
    try:
        first.send("SOUR2:VOLT 4.5")
        assert first.ask("*OPC?") == "1"  # the command has been carried out
        assert second.ask("SOUR2:VOLT?") == "+4.500000E+00"
        # control lines are answered on any connection and are not logged
        assert second.ask("!fault bogus").startswith("error: unknown control line")
        with pytest.raises(ValueError, match="late needs seconds"):
            instrument.fault("late", "soon")
        assert instrument.received() == ["SOUR2:VOLT 4.5", "*OPC?", "SOUR2:VOLT?"]
        instrument.clear()
        assert first.ask("*IDN?") == IDN.decode()
        assert instrument.received() == ["*IDN?"]
    finally:
        first.close()
        second.close()


@pytest.fixture
def PowerSupply(monkeypatch):
    pytest.importorskip("pyvisa")
    pytest.importorskip("pyvisa_py", reason="pyvisa-py opens the instrument's SOCKET resource")
    import os

    monkeypatch.syspath_prepend(os.path.join(os.path.dirname(__file__), "..", "examples"))
    from power_supply import PowerSupply
    return PowerSupply


def test_power_supply_driver(instrument, PowerSupply):
    settings = {1: {"Voltage": 12.5, "Current": 2.0, "Output": True},
                2: {"Voltage": 3.3, "Current": 0.5, "Output": False}}
    with PowerSupply(instrument.resource, backend="@py", timeout=2.0) as psu:
        assert psu.identity == IDN.decode()
        for ch, values in settings.items():
            for name, value in values.items():
                psu.setValue(name, value, ch=ch)
        for ch, values in settings.items():
            for name, value in values.items():
                assert psu.getValue(name, ch=ch) == value
        assert psu.getValue("MeasuredVoltage", ch=1) == 12.5
        assert psu.getValue("MeasuredCurrent", ch=1) == 1.25
        assert psu.getValue("MeasuredVoltage", ch=2) == 0.0
        state = instrument.state()
        for ch, values in settings.items():
            for name, value in values.items():
                assert psu.config[name][ch]["value"] == value == state["channels"][str(ch)][name.lower()]
        # an error the instrument reports reaches the caller; the setting stays as it was
        instrument.fault("error", "201 Overheated")
        with pytest.raises(InstrumentError, match=r'\+201,"Overheated"'):
            psu.setValue("Voltage", 1.0, ch=2)
        assert psu.config["Voltage"][2]["value"] == 3.3
    assert instrument.received()[:2] == ["*CLS", "*IDN?"]


# Samples whose float32 bytes are newlines, to cross a line-reading instrument inside a block.
NEWLINES = np.frombuffer(b"\n\n\n?\n\n\n\xbf", "<f4")
LONG = np.concatenate([np.repeat(NEWLINES, 500), np.linspace(-1, 1, 1001, dtype=np.float32)])


@pytest.mark.parametrize("ch, given, sent, refused", [
    (2, compress(LONG), LONG, False),  # expanded, then sent as one block of 2001 samples
    (1, np.tile(NEWLINES, 4), np.tile(NEWLINES, 4), False),
    (1, None, np.array([0.5, 1.5, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0], dtype=np.float32), True),
])
def test_the_generator_uploads_a_waveform_bit_for_bit(instrument, monkeypatch, ch, given, sent, refused):
    pytest.importorskip("pyvisa_py", reason="pyvisa-py opens the instrument's SOCKET resource")
    monkeypatch.syspath_prepend(os.path.join(os.path.dirname(__file__), "..", "examples"))
    from waveform_generator import WaveformGenerator

    with WaveformGenerator(instrument.resource, backend="@py", timeout=2.0) as gen:
        if refused:  # past the driver's check: the instrument refuses it and keeps what it had
            with pytest.raises(InstrumentError, match='-222,"Data out of range"'):
                gen.send_block(f"SOUR{ch}:DATA", sent)
        else:
            gen.setValue("Waveform", given, ch=ch)
            recorded = gen.config["Waveform"][ch]["value"]
            assert recorded.dtype == np.float32 and np.array_equal(recorded, sent)
        # the stream is in step after the block: the next answer is the next query's
        assert gen.getValue("Frequency", ch=ch) == 1e9
    state = instrument.state()["channels"]
    held = np.array(state[str(ch)]["samples"], dtype=np.float32)
    assert held.view(np.uint32).tolist() == ([] if refused else sent.view(np.uint32).tolist())
    assert state[str(3 - ch)]["samples"] == []
    assert instrument.received()[2:] == [f"SOUR{ch}:DATA #", "SYST:ERR?", *(["SYST:ERR?"] if refused else []),
                                         f"SOUR{ch}:FREQ?", "SYST:ERR?"]


# --- the driver under threads and faults --------------------------------------------------------

SETTINGS = {1: {"Voltage": 12.5, "Current": 2.0, "Output": True},
            2: {"Voltage": 3.3, "Current": 0.5, "Output": True}}
# What each reading answers with SETTINGS in place (voltage / load: 10 ohms on 1, 4 on 2).
READINGS = {("Voltage", 1): 12.5, ("Voltage", 2): 3.3, ("MeasuredVoltage", 1): 12.5,
            ("MeasuredVoltage", 2): 3.3, ("MeasuredCurrent", 1): 1.25, ("MeasuredCurrent", 2): 0.825,
            ("Output", 1): True, ("Output", 2): True}


def settle(psu):
    for ch, values in SETTINGS.items():
        for name, value in values.items():
            psu.setValue(name, value, ch=ch)


def agrees(psu, state):
    """The (name, ch) pairs whose config differs from the instrument's state."""
    return [(name, ch) for ch in (1, 2) for name in ("Voltage", "Current", "Output")
            if psu.config[name][ch]["value"] != state["channels"][str(ch)][name.lower()]]


def share_one_driver(PowerSupply, resource, rounds=40, compound=False):
    """Eight threads on one driver: six read their own quantity `rounds` times, two set the
    current of channel 1 to values of their own. Returns the answers that were wrong, and the
    driver (closed) for its config."""
    import threading

    wrong, barrier = [], threading.Barrier(8)
    supply = type("PowerSupply", (PowerSupply,), {"compound_messages": compound})
    psu = supply(resource, backend="@py", timeout=5.0)
    with psu:
        settle(psu)

        def reader(name, ch):
            barrier.wait(10)
            for _ in range(rounds):
                got = psu.getValue(name, ch=ch)
                if got != READINGS[name, ch]:
                    wrong.append(f"{name} ch{ch}: expected {READINGS[name, ch]}, got {got}")

        def setter(values):
            barrier.wait(10)
            for value in values * (rounds // len(values)):
                psu.setValue("Current", value, ch=1)

        pairs = [("Voltage", 1), ("MeasuredCurrent", 2), ("MeasuredVoltage", 1), ("MeasuredCurrent", 1),
                 ("Output", 2), ("Voltage", 2)]
        threads = [threading.Thread(target=reader, args=pair) for pair in pairs]
        threads += [threading.Thread(target=setter, args=(v,)) for v in ([0.25, 0.75], [1.5, 2.5])]
        for t in threads:
            t.start()
        for t in threads:
            t.join(120)
        assert not any(t.is_alive() for t in threads)
    return wrong, psu


@pytest.mark.parametrize("compound", [False, True])
def test_threads_sharing_one_driver_get_their_own_answers(instrument, PowerSupply, compound):
    wrong, psu = share_one_driver(PowerSupply, instrument.resource, compound=compound)
    assert wrong == []
    assert agrees(psu, instrument.state()) == []


@pytest.mark.skipif(not FREE_THREADED, reason="needs a free-threaded interpreter")
@pytest.mark.parametrize("compound", [False, True])
def test_threads_sharing_one_driver_with_the_gil_off(instrument, compound):
    code = ("import json, os, sys; sys.path[:0] = [os.environ['TESTS'], os.environ['EXAMPLES']]\n"
            "from power_supply import PowerSupply\n"
            "import test_driver_instrument as t\n"
            "wrong, psu = t.share_one_driver(PowerSupply, sys.argv[1], compound=sys.argv[2] == 'on')\n"
            "assert not sys._is_gil_enabled()\n"
            "print(json.dumps({'wrong': wrong, 'config': {n: {ch: psu.config[n][ch]['value'] "
            "for ch in (1, 2)} for n in ('Voltage', 'Current', 'Output')}}))\n")
    here = os.path.dirname(os.path.abspath(__file__))
    env = dict(os.environ, PYTHON_GIL="0", TESTS=here, EXAMPLES=os.path.join(here, "..", "examples"))
    result = subprocess.run([sys.executable, "-c", code, instrument.resource, "on" if compound else "off"],
                            capture_output=True,
                            text=True, timeout=300, env=env)
    assert result.returncode == 0, result.stderr[-3000:]
    seen = json.loads(result.stdout)
    assert seen["wrong"] == []
    channels = instrument.state()["channels"]
    assert {n: {int(ch): v for ch, v in values.items()} for n, values in seen["config"].items()} == {
        n: {ch: channels[str(ch)][n.lower()] for ch in (1, 2)} for n in ("Voltage", "Current", "Output")}


def test_an_instrument_that_cannot_be_reached_raises_a_connection_error(PowerSupply):
    with socket.socket() as unused:  # a port of 127.0.0.1 that nothing listens on
        unused.bind(("127.0.0.1", 0))
        port = unused.getsockname()[1]
    with pytest.raises(InstrumentConnectionError, match=f"^TCPIP0::127.0.0.1::{port}::SOCKET: "):
        PowerSupply(f"TCPIP0::127.0.0.1::{port}::SOCKET", backend="@py", timeout=1.0).open()


def test_two_threads_ramping_one_quantity_take_turns(instrument, PowerSupply):
    class Ramped(PowerSupply):
        quants = [*PowerSupply.quants, Quantity("Voltage", 0.0, range=(0, 30), step=1.0,
                                                get_cmd="SOUR{ch}:VOLT?", set_cmd="SOUR{ch}:VOLT {value}")]

    barrier = threading.Barrier(2)
    with Ramped(instrument.resource, backend="@py", timeout=2.0) as psu:
        psu.setValue("Voltage", 5.0, ch=1)

        def ramp(target):
            barrier.wait(10)
            psu.setValue("Voltage", target, ch=1)

        threads = [threading.Thread(target=ramp, args=(target,)) for target in (15.0, 0.0)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
    sent = [float(line.split()[1]) for line in instrument.received() if line.startswith("SOUR1:VOLT ")]
    assert len(sent) == 5 + 10 + 15 or len(sent) == 5 + 5 + 15  # one ramp after the other
    assert max(abs(b - a) for a, b in zip(sent, sent[1:])) <= 1.0


def interrupt_soon():
    """Ctrl-C in 0.2 s, while a query waits for its answer."""
    timer = threading.Timer(0.2, _thread.interrupt_main)
    timer.start()
    return timer


MEASURE = lambda psu: psu.getValue("MeasuredCurrent", ch=1)  # noqa: E731
# Samples with newline bytes: the instrument's line reading stops early inside the block.
DEAF_BLOCK = np.resize(NEWLINES, 4_000_000)


# Each fault meets the call (by default the query MEAS1:CURR?), which raises `raised` (None:
# nothing; a pair: with compound messages off, on); the next exchanges must get their own answers, with compound messages off and on.
@pytest.mark.parametrize("compound", [False, True])
@pytest.mark.parametrize("kind, arg, call, raised", [
    ("silent", None, MEASURE, InstrumentTimeout),
    ("late", "1.3", MEASURE, InstrumentTimeout),      # the answer comes after the timeout, before the next
    ("late", "0.6", MEASURE, KeyboardInterrupt),      # Ctrl-C between the query and its answer
    # the error query reads the second answer; a compound answer is whole, its double noticed later
    ("double", None, MEASURE, (InstrumentError, None)),
    # an error-queue answer that comes twice is noticed before the next exchange
    ("double", None, lambda psu: psu.setValue("Output", True, ch=1), None),
    ("doubleerror", None, MEASURE, None),
    ("garbage", None, MEASURE, InstrumentAnswerError),
    ("lateblock", "1.3", MEASURE, InstrumentTimeout),  # late, and not text: the bytes are drained
    ("hangup", None, MEASURE, InstrumentTimeout),     # pyvisa-py waits out its timeout on a closed socket
    ("reset", None, MEASURE, InstrumentConnectionError),  # a ConnectionError naming address and quantity
    # blocks: indefinite or malformed headers are refused naming the query
    *[("block", header, lambda psu: psu.query_block("SOUR1:DATA?"), InstrumentAnswerError)
      for header in ("#0", "#9abcdefghi", "#A")],
    # a block the instrument stops reading ends within the timeout
    ("deaf", "2.5", lambda psu: psu.send_block("SOUR1:DATA", DEAF_BLOCK), InstrumentTimeout),
    # no fault: a query the instrument does not know goes unanswered; in a compound line its refusal
    # comes back as an error entry, in step
    (None, None, lambda psu: psu.query("FOO?"), (InstrumentTimeout, InstrumentError)),
    # a timeout given for one call, or assigned to the open driver, applies at once
    ("late", "1.3", lambda psu: psu.query("MEAS1:CURR?", timeout=4.0), None),
    ("late", "1.3", lambda psu: setattr(psu, "timeout", 4.0) or MEASURE(psu), None),
])
def test_after_a_fault_the_next_exchange_is_right(instrument, PowerSupply, kind, arg, call, raised,
                                                  compound, caplog):
    raised = raised[compound] if isinstance(raised, tuple) else raised
    supply = type("PowerSupply", (PowerSupply,), {"compound_messages": compound})
    with supply(instrument.resource, backend="@py", timeout=1.0) as psu:
        settle(psu)
        if kind is not None:
            instrument.fault(kind, arg)
        timer = interrupt_soon() if raised is KeyboardInterrupt else None
        if raised is None:
            call(psu)
        else:
            with pytest.raises(raised):
                call(psu)
        if timer is not None:
            timer.join()
        psu.timeout = 1.0
        assert psu.getValue("Voltage", ch=2) == 3.3
        psu.setValue("Output", False, ch=1)
        assert psu.getValue("MeasuredCurrent", ch=1) == 0.0
        assert psu.getValue("Output", ch=1) is False and psu.getValue("Current", ch=2) == 0.5
        with pytest.raises(InstrumentError, match="refused 'SOUR1:FREQ 0.5': -222"):
            psu.send("SOUR1:FREQ 0.5")  # a refusal is reported on its own command
        assert agrees(psu, instrument.state()) == []
    reopened = [r for r in caplog.records if "opening it again" in r.getMessage()]
    assert len(reopened) == (kind in ("hangup", "reset", "deaf"))


@pytest.mark.parametrize("text, refused", [("HI';*RST;:DISP:TEXT 'X", True), ("HI\n*RST", True),
                                            ("it's 5 V", False)])
def test_a_text_value_cannot_add_commands(instrument, PowerSupply, text, refused):
    class Labelled(PowerSupply):
        quants = [*PowerSupply.quants, Quantity("Label", "", set_cmd="DISP:TEXT '{value}'")]

    with Labelled(instrument.resource, backend="@py", timeout=2.0) as psu:
        settle(psu)
        if refused:
            with pytest.raises(ValueError, match="cannot be sent"):
                psu.setValue("Label", text)
        else:
            psu.setValue("Label", text)
        state = instrument.state()
        assert state["display"] == ("" if refused else text)
        assert agrees(psu, state) == [] and state["channels"]["1"]["voltage"] == 12.5
