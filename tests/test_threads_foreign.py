"""Events from threads that do not hold the interpreter lock, and SystemExit in a handler off the
main thread."""

import ctypes
import os
import subprocess
import sys
import textwrap
import threading

import pytest

import c_sdk
from conftest import STANDIN_PY


def emit_from_python_threads(sdk, threads, events):
    # ctypes.CDLL releases the GIL around the call, as an SDK thread would hold none.
    lib = ctypes.CDLL(sdk.path)
    lib.standin_emit_event.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_size_t, ctypes.c_int]

    def net():
        for _ in range(events):
            lib.standin_emit_event(b"tick", b"x" * 8, 8, 8)

    workers = [threading.Thread(target=net) for _ in range(threads)]
    for t in workers:
        t.start()
    for t in workers:
        t.join(60)
    assert not any(t.is_alive() for t in workers)
    return b"x" * 8


def emit_from_native_threads(sdk, threads, events):
    sdk.thread_events(threads, events, "tick", b"\0native")
    assert sdk.join_threads() == threads * events
    return b"\0native"


@pytest.mark.parametrize("emit", [emit_from_python_threads, emit_from_native_threads])
@pytest.mark.parametrize("fails", [False, True], ids=["delivered", "reported"])
def test_foreign_thread_events(sdk, emit, fails, monkeypatch):
    sdk.reset(callback=True)
    seen, reported = [], []

    def handler(topic, payload):
        seen.append((topic, payload, threading.get_ident()))
        if fails:
            raise ValueError(len(seen))

    monkeypatch.setattr(sys, "unraisablehook", lambda u: reported.append((type(u.exc_value), u.object)))
    monkeypatch.setattr(sys, "stderr", open(os.devnull, "w"))
    c_sdk.py_vqi_set_data_callback(handler)
    payload = emit(sdk, 2, 300)
    assert len(seen) == 600
    assert {(t, p) for t, p, _ in seen} == {("tick", payload)}
    assert threading.get_ident() not in {i for _, _, i in seen}
    assert reported == ([(ValueError, "c_sdk.callback_wrapper")] * 600 if fails else [])


def run(code, timeout=60):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(c_sdk.__file__), STANDIN_PY]))
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, env=env,
                          timeout=timeout)


PRELUDE = """
    import atexit, os, sys, threading, time, c_sdk
    from vqsdk_standin import StandIn
    sdk = StandIn()
    sdk.reset(callback=True)
"""


def test_events_from_native_threads_while_the_interpreter_exits():
    # The SDK's threads outlive the interpreter: late events are dropped, nothing crashes.
    done = run(PRELUDE + """
    n = [0]
    def handler(topic, payload): n[0] += 1
    c_sdk.py_vqi_set_data_callback(handler)
    sdk.thread_events(2, 10**7, "late", b"x")
    while n[0] < 100: pass
    print("exiting")
    """)
    assert (done.returncode, done.stdout, done.stderr) == (0, "exiting\n", "")


def test_keyboard_interrupt_in_a_handler_leaves_the_exit_status_alone():
    # Reported and dropped like any failure: the process still ends as it would have.
    done = run(PRELUDE + """
    def handler(topic, payload): raise KeyboardInterrupt
    sys.excepthook = lambda *exc: print("printed", exc[0].__name__, sys.last_value is exc[1])
    c_sdk.py_vqi_set_data_callback(handler)
    sdk.emit("tick")
    print("exiting")
    """)
    assert (done.returncode, done.stdout) == (0, "printed KeyboardInterrupt True\nexiting\n")


# Wherever the handler runs, the process ends as a SystemExit on the main thread would: atexit
# handlers run, the strategy's buffered files are written, the status is the exception's. A main
# thread that cannot take it (blocked in native code) leaves the end to the module after 5 s: the
# buffered files are still written, atexit handlers are not run.
CASES = [(where, *code) for where in ("main", "thread", "native")
         for code in [("None", 0, ""), ("3", 3, ""), ("'bye'", 1, "bye\n")]] + [("blocked", "'bye'", 1, "bye\n")]


@pytest.mark.parametrize("where, code, status, message", CASES)
def test_system_exit_in_a_handler(tmp_path, where, code, status, message):
    trades = tmp_path / "trades.txt"
    done = run(PRELUDE + f"""
    atexit.register(print, "atexit")
    where = {where!r}
    trades = open({str(trades)!r}, "w")
    trades.write("bought 100\\n")  # left in the file's buffer
    def handler(topic, payload):
        print("in handler")  # left in the buffer too
        if where == "blocked":
            time.sleep(0.5)  # until the main thread is inside os.read
        sys.exit({code})
    c_sdk.py_vqi_set_data_callback(handler)
    if where == "native":
        sdk.thread_events(1, 1, "t", b"")
        sdk.join_threads()
    else:
        sdk.queue_event("t", b"")
        if where == "main":
            c_sdk.py_vqi_run()
        else:
            t = threading.Thread(target=c_sdk.py_vqi_run)
            t.start()
            if where == "blocked":
                os.read(os.pipe()[0], 1)
            t.join(20)
    print("not reached")
    """, timeout=30)
    assert done.stdout == "in handler\n" + ("atexit\n" if where != "blocked" else "")
    assert (done.returncode, done.stderr) == (status, message)
    assert trades.read_text() == "bought 100\n"


# Once a sub-interpreter has existed, the interpreter's own lock check answers yes on every thread
# (before 3.13); events from the SDK's threads must still take the lock.
@pytest.mark.parametrize("where", ["native", "python"])
def test_foreign_events_after_a_sub_interpreter(where):
    done = run(PRELUDE + f"""
    try:
        import _interpreters as subs
    except ImportError:
        import _xxsubinterpreters as subs
    subs.destroy(subs.create())
    n, lock = [0], threading.Lock()  # handlers run in parallel without a GIL
    def handler(topic, payload):
        with lock: n[0] += 1
    c_sdk.py_vqi_set_data_callback(handler)
    if {where!r} == "native":
        sdk.thread_events(4, 20000, "tick", b"x" * 32)
        work = [str(i) * 3 for i in range(200000)]  # Python code on the main thread meanwhile
        sdk.join_threads()
    else:
        import ctypes
        lib = ctypes.CDLL(sdk.path)  # releases the lock around the call, as an SDK thread holds none
        lib.standin_emit_event.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_size_t, ctypes.c_int]
        def emit():
            for _ in range(20000): lib.standin_emit_event(b"tick", b"x", 1, 1)
        ts = [threading.Thread(target=emit) for _ in range(4)]
        for t in ts: t.start()
        for t in ts: t.join(60)
    print(n[0])
    """, timeout=120)
    assert (done.returncode, done.stdout, done.stderr) == (0, "80000\n", "")
