"""The bindings that differ from the plain shapes: their conversion orders, native argument
orders, results and messages."""

import logging

import pytest

import c_sdk
from conftest import FAILURE, SUCCESS
from vqsdk_standin import OUT, Call

pytestmark = pytest.mark.success_constant


class Truth:
    def __init__(self, value):
        self.value = value

    def __bool__(self):
        if isinstance(self.value, Exception):
            raise self.value
        return self.value


def calls(sdk):
    return [c.args for c in sdk.calls()]


# ---- connection and configuration ----------------------------------------------------------------------


@pytest.mark.parametrize(
    "script, result",
    [
        ({}, b"addr:svc"),
        (dict(text=""), b""),
        (dict(text="10.0.0.1:9000"), b"10.0.0.1:9000"),
        (dict(status=FAILURE, text="kept"), None),
        (dict(status=-1), None),
        (dict(null_text=True), None),  # a success without an address has no address to give
    ],
)
def test_get_serv_addr(sdk, script, result):
    if script:
        sdk.script("vqi_get_serv_addr", **script)
    assert c_sdk.py_vqi_get_serv_addr("svc") == result
    assert calls(sdk) == [(b"svc", OUT)]


def test_get_serv_addr_tests_success_by_inequality(sdk):
    class NotEqual:
        def __ne__(self, other):
            return False  # "not different": success, whatever __eq__ says

        def __eq__(self, other):
            raise AssertionError("== used")

    c_sdk.CSDK_OPERATE_SUCCESS = NotEqual()
    sdk.script("vqi_get_serv_addr", status=12345)
    assert c_sdk.py_vqi_get_serv_addr(b"svc") == b"addr:svc"
    del c_sdk.CSDK_OPERATE_SUCCESS
    with pytest.raises(NameError):
        c_sdk.py_vqi_get_serv_addr(b"svc")
    assert len(sdk.calls()) == 1  # the constant is looked up before the SDK call


@pytest.mark.parametrize("mode, flag", [(0, False), (5, True), (-1, True), (0.9, False), (True, True)])
def test_mode_consistency_passes_a_flag(sdk, mode, flag):
    c_sdk.py_vqi_set_mode_consistency(mode)
    assert calls(sdk) == [(flag,)]


def test_mode_consistency_wants_an_integer(sdk):
    with pytest.raises(TypeError, match="^an integer is required$"):
        c_sdk.py_vqi_set_mode_consistency(None)
    with pytest.raises(TypeError, match="^an integer is required$"):
        c_sdk.py_vqi_set_backtest_intraday(b"1")  # an integer despite its name
    assert sdk.calls() == []


@pytest.mark.parametrize("skip_verify, sent", [([], False), ("no", True), (None, False), (0.0, False), (Truth(True), True)])
def test_bus_secure(sdk, skip_verify, sent):
    c_sdk.py_vqi_set_bus_secure(1.7, "ca", b"cert", bytearray(b"key"), skip_verify)
    assert calls(sdk) == [(1, b"ca", b"cert", b"key", sent)]


def test_bus_secure_truth_test_error(sdk):
    with pytest.raises(ZeroDivisionError):
        c_sdk.py_vqi_set_bus_secure(1, b"", b"", b"", Truth(ZeroDivisionError()))
    assert sdk.calls() == []


BACKTEST = dict(start_time=b"2026-01-05", end_time="2026-01-06", initial_cash=5, transaction_ratio=1.0,
                commission_ratio=0.5, commission_unit=0, slippage_ratio=0.25, option_float_margin_ratio1=0.1,
                option_float_margin_ratio2=0.2, adjust=1.9, match_mode=True, check_cache=-7)


def test_backtest_config(sdk):
    sdk.script("vqi_set_backtest_config", status=FAILURE)
    assert c_sdk.py_vqi_set_backtest_config(**BACKTEST) == FAILURE  # the status, unexamined
    assert calls(sdk) == [(b"2026-01-05", b"2026-01-06", 5.0, 1.0, 0.5, 0.0, 0.25, 0.1, 0.2, 1, 1, -7)]


@pytest.mark.parametrize("param", ["initial_cash", "slippage_ratio", "adjust", "start_time"])
def test_backtest_config_bad_parameter(sdk, param):
    with pytest.raises(TypeError):
        c_sdk.py_vqi_set_backtest_config(**dict(BACKTEST, **{param: object()}))
    assert sdk.calls() == []


def test_backtest_config_counts_its_parameters(sdk):
    with pytest.raises(TypeError, match=r"^py_vqi_set_backtest_config\(\) takes exactly 12 positional arguments \(11 given\)$"):
        c_sdk.py_vqi_set_backtest_config(*list(BACKTEST.values())[:11])


def test_set_version_passes_two_null_pointers(sdk):
    c_sdk.py_vqi_set_version("1.2.3", sdk_lang="python")
    assert calls(sdk) == [(b"1.2.3", b"python", None, None)]


