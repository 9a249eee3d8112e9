"""Check values, validation, repeated values, NaN and brute-force agreement of quorlix.info."""
import math

import numpy as np
import pytest

import reference as ref
from quorlix import info

UNWRAP_NONE = "called `Option::unwrap()` on a `None` value"


def a(*values):
    return np.array(values, dtype=np.float64)


def panic_message(call):
    with pytest.raises(BaseException) as excinfo:
        call()
    assert type(excinfo.value).__name__ == "PanicException"
    return str(excinfo.value)


def k_message(k, n):
    return f"k must satisfy 1 ≤ k < n (got k={k}, n={n})"


# ---------------------------------------------------------------- validation


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: info.kl_h(a(), 0), "arrays must be non-empty"),
        (lambda: info.kl_h(a(1, 2, 3, 4, 5), 0), k_message(0, 5)),
        (lambda: info.kl_h(a(1, 2, 3, 4, 5), 5), k_message(5, 5)),
        (lambda: info.kl_h(a(1), 1), k_message(1, 1)),
        (lambda: info.kl_h(a(1), 0), k_message(0, 1)),
        (lambda: info.kl_h(a(1, 2), 2**64 - 1), k_message(2**64 - 1, 2)),
        (lambda: info.ksg_mi(a(1, 2, 3), a(), 1, False), "x and y must have same length"),
        (lambda: info.ksg_mi(a(), a(), 0, False), "arrays must be non-empty"),
        (lambda: info.ksg_mi(a(0, 1, 2, 3), a(0, 1, 2, 3), 4, False), k_message(4, 4)),
        (lambda: info.ksg_mi(a(0), a(0), 1, True), k_message(1, 1)),
        (lambda: info.ksg_cmi(a(1, 2, 3), a(1, 2, 3), a(), 1, False), "x, y and z must have same length"),
        (lambda: info.ksg_cmi(a(1, 2, 3), a(1, 2), a(1, 2, 3), 1, False), "x, y and z must have same length"),
        (lambda: info.ksg_cmi(a(), a(), a(), 0, False), "arrays must be non-empty"),
        (lambda: info.ksg_cmi(a(0, 1, 2, 3), a(0, 1, 2, 3), a(0, 1, 2, 3), 4, False), k_message(4, 4)),
        (lambda: info.ksg_cmi(a(0, 1, 2, 3), a(0, 1, 2, 3), a(0, 1, 2, 3), 0, False), k_message(0, 4)),
        (lambda: info.ksg_ii(a(1, 2, 3), a(1, 2, 3), a(), 1, False), "x, y and z must have same length"),
        (lambda: info.ksg_ii(a(), a(), a(), 5, True), "arrays must be non-empty"),
        (lambda: info.ksg_ii(a(0, 1, 2, 3), a(0, 1, 2, 3), a(0, 1, 2, 3), 4, True), k_message(4, 4)),
    ],
)
def test_validation_messages_and_order(call, message):
    with pytest.raises(ValueError) as excinfo:
        call()
    assert excinfo.value.args == (message,)


def test_validation_comes_before_the_nan_check():
    with pytest.raises(ValueError):
        info.ksg_mi(a(math.nan, 1), a(1, 2, 3), 1, False)
    with pytest.raises(ValueError):
        info.kl_h(a(math.nan, 1.0), 2)


def test_largest_valid_k_is_accepted():
    x = a(0, 1, 3, 7, 8)
    assert info.kl_h(x, 4) == ref.kl_h(x, 4)
    assert info.ksg_mi(a(0, 1, 2, 3), a(3, 1, 2, 0), 3, False) == ref.ksg_mi(a(0, 1, 2, 3), a(3, 1, 2, 0), 3, False)


# ---------------------------------------------------------------- check values


def test_kl_h_check_values():
    assert info.kl_h(a(0, 1, 3), 1) == ref.kl_h(a(0, 1, 3), 1)
    assert info.kl_h(a(0, 1, 3), 1) == pytest.approx(2.424196240746594, abs=1e-15)
    h = info.kl_h(a(5, 5, 5, 5), 2)
    assert h == ref.kl_h(a(5, 5, 5, 5), 2)
    assert h == pytest.approx(-14.5916, abs=1e-4)


