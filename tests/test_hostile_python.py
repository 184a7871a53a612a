"""Hostile Python code in the middle of a call (a conversion, a key comparison in the success
constant's lookup, an event handler inside the binding's own SDK call, a comparison or attribute
lookup in a helper, a finalizer at shutdown): no pointer into an object and no borrowed reference
outlives it, the response is never read after another SDK call, and nothing is sent at shutdown
on a success constant that teardown may have cleared."""

import gc
import textwrap
import weakref

import pytest

import c_sdk
from conftest import FAILURE, SUCCESS, run_python

SIZE = 50_000  # large enough for a resize to move or free the storage


def fresh(text, n):
    """A bytes object made at run time (no constant), so the keyword dict is its only owner."""
    return bytes(bytearray(text * n))


# ---- pinned buffers ---------------------------------------------------------------------------


class Resizer:
    """Empties `buf` when called, as hostile code would, and keeps what the interpreter said."""

    def __init__(self, buf):
        self.buf, self.errors = buf, []

    def __call__(self):
        try:
            self.buf.clear()
        except BufferError as e:
            self.errors.append(e)


def number(method, value):
    def convert(self):
        self.resize()
        return value

    return type(method, (), {"__init__": lambda self, resize: setattr(self, "resize", resize), method: convert})


INDEX, INT, FLOAT, BOOL = number("__index__", 2), number("__int__", 2), number("__float__", 2.5), number("__bool__", True)

# shape -> (call(buf, real, int, truth), the binding's SDK name, the SDK's arguments for `buf`)
REORDER = lambda fn, buf, real, num: fn(buf, real, num, 1, 1, 1, 1, 1, 1, 1, b"acct")  # noqa: E731
SHAPES = {
    "request": (lambda buf, r, i, t: c_sdk.py_vqi_get_orders.__wrapped__(buf), "vqi_get_orders_pb",
                lambda b: (b, len(b))),
    "request, multi-argument": (lambda buf, r, i, t: c_sdk.py_vqi_algo_order_batch.__wrapped__(buf, b"a", b"p"),
                                "vqi_algo_order_batch_pb", lambda b: (b, len(b), b"a", b"p")),
    "text, multi-argument": (lambda buf, r, i, t: REORDER(c_sdk.py_vqi_smart_reorder.__wrapped__, buf, r, i),
                             "vqi_smart_reorder", lambda b: (b,)),
    "text, by keyword": (lambda buf, r, i, t: c_sdk.py_vqi_smart_reorder.__wrapped__(
        symbol=buf, price=r, volume=i, side=1, order_type=1, position_effect=1, repeat_n=1, max_price_offset=1,
        time_out=1, time_wait=1, account=b"acct"), "vqi_smart_reorder", lambda b: (b,)),
    "text, adapted": (lambda buf, r, i, t: REORDER(c_sdk.py_vqi_smart_reorder, buf, r, i), "vqi_smart_reorder",
                      lambda b: (b,)),
    "query texts, adapted": (lambda buf, r, i, t: c_sdk.py_vqi_current(buf, "f", t), "vqi_current_pb",
                             lambda b: (b,)),
}
HAS = {"request": "lookup event", "request, multi-argument": "lookup event",
       "text, multi-argument": "index int float event", "text, by keyword": "index int float event",
       "text, adapted": "index int float event", "query texts, adapted": "bool lookup event"}
CASES = [(kind, shape) for shape, kinds in HAS.items() for kind in kinds.split()]


@pytest.fixture
def colliding_key():
    """Puts a key whose hash is that of CSDK_OPERATE_SUCCESS ahead of it in the module namespace, so
    that every lookup of the constant runs the key's __eq__ (armed with `colliding_key.hook`)."""

    class Key:
        hook = None

        def __hash__(self):
            return hash("CSDK_OPERATE_SUCCESS")

        def __eq__(self, other):
            if Key.hook:
                Key.hook()
            return False

    ns = vars(c_sdk)
    value = ns.pop("CSDK_OPERATE_SUCCESS")
    ns[Key()] = None
    ns["CSDK_OPERATE_SUCCESS"] = value
    return Key


