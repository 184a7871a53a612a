"""The SDK stand-in as its own user: calls made straight through ctypes must come back from the
call log byte for byte, scripts must bend the answers exactly as asked, and events must arrive
in order while handlers call back into the library.

Runs against the libvqsdk.so named by $VQSDK_STANDIN_LIB, else the one c_sdk loads.
"""

import ctypes
import os
import re
import sys
import threading
import time
from ctypes import POINTER, byref, c_char, c_char_p, c_double, c_int, c_longlong, c_void_p
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "standin" / "python"))

from vqsdk_standin import EVENT_CALLBACK, OUT, PTR, UNREAD, Call, Out, StandIn  # noqa: E402

QUERY = [c_char_p, c_int, POINTER(POINTER(c_char)), POINTER(c_int)]
SENTINEL = -77  # in *res_len before a call


@pytest.fixture(scope="module")
def standin():
    path = os.environ.get("VQSDK_STANDIN_LIB")
    if path:
        return StandIn(path)
    try:
        return StandIn()
    except ImportError:
        pytest.skip("c_sdk is not importable and VQSDK_STANDIN_LIB is not set")


@pytest.fixture
def sdk(standin):
    """A clean stand-in with no callback; whatever was configured before is put back after."""
    saved = standin.recording, standin.default_status, standin.swap_callback(None)
    standin.reset(config=True)
    yield standin
    standin.reset()
    standin.recording, standin.default_status = saved[:2]
    standin.swap_callback(saved[2])


def fn(sdk, name, argtypes, restype=c_int):
    f = getattr(sdk.lib, name)
    f.argtypes, f.restype = argtypes, restype
    return f


def query(sdk, name, req, req_len=None, res_null=False, len_null=False, preset=False):
    """Calls a query function; returns (status, response bytes or None, *res_len)."""
    res = POINTER(c_char)(c_char(b"!")) if preset else POINTER(c_char)()
    res_len = c_int(SENTINEL)
    status = fn(sdk, name, QUERY)(
        req, len(req or b"") if req_len is None else req_len,
        None if res_null else byref(res), None if len_null else byref(res_len))
    data = ctypes.string_at(res, max(res_len.value, 0)) if res and not res_null else None
    return status, data, res_len.value


def test_exports_are_the_headers_functions(sdk):
    header = (ROOT / "include" / "vqsdk" / "vqsdk.h").read_text()
    declared = re.findall(r"VQSDK_API [^;]*?VQSDK_CALL\s*(\w+)\(", header)
    assert len(declared) == 187
    assert list(sdk.names) == declared
    assert all(hasattr(sdk.lib, name) for name in declared)


@pytest.mark.parametrize("req, req_len, logged", [
    (b"a\0b", 3, b"a\0b"),
    (b"abcdef", 3, b"abc"),  # exactly req_len bytes
    (b"", 0, b""),
    (None, 5, None),
    (b"abc", -1, UNREAD),
    (None, -1, None),
])
def test_request_buffer_logged_and_echoed(sdk, req, req_len, logged):
    status, data, res_len = query(sdk, "vqi_get_orders_pb", req, req_len)
    assert sdk.calls() == [Call("vqi_get_orders_pb", (logged, req_len, OUT, OUT))]
    echo = b"vqi_get_orders_pb|" + (logged if isinstance(logged, bytes) else b"")
    assert (status, data, res_len) == (0, echo, len(echo))


@pytest.mark.parametrize("res_null, len_null, preset, logged, answer", [
    (True, False, False, (Out(null=True), OUT), (0, None, 17)),
    (False, True, False, (OUT, Out(null=True)), (0, b"", SENTINEL)),
    (False, False, True, (Out(preset=True), OUT), (0, b"vqi_get_cash_pb|q", 17)),
])
def test_out_parameters_logged_and_null_ones_untouched(sdk, res_null, len_null, preset, logged, answer):
    assert query(sdk, "vqi_get_cash_pb", b"q", res_null=res_null, len_null=len_null, preset=preset) == answer
    assert sdk.last_call().args[2:] == logged


