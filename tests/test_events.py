"""The event bridge and the run-loop bindings, end to end through the SDK stand-in: events reach
the handler `f` as (topic, payload), a failed event is reported once and the loop goes on, and
the run-loop and timer bindings convert their arguments as the package expects."""

import builtins
import ctypes
import functools
import gc
import os
import sys
import traceback
import tracemalloc
import types
from typing import NamedTuple

import pytest

import c_sdk
from conftest import STANDIN_PY, SUCCESS, run_python
from vqsdk_standin import PTR, Call

CONTEXT = "c_sdk.callback_wrapper"


@pytest.fixture
def reports(monkeypatch):
    """What failed events reported: the standard printing (sys.excepthook) and the unraisable
    hook, one entry per call."""
    r = types.SimpleNamespace(printed=[], unraisable=[])
    monkeypatch.setattr(sys, "excepthook", lambda t, v, tb: r.printed.append(v))
    monkeypatch.setattr(sys, "unraisablehook", r.unraisable.append)
    return r


@pytest.fixture(autouse=True)
def _forget_printed_exception():
    yield
    for name in ("last_type", "last_value", "last_traceback", "last_exc"):
        vars(sys).pop(name, None)


@pytest.fixture
def got(sdk):
    """Registers a handler recording each event; the list it fills."""
    events = []
    c_sdk.py_vqi_set_data_callback(lambda topic, payload: events.append((topic, payload)))
    sdk.clear_calls()
    return events


def run_events(sdk, *events):
    for event in events:
        sdk.queue_event(*event)
    return c_sdk.py_vqi_run()


# ---- registration ------------------------------------------------------------------------------

@pytest.mark.parametrize("handler", [print, None, 5, "not callable"], ids=repr)
def test_registration_binds_f_and_registers_with_the_sdk_each_time(sdk, handler):
    assert "f" not in vars(c_sdk)
    assert c_sdk.py_vqi_set_data_callback(handler) is None
    assert c_sdk.f is handler
    assert c_sdk.py_vqi_set_data_callback(handler) is None
    assert sdk.calls() == [Call("vqi_set_event_callback_pb", (PTR,))] * 2
    assert sdk.callback_registered


def test_registration_that_cannot_bind_the_name_raises_and_skips_the_sdk(sdk):
    testcapi = pytest.importorskip("_testcapi")
    ns, register, handler = vars(c_sdk), c_sdk.py_vqi_set_data_callback, print
    # Fill the namespace until a new name needs a bigger table, then let that one allocation fail.
    for key in [f"_fill_{i}" for i in range(10_000)]:
        testcapi.set_nomemory(0, 1)
        try:
            ns[key] = None
        except MemoryError:
            break
        finally:
            testcapi.remove_mem_hooks()
    sdk.clear_calls()
    error = None
    testcapi.set_nomemory(0, 1)
    try:
        register(handler)
    except MemoryError as e:
        error = e
    finally:
        testcapi.remove_mem_hooks()
    assert isinstance(error, MemoryError)
    assert "c_sdk.py_vqi_set_data_callback" in [fr.name for fr in traceback.extract_tb(error.__traceback__)]
    assert "f" not in ns and sdk.calls() == []


# ---- delivery ----------------------------------------------------------------------------------

DELIVERIES = [
    # IS_PY2, (topic, data, length) as the SDK passes them, (topic, payload) as the handler gets them
    (False, ("tick.SHSE.600000", b"\x08\x01\x12\x03abc"), ("tick.SHSE.600000", b"\x08\x01\x12\x03abc")),
    (False, ("bar", b"a\0b\0"), ("bar", b"a\0b\0")),
    (False, ("", b""), ("", b"")),
    (False, ("行情", b"x"), ("行情", b"x")),
    (False, ("t", b"abcdef", 3), ("t", b"abc")),
    (False, ("t", b"ab", 4), ("t", b"ab\0\0")),
    (False, ("t", None, 0), ("t", b"")),
    (True, ("tick", b"x"), (b"tick", b"x")),
    (True, (b"\xff\xfe", b"\0"), (b"\xff\xfe", b"\0")),
    (1, ("tick", b"x"), (b"tick", b"x")),
    (0, ("tick", b"x"), ("tick", b"x")),
    ("", ("tick", b"x"), ("tick", b"x")),
]


