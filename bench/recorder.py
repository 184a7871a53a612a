"""The session recorder's cost: c_sdk calling the stand-in directly, against the same calls made
through the recorder (recording to a file), in callgrind instructions per call and per event.

    PYTHONPATH=standin/python .venv/bin/python bench/recorder.py [--n 20000]   # after make install

Each figure comes from whole-process callgrind runs of a child that makes the call n and 2n
times: (instructions(2n) - instructions(n)) / n, so the interpreter's start and the imports
cancel out. The shapes are the main bench's (bench/cases.py): a query with a 256-byte response,
a 64-byte command, and one event with a 128-byte payload delivered by vqi_run to a handler that
does nothing (the events are queued through the stand-in's control first, the same for both
libraries, so only the difference is the recorder's cost per event).
"""

from __future__ import annotations

import argparse
import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from cases import COMMAND_REQ, PAYLOAD, QUERY_REQ, TOPIC  # noqa: E402

SHAPES = [("query", "query call, 256-byte response"), ("command", "command call"),
          ("event", "one event, 128-byte payload")]


def child(shape: str, n: int) -> None:
    import c_sdk
    import vq.constant
    from vqsdk_standin import StandIn

    sdk = StandIn(os.environ.get("VQSDK_RECORD_LIBRARY") or None)
    sdk.reset(callback=True, config=True)
    sdk.default_status = vq.constant.CSDK_OPERATE_SUCCESS
    sdk.recording = False
    if shape == "query":
        f = c_sdk.py_vqi_get_cash_pb_v2
        for _ in range(n):
            f(QUERY_REQ)
    elif shape == "command":
        f = c_sdk.py_vqi_set_instrument_pool_symbols_pb
        for _ in range(n):
            f(COMMAND_REQ)
    else:
        for _ in range(n):
            sdk.queue_event(TOPIC, PAYLOAD)
        c_sdk.py_vqi_set_data_callback(lambda topic, payload: None)
        c_sdk.py_vqi_run()


def instructions(shape: str, n: int, recorder: bool, tmp: str) -> int:
    from c_sdk_tools.recording import library_dir
    from vqsdk_standin import library_path

    env = dict(os.environ, PYTHONHASHSEED="0")
    if recorder:
        env.update(LD_LIBRARY_PATH=library_dir(), VQSDK_RECORD_LIBRARY=library_path(),
                   VQSDK_RECORD_FILE=os.path.join(tmp, f"{shape}-{n}.vqrec"))
    out = os.path.join(tmp, "cg.out")
    cmd = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable, os.path.abspath(__file__),
           "--child", shape, str(n)]
    done = subprocess.run(cmd, env=env, capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit(f"bench: callgrind run failed:\n{done.stderr[-3000:]}")
    with open(out) as f:
        total = re.search(r"^(?:summary|totals): (\d+)", f.read(), re.M)
    return int(total.group(1))


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--n", type=int, default=20000, help="calls (events) in the shorter run")
    ap.add_argument("--child", nargs=2, help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.child:
        child(args.child[0], int(args.child[1]))
        return 0
    n = args.n
    print("| shape | c_sdk on the stand-in | through the recorder | the recorder's cost |")
    print("|---|---:|---:|---:|")
    with tempfile.TemporaryDirectory() as tmp:
        for shape, label in SHAPES:
            per = {}
            for recorder in (False, True):
                per[recorder] = (instructions(shape, 2 * n, recorder, tmp) - instructions(shape, n, recorder, tmp)) / n
            plain = "—" if shape == "event" else f"{per[False]:,.0f}"
            through = "—" if shape == "event" else f"{per[True]:,.0f}"
            print(f"| {label} | {plain} | {through} | +{per[True] - per[False]:,.0f} |", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
