"""adapt_to_python3 and its wrappers, the status helpers and the platform tests."""

import logging
import platform
import traceback

import pytest

import c_sdk
from conftest import FAILURE, SUCCESS
from vqsdk_standin import Call

pytestmark = pytest.mark.success_constant


def tb_names(exc):
    return [frame.name for frame in traceback.extract_tb(exc.__traceback__)]


class Recorder:
    def __init__(self, result="result"):
        self.calls = []
        self.result = result

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if isinstance(self.result, Exception):
            raise self.result
        return self.result


class Text(str):
    def encode(self, encoding):
        return ("custom", encoding)


# ---- the wrapper -------------------------------------------------------------------------------------


def test_wrapper_object():
    w = c_sdk.adapt_to_python3(len)
    assert (w.__name__, w.__qualname__, w.__doc__, w.__module__) == (
        "wrapper", "adapt_to_python3.<locals>.wrapper", None, "c_sdk")
    assert c_sdk.py_vqi_place_order.__name__ == "wrapper"
    assert c_sdk.adapt_to_python3(5) is not None  # not examined when decorating


@pytest.mark.parametrize(
    "args, kwargs, passed_args, passed_kwargs",
    [
        (("abc",), {}, (b"abc",), {}),
        ((b"x", bytearray(b"y"), 1, 2.5, None, ["t"], ("t",)), {}, (b"x", bytearray(b"y"), 1, 2.5, None, ["t"], ("t",)), {}),
        ((), dict(a="a", b=b"b", c=3), (), dict(a=b"a", b=b"b", c=3)),
        ((Text("s"),), dict(k=Text("v")), (("custom", "ascii"),), dict(k=("custom", "ascii"))),
        (("",), {}, (b"",), {}),
    ],
)
def test_wrapper_encodes_text(args, kwargs, passed_args, passed_kwargs):
    func = Recorder()
    caller_kwargs = dict(kwargs)
    assert c_sdk.adapt_to_python3(func)(*args, **caller_kwargs) == "result"
    assert func.calls == [(passed_args, passed_kwargs)]
    assert caller_kwargs == kwargs  # the caller's dict is never changed


def test_wrapper_passes_bytes_objects_through_unchanged():
    func = Recorder()
    data, lst = bytearray(b"x"), ["text"]
    c_sdk.adapt_to_python3(func)(data, lst)
    assert func.calls[0][0][0] is data and func.calls[0][0][1] is lst


def test_wrapper_rejects_non_ascii_before_calling(sdk):
    func = Recorder()
    with pytest.raises(UnicodeEncodeError) as err:
        c_sdk.adapt_to_python3(func)(b"ok", "caf\xe9")
    assert func.calls == []
    assert tb_names(err.value) [-1] == "c_sdk.adapt_to_python3.wrapper"
    with pytest.raises(UnicodeEncodeError):
        c_sdk.py_vqi_get_orders("\u4e2d")
    with pytest.raises(UnicodeEncodeError):
        c_sdk.py_vqi_set_bus_info(b"a", b"b", password="\xff")
    assert sdk.calls() == []


def test_wrapper_propagates_what_func_raises():
    with pytest.raises(KeyError) as err:
        c_sdk.adapt_to_python3(Recorder(KeyError("k")))()
    assert tb_names(err.value)[-2:] == ["c_sdk.adapt_to_python3.wrapper", "__call__"]


def test_wrapper_keywords_must_be_strings():
    func = Recorder()
    with pytest.raises(TypeError, match=r"^wrapper\(\) keywords must be strings$"):
        c_sdk.adapt_to_python3(func)(**{1: 2})
    with pytest.raises(TypeError, match=r"^wrapper\(\) keywords must be strings$"):
        c_sdk.py_vqi_set_bus_info(b"a", b"b", b"c", **{1: 2})
    assert func.calls == []


def test_is_py2_switches_adaptation_off(sdk):
    func = Recorder()
    w = c_sdk.adapt_to_python3(func)
    c_sdk.IS_PY2 = True
    w("a", k="b")
    with pytest.raises(TypeError, match="str found"):
        c_sdk.py_vqi_get_orders("abc")
    c_sdk.IS_PY2 = False
    w("a", k="b")
    assert func.calls == [(("a",), {"k": "b"}), ((b"a",), {"k": b"b"})]
    del c_sdk.IS_PY2
    with pytest.raises(NameError, match="^name 'IS_PY2' is not defined$"):
        w()


