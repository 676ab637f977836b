"""Times VisaDriver.getValue on an instrument simulated by pyvisa-sim: what the driver's lock,
its keyword and channel checks and its session bookkeeping add to a round trip.

Four ways to read the voltage of channel 1 of examples/power_supply.py, interleaved in blocks so
that drift hits all alike:
  getValue        psu.getValue("Voltage", ch=1): the whole path (keywords and channel checked,
                  the driver's lock, the exchange and its error-queue read, config updated);
  Plinth path     Plinth.getValue(psu, ...): the same without VisaDriver's own checks and lock;
  bare resource   the two queries (SOUR1:VOLT? and SYST:ERR?) on the PyVISA resource and the
                  float conversion: the round trip itself;
  before          getValue with the driver layer as it was at BEFORE (the commit before the lock
                  and the step check), in a child process over a copy of the installed package.
Prints medians in microseconds and the added cost of today's getValue over the round trip and
over `before`, as a share of the round trip (target: the cost added since `before` at most 5%).

Then the same instrument as a real one on loopback: tests/scpi_instrument.py on a free port of
127.0.0.1 through pyvisa-py's SOCKET resource. Checked getValue("MeasuredVoltage") and
setValue("Voltage") (each with its error-queue read), with compound messages off and on, against
a bare pyvisa query of the same instrument on a connection of its own; medians and ratios
(targets: getValue <= 1.15x, setValue <= 1.3x the bare query). `--loopback-before REV` runs the
loopback figures of the driver files at REV too.

    python bench/bench_visa.py [--quick] [--before REV] [--loopback-before REV]
"""

import argparse
import json
import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from typing import Any

ROOT = pathlib.Path(__file__).resolve().parent.parent
BEFORE = "8b81439"  # the driver layer before the exchange lock
DRIVER_FILES = ["driver/visa.py", "driver/testing.py", "driver/common/quantity.py",
                "driver/session.py"]


def measure(blocks: int, calls: int) -> dict[str, float]:
    """Medians (µs per call) of the ways to read, in this process."""
    import pyvisa

    sys.path.insert(0, str(ROOT / "examples"))
    from power_supply import PowerSupply

    from tarn.driver.common.plinth import Plinth

    with tempfile.TemporaryDirectory() as folder:
        path = pathlib.Path(folder) / "supply.yaml"
        shutil.copy(PowerSupply.simulation, path)
        backend = f"{path}@sim"
        with PowerSupply(backend=backend) as psu:
            resource = psu.resource
            assert resource is not None
            psu.setValue("Voltage", 12.5, ch=1)

            def bare() -> float:
                value = float(resource.query("SOUR1:VOLT?"))
                resource.query("SYST:ERR?")
                return value

            ways = {
                "getValue": lambda: psu.getValue("Voltage", ch=1),
                "Plinth path": lambda: Plinth.getValue(psu, "Voltage", ch=1),
                "bare resource": bare,
            }
            for way in ways.values():
                assert way() == 12.5
            times: dict[str, list[float]] = {name: [] for name in ways}
            for _ in range(blocks):
                for name, way in ways.items():
                    start = time.perf_counter()
                    for _ in range(calls):
                        way()
                    times[name].append((time.perf_counter() - start) / calls * 1e6)
        del pyvisa
    return {name: statistics.median(t) for name, t in times.items()}


