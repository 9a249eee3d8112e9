"""The module under fork(), multiprocessing and concurrent Python threads."""

import contextlib
import multiprocessing
import os
import pickle
from concurrent.futures import ProcessPoolExecutor
import sys
import threading
import warnings

import numpy as np
import pytest
import quorlix
from quorlix import info, stats


def sample(seed=0, n=3000):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=n)
    y = x + rng.normal(size=n)
    z = x - y + rng.normal(size=n)
    return x, y, z


def every_result(seed=0):
    x, y, z = sample(seed)
    return (
        stats.pearson_corr(x, y),
        stats.spearman_corr(x, y),
        stats.phi_coef(x > 0, y > 0),
        info.kl_h(x, 3),
        info.ksg_mi(x, y, 3, True),
        info.ksg_cmi(x, y, z, 3, True),
        info.ksg_ii(x, y, z, 3, False),
    )


@contextlib.contextmanager
def forking():
    """Expects the warning CPython 3.12+ gives when a process with threads forks: the pool's threads count.

    quorlix's pool survives the fork; README tells users what to do about the warning.
    """
    parent = os.getpid()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        yield
    if os.getpid() != parent:
        return  # only the parent is warned
    warned = [
        w
        for w in caught
        if issubclass(w.category, DeprecationWarning) and "is multi-threaded, use of fork()" in str(w.message)
    ]
    assert bool(warned) == (sys.version_info >= (3, 12)), [str(w.message) for w in caught]


def fork_and_compare(expected):
    """Forks; the child computes every result and reports whether they match expected."""
    read_fd, write_fd = os.pipe()
    with forking():
        pid = os.fork()
    if pid == 0:  # child
        try:
            ok = every_result() == expected
            os.write(write_fd, b"ok" if ok else b"mismatch")
        finally:
            os._exit(0)
    os.close(write_fd)
    with os.fdopen(read_fd, "rb") as pipe:
        answer = pipe.read()
    _, status = os.waitpid(pid, 0)
    return os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0 and answer == b"ok"


def test_forked_child_computes_every_estimator():
    expected = every_result()  # the pool has run work before the fork
    assert fork_and_compare(expected)
    assert every_result() == expected  # the parent's pool still works
    assert fork_and_compare(expected)  # and forks again


def test_child_forked_before_any_call_computes_every_estimator(python_subprocess):
    result = python_subprocess(
        """
        import os
        import quorlix
        from test_processes import every_result
        pid = os.fork()  # no call has run yet: the pool's workers idle since import
        if pid == 0:
            result = every_result()
            grandchild = os.fork()
            if grandchild == 0:
                os._exit(0 if every_result() == result else 1)
            _, status = os.waitpid(grandchild, 0)
            os._exit(0 if status == 0 else 1)
        _, status = os.waitpid(pid, 0)
        print(status, every_result() == every_result())
        """,
        env=dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(__file__)] + sys.path)),
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["0", "True"]


# A signal handler runs Python code on the calling thread while the workers run a job; if it forks, the
# child has no workers for that job: its call fails with PanicException, and its pool works again after.
# (Should the handler run outside a job, both calls simply finish.) A handler that sleeps lets another
# thread run and fork while the call's job is under way: that fork must not wait for the job, whose thread
# waits for the interpreter lock the forking thread holds, and the child's pool works.
@pytest.mark.parametrize(
    ("fork_in_handler", "child_outcomes"),
    [
        (
            "children.append(os.fork())",
            ["PanicException: the worker pool was lost to fork() while a job was running", "equal"],
        ),
        ("threading.Thread(target=fork_from_a_thread).start(); time.sleep(1)", ["forked from a thread"]),
    ],
    ids=["in-the-handler", "other-thread"],
)
def test_fork_inside_a_signal_handler_during_a_call(python_subprocess, fork_in_handler, child_outcomes):
    result = python_subprocess(
        """
        import os, signal, threading, time
        import numpy as np
        from quorlix import info
        # Queries for k close to n: nearly all of the call's time is spent in one parallel job.
        x, y = np.random.default_rng(4).normal(size=(2, 8000))
        expected = info.ksg_mi(x, y, 7990, False)
        small = np.arange(100.0) % 7
        small_expected = info.ksg_mi(small, small[::-1], 3, False)
        children = []
        def child_reports(outcome):
            healthy = info.ksg_mi(small, small[::-1], 3, False) == small_expected
            print("child", outcome, healthy, flush=True)
            os._exit(0)
        def fork_from_a_thread():
            pid = os.fork()
            if pid == 0:
                child_reports("forked from a thread")
            children.append(pid)
        def handler(signum, frame):
            if not children:
                FORK_IN_HANDLER
        signal.signal(signal.SIGALRM, handler)
        signal.setitimer(signal.ITIMER_REAL, 0.1)
        try:
            got = info.ksg_mi(x, y, 7990, False)
            outcome = "equal" if got == expected else "different"
        except BaseException as e:
            outcome = f"{type(e).__name__}: {e}"
        if children[0] == 0:
            child_reports(outcome)
        os.waitpid(children[0], 0)
        print("parent", outcome, info.ksg_mi(small, small[::-1], 3, False) == small_expected)
        """.replace("FORK_IN_HANDLER", fork_in_handler),
        timeout=60,
    )
    assert result.returncode == 0, result.stderr
    child, parent = result.stdout.splitlines()
    assert child in [f"child {outcome} True" for outcome in child_outcomes]
    assert parent == "parent equal True"


