"""tarn.serve and tarn.remote on loopback: a p4p client -> serve -> the example power supply ->
pyvisa-py -> the SCPI instrument of tests/scpi_instrument.py."""

import os
import queue
import re
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

from helpers import FREE_THREADED

client = pytest.importorskip("p4p.client.thread", reason="p4p is the serve extra")
pytest.importorskip("pyvisa_py", reason="pyvisa-py opens the instrument's SOCKET resource")
from tarn.driver.common.quantity import Action, Quantity  # noqa: E402
from tarn.remote import RemoteDriver  # noqa: E402
from tarn.serve import serve  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLES = os.path.join(HERE, "..", "examples")
P = "T:PSU:"
WAVE = np.array([0.5, -0.5, 0.25, 1, -1, 0, 0.125, 0.75], dtype=np.float32)


@pytest.fixture
def psu(instrument, monkeypatch):
    """The example supply with an enum (Mode: output 1 as words) and a waveform (an array)."""
    monkeypatch.syspath_prepend(EXAMPLES)
    from power_supply import PowerSupply

    class Supply(PowerSupply):
        quants = [*PowerSupply.quants, Quantity("Waveform", None),
                  Quantity("Mode", "off", "global", choices={"off": 0, "on": 1}, get_cmd="OUTP1?",
                           set_cmd="OUTP1 {value}")]
        actions = [Action("reset", "*RST"), Action("switch_on", "OUTP{ch} 1")]

        def set_waveform(self, value, ch):
            if not (abs(np.asarray(value)) <= 1).all():
                raise ValueError(f"Waveform on channel {ch}: samples beyond -1..1")
            self.send_block(f"SOUR{ch}:DATA", value)
            return np.asarray(value, dtype=np.float32)

    with Supply(instrument.resource, backend="@py", timeout=1.0) as driver:
        yield driver


@pytest.fixture
def server(psu):
    with serve(psu, P, poll=0.05) as running:
        yield running


@pytest.fixture
def ctx(server):
    context = client.Context("pva", conf=server.conf, useenv=False)
    yield context
    context.close()


@pytest.mark.parametrize("pv, value, field, refusal", [
    ("CH1:Voltage", 12.5, ("1", "voltage"), None),
    ("CH2:Current", 4, ("2", "current"), None),
    ("CH2:Output", True, ("2", "output"), None),
    ("Mode", "on", ("1", "output"), None),
    ("CH2:Waveform", WAVE, ("2", "samples"), None),
    # refused with the driver's own message, never clipped: the instrument keeps its value
    ("CH2:Voltage", 6.5, ("2", "voltage"), "Voltage on channel 2: 6.5 is outside 0..6 V"),
    ("CH1:MeasuredVoltage", 1.0, ("1", "voltage"), "MeasuredVoltage on channel 1: read-only, it cannot be set"),
    ("CH1:Waveform", WAVE * 2, ("1", "samples"), "Waveform on channel 1: samples beyond -1..1"),
])
def test_a_put_goes_through_the_driver(instrument, psu, ctx, pv, value, field, refusal):
    before = instrument.state()["channels"][field[0]][field[1]]
    if refusal is None:
        ctx.put(P + pv, value, timeout=5)
    else:
        with pytest.raises(client.RemoteError) as raised:
            ctx.put(P + pv, value, timeout=5)
        assert str(raised.value) == refusal
    held = instrument.state()["channels"][field[0]][field[1]]
    name, ch = pv.split(":")[-1], int(pv[2]) if pv.startswith("CH") else "global"
    got = ctx.get(P + pv, timeout=5)
    if refusal is not None:
        assert held == before
    elif name == "Mode":
        assert held is True and got.choice == "on" and psu.config["Mode"][ch]["value"] == "on"
    else:
        assert np.array_equal(held, value) and np.array_equal(got, value)
        assert np.array_equal(psu.config[name][ch]["value"], value)


@pytest.mark.parametrize("pv, field, expected", [
    ("CH2:Voltage", "display.limitHigh", 6.0),
    ("CH1:Voltage", "control.limitHigh", 30.0),
    ("CH2:Current", "display.units", "A"),
    ("CH1:MeasuredCurrent", "display.limitLow", 0.0),  # no range: no limits
    ("Mode", "value.choices", ["off", "on"]),
    ("CH1:Waveform", "alarm.message", "no value yet"),
])
def test_the_pvs_carry_units_limits_and_choices(server, pv, field, expected):
    raw = client.Context("pva", conf=server.conf, useenv=False, nt=False)
    try:
        assert raw.get(P + pv, timeout=5)[field] == expected
    finally:
        raw.close()


