"""compress and decompress agree bit for bit with the plain numpy steps: results, warnings and errors.

Arrays are built from raw bit patterns, so NaN payloads, signalling NaNs, signed zeros,
infinities, NaT and booleans holding bytes other than 0 and 1 all occur, in every layout
(contiguous, strided, reversed).
"""

import os
import pathlib
import platform
import re
import subprocess
import sys
import warnings

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import tarn.driver.common.plinth as plinth
from helpers import numpy_compress
from tarn.driver.common.plinth import compress, decompress

# Raw patterns with a meaning, per element size: zeros of both signs, infinities, quiet and
# signalling NaNs with payloads, the largest finite values (their differences overflow), and
# the smallest subnormal.
SPECIAL_BITS = {
    2: [0x0000, 0x8000, 0x7C00, 0xFC00, 0x7E00, 0xFE01, 0x7C01, 0x7BFF, 0xFBFF, 0x0001],
    4: [0x0, 0x80000000, 0x7F800000, 0xFF800000, 0x7FC00000, 0xFFC00001, 0x7F800001,
        0x7F7FFFFF, 0xFF7FFFFF, 0x1],
    8: [0x0, 0x8000000000000000, 0x7FF0000000000000, 0xFFF0000000000000, 0x7FF8000000000000,
        0xFFF8000000000001, 0x7FF0000000000001, 0x7FEFFFFFFFFFFFFF, 0xFFEFFFFFFFFFFFFF, 0x1],
}
NAT = np.iinfo(np.int64).min
TICKS = [NAT, 0, 1, -1, 86_400, NAT + 1, NAT + 2, np.iinfo(np.int64).max, 2**62, -(2**62)]

FLOATS = ["float16", "float32", "float64", "complex64", "complex128"]
INTEGERS = ["int8", "uint8", "int16", "uint16", "int32", "uint32", "int64", "uint64"]
TIMES = ["datetime64[ns]", "datetime64[D]", "timedelta64[s]", "timedelta64[ms]"]
DTYPES = ["bool"] + INTEGERS + FLOATS + TIMES


def bits_pool(draw, dtype):
    """A few distinct elements of `dtype`, made from raw patterns."""
    dtype = np.dtype(dtype)
    count = draw(st.integers(1, 5))
    if dtype.kind == "b":
        raw = draw(st.lists(st.sampled_from([0, 1, 2, 255]), min_size=count, max_size=count))
        return np.array(raw, np.uint8).view(bool)
    if dtype.kind in "mM":
        raw = draw(st.lists(st.sampled_from(TICKS) | st.integers(-1000, 1000), min_size=count,
                            max_size=count))
        return np.array(raw, np.int64).view(dtype)
    part = dtype.itemsize // 2 if dtype.kind == "c" else dtype.itemsize
    unsigned = np.dtype(f"u{part}")
    parts = count * (2 if dtype.kind == "c" else 1)
    pattern = st.integers(0, 2 ** (8 * part) - 1)
    if dtype.kind in "fc":
        pattern = st.sampled_from(SPECIAL_BITS[part]) | pattern | st.sampled_from(
            [int(np.array(v, f"f{part}").view(unsigned)) for v in (1.0, -1.0, 2.5)])
    raw = draw(st.lists(pattern, min_size=parts, max_size=parts))
    return np.array(raw, unsigned).view(dtype)


@st.composite
def arrays(draw, dtypes=DTYPES, max_size=300):
    """A 1-D array with runs, possibly a strided or reversed view of a larger one."""
    pool = bits_pool(draw, draw(st.sampled_from(dtypes)))
    picks = draw(st.lists(st.integers(0, len(pool) - 1), max_size=max_size))
    runs = draw(st.lists(st.integers(1, 12), min_size=len(picks), max_size=len(picks)))
    a = np.repeat(pool[np.array(picks, dtype=np.intp)], np.array(runs, dtype=np.intp))
    step = draw(st.sampled_from([1, 1, 2, 3, -1, -2]))
    base = np.repeat(a[::-1] if step < 0 else a, abs(step))
    return base[::step]


