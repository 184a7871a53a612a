"""The binding shapes and argument kinds, end to end through the SDK stand-in."""

import builtins
import re
import decimal
import traceback

import pytest

import c_sdk
from conftest import FAILURE, SUCCESS
from vqsdk_standin import OUT, Call, Out

pytestmark = pytest.mark.success_constant


def tb_names(exc):
    return [frame.name for frame in traceback.extract_tb(exc.__traceback__)]


# ---- query call ---------------------------------------------------------------------------------


class BytesSub(bytes):
    pass


@pytest.mark.parametrize(
    "req, sent",
    [
        (b"", b""),
        (b"a\x00b", b"a\x00b"),
        (bytearray(b"x\x00y"), b"x\x00y"),
        (bytearray(), b""),
        (BytesSub(b"sub"), b"sub"),
    ],
)
def test_query_passes_the_request_whole(sdk, req, sent):
    assert c_sdk.py_vqi_get_orders(req) == (SUCCESS, b"vqi_get_orders_pb|" + sent)
    assert sdk.calls() == [Call("vqi_get_orders_pb", (sent, len(sent), OUT, OUT))]


@pytest.mark.parametrize(
    "script, result",
    [
        (dict(response=b"\x00r\x00"), (SUCCESS, b"\x00r\x00")),
        (dict(response=b""), (SUCCESS, b"")),
        (dict(status=FAILURE, response=b"filled"), (FAILURE, None)),
        (dict(status=-3), (-3, None)),
        # Broken promises of the SDK: nothing is read that it did not hand over.
        (dict(null_response=True, res_len=5), (SUCCESS, None)),
        (dict(response=b"abc", res_len=-1), (SUCCESS, None)),
        (dict(response=b"abc", skip_res_len=True), (SUCCESS, b"")),
        (dict(null_response=True, res_len=0), (SUCCESS, b"")),
    ],
)
def test_query_result(sdk, script, result):
    sdk.script("vqi_get_orders_pb", **script)
    assert c_sdk.py_vqi_get_orders(b"q") == result


@pytest.mark.parametrize(
    "req, message",
    [
        (5, "object of type 'int' has no len()"),
        (None, "object of type 'NoneType' has no len()"),
        ("text", "expected bytes, str found"),
        (memoryview(b"m"), "expected bytes, memoryview found"),
        ([1], "expected bytes, list found"),
    ],
)
def test_query_rejects_what_is_not_bytes(sdk, req, message):
    with pytest.raises(TypeError, match=f"^{re.escape(message)}$") as err:
        c_sdk.py_vqi_get_parameters(req)
    assert tb_names(err.value)[-1] == "c_sdk.py_vqi_get_parameters"
    assert sdk.calls() == []


def test_query_length_comes_from_len_first(sdk):
    class Lying(bytes):
        def __len__(self):
            return 2

    class Overstating(bytes):
        def __len__(self):
            return 1000

    class Failing(bytes):
        def __len__(self):
            raise RuntimeError("no length")

    assert c_sdk.py_vqi_get_parameters(Lying(b"abcd")) == (SUCCESS, b"vqi_get_parameters_pb|ab")
    with pytest.raises(ValueError):  # never read past the buffer
        c_sdk.py_vqi_get_parameters(Overstating(b"abcd"))
    with pytest.raises(RuntimeError, match="no length"):
        c_sdk.py_vqi_get_parameters(Failing(b"abcd"))
    assert [c.args[:2] for c in sdk.calls()] == [(b"ab", 2)]


@pytest.mark.parametrize("call", [lambda f: f(), lambda f: f(b"a", b"b"), lambda f: f(req=b"a")])
def test_one_argument_convention(sdk, call):
    with pytest.raises(TypeError, match="py_vqi_get_parameters"):
        call(c_sdk.py_vqi_get_parameters)
    assert sdk.calls() == []


