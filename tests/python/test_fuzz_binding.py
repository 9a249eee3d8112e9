"""Arbitrary argument tuples and keyword sets: every call ends in the outcome a plain-Python model of the
argument rules and the documented failure tables predicts, with the documented type and message."""

import gc
import math
import operator
import struct
import sys

import numpy as np
import pytest
from conftest import SANITIZED
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp
from quorlix import info, stats

PARAMETERS = {
    "pearson_corr": ["x", "y"],
    "spearman_corr": ["x", "y"],
    "phi_coef": ["x", "y"],
    "kl_h": ["x", "k"],
    "ksg_mi": ["x", "y", "k", "normalize"],
    "ksg_cmi": ["x", "y", "z", "k", "normalize"],
    "ksg_ii": ["x", "y", "z", "k", "normalize"],
}
FUNCTIONS = {
    name: getattr(stats if name in ("pearson_corr", "spearman_corr", "phi_coef") else info, name)
    for name in PARAMETERS
}
UNWRAP_NONE = "called `Option::unwrap()` on a `None` value"
OUT_OF_RANGE = "called `Result::unwrap()` on an `Err` value: XOutOfRange"


class SubArray(np.ndarray):
    pass


class SubInt(int):
    pass


class Indexable:
    """Converts to an integer through __index__ only."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            # A fresh exception: raising the stored one would tie it to this frame and so to self.
            raise type(self.value)(*self.value.args)
        return self.value


def fake_numpy_bool(bool_result, name="bool_"):
    """An object whose type claims to be NumPy's boolean scalar type; its __bool__ returns bool_result."""
    namespace = {"__module__": "numpy"}
    if bool_result is not None:

        def __bool__(self):
            if isinstance(bool_result, BaseException):
                raise type(bool_result)(*bool_result.args)
            return bool_result

        namespace["__bool__"] = __bool__
    return type(name, (), namespace)()


# ---- argument strategies ------------------------------------------------------------------------

VIEW_KINDS = [
    "plain",
    "reversed",
    "step2",
    "back-step2",
    "zero",
    "readonly",
    "subclass",
    "swapped",
    "unaligned",
]


def make_view(arr, kind):
    """The values of arr (or, for the zero strides, its first value repeated) behind a different layout."""
    n = arr.size
    if kind == "reversed":
        return arr[::-1].copy()[::-1]
    if kind == "step2":
        return np.repeat(arr, 2)[::2]
    if kind == "back-step2":
        return np.repeat(arr[::-1], 2)[::-2]
    if kind == "zero":
        base = arr[:1] if n else np.zeros(1, arr.dtype)
        return np.lib.stride_tricks.as_strided(base, shape=(n,), strides=(0,), writeable=False)
    if kind == "readonly":
        out = arr.copy()
        out.setflags(write=False)
        return out
    if kind == "subclass":
        return arr.view(SubArray)
    if kind == "swapped":
        return arr.astype(arr.dtype.newbyteorder())
    if kind == "unaligned":
        # A field of a packed record: byte stride 9 and misaligned elements.
        packed = np.zeros(n, dtype=[("pad", "u1"), ("value", arr.dtype)])
        packed["value"] = arr
        return packed["value"]
    return arr


def views(arr):
    return st.sampled_from(VIEW_KINDS).map(lambda kind: make_view(arr, kind))


float_values = st.floats(allow_nan=True, allow_infinity=True, width=64) | st.sampled_from(
    [0.0, -0.0, 1.0, 1.0, 2.0, 1e308, -1e-308, 5e-324]
)
# Few distinct values, so that repeated points, ties and constant samples are common.
tied_values = st.sampled_from([0.0, 1.0, 3.0])


ANY_LENGTH = st.integers(0, 40)


def float_arrays(length=ANY_LENGTH):
    return (
        hnp.arrays(np.float64, length, elements=float_values)
        | hnp.arrays(np.float64, length, elements=tied_values)
    ).flatmap(views)