@pytest.mark.parametrize("via", ["emit", "run"])
@pytest.mark.parametrize("is_py2, event, expected", DELIVERIES)
def test_events_reach_the_handler(sdk, got, via, is_py2, event, expected):
    c_sdk.IS_PY2 = is_py2
    if via == "emit":
        sdk.emit(*event)
    else:
        assert run_events(sdk, event) == SUCCESS
    assert got == [expected]
    assert [type(x) for x in got[0]] == [type(x) for x in expected]


def test_names_are_looked_up_at_each_event_module_first_then_builtins(sdk, got, monkeypatch):
    sdk.emit("a")
    c_sdk.IS_PY2 = True
    sdk.emit("b")
    del c_sdk.IS_PY2
    monkeypatch.setattr(builtins, "IS_PY2", False, raising=False)
    sdk.emit("c")
    other = []
    c_sdk.f = lambda topic, payload: other.append(topic)
    sdk.emit("d")
    monkeypatch.setattr(builtins, "f", c_sdk.f, raising=False)
    del c_sdk.f
    sdk.emit("e")
    assert got == [("a", b""), (b"b", b""), ("c", b"")] and other == ["d", "e"]


def test_bound_method_handler_gets_its_instance(sdk):
    class Strategy:
        def on_event(self, topic, payload):
            self.seen = (self, topic, payload)

    strategy = Strategy()
    c_sdk.py_vqi_set_data_callback(strategy.on_event)
    sdk.emit("tick", b"p")
    assert strategy.seen == (strategy, "tick", b"p")


def test_handler_stops_the_loop_and_calls_other_bindings_inside_run(sdk, got):
    def handler(topic, payload):
        got.append(topic)
        if topic == "stop":
            got.append((c_sdk.py_vqi_stop(), c_sdk.py_vqi_user_timer(5, 1)))

    c_sdk.py_vqi_set_data_callback(handler)
    sdk.clear_calls()
    assert run_events(sdk, ("a",), ("stop",), ("b",), ("c",)) == SUCCESS
    assert got == ["a", "stop", (SUCCESS, 1)] and sdk.pending_events == 2
    assert sdk.calls() == [Call("vqi_run", ()), Call("vqi_stop", ()), Call("vqi_user_timer", (5, 1))]
    assert c_sdk.py_vqi_run() == SUCCESS and got[3:] == ["b", "c"]


@pytest.mark.parametrize("make", [
    lambda replace: lambda topic, payload: replace(),
    lambda replace: functools.partial(lambda replace, topic, payload: replace(), replace),
], ids=["function", "partial"])
def test_handler_replaced_between_events_even_by_itself(sdk, reports, make):
    seen = []

    def second(topic, payload):
        seen.append(topic)

    # The namespace holds the only reference to the first handler, and drops it while it runs.
    c_sdk.py_vqi_set_data_callback(make(lambda: c_sdk.py_vqi_set_data_callback(second)))
    run_events(sdk, ("first",), ("second",))
    assert seen == ["second"] and c_sdk.f is second and reports.unraisable == []


# ---- failed events -------------------------------------------------------------------------------

def _negative_size_error():
    """The interpreter's own error for a bytes object of negative size."""
    make = ctypes.PyDLL(None).PyBytes_FromStringAndSize
    make.restype, make.argtypes = ctypes.py_object, (ctypes.c_char_p, ctypes.c_ssize_t)
    try:
        make(b"x", -1)
    except Exception as e:  # noqa: BLE001
        return type(e), str(e)
    raise AssertionError("a negative size was accepted")


def _raise(topic, payload):
    raise ValueError("boom")


class NoTruth:
    def __bool__(self):
        raise RuntimeError("no truth value")


class Failure(NamedTuple):
    error: type
    message: str
    handler: object = None  # registered instead of the recording handler
    breaks: object = None  # what else goes wrong in the namespace
    event: tuple = ("tick.SHSE.600000", b"\x08\x01payload")  # neither is a cached object


