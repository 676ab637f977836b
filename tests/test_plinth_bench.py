"""The benchmark script: a quick run prints its tables, its plain-Python reference behaves like
the native driver, and it refuses to time a codec whose results are wrong. No timing asserts."""

import math
import pathlib
import platform
import re
import subprocess
import sys

import numpy as np
import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
SCRIPT = ROOT / "bench" / "bench_plinth.py"

sys.path.insert(0, str(SCRIPT.parent))
import bench_plinth  # noqa: E402


def table_rows(out, first_cells, columns):
    """The Markdown rows starting with one of `first_cells`, as lists of cells."""
    rows = []
    for line in out.splitlines():
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        if len(cells) == columns and cells[0] in first_cells:
            rows.append(cells)
    return rows


def positive_numbers(cells):
    return all(math.isfinite(float(c)) and float(c) > 0 for c in cells)


@pytest.mark.slow
def test_quick_run_prints_the_tables():
    result = subprocess.run([sys.executable, str(SCRIPT), "--quick"], capture_output=True,
                            text=True, timeout=600)
    assert result.returncode == 0, result.stderr
    out = result.stdout
    assert re.search(r"^## tarn\.driver\.common\.plinth: CPython \S+ .*\(quick run\)$", out, re.M)

    dispatch = table_rows(out, {"no keywords", "ch=2"}, 6)
    assert [row[0] for row in dispatch] == ["no keywords", "ch=2"]
    assert all(positive_numbers(row[1:]) for row in dispatch)

    codec = table_rows(out, {"float64", "int32", "bool"}, 10)
    assert [(row[0], row[1]) for row in codec] == [
        (dtype, size) for dtype in ("float64", "int32", "bool") for size in ("1e+03", "1e+04")]
    assert all(positive_numbers(row[2:]) for row in codec)

    # one row per kernel set the processor runs, each forced in a child: portable everywhere
    kernels = table_rows(out, {"portable", "sse2", "avx2"}, 7)
    names = [row[0] for row in kernels]
    assert names[0] == "portable" and len(set(names)) == len(names)
    assert ("sse2" in names) == (platform.machine().lower() in ("x86_64", "amd64"))
    assert all(positive_numbers(row[1:]) for row in kernels)


@pytest.mark.parametrize("scenario", sorted(bench_plinth.SCENARIOS))
def test_reference_behaves_like_the_native_driver(scenario):
    run = bench_plinth.SCENARIOS[scenario]
    assert bench_plinth.outcome(bench_plinth.PlainDriver, run) == \
        bench_plinth.outcome(bench_plinth.NativeDriver, run)


@pytest.mark.parametrize("dtype", [np.float64, np.int32, np.bool_])
def test_inputs_have_runs_of_mean_length_eight(dtype):
    arr = bench_plinth.run_data(100_000, dtype, np.random.default_rng(1))
    assert arr.dtype == dtype and arr.shape == (100_000,)
    _, lengths = bench_plinth.numpy_compress(arr)
    assert 7.5 < lengths.mean() < 8.5


def test_wrong_codec_results_stop_the_run(monkeypatch, capsys):
    compress = bench_plinth.compress

    def off_by_one(value):
        values, lengths = compress(value)
        return values, lengths + 1

    monkeypatch.setattr(bench_plinth, "compress", off_by_one)
    with pytest.raises(SystemExit) as info:
        bench_plinth.bench_codec(quick=True)
    assert str(info.value) == "compress/decompress disagree with numpy on float64[1000]"


@pytest.mark.slow
def test_the_driver_benchmark_prints_every_way_and_the_share_added():
    pytest.importorskip("pyvisa_sim", reason="pyvisa-sim is not installed (the examples extra)")
    done = subprocess.run([sys.executable, str(ROOT / "bench" / "bench_visa.py"), "--quick"],
                          capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr
    for way in ("getValue", "Plinth path", "bare resource", "before (8b81439)"):
        assert re.search(rf"^  {re.escape(way)}\s+\d+\.\d$", done.stdout, re.M), done.stdout
    assert re.search(r"^added since 8b81439: [+-]\d\.\d{3} of the round trip \(target <= 0\.05: (met|missed)\)$",
                     done.stdout, re.M), done.stdout
