"""Nothing leaks: every binding, exposed function and helper, called many times on its success and
its error paths, leaves the traced memory and the reference counts of its arguments, results and
handler where they were. (The event callback's own paths are checked in test_events.py.)"""

import decimal
import fractions
import gc
import logging
import sys
import sysconfig
import tracemalloc

import pytest

import c_sdk
from conftest import FAILURE, SUCCESS
from surface import BINDINGS, EXPOSED, RECORD_CLASSES

WARM_UP, ROUNDS, WINDOWS = 100, 200, 3
GENERATIONAL = not sysconfig.get_config_var("Py_GIL_DISABLED")
CALLS = [0]


@pytest.fixture(scope="module", autouse=True)
def _report_iterations(request):
    class Summary:
        def pytest_terminal_summary(self, terminalreporter):
            if CALLS[0]:
                terminalreporter.write_line(f"leak checks: {CALLS[0]} calls")

    request.config.pluginmanager.register(Summary())
    yield


def assert_no_leak(step, *watched):
    """Runs `step` WARM_UP times, then WINDOWS times ROUNDS times: the reference count of nothing
    `watched` may change, and the traced memory must stay put (under 8 bytes a call, less than any
    object) over at least one window. A leak grows every window; the interpreter's own caches and
    free lists only now and then."""
    for _ in range(WARM_UP):
        step()
    # The young generations emptied, so the windows' young collections free nothing made before
    # the counts below (a full collection here costs more than the calls, in a large test run).
    # The free-threaded collector has no generations: there, a full one.
    gc.collect(1 if GENERATIONAL else 2)
    refs = [sys.getrefcount(o) for o in watched]
    growth = []
    gc.disable()  # what a window makes stays young: collecting the youngest generation frees its cycles
    tracemalloc.start()
    try:
        for _ in range(WINDOWS):
            before = tracemalloc.get_traced_memory()[0]
            for _ in range(ROUNDS):
                step()
            gc.collect(0)
            growth.append(tracemalloc.get_traced_memory()[0] - before)
    finally:
        tracemalloc.stop()
        gc.enable()
    CALLS[0] += WARM_UP + WINDOWS * ROUNDS
    assert [sys.getrefcount(o) for o in watched] == refs
    assert min(growth) < 8 * ROUNDS, f"{growth} bytes more in each window of {ROUNDS} calls"


def raising(error, fn, *args, **kwargs):
    def step():
        try:
            fn(*args, **kwargs)
        except error:
            return
        raise AssertionError(f"{fn} did not raise {error.__name__}")

    return step


def test_the_check_sees_a_leak():
    kept, obj = [], [1]
    with pytest.raises(AssertionError, match="bytes more"):
        assert_no_leak(lambda: kept.append(bytes(bytearray(b"1234"))))
    with pytest.raises(AssertionError, match=r"\[\d+\] == \[\d+\]"):
        assert_no_leak(lambda: kept.append(obj), obj)


class Boom(Exception):
    pass


class Hostile:
    def _raise(self, *_):
        raise Boom

    __int__ = __float__ = __bool__ = __len__ = __eq__ = _raise
    __hash__ = None


def fresh(kind, i):
    """A new argument of `kind` that no cache or immortal object stands for."""
    return {
        "req": lambda: bytes(bytearray(b"req\0%d" % i)),
        "text": lambda: bytes(bytearray(b"text%d" % i)),
        "int": lambda: int("%d" % (100_000 + i)),
        "real": lambda: float("%d.5" % i),
        "bool": lambda: [i],
        "flag": lambda: int("%d" % (100_000 + i)),
        "handler": lambda: (lambda topic, payload: None),
    }[kind]()


def bad(kind):
    return Hostile() if kind in ("int", "real", "bool", "flag", "req") else [b"not", b"bytes"]


TARGETS = [(b.name, b.sdk, [k for _, k in b.params], b.result) for b in BINDINGS] + [
    (name, name, [p.split(":")[1] for p in params.split()], result) for name, (_, params, result) in EXPOSED.items()]
IDS = [t[0] for t in TARGETS]


