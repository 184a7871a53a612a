"""The two measurements: wall time (median of repeats in this process) and instruction counts
(callgrind, in a child process), each per call and minus the empty loop."""

from __future__ import annotations

import gc
import glob
import os
import re
import statistics
import subprocess
import time
from itertools import repeat

from cases import PAYLOAD, TOPIC, Case, handler

EMPTY_CALL = "empty:python"  # the Python loop with nothing in its body
EMPTY_EVENT = "empty:event"  # the stand-in delivering events to a callback that does nothing

_TOPIC_B = TOPIC.encode()


def make_loop(case: Case | None):
    """A function loop(n) running the case's operation n times in a Python for loop. Arguments
    are locals, so each costs one LOAD_FAST, the same for every peer."""
    if case is None:
        body, names = "pass", []
    elif case.kind == "stmt":
        used = [k for k in case.target if re.search(rf"\b{re.escape(k)}\b", case.attr)]
        src = ("def loop(n, target, args):\n"
               + "".join(f"    {k} = target[{k!r}]\n" for k in used)
               + f"    for _ in repeat(None, n):\n        {case.attr}\n")
        ns = {"repeat": repeat}
        exec(compile(src, f"<loop {case.id}>", "exec"), ns)
        fn, target = ns["loop"], case.target
        return lambda n: fn(n, target, ())
    else:
        names = [f"a{i}" for i in range(len(case.args))]
        npos = len(names) - len(case.kwnames)
        parts = names[:npos] + [f"{k}={v}" for k, v in zip(case.kwnames, names[npos:])]
        body = f"target({', '.join(parts)})"
    unpack = f"    {', '.join(names)}, = args\n" if names else ""
    src = f"def loop(n, target, args):\n{unpack}    for _ in repeat(None, n):\n        {body}\n"
    ns = {"repeat": repeat}
    exec(compile(src, f"<loop {case.id if case else 'empty'}>", "exec"), ns)
    fn = ns["loop"]
    target, args = (case.target, case.args) if case else (None, ())
    return lambda n: fn(n, target, args)


def make_runner(case: Case | None, kit, event: bool = False):
    """run(n): n operations of the case (or of the empty loop / empty event loop)."""
    if event or (case is not None and case.kind == "event"):
        install = (lambda: case.setup(handler)) if case is not None else kit.install_noop
        trigger = case.trigger if case is not None else None
        emit = lambda n, topic, payload: kit.emit_inside(n, topic, payload, trigger)  # noqa: E731

        def run(n):
            install()
            emit(n, _TOPIC_B, PAYLOAD)

        return run
    return make_loop(case)


# One live object of every small size, made before any measurement: a loop that allocates and
# frees an object then never empties the allocator's pool of that size, which would make the
# pool's release and reuse part of some cases' cost and not of others', depending on what ran
# before them.
_ballast: list = []


def _pin_pools() -> None:
    if not _ballast:
        _ballast.extend(b"x" * n for n in range(2, 600, 4))
        _ballast.extend("y" * n for n in range(2, 600, 4))
        _ballast.extend(tuple(range(n)) for n in range(1, 20))


def _runners(cases, kit):
    _pin_pools()
    runs = {EMPTY_CALL: make_runner(None, kit), EMPTY_EVENT: make_runner(None, kit, event=True)}
    for c in cases:
        runs[c.id] = make_runner(c, kit)
    return runs


def empty_of(case: Case) -> str:
    return EMPTY_EVENT if case.kind == "event" else EMPTY_CALL


def check(cases, kit) -> list[str]:
    """Every case once: the result each peer gives must be the expected one. Returns failures."""
    failures = []
    for c in cases:
        try:
            if c.kind == "event":
                got = []
                c.setup(lambda t, p: got.append((t, p)))
                kit.emit_inside(1, _TOPIC_B, PAYLOAD, c.trigger)
                c.setup(handler)
                result = got[0] if len(got) == 1 else got
            elif c.kind == "stmt":
                make_loop(c)(1)
                result = None
            else:
                npos = len(c.args) - len(c.kwnames)
                result = c.target(*c.args[:npos], **dict(zip(c.kwnames, c.args[npos:])))
        except Exception as e:  # reported with the others
            failures.append(f"{c.id}: raised {type(e).__name__}: {e}")
            continue
        if c.expect is not None and result != c.expect:
            failures.append(f"{c.id}: returned {result!r:.120}, expected {c.expect!r:.120}")
    return failures


