#!/usr/bin/env python3
"""Times quorlix against the libraries people would otherwise use for the same quantities.

Every comparison runs in this one process on the same generated arrays. The repetitions of quorlix and of
its peers are interleaved (the order rotates from one round to the next), each reported time is the median
over the repetitions, and a ratio is peer time / quorlix time, so a ratio above 1 means quorlix is faster.
Peak memory per call is measured in a fresh interpreter for each function.

    python benchmarks/run.py --quick     # small sizes, 3 repetitions, slow peers skipped at large n
    python benchmarks/run.py --full      # every size of the report; about a quarter of an hour

Results go to benchmarks/results/: latest.md (tables and the targets, each marked met or missed),
latest.json (the raw medians) and time_vs_n.png (log-log time against n).
"""
from __future__ import annotations

import argparse
import ctypes
import datetime
import gc
import importlib.metadata
import json
import math
import os
import platform
import resource
import shlex
import statistics
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable

import numpy as np

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
FLOOR_SOURCE = HERE / "floor" / "pearson_floor.cpp"
FLOOR_LIBRARY = REPO / "build" / "bench-floor" / "libpearson_floor.so"
K = 3
SEED = 20240611

STATS_FUNCTIONS = ("pearson_corr", "spearman_corr", "phi_coef")
ESTIMATORS = ("ksg_mi", "ksg_cmi", "kl_h", "ksg_ii")
VARIANTS = ("continuous", "sorted", "tied")


@dataclass(frozen=True)
class Mode:
    name: str
    stats_sizes: tuple
    estimator_sizes: tuple
    variant_sizes: tuple
    memory_size: int
    repetitions: int
    # A peer whose call is predicted to take longer than this is not run at that size.
    skip_after_seconds: float
    # Repetitions of one implementation stop once they have used this much time (at least one runs).
    budget_seconds: float
    # Fast calls are timed in batches that last about this long; a repetition is one batch.
    batch_seconds: float
    memory_of_peers: bool


QUICK = Mode("quick", (100, 1000, 10**4, 10**6), (100, 1000, 10**4, 10**5), (10**4, 10**5), 10**6,
             3, 2.5, 4.0, 0.02, False)
FULL = Mode("full", (100, 300, 1000, 3000, 10**4, 10**6, 10**7), (100, 300, 1000, 3000, 10**4, 10**5, 10**6),
            (10**4, 10**5, 10**6), 10**6, 9, 1e9, 40.0, 0.05, True)
# Sizes shown in the small-sample table, with time per point against that at n = 10⁵.
SMALL_SIZES = (100, 300, 1000, 3000)
# The screening workload: many features against one target, each a small sample.
SCREEN_FEATURES = 200
SCREEN_N = 500


# ------------------------------------------------------------------------------------------------------------
# Data