def test_missing_success_constant_stops_the_call(sdk):
    del c_sdk.CSDK_OPERATE_SUCCESS
    with pytest.raises(NameError, match="^name 'CSDK_OPERATE_SUCCESS' is not defined$") as err:
        c_sdk.py_vqi_place_order(b"order")
    assert "c_sdk.py_vqi_place_order" in tb_names(err.value)
    assert sdk.calls() == []  # the order was never handed to the SDK
    c_sdk.CSDK_OPERATE_SUCCESS = SUCCESS
    assert c_sdk.py_vqi_place_order(b"order") == (SUCCESS, b"vqi_place_order_pb|order")


def test_success_constant_falls_back_to_builtins(sdk):
    del c_sdk.CSDK_OPERATE_SUCCESS
    builtins.CSDK_OPERATE_SUCCESS = SUCCESS
    try:
        assert c_sdk.py_vqi_get_orders(b"") == (SUCCESS, b"vqi_get_orders_pb|")
        builtins.CSDK_OPERATE_SUCCESS = FAILURE  # a change of the builtins is seen at once
        assert c_sdk.py_vqi_get_orders(b"") == (SUCCESS, None)
    finally:
        del builtins.CSDK_OPERATE_SUCCESS
    with pytest.raises(NameError):
        c_sdk.py_vqi_get_orders(b"")


def test_rebinding_the_success_constant_takes_effect_at_the_next_call(sdk):
    sdk.script("vqi_get_orders_pb", status=FAILURE, response=b"r")
    assert c_sdk.py_vqi_get_orders(b"") == (FAILURE, None)
    c_sdk.CSDK_OPERATE_SUCCESS = FAILURE
    assert c_sdk.py_vqi_get_orders(b"") == (FAILURE, b"r")


class Equal:
    """A success constant that is not an int: equality decides, by its own rules."""

    def __init__(self, outcome):
        self.outcome = outcome
        self.seen = []

    def __eq__(self, other):
        self.seen.append(other)
        if isinstance(self.outcome, Exception):
            raise self.outcome
        return self.outcome

    __hash__ = None


@pytest.mark.parametrize(
    "outcome, result",
    [(True, (7, b"r")), (False, (7, None)), ([1], (7, b"r")), ([], (7, None)), (0.0, (7, None))],
)
def test_success_constant_of_any_type(sdk, outcome, result):
    sdk.script("vqi_get_orders_pb", status=7, response=b"r")
    c_sdk.CSDK_OPERATE_SUCCESS = constant = Equal(outcome)
    assert c_sdk.py_vqi_get_orders(b"") == result
    assert constant.seen == [7]


def test_success_comparison_error_comes_after_the_call(sdk):
    c_sdk.CSDK_OPERATE_SUCCESS = Equal(ZeroDivisionError("eq"))
    with pytest.raises(ZeroDivisionError) as err:
        c_sdk.py_vqi_get_orders(b"q")
    assert tb_names(err.value)[-3:-1] == ["c_sdk.adapt_to_python3.wrapper", "c_sdk.py_vqi_get_orders"]
    assert len(sdk.calls()) == 1


def test_success_constant_float_and_big_int(sdk):
    c_sdk.CSDK_OPERATE_SUCCESS = float(SUCCESS)
    assert c_sdk.py_vqi_get_orders(b"") == (SUCCESS, b"vqi_get_orders_pb|")
    c_sdk.CSDK_OPERATE_SUCCESS = 2**70
    assert c_sdk.py_vqi_get_orders(b"") == (SUCCESS, None)


def test_get_accounts_is_a_query_without_request(sdk):
    sdk.script("vqi_get_account_info_pb", response=b"acc")
    assert c_sdk.py_vqi_get_accounts() == (SUCCESS, b"acc")
    assert sdk.last_call() == Call("vqi_get_account_info_pb", (OUT, OUT))
    with pytest.raises(TypeError, match=r"py_vqi_get_accounts\(\) takes no arguments \(1 given\)"):
        c_sdk.py_vqi_get_accounts(b"")


# ---- command call ---------------------------------------------------------------------------------


