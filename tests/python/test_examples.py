"""The examples: the tour runs anywhere and tells the truth; the Dask matrix equals sequential calls."""

import importlib.util
import math
import pickle
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from quorlix import info, stats

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
TOUR = EXAMPLES / "tour.py"
DASK_EXAMPLE = EXAMPLES / "mi_matrix_dask.py"
SCREEN = EXAMPLES / "screen_features.py"


def load(path):
    module_spec = importlib.util.spec_from_file_location(path.stem, path)
    module = importlib.util.module_from_spec(module_spec)
    sys.modules[module_spec.name] = module  # dataclasses look their module up there
    module_spec.loader.exec_module(module)
    return module


tour = load(TOUR)

# Runs a script as __main__, on request with sockets unable to connect and with matplotlib unimportable.
RUNNER = """\
import runpy, socket, sys
def no_network(*args, **kwargs):
    raise OSError("network access attempted")
if {block_network}:
    socket.socket.connect = no_network
    socket.create_connection = no_network
if {hide_matplotlib}:
    sys.modules["matplotlib"] = None
for name in {hidden!r}:
    sys.modules[name] = None
sys.argv = [{script!r}] + {args!r}
runpy.run_path({script!r}, run_name="__main__")
"""


def run_script(script, args, cwd, hide_matplotlib=False, block_network=False, timeout=300, hidden=()):
    code = RUNNER.format(
        hide_matplotlib=hide_matplotlib,
        block_network=block_network,
        script=str(script),
        args=list(args),
        hidden=list(hidden),
    )
    return subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, cwd=cwd, timeout=timeout
    )


# ---------------------------------------------------------------- tour.py


SHAPES = ["linear", "monotone", "u-shaped", "sinusoidal", "circular", "independent", "chain", "synergy"]


def table_rows(output):
    """The printed table as {shape: {column title: cell}}; repeated titles ("p") get the preceding title."""
    lines = output.splitlines()
    start = next(i for i, line in enumerate(lines) if line.startswith("shape "))
    titles = []
    for title in [t for t in lines[start].split()[1:] if t != "norm"]:
        title = "I norm" if title == "I" else title
        titles.append(f"p {titles[-1]}" if title == "p" else title)
    rows = {}
    for line in lines[start + 2 :]:
        if not line.strip():
            break
        cells = line.split()
        rows[cells[0]] = dict(zip(titles, cells[1:]))
    return rows


def test_tour_without_matplotlib_prints_the_table_and_no_figure(tmp_path):
    result = run_script(TOUR, [], tmp_path, hide_matplotlib=True, block_network=True)
    assert result.returncode == 0, result.stderr
    assert "matplotlib is not installed" in result.stdout
    assert list(tmp_path.iterdir()) == []
    assert list(table_rows(result.stdout)) == SHAPES


def test_tour_table_shows_each_measure_under_its_title(tmp_path):
    result = run_script(TOUR, ["--no-figure", "--n", "500", "--k", "4", "--seed", "11"], tmp_path)
    assert result.returncode == 0, result.stderr
    rows = table_rows(result.stdout)
    for shape in tour.make_shapes(500, 11):
        x, y, z = shape.x, shape.y, shape.z
        row = rows[shape.name]
        r, p_r = stats.pearson_corr(x, y)
        rho, p_rho = stats.spearman_corr(x, y)
        phi, p_phi = stats.phi_coef(x > np.median(x), y > np.median(y))
        expected = {
            "r": r,
            "rho": rho,
            "phi": phi,
            "H(y)": info.kl_h(y, 4),
            "I(x;y)": info.ksg_mi(x, y, 4, False),
            "I norm": info.ksg_mi(x, y, 4, True),
            "I(x;y|z)": info.ksg_cmi(x, y, z, 4, False),
            "II": info.ksg_ii(x, y, z, 4, False),
        }
        for title, value in expected.items():
            assert float(row[title]) == pytest.approx(value, abs=5e-4), (shape.name, title)
        for title, p in (("p r", p_r), ("p rho", p_rho), ("p phi", p_phi)):
            assert float(row[title]) == pytest.approx(p, rel=0.35, abs=5e-4), (shape.name, title)
    assert "n = 500 points, k = 4, seed = 11" in result.stdout


def test_tour_saves_the_figure_when_matplotlib_is_available(tmp_path):
    pytest.importorskip("matplotlib")
    result = run_script(TOUR, ["--n", "400"], tmp_path, block_network=True)
    assert result.returncode == 0, result.stderr
    figure = tmp_path / "quorlix-tour.png"
    assert f"Figure saved to {figure.name}" in result.stdout
    data = figure.read_bytes()
    assert data.startswith(b"\x89PNG\r\n\x1a\n") and len(data) > 50_000

    result = run_script(TOUR, ["--n", "400", "--figure", "sub.png", "--no-figure"], tmp_path)
    assert result.returncode == 0 and not (tmp_path / "sub.png").exists()


