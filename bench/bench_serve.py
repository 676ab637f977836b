"""Times a driver served over PV Access (tarn.serve) against the same calls on the driver.

Part 1, on examples/power_supply.py with the instrument simulated by pyvisa-sim, interleaved in
blocks so that drift hits all alike:
  set   psu.setValue("Voltage", v, ch=1)  against a p4p put on the PV (through setValue; without
                                          the get p4p does first by default, as RemoteDriver);
  read  psu.getValue("Voltage", ch=1)     against a p4p RPC call on the PV (RemoteDriver.getValue:
                                          a fresh read through getValue), and a p4p get (the
                                          value last posted, no read).
Part 2, the cost of polling: a driver of N readings that answer from memory, every reading
monitored by a client in this process, polled every `--poll` seconds for `--seconds`; the
processor time spent per read, with readings that never change (nothing posted) and readings
that change at every read (every read posted).

    python bench/bench_serve.py [--quick]
"""

import argparse
import itertools
import pathlib
import statistics
import sys
import time
from typing import Any

ROOT = pathlib.Path(__file__).resolve().parent.parent


def calls(blocks: int, count: int) -> dict[str, float]:
    """Medians (µs per call) of each way, in this process."""
    from p4p import Type, Value
    from p4p.client.thread import Context

    sys.path.insert(0, str(ROOT / "examples"))
    from power_supply import PowerSupply

    from tarn.serve import serve

    with PowerSupply("192.168.1.42", backend="@sim") as psu, serve(psu, "B:PSU:") as server:
        context = Context("pva", conf=server.conf, useenv=False)
        pv, empty = "B:PSU:CH1:Voltage", Value(Type([]), {})
        values = itertools.cycle([1.0, 2.0])
        ways: dict[str, Any] = {
            "setValue": lambda: psu.setValue("Voltage", next(values), ch=1),
            "PVA put": lambda: context.put(pv, next(values), timeout=10, get=False),
            "getValue": lambda: psu.getValue("Voltage", ch=1),
            "PVA RPC (fresh read)": lambda: context.rpc(pv, empty, timeout=10),
            "PVA get (last posted)": lambda: context.get(pv, timeout=10),
        }
        for way in ways.values():
            way()
        times: dict[str, list[float]] = {name: [] for name in ways}
        for _ in range(blocks):
            for name, way in ways.items():
                start = time.perf_counter()
                for _ in range(count):
                    way()
                times[name].append((time.perf_counter() - start) / count * 1e6)
        context.close()
    return {name: statistics.median(t) for name, t in times.items()}


def polling(n: int, poll: float, seconds: float, changing: bool) -> tuple[float, float]:
    """(reads per second, processor µs per read) for `n` monitored readings polled at `poll`."""
    from p4p.client.thread import Context

    from tarn.driver.common.plinth import Plinth
    from tarn.driver.common.quantity import Quantity
    from tarn.serve import serve

    counter = itertools.count()
    reads = [0]

    class Readings(Plinth):
        CHs = [1]
        quants = [Quantity(f"R{k}", 0.0, "global", readonly=True) for k in range(n)]

        def open(self, **kw: Any) -> None:
            pass

        def close(self, **kw: Any) -> None:
            pass

        def write(self, name: str, value: Any, **kw: Any) -> Any:
            return value

        def read(self, name: str, **kw: Any) -> Any:
            reads[0] += 1
            return float(next(counter)) if changing else 1.0

    with Readings() as driver, serve(driver, "B:R:", poll=poll) as server:
        context = Context("pva", conf=server.conf, useenv=False)
        subscriptions = [context.monitor(name, lambda value: None) for name in server.names]
        time.sleep(poll * 5)  # every reading connected and polled once
        before_reads, cpu, wall = reads[0], time.process_time(), time.perf_counter()
        time.sleep(seconds)
        done = reads[0] - before_reads
        cpu, wall = time.process_time() - cpu, time.perf_counter() - wall
        for s in subscriptions:
            s.close()
        context.close()
    return done / wall, cpu / max(done, 1) * 1e6


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--poll", type=float, default=0.1)
    parser.add_argument("--seconds", type=float, default=3.0)
    args = parser.parse_args()
    try:
        import p4p  # noqa: F401
        import pyvisa_sim  # noqa: F401
    except ImportError as exc:
        print(f"bench_serve: skipped: {exc}")
        return
    blocks, count = (3, 50) if args.quick else (9, 200)
    seconds = 1.0 if args.quick else args.seconds
    medians = calls(blocks, count)
    print(f"{sys.version.split()[0]}: set and read through PV Access on loopback vs on the driver, "
          f"median µs per call ({blocks} blocks of {count}):")
    print("| call | driver µs | PV Access µs | ratio |\n|---|---:|---:|---:|")
    for what, direct, served in (("set", "setValue", "PVA put"),
                                 ("read (fresh)", "getValue", "PVA RPC (fresh read)"),
                                 ("read (last posted)", "getValue", "PVA get (last posted)")):
        print(f"| {what} | {medians[direct]:.0f} | {medians[served]:.0f} | "
              f"{medians[served] / medians[direct]:.2f} |")
    print(f"\npolling every {args.poll} s for {seconds} s, every reading monitored:")
    print("| readings | reads/s | CPU µs per read, unchanged | CPU µs per read, changing |\n"
          "|---:|---:|---:|---:|")
    for n in (1, 10, 100) if args.quick else (1, 10, 100, 1000):
        rate, still = polling(n, args.poll, seconds, changing=False)
        _, moving = polling(n, args.poll, seconds, changing=True)
        print(f"| {n} | {rate:.0f} | {still:.0f} | {moving:.0f} |")


if __name__ == "__main__":
    main()