def test_decorated_binding_reaches_the_sdk_with_bytes(sdk):
    assert c_sdk.py_vqi_get_orders("abc") == (SUCCESS, b"vqi_get_orders_pb|abc")
    assert c_sdk.py_vqi_set_bus_info(server_addr="s", user_name=b"u", password=bytearray(b"p")) is None
    assert sdk.calls() == [Call("vqi_get_orders_pb", (b"abc", 3, *sdk.calls()[0].args[2:])),
                           Call("vqi_set_bus_info", (b"s", b"u", b"p"))]


def test_wrapper_reports_the_builtins_own_argument_errors(sdk):
    with pytest.raises(TypeError, match=r"py_vqi_get_orders\(\) takes exactly one argument \(2 given\)"):
        c_sdk.py_vqi_get_orders(b"a", b"b")
    with pytest.raises(TypeError, match=r"py_vqi_get_orders\(\) takes no keyword arguments"):
        c_sdk.py_vqi_get_orders(req=b"a")
    with pytest.raises(TypeError, match=r"^py_vqi_set_bus_info\(\) takes exactly 3 positional arguments \(2 given\)$"):
        c_sdk.py_vqi_set_bus_info("a", "b")
    assert sdk.calls() == []


def test_wrapper_binds_like_a_function():
    class Holder:
        method = c_sdk.adapt_to_python3(Recorder())

    h = Holder()
    h.method("x")
    assert Holder.method.__wrapped__.calls == [((h, b"x"), {})]


# ---- status helpers ------------------------------------------------------------------------------------


@pytest.fixture
def log_records(caplog):
    caplog.set_level(logging.DEBUG, logger=c_sdk.vqsdklogger.name)
    return caplog


def test_status_ok():
    assert c_sdk.c_status_ok(SUCCESS) is True
    assert c_sdk.c_status_ok(FAILURE) is False
    assert c_sdk.c_status_ok("x") is False
    # ints past a C long, and constants that are no exact int: Python's equality all the same
    for constant, status, equal in [(SUCCESS, 2**70, False), (2**70, 2**70, True), (True, 1, True), (1.0, 1, True),
                                    (SUCCESS, float(SUCCESS), True)]:
        c_sdk.CSDK_OPERATE_SUCCESS = constant
        assert c_sdk.c_status_ok(status) is equal
    c_sdk.CSDK_OPERATE_SUCCESS = Recorder  # whatever equality returns comes back as it is
    assert c_sdk.c_status_ok(Recorder) is True
    del c_sdk.CSDK_OPERATE_SUCCESS
    with pytest.raises(NameError) as err:
        c_sdk.c_status_ok(SUCCESS)
    assert tb_names(err.value) == [tb_names(err.value)[0], "c_sdk.c_status_ok"]


def test_status_fail_success_logs_nothing(sdk, log_records):
    assert c_sdk.c_status_fail(SUCCESS) is False
    assert c_sdk.c_status_fail(SUCCESS, "fn") is False
    assert sdk.calls() == [] and log_records.records == []


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((FAILURE,), {}, f"invoke c fun error code={FAILURE}, error info=error {FAILURE}"),
        ((FAILURE, None), {}, f"invoke c fun error code={FAILURE}, error info=error {FAILURE}"),
        ((FAILURE, ""), {}, f"invoke c fun error code={FAILURE}, error info=error {FAILURE}"),
        ((FAILURE, "vqi_place_order_pb"), {}, f"invoke c fun=vqi_place_order_pb error code={FAILURE}, error info=error {FAILURE}"),
        ((), dict(cfunname=b"fn", status=FAILURE), f"invoke c fun=b'fn' error code={FAILURE}, error info=error {FAILURE}"),
        ((FAILURE, True), {}, f"invoke c fun=True error code={FAILURE}, error info=error {FAILURE}"),
    ],
)
def test_status_fail_logs_the_sdk_text(sdk, log_records, args, kwargs, message):
    assert c_sdk.c_status_fail(*args, **kwargs) is True
    assert [r.getMessage() for r in log_records.records] == [message]
    assert [r.levelno for r in log_records.records] == [logging.DEBUG]
    assert sdk.calls() == [Call("vqi_strerror", (FAILURE,))]


