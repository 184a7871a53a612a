"""Session recordings: the recorder between c_sdk and the SDK library, the replay of its file,
and the reader. Every session runs in a subprocess through `python -m c_sdk_tools.recording`."""

import json
import os
import re
import resource
import shutil
import struct
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import c_sdk
from c_sdk_tools import recording
from conftest import STANDIN_PY
from vqsdk_standin import library_path

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"
SECRETS = ["tok-3141", "api-2718", "md-user-1", "md-pass-2", "bus-user-3", "bus-pass-4", "ca-pem-5",
           "cert-pem-6", "key-pem-7", "enc-tok-8"]


# The recorder built with the module under test, when it comes from a build tree (the sanitizer
# build), else the installed one.
BUILT = Path(c_sdk.__file__).parent / "recorder" / "lib"
RECORDER_DIR = str(BUILT) if (BUILT / "libvqsdk.so").exists() else recording.library_dir()


PYTHONPATH = os.pathsep.join([os.path.dirname(c_sdk.__file__), STANDIN_PY, str(EXAMPLES)])


def tool(*args, timeout=120, env=None, **run):
    environ = dict(os.environ, PYTHONPATH=PYTHONPATH, VQSDK_RECORDER_DIR=RECORDER_DIR)
    environ.pop("VQ_CSDK_OPERATE_SUCCESS", None)
    environ.update(env or {})
    return subprocess.run([sys.executable, "-m", "c_sdk_tools.recording", *map(str, args)], capture_output=True,
                          text=True, env=environ, timeout=timeout, **run)


def record(path, *command, secrets=False, sdk=None, **run):
    return tool("record", "--sdk", sdk or library_path(), "-o", path, *(["--secrets"] if secrets else []), "--",
                *command, **run)


def replay(path, *command):
    return tool("replay", path, "--", *command)


# The demo strategy; `lot` changes its order size, so that its calls diverge from a recording.
def demo(lot=100):
    return (sys.executable, "-c", f"import sys, ma_cross; ma_cross.LOT = {lot}; sys.exit(ma_cross.main(['--json']))")


def script(code):
    return (sys.executable, "-c", textwrap.dedent(code))


def figures(out):
    return {k: v for k, v in json.loads(out).items() if k not in ("run_seconds", "events_per_second")}


@pytest.fixture(scope="module")
def session(tmp_path_factory):
    path = tmp_path_factory.mktemp("rec") / "demo.vqrec"
    done = record(path, *demo())
    assert done.returncode == 0, done.stderr
    return path, done.stdout


def test_demo_replays_to_the_same_summary(session):
    path, recorded = session
    done = replay(path, *demo())
    assert done.returncode == 0 and "vqsdk" not in done.stderr, done.stderr  # every recorded call was made
    assert figures(done.stdout) == figures(recorded)
    rec = recording.read(path)
    assert rec.complete and not rec.secrets_recorded
    calls = rec.calls()
    assert calls[1] == ("vqi_set_token", (recording.SECRET,))
    run = next(r for r in rec.records if r.function == "vqi_run")
    inside = [r for r in rec.records if r.depth == 1 and r.offset > run.offset]
    # the handler's calls made inside vqi_run, between its events
    assert {r.function for r in inside if r.kind == "call"} == {"vqi_get_cash_pb", "vqi_place_order_pb", "vqi_stop"}
    assert len(rec.events()) == figures(recorded)["events"]
    assert b"demo-token" not in path.read_bytes()


def test_a_diverging_strategy_is_stopped_with_a_report(session):
    done = replay(session[0], *demo(lot=200))
    assert done.returncode == recording.DIVERGED_STATUS
    report = done.stderr.splitlines()
    number = int(re.search(r"at call #(\d+) \(byte \d+ of the file\)$", report[0]).group(1))
    assert re.fullmatch(r"  inside:   vqi_run \(#\d+\)", report[1])
    # the event being handled, as dump shows it
    handling = re.fullmatch(r"  handling: event e(\d+) 'bar' recorded at (\d+\.\d{3}) ms \(byte \d+\)", report[2])
    assert handling
    assert report[3].startswith(f"  recorded: call #{number} vqi_place_order_pb(b'") and '"volume": 29300}' in report[3]
    assert report[4].startswith("  came:     vqi_place_order_pb(b'") and '"volume": 29200}' in report[4]
    # the strategy's file and line: the Python stack of the diverging call, innermost last
    assert report[5] == "  the call that came, in the strategy (most recent call last):"
    stack = report[6:-1]
    ma_cross = str(EXAMPLES / "ma_cross.py")
    assert any(line.startswith(f'    File "{ma_cross}", line ') and line.endswith(", in on_bar") for line in stack)
    assert re.fullmatch(rf'    File "{re.escape(ma_cross)}", line \d+, in \w+', stack[-1])
    assert report[-1] == "vqsdk replay: replay stopped (exit status 86)"
    # the call number and the event's time are dump's
    shown = tool("dump", session[0], "--calls", number).stdout.splitlines()
    assert re.match(rf" *#{number} +\d+\.\d{{3}} ms  t1 +vqi_place_order_pb\(b'", shown[1])
    event = tool("dump", session[0], "--event", handling.group(1)).stdout.splitlines()
    assert event[1].split()[:2] == [f"e{handling.group(1)}", handling.group(2)] and "event 'bar'" in event[1]
    assert any(line.split()[0] == f"#{number}" for line in event)  # the handler's call, recorded


STUCK_STDOUT = """
class Stuck:  # a stream whose flush never returns (a pipe nobody reads, say)
    def write(self, text): return len(text)
    def flush(self): __import__("time").sleep(600)
sys.stdout = Stuck()
"""


