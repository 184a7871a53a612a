"""Instructions per call of c_sdk's main shapes on whatever interpreter runs this, and what the SDK
lock costs on a free-threaded one (docs/performance.md).

    PYTHONPATH=standin/python <python> bench/lock_cost.py [--calls 20000]

Each shape is counted by callgrind in a child process twice, with N and 2N calls in a Python loop;
the difference over N is the cost of one call, loop included, and the same for an empty loop is
subtracted. On a free-threaded interpreter every shape is counted again with the SDK lock switched
off (CSDK_SDK_THREADSAFE=1): the difference is what the uncontended lock costs; and the
instructions spent detaching from the interpreter and attaching again around each SDK call (the
interpreter's PyEval_SaveThread and PyEval_RestoreThread, inclusive) are read off the same
profile. Instruction counts do not depend on the machine's load.
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile

SETUP = """
import sys, c_sdk
from itertools import repeat
from vqsdk_standin import StandIn
sdk = StandIn()
sdk.reset(callback=True)
sdk.recording = False  # as the bench has it: the stand-in keeps no call log
rec = c_sdk.TickLikeDict2({"price": 1.0})
def call_loop(n, f, *a):
    for _ in repeat(None, n): f(*a)
def read_loop(n, rec):
    for _ in repeat(None, n): rec.price
def empty_loop(n, *a):
    for _ in repeat(None, n): pass
"""

# The loops take what they use as arguments (locals), like the call-cost bench's.
SHAPES = {
    "empty loop": "empty_loop(n, b'q' * 64)",
    "query call, 256-byte response": "call_loop(n, c_sdk.py_vqi_get_cash_pb_v2, b'q' * 240)",
    "command call": "call_loop(n, c_sdk.py_vqi_set_instrument_pool_symbols_pb, b'c' * 64)",
    "text getter": "call_loop(n, c_sdk.py_vqi_get_ext_errormsg)",
    "record field read": "read_loop(n, rec)",
}


DETACH = ("PyEval_SaveThread", "PyEval_RestoreThread")


def count(code, n, env):
    """The whole run's instructions, and those of the detach and attach calls (inclusive)."""
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "cg.out")
        script = SETUP + f"n = {n}\n" + code + "\n"
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable, "-c", script],
                       check=True, capture_output=True, env=env, timeout=600)
        with open(out) as f:
            total = next((int(line.split()[1]) for line in f if line.startswith(("totals:", "summary:"))), None)
        if total is None:
            raise RuntimeError("no totals in the callgrind output")
        annotated = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--threshold=100", out],
                                   check=True, capture_output=True, text=True, timeout=600).stdout
        # A function is listed once per source file its code comes from (inlined headers), each
        # line with the whole function's inclusive count: the largest is the function's.
        inclusive = dict.fromkeys(DETACH, 0)
        for line in annotated.splitlines():
            fields = line.split()
            if len(fields) < 2 or not fields[0].replace(",", "").isdigit():
                continue
            for name in DETACH:
                if re.search(rf":{name}( |$)", line):
                    inclusive[name] = max(inclusive[name], int(fields[0].replace(",", "")))
        return total, sum(inclusive.values())


def per_call(code, n, env):
    (total2, detach2), (total1, detach1) = count(code, 2 * n, env), count(code, n, env)
    return (total2 - total1) / n, (detach2 - detach1) / n


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=20000)
    args = parser.parse_args()
    free = not getattr(sys, "_is_gil_enabled", lambda: True)()
    envs = {"": dict(os.environ, PYTHONHASHSEED="0")}
    if free:
        envs["unlocked"] = dict(envs[""], CSDK_SDK_THREADSAFE="1")
    results = {label: {} for label in envs}
    for label, env in envs.items():
        for shape, code in SHAPES.items():
            results[label][shape] = per_call(code, args.calls, env)
    print(f"# {sys.version.split()[0]}{' free-threaded' if free else ''}: instructions per call, minus the empty loop")
    head = "| shape | c_sdk |" + (" SDK lock off | the lock | detach and attach | both |" if free else "")
    print(head)
    print("|---|---:|" + ("---:|---:|---:|---:|" if free else ""))
    empty = {label: r["empty loop"][0] for label, r in results.items()}
    for shape in SHAPES:
        if shape == "empty loop":
            continue
        on, detach = results[""][shape]
        on -= empty[""]
        row = f"| {shape} | {on:,.0f} |"
        if free:
            off = results["unlocked"][shape][0] - empty["unlocked"]
            row += f" {off:,.0f} | {on - off:+,.0f} | {detach:+,.0f} | {on - off + detach:+,.0f} |"
        print(row, flush=True)


if __name__ == "__main__":
    main()
