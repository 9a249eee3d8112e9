"""Check values, validation and failure behaviour of quorlix.stats."""
import math

import numpy as np
import pytest
import scipy.stats

from quorlix import stats

T, F = True, False
XOUT = "called `Result::unwrap()` on an `Err` value: XOutOfRange"
UNWRAP_NONE = "called `Option::unwrap()` on a `None` value"


def a(*values):
    return np.array(values, dtype=np.float64)


def b(*values):
    return np.array(values, dtype=bool)


def panic_message(call):
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value).__name__ == "PanicException"
    assert info.value.args == (str(info.value),)
    return str(info.value)


# Exact check values (statistic, p-value).
@pytest.mark.parametrize(
    "fn, x, y, expected",
    [
        (stats.pearson_corr, a(1, 2, 3, 4, 5), a(2, 1, 4, 3, 5), (0.7999999999999998, 0.1040880386618277)),
        (stats.pearson_corr, a(1, 1, 3, 3), a(1, 1, 3, 3), (1.0, 0.0)),
        (stats.pearson_corr, a(1, 1, 3, 3), a(-1, -1, -3, -3), (-1.0, 0.0)),
        (stats.pearson_corr, a(1, 2, 3), a(1, 0, 1), (0.0, 1.0)),
        (stats.pearson_corr, a(0.1, 0.1, 0.1), a(1, 2, 3), (0.0, 1.0)),
        (stats.spearman_corr, a(1, 2, 3), a(10, 20, 30), (0.9999999999999998, 1.3415758504109476e-08)),
        (stats.spearman_corr, a(1, 2, 3, 4, 5), a(2, 1, 4, 3, 5), (0.7999999999999998, 0.1040880386618277)),
        (stats.spearman_corr, a(1, 2, 3, 4, 5), a(5, 6, 7, 8, 7), (0.8207826816681233, 0.0885870053135438)),
        (stats.phi_coef, b(T, F, T, F), b(T, F, T, F), (1.0, 0.04550026389635864)),
        (stats.phi_coef, b(T, F, T, F), b(F, T, F, T), (-1.0, 0.04550026389635864)),
        (stats.phi_coef, b(T, T, F, F), b(T, F, T, F), (0.0, 1.0)),
        (stats.phi_coef, b(T, T, F, F, T), b(T, F, F, F, T), (0.6666666666666666, 0.1360371281141436)),
    ],
)
def test_check_values(fn, x, y, expected):
    result = fn(x, y)
    assert type(result) is tuple and len(result) == 2
    assert result == expected


def test_pearson_exactly_linear_data_is_not_rounded_to_one():
    x = a(1, 2, 3, 4, 5)
    r, p = stats.pearson_corr(x, 2 * x + 1)
    assert r == 0.9999999999999998
    assert 0.0 <= p < 1e-6


@pytest.mark.parametrize("fn", [stats.pearson_corr, stats.spearman_corr], ids=lambda f: f.__name__)
def test_n_equal_three_is_accepted(fn):
    r, p = fn(a(1, 2, 4), a(3, 1, 2))
    assert -1.0 <= r <= 1.0 and 0.0 <= p <= 1.0


# Rounding pushes |r| marginally above 1: the p-value is 0.0 instead of an internal failure.
def test_pearson_r_rounded_above_one_gives_p_zero():
    x = a(0.1, 0.2, 0.3, 0.4)
    r, p = stats.pearson_corr(x, x.copy())
    assert r == 1.0000000000000002
    assert p == 0.0
    r, p = stats.pearson_corr(x, -x)
    assert r == -1.0000000000000002 and p == 0.0


def test_spearman_rho_rounded_above_one_gives_p_zero():
    x = np.arange(17, dtype=np.float64)
    rho, p = stats.spearman_corr(x, x.copy())
    assert rho == 1.0000000000000002
    assert p == 0.0


@pytest.mark.parametrize("n", range(3, 200))
def test_spearman_monotone_data_never_fails(n):
    x = np.arange(n, dtype=np.float64)
    rho, p = stats.spearman_corr(x, np.exp(x / n))
    assert abs(rho - 1.0) <= 4.5e-16
    assert 0.0 <= p < 1e-7


@pytest.mark.parametrize("fn", [stats.pearson_corr, stats.spearman_corr], ids=lambda f: f.__name__)
@pytest.mark.parametrize(
    "x, y, message",
    [
        (a(1, 2, 3), a(1, 2, 3, 4), "x and y must have same length"),
        (a(), a(1), "x and y must have same length"),
        (a(), a(), "array must contain >= 3 elements"),
        (a(1, 2), a(1, 2), "array must contain >= 3 elements"),
        (a(2, 2, 2), a(1, 2, 3), "arrays must have nonzero variance"),
        (a(1, 2, 3), a(5, 5, 5), "arrays must have nonzero variance"),
        (a(1e300, 1e300, 1e300), a(1e200, 2e200, 3e200), "arrays must have nonzero variance"),
    ],
)
def test_float_validation(fn, x, y, message):
    with pytest.raises(ValueError) as info:
        fn(x, y)
    assert info.value.args == (message,)