@pytest.mark.parametrize("stdout", ["buffered", "stuck"])
def test_a_diverging_replay_writes_what_the_strategy_printed(tmp_path, stdout):
    path = tmp_path / "s.vqrec"
    assert record(path, *script("import c_sdk; c_sdk.py_vqi_stop()")).returncode == 0
    # both outputs buffered by the interpreter (files, pipes), as a strategy's usually are
    code = ('import sys, c_sdk\nprint("printed before", end="")\nprint("said before", end="", file=sys.stderr)\n' +
            (STUCK_STDOUT if stdout == "stuck" else "") + "c_sdk.vqi_poll()\n")
    done = tool("replay", path, "--", *script(code), env={"PYTHONUNBUFFERED": ""}, timeout=60)
    assert done.returncode == recording.DIVERGED_STATUS
    if stdout == "buffered":
        assert done.stdout == "printed before"
        assert done.stderr.startswith("said beforevqsdk replay: the session diverged"), done.stderr
    else:  # given up after a while, the report written all the same
        assert done.stderr.startswith("vqsdk replay: the strategy's buffered output did not go out within 5 s; it is "
                                      "left out\nvqsdk replay: the session diverged"), done.stderr


MISSED_CALL = """
    import os, sys, c_sdk, vqsdk_standin
    if os.environ.get("VQSDK_RECORD_LIBRARY"):
        sdk = vqsdk_standin.StandIn(os.environ["VQSDK_RECORD_LIBRARY"])
        for topic in ("a", "b", "c"):
            sdk.queue_event(topic, b"x")
    def handler(topic, payload):
        if topic != sys.argv[1]:
            c_sdk.py_vqi_get_orders(topic)
    c_sdk.py_vqi_set_data_callback(handler)
    c_sdk.py_vqi_run()
"""


def test_a_call_missing_from_a_handler_names_its_event(tmp_path):
    path, older = tmp_path / "s.vqrec", tmp_path / "v1.vqrec"
    assert record(path, *script(MISSED_CALL), "none").returncode == 0
    older.write_bytes(version_1(path.read_bytes(), recording.read(path)))
    # the event's handling ends at its end of delivery, or in a version 1 file at the next event
    for file, after in [(path, [["event", "'b'", "handled"]]), (older, [])]:
        done = replay(file, *script(MISSED_CALL), "b")  # event 'b' makes no call this time
        assert done.returncode == recording.DIVERGED_STATUS
        report = done.stderr.splitlines()
        assert report[2:6] == [
            "  handling: no event",
            "  recorded: call #4 vqi_get_orders_pb(b'b', 1, <out>, <out>)",
            f"    in the recording, handling: event e2 'b' recorded at {report[4].split(' at ')[1]}",
            "  came:     the return of vqi_run (no further call inside it)"], file
        shown = [line.split() for line in tool("dump", file, "--event", "2").stdout.splitlines()[1:]]
        assert [words[0] for words in shown[:3]] == ["e2", "#4", "#4"]
        assert [words[3:6] for words in shown[3:]] == after


def version_1(blob, rec):
    """The session as a version 1 recorder wrote it: without the ends of the events' deliveries."""
    ends = [r.offset for r in rec.records[1:]] + [len(blob)]
    body = b"".join(blob[r.offset:end] for r, end in zip(rec.records, ends) if r.kind != "handled")
    return blob[:8] + struct.pack("<H", 1) + blob[10:rec.records[0].offset] + body


def test_a_version_1_file_reads_replays_and_diverges_as_before(session, tmp_path):
    path = tmp_path / "v1.vqrec"
    path.write_bytes(version_1(session[0].read_bytes(), recording.read(session[0])))
    old, new = recording.read(path), recording.read(session[0])
    assert old.version == 1 and new.version == 2 and old.complete
    assert [(r.kind, r.values, r.depth) for r in old.records] == [
        (r.kind, r.values, r.depth) for r in new.records if r.kind != "handled"]
    done = replay(path, *demo())
    assert done.returncode == 0 and "vqsdk" not in done.stderr, done.stderr
    assert figures(done.stdout) == figures(session[1])
    # the same divergence, reported alike (only the byte offsets differ)
    reports = [re.sub(r"byte \d+", "byte N", replay(p, *demo(lot=200)).stderr.replace(str(p), "FILE"))
               for p in (path, session[0])]
    assert reports[0] == reports[1] and "at call #11 (byte N of the file)" in reports[0]
    # a version 1 file has no ends of deliveries
    e = next(r for r in old.records if r.kind == "event")
    path.write_bytes(path.read_bytes()[:e.offset] + b"H" + path.read_bytes()[e.offset + 1:])
    with pytest.raises(recording.RecordingError, match=f"corrupt record at byte {e.offset}"):
        recording.read(path)


@pytest.mark.parametrize("secrets", [False, True])
def test_secrets_are_recorded_only_when_asked(tmp_path, secrets):
    path = tmp_path / "s.vqrec"
    done = record(path, *script(f"""
        import os, c_sdk, vqsdk_standin
        s = {SECRETS!r}
        vqsdk_standin.StandIn(os.environ["VQSDK_RECORD_LIBRARY"]).script("vqi_get_encrypted_token", text=s[9])
        c_sdk.py_vqi_set_token(s[0]); c_sdk.py_vqi_set_apitoken(s[1])
        c_sdk.py_vqi_set_ctp_md_info("tcp://md", s[2], s[3]); c_sdk.py_vqi_set_bus_info("tcp://bus", s[4], s[5])
        c_sdk.py_vqi_set_bus_secure(1, s[6], s[7], s[8], False)
        print(c_sdk.py_vqi_get_encrypted_token())
    """), secrets=secrets)
    assert done.returncode == 0, done.stderr
    blob = path.read_bytes()
    assert [s.encode() in blob for s in SECRETS] == [secrets] * 10
    assert (b"tcp://md" in blob) == secrets
    assert replay(path, *script("import c_sdk; print(c_sdk.py_vqi_set_token('other'))")).returncode == (
        recording.DIVERGED_STATUS if secrets else 0)


