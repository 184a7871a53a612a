"""What stops threads, with threads inside the SDK: os.fork(), the interpreter's exit, a garbage
collection, more SDK-calling threads than cores. The stand-in is made to wait in its calls, as an
SDK that waits for its server. Each case runs in a fresh interpreter, bounded in time (a hang
fails it); on a free-threaded interpreter with the GIL off."""

import sysconfig
import textwrap

import pytest

from conftest import run_python

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
free_threaded_only = pytest.mark.skipif(not FREE_THREADED, reason="with the GIL, a thread inside the SDK holds it")

PRELUDE = """
import gc, os, sys, threading, time
import c_sdk
from vqsdk_standin import StandIn
sdk = StandIn()
sdk.reset(callback=True, config=True)
sdk.recording = False

def loopers(n):
    # n daemon threads calling a query in a loop; returns what stops and joins them
    stop = threading.Event()
    def loop():
        while not stop.is_set():
            c_sdk.py_vqi_get_orders(b"q")
    threads = [threading.Thread(target=loop, daemon=True) for _ in range(n)]
    for t in threads:
        t.start()
    def end():
        stop.set()
        for t in threads:
            t.join(20)
    return end
"""


def run(code, *args, timeout=60):
    done = run_python(PRELUDE + textwrap.dedent(code) + "\nmain(*sys.argv[1:])\n", argv=args, timeout=timeout)
    assert done.returncode == 0, done.stderr
    return done.stdout


# Every child can call the SDK at once, whatever the parent's threads were doing inside it when it
# forked (a lock inherited held by a thread the child does not have would hang it).
@pytest.mark.parametrize("wait", ["0", "0.003"])
def test_fork_with_threads_inside_the_sdk(wait):
    out = run("""
        def main(wait):
            sdk.set_wait("vqi_get_orders_pb", float(wait))
            end = loopers(2)
            ok = 0
            for _ in range(12):
                pid = os.fork()
                if pid == 0:
                    sdk.set_wait("vqi_get_orders_pb", 0)
                    os._exit(0 if c_sdk.py_vqi_get_orders(b"child")[1] == b"vqi_get_orders_pb|child" else 3)
                deadline = time.monotonic() + 10
                while time.monotonic() < deadline:
                    done, status = os.waitpid(pid, os.WNOHANG)
                    if done:
                        ok += status == 0
                        break
                    time.sleep(0.002)
                else:
                    os.kill(pid, 9)
                    os.waitpid(pid, 0)
            end()
            print(ok)
    """, wait)
    assert out == "12\n"


# A finalizer that calls the SDK at exit, while daemon threads call it too (finalization stops them
# where they next enter the interpreter, which must not be while they hold the SDK's lock).
@pytest.mark.parametrize("wait", ["0", "0.003"])
def test_exit_with_a_finalizer_and_daemon_threads(wait):
    for _ in range(4):
        out = run("""
            class Strategy:  # collected at exit (a cycle, the collector off until then)
                def __del__(self, stop=c_sdk.py_vqi_stop, write=os.write):
                    write(1, b"stopped %d\\n" % stop())

            def main(wait):
                sdk.set_wait("vqi_get_orders_pb", float(wait))
                def loop():
                    while True:
                        c_sdk.py_vqi_get_orders(b"q")
                for _ in range(2):
                    threading.Thread(target=loop, daemon=True).start()
                time.sleep(0.05)
                gc.disable()
                strategy = Strategy()
                strategy.cycle = strategy
        """, wait, timeout=30)
        assert out == "stopped 0\n"


