"""Run-length codec: compress(value) -> (values, lengths) and decompress(values, lengths)."""

import os
import subprocess
import sys
import sysconfig
import warnings

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st
from hypothesis.extra import numpy as hnp

from helpers import numpy_compress
from tarn.driver.common.plinth import compress, decompress

DEFAULT_INT = np.dtype(int)


def test_metadata():
    assert (compress.__name__, compress.__qualname__, decompress.__qualname__) == (
        "compress", "compress", "decompress")
    assert compress.__module__ == decompress.__module__ == "tarn.driver.common.plinth"
    assert compress.__annotations__ == {"value": "Any"} and decompress.__annotations__ == {}
    assert compress.__doc__ is None and decompress.__doc__ is None
    assert compress.__defaults__ is None and decompress.__defaults__ is None


@pytest.mark.parametrize("value", [[1, 1, 2], (1, 1), 3, 2.5, None, "aab", np.float64(1.0)])
def test_non_arrays_come_back_unchanged(value):
    assert compress(value) is value


@pytest.mark.parametrize("data, dtype, values, lengths", [
    ([3, 3, 3, 7, 7, 3], None, [3, 7, 3], [3, 2, 1]),
    ([5], None, [5], [1]),
    ([2.5] * 6, None, [2.5], [6]),
    ([True, True, False], bool, [True, False], [2, 1]),
    ([0.0, -0.0], None, [0.0], [2]),
    ([255, 255, 0], np.uint8, [255, 0], [2, 1]),
    ([-128, 127, 127], np.int8, [-128, 127], [1, 2]),  # wrapping differences stay non-zero
    (["2024-01-01", "2024-01-01", "2024-01-02"], "datetime64[D]",
     np.array(["2024-01-01", "2024-01-02"], "datetime64[D]"), [2, 1]),
])
def test_compress_examples(data, dtype, values, lengths):
    a = np.array(data, dtype=dtype)
    v, n = compress(a)
    assert v.dtype == a.dtype and n.dtype == DEFAULT_INT
    assert v.tolist() == np.asarray(values, dtype=a.dtype).tolist() and n.tolist() == lengths


def test_zero_keeps_the_sign_of_the_first_of_its_run():
    v, _ = compress(np.array([0.0, -0.0]))
    assert not np.signbit(v[0])
    v, _ = compress(np.array([-0.0, 0.0]))
    assert np.signbit(v[0])


@pytest.mark.filterwarnings("ignore:invalid value encountered in subtract:RuntimeWarning")
@pytest.mark.parametrize("data", [[np.nan, np.nan], [np.inf, np.inf], [-np.inf, -np.inf]])
def test_nan_and_infinity_never_share_a_run(data):
    v, n = compress(np.array(data))
    assert n.tolist() == [1, 1] and len(v) == 2


def test_compress_result_is_a_fresh_pair():
    a = np.array([1, 1, 2])
    result = compress(a)
    assert type(result) is tuple and len(result) == 2
    assert not np.shares_memory(result[0], a)


def test_array_subclasses_are_arrays():
    class Tagged(np.ndarray):
        pass

    a = np.array([1, 1, 2]).view(Tagged)
    v, n = compress(a)
    assert v.tolist() == [1, 2] and n.tolist() == [2, 1]
    m = np.ma.array([1, 1, 2, 2])
    assert compress(m)[1].tolist() == [2, 2]


@pytest.mark.parametrize("dtype", [np.float64, np.int32, bool, "datetime64[s]", np.complex64])
def test_empty_array_gives_two_empty_arrays(dtype):
    a = np.array([], dtype=dtype)
    v, n = compress(a)
    assert (v.shape, v.dtype) == ((0,), a.dtype)
    assert (n.shape, n.dtype) == ((0,), DEFAULT_INT)
    assert decompress(v, n).dtype == a.dtype


@pytest.mark.parametrize("shape", [(2, 3), (1, 1), (0, 4), (2, 2, 2)])
def test_multidimensional_arrays_are_refused(shape):
    with pytest.raises(ValueError) as info:
        compress(np.zeros(shape))
    assert str(info.value) == (
        f"compress() expects a one-dimensional array, got {len(shape)} dimensions")


@pytest.mark.parametrize("value, error, message", [
    (np.array(5), ValueError, "diff requires input that is at least one dimensional"),
    (np.array(["a", "a", "b"]), TypeError, None),  # numpy cannot subtract text
    (np.array([], dtype="U3"), TypeError, None),    # not even when empty
])
def test_numpy_errors_pass_through(value, error, message):
    with pytest.raises(error) as info:
        compress(value)
    if message:
        assert str(info.value) == message