def outcome(function, *args):
    """(result, (error type, message) or None, warnings) of one call."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            result, error = function(*args), None
        except Exception as exc:  # noqa: BLE001 - every error is compared
            result, error = None, (type(exc), str(exc))
    return result, error, [(w.category, str(w.message)) for w in caught]


def same_array(x, y):
    """Same type, dtype, shape and bytes, and both fresh arrays owning their memory."""
    def key(a):
        return (type(a), a.dtype, a.shape, a.tobytes(), a.base is None, a.flags.c_contiguous,
                a.flags.writeable)
    return key(x) == key(y)


def assert_same_outcome(mine, theirs, pair):
    assert mine[1] == theirs[1] and mine[2] == theirs[2]
    if theirs[1] is None:
        if pair:
            assert type(mine[0]) is tuple and len(mine[0]) == 2
            assert all(same_array(x, y) for x, y in zip(mine[0], theirs[0]))
        else:
            assert same_array(mine[0], theirs[0])


@settings(max_examples=600, deadline=None)
@given(arrays(), st.sampled_from(["warn", "raise", "ignore"]))
def test_compress_matches_numpy(a, errors):
    with np.errstate(all=errors):
        mine = outcome(compress, a)
        theirs = outcome(numpy_compress, a)
    assert_same_outcome(mine, theirs, pair=True)


@settings(max_examples=300, deadline=None)
@given(arrays())
def test_round_trip_gives_numpy_repeat_of_the_runs(a):
    with np.errstate(all="ignore"):
        try:
            values, lengths = compress(a)
        except OverflowError:  # numpy 2.5 refuses to subtract far-apart datetimes (compared above)
            return
    out = decompress(values, lengths)
    assert same_array(out, np.repeat(values, lengths))
    if a.dtype.kind in "fcb":  # -0.0 after 0.0 comes back as 0.0, a True byte 2 after 1 as 1
        with np.errstate(all="ignore"):
            assert out.dtype == a.dtype and np.array_equal(out, a, equal_nan=a.dtype.kind != "b")
    else:
        assert (out.dtype, out.tobytes()) == (a.dtype, a.tobytes())


LENGTH_TYPES = ["int8", "uint8", "int16", "uint16", "int32", "uint32", "int64"]


@st.composite
def lengths_for(draw, n):
    """Non-negative lengths: a single int, or an integer array (maybe strided) with n entries."""
    if draw(st.booleans()):
        return draw(st.integers(0, 4))
    dtype = draw(st.sampled_from(LENGTH_TYPES))
    raw = draw(st.lists(st.integers(0, 6), min_size=n, max_size=n))
    step = draw(st.sampled_from([1, 2, -1]))
    base = np.repeat(np.array(raw[::-1] if step < 0 else raw, dtype=dtype), abs(step))
    return base[::step]


@settings(max_examples=400, deadline=None)
@given(st.data())
def test_decompress_matches_numpy_repeat(data):
    values = data.draw(arrays(max_size=60))
    lengths = data.draw(lengths_for(len(values)))
    assert_same_outcome(outcome(decompress, values, lengths), outcome(np.repeat, values, lengths),
                        pair=False)


@pytest.mark.parametrize("values, lengths", [
    (np.arange(3.0), np.array([1, -1, 2])),             # negative length
    (np.arange(3.0), -1),                               # negative single length
    (np.arange(3.0), np.array([1, 2])),                 # wrong number of lengths
    (np.arange(3.0), np.array([2])),                    # one length for all: numpy broadcasts
    (np.arange(3.0), np.array([1.0, 2.0, 0.0])),        # float lengths
    (np.arange(3.0), np.array([1, 2, 3], np.uint64)),   # numpy refuses uint64 lengths
    (np.arange(3.0), np.array([True, False, True])),    # boolean lengths
    (np.arange(3.0), np.array(2)),                      # 0-d lengths
    (np.arange(3.0), [1, 0, 2]),                        # a list of lengths
    (np.arange(3.0), 2.0),                              # a float
    (np.arange(3.0), True),                             # a bool, which numpy takes as 1
    (np.arange(3.0), 2**63),                            # too large for numpy
    # Totals past the index type, which numpy wraps around, are refused instead: those cases
    # are in test_plinth_codec.py (test_lengths_whose_total_does_not_fit_raise).
    (np.arange(6.0).reshape(2, 3), np.array([1, 2])),   # 2-D values, flattened by numpy
    (np.arange(6.0).reshape(2, 3), 2),
    (np.arange(3.0).astype(">f8"), 2),                  # byte-swapped values
    (np.array(["a", "b"]), np.array([2, 1])),           # text values
    (np.array([1, None], dtype=object), 2),             # object values
    (lambda: np.array(["NaT", "NaT"], "datetime64"), 2),  # datetime with the generic unit
    (np.arange(3.0).view(np.recarray), 2),              # a subclass
    (np.arange(3), np.arange(3).view(np.recarray)),     # lengths of a subclass
])
def test_decompress_fallbacks_match_numpy_repeat(values, lengths):
    if callable(values):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            values = values()
    assert_same_outcome(outcome(decompress, values, lengths), outcome(np.repeat, values, lengths),
                        pair=False)




@pytest.mark.parametrize("make", [
    lambda: np.array([1.0, 1.0, 2.0], ">f8"),               # byte-swapped
    lambda: np.array([1, 1, 2], ">i4")[::-1],
    lambda: np.array([1.0, 1.0, np.inf, np.inf], np.longdouble),
    lambda: np.array([1j, 1j, 2], np.clongdouble),
    lambda: np.array([1, 1, None], dtype=object),
    lambda: np.array([b"a", b"a", b"b"]),                   # numpy cannot subtract bytes
    lambda: np.array([(1, 2), (1, 2)], dtype="i4,i4"),      # records
    lambda: np.array([NAT, NAT, 5, 5], np.int64).view("M8"),  # the generic unit
    lambda: np.array([NAT, NAT, 5, 5], np.int64).view("m8"),
    lambda: np.array([1, 1, 2], ">M8[s]"),
    lambda: np.array([1.0, 1.0, 2.0]).view(np.recarray),    # a subclass
    lambda: np.ma.array([np.inf, np.inf, 1.0]),
    lambda: np.array(2.0),                                  # 0-d: numpy's error
])
def test_compress_fallbacks_match_numpy(make):
    a = make()
    assert_same_outcome(outcome(compress, a), outcome(numpy_compress, a), pair=True)


@pytest.mark.parametrize("n", [1, 2, 63, 64, 65, 127, 128, 129, 1000, 4095, 4096, 4097, 70_001])
@pytest.mark.parametrize("dtype", DTYPES)
def test_long_arrays_match_numpy(dtype, n):
    """Lengths around the 64-element words the kernels work in, and past their vector loops."""
    rng = np.random.default_rng(n)
    pool = rng.integers(0, 3, size=n) if dtype != "bool" else rng.integers(0, 2, size=n)
    # mostly runs of about 8, with stretches of single elements and long runs
    runs = np.minimum(rng.geometric(1 / 8, size=n), 40)
    a = np.repeat(pool, runs)[:n].astype(dtype)
    a[rng.integers(0, n, size=max(1, n // 50))] = a[0]  # a few extra breaks
    for view in (a, a[::2], a[::-1]):
        assert_same_outcome(outcome(compress, view), outcome(numpy_compress, view), pair=True)
        values, lengths = compress(view)
        out = decompress(values, lengths)
        assert (out.dtype, out.tobytes()) == (view.dtype, view.tobytes())


@pytest.mark.parametrize("dtype", ["int8", "int16", "float32", "float64", "complex128", "datetime64[us]"])
@pytest.mark.parametrize("single", [False, True])
def test_large_outputs_match_numpy_repeat(dtype, single):
    """Outputs beyond the caches are written differently from small ones."""
    rng = np.random.default_rng(3)
    values = rng.integers(-100, 100, size=200_000).astype(dtype)
    lengths = 20 if single else np.minimum(rng.geometric(1 / 12, size=len(values)), 300)
    if not single:
        lengths[rng.integers(0, len(values), 5000)] = 0
    out = decompress(values, lengths)
    assert same_array(out, np.repeat(values, lengths))
    assert out.nbytes > 2**21


# --- every kernel set: TARN_CODEC_KERNEL forces one at load ------------------------------------

CODEC_TESTS = [__file__, str(pathlib.Path(__file__).with_name("test_plinth_codec.py"))]
X86_64 = platform.machine().lower() in ("x86_64", "amd64")


def cpu_flags():
    """The processor's feature flags as Linux reports them, or None elsewhere."""
    try:
        text = pathlib.Path("/proc/cpuinfo").read_text()
    except OSError:
        return None
    return next((set(line.split(":", 1)[1].split()) for line in text.splitlines()
                 if line.startswith("flags")), None)


