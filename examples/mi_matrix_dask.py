"""Pairwise mutual-information matrix of the columns of a table, computed on a Dask cluster.

    python3 examples/mi_matrix_dask.py                       # generated demo table, local worker processes
    python3 examples/mi_matrix_dask.py --csv data.csv --k 5  # your own table (a header line is optional)
    python3 examples/mi_matrix_dask.py --scheduler tcp://host:8786 --csv data.csv    # an existing cluster

Without --scheduler the script starts a `dask.distributed.LocalCluster` of worker processes on this machine;
with it, the same code runs on whatever cluster that scheduler manages (every worker needs numpy and quorlix).
Entry (i, j) is `quorlix.info.ksg_mi(table[:, i], table[:, j], k, normalize)`; the diagonal is NaN, since
the estimator is not meant for a variable paired with itself.

quorlix's functions cannot be pickled by reference (their `__module__` is the bare name "info", which is not
an importable module), so tasks never ship them: they call `column_pair_mi`, a plain function of this file,
which looks the estimator up on the worker.
"""

from __future__ import annotations

import argparse
import math
import sys
from collections.abc import Sequence

import numpy as np
import numpy.typing as npt
from dask.distributed import Client, LocalCluster

Table = npt.NDArray[np.float64]
Pair = tuple[int, int]


def column_pair_mi(table: Table, pairs: Sequence[Pair], k: int, normalize: bool) -> list[float]:
    """Runs on a worker: the KSG mutual information of each requested column pair."""
    from quorlix import info

    values = []
    for i, j in pairs:
        failure = None
        try:
            values.append(info.ksg_mi(table[:, i], table[:, j], k, normalize))
        except BaseException as error:
            # quorlix reports internal failures (such as a NaN in the data) with an exception type that
            # derives from BaseException and cannot be pickled; raised as it is, it would stall the cluster
            # instead of reaching the client. It is replaced by an ordinary exception, raised outside this
            # handler so that it does not carry the original along as its context.
            if type(error).__name__ != "PanicException":
                raise
            failure = f"ksg_mi failed on columns {i} and {j}: {error}"
        if failure is not None:
            raise RuntimeError(failure)
    return values


def batches(pairs: Sequence[Pair], size: int) -> list[list[Pair]]:
    """Splits the pairs into consecutive batches of at most `size`: each task gets a useful amount of work."""
    return [list(pairs[start : start + size]) for start in range(0, len(pairs), size)]


def mi_matrix(
    client: Client, table: Table, k: int = 3, normalize: bool = False, tasks_per_thread: int = 4
) -> Table:
    """The symmetric matrix of ksg_mi between every two columns of `table` (rows are samples); NaN diagonal.

    The table is sent to every worker once; the column pairs are spread over about `tasks_per_thread` tasks
    per worker thread. The result is bit-for-bit what sequential calls of quorlix.info.ksg_mi give.
    """
    if table.ndim != 2:
        raise ValueError(f"the table must be two-dimensional, not {table.ndim}-dimensional")
    if not 1 <= k < table.shape[0]:
        raise ValueError(f"k must satisfy 1 <= k < rows (got k={k}, rows={table.shape[0]})")
    nan_columns = np.flatnonzero(np.isnan(table).any(axis=0)).tolist()
    if nan_columns:
        raise ValueError(f"columns {nan_columns} hold NaN values; remove or impute them first")
    # Column-major storage makes every column a contiguous array on the workers.
    table = np.asfortranarray(table, dtype=np.float64)
    columns = table.shape[1]
    pairs = [(i, j) for i in range(columns) for j in range(i + 1, columns)]
    matrix = np.full((columns, columns), math.nan)
    if not pairs:
        return matrix

    threads = max(1, sum(client.nthreads().values()))
    size = max(1, math.ceil(len(pairs) / (threads * tasks_per_thread)))
    shared = client.scatter(table, broadcast=True)
    futures = [
        client.submit(column_pair_mi, shared, batch, k, normalize, pure=False)
        for batch in batches(pairs, size)
    ]
    values = [value for batch_values in client.gather(futures) for value in batch_values]
    for (i, j), value in zip(pairs, values):
        matrix[i, j] = matrix[j, i] = value
    return matrix