def loopback(blocks: int, calls: int) -> dict[str, float]:
    """Medians (µs per call) against the loopback instrument, in this process."""
    import pyvisa

    sys.path.insert(0, str(ROOT / "examples"))
    from power_supply import PowerSupply

    script = ROOT / "tests" / "scpi_instrument.py"
    server = subprocess.Popen([sys.executable, str(script), "--port", "0", "--stdin"],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert server.stdout is not None
        address = f"TCPIP0::127.0.0.1::{server.stdout.readline().strip()}::SOCKET"
        bare = pyvisa.ResourceManager("@py").open_resource(
            address, read_termination="\n", write_termination="\n", timeout=5000)
        ways: dict[str, Any] = {"bare query": lambda: float(bare.query("MEAS1:VOLT?"))}
        drivers = []
        for compound in (False, True):
            if compound and not hasattr(PowerSupply, "compound_messages"):
                continue  # a driver layer without the option
            cls = type("Supply", (PowerSupply,), {"compound_messages": compound})
            psu = cls(address, backend="@py", timeout=5.0)
            psu.open()
            drivers.append(psu)
            tag = " compound" if compound else ""
            ways[f"getValue{tag}"] = lambda psu=psu: psu.getValue("MeasuredVoltage", ch=1)
            ways[f"setValue{tag}"] = lambda psu=psu: psu.setValue("Voltage", 5.0, ch=1)
        # Call by call, the ways in turn, each call timed: the median of the calls is what a
        # burst of load on a shared machine moves least. The layer before TCP_NODELAY spends
        # ~40 ms a set: a way that slow is called once every 50 rounds.
        slow = {name for name, way in ways.items() if _timed(way) > 0.01}
        times: dict[str, list[float]] = {name: [] for name in ways}
        for round_ in range(blocks * calls):
            for name, way in ways.items():
                if name not in slow or round_ % 50 == 0:
                    times[name].append(_timed(way) * 1e6)
        for psu in drivers:
            psu.close()
        bare.close()
    finally:
        assert server.stdin is not None
        server.stdin.close()
        server.wait(10)
    return {name: statistics.median(t) for name, t in times.items()}


def _timed(way: Any) -> float:
    start = time.perf_counter()
    way()
    return time.perf_counter() - start


def show_loopback(title: str, figures: dict[str, float]) -> None:
    trip = figures["bare query"]
    print(title)
    for name, value in figures.items():
        ratio = f"{value / trip:6.2f}x" if name != "bare query" else ""
        print(f"  {name:<18} {value:10.1f} {ratio}")
    for name, target in (("getValue", 1.15), ("setValue", 1.3)):
        best = min(v for k, v in figures.items() if k.startswith(name)) / trip
        print(f"  best {name}: {best:.2f}x the bare query (target <= {target}: "
              f"{'met' if best <= target else 'missed'})")


def at_rev(rev: str, argv: list[str]) -> dict[str, float] | None:
    """The child run `argv` with the driver files of `rev`, or None when git cannot give them."""
    import tarn

    installed = pathlib.Path(tarn.__file__).parent
    with tempfile.TemporaryDirectory() as folder:
        package = pathlib.Path(folder) / "tarn"
        shutil.copytree(installed, package)
        for name in DRIVER_FILES:
            shown = subprocess.run(["git", "-C", str(ROOT), "show", f"{rev}:src/tarn/{name}"],
                                   capture_output=True, text=True)
            if shown.returncode != 0:
                (package / name).unlink(missing_ok=True)  # a file that did not exist then
                continue
            (package / name).write_text(shown.stdout)
        env = dict(os.environ, PYTHONPATH=folder)
        child = subprocess.run([sys.executable, __file__, *argv], capture_output=True, text=True,
                               env=env, timeout=900)
        if child.returncode != 0:
            print(child.stderr[-2000:], file=sys.stderr)
            return None
        figures: dict[str, float] = json.loads(child.stdout)
        return figures


def before(rev: str, blocks: int, calls: int) -> float | None:
    """getValue's median with the driver files of `rev`, or None when git cannot give them."""
    figures = at_rev(rev, ["--child", str(blocks), str(calls)])
    return None if figures is None else float(figures["getValue"])


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--before", default=BEFORE)
    parser.add_argument("--loopback-before", default=None)
    parser.add_argument("--child", nargs=2, type=int)
    parser.add_argument("--loopback-child", nargs=2, type=int)
    args = parser.parse_args()
    if args.child:
        print(json.dumps(measure(*args.child)))
        return
    if args.loopback_child:
        print(json.dumps(loopback(*args.loopback_child)))
        return
    try:
        import pyvisa  # noqa: F401
        import pyvisa_sim  # noqa: F401
    except ImportError as exc:
        print(f"bench_visa: skipped: {exc}")
        return
    blocks, calls = (5, 100) if args.quick else (15, 400)
    now = measure(blocks, calls)
    then = before(args.before, blocks, calls)
    trip = now["bare resource"]
    print(f"getValue on pyvisa-sim, median µs per call ({blocks} blocks of {calls}):")
    for name, value in [*now.items(), (f"before ({args.before})", then)]:
        print(f"  {name:<16} {'-' if value is None else f'{value:8.1f}'}")
    print(f"getValue over the bare round trip: {(now['getValue'] - trip) / trip:+.3f} of the round trip")
    print(f"VisaDriver's checks and lock over the Plinth path: "
          f"{(now['getValue'] - now['Plinth path']) / trip:+.3f} of the round trip")
    if then is not None:
        added = (now["getValue"] - then) / trip
        print(f"added since {args.before}: {added:+.3f} of the round trip "
              f"(target <= 0.05: {'met' if added <= 0.05 else 'missed'})")
    try:
        import pyvisa_py  # noqa: F401
    except ImportError as exc:
        print(f"bench_visa: loopback skipped: {exc}")
        return
    blocks, calls = (5, 50) if args.quick else (9, 200)
    show_loopback(f"the loopback instrument through pyvisa-py, median µs per call ({blocks * calls} "
                  "calls each, in turn):", loopback(blocks, calls))
    if args.loopback_before:
        old = at_rev(args.loopback_before, ["--loopback-child", str(blocks), str(calls)])
        if old is not None:
            show_loopback(f"the same with the driver files of {args.loopback_before}:", old)


if __name__ == "__main__":
    main()