@pytest.mark.parametrize(
    "x, y, k, raw, normalized",
    [
        (a(0, 1, 2, 3, 4), a(0, 1, 2, 3, 4), 1, 2.083333333333333, 0.7503504249025),
        (a(0, 1, 2, 3, 4), a(3, 0, 4, 1, 2), 1, 0.5833333333333331, 0.21009811897269998),
        (a(0, 0, 0, 1, 1, 1), a(0, 0, 0, 1, 1, 1), 2, 0.28333333333333344, 0.020035429516867518),
    ],
)
def test_ksg_mi_check_values(x, y, k, raw, normalized):
    assert info.ksg_mi(x, y, k, False) == pytest.approx(raw, abs=2e-15)
    assert info.ksg_mi(x, y, k, True) == pytest.approx(normalized, abs=2e-13)
    assert info.ksg_mi(x, y, k, False) == ref.ksg_mi(x, y, k, False)
    assert info.ksg_mi(x, y, k, True) == ref.ksg_mi(x, y, k, True)


@pytest.mark.parametrize(
    "x, y, z, k, raw, normalized",
    [
        (a(0, 1, 2, 3, 4), a(0, 1, 2, 3, 4), a(0, 0, 0, 0, 0), 1, 2.083333333333333, 0.12392500389248033),
        (a(0, 1, 2, 3, 4), a(3, 0, 4, 1, 2), a(0, 0, 0, 0, 0), 1, 0.5833333333333333, 0.034699001089894495),
        (a(1, 0, 1, 2, 1, 1), a(0, 3, 0, 0, 2, 2), a(1, 1, 0, 0, 0, 0), 1, 0.13888888888888895, 0.13888888888888895),
    ],
)
def test_ksg_cmi_check_values(x, y, z, k, raw, normalized):
    assert info.ksg_cmi(x, y, z, k, False) == pytest.approx(raw, abs=2e-15)
    assert info.ksg_cmi(x, y, z, k, True) == pytest.approx(normalized, abs=2e-15)
    assert info.ksg_cmi(x, y, z, k, False) == ref.ksg_cmi(x, y, z, k, False)
    assert info.ksg_cmi(x, y, z, k, True) == ref.ksg_cmi(x, y, z, k, True)


def test_ksg_cmi_of_identical_samples_is_zero_up_to_rounding():
    x = a(0, 1, 2, 3, 4)
    assert 0.0 <= info.ksg_cmi(x, x, x, 1, False) < 1e-15


@pytest.mark.parametrize(
    "x, y, z, raw, normalized",
    [
        (a(0, 1, 2, 3, 4), a(0, 1, 2, 3, 4), a(0, 1, 2, 3, 4), -2.083333333333333, -1.0),
        (a(0, 1, 2, 3, 4), a(3, 0, 4, 1, 2), a(3, 1, 6, 4, 6), -0.08333333333333315, -0.07692307692307677),
        (a(0, 1, 2, 3, 4, 5), a(2, 5, 0, 3, 1, 4), a(2, 6, 2, 6, 5, 9), 1.1333333333333335, 1.0),
    ],
)
def test_ksg_ii_check_values(x, y, z, raw, normalized):
    assert info.ksg_ii(x, y, z, 1, False) == pytest.approx(raw, abs=2e-15)
    assert info.ksg_ii(x, y, z, 1, True) == pytest.approx(normalized, abs=2e-15)
    assert info.ksg_ii(x, y, z, 1, False) == ref.ksg_ii(x, y, z, 1, False)
    assert info.ksg_ii(x, y, z, 1, True) == ref.ksg_ii(x, y, z, 1, True)


def test_ksg_ii_conditioning_on_a_constant_is_zero_up_to_rounding():
    x = a(0, 1, 2, 3, 4)
    z = a(0, 0, 0, 0, 0)
    assert abs(info.ksg_ii(x, x, z, 1, False)) < 1e-15
    assert abs(info.ksg_ii(x, x, z, 1, True)) < 1e-15


def test_ksg_ii_synergy_normalizes_to_exactly_one():
    x, y = a(0, 1, 2, 3, 4, 5), a(2, 5, 0, 3, 1, 4)
    assert info.ksg_mi(x, y, 1, False) == 0.0
    assert info.ksg_ii(x, y, x + y, 1, True) == 1.0


# ---------------------------------------------------------------- brute-force agreement


def datasets():
    rng = np.random.default_rng(42)
    n = 300
    x = rng.normal(size=n)
    yield "continuous", x, x + rng.normal(size=n), rng.normal(size=n) + 0.5 * x
    yield "integers", rng.integers(0, 5, n).astype(float), rng.integers(0, 4, n).astype(float), rng.integers(0, 3, n).astype(float)
    s = np.sort(rng.normal(size=n))
    yield "sorted", s, np.sort(rng.normal(size=n)), s * 2.0 + 1.0
    t = rng.integers(0, 3, n).astype(float)
    yield "heavy-ties", t, t.copy(), rng.integers(0, 2, n).astype(float)
    u = 1.0 + rng.integers(0, 2**20, n) / 2**20
    yield "dyadic", u, 1.0 + rng.integers(0, 2**20, n) / 2**20, 1.0 + np.floor(u * 8) / 8


