"""What the README states: its examples run as written, and the behaviour it promises holds."""

import doctest
import importlib.util
import math
import multiprocessing
import os
import pickle
import re
import shutil
import subprocess
import sys
import tarfile
import zipfile
from pathlib import Path

import numpy as np
import pytest

from quorlix import info, stats

ROOT = Path(__file__).resolve().parents[2]
README = ROOT / "README.md"


def code_blocks(language):
    return re.findall(rf"^ *```{language}\n(.*?)^ *```$", README.read_text(), flags=re.DOTALL | re.MULTILINE)


def test_readme_examples_give_the_printed_results():
    parser = doctest.DocTestParser()
    test = parser.get_doctest(README.read_text(), {}, "README.md", str(README), 0)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test)
    result = runner.summarize(verbose=False)
    assert result.attempted >= 20
    assert result.failed == 0


def test_quick_start_commands():
    quick_start = README.read_text().split("## Quick start", 1)[1].split("\n## ", 1)[0]
    blocks = re.findall(r"```sh\n(.*?)```", quick_start, flags=re.DOTALL)
    assert [b.strip() for b in blocks] == [
        "python3 -m pip install . && python3 examples/tour.py",
        "bash tests/run_all.sh",
    ]
    assert (ROOT / "examples" / "tour.py").is_file() and (ROOT / "tests" / "run_all.sh").is_file()


def test_tour_excerpt_is_what_the_tour_prints():
    module_spec = importlib.util.spec_from_file_location("readme_tour", ROOT / "examples" / "tour.py")
    tour = importlib.util.module_from_spec(module_spec)
    sys.modules[module_spec.name] = tour
    module_spec.loader.exec_module(tour)
    shapes = tour.make_shapes(2000, 2026)
    printed = tour.format_table(shapes, [tour.measure(shape, 3) for shape in shapes]).splitlines()
    excerpt = next(block for block in code_blocks("text") if block.startswith("shape ")).splitlines()
    assert excerpt == printed[: len(excerpt)]
    assert len(excerpt) == 2 + len(shapes)


@pytest.mark.not_under_sanitizer("builds the package with the compiler and pip, not the module under test")
def test_the_sdist_builds_a_complete_wheel(tmp_path):
    module_spec = importlib.util.find_spec("build")
    if module_spec is None or module_spec.origin is None:  # the repository's build/ folder is only a namespace package
        pytest.skip("the build package is not installed")
    if not any(shutil.which(compiler) for compiler in ("c++", "g++", "clang++")):
        pytest.skip("no C++ compiler: this environment runs an installed wheel")
    env = dict(os.environ, CMAKE_BUILD_PARALLEL_LEVEL="2")
    subprocess.run(
        [sys.executable, "-m", "build", "--sdist", "--outdir", str(tmp_path), str(ROOT)],
        check=True,
        capture_output=True,
        env=env,
        cwd=tmp_path,
        timeout=600,
    )
    [sdist] = tmp_path.glob("quorlix-*.tar.gz")
    with tarfile.open(sdist) as archive:
        names = {name.split("/", 1)[1] for name in archive.getnames() if "/" in name}
    for needed in (
        "CMakeLists.txt",
        "pyproject.toml",
        "README.md",
        "LICENSE",
        "stubs/quorlix-stubs/__init__.pyi",
    ):
        assert needed in names
    assert {"src/module/module.cpp", "src/info/mutual_information.cpp", "examples/tour.py"} <= names
    assert not [name for name in names if name.startswith(("build/", ".hypothesis/", ".pytest_cache/"))]

    subprocess.run(
        [
            sys.executable,
            "-m",
            "pip",
            "wheel",
            "--no-deps",
            "--wheel-dir",
            str(tmp_path / "wheel"),
            str(sdist),
        ],
        check=True,
        capture_output=True,
        env=env,
        cwd=tmp_path,
        timeout=1200,
    )
    [wheel] = (tmp_path / "wheel").glob("quorlix-*.whl")
    with zipfile.ZipFile(wheel) as archive:
        files = archive.namelist()
        metadata = archive.read("quorlix-0.1.0.dist-info/METADATA").decode()
    assert "quorlix-stubs/__init__.pyi" in files
    assert "quorlix-0.1.0.dist-info/licenses/LICENSE" in files
    assert "quorlix.abi3.so" in files
    headers, description = metadata.split("\n\n", 1)
    for line in (
        "Name: quorlix",
        "Version: 0.1.0",
        "License-Expression: MIT",
        "Requires-Python: >=3.11",
        "Requires-Dist: numpy>=1.21",
        "Description-Content-Type: text/markdown",
        "Classifier: Typing :: Typed",
    ):
        assert line in headers.splitlines()
    assert description.strip() == README.read_text().strip()


