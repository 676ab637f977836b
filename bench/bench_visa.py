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

    python bench/bench_visa.py [--quick] [--before REV]
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

ROOT = pathlib.Path(__file__).resolve().parent.parent
BEFORE = "8b81439"  # the driver layer before the exchange lock
DRIVER_FILES = ["driver/visa.py", "driver/testing.py", "driver/common/quantity.py"]


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


def before(rev: str, blocks: int, calls: int) -> float | None:
    """getValue's median with the driver files of `rev`, or None when git cannot give them."""
    import tarn

    installed = pathlib.Path(tarn.__file__).parent
    with tempfile.TemporaryDirectory() as folder:
        package = pathlib.Path(folder) / "tarn"
        shutil.copytree(installed, package)
        for name in DRIVER_FILES:
            shown = subprocess.run(["git", "-C", str(ROOT), "show", f"{rev}:src/tarn/{name}"],
                                   capture_output=True, text=True)
            if shown.returncode != 0:
                return None
            (package / name).write_text(shown.stdout)
        for extra in ("driver/session.py",):  # files that did not exist then
            (package / extra).unlink(missing_ok=True)
        env = dict(os.environ, PYTHONPATH=folder)
        child = subprocess.run([sys.executable, __file__, "--child", str(blocks), str(calls)],
                               capture_output=True, text=True, env=env, timeout=600)
        if child.returncode != 0:
            print(child.stderr[-2000:], file=sys.stderr)
            return None
        return float(json.loads(child.stdout)["getValue"])


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--before", default=BEFORE)
    parser.add_argument("--child", nargs=2, type=int)
    args = parser.parse_args()
    if args.child:
        print(json.dumps(measure(*args.child)))
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


if __name__ == "__main__":
    main()