def test_command_returns_the_status_unexamined(sdk):
    sdk.script("vqi_cancel_orders_pb", status=42)
    del c_sdk.CSDK_OPERATE_SUCCESS  # not looked up
    assert c_sdk.py_vqi_cancel_order(b"") == 42
    assert sdk.last_call() == Call("vqi_cancel_orders_pb", (b"", 0))


# ---- text and integer setters -----------------------------------------------------------------------


@pytest.mark.parametrize(
    "value, sent",
    [(b"host:1", b"host:1"), (b"a\x00b", b"a"), (bytearray(b"ba"), b"ba"), (bytearray(), b""), (BytesSub(b"s"), b"s")],
)
def test_text_setter(sdk, value, sent):
    assert c_sdk.py_vqi_set_account_id(value) is None
    assert sdk.last_call() == Call("vqi_set_account_id", (sent,))


def test_text_argument_never_takes_a_length(sdk):
    class NoLen(bytes):
        def __len__(self):
            raise AssertionError("len() called")

    c_sdk.py_vqi_set_account_id(NoLen(b"x"))
    assert sdk.last_call() == Call("vqi_set_account_id", (b"x",))


@pytest.mark.parametrize(
    "value, message", [("a", "expected bytes, str found"), (None, "expected bytes, NoneType found"), (1, "expected bytes, int found")]
)
def test_text_argument_errors(sdk, value, message):
    with pytest.raises(TypeError, match=f"^{message}$") as err:
        c_sdk.py_vqi_set_account_id(value)
    assert tb_names(err.value)[-1] == "c_sdk.py_vqi_set_account_id"
    assert sdk.calls() == []


class IntLike:
    def __init__(self, result):
        self.result = result

    def __int__(self):
        if isinstance(self.result, Exception):
            raise self.result
        return self.result


class IntSub(int):
    def __int__(self):
        return 99


@pytest.mark.parametrize(
    "value, sent",
    [
        (5, 5), (-5, -5), (2.9, 2), (-2.9, -2), (True, 1), (False, 0), (2**31 - 1, 2**31 - 1), (-(2**31), -(2**31)),
        (IntLike(12), 12), (IntSub(3), 3), (decimal.Decimal("3.7"), 3),
    ],
)
def test_integer_argument(sdk, value, sent):
    assert c_sdk.py_vqi_set_max_wait_time(value) is None
    assert sdk.last_call() == Call("vqi_set_max_wait_time", (sent,))


@pytest.mark.parametrize(
    "value, error, message",
    [
        ("5", TypeError, "^an integer is required$"),
        (None, TypeError, "^an integer is required$"),
        (b"1", TypeError, "^an integer is required$"),
        (IntLike("x"), TypeError, r"^__int__ returned non-int \(type str\)$"),
        (IntLike(ValueError("bad int")), ValueError, "^bad int$"),
        (2**31, OverflowError, None),
        (-(2**31) - 1, OverflowError, None),
        (2**64, OverflowError, None),
        (float("inf"), OverflowError, None),
        (float("nan"), ValueError, None),
    ],
)
def test_integer_argument_errors(sdk, value, error, message):
    with pytest.raises(error, match=message) as err:
        c_sdk.py_vqi_set_max_wait_time(value)
    assert "c_sdk.py_vqi_set_max_wait_time" in tb_names(err.value)
    assert sdk.calls() == []


# ---- getters and no-argument calls --------------------------------------------------------------------


def test_text_getters(sdk):
    assert c_sdk.py_vqi_get_orgcode() == b"vqi_get_orgcode"
    sdk.script("vqi_get_orgcode", text=b"org")
    assert c_sdk.py_vqi_get_orgcode() == b"org"
    sdk.script("vqi_get_orgcode", null_text=True)
    assert c_sdk.py_vqi_get_orgcode() == b""  # the SDK gave no text at all
    assert c_sdk.py_vqi_strerror(7) == b"error 7"
    assert sdk.last_call() == Call("vqi_strerror", (7,))
    sdk.script("vqi_strerror", null_text=True)
    assert c_sdk.py_vqi_strerror(7) == b""
    with pytest.raises(OverflowError):
        c_sdk.py_vqi_strerror(2**31)


