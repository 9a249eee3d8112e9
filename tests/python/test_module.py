import inspect
import os
import sys

import pytest
import quorlix


def test_top_module_layout():
    assert quorlix.__name__ == "quorlix"
    assert quorlix.__doc__ == ""
    assert quorlix.__all__ == ["stats", "info"]
    assert quorlix.stats.__name__ == "stats"
    assert quorlix.info.__name__ == "info"


def test_stats_registration():
    assert quorlix.stats.__all__ == ["pearson_corr", "spearman_corr", "phi_coef"]


@pytest.mark.parametrize(
    "name, signature, doc",
    [
        ("pearson_corr", "(x, y)", "Python-usable scripts"),
        ("spearman_corr", "(x, y)", None),
        ("phi_coef", "(x, y)", None),
    ],
)
def test_stats_function_metadata(name, signature, doc):
    fn = getattr(quorlix.stats, name)
    assert fn.__name__ == name
    assert fn.__qualname__ == name
    assert fn.__module__ == "stats"
    assert fn.__self__ is quorlix.stats
    assert fn.__text_signature__ == signature
    assert str(inspect.signature(fn)) == signature
    assert fn.__doc__ == doc


def test_submodules_are_not_importable_by_dotted_name():
    from quorlix import info, stats  # noqa: F401

    with pytest.raises(ModuleNotFoundError):
        import quorlix.stats  # noqa: F401
    assert "stats" not in sys.modules and "quorlix.stats" not in sys.modules


def test_second_import_fails_and_first_module_keeps_working(python_subprocess):
    result = python_subprocess(
        """
        import sys
        import numpy as np
        import quorlix
        first = quorlix
        x = np.random.default_rng(3).normal(size=5000)
        expected = (first.stats.pearson_corr(x, x[::-1]), first.info.ksg_mi(x, x[::-1], 3, True))
        for attempt in range(2):
            sys.modules.pop("quorlix", None)
            try:
                import quorlix
            except BaseException as e:
                print(type(e).__name__, "|", e)
            print("quorlix" in sys.modules)
        print(first.stats.pearson_corr(np.array([1.0, 2, 3]), np.array([1.0, 0, 1])))
        print((first.stats.pearson_corr(x, x[::-1]), first.info.ksg_mi(x, x[::-1], 3, True)) == expected)
        """
    )
    assert result.returncode == 0, result.stderr
    failure = (
        "PanicException | called `Result::unwrap()` on an `Err` value: "
        "ThreadPoolBuildError { kind: GlobalPoolAlreadyInitialized }"
    )
    assert result.stdout.splitlines() == [failure, "False", failure, "False", "(0.0, 1.0)", "True"]


# The failed import inside the sub-interpreter raises the first PanicException of the process; the type
# created there belongs to that interpreter and must not be the one the main interpreter raises later.
@pytest.mark.skipif(sys.version_info >= (3, 12), reason="uses the sub-interpreter module of 3.9 to 3.11")
def test_import_in_a_sub_interpreter_fails_and_the_main_one_keeps_working(python_subprocess):
    result = python_subprocess(
        '''
        import _xxsubinterpreters as interpreters
        import numpy as np
        import quorlix
        sub = interpreters.create()
        interpreters.run_string(sub, """if True:
            try:
                import quorlix
                print("imported")
            except BaseException as e:
                print(type(e).__name__, "|", e)
            """)
        interpreters.destroy(sub)
        types = []
        for _ in range(2):
            try:
                quorlix.stats.pearson_corr(np.array([1.0, np.nan, 3.0]), np.array([1.0, 2.0, 3.0]))
            except BaseException as e:
                types.append(type(e))
        print(types[0] is types[1], types[0].__name__, issubclass(types[0], BaseException))
        print(quorlix.info.kl_h(np.arange(10.0), 2) == quorlix.info.kl_h(np.arange(10.0), 2))
        '''
    )
    assert result.returncode == 0, result.stderr
    failure = (
        "PanicException | called `Result::unwrap()` on an `Err` value: "
        "ThreadPoolBuildError { kind: GlobalPoolAlreadyInitialized }"
    )
    assert result.stdout.splitlines() == [failure, "True PanicException True", "True"]


@pytest.mark.parametrize("variable", ["OMP_NUM_THREADS", "QUORLIX_NUM_THREADS", "NUM_THREADS"])
def test_pool_has_four_workers_whatever_the_environment(python_subprocess, variable):
    env = dict(os.environ, **{variable: "1"})
    result = python_subprocess(
        """
        import os
        import numpy  # numpy may start threads of its own: count around the import of quorlix only
        before = len(os.listdir("/proc/self/task"))
        import quorlix
        print(len(os.listdir("/proc/self/task")) - before)
        """,
        env=env,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "4"


def test_panic_exception_is_a_base_exception_not_an_exception():
    with pytest.raises(BaseException) as info:
        try:
            quorlix.stats.pearson_corr(
                __import__("numpy").array([1.0, float("nan"), 3.0]),
                __import__("numpy").array([1.0, 2.0, 3.0]),
            )
        except Exception:  # must not catch it
            pytest.fail("PanicException was caught by `except Exception`")
    panic = type(info.value)
    assert panic.__name__ == "PanicException"
    assert panic.__module__ == "pyo3_runtime"
    assert issubclass(panic, BaseException) and not issubclass(panic, Exception)
    assert panic.__doc__


def test_missing_numpy_raises_panic_and_later_calls_retry(python_subprocess):
    result = python_subprocess(
        """
        import sys
        import builtins
        import quorlix
        real_import = builtins.__import__
        def no_numpy(name, *args, **kwargs):
            if name == "numpy" or name.startswith("numpy."):
                raise ImportError("numpy is hidden")
            return real_import(name, *args, **kwargs)
        saved = {k: v for k, v in sys.modules.items() if k == "numpy" or k.startswith("numpy.")}
        for k in saved:
            del sys.modules[k]
        builtins.__import__ = no_numpy
        try:
            quorlix.stats.pearson_corr([1.0], [2.0])
        except BaseException as e:
            print(type(e).__name__, "|", e)
        builtins.__import__ = real_import
        sys.modules.update(saved)
        import numpy as np
        print(quorlix.stats.pearson_corr(np.array([1.0, 2, 3]), np.array([1.0, 0, 1])))
        """
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0].startswith("PanicException | Failed to access NumPy array API capsule: ")
    assert "numpy is hidden" in lines[0]
    assert lines[1] == "(0.0, 1.0)"