# A daemon thread still inside the SDK at exit (a run loop waiting for its server): the
# finalizer's call waits a bounded time for the SDK, then fails with a clear error; a run loop
# that delivers events lets the finalizer's call through between them, its events dropped.
@free_threaded_only
@pytest.mark.parametrize("loop", ["held", "delivering"])
def test_exit_while_a_daemon_thread_is_inside_the_sdk(loop):
    out = run("""
        class Strategy:
            def __del__(self, stop=c_sdk.py_vqi_stop, write=os.write):
                try:
                    write(1, b"stopped %d\\n" % stop())
                except RuntimeError as e:
                    write(1, str(e).encode() + b"\\n")

        def main(loop):
            if loop == "held":
                sdk.hold("vqi_run")
            else:
                for i in range(200_000):
                    sdk.queue_event("tick", b"%d" % i)
            c_sdk.py_vqi_set_data_callback(lambda topic, payload: None)
            threading.Thread(target=c_sdk.py_vqi_run, daemon=True).start()
            while not (sdk.held if loop == "held" else sdk.pending_events < 199_000):
                time.sleep(0.001)
            gc.disable()
            strategy = Strategy()
            strategy.cycle = strategy
    """, loop, timeout=40)
    assert out == {"held": "the interpreter is shutting down and another thread has been inside the SDK for 5 s: "
                           "the SDK is not called\n",
                   "delivering": "stopped 0\n"}[loop]


# While a thread waits inside an SDK call, the others run, collect and allocate (every thread must
# stop for a collection, and this one is detached).
@free_threaded_only
@pytest.mark.parametrize("function", ["vqi_run", "vqi_poll", "vqi_get_orders_pb"])
def test_a_collection_goes_ahead_while_a_thread_waits_in_the_sdk(function):
    out = run("""
        CALLS = {"vqi_run": c_sdk.py_vqi_run, "vqi_poll": c_sdk.vqi_poll,
                 "vqi_get_orders_pb": lambda: c_sdk.py_vqi_get_orders(b"q")}

        def main(function):
            sdk.hold(function)
            inside = threading.Thread(target=CALLS[function])
            inside.start()
            while not sdk.held:
                time.sleep(0.001)
            collector = threading.Thread(target=lambda: (gc.collect(), [[] for _ in range(200_000)]))
            collector.start()
            collector.join(20)
            print("collected" if not collector.is_alive() else "stuck", flush=True)
            waiting = threading.Thread(target=lambda: c_sdk.py_vqi_get_orders(b"next"))
            waiting.start()
            time.sleep(0.05)
            gc.collect()  # with a thread waiting for the SDK too
            sdk.hold(function, False)
            for t in (inside, collector, waiting):
                t.join(20)
            print("done" if not any(t.is_alive() for t in (inside, collector, waiting)) else "stuck")
    """, function)
    assert out == "collected\ndone\n"


# More threads calling the SDK than there are cores keep up only if a thread that lets the SDK
# lock go can take it straight back while a waiter wakes: a lock handed to a sleeping waiter makes
# every call wait for a wake-up, and for a core. Here a thread has waited long for the lock when
# its holder lets it go and calls again at once: the holder must win that race at least sometimes.
@free_threaded_only
def test_the_sdk_lock_is_not_handed_to_a_sleeping_waiter():
    out = run("""
        def trial():
            sdk.hold("vqi_get_orders_pb")
            holder = threading.Thread(target=lambda: (c_sdk.py_vqi_get_orders(b"a"), c_sdk.py_vqi_get_cash(b"a")))
            holder.start()
            while not sdk.held:
                time.sleep(0.001)
            waiter = threading.Thread(target=c_sdk.py_vqi_get_positions, args=(b"b",))
            waiter.start()
            time.sleep(0.01)  # asleep on the lock by now
            sdk.recording = True
            sdk.clear_calls()
            sdk.hold("vqi_get_orders_pb", False)
            for t in (holder, waiter):
                t.join(20)
            sdk.recording = False
            return [c.name for c in sdk.calls()][1]  # after the held call itself

        def main():
            firsts = [trial() for _ in range(10)]
            print(sorted(set(firsts)))
    """)
    assert "vqi_get_cash_pb" in out


# Threads calling the SDK in a loop take the lock back the moment they let it go: another caller
# still has it within a bound, however many of them there are (it once waited 76 s behind 8).
@free_threaded_only
def test_no_caller_waits_for_ever_behind_threads_calling_in_a_loop():
    out = run("""
        def main():
            sdk.set_wait("vqi_get_orders_pb", 0.003)
            end = loopers(8)
            worst = 0
            for _ in range(20):
                t0 = time.monotonic()
                c_sdk.py_vqi_get_orders(b"m")
                worst = max(worst, time.monotonic() - t0)
            end()
            print("bounded" if worst < 5 else f"waited {worst:.1f} s")
    """)
    assert out == "bounded\n"