def bool_arrays(length=ANY_LENGTH):
    return hnp.arrays(np.bool_, length).flatmap(views)


other_arrays = hnp.arrays(
    st.sampled_from([np.float32, np.int64, np.complex128, np.uint8, np.float16, np.dtype(">f8"), np.object_]),
    hnp.array_shapes(min_dims=0, max_dims=3, max_side=4),
    elements=st.just(1),
) | hnp.arrays(np.float64, hnp.array_shapes(min_dims=0, max_dims=3, max_side=4).filter(lambda s: len(s) != 1))
scalars = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(-(2**70), 2**70),
    st.floats(),
    st.text(max_size=3),
    st.lists(st.floats(), max_size=3),
    st.sampled_from(
        [np.bool_(True), np.bool_(False), np.int64(3), np.float64(2.0), np.uint64(2**63), SubInt(2)]
    ),
)
counts = st.one_of(
    st.integers(-3, 45),
    st.sampled_from([2**64 - 1, 2**64, -(2**63), 2**63, True, False, np.int32(3), np.uint8(2), SubInt(3)]),
    st.builds(Indexable, st.sampled_from([2, -1, 2**64, TypeError("no index"), ValueError("bad index")])),
)
flags = st.one_of(
    st.booleans(),
    st.sampled_from([np.bool_(True), np.bool_(False), 0, 1, None, "True", np.int64(1)]),
    st.builds(
        fake_numpy_bool, st.sampled_from([True, False, 1, None, TypeError("no truth"), ValueError("bad")])
    ),
    st.builds(fake_numpy_bool, st.just(True), st.sampled_from(["bool", "bool8"])),
)
anything = st.one_of(float_arrays(), bool_arrays(), other_arrays, scalars, counts, flags)


@st.composite
def argument_values(draw, name):
    """One value per parameter: mostly of the right kind (arrays mostly of one common length), so that
    later parameters and the validation are reached as often as the first parameter's failures."""
    n = draw(st.integers(0, 40))
    values = []
    for p in PARAMETERS[name]:
        if draw(st.integers(0, 9)) == 0:
            values.append(draw(anything))
        elif p in "xyz":
            length = st.just(n) if draw(st.integers(0, 7)) else st.integers(0, 40)
            values.append(draw(bool_arrays(length) if name == "phi_coef" else float_arrays(length)))
        elif p == "k":
            values.append(draw(st.integers(0, n + 1) | counts))
        else:
            values.append(draw(flags))
    return values


@st.composite
def calls(draw):
    """(function name, positional arguments, keyword arguments in passing order)."""
    name = draw(st.sampled_from(sorted(PARAMETERS)))
    params = PARAMETERS[name]
    values = draw(argument_values(name))
    split = draw(st.integers(0, len(params)))
    positional = list(values[:split])
    keyword_items = list(zip(params[split:], values[split:]))
    if draw(st.booleans()):
        keyword_items = draw(st.permutations(keyword_items))
    if draw(st.integers(0, 7)) == 0 and keyword_items:
        del keyword_items[draw(st.integers(0, len(keyword_items) - 1))]
    if draw(st.integers(0, 7)) == 0:
        extra = draw(
            st.sampled_from(["w", "K", "xx", "\udc80", "x\x00", params[0], params[-1]]) | st.text(max_size=3)
        )
        keyword_items.insert(draw(st.integers(0, len(keyword_items))), (extra, values[0]))
    if draw(st.integers(0, 9)) == 0:
        positional.append(values[0])
    keywords = {}
    for key, value in keyword_items:
        keywords.setdefault(key, value)  # a repeated name cannot be passed twice through **
    return name, positional, keywords


# ---- the model --------------------------------------------------------------------------------------


class Outcome:
    def __init__(self, kind, message=None):
        self.kind = kind  # an exception type, "panic", or "ok"
        self.message = message


def type_name(obj):
    return type(obj).__qualname__