def make_data(kind: str, n: int, seed: int = SEED) -> dict:
    """Paired samples of length n. continuous: dependent normals; sorted: the same points ordered by x;
    tied: integer values with ten levels per coordinate, so nearly every point repeats many times."""
    rng = np.random.default_rng(seed + n)
    if kind == "tied":
        x = rng.integers(0, 10, n).astype(np.float64)
        z = rng.integers(0, 10, n).astype(np.float64)
        y = ((x + z // 3 + rng.integers(0, 2, n)) % 10).astype(np.float64)
    else:
        x = rng.standard_normal(n)
        z = rng.standard_normal(n)
        y = x + 0.5 * z + 0.5 * rng.standard_normal(n)
        if kind == "sorted":
            order = np.argsort(x, kind="stable")
            x, y, z = x[order], y[order], z[order]
    data = {"x": np.ascontiguousarray(x), "y": np.ascontiguousarray(y), "z": np.ascontiguousarray(z)}
    data["xb"] = data["x"] > 0.0
    data["yb"] = data["y"] > 0.3
    return data


def scalar(value) -> float:
    """The one number a peer's result stands for."""
    return float(np.asarray(value, dtype=np.float64).ravel()[0])


# ------------------------------------------------------------------------------------------------------------
# Implementations. Each factory takes the data and returns a call without arguments that returns the
# compared number (the statistic, or for phi the p-value, which is what the chi-squared test reports).


def quorlix_calls() -> dict:
    import quorlix
    from quorlix import info, stats

    return {
        "pearson_corr": lambda d: lambda: stats.pearson_corr(d["x"], d["y"])[0],
        "spearman_corr": lambda d: lambda: stats.spearman_corr(d["x"], d["y"])[0],
        "phi_coef": lambda d: lambda: stats.phi_coef(d["xb"], d["yb"])[1],
        "ksg_mi": lambda d: lambda: info.ksg_mi(d["x"], d["y"], K, False),
        "ksg_cmi": lambda d: lambda: info.ksg_cmi(d["x"], d["y"], d["z"], K, False),
        "kl_h": lambda d: lambda: info.kl_h(d["x"], K),
        "ksg_ii": lambda d: lambda: info.ksg_ii(d["x"], d["y"], d["z"], K, False),
        "_module": quorlix,
    }


def phi_by_chi_squared(xb: np.ndarray, yb: np.ndarray) -> float:
    import scipy.stats

    n = xb.size
    n11 = np.count_nonzero(xb & yb)
    n10 = np.count_nonzero(xb) - n11
    n01 = np.count_nonzero(yb) - n11
    table = np.array([[n11, n10], [n01, n - n11 - n10 - n01]])
    return scipy.stats.chi2_contingency(table, correction=False)[1]


def four_cells(xb: np.ndarray, yb: np.ndarray) -> float:
    """The contingency table's four counts with NumPy alone, the least a phi coefficient must do."""
    return float(np.count_nonzero(xb & yb) + np.count_nonzero(xb & ~yb) + np.count_nonzero(~xb & yb)
                 + np.count_nonzero(~xb & ~yb))


def screening_calls() -> tuple[dict, dict]:
    """A feature screen: SCREEN_FEATURES columns of SCREEN_N rows, each against one target. Returns
    label -> call and label -> reason unavailable."""
    rng = np.random.default_rng(SEED + 7)
    target = rng.normal(size=SCREEN_N)
    features = rng.normal(size=(SCREEN_N, SCREEN_FEATURES))
    features[:, :20] += 0.5 * target[:, None]
    columns = [np.ascontiguousarray(features[:, j]) for j in range(SCREEN_FEATURES)]
    from quorlix import info

    calls = {"quorlix": lambda: [info.ksg_mi(c, target, K, False) for c in columns]}
    missing = {}
    try:
        from sklearn.feature_selection import mutual_info_regression

        calls["scikit-learn mutual_info_regression"] = lambda: mutual_info_regression(
            features, target, n_neighbors=K, random_state=0)
    except ImportError as e:
        missing["scikit-learn"] = f"not installed ({e})"
    try:
        import ennemi

        calls["ennemi.estimate_mi, one call per feature"] = lambda: [
            scalar(ennemi.estimate_mi(target, c, k=K)) for c in columns]
    except ImportError as e:
        missing["ennemi"] = f"not installed ({e})"
    return calls, missing


def peer_calls() -> dict:
    """Peers per function: label -> factory, or label -> the reason it is unavailable."""
    peers: dict = {name: {} for name in STATS_FUNCTIONS + ESTIMATORS}
    try:
        import scipy.stats

        peers["pearson_corr"]["scipy.stats.pearsonr"] = lambda d: lambda: scipy.stats.pearsonr(d["x"], d["y"])[0]
        peers["spearman_corr"]["scipy.stats.spearmanr"] = (
            lambda d: lambda: scipy.stats.spearmanr(d["x"], d["y"])[0])
        peers["phi_coef"]["scipy chi2_contingency"] = lambda d: lambda: phi_by_chi_squared(d["xb"], d["yb"])
        peers["phi_coef"]["NumPy four-cell count"] = lambda d: lambda: four_cells(d["xb"], d["yb"])
    except ImportError as e:
        for name in STATS_FUNCTIONS:
            peers[name]["scipy"] = f"not installed ({e})"
    try:
        from sklearn.feature_selection._mutual_info import _compute_mi_cc

        peers["ksg_mi"]["scikit-learn _compute_mi_cc"] = lambda d: lambda: _compute_mi_cc(d["x"], d["y"], K)
    except ImportError as e:
        peers["ksg_mi"]["scikit-learn"] = f"not installed ({e})"
    try:
        import ennemi

        peers["ksg_mi"]["ennemi.estimate_mi"] = lambda d: lambda: scalar(ennemi.estimate_mi(d["y"], d["x"], k=K))
        peers["ksg_cmi"]["ennemi.estimate_mi(cond=z)"] = (
            lambda d: lambda: scalar(ennemi.estimate_mi(d["y"], d["x"], k=K, cond=d["z"])))
        peers["kl_h"]["ennemi.estimate_entropy"] = lambda d: lambda: scalar(ennemi.estimate_entropy(d["x"], k=K))
    except ImportError as e:
        for name in ("ksg_mi", "ksg_cmi", "kl_h"):
            peers[name]["ennemi"] = f"not installed ({e})"
    return peers


def load_floor() -> tuple[Callable | None, str]:
    """Compiles the plain C++ Pearson loop (unless up to date) and returns a caller and a note."""
    try:
        if not FLOOR_LIBRARY.exists() or FLOOR_LIBRARY.stat().st_mtime < FLOOR_SOURCE.stat().st_mtime:
            FLOOR_LIBRARY.parent.mkdir(parents=True, exist_ok=True)
            command = ["g++", "-O2", "-ffp-contract=off", "-fno-fast-math", "-shared", "-fPIC",
                       "-o", str(FLOOR_LIBRARY), str(FLOOR_SOURCE)]
            subprocess.run(command, check=True, capture_output=True, text=True)
        library = ctypes.CDLL(str(FLOOR_LIBRARY))
    except (OSError, subprocess.CalledProcessError) as e:
        detail = getattr(e, "stderr", "") or str(e)
        return None, f"floor loop unavailable: {detail.strip()}"
    function = library.pearson_floor
    function.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t]
    function.restype = ctypes.c_double

    def factory(d):
        # The addresses are taken once, as reading ndarray.ctypes costs microseconds per call; the default
        # argument keeps the arrays alive as long as the call.
        x, y, n = d["x"].ctypes.data, d["y"].ctypes.data, d["x"].size
        return lambda d=d: function(x, y, n)

    return factory, "g++ -O2 -ffp-contract=off"


# ------------------------------------------------------------------------------------------------------------
# Timing


@dataclass
class Timing:
    times: list = field(default_factory=list)  # seconds per call, one entry per repetition
    value: float = math.nan
    skipped: str = ""

    @property
    def median(self) -> float:
        return statistics.median(self.times) if self.times else math.nan


def run_batch(call: Callable, number: int) -> float:
    start = time.perf_counter()
    for _ in range(number):
        call()
    return (time.perf_counter() - start) / number


def measure(calls: dict, mode: Mode, predicted: dict) -> dict:
    """Times every call with interleaved repetitions. predicted maps a label to its expected seconds per
    call (from the previous size), so that peers expected to exceed the mode's limit are skipped."""
    results = {label: Timing() for label in calls}
    planned = {}
    batch = {}
    for label, call in calls.items():
        guess = predicted.get(label, 0.0)
        if label != "quorlix" and guess > mode.skip_after_seconds:
            results[label].skipped = f"skipped (expected ~{format_time(guess)} per call)"
            continue
        # The first call is a warm-up when it is quick; a slow one already counts as a repetition.
        start = time.perf_counter()
        results[label].value = scalar(call())
        first = time.perf_counter() - start
        if first >= 0.25:
            results[label].times.append(first)
            batch[label] = 1
        else:
            batch[label] = max(1, min(200_000, int(mode.batch_seconds / max(first, 1e-7))))
        planned[label] = max(1, min(mode.repetitions, int(mode.budget_seconds / max(first * batch[label], 1e-9))))
    labels = list(planned)
    for round_index in range(max(planned.values(), default=0)):
        shift = round_index % max(1, len(labels))
        for label in labels[shift:] + labels[:shift]:
            if len(results[label].times) < planned[label]:
                results[label].times.append(run_batch(calls[label], batch[label]))
    return results


def predict(previous: dict, n_previous: int | None, n: int) -> dict:
    if n_previous is None:
        return {}
    growth = (n / n_previous) ** 1.15
    return {label: t.median * growth for label, t in previous.items() if t.times}


def format_time(seconds: float) -> str:
    if seconds != seconds:
        return "–"
    if seconds < 1e-6:
        return f"{seconds * 1e9:.0f} ns"
    if seconds < 1e-3:
        return f"{seconds * 1e6:.1f} µs"
    if seconds < 1.0:
        return f"{seconds * 1e3:.2f} ms"
    return f"{seconds:.2f} s"


def format_ratio(ratio: float) -> str:
    if ratio != ratio:
        return "–"
    return f"{ratio:.0f}×" if ratio >= 100 else f"{ratio:.2f}×" if ratio < 10 else f"{ratio:.1f}×"


def log(message: str) -> None:
    print(message, flush=True)


# ------------------------------------------------------------------------------------------------------------
# Peak memory, each measurement in its own interpreter


def current_rss() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def peak_rss() -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def reset_peak_rss() -> bool:
    """Makes the kernel's peak-RSS mark start again from the current RSS (Linux 4.0 and later)."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def memory_child(function: str, label: str, n: int) -> None:
    data = make_data("continuous", n)
    warm = make_data("continuous", 200)
    if label == "quorlix":
        factory = quorlix_calls()[function]
    else:
        factory = peer_calls()[function][label]
    factory(warm)()  # starts the worker pool and loads lazily imported modules before measuring
    call = factory(data)
    gc.collect()
    exact = reset_peak_rss()
    before = current_rss()
    call()
    peak = peak_rss()
    print(json.dumps({"above_bytes": max(0, peak - before), "exact_peak": exact,
                      "input_bytes": sum(v.nbytes for k, v in data.items() if k in "xyz")}))


def measure_memory(function: str, label: str, n: int) -> dict:
    command = [sys.executable, str(Path(__file__).resolve()), "--memory-child", function, label, str(n)]
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode != 0:
        return {"error": (done.stderr.strip().splitlines() or ["failed"])[-1]}
    return json.loads(done.stdout.strip().splitlines()[-1])


# ------------------------------------------------------------------------------------------------------------
# The run


def run(mode: Mode, only: set, with_memory: bool, with_variants: bool) -> dict:
    ours = quorlix_calls()
    peers = peer_calls()
    floor, floor_note = load_floor()
    report = {"mode": mode.name, "timings": {}, "variants": {}, "memory": {}, "notes": [floor_note],
              "unavailable": {}, "screening": {}}

    for function in STATS_FUNCTIONS + ESTIMATORS:
        if only and function not in only:
            continue
        sizes = mode.stats_sizes if function in STATS_FUNCTIONS else mode.estimator_sizes
        available = {label: f for label, f in peers[function].items() if callable(f)}
        report["unavailable"][function] = {label: f for label, f in peers[function].items() if not callable(f)}
        previous, n_previous = {}, None
        report["timings"][function] = {}
        for n in sizes:
            data = make_data("continuous", n)
            calls = {"quorlix": ours[function](data)}
            calls.update({label: factory(data) for label, factory in available.items()})
            if function == "pearson_corr" and floor is not None:
                calls["C++ floor loop"] = floor(data)
            gc.collect()
            gc.disable()
            try:
                timings = measure(calls, mode, predict(previous, n_previous, n))
            finally:
                gc.enable()
            report["timings"][function][n] = timings
            previous, n_previous = timings, n
            line = ", ".join(f"{label} {format_time(t.median) if t.times else t.skipped}"
                             for label, t in timings.items())
            log(f"{function:14s} n={n:<9d} {line}")
            del data, calls

    if not only or "screening" in only:
        calls, missing = screening_calls()
        gc.collect()
        gc.disable()
        try:
            report["screening"] = measure(calls, mode, {})
        finally:
            gc.enable()
        report["unavailable"]["screening"] = missing
        log("screening      " + ", ".join(f"{label} {format_time(t.median)}"
                                          for label, t in report["screening"].items()))

    if with_variants:
        for function in ESTIMATORS:
            if only and function not in only:
                continue
            report["variants"][function] = {}
            for n in mode.variant_sizes:
                calls = {kind: ours[function](make_data(kind, n)) for kind in VARIANTS}
                gc.collect()
                gc.disable()
                try:
                    timings = measure(calls, mode, {})
                finally:
                    gc.enable()
                report["variants"][function][n] = timings
                log(f"{function:14s} n={n:<9d} " + ", ".join(f"{kind} {format_time(t.median)}"
                                                            for kind, t in timings.items()))

    if with_memory:
        for function in ESTIMATORS:
            if only and function not in only:
                continue
            labels = ["quorlix"]
            if mode.memory_of_peers:
                labels += [label for label, f in peers[function].items() if callable(f)]
            report["memory"][function] = {}
            for label in labels:
                result = measure_memory(function, label, mode.memory_size)
                report["memory"][function][label] = result
                shown = result.get("error") or f"{result['above_bytes'] / mode.memory_size:.0f} B/point"
                log(f"memory {function:14s} {label:28s} {shown}")
    return report


# ------------------------------------------------------------------------------------------------------------
# Report


def median_of(report: dict, function: str, n: int, label: str) -> float:
    timing = report["timings"].get(function, {}).get(n, {}).get(label)
    return timing.median if timing is not None else math.nan


def per_point_ratio(report: dict, function: str, n: int) -> float:
    """quorlix's time per point at n over its time per point at n = 10⁵."""
    return (median_of(report, function, n, "quorlix") / n) / (median_of(report, function, 10**5, "quorlix") / 10**5)


def targets(report: dict, mode: Mode) -> list:
    """(target, measured, met) rows; met is None where the run did not measure the quantity."""
    rows = []

    def speedup(function, n, peer, at_least, text):
        ratio = median_of(report, function, n, peer) / median_of(report, function, n, "quorlix")
        met = None if ratio != ratio else ratio >= at_least
        rows.append((text, format_ratio(ratio), met))

    speedup("ksg_mi", 10**6, "scikit-learn _compute_mi_cc", 30, "`ksg_mi` at n = 10⁶ ≥ 30× faster than scikit-learn")
    speedup("ksg_cmi", 10**5, "ennemi.estimate_mi(cond=z)", 30, "`ksg_cmi` at n = 10⁵ ≥ 30× faster than ennemi")
    speedup("kl_h", 10**6, "ennemi.estimate_entropy", 30, "`kl_h` at n = 10⁶ ≥ 30× faster than ennemi")
    floor_ratio = median_of(report, "pearson_corr", 10**7, "quorlix") / median_of(
        report, "pearson_corr", 10**7, "C++ floor loop")
    rows.append(("`pearson_corr` at n = 10⁷ within 1.2× of the C++ floor loop", format_ratio(floor_ratio),
                 None if floor_ratio != floor_ratio else floor_ratio <= 1.2))
    speedup("pearson_corr", 100, "scipy.stats.pearsonr", 100, "`pearson_corr` at n = 100 ≥ 100× faster than scipy")
    speedup("spearman_corr", 10**6, "scipy.stats.spearmanr", 10,
            "`spearman_corr` at n = 10⁶ ≥ 10× faster than scipy")
    for function in ESTIMATORS:
        growth = median_of(report, function, 10**6, "quorlix") / median_of(report, function, 10**5, "quorlix")
        rows.append((f"`{function}`: time(10⁶) / time(10⁵) ≤ 13", f"{growth:.1f}" if growth == growth else "–",
                     None if growth != growth else growth <= 13))
    for function in ESTIMATORS:
        by_n = report["variants"].get(function, {})
        if not by_n:
            rows.append((f"`{function}`: sorted and tied input within 2× of continuous", "–", None))
            continue
        n = max(by_n)
        base = by_n[n]["continuous"].median
        worst = max(by_n[n][kind].median / base for kind in ("sorted", "tied"))
        parts = ", ".join(f"{kind} {by_n[n][kind].median / base:.2f}×" for kind in ("sorted", "tied"))
        rows.append((f"`{function}`: sorted and tied input within 2× of continuous (n = {n:,})", parts,
                     worst <= 2.0))
    speedup("ksg_mi", 100, "scikit-learn _compute_mi_cc", 30, "`ksg_mi` at n = 100 ≥ 30× faster than scikit-learn")
    speedup("ksg_mi", 1000, "scikit-learn _compute_mi_cc", 15,
            "`ksg_mi` at n = 1,000 ≥ 15× faster than scikit-learn")
    speedup("ksg_cmi", 100, "ennemi.estimate_mi(cond=z)", 10, "`ksg_cmi` at n = 100 ≥ 10× faster than ennemi")
    speedup("ksg_cmi", 1000, "ennemi.estimate_mi(cond=z)", 15, "`ksg_cmi` at n = 1,000 ≥ 15× faster than ennemi")
    speedup("kl_h", 1000, "ennemi.estimate_entropy", 20, "`kl_h` at n = 1,000 ≥ 20× faster than ennemi")
    screen = report.get("screening", {})
    peer = screen.get("scikit-learn mutual_info_regression")
    ratio = peer.median / screen["quorlix"].median if peer is not None and peer.times else math.nan
    rows.append((f"screening {SCREEN_FEATURES} features × n = {SCREEN_N} ≥ 15× faster than "
                 "`mutual_info_regression`", format_ratio(ratio), None if ratio != ratio else ratio >= 15))
    for function in ESTIMATORS:
        for n in (100, 1000):
            worst = per_point_ratio(report, function, n)
            rows.append((f"`{function}`: time per point at n = {n:,} ≤ 1.5× that at n = 10⁵",
                         f"{worst:.2f}×" if worst == worst else "–", None if worst != worst else worst <= 1.5))
    for n in (10**6, 10**7):
        speedup("phi_coef", n, "NumPy four-cell count", 2,
                f"`phi_coef` at n = {n:,} ≥ 2× faster than NumPy's four-cell count")
    memory = report["memory"].get("ksg_ii", {}).get("quorlix")
    if memory and "above_bytes" in memory:
        per_point = memory["above_bytes"] / mode.memory_size
        rows.append((f"`ksg_ii` peak memory at n = {mode.memory_size:,} ≤ 300 bytes per point above the inputs",
                     f"{per_point:.0f} B/point", per_point <= 300))
    else:
        rows.append(("`ksg_ii` peak memory ≤ 300 bytes per point above the inputs", "–", None))
    return rows


def machine_description() -> list:
    lines = []
    model = platform.processor() or "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    memory = ""
    try:
        with open("/proc/meminfo") as f:
            memory = f"{int(f.readline().split()[1]) / 2**20:.1f} GiB RAM"
    except OSError:
        pass
    lines.append(f"- CPU: {model}, {cores} cores available ({os.cpu_count()} logical CPUs), {memory}")
    lines.append(f"- OS: {platform.system()} {platform.release()} ({platform.machine()})")
    versions = [f"Python {platform.python_version()}"]
    for distribution in ("numpy", "scipy", "scikit-learn", "ennemi", "matplotlib"):
        try:
            versions.append(f"{distribution} {importlib.metadata.version(distribution)}")
        except importlib.metadata.PackageNotFoundError:
            versions.append(f"{distribution} not installed")
    lines.append("- Software: " + ", ".join(versions))
    try:
        compiler = subprocess.run(["g++", "--version"], capture_output=True, text=True).stdout.splitlines()[0]
        lines.append(f"- Floor loop compiler: {compiler}")
    except (OSError, IndexError):
        pass
    return lines


def write_markdown(report: dict, mode: Mode, path: Path, plot_name: str | None, elapsed: float) -> None:
    import quorlix

    out = ["# quorlix benchmark results", ""]
    out.append(f"Run: `{shlex.join(['python', 'benchmarks/run.py'] + sys.argv[1:])}` ({mode.name} mode), "
               f"{datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M} UTC, {elapsed / 60:.1f} min.")
    out.append("")
    out += machine_description()
    out.append(f"- quorlix: {getattr(quorlix, '__file__', '?')}")
    out.append("")
    out.append("Times are medians over interleaved repetitions (fast calls are timed in batches, a batch being one "
               "repetition); a ratio is the peer's time divided by quorlix's, so above 1× quorlix is faster. "
               f"Estimators run with k = {K} and normalize = False. Values are what each call returned "
               "(for phi, the p-value of the chi-squared test).")
    out.append("")

    out += ["## Targets", "", "| target | measured | status |", "|---|---|---|"]
    for text, measured, met in targets(report, mode):
        status = "not measured" if met is None else "met" if met else "**missed**"
        out.append(f"| {text} | {measured} | {status} |")
    out.append("")

    out += ["## Time per call", ""]
    for function, by_n in report["timings"].items():
        labels = [label for label in next(iter(by_n.values()))]
        peers = [label for label in labels if label != "quorlix"]
        header = "| n | quorlix |" + "".join(f" {p} | ratio |" for p in peers) + " values |"
        out += [f"### {function}", "", header, "|---:|---:|" + "---:|---:|" * len(peers) + "---|"]
        for n, timings in by_n.items():
            ours = timings["quorlix"].median
            row = f"| {n:,} | {format_time(ours)} |"
            for p in peers:
                t = timings[p]
                if t.times:
                    row += f" {format_time(t.median)} | {format_ratio(t.median / ours)} |"
                else:
                    row += f" {t.skipped} | – |"
            values = ", ".join(f"{label}: {t.value:.10g}" for label, t in timings.items() if t.value == t.value)
            out.append(row + f" {values} |")
        for label, reason in report["unavailable"].get(function, {}).items():
            out.append(f"\n{label}: {reason}")
        if function == "pearson_corr" and "C++ floor loop" in labels:
            out.append("\nFor the C++ floor loop the ratio is its time over quorlix's: at 1× quorlix is as fast as "
                       "the two plain passes; below 1× it is slower.")
        out.append("")

    small = [f for f in ESTIMATORS if 10**5 in report["timings"].get(f, {})]
    if small:
        out += ["## Small samples", "",
                "quorlix's time per point (the call's time over n), and that over its time per point at n = 10⁵: "
                "a small sample should cost no more per point than a large one.", "",
                "| function | " + " | ".join(f"n = {n:,}" for n in SMALL_SIZES) + " | n = 100,000 |",
                "|---|" + "---:|" * (len(SMALL_SIZES) + 1)]
        for function in small:
            cells = []
            for n in SMALL_SIZES + (10**5,):
                t = median_of(report, function, n, "quorlix")
                cells.append("–" if t != t else f"{format_time(t / n)} ({per_point_ratio(report, function, n):.2f}×)")
            out.append(f"| {function} | " + " | ".join(cells) + " |")
        out.append("")

    if report.get("screening"):
        screen = report["screening"]
        ours = screen["quorlix"].median
        out += ["## Feature screening", "",
                f"Mutual information of each of {SCREEN_FEATURES} features with one target, n = {SCREEN_N} rows, "
                f"k = {K}: a loop of `ksg_mi` calls against scikit-learn's `mutual_info_regression` (which also "
                "adds its noise and scales the columns) and a loop of ennemi calls.", "",
                "| implementation | time | per feature | ratio |", "|---|---:|---:|---:|"]
        for label, t in screen.items():
            if t.times:
                out.append(f"| {label} | {format_time(t.median)} | {format_time(t.median / SCREEN_FEATURES)} | "
                           f"{format_ratio(t.median / ours)} |")
        for label, reason in report["unavailable"].get("screening", {}).items():
            out.append(f"\n{label}: {reason}")
        out.append("")

    if report["variants"]:
        out += ["## Input shape", "",
                "quorlix alone on continuous normal data, the same points sorted by x, and integer values with "
                "ten levels per coordinate (heavy ties); the ratio is the shape's time over continuous.", "",
                "| function | n | continuous | sorted | ratio | tied | ratio |", "|---|---:|---:|---:|---:|---:|---:|"]
        for function, by_n in report["variants"].items():
            for n, t in by_n.items():
                base = t["continuous"].median
                out.append(f"| {function} | {n:,} | {format_time(base)} | {format_time(t['sorted'].median)} | "
                           f"{t['sorted'].median / base:.2f}× | {format_time(t['tied'].median)} | "
                           f"{t['tied'].median / base:.2f}× |")
        out.append("")

    if report["memory"]:
        n = mode.memory_size
        out += ["## Peak memory per call", "",
                f"Peak resident set size during one call at n = {n:,} above the resident size just before it, "
                "each measured in a fresh interpreter with the inputs already built "
                f"({3 * 8 * n / 2**20:.0f} MiB for x, y and z).", "",
                "| function | implementation | peak above inputs | per point |", "|---|---|---:|---:|"]
        for function, by_label in report["memory"].items():
            for label, m in by_label.items():
                if "error" in m:
                    out.append(f"| {function} | {label} | failed: {m['error']} | – |")
                else:
                    note = "" if m.get("exact_peak", True) else " (lifetime peak)"
                    out.append(f"| {function} | {label} | {m['above_bytes'] / 2**20:.1f} MiB{note} | "
                               f"{m['above_bytes'] / n:.0f} B |")
        out.append("")

    if plot_name:
        out += ["## Time against n", "", f"![time against n]({plot_name})", ""]
    if report["notes"]:
        out += ["## Notes", ""] + [f"- C++ floor loop: {note}" for note in report["notes"]] + [""]
    path.write_text("\n".join(out))


def write_plot(report: dict, path: Path) -> bool:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return False
    functions = list(report["timings"])
    if not functions:
        return False
    columns = min(4, len(functions))
    rows = math.ceil(len(functions) / columns)
    figure, axes = plt.subplots(rows, columns, figsize=(4.2 * columns, 3.6 * rows), squeeze=False)
    for axis, function in zip(axes.flat, functions):
        by_n = report["timings"][function]
        labels = list(next(iter(by_n.values())))
        for label in labels:
            points = [(n, t[label].median) for n, t in by_n.items() if t[label].times]
            if points:
                ns, times = zip(*points)
                axis.plot(ns, times, marker="o", linewidth=2.2 if label == "quorlix" else 1.3, label=label)
        axis.set_xscale("log")
        axis.set_yscale("log")
        axis.set_title(function)
        axis.set_xlabel("n")
        axis.set_ylabel("seconds per call")
        axis.grid(True, which="both", alpha=0.3)
        axis.legend(fontsize=7)
    for axis in list(axes.flat)[len(functions):]:
        axis.set_visible(False)
    figure.tight_layout()
    figure.savefig(path, dpi=110)
    plt.close(figure)
    return True


def to_json(report: dict) -> dict:
    def timing(t: Timing) -> dict:
        return {"median_seconds": t.median if t.times else None, "repetitions": t.times,
                "value": t.value if t.value == t.value else None, "skipped": t.skipped or None}

    return {
        "mode": report["mode"],
        "timings": {f: {str(n): {label: timing(t) for label, t in by.items()} for n, by in by_n.items()}
                    for f, by_n in report["timings"].items()},
        "variants": {f: {str(n): {kind: timing(t) for kind, t in by.items()} for n, by in by_n.items()}
                     for f, by_n in report["variants"].items()},
        "memory": report["memory"],
        "screening": {label: timing(t) for label, t in report.get("screening", {}).items()},
    }


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    which = parser.add_mutually_exclusive_group()
    which.add_argument("--quick", action="store_true", help="small sizes, 3 repetitions (the default)")
    which.add_argument("--full", action="store_true", help="every size of the report, slow peers included")
    parser.add_argument("--only", default="", help="comma-separated function names (or screening) to run")
    parser.add_argument("--no-memory", action="store_true", help="skip the peak-memory measurements")
    parser.add_argument("--no-variants", action="store_true", help="skip sorted and tied inputs")
    parser.add_argument("--results", type=Path, default=HERE / "results", help="output directory")
    parser.add_argument("--memory-child", nargs=3, metavar=("FUNCTION", "IMPLEMENTATION", "N"),
                        help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.memory_child:
        function, label, n = args.memory_child
        memory_child(function, label, int(n))
        return 0

    mode = FULL if args.full else QUICK
    only = {name.strip() for name in args.only.split(",") if name.strip()}
    unknown = only - set(STATS_FUNCTIONS + ESTIMATORS + ("screening",))
    if unknown:
        parser.error(f"unknown function(s): {', '.join(sorted(unknown))}")
    started = time.perf_counter()
    report = run(mode, only, not args.no_memory, not args.no_variants)
    elapsed = time.perf_counter() - started

    args.results.mkdir(parents=True, exist_ok=True)
    plot_name = "time_vs_n.png"
    plotted = write_plot(report, args.results / plot_name)
    write_markdown(report, mode, args.results / "latest.md", plot_name if plotted else None, elapsed)
    (args.results / "latest.json").write_text(json.dumps(to_json(report), indent=1))
    log(f"wrote {args.results / 'latest.md'} in {elapsed / 60:.1f} min")
    for text, measured, met in targets(report, mode):
        log(f"  {'----' if met is None else 'met ' if met else 'MISS'}  {text}: {measured}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