def test_read_only_refuses_every_put(instrument, psu):
    with serve(psu, P, read_only=True) as server, RemoteDriver(P, conf=server.conf) as remote:
        with pytest.raises(ValueError, match=r"^T:PSU:CH1:Voltage: served read-only, puts are refused$"):
            remote.setValue("Voltage", 1.0)
        with pytest.raises(ValueError, match=r"^T:PSU:reset: served read-only, actions are refused$"):
            remote.act("reset")
        assert remote.getValue("Voltage") == 0.0
    assert not [line for line in instrument.received() if line.startswith("SOUR1:VOLT ")]


def test_a_monitored_reading_is_posted_on_change_only(instrument, psu, server, ctx):
    updates = queue.Queue()
    subscription = ctx.monitor(P + "CH1:MeasuredVoltage", lambda value: updates.put(float(value)))
    try:
        assert updates.get(timeout=5) == 0.0
        ctx.put(P + "CH1:Voltage", 7.5, timeout=5)
        ctx.put(P + "CH1:Output", True, timeout=5)
        assert updates.get(timeout=5) == 7.5
        instrument.clear()
        deadline = time.monotonic() + 10
        while instrument.received().count("MEAS1:VOLT?") < 5:  # five polls without a change
            assert time.monotonic() < deadline, "the reading is no longer polled"
            threading.Event().wait(0.02)
    finally:
        subscription.close()
    assert updates.empty()


def test_a_failed_poll_is_posted_as_an_alarm(instrument, ctx):
    updates = queue.Queue()
    subscription = ctx.monitor(P + "CH1:MeasuredCurrent", updates.put)
    try:
        assert updates.get(timeout=5).severity == 0
        instrument.fault("silent")
        alarm = updates.get(timeout=10)
        assert (alarm.severity, alarm.raw["alarm.message"][:19]) == (3, "InstrumentTimeout: ")
        assert (updates.get(timeout=10).severity, alarm) == (0, 0.0)  # read again, value kept
    finally:
        subscription.close()


def test_two_clients_at_once(instrument, psu, server):
    if os.environ.get("PYTHON_GIL") == "0":
        assert not sys._is_gil_enabled()
    barrier, failures = threading.Barrier(2), []

    def client_run(values, ch):
        with RemoteDriver(P, conf=server.conf) as remote:
            barrier.wait(10)
            for value in values:
                try:
                    remote.setValue("Current", value, ch=ch)
                    assert remote.getValue("Current", ch=ch) == value
                except Exception as exc:  # noqa: BLE001 (reported below)
                    failures.append(repr(exc))

    runs = [threading.Thread(target=client_run, args=([0.25, 0.5, 0.75, 1.0] * 5, ch)) for ch in (1, 2)]
    for t in runs:
        t.start()
    for t in runs:
        t.join(60)
    assert failures == [] and not any(t.is_alive() for t in runs)
    lines = instrument.received()
    # every command is followed by its error query: no exchange was interleaved with another
    assert all(lines[i + 1] == "SYST:ERR?" for i, line in enumerate(lines) if line.startswith("SOUR"))
    assert [c["current"] for c in instrument.state()["channels"].values()] == [1.0, 1.0]


@pytest.mark.skipif(not FREE_THREADED, reason="needs a free-threaded interpreter")
def test_two_clients_with_the_gil_off():
    result = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                             f"{__file__}::test_two_clients_at_once"], capture_output=True, text=True,
                            timeout=300, env=dict(os.environ, PYTHON_GIL="0"), cwd=HERE)
    assert result.returncode == 0 and "1 passed" in result.stdout, result.stdout[-3000:]


@pytest.mark.parametrize("kind, arg, told", [
    ("error", "201 Overheated", r'^InstrumentError: .*\+201,"Overheated"'),
    ("silent", None, r"^InstrumentTimeout: "),
    ("reset", None, r"^InstrumentConnectionError: .*ConnectionResetError"),
])
def test_the_instrument_failing_during_a_put(instrument, psu, server, kind, arg, told):
    with RemoteDriver(P, conf=server.conf) as remote:
        instrument.fault(kind, arg)
        with pytest.raises(ValueError, match=told):
            remote.setValue("Voltage", 3.0, ch=2)
        remote.setValue("Voltage", 4.0, ch=2)  # the next put finds the session in step
        assert remote.getValue("Voltage", ch=2) == 4.0 == instrument.state()["channels"]["2"]["voltage"]