def test_datetime_overflow_passes_through():
    # numpy 2.5 raises OverflowError here, earlier versions wrap: compress does what diff does.
    a = np.array([-2**62, 2**62], dtype=np.int64).astype("datetime64[s]")
    try:
        np.diff(a)
    except OverflowError as exc:
        with pytest.raises(OverflowError) as info:
            compress(a)
        assert str(info.value) == str(exc)
    else:
        assert compress(a)[1].tolist() == [1, 1]


@pytest.mark.parametrize("values, lengths, expected", [
    ([3, 7, 3], [3, 2, 1], [3, 3, 3, 7, 7, 3]),
    ([1, 2], 2, [1, 1, 2, 2]),
    ([1, 2, 3], [1, 0, 2], [1, 3, 3]),
    (np.array([[1, 2], [3, 4]]), 1, [1, 2, 3, 4]),  # values are flattened
    ([], [], []),
])
def test_decompress_examples(values, lengths, expected):
    out = decompress(values, lengths)
    assert isinstance(out, np.ndarray) and out.ndim == 1 and out.tolist() == expected


def test_decompress_returns_a_new_array_and_takes_keywords():
    values = np.array([1.0, 2.0])
    out = decompress(lengths=np.array([1, 1]), values=values)
    assert out is not values and not np.shares_memory(out, values)
    assert out.tolist() == [1.0, 2.0]


@pytest.mark.parametrize("call, error, message", [
    (lambda: decompress([1, 2], [1, -1]), ValueError, None),
    (lambda: decompress([1, 2, 3], [1, 2]), ValueError, None),
    (lambda: decompress([1]), TypeError, "decompress() takes exactly 2 positional arguments (1 given)"),
    (lambda: compress(), TypeError, "compress() takes exactly 1 positional argument (0 given)"),
    (lambda: compress(1, 2), TypeError, "compress() takes exactly 1 positional argument (2 given)"),
    (lambda: compress(values=1), TypeError, "compress() got an unexpected keyword argument 'values'"),
])
def test_errors(call, error, message):
    with pytest.raises(error) as info:
        call()
    if message:
        assert str(info.value) == message


TOO_BIG = "array is too big; `arr.size * arr.dtype.itemsize` is larger than the maximum possible size."

# Lengths whose true total does not fit the index type. numpy.repeat adds them there without a
# check and fills an array made for the wrapped total, past its end: each runs in a child
# interpreter, so a regression fails one case instead of ending the test process.
TOTAL_PAST_THE_INDEX_TYPE = """
import tracemalloc, warnings
warnings.filterwarnings("ignore", "The global interpreter lock")
import numpy as np
from tarn.driver.common.plinth import Plinth, decompress
from tarn.driver.common.quantity import Quantity

class Driver(Plinth):
    CHs = [1]
    quants = [Quantity("Waveform", None)]
    def open(self, **kw): pass
    def close(self, **kw): pass
    def write(self, name, value, **kw):
        print("write reached")
        return value
    def read(self, name, **kw): pass

driver = Driver("addr")
big = 2**63 - 1
tracemalloc.start()
try:
    {call}
except ValueError as e:
    print(e)
print(tracemalloc.get_traced_memory()[1] < 2**20, driver.config["Waveform"][1]["value"])
"""


@pytest.mark.parametrize("call", [
    "decompress(np.zeros(4), 2**62)",                              # one length for every value
    "decompress(np.zeros(3), [big, big, 7])",                      # wraps to a small total
    "decompress(np.zeros(3), np.array([big, big, 7]))",
    "decompress(np.zeros(3, np.int8), np.array([big, 0, big, 0, 7, 0])[::2])",  # strided lengths
    "decompress(np.zeros(2), (np.int64(big), np.int32(1)))",      # numpy integer scalars
    "decompress(np.zeros(2), np.array([2**62]))",                  # a single length as an array
    "decompress(np.zeros(2), np.array(2**62))",
    "decompress(np.zeros((2, 2)), 2**62)",                         # values numpy flattens
    "decompress([0.0, 1.0, 2.0, 3.0], 2**62)",                     # values as a list
    "decompress((0.0, 1.0), [big, big])",                          # wrapped negative before
    "decompress(np.arange(3.0), 2**62)",
    "decompress(np.arange(3.0), np.array([2**62, 2**62, 2**62]))",
    "decompress(np.zeros(2), [2**61, 2**61])",                     # fits, but not in bytes
    'driver.setValue("Waveform", (np.zeros(3), [big, big, 7]))',   # before write; config kept
])
def test_lengths_whose_total_does_not_fit_raise(python, call):
    result = python(TOTAL_PAST_THE_INDEX_TYPE.replace("{call}", call), timeout=60)
    assert (result.returncode, result.stdout, result.stderr) == (0, f"{TOO_BIG}\nTrue None\n", "")


