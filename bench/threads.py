"""How c_sdk's work scales with threads on a free-threaded interpreter (docs/performance.md).

    PYTHONPATH=standin/python <3.13t python> bench/threads.py [--threads 1,2,4,8] [--seconds 0.8] [--rounds 5]

Each case runs the same loop on N threads at once, each thread on objects of its own, for a fixed
time, and reports the work done per second against one thread: on 2 cores, 2 threads doing twice
the work of one is perfect scaling. Records involve no SDK lock; binding calls all pass through it,
so they scale only as far as the work outside the SDK (argument conversion, result objects) lets
them, and with more threads than cores they should keep most of one thread's pace. Wall-clock
figures, each the median of several rounds that measure every thread count in turn: run on a
quiet machine and compare within one run.
"""

import argparse
import statistics
import sys
import threading
import time

import c_sdk


# Each thread's record holds values of its own, as every tick's decoded message does: a constant
# shared by all threads would make its reference count the thing they contend for.
def record_reads(n):
    rec = c_sdk.TickLikeDict2({"price": float(n) + 0.5, "symbol": "SIM.ALPHA", "cum_volume": n * 1000})
    total = 0.0
    for _ in range(n):
        total += rec.price
        total += rec["cum_volume"]
    return total


def record_writes(n):
    rec = c_sdk.BarLikeDict2({"close": 1.0})
    for i in range(n):
        rec.close = i
        rec.data = {"close": rec.close}


def query_calls(n):
    req = b"q" * 64
    call = c_sdk.py_vqi_get_orders
    for _ in range(n):
        call(req)


def command_calls(n):
    req = b"c" * 16
    call = c_sdk.py_vqi_cancel_order
    for _ in range(n):
        call(req)


CASES = {
    "record reads": record_reads,
    "record writes": record_writes,
    "query calls": query_calls,
    "command calls": command_calls,
}


def rate(fn, threads, seconds, chunk=2000):
    """Calls of fn's loop body per second over all threads."""
    done = [0] * threads
    stop = threading.Event()
    start = threading.Barrier(threads + 1)

    def worker(i):
        start.wait()
        while not stop.is_set():
            fn(chunk)
            done[i] += chunk

    workers = [threading.Thread(target=worker, args=(i,), daemon=True) for i in range(threads)]
    for w in workers:
        w.start()
    start.wait()
    t0 = time.perf_counter()
    time.sleep(seconds)
    stop.set()
    for w in workers:
        w.join(60)
        if w.is_alive():
            raise SystemExit("a worker did not stop within 60 s")
    return sum(done) / (time.perf_counter() - t0)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--threads", default="1,2,4,8", help="thread counts, comma-separated (default 1,2,4,8)")
    parser.add_argument("--seconds", type=float, default=0.8, help="time per measurement (default 0.8)")
    parser.add_argument("--rounds", type=int, default=5,
                        help="measurements of each count, taken in turn, of which the median counts (default 5)")
    args = parser.parse_args()
    counts = [int(c) for c in args.threads.split(",")]
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"# {sys.version.split()[0]} {'GIL on' if gil else 'free-threaded, GIL off'}")
    print("| case | " + " | ".join(f"{n} thread{'s' if n > 1 else ''}" for n in counts) + " |")
    print("|---|" + "---:|" * len(counts))
    for name, fn in CASES.items():
        # Every count once per round, in turn: a slow spell of a shared machine hits them alike.
        rounds = [[rate(fn, n, args.seconds) for n in counts] for _ in range(args.rounds)]
        rates = [statistics.median(r[k] for r in rounds) for k in range(len(counts))]
        cells = [f"{r / 1e6:.2f} M/s ({r / rates[0]:.2f}x)" for r in rates]
        print(f"| {name} | " + " | ".join(cells) + " |", flush=True)


if __name__ == "__main__":
    main()