def best_kernel():
    """The kernel set the module should choose here by itself, or None where we cannot tell."""
    if not X86_64:
        return "portable"
    flags = cpu_flags()
    if flags is None:
        return None
    return "avx2" if {"avx2", "popcnt"} <= flags else "sse2"


def available(kernel):
    return kernel == "portable" or (X86_64 and (kernel == "sse2" or best_kernel() == "avx2"))


def child_env(value):
    env = {k: v for k, v in os.environ.items() if k != "TARN_CODEC_KERNEL"}
    if value is not None:
        env["TARN_CODEC_KERNEL"] = value
    return env


def run_child(value, code, timeout):
    prelude = "import tarn.driver.common.plinth as p; print(p.__codec_kernel__, flush=True); "
    return subprocess.run([sys.executable, "-c", prelude + code], env=child_env(value),
                          capture_output=True, text=True, timeout=timeout)


@pytest.fixture(scope="module")
def automatic_kernel():
    result = run_child(None, "", 60)
    assert result.returncode == 0, result.stderr[-3000:]
    return result.stdout.strip()


def test_kernel_choice_without_the_variable_is_the_best_available(automatic_kernel):
    if best_kernel() is None:
        pytest.skip("the processor's features are not readable here")
    assert automatic_kernel == best_kernel()


