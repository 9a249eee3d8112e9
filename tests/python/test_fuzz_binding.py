"""Arbitrary arguments to every function raise only the documented exception types."""
import sys

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from quorlix import info, stats

FUNCTIONS = {
    "pearson_corr": (stats.pearson_corr, ["x", "y"]),
    "spearman_corr": (stats.spearman_corr, ["x", "y"]),
    "phi_coef": (stats.phi_coef, ["x", "y"]),
    "kl_h": (info.kl_h, ["x", "k"]),
    "ksg_mi": (info.ksg_mi, ["x", "y", "k", "normalize"]),
    "ksg_cmi": (info.ksg_cmi, ["x", "y", "z", "k", "normalize"]),
    "ksg_ii": (info.ksg_ii, ["x", "y", "z", "k", "normalize"]),
}

PANIC_MESSAGES = {
    "called `Option::unwrap()` on a `None` value",
    "called `Result::unwrap()` on an `Err` value: XOutOfRange",
}


class SubArray(np.ndarray):
    pass


class SubInt(int):
    pass


def views(arr):
    """Strided, reversed, zero-stride, read-only and subclass views of a 1-D array."""
    return st.sampled_from(["plain", "reversed", "step2", "zero", "readonly", "subclass", "swapped"]).map(
        lambda kind: make_view(arr, kind)
    )


def make_view(arr, kind):
    if kind == "reversed":
        return arr[::-1]
    if kind == "step2":
        return np.repeat(arr, 2)[::2]
    if kind == "zero":
        return np.lib.stride_tricks.as_strided(arr[:1] if arr.size else np.zeros(1, arr.dtype), shape=(arr.size,), strides=(0,))
    if kind == "readonly":
        out = arr.copy()
        out.setflags(write=False)
        return out
    if kind == "subclass":
        return arr.view(SubArray)
    if kind == "swapped":
        return arr.astype(arr.dtype.newbyteorder())
    return arr


float_arrays = hnp.arrays(
    np.float64,
    st.integers(0, 40),
    elements=st.floats(allow_nan=True, allow_infinity=True, width=64)
    | st.sampled_from([0.0, -0.0, 1.0, 1.0, 2.0, 1e308, -1e-308]),
).flatmap(views)
bool_arrays = hnp.arrays(np.bool_, st.integers(0, 40)).flatmap(views)
other_arrays = hnp.arrays(
    st.sampled_from([np.float32, np.int64, np.complex128, np.uint8, np.dtype(">f8")]),
    hnp.array_shapes(min_dims=0, max_dims=3, max_side=4),
)
scalars = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(-(2**70), 2**70),
    st.floats(),
    st.text(max_size=3),
    st.lists(st.floats(), max_size=3),
    st.sampled_from([np.bool_(True), np.bool_(False), np.int64(3), np.float64(2.0), np.uint64(2**63), SubInt(2)]),
)
counts = st.one_of(st.integers(-3, 45), st.sampled_from([2**64 - 1, 2**64, -(2**63), True, np.int32(3)]))
anything = st.one_of(float_arrays, bool_arrays, other_arrays, scalars, counts)


def arguments(names):
    def for_parameter(name):
        if name in "xyz":
            return st.one_of(float_arrays, bool_arrays, anything)
        if name == "k":
            return st.one_of(counts, anything)
        return st.one_of(st.booleans(), anything)

    return st.tuples(*[for_parameter(n) for n in names])


@st.composite
def calls(draw):
    name = draw(st.sampled_from(sorted(FUNCTIONS)))
    fn, names = FUNCTIONS[name]
    values = draw(arguments(names))
    split = draw(st.integers(0, len(names) + 1))
    positional = list(values[:split])
    keywords = {n: v for n, v in zip(names[split:], values[split:])}
    if draw(st.booleans()):
        keywords.pop(draw(st.sampled_from(names)), None)
    if draw(st.integers(0, 9)) == 0:
        keywords[draw(st.sampled_from(["w", "K", "xx", names[0]]))] = values[0]
    if draw(st.integers(0, 9)) == 0:
        positional.append(values[0])
    return name, fn, positional, keywords


@settings(max_examples=3000, deadline=None, suppress_health_check=list(HealthCheck))
@given(calls())
def test_only_documented_exceptions(call):
    name, fn, positional, keywords = call
    snapshot = [(id(v), sys.getrefcount(v)) for v in positional + list(keywords.values()) if isinstance(v, np.ndarray)]
    try:
        result = fn(*positional, **keywords)
    except (TypeError, ValueError, OverflowError):
        pass
    except BaseException as e:  # noqa: BLE001
        if type(e).__name__ != "PanicException":
            raise
        assert str(e) in PANIC_MESSAGES, str(e)
    else:
        if name in ("pearson_corr", "spearman_corr", "phi_coef"):
            assert type(result) is tuple and len(result) == 2 and all(type(v) is float for v in result)
        else:
            assert type(result) is float
    after = [(id(v), sys.getrefcount(v)) for v in positional + list(keywords.values()) if isinstance(v, np.ndarray)]
    assert after == snapshot


@pytest.mark.parametrize("name", sorted(FUNCTIONS))
def test_interpreter_is_healthy_after_fuzzing(name):
    fn, names = FUNCTIONS[name]
    x = np.linspace(0.0, 1.0, 30) ** 2
    args = {"x": x, "y": np.sqrt(x), "z": x[::-1].copy(), "k": 3, "normalize": True}
    if name == "phi_coef":
        args = {"x": x > 0.3, "y": x > 0.6}
    result = fn(**{n: args[n] for n in names})
    assert result == fn(*[args[n] for n in names])