DATASETS = list(datasets())


@pytest.mark.parametrize("name, x, y, z", DATASETS, ids=[d[0] for d in DATASETS])
@pytest.mark.parametrize("k", [1, 3, 7])
def test_kl_h_matches_brute_force_bit_for_bit(name, x, y, z, k):
    assert info.kl_h(x, k) == ref.kl_h(x, k)
    assert info.kl_h(z, k) == ref.kl_h(z, k)


@pytest.mark.parametrize("name, x, y, z", DATASETS, ids=[d[0] for d in DATASETS])
@pytest.mark.parametrize("k", [1, 3, 7])
@pytest.mark.parametrize("normalize", [False, True])
def test_estimators_match_brute_force(name, x, y, z, k, normalize):
    assert info.ksg_mi(x, y, k, normalize) == ref.ksg_mi(x, y, k, normalize)
    assert info.ksg_cmi(x, y, z, k, normalize) == ref.ksg_cmi(x, y, z, k, normalize)
    assert info.ksg_ii(x, y, z, k, normalize) == ref.ksg_ii(x, y, z, k, normalize)


def test_sums_over_several_pieces_match_the_fixed_split():
    rng = np.random.default_rng(8)
    n = 5000
    x = rng.normal(size=n)
    y = np.sin(x) + 0.2 * rng.normal(size=n)
    z = rng.normal(size=n)
    assert info.ksg_mi(x, y, 3, False) == ref.ksg_mi(x, y, 3, False)
    assert info.ksg_ii(x, y, z, 2, False) == ref.ksg_ii(x, y, z, 2, False)


# ---------------------------------------------------------------- identities and determinism


def test_conditioning_on_a_constant_equals_mutual_information():
    # On a dyadic grid the rounded marginal bounds and the tree's distance test agree exactly.
    rng = np.random.default_rng(3)
    x = rng.integers(0, 1024, 500) / 1024
    y = np.round((x + rng.normal(size=500)) * 1024) / 1024
    assert info.ksg_cmi(x, y, np.zeros(500), 3, False) == pytest.approx(info.ksg_mi(x, y, 3, False), abs=1e-12)


def test_swapping_x_and_y_changes_only_the_last_bits():
    rng = np.random.default_rng(4)
    x, y, z = rng.normal(size=(3, 800))
    y = y + x
    assert info.ksg_mi(y, x, 3, False) == pytest.approx(info.ksg_mi(x, y, 3, False), abs=1e-12)
    assert info.ksg_cmi(y, x, z, 3, True) == pytest.approx(info.ksg_cmi(x, y, z, 3, True), abs=1e-12)
    assert info.ksg_ii(y, x, z, 3, False) == pytest.approx(info.ksg_ii(x, y, z, 3, False), abs=1e-12)


def test_interaction_is_cmi_minus_mi_when_neither_is_clamped():
    rng = np.random.default_rng(6)
    x = rng.normal(size=700)
    y = x + rng.normal(size=700)
    z = x + y + 0.5 * rng.normal(size=700)
    mi = info.ksg_mi(x, y, 3, False)
    cmi = info.ksg_cmi(x, y, z, 3, False)
    assert mi > 0 and cmi > 0
    assert info.ksg_ii(x, y, z, 3, False) == pytest.approx(cmi - mi, abs=1e-12)


def test_repeated_runs_give_identical_bits():
    rng = np.random.default_rng(10)
    x, y, z = rng.normal(size=(3, 50_000))
    for fn, args in [(info.ksg_mi, (x, y, 3, False)), (info.ksg_cmi, (x, y, z, 3, False)), (info.ksg_ii, (x, y, z, 3, True))]:
        assert len({fn(*args) for _ in range(3)}) == 1


@pytest.mark.parametrize("view", [slice(None, None, 2), slice(None, None, -1), slice(3, None, 5)])
def test_strided_and_reversed_views_match_contiguous_copies(view):
    rng = np.random.default_rng(12)
    x, y, z = rng.normal(size=(3, 900))
    vx, vy, vz = x[view], y[view], z[view]
    cx, cy, cz = (np.ascontiguousarray(v) for v in (vx, vy, vz))
    assert info.kl_h(vx, 3) == info.kl_h(cx, 3)
    assert info.ksg_mi(vx, vy, 3, True) == info.ksg_mi(cx, cy, 3, True)
    assert info.ksg_cmi(vx, vy, vz, 3, True) == info.ksg_cmi(cx, cy, cz, 3, True)
    assert info.ksg_ii(vx, vy, vz, 3, True) == info.ksg_ii(cx, cy, cz, 3, True)