def cast_error(obj, target):
    if obj is None:
        return f"'None' is not an instance of '{target}'"
    return f"'{type_name(obj)}' object is not an instance of '{target}'"


def bind(name, positional, keywords):
    """Matches arguments to parameters; returns (values by parameter, None) or (None, Outcome)."""
    params = PARAMETERS[name]
    if len(positional) > len(params):
        verb = "was" if len(positional) == 1 else "were"
        return None, Outcome(
            TypeError, f"{name}() takes {len(params)} positional arguments but {len(positional)} {verb} given"
        )
    bound = dict(zip(params, positional))
    for key, value in keywords.items():
        if key not in params:
            return None, Outcome(TypeError, f"{name}() got an unexpected keyword argument '{key}'")
        if key in bound:
            return None, Outcome(TypeError, f"{name}() got multiple values for argument '{key}'")
        bound[key] = value
    missing = [p for p in params if p not in bound]
    if missing:
        quoted = [f"'{p}'" for p in missing]
        if len(quoted) == 1:
            listed = quoted[0]
        elif len(quoted) == 2:
            listed = " and ".join(quoted)
        else:
            listed = ", ".join(quoted[:-1]) + ", and " + quoted[-1]
        noun = "argument" if len(missing) == 1 else "arguments"
        return None, Outcome(
            TypeError, f"{name}() missing {len(missing)} required positional {noun}: {listed}"
        )
    return bound, None


def accepted_array(obj, want_bool):
    if not isinstance(obj, np.ndarray) or obj.ndim != 1:
        return False
    if want_bool:
        return obj.dtype == np.bool_
    return obj.dtype.kind == "f" and obj.dtype.itemsize == 8 and obj.dtype.isnative


def convert_count(obj):
    """(value, None) or (None, Outcome) for the parameter k."""
    if not isinstance(obj, int):
        try:
            obj = operator.index(obj)
        except TypeError as e:
            return None, Outcome(TypeError, f"argument 'k': {e}")
        except BaseException as e:  # noqa: BLE001 - any other type passes unchanged
            return None, Outcome(type(e), str(e))
    if obj < 0:
        return None, Outcome(OverflowError, "can't convert negative int to unsigned")
    if obj >= 2**64:
        return None, Outcome(OverflowError, "int too big to convert")
    return int(obj), None


def convert_flag(obj):
    if type(obj) is bool:
        return obj, None
    kind = type(obj)
    if kind.__module__ == "numpy" and kind.__name__ in ("bool_", "bool"):
        method = getattr(kind, "__bool__", None)
        if method is None:
            message = f"object of type '{kind.__qualname__}' does not define a '__bool__' conversion"
            return None, Outcome(TypeError, f"argument 'normalize': {message}")
        try:
            result = method(obj)
        except TypeError as e:
            return None, Outcome(TypeError, f"argument 'normalize': {e}")
        except BaseException as e:  # noqa: BLE001
            return None, Outcome(type(e), str(e))
        if type(result) is not bool:
            return None, Outcome(TypeError, f"argument 'normalize': {cast_error(result, 'bool')}")
        return result, None
    return None, Outcome(TypeError, f"argument 'normalize': {cast_error(obj, 'bool')}")


def f64(v):
    return np.float64(v)


def centred_sums(x, y):
    n = len(x)
    sum_x, sum_y = f64(-0.0), f64(-0.0)
    for a, b in zip(x, y):
        sum_x, sum_y = sum_x + a, sum_y + b
    mean_x, mean_y = sum_x / f64(n), sum_y / f64(n)
    sxx, syy, sxy = f64(0.0), f64(0.0), f64(0.0)
    for a, b in zip(x, y):
        dx, dy = a - mean_x, b - mean_y
        sxx, syy, sxy = sxx + dx * dx, syy + dy * dy, sxy + dx * dy
    return sxx, syy, sxy


def scaled_to_unit(v):
    return np.ldexp(v, -np.frexp(np.max(np.abs(v)))[1])


