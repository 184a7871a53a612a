"""What a recorded session tells: where its time went and what the market sent.

    c-sdk-record stats session.vqrec [--json] [--function NAME] [--calls RANGE] [--success N]

Per SDK function: the calls, those that did not succeed, and the time from each call to its
return (min, p50, p90, p99, max, total), with the calls that had events delivered inside them
(the run loop, a call that dispatches) counted apart, since their time includes the strategy's
handlers'; per event topic: the events, their rate, the longest gap between two, and the time
the handlers took (from the event to the moment control came back to the SDK: version 2 files);
per thread: the calls and events; the session's span and how it ended.

One pass over the file in blocks (c_sdk_tools.recording.stream, the reader `dump` uses), so
memory does not grow with the session's length: percentiles come from a histogram of
logarithmic buckets (exact below 256 ns, else within 1/256 of the value: 0.4%); the counts,
min, max, totals, gaps and rates are exact. docs/recording.md describes the output.
"""

from __future__ import annotations

import json
import os
import sys
import textwrap
from dataclasses import dataclass, field
from typing import Iterable

from . import recording as _recording

__all__ = ["stats", "Histogram", "PRECISION"]

PRECISION = "percentiles exact below 256 ns, else within 0.4% (a log histogram of 8 significant bits)"
SLOWEST = 10  # the slowest calls listed (calls without events inside them)
CAP = 1000  # topics and threads counted one by one; more of them (only a crafted file) are lumped
OTHER = "(others)"
BINS = 400  # the timeline's bins (the report's): their width doubles as the session goes on

# Functions whose int is not a status. vqi_user_timer returns a timer id (none: 0 or less), vqi_poll
# the number of events it delivered (a negative number: it failed).
_FAILED_IF = {"vqi_user_timer": lambda v: v <= 0, "vqi_poll": lambda v: v < 0}
_NOT_A_STATUS = {"vqi_now", "vqi_get_stop_error_code"}


