"""docs/quickstart.md against what it describes: its strategy is examples/quickstart.py, and the
output it shows is what that script prints live, behind the session recorder and replayed."""

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import c_sdk
from c_sdk_tools import recording
from conftest import STANDIN_PY
from vqsdk_standin import library_path

ROOT = Path(__file__).resolve().parents[1]
EXAMPLE = ROOT / "examples" / "quickstart.py"
PAGE = (ROOT / "docs" / "quickstart.md").read_text()
# The recorder's console script where it is installed, else the module behind it.
SCRIPT = Path(sys.executable).parent / "c-sdk-record"
RECORDER = [str(SCRIPT)] if SCRIPT.exists() else [sys.executable, "-m", "c_sdk_tools.recording"]
BUILT = Path(c_sdk.__file__).parent / "recorder" / "lib"  # a build tree's recorder (the sanitizer build)


def run(*command):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(c_sdk.__file__), STANDIN_PY]),
               VQSDK_RECORDER_DIR=str(BUILT) if (BUILT / "libvqsdk.so").exists() else recording.library_dir())
    env.pop("VQ_CSDK_OPERATE_SUCCESS", None)
    return subprocess.run([str(c) for c in command], capture_output=True, text=True, env=env, timeout=120)


def fenced(kind):
    return re.findall(rf"^```{kind}\n(.*?)^```$", PAGE, re.S | re.M)


def test_the_page_shows_the_example_as_it_is():
    source = EXAMPLE.read_text()
    code = source[source.index('"""', 3) + 3:].lstrip("\n")  # after the module docstring
    assert fenced("python") == [code]


@pytest.fixture(scope="module")
def recorded(tmp_path_factory):
    path = tmp_path_factory.mktemp("quickstart") / "quickstart.vqrec"
    return path, run(*RECORDER, "record", "--sdk", library_path(), "-o", path, "--", sys.executable, EXAMPLE)


@pytest.mark.parametrize("how", ["live", "recorded", "replayed"])
def test_the_example_prints_what_the_page_shows(recorded, how):
    if how == "live":
        done = run(sys.executable, EXAMPLE)
    elif how == "recorded":
        done = recorded[1]
    else:
        done = run(*RECORDER, "replay", recorded[0], "--", sys.executable, EXAMPLE)
    assert (done.returncode, done.stderr) == (0, "")
    assert [done.stdout] == fenced("text")


def test_a_copy_of_the_example_passes_mypy_strict(tmp_path):
    pytest.importorskip("mypy")  # a free-threaded interpreter may have none (the Makefile says so)
    strategy = tmp_path / "my_strategy.py"  # where a user copies it
    strategy.write_text(EXAMPLE.read_text())
    done = run(sys.executable, "-m", "mypy", "--strict", "--cache-dir", tmp_path / "cache", strategy)
    assert done.returncode == 0, done.stdout + done.stderr


def rows(text, header):
    """The first table of `text` under a line starting with `header`: its first column -> the rest."""
    lines = text.splitlines()
    start = next(k for k, line in enumerate(lines) if line.startswith(header))
    out = {}
    for line in lines[start + 1:]:
        if not line.strip():
            return out
        name, *cells = line.split()
        out[name] = cells
    return out


def test_the_pages_stats_are_those_of_the_session(recorded):
    # the counts of each function and topic as the page shows them (the times are a machine's)
    [shown] = fenced("console")
    s = recording.stats(recorded[0])
    assert {name: cells[:2] for name, cells in rows(shown, "function ").items()} == {
        r["function"]: [str(r["calls"]), str(r["failed"])] for r in s["functions"]}
    assert {name: cells[0] for name, cells in rows(shown, "topic ").items()} == {
        r["topic"]: str(r["events"]) for r in s["topics"]}


def test_the_demo_says_it_replays_rather_than_naming_a_seed(tmp_path):
    demo, path = ROOT / "examples" / "ma_cross.py", tmp_path / "demo.vqrec"
    live = run(*RECORDER, "record", "--sdk", library_path(), "-o", path, "--", sys.executable, demo, "--seed", "7")
    replayed = run(*RECORDER, "replay", path, "--", sys.executable, demo, "--seed", "8")
    assert live.returncode == replayed.returncode == 0, live.stderr + replayed.stderr
    assert live.stdout.splitlines()[1] == "the SDK is the project's stand-in, its market seeded with 7"
    assert replayed.stdout.splitlines()[1] == f"the SDK is a recorded session, replayed from {path} (--seed is not used)"