NEGATIVE_SIZE = _negative_size_error()
FAILURES = {
    "handler raises": Failure(ValueError, "boom", handler=_raise),
    "not callable": Failure(TypeError, "'int' object is not callable", handler=5),
    "wrong arity": Failure(TypeError, "positional argument", handler=lambda topic: None),
    "f deleted": Failure(NameError, "name 'f' is not defined", breaks=lambda ns: ns.pop("f")),
    "IS_PY2 deleted": Failure(NameError, "name 'IS_PY2' is not defined", breaks=lambda ns: ns.pop("IS_PY2")),
    "IS_PY2 truth raises": Failure(RuntimeError, "no truth value", breaks=lambda ns: ns.update(IS_PY2=NoTruth())),
    "invalid UTF-8 topic": Failure(UnicodeDecodeError, "'utf-8' codec can't decode", event=(b"\xfftick", b"x")),
    "negative length": Failure(*NEGATIVE_SIZE, event=("tick", b"abc", -1)),
    "null payload with length": Failure(
        SystemError, "callback_wrapper: the SDK passed a null payload of length 4", event=("tick", None, 4)),
    "null topic": Failure(SystemError, "callback_wrapper: the SDK passed a null topic", event=(None, b"x")),
}


def break_events(case, handler):
    c_sdk.py_vqi_set_data_callback(handler if case.handler is None else case.handler)
    if case.breaks:
        case.breaks(vars(c_sdk))


@pytest.mark.parametrize("case", FAILURES.values(), ids=FAILURES)
def test_failed_event_is_reported_once_and_the_next_is_delivered(sdk, reports, got, case):
    recorder = c_sdk.f
    break_events(case, recorder)
    sdk.emit(*case.event)
    [report] = reports.unraisable
    assert (report.object, report.err_msg, report.exc_type) == (CONTEXT, None, case.error)
    assert case.message in str(report.exc_value)
    assert reports.printed == [report.exc_value] and sys.last_value is report.exc_value
    c_sdk.IS_PY2 = False
    c_sdk.py_vqi_set_data_callback(recorder)
    sdk.emit("next", b"ok")
    assert got == [("next", b"ok")] and len(reports.unraisable) == 1


def test_failure_is_printed_with_traceback_then_reported_as_unraisable(sdk, capsys, monkeypatch):
    monkeypatch.setattr(sys, "excepthook", sys.__excepthook__)
    monkeypatch.setattr(sys, "unraisablehook", sys.__unraisablehook__)
    c_sdk.py_vqi_set_data_callback(_raise)
    sdk.emit("tick")
    err = capsys.readouterr().err
    assert err.count("ValueError: boom") == 2 and err.count(", in _raise\n") == 2
    assert err.index("ValueError: boom") < err.index("Exception ignored in: 'c_sdk.callback_wrapper'")


def test_run_loop_goes_on_after_failed_events_and_keyboard_interrupt(sdk, reports, got):
    recorder = c_sdk.f

    def handler(topic, payload):
        if topic == "interrupt":
            raise KeyboardInterrupt
        recorder(topic, payload)

    c_sdk.py_vqi_set_data_callback(handler)
    assert run_events(sdk, ("a",), (None, b""), ("interrupt",), ("b", None, 2), ("c", b"z")) == SUCCESS
    assert got == [("a", b""), ("c", b"z")] and sdk.pending_events == 0
    assert [r.exc_type for r in reports.unraisable] == [SystemError, KeyboardInterrupt, SystemError]


@pytest.mark.parametrize("case", [*FAILURES.values(), Failure(None, "")], ids=[*FAILURES, "delivered"])
def test_events_leak_nothing(sdk, monkeypatch, case):
    reported = [0]

    def hook(unraisable):
        reported[0] += 1

    monkeypatch.setattr(sys, "excepthook", lambda *exc: None)
    monkeypatch.setattr(sys, "unraisablehook", hook)
    handler = case.handler if case.handler is not None else (lambda topic, payload: None)
    break_events(case, handler)
    emit = functools.partial(sdk.emit, *case.event)
    for _ in range(100):
        emit()
    gc.collect()
    refs = sys.getrefcount(handler)
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(3000):
            emit()
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert reported[0] == (3100 if case.error else 0)
    assert grown < 16_000 and sys.getrefcount(handler) == refs


