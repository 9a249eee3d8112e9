"""The shipped type stubs: installed beside the module, true to the runtime, and strict enough to catch misuse."""

import ast
import inspect
import os
import re
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest

import quorlix

ROOT = Path(__file__).resolve().parents[2]
REPO_STUBS = ROOT / "stubs" / "quorlix-stubs"
INSTALLED_STUBS = Path(quorlix.__file__).parent / "quorlix-stubs"


def module_is_installed() -> bool:
    """True when quorlix was imported from an installed copy rather than a development build folder."""
    return Path(quorlix.__file__).parent.name in ("site-packages", "dist-packages")


def test_stubs_are_installed_beside_the_module():
    if not module_is_installed():
        pytest.skip(f"quorlix is imported from a build folder ({quorlix.__file__}), not from an installation")
    assert (INSTALLED_STUBS / "__init__.pyi").is_file()
    assert (INSTALLED_STUBS / "__init__.pyi").read_bytes() == (REPO_STUBS / "__init__.pyi").read_bytes()
    # Stub files for the submodules would make `import quorlix.stats` look valid to type checkers.
    assert sorted(p.name for p in INSTALLED_STUBS.iterdir() if p.suffix == ".pyi") == ["__init__.pyi"]


GOOD = """\
import numpy as np
import numpy.typing as npt
import quorlix
from quorlix import info, stats

x: npt.NDArray[np.float64] = np.random.default_rng(0).normal(size=50)
table = np.random.default_rng(1).normal(size=(50, 3))
reveal_type(stats.pearson_corr(x, x[::-1]))
reveal_type(stats.spearman_corr(x=x, y=table[:, 1]))
reveal_type(stats.phi_coef(x > 0, table[:, 0] > 0))
reveal_type(info.kl_h(x, np.int64(3)))
reveal_type(info.ksg_mi(x, x, k=3, normalize=np.bool_(True)))
reveal_type(info.ksg_cmi(x, x, x, 3, False))
reveal_type(quorlix.info.ksg_ii(x, x, x, True, True))
reveal_type(quorlix.stats.__all__)
"""

BAD = """\
import numpy as np
import quorlix.stats
from quorlix.info import ksg_mi
from quorlix import info, stats
x, y = np.arange(10.0), np.zeros(10, dtype=np.float32)
info.ksg_mi(x, x, 3.0, False)
info.ksg_mi(x, x, 3, 1)
info.kl_h(y, 3)
stats.phi_coef(x, x)
name: str = stats.pearson_corr(x, x)[0]
info.kl_h(x)
stats.kendall_tau(x, x)
"""

# (line of BAD, error code) that mypy must report
BAD_ERRORS = {
    (2, "import-not-found"),
    (3, "import-not-found"),
    (6, "arg-type"),
    (7, "arg-type"),
    (8, "arg-type"),
    (9, "arg-type"),
    (10, "assignment"),
    (11, "call-arg"),
    (12, "attr-defined"),
}


@pytest.fixture(scope="module")
def mypy_run(tmp_path_factory):
    """One strict mypy run over the examples and the two snippets above, against the stubs."""
    pytest.importorskip("mypy")
    work = tmp_path_factory.mktemp("mypy")
    (work / "good_usage.py").write_text(GOOD)
    (work / "bad_usage.py").write_text(BAD)
    env = dict(os.environ)
    if not INSTALLED_STUBS.is_dir():
        # A development build: put a copy of the repository's stubs on the search path instead.
        site = work / "site"
        shutil.copytree(REPO_STUBS, site / "quorlix-stubs")
        env["PYTHONPATH"] = os.pathsep.join([str(site), env.get("PYTHONPATH", "")])
    result = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--config-file",
            str(ROOT / "pyproject.toml"),
            "--cache-dir",
            str(work / "cache"),
            "--show-error-codes",
            "--no-pretty",
            str(ROOT / "examples"),
            str(work / "good_usage.py"),
            str(work / "bad_usage.py"),
        ],
        capture_output=True,
        text=True,
        cwd=ROOT,
        env=env,
        timeout=600,
    )
    return result.stdout + result.stderr


# mypy runs in a child interpreter that would inherit the sanitizer runtime; it checks text, not the module.
NOT_UNDER_SANITIZER = pytest.mark.not_under_sanitizer("type checking does not exercise the compiled module")


def lines_of(output, filename):
    return [line for line in output.splitlines() if Path(line.split(":", 1)[0]).name == filename]


@NOT_UNDER_SANITIZER
def test_examples_pass_mypy_strict(mypy_run):
    problems = [line for line in mypy_run.splitlines() if "examples" in line.split(":", 1)[0]]
    assert problems == [], mypy_run