def fresh_result(result):
    """The objects of a result that must be new, held by nobody else (no object the interpreter
    shares: its small ints, how many of them it keeps depending on the version, or one-byte bytes)."""
    objs = list(result) if isinstance(result, tuple) else [result]
    return [o for o in objs if (isinstance(o, bytes) and len(o) > 1) or type(o) is float or
            (type(o) is int and int(str(o)) is not o)]


def held(result):
    """The reference counts of the new objects of a result once the result itself is gone. Which
    references the interpreter counts (its own stack's) changes between versions: the caller
    compares them with those of plain objects held the same way, so only what the module keeps
    shows."""
    objs = fresh_result(result)
    del result
    return [sys.getrefcount(o) for o in objs]


@pytest.mark.parametrize("name, sdk_name, kinds, result", TARGETS, ids=IDS)
def test_success_path(sdk, name, sdk_name, kinds, result):
    fn = getattr(c_sdk, name)
    args = [fresh(kind, i) for i, kind in enumerate(kinds)]
    sdk.recording = False  # the stand-in's log would grow
    assert_no_leak(lambda: fn(*args), *args)
    counts = held(fn(*args))
    plain = held(tuple(bytes(bytearray(b"plain%d" % i)) for i in range(len(counts))))  # not inside the assert,
    assert counts == plain  # whose rewriting keeps the tuple


@pytest.mark.parametrize("name, sdk_name, kinds, result", TARGETS, ids=IDS)
def test_rejected_arguments(sdk, name, sdk_name, kinds, result):
    fn = getattr(c_sdk, name)
    args = [fresh(kind, i) for i, kind in enumerate(kinds)]
    if kinds and kinds[0] != "handler":
        args[0] = bad(kinds[0])
        step = raising((TypeError, Boom), fn, *args)
    else:
        args.append(fresh("req", 9))
        step = raising(TypeError, fn, *args)
    sdk.recording = False
    assert_no_leak(step, *args)


@pytest.mark.parametrize("name, sdk_name, kinds, result", [t for t in TARGETS if t[3] in ("query", "address")],
                         ids=[t[0] for t in TARGETS if t[3] in ("query", "address")])
def test_failed_status(sdk, name, sdk_name, kinds, result):
    fn = getattr(c_sdk, name)
    args = [fresh(kind, i) for i, kind in enumerate(kinds)]
    sdk.script(sdk_name, status=FAILURE, **({"response": b"unread"} if result == "query" else {"text": "unread"}))
    sdk.recording = False
    assert_no_leak(lambda: fn(*args), *args)


class IntLike:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


# Arguments that take each kind's slow conversion (a new object made on the way, or a length).
SLOW = {
    "int from float": ("py_vqi_set_max_wait_time", lambda: [float("100000.5")]),
    "int from __int__": ("py_vqi_set_max_wait_time", lambda: [IntLike(int("100000"))]),
    "int from huge __int__": ("py_vqi_set_max_wait_time", lambda: [IntLike(2 ** int("40"))]),
    "int from decimal": ("py_vqi_strerror", lambda: [decimal.Decimal("100000.5")]),
    "flag from float": ("py_vqi_set_mode_consistency", lambda: [float("0.5")]),
    "real from int": ("py_vqi_set_backtest_config", lambda: [b"s", b"e"] + [10**12] * 7 + [1, 2, 3]),
    "real from fraction": ("py_vqi_set_backtest_config",
                           lambda: [b"s", b"e"] + [fractions.Fraction(1, 3)] * 7 + [1, 2, 3]),
    "truth by len": ("py_vqi_set_bus_secure", lambda: [1, b"a", b"b", b"c", [1, 2]]),
    "request bytearray": ("py_vqi_get_orders", lambda: [bytearray(b"order")]),
    "request bytes subclass": ("py_vqi_get_orders", lambda: [Subclass(b"order")]),
    "request too long by len": ("py_vqi_get_orders", lambda: [Overstated(b"order")]),
    "text bytearray": ("py_vqi_set_account_id", lambda: [bytearray(b"acc")]),
    "text bytes subclass": ("py_vqi_set_account_id", lambda: [Subclass(b"acc")]),
    "bytearray, later conversion fails": ("py_vqi_set_bus_secure", lambda: [1, bytearray(b"a"), b"b", b"c", Hostile()]),
}


