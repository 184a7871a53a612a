"""Every binding and exposed SDK function called with arbitrary arguments (any types, counts and
keywords; huge and negative integers, NaN and infinities, non-ASCII text, bytes with NULs, objects
whose dunders raise or lie). A reference model of the argument conventions predicts each call:
either the SDK function receives exactly the converted values, or the call raises the model's
exception and the SDK is never called.

CSDK_FUZZ_EXAMPLES sets the examples per function (default 40, derandomized, for CI)."""

import collections
import decimal
import fractions
import math
import operator
import os
import warnings

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import c_sdk
from conftest import SUCCESS
from surface import BINDINGS, EXPOSED
from vqsdk_standin import OUT, PTR, Call

EXAMPLES = int(os.environ.get("CSDK_FUZZ_EXAMPLES", "40"))
FUZZ = settings(max_examples=EXAMPLES, deadline=None, derandomize=True, database=None,
                suppress_health_check=list(HealthCheck))
INT_MIN, INT_MAX = -(2**31), 2**31 - 1

# What a rejected call may raise: the conversions' own errors, or what an argument's dunder raised.
DOCUMENTED = (TypeError, OverflowError, ValueError, UnicodeEncodeError)

STATS = collections.Counter()


@pytest.fixture(scope="module", autouse=True)
def _report_counts(request):
    class Summary:
        def pytest_terminal_summary(self, terminalreporter):
            if STATS:
                terminalreporter.write_line("fuzzed calls: " + ", ".join(f"{k} {v}" for k, v in sorted(STATS.items())))

    request.config.pluginmanager.register(Summary())
    yield


# ---- hostile and odd arguments ---------------------------------------------------------------------


class Boom(Exception):
    """What a hostile dunder raises."""


def _raise(*_):
    raise Boom


def odd(name, **dunders):
    return type(name, (), dunders)


class BytesSub(bytes):
    pass


class ByteArraySub(bytearray):
    pass


class StrSub(str):
    pass


class IntSub(int):
    """An int whose conversions lie: the module must take its value."""

    def __int__(self):
        return 99

    def __index__(self):
        return 98


class FloatSub(float):
    def __float__(self):
        return 9.0


def lying_bytes(data, length):
    """bytes whose len() says `length` (a number, or what __len__ does)."""
    body = _raise if length is Boom else (lambda self: length)
    return type("Lying", (bytes,), {"__len__": body})(data)


# bytes whose len() is off by a little, a lot, or fails
lying = st.builds(lambda data, off: lying_bytes(data, off if off is Boom else len(data) + off),
                  st.binary(max_size=4), st.sampled_from([-2, -1, 0, 1, 2, 1000, Boom]))


ODD = [
    odd("IntRaises", __int__=_raise)(),
    odd("FloatRaises", __float__=_raise)(),
    odd("BoolRaises", __bool__=_raise)(),
    odd("LenRaises", __len__=_raise)(),
    odd("EqRaises", __eq__=_raise, __hash__=None)(),
    odd("IndexRaises", __index__=_raise)(),
    odd("AllRaise", __int__=_raise, __float__=_raise, __bool__=_raise, __len__=_raise, __eq__=_raise)(),
    odd("IntGivesStr", __int__=lambda s: "5")(),
    odd("IntGivesHuge", __int__=lambda s: 2**40)(),
    odd("IntGivesNegative", __int__=lambda s: -7)(),
    odd("IntGivesBool", __int__=lambda s: True)(),
    odd("FloatGivesStr", __float__=lambda s: "x")(),
    odd("FloatGivesNan", __float__=lambda s: math.nan)(),
    odd("IndexOnly", __index__=lambda s: 7)(),
    odd("BoolGivesInt", __bool__=lambda s: 1)(),
    odd("LenNegative", __len__=lambda s: -1)(),
    odd("LenHuge", __len__=lambda s: 2**70)(),
    odd("LenThree", __len__=lambda s: 3)(),
    decimal.Decimal("3.7"), decimal.Decimal("-1e400"), decimal.Decimal("nan"), decimal.Decimal("snan"),
    fractions.Fraction(7, 2), complex(1, 2), None, True, False, [], [1], {}, (), object(),
]

NAMED = {type(o).__name__: o for o in ODD}
ints = st.one_of(st.integers(INT_MIN, INT_MAX), st.integers(),
                 st.sampled_from([INT_MIN - 1, INT_MAX + 1, 2**63, -(2**64)]))