@NOT_UNDER_SANITIZER
def test_stubs_give_precise_types(mypy_run):
    revealed = [
        line.split("Revealed type is ", 1)[1].replace("builtins.", "")
        for line in lines_of(mypy_run, "good_usage.py")
        if "Revealed type is " in line
    ]
    pair = '"tuple[float, float]"'
    assert revealed == [pair, pair, pair] + ['"float"'] * 4 + ['"list[str]"']
    assert not [line for line in lines_of(mypy_run, "good_usage.py") if ": error:" in line], mypy_run


@NOT_UNDER_SANITIZER
def test_stubs_reject_misuse(mypy_run):
    found = set()
    for line in lines_of(mypy_run, "bad_usage.py"):
        match = re.match(r".*:(\d+): error: .*\[([a-z-]+)\]$", line)
        if match:
            found.add((int(match.group(1)), match.group(2)))
    assert BAD_ERRORS <= found, mypy_run


# ---------------------------------------------------------------- stubs against the runtime


def stub_classes():
    tree = ast.parse((REPO_STUBS / "__init__.pyi").read_text())
    classes = {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}
    annotations = {
        node.target.id: node.annotation.id
        for node in tree.body
        if isinstance(node, ast.AnnAssign) and isinstance(node.annotation, ast.Name)
    }
    return tree, {attr: classes[cls] for attr, cls in annotations.items()}


def stub_functions(class_node):
    return [node for node in class_node.body if isinstance(node, ast.FunctionDef)]


def test_stub_module_layout_matches_the_runtime():
    tree, submodules = stub_classes()
    top_all = next(
        ast.literal_eval(node.value)
        for node in tree.body
        if isinstance(node, ast.Assign) and node.targets[0].id == "__all__"
    )
    assert top_all == quorlix.__all__
    assert sorted(submodules) == sorted(quorlix.__all__)
    for name, class_node in submodules.items():
        assert [f.name for f in stub_functions(class_node)] == getattr(quorlix, name).__all__


@pytest.mark.parametrize(
    "submodule, function",
    [(s, f) for s in ("stats", "info") for f in getattr(quorlix, s).__all__],
)
def test_stub_signature_and_docstring(submodule, function):
    _, submodules = stub_classes()
    node = next(f for f in stub_functions(submodules[submodule]) if f.name == function)
    runtime = getattr(getattr(quorlix, submodule), function)
    assert [a.arg for a in node.args.args] == list(inspect.signature(runtime).parameters)
    assert any(isinstance(d, ast.Name) and d.id == "staticmethod" for d in node.decorator_list)
    docstring = ast.get_docstring(node)
    assert docstring and len(docstring) > 200


def value_error(call):
    with pytest.raises(ValueError) as info:
        call()
    return str(info.value)


X = np.arange(6.0)
B = X > 2
# Calls that raise each ValueError the functions have; every message must be quoted in the stub's docstring.
ERRORS = {
    "pearson_corr": [lambda f: f(X, X[:5]), lambda f: f(X[:2], X[:2]), lambda f: f(X * 0, X)],
    "spearman_corr": [lambda f: f(X, X[:5]), lambda f: f(X[:2], X[:2]), lambda f: f(X * 0, X)],
    "phi_coef": [lambda f: f(B, B[:5]), lambda f: f(B[:2], B[:2]), lambda f: f(B | True, B)],
    "kl_h": [lambda f: f(X[:0], 1), lambda f: f(X, 0)],
    "ksg_mi": [
        lambda f: f(X, X[:5], 1, False),
        lambda f: f(X[:0], X[:0], 1, False),
        lambda f: f(X, X, 6, False),
    ],
    "ksg_cmi": [lambda f: f(X, X, X[:5], 1, False), lambda f: f(X[:0], X[:0], X[:0], 1, False)],
    "ksg_ii": [lambda f: f(X, X, X[:5], 1, False), lambda f: f(X[:0], X[:0], X[:0], 1, False)],
}


@pytest.mark.parametrize("function", list(ERRORS))
def test_stub_docstrings_quote_the_real_error_messages(function):
    _, submodules = stub_classes()
    submodule = "stats" if function in quorlix.stats.__all__ else "info"
    node = next(f for f in stub_functions(submodules[submodule]) if f.name == function)
    docstring = " ".join(ast.get_docstring(node).split())
    runtime = getattr(getattr(quorlix, submodule), function)
    for call in ERRORS[function]:
        message = value_error(lambda call=call: call(runtime))
        # The k message carries the actual numbers; the docstrings write them as "k=..., n=...".
        message = re.sub(r"\(got k=\d+, n=\d+\)", "(got k=..., n=...)", message)
        assert f'"{message}"' in docstring, (function, message)


def test_top_level_docstring_explains_how_to_import():
    doc = ast.get_docstring(ast.parse((REPO_STUBS / "__init__.pyi").read_text()))
    assert "from quorlix import stats, info" in " ".join(textwrap.dedent(doc).split())
