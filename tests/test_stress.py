"""Eight threads on one shared driver and on shared arrays, with the GIL forced off.

The modules declare that they need the GIL, but PYTHON_GIL=0 keeps it off; they must stay
memory-safe and keep `config` consistent then. The work runs in a child interpreter so that a
crash is seen as a crash. TARN_STRESS_SECONDS sets how long the threads run (default 3).
"""

import json
import os
import textwrap

import pytest

from helpers import FREE_THREADED, run_python

pytestmark = [pytest.mark.slow, pytest.mark.skipif(
    not FREE_THREADED, reason="needs a free-threaded interpreter, where PYTHON_GIL=0 turns the GIL off")]

THREADS = 8
SECONDS = float(os.environ.get("TARN_STRESS_SECONDS", "3"))

CHILD = textwrap.dedent("""
    import json, os, sys, threading, time, traceback
    import numpy as np
    from tarn.driver.common.plinth import Plinth, compress, decompress
    from tarn.driver.common.quantity import Quantity

    THREADS, SECONDS = int(os.environ["STRESS_THREADS"]), float(os.environ["STRESS_SECONDS"])
    gil = sys._is_gil_enabled()
    NAMES = ["Gain", "Offset", "Phase"]
    CHS = [1, 2, "aux"]
    SLOTS = [(n, c) for n in NAMES for c in CHS] + [("Temp", "global")]

    class Shared(Plinth):
        CHs = CHS
        quants = [Quantity(n, 0) for n in NAMES] + [Quantity("Temp", 20.0, ch="global"),
                                                     Quantity("Waveform", None)]
        def open(self, **kw): pass
        def close(self, **kw): pass
        def write(self, name, value, **kw): return value
        # A fresh reading when the caller hands one in, else "nothing new" (None).
        def read(self, name, **kw): return kw.get("fresh")

    d = Shared("10.1.2.3", model="M")
    DESCRIPTION = "\\U0001F516Driver(addr=10.1.2.3, model=M, srate=-1, host=127.0.0.1, port=0)"
    ARRAYS = [np.repeat(np.arange(40.0), 7), np.array([3, 3, 3, 7, 7, 3] * 50, dtype=np.int16),
              np.array([True, True, False] * 90), np.array([0.0, -0.0, 1.5, 1.5] * 60)]
    PAIRS = [compress(a) for a in ARRAYS]
    DEFAULTS = {"CH1": {"Gain": 0, "Offset": 0, "Phase": 0, "Waveform": None},
                "CHglobal": {"Temp": 20.0}}
    written = [{slot: set() for slot in SLOTS} for _ in range(THREADS)]
    errors, rounds = [], [0] * THREADS
    start = threading.Barrier(THREADS)

    def expect(ok, what):
        if not ok:
            raise AssertionError(what)

    def plausible(value, slot):
        # A value seen on a slot is its default or one that some thread stored on that slot.
        return value in (0, 20.0) or (isinstance(value, tuple) and value[:2] == slot)

    def worker(t):
        try:
            mine = written[t]
            start.wait(timeout=60)
            deadline = time.monotonic() + SECONDS
            i = 0
            while time.monotonic() < deadline:
                i += 1
                for name, ch in SLOTS:
                    slot = (name, ch)
                    v = (name, ch, t, i, "set")
                    mine[slot].add(v)
                    d.setValue(name, v, ch=ch, target="x")
                    got = d.getValue(name, ch=ch)         # read() gives None: the recorded value
                    expect(plausible(got, slot), f"getValue({slot}) gave {got!r}")
                    r = (name, ch, t, i, "read")
                    mine[slot].add(r)
                    expect(d.getValue(name, ch=ch, fresh=r) is r, "a fresh reading was not returned")
                    u = (name, ch, t, i, "update")
                    mine[slot].add(u)
                    d.update(name, u, ch)
                q = d.dict_from_quantity()
                expect(list(q) == ["CH1", "CH2", "CHaux", "CHglobal"], f"keys {list(q)}")
                expect(q["CH1"] is q["CHaux"] and q["CH1"] == DEFAULTS["CH1"], f"{q}")
                expect(q["CHglobal"] == DEFAULTS["CHglobal"], f"{q}")
                expect(d.getValue("quantity") == q, "getValue('quantity')")
                expect(d.info().startswith(DESCRIPTION) and repr(d) == d.info(), d.info())
                try:
                    d.check("Gain", 99)
                    raise AssertionError("check accepted channel 99")
                except AssertionError as exc:
                    expect(str(exc).endswith(": channel(99) not found!"), str(exc))
                k = (t + i) % len(ARRAYS)
                values, lengths = compress(ARRAYS[k])
                expect(np.array_equal(values, PAIRS[k][0]) and np.array_equal(lengths, PAIRS[k][1]),
                       "compress of a shared array changed")
                expect(np.array_equal(decompress(*PAIRS[k]), ARRAYS[k]), "decompress round trip")
                d.setValue("Waveform", PAIRS[k], ch=2)
                wave = d.getValue("Waveform", ch=2)
                expect(any(wave.shape == a.shape and np.array_equal(wave, a) for a in ARRAYS),
                       "Waveform holds no expanded shared array")
            rounds[t] = i
        except BaseException:
            errors.append(traceback.format_exc())

    threads = [threading.Thread(target=worker, args=(t,)) for t in range(THREADS)]
    began = time.monotonic()
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    elapsed = time.monotonic() - began

    # Every slot ends holding one of the values that were written to it.
    everything = {slot: set().union(*(w[slot] for w in written)) for slot in SLOTS}
    lost = {f"{n}/{c}": repr(d.config[n][c]["value"]) for n, c in SLOTS
            if d.config[n][c]["value"] not in everything[(n, c)]}
    print(json.dumps({"gil": gil, "gil_after": sys._is_gil_enabled(), "errors": errors,
                      "rounds": rounds, "lost": lost, "elapsed": elapsed}))
""")