def test_status_fail_logs_the_real_sdk_text(sdk, caplog):
    caplog.set_level(logging.DEBUG, logger=c_sdk.vqsdklogger.name)
    sdk.script("vqi_strerror", text="token expired")
    sdk.script("vqi_set_token", status=FAILURE)
    status = c_sdk.py_vqi_set_token("t")
    assert c_sdk.c_status_fail(status, "vqi_set_token") is True
    assert caplog.messages == [f"invoke c fun=vqi_set_token error code={FAILURE}, error info=token expired"]


# ---- trading ----------------------------------------------------------------------------------------------


def test_algo_order_batch(sdk):
    sdk.script("vqi_algo_order_batch_pb", response=b"ok")
    assert c_sdk.py_vqi_algo_order_batch(req=b"r\x00", algo_params="p", algo_name="n") == (SUCCESS, b"ok")
    assert calls(sdk) == [(b"r\x00", 2, b"n", b"p", OUT, OUT)]


def test_algo_order_batch_errors(sdk):
    with pytest.raises(TypeError, match=r"^py_vqi_algo_order_batch\(\) takes exactly 3 positional arguments \(2 given\)$"):
        c_sdk.py_vqi_algo_order_batch(req=b"r", algo_name=b"n")
    with pytest.raises(TypeError, match=r"has no len\(\)"):  # the length first, before the texts
        c_sdk.py_vqi_algo_order_batch(5, None, None)
    with pytest.raises(TypeError, match="NoneType found"):
        c_sdk.py_vqi_get_child_orders(b"acc", None)
    assert sdk.calls() == []


REORDER = dict(symbol="SHSE.600000", price=10, volume=100, side=1, order_type=2, position_effect=3, repeat_n=4,
               max_price_offset=0.5, time_out=5, time_wait=6, account=b"acc")


def test_smart_reorder(sdk):
    sdk.script("vqi_smart_reorder", status=77)
    assert c_sdk.py_vqi_smart_reorder(**REORDER) == 77
    assert calls(sdk) == [(b"SHSE.600000", 10.0, 100, 1, 2, 3, 4, 0, 5, 6, b"acc")]
    assert c_sdk.py_vqi_smart_reorder_cancel(3.9) == SUCCESS
    assert sdk.last_call() == Call("vqi_smart_reorder_cancel", (3,))


MALFORMED_REORDERS = [
    dict(volume="100"), dict(volume=2**31), dict(price="10"), dict(price=None), dict(symbol=None),
    dict(account="acc\xe9"), dict(max_price_offset=float("nan")), dict(side=Truth(True)),
]


@pytest.mark.parametrize("change", MALFORMED_REORDERS)
def test_malformed_reorder_never_reaches_the_sdk(sdk, change):
    with pytest.raises((TypeError, OverflowError, ValueError, UnicodeEncodeError)):
        c_sdk.py_vqi_smart_reorder(**dict(REORDER, **change))
    assert sdk.calls() == []


@pytest.mark.parametrize(
    "args, kwargs",
    [((), {}), ((b"a", b"b"), {}), ((), dict(req=b"a")), ((5,), {}), ((None,), {}), (("\xe9",), {}),
     ((memoryview(b"x"),), {}), (([b"x"],), {}), ((b"ok",), dict(extra=1))],
)
def test_malformed_order_never_reaches_the_sdk(sdk, args, kwargs):
    with pytest.raises((TypeError, UnicodeEncodeError)):
        c_sdk.py_vqi_place_order(*args, **kwargs)
    assert sdk.calls() == []


# ---- market data ---------------------------------------------------------------------------------------------


@pytest.mark.parametrize("flag, sent", [(None, False), (1, True), (0, False), ([0], True), (Truth(False), False)])
def test_current(sdk, flag, sent):
    assert c_sdk.py_vqi_current("A,B", "price", flag)[0] == SUCCESS
    assert calls(sdk) == [(b"A,B", sent, b"price", OUT, OUT)]


def test_current_conversion_order(sdk):
    with pytest.raises(TypeError, match="NoneType found"):  # symbols first
        c_sdk.py_vqi_current(None, 5, True)
    with pytest.raises(ZeroDivisionError):  # then the flag, before the fields
        c_sdk.py_vqi_current(b"A", 5, Truth(ZeroDivisionError()))
    with pytest.raises(TypeError, match=r"^py_vqi_current\(\) takes exactly 3 positional arguments \(2 given\)$"):
        c_sdk.py_vqi_current(b"A", b"f")
    assert c_sdk.py_vqi_current(include_call_auction=True, fields=b"f", symbols=b"s")[0] == SUCCESS
    assert calls(sdk) == [(b"s", True, b"f", OUT, OUT)]


def test_subscribe_returns_the_status_unlogged(sdk, caplog):
    caplog.set_level(logging.DEBUG)
    sdk.script("vqi_subscribe", status=FAILURE)
    sdk.script("vqi_unsubscribe", status=FAILURE)
    del c_sdk.CSDK_OPERATE_SUCCESS  # never consulted
    assert c_sdk.py_vqi_subscribe("A\x00B", b"tick", 0) == FAILURE
    assert c_sdk.py_vqi_unsubscribe(b"A", bytearray(b"1m\x00x")) == FAILURE
    assert calls(sdk) == [(b"A", b"tick", False), (b"A", b"1m")]
    assert caplog.records == []