def cut(blob, rec):
    return blob[: rec.records[len(rec.records) // 2].offset + 9]


def other_version(blob, rec):
    return blob[:8] + b"\x03\x00" + blob[10:]


def stray_handled(blob, rec):
    # the end of an event's delivery on another thread than its event's
    at = next(r for r in rec.records if r.kind == "handled").offset + 13
    return blob[:at] + struct.pack("<I", 7) + blob[at + 4:]


def bad_kind(blob, rec):
    at = rec.records[3].offset
    return blob[:at] + b"Q" + blob[at + 1:]


def bad_value(blob, rec):
    at = rec.records[2].offset + 20  # the first value tag of a call
    return blob[:at] + b"~" + blob[at + 1:]


def bad_size(blob, rec):
    # a record well before the end whose size runs past it
    at = rec.records[-100].offset
    return blob[:at + 1] + struct.pack("<I", len(blob)) + blob[at + 5:]


def long_response(blob, rec):
    # the response length of the first account query, past the response bytes recorded
    end = next(r.offset for r, prev in zip(rec.records[1:], rec.records) if prev.function == "vqi_get_cash_pb"
               and prev.kind == "return")
    return blob[:end - 8] + (10**6).to_bytes(8, "little") + blob[end:]


@pytest.mark.parametrize("mangle, message, status", [
    (long_response, "corrupt record at byte", recording.UNREADABLE_STATUS),
    (cut, "the file is cut short at byte", recording.DIVERGED_STATUS),
    (other_version, "a session file of version 3; this reader reads versions 1 to 2", recording.UNREADABLE_STATUS),
    (stray_handled, "a handler's end outside its event", recording.UNREADABLE_STATUS),
    (bad_kind, "corrupt record at byte", recording.UNREADABLE_STATUS),
    (bad_value, "corrupt record at byte", recording.UNREADABLE_STATUS),
    (bad_size, "corrupt record at byte \\d+: its size runs past the end of the file", recording.UNREADABLE_STATUS),
    (lambda blob, rec: b"#!/bin/sh\n" + blob, "not a session recording", recording.UNREADABLE_STATUS),
])
def test_damaged_files(session, tmp_path, mangle, message, status):
    blob = session[0].read_bytes()
    path = tmp_path / "bad.vqrec"
    path.write_bytes(mangle(blob, recording.read(session[0])))
    if mangle is cut:
        rec = recording.read(path)
        assert not rec.complete and message in rec.end_note
        assert tool("dump", path).stdout.splitlines()[-1].startswith("(incomplete: the file is cut short at byte")
    else:
        with pytest.raises(recording.RecordingError, match=message):
            recording.read(path)
        dumped = tool("dump", path)
        assert dumped.returncode == 2 and tool("stats", path).stderr == dumped.stderr  # stats reads in blocks
    # the replay library itself, as started by the environment alone
    env = dict(os.environ, VQSDK_REPLAY_FILE=str(path), LD_LIBRARY_PATH=RECORDER_DIR,
               PYTHONPATH=os.pathsep.join([os.path.dirname(c_sdk.__file__), STANDIN_PY, str(EXAMPLES)]))
    done = subprocess.run(demo(), capture_output=True, text=True, env=env, timeout=120)
    assert done.returncode == status and "vqsdk replay: " in done.stderr
    if mangle is cut:
        assert "recorded: the end of the recording (the recording is cut short at byte" in done.stderr
        # the command says it once, where the library says it
        done = tool("replay", path, "--", *demo())
        said = [line for line in done.stderr.splitlines() if "cut short" in line and "recorded:" not in line]
        assert len(said) == 1 and said[0].startswith("vqsdk replay: "), done.stderr
        assert said[0].endswith(f"; replaying the {len(rec.records)} whole records before it")  # H records too


CALLS = """
    import os, signal, sys, threading, c_sdk
    def work():
        for _ in range(2000):
            c_sdk.py_vqi_get_orders(b"x" * 300)
    threads = [threading.Thread(target=work) for _ in range(4)]
    [t.start() for t in threads]; [t.join(60) for t in threads]
    assert not any(t.is_alive() for t in threads)
    print(c_sdk.py_vqi_get_orders(b"q"))
    if sys.argv[1:] == ["kill"]:
        os.kill(os.getpid(), signal.SIGTERM)
    if sys.argv[1:] == ["child"]:  # inherits the recorder's environment
        sys.stdout.flush()
        import subprocess
        subprocess.run([sys.executable, "-c", "import sys, c_sdk; print(c_sdk.py_vqi_get_orders(b'c'), file=sys.stderr)"],
                       timeout=60)
"""


def file_size_limit(limit):
    # a file that cannot grow past `limit` bytes: writes past it fail with EFBIG (the interpreter
    # ignores SIGXFSZ), as on a full disk
    return lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))


