"""The module globals native code reads (CSDK_OPERATE_SUCCESS, IS_PY2, f) are remembered while the
module namespace and the builtins stay unchanged. Whatever changes them must be seen at the next
read, also when a handler makes the change while the SDK is inside vqi_run. Up to 3.11 a change is
noticed through the dicts' version tags, from 3.12 through a dict watcher: every way of changing a
dict below must reach both."""

import builtins

import pytest

import c_sdk
from conftest import FAILURE, SUCCESS

pytestmark = pytest.mark.success_constant

NAMES = ("CSDK_OPERATE_SUCCESS", "IS_PY2", "f")


def by_global_statement(ns, name, value):
    # Code whose globals are the module namespace, run often enough for the interpreter to
    # specialise it.
    scope = {}
    exec(f"def rebind(value):\n    global {name}\n    {name} = value\n", ns, scope)
    for _ in range(20):
        scope["rebind"](value)


def through_builtins(ns, name, value):
    vars(builtins)[name] = value  # the module namespace no longer has the name (see settle)


WAYS = {
    "attribute": lambda ns, name, value: setattr(c_sdk, name, value),
    "item": lambda ns, name, value: ns.__setitem__(name, value),
    "update": lambda ns, name, value: ns.update({name: value}),
    "in-place or": lambda ns, name, value: ns.__ior__({name: value}),
    "pop then setdefault": lambda ns, name, value: (ns.pop(name), ns.setdefault(name, value)),
    "global statement": by_global_statement,
    "builtins": through_builtins,
}


class Rebind:
    def __init__(self, way):
        self.way = way

    def settle(self):
        """Where the names live when they are first read: the builtins for a change of the builtins."""
        if self.way is through_builtins:
            for name in NAMES:
                if name in vars(c_sdk):
                    vars(builtins)[name] = vars(c_sdk).pop(name)

    def __call__(self, name, value):
        self.way(vars(c_sdk), name, value)


@pytest.fixture(params=WAYS.values(), ids=WAYS.keys())
def rebind(request):
    yield Rebind(request.param)
    for name in NAMES:
        vars(builtins).pop(name, None)


@pytest.fixture
def orders(sdk):
    """py_vqi_get_orders answering with status FAILURE: a response only when that counts as success."""
    sdk.script("vqi_get_orders_pb", status=FAILURE, response=b"r")
    return lambda: c_sdk.py_vqi_get_orders(b"")


def test_rebinding_is_seen_at_the_next_call(rebind, orders):
    rebind.settle()
    assert orders() == (FAILURE, None)  # the success constant is remembered now
    rebind("CSDK_OPERATE_SUCCESS", FAILURE)
    assert orders() == (FAILURE, b"r")
    rebind("CSDK_OPERATE_SUCCESS", SUCCESS)
    assert orders() == (FAILURE, None)


def test_rebinding_by_a_handler_inside_the_run_loop(sdk, rebind, orders):
    seen = []

    def second(topic, payload):
        seen.append(("second", topic))

    def first(topic, payload):
        seen.append(("first", topic))
        if topic == "change":
            rebind("CSDK_OPERATE_SUCCESS", FAILURE)
            seen.append(orders())
            rebind("IS_PY2", True)
            rebind("f", second)

    c_sdk.py_vqi_set_data_callback(first)
    rebind.settle()
    orders()
    for topic in ("before", "change", "after"):
        sdk.queue_event(topic)
    assert c_sdk.py_vqi_run() == SUCCESS
    assert seen == [("first", "before"), ("first", "change"), (FAILURE, b"r"), ("second", b"after")]


class Flip:
    """An IS_PY2 whose truth test, once armed, rebinds the handler: Python code that runs between
    the lookups of one event."""

    def __init__(self):
        self.rebind_to = None

    def __bool__(self):
        if self.rebind_to:
            c_sdk.f, self.rebind_to = self.rebind_to, None
        return False


def test_rebinding_while_an_event_is_prepared_is_seen_by_that_event(sdk):
    seen = []
    flip = c_sdk.IS_PY2 = Flip()

    def second(topic, payload):
        seen.append(("second", topic))

    def first(topic, payload):
        seen.append(("first", topic))
        flip.rebind_to = second  # no namespace change: both lookups stay remembered

    c_sdk.py_vqi_set_data_callback(first)
    sdk.emit("a")
    sdk.emit("b")
    assert seen == [("first", "a"), ("second", "b")]