def _child_result(seed):
    return every_result(seed)


def test_multiprocessing_fork_pool():
    context = multiprocessing.get_context("fork")
    with forking():
        workers = context.Pool(3)
    with workers:
        results = workers.map(_child_result, range(4), chunksize=1)
    assert results == [every_result(seed) for seed in range(4)]


def test_eight_threads_get_the_sequential_results():
    expected = [every_result(seed) for seed in range(8)]
    results = [None] * 8
    errors = []

    def run(i):
        try:
            for _ in range(3):
                results[i] = every_result(i)
                assert results[i] == expected[i]
        except BaseException as e:  # noqa: BLE001 - report anything to the main thread
            errors.append(e)

    threads = [threading.Thread(target=run, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=300)
    assert not errors
    assert results == expected


def test_threads_mixing_failures_and_successes():
    x, y, _ = sample(1, 500)
    bad = x.copy()
    bad[3] = np.nan
    failures = []

    def run():
        for _ in range(20):
            try:
                info.ksg_mi(bad, y, 3, False)
            except BaseException as e:  # noqa: BLE001
                failures.append(type(e).__name__)
            assert info.ksg_mi(x, y, 3, False) == reference

    reference = info.ksg_mi(x, y, 3, False)
    threads = [threading.Thread(target=run) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=300)
    assert failures == ["PanicException"] * 80


@pytest.mark.parametrize("start_method", ["spawn", "forkserver"])
def test_other_start_methods(start_method):
    context = multiprocessing.get_context(start_method)
    with context.Pool(2) as workers:
        results = workers.map(_child_result, range(2))
    assert results == [every_result(seed) for seed in range(2)]
    assert quorlix.info.kl_h is info.kl_h


NAN_FAILURE = "called `Option::unwrap()` on a `None` value"


def _nan_call(_):
    bad = np.array([1.0, np.nan, 3.0, 4.0])
    return info.ksg_mi(bad, bad, 1, False)


def assert_panic(error):
    assert type(error).__module__ == "pyo3_runtime"
    assert type(error).__qualname__ == "PanicException"
    assert type(error).__bases__ == (BaseException,)
    assert error.args == (NAN_FAILURE,)


def _in_executor(start_method):
    with ProcessPoolExecutor(1, mp_context=multiprocessing.get_context(start_method)) as executor:
        executor.submit(_nan_call, 0).result(timeout=120)


def _in_joblib(backend):
    joblib = pytest.importorskip("joblib")
    joblib.Parallel(n_jobs=2, backend=backend)(joblib.delayed(_nan_call)(i) for i in range(2))


def _in_dask(scheduler):
    dask = pytest.importorskip("dask")
    dask.compute(dask.delayed(_nan_call)(0), scheduler=scheduler, num_workers=1)


# A failure raised in a worker process arrives in the parent with its type and message, whatever carries it.
# Dask's process scheduler installs a reducer of its own for every exception type; the panic still arrives.
@pytest.mark.parametrize(
    "carrier, how",
    [(_in_executor, "fork"), (_in_executor, "spawn"), (_in_joblib, "loky"), (_in_joblib, "multiprocessing"),
     (_in_dask, "processes")],
    ids=["executor-fork", "executor-spawn", "joblib-loky", "joblib-multiprocessing", "dask-processes"],
)
def test_panic_crosses_process_boundaries(carrier, how):
    with warnings.catch_warnings(), pytest.raises(BaseException) as caught:
        warnings.filterwarnings("ignore", "This process .* is multi-threaded", DeprecationWarning)
        carrier(how)
    assert_panic(caught.value)


def test_pickled_panic_loads_in_an_interpreter_without_quorlix(python_subprocess):
    with pytest.raises(BaseException) as caught:
        _nan_call(0)
    data = pickle.dumps(caught.value)
    assert_panic(pickle.loads(data))
    result = python_subprocess(
        f"""
        import pickle, sys
        before = "quorlix" in sys.modules
        error = pickle.loads({data!r})
        kind = type(error)
        print(before, kind.__module__, kind.__qualname__, kind.__bases__ == (BaseException,), error.args)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split(" ", 4) == ["False", "pyo3_runtime", "PanicException", "True", f"({NAN_FAILURE!r},)\n"]


# The handler runs on the calling thread, inside the call's wait for its workers; the thread it joins
# calls in as well. Its call must not queue behind the call that is waiting for it. A handler calling in
# directly, on the waiting thread, must not wait for itself either.
@pytest.mark.parametrize("how", ["thread", "direct"])
def test_signal_handler_that_calls_in_during_a_call(python_subprocess, how):
    result = python_subprocess(
        f"""
        import signal, threading
        import numpy as np
        from quorlix import info
        x, y = np.random.default_rng(6).normal(size=(2, 8000))
        expected = info.ksg_mi(x, y, 7990, False)
        sx, sy = np.random.default_rng(7).normal(size=(2, 5000))
        small_expected = info.ksg_cmi(sx, sy, sx + sy, 3, True)
        results = []
        def call_in():
            results.append(info.ksg_cmi(sx, sy, sx + sy, 3, True))
        def handler(signum, frame):
            if "{how}" == "direct":
                call_in()
                return
            thread = threading.Thread(target=call_in)
            thread.start()
            thread.join()
        signal.signal(signal.SIGALRM, handler)
        signal.setitimer(signal.ITIMER_REAL, 0.1)
        print(info.ksg_mi(x, y, 7990, False) == expected, results == [small_expected])
        """,
        timeout=60,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["True", "True"]
