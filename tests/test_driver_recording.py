"""Recordings: a session of the example power supply with the loopback instrument recorded and
replayed from the file by expect_exchange without pyvisa; recordings edited by hand."""

import pathlib
import sys

import numpy as np
import pytest

from tarn.driver.testing import expect_exchange, record
from tarn.driver.visa import InstrumentError, InstrumentTimeout

pytest.importorskip("pyvisa_py", reason="pyvisa-py is not installed (the examples extra)")
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "examples"))
from power_supply import PowerSupply  # noqa: E402

OK = '+0,"No error"'


def session(psu, arm, fault):
    """Settings, readings, a refused value, a block and a fault; what each step gave."""
    results = []
    steps = [lambda: psu.setValue("Voltage", 12.5, ch=1), lambda: psu.setValue("Output", True, ch=1),
             lambda: psu.getValue("MeasuredCurrent", ch=1), lambda: psu.setValue("Voltage", 5, ch=2),
             lambda: psu.send_block("SOUR2:DATA", [0.0, 0.5, -0.5, 1.0]),
             lambda: psu.getValue("MeasuredVoltage", ch=1), lambda: psu.getValue("Voltage", ch=2)]
    faults = {3: ("error", "-222"), 5: fault}
    for number, step in enumerate(steps):
        if number in faults:
            arm(*faults[number])
        try:
            results.append(step())
        except (InstrumentError, ValueError, OSError) as error:
            results.append(f"{type(error).__name__}: {error}".split(" (")[0])
    return results


@pytest.mark.parametrize("scrub, identity, fault, raised", [
    (False, "TARN,LOOPBACK,0,1.0", ("silent", None),
     "InstrumentTimeout: MeasuredVoltage on channel 1: the instrument did not answer 'MEAS1:VOLT?' in time"),
    # the late answer comes before the identity asked again: read and dropped, a "<<" line
    (True, "TARN,LOOPBACK,0,0", ("late", "0.8"),
     "InstrumentTimeout: MeasuredVoltage on channel 1: the instrument did not answer 'MEAS1:VOLT?' in time"),
    (["LOOPBACK"], "TARN,0,0,0", ("garbage", None),
     "InstrumentAnswerError: MeasuredVoltage on channel 1: the answer to 'MEAS1:VOLT?' is not text: byte b'\\xff' at 0"),
    # the connection opened anew: its opening lines are in the recording
    (False, "TARN,LOOPBACK,0,1.0", ("reset", None),
     "InstrumentConnectionError: {address}: MeasuredVoltage on channel 1: the connection failed while the "
     "instrument was to answer 'MEAS1:VOLT?': ConnectionResetError(104, 'Connection reset by peer')"),
])
def test_a_recorded_session_replays_without_pyvisa(instrument, tmp_path, monkeypatch, scrub, identity,
                                                   fault, raised):
    path = tmp_path / "supply.txt"
    with PowerSupply(instrument.resource, backend="@py", timeout=0.5) as psu:
        with record(psu, path, scrub=scrub):
            live = session(psu, instrument.fault, fault)
        psu.setValue("Output", False, ch=1)  # after the block: not recorded
    raised = raised.format(address=instrument.resource)
    assert live == [None, None, 1.25, "InstrumentError: Voltage on channel 2: the instrument refused "
                    "'SOUR2:VOLT 5.0': -222,\"Data out of range\"", None, raised, 5.0]
    lines = path.read_text().splitlines()
    assert lines[1:4] == ["# error query: SYST:ERR?", f"# identity: {identity}", "# blocks: supply.blocks.npz"]
    assert lines[-4:] == ["-> SOUR2:VOLT?", "<- +5.000000E+00", "-> SYST:ERR?", f"<- {OK}"]
    assert "-# block1: 4 x float32, 0.0 .. 1.0" in lines and "-> OUTP1 0" not in lines
    # the identity asked again after a failed answer is read back unasked, the late answer before it
    assert ("<< " + identity in lines) == (fault[0] in ("silent", "late", "garbage"))
    assert ("<< +1.250000E+01" in lines) == (fault[0] == "late")
    monkeypatch.setitem(sys.modules, "pyvisa", None)  # importing it would fail
    with expect_exchange(PowerSupply, path) as psu:
        assert session(psu, lambda *fault: None, fault) == live
        assert psu.identity == identity


RECORDING = f"""# tarn recording: PowerSupply at TCPIP0::127.0.0.1::5025::SOCKET
# error query: SYST:ERR?
# identity: TARN,LOOPBACK,0,1.0
-> SOUR1:VOLT 12.5
-> SYST:ERR?
<- {OK}
-> MEAS1:VOLT?
<- +1.250000E+01
-> SYST:ERR?
<- {OK}
"""


@pytest.mark.parametrize("old, new, expected", [
    ("", "", 12.5),
    # an answer turned into a timeout, the lines after it dropped
    (f"<- +1.250000E+01\n-> SYST:ERR?\n<- {OK}\n", "!! timeout\n",
     InstrumentTimeout("MeasuredVoltage on channel 1: the instrument did not answer 'MEAS1:VOLT?' in time "
                       "(VI_ERROR_TMO (recorded))")),
    (f"<- {OK}\n-> MEAS1", f'<- -222,"Data out of range"\n-> SYST:ERR?\n<- {OK}\n-> MEAS1',
     InstrumentError("Voltage on channel 1: the instrument refused 'SOUR1:VOLT 12.5': -222,\"Data out of range\"")),
    ("-> SOUR1:VOLT 12.5\n", "",
     AssertionError("exchange line 1 (supply.txt:4): expected the query 'SYST:ERR?', sent the command "
                    "'SOUR1:VOLT 12.5'")),
    ("error query: SYST:ERR?", "error query: *ESR?",
     AssertionError("PowerSupply reads its error queue with 'SYST:ERR?', the instrument answers '*ESR?'")),
    ("<- +1.250000E+01", "<= +1.250000E+01",
     ValueError("supply.txt:8: '<= +1.250000E+01' is no line of a recording (->, <-, -#, <#, !!, <<, #)")),
])
def test_a_recording_edited_by_hand_scripts_a_fault(tmp_path, old, new, expected):
    path = tmp_path / "supply.txt"
    path.write_text(RECORDING.replace(old, new, 1) if old else RECORDING)
    if not isinstance(expected, Exception):
        with expect_exchange(PowerSupply, path) as psu:
            psu.setValue("Voltage", 12.5)
            assert psu.getValue("MeasuredVoltage") == expected
        return
    with pytest.raises(type(expected)) as info:
        with expect_exchange(PowerSupply, path) as psu:
            psu.setValue("Voltage", 12.5)
            psu.getValue("MeasuredVoltage")
    assert str(expected) in str(info.value)


def test_a_block_the_instrument_does_not_take_is_recorded_failing(instrument, tmp_path):
    """A block sent straight to the raw socket (bounded by the timeout) is recorded with what
    it raised."""
    path = tmp_path / "deaf.txt"
    with PowerSupply(instrument.resource, backend="@py", timeout=0.5) as psu, record(psu, path):
        instrument.fault("deaf", "2.5")
        with pytest.raises(InstrumentTimeout):
            # more than the buffers hold, with newline bytes early for the line-reading instrument
            psu.send_block("SOUR1:DATA", np.resize(np.frombuffer(b"\n\n\n?", "<f4"), 4_000_000))
    assert path.read_text().splitlines()[-3:] == [
        "-> SOUR1:DATA", "-# block1: 4000000 x float32, 0.5392157 .. 0.5392157", "!! timeout"]