@pytest.mark.parametrize("kind, shape", CASES, ids=[f"{k}-{s}" for k, s in CASES])
def test_buffer_pinned_for_the_call(sdk, colliding_key, kind, shape):
    call, sdk_name, natives = SHAPES[shape]
    original = b"A" * SIZE
    buf = bytearray(original)
    resize = Resizer(buf)
    args = dict(r=1.5, i=2, t=True)
    if kind in ("index", "float"):
        args["r"] = (INDEX if kind == "index" else FLOAT)(resize)
    elif kind == "int":
        args["i"] = INT(resize)
    elif kind == "bool":
        args["t"] = BOOL(resize)
    elif kind == "lookup":
        colliding_key.hook = resize
    else:
        c_sdk.py_vqi_set_data_callback(lambda topic, payload: resize())
        sdk.queue_event("tick", b"x")
        sdk.deliver_on_call = True
    sdk.clear_calls()
    call(buf, args["r"], args["i"], args["t"])
    colliding_key.hook = None
    assert [type(e) for e in resize.errors] == [BufferError]
    assert buf == original
    [logged] = sdk.calls()
    assert (logged.name, logged.args[:len(natives(original))]) == (sdk_name, natives(original))


def test_buffer_released_after_the_call(sdk):
    buf = bytearray(b"req")
    assert c_sdk.py_vqi_get_orders(buf) == (SUCCESS, b"vqi_get_orders_pb|req")
    buf.clear()  # no export left behind, also after a failed conversion
    with pytest.raises(OverflowError):
        REORDER(c_sdk.py_vqi_smart_reorder, buf, 1.5, 2**40)
    buf.extend(b"x" * SIZE)


def test_a_request_is_pinned_before_its_bytes_are_read(sdk, race_hook):
    # Another thread moves the bytes (a resize) right before the pin: read after it, the SDK
    # gets the bytes as they are; read before it, the SDK would read freed memory.
    req = bytearray(b"a" * 16)

    def move(point, subject):
        if point == "pin" and subject is req:
            req[:] = b"b" * 65536

    race_hook(move)
    assert c_sdk.py_vqi_get_orders(req) == (SUCCESS, b"vqi_get_orders_pb|" + b"b" * 16)


# ---- keyword values held -----------------------------------------------------------------------


class Emptier:
    """Converts like `value`, first emptying every keyword dict it is in (found through the
    collector, as hostile code may) and reusing the memory of what that freed."""

    def __init__(self, value):
        self.value = value

    def empty(self):
        for d in gc.get_referrers(self):
            if type(d) is dict and self in d.values():
                d.clear()
        self.junk = [fresh(b"J", 100) for _ in range(20)] + [int("7" * 12) for _ in range(20)]

    def __float__(self):
        self.empty()
        return self.value

    def __int__(self):
        self.empty()
        return self.value


def reorder_keywords(text_kind):
    text = {"bytes": lambda: fresh(b"Z", 100), "str": lambda: fresh(b"Z", 100).decode()}[text_kind]
    return dict(symbol=text(), price=Emptier(1.5), volume=int("9" * 9), side=1, order_type=1, position_effect=1,
                repeat_n=1, max_price_offset=1, time_out=1, time_wait=1, account=text())


# (entry, call) : the keyword dict reaches the binding directly, through the wrapper's own entry,
# and through the wrapper's general path (keys that are not the interned names)
KEYWORD_CALLS = {
    "direct": ("bytes", lambda kw: c_sdk.py_vqi_smart_reorder.__wrapped__(**kw)),
    "adapted": ("str", lambda kw: c_sdk.py_vqi_smart_reorder(**kw)),
    "wrapper, general path": ("str", lambda kw: c_sdk.py_vqi_smart_reorder(**{"".join(k): v for k, v in kw.items()})),
}


@pytest.mark.parametrize("text_kind, call", KEYWORD_CALLS.values(), ids=KEYWORD_CALLS)
def test_keyword_values_held_for_the_call(sdk, text_kind, call):
    assert call(reorder_keywords(text_kind)) == SUCCESS
    z = b"Z" * 100
    assert sdk.last_call().args == (z, 1.5, 999_999_999, 1, 1, 1, 1, 1, 1, 1, z)


def test_status_fail_keywords_held(sdk):
    logged = []
    c_sdk.vqsdklogger = type("Logger", (), {"debug": staticmethod(logged.append)})

    class Status(int):
        def __ne__(self, other):
            Emptier.empty(self)
            return True

    c_sdk.c_status_fail(**{"status": Status(FAILURE), "cfunname": fresh(b"n", 100).decode()})
    assert logged == [f"invoke c fun={'n' * 100} error code={FAILURE}, error info=error {FAILURE}"]


# ---- globals held by the helpers -----------------------------------------------------------------

ALIVE = []  # whether a global was still alive when its own code ran after its name was deleted