# --- properties over every numeric dtype, bool and datetime64 ------------------------------------

DTYPES = st.one_of(
    hnp.integer_dtypes(), hnp.unsigned_integer_dtypes(), hnp.floating_dtypes(),
    hnp.complex_number_dtypes(), hnp.boolean_dtypes(), hnp.datetime64_dtypes())


@st.composite
def runny_arrays(draw, min_size):
    """1-D arrays whose elements are drawn from a few distinct values, so runs occur."""
    dtype = draw(DTYPES)
    if dtype.kind == "M":
        # Far-apart dates overflow numpy's subtraction (see test_datetime_overflow_passes_through).
        ticks = st.integers(-2**60, 2**60) | st.just(np.iinfo(np.int64).min)  # min is NaT
        pool = draw(hnp.arrays(np.int64, st.integers(1, 4), elements=ticks)).astype(dtype)
    else:
        pool = draw(hnp.arrays(dtype, st.integers(1, 4)))
    picks = draw(st.lists(st.integers(0, len(pool) - 1), min_size=min_size, max_size=60))
    return pool[np.array(picks, dtype=np.intp)]


@pytest.mark.filterwarnings("ignore:invalid value encountered in subtract:RuntimeWarning")
@settings(max_examples=300, deadline=None)
@given(runny_arrays(min_size=0))
def test_round_trip(a):
    values, lengths = compress(a)
    out = decompress(values, lengths)
    assert out.dtype == a.dtype
    assert np.array_equal(out, a, equal_nan=a.dtype.kind in "fcmM")
    assert lengths.dtype == DEFAULT_INT and (lengths >= 1).all() and lengths.sum() == len(a)


@pytest.mark.filterwarnings("ignore:invalid value encountered in subtract:RuntimeWarning")
@settings(max_examples=300, deadline=None)
@given(runny_arrays(min_size=1))
def test_compress_agrees_with_the_numpy_formulation(a):
    values, lengths = compress(a)
    ref_values, ref_lengths = numpy_compress(a)
    assert values.dtype == ref_values.dtype and lengths.dtype == ref_lengths.dtype
    assert np.array_equal(values, ref_values, equal_nan=a.dtype.kind in "fcmM")
    assert np.array_equal(lengths, ref_lengths)


# --- the native paths keep numpy's warnings, errors and result layout ------------------------------

@pytest.mark.parametrize("data, dtype, message", [
    ([1.0, np.inf, np.inf], np.float64, "invalid value encountered in subtract"),
    ([-np.inf, -np.inf], np.float32, "invalid value encountered in subtract"),
    ([1e308, -1e308], np.float64, "overflow encountered in subtract"),
    ([60000, -60000], np.float16, "overflow encountered in subtract"),
    ([complex(1, np.inf), complex(2, np.inf)], np.complex128, "invalid value encountered in subtract"),
])
def test_float_warnings_are_numpys(data, dtype, message):
    a = np.array(data, dtype=dtype)
    with pytest.warns(RuntimeWarning, match=message):
        values, lengths = compress(a)
    assert lengths.sum() == len(a)
    with np.errstate(all="raise"), pytest.raises(FloatingPointError, match=message):
        compress(a)
    with np.errstate(all="ignore"), warnings.catch_warnings():
        warnings.simplefilter("error")
        assert compress(a)[1].tolist() == numpy_compress(a)[1].tolist()


@pytest.mark.parametrize("data, dtype", [
    ([np.nan, np.nan, 1.0], np.float64),  # a quiet NaN raises no flag
    ([0.0, -0.0, 5e-324, 5e-324], np.float64),  # subnormal differences are exact
    ([65504, 32752, 1, -65504], np.float16),  # -65505 rounds to -65504: no overflow
    ([3, 3, 4], np.float32),
])
def test_quiet_cases_raise_nothing(data, dtype):
    with np.errstate(all="raise"):
        assert compress(np.array(data, dtype=dtype))[1].tolist() == numpy_compress(np.array(data, dtype=dtype))[1].tolist()


@pytest.mark.parametrize("a", [np.arange(10.0)[::3], np.arange(10)[::-2],
                               np.array(["2020-01-01"] * 3, "datetime64[D]"),
                               np.zeros(3, np.complex64)])
def test_results_are_fresh_contiguous_arrays(a):
    for result in (*compress(a), decompress(a, 2)):
        assert result.base is None and result.flags.c_contiguous and result.flags.writeable
        assert not np.shares_memory(result, a)


def unaligned(dtype, data):
    raw = np.zeros(len(data) * np.dtype(dtype).itemsize + 1, np.uint8)
    a = raw[1:].view(dtype)  # one byte past an aligned address
    a[:] = data
    return a


