"""Benchmark of the driver base's hot paths against the obvious alternatives, in one process.

Dispatch: a setValue+getValue round trip on a native driver whose write/read are trivial Python
methods, against the same class written in plain Python and against the floor (the driver's
write and read called directly plus the config store and load).
Codec: compress/decompress on run-length data against the numpy formulation, arr.copy() and
numpy.repeat; then float64 at 1e5 once per kernel set this processor can run, each measured in
a child process whose kernels TARN_CODEC_KERNEL forces.

Prints Markdown tables of medians and their ratios. `--quick` makes a very short run (used by
the test suite to check that the script works; its figures mean little).
"""

import argparse
import gc
import json
import os
import platform
import statistics
import subprocess
import sys
import time
import warnings
from abc import ABC, abstractmethod
from copy import deepcopy
from typing import Any

warnings.filterwarnings("ignore", "The global interpreter lock")

import numpy as np  # noqa: E402

import tarn.driver.common.plinth as plinth  # noqa: E402
from tarn.driver.common.plinth import Plinth, compress, decompress  # noqa: E402
from tarn.driver.common.quantity import Quantity, newcfg  # noqa: E402

# The numpy formulation of compress, as the tests compare against it.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests"))
from helpers import numpy_compress  # noqa: E402

QUANTS = [Quantity("Gain", 0.0), Quantity("Offset", 0.0), Quantity("Clock", "int", ch="global")]
CHS = [1, 2]


# --- the plain-Python reference: the driver base written the natural way ----------------------

def _refuse(name):
    raise TypeError(f"Argument 'name' has incorrect type (expected str, got {type(name).__name__})")


class PlainPlinth(ABC):
    """The same class in plain Python, including the exact-type test of `name` that the native
    methods make before their bodies run."""
    segment = ("na", "103|104")
    CHs: list = [1]
    quants: list = []

    def __init__(self, addr: str = "192.168.1.42", **kw):
        self.addr = addr
        self.host = kw.get("host", "127.0.0.1")
        self.port = kw.get("port", 0)
        self.timeout = kw.get("timeout", 3.0)
        self.model = kw.get("model", "None")
        self.srate = kw.get("srate", -1)
        self.config = newcfg(self.quants, self.CHs)
        self.quantities = {q.name: q for q in self.quants}

    def __repr__(self):
        return self.info()

    def info(self):
        return (f"Driver(addr={self.addr}, model={self.model}, srate={self.srate}, "
                f"host={self.host}, port={self.port})")

    @abstractmethod
    def open(self, **kw): ...

    @abstractmethod
    def close(self, **kw): ...

    @abstractmethod
    def write(self, name: str, value: Any, **kw): ...

    @abstractmethod
    def read(self, name: str, **kw): ...

    def dict_from_quantity(self):
        per_channel, shared = {}, {}
        for q in deepcopy(self.quants):
            target = shared if q.default["ch"] == "global" else per_channel
            target[q.name] = q.default["value"]
        result = {f"CH{ch}": per_channel for ch in self.CHs}
        result["CHglobal"] = shared
        return result

    def check(self, name: str, channel: int | str):
        if type(name) is not str:
            _refuse(name)
        assert name in self.quantities, f"{self}: quantity({name}) not Found!"
        assert channel in self.CHs or channel == "global", f"{self}: channel({channel}) not found!"

    def update(self, name: str, value: Any, channel: int | str = 1):
        if type(name) is not str:
            _refuse(name)
        self.config[name][channel]["value"] = value

    def setValue(self, name: str, value: Any, **kw):
        if type(name) is not str:
            _refuse(name)
        ch = kw.get("ch", 1)
        self.check(name, ch)
        if name == "Waveform" and isinstance(value, tuple):
            value = decompress(*value)
        if kw.get("mode", "run") == "debug":
            print("SET", name, value, kw.get("target", ""))
            return
        self.update(name, self.write(name, value, **kw), ch)

    def getValue(self, name: str, **kw):
        if type(name) is not str:
            _refuse(name)
        if name == "quantity":
            return self.dict_from_quantity()
        if hasattr(self, name):
            return getattr(self, name)
        ch = kw.get("ch", 1)
        self.check(name, ch)
        if kw.get("mode", "run") == "debug":
            print("GET", name, kw.get("target", ""))
            return None
        result = self.read(name, **kw)
        if result is None:
            return self.config[name][ch]["value"]
        self.update(name, result, ch)
        return result


def trivial_driver(base):
    """A driver on `base` whose device methods do nothing: write echoes, read has no value."""

    class Trivial(base):
        CHs = CHS
        quants = QUANTS

        def open(self, **kw):
            pass

        def close(self, **kw):
            pass

        def write(self, name, value, **kw):
            return value

        def read(self, name, **kw):
            return None

    return Trivial


NativeDriver = trivial_driver(Plinth)
PlainDriver = trivial_driver(PlainPlinth)


def round_trips(d, n):
    for i in range(n):
        d.setValue("Gain", i)
        d.getValue("Gain")


def round_trips_on_channel(d, n):
    for i in range(n):
        d.setValue("Gain", i, ch=2)
        d.getValue("Gain", ch=2)