def doomed(name, lookup):
    """A new object as the module global `name`, held by nothing else. Compared (lookup False),
    it records whether it is alive; looked up (lookup True), it deletes its own global, fails and
    records the same in the fallback __getattr__."""
    refs = []

    def alive(result):
        def method(self, *args):
            ALIVE.append(refs[0]() is not None)
            return result

        return method

    def delete_and_fail(self, attr):
        delattr(c_sdk, name)
        raise AttributeError(attr)

    body = ({"__getattribute__": delete_and_fail, "__getattr__": alive(lambda *a: ["Linux"])} if lookup else
            {"__eq__": alive(True), "__ne__": alive(False), "__hash__": None})
    obj = type(name, (), body)()
    refs.append(weakref.ref(obj))
    setattr(c_sdk, name, obj)


class Deleter:
    """A status whose comparisons delete CSDK_OPERATE_SUCCESS and decline."""

    def _delete(self, other):
        del c_sdk.CSDK_OPERATE_SUCCESS
        return NotImplemented

    __eq__ = __ne__ = _delete
    __hash__ = None


# helper call, the global it uses, whether it is looked up in (else compared with), the result
HELPER_GLOBALS = {
    "c_status_ok": (lambda: c_sdk.c_status_ok(Deleter()), "CSDK_OPERATE_SUCCESS", False, True),
    "c_status_fail": (lambda: c_sdk.c_status_fail(Deleter()), "CSDK_OPERATE_SUCCESS", False, False),
    "c_status_fail, logger": (lambda: c_sdk.c_status_fail(FAILURE, "vqi_x"), "vqsdklogger", True, True),
    "is_linux": (c_sdk.is_linux, "platform", True, True),
}


@pytest.mark.parametrize("call, name, lookup, result", HELPER_GLOBALS.values(), ids=HELPER_GLOBALS)
def test_helper_globals_held(sdk, call, name, lookup, result):
    ALIVE.clear()
    doomed(name, lookup)
    assert call() is result
    assert ALIVE == [True]


# ---- the response after another SDK call ---------------------------------------------------------


class Reentering:
    """A success constant whose == calls the SDK before answering."""

    def __eq__(self, other):
        c_sdk.vqi_get_c_version()
        return other == SUCCESS

    def __ne__(self, other):
        return not self.__eq__(other)

    __hash__ = None


# binding, SDK name, what a failed status gives
REENTERED = [
    (lambda: c_sdk.py_vqi_get_orders(b"req"), "vqi_get_orders_pb", (FAILURE, None)),
    (lambda: c_sdk.py_vqi_get_serv_addr(b"id"), "vqi_get_serv_addr", None),
]


@pytest.mark.parametrize("call, sdk_name, failed", REENTERED, ids=["query", "address"])
@pytest.mark.parametrize("status", [SUCCESS, FAILURE], ids=["success", "failure"])
def test_success_test_that_calls_the_sdk(sdk, call, sdk_name, failed, status):
    sdk.script(sdk_name, status=status)
    c_sdk.CSDK_OPERATE_SUCCESS = Reentering()
    if status == FAILURE:
        assert call() == failed
    else:
        with pytest.raises(RuntimeError, match="SDK was called again"):
            call()
    assert [c.name for c in sdk.calls()] == [sdk_name, "vqi_get_c_version"]


# ---- bindings at shutdown ------------------------------------------------------------------------

SHUTDOWN = textwrap.dedent("""
    import atexit, os, c_sdk
    from vqsdk_standin import StandIn

    sdk = StandIn()
    sdk.reset(config=True)
    sdk.default_status = c_sdk.CSDK_OPERATE_SUCCESS

    def attempt(when, place=c_sdk.py_vqi_place_order, write=os.write, count=sdk.lib.standin_log_count):
        before = count()
        try:
            result = place(b"order")
        except RuntimeError as e:
            result = "RuntimeError"
        write(1, f"{when}: {result!r} sent={count() - before}\\n".encode())

    class Late:  # dropped when teardown sets c_sdk's globals to None, the constant among them
        def __del__(self, attempt=attempt):
            attempt("teardown")

    atexit.register(attempt, "atexit")
    c_sdk.zz_late = Late()
""")


def test_binding_at_shutdown():
    proc = run_python(SHUTDOWN)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [
        f"atexit: ({SUCCESS}, b'vqi_place_order_pb|order') sent=1",
        "teardown: 'RuntimeError' sent=0",
    ]
