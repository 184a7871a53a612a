"""What `c-sdk-record stats` and `report` cost: the demo's session, and long sessions recorded on
the stand-in's market, in wall time and peak memory of the process, against the file's size.

    PYTHONPATH=standin/python .venv/bin/python bench/stats.py [--gb 1] [--dir DIR]   # after make install

It records the demo (examples/ma_cross.py) and two long sessions, the second twice the first's
length (about --gb/2 and --gb of file; ticks every 100 ms of market time on three symbols over as
many days as that takes, the strategy subscribing to ticks and one-minute bars, checking its cash
on each bar and trading now and then), in --dir (default: a temporary directory, removed at the
end; the files are never kept in the tree). Then it runs each command on each file in a process of
its own and reports the wall time, the peak resident memory (getrusage), and the time per GB: a
time proportional to the size, with a peak memory that does not grow with it, is the goal.
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
BYTES_PER_DAY = 0.83e9  # a day of 100 ms ticks on three symbols, with its bars and orders, recorded

STRATEGY = """
import json, sys, c_sdk
from vqsdk_standin import enable_market
days = float(sys.argv[1])
enable_market(seed=11, tick_interval=100)
end_ms = int(days * 86_400_000)
start = "2026-01-05 00:00:00"
import datetime
end = (datetime.datetime(2026, 1, 5) + datetime.timedelta(milliseconds=end_ms)).strftime("%Y-%m-%d %H:%M:%S")
c_sdk.py_vqi_set_backtest_config(start, end, 1_000_000.0, 1.0, 0.0003, 0.0, 0.0001, 0.1, 0.1, 1, 0, 0)
held = {}
bars = 0
def on_event(topic, payload):
    global bars
    if topic == "bar":
        bars += 1
        bar = json.loads(payload)
        c_sdk.py_vqi_get_cash(b"{}")
        if bars % 7 == 0:
            side = "sell" if held.get(bar["symbol"]) else "buy"
            c_sdk.py_vqi_place_order(json.dumps({"symbol": bar["symbol"], "side": side, "volume": 100}))
            held[bar["symbol"]] = side == "buy"
c_sdk.py_vqi_set_data_callback(on_event)
c_sdk.py_vqi_subscribe("SIM.ALPHA,SIM.BETA,SIM.GAMMA", "tick", False)
c_sdk.py_vqi_subscribe("SIM.ALPHA,SIM.BETA,SIM.GAMMA", "60s", False)
c_sdk.py_vqi_run()
"""


def run(command: list[str], env: dict | None = None, stdout=subprocess.DEVNULL) -> tuple[float, int]:
    """Wall seconds and peak resident KiB of one child process."""
    start = time.perf_counter()
    child = subprocess.Popen(command, env=env, stdout=stdout, stderr=subprocess.PIPE, text=True)
    _, status, usage = os.wait4(child.pid, 0)
    took = time.perf_counter() - start
    err = child.stderr.read()
    if status != 0:
        sys.exit(f"bench: {' '.join(command)} failed ({status}):\n{err[-2000:]}")
    return took, usage.ru_maxrss


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--gb", type=float, default=1.0, help="the size of the longer session, about (default 1)")
    ap.add_argument("--dir", help="where the sessions go (default: a temporary directory, removed after)")
    args = ap.parse_args(argv)
    py = sys.executable
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [os.path.join(ROOT, "standin", "python"),
                                                                   os.environ.get("PYTHONPATH")])))
    from vqsdk_standin import library_path

    sdk = library_path()
    work = args.dir or tempfile.mkdtemp(prefix="c_sdk-stats-bench-")
    os.makedirs(work, exist_ok=True)
    tool = [py, "-m", "c_sdk_tools.recording"]
    try:
        sessions = [("demo", os.path.join(work, "demo.vqrec"), [py, os.path.join(ROOT, "examples", "ma_cross.py")])]
        for part in (0.5, 1.0):
            days = args.gb * part * 1e9 / BYTES_PER_DAY
            sessions.append((f"{days:.2f} days", os.path.join(work, f"long-{part}.vqrec"),
                             [py, "-c", STRATEGY, str(days)]))
        for name, path, command in sessions:
            if not os.path.exists(path):
                took, _ = run([*tool, "record", "--sdk", sdk, "-o", path, "--", *command], env)
                print(f"recorded {name}: {os.path.getsize(path) / 1e6:,.1f} MB in {took:.0f} s", file=sys.stderr)
        print("| session | file | records | command | wall time | per GB | peak memory |")
        print("|---|---:|---:|---|---:|---:|---:|")
        for name, path, _ in sessions:
            size = os.path.getsize(path)
            out = subprocess.run([*tool, "stats", "--json", path], env=env, capture_output=True, text=True, check=True)
            records = json.loads(out.stdout)["records"]
            for command in (["stats", path], ["report", path, "-o", os.path.join(work, "report.html")]):
                took, rss = run([*tool, *command], env)
                print(f"| {name} | {size / 1e6:,.1f} MB | {records:,} | {command[0]} | {took:.2f} s | "
                      f"{took / (size / 1e9):.1f} s | {rss / 1024:.0f} MB |", flush=True)
        took, rss = run([py, "-c", "import c_sdk_tools.stats"], env)
        print(f"\n(the interpreter and the tools' imports alone: {took:.2f} s, {rss / 1024:.0f} MB)")
    finally:
        if not args.dir:
            shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
