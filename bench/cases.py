"""What the bench measures: the peers (ways of binding the SDK), the shapes (kinds of call), and
one case per (shape, peer) with the callable, its arguments and the result every peer must give.

Every peer calls the same functions of the same loaded libvqsdk.so (the stand-in, recording off).
"""

from __future__ import annotations

import importlib
import importlib.metadata
import os
import sys
from dataclasses import dataclass, field
from typing import Any, Callable

# ---- peers ------------------------------------------------------------------------------------


def _version(dist: str) -> str:
    try:
        return " " + importlib.metadata.version(dist)
    except importlib.metadata.PackageNotFoundError:
        return ""


# Column order of the tables. "floor": an empty builtin of the cheapest convention for the shape
# (METH_O for one argument, METH_FASTCALL for none, METH_FASTCALL | METH_KEYWORDS for many);
# "floor_tp": an empty METH_VARARGS | METH_KEYWORDS builtin (the interpreter builds the argument
# tuple and keyword dict); "hw_exact": the hand-written binding bound to that same convention.
PEERS = [
    ("floor", "floor"),
    ("floor_tp", "floor, tuple/dict"),
    ("hw", "hand-written C API"),
    ("hw_exact", "hand-written, tuple/dict"),
    ("c_sdk", "c_sdk"),
    ("cython", "Cython" + _version("cython")),
    ("nanobind", "nanobind" + _version("nanobind")),
    ("pybind11", "pybind11" + _version("pybind11")),
    ("cffi_api", "cffi API" + _version("cffi")),
    ("cffi_abi", "cffi ABI"),
    ("ctypes", "ctypes"),
    ("python", "pure Python"),
]
PEER_LABEL = dict(PEERS)
REFERENCE = "hw"

# ---- shapes -----------------------------------------------------------------------------------

# (key, label, in the main comparison: every peer)
SHAPES = [
    ("query", "query call, 256-byte response", True),
    ("command", "command call", True),
    ("pos11", "11 parameters, positional", True),
    ("kw11", "11 parameters, all by keyword", True),
    ("text", "text getter", True),
    ("event", "one event, 128-byte payload", True),
    ("dec_query", "decorated query call with a str request", True),
    ("dec_pos11", "decorated, 11 parameters, positional, str texts", False),
    ("dec_kw11", "decorated, 11 parameters, all by keyword, str texts", False),
    ("status_ok", "c_status_ok", False),
]
SHAPE_LABEL = {k: v for k, v, _ in SHAPES}

QUERY_PREFIX = b"vqi_get_cash_pb_v2|"
ORDERS_PREFIX = b"vqi_get_orders_pb|"
# The stand-in answers an unscripted query with "<function>|<request>", so a request of this size
# gets a 256-byte response with no script: a scripted answer would take the stand-in's lock and
# copy the script on every call.
QUERY_REQ = b"q" * (256 - len(QUERY_PREFIX))
ORDERS_REQ = "o" * (256 - len(ORDERS_PREFIX))
COMMAND_REQ = b"SHSE.600000,SZSE.000001,SHSE.510300,SZSE.159919,SHSE.601318,SZ"  # 64 bytes
TOPIC = "tick.SHSE.600000"
PAYLOAD = bytes(range(128))
PARAM_NAMES = ("symbol", "price", "volume", "side", "order_type", "position_effect", "repeat_n",
               "max_price_offset", "time_out", "time_wait", "account")
REORDER_ARGS = (b"SHSE.600000", 10.5, 100, 1, 1, 1, 3, 5, 1000, 500, b"acc-0001")
REORDER_STR_ARGS = ("SHSE.600000",) + REORDER_ARGS[1:10] + ("acc-0001",)


def handler(topic, payload):
    """The strategy's event handler: the same function for every peer."""


# ---- cases ------------------------------------------------------------------------------------


@dataclass
class Case:
    shape: str
    peer: str
    kind: str  # "call", "event", or "stmt" (a statement over the names in `target`)
    target: Any  # the callable, or for "stmt" the namespace
    args: tuple = ()
    kwnames: tuple = ()  # the last len(kwnames) args are passed by these keywords
    attr: str = ""  # "stmt": the statement
    setup: Callable | None = None  # events: registers the peer's callback with the given handler
    trigger: Callable | None = None  # events: the peer's binding of an SDK function they arrive inside
    expect: Any = None  # the result every peer must give (None: not checked)

    @property
    def id(self) -> str:
        return f"{self.shape}:{self.peer}"