def time_cases(cases, kit, sample_ns: int, repeats: int, progress=None) -> dict[str, float]:
    """Nanoseconds per operation: the median over `repeats` rounds, minus the empty loop's.

    Each round times every case once, in turn, so that a slow spell of the machine touches all of
    them. A sample is short (about `sample_ns`: a few hundred operations) so that most samples run
    without the process being descheduled on a busy machine, and the median is such a sample."""
    runs = _runners(cases, kit)
    sizes, fixed = {}, {}
    for key, run in runs.items():
        run(1000)  # warm up: the interpreter specializes each call site
        t0 = time.perf_counter_ns()
        run(200)
        per_op = max((time.perf_counter_ns() - t0) / 200, 1.0)
        sizes[key] = int(min(20000, max(100, sample_ns / per_op)))
        zero = []
        for _ in range(21):  # the cost of a sample with no operation in it
            t0 = time.perf_counter_ns()
            run(0)
            zero.append(time.perf_counter_ns() - t0)
        fixed[key] = statistics.median(zero)
    samples = {k: [] for k in runs}
    gc_was = gc.isenabled()
    gc.disable()
    try:
        for r in range(repeats):
            for key, run in runs.items():
                n = sizes[key]
                t0 = time.perf_counter_ns()
                run(n)
                samples[key].append((time.perf_counter_ns() - t0 - fixed[key]) / n)
            if progress:
                progress(r + 1, repeats)
    finally:
        if gc_was:
            gc.enable()
    med = {k: statistics.median(v) for k, v in samples.items()}
    return {c.id: med[c.id] - med[empty_of(c)] for c in cases} | {k: med[k] for k in (EMPTY_CALL, EMPTY_EVENT)}


# ---- callgrind ----------------------------------------------------------------------------------


def callgrind_child(cases, kit, n: int) -> None:
    """Runs in the child under callgrind: each case's n operations in a dump of its own."""
    runs = _runners(cases, kit)
    for run in runs.values():
        run(200)
    gc.disable()
    kit.cg_instrument()
    for key, run in runs.items():
        run(50)  # the instrumented code paths warm again
        kit.cg_begin()
        run(n)
        kit.cg_end(key)


def run_callgrind(argv: list[str], out_dir: str, env: dict) -> None:
    os.makedirs(out_dir, exist_ok=True)
    for f in glob.glob(os.path.join(out_dir, "cg.out*")):
        os.remove(f)
    cmd = ["valgrind", "--tool=callgrind", "--instr-atstart=no", "--collect-atstart=no",
           f"--callgrind-out-file={os.path.join(out_dir, 'cg.out')}", *argv]
    proc = subprocess.run(cmd, env=env, capture_output=True, text=True)
    with open(os.path.join(out_dir, "valgrind.log"), "w") as log:
        log.write(proc.stdout)
        log.write(proc.stderr)
    if proc.returncode != 0:
        raise RuntimeError(f"callgrind run failed ({proc.returncode}); see {out_dir}/valgrind.log:\n"
                           + proc.stderr[-3000:])


def read_dumps(out_dir: str) -> dict[str, tuple[int, str]]:
    """name -> (instructions, dump file)."""
    found = {}
    for path in glob.glob(os.path.join(out_dir, "cg.out.*")):
        name = total = None
        with open(path, errors="replace") as f:
            for line in f:
                if line.startswith("desc: Trigger: Client Request: "):
                    name = line[len("desc: Trigger: Client Request: "):].strip()
                elif line.startswith("totals:") or line.startswith("summary:"):
                    total = int(line.split()[1])
        if name is not None and total is not None:
            found[name] = (total, path)
    return found


