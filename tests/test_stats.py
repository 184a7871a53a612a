"""The figures of a recorded session (`stats`) and its page (`report`): numbers against sessions
whose times are known (crafted files, and the stand-in's scripted delays), the same refusals as
dump, and the page checked against the figures (and in a headless browser, where there is one)."""

import html.parser
import json
import os
import random
import re
import shutil
import struct
import subprocess

import pytest

from c_sdk_tools import recording, report
from c_sdk_tools import stats as figures
from test_recording import bad_kind, cut, demo, long_response, other_version, record, script, stray_handled, tool

# ---- a session whose every time is known ----------------------------------------------------------

NAMES = ("vqi_get_orders_pb", "vqi_cancel_orders_pb", "vqi_run", "vqi_user_timer", "vqi_stop")
QUERY, COMMAND, RUN, TIMER, STOP = range(5)
LATENCIES = [300, 1_000, 2_500, 7_000, 15_000, 40_000, 100_000, 250_000, 1_000_000, 3_000_000]
HANDLERS = {"tick": [5_000, 6_000, 90_000], "bar": [400_000]}  # ns each handler took, in order


def i(v):
    return b"i" + struct.pack("<q", v)


def blob(tag, data):
    return tag + struct.pack("<I", len(data)) + data


def known_session():
    """(time, thread, kind, function, values, count) of a session: ten queries of known latency
    (every second one failed), two commands (one failed), two timers (one failed), then a run
    loop delivering three ticks and a bar whose handler calls vqi_stop, while an SDK thread
    delivers a tick between calls."""
    out, t = [], 1_000_000
    for k, ns in enumerate(LATENCIES):
        out.append((t, 1, b"C", QUERY, blob(b"b", b"q") + i(1) + b"oo", 4))
        done = i(0) + blob(b"b", b"ok") + i(2) if k % 2 else i(5) + b"vv"
        out.append((t + ns, 1, b"R", QUERY, done, 3))
        t += ns + 10_000
    for status in (0, 3):
        out += [(t, 1, b"C", COMMAND, blob(b"b", b"c") + i(1), 2), (t + 500, 1, b"R", COMMAND, i(status), 1)]
        t += 1_000
    for timer in (7, 0):
        out += [(t, 1, b"C", TIMER, i(60) + i(0), 2), (t + 200, 1, b"R", TIMER, i(timer), 1)]
        t += 1_000
    out += [(t, 2, b"E", None, blob(b"t", b"tick") + i(0) + b"n", 3), (t + 77, 2, b"H", None, b"", 0)]
    run = t = t + 1_000
    out.append((t, 1, b"C", RUN, b"", 0))
    for topic, took in [("tick", HANDLERS["tick"][0]), ("tick", HANDLERS["tick"][1]), ("bar", None),
                        ("tick", HANDLERS["tick"][2])]:
        t += 100_000
        out.append((t, 1, b"E", None, blob(b"t", topic.encode()) + i(1) + blob(b"b", b"x"), 3))
        if took is None:  # the bar's handler stops the run
            took = HANDLERS["bar"][0]
            out += [(t + 1_000, 1, b"C", STOP, b"", 0), (t + 3_000, 1, b"R", STOP, i(0), 1)]
        out.append((t + took, 1, b"H", None, b"", 0))
    out += [(t + 200_000, 1, b"R", RUN, i(0), 1), (t + 300_000, 1, b"Z", None, b"", 0)]
    return out, run, t + 200_000


def session_file(path, records, version=2):
    head = b"VQSDKREC" + struct.pack("<HHIqH", version, 0, 4242, 0, len(NAMES)) + b"".join(
        n.encode() + b"\0" for n in NAMES)
    body = b"".join(kind + struct.pack("<IQIHB", 15 + len(values), t, thread, 0xFFFF if fn is None else fn, count) +
                    values for t, thread, kind, fn, values, count in records
                    if version >= 2 or kind != b"H")
    path.write_bytes(head + body)
    return path