def test_eight_threads_on_one_driver_without_the_gil():
    env = dict(os.environ, PYTHON_GIL="0", STRESS_THREADS=str(THREADS), STRESS_SECONDS=str(SECONDS))
    result = run_python(CHILD, env=env, timeout=SECONDS * 4 + 120)
    assert result.returncode == 0, result.stderr[-4000:]
    report = json.loads(result.stdout)
    assert report["gil"] is False and report["gil_after"] is False, "the GIL was on"
    assert report["errors"] == []
    assert report["lost"] == {}
    assert min(report["rounds"]) > 0, f"a thread made no round: {report['rounds']}"
    assert report["elapsed"] >= SECONDS


MUTATING_CHILD = textwrap.dedent("""
    import json, os, sys, threading, time, traceback
    from tarn.driver.common.plinth import Plinth
    from tarn.driver.common.quantity import Quantity

    THREADS, SECONDS = int(os.environ["STRESS_THREADS"]), float(os.environ["STRESS_SECONDS"])

    class Shared(Plinth):
        CHs = [1, 2, 3]
        quants = [Quantity(f"Q{i}", i) for i in range(6)]
        def open(self, **kw): pass
        def close(self, **kw): pass
        def write(self, name, value, **kw): return value
        def read(self, name, **kw): return None

    errors, rounds = [], [0] * THREADS
    start = threading.Barrier(THREADS)

    def mutator(t, deadline):
        # The class-level lists are shared by every instance; change them in place.
        i = 0
        while time.monotonic() < deadline:
            i += 1
            Shared.CHs.append(10 + i % 5)
            Shared.quants.append(Quantity(f"X{i % 7}", i))
            del Shared.CHs[3:]
            del Shared.quants[6:]
        return i

    def user(t, deadline):
        d, i = Shared(), 0
        while time.monotonic() < deadline:
            i += 1
            Shared()
            q = d.dict_from_quantity()
            assert "CH1" in q and "CHglobal" in q, q
            d.check("Q1", 2)
            try:
                d.check("Q1", 10 + i % 5)   # valid only while a mutator has appended it
            except AssertionError:
                pass
            d.setValue("Q2", i, ch=3)
            d.getValue("Q2", ch=3)
            repr(d)
        return i

    def worker(t):
        try:
            start.wait(timeout=60)
            deadline = time.monotonic() + SECONDS
            rounds[t] = (mutator if t < 2 else user)(t, deadline)
        except BaseException:
            errors.append(traceback.format_exc())

    threads = [threading.Thread(target=worker, args=(t,)) for t in range(THREADS)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    print(json.dumps({"gil": sys._is_gil_enabled(), "errors": errors, "rounds": rounds}))
""")


def test_class_lists_changed_in_place_while_drivers_use_them():
    """Two threads append to and trim the class-level CHs and quants while six construct
    drivers and run the quantity operations: memory-safe, and only check's own
    AssertionError may come out."""
    env = dict(os.environ, PYTHON_GIL="0", STRESS_THREADS=str(THREADS), STRESS_SECONDS=str(SECONDS))
    result = run_python(MUTATING_CHILD, env=env, timeout=SECONDS * 4 + 120)
    assert result.returncode == 0, result.stderr[-4000:]
    report = json.loads(result.stdout)
    assert report["gil"] is False
    assert report["errors"] == []
    assert min(report["rounds"]) > 0, report["rounds"]