# ---------------------------------------------------------------- arrays of any layout


def packed_field(values, pad_bytes):
    """A float64 field inside a packed record array: byte stride 8 + pad_bytes."""
    record = np.zeros(len(values), dtype=np.dtype([("pad", f"V{pad_bytes}"), ("v", "<f8")], align=False))
    record["v"] = values
    return record["v"]


@pytest.mark.parametrize("pad_bytes", [1, 3, 5])
def test_estimators_read_byte_strides_that_are_not_a_multiple_of_eight(pad_bytes):
    rng = np.random.default_rng(pad_bytes)
    x, y, z = rng.normal(size=(3, 300))
    px, py, pz = packed_field(x, pad_bytes), packed_field(y + x, pad_bytes), packed_field(z, pad_bytes)
    assert px.strides[0] == 8 + pad_bytes
    assert info.kl_h(px, 3) == info.kl_h(x, 3)
    assert info.ksg_mi(px, py, 3, True) == info.ksg_mi(x, y + x, 3, True)
    assert info.ksg_cmi(px, py, pz, 3, True) == info.ksg_cmi(x, y + x, z, 3, True)
    assert info.ksg_ii(px[::-1], py[::-1], pz[::-1], 3, False) == info.ksg_ii(
        x[::-1], (y + x)[::-1], z[::-1], 3, False
    )


def test_estimators_read_zero_stride_views_as_repeated_values():
    constant = np.lib.stride_tricks.as_strided(np.array([2.5]), shape=(50,), strides=(0,))
    copy = np.full(50, 2.5)
    other = np.linspace(0.0, 1.0, 50)
    assert info.kl_h(constant, 4) == info.kl_h(copy, 4)
    assert info.ksg_mi(other, constant, 3, True) == info.ksg_mi(other, copy, 3, True)
    assert info.ksg_cmi(other, other, constant, 3, False) == info.ksg_cmi(other, other, copy, 3, False)


# ---------------------------------------------------------------- normalisation, clamping, p-values


def test_normalised_mi_keeps_the_raw_value_when_the_entropies_have_opposite_signs():
    rng = np.random.default_rng(1)
    x = 0.15 * rng.normal(size=400)  # narrow: negative entropy
    y = x + 0.3 * rng.normal(size=400)  # wider: positive entropy
    assert info.kl_h(x, 3) < 0 < info.kl_h(y, 3)
    raw = info.ksg_mi(x, y, 3, False)
    assert raw > 0.1
    assert info.ksg_mi(x, y, 3, True) == raw


def test_normalised_mi_is_capped_at_exactly_one():
    rng = np.random.default_rng(2)
    angle = rng.uniform(0.0, 2 * math.pi, 2000)
    x, y = np.cos(angle), np.sin(angle)
    raw = info.ksg_mi(x, y, 3, False)
    assert raw > math.sqrt(info.kl_h(x, 3) * info.kl_h(y, 3)) > 0
    assert info.ksg_mi(x, y, 3, True) == 1.0


@pytest.mark.parametrize("fn", [stats.pearson_corr, stats.spearman_corr], ids=lambda f: f.__name__)
def test_p_values_below_double_resolution_are_exactly_zero(fn):
    rng = np.random.default_rng(3)
    x = rng.normal(size=2000)
    _, p = fn(x, 0.8 * x + 0.6 * rng.normal(size=2000))
    assert p == 0.0
    _, p = fn(x, 0.1 * x + rng.normal(size=2000))
    assert 0.0 < p < 0.01


def test_an_infinite_value_makes_the_entropy_infinite():
    assert info.kl_h(np.array([0.0, 1.0, 2.0, math.inf, 4.0, 5.0]), 2) == math.inf


def test_permuting_the_samples_changes_only_the_last_bits():
    rng = np.random.default_rng(4)
    x = rng.normal(size=3000)
    y = np.sin(2 * x) + 0.3 * rng.normal(size=3000)
    z = y + rng.normal(size=3000)
    order = rng.permutation(3000)
    assert info.kl_h(x[order], 3) == pytest.approx(info.kl_h(x, 3), abs=1e-12)
    assert info.ksg_mi(x[order], y[order], 3, False) == pytest.approx(info.ksg_mi(x, y, 3, False), abs=1e-12)
    assert info.ksg_ii(x[order], y[order], z[order], 3, True) == pytest.approx(
        info.ksg_ii(x, y, z, 3, True), abs=1e-12
    )


