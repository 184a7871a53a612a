"""c_sdk's call-cost bench: c_sdk against the other ways of binding the same SDK functions.

    python bench/run.py --build          build c_sdk and the peers under bench/out/build, then measure
    python bench/run.py --quick          fewer calls and repeats (a few minutes less; noisier)
    python bench/run.py --smoke          check every peer's results and run each case a few times
    python bench/run.py --c-sdk-dir DIR  measure the c_sdk built in DIR (a prototype, say)

Outputs under bench/out/: results.md (printed too), results.json, chart.png, profile/ (per-function
instructions of c_sdk and the hand-written binding) and callgrind/ (the raw dumps).
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)

import cases as cases_mod  # noqa: E402
import measure  # noqa: E402
import report  # noqa: E402

MODES = {  # wall time of one timed sample (ns), timing rounds, calls per callgrind dump
    "full": dict(sample_ns=400_000, repeats=151, cg_n=2000),
    "quick": dict(sample_ns=200_000, repeats=31, cg_n=300),
    "smoke": dict(sample_ns=20_000, repeats=2, cg_n=0),
}


def tool(name: str) -> str:
    beside = os.path.join(os.path.dirname(sys.executable), name)
    return beside if os.path.exists(beside) else (shutil.which(name) or name)


def sh(cmd: list[str], log: str) -> None:
    with open(log, "a") as f:
        f.write("$ " + " ".join(cmd) + "\n")
        f.flush()
        proc = subprocess.run(cmd, stdout=f, stderr=subprocess.STDOUT)
    if proc.returncode != 0:
        sys.exit(f"bench: build step failed: {' '.join(cmd)}\n(see {log})")


def build(build_dir: str) -> None:
    """c_sdk through the project's own CMake build (Release), then the peers against its libvqsdk.so."""
    os.makedirs(build_dir, exist_ok=True)
    log = os.path.join(build_dir, "build.log")
    open(log, "w").close()
    cmake, ninja = tool("cmake"), tool("ninja")
    gen = ["-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={ninja}"] if os.path.exists(ninja) else []
    c_dir, p_dir = os.path.join(build_dir, "c_sdk"), os.path.join(build_dir, "peers")
    t0 = time.monotonic()
    print("bench: building c_sdk (Release) ...", flush=True)
    sh([cmake, "-S", ROOT, "-B", c_dir, *gen, "-DCMAKE_BUILD_TYPE=Release", "-DVQSDK_STANDIN=ON",
        f"-DPython_EXECUTABLE={sys.executable}"], log)
    sh([cmake, "--build", c_dir, "-j2"], log)
    print("bench: building the peers ...", flush=True)
    py = sys.executable
    pybind11_dir = subprocess.check_output([py, "-m", "pybind11", "--cmakedir"], text=True).strip()
    nanobind_dir = subprocess.check_output([py, "-m", "nanobind", "--cmake_dir"], text=True).strip()
    sh([cmake, "-S", os.path.join(HERE, "peers"), "-B", p_dir, *gen, "-DCMAKE_BUILD_TYPE=Release",
        f"-DPython_EXECUTABLE={py}", f"-DVQSDK_LIBRARY={os.path.join(c_dir, 'c_sdk.libs', 'libvqsdk.so')}",
        f"-Dpybind11_DIR={pybind11_dir}", f"-Dnanobind_DIR={nanobind_dir}"], log)
    sh([cmake, "--build", p_dir, "-j2"], log)
    print(f"bench: built in {time.monotonic() - t0:.0f} s", flush=True)


def header(mode: str, params: dict, callgrind: bool) -> str:
    try:
        gxx = subprocess.check_output(["g++", "--version"], text=True).splitlines()[0]
    except (OSError, subprocess.CalledProcessError):
        gxx = "?"
    lines = [
        "# c_sdk call cost against the other ways to bind the same SDK functions",
        "",
        f"Python {platform.python_version()} ({sys.implementation.name}), {gxx}, built Release (-O3); "
        f"{platform.machine()}, {os.cpu_count()} cores; mode `{mode}`.",
        f"Every peer calls the same functions of one loaded libvqsdk.so (the stand-in, recording off). "
        f"Time: median of {params['repeats']} rounds, each timing every case once in turn (a sample of "
        f"about {params['sample_ns'] / 1e6:.1f} ms, a few hundred calls), minus the empty loop, in one "
        f"process; this machine is shared and busy, so the times are noisy: compare within a run and "
        f"trust the instruction counts."
        + (f" Instructions: callgrind, {params['cg_n']:,} calls per case in one child process, minus the "
           f"empty loop (stable across runs)." if callgrind else " Instructions: not measured in this mode."),
        "",
        "Peers: *floor* is an empty builtin of the cheapest convention for the shape (METH_O for one argument, "
        "METH_FASTCALL for none, METH_FASTCALL | METH_KEYWORDS for 11 parameters; for an event, the handler called with two ready objects); "
        "*floor, tuple/dict* is an empty METH_VARARGS | METH_KEYWORDS builtin; *hand-written, tuple/dict* is "
        "the hand-written binding bound to that convention, which an exact '<name>() keywords must be strings' "
        "message forces (c_sdk's multi-parameter bindings and its adapt_to_python3 wrapper use it). "
        "The event shape is timed as the stand-in delivering events in a C loop; its empty loop is the same "
        "delivery to a callback that does nothing.",
    ]
    return "\n".join(lines) + "\n"


