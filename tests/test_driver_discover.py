"""tarn.driver.discover against loopback instruments (one answering, one answering garbage, one
silent, one refusing the connection) through pyvisa-py, and against pyvisa-sim's listing."""

import pathlib
import socket
import subprocess
import sys
import time

import pytest

pytest.importorskip("pyvisa_py", reason="pyvisa-py is not installed (the examples extra)")
pytest.importorskip("pyvisa_sim", reason="pyvisa-sim is not installed (the examples extra)")

import tarn.driver
from tarn.driver.discover import Found, discover
from tarn.driver.visa import VisaDriver

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"
sys.path.insert(0, str(EXAMPLES))
from power_supply import PowerSupply  # noqa: E402


Meter = type("Meter", (VisaDriver,), {"idn_pattern": r"^KEITHLEY"})
Loopback = type("Loopback", (VisaDriver,), {"idn_pattern": "LOOPBACK"})


def socket_resource(port):
    return f"TCPIP0::127.0.0.1::{port}::SOCKET"


@pytest.fixture
def silent():
    """A port that takes connections (the kernel's backlog) and never answers."""
    with socket.create_server(("127.0.0.1", 0)) as listener:
        yield listener.getsockname()[1]


@pytest.fixture
def closed():
    """A port nobody listens on: the connection is refused."""
    with socket.create_server(("127.0.0.1", 0)) as probe:
        return probe.getsockname()[1]


@pytest.mark.parametrize("drivers, matched", [
    ([PowerSupply, Meter], PowerSupply),
    ([Meter], None),  # an identity no pattern matches: no driver, no error
    ([Loopback, PowerSupply], Loopback),  # the first that matches
])
def test_every_resource_is_reported_and_none_holds_the_others_up(
        instrument, instruments, silent, closed, drivers, matched):
    garbage = instruments()
    garbage.fault("garbage")
    names = [socket_resource(p) for p in (instrument.port, garbage.port, silent, closed)]
    started = time.monotonic()
    found = tarn.driver.discover(drivers, resources=names, backend="@py", timeout=0.5)
    assert time.monotonic() - started < 2 * 0.5 + 1.0  # the documented bound
    assert found == [Found(names[0], "TARN,LOOPBACK,0,1.0", matched, None),
                         Found(names[1], None, None, "answered bytes that are not text"),
                         Found(names[2], None, None, "no answer within 0.5 s"),
                         Found(names[3], None, None, "connection refused")]
    assert instrument.received() == ["*IDN?"]  # nothing but the question


def test_the_backends_resources_are_listed_when_none_are_given():
    found = discover([PowerSupply], backend=f"{EXAMPLES / 'power_supply.yaml'}@sim", timeout=2.0)
    assert sorted(found) == [Found(f"TCPIP0::{host}::inst0::INSTR", "TARN LAB,PS-2,000043,1.0.0",
                                   PowerSupply, None)
                             for host in ("192.168.1.42", "192.168.1.43", "192.168.103.8")]


@pytest.mark.parametrize("call, error", [
    (lambda: discover(PowerSupply, resources=[]), TypeError("drivers is a sequence of driver "
                                                             "classes, not one class: [PowerSupply]")),
    (lambda: discover([int], resources=[]), TypeError("discover matches VisaDriver classes, not <class 'int'>")),
    (lambda: discover([type("Bad", (VisaDriver,), {"idn_pattern": "("})], resources=[]),
     ValueError("Bad.idn_pattern '(' is not a regular expression: missing ), unterminated subpattern "
                "at position 0")),
    *[(lambda t=t: discover([], resources=[], timeout=t),
       ValueError(f"timeout must be a positive number of seconds, not {t!r}")) for t in (0, float("inf"), "1")],
    (lambda: discover([], resources="TCPIP0::h::5025::SOCKET"),
     TypeError("resources is a sequence of resource names, not one text")),
])
def test_bad_arguments_are_refused_before_anything_is_asked(call, error):
    with pytest.raises(type(error)) as info:
        call()
    assert str(info.value) == str(error)


def test_the_command_line_prints_a_table(instrument, closed):
    names = [socket_resource(instrument.port), socket_resource(closed)]
    run = subprocess.run([sys.executable, "-m", "tarn.driver.discover", "--backend", "@py",
                          "--timeout", "0.5", *[f"--resource={n}" for n in names],
                          str(EXAMPLES / "power_supply.py")],
                         capture_output=True, text=True, timeout=60)
    # a free-threaded build warns that importing the native module turned the GIL on: only that
    assert run.returncode == 0 and [line for line in run.stderr.splitlines() if "(GIL)" not in line] == []
    header, first, second = run.stdout.splitlines()
    width = len(names[0]) + 2
    assert header == "ADDRESS".ljust(width) + "DRIVER       IDENTITY"
    assert first == names[0].ljust(width) + "PowerSupply  TARN,LOOPBACK,0,1.0"
    assert second == names[1].ljust(width) + "-            (connection refused)"