@pytest.mark.parametrize(
    "args, message",
    [
        (["--n", "2"], "--n must be at least 3"),
        (["--k", "0"], "--k must satisfy"),
        (["--n", "5", "--k", "5"], "--k"),
    ],
)
def test_tour_rejects_bad_arguments(tmp_path, args, message):
    result = run_script(TOUR, args, tmp_path)
    assert result.returncode == 2
    assert message in result.stderr


@pytest.mark.parametrize(
    "p, text",
    [
        (0.0, "0.0"),
        (1.0, "1.000"),
        (0.0123, "0.012"),
        (0.001, "0.001"),
        (9.9e-4, "1e-03"),
        (2.2e-16, "2e-16"),
    ],
)
def test_p_values_fit_their_column(p, text):
    assert tour.format_p(p) == text
    assert len(text) <= 7


@pytest.mark.parametrize(
    "value, digits, text",
    [(0.8, 2, "+0.80"), (-0.59, 2, "-0.59"), (-0.004, 2, "0.00"), (-0.0, 2, "0.00"), (-0.0004, 3, "0.000")],
)
def test_signed_values_never_show_minus_zero(value, digits, text):
    assert tour.signed(value, digits) == text


# The tour's notes describe what the table shows; they must hold for other seeds too, not by luck.
@pytest.mark.parametrize("seed", [2026, 1, 2, 3])
def test_tour_notes_hold(seed):
    results = {shape.name: tour.measure(shape, 3) for shape in tour.make_shapes(2000, seed)}
    linear = results["linear"]
    assert abs(linear.pearson[0] - linear.spearman[0]) < 0.05 and linear.mi > 0.3
    monotone = results["monotone"]
    assert monotone.spearman[0] - monotone.pearson[0] > 0.3
    for name in ("u-shaped", "sinusoidal", "circular"):
        m = results[name]
        assert max(abs(m.pearson[0]), abs(m.spearman[0]), abs(m.phi[0])) < 0.1, name
        assert m.mi > 0.5, name
    independent = results["independent"]
    assert min(independent.pearson[1], independent.spearman[1], independent.phi[1]) > 0.001
    assert independent.mi < 0.05
    chain = results["chain"]
    assert chain.mi > 0.3 and chain.cmi < 0.1 * chain.mi and chain.ii < -0.2
    synergy = results["synergy"]
    assert synergy.mi < 0.05 and synergy.cmi > 1.0 and synergy.ii > 1.0
    assert all(0.0 <= m.mi_normalized <= 1.0 for m in results.values())


def test_tour_is_reproducible():
    first = [tour.measure(s) for s in tour.make_shapes(300, 5)]
    second = [tour.measure(s) for s in tour.make_shapes(300, 5)]
    assert first == second


# ---------------------------------------------------------------- mi_matrix_dask.py


@pytest.fixture(scope="module")
def dask_example():
    pytest.importorskip("dask")
    pytest.importorskip("distributed")
    return load(DASK_EXAMPLE)


def sequential_matrix(table, k, normalize):
    columns = table.shape[1]
    matrix = np.full((columns, columns), math.nan)
    for i in range(columns):
        for j in range(columns):
            if i != j:
                matrix[i, j] = info.ksg_mi(table[:, i], table[:, j], k, normalize)
    return matrix


def test_dask_matrix_of_a_csv_table_equals_sequential_calls(dask_example, tmp_path):
    rng = np.random.default_rng(21)
    a = rng.normal(size=700)
    table = np.column_stack([a, a + rng.normal(size=700), np.sin(3 * a), rng.normal(size=700), np.round(a)])
    names = ["alpha", "beta", "gamma", "delta", "epsilon"]
    np.savetxt(tmp_path / "table.csv", table, delimiter=",", header=",".join(names), comments="", fmt="%.17g")
    result = run_script(
        DASK_EXAMPLE,
        ["--csv", "table.csv", "--k", "4", "--workers", "2", "--out", "matrix.npy"],
        tmp_path,
    )
    assert result.returncode == 0, result.stderr
    matrix = np.load(tmp_path / "matrix.npy")
    expected = sequential_matrix(table, 4, False)
    assert np.array_equal(matrix, expected, equal_nan=True)  # bit for bit, NaN diagonal
    assert np.isnan(np.diag(matrix)).all()
    assert all(name in result.stdout for name in names)