@pytest.mark.parametrize("name, argtypes, args, logged", [
    ("vqi_smart_reorder", [c_char_p, c_double] + [c_int] * 8 + [c_char_p],
     (b"SHSE.600000", 10.5, 100, 1, 2, 3, 4, 5, 6, 7, None), (b"SHSE.600000", 10.5, 100, 1, 2, 3, 4, 5, 6, 7, None)),
    ("vqi_set_version", [c_char_p, c_char_p, c_void_p, c_void_p], (b"1.0", b"", None, 1), (b"1.0", b"", None, PTR)),
    ("vqi_set_mode_consistency", [ctypes.c_bool], (True,), (True,)),
    ("vqi_set_bus_secure", [c_int, c_char_p, c_char_p, c_char_p, ctypes.c_bool], (2, b"ca", None, b"", False),
     (2, b"ca", None, b"", False)),
    ("vqi_set_token", [c_char_p], (b"\xff\xfe tok",), (b"\xff\xfe tok",)),
    ("vqi_set_max_wait_time", [c_int], (-(2**31),), (-(2**31),)),
    ("vqi_set_backtest_config", [c_char_p, c_char_p] + [c_double] * 7 + [c_int] * 3,
     (b"s", b"e", 1e300, -0.5, 0.0, 1.0, 2.0, 3.0, 4.0, 1, 2, 3), (b"s", b"e", 1e300, -0.5, 0.0, 1.0, 2.0, 3.0, 4.0, 1, 2, 3)),
    ("vqi_current_pb", [c_char_p, ctypes.c_bool, c_char_p, c_void_p, c_void_p], (b"A,B", True, None, None, None),
     (b"A,B", True, None, Out(null=True), Out(null=True))),
    ("vqi_algo_order_batch_pb", [c_char_p, c_int, c_char_p, c_char_p, c_void_p, c_void_p],
     (b"r\0", 2, b"TWAP", b"{}", None, None), (b"r\0", 2, b"TWAP", b"{}", Out(null=True), Out(null=True))),
])
def test_arguments_logged_as_received(sdk, name, argtypes, args, logged):
    fn(sdk, name, argtypes)(*args)
    assert sdk.calls() == [Call(name, logged)]


@pytest.mark.parametrize("script, expected", [
    ({}, (0, b"vqi_get_cash_pb|req", 19)),
    ({"status": 7}, (7, b"vqi_get_cash_pb|req", 19)),
    ({"response": b"\0a\0"}, (0, b"\0a\0", 3)),
    ({"response": b""}, (0, b"", 0)),
    ({"null_response": True, "res_len": 5}, (0, None, 5)),
    ({"response": b"abc", "res_len": -1}, (0, b"", -1)),
    ({"response": b"ab", "res_len": 4}, (0, b"ab\0\0", 4)),
    ({"response": b"x", "skip_res_len": True, "status": 2}, (2, b"", SENTINEL)),
])
def test_query_scripts(sdk, script, expected):
    sdk.script("vqi_get_cash_pb", **script)
    assert query(sdk, "vqi_get_cash_pb", b"req") == expected
    assert query(sdk, "vqi_get_cash_pb", b"req") == expected  # sticky


def test_empty_response_is_a_non_null_pointer(sdk):
    sdk.script("vqi_raw_func_pb", response=b"")
    res, res_len = POINTER(c_char)(), c_int(SENTINEL)
    fn(sdk, "vqi_raw_func_pb", QUERY)(b"", 0, byref(res), byref(res_len))
    assert bool(res) and res_len.value == 0