@pytest.mark.parametrize("case", ["threads", "signal", "child", "full disk", "no library"])
def test_sessions_go_on_whatever_the_recording(tmp_path, case):
    path, sdk = tmp_path / "s.vqrec", None
    if case == "no library":
        sdk = tmp_path / "libvqsdk.so"
        sdk.write_text("not a library")
    done = record(path, *script(CALLS), *{"signal": ["kill"], "child": ["child"]}.get(case, []), sdk=sdk,
                  preexec_fn=file_size_limit(256 * 1024) if case == "full disk" else None)
    if case == "signal":
        assert done.returncode == -15
    else:
        assert done.returncode == 0, done.stderr
    if case == "no library":
        assert done.stdout == "(-1, None)\n" and "cannot load the SDK library" in done.stderr
        return
    assert done.stdout == "(0, b'vqi_get_orders_pb|q')\n"
    if case == "full disk":
        assert done.stderr.count(f"vqsdk recorder: cannot write the session file {path} (File too large)") == 1
        assert recording.read(path).records  # the header and the records before the failed write
        return
    rec = recording.read(path)
    assert len(rec.calls()) == 8001 and {r.thread for r in rec.records} == {1, 2, 3, 4, 5}
    assert rec.complete == (case != "signal")
    if case == "child":
        assert "(File exists); the session goes on unrecorded" in done.stderr
        assert "(0, b'vqi_get_orders_pb|c')" in done.stderr  # forwarded all the same
    if case == "signal":
        assert rec.end_note.endswith("without its end record (the session was cut short)")


# ---- session files from elsewhere: every length checked in the type it is used as ------------------


def first_return_of(rec, name):
    return next(r for r in rec.records if r.kind == "return" and r.function == name)


def response_length(value):
    def mangle(blob, rec):
        # the response length of the first account query (its last value: 'i' and 8 bytes)
        r = first_return_of(rec, "vqi_get_cash_pb")
        end = next(n.offset for n in rec.records if n.offset > r.offset)
        return blob[:end - 8] + struct.pack("<q", value) + blob[end:]
    mangle.__name__ = f"response_length({value})"
    return mangle


def event_length(value):
    def mangle(blob, rec):
        e = next(r for r in rec.records if r.kind == "event")
        at = e.offset + 20 + 5 + len(e.values[0].encode()) + 1  # past the head and the topic, after the 'i'
        return blob[:at] + struct.pack("<q", value) + blob[at + 8:]
    mangle.__name__ = f"event_length({value})"
    return mangle


@pytest.mark.parametrize("mangle", [response_length(-(2**32) + 20000), response_length(-(2**32) + 0x7FFFFF00),
                                    response_length(2**31), event_length(-(2**32) + 20000),
                                    event_length(-(2**32) + 0x7FFFFF00), event_length(2**33)],
                         ids=lambda m: m.__name__)
def test_lengths_past_a_c_int_are_corrupt(session, tmp_path, mangle):
    path = tmp_path / "crafted.vqrec"
    path.write_bytes(mangle(session[0].read_bytes(), recording.read(session[0])))
    with pytest.raises(recording.RecordingError, match="corrupt record at byte"):
        recording.read(path)
    done = tool("dump", path)
    assert done.returncode == 2 and "Traceback" not in done.stderr and "corrupt record at byte" in done.stderr
    env = dict(os.environ, VQSDK_REPLAY_FILE=str(path), LD_LIBRARY_PATH=RECORDER_DIR, PYTHONPATH=PYTHONPATH)
    done = subprocess.run(demo(), capture_output=True, text=True, env=env, timeout=120)
    assert done.returncode == recording.UNREADABLE_STATUS, done.stderr
    assert "vqsdk replay: cannot replay" in done.stderr and "corrupt record at byte" in done.stderr


def test_a_status_past_a_c_int_is_corrupt(session, tmp_path):
    # 2**32 would reach the module as 0 (a success) if it were cut to an int
    rec = recording.read(session[0])
    r = first_return_of(rec, "vqi_get_cash_pb")
    blob = session[0].read_bytes()
    at = r.offset + 20 + 1  # past the head and the status's tag
    path = tmp_path / "crafted.vqrec"
    path.write_bytes(blob[:at] + struct.pack("<q", 2**32) + blob[at + 8:])
    env = dict(os.environ, VQSDK_REPLAY_FILE=str(path), LD_LIBRARY_PATH=RECORDER_DIR, PYTHONPATH=PYTHONPATH)
    done = subprocess.run(demo(), capture_output=True, text=True, env=env, timeout=120)
    assert done.returncode == recording.UNREADABLE_STATUS, done.stderr
    assert f"corrupt record at byte {r.offset} (the results of vqi_get_cash_pb)" in done.stderr


# ---- the out-parameters of a failed call: the SDK does not own them, nobody reads them ----------------


FAILED_CALLS = """
    import os, c_sdk, vqsdk_standin
    if os.environ.get("VQSDK_RECORD_LIBRARY"):
        sdk = vqsdk_standin.StandIn(os.environ["VQSDK_RECORD_LIBRARY"])
        sdk.script("vqi_get_orders_pb", status=3, response=b"stale-response-31", once=True)
        sdk.script("vqi_get_serv_addr", status=3, text="stale-address-41", once=True)
    print(c_sdk.py_vqi_get_orders(b"failed"), c_sdk.py_vqi_get_serv_addr("x"))
    print(c_sdk.py_vqi_get_orders(b"succeeded"), c_sdk.py_vqi_get_serv_addr("y"))
"""