@dataclass
class Env:
    """The loaded modules and what could not be loaded."""

    c_sdk: Any
    standin: Any
    success: int
    kit: Any
    peers: dict = field(default_factory=dict)  # peer key -> namespace (dict of functions) or module
    notes: list = field(default_factory=list)


def load(c_sdk_dir: str, peers_dir: str, library_path: str | None = None) -> Env:
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    for p in (os.path.join(root, "bench", "peers"), os.path.join(root, "standin", "python"), peers_dir, c_sdk_dir):
        if p not in sys.path:
            sys.path.insert(0, p)
    import c_sdk
    import vq.constant
    from vqsdk_standin import StandIn

    success = vq.constant.CSDK_OPERATE_SUCCESS
    sdk = StandIn(library_path) if library_path else StandIn()
    sdk.reset(callback=True, config=True)
    sdk.default_status = success
    sdk.recording = False
    path = sdk.path
    try:
        import _benchkit
    except ImportError:
        sys.exit(f"bench: the peers are not built in {peers_dir}: run `make bench`, or bench/run.py --build")

    env = Env(c_sdk=c_sdk, standin=sdk, success=success, kit=_benchkit)

    def attempt(key, make):
        try:
            env.peers[key] = make()
        except Exception as e:  # a peer that did not build is reported, not fatal
            env.notes.append(f"{PEER_LABEL[key]}: not measured ({type(e).__name__}: {e})")

    attempt("hw", lambda: importlib.import_module("_hw_peer"))
    attempt("cython", lambda: importlib.import_module("_cy_peer"))
    attempt("nanobind", lambda: importlib.import_module("_nb_peer"))
    attempt("pybind11", lambda: importlib.import_module("_pb_peer"))
    attempt("cffi_api", lambda: importlib.import_module("cffi_peer").api(success))
    attempt("cffi_abi", lambda: importlib.import_module("cffi_peer").abi(path, success))
    attempt("ctypes", lambda: importlib.import_module("ctypes_peer").make(path, success))
    attempt("python", lambda: importlib.import_module("pure"))
    return env


BINDINGS = ("hw", "cython", "nanobind", "pybind11", "cffi_api", "cffi_abi", "ctypes")


