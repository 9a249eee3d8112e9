"""The module under fork(), multiprocessing and concurrent Python threads."""
import multiprocessing
import os
import threading

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


def test_forked_child_computes_every_estimator():
    expected = every_result()  # the pool has run work before the fork
    read_fd, write_fd = os.pipe()
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
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0
    assert answer == b"ok"
    assert every_result() == expected  # the parent's pool still works


def _child_result(seed):
    return every_result(seed)


def test_multiprocessing_fork_pool():
    context = multiprocessing.get_context("fork")
    with context.Pool(3) as workers:
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