def test_status_fail_with_scripted_texts(sdk, log_records):
    sdk.script("vqi_strerror", text="timeout")
    c_sdk.c_status_fail(7 if SUCCESS != 7 else 8, "vqi_get_orders_pb")
    sdk.script("vqi_strerror", null_text=True)  # no text from the SDK: logged as empty
    c_sdk.c_status_fail(FAILURE)
    sdk.script("vqi_strerror", text=b"\xff")
    with pytest.raises(UnicodeDecodeError):
        c_sdk.c_status_fail(FAILURE)
    code = 7 if SUCCESS != 7 else 8
    assert [r.getMessage() for r in log_records.records] == [
        f"invoke c fun=vqi_get_orders_pb error code={code}, error info=timeout",
        f"invoke c fun error code={FAILURE}, error info=",
    ]


@pytest.mark.parametrize(
    "args, kwargs, error, message",
    [
        ((), {}, TypeError, r"^c_status_fail\(\) takes at least 1 positional argument \(0 given\)$"),
        ((1, 2, 3), {}, TypeError, r"^c_status_fail\(\) takes at most 2 positional arguments \(3 given\)$"),
        ((), dict(cfunname="x"), TypeError, r"takes at least 1 positional argument \(0 given\)$"),
        ((1,), dict(status=1), TypeError, r"^c_status_fail\(\) got multiple values for keyword argument 'status'$"),
        ((1,), dict(bogus=1), TypeError, r"^c_status_fail\(\) got an unexpected keyword argument 'bogus'$"),
        ((1,), {2: 3}, TypeError, r"^c_status_fail\(\) keywords must be strings$"),
        (("x",), {}, TypeError, "an integer is required"),  # from py_vqi_strerror
        ((2**40,), {}, OverflowError, None),
    ],
)
def test_status_fail_errors(sdk, args, kwargs, error, message):
    with pytest.raises(error, match=message) as err:
        c_sdk.c_status_fail(*args, **kwargs)
    assert "c_sdk.c_status_fail" in tb_names(err.value)


def test_status_fail_reads_its_globals_at_call_time(sdk):
    messages = []

    class Logger:
        def debug(self, message):
            messages.append(message)

    c_sdk.vqsdklogger = Logger()
    c_sdk.py_vqi_strerror = lambda status: b"patched %d" % status
    c_sdk.c_status_fail(FAILURE)
    assert messages == [f"invoke c fun error code={FAILURE}, error info=patched {FAILURE}"]
    del c_sdk.vqsdklogger
    with pytest.raises(NameError, match="vqsdklogger"):
        c_sdk.c_status_fail(FAILURE)
    c_sdk.vqsdklogger = Logger()
    c_sdk.vqsdklogger.debug = Recorder(RuntimeError("log down"))
    with pytest.raises(RuntimeError, match="log down"):
        c_sdk.c_status_fail(FAILURE)


def test_status_fail_docstrings():
    assert c_sdk.c_status_ok.__doc__ == "\n    c api 调用返回值status是否ok\n    "
    assert c_sdk.c_status_fail.__doc__ == "\n    c api 调用返回值status是否fail\n    "
    assert c_sdk.is_windows.__doc__ is None and c_sdk.is_linux.__doc__ is None
    assert "python2" in c_sdk.adapt_to_python3.__doc__


# ---- platform tests ----------------------------------------------------------------------------------


def test_platform_tests():
    system = platform.uname()[0].lower()
    assert c_sdk.is_linux() is (system == "linux")
    assert c_sdk.is_windows() is (system == "windows")


@pytest.mark.parametrize("system, windows, linux", [("Windows", True, False), ("LINUX", False, True), ("Darwin", False, False)])
def test_platform_tests_follow_the_platform_global(system, windows, linux):
    class Fake:
        @staticmethod
        def uname():
            return (system, "host")

    c_sdk.platform = Fake
    assert (c_sdk.is_windows(), c_sdk.is_linux()) == (windows, linux)
    del c_sdk.platform
    with pytest.raises(NameError, match="'platform'") as err:
        c_sdk.is_linux()
    assert tb_names(err.value)[-1] == "c_sdk.is_linux"