def nearest_rank(values, p):
    ordered = sorted(values)
    return ordered[max(1, -(-p * len(ordered) // 100)) - 1]


def close(shown, exact):
    # the histogram's precision: within 1/256 of the value
    return abs(shown - exact) <= exact / 256


@pytest.mark.parametrize("version", [2, 1])
def test_the_figures_of_a_session_whose_times_are_known(tmp_path, version):
    records, run_start, run_end = known_session()
    s = recording.stats(session_file(tmp_path / "known.vqrec", records, version))
    assert (s["version"], s["calls"], s["events"], s["records"]) == (
        version, 16, 5, len(records) - (0 if version == 2 else 5))
    assert s["complete"] and s["span_ns"] == records[-1][0] - records[0][0]
    plain = {row["function"]: row for row in s["functions"]}
    q = plain["vqi_get_orders_pb"]
    assert (q["calls"], q["failed"], q["unfinished"]) == (10, 5, 0)
    latency = q["latency_ns"]
    assert (latency["min"], latency["max"], latency["total"], latency["count"]) == (
        min(LATENCIES), max(LATENCIES), sum(LATENCIES), 10)
    for p in (50, 90, 99):
        assert close(latency[f"p{p}"], nearest_rank(LATENCIES, p)), p
    assert [(plain[f]["calls"], plain[f]["failed"]) for f in NAMES[1:4:2]] == [(2, 1), (2, 1)]
    assert plain["vqi_stop"]["latency_ns"]["total"] == 2_000
    assert list(plain) == ["vqi_get_orders_pb", "vqi_stop", "vqi_cancel_orders_pb", "vqi_user_timer"]  # by time
    [run] = s["functions_with_events"]
    assert (run["function"], run["calls"], run["events"]) == ("vqi_run", 1, 4)
    assert run["latency_ns"]["total"] == run_end - run_start
    assert run["in_handlers_ns"] == (sum(sum(v) for v in HANDLERS.values()) if version == 2 else None)
    topics = {row["topic"]: row for row in s["topics"]}
    tick = topics["tick"]
    assert (tick["events"], tick["longest_gap_ns"]) == (4, 200_000)  # across the bar
    assert tick["per_second"] == round(4 / (s["span_ns"] / 1e9), 3)
    if version == 2:
        handled = tick["handler_ns"]
        assert (handled["count"], handled["min"], handled["max"], handled["total"]) == (4, 77, 90_000, 101_077)
        assert topics["bar"]["handler_ns"]["p50"] == 400_000
    else:
        assert tick["handler_ns"] is None and not s["handler_times"]
    assert s["threads"] == [{"thread": 1, "calls": 16, "events": 4}, {"thread": 2, "calls": 0, "events": 1}]
    slowest = s["slowest_calls"]
    others = [2_000, 500, 500, 200, 200]  # vqi_stop, the commands, the timers
    assert [row["latency_ns"] for row in slowest] == sorted(LATENCIES + others, reverse=True)[:10]
    assert slowest[0]["call"] == 10 and slowest[0]["function"] == "vqi_get_orders_pb"


@pytest.mark.parametrize("args, calls, events, functions", [
    (["-f", "vqi_stop, py_vqi_user_timer"], 3, 0, {"vqi_stop", "vqi_user_timer"}),  # a binding's name too
    (["-f", "vqi_stop", "--events"], 1, 5, {"vqi_stop"}),
    (["--calls", "15"], 2, 4, {"vqi_run", "vqi_stop"}),  # the run, and what came inside it
    (["-c", "-2,16-", "--no-events"], 3, 0, {"vqi_get_orders_pb", "vqi_stop"}),
    (["-f", "vqi_stp"], "no SDK function or binding named 'vqi_stp' (did you mean vqi_stop?)", 0, set()),
])
def test_the_filters_are_dumps(tmp_path, args, calls, events, functions):
    path = session_file(tmp_path / "known.vqrec", known_session()[0])
    done = tool("stats", path, "--json", *args)
    if isinstance(calls, str):  # refused as dump refuses it
        assert (done.returncode, done.stderr) == (2, f"recording: {calls}\n")
        assert tool("dump", path, *args).stderr == done.stderr
        return
    assert done.returncode == 0, done.stderr
    s = json.loads(done.stdout)
    assert (s["calls"], s["events"]) == (calls, events)
    assert {row["function"] for row in s["functions"] + s["functions_with_events"]} == functions


def test_an_unfinished_session(tmp_path):
    # cut inside the run: the calls in progress are counted, without a latency
    records = known_session()[0]
    path = session_file(tmp_path / "cut.vqrec", records[:-3])
    s = recording.stats(path)
    assert not s["complete"] and "without its end record" in s["end"]
    [run] = s["functions_with_events"]
    assert (run["calls"], run["unfinished"], run["latency_ns"], run["events"]) == (1, 1, None, 4)
    lines = figures.table(s)
    assert any("did not end normally" in line for line in lines) and any("without a return" in line for line in lines)


# ---- a live session whose times are known: the stand-in's scripted delays -------------------------

DELAYS_MS = [2, 4, 6, 8, 10]
KNOWN_TIMES = f"""
    import os, time, c_sdk, vqsdk_standin
    sdk = vqsdk_standin.StandIn(os.environ["VQSDK_RECORD_LIBRARY"])
    for ms in {DELAYS_MS!r}:
        sdk.script("vqi_get_orders_pb", delay=ms / 1000, once=True)
    def handler(topic, payload):
        until = time.perf_counter() + 0.003  # 3 ms in the handler
        while time.perf_counter() < until:
            pass
    c_sdk.py_vqi_set_data_callback(handler)
    for _ in range(4):
        sdk.queue_event("slow", b"x")
    for _ in {DELAYS_MS!r}:
        c_sdk.py_vqi_get_orders(b"q")
    c_sdk.py_vqi_run()
"""


def test_the_stand_ins_known_times(tmp_path):
    path = tmp_path / "timed.vqrec"
    done = record(path, *script(KNOWN_TIMES))
    assert done.returncode == 0, done.stderr
    s = recording.stats(path)
    q = next(row for row in s["functions"] if row["function"] == "vqi_get_orders_pb")["latency_ns"]
    ms = 1_000_000
    # at least the delay; and not much more (a busy machine may hold a thread back a while)
    for key, delay in [("min", 2), ("p50", 6), ("p90", 10), ("max", 10), ("total", sum(DELAYS_MS))]:
        assert delay * ms <= q[key] < (delay + 40) * ms, (key, q)
    slow = s["topics"][0]
    assert slow["topic"] == "slow" and slow["events"] == 4 and slow["handler_ns"]["min"] >= 3 * ms
    [run] = s["functions_with_events"]
    assert run["events"] == 4 and run["latency_ns"]["total"] >= run["in_handlers_ns"] >= 12 * ms


# ---- the demo's session, and files that dump refuses -----------------------------------------------


@pytest.fixture(scope="module")
def demo_session(tmp_path_factory):
    path = tmp_path_factory.mktemp("demo") / "demo.vqrec"
    done = record(path, *demo())
    assert done.returncode == 0, done.stderr
    return path, json.loads(done.stdout)


def test_the_demos_figures(demo_session):
    path, summary = demo_session
    done = tool("stats", path)
    assert done.returncode == 0 and done.stderr == ""
    lines = done.stdout.splitlines()
    assert max(map(len, lines)) <= 100 and "ended normally" in lines[1]
    s = json.loads(tool("stats", path, "--json").stdout)
    assert s == recording.stats(path) | {"file": str(path)}
    assert s["events"] == summary["events"] and {r["topic"]: r["events"] for r in s["topics"]} == summary["topics"]
    orders = next(row for row in s["functions"] if row["function"] == "vqi_place_order_pb")
    assert orders["calls"] == summary["orders"] and orders["failed"] == summary["failures"] == 0
    assert [row["function"] for row in s["functions_with_events"]] == ["vqi_run"]


@pytest.mark.parametrize("mangle", [cut, other_version, bad_kind, long_response, stray_handled,
                                    lambda blob, rec: b"#!/bin/sh\n" + blob], ids=lambda m: m.__name__)
def test_the_same_refusals_as_dump(demo_session, tmp_path, mangle):
    path = tmp_path / "bad.vqrec"
    path.write_bytes(mangle(demo_session[0].read_bytes(), recording.read(demo_session[0])))
    dumped = tool("dump", path)
    for command in (["stats"], ["stats", "--json"], ["report", "-o", tmp_path / "r.html"]):
        done = tool(*command[:1], path, *command[1:])
        assert done.returncode == dumped.returncode and done.stderr == dumped.stderr, command
    if mangle is cut:
        s = json.loads(tool("stats", path, "--json").stdout)
        assert dumped.stdout.splitlines()[-1] == f"(incomplete: {s['end']})"
        assert s["records"] == len(recording.read(path).records) and not s["complete"]
    else:
        assert dumped.returncode == 2 and "Traceback" not in dumped.stderr
        assert not (tmp_path / "r.html").exists()
    assert tool("stats", path, "--calls", "9-3").returncode == 2


def test_the_percentiles_precision():
    rnd = random.Random(29)
    values = [int(2 ** rnd.uniform(0, 42)) for _ in range(5001)] + [-5]  # a clock that went back: 0
    h = figures.Histogram()
    for v in values:
        h.add(v)
    values[-1] = 0
    for p in range(1, 101):
        assert close(h.percentiles(p)[0], nearest_rank(values, p)), p
    assert (h.min, h.max, h.total) == (0, max(values), sum(values)) and h.percentiles(100) == [max(values)]


# ---- the page ----------------------------------------------------------------------------------------


class Cells(html.parser.HTMLParser):
    """The cells of each table row of a class, and the figures the page carries."""

    def __init__(self, text):
        super().__init__()
        self.rows, self.row, self.cell, self.json = {}, None, None, None
        self.feed(text)

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if tag == "tr" and attrs.get("class"):
            self.row = self.rows.setdefault(attrs["class"], []).append([]) or self.rows[attrs["class"]][-1]
        elif tag == "td" and self.row is not None:
            self.cell = ""
        elif tag == "script" and attrs.get("id") == "figures":
            self.json = ""

    def handle_endtag(self, tag):
        if tag == "td" and self.cell is not None:
            self.row.append(self.cell)
            self.cell = None
        elif tag == "tr":
            self.row = None
        elif tag == "script" and self.json is not None:
            self.json, self.figures = None, json.loads(self.json)

    def handle_data(self, data):
        if self.cell is not None:
            self.cell += data
        elif self.json is not None:
            self.json += data


def browser():
    for name in ("chromium", "chromium-browser", "google-chrome", "google-chrome-stable", "headless_shell"):
        if shutil.which(name):
            return shutil.which(name)
    return None


def test_the_page_shows_the_figures_of_stats_and_renders(demo_session, tmp_path):
    path = demo_session[0]
    page = tmp_path / "report.html"
    done = tool("report", path, "-o", page)
    assert done.returncode == 0 and done.stdout.startswith(f"report: {page} ("), done.stderr
    text = page.read_text()
    s = recording.stats(path)
    cells = Cells(text)
    assert cells.figures == s
    d = figures.duration
    assert cells.rows["fn"] == [[r["function"], f"{r['calls']:,}", f"{r['failed']:,}", f"{r['unfinished']:,}"] +
                                [d(r["latency_ns"][k]) for k in ("min", "p50", "p90", "p99", "max", "total")]
                                for r in s["functions"]]
    assert [row[:2] + row[4:5] for row in cells.rows["tp"]] == [
        [r["topic"], f"{r['events']:,}", d(r["handler_ns"]["p50"])] for r in s["topics"]]
    # nothing to fetch: no address, no external reference; the page allows nothing from elsewhere
    assert not re.search(r"https?:|\bsrc=|\bhref=|url\(|@import", text)
    assert "default-src 'none'" in text and len(text) < 1_000_000
    charts = text.count('<svg class="chart"')
    assert charts == 1 + 2 + 6 + 5  # timeline, distributions (5 calls or more), rates, handler times
    chromium = browser()
    if chromium is None:
        pytest.skip("no headless browser on this machine (chromium): the page's rendering is not checked")
    # The browser runs as it would for a person: none of the sanitizer build's preloaded runtimes.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONMALLOC") and not k.endswith("SAN_OPTIONS")}
    dom = subprocess.run([chromium, "--headless", "--no-sandbox", "--disable-gpu", "--dump-dom", page.as_uri()],
                         capture_output=True, text=True, timeout=120, env=env).stdout
    assert f'data-rendered="{charts} of {charts} charts"' in dom


def test_the_page_of_a_hostile_file(tmp_path):
    evil = b"</script><img src=x onerror=alert(1)>\x1b[2J"
    records = [(t, th, k, fn, v.replace(b"t\x04\x00\x00\x00tick", blob(b"t", evil)), n)
               for t, th, k, fn, v, n in known_session()[0]]
    path = session_file(tmp_path / "evil.vqrec", records)
    s = recording.stats(path)
    assert any(r["topic"] == evil.decode() for r in s["topics"])
    lines = figures.table(s)  # the escaped topic on lines of its own, within the width
    assert max(map(len, lines)) <= 100 and not any("\x1b" in line for line in lines)
    report.report(path, tmp_path / "evil.html")
    text = (tmp_path / "evil.html").read_text()
    assert "<img" not in text and "\x1b" not in text and Cells(text).figures == s


def test_the_timeline_stays_bounded_over_a_long_session():
    t = figures.Timeline(bins=8, width=10)
    times = [0, 5, 79, 80, 1_000, 10**12, 10**12 + 1]
    for k in times:
        t.add("x", k)
    assert len(t.series["x"]) == 8 and sum(t.series["x"]) == len(times) and t.width * 8 > 10**12
    assert t.series["x"][10**12 // t.width] == 2 and t.series["x"][0] == 5


@pytest.mark.parametrize("ns, shown", [(0, "0 ns"), (999, "999 ns"), (9_996, "10.0 us"), (99_951, "100 us"),
                                       (999_700, "1.00 ms"), (123_456_789, "123 ms"), (5 * 10**12, "5000 s"),
                                       (-4_200, "-4.20 us"), (None, "-")])
def test_durations_in_three_digits(ns, shown):
    assert figures.duration(ns) == shown


def test_topics_past_a_thousand_are_counted_together(tmp_path):
    # only a crafted file has them: the figures stay bounded whatever it holds
    records = [(1000 + k, 1 + k % 3, kind, None, blob(b"t", b"topic-%d" % k) + i(0) + b"n" if kind == b"E" else b"",
                3 if kind == b"E" else 0) for k in range(1005) for kind in (b"E", b"H")]
    s = recording.stats(session_file(tmp_path / "topics.vqrec", records))
    assert len(s["topics"]) == figures.CAP + 1 and s["events"] == 1005
    assert next(r for r in s["topics"] if r["topic"] == figures.OTHER)["events"] == 5
