"""Races: threads making binding calls, reading and writing records, registering handlers and
rebinding globals while SDK threads deliver events. Each case runs in a fresh interpreter, for a
bounded time, and checks that nothing crashes, every event is delivered once, every failure is
reported, and SDK code never ran on two threads at once (the stand-in counts the threads inside
it). On a free-threaded interpreter the cases run with the GIL off.

CSDK_RACE_SECONDS (default 1) is how long each case's threads keep going."""

import os
import signal
import subprocess
import sys
import sysconfig

import pytest

import c_sdk
from conftest import STANDIN_PY

SECONDS = float(os.environ.get("CSDK_RACE_SECONDS", "1"))
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
# Under ThreadSanitizer (make tsan) everything runs several times slower: an event from an SDK
# thread, which makes and drops a thread state each time, takes milliseconds there.
SLOWER = 3 if "TSAN_OPTIONS" in os.environ else 1

CHILD = r'''
import os, sys, threading, time
import c_sdk
from vqsdk_standin import StandIn

SECONDS = float(sys.argv[2])
JOIN = 60 * (3 if "TSAN_OPTIONS" in os.environ else 1)  # ThreadSanitizer: several times slower
sdk = StandIn()
sdk.reset(config=True, callback=True)
SUCCESS = c_sdk.CSDK_OPERATE_SUCCESS
sdk.default_status = SUCCESS
sys.setswitchinterval(1e-6)  # GIL builds: hand the lock over as often as possible
stop, errors = threading.Event(), []


def race(loops, fixed=()):
    """Runs each of `loops` over and over (with the round number) on a thread of its own, and each of
    `fixed` once, for SECONDS and until the fixed ones are done; the rounds each loop made."""
    rounds = [0] * len(loops)

    def guarded(body):
        try:
            body()
        except BaseException as e:
            errors.append(e)
            stop.set()

    def looping(k):
        while not stop.is_set():
            loops[k](rounds[k])
            rounds[k] += 1

    threads = [threading.Thread(target=guarded, args=(lambda k=k: looping(k),)) for k in range(len(loops))]
    threads += [threading.Thread(target=guarded, args=(f,)) for f in fixed]
    for t in threads:
        t.start()
    stop.wait(SECONDS)
    for t in threads[len(loops):]:
        t.join(JOIN)
    stop.set()
    for t in threads:
        t.join(JOIN)
    assert not any(t.is_alive() for t in threads), "a thread never finished"
    if errors:
        raise errors[0]
    return rounds


def bindings():
    sdk.script("vqi_cancel_orders_pb", status=SUCCESS + 3)  # every command fails, and says so

    def query(i):
        r = b"%d-%d" % (threading.get_ident(), i)
        assert c_sdk.py_vqi_get_orders(r) == (SUCCESS, b"vqi_get_orders_pb|" + r)

    def decorated(i):
        assert c_sdk.py_vqi_current("S%d" % i, "price", True) == (SUCCESS, b"vqi_current_pb|S%d|1|price" % i)

    def others(i):
        assert c_sdk.py_vqi_cancel_order(b"o%d" % i) == SUCCESS + 3
        assert c_sdk.py_vqi_get_orgcode() == b"vqi_get_orgcode"
        assert c_sdk.py_vqi_smart_reorder(b"SYM", 1.5, i, 1, 1, 1, 1, 1, 1, 1, b"acct") == SUCCESS
        assert c_sdk.py_vqi_subscribe(symbols=b"SYM", frequency=b"tick", unsubscribe_previous=True) == SUCCESS

    rounds = race([query, query, decorated, decorated, others, others])
    assert sdk.call_count == sum(rounds[:4]) + 4 * sum(rounds[4:])


def success_rebound():
    class Status(int):
        pass

    def rebind(i):  # a fresh object each time: the one it replaces is freed at once
        c_sdk.CSDK_OPERATE_SUCCESS = Status(SUCCESS) if i % 2 else 10**6 + i

    def query(i):
        r = b"%d" % i
        assert c_sdk.py_vqi_get_orders(r) in ((SUCCESS, b"vqi_get_orders_pb|" + r), (SUCCESS, None))

    def decorated(i):
        assert c_sdk.py_vqi_current("S", "f", False) in ((SUCCESS, b"vqi_current_pb|S|0|f"), (SUCCESS, None))

    race([rebind, rebind, query, query, decorated])
    c_sdk.CSDK_OPERATE_SUCCESS = SUCCESS


RECORDS = (c_sdk.TickLikeDict2({"price": 0.5}), c_sdk.ObjectLikeDict2({"price": 0.5}))


def read_records(i):
    for rec in RECORDS:
        assert type(rec.price) is float and type(rec["price"]) is float


def record_data_rebound():
    def write(i):
        for rec in RECORDS:
            rec.data = {"price": i + 0.5}

    race([write, write, read_records, read_records, lambda i: c_sdk.py_vqi_get_orders(b"")])


def record_item_written():
    def write(i):
        for rec in RECORDS:
            rec.data["price"] = i + 0.5
            rec["price"] = i + 0.25

    race([write, write, read_records, read_records, lambda i: c_sdk.py_vqi_get_orders(b"")])


def handler_rebound():
    # SDK threads of the library's own deliver while the handler is swapped for a fresh one; half
    # of the handlers fail, and each failure must be reported.
    got, failed, reported, delivered = [], [], [], []
    sys.unraisablehook = lambda u: reported.append(u.exc_value)
    sys.stderr = open(os.devnull, "w")

    def handler_for(fails):
        def handler(topic, payload):
            got.append(payload)
            assert c_sdk.py_vqi_get_orders(payload)[1] == b"vqi_get_orders_pb|" + payload
            if fails:
                failed.append(payload)
                raise ValueError(payload)
        return handler

    def sdk_threads():
        sdk.thread_events(3, 3000, "tick", b"native")
        delivered.append(sdk.join_threads())

    c_sdk.py_vqi_set_data_callback(handler_for(False))
    race([lambda i: c_sdk.py_vqi_set_data_callback(handler_for(i % 2)), lambda i: c_sdk.py_vqi_get_orgcode()],
         fixed=[sdk_threads])
    assert delivered == [9000] and len(got) == 9000, (delivered, len(got))
    assert len(reported) == len(failed) and all(type(e) is ValueError for e in reported)


def events_on_python_threads():
    # Queued events delivered by vqi_run and vqi_poll on several threads and, in the SDK's
    # deliver-on-call mode, by any binding call; the handler calls the SDK itself, fails on every
    # tenth event, and IS_PY2 is rebound to fresh (false) objects meanwhile.
    n, got, reported = 4000, [], []
    sys.unraisablehook = lambda u: reported.append(u.exc_value)
    sys.stderr = open(os.devnull, "w")

    def handler(topic, payload):
        got.append(payload)
        assert topic == "tick" and c_sdk.py_vqi_get_orders(payload)[1] == b"vqi_get_orders_pb|" + payload
        if payload.endswith(b"7"):
            raise ValueError(payload)

    def produce():
        for k in range(n):
            sdk.queue_event("tick", b"%d" % k)

    c_sdk.py_vqi_set_data_callback(handler)
    sdk.deliver_on_call = True
    race([lambda i: c_sdk.py_vqi_run(), lambda i: c_sdk.vqi_poll(), lambda i: c_sdk.py_vqi_get_orgcode(),
          lambda i: setattr(c_sdk, "IS_PY2", [])], fixed=[produce])
    c_sdk.py_vqi_run()  # what is left
    assert sorted(got) == sorted(b"%d" % k for k in range(n))
    assert len(reported) == n // 10 and all(type(e) is ValueError for e in reported)


try:
    globals()[sys.argv[1]]()
finally:
    sys.stderr = sys.__stderr__
assert sdk.inside_max() == 1, f"{sdk.inside_max()} threads ran SDK code at once"
print("ok")
'''

CASES = ["bindings", "success_rebound", "record_data_rebound", "record_item_written", "handler_rebound",
         "events_on_python_threads"]


@pytest.mark.parametrize("case", CASES)
def test_race(case):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(c_sdk.__file__), STANDIN_PY]))
    if FREE_THREADED:
        env["PYTHON_GIL"] = "0"
    done = subprocess.run([sys.executable, "-X", "faulthandler", "-c", CHILD, case, str(SECONDS)],
                          capture_output=True, text=True, env=env, timeout=(60 + 10 * SECONDS) * SLOWER)
    died = f" ({signal.Signals(-done.returncode).name})" if done.returncode < 0 else ""
    assert (done.returncode, done.stdout) == (0, "ok\n"), f"exit {done.returncode}{died}\n{done.stderr[-3000:]}"
