"""Several Python threads in the module at once (bindings, event delivery through vqi_poll and
emit, handler changes), and sub-interpreters, which the module refuses."""

import collections
import sys
import textwrap
import threading

import pytest

import c_sdk
from conftest import SUCCESS, run_python
from surface import BINDINGS
from vqsdk_standin import OUT, Call

CALLS_PER_THREAD = 400
SWITCH_INTERVAL = 1e-6  # hand the interpreter lock over as often as possible


@pytest.fixture
def busy_switching():
    saved = sys.getswitchinterval()
    sys.setswitchinterval(SWITCH_INTERVAL)
    yield
    sys.setswitchinterval(saved)


def run_threads(*targets, timeout=120):
    """Runs each target on its own thread; re-raises the first failure."""
    errors = []

    def guarded(target):
        try:
            target()
        except BaseException as e:  # noqa: BLE001
            errors.append(e)

    start = threading.Barrier(len(targets))
    threads = [threading.Thread(target=guarded, args=(lambda t=t: (start.wait(), t()),), daemon=True)
               for t in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout)
    assert not any(t.is_alive() for t in threads), "a thread never finished"
    if errors:
        raise errors[0]


# Bindings whose every call can be told apart by its arguments.
TAGGED = [b for b in BINDINGS
          if {"req", "text", "int"} & {kind for _, kind in b.params} and b.params[0][1] != "handler"]


def tagged_call(binding, thread, k):
    """Arguments unique to (thread, k), and the SDK call they make."""
    value = {"req": b"T%d-%d\0" % (thread, k), "text": b"T%d-%d" % (thread, k), "int": thread * 100_000 + k,
             "real": thread + k / 1024, "bool": [k] * (k % 2), "flag": k % 3}
    sent = {"req": value["req"], "text": value["text"], "int": value["int"], "real": value["real"],
            "bool": bool(k % 2), "flag": k % 3 != 0}
    args = [value[kind] for _, kind in binding.params]
    kinds = dict(binding.params)
    natives = []
    for native in binding.natives:
        if native == "out":
            natives.append(OUT)
        elif native == "null":
            natives.append(None)
        elif native.startswith("len:"):
            natives.append(len(value["req"]))
        else:
            natives.append(sent[kinds[native]])
    return args, Call(binding.sdk, tuple(natives))


def test_bindings_from_many_threads(sdk, busy_switching):
    made = collections.defaultdict(list)

    def worker(thread):
        def run():
            for k in range(CALLS_PER_THREAD):
                binding = TAGGED[(thread * 37 + k) % len(TAGGED)]
                args, expected = tagged_call(binding, thread, k)
                result = getattr(c_sdk, binding.name)(*args)
                if binding.result == "query":  # this thread's own answer, never another's
                    assert result[0] == SUCCESS and result[1].startswith(b"%s|%s" % (binding.sdk.encode(), args[0]))
                made[thread].append(expected)
        return run

    run_threads(*[worker(t) for t in range(4)])
    log = sdk.calls()
    assert len(log) == 4 * CALLS_PER_THREAD
    assert collections.Counter(log) == collections.Counter(c for calls in made.values() for c in calls)
    for thread, calls in made.items():  # each thread's calls in its own order
        mine = set(calls)
        assert [c for c in log if c in mine] == calls


def test_events_and_handler_changes_from_many_threads(sdk, busy_switching):
    received = []

    def handler(topic, payload):
        received.append((topic, payload, threading.get_ident()))

    def other_handler(topic, payload):  # the same record, through another function
        received.append((topic, payload, threading.get_ident()))

    c_sdk.py_vqi_set_data_callback(handler)
    sdk.clear_calls()
    queued = [("q", b"%d" % i) for i in range(600)]
    emitted = {t: [("e%d" % t, b"%d" % i) for i in range(200)] for t in range(2)}
    polls, registrations, emitters = [], [0], {}
    done = threading.Event()

    def producer():
        for event in queued:
            sdk.queue_event(*event)

    def poller():
        n = 0
        while not done.is_set() or sdk.pending_events:
            c_sdk.vqi_poll()
            n += 1
            if sum(r[0] == "q" for r in received) == len(queued):
                done.set()
        polls.append(n)

    def emitter(t):
        def run():
            emitters[t] = threading.get_ident()
            for event in emitted[t]:
                sdk.emit(*event)
        return run

    def switcher():
        while not done.is_set():
            c_sdk.py_vqi_set_data_callback(other_handler if registrations[0] % 2 else handler)
            registrations[0] += 1

    run_threads(producer, poller, poller, emitter(0), emitter(1), switcher)
    got = collections.Counter((topic, payload) for topic, payload, _ in received)
    assert got == collections.Counter(queued + emitted[0] + emitted[1])  # each exactly once
    for t, ident in emitters.items():  # an emitted event is delivered on the emitting thread
        assert {r[2] for r in received if r[0] == "e%d" % t} == {ident}
    names = collections.Counter(c.name for c in sdk.calls())
    assert names == {"vqi_poll": sum(polls), "vqi_set_event_callback_pb": registrations[0]}


SUBINTERPRETER = """
import sys
import c_sdk

CODE = '''
try:
    import c_sdk
except ImportError as e:
    print("refused:", e, flush=True)
else:
    print("imported", flush=True)
'''
try:
    import _interpreters as interpreters  # 3.13
    configs = {"shared": lambda: interpreters.create("legacy"), "isolated": lambda: interpreters.create("isolated")}
except ImportError:
    import _xxsubinterpreters as interpreters
    configs = {"shared": lambda: interpreters.create(isolated=False)}
    if sys.version_info >= (3, 12):
        configs["isolated"] = lambda: interpreters.create(isolated=True)
for name, create in configs.items():
    print(name, end=" ", flush=True)
    interp = create()
    interpreters.run_string(interp, CODE)
    interpreters.destroy(interp)
assert c_sdk.py_vqi_get_orders(b"") is not None  # still whole here
"""


def test_sub_interpreters_are_refused():
    pytest.importorskip("_interpreters" if sys.version_info >= (3, 13) else "_xxsubinterpreters")
    done = run_python(textwrap.dedent(SUBINTERPRETER))
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0] == ("shared refused: Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.")
    # From 3.12 the module declares it may be loaded into an interpreter with a GIL of its own, so
    # that such an interpreter gets the module's own refusal too (3.10/3.11 have no such interpreter).
    assert lines[1:] == ([lines[0].replace("shared", "isolated", 1)] if sys.version_info >= (3, 12) else [])