def build(env: Env) -> list[Case]:
    c, kit, ok, P = env.c_sdk, env.kit, env.success, env.peers
    cases: list[Case] = []

    def fn(peer, name):
        ns = P.get(peer)
        if ns is None:
            return None
        return ns[name] if isinstance(ns, dict) else getattr(ns, name)

    def add(shape, peer, kind, target, args=(), **k):
        if target is not None:
            cases.append(Case(shape, peer, kind, target, args, **k))

    kw11 = dict(kwnames=PARAM_NAMES)

    # query call
    q_expect = (ok, QUERY_PREFIX + QUERY_REQ)
    add("query", "floor", "call", kit.empty_o, (QUERY_REQ,))
    add("query", "c_sdk", "call", c.py_vqi_get_cash_pb_v2, (QUERY_REQ,), expect=q_expect)
    for p in BINDINGS:
        add("query", p, "call", fn(p, "get_cash"), (QUERY_REQ,), expect=q_expect)

    # command call
    add("command", "floor", "call", kit.empty_o, (COMMAND_REQ,))
    add("command", "c_sdk", "call", c.py_vqi_set_instrument_pool_symbols_pb, (COMMAND_REQ,), expect=ok)
    for p in BINDINGS:
        add("command", p, "call", fn(p, "set_pool"), (COMMAND_REQ,), expect=ok)

    # eleven parameters
    for shape, extra in (("pos11", {}), ("kw11", kw11)):
        add(shape, "floor", "call", kit.empty_fast, REORDER_ARGS, **extra)
        add(shape, "floor_tp", "call", kit.empty_varargs, REORDER_ARGS, **extra)
        add(shape, "c_sdk", "call", c.py_vqi_smart_reorder.__wrapped__, REORDER_ARGS, expect=ok, **extra)
        add(shape, "hw_exact", "call", fn("hw", "smart_reorder_exact"), REORDER_ARGS, expect=ok, **extra)
        for p in BINDINGS:
            add(shape, p, "call", fn(p, "smart_reorder"), REORDER_ARGS, expect=ok, **extra)

    # text getter
    add("text", "floor", "call", kit.empty_positional)
    add("text", "c_sdk", "call", c.py_vqi_get_ext_errormsg, expect=b"vqi_get_ext_errormsg")
    for p in BINDINGS:
        add("text", p, "call", fn(p, "get_ext_errormsg"), expect=b"vqi_get_ext_errormsg")

    # one event: `setup` registers the peer's callback for a handler
    ev = dict(expect=(TOPIC, PAYLOAD))
    # and `trigger` is its binding of the SDK call they arrive inside (None: called from C)
    add("event", "floor", "event", kit.install_floor, setup=lambda h: kit.install_floor(h, TOPIC, PAYLOAD), **ev)
    add("event", "c_sdk", "event", c.py_vqi_set_data_callback, setup=c.py_vqi_set_data_callback,
        trigger=c.py_vqi_get_ext_errormsg, **ev)
    for p in BINDINGS:
        f = fn(p, "set_callback")
        add("event", p, "event", f, setup=f, trigger=fn(p, "get_ext_errormsg"), **ev)

    # decorated query with a str request
    d_expect = (ok, ORDERS_PREFIX + ORDERS_REQ.encode())
    add("dec_query", "floor", "call", kit.empty_o, (ORDERS_REQ,))
    add("dec_query", "floor_tp", "call", kit.empty_varargs, (ORDERS_REQ,))
    add("dec_query", "c_sdk", "call", c.py_vqi_get_orders, (ORDERS_REQ,), expect=d_expect)
    add("dec_query", "hw_exact", "call", fn("hw", "get_orders_exact"), (ORDERS_REQ,), expect=d_expect)
    for p in BINDINGS:
        add("dec_query", p, "call", fn(p, "get_orders"), (ORDERS_REQ,), expect=d_expect)
    if "python" in P and "hw" in P:
        add("dec_query", "python", "call", P["python"].adapt_to_python3(P["hw"].get_orders), (ORDERS_REQ,),
            expect=d_expect)

    # c_sdk's whole decorated binding with eleven parameters, against the hand-written ones
    for shape, extra in (("dec_pos11", {}), ("dec_kw11", kw11)):
        add(shape, "floor", "call", kit.empty_fast, REORDER_STR_ARGS, **extra)
        add(shape, "floor_tp", "call", kit.empty_varargs, REORDER_STR_ARGS, **extra)
        add(shape, "c_sdk", "call", c.py_vqi_smart_reorder, REORDER_STR_ARGS, expect=ok, **extra)
        add(shape, "hw", "call", fn("hw", "smart_reorder_dec"), REORDER_STR_ARGS, expect=ok, **extra)
        add(shape, "hw_exact", "call", fn("hw", "smart_reorder_dec_exact"), REORDER_STR_ARGS, expect=ok, **extra)
        if "python" in P and "hw" in P:
            add(shape, "python", "call", P["python"].adapt_to_python3(P["hw"].smart_reorder), REORDER_STR_ARGS,
                expect=ok, **extra)

    # c_status_ok
    add("status_ok", "floor", "call", kit.empty_o, (ok,))
    add("status_ok", "c_sdk", "call", c.c_status_ok, (ok,), expect=True)
    add("status_ok", "hw", "call", fn("hw", "c_status_ok"), (ok,), expect=True)
    add("status_ok", "python", "call", fn("python", "c_status_ok"), (ok,), expect=True)

    cases += record_cases(env)
    return cases


def record_cases(env: Env):
    """The record classes: c_sdk's against the same classes written in Python, one case per
    statement of bench/records.py (the records' own bench), each statement run with the names of
    its setup as locals."""
    try:
        import records
    except Exception as e:  # the record classes may not be there yet
        env.notes.append(f"records: not measured ({type(e).__name__}: {e})")
        return []
    sides = {"c_sdk": {"Tick": getattr(env.c_sdk, "TickLikeDict2", None), "Bar": getattr(env.c_sdk, "BarLikeDict2", None),
                       "Obj": getattr(env.c_sdk, "ObjectLikeDict2", None)},
             "python": {"Tick": records.PyTick, "Bar": records.PyBar, "Obj": records.PyObject_}}
    out = []
    for label, stmt, setup in records.CASES:
        key = "rec_" + "_".join(label.split())
        if key not in SHAPE_LABEL:
            SHAPES.append((key, "record: " + label, False))
            SHAPE_LABEL[key] = "record: " + label
        for peer, classes in sides.items():
            if None in classes.values():
                continue
            ns = dict(classes, TICK=records.TICK, BAR=records.BAR)
            exec(setup, ns)
            out.append(Case(key, peer, "stmt", ns, attr=stmt))
    return out