def test_dask_example_runs_on_a_cluster_given_by_address(dask_example, tmp_path):
    from dask.distributed import LocalCluster

    with LocalCluster(
        n_workers=1, threads_per_worker=2, processes=True, host="127.0.0.1", dashboard_address=None
    ) as cluster:
        result = run_script(
            DASK_EXAMPLE,
            [
                "--scheduler",
                cluster.scheduler_address,
                "--rows",
                "600",
                "--seed",
                "3",
                "--normalize",
                "--out",
                "m.npy",
            ],
            tmp_path,
        )
    assert result.returncode == 0, result.stderr
    _, table = dask_example.demo_table(600, 3)
    matrix = np.load(tmp_path / "m.npy")
    assert np.array_equal(matrix, sequential_matrix(table, 3, True), equal_nan=True)
    assert np.nanmax(matrix) <= 1.0 and np.nanmin(matrix) >= 0.0


def test_dask_example_rejects_nan_instead_of_stalling(dask_example, tmp_path):
    (tmp_path / "nan.csv").write_text("a,b,c\n1,2,3\n2,nan,4\n3,1,5\n4,5,1\n5,3,2\n")
    result = run_script(DASK_EXAMPLE, ["--csv", "nan.csv", "--k", "2"], tmp_path, timeout=120)
    assert result.returncode == 1
    assert result.stderr.strip().endswith("error: columns [1] hold NaN values; remove or impute them first")


@pytest.mark.parametrize("k, rows", [(0, 10), (10, 10), (11, 10)])
def test_dask_example_checks_k_before_submitting(dask_example, k, rows):
    with pytest.raises(ValueError, match=rf"^k must satisfy 1 <= k < rows \(got k={k}, rows={rows}\)$"):
        dask_example.mi_matrix(None, np.zeros((rows, 3)), k)


def test_worker_turns_an_internal_failure_into_an_ordinary_exception(dask_example):
    table = np.arange(30.0).reshape(10, 3)
    table[4, 1] = math.nan
    assert dask_example.column_pair_mi(table, [(0, 2)], 3, False) == [
        info.ksg_mi(table[:, 0], table[:, 2], 3, False)
    ]
    with pytest.raises(RuntimeError) as error:
        dask_example.column_pair_mi(table, [(0, 2), (0, 1)], 3, False)
    assert str(error.value) == "ksg_mi failed on columns 0 and 1: called `Option::unwrap()` on a `None` value"
    pickle.loads(pickle.dumps(error.value))  # it can travel back to the client


@pytest.mark.parametrize("count", [0, 1, 2, 7, 15])
@pytest.mark.parametrize("size", [1, 3, 4, 100])
def test_batches_cover_every_pair_once_in_order(dask_example, count, size):
    pairs = [(i, i + 1) for i in range(count)]
    parts = dask_example.batches(pairs, size)
    assert [p for part in parts for p in part] == pairs
    assert all(1 <= len(part) <= size for part in parts)
    assert len(parts) == math.ceil(count / size)


def test_matrix_of_one_column_needs_no_cluster(dask_example):
    matrix = dask_example.mi_matrix(None, np.zeros((10, 1)))
    assert matrix.shape == (1, 1) and math.isnan(matrix[0, 0])
    with pytest.raises(ValueError, match="two-dimensional, not 1-dimensional"):
        dask_example.mi_matrix(None, np.zeros(10))


def test_csv_reader(dask_example, tmp_path):
    (tmp_path / "plain.csv").write_text("1,2,3\n4,5,6.5\n")
    names, table = dask_example.read_csv(str(tmp_path / "plain.csv"))
    assert names == ["col0", "col1", "col2"]
    assert table.tolist() == [[1.0, 2.0, 3.0], [4.0, 5.0, 6.5]]
    (tmp_path / "header.csv").write_text("height, weight\n1.5,60\n")
    names, table = dask_example.read_csv(str(tmp_path / "header.csv"))
    assert names == ["height", "weight"] and table.shape == (1, 2)
    (tmp_path / "bad.csv").write_text("a,b,c\n1,2\n3,4\n")
    with pytest.raises(ValueError, match="the header names 3 columns but the rows hold 2"):
        dask_example.read_csv(str(tmp_path / "bad.csv"))


def test_quorlix_functions_need_a_wrapper_to_be_shipped(dask_example):
    cloudpickle = pytest.importorskip("cloudpickle")
    with pytest.raises(Exception, match="info"):
        cloudpickle.dumps(info.ksg_mi)
    restored = cloudpickle.loads(cloudpickle.dumps(dask_example.column_pair_mi))
    table = np.random.default_rng(0).normal(size=(50, 3))
    assert restored(table, [(0, 2)], 3, False) == [info.ksg_mi(table[:, 0], table[:, 2], 3, False)]


# ---------------------------------------------------------------- screen_features.py


screen = load(SCREEN)


