"""Session recordings: the recorder between c_sdk and the SDK library, the replay of its file,
and the reader. Every session runs in a subprocess through `python -m c_sdk_tools.recording`."""

import json
import os
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


def tool(*args, timeout=120):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(c_sdk.__file__), STANDIN_PY, str(EXAMPLES)]),
               VQSDK_RECORDER_DIR=RECORDER_DIR)
    env.pop("VQ_CSDK_OPERATE_SUCCESS", None)
    return subprocess.run([sys.executable, "-m", "c_sdk_tools.recording", *map(str, args)], capture_output=True,
                          text=True, env=env, timeout=timeout)


def record(path, *command, secrets=False, sdk=None):
    return tool("record", "--sdk", sdk or library_path(), "-o", path, *(["--secrets"] if secrets else []), "--",
                *command)


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
    assert report[1] == "  inside:   vqi_run"
    assert report[2].startswith("  recorded: vqi_place_order_pb(b'") and '"volume": 29300}' in report[2]
    assert report[3].startswith("  came:     vqi_place_order_pb(b'") and '"volume": 29200}' in report[3]


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
    return blob[:8] + b"\x02\x00" + blob[10:]


def bad_kind(blob, rec):
    at = rec.records[3].offset
    return blob[:at] + b"Q" + blob[at + 1:]


def bad_value(blob, rec):
    at = rec.records[2].offset + 20  # the first value tag of a call
    return blob[:at] + b"~" + blob[at + 1:]


def long_response(blob, rec):
    # the response length of the first account query, past the response bytes recorded
    end = next(r.offset for r, prev in zip(rec.records[1:], rec.records) if prev.function == "vqi_get_cash_pb"
               and prev.kind == "return")
    return blob[:end - 8] + (10**6).to_bytes(8, "little") + blob[end:]


@pytest.mark.parametrize("mangle, message, status", [
    (long_response, "corrupt record at byte", recording.UNREADABLE_STATUS),
    (cut, "the file is cut short at byte", recording.DIVERGED_STATUS),
    (other_version, "a session file of version 2; this reader reads version 1", recording.UNREADABLE_STATUS),
    (bad_kind, "corrupt record at byte", recording.UNREADABLE_STATUS),
    (bad_value, "corrupt record at byte", recording.UNREADABLE_STATUS),
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
        assert tool("dump", path).returncode == 2
    # the replay library itself, as started by the environment alone
    env = dict(os.environ, VQSDK_REPLAY_FILE=str(path), LD_LIBRARY_PATH=RECORDER_DIR,
               PYTHONPATH=os.pathsep.join([os.path.dirname(c_sdk.__file__), STANDIN_PY, str(EXAMPLES)]))
    done = subprocess.run(demo(), capture_output=True, text=True, env=env, timeout=120)
    assert done.returncode == status and "vqsdk replay: " in done.stderr
    if mangle is cut:
        assert "recorded: the end of the recording (the recording is cut short at byte" in done.stderr


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


@pytest.mark.parametrize("case", ["threads", "signal", "child", "full disk", "no library"])
def test_sessions_go_on_whatever_the_recording(tmp_path, case):
    path, sdk = tmp_path / "s.vqrec", None
    if case == "full disk":
        path = Path("/dev/full")
    if case == "no library":
        sdk = tmp_path / "libvqsdk.so"
        sdk.write_text("not a library")
    done = record(path, *script(CALLS), *{"signal": ["kill"], "child": ["child"]}.get(case, []), sdk=sdk)
    if case == "signal":
        assert done.returncode == -15
    else:
        assert done.returncode == 0, done.stderr
    if case == "no library":
        assert done.stdout == "(-1, None)\n" and "cannot load the SDK library" in done.stderr
        return
    assert done.stdout == "(0, b'vqi_get_orders_pb|q')\n"
    if case == "full disk":
        assert done.stderr.count("vqsdk recorder: cannot write the session file /dev/full (No space left") == 1
        return
    rec = recording.read(path)
    assert len(rec.calls()) == 8001 and {r.thread for r in rec.records} == {1, 2, 3, 4, 5}
    assert rec.complete == (case != "signal")
    if case == "child":
        assert "(File exists); the session goes on unrecorded" in done.stderr
        assert "(0, b'vqi_get_orders_pb|c')" in done.stderr  # forwarded all the same
    if case == "signal":
        assert rec.end_note.endswith("without its end record (the session was cut short)")