floats = st.floats(allow_nan=True, allow_infinity=True)
anything = st.one_of(
    ints, floats, st.text(), st.binary(), st.binary().map(bytearray), st.booleans(), st.sampled_from(ODD),
    st.binary().map(BytesSub), st.binary().map(ByteArraySub), st.text().map(StrSub), st.builds(IntSub, ints),
    lying,
)
ascii_text = st.text(st.characters(max_codepoint=127))
in_range = st.integers(INT_MIN, INT_MAX)
# Values that convert (text as str only where the binding adapts it).
VALID = {
    "req": st.one_of(st.binary(), st.binary().map(bytearray), st.binary().map(BytesSub),
                     st.builds(lambda d, k: lying_bytes(d, min(k, len(d))), st.binary(max_size=6), st.integers(0, 6))),
    "text": st.one_of(st.binary(), st.binary().map(bytearray), st.binary().map(BytesSub)),
    "int": st.one_of(in_range, st.booleans(), st.builds(IntSub, in_range), st.floats(INT_MIN + 0.0, INT_MAX + 0.5),
                     st.sampled_from([decimal.Decimal("3.7"), fractions.Fraction(-7, 2), NAMED["IntGivesNegative"],
                                     NAMED["IntGivesBool"]])),
    "real": st.one_of(floats, st.integers(-(2**1000), 2**1000), st.booleans(), st.builds(FloatSub, floats),
                      st.sampled_from([decimal.Decimal("-1e400"), decimal.Decimal("nan"), fractions.Fraction(7, 2),
                                       NAMED["FloatGivesNan"], NAMED["IndexOnly"]])),
    "bool": st.one_of(st.booleans(), st.none(), ints, floats, st.text(), st.lists(st.none(), max_size=1),
                      st.sampled_from([NAMED["IndexOnly"], NAMED["LenThree"], NAMED["EqRaises"]])),
    "handler": anything,
}
VALID["flag"] = VALID["int"]


def near(*names, also=()):
    """Strategies, each as likely as the others (st.one_of would flatten `anything` into many)."""
    return [st.sampled_from([NAMED[n] for n in names + ("AllRaise",)]), *also, anything]


# Values of each kind that just fail to convert, or whose own dunders fail.
SPOILED = {
    "req": near("LenRaises", "LenNegative", "LenHuge", "LenThree", also=(
        lying, st.builds(lambda d: lying_bytes(d, len(d) + 1), st.binary(max_size=4)), st.text(), st.none())),
    "text": near("LenThree", also=(st.text(), st.none(), st.integers())),
    "int": near("IntRaises", "IntGivesStr", "IntGivesHuge", "IndexOnly", also=(
        ints, st.sampled_from([math.nan, math.inf, -math.inf, 2.0**31, decimal.Decimal("snan"), "1", complex(1)]),
        st.builds(IntSub, st.integers()))),
    "real": near("FloatRaises", "FloatGivesStr", "IndexRaises", also=(
        st.sampled_from([2**1024, -(2**1024), decimal.Decimal("snan"), "1.5", complex(1), None]),)),
    "bool": near("BoolRaises", "BoolGivesInt", "LenRaises", "LenNegative", "LenHuge"),
    "handler": [anything],
}
SPOILED["flag"] = SPOILED["int"]


# ---- the reference model ------------------------------------------------------------------------------


def dunder(x, name):
    return getattr(type(x), name, None)


def to_int(x):
    if isinstance(x, int):
        v = operator.index(x)  # an int subclass by its value, whatever its __int__ says
    else:
        if dunder(x, "__int__") is None:
            raise TypeError("an integer is required")
        v = dunder(x, "__int__")(x)
        if not isinstance(v, int):
            raise TypeError("__int__ returned non-int")
        v = operator.index(v)
    if not INT_MIN <= v <= INT_MAX:
        raise OverflowError
    return v


def to_real(x):
    if isinstance(x, float):
        return float.__float__(x)
    if dunder(x, "__float__") is not None:
        v = dunder(x, "__float__")(x)
        if not isinstance(v, float):
            raise TypeError("__float__ returned non-float")
        return float.__float__(v)
    if dunder(x, "__index__") is not None:
        return float(operator.index(x))
    raise TypeError("must be real number")


def to_text(x):
    if isinstance(x, (bytes, bytearray)):
        return bytes(memoryview(x)).split(b"\0")[0]
    raise TypeError("expected bytes")


def to_request(x):
    if type(x) is bytes:
        return x
    n = len(x)  # first, as the module does: its own errors win
    if not isinstance(x, (bytes, bytearray)):
        raise TypeError("expected bytes")
    data = bytes(memoryview(x))
    if n > len(data):
        raise ValueError("len() past the buffer")
    return data[:n]


CONVERT = {"req": to_request, "text": to_text, "int": to_int, "real": to_real, "bool": bool,
           "flag": lambda x: to_int(x) != 0, "handler": lambda x: PTR}


class Target:
    def __init__(self, name, sdk, params, natives, decorated, result):
        self.name, self.sdk, self.params, self.natives = name, sdk, params, natives
        self.decorated, self.result = decorated, result

    def __repr__(self):
        return self.name


TARGETS = [Target(b.name, b.sdk, b.params, b.natives, b.decorated, b.result) for b in BINDINGS] + [
    Target(name, name, tuple(tuple(p.split(":")) for p in params.split()),
           tuple(p.split(":")[0] for p in params.split()), False, result)
    for name, (_, params, result) in EXPOSED.items()
]
RESULT_TYPES = {"query": tuple, "status": int, "none": type(None), "text": bytes, "address": (bytes, type(None)),
                "long": int, "real": float}


def adapt(x):
    return x.encode("ascii") if isinstance(x, str) else x