def test_pearson_constant_x_fails_even_with_nan_y():
    with pytest.raises(ValueError, match="^arrays must have nonzero variance$"):
        stats.pearson_corr(a(2, 2, 2), a(1, math.nan, 3))


@pytest.mark.parametrize(
    "x, y, message",
    [
        (b(T, F, T), b(T, F, T, F), "x and y must have same length"),
        (b(T, F), b(T, F), "array must contain >= 3 elements"),
        (b(), b(), "array must contain >= 3 elements"),
        (b(T, T, T), b(T, F, T), "phi is undefined: 1+ marginal totals are zero"),
        (b(F, F, F, F), b(T, F, T, F), "phi is undefined: 1+ marginal totals are zero"),
        (b(T, F, T, F), b(T, T, T, T), "phi is undefined: 1+ marginal totals are zero"),
    ],
)
def test_phi_validation(x, y, message):
    with pytest.raises(ValueError) as info:
        stats.phi_coef(x, y)
    assert info.value.args == (message,)


@pytest.mark.parametrize("position", [0, 2, 4])
@pytest.mark.parametrize("bad", [math.nan, math.inf, -math.inf])
def test_pearson_nan_or_infinity_is_an_internal_failure(position, bad):
    x = a(1, 2, 3, 4, 5)
    x[position] = bad
    assert panic_message(lambda: stats.pearson_corr(x, a(2, 1, 4, 3, 5))) == XOUT
    assert panic_message(lambda: stats.pearson_corr(a(2, 1, 4, 3, 5), x)) == XOUT


@pytest.mark.parametrize("position", [0, 2, 4])
def test_spearman_nan_is_an_internal_failure_never_a_variance_error(position):
    x = a(1, 2, 3, 4, 5)
    x[position] = math.nan
    assert panic_message(lambda: stats.spearman_corr(x, a(2, 1, 4, 3, 5))) == UNWRAP_NONE
    assert panic_message(lambda: stats.spearman_corr(a(7, 7, 7, 7, 7), x)) == UNWRAP_NONE


def test_spearman_treats_infinities_and_signed_zeros_as_ordinary_values():
    rho, _ = stats.spearman_corr(a(math.inf, 1.0, math.inf, -0.0, 0.0), a(5, 1, 4, 2, 3))
    expected, _ = stats.pearson_corr(a(4.5, 3.0, 4.5, 1.5, 1.5), a(5, 1, 4, 2, 3))
    assert rho == expected


def test_spearman_equals_pearson_of_average_ranks():
    rng = np.random.default_rng(5)
    x = np.round(rng.normal(size=1000), 1)
    y = np.round(x + rng.normal(size=1000), 1)
    rx = scipy.stats.rankdata(x)
    ry = scipy.stats.rankdata(y)
    assert stats.spearman_corr(x, y) == stats.pearson_corr(rx, ry)


@pytest.mark.parametrize("seed", range(5))
def test_agreement_with_scipy(seed):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=200)
    y = 0.3 * x + rng.normal(size=200)
    r, p = stats.pearson_corr(x, y)
    ref = scipy.stats.pearsonr(x, y)
    assert r == pytest.approx(ref[0], rel=1e-12, abs=1e-14)
    assert p == pytest.approx(ref[1], rel=1e-8)
    rho, p = stats.spearman_corr(x, y)
    ref = scipy.stats.spearmanr(x, y)
    assert rho == pytest.approx(ref[0], rel=1e-12, abs=1e-14)
    assert p == pytest.approx(ref[1], rel=1e-8)
    bx, by = x > 0, y > 0.2
    phi, p = stats.phi_coef(bx, by)
    table = np.array([[np.sum(bx & by), np.sum(bx & ~by)], [np.sum(~bx & by), np.sum(~bx & ~by)]])
    chi2, p_ref, _, _ = scipy.stats.chi2_contingency(table, correction=False)
    assert phi * phi * 200 == pytest.approx(chi2, rel=1e-12)
    assert p == pytest.approx(p_ref, rel=1e-8)


@pytest.mark.parametrize(
    "scale_x, scale_y",
    [(1e154, 1.0), (1e154, 1e154), (1e-170, 1.0), (1e-170, 1e-170), (1e300, 1e-300), (-1e200, 1.0)],
)
def test_pearson_of_finite_data_whose_sums_overflow_or_underflow(scale_x, scale_y):
    rng = np.random.default_rng(0)
    x = rng.normal(size=100)
    y = 0.3 * x + rng.normal(size=100)
    want = scipy.stats.pearsonr(x, y)
    r, p = stats.pearson_corr(x * scale_x, y * scale_y)
    assert r == pytest.approx(math.copysign(want[0], scale_x), abs=1e-12)
    assert p == pytest.approx(want[1], rel=1e-8)


def test_results_are_identical_from_run_to_run():
    rng = np.random.default_rng(9)
    x, y = rng.normal(size=100_000), rng.normal(size=100_000)
    assert len({stats.spearman_corr(x, y) for _ in range(3)}) == 1
    assert len({stats.pearson_corr(x, y) for _ in range(3)}) == 1
