"""Screening the columns of a table for mutual information with a target, with a permutation threshold.

    python3 examples/screen_features.py                           # scikit-learn's diabetes data, if installed
    python3 examples/screen_features.py --generated               # a generated table
    python3 examples/screen_features.py --csv data.csv --target price --shuffles 500
    python3 examples/screen_features.py --no-jitter               # ties left as they are (see README)

Every column and the target are standardised, then (unless --no-jitter) given a tiny independent uniform
jitter from a fixed seed, which breaks ties without moving any value by a visible amount: tied values would
otherwise bias the estimates, up or down. Each feature's estimate `ksg_mi(feature, target, k, False)` is
compared with the same estimate for many random shuffles of the target, which destroy any dependence: a
feature is reported as informative when its estimate exceeds a high quantile of its shuffled ones. Many
shuffled estimates are exactly 0.0 (negative estimates are clamped), so the threshold is a quantile of the
estimates, never a count of zeros.

This is the workload that fast small-sample calls are for: a few hundred rows, thousands of calls. When
scikit-learn is installed, its `mutual_info_regression` ranking of the same table is printed beside quorlix's.
"""

from __future__ import annotations

import argparse
import importlib
import math
import sys
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt
from quorlix import info

Array = npt.NDArray[np.float64]


@dataclass(frozen=True)
class Data:
    """A table of features (rows are samples) and the target they are screened against."""

    title: str
    names: list[str]
    table: Array
    target_name: str
    target: Array


@dataclass(frozen=True)
class Score:
    """One feature's estimate and the threshold its shuffled estimates set, in nats."""

    name: str
    mi: float
    threshold: float

    @property
    def informative(self) -> bool:
        return self.mi > self.threshold


def sklearn_module(name: str) -> Any | None:
    """A scikit-learn module, or None when scikit-learn is not installed."""
    try:
        return importlib.import_module(name)
    except ImportError:
        return None


def diabetes_data() -> Data | None:
    """scikit-learn's diabetes data (442 patients, 10 features, a disease-progression score), if available."""
    datasets = sklearn_module("sklearn.datasets")
    if datasets is None:
        return None
    bunch = datasets.load_diabetes()
    return Data(
        "scikit-learn's diabetes data",
        [str(name) for name in bunch.feature_names],
        np.asarray(bunch.data, dtype=np.float64),
        "progression",
        np.asarray(bunch.target, dtype=np.float64),
    )


def generated_data(rows: int = 500, seed: int = 7) -> Data:
    """Seven features with known relations to a target that, like many real targets, is whole-numbered."""
    rng = np.random.default_rng(seed)
    a = rng.normal(size=rows)
    b = rng.uniform(-2.0, 2.0, size=rows)
    group = rng.integers(0, 2, size=rows).astype(np.float64)
    target = np.round(10.0 * (a + 0.5 * b * b + group) + 5.0 * rng.normal(size=rows)).astype(np.float64)
    columns = {
        "a": a,
        "a_noisy": a + rng.normal(size=rows),
        "b": b,
        "group_0_1": group,
        "noise": rng.normal(size=rows),
        "noise_5_levels": rng.integers(0, 5, size=rows).astype(np.float64),
        "noise_2_levels": rng.integers(0, 2, size=rows).astype(np.float64),
    }
    return Data("a generated table", list(columns), np.column_stack(list(columns.values())), "target", target)


def read_csv(path: str, target: str | None) -> Data:
    """A comma-separated table with a header line; the target is the named column, or the last one."""
    with open(path, encoding="utf-8") as f:
        header = [cell.strip() for cell in f.readline().strip().split(",")]
    table = np.loadtxt(path, delimiter=",", skiprows=1, dtype=np.float64, ndmin=2)
    if table.shape[1] != len(header):
        raise ValueError(f"{path}: the header names {len(header)} columns but the rows hold {table.shape[1]}")
    if table.shape[1] < 2:
        raise ValueError(f"{path}: a target and at least one feature are needed")
    name = header[-1] if target is None else target
    if name not in header:
        raise ValueError(f"{path}: no column named {name!r} (the columns are {', '.join(header)})")
    column = header.index(name)
    names = [n for i, n in enumerate(header) if i != column]
    return Data(path, names, np.delete(table, column, axis=1), name, table[:, column].copy())