@pytest.mark.parametrize("name, argtypes, args", [
    ("vqi_cancel_orders_pb", [c_char_p, c_int], (b"x", 1)),
    ("vqi_set_token", [c_char_p], (b"t",)),
    ("vqi_use_dsproxy", [], ()),
    ("vqi_get_stop_error_code", [], ()),
    ("vqi_smart_reorder_cancel", [c_int], (3,)),
    ("vqi_subscribe", [c_char_p, c_char_p, ctypes.c_bool], (b"A", b"tick", False)),
    ("vqi_schedule", [c_char_p, c_char_p], (b"1d", b"09:30:00")),
    ("vqi_get_serv_addr", [c_char_p, c_void_p], (b"md", None)),
    ("vqi_run", [], ()),
    ("vqi_stop", [], ()),
    ("vqi_get_account_info_pb", [c_void_p, c_void_p], (None, None)),
])
def test_int_results_follow_default_status_and_scripts(sdk, name, argtypes, args):
    f = fn(sdk, name, argtypes)
    assert f(*args) == 0
    sdk.default_status = -9
    assert f(*args) == -9
    sdk.script(name, status=41)
    assert f(*args) == 41


def test_one_shot_scripts_answer_in_turn_before_the_sticky_one(sdk):
    sdk.script("vqi_init", status=1)
    sdk.script("vqi_init", status=2, once=True)
    sdk.script("vqi_init", status=3, once=True)
    init = fn(sdk, "vqi_init", [])
    assert [init() for _ in range(4)] == [2, 3, 1, 1]
    sdk.unscript("vqi_init")
    assert init() == 0


def test_a_scripted_delay_takes_its_time_and_changes_nothing_else(sdk):
    sdk.script("vqi_init", delay=0.004, once=True)
    sdk.script("vqi_init", status=5, delay=0.002, once=True)
    init = fn(sdk, "vqi_init", [])
    took = []
    for _ in range(3):
        start = time.perf_counter_ns()
        took.append((init(), time.perf_counter_ns() - start))
    assert [status for status, _ in took] == [0, 5, 0]
    assert took[0][1] >= 4_000_000 and took[1][1] >= 2_000_000 and took[2][1] < 2_000_000
    with pytest.raises(ValueError, match="delay"):
        sdk.script("vqi_init", delay=-1)


@pytest.mark.parametrize("name, args, script, expected", [
    ("vqi_get_c_version", (), {}, b"vqsdk stand-in: the project's test double, not the vendor's SDK"),
    ("vqi_get_orgcode", (), {"text": "org\u00e9"}, "org\u00e9".encode()),
    ("vqi_get_encrypted_token", (), {"text": ""}, b""),
    ("vqi_get_ext_errormsg", (), {"null_text": True}, None),
    ("vqi_strerror", (-3,), {}, b"error -3"),
    ("vqi_strerror", (5,), {"text": b"boom"}, b"boom"),
])
def test_text_getters(sdk, name, args, script, expected):
    if script:
        sdk.script(name, **script)
    assert fn(sdk, name, [c_int] * len(args), c_char_p)(*args) == expected


@pytest.mark.parametrize("serv_id, script, expected", [
    (b"md", {}, (0, b"addr:md")),
    (None, {"status": 4}, (4, b"addr:")),
    (b"md", {"text": "h:1"}, (0, b"h:1")),
    (b"md", {"null_text": True, "status": 1}, (1, None)),
])
def test_serv_addr(sdk, serv_id, script, expected):
    if script:
        sdk.script("vqi_get_serv_addr", **script)
    addr = c_char_p(b"stale")
    status = fn(sdk, "vqi_get_serv_addr", [c_char_p, POINTER(c_char_p)])(serv_id, byref(addr))
    assert (status, addr.value) == expected
    assert sdk.last_call().args == (serv_id, Out(preset=True))


@pytest.mark.parametrize("name, restype, value, default", [
    ("vqi_now", c_longlong, 2**40 + 1, 1_700_000_000_000),
    ("vqi_now", c_longlong, -(2**62), 1_700_000_000_000),
    ("vqi_now_plus", c_double, 0.125, 1_700_000_000.25),
])
def test_clock_values(sdk, name, restype, value, default):
    f = fn(sdk, name, [], restype)
    assert f() == default
    sdk.script(name, value=value)
    assert f() == value