def pearson_outcome(x, y):
    with np.errstate(all="ignore"):
        sxx, syy, sxy = centred_sums(x, y)
        # Finite data whose sums overflow or underflow is measured again on samples scaled by powers of two.
        rounded = not np.isfinite([sxx, syy, sxy]).all() or (sxx == 0.0 and len(set(x)) > 1) or (
            syy == 0.0 and len(set(y)) > 1)
        if rounded and np.isfinite(x).all() and np.isfinite(y).all():
            sxx, syy, sxy = centred_sums(scaled_to_unit(x), scaled_to_unit(y))
        if sxx == 0.0 or syy == 0.0:
            return Outcome(ValueError, "arrays must have nonzero variance")
        r = sxy / (np.sqrt(sxx) * np.sqrt(syy))
    return Outcome(PanicException, OUT_OF_RANGE) if math.isnan(r) else Outcome("ok")


def validate(name, values):
    """The documented failure table of each function, for converted arguments."""
    arrays = [np.array(values[p], dtype=values[p].dtype.newbyteorder("=")) for p in "xyz" if p in values]
    lengths = {len(a) for a in arrays}
    if name in ("pearson_corr", "spearman_corr", "phi_coef"):
        x, y = arrays
        if len(lengths) > 1:
            return Outcome(ValueError, "x and y must have same length")
        if len(x) < 3:
            return Outcome(ValueError, "array must contain >= 3 elements")
        if name == "pearson_corr":
            return pearson_outcome(x, y)
        if name == "spearman_corr" and (np.isnan(x).any() or np.isnan(y).any()):
            return Outcome(PanicException, UNWRAP_NONE)
        if len(set(x.tolist())) == 1 or len(set(y.tolist())) == 1:
            if name == "phi_coef":
                return Outcome(ValueError, "phi is undefined: 1+ marginal totals are zero")
            return Outcome(ValueError, "arrays must have nonzero variance")
        return Outcome("ok")
    if len(lengths) > 1:
        return Outcome(
            ValueError,
            "x and y must have same length" if len(arrays) == 2 else "x, y and z must have same length",
        )
    n, k = len(arrays[0]), values["k"]
    if n == 0:
        return Outcome(ValueError, "arrays must be non-empty")
    if k == 0 or k >= n:
        return Outcome(ValueError, f"k must satisfy 1 \u2264 k < n (got k={k}, n={n})")
    if any(np.isnan(a).any() for a in arrays):
        return Outcome(PanicException, UNWRAP_NONE)
    return Outcome("ok")


def predict(name, positional, keywords):
    values, failure = bind(name, positional, keywords)
    if failure:
        return failure
    converted = {}
    for p in PARAMETERS[name]:
        obj = values[p]
        if p in "xyz":
            if not accepted_array(obj, name == "phi_coef"):
                return Outcome(TypeError, f"argument '{p}': {cast_error(obj, 'ndarray')}")
            converted[p] = obj
        elif p == "k":
            converted[p], failure = convert_count(obj)
        else:
            converted[p], failure = convert_flag(obj)
        if failure:
            return failure
    return validate(name, converted)


def _panic_type():
    try:
        stats.pearson_corr(np.array([1.0, np.nan, 3.0]), np.array([1.0, 2.0, 3.0]))
    except BaseException as e:  # noqa: BLE001
        return type(e)
    raise AssertionError("no PanicException")


PanicException = _panic_type()


def bits(result):
    values = result if isinstance(result, tuple) else (result,)
    return [struct.pack("<d", v) for v in values]


def contiguous(obj):
    return np.array(obj, dtype=obj.dtype.newbyteorder("=")) if isinstance(obj, np.ndarray) else obj


def tracked(objects):
    """Reference counts of the arguments whose counts nothing else touches during the call."""
    return [(id(v), sys.getrefcount(v)) for v in objects if isinstance(v, (np.ndarray, Indexable))]