@pytest.mark.parametrize("value", [
    "portable", "sse2", "avx2",
    "", "AVX2", "avx512", "neon", " portable", "portable,sse2",  # unknown: the automatic choice
])
def test_kernel_choice_follows_the_variable_where_it_can(value, automatic_kernel):
    result = run_child(value, "", 60)
    assert result.returncode == 0, result.stderr[-3000:]
    expected = value if value in ("portable", "sse2", "avx2") and available(value) else automatic_kernel
    assert result.stdout.strip() == expected


@pytest.mark.parametrize("kernel", ["portable", "sse2", "avx2"])
def test_codec_tests_pass_under_each_kernel(kernel):
    """The equivalence and round-trip tests above, and test_plinth_codec.py, in a child whose
    kernels are forced: every kernel set must match numpy bit for bit."""
    if os.environ.get("TARN_CODEC_KERNEL"):
        pytest.skip("this run already forces a kernel")
    if not available(kernel):
        pytest.skip(f"the {kernel} kernels cannot run on this machine")
    if kernel == plinth.__codec_kernel__:
        pytest.skip("the kernels of this process: the tests above ran on them")
    code = ("import sys, pytest; sys.exit(pytest.main(['-q', '-x', '-p', 'no:cacheprovider', '-k', "
            f"'not kernel_choice and not under_each_kernel', *{CODEC_TESTS!r}]))")
    result = run_child(kernel, code, 600)
    assert result.returncode == 0, (result.stdout[-3000:], result.stderr[-3000:])
    assert result.stdout.splitlines()[0] == kernel
    assert re.search(r"^\d+ passed", result.stdout.splitlines()[-1])