def per_call_instructions(cases, dumps, n: int) -> dict[str, float]:
    out = {}
    for c in cases:
        if c.id in dumps:
            out[c.id] = (dumps[c.id][0] - dumps[empty_of(c)][0]) / n
    for k in (EMPTY_CALL, EMPTY_EVENT):
        if k in dumps:
            out[k] = dumps[k][0] / n
    return out


_ANNOTATE_LINE = re.compile(r"^\s*([\d,]+)\s+\(\s*[\d.]+%\)\s+(.*)$")


def functions(dump: str, inclusive: bool = False) -> dict[str, int]:
    """Instructions per function in one dump (callgrind_annotate), by short function name."""
    proc = subprocess.run(["callgrind_annotate", f"--inclusive={'yes' if inclusive else 'no'}",
                           "--threshold=100", dump], capture_output=True, text=True, check=True)
    out: dict[str, int] = {}
    raw: list[tuple[str, int]] = []
    started = False
    for line in proc.stdout.splitlines():
        if "file:function" in line:
            started = True
            continue
        if not started:
            continue
        m = _ANNOTATE_LINE.match(line)
        if not m:
            continue
        raw.append((m.group(2), int(m.group(1).replace(",", ""))))
    mangled = sorted({_bare(r) for r, _ in raw if _bare(r).startswith("_Z")})
    plain = dict(zip(mangled, _demangle(mangled)))
    for r, count in raw:
        name = short_name(plain.get(_bare(r), r))
        out[name] = out.get(name, 0) + count
    return out


def _bare(raw: str) -> str:
    """The symbol of "file:symbol [object]"."""
    raw = re.sub(r"\s+\[[^\]]*\]$", "", raw.strip())
    return raw.split(":", 1)[1] if raw.startswith("???:") else raw


def _demangle(names: list[str]) -> list[str]:
    if not names:
        return []
    try:
        proc = subprocess.run(["c++filt"], input="\n".join(names) + "\n", capture_output=True, text=True, check=True)
        lines = proc.stdout.splitlines()
        if len(lines) != len(names):
            lines = names
    except (OSError, subprocess.CalledProcessError):
        lines = names
    return [_readable(m) if d.startswith("_Z") or re.search(r"ELc\d|EEE", d) else d for m, d in zip(names, lines)]


def _readable(mangled: str) -> str:
    """A name c++filt cannot demangle (class-type template arguments): its length-prefixed
    identifiers, e.g. csdk::shapes::binding<vqi_smart_reorder>::entry_kw."""
    ids, i = [], 0
    while i < len(mangled):
        m = re.match(r"(\d+)", mangled[i:])
        literal = mangled[i - 2:i - 1] == "L" or mangled[i - 3:i - 2] == "L"  # Lc115E, Lin1E: values
        if m and i > 0 and not literal:
            n = int(m.group(1))
            word = mangled[i + len(m.group(1)):i + len(m.group(1)) + n]
            if len(word) == n and re.fullmatch(r"[A-Za-z_][a-z0-9_]*", word):
                ids.append(word)
                i += len(m.group(1)) + n
                continue
        i += 1
    if not ids:
        return mangled
    sdk = next((w for w in ids if w.startswith("vqi_")), "")
    member = [w for w in ids if w != "_object"][-1]
    return f"{'::'.join(ids[:3])}<{sdk}>::{member}" if sdk else "::".join(ids)


def short_name(raw: str) -> str:
    """"file:function [object]" -> function, with template arguments and parameter lists elided."""
    raw = re.sub(r"\s+\[[^\]]*\]$", "", raw.strip())
    for i, ch in enumerate(raw):  # the first lone ':' ends the file part
        if ch == ":" and raw[i + 1:i + 2] != ":" and raw[i - 1:i] != ":":
            if not any(c in raw[:i] for c in "<( "):
                raw = raw[i + 1:]
            break
    out, depth = [], 0
    for ch in raw:
        if ch in "<(":
            depth += 1
        elif ch in ">)":
            depth = max(0, depth - 1)
        elif depth == 0:
            out.append(ch)
    return "".join(out).strip()