def test_a_failed_call_records_no_response(tmp_path):
    path = tmp_path / "s.vqrec"
    done = record(path, *script(FAILED_CALLS))
    assert done.returncode == 0 and "vqsdk" not in done.stderr, done.stderr
    assert done.stdout == "(3, None) None\n(0, b'vqi_get_orders_pb|succeeded') b'addr:y'\n"
    blob = path.read_bytes()
    assert b"stale-response-31" not in blob and b"stale-address-41" not in blob
    returns = [r.values for r in recording.read(path).records if r.kind == "return"]
    assert returns == [(3, recording.NOT_RECORDED, recording.NOT_RECORDED), (3, recording.NOT_RECORDED),
                       (0, b"vqi_get_orders_pb|succeeded", 27), (0, "addr:y")]
    again = replay(path, *script(FAILED_CALLS))
    assert again.returncode == 0 and again.stdout == done.stdout and "vqsdk" not in again.stderr, again.stderr
    assert "(3, recording.NOT_RECORDED" not in tool("dump", path).stdout
    assert "-> 3, <not recorded>, <not recorded>" in tool("dump", path).stdout


def test_the_success_status_is_the_modules(tmp_path):
    # CSDK_OPERATE_SUCCESS = 7: a status of 7 is a success, 0 a failure
    path = tmp_path / "s.vqrec"
    code = """
        import os, c_sdk, vqsdk_standin
        if os.environ.get("VQSDK_RECORD_LIBRARY"):
            sdk = vqsdk_standin.StandIn(os.environ["VQSDK_RECORD_LIBRARY"])
            sdk.default_status = 7
            sdk.script("vqi_get_orders_pb", status=0, response=b"stale-response-53", once=True)
        print(c_sdk.py_vqi_get_orders(b"failed"), c_sdk.py_vqi_get_orders(b"succeeded"))
    """
    done = record(path, *script(code), env={"VQ_CSDK_OPERATE_SUCCESS": "7"})
    assert done.returncode == 0, done.stderr
    assert done.stdout == "(0, None) (7, b'vqi_get_orders_pb|succeeded')\n"
    assert b"stale-response-53" not in path.read_bytes()
    again = tool("replay", path, "--", *script(code), env={"VQ_CSDK_OPERATE_SUCCESS": "7"})
    assert again.returncode == 0 and again.stdout == done.stdout, again.stderr


def test_the_success_status_is_taken_at_each_call(tmp_path):
    # rebound between calls, and of another type than int: compared by Python equality
    path = tmp_path / "s.vqrec"
    code = """
        import os, c_sdk, vqsdk_standin
        if os.environ.get("VQSDK_RECORD_LIBRARY"):
            sdk = vqsdk_standin.StandIn(os.environ["VQSDK_RECORD_LIBRARY"])
            for status, response in [(0, "ok-57"), (3, "rebound-61"), (0, "stale-71"), (3, "float-81"), (4, "stale-91")]:
                sdk.script("vqi_get_orders_pb", status=status, response=response, once=True)
        print(c_sdk.py_vqi_get_orders(b"a"))
        c_sdk.CSDK_OPERATE_SUCCESS = 3
        print(c_sdk.py_vqi_get_orders(b"b"), c_sdk.py_vqi_get_orders(b"c"))
        c_sdk.CSDK_OPERATE_SUCCESS = 3.0
        print(c_sdk.py_vqi_get_orders(b"d"), c_sdk.py_vqi_get_orders(b"e"))
    """
    done = record(path, *script(code))
    assert done.returncode == 0 and "vqsdk" not in done.stderr, done.stderr
    assert done.stdout == "(0, b'ok-57')\n(3, b'rebound-61') (0, None)\n(3, b'float-81') (4, None)\n"
    blob = path.read_bytes()
    assert [w in blob for w in (b"ok-57", b"rebound-61", b"stale-71", b"float-81", b"stale-91")] == [
        True, True, False, True, False]
    again = replay(path, *script(code))
    assert again.returncode == 0 and again.stdout == done.stdout, again.stderr


STALE_SDK = r"""
/* A vendor library that leaves stale pointers in the out-parameters of a failed call. */
int vqi_get_orders_pb(const char *req, int req_len, char **res, int *res_len) {
    (void)req; (void)req_len; *res = (char *)16; *res_len = 1 << 20; return 5;
}
int vqi_get_serv_addr(const char *serv_id, char **addr) { (void)serv_id; *addr = (char *)16; return 5; }
"""


def test_a_vendor_library_with_stale_pointers_on_failure(tmp_path):
    cc = shutil.which("cc") or shutil.which("gcc")
    if not cc:
        pytest.skip("no C compiler")
    (tmp_path / "stale.c").write_text(STALE_SDK)
    sdk = tmp_path / "libvqsdk.so"
    subprocess.run([cc, "-shared", "-fPIC", "-o", sdk, tmp_path / "stale.c"], check=True, timeout=60)
    path = tmp_path / "s.vqrec"
    done = record(path, *script("import c_sdk; print(c_sdk.py_vqi_get_orders(b'q'), c_sdk.py_vqi_get_serv_addr('x'))"),
                  sdk=sdk)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "(5, None) None\n"
    assert [r.values for r in recording.read(path).records if r.kind == "return"][-2:] == [
        (5, recording.NOT_RECORDED, recording.NOT_RECORDED), (5, recording.NOT_RECORDED)]


# ---- sys.exit() in a handler off the main thread --------------------------------------------------------