class Subclass(bytes):
    pass


class Overstated(bytes):
    def __len__(self):
        return 1000


@pytest.mark.parametrize("name, make_args", SLOW.values(), ids=SLOW)
def test_slow_conversions(sdk, name, make_args):
    fn, args = getattr(c_sdk, name), make_args()
    sdk.recording = False
    failing = any(isinstance(a, (Overstated, Hostile)) or (isinstance(a, IntLike) and a.value > 2**31) for a in args)
    step = raising((ValueError, OverflowError, Boom), fn, *args) if failing else lambda: fn(*args)
    assert_no_leak(step, *args, *[a.value for a in args if isinstance(a, IntLike)])


# Keyword calls: the binding holds every keyword value for the call.
REORDER_KW = dict(symbol=b"s", price=0.5, volume=1, side=1, order_type=1, position_effect=1, repeat_n=1,
                  max_price_offset=1, time_out=1, time_wait=1, account=b"a")  # the kinds; fresh values each run
KEYWORD_CALLS = {
    "by keyword": lambda fn, kw: lambda: fn.__wrapped__(**kw),
    "keys not interned": lambda fn, kw: lambda: fn.__wrapped__(**{"".join(k): v for k, v in kw.items()}),
    "through the wrapper": lambda fn, kw: lambda: fn(**kw),
    "keyword missing": lambda fn, kw: raising(TypeError, fn.__wrapped__, **dict(list(kw.items())[1:])),
    "keyword unknown": lambda fn, kw: raising(TypeError, fn.__wrapped__, **kw, other=1),
    "conversion fails": lambda fn, kw: raising(Boom, fn.__wrapped__, **dict(kw, volume=Hostile())),
}


@pytest.mark.parametrize("make_step", KEYWORD_CALLS.values(), ids=KEYWORD_CALLS)
def test_keyword_calls(sdk, make_step):
    kinds = {bytes: "text", int: "int", float: "real"}
    kw = {k: fresh(kinds[type(v)], i) for i, (k, v) in enumerate(REORDER_KW.items())}
    sdk.recording = False
    assert_no_leak(make_step(c_sdk.py_vqi_smart_reorder, kw), *kw.values())


@pytest.mark.parametrize("constant", [2**70, 1.0 * SUCCESS, [SUCCESS]], ids=["big int", "float", "list"])
def test_success_constant_held_for_the_call(sdk, constant):
    c_sdk.CSDK_OPERATE_SUCCESS = constant
    req = fresh("req", 1)
    assert_no_leak(lambda: c_sdk.py_vqi_get_orders(req), constant, req)


# ---- adapt_to_python3 ---------------------------------------------------------------------------------


def target(*args, **kwargs):
    return args


def explode(*args, **kwargs):
    raise Boom


class Holder:
    method = c_sdk.adapt_to_python3(target)


@pytest.mark.parametrize("make_step", [
    lambda func: lambda: c_sdk.adapt_to_python3(func)("text", b"b", 3, key="v", other=b"o"),
    lambda func: raising(UnicodeEncodeError, c_sdk.adapt_to_python3(func), "ok", "caf\xe9"),
    lambda func: raising(UnicodeEncodeError, c_sdk.adapt_to_python3(func), key="\u4e2d"),
    lambda func: raising(Boom, c_sdk.adapt_to_python3(explode), "a", key="v"),
    lambda func: lambda: Holder().method("a"),
    lambda func: raising(TypeError, c_sdk.py_vqi_get_orders, b"a", key="b"),
    lambda func: raising(TypeError, c_sdk.adapt_to_python3(c_sdk.py_vqi_get_orders), "a", "b"),
], ids=["str arguments", "non-ASCII argument", "non-ASCII keyword", "func raises", "as a method",
        "builtin argument error", "builtin through a new wrapper"])
def test_wrapper(sdk, make_step):
    sdk.recording = False
    assert_no_leak(make_step(target), target)


def test_wrapper_cycles_are_collected():
    def step():
        box = []
        box.append(c_sdk.adapt_to_python3(box.append))

    assert_no_leak(step)