def check_call(name, positional, keywords):
    fn = FUNCTIONS[name]
    expected = predict(name, positional, keywords)
    arguments = positional + list(keywords.values())
    # Garbage from earlier examples may hold references to these objects; a collection during the call
    # would change their counts.
    gc.disable()
    try:
        compare_with_model(fn, name, positional, keywords, expected, arguments)
    finally:
        gc.enable()


def compare_with_model(fn, name, positional, keywords, expected, arguments):
    before = tracked(arguments)
    try:
        result = fn(*positional, **keywords)
    except BaseException as e:  # noqa: BLE001 - every outcome is compared with the model
        assert expected.kind != "ok", f"raised {type(e).__name__}: {e}"
        assert type(e) is expected.kind, f"raised {type(e).__name__}: {e}, expected {expected.kind}"
        assert str(e) == expected.message
    else:
        assert expected.kind == "ok", f"returned {result!r}, expected {expected.kind.__name__}"
        if name in ("pearson_corr", "spearman_corr", "phi_coef"):
            assert type(result) is tuple and len(result) == 2 and all(type(v) is float for v in result)
        else:
            assert type(result) is float
        # Every layout of the same values gives the same bits as contiguous native copies.
        again = fn(*[contiguous(v) for v in positional], **{k: contiguous(v) for k, v in keywords.items()})
        assert bits(again) == bits(result)
    assert tracked(arguments) == before


# Under the sanitizer every call costs several times as much; the sanitizer's value lies in the kinds of
# calls, not their number.
EXAMPLES = 600 if SANITIZED else 3000


@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=list(HealthCheck))
@given(calls())
def test_every_call_ends_as_the_model_predicts(call):
    check_call(*call)