def test_exit_from_a_handler_off_the_main_thread_keeps_the_session(tmp_path):
    path = tmp_path / "s.vqrec"
    code = """
        import os, sys, threading, c_sdk, vqsdk_standin
        sdk = vqsdk_standin.StandIn(os.environ["VQSDK_RECORD_LIBRARY"])
        def handler(topic, payload):
            print("handling", topic, flush=True)
            sys.exit(3)
        c_sdk.py_vqi_set_data_callback(handler)
        print(c_sdk.py_vqi_get_orders(b"before"), flush=True)
        sdk.queue_event("tick", b"last")
        worker = threading.Thread(target=c_sdk.py_vqi_run)
        worker.start()
        worker.join()
        print("not reached")
    """
    done = record(path, *script(code))
    assert done.returncode == 3, done.stderr
    assert done.stdout == "(0, b'vqi_get_orders_pb|before')\nhandling tick\n"
    rec = recording.read(path)
    assert rec.complete, rec.end_note
    # the handler's SystemExit stops the run loop
    assert [r.function for r in rec.records if r.kind == "call"][-3:] == ["vqi_get_orders_pb", "vqi_run", "vqi_stop"]
    assert rec.events() == [("tick", 4, b"last")]


# ---- events from the SDK's own threads, between calls ---------------------------------------------------


SDK_THREAD_EVENTS = """
    import os, sys, threading, c_sdk, vqsdk_standin
    seen, done = [], threading.Event()
    def handler(topic, payload):
        seen.append((topic, payload, c_sdk.py_vqi_get_orders(payload)[1]))
        if len(seen) == 3:
            done.set()
    c_sdk.py_vqi_set_data_callback(handler)
    live = os.environ.get("VQSDK_RECORD_LIBRARY")
    if live:  # a thread of the SDK's delivers three events
        sdk = vqsdk_standin.StandIn(os.environ["VQSDK_RECORD_LIBRARY"])
        sdk.thread_events(1, 3, "tick", b"from-sdk-thread")
    if sys.argv[1] == "wait":
        assert done.wait(60), seen  # no SDK call until the events came
    elif live:
        sdk.join_threads()  # the replay's next call waits for the events instead
    print(c_sdk.py_vqi_get_orders(b"after"))
    print(seen)
    if live:
        sdk.join_threads()
"""


# "call": the strategy's next call comes while the replay's thread delivers the events, and waits
# inside the SDK for them, whose handlers call the SDK too.
@pytest.mark.parametrize("strategy", ["wait", "call"])
def test_events_from_an_sdk_thread_between_calls_replay(tmp_path, strategy):
    path = tmp_path / "s.vqrec"
    done = record(path, *script(SDK_THREAD_EVENTS), strategy)
    assert done.returncode == 0, done.stderr
    rec = recording.read(path)
    events = [r for r in rec.records if r.kind == "event"]
    assert len(events) == 3 and all(r.depth == 0 and r.thread != 1 for r in events)
    again = replay(path, *script(SDK_THREAD_EVENTS), strategy)
    assert again.returncode == 0 and "vqsdk" not in again.stderr, again.stderr
    assert again.stdout == done.stdout


# ---- the session file goes only to a new regular file ---------------------------------------------------