# ---------------------------------------------------------------- repeated values, NaN, infinities


def test_repeated_values_do_not_fail():
    x = np.repeat(a(0.0, 1.0, 2.5), 100)
    y = np.tile(a(3.0, 4.0), 150)
    z = np.repeat(a(7.0), 300)
    assert info.kl_h(x, 3) == ref.kl_h(x, 3)
    assert info.kl_h(z, 5) == ref.kl_h(z, 5)
    assert info.ksg_mi(x, y, 3, True) == ref.ksg_mi(x, y, 3, True)
    assert info.ksg_cmi(x, y, z, 3, True) == ref.ksg_cmi(x, y, z, 3, True)
    assert info.ksg_ii(x, y, z, 3, True) == ref.ksg_ii(x, y, z, 3, True)


def test_thirty_three_equal_values():
    x = np.full(33, 2.0)
    expected = ref.kl_h(x, 3)
    assert info.kl_h(x, 3) == expected
    assert expected == pytest.approx(math.log(1e-7) + ref.digamma(33.0) - ref.digamma(3.0) + math.log(2), abs=1e-12)


@pytest.mark.parametrize("which", [0, 1, 2])
def test_nan_in_any_input_is_an_internal_failure(which):
    rng = np.random.default_rng(13)
    arrays = [rng.normal(size=50) for _ in range(3)]
    arrays[which][17] = math.nan
    x, y, z = arrays
    assert panic_message(lambda: info.ksg_cmi(x, y, z, 3, False)) == UNWRAP_NONE
    assert panic_message(lambda: info.ksg_ii(x, y, z, 3, True)) == UNWRAP_NONE
    if which < 2:
        assert panic_message(lambda: info.ksg_mi(x, y, 3, False)) == UNWRAP_NONE
    assert panic_message(lambda: info.kl_h(arrays[which], 3)) == UNWRAP_NONE


def test_infinite_values_do_not_crash():
    rng = np.random.default_rng(14)
    x, y, z = rng.normal(size=(3, 200))
    x[[3, 50]] = math.inf
    y[7] = -math.inf
    z[[9, 10, 11]] = math.inf
    for value in (
        info.kl_h(x, 3),
        info.ksg_mi(x, y, 3, True),
        info.ksg_mi(x, y, 3, False),
        info.ksg_cmi(x, y, z, 3, True),
        info.ksg_ii(x, y, z, 3, True),
    ):
        assert isinstance(value, float)


@pytest.mark.parametrize("k", [1, 3, 7])
def test_one_dimensional_reference_agrees_with_brute_force(k):
    rng = np.random.default_rng(k)
    x = np.round(rng.normal(size=400), 1)
    assert ref.kl_h_1d(x, k) == ref.kl_h(x, k)


@pytest.mark.parametrize(
    "make",
    [
        lambda: np.arange(10**6, dtype=np.float64),
        lambda: np.round(np.random.default_rng(0).normal(size=10**6)),
        lambda: np.arange(10**6, dtype=np.float64)[::-1] % 1000,
    ],
    ids=["arange", "rounded-normal", "sawtooth"],
)
def test_large_sorted_and_repeated_inputs_give_the_formula_value(make):
    x = make()
    assert info.kl_h(x, 3) == ref.kl_h_1d(x, 3)


# ---------------------------------------------------------------- against scikit-learn's KSG estimator


@pytest.mark.parametrize("k", [3, 5])
def test_ksg_mi_agrees_with_scikit_learn(k):
    mi_module = pytest.importorskip("sklearn.feature_selection._mutual_info")
    rng = np.random.default_rng(k)
    n = 2000
    # Values on a dyadic grid in [1, 2): coordinate differences and the bounds x ± eps are exact, so both
    # estimators count the same neighbours and differ only through their digamma functions.
    x = 1.0 + rng.integers(0, 2**20, n) / 2**20
    y = 1.0 + np.floor(((x - 1.0) + 0.3 * rng.random(n)) % 1.0 * 2**20) / 2**20
    ours = info.ksg_mi(x, y, k, False)
    theirs = mi_module._compute_mi_cc(x, y, k)
    assert ours == pytest.approx(theirs, abs=1e-8)
