"""c-sdk-info as a command: its options, and a report that holds where the library's path is not
UTF-8 and where the output cannot encode it."""

import json
import os
import shutil
import subprocess
import sys
from importlib.metadata import version

import pytest

import c_sdk
from conftest import STANDIN_PY
from vqsdk_standin import library_path


def python(*args, **env):
    environ = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(c_sdk.__file__), STANDIN_PY]), **env)
    return subprocess.run([sys.executable, *args], capture_output=True, text=True, env=environ, timeout=120)


def info(*args, **env):
    return python("-m", "c_sdk_tools.info", *args, **env)


@pytest.mark.parametrize("args, status, out, err", [
    (["--help"], 0, "usage: c-sdk-info [-h] [--json] [--version]", ""),
    (["--version"], 0, f"c-sdk-info (c_sdk {version('c_sdk')})", ""),
    (["--json", "--verbose"], 2, "", "c-sdk-info: error: unrecognized arguments: --verbose"),
    (["report"], 2, "", "c-sdk-info: error: unrecognized arguments: report"),
])
def test_options(args, status, out, err):
    done = info(*args)
    assert done.returncode == status
    assert done.stdout.startswith(out) and err in done.stderr and (err or not done.stderr)


@pytest.fixture(scope="module")
def stand_in_at_a_non_utf8_path(tmp_path_factory):
    directory = tmp_path_factory.mktemp("info") / os.fsdecode(b"lib-\xff\xfe")
    directory.mkdir()
    shutil.copy(library_path(), directory / "libvqsdk.so")
    return str(directory)


@pytest.mark.parametrize("output", ["json", "ascii text", "stand-in control"])
def test_stand_in_at_a_non_utf8_path_is_found_and_reported(stand_in_at_a_non_utf8_path, output):
    directory = stand_in_at_a_non_utf8_path
    if output == "json":
        done = info("--json", LD_LIBRARY_PATH=directory)
        assert (done.returncode, done.stderr) == (0, "")
        [sdk] = json.loads(done.stdout)["sdk"]
        assert (sdk["path"], sdk["standin"]) == (os.path.join(directory, "libvqsdk.so"), True)
    elif output == "stand-in control":  # vqsdk_standin.library_path(), which StandIn() and enable_market use
        done = python("-c", "import os, vqsdk_standin; print(os.fsencode(vqsdk_standin.library_path()))",
                      LD_LIBRARY_PATH=directory)
        assert (done.returncode, done.stderr) == (0, "")
        assert done.stdout.strip() == repr(os.fsencode(os.path.join(directory, "libvqsdk.so")))
    else:
        done = info(LD_LIBRARY_PATH=directory, PYTHONIOENCODING="ascii")
        assert (done.returncode, done.stderr) == (0, "")
        shown = directory.encode("utf-8", "surrogateescape").replace(b"\xff\xfe", b"\\xff\\xfe").decode()
        assert f"libvqsdk   {shown}/libvqsdk.so: the STAND-IN" in done.stdout
