"""Checks of the benchmark script itself: its data, its timing loop, its verdicts and its floor loop.

Run with `python -m pytest benchmarks/test_run.py` (quorlix must be importable).
"""
import importlib.util
import math
import sys
from pathlib import Path

import numpy as np
import pytest

LOADER_SPEC = importlib.util.spec_from_file_location("bench_run", Path(__file__).with_name("run.py"))
run = importlib.util.module_from_spec(LOADER_SPEC)
sys.modules[LOADER_SPEC.name] = run  # dataclasses look their module up while the class is made
LOADER_SPEC.loader.exec_module(run)


class FakeClock:
    """Stands in for time.perf_counter; each call to a fake implementation advances it by its cost."""

    def __init__(self):
        self.now = 0.0

    def __call__(self):
        return self.now


@pytest.fixture
def clock(monkeypatch):
    fake = FakeClock()
    monkeypatch.setattr(run.time, "perf_counter", fake)
    return fake


def costing(clock, seconds, log, label):
    def call():
        clock.now += seconds
        log.append(label)
        return 1.5

    return call


def test_shapes_of_the_generated_data():
    continuous = run.make_data("continuous", 5000)
    ordered = run.make_data("sorted", 5000)
    tied = run.make_data("tied", 5000)
    assert np.all(np.diff(ordered["x"]) >= 0)
    rows = lambda d: sorted(zip(d["x"], d["y"], d["z"]))
    assert rows(ordered) == rows(continuous)
    for column in "xyz":
        values = np.unique(tied[column])
        assert len(values) <= 10 and np.all(values == np.round(values))
    assert tied["xb"].dtype == np.bool_ and np.array_equal(tied["xb"], tied["x"] > 0.0)
    # Same seed, same arrays: every implementation sees identical input.
    assert np.array_equal(run.make_data("continuous", 5000)["y"], continuous["y"])


def test_repetitions_interleave_and_rotate(clock):
    log = []
    calls = {name: costing(clock, 0.5, log, name) for name in ("quorlix", "a", "b")}
    mode = run.Mode("t", (), (), (), 0, 3, 1e9, 100.0, 0.01, False)
    results = run.measure(calls, mode, {})
    # One warm-up (counted, as the call is slow), then rounds in rotating order.
    assert log == ["quorlix", "a", "b", "quorlix", "a", "b", "a", "b", "quorlix"]
    assert all(t.times == [0.5, 0.5, 0.5] and t.value == 1.5 for t in results.values())


def test_slow_peers_get_fewer_repetitions_or_are_skipped(clock):
    log = []
    calls = {"quorlix": costing(clock, 0.001, log, "quorlix"), "slow": costing(clock, 30.0, log, "slow"),
             "hopeless": costing(clock, 1.0, log, "hopeless")}
    mode = run.Mode("t", (), (), (), 0, 5, 100.0, 40.0, 0.01, False)
    results = run.measure(calls, mode, {"hopeless": 500.0, "quorlix": 500.0})
    assert results["slow"].times == [30.0]
    assert "hopeless" not in log and results["hopeless"].skipped.startswith("skipped")
    # quorlix is never skipped; its fast calls are timed in batches of about batch_seconds.
    assert len(results["quorlix"].times) == 5
    assert results["quorlix"].median == pytest.approx(0.001)
    assert log.count("quorlix") == 1 + 5 * 10


def test_targets_are_judged_from_the_medians():
    def timing(*times):
        return run.Timing(times=list(times))

    report = {"timings": {
        "ksg_mi": {100: {"quorlix": timing(44e-6)}, 10**5: {"quorlix": timing(0.03)}, 10**6: {"quorlix": timing(0.4), "scikit-learn _compute_mi_cc": timing(12.0)}},
        "pearson_corr": {100: {"quorlix": timing(1e-6), "scipy.stats.pearsonr": timing(5e-5)},
                         10**7: {"quorlix": timing(0.035), "C++ floor loop": timing(0.032)}},
    }, "variants": {"kl_h": {10**6: {"continuous": timing(0.02), "sorted": timing(0.05), "tied": timing(0.01)}}},
        "memory": {"ksg_ii": {"quorlix": {"above_bytes": 250 * 10**6}}},
        "screening": {"quorlix": timing(0.02), "scikit-learn mutual_info_regression": timing(0.35)}}
    verdicts = {text: (measured, met) for text, measured, met in run.targets(report, run.FULL)}

    def verdict(start):
        return next(v for text, v in verdicts.items() if text.startswith(start))

    assert verdict("`ksg_mi` at n = 10⁶") == ("30.0×", True)
    assert verdict("`pearson_corr` at n = 10⁷") == ("1.09×", True)
    assert verdict("`pearson_corr` at n = 100") == ("50.0×", False)
    assert verdict("`ksg_mi`: time") == ("13.3", False)
    assert verdict("`kl_h`: sorted") == ("sorted 2.50×, tied 0.50×", False)
    assert verdict("`ksg_ii` peak") == ("250 B/point", True)
    assert verdict("`ksg_cmi` at n = 10⁵") == ("–", None)
    assert verdict("`ksg_mi`: time per point at n = 100 ") == ("1.47×", True)
    assert verdict("screening") == ("17.5×", True)


def test_time_and_ratio_formats():
    assert [run.format_time(t) for t in (3e-8, 2.5e-5, 0.0123, 12.345, math.nan)] == [
        "30 ns", "25.0 µs", "12.30 ms", "12.35 s", "–"]
    assert [run.format_ratio(r) for r in (0.634, 7.75, 21.7, 402.2, math.nan)] == ["0.63×", "7.75×", "21.7×", "402×", "–"]


def test_floor_loop_matches_pearson_corr_to_the_bit():
    from quorlix import stats

    floor, note = run.load_floor()
    if floor is None:
        pytest.skip(note)
    data = run.make_data("continuous", 100_000)
    assert floor(data)() == stats.pearson_corr(data["x"], data["y"])[0]


def test_memory_is_measured_in_a_fresh_interpreter():
    result = run.measure_memory("kl_h", "quorlix", 200_000)
    assert result["input_bytes"] == 3 * 8 * 200_000
    # Sorting needs at least a copy of the values; far more would mean the inputs were counted too.
    assert 8 * 200_000 <= result["above_bytes"] < 200 * 200_000
