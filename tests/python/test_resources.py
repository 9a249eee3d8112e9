"""Huge inputs fail cleanly, and repeated calls leak neither memory nor references."""

import gc
import sys

import numpy as np
import pytest
from conftest import SANITIZED
from quorlix import info, stats

HUGE_CALLS = {
    "kl_h": "info.kl_h(h, 3)",
    "ksg_mi": "info.ksg_mi(h, h, 3, False)",
    "ksg_cmi": "info.ksg_cmi(h, h, h, 3, True)",
    "ksg_ii": "info.ksg_ii(h, h, h, 3, False)",
    "spearman_corr": "stats.spearman_corr(h, h)",
}


# Reading 2**40 elements would take the better part of an hour, so a prompt answer shows that the copy
# is allocated before any element is read. The child interpreter bounds the damage if that breaks.
@pytest.mark.not_under_sanitizer("the sanitizer's allocator aborts on an impossible size instead of failing")
@pytest.mark.parametrize("name", sorted(HUGE_CALLS))
def test_huge_zero_stride_view_raises_memory_error_promptly(python_subprocess, name):
    result = python_subprocess(
        f"""
        import time
        import numpy as np
        from quorlix import info, stats
        h = np.lib.stride_tricks.as_strided(np.zeros(1), shape=(2**40,), strides=(0,))
        started = time.monotonic()
        try:
            {HUGE_CALLS[name]}
            print("returned")
        except MemoryError:
            print("MemoryError", time.monotonic() - started < 1.0)
        print(info.kl_h(np.arange(10.0), 2) == info.kl_h(np.arange(10.0), 2))
        """,
        timeout=60,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["MemoryError", "True", "True"]


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


X = np.random.default_rng(0).normal(size=20)
Y = X + np.random.default_rng(1).normal(size=20)
Z = np.random.default_rng(2).normal(size=20)
BX, BY = X > 0, Y > 0
NAN = X.copy()
NAN[4] = np.nan
HUGE = np.lib.stride_tricks.as_strided(np.zeros(1), shape=(2**40,), strides=(0,))


def info_failures(call, arrays):
    """One call per failure kind of an info estimator: binding, conversion, overflow, validation, internal
    failure and allocation."""
    return (
        [
            lambda: call(*arrays),  # k and normalize missing
            lambda: call(*arrays[:-1], [1.0] * 20, 3, True),
            lambda: call(*arrays, -1, True),
            lambda: call(*arrays, 3, 1),
            lambda: call(*arrays, 20, True),
            lambda: call(NAN, *arrays[1:], 3, True),
        ]
        + ([] if SANITIZED else [lambda: call(*[HUGE] * len(arrays), 3, False)])
    )


INFO_KINDS = {"TypeError", "OverflowError", "ValueError", "PanicException"} | (
    set() if SANITIZED else {"MemoryError"}
)
# name: (a successful call, failing calls, the exception types they raise)
CALLS = {
    "pearson_corr": (
        lambda: stats.pearson_corr(X, Y),
        [
            lambda: stats.pearson_corr(X, Y[:5]),
            lambda: stats.pearson_corr(X, y=BX),
            lambda: stats.pearson_corr(NAN, Y),
        ],
        {"ValueError", "TypeError", "PanicException"},
    ),
    "spearman_corr": (
        lambda: stats.spearman_corr(X, Y),
        [
            lambda: stats.spearman_corr(NAN, Y),
            lambda: stats.spearman_corr(X),
            lambda: stats.spearman_corr(X, X[:2]),
        ]
        + ([] if SANITIZED else [lambda: stats.spearman_corr(HUGE, HUGE)]),
        {"PanicException", "TypeError", "ValueError"} | (set() if SANITIZED else {"MemoryError"}),
    ),
    "phi_coef": (
        lambda: stats.phi_coef(BX, BY),
        [
            lambda: stats.phi_coef(BX, X),
            lambda: stats.phi_coef(BX, BX & False),
            lambda: stats.phi_coef(BX, BY, BX),
        ],
        {"TypeError", "ValueError"},
    ),
    "kl_h": (
        lambda: info.kl_h(X, 3),
        [
            lambda: info.kl_h(X, 30),
            lambda: info.kl_h(NAN, 3),
            lambda: info.kl_h(X, k=2.0),
            lambda: info.kl_h(X, -2),
        ]
        + ([] if SANITIZED else [lambda: info.kl_h(HUGE, 3)]),
        INFO_KINDS,
    ),
    "ksg_mi": (lambda: info.ksg_mi(X, Y, 3, True), info_failures(info.ksg_mi, [X, Y]), INFO_KINDS),
    "ksg_cmi": (lambda: info.ksg_cmi(X, Y, Z, 3, True), info_failures(info.ksg_cmi, [X, Y, Z]), INFO_KINDS),
    "ksg_ii": (lambda: info.ksg_ii(X, Y, Z, 3, True), info_failures(info.ksg_ii, [X, Y, Z]), INFO_KINDS),
}
ARRAYS = (X, Y, Z, BX, BY, NAN, HUGE)
CALL_COUNT = 100_000
# 100 000 leaked objects, or native blocks, of even 32 bytes would show as more than 3 MB.
RSS_GROWTH_BOUND = 2 * 1024 * 1024


def run_calls(ok, failing, count):
    """count successful and count failing calls; returns the names of the exception types raised."""
    kinds = set()
    for i in range(count):
        ok()
        try:
            failing[i % len(failing)]()
        except BaseException as e:  # noqa: BLE001 - every failure kind is part of the loop
            kinds.add(type(e).__name__)
    return kinds


@pytest.mark.not_under_sanitizer(
    "the sanitizer's quarantine holds freed memory, so resident size always grows"
)
@pytest.mark.parametrize("name", sorted(CALLS))
def test_repeated_calls_leak_nothing(name):
    ok, failing, expected_kinds = CALLS[name]
    run_calls(ok, failing, 2000)  # warm caches and allocator pools
    gc.collect()
    refs = [sys.getrefcount(arr) for arr in ARRAYS]
    before = rss_bytes()
    kinds = run_calls(ok, failing, CALL_COUNT)
    gc.collect()
    after = rss_bytes()
    assert kinds == expected_kinds
    assert [sys.getrefcount(arr) for arr in ARRAYS] == refs
    assert after - before < RSS_GROWTH_BOUND, f"RSS grew by {after - before} bytes"


@pytest.mark.parametrize("name", sorted(CALLS))
def test_argument_reference_counts_survive_every_outcome(name):
    ok, failing, expected_kinds = CALLS[name]
    refs = [sys.getrefcount(arr) for arr in ARRAYS]
    kinds = set()
    for call in [ok] + failing:
        try:
            call()
        except BaseException as e:  # noqa: BLE001
            kinds.add(type(e).__name__)
            del e
        assert [sys.getrefcount(arr) for arr in ARRAYS] == refs
    assert kinds == expected_kinds