def floor_trips(d, n):
    # What any implementation has to do: the device calls and the config store and load.
    for i in range(n):
        d.config["Gain"][1]["value"] = d.write("Gain", i)
        if d.read("Gain") is None:
            d.config["Gain"][1]["value"]


def floor_trips_on_channel(d, n):
    for i in range(n):
        d.config["Gain"][2]["value"] = d.write("Gain", i, ch=2)
        if d.read("Gain", ch=2) is None:
            d.config["Gain"][2]["value"]


# Calls on which the two drivers must agree, so that the comparison is between equals.
SCENARIOS = {
    "set and get": lambda d: (d.setValue("Gain", 5), d.getValue("Gain")),
    "set and get on ch=2": lambda d: (d.setValue("Gain", 7, ch=2), d.getValue("Gain", ch=2)),
    "global quantity": lambda d: (d.setValue("Clock", "ext", ch="global"),
                                  d.getValue("Clock", ch="global")),
    "update": lambda d: (d.update("Offset", 2, 2), d.getValue("Offset", ch=2)),
    "attribute shortcut": lambda d: d.getValue("CHs"),
    "quantity table": lambda d: d.getValue("quantity"),
    "undeclared quantity": lambda d: d.getValue("Nope"),
    "undeclared channel": lambda d: d.setValue("Gain", 1, ch=3),
    "name of the wrong type": lambda d: d.setValue(b"Gain", 1),
}


def outcome(cls, scenario):
    """What a scenario returns or raises on a fresh driver of `cls`, and the config it leaves.
    Assertion messages are compared from the first ": " on, after the driver's description."""
    d = cls()
    try:
        result = ("returned", scenario(d))
    except (AssertionError, TypeError) as exc:
        text = str(exc)
        result = (type(exc).__name__, text[text.find(": "):] if isinstance(exc, AssertionError) else text)
    return result, d.config


def disagreements():
    """The scenarios on which the native and the plain-Python driver differ."""
    return [name for name, scenario in SCENARIOS.items()
            if outcome(NativeDriver, scenario) != outcome(PlainDriver, scenario)]


# --- timing ----------------------------------------------------------------------------------

def timed(fn, *args):
    gc_was_on = gc.isenabled()
    gc.disable()
    try:
        start = time.perf_counter_ns()
        fn(*args)
        return time.perf_counter_ns() - start
    finally:
        if gc_was_on:
            gc.enable()


def medians(cases, repeat, per):
    """Times each case `repeat` times, interleaving the cases so drift hits all of them alike;
    returns the median time of each case divided by `per`."""
    samples = {name: [] for name in cases}
    for _ in range(repeat):
        for name, (fn, args) in cases.items():
            samples[name].append(timed(fn, *args) / per)
    return {name: statistics.median(values) for name, values in samples.items()}