@pytest.mark.parametrize("make", [
    lambda: unaligned(np.float64, [1.5] * 70 + [np.nan] * 3 + [2.0] * 60),
    lambda: unaligned(np.int32, [7] * 100 + [8] * 40),
    lambda: unaligned(np.complex128, [1j] * 65),
    lambda: np.frombuffer(np.repeat(np.arange(30.0), 5).tobytes()),  # read-only memory
    lambda: np.broadcast_to(np.float64(np.nan), 70),  # stride 0: every element the same NaN
    lambda: np.broadcast_to(np.int16(3), 200),
])
def test_unaligned_and_read_only_arrays(make):
    a = make()
    v, n = compress(a)
    rv, rn = numpy_compress(a)
    assert v.tobytes() == rv.tobytes() and n.tolist() == rn.tolist()
    assert decompress(v, n).tobytes() == np.repeat(v, n).tobytes()
    assert decompress(a, 2).tobytes() == np.repeat(a, 2).tobytes()


CONCURRENT = """
import sys, threading
import numpy as np
from tarn.driver.common.plinth import compress, decompress
assert not sys._is_gil_enabled()
values = np.arange(2000.0)
lengths = np.full(2000, 1000)
data = np.repeat(np.arange(500.0), 8)
stop = threading.Event()

def toggle_lengths():
    while not stop.is_set():
        lengths[:1000] = 0  # the total jumps between 1 and 2 million, also mid-call
        lengths[:1000] = 1000

def change_data():
    rng = np.random.default_rng(0)
    while not stop.is_set():
        data[rng.integers(0, 4000, 50)] = rng.standard_normal()

threads = [threading.Thread(target=toggle_lengths), threading.Thread(target=change_data)]
for t in threads:
    t.start()
try:
    for _ in range(300):
        out = decompress(values, lengths)
        assert out.ndim == 1 and 1_000_000 <= out.size <= 2_000_000
        v, n = compress(data)
        assert len(v) == len(n) and n.sum() == len(data)
finally:
    stop.set()
    for t in threads:
        t.join(60)
print("ok")
"""


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="needs a free-threaded build")
def test_concurrent_mutation_without_the_gil_stays_memory_safe():
    """With the GIL forced off, arrays changed by another thread during a call give garbage at
    worst: the fill never writes past its output and the copy never past its run count."""
    env = dict(os.environ, PYTHON_GIL="0")
    result = subprocess.run([sys.executable, "-c", CONCURRENT], env=env, capture_output=True,
                            text=True, timeout=300)
    assert result.returncode == 0, result.stderr[-3000:]
    assert result.stdout.strip() == "ok"


# Threads rewrite the lengths in place, between two arrays with different totals, while others
# decompress: every result must be one that lengths the writers stored would give.
RELENGTHENED = """
import sys, threading, time
import numpy as np
from tarn.driver.common.plinth import decompress
assert not sys._is_gil_enabled()
n = 2000
values = np.arange(1, n + 1).astype(np.{dtype})
short, long = np.ones(n, np.int64), np.full(n, 20, np.int64)
lengths = short.copy()
stop = threading.Event()
failures, calls = [], [0, 0]

def rewrite():
    while not stop.is_set():
        lengths[:] = long
        lengths[:] = short

def decompress_often(t):
    try:
        deadline = time.monotonic() + 30
        while calls[t] < 300 and time.monotonic() < deadline:
            out = decompress(values, lengths)
            calls[t] += 1
            # Its runs: every value once and in order (an unwritten element breaks them), each
            # repeated as often as one of the two arrays says.
            starts = np.r_[0, np.flatnonzero(np.diff(out)) + 1]
            runs = np.diff(np.r_[starts, out.size])
            assert out.dtype == values.dtype and np.array_equal(out[starts], values), out
            assert np.all((runs == 1) | (runs == 20)), runs
    except BaseException as e:
        failures.append(repr(e)[:500])

threads = [threading.Thread(target=rewrite) for _ in range(2)]
threads += [threading.Thread(target=decompress_often, args=(t,)) for t in range(2)]
for t in threads:
    t.start()
for t in threads[2:]:
    t.join(60)
stop.set()
for t in threads[:2]:
    t.join(60)
print(failures or min(calls) > 0)
"""


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="needs a free-threaded build")
@pytest.mark.parametrize("dtype", ["int64", "longdouble"])  # the native fill; numpy.repeat's
def test_lengths_rewritten_during_decompress_are_read_once(python, dtype):
    result = python(RELENGTHENED.replace("{dtype}", dtype), env=dict(os.environ, PYTHON_GIL="0"), timeout=180)
    assert (result.returncode, result.stdout.strip()) == (0, "True"), result.stderr[-3000:]