@pytest.mark.parametrize("code, status, stderr", [(7, 7, ""), ("bye", 1, "bye\n"), (None, 0, "")])
def test_system_exit_in_the_handler_ends_the_process(code, status, stderr):
    done = run_python(f"""
import c_sdk
from vqsdk_standin import StandIn
sdk = StandIn()
def handler(topic, payload):
    raise SystemExit({code!r})
c_sdk.py_vqi_set_data_callback(handler)
sdk.queue_event("tick", b"x")
c_sdk.py_vqi_run()
print("run returned")
""", pythonpath=(STANDIN_PY, os.path.dirname(c_sdk.__file__)))
    assert (done.returncode, done.stdout, done.stderr) == (status, "", stderr)


# ---- run loop and timers -----------------------------------------------------------------------

@pytest.mark.parametrize("name", ["vqi_run", "vqi_stop", "vqi_get_stop_error_code"])
def test_run_loop_bindings_return_the_sdk_status(sdk, name):
    sdk.script(name, status=-4)
    assert getattr(c_sdk, "py_" + name)() == -4
    assert sdk.calls() == [Call(name, ())]


@pytest.mark.parametrize("name, args, kwargs, sdk_call, result", [
    ("py_vqi_set_timer", (2.5,), {}, ("vqi_set_timer", (2,)), None),
    ("py_vqi_set_timer", (True,), {}, ("vqi_set_timer", (1,)), None),
    ("py_vqi_schedule", (b"1d", b"09:31:00"), {}, ("vqi_schedule", (b"1d", b"09:31:00")), SUCCESS),
    ("py_vqi_schedule", ("1d", "09:31:00"), {}, ("vqi_schedule", (b"1d", b"09:31:00")), SUCCESS),
    ("py_vqi_schedule", (), {"time_rule": b"t", "date_rule": b"d"}, ("vqi_schedule", (b"d", b"t")), SUCCESS),
    ("py_vqi_user_timer", (60, 0), {}, ("vqi_user_timer", (60, 0)), 1),
    ("py_vqi_user_timer", (), {"period": 60, "start_delay": 0}, ("vqi_user_timer", (60, 0)), 1),
    ("py_vqi_user_timer", (60,), {"start_delay": 3}, ("vqi_user_timer", (60, 3)), 1),
    ("py_vqi_user_timer_stop", (5,), {}, ("vqi_user_timer_stop", (5,)), None),
])
def test_timer_bindings_convert_their_arguments(sdk, name, args, kwargs, sdk_call, result):
    assert getattr(c_sdk, name)(*args, **kwargs) == result
    assert sdk.calls() == [Call(*sdk_call)]


@pytest.mark.parametrize("name, args, kwargs, error, message", [
    ("py_vqi_schedule", (None, b"t"), {}, TypeError, "expected bytes, NoneType found"),
    ("py_vqi_schedule", (b"d",), {}, TypeError, "py_vqi_schedule() takes exactly 2 positional arguments (1 given)"),
    ("py_vqi_schedule", (b"d", b"t"), {"date_rule": b"x"}, TypeError, "multiple values for keyword argument"),
    ("py_vqi_user_timer", (), {"period": 60}, TypeError, "takes exactly 2 positional arguments (1 given)"),
    ("py_vqi_user_timer", (2**31, 0), {}, OverflowError, "too large to convert to C int"),
    ("py_vqi_user_timer_stop", (), {"timer_id": 5}, TypeError, "py_vqi_user_timer_stop() takes no keyword arguments"),
    ("py_vqi_set_timer", (None,), {}, TypeError, "an integer is required"),
    ("py_vqi_run", (1,), {}, TypeError, "py_vqi_run() takes no arguments (1 given)"),
])
def test_rejected_arguments_never_reach_the_sdk(sdk, name, args, kwargs, error, message):
    with pytest.raises(error) as info:
        getattr(c_sdk, name)(*args, **kwargs)
    assert message in str(info.value)
    assert sdk.calls() == []