@pytest.mark.parametrize("seed", [0, 1, 2])
def test_jitter_recovers_the_information_of_tied_data(seed):
    rng = np.random.default_rng(seed)
    coin = np.repeat([0.0, 1.0], 500)
    assert info.ksg_mi(coin, coin, 3, False) == 0.0
    jittered_x = coin + 1e-3 * rng.normal(size=1000)
    jittered_y = coin + 1e-3 * rng.normal(size=1000)
    assert 0.65 < info.ksg_mi(jittered_x, jittered_y, 3, False) < 0.75


def test_diabetes_table_is_what_the_screening_example_computes():
    pytest.importorskip("sklearn")
    path = ROOT / "examples" / "screen_features.py"
    module_spec = importlib.util.spec_from_file_location("readme_screen", path)
    screen = importlib.util.module_from_spec(module_spec)
    sys.modules[module_spec.name] = screen
    module_spec.loader.exec_module(screen)
    text = README.read_text().split("| rank | ties as they are |", 1)[1].split("\n\n", 1)[0]
    rows = [line.strip("|").split("|")[1:] for line in text.splitlines()[2:]]
    columns = [[cell.split() for cell in column] for column in zip(*rows)]
    data = screen.diabetes_data()
    for column, width in zip(columns, (0.0, 1e-4)):
        table, target = screen.prepare(data, width, 2026)
        scores = screen.screen(table, target, data.names, 3, 1, 0.95, 2026)
        assert column == [[score.name, f"{score.mi:.3f}"] for score in scores]
    # "1,073 of 2,000 shuffled estimates are exactly 0.0": the example's shuffles of the jittered table.
    rng = np.random.default_rng(2026)
    orders = [rng.permutation(len(target)) for _ in range(200)]
    zeros = sum(info.ksg_mi(column, target[order], 3, False) == 0.0 for column in table.T for order in orders)
    assert zeros == 1073
    assert "1,073 of 2,000 shuffled estimates are exactly 0.0" in " ".join(README.read_text().split())
    table, target = screen.prepare(data, 0.0, 2026)
    selection = screen.sklearn_module("sklearn.feature_selection")
    peer = screen.sklearn_ranking(selection, table, target, data.names, 3, 2026)
    assert [name for name, _ in columns[2]] == [score.name for score in peer]
    assert [float(value) for _, value in columns[2]] == pytest.approx([score.mi for score in peer], abs=2e-3)


def test_standardising_removes_the_scale_dependence():
    rng = np.random.default_rng(6)
    x = rng.normal(size=2000)
    y = x + rng.normal(size=2000)

    def standardised(v):
        return (v - v.mean()) / v.std()

    at_same_scale = info.ksg_mi(x, y, 3, False)
    assert info.ksg_mi(x, 1000 * y, 3, False) < 0.3 * at_same_scale
    for scale in (1, 100, 1000):
        assert info.ksg_mi(standardised(x), standardised(scale * y), 3, False) == pytest.approx(
            info.ksg_mi(standardised(x), standardised(y), 3, False), abs=1e-3
        )


# ---------------------------------------------------------------- pickling


@pytest.mark.parametrize(
    "name", ["pearson_corr", "spearman_corr", "phi_coef", "kl_h", "ksg_mi", "ksg_cmi", "ksg_ii"]
)
def test_functions_are_not_picklable_by_reference(name):
    fn = getattr(stats, name, None) or getattr(info, name)
    with pytest.raises(pickle.PicklingError):
        pickle.dumps(fn)


# The wrapper the README recommends, taken from the README itself so that the text and the test cannot drift.
WRAPPER = next(block for block in code_blocks("python") if block.startswith("def ksg_mi("))
exec(WRAPPER)  # defines ksg_mi in this module, where spawned processes can import it


def test_the_recommended_wrapper_runs_in_a_spawned_process():
    rng = np.random.default_rng(5)
    x = rng.normal(size=500)
    columns = [x + rng.normal(size=500), rng.normal(size=500), np.cos(x)]
    bad = x.copy()
    bad[7] = math.nan
    with multiprocessing.get_context("spawn").Pool(1) as pool:
        results = pool.starmap(ksg_mi, [(x, c, 3, False) for c in columns])
        failed = pool.starmap_async(ksg_mi, [(x, bad, 3, False)])
        with pytest.raises(RuntimeError) as error:
            failed.get(timeout=120)  # without the wrapper this would wait forever
    assert results == [info.ksg_mi(x, c, 3, False) for c in columns]
    assert str(error.value) == "called `Option::unwrap()` on a `None` value"
    assert error.value.__context__ is None