def ranking_rows(output):
    """The printed ranking as [(feature, I, threshold, verdict, peer feature or None)]."""
    lines = output.splitlines()
    start = next(i for i, line in enumerate(lines) if line.startswith("rank "))
    rows = []
    for line in lines[start + 2 :]:
        if not line.strip():
            break
        ours, _, peer = line.partition("|")
        _, name, mi, threshold, verdict = ours.split()
        rows.append((name, float(mi), float(threshold), verdict, peer.split()[0] if peer else None))
    return rows


def test_screen_ranks_by_estimate_against_shuffled_thresholds(tmp_path):
    args = ["--generated", "--shuffles", "40", "--quantile", "0.9", "--seed", "5"]
    result = run_script(SCREEN, args, tmp_path, hidden=["sklearn"], block_network=True)
    assert result.returncode == 0, result.stderr
    assert "scikit-learn is not installed" in result.stdout
    data = screen.generated_data()
    table, target = screen.prepare(data, 1e-4, 5)
    rng = np.random.default_rng(5)
    orders = [rng.permutation(len(target)) for _ in range(40)]
    expected = []
    for index, name in enumerate(data.names):
        column = table[:, index]
        threshold = np.quantile([info.ksg_mi(column, target[o], 3, False) for o in orders], 0.9)
        expected.append((name, info.ksg_mi(column, target, 3, False), threshold))
    expected.sort(key=lambda row: row[1], reverse=True)
    rows = ranking_rows(result.stdout)
    assert [row[0] for row in rows] == [row[0] for row in expected]
    for (_, mi, threshold, verdict, peer), (name, want_mi, want_threshold) in zip(rows, expected):
        assert (mi, threshold) == pytest.approx((want_mi, want_threshold), abs=5e-4), name
        assert verdict == ("yes" if want_mi > want_threshold else "no") and peer is None
    verdicts = {row[0]: row[3] for row in rows}
    assert [verdicts[name] for name in ("a", "b", "a_noisy", "group_0_1")] == ["yes"] * 4


def test_screen_jitter_is_tiny_seeded_and_optional():
    data = screen.generated_data(300, 1)
    plain, plain_target = screen.prepare(data, 0.0, 9)
    assert np.array_equal(plain_target, (data.target - data.target.mean()) / data.target.std())
    first, first_target = screen.prepare(data, 1e-4, 9)
    again, _ = screen.prepare(data, 1e-4, 9)
    assert np.array_equal(first, again) and first.flags.f_contiguous
    assert 0 < np.abs(first - plain).max() <= 1e-4 and 0 < np.abs(first_target - plain_target).max() <= 1e-4
    assert len(np.unique(first[:, 3])) == 300 < len(np.unique(plain[:, 3])) + 299


def test_screen_reads_a_csv_with_a_named_target(tmp_path):
    rng = np.random.default_rng(3)
    a = rng.normal(size=300)
    table = np.column_stack([a, np.round(2 * a + rng.normal(size=300)), rng.normal(size=300)])
    np.savetxt(tmp_path / "t.csv", table, delimiter=",", header="a,price,b", comments="", fmt="%.17g")
    args = ["--csv", "t.csv", "--target", "price", "--shuffles", "30", "--no-jitter"]
    result = run_script(SCREEN, args, tmp_path)
    assert result.returncode == 0, result.stderr
    assert "against 'price'" in result.stdout and "ties left as they are" in result.stdout
    rows = ranking_rows(result.stdout)
    assert [row[0] for row in rows] == ["a", "b"] and rows[0][3] == "yes"
    expected = info.ksg_mi(screen.standardised(a), screen.standardised(table[:, 1]), 3, False)
    assert rows[0][1] == pytest.approx(expected, abs=5e-4)


@pytest.mark.parametrize(
    "content, args, message",
    [
        (
            "a,b\n1,2\n2,1\n3,4\n4,3\n5,5\n",
            ["--target", "c"],
            "t.csv: no column named 'c' (the columns are a, b)",
        ),
        ("a,b\n1,2\n2,nan\n3,4\n4,3\n5,5\n", [], "the table holds NaN values; remove or impute them first"),
        ("a,b\n1,2\n1,1\n1,4\n1,3\n1,5\n", [], "a constant column carries no information; remove it first"),
        ("a,b\n1,2\n2,1\n3,4\n", ["--k", "3"], "--k must be below the number of rows (3)"),
    ],
)
def test_screen_reports_unusable_tables(tmp_path, content, args, message):
    (tmp_path / "t.csv").write_text(content)
    result = run_script(SCREEN, ["--csv", "t.csv", *args], tmp_path)
    assert result.returncode == 1
    assert result.stderr.strip() == f"error: {message}"
