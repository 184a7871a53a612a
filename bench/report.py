"""The bench's outputs: markdown tables (results.md), the chart (chart.png), the per-function
breakdown of c_sdk against the hand-written binding (profile/)."""

from __future__ import annotations

import os

from cases import PEER_LABEL, PEERS, REFERENCE, SHAPE_LABEL, SHAPES
from measure import EMPTY_CALL, EMPTY_EVENT, empty_of, functions

GOAL = 1.05


def _cell(values: dict, shape: str, peer: str, digits: int) -> str:
    v = values.get(f"{shape}:{peer}")
    if v is None:
        return "—"
    ref = values.get(f"{shape}:{REFERENCE}", values.get(f"{shape}:python"))
    text = f"{v:,.{digits}f}"
    if ref and ref > 0:
        text += f" ({v / ref:.2f}x)"
    return text


def table(values: dict, shapes: list[str], digits: int) -> str:
    present = [p for p, _ in PEERS if any(f"{s}:{p}" in values for s in shapes)]
    lines = ["| shape | " + " | ".join(PEER_LABEL[p] for p in present) + " |",
             "|---|" + "---:|" * len(present)]
    for s in shapes:
        if not any(f"{s}:{p}" in values for p in present):
            continue
        lines.append(f"| {SHAPE_LABEL[s]} | " + " | ".join(_cell(values, s, p, digits) for p in present) + " |")
    return "\n".join(lines)


def goal_table(instr: dict, ns: dict) -> str:
    lines = ["| shape | c_sdk / hand-written, instructions | c_sdk / hand-written, time | ≤ 1.05x | "
             "c_sdk / hand-written on c_sdk's convention (tuple/dict), instructions | "
             "cheapest other peer (instructions) | below every other peer |", "|---|---:|---:|:-:|---:|---|:-:|"]
    for s, label, _ in SHAPES:
        c, h = instr.get(f"{s}:c_sdk"), instr.get(f"{s}:{REFERENCE}")
        if c is None or not h:
            continue
        t_c, t_h = ns.get(f"{s}:c_sdk"), ns.get(f"{s}:{REFERENCE}")
        others = {p: instr[f"{s}:{p}"] for p in ("cython", "nanobind", "pybind11", "cffi_api", "cffi_abi", "ctypes",
                                                  "python") if f"{s}:{p}" in instr}
        best = min(others.items(), key=lambda kv: kv[1]) if others else None
        same = instr.get(f"{s}:hw_exact")
        lines.append(
            f"| {label} | {c / h:.2f}x | {t_c / t_h:.2f}x | {'yes' if c / h <= GOAL else 'no'} | "
            + (f"{c / same:.2f}x | " if same else "— | ")
            + (f"{PEER_LABEL[best[0]]}: {best[1]:,.0f} | {'yes' if c < best[1] else 'no'} |" if best else "— | — |"))
    return "\n".join(lines)


def breakdown(cases, dumps: dict, n: int, out_dir: str, top: int = 12) -> str:
    """Where c_sdk's instructions go against the hand-written binding, per shape: exclusive
    instructions per call by function, minus the empty loop's. Full listings go to profile/."""
    os.makedirs(out_dir, exist_ok=True)
    by_id = {c.id: c for c in cases}
    empties = {k: functions(dumps[k][1]) for k in (EMPTY_CALL, EMPTY_EVENT) if k in dumps}
    parts = []
    for s, label, _ in SHAPES:
        ids = [f"{s}:{p}" for p in ("c_sdk", REFERENCE, "hw_exact") if f"{s}:{p}" in dumps]
        if not any(i.endswith(":c_sdk") for i in ids):
            continue
        per = {}
        for i in ids:
            empty = empties.get(empty_of(by_id[i]), {})
            raw = functions(dumps[i][1])
            per[i] = {f: (raw.get(f, 0) - empty.get(f, 0)) / n for f in set(raw) | set(empty)}
            incl = functions(dumps[i][1], inclusive=True)
            with open(os.path.join(out_dir, i.replace(":", "-") + ".txt"), "w") as fh:
                fh.write(f"# {i}: instructions per call by function, minus the empty loop (exclusive | inclusive)\n")
                for f, v in sorted(per[i].items(), key=lambda kv: -abs(kv[1])):
                    if abs(v) >= 0.5:
                        fh.write(f"{v:10.1f} {incl.get(f, 0) / n:10.1f}  {f}\n")
        names = sorted({f for i in ids for f, v in per[i].items() if abs(v) >= 0.5},
                       key=lambda f: -max(abs(per[i].get(f, 0)) for i in ids))[:top]
        head = "| function | " + " | ".join(PEER_LABEL[i.split(":")[1]] for i in ids) + " |"
        rows = [head, "|---|" + "---:|" * len(ids)]
        for f in names:
            rows.append(f"| `{f}` | " + " | ".join(f"{per[i].get(f, 0):,.1f}" for i in ids) + " |")
        rows.append("| **total** | " + " | ".join(f"{sum(per[i].values()):,.1f}" for i in ids) + " |")
        parts.append(f"#### {label}\n\n" + "\n".join(rows))
    return "\n\n".join(parts)


