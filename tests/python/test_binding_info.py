"""Argument binding and the count and flag conversions, exercised through the info functions."""
import numpy as np
import pytest

from quorlix import info

rng = np.random.default_rng(1)
X = rng.normal(size=40)
Y = X + rng.normal(size=40)
Z = rng.normal(size=40)


def test_info_registration_order():
    assert info.__all__ == ["ksg_mi", "ksg_cmi", "ksg_ii", "kl_h"]


@pytest.mark.parametrize(
    "name, signature, doc",
    [
        ("ksg_mi", "(x, y, k, normalize)", None),
        ("ksg_cmi", "(x, y, z, k, normalize)", None),
        ("ksg_ii", "(x, y, z, k, normalize)", None),
        ("kl_h", "(x, k)", "Python-usable scripts"),
    ],
)
def test_info_function_metadata(name, signature, doc):
    fn = getattr(info, name)
    assert fn.__name__ == fn.__qualname__ == name
    assert fn.__module__ == "info"
    assert fn.__self__ is info
    assert fn.__text_signature__ == signature
    assert fn.__doc__ == doc


def test_kl_h_keyword_forms_are_the_same_call():
    expected = info.kl_h(X, 3)
    assert info.kl_h(x=X, k=3) == expected
    assert info.kl_h(X, k=3) == expected
    assert info.kl_h(k=3, x=X) == expected


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: info.kl_h(X, 3, k=3), "kl_h() got multiple values for argument 'k'"),
        (lambda: info.kl_h(X), "kl_h() missing 1 required positional argument: 'k'"),
        (lambda: info.kl_h(X, 3, 4), "kl_h() takes 2 positional arguments but 3 were given"),
        (lambda: info.kl_h(X, 3, n=1), "kl_h() got an unexpected keyword argument 'n'"),
        (lambda: info.ksg_mi(X, Y, 3, False, 1), "ksg_mi() takes 4 positional arguments but 5 were given"),
        (lambda: info.ksg_cmi(X), "ksg_cmi() missing 4 required positional arguments: 'y', 'z', 'k', and 'normalize'"),
        (lambda: info.ksg_cmi(X, normalize=True), "ksg_cmi() missing 3 required positional arguments: 'y', 'z', and 'k'"),
        (lambda: info.ksg_ii(X, Y, Z, normalize=False), "ksg_ii() missing 1 required positional argument: 'k'"),
        (lambda: info.ksg_ii(), "ksg_ii() missing 5 required positional arguments: 'x', 'y', 'z', 'k', and 'normalize'"),
        (lambda: info.ksg_mi(X, Y, k=3), "ksg_mi() missing 1 required positional argument: 'normalize'"),
        (lambda: info.ksg_mi(X, k=3, normalize=False), "ksg_mi() missing 1 required positional argument: 'y'"),
    ],
)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as excinfo:
        call()
    assert str(excinfo.value) == message


def test_negative_k_is_an_unprefixed_overflow_error():
    with pytest.raises(OverflowError) as excinfo:
        info.ksg_mi(X, Y, -1, False)
    assert not str(excinfo.value).startswith("argument")
    with pytest.raises(OverflowError):
        info.kl_h(X, 2**64)


@pytest.mark.parametrize("bad_k, fragment", [(2.0, "float"), ("3", "str"), (None, "NoneType"), (np.float64(3), "float")])
def test_non_integer_k_is_a_prefixed_type_error(bad_k, fragment):
    with pytest.raises(TypeError) as excinfo:
        info.ksg_mi(X, Y, bad_k, False)
    message = str(excinfo.value)
    assert message.startswith("argument 'k': ")
    assert fragment in message


@pytest.mark.parametrize("k", [np.int64(3), np.uint8(3), np.int32(3)])
def test_numpy_integer_k_is_accepted(k):
    assert info.ksg_mi(X, Y, k, False) == info.ksg_mi(X, Y, 3, False)


def test_bool_k_counts_as_one():
    assert info.kl_h(X, True) == info.kl_h(X, 1)


def test_int_subclass_k_is_accepted():
    class MyInt(int):
        pass

    assert info.kl_h(X, MyInt(3)) == info.kl_h(X, 3)


@pytest.mark.parametrize(
    "flag, message",
    [
        (1, "argument 'normalize': 'int' object is not an instance of 'bool'"),
        (0, "argument 'normalize': 'int' object is not an instance of 'bool'"),
        (None, "argument 'normalize': 'None' is not an instance of 'bool'"),
        ("yes", "argument 'normalize': 'str' object is not an instance of 'bool'"),
        (np.int64(1), "argument 'normalize': 'int64' object is not an instance of 'bool'"),
        (np.array([True]), "argument 'normalize': 'ndarray' object is not an instance of 'bool'"),
    ],
)
def test_normalize_must_be_a_bool(flag, message):
    with pytest.raises(TypeError) as excinfo:
        info.ksg_mi(X, Y, 3, flag)
    assert str(excinfo.value) == message


@pytest.mark.parametrize("flag", [True, False])
def test_numpy_bool_scalar_is_accepted(flag):
    assert info.ksg_mi(X, Y, 3, np.bool_(flag)) == info.ksg_mi(X, Y, 3, flag)
    assert info.ksg_cmi(X, Y, Z, 3, np.bool_(flag)) == info.ksg_cmi(X, Y, Z, 3, flag)


def test_arrays_are_converted_before_k_and_normalize():
    with pytest.raises(TypeError, match=r"^argument 'z': "):
        info.ksg_ii(X, Y, [1.0], -1, 1)
    with pytest.raises(OverflowError):
        info.ksg_ii(X, Y, Z, -1, 1)
    with pytest.raises(TypeError, match=r"^argument 'normalize': "):
        info.ksg_ii(X, Y, Z, 3, 1)


@pytest.mark.parametrize("fn, arrays", [(info.kl_h, 1), (info.ksg_mi, 2), (info.ksg_cmi, 3), (info.ksg_ii, 3)])
def test_float32_input_is_rejected(fn, arrays):
    args = [X, Y, Z][:arrays]
    args[-1] = args[-1].astype(np.float32)
    tail = (3,) if fn is info.kl_h else (3, False)
    name = "xyz"[arrays - 1]
    with pytest.raises(TypeError) as excinfo:
        fn(*args, *tail)
    assert str(excinfo.value) == f"argument '{name}': 'ndarray' object is not an instance of 'ndarray'"