@pytest.mark.parametrize("name, script, error", [
    ("vqi_set_mode", {"status": 1}, ValueError),  # returns void
    ("vqi_init", {"response": b"x"}, ValueError),
    ("vqi_now", {"text": "x"}, ValueError),
    ("vqi_get_orgcode", {"status": 0}, ValueError),
    ("vqi_nope", {"status": 1}, KeyError),
])
def test_scripts_a_function_cannot_use_are_refused(sdk, name, script, error):
    with pytest.raises(error):
        sdk.script(name, **script)


def test_user_timer_ids_count_from_one_until_reset(sdk):
    timer = fn(sdk, "vqi_user_timer", [c_int, c_int])
    assert [timer(1000, 0) for _ in range(3)] == [1, 2, 3]
    sdk.reset()
    assert timer(5, 5) == 1


def test_recording_off_keeps_answers_and_logs_nothing(sdk):
    sdk.recording = False
    assert query(sdk, "vqi_get_fundamentals", b"\0q") == (0, b"vqi_get_fundamentals|\0q", 23)
    assert query(sdk, "vqi_get_fundamentals", b"a" * 1000)[1] == b"vqi_get_fundamentals|" + b"a" * 1000
    assert query(sdk, "vqi_get_fundamentals", b"b")[1] == b"vqi_get_fundamentals|b"
    assert sdk.calls() == [] and sdk.call_count == 0