def single_library() -> list[str]:
    with open("/proc/self/maps") as maps:
        paths = {line.split(maxsplit=5)[5].strip() for line in maps if line.rstrip().endswith("/libvqsdk.so")}
    return sorted(paths)


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", action="store_true", help="build c_sdk and the peers first")
    ap.add_argument("--quick", action="store_true", help="fewer calls and rounds")
    ap.add_argument("--smoke", action="store_true", help="check results, run each case a few times, no callgrind")
    ap.add_argument("--no-callgrind", action="store_true", help="time only")
    ap.add_argument("--only", default="", help="comma-separated shape keys to measure (rec: all record shapes)")
    ap.add_argument("--out", default=os.path.join(HERE, "out"), help="where the results go")
    ap.add_argument("--build-dir", default=os.path.join(HERE, "out", "build"),
                    help="where c_sdk and the peers are built (c_sdk/ and peers/ in it)")
    ap.add_argument("--c-sdk-dir", default=None, help="directory holding the c_sdk extension to measure")
    ap.add_argument("--peers-dir", default=None)
    ap.add_argument("--callgrind-child", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)

    mode = "smoke" if args.smoke else "quick" if args.quick else "full"
    params = MODES[mode]
    out = os.path.abspath(args.out)
    build_dir = os.path.abspath(args.build_dir)
    if args.build:
        build(build_dir)
    c_dir = os.path.abspath(args.c_sdk_dir or os.path.join(build_dir, "c_sdk"))
    p_dir = os.path.abspath(args.peers_dir or os.path.join(build_dir, "peers"))

    env = cases_mod.load(c_dir, p_dir)
    libs = single_library()
    if len(libs) != 1:
        sys.exit(f"bench: the peers must share one libvqsdk.so, found {libs}")
    all_cases = cases_mod.build(env)
    if args.only:
        keep = set(args.only.split(","))
        all_cases = [c for c in all_cases if c.shape in keep or ("rec" in keep and c.shape.startswith("rec_"))]

    if args.callgrind_child:
        measure.callgrind_child(all_cases, env.kit, int(os.environ["BENCH_CG_N"]))
        return 0

    print(f"bench: c_sdk from {os.path.dirname(env.c_sdk.__file__)}, libvqsdk.so {libs[0]}", flush=True)
    for note in env.notes:
        print("bench: " + note, flush=True)
    failures = measure.check(all_cases, env.kit)
    if failures:
        print("bench: results differ:\n  " + "\n  ".join(failures), file=sys.stderr)
        return 1
    print(f"bench: {len(all_cases)} cases give the expected results", flush=True)

    os.makedirs(out, exist_ok=True)
    if mode == "smoke":
        out = os.path.join(out, "smoke")
        os.makedirs(out, exist_ok=True)

    t0 = time.monotonic()
    ns = measure.time_cases(all_cases, env.kit, params["sample_ns"], params["repeats"],
                            progress=(lambda r, n: print(f"\rbench: timing round {r}/{n}", end="", flush=True))
                            if sys.stdout.isatty() else None)
    print(f"\rbench: timed in {time.monotonic() - t0:.0f} s        ", flush=True)

    instr, dumps = {}, {}
    use_cg = mode != "smoke" and not args.no_callgrind
    if use_cg and not shutil.which("valgrind"):
        env.notes.append("valgrind not found: instructions not measured")
        use_cg = False
    if use_cg:
        t0 = time.monotonic()
        print("bench: counting instructions under callgrind ...", flush=True)
        cg_dir = os.path.join(out, "callgrind")
        child_env = dict(os.environ, BENCH_CG_N=str(params["cg_n"]), PYTHONHASHSEED="0")
        child = [sys.executable, os.path.abspath(__file__), "--callgrind-child", "--out", out,
                 "--c-sdk-dir", c_dir, "--peers-dir", p_dir] + (["--only", args.only] if args.only else [])
        measure.run_callgrind(child, cg_dir, child_env)
        dumps = measure.read_dumps(cg_dir)
        instr = measure.per_call_instructions(all_cases, dumps, params["cg_n"])
        print(f"bench: counted in {time.monotonic() - t0:.0f} s", flush=True)

    breakdown = report.breakdown(all_cases, dumps, params["cg_n"], os.path.join(out, "profile")) if dumps else ""
    goal = report.goal_table(instr, ns) if instr else ""
    notes = list(env.notes) + [
        f"empty loop: {ns[measure.EMPTY_CALL]:.1f} ns per iteration"
        + (f", {instr[measure.EMPTY_CALL]:.0f} instructions" if measure.EMPTY_CALL in instr else "")
        + f"; empty event delivery: {ns[measure.EMPTY_EVENT]:.1f} ns"
        + (f", {instr[measure.EMPTY_EVENT]:.0f} instructions" if measure.EMPTY_EVENT in instr else ""),
    ]
    text = report.write(os.path.join(out, "results.md"), header=header(mode, params, bool(instr)), instr=instr,
                        ns=ns, goal=goal, breakdown_md=breakdown, notes=notes)
    with open(os.path.join(out, "results.json"), "w") as f:
        json.dump({"mode": mode, "params": params, "ns": ns, "instructions": instr}, f, indent=1, sort_keys=True)
    try:
        report.chart(instr, ns, os.path.join(out, "chart.png"))
    except ImportError:
        print("bench: matplotlib not available: no chart", flush=True)
    print(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