def demo_table(rows: int, seed: int) -> tuple[list[str], Table]:
    """Six columns with known relations: linear, quadratic, periodic, independent, and a sum of two others."""
    rng = np.random.default_rng(seed)
    a = rng.normal(size=rows)
    b = 0.8 * a + 0.6 * rng.normal(size=rows)
    c = a * a + 0.3 * rng.normal(size=rows)
    d = np.cos(3.0 * a) + 0.2 * rng.normal(size=rows)
    e = rng.normal(size=rows)
    f = a + e + 0.1 * rng.normal(size=rows)
    names = ["a", "b=0.8a+noise", "c=a^2+noise", "d=cos(3a)+noise", "e", "f=a+e+noise"]
    return names, np.column_stack([a, b, c, d, e, f])


def read_csv(path: str) -> tuple[list[str], Table]:
    """Reads a comma-separated table of numbers; a first line that is not all numbers is the header."""
    with open(path, encoding="utf-8") as f:
        first = f.readline().strip().split(",")
    try:
        [float(cell) for cell in first]
        names, skip = [f"col{i}" for i in range(len(first))], 0
    except ValueError:
        names, skip = [cell.strip() for cell in first], 1
    table = np.loadtxt(path, delimiter=",", skiprows=skip, dtype=np.float64, ndmin=2)
    if table.shape[1] != len(names):
        raise ValueError(f"{path}: the header names {len(names)} columns but the rows hold {table.shape[1]}")
    return names, table


def format_matrix(names: Sequence[str], matrix: Table) -> str:
    """The matrix as text, rows and columns labelled by number, with a key to the column names."""
    width = 7
    lines = [" " * 4 + "".join(f"{j:>{width}}" for j in range(len(names)))]
    for i, row in enumerate(matrix):
        cells = "".join(f"{'-':>{width}}" if math.isnan(v) else f"{v:>{width}.3f}" for v in row)
        lines.append(f"{i:>4}" + cells)
    lines.append("")
    lines += [f"{i:>4}  {name}" for i, name in enumerate(names)]
    return "\n".join(lines)


def parse_args(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description="Pairwise KSG mutual information of table columns, on Dask.")
    parser.add_argument(
        "--csv", help="comma-separated table, one sample per row (default: a generated table)"
    )
    parser.add_argument("--rows", type=int, default=5000, help="rows of the generated table (default 5000)")
    parser.add_argument("--seed", type=int, default=7, help="seed of the generated table (default 7)")
    parser.add_argument("--k", type=int, default=3, help="neighbour count, 1 <= k < rows (default 3)")
    parser.add_argument("--normalize", action="store_true", help="normalise each entry (capped at 1)")
    parser.add_argument("--scheduler", help="address of a running Dask scheduler, e.g. tcp://10.0.0.5:8786")
    parser.add_argument("--workers", type=int, default=2, help="local worker processes without --scheduler")
    parser.add_argument("--out", help="also save the matrix to this .npy file")
    return parser.parse_args(argv)


def main(argv: Sequence[str] | None = None) -> int:
    args = parse_args(argv)
    try:
        names, table = read_csv(args.csv) if args.csv else demo_table(args.rows, args.seed)
        if args.scheduler:
            with Client(args.scheduler) as client:
                matrix = mi_matrix(client, table, args.k, args.normalize)
        else:
            # Worker processes, each with one task thread; quorlix adds its own pool inside each process.
            with (
                LocalCluster(
                    n_workers=args.workers,
                    threads_per_worker=1,
                    processes=True,
                    host="127.0.0.1",
                    dashboard_address=None,
                ) as cluster,
                Client(cluster) as client,
            ):
                matrix = mi_matrix(client, table, args.k, args.normalize)
    except ValueError as error:
        print(f"error: {error}", file=sys.stderr)
        return 1
    kind = "normalised KSG mutual information" if args.normalize else "KSG mutual information (nats)"
    print(f"{kind}, k = {args.k}, {table.shape[0]} rows x {table.shape[1]} columns\n")
    print(format_matrix(names, matrix))
    if args.out:
        np.save(args.out, matrix)
    return 0


# Worker processes start by importing this file again, so the work must only start under this guard.
if __name__ == "__main__":
    sys.exit(main())