@pytest.mark.parametrize("recording", [True, False])
def test_concurrent_calls_keep_their_own_answers(sdk, recording):
    sdk.recording = recording
    lib = ctypes.CDLL(sdk.path)  # releases the GIL around calls
    f = lib.vqi_get_orders_pb
    f.argtypes = QUERY
    errors = []

    def worker(tag):
        req = tag * 50
        for _ in range(2000):
            res, n = POINTER(c_char)(), c_int()
            f(req, len(req), byref(res), byref(n))
            if ctypes.string_at(res, n.value) != b"vqi_get_orders_pb|" + req:
                errors.append(tag)
                return

    threads = [threading.Thread(target=worker, args=(bytes([65 + i]),)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert not any(t.is_alive() for t in threads)
    assert errors == []
    assert sdk.call_count == (8000 if recording else 0)


def test_threads_inside_sdk_code_are_counted_once_each(sdk):
    # One thread: a handler's calls inside vqi_run are its own nesting, never a second thread.
    rec = Recorder(sdk, on_event=lambda n: query(sdk, "vqi_get_orders_pb", b"nested"))
    for _ in range(3):
        sdk.queue_event("t", b"")
    assert fn(sdk, "vqi_run", [])() == 0 and len(rec.events) == 3
    assert sdk.inside_max(reset=True) == 1
    # Two threads calling at once (long calls, the GIL released) are seen together.
    f = ctypes.CDLL(sdk.path).vqi_get_orders_pb
    f.argtypes = QUERY
    req = b"x" * (1 << 20)

    def calls():
        for _ in range(20):
            f(req, len(req), POINTER(c_char)(), c_int())

    deadline = time.monotonic() + 10
    while sdk.inside_max() < 2 and time.monotonic() < deadline:
        threads = [threading.Thread(target=calls) for _ in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
        assert not any(t.is_alive() for t in threads)
        sdk.clear_calls()
    assert sdk.inside_max() == 2


# ---- events ----

class Recorder:
    """A registered event callback collecting (topic, payload, len); `on_event` may act too."""

    def __init__(self, sdk, on_event=None):
        self.events, self.on_event = [], on_event
        self.cb = EVENT_CALLBACK(self)
        assert fn(sdk, "vqi_set_event_callback_pb", [EVENT_CALLBACK])(self.cb) == 0

    def __call__(self, topic, data, length):
        payload = None if not data else ctypes.string_at(data, length) if length >= 0 else b""
        self.events.append((topic, payload, length))
        if self.on_event:
            self.on_event(len(self.events))


EVENTS = [  # (queue_event arguments, what the callback receives)
    (("tick", b"\x08\x01\0\x02"), (b"tick", b"\x08\x01\0\x02", 4)),
    (("empty", b""), (b"empty", b"", 0)),
    ((b"\xff\xfe", b"x"), (b"\xff\xfe", b"x", 1)),
    (("neg", b"abc", -2), (b"neg", b"", -2)),
    (("nullpayload", None, 4), (b"nullpayload", None, 4)),
    ((None, b"p"), (None, b"p", 1)),
    (("padded", b"ab", 4), (b"padded", b"ab\0\0", 4)),
]


def test_run_delivers_every_form_of_event_in_order(sdk):
    rec = Recorder(sdk)
    for args, _ in EVENTS:
        sdk.queue_event(*args)
    assert fn(sdk, "vqi_run", [])() == 0
    assert rec.events == [expected for _, expected in EVENTS]
    assert sdk.pending_events == 0
    assert sdk.calls() == [Call("vqi_set_event_callback_pb", (PTR,)), Call("vqi_run", ())]


def test_handler_stop_ends_run_and_the_rest_waits(sdk):
    stop = fn(sdk, "vqi_stop", [])
    rec = Recorder(sdk, lambda n: n == 2 and stop())
    for i in range(4):
        sdk.queue_event(f"t{i}", b"")
    run = fn(sdk, "vqi_run", [])
    assert run() == 0
    assert [e[0] for e in rec.events] == [b"t0", b"t1"]
    assert sdk.pending_events == 2 and sdk.stop_requested
    run()  # a new run clears the stop flag
    assert [e[0] for e in rec.events] == [b"t0", b"t1", b"t2", b"t3"]
    assert not sdk.stop_requested


def test_handler_may_call_back_into_the_library(sdk):
    def on_event(n):
        if n == 1:
            sdk.queue_event("late", b"")
            assert query(sdk, "vqi_get_orders_pb", b"in")[1] == b"vqi_get_orders_pb|in"
            sdk.unscript()  # changes state a running loop also reads

    rec = Recorder(sdk, on_event)
    sdk.script("vqi_run", status=6)
    sdk.queue_event("first", b"")
    sdk.queue_event("second", b"")
    assert fn(sdk, "vqi_run", [])() == 6  # the script taken at entry holds
    assert [e[0] for e in rec.events] == [b"first", b"second", b"late"]
    assert [c.name for c in sdk.calls()] == ["vqi_set_event_callback_pb", "vqi_run", "vqi_get_orders_pb"]


def test_poll_delivers_at_most_one(sdk):
    rec = Recorder(sdk)
    poll = fn(sdk, "vqi_poll", [])
    sdk.queue_event("a", b"1")
    sdk.queue_event("b", b"2")
    assert [poll(), poll(), poll()] == [1, 1, 0]
    assert rec.events == [(b"a", b"1", 1), (b"b", b"2", 1)]
    sdk.script("vqi_poll", status=-1)
    sdk.queue_event("c", b"")
    assert poll() == -1 and len(rec.events) == 3


def test_emit_is_synchronous_and_needs_a_callback(sdk):
    with pytest.raises(RuntimeError):
        sdk.emit("t", b"x")
    rec = Recorder(sdk)
    sdk.emit(None, b"a\0", length=-1)
    assert rec.events == [(None, b"", -1)]
    assert sdk.pending_events == 0


def test_reset_keeps_the_callback_unless_asked(sdk):
    rec = Recorder(sdk)
    sdk.queue_event("dropped", b"")
    sdk.reset()
    assert sdk.callback_registered and sdk.pending_events == 0 and sdk.calls() == []
    sdk.emit("kept", b"")
    sdk.reset(callback=True)
    assert not sdk.callback_registered
    assert rec.events == [(b"kept", b"", 0)]