# ---- helpers -------------------------------------------------------------------------------------------


@pytest.fixture
def debug_logged():
    """A logger of our own at DEBUG as vqsdklogger, its records dropped: the whole logging path
    runs and nothing is kept. (Unregistered, so no capture handler of the test runner attaches.)"""
    logger = logging.Logger("vqsdk.leak-check", logging.DEBUG)
    logger.propagate = False
    logger.addHandler(logging.NullHandler())
    c_sdk.vqsdklogger = logger  # the namespace is restored after each test


HELPER_CALLS = {
    "ok, success": lambda s: lambda: c_sdk.c_status_ok(s),
    "ok, failure": lambda s: lambda: c_sdk.c_status_ok(s + 100_000),
    "ok, == raises": lambda s: raising(Boom, c_sdk.c_status_ok, Hostile()),
    "fail, success": lambda s: lambda: c_sdk.c_status_fail(s, "vqi_x"),
    "fail, failure": lambda s: lambda: c_sdk.c_status_fail(s + 100_000, "vqi_x"),
    "fail, by keyword": lambda s: lambda: c_sdk.c_status_fail(cfunname="", status=s + 100_000),
    "fail, name truth raises": lambda s: raising(Boom, c_sdk.c_status_fail, s + 100_000, Hostile()),
    "fail, too many": lambda s: raising(TypeError, c_sdk.c_status_fail, s, "a", "b"),
    "fail, unknown keyword": lambda s: raising(TypeError, c_sdk.c_status_fail, s, other=1),
    "fail, status missing": lambda s: raising(TypeError, c_sdk.c_status_fail, cfunname="x"),
    "is_linux": lambda s: c_sdk.is_linux,
    "is_windows": lambda s: c_sdk.is_windows,
}


class Platform:
    """platform as the tests read it. (The real one's uname() fills a tuple free list on the way.)"""

    @staticmethod
    def uname():
        return ["Linux", "host"]


@pytest.mark.parametrize("make_step", HELPER_CALLS.values(), ids=HELPER_CALLS)
def test_helpers(sdk, debug_logged, make_step):
    sdk.recording = False
    c_sdk.platform = Platform
    status = int("%d" % (SUCCESS + 0))
    assert_no_leak(make_step(status))


def test_platform_test_failing():
    c_sdk.platform = object()
    assert_no_leak(raising(AttributeError, c_sdk.is_linux))


# ---- events through the SDK's own loop ----------------------------------------------------------------


@pytest.mark.parametrize("drive", ["vqi_poll", "py_vqi_run"])
def test_events_delivered_by_the_sdk_loop(sdk, drive):
    seen = [0]

    def handler(topic, payload):
        seen[0] += 1

    c_sdk.py_vqi_set_data_callback(handler)
    sdk.recording = False
    run = getattr(c_sdk, drive)

    def step():
        sdk.queue_event("tick.SHSE.600000", b"\x08\x01 payload")
        run()

    assert_no_leak(step, handler)
    assert seen[0] == WARM_UP + WINDOWS * ROUNDS


# ---- records ---------------------------------------------------------------------------------------------


@pytest.mark.parametrize("name", RECORD_CLASSES)
def test_records(name):
    cls = getattr(c_sdk, name, None)
    if cls is None:
        pytest.skip(f"{name} is not built yet")
    key, value, data = fresh("text", 1).decode(), fresh("int", 1), {}
    attribute = key + "_"  # made once: a new name at each lookup would fill the interpreter's caches
    fields = [n for n, v in vars(cls).items() if isinstance(v, property)]

    def step():
        record = cls(data)
        record[key] = value
        setattr(record, attribute, value)
        assert record[key] is value and getattr(record, attribute) is value and record.missing is None
        assert "__contains__" not in vars(cls) or key in record
        str(record), repr(record)
        for field in fields:
            getattr(record, field)
            if vars(cls)[field].fset:
                setattr(record, field, value)
        try:
            record[[]]
        except TypeError:
            return
        raise AssertionError("an unhashable key was looked up")

    assert_no_leak(step, key, attribute, value, data)