def calibrate(fn, args, budget_ns):
    """The number of inner repetitions that makes one sample last about `budget_ns`."""
    once = max(timed(fn, *args), 1)
    return max(1, int(budget_ns // once))


# --- codec inputs and references -------------------------------------------------------------

def run_data(n, dtype, rng, mean_run=8):
    """n elements in runs of geometric length with mean `mean_run`; neighbouring runs differ."""
    runs = n // mean_run * 2 + 16
    lengths = rng.geometric(1 / mean_run, size=runs)
    while lengths.sum() < n:
        lengths = np.concatenate([lengths, rng.geometric(1 / mean_run, size=runs)])
    k = len(lengths)
    if dtype == np.bool_:
        values = np.arange(k) % 2 == 0
    elif np.issubdtype(dtype, np.integer):
        values = np.cumsum(rng.integers(1, 7, size=k)).astype(dtype)
    else:
        values = np.cumsum(rng.random(k) + 0.25).astype(dtype)
    return np.repeat(values, lengths)[:n]


def copy_array(value):
    return value.copy()


def repeated(fn, arg, n):
    for _ in range(n):
        fn(arg)


def repeated2(fn, a, b, n):
    for _ in range(n):
        fn(a, b)


# --- report ----------------------------------------------------------------------------------

def header():
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    build = "free-threaded build" if "free-threading" in sys.version else "GIL build"
    return (f"CPython {platform.python_version()} ({build}, GIL {'on' if gil else 'off'}), "
            f"numpy {np.__version__}, {platform.machine()}")


def bench_dispatch(quick):
    differ = disagreements()
    if differ:
        sys.exit(f"the plain-Python reference and the native driver disagree on: {', '.join(differ)}")

    native, plain = NativeDriver(), PlainDriver()
    # Many short samples, interleaved: the median shrugs off bursts of load on a shared machine.
    n = 200 if quick else 1_000
    repeat = 3 if quick else 201
    rows = []
    for label, trips, floor in [("no keywords", round_trips, floor_trips),
                                ("ch=2", round_trips_on_channel, floor_trips_on_channel)]:
        cases = {"native": (trips, (native, n)), "plain": (trips, (plain, n)),
                 "floor": (floor, (native, n))}
        for fn, args in cases.values():  # warm up caches and specialisations
            fn(*args)
        m = medians(cases, repeat, n)
        rows.append((label, m))

    print("| setValue+getValue round trip | native ns | plain Python ns | floor ns "
          "| native/plain | native/floor |")
    print("|---|---:|---:|---:|---:|---:|")
    for label, m in rows:
        print(f"| {label} | {m['native']:.0f} | {m['plain']:.0f} | {m['floor']:.0f} "
              f"| {m['native'] / m['plain']:.2f} | {m['native'] / m['floor']:.2f} |")
    print()
    return rows


def bench_codec(quick):
    rng = np.random.default_rng(20261208)
    sizes = [10**3, 10**4] if quick else [10**3, 10**5, 10**7]
    repeat = 3 if quick else 21
    budget = 1e6 if quick else 1e7  # ns per sample
    print("| array | n | compress µs | numpy steps µs | copy µs | compress/numpy | compress/copy "
          "| decompress µs | np.repeat µs | decompress/np.repeat |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    rows = []
    for dtype in (np.float64, np.int32, np.bool_):
        for n in sizes:
            m = codec_medians(run_data(n, dtype, rng), repeat, budget)
            rows.append((np.dtype(dtype).name, n, m))
            print(f"| {np.dtype(dtype).name} | {n:.0e} | {m['compress']:.1f} | {m['numpy']:.1f} "
                  f"| {m['copy']:.1f} | {m['compress'] / m['numpy']:.2f} "
                  f"| {m['compress'] / m['copy']:.2f} | {m['decompress']:.1f} | {m['repeat']:.1f} "
                  f"| {m['decompress'] / m['repeat']:.2f} |")
    print()
    return rows


def codec_medians(arr, repeat, budget):
    """Medians in µs of compress, the numpy steps and arr.copy(), then of decompress and
    numpy.repeat on compress's result; exits if the results disagree with numpy."""
    values, lengths = compress(arr)
    ref_values, ref_lengths = numpy_compress(arr)
    if not (values.dtype == arr.dtype and np.array_equal(values, ref_values)
            and np.array_equal(lengths, ref_lengths)
            and np.array_equal(decompress(values, lengths), arr)):
        sys.exit(f"compress/decompress disagree with numpy on {arr.dtype.name}[{len(arr)}]")
    k = calibrate(repeated, (compress, arr, 1), budget)
    m = medians({"compress": (repeated, (compress, arr, k)),
                 "numpy": (repeated, (numpy_compress, arr, k)),
                 "copy": (repeated, (copy_array, arr, k))}, repeat, k * 1e3)
    m.update(medians({"decompress": (repeated2, (decompress, values, lengths, k)),
                      "repeat": (repeated2, (np.repeat, values, lengths, k))}, repeat, k * 1e3))
    return m


def kernel_medians(n, quick):
    """codec_medians of float64 run data of n elements with this process's kernels."""
    arr = run_data(n, np.float64, np.random.default_rng(20261208))
    return codec_medians(arr, 3 if quick else 21, 1e6 if quick else 1e7)


KERNELS = ("portable", "sse2", "avx2")


def bench_kernels(quick):
    """float64 at 1e5 (1e4 quick) once per kernel set, each in a child that forces it; sets
    this processor cannot run (the child falls back to another) are left out."""
    n = 10**4 if quick else 10**5
    print(f"Kernel sets on float64 at {n:.0e} (this process runs {plinth.__codec_kernel__}):")
    print()
    print("| kernels | compress µs | numpy steps µs | compress/numpy | decompress µs "
          "| np.repeat µs | decompress/np.repeat |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    rows = []
    for kernel in KERNELS:
        command = [sys.executable, __file__, "--kernel-child", str(n)] + (["--quick"] if quick else [])
        child = subprocess.run(command, env=dict(os.environ, TARN_CODEC_KERNEL=kernel),
                               capture_output=True, text=True, timeout=600)
        if child.returncode != 0:
            sys.exit(f"the benchmark child for the {kernel} kernels failed:\n{child.stderr}")
        report = json.loads(child.stdout)
        if report["kernel"] != kernel:
            continue
        m = report["medians"]
        rows.append((kernel, m))
        print(f"| {kernel} | {m['compress']:.1f} | {m['numpy']:.1f} | {m['compress'] / m['numpy']:.2f} "
              f"| {m['decompress']:.1f} | {m['repeat']:.1f} | {m['decompress'] / m['repeat']:.2f} |")
    print()
    return rows


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="a very short run (figures are rough)")
    parser.add_argument("--kernel-child", type=int, metavar="N", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.kernel_child:  # the child of bench_kernels: one JSON line
        print(json.dumps({"kernel": plinth.__codec_kernel__,
                          "medians": kernel_medians(args.kernel_child, args.quick)}))
        return
    print(f"## tarn.driver.common.plinth: {header()}{' (quick run)' if args.quick else ''}")
    print()
    print("Medians per call; the floor is the driver's own write and read plus the config "
          "store and load.")
    print()
    bench_dispatch(args.quick)
    bench_codec(args.quick)
    bench_kernels(args.quick)


if __name__ == "__main__":
    main()