@settings(max_examples=EXAMPLES // 3, deadline=None, suppress_health_check=list(HealthCheck))
@given(st.data())
def test_well_formed_calls_compute_or_fail_as_documented(data):
    # Arguments of the right kinds and one common length: every example reaches the computation.
    name = data.draw(st.sampled_from(sorted(PARAMETERS)))
    n = data.draw(st.integers(0, 40))
    arrays = bool_arrays(st.just(n)) if name == "phi_coef" else float_arrays(st.just(n))
    kinds = {"k": st.integers(1, max(n - 1, 1)) | st.integers(0, n + 1), "normalize": st.booleans()}
    values = [data.draw(kinds.get(p, arrays)) for p in PARAMETERS[name]]
    check_call(name, values, {})


@pytest.mark.parametrize(
    "name, positional, keywords, message",
    [
        (
            "kl_h",
            [np.arange(5.0)],
            {"k": 3, "\udc80": 1},
            "kl_h() got an unexpected keyword argument '\udc80'",
        ),
        (
            "ksg_mi",
            [np.arange(5.0), np.arange(5.0), 2, fake_numpy_bool(None)],
            {},
            "argument 'normalize': object of type 'bool_' does not define a '__bool__' conversion",
        ),
        (
            "ksg_mi",
            [np.arange(5.0), np.arange(5.0), 2, fake_numpy_bool(1)],
            {},
            "argument 'normalize': 'int' object is not an instance of 'bool'",
        ),
        (
            "ksg_cmi",
            [np.arange(5.0)] * 3 + [Indexable(TypeError("no index")), True],
            {},
            "argument 'k': no index",
        ),
        (
            "phi_coef",
            [np.zeros(4, bool), np.arange(4.0)],
            {},
            "argument 'y': 'ndarray' object is not an instance of 'ndarray'",
        ),
        (
            "pearson_corr",
            [np.arange(4.0).view(SubArray).astype(np.float32)],
            {"y": None},
            "argument 'x': 'SubArray' object is not an instance of 'ndarray'",
        ),
        ("spearman_corr", [np.arange(4.0), None], {}, "argument 'y': 'None' is not an instance of 'ndarray'"),
        (
            "ksg_ii",
            [],
            {},
            "ksg_ii() missing 5 required positional arguments: 'x', 'y', 'z', 'k', and 'normalize'",
        ),
    ],
    ids=[
        "non-utf8-keyword",
        "no-bool-method",
        "bool-method-returns-int",
        "index-type-error",
        "phi-float",
        "subclass-name",
        "none",
        "all-missing",
    ],
)
def test_rare_argument_kinds(name, positional, keywords, message):
    with pytest.raises(TypeError) as raised:
        FUNCTIONS[name](*positional, **keywords)
    assert str(raised.value) == message
    assert predict(name, positional, keywords).message == message


def test_fake_numpy_bool_with_a_true_method_is_accepted():
    a = np.arange(6.0)
    assert info.ksg_mi(a, a[::-1], 2, fake_numpy_bool(True)) == info.ksg_mi(a, a[::-1], 2, True)
    assert info.ksg_mi(a, a[::-1], 2, fake_numpy_bool(False, "bool")) == info.ksg_mi(a, a[::-1], 2, False)


def test_errors_other_than_type_errors_pass_unprefixed():
    a = np.arange(6.0)
    with pytest.raises(ValueError, match="^bad index$"):
        info.kl_h(a, Indexable(ValueError("bad index")))
    with pytest.raises(ValueError, match="^bad$"):
        info.ksg_mi(a, a, 2, fake_numpy_bool(ValueError("bad")))
    with pytest.raises(OverflowError, match="^int too big to convert$"):
        info.kl_h(a, Indexable(2**64))


@pytest.mark.parametrize("name", sorted(PARAMETERS))
def test_interpreter_is_healthy_after_fuzzing(name):
    fn = FUNCTIONS[name]
    x = np.linspace(0.0, 1.0, 30) ** 2
    args = {"x": x, "y": np.sqrt(x), "z": x[::-1].copy(), "k": 3, "normalize": True}
    if name == "phi_coef":
        args = {"x": x > 0.3, "y": x > 0.6}
    result = fn(**{n: args[n] for n in PARAMETERS[name]})
    assert bits(result) == bits(fn(*[args[n] for n in PARAMETERS[name]]))


# k and normalize are converted after the arrays (errors come in parameter order), and their conversion may
# run Python code that frees an array's buffer; reading the old buffer would crash the interpreter, so the
# call must see the arrays as that code left them. Run in a child interpreter, which such a read kills.
def test_conversion_code_that_replaces_an_array_buffer(python_subprocess):
    result = python_subprocess(
        """
        import warnings
        import numpy as np
        from quorlix import info

        def fresh():
            return np.random.default_rng(0).normal(size=1_000_000)  # large enough to be unmapped when freed

        class ShrinkingIndex:
            def __init__(self, array, **change):
                self.array, self.change = array, change
            def __index__(self):
                if "size" in self.change:
                    self.array.resize((self.change["size"],), refcheck=False)
                else:
                    with warnings.catch_warnings():
                        warnings.simplefilter("ignore")
                        self.array.dtype = self.change["dtype"]
                return 3

        class ShrinkingBool:
            __module__ = "numpy"
            def __init__(self, array):
                self.array = array
            def __bool__(self):
                self.array.resize((40,), refcheck=False)
                return True
        ShrinkingBool.__name__ = "bool_"

        x = fresh()
        print(info.kl_h(x, ShrinkingIndex(x, size=50)) == info.kl_h(x.copy(), 3))
        x = fresh()
        try:
            info.kl_h(x, ShrinkingIndex(x, dtype=np.float32))
        except TypeError as e:
            print(e)
        x, y = fresh(), fresh()
        print(info.ksg_mi(x, y[:40].copy(), 3, ShrinkingBool(x)) == info.ksg_mi(x.copy(), y[:40].copy(), 3, True))
        x, y, z = fresh(), fresh(), fresh()
        try:
            info.ksg_cmi(x, y, z, ShrinkingIndex(z, size=10), False)
        except ValueError as e:
            print(e)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "True",
        "argument 'x': 'ndarray' object is not an instance of 'ndarray'",
        "True",
        "x, y and z must have same length",
    ]