def model(target, args, kwargs):
    """The native arguments the SDK function receives, or the exception the call raises."""
    if target.decorated:
        args, kwargs = [adapt(a) for a in args], {k: adapt(v) for k, v in kwargs.items()}
    names = [name for name, _ in target.params]
    if len(names) <= 1:
        if len(args) != len(names) or kwargs:
            raise TypeError("argument count")
        bound = dict(zip(names, args))
    else:
        if len(args) > len(names) or set(kwargs) != set(names[len(args):]):
            raise TypeError("argument binding")
        bound = {**dict(zip(names, args)), **kwargs}
    kinds, converted, natives = dict(target.params), {}, []
    for native in target.natives:
        if native in ("out", "null", "callback"):
            natives.append({"out": OUT, "null": None, "callback": PTR}[native])
        elif native.startswith("len:"):
            natives.append(len(converted[native[4:]]))
        else:
            converted[native] = CONVERT[kinds[native]](bound[native])
            natives.append(converted[native])
    return tuple(natives)


def normal(values):
    """Logged values compared by type too (True is not 1), NaN equal to NaN."""
    return [(type(v), "nan" if isinstance(v, float) and math.isnan(v) else v) for v in values]


@st.composite
def calls(draw, target):
    """(args, kwargs): mostly well-formed calls of values that convert, one of them maybe spoiled;
    else any values in any number."""
    names = [name for name, _ in target.params]
    well_formed = draw(st.booleans()) or draw(st.booleans())
    valid = VALID
    if target.decorated:  # text may come as str
        valid = {**VALID, "req": VALID["req"] | ascii_text, "text": VALID["text"] | ascii_text}
    if well_formed:
        values = [draw(valid[kind]) for _, kind in target.params]
        if names and draw(st.booleans()):
            spoiled = draw(st.integers(0, len(names) - 1))
            values[spoiled] = draw(draw(st.sampled_from(SPOILED[target.params[spoiled][1]])))
        split = draw(st.integers(0, len(names))) if len(names) > 1 else len(names)
    else:
        values = [draw(draw(st.sampled_from([valid[kind], *SPOILED[kind]]))) for _, kind in target.params]
        split = draw(st.integers(0, len(names) + 1))
        values += [draw(anything)] * (split > len(names))
    args, kwargs = values[:split], dict(zip(names[split:], values[split:]))
    if draw(st.integers(0, 9)) == 0:  # a keyword that is unknown, or repeats a positional one
        kwargs[draw(st.sampled_from(names + ["unknown"]))] = draw(anything)
    return args, kwargs


def check_call(sdk, target, args, kwargs):
    sdk.clear_calls()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # __int__ returning True, in both
        try:
            expected, expected_error = model(target, args, kwargs), None
        except Exception as e:  # noqa: BLE001
            expected, expected_error = None, type(e)
        try:
            result = getattr(c_sdk, target.name)(*args, **kwargs)
        except Exception as e:  # noqa: BLE001
            assert type(e) is expected_error, f"{target.name}{args, kwargs}: {e!r}, expected {expected_error}"
            assert isinstance(e, DOCUMENTED + (Boom,))
            assert sdk.calls() == []
            STATS[type(e).__name__] += 1
            return
    assert expected_error is None, f"{target.name}{args, kwargs} returned {result!r}, expected {expected_error}"
    [call] = sdk.calls()
    assert call.name == target.sdk and normal(call.args) == normal(expected), (args, kwargs)
    assert isinstance(result, RESULT_TYPES[target.result])
    if target.result == "query":
        assert result[0] == SUCCESS and result[1].startswith(target.sdk.encode())
    STATS["reached the SDK"] += 1


@pytest.mark.parametrize("target", TARGETS, ids=repr)
def test_arbitrary_calls(sdk, target):
    @FUZZ
    @given(call=calls(target))
    def run(call):
        check_call(sdk, target, *call)

    run()


# ---- the status helpers ----------------------------------------------------------------------------


def status_fail_model(status, name):
    """(result, the errorno handed to vqi_strerror or None, the exception raised or None)."""
    errorno = None
    try:
        failed = status != SUCCESS
        if failed:
            errorno = to_int(status)
            bool(name)  # only looked at once the SDK's text is in hand
        return failed, errorno, None
    except Exception as e:  # noqa: BLE001
        return None, errorno, type(e)


@FUZZ
@given(status=st.one_of(ints, floats, st.sampled_from(ODD), st.text()), name=st.one_of(st.text(), st.sampled_from(ODD)))
def test_status_helpers_with_any_status(sdk, status, name):
    sdk.clear_calls()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        try:
            expected = status == SUCCESS
        except Exception as e:  # noqa: BLE001
            with pytest.raises(type(e)):
                c_sdk.c_status_ok(status)
        else:
            assert c_sdk.c_status_ok(status) == expected
        result, errorno, error = status_fail_model(status, name)
        if error:
            with pytest.raises(error):
                c_sdk.c_status_fail(status, name)
        else:
            assert c_sdk.c_status_fail(status, name) == result
    assert sdk.calls() == ([] if errorno is None else [Call("vqi_strerror", (errorno,))])
    STATS[error.__name__ if error else "reached the SDK" if errorno is not None else "no SDK call"] += 1
