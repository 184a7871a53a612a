"""A recorded session as one page a person would rather look at than read.

    c-sdk-record report session.vqrec -o report.html [--function NAME] [--calls RANGE]

One self-contained HTML file: the charts are inline SVG written here, nothing is fetched when it
opens (its content security policy allows nothing from elsewhere). It holds the timeline of the
session (calls by function and events by topic over time, the slowest calls marked), each
function's latency distribution, each topic's event rate over time (and its handlers' times),
and the tables of `stats`, whose figures it also carries as JSON. The page is built from the
same single pass as `stats` (c_sdk_tools.stats), in bins whose number does not grow with the
session, so a trading day of millions of records gives a page of the same size as a short one.
"""

from __future__ import annotations

import datetime
import html
import json
import math
import os

from . import recording as _recording
from . import stats as _stats

__all__ = ["report", "page"]

W = 1000  # the width of the wide charts
LABEL = 230  # the timeline's label column
ROWS = 30  # functions, and topics, on the timeline (the busiest)
SMALL = 24  # distributions and rates drawn (the ones with the most time / events)
FEW = 5  # no distribution drawn of fewer values
SLOW = "#c0392b"

STYLE = """
body { font: 14px/1.4 system-ui, sans-serif; margin: 24px; color: #222; max-width: 1060px; }
h1 { font-size: 20px; margin-bottom: 4px; } h2 { font-size: 16px; margin-top: 32px; }
.meta { color: #555; } .bad { color: #c0392b; font-weight: bold; }
table { border-collapse: collapse; margin: 8px 0; font-variant-numeric: tabular-nums; }
th, td { padding: 2px 8px; border-bottom: 1px solid #ddd; } th { text-align: left; background: #f4f4f4; }
td.n { text-align: right; }
.grid { display: flex; flex-wrap: wrap; gap: 12px; }
svg { background: #fcfcfc; border: 1px solid #e4e4e4; }
svg text { font: 11px system-ui, sans-serif; fill: #333; }
.note { color: #666; font-size: 12px; }
"""

# Run by the page when it opens: it measures what it drew (each chart's geometry) and says so in
# the body's data-rendered attribute, so that a headless browser can tell that the page rendered.
CHECK = """
addEventListener("load", function () {
  var charts = document.querySelectorAll("svg.chart"), drawn = 0;
  for (var k = 0; k < charts.length; k++) {
    var box = charts[k].getBBox();
    if (box.width > 0 && box.height > 0) drawn++;
  }
  document.body.setAttribute("data-rendered", drawn + " of " + charts.length + " charts");
});
"""


def _e(text) -> str:
    """Text from the file, escaped for the page (and its control characters shown as escapes)."""
    return html.escape(_recording._printable(str(text)), quote=True)


def _svg(width: int, height: int, body: list[str], label: str) -> str:
    return (f'<svg class="chart" width="{width}" height="{height}" '
            f'viewBox="0 0 {width} {height}" role="img" aria-label="{_e(label)}">' + "".join(body) + "</svg>")


def _ticks(span: float, most: int = 8) -> float:
    """A step of 1, 2 or 5 times a power of ten giving at most `most` ticks over `span`."""
    if span <= 0:
        return 1.0
    step = 10 ** math.floor(math.log10(span / most))
    for m in (1, 2, 5, 10):
        if span / (step * m) <= most:
            return step * m
    return step * 10


def _topic(topic) -> str:
    return "(null)" if topic is None else str(topic)