def test_record_refuses_a_fifo_and_other_files(tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    command = script("import c_sdk; print(c_sdk.py_vqi_get_orders(b'q'))")
    only = "; the session goes only to a new regular file"
    for output, why in [(fifo, "a pipe (FIFO)" + only), (tmp_path, "a directory" + only),
                        (Path("/dev/null"), "a device" + only),
                        (tmp_path / "missing" / "s.vqrec", f"no directory {tmp_path / 'missing'}")]:
        done = record(output, *command, timeout=60)
        assert done.returncode == 2 and done.stdout == "", done.stderr
        assert done.stderr == f"recording: cannot write the session to {output}: {why}\n"
    # the library itself, as started by the environment alone: runs unrecorded, and says so
    env = dict(os.environ, VQSDK_RECORD_FILE=str(fifo), VQSDK_RECORD_LIBRARY=library_path(),
               LD_LIBRARY_PATH=RECORDER_DIR, PYTHONPATH=PYTHONPATH)
    done = subprocess.run(command, capture_output=True, text=True, env=env, timeout=60)
    assert done.returncode == 0 and done.stdout == "(0, b'vqi_get_orders_pb|q')\n"
    assert f"vqsdk recorder: cannot open the session file {fifo} (File exists)" in done.stderr


@pytest.mark.parametrize("what", ["dump", "replay", "stats", "report"])
def test_only_a_regular_file_is_read(tmp_path, what):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    after = {"replay": ["--", "true"], "report": ["-o", tmp_path / "r.html"]}.get(what, [])
    for path, kind in [(fifo, "a pipe (FIFO)"), (Path("/dev/zero"), "a device"), (tmp_path, "a directory")]:
        done = tool(what, path, *after, timeout=60)
        assert (done.returncode, done.stdout) == (2, "")
        assert done.stderr == f"recording: {path}: {kind}; a session file is a regular file\n"
    if what == "replay":  # the replay library itself, as started by the environment alone
        env = dict(os.environ, VQSDK_REPLAY_FILE=str(fifo), LD_LIBRARY_PATH=RECORDER_DIR, PYTHONPATH=PYTHONPATH)
        done = subprocess.run(script("import c_sdk"), capture_output=True, text=True, env=env, timeout=60)
        assert done.returncode == recording.UNREADABLE_STATUS and "not a regular file" in done.stderr


# ---- dump ------------------------------------------------------------------------------------------------


def session_file(path, *records, names=("vqi_stop", "vqi_poll"), version=1):
    """A session file of these records: (kind, thread, function, encoded values, count)."""
    head = (b"VQSDKREC" + struct.pack("<HHIqH", version, 0, 4242, 0, len(names)) +
            b"".join(n.encode() + b"\0" for n in names))
    body = b""
    for kind, thread, fn, values, count in records:
        body += kind + struct.pack("<IQIHB", 15 + len(values), 1000, thread, fn, count) + values
    path.write_bytes(head + body)
    return path


def text(s):
    return b"t" + struct.pack("<I", len(s)) + s


@pytest.mark.parametrize("records", [
    [(b"C", 1, 0, b"", 0), (b"R", 1, 0, b"", 0)],  # a return with no values
    [(b"E", 1, 0xFFFF, text(b"tick"), 1)],  # an event with one value
    [(b"E", 1, 0xFFFF, text(b"t\0ck") + b"i" + struct.pack("<q", 0) + b"n", 3)],  # a NUL inside a text
], ids=["return without values", "event of one value", "text with a NUL"])
def test_dump_refuses_what_replay_refuses_without_a_traceback(tmp_path, records):
    path = session_file(tmp_path / "odd.vqrec", *records)
    done = tool("dump", path)
    assert done.returncode == 2 and "Traceback" not in done.stderr and "corrupt record at byte" in done.stderr


def test_dump_shows_any_record_it_is_given():
    rec = recording.Recording("x", 1, False, 1, 0, ["f"], [
        recording.Record("return", 30, 1, 1, "f", ()), recording.Record("event", 40, 1, 1, None, ("tick",)),
        recording.Record("call", 50, 1, 1, "f\x1b[2J", (object,), depth=-3, call=1)], complete=True)
    lines = list(recording.dump_lines(rec))
    assert "-> (no values)" in lines[1] and "event ('tick')" in lines[2] and "\x1b" not in "".join(lines)


def test_dump_escapes_control_characters(tmp_path):
    evil = "\x1b]0;owned\x07\x1b[2J\u202e".encode()
    path = tmp_path / "s.vqrec"
    done = record(path, *script(f"import c_sdk; c_sdk.py_vqi_set_serv_addr({evil!r})"))
    assert done.returncode == 0, done.stderr
    blob = path.read_bytes()
    # a function name with terminal escapes in the file's own function table
    name = b"vqi_set_serv_addr"
    blob = blob.replace(name + b"\0", b"\x1b[2Jset_serv_addr\0", 1)
    path.write_bytes(blob)
    out = tool("dump", path).stdout
    assert "\x1b" not in out and "\x07" not in out and "\u202e" not in out
    assert "\\x1b[2Jset_serv_addr('\\x1b]0;owned\\x07\\x1b[2J\\u202e')" in out
    # the divergence report of the replay library
    done = replay(path, *script("import c_sdk; c_sdk.py_vqi_set_serv_addr('other')"))
    assert done.returncode == recording.DIVERGED_STATUS
    assert "\x1b" not in done.stderr and "\x07" not in done.stderr
    assert "recorded: call #1 \\x1b[2Jset_serv_addr('\\x1b]0;owned\\x07\\x1b[2J\\xe2\\x80\\xae')" in done.stderr


def test_dump_bounds_its_indentation(tmp_path):
    n = 20000
    path = session_file(tmp_path / "deep.vqrec", *[(b"C", 1, 0, b"", 0)] * n)
    rec = recording.read(path)
    assert rec.records[-1].depth == n - 1
    lines = tool("dump", path).stdout.splitlines()
    assert len(lines) == n + 2 and max(map(len, lines[1:])) < 120
    assert lines[-2].endswith(f"[depth {n - 1}] vqi_stop()")


@pytest.mark.parametrize("version, shown", [(2, ["e1"]), (1, ["e1", "#1", "#1"])])
def test_an_events_handling_ends_at_its_end_of_delivery(tmp_path, version, shown):
    # an event between calls on thread 2, then a call thread 2 makes after its handler returned:
    # only a version 1 file, which cannot tell where the handler returned, takes it for the handler's
    event = text(b"t") + b"i" + struct.pack("<q", 0) + b"n"
    records = [(b"E", 2, 0xFFFF, event, 3), (b"H", 2, 0xFFFF, b"", 0), (b"C", 2, 0, b"", 0), (b"R", 2, 0, b"v", 1)]
    path = session_file(tmp_path / "s.vqrec", *[r for r in records if version == 2 or r[0] != b"H"], version=version)
    assert [line.split()[0] for line in tool("dump", path, "-e", "1").stdout.splitlines()[1:-1]] == shown


@pytest.mark.parametrize("select, left_out", [({"calls": "1-"}, 0), ({"event_numbers": "1-"}, 2)])
def test_dump_selects_deep_nesting_in_one_pass(tmp_path, select, left_out):
    # n calls, each with an event inside it, nested n deep, then their returns; the lines the
    # dump runs grow with the records, not with the records times the depth (the events leave
    # out the outermost call and its return)
    n = 2000
    event = text(b"t") + b"i" + struct.pack("<q", 0) + b"n"
    path = session_file(tmp_path / "deep.vqrec", *[(b"C", 1, 0, b"", 0), (b"E", 1, 0xFFFF, event, 3)] * n,
                        *[(b"R", 1, 0, b"v", 1)] * n)
    rec = recording.read(path)
    lines, steps = [], 0

    def count(frame, why, arg):
        nonlocal steps
        steps += why == "line"
        return count

    sys.settrace(count)
    try:
        lines = list(recording.dump_lines(rec, **select))
    finally:
        sys.settrace(None)
    assert len(lines) == 3 * n - left_out + 2  # with the header and "(incomplete: ...)"
    assert steps < 100 * len(rec.records), steps


@pytest.mark.parametrize("name, shown", [("py_vqi_place_order", True), ("vqi_place_order_pb", True),
                                         ("vqi_place_order_pb,py_vqi_get_cash", True),
                                         ("vqi_plase_order_pb", "did you mean vqi_place_order_pb?"),
                                         ("py_vqi_plase_order", "did you mean py_vqi_place_order?")])
def test_dump_takes_sdk_and_binding_names(session, name, shown):
    done = tool("dump", session[0], "-f", name)
    if shown is True:
        orders = [line for line in done.stdout.splitlines()[1:] if "vqi_place_order_pb(" in line]
        assert done.returncode == 0 and len(orders) == 60, done.stderr
    else:
        assert (done.returncode, done.stdout) == (2, "")
        assert done.stderr == f"recording: no SDK function or binding named {name!r} ({shown})\n"


def test_dump_numbers_and_filters(session):
    path = session[0]
    rec = recording.read(path)
    calls = [r for r in rec.records if r.kind == "call"]
    full = tool("dump", path).stdout.splitlines()
    assert full[0].endswith(f"{len(rec.records)} records, {len(calls)} calls")
    numbered = [line.split()[0] for line in full[1:] if line.lstrip().startswith("#")]
    assert numbered[:2] == ["#1", "#1"]  # a call and its return
    orders = tool("dump", path, "--function", "vqi_place_order_pb").stdout.splitlines()[1:-1]  # less the end
    placed = [r for r in calls if r.function == "vqi_place_order_pb"]
    assert len(orders) == 2 * len(placed) and all("vqi_place_order_pb" in line or "->" in line for line in orders)
    assert orders[0].split()[0] == f"#{placed[0].call}"
    run = next(r for r in calls if r.function == "vqi_run")
    inside = tool("dump", path, "--calls", run.call, "--no-events").stdout.splitlines()[1:]
    assert inside[0].split()[0] == f"#{run.call}" and "vqi_run()" in inside[0] and "event" not in "".join(inside)
    assert inside[-1].split()[0] == f"#{run.call}" and "->" in inside[-1]
    two = tool("dump", path, "--calls", "2-3,5", "--events").stdout.splitlines()[1:]
    assert [line.split()[0] for line in two if line.lstrip().startswith("#")] == ["#2", "#2", "#3", "#3", "#5", "#5"]
    ends = tool("dump", path, "-c", "-2,108-", "--no-events").stdout.splitlines()[1:]
    assert [line.split()[0] for line in ends] == ["#1", "#1", "#2", "#2", "#108", "#108", "#109", "#109"]
    # the events numbered in file order, their ends of delivery not (shown apart after a handler's calls)
    numbered = [line.split()[0] for line in full[1:] if " event '" in line and "' handled (" not in line]
    assert numbered == [f"e{k}" for k in range(1, len(rec.events()) + 1)]
    bad = tool("dump", path, "--calls", "9-3")
    assert bad.returncode == 2 and "not a call range" in bad.stderr


# ---- the replay checks the function called ---------------------------------------------------------------


def test_a_call_to_another_function_diverges(tmp_path):
    path = tmp_path / "s.vqrec"
    assert record(path, *script("import c_sdk; c_sdk.py_vqi_stop()")).returncode == 0
    done = replay(path, *script("import c_sdk; c_sdk.vqi_poll()"))
    assert done.returncode == recording.DIVERGED_STATUS
    assert "  recorded: call #1 vqi_stop()\n  came:     vqi_poll()\n" in done.stderr


# ---- the command ---------------------------------------------------------------------------------------


def test_the_command_line(tmp_path, session):
    script_path = Path(sys.executable).parent / "c-sdk-record"
    commands = [[sys.executable, "-m", "c_sdk_tools.recording"]]
    if script_path.exists():
        commands.append([str(script_path)])
    for command in commands:
        run = lambda *args: subprocess.run([*command, *map(str, args)], capture_output=True, text=True,  # noqa: E731
                                           env=dict(os.environ, PYTHONPATH=PYTHONPATH), timeout=60)
        helped = run("--help")
        assert helped.returncode == 0 and "record" in helped.stdout and "dump" in helped.stdout
        assert run("dump", "--help").stdout.count("--calls") >= 1
        version = run("--version")
        assert version.returncode == 0 and re.search(r"\(c_sdk \S+; session files of versions 1 to 2\)", version.stdout)
        # each refused with the usage and the message of the (sub)command it was given to
        bogus = "unrecognized arguments: --bogus"
        for args, sub, said in [(["--bogus"], "", bogus),
                                (["bogus"], "", "argument {record,replay,dump,stats,report}: invalid choice: 'bogus'"),
                                (["dump", "--bogus", session[0]], "dump", bogus),
                                (["stats", "--bogus", session[0]], "stats", bogus),
                                (["replay", session[0], "--bogus"], "replay", bogus + " (give the command after --)"),
                                (["record", "--sdk", library_path(), "-o", tmp_path / "x", "--bogus", "--", "true"],
                                 "record", bogus)]:
            done = run(*args)
            assert done.returncode == 2 and f"{sub}: error: {said}" in done.stderr, (args, done.stderr)
            assert (f" {sub} [-h]" if sub else " [-h] [--version]") in done.stderr.splitlines()[0], done.stderr
        assert run("dump", tmp_path / "missing.vqrec").returncode == 2
        assert run("replay", session[0]).returncode == 2  # no command
        assert run("replay", session[0], "--", tmp_path / "no-such-command").returncode == 127