def standardised(values: Array) -> Array:
    spread = float(values.std())
    if not spread > 0.0:
        raise ValueError("a constant column carries no information; remove it first")
    result: Array = (values - values.mean()) / spread
    return result


def jittered(values: Array, rng: np.random.Generator, amplitude: float) -> Array:
    """values plus independent uniform noise of at most `amplitude` standard deviations."""
    result: Array = values + rng.uniform(-amplitude, amplitude, len(values)) * values.std()
    return result


def prepare(data: Data, amplitude: float, seed: int) -> tuple[Array, Array]:
    """The standardised (and, for amplitude > 0, jittered) features as contiguous columns, and the target."""
    if np.isnan(data.table).any() or np.isnan(data.target).any():
        raise ValueError("the table holds NaN values; remove or impute them first")
    rng = np.random.default_rng(seed)
    columns = [standardised(column) for column in data.table.T]
    target = standardised(data.target)
    if amplitude > 0.0:
        columns = [jittered(column, rng, amplitude) for column in columns]
        target = jittered(target, rng, amplitude)
    return np.asfortranarray(np.column_stack(columns)), target


def screen(
    table: Array, target: Array, names: Sequence[str], k: int, shuffles: int, quantile: float, seed: int
) -> list[Score]:
    """Every feature's ksg_mi with the target and its threshold, ranked from the most informative."""
    rng = np.random.default_rng(seed)
    # One set of shuffles serves every feature, so their thresholds are comparable.
    orders = [rng.permutation(len(target)) for _ in range(shuffles)]
    scores = []
    for index, name in enumerate(names):
        column = table[:, index]
        baseline = [info.ksg_mi(column, target[order], k, False) for order in orders]
        threshold = float(np.quantile(baseline, quantile)) if baseline else math.inf
        scores.append(Score(name, info.ksg_mi(column, target, k, False), threshold))
    return sorted(scores, key=lambda score: score.mi, reverse=True)


def sklearn_ranking(
    selection: Any, table: Array, target: Array, names: Sequence[str], k: int, seed: int
) -> list[Score]:
    """scikit-learn's mutual_info_regression on the same standardised columns (it adds its own noise)."""
    values = np.asarray(
        selection.mutual_info_regression(table, target, n_neighbors=k, random_state=seed), dtype=np.float64
    )
    scores = [Score(name, float(value), math.nan) for name, value in zip(names, values)]
    return sorted(scores, key=lambda score: score.mi, reverse=True)


def format_ranking(scores: Sequence[Score], peer: Sequence[Score] | None) -> str:
    """quorlix's ranking with thresholds, and scikit-learn's beside it when given."""
    width = max([len("feature")] + [len(score.name) for score in scores])
    peer_width = max(width, len("scikit-learn"))
    header = f"rank  {'feature':<{width}}  I (nats)  threshold  informative"
    if peer is not None:
        header += f"  |  {'scikit-learn':<{peer_width}}  I (nats)"
    lines = [header, "-" * len(header)]
    for rank, score in enumerate(scores):
        verdict = "yes" if score.informative else "no"
        line = f"{rank + 1:>4}  {score.name:<{width}}  {score.mi:>8.3f}  {score.threshold:>9.3f}"
        line += f"  {verdict:<11}"
        if peer is not None:
            line += f"  |  {peer[rank].name:<{peer_width}}  {peer[rank].mi:>8.3f}"
        lines.append(line)
    return "\n".join(lines)


def best_seconds(work: Callable[[], object], repeats: int = 5) -> float:
    """The shortest of a few timed runs: the least disturbed by whatever else the machine is doing."""
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        work()
        times.append(time.perf_counter() - start)
    return min(times)