def chart(instr: dict, ns: dict, path: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    peers = ["floor", "hw", "c_sdk", "cython", "nanobind", "pybind11", "cffi_api", "cffi_abi", "ctypes"]
    shapes = [s for s, _, main in SHAPES if main and f"{s}:c_sdk" in (instr or ns)]
    panels = [(m, t) for m, t in ((instr, "instructions per call (callgrind)"), (ns, "nanoseconds per call"))
              if m]
    fig, axes = plt.subplots(1, len(panels), figsize=(8 * len(panels), 0.9 * len(shapes) + 2.5), squeeze=False)
    colors = plt.get_cmap("tab10")
    height = 0.8 / len(peers)
    for ax, (values, title) in zip(axes[0], panels):
        for j, p in enumerate(peers):
            ys, xs = [], []
            for i, s in enumerate(shapes):
                v = values.get(f"{s}:{p}")
                if v is not None and v > 0:
                    ys.append(i + (j - len(peers) / 2) * height)
                    xs.append(v)
            if xs:
                ax.barh(ys, xs, height=height, label=PEER_LABEL[p], color=colors(j))
        ax.set_yticks(range(len(shapes)))
        ax.set_yticklabels([SHAPE_LABEL[s] for s in shapes])
        ax.invert_yaxis()
        ax.set_xscale("log")
        ax.set_title(title + ", minus the empty loop (log scale)")
        ax.grid(axis="x", which="both", alpha=0.3)
    handles, labels = axes[0][0].get_legend_handles_labels()
    fig.legend(handles, labels, loc="lower center", ncol=min(len(labels), 9), fontsize="small")
    fig.tight_layout(rect=(0, 0.05, 1, 1))
    fig.savefig(path, dpi=110)
    plt.close(fig)


def write(path: str, *, header: str, instr: dict, ns: dict, goal: str, breakdown_md: str, notes: list) -> str:
    main = [s for s, _, m in SHAPES if m]
    extra = [s for s, _, m in SHAPES if not m and not s.startswith("rec_")]
    rec = [s for s, _, m in SHAPES if s.startswith("rec_")]
    parts = [header]
    for values, digits, title in ((instr, 0, "Instructions per call (callgrind, minus the empty loop"),
                                  (ns, 1, "Nanoseconds per call (median of repeats, minus the empty loop")):
        if not values:
            continue
        parts += [f"## {title}; ratio to the hand-written C API)", table(values, main, digits),
                  "c_sdk's decorated bindings and helpers against the hand-written ones:", table(values, extra, digits)]
        if any(f"{s}:c_sdk" in values for s in rec):
            parts += ["The record classes (the statements of bench/records.py; ratio to pure Python):",
                      table(values, rec, digits)]
    if goal:
        parts += ["## c_sdk against the goal (at most 1.05x the hand-written binding, below every other peer)", goal]
    if breakdown_md:
        parts += ["## Where the instructions go: c_sdk against the hand-written binding",
                  "Exclusive instructions per call by function, minus the empty loop's (inlined code counts "
                  "in its caller). Full listings with inclusive counts: `profile/`.", breakdown_md]
    if notes:
        parts += ["## Notes", "\n".join(f"- {n}" for n in notes)]
    text = "\n\n".join(parts) + "\n"
    with open(path, "w") as f:
        f.write(text)
    return text