def test_no_argument_calls(sdk):
    sdk.script("vqi_use_dsproxy", status=3)
    assert c_sdk.py_vqi_use_dsproxy() == 3
    assert c_sdk.py_vqi_set_simtrade_only() is None
    assert [c.name for c in sdk.calls()] == ["vqi_use_dsproxy", "vqi_set_simtrade_only"]
    # The interpreter's own messages for builtins without / with one argument.
    with pytest.raises(TypeError, match=r"^c_sdk.py_vqi_use_dsproxy\(\) takes no arguments \(1 given\)$"):
        c_sdk.py_vqi_use_dsproxy(1)
    with pytest.raises(TypeError, match=r"takes no keyword arguments"):
        c_sdk.py_vqi_set_simtrade_only(x=1)


# ---- multi-argument binding --------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((b"s", b"u", b"p"), {}),
        ((), dict(password=b"p", server_addr=b"s", user_name=b"u")),
        ((b"s",), dict(password=b"p", user_name=b"u")),
        ((b"s", b"u"), dict(password=b"p")),
    ],
)
def test_multi_argument_binding(sdk, args, kwargs):
    assert c_sdk.py_vqi_set_serv_addr_v5(*[a.replace(b"s", b"a") for a in args], **{
        {"server_addr": "addr", "user_name": "orgcode", "password": "site_id"}[k]: v for k, v in kwargs.items()
    }) is None
    assert c_sdk.py_vqi_set_bus_info(*args, **kwargs) is None
    assert sdk.calls()[-1] == Call("vqi_set_bus_info", (b"s", b"u", b"p"))


BUS = "py_vqi_set_serv_addr_v5"


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((b"a", b"b"), {}, rf"^{BUS}\(\) takes exactly 3 positional arguments \(2 given\)$"),
        ((b"a", b"b", b"c", b"d"), {}, r"\(4 given\)$"),
        ((), {}, r"\(0 given\)$"),
        ((b"a",), dict(site_id=b"c"), r"takes exactly 3 positional arguments \(1 given\)$"),
        ((b"a", b"b", b"c", b"d"), dict(addr=b"x"), r"\(4 given\)$"),
        ((b"a", b"b", b"c"), dict(extra=1), rf"^{BUS}\(\) got an unexpected keyword argument 'extra'$"),
        ((b"a", b"b", b"c"), dict(orgcode=b"x"), rf"^{BUS}\(\) got multiple values for keyword argument 'orgcode'$"),
        ((b"a", b"b", b"c"), {1: 2}, rf"^{BUS}\(\) keywords must be strings$"),
        ((b"a",), dict(orgcode=b"b", site_id=b"c", zzz=1), r"unexpected keyword argument 'zzz'"),
    ],
)
def test_multi_argument_binding_errors(sdk, args, kwargs, message):
    with pytest.raises(TypeError, match=message) as err:
        getattr(c_sdk, BUS)(*args, **kwargs)
    assert tb_names(err.value)[-1] == f"c_sdk.{BUS}"
    assert sdk.calls() == []


def test_one_parameter_count_message_stays_singular():
    from c_sdk import c_status_fail

    with pytest.raises(TypeError, match=r"^c_status_fail\(\) takes at least 1 positional argument \(0 given\)$"):
        c_status_fail()


def test_multi_argument_conversions_run_in_order(sdk):
    # The first failing conversion is the one reported; nothing reaches the SDK.
    with pytest.raises(TypeError, match="str found"):
        c_sdk.py_vqi_set_serv_addr_v5(b"a", "b", None)
    with pytest.raises(TypeError, match="NoneType found"):
        c_sdk.py_vqi_set_serv_addr_v5(b"a", b"b", None)
    assert sdk.calls() == []


def test_every_failure_names_the_binding_through_the_wrapper(sdk):
    with pytest.raises(TypeError) as err:
        c_sdk.py_vqi_get_orders(5)
    assert tb_names(err.value)[-2:] == ["c_sdk.adapt_to_python3.wrapper", "c_sdk.py_vqi_get_orders"]