def parse_args(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description="Rank a table's columns by mutual information with a target")
    source = parser.add_mutually_exclusive_group()
    source.add_argument("--csv", help="comma-separated table with a header line (default: the diabetes data)")
    source.add_argument("--generated", action="store_true", help="use a generated table")
    parser.add_argument("--target", help="the target column of --csv (default: the last column)")
    parser.add_argument("--k", type=int, default=3, help="neighbour count of the estimator (default 3)")
    parser.add_argument("--shuffles", type=int, default=200, help="shuffles of the target (default 200)")
    parser.add_argument("--quantile", type=float, default=0.95, help="threshold quantile (default 0.95)")
    parser.add_argument(
        "--jitter", type=float, default=1e-4, help="jitter in standard deviations (default 1e-4)"
    )
    parser.add_argument("--no-jitter", action="store_true", help="leave tied values as they are")
    parser.add_argument("--seed", type=int, default=2026, help="seed of jitter and shuffles (default 2026)")
    args = parser.parse_args(argv)
    if args.target is not None and args.csv is None:
        parser.error("--target needs --csv")
    if args.k < 1:
        parser.error("--k must be at least 1")
    if args.shuffles < 1:
        parser.error("--shuffles must be at least 1")
    if not 0.0 < args.quantile < 1.0:
        parser.error("--quantile must lie strictly between 0 and 1")
    if not args.jitter > 0.0:
        parser.error("--jitter must be positive (use --no-jitter to turn it off)")
    return args


def main(argv: Sequence[str] | None = None) -> int:
    args = parse_args(argv)
    amplitude = 0.0 if args.no_jitter else args.jitter
    try:
        if args.csv is not None:
            data = read_csv(args.csv, args.target)
        else:
            found = None if args.generated else diabetes_data()
            data = found if found is not None else generated_data()
        if not args.k < len(data.target):
            raise ValueError(f"--k must be below the number of rows ({len(data.target)})")
        table, target = prepare(data, amplitude, args.seed)
    except ValueError as error:
        print(f"error: {error}", file=sys.stderr)
        return 1

    rows, features = table.shape
    ties = "ties left as they are"
    if amplitude > 0.0:
        ties = f"jitter of at most {amplitude:g} sd (seed {args.seed})"
    print(f"Screening {features} features of {data.title} ({rows} rows) against {data.target_name!r}")
    threshold = f"the {args.quantile:g} quantile of {args.shuffles} shuffled targets"
    print(f"k = {args.k}, {ties}; threshold: {threshold}")
    print()

    columns = [table[:, index] for index in range(features)]
    quorlix_seconds = best_seconds(lambda: [info.ksg_mi(column, target, args.k, False) for column in columns])
    start = time.perf_counter()
    scores = screen(table, target, data.names, args.k, args.shuffles, args.quantile, args.seed)
    screen_seconds = time.perf_counter() - start
    peer, peer_seconds = None, 0.0
    selection = sklearn_module("sklearn.feature_selection")
    if selection is not None:
        peer = sklearn_ranking(selection, table, target, data.names, args.k, args.seed)
        peer_seconds = best_seconds(
            lambda: sklearn_ranking(selection, table, target, data.names, args.k, args.seed)
        )

    print(format_ranking(scores, peer))
    print(
        f"\nquorlix: {1000 * quorlix_seconds:.1f} ms for the {features} estimates (best of 5), "
        f"{screen_seconds:.2f} s for all {features * (args.shuffles + 1)} with the shuffles"
    )
    if peer is None:
        print("scikit-learn is not installed, so its ranking is not shown (pip install scikit-learn).")
    else:
        print(
            f"scikit-learn mutual_info_regression: {1000 * peer_seconds:.1f} ms for the {features} estimates "
            f"(best of 5), {peer_seconds / quorlix_seconds:.0f} times as long"
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())