class Histogram:
    """Durations in ns, in logarithmic buckets of 8 significant bits: a value below 256 has a
    bucket of its own, a larger one shares it with the values within 1/128 above its bucket's
    start. A percentile is the middle of its bucket (within 1/256 of the value), kept between
    the exact min and max; count, total, min and max are exact. A negative duration (a clock that
    went back: a crafted file) counts as 0."""

    __slots__ = ("count", "total", "min", "max", "buckets")

    def __init__(self) -> None:
        self.count = self.total = 0
        self.min: int | None = None
        self.max: int | None = None
        self.buckets: dict[int, int] = {}

    def add(self, ns: int) -> None:
        if ns < 0:
            ns = 0
        self.count += 1
        self.total += ns
        if self.min is None or ns < self.min:
            self.min = ns
        if self.max is None or ns > self.max:
            self.max = ns
        if ns < 256:
            key = ns
        else:
            shift = ns.bit_length() - 8
            key = (shift << 8) | (ns >> shift)
        self.buckets[key] = self.buckets.get(key, 0) + 1

    @staticmethod
    def bounds(key: int) -> tuple[int, int]:
        """The smallest and largest value of a bucket."""
        if key < 256:
            return key, key
        shift, top = key >> 8, key & 255
        return top << shift, ((top + 1) << shift) - 1

    def percentiles(self, *ps: int) -> list[int | None]:
        """The nearest-rank percentiles: the smallest value with at least p% of the values at
        or below it (to the bucket's precision; the first and the last value exactly)."""
        if not self.count:
            return [None] * len(ps)
        ranks = [min(max(1, (p * self.count + 99) // 100), self.count) for p in ps]  # p: whole percents
        out: list[int | None] = [self.min if rank == 1 else self.max if rank == self.count else None
                                 for rank in ranks]
        seen = 0
        for key in sorted(self.buckets):
            seen += self.buckets[key]
            for k, rank in enumerate(ranks):
                if out[k] is None and seen >= rank:
                    lo, hi = self.bounds(key)
                    out[k] = min(max((lo + hi) // 2, self.min), self.max)  # type: ignore[type-var]
            if all(v is not None for v in out):
                break
        return out

    def summary(self) -> dict | None:
        if not self.count:
            return None
        p50, p90, p99 = self.percentiles(50, 90, 99)
        return {"count": self.count, "min": self.min, "p50": p50, "p90": p90, "p99": p99, "max": self.max,
                "total": self.total}


class Timeline:
    """Counts over the session's time in BINS bins per series, the bins' width doubling (two
    merged into one) whenever a time falls past the last: memory independent of the length."""

    def __init__(self, bins: int = BINS, width: int = 1_000_000) -> None:
        self.bins, self.width = bins, width
        self.series: dict = {}

    def add(self, key, t: int) -> None:
        k = t // self.width
        while k >= self.bins:
            self.width *= 2
            for row in self.series.values():
                row[:] = [row[j] + row[j + 1] for j in range(0, self.bins, 2)] + [0] * (self.bins // 2)
            k = t // self.width
        row = self.series.get(key)
        if row is None:
            row = self.series[key] = [0] * self.bins
        row[k] += 1


@dataclass
class _Calls:
    """The calls of one function, of one kind (with events inside them, or not)."""

    calls: int = 0
    failed: int = 0
    unfinished: int = 0
    events: int = 0  # delivered inside them
    in_handlers: int = 0  # ns
    latency: Histogram = field(default_factory=Histogram)


@dataclass
class _Topic:
    events: int = 0
    last: int | None = None
    gap: int | None = None
    gap_after: int | None = None  # the time of the event the longest gap starts at
    handled: Histogram = field(default_factory=Histogram)


class _Open:
    """A call in progress."""

    __slots__ = ("number", "function", "start", "counted", "events", "in_handlers")

    def __init__(self, number: int, function: str, start: int, counted: bool) -> None:
        self.number, self.function, self.start, self.counted = number, function, start, counted
        self.events = 0  # events delivered inside it, nested calls included
        self.in_handlers = 0  # ns its events' handlers took (version 2)


def _failed(function: str, values: tuple, success: int) -> bool | None:
    """Whether a call did not succeed, from its return's values; None: not told by them."""
    if len(values) > 1:  # out-parameters: recorded only when the module read them (a success)
        return any(v is _recording.NOT_RECORDED for v in values[1:])
    status = values[0] if values else None
    if type(status) is not int or function in _NOT_A_STATUS:
        return None
    judge = _FAILED_IF.get(function)
    return judge(status) if judge else status != success


class Collector:
    """One pass over a session's records, with dump's filters: `functions` keeps the calls of
    these functions only (SDK names, or the names of the bindings that call them); `calls`
    (ranges as dump takes them) keeps the records from each such call to its return; `events`
    counts the events or leaves them out (default: counted unless `functions` is given).
    `timeline` also counts the calls and events over time (the report)."""

    def __init__(self, rec: _recording.Recording, *, functions: Iterable[str] | None = None,
                 calls: str | None = None, events: bool | None = None, success: int = 0,
                 timeline: bool = False) -> None:
        self.rec = rec
        self.wanted = set(_recording._sdk_functions(rec, functions)) if functions else None
        self.spans = _recording._ranges(calls) if calls else None
        self.calls_filter = calls
        self.show_events = events if events is not None else self.wanted is None
        self.success = success
        self.functions: dict[tuple[str, bool], _Calls] = {}  # (function, with events inside)
        self.topics: dict = {}
        self.threads: dict = {}  # thread -> [calls, events]
        self.slowest: list[tuple[int, int, str, int, int]] = []  # (ns, -number, function, thread, start)
        self.open: dict[int, list[_Open]] = {}  # per thread
        self.delivering: dict[int, list[bool]] = {}  # per thread: each event being delivered, counted or not
        self.records = self.ncalls = self.nevents = 0
        self.first: int | None = None
        self.last: int | None = None
        self.selected = 0  # calls in progress that --calls selected
        self.timeline = Timeline() if timeline else None

    @staticmethod
    def _capped(table: dict, key, make) -> tuple:
        """The key a thread or a topic is counted under (OTHER past CAP of them) and its figures."""
        figures = table.get(key)
        if figures is None:
            if len(table) >= CAP:
                key = OTHER
                figures = table.get(OTHER)
            if figures is None:
                figures = table[key] = make()
        return key, figures

    def _thread(self, thread: int) -> list[int]:
        return self._capped(self.threads, thread, lambda: [0, 0])[1]

    def _topic(self, topic) -> tuple:
        return self._capped(self.topics, topic, _Topic)

    def _group(self, function: str, with_events: bool) -> _Calls:
        key = (function, with_events)
        g = self.functions.get(key)
        if g is None:
            g = self.functions[key] = _Calls()
        return g

    def add(self, r: _recording.Record) -> None:
        kind, t = r.kind, r.time_ns
        self.records += 1
        if self.first is None:
            self.first = t
        self.last = t if self.last is None else max(self.last, t)
        inside = True
        if self.spans is not None:
            if kind == "call" and _recording._in_ranges(r.call, self.spans):
                self.selected += 1
            inside = self.selected > 0
        if kind == "call":
            counted = inside and (self.wanted is None or r.function in self.wanted)
            self.open.setdefault(r.thread, []).append(_Open(r.call, r.function, t, counted))
            if counted:
                self.ncalls += 1
                self._thread(r.thread)[0] += 1
                if self.timeline is not None:
                    self.timeline.add(("call", r.function), t)
        elif kind == "return":
            stack = self.open.get(r.thread)
            if not stack:
                return  # the reader pairs every return with its call
            c = stack.pop()
            if stack and c.events:  # the events inside it were inside the call around it too
                stack[-1].events += c.events
            if not stack:
                del self.open[r.thread]
            if self.spans is not None and _recording._in_ranges(c.number, self.spans):
                self.selected -= 1
            if not c.counted:
                return
            g = self._group(c.function, c.events > 0)
            g.calls += 1
            g.events += c.events
            g.in_handlers += c.in_handlers
            g.latency.add(t - c.start)
            if _failed(c.function, r.values, self.success):
                g.failed += 1
            if not c.events:
                item = (max(t - c.start, 0), -c.number, c.function, r.thread, c.start)
                if len(self.slowest) < SLOWEST:
                    self.slowest.append(item)
                    self.slowest.sort(reverse=True)
                elif item > self.slowest[-1]:
                    self.slowest[-1] = item
                    self.slowest.sort(reverse=True)
        elif kind == "event":
            stack = self.open.get(r.thread)
            if stack:
                stack[-1].events += 1
            counted = inside and self.show_events
            if self.rec.version >= 2:
                self.delivering.setdefault(r.thread, []).append(counted)
            if not counted:
                return
            topic = r.values[0] if r.values else None
            self.nevents += 1
            self._thread(r.thread)[1] += 1
            topic, s = self._topic(topic)
            s.events += 1
            if s.last is not None and (s.gap is None or t - s.last > s.gap):
                s.gap, s.gap_after = t - s.last, s.last
            s.last = t
            if self.timeline is not None:
                self.timeline.add(("event", topic), t)
        elif kind == "handled":
            flags = self.delivering.get(r.thread)
            counted = flags.pop() if flags else False
            if flags is not None and not flags:
                del self.delivering[r.thread]
            topic, took = r.values if len(r.values) == 2 else (None, 0)
            stack = self.open.get(r.thread)
            if stack:
                stack[-1].in_handlers += max(took, 0)
            if counted:
                self._topic(topic)[1].handled.add(took)

    def finish(self) -> None:
        """The calls still in progress at the end of the file: made, but without a return."""
        for stack in self.open.values():
            events = 0
            for c in reversed(stack):  # innermost first: its events were inside the calls around it
                events += c.events
                if c.counted:
                    g = self._group(c.function, events > 0)
                    g.calls += 1
                    g.unfinished += 1
                    g.events += events
                    g.in_handlers += c.in_handlers
        self.open.clear()

    def summary(self) -> dict:
        rec = self.rec
        span = (self.last - self.first) if self.first is not None and self.last is not None else 0
        handler_times = rec.version >= 2

        def calls(with_events: bool) -> list[dict]:
            rows = []
            for (name, ev), g in self.functions.items():
                if ev != with_events:
                    continue
                row = {"function": name, "calls": g.calls, "failed": g.failed, "unfinished": g.unfinished}
                if with_events:
                    row["events"] = g.events
                    row["in_handlers_ns"] = g.in_handlers if handler_times else None
                row["latency_ns"] = g.latency.summary()
                rows.append(row)
            rows.sort(key=lambda row: (-(row["latency_ns"] or {}).get("total", 0), -row["calls"], row["function"]))
            return rows

        topics = []
        for topic, s in self.topics.items():
            topics.append({"topic": topic, "events": s.events,
                           "per_second": round(s.events / (span / 1e9), 3) if span > 0 else None,
                           "longest_gap_ns": s.gap, "longest_gap_after_ns": s.gap_after,
                           "handler_ns": s.handled.summary() if handler_times else None})
        topics.sort(key=lambda row: (-row["events"], str(row["topic"])))
        return {
            "file": rec.path, "version": rec.version, "pid": rec.pid, "started_ns": rec.started_ns,
            "secrets_recorded": rec.secrets_recorded, "records": self.records,
            "calls": self.ncalls, "events": self.nevents,
            "first_ns": self.first, "last_ns": self.last, "span_ns": span,
            "complete": rec.complete, "end": "the session ended normally" if rec.complete else rec.end_note,
            "success_status": self.success,
            "filters": {"functions": sorted(self.wanted) if self.wanted else None, "calls": self.calls_filter,
                        "events": self.show_events},
            "handler_times": handler_times, "precision": PRECISION,
            "functions": calls(False),
            "functions_with_events": calls(True),
            "topics": topics,
            "threads": [{"thread": k, "calls": v[0], "events": v[1]}
                        for k, v in sorted(self.threads.items(),
                                           key=lambda kv: (kv[0] == OTHER, str(kv[0]).zfill(10)))],
            "slowest_calls": [{"call": -n, "function": f, "thread": th, "at_ns": start, "latency_ns": ns}
                              for ns, n, f, th, start in self.slowest],
        }


def collect(recording, **options) -> Collector:
    """Runs a Collector over a Recording, or over a session file read as a stream."""
    rec = recording if isinstance(recording, _recording.Recording) else _recording.stream(recording)
    c = Collector(rec, **options)
    add = c.add
    for r in rec.records:
        add(r)
    c.finish()
    return c


def stats(recording, *, functions: Iterable[str] | None = None, calls: str | None = None,
          events: bool | None = None, success: int = 0) -> dict:
    """The figures of a session as data (what `c-sdk-record stats --json` prints): `recording`
    is a Recording (read() or stream()) or a session file's path, read as a stream. The filters
    are dump's (functions, calls, events); `success` is the status that means success for the
    functions that return one (the module's CSDK_OPERATE_SUCCESS; a call with out-parameters
    is judged as the module judged it when it was recorded). Raises RecordingError for a file
    dump refuses, ValueError for a call range or a function name dump refuses."""
    return collect(recording, functions=functions, calls=calls, events=events, success=success).summary()


# ---- the table ---------------------------------------------------------------------------------------

WIDTH = 100


def duration(ns: int | None) -> str:
    """A duration in 3 significant digits and its unit (ns, us, ms, s)."""
    if ns is None:
        return "-"
    if abs(ns) < 1000:
        return f"{ns} ns"
    for unit, scale in (("us", 1e3), ("ms", 1e6), ("s", 1e9)):
        v = abs(ns) / scale
        shown = f"{v:.2f}"
        for decimals in (1, 0):  # 3 digits, as rounded: 9.996 is 10.0, 99.97 is 100
            if float(shown) >= 10 ** (3 - decimals - 1):
                shown = f"{v:.{decimals}f}"
        if float(shown) < 1000 or unit == "s":  # 999.7 us is 1.00 ms
            return f"{'-' if ns < 0 else ''}{shown} {unit}"
    raise AssertionError("unreachable")


def _name_cells(name: str, width: int, rest: str) -> list[str]:
    """A row whose name fits its column, else the name on a line of its own."""
    if len(name) <= width:
        return [f"{name:<{width}}{rest}"]
    return [name, f"{'':<{width}}{rest}"]


def table(s: dict) -> list[str]:
    """The summary as text for people, at most WIDTH columns (a name longer than its column
    gets a line of its own, a line longer than WIDTH goes on on the next ones)."""
    show = _recording._printable
    lines = [f"session {show(s['file'])}: version {s['version']}, pid {s['pid']}, {s['records']:,} records"]
    ended = "ended normally" if s["complete"] else f"did not end normally: {show(s['end'])}"
    lines.append(f"  span {duration(s['span_ns'])} ({s['calls']:,} calls, {s['events']:,} events); {ended}")
    f = s["filters"]
    if f["functions"] or f["calls"] or not f["events"]:
        what = [f"functions {', '.join(map(show, f['functions']))}" if f["functions"] else "",
                f"calls {show(f['calls'])}" if f["calls"] else "", "" if f["events"] else "no events"]
        lines.append("  only " + "; ".join(w for w in what if w))
    cols = "   calls failed      min      p50      p90      p99      max    total"
    lat = lambda q, k: duration(q[k]) if q else "-"  # noqa: E731
    if s["functions"]:
        lines += ["", f"SDK calls: time from the call to its return (success status {s['success_status']})",
                  f"{'function':<30}{cols}"]
        for row in s["functions"]:
            q = row["latency_ns"]
            rest = (f"{row['calls']:>8,}{row['failed']:>7,}" + "".join(f"{lat(q, k):>9}" for k in
                                                                    ("min", "p50", "p90", "p99", "max", "total")))
            lines += _name_cells(show(row["function"]), 30, rest)
            if row["unfinished"]:
                lines.append(f"{'':<30}({row['unfinished']:,} without a return)")
    if s["functions_with_events"]:
        lines += ["", "calls with events delivered inside them (their time includes their handlers')",
                  f"{'function':<30}   calls failed    events      min      max    total handlers"]
        for row in s["functions_with_events"]:
            q = row["latency_ns"]
            rest = (f"{row['calls']:>8,}{row['failed']:>7,}{row['events']:>10,}" +
                    "".join(f"{lat(q, k):>9}" for k in ("min", "max", "total")) +
                    f"{duration(row['in_handlers_ns']):>9}")
            lines += _name_cells(show(row["function"]), 30, rest)
            if row["unfinished"]:
                lines.append(f"{'':<30}({row['unfinished']:,} without a return)")
    if s["topics"]:
        handled = "time from the event to the return of its handler" if s["handler_times"] else \
            "handler times: not in a version 1 file"
        lines += ["", f"events by topic ({handled})",
                  f"{'topic':<24}   events      rate/s longest gap  handler p50      p99      max    total"]
        for row in s["topics"]:
            q = row["handler_ns"]
            rate = f"{row['per_second']:,.1f}" if row["per_second"] is not None else "-"
            topic = "(null)" if row["topic"] is None else show(row["topic"])
            rest = (f"{row['events']:>9,}{rate:>12}{duration(row['longest_gap_ns']):>12}" +
                    "".join(f"{lat(q, k):>{w}}" for k, w in (("p50", 13), ("p99", 9), ("max", 9), ("total", 9))))
            lines += _name_cells(topic, 24, rest)
    if s["threads"]:
        lines += ["", f"{'thread':<10}    calls    events"]
        lines += [f"{'t' + str(row['thread']) if row['thread'] != OTHER else OTHER:<10}{row['calls']:>9,}"
                  f"{row['events']:>10,}" for row in s["threads"]]
    if s["slowest_calls"]:
        lines += ["", "slowest calls without events inside them (dump --calls N shows one)",
                  f"{'call':>8}  {'at':>12}  thread  {'took':>9}  function"]
        for row in s["slowest_calls"]:
            lines.append(f"{'#' + str(row['call']):>8}  {row['at_ns'] / 1e6:>9.3f} ms  {'t' + str(row['thread']):>6}"
                         f"  {duration(row['latency_ns']):>9}  {show(row['function'])}")
    lines += ["", f"({s['precision']})"]
    # a long path, end note or name goes on as many lines as it takes
    return [part for line in lines for part in
            (textwrap.wrap(line, WIDTH, subsequent_indent="    ", break_on_hyphens=False) if len(line) > WIDTH
             else [line])]


# ---- the commands -------------------------------------------------------------------------------------


def add_filters(p) -> None:
    """dump's filters, and the success status, on a subcommand's parser."""
    _recording._add_filters(p, "count", "counted")
    p.add_argument("--success", type=int, default=0, metavar="N",
                   help="the status that means success (the platform's CSDK_OPERATE_SUCCESS; default 0) for the "
                        "functions that return one; a call with out-parameters is judged as it was when recorded")


def add_commands(sub) -> None:
    p = sub.add_parser("stats", help="the figures of a session: calls, latencies, events, threads",
                       description="Where a session's time went: per SDK function the calls, failures and "
                                   "latency; per event topic the events, rate, longest gap and handler time; per "
                                   "thread the calls and events. One pass, in memory independent of the file's "
                                   "size.")
    p.add_argument("file")
    p.add_argument("--json", action="store_true", help="the figures as JSON, for programs")
    add_filters(p)
    p.set_defaults(run=run_stats)


def options(args) -> dict:
    return {"functions": _recording._functions_given(args), "calls": args.calls, "events": args.events,
            "success": args.success}


def refused(e: Exception) -> int:
    print(f"recording: {e}", file=sys.stderr)
    return _recording.USAGE_STATUS


def run_stats(args) -> int:
    try:
        summary = stats(args.file, **options(args))
    except (OSError, ValueError, _recording.RecordingError) as e:
        return refused(e)
    out = json.dumps(summary, indent=1) if args.json else "\n".join(table(summary))
    try:
        print(out)
        sys.stdout.flush()
    except BrokenPipeError:
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    return 0
