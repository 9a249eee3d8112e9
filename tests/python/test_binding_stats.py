"""Argument binding and array conversion, exercised through the stats functions."""
import numpy as np
import pytest

from quorlix import stats

X = np.array([1.0, 2.0, 3.0, 4.0, 5.0])
Y = np.array([2.0, 1.0, 4.0, 3.0, 5.0])
B = np.array([True, True, False, False, True])
C = np.array([True, False, False, False, True])

FLOAT_FUNCTIONS = [stats.pearson_corr, stats.spearman_corr]


@pytest.mark.parametrize("fn", FLOAT_FUNCTIONS, ids=lambda f: f.__name__)
def test_keywords_and_positionals_bind_the_same(fn):
    expected = fn(X, Y)
    assert fn(x=X, y=Y) == expected
    assert fn(X, y=Y) == expected
    assert fn(y=Y, x=X) == expected


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: stats.pearson_corr(X, Y, X), "pearson_corr() takes 2 positional arguments but 3 were given"),
        (lambda: stats.pearson_corr(X, Y, z=X), "pearson_corr() got an unexpected keyword argument 'z'"),
        (lambda: stats.pearson_corr(X, x=X), "pearson_corr() got multiple values for argument 'x'"),
        (lambda: stats.pearson_corr(X), "pearson_corr() missing 1 required positional argument: 'y'"),
        (lambda: stats.spearman_corr(), "spearman_corr() missing 2 required positional arguments: 'x' and 'y'"),
        (lambda: stats.phi_coef(y=B), "phi_coef() missing 1 required positional argument: 'x'"),
        (lambda: stats.phi_coef(B, B, B, B), "phi_coef() takes 2 positional arguments but 4 were given"),
    ],
)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_unexpected_keyword_is_reported_before_missing_arguments():
    with pytest.raises(TypeError, match=r"^pearson_corr\(\) got an unexpected keyword argument 'w'$"):
        stats.pearson_corr(w=1)


def test_keyword_with_unencodable_name_is_unexpected():
    with pytest.raises(TypeError, match="unexpected keyword argument"):
        stats.pearson_corr(X, **{"y\ud800": Y})


@pytest.mark.parametrize(
    "bad, message",
    [
        ([1.0, 2.0, 3.0], "argument 'x': 'list' object is not an instance of 'ndarray'"),
        (None, "argument 'x': 'None' is not an instance of 'ndarray'"),
        (3.0, "argument 'x': 'float' object is not an instance of 'ndarray'"),
        (np.array([1.0, 2.0, 3.0], dtype=np.float32), "argument 'x': 'ndarray' object is not an instance of 'ndarray'"),
        (np.ones((3, 1)), "argument 'x': 'ndarray' object is not an instance of 'ndarray'"),
        (np.float64(1.0), "argument 'x': 'float64' object is not an instance of 'ndarray'"),
        (np.array([1.0, 2.0, 3.0], dtype=">f8"), "argument 'x': 'ndarray' object is not an instance of 'ndarray'"),
        (np.array([1, 2, 3]), "argument 'x': 'ndarray' object is not an instance of 'ndarray'"),
    ],
)
@pytest.mark.parametrize("fn", FLOAT_FUNCTIONS, ids=lambda f: f.__name__)
def test_array_conversion_errors(fn, bad, message):
    with pytest.raises(TypeError) as info:
        fn(bad, X)
    assert str(info.value) == message


def test_y_is_converted_after_x():
    with pytest.raises(TypeError, match=r"^argument 'x': "):
        stats.pearson_corr([1.0], [2.0])
    with pytest.raises(TypeError, match=r"^argument 'y': 'list' object"):
        stats.pearson_corr(X, [2.0])


def test_phi_requires_bool_arrays():
    with pytest.raises(TypeError) as info:
        stats.phi_coef(X, X)
    assert str(info.value) == "argument 'x': 'ndarray' object is not an instance of 'ndarray'"
    with pytest.raises(TypeError, match=r"^argument 'y': 'ndarray' object"):
        stats.phi_coef(B, X)


def test_ndarray_subclasses_are_accepted():
    class Sub(np.ndarray):
        pass

    assert stats.pearson_corr(X.view(Sub), Y.view(Sub)) == stats.pearson_corr(X, Y)
    assert stats.phi_coef(B.view(Sub), C) == stats.phi_coef(B, C)


def test_native_byte_order_spelled_explicitly_is_accepted():
    native = X.astype("<f8" if np.little_endian else ">f8")
    assert stats.pearson_corr(native, Y) == stats.pearson_corr(X, Y)


def test_same_array_twice_is_allowed():
    x = np.array([1.0, 1.0, 3.0, 3.0])
    assert stats.pearson_corr(x, x) == (1.0, 0.0)


def test_read_only_arrays_are_accepted_and_never_written():
    x, y = X.copy(), Y.copy()
    x.setflags(write=False)
    y.setflags(write=False)
    assert stats.spearman_corr(x, y) == stats.spearman_corr(X, Y)
    assert np.array_equal(x, X) and np.array_equal(y, Y)


@pytest.mark.parametrize("fn", FLOAT_FUNCTIONS, ids=lambda f: f.__name__)
def test_strided_and_reversed_views_match_contiguous_copies(fn):
    rng = np.random.default_rng(7)
    base_x = rng.normal(size=401)
    base_y = base_x + rng.normal(size=401)
    for view in (slice(None, None, 2), slice(None, None, -1), slice(None, None, -3), slice(5, 300, 7)):
        vx, vy = base_x[view], base_y[view]
        assert fn(vx, vy) == fn(np.ascontiguousarray(vx), np.ascontiguousarray(vy))


@pytest.mark.parametrize("fn", FLOAT_FUNCTIONS, ids=lambda f: f.__name__)
def test_byte_strides_that_are_not_a_multiple_of_eight_read_the_right_elements(fn):
    # A float64 field inside a packed record array: byte stride 9.
    rec = np.zeros(50, dtype=[("pad", "u1"), ("v", "<f8"), ("w", "<f8")])
    rng = np.random.default_rng(3)
    rec["v"] = rng.normal(size=50)
    rec["w"] = rng.normal(size=50)
    packed = np.zeros(50, dtype=np.dtype([("pad", "u1"), ("v", "<f8")], align=False))
    packed["v"] = rec["v"]
    v = packed["v"]
    assert v.strides[0] == 9
    assert fn(v, rec["w"]) == fn(np.ascontiguousarray(v), np.ascontiguousarray(rec["w"]))


def test_zero_stride_views_are_read_as_repeated_values():
    x = np.lib.stride_tricks.as_strided(np.array([2.0]), shape=(5,), strides=(0,))
    with pytest.raises(ValueError, match="^arrays must have nonzero variance$"):
        stats.pearson_corr(x, Y)
    b = np.lib.stride_tricks.as_strided(np.array([True]), shape=(4,), strides=(0,))
    with pytest.raises(ValueError, match="marginal totals are zero"):
        stats.phi_coef(b, np.array([True, False, True, False]))


def test_bool_strided_view_matches_copy():
    rng = np.random.default_rng(11)
    base = rng.random(301) < 0.4
    other = rng.random(301) < 0.6
    for view in (slice(None, None, 2), slice(None, None, -1), slice(1, None, 3)):
        assert stats.phi_coef(base[view], other[view]) == stats.phi_coef(
            np.ascontiguousarray(base[view]), np.ascontiguousarray(other[view])
        )