def test_remote_driver(instrument, server):
    assert {k: server.conf[k] for k in ("EPICS_PVA_ADDR_LIST", "EPICS_PVA_AUTO_ADDR_LIST")} == {
        "EPICS_PVA_ADDR_LIST": "127.0.0.1", "EPICS_PVA_AUTO_ADDR_LIST": "NO"}  # loopback only
    with RemoteDriver(P, conf=server.conf) as remote:
        assert remote.CHs == [1, 2] and "Mode" in remote.quantities
        remote.setValue("Voltage", 5.0, ch=1)
        remote.setValue("Mode", "on")
        assert remote.wait_for("MeasuredCurrent", 0.5, tolerance=1e-9, timeout=5, ch=1) == 0.5
        config = remote.config
        assert config["Voltage"][1] == {"value": 5.0, "unit": "V"}
        assert config["Mode"][2] is config["Mode"]["global"] and config["Mode"][1]["value"] == "on"
        with pytest.raises(ValueError, match=r"^Current on channel 2: 9.0 is outside 0..5 A$"):
            remote.setValue("Current", 9, ch=2)
        with pytest.raises(ValueError, match=r"'auto' is not one of off, on"):
            remote.setValue("Mode", "auto")
        with pytest.raises(ValueError, match=r"^T:PSU:CH1:Voltage: Invalid input"):
            remote.setValue("Voltage", "abc")  # refused before it is sent
        assert remote.getValue("Voltage") == 5.0  # no channel: the first one
        assert remote.actions == ["reset", "switch_on"]
        remote.act("switch_on", ch=2)
        assert instrument.state()["channels"]["2"]["output"] is True
        remote.act("reset")
        assert instrument.state()["channels"]["1"]["voltage"] == 0.0
        with pytest.raises(ValueError, match=r"^T:PSU:switch_on: served on channels 1, 2, not 3$"):
            remote.act("switch_on", ch=3)
        with pytest.raises(ValueError, match=r"^T:PSU:reste: no such action is served \(served: reset, switch_on\)$"):
            remote.act("reste")
    # found over TCP alone (the name servers of .conf) where UDP search does not get through
    with RemoteDriver(P, conf={**server.conf, "EPICS_PVA_ADDR_LIST": "", "EPICS_PVA_BROADCAST_PORT": "9"}) as tcp:
        assert tcp.CHs == [1, 2] and tcp.getValue("Voltage", ch=1) == 0.0  # after the reset above
    silent = {**server.conf, "EPICS_PVA_SERVER_PORT": "1", "EPICS_PVA_BROADCAST_PORT": "9",
              "EPICS_PVA_NAME_SERVERS": ""}
    with pytest.raises(TimeoutError, match=r"^T:PSU:quantities: no answer .* within 0.3 s$"):
        RemoteDriver(P, conf=silent, timeout=0.3)


@pytest.mark.parametrize("stop", [signal.SIGTERM, signal.SIGINT])
def test_the_command_line(instrument, stop):
    command = [sys.executable, "-m", "tarn.serve", "power_supply:PowerSupply", instrument.resource,
               "--prefix", "CLI:", "--backend", "@py", "--port", "0", "--poll", "0.1"]
    child = subprocess.Popen(command, cwd=EXAMPLES, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True)
    try:
        assert child.stdout.readline().startswith("serving PowerSupply at ")
        conf = dict(re.findall(r"(EPICS_PVA_\w+)=(\S*)", child.stdout.readline()))
        names = [child.stdout.readline().strip() for _ in range(11)]
        assert names[0] == "CLI:CH1:Voltage" and names[-1] == "CLI:quantities"
        with RemoteDriver("CLI:", conf=conf) as remote:
            remote.setValue("Voltage", 2.5, ch=2)
        assert instrument.state()["channels"]["2"]["voltage"] == 2.5
        child.send_signal(stop)
        out, err = child.communicate(timeout=30)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait(10)
    # the free-threaded build warns that p4p's module turns the GIL on; under emulation pvxs logs
    # the socket options the emulator lacks ("<time> WARN pvxs.loop ...", "<time> ERR pvxs.loop")
    err = "".join(line for line in err.splitlines(True) if "(GIL) has been enabled" not in line
                  and not re.match(r"\S+ (WARN|ERR) pvxs\.", line))
    assert (child.returncode, out, err) == (0, "stopped; the driver is closed\n", "")