def _used(c: _stats.Collector) -> int:
    """The timeline's bins up to the session's last record."""
    tl = c.timeline
    assert tl is not None
    return min(tl.bins, max(c.last or 0, 1) // tl.width + 1)


def timeline(c: _stats.Collector, s: dict) -> str:
    tl = c.timeline
    assert tl is not None
    used = _used(c)
    plot = W - LABEL - 10
    scale = plot / (used * tl.width)

    def x(t: float) -> float:
        return LABEL + t * scale

    calls = [row["function"] for row in sorted(s["functions"] + s["functions_with_events"],
                                               key=lambda r: -r["calls"])]
    rows = [("call", f) for f in dict.fromkeys(calls)][:ROWS] + [("event", t["topic"]) for t in s["topics"]][:ROWS]
    rows = [key for key in rows if key in tl.series]
    row_h, top = 18, 10
    height = top + row_h * len(rows) + 34
    body = []
    step = _ticks(used * tl.width)
    t = 0.0
    while t <= used * tl.width:
        body.append(f'<line x1="{x(t):.1f}" y1="{top}" x2="{x(t):.1f}" y2="{height - 24}" stroke="#e6e6e6"/>'
                    f'<text x="{x(t):.1f}" y="{height - 10}" text-anchor="middle">'
                    f'{_e(_stats.duration(int(t))) if t else 0}</text>')
        t += step
    where = {}
    for k, key in enumerate(rows):
        counts = tl.series[key][:used]
        peak = max(counts) or 1
        y0 = top + row_h * (k + 1) - 3
        where[key] = y0
        points = " ".join(f"L{x((j + 0.5) * tl.width):.1f},{y0 - 13 * n / peak:.1f}" for j, n in enumerate(counts))
        colour = "#2e6da4" if key[0] == "call" else "#3c9a5f"
        name = key[1] if key[0] == "call" else f"event {_topic(key[1])}"
        total = sum(counts)
        body.append(f'<g><title>{_e(name)}: {total:,} {"calls" if key[0] == "call" else "events"}; at most '
                    f'{peak:,} in {_e(_stats.duration(tl.width))}</title>'
                    f'<text x="4" y="{y0 - 2}">{_e(name[:34])}</text>'
                    f'<path d="M{LABEL},{y0} {points} L{x(used * tl.width):.1f},{y0} Z" fill="{colour}" '
                    f'fill-opacity="0.55" stroke="{colour}" stroke-width="0.6"/></g>')
    for row in s["slowest_calls"]:
        y0 = where.get(("call", row["function"]))
        if y0 is None:
            continue
        x0, x1 = x(row["at_ns"]), x(row["at_ns"] + row["latency_ns"])
        took = _stats.duration(row["latency_ns"])
        body.append(f'<g><title>slow call #{row["call"]} {_e(row["function"])}: {_e(took)} '
                    f'at {_e(_stats.duration(row["at_ns"]))}</title>'
                    f'<path d="M{x0:.1f},{y0 - 14} l-4,-6 h8 z" fill="{SLOW}"/>'
                    f'<rect x="{x0:.1f}" y="{y0 - 14}" width="{max(x1 - x0, 1):.1f}" height="14" fill="{SLOW}" '
                    f'fill-opacity="0.35"/></g>')
    return _svg(W, height, body, "timeline of calls and events")


def distribution(h: _stats.Histogram, title: str, marks: dict) -> str:
    """A histogram in quarter octaves on a log scale, with its percentiles marked."""
    width, height, left, bottom = 490, 150, 40, 28
    bins: dict[int, int] = {}
    for key, n in h.buckets.items():
        lo, _ = _stats.Histogram.bounds(key)
        b = int(4 * math.log2(max(lo, 1)))
        bins[b] = bins.get(b, 0) + n
    first, last = min(bins), max(bins)
    span = max(last - first + 1, 4)
    bar = (width - left - 10) / span
    peak = max(bins.values())
    body = [f'<text x="{left}" y="14">{_e(title)}</text>',
            f'<text x="4" y="{height - bottom}">0</text><text x="4" y="34">{peak:,}</text>']
    for b, n in bins.items():
        hgt = (height - bottom - 30) * n / peak
        body.append(f'<rect x="{left + (b - first) * bar:.1f}" y="{height - bottom - hgt:.1f}" '
                    f'width="{max(bar - 1, 1):.1f}" '
                    f'height="{hgt:.1f}" fill="#2e6da4"><title>{n:,} from '
                    f'{_e(_stats.duration(int(2 ** (b / 4))))}</title></rect>')
    for b in range(first - first % 4, first + span + 1, 4 * max(1, span // 24)):  # octaves
        bx = left + (b - first) * bar
        if left <= bx <= width - 30:
            body.append(f'<text x="{bx:.1f}" y="{height - 10}" text-anchor="middle">'
                        f'{_e(_stats.duration(int(2 ** (b / 4))))}</text>')
    at: dict[str, list[str]] = {}  # percentiles that fall on the same spot share one mark
    for name, value in marks.items():
        if value is not None:
            at.setdefault(f"{left + (4 * math.log2(max(value, 1)) - first) * bar:.1f}", []).append(name)
    for bx, names in at.items():
        anchor = ' text-anchor="end"' if float(bx) > width - 60 else ""  # near the right edge
        body.append(f'<line x1="{bx}" y1="22" x2="{bx}" y2="{height - bottom}" stroke="{SLOW}" '
                    f'stroke-dasharray="3,2"/><text x="{float(bx) + 2:.1f}" y="30" fill="{SLOW}"{anchor}>'
                    f'{" ".join(names)}</text>')
    return _svg(width, height, body, title)


def rate(c: _stats.Collector, topic, title: str) -> str:
    tl = c.timeline
    assert tl is not None
    counts = tl.series.get(("event", topic), [])
    used = _used(c)
    width, height, left, bottom = 490, 130, 56, 24
    per_second = [n / (tl.width / 1e9) for n in counts[:used]]
    peak = max(per_second, default=0) or 1
    step = (width - left - 10) / used
    points = " ".join(f"L{left + (j + 0.5) * step:.1f},{height - bottom - (height - bottom - 24) * r / peak:.1f}"
                      for j, r in enumerate(per_second))
    body = [f'<text x="{left}" y="14">{_e(title)}</text>',
            f'<text x="4" y="28">{peak:,.0f}/s</text><text x="4" y="{height - bottom}">0</text>',
            f'<path d="M{left},{height - bottom} {points} L{left + used * step:.1f},{height - bottom} Z" '
            f'fill="#3c9a5f" fill-opacity="0.5" stroke="#3c9a5f"/>',
            f'<text x="{left}" y="{height - 6}">0</text><text x="{width - 10}" y="{height - 6}" text-anchor="end">'
            f'{_e(_stats.duration(used * tl.width))}</text>']
    return _svg(width, height, body, title)


def _table(head: list[str], rows: list[list[str]], cls: str) -> str:
    out = ["<table><tr>" + "".join(f"<th>{h}</th>" for h in head) + "</tr>"]
    for cells in rows:
        out.append(f'<tr class="{cls}"><td>' + cells[0] + "</td>" +
                   "".join(f'<td class="n">{v}</td>' for v in cells[1:]) + "</tr>")
    return "".join(out) + "</table>"


def tables(s: dict) -> str:
    d = _stats.duration

    def lat(q, k):
        return d(q[k]) if q else "-"

    out = []
    if s["functions"]:
        out.append("<h3>SDK calls: time from the call to its return</h3>" + _table(
            ["function", "calls", "failed", "unfinished", "min", "p50", "p90", "p99", "max", "total"],
            [[_e(r["function"]), f"{r['calls']:,}", f"{r['failed']:,}", f"{r['unfinished']:,}"] +
             [lat(r["latency_ns"], k) for k in ("min", "p50", "p90", "p99", "max", "total")]
             for r in s["functions"]], "fn"))
    if s["functions_with_events"]:
        out.append("<h3>Calls with events delivered inside them (their time includes their handlers')</h3>" + _table(
            ["function", "calls", "failed", "unfinished", "events", "min", "max", "total", "in handlers"],
            [[_e(r["function"]), f"{r['calls']:,}", f"{r['failed']:,}", f"{r['unfinished']:,}", f"{r['events']:,}"] +
             [lat(r["latency_ns"], k) for k in ("min", "max", "total")] + [d(r["in_handlers_ns"])]
             for r in s["functions_with_events"]], "fe"))
    if s["topics"]:
        out.append("<h3>Events by topic</h3>" + _table(
            ["topic", "events", "per second", "longest gap", "handler p50", "p90", "p99", "max", "total"],
            [[_e(_topic(r["topic"])), f"{r['events']:,}",
              f"{r['per_second']:,.1f}" if r["per_second"] is not None else "-", d(r["longest_gap_ns"])] +
             [lat(r["handler_ns"], k) for k in ("p50", "p90", "p99", "max", "total")] for r in s["topics"]], "tp"))
    if s["threads"]:
        out.append("<h3>Threads</h3>" + _table(
            ["thread", "calls", "events"],
            [[_e(r["thread"]), f"{r['calls']:,}", f"{r['events']:,}"] for r in s["threads"]], "th"))
    if s["slowest_calls"]:
        out.append("<h3>Slowest calls without events inside them</h3>" + _table(
            ["call", "function", "thread", "at", "took"],
            [[f"#{r['call']}", _e(r["function"]), f"t{r['thread']}", d(r["at_ns"]), d(r["latency_ns"])]
             for r in s["slowest_calls"]], "sl"))
    return "".join(out)


def page(c: _stats.Collector) -> str:
    """The page of a collector that went over a whole session (with its timeline)."""
    s = c.summary()
    started = datetime.datetime.fromtimestamp(s["started_ns"] / 1e9, datetime.timezone.utc) \
        if 0 <= s["started_ns"] < 2**62 else None
    ended = ("the session ended normally" if s["complete"]
             else f'<span class="bad">the session did not end normally: {_e(s["end"])}</span>')
    parts = [f"<h1>Session {_e(os.path.basename(s['file']))}</h1>",
             f'<p class="meta">{_e(s["file"])}: version {s["version"]}, pid {s["pid"]}'
             + (f", started {started:%Y-%m-%d %H:%M:%S} UTC" if started else "") +
             f'; {s["records"]:,} records, {s["calls"]:,} calls, {s["events"]:,} events over '
             f'{_stats.duration(s["span_ns"])}; {ended}.</p>']
    f = s["filters"]
    if f["functions"] or f["calls"] or not f["events"]:
        parts.append(f'<p class="meta">Only: functions {_e(", ".join(f["functions"] or ["all"]))}; calls '
                     f'{_e(f["calls"] or "all")}; events {"counted" if f["events"] else "left out"}.</p>')
    charts = []
    if c.timeline is not None and c.timeline.series:
        charts.append("<h2>Timeline</h2><p class=note>Calls by function (blue) and events by topic (green) over "
                      "the session, as counts per bin; the slowest calls are marked in red (hover for details).</p>"
                      + timeline(c, s))
    hists = sorted(((g.latency.total, name, ev, g) for (name, ev), g in c.functions.items()
                    if g.latency.count >= FEW), key=lambda item: -item[0])[:SMALL]
    if hists:
        charts.append("<h2>Latency by function</h2><p class=note>Calls by their time from call to return, "
                      f"in quarter octaves (log scale); p50, p90 and p99 marked. Functions of fewer than {FEW} "
                      "calls: in the figures below.</p><div class=grid>" + "".join(
                          distribution(g.latency, f"{name}{' (with events inside)' if ev else ''}: "
                                       f"{g.latency.count:,} calls", dict(zip(("p50", "p90", "p99"),
                                                                          g.latency.percentiles(50, 90, 99))))
                          for _, name, ev, g in hists) + "</div>")
    topics = sorted(c.topics.items(), key=lambda kv: -kv[1].events)[:SMALL]
    if topics and c.timeline is not None:
        charts.append("<h2>Events per second by topic</h2><div class=grid>" + "".join(
            rate(c, topic, f"{_topic(topic)}: {t.events:,} events") for topic, t in topics) + "</div>")
        handled = [(topic, t) for topic, t in topics if t.handled.count >= FEW]
        if handled:
            charts.append("<h2>Handler time by topic</h2><p class=note>From each event to the moment its handler "
                          "gave control back to the SDK.</p><div class=grid>" + "".join(
                              distribution(t.handled, f"{_topic(topic)}: {t.handled.count:,} events",
                                           dict(zip(("p50", "p90", "p99"), t.handled.percentiles(50, 90, 99))))
                              for topic, t in handled) + "</div>")
    # as JSON, with nothing in it that HTML reads as markup
    figures = json.dumps(s, ensure_ascii=True).replace("<", "\\u003c").replace(">", "\\u003e").replace("&", "\\u0026")
    return ("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
            "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
            "style-src 'unsafe-inline'; script-src 'unsafe-inline'\">"
            f"<title>Session {_e(os.path.basename(s['file']))}</title><style>{STYLE}</style></head>\n"
            "<body>" + "".join(parts) + "".join(charts) + "<h2>Figures</h2>" + tables(s) +
            f'<p class="note">{_e(s["precision"])}; the success status taken: {s["success_status"]}.</p>'
            f'<script id="figures" type="application/json">{figures}</script>'
            f"<script>{CHECK}</script></body></html>\n")


def report(recording, output, **options) -> dict:
    """Writes the page of a session (a Recording, or a session file's path, read as a stream)
    to `output`, a new file or a regular file it replaces; returns the figures it shows (those
    of stats()). The options are stats()'s. Raises RecordingError for a file dump refuses,
    ValueError for a call range or a function name dump refuses, or an output that is not a
    regular file."""
    output = os.fspath(output)
    problem = _recording._output_problem(os.path.abspath(output))
    if problem:
        raise ValueError(f"cannot write the page to {output}: {problem.split(';')[0]}")
    c = _stats.collect(recording, timeline=True, **options)
    text = page(c)
    with open(output, "w", encoding="utf-8") as f:
        f.write(text)
    return c.summary()


def add_commands(sub) -> None:
    p = sub.add_parser("report", help="a page of charts and figures of a session (one HTML file)",
                       description="Write one self-contained HTML page of a session: its timeline, each "
                                   "function's latency distribution, each topic's event rate, and the figures of "
                                   "stats. Nothing is fetched when it opens.")
    p.add_argument("file")
    p.add_argument("-o", "--output", required=True, help="the page to write (replaced when it exists)")
    _stats.add_filters(p)
    p.set_defaults(run=run_report)


def run_report(args) -> int:
    try:
        report(args.file, args.output, **_stats.options(args))
    except (OSError, ValueError, _recording.RecordingError) as e:
        return _stats.refused(e)
    print(f"report: {args.output} ({os.path.getsize(args.output):,} bytes)")
    return 0
