import faulthandler
import inspect
import os
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
STANDIN_PY = os.path.join(HERE, os.pardir, "standin", "python")
if STANDIN_PY not in sys.path:
    sys.path.insert(0, STANDIN_PY)

import pytest  # noqa: E402

import c_sdk  # noqa: E402
import vq.constant  # noqa: E402
from vqsdk_standin import StandIn  # noqa: E402

SUCCESS = vq.constant.CSDK_OPERATE_SUCCESS
FAILURE = SUCCESS + 1


# Every test is bounded (pytest-timeout, `timeout` in pyproject.toml or a test's own marker). Its
# watchdog is a Python thread, and a hang can leave the interpreter lock to no thread at all (an
# SDK thread that ended holding it): then nothing in Python runs again. So each test also arms
# faulthandler's watchdog, a C thread, a minute later: it prints every thread's stack to the
# terminal and ends the run with status 1.
def pytest_configure(config):
    config._hang_stream = os.fdopen(os.dup(2), "w")  # the terminal, as captured output never is


def time_limit(item):
    marker = item.get_closest_marker("timeout")
    if marker and marker.args:
        return float(marker.args[0])
    try:
        return float(item.config.getoption("timeout", None) or item.config.getini("timeout") or 0)
    except ValueError:  # pytest-timeout not installed
        return 0.0


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_protocol(item, nextitem):
    limit = time_limit(item)
    if limit > 0:
        faulthandler.dump_traceback_later(limit + 60, exit=True, file=item.config._hang_stream)
    try:
        yield
    finally:
        if limit > 0:
            faulthandler.cancel_dump_traceback_later()


# Under pytest-run-parallel (--parallel-threads N, `make test-parallel`) each test runs on N
# threads at once. A test that drives the SDK stand-in (its call log, scripts and callback are
# the process's), patches the interpreter's state or rebinds the module's globals cannot share
# the process with copies of itself: it is marked thread_unsafe, and runs on one thread.
SHARED_STATE_FIXTURES = {"sdk", "standin", "monkeypatch", "busy_switching", "caplog", "restore_classes", "race_hook"}


REBINDS_GLOBALS = re.compile(r"\bc_sdk\.\w+\s*=[^=]|\bdel c_sdk\.|(set|del)attr\(c_sdk\b|vars\(c_sdk\)")


def pytest_collection_modifyitems(config, items):
    if (config.getoption("parallel_threads", None) or 1) == 1:
        return
    for item in items:
        try:
            rebinds = bool(REBINDS_GLOBALS.search(inspect.getsource(item.function)))
        except (AttributeError, OSError, TypeError):
            rebinds = True
        if rebinds or SHARED_STATE_FIXTURES & set(getattr(item, "fixturenames", ())):
            item.add_marker("thread_unsafe")


@pytest.fixture(scope="session")
def standin():
    return StandIn()


@pytest.fixture
def sdk(standin):
    """The SDK stand-in, reset, answering with the success status of this run."""
    standin.reset(config=True)
    standin.default_status = SUCCESS
    yield standin
    standin.reset(config=True)


@pytest.fixture
def race_hook():
    """Sets the test build's race hook (src/module/race_points.hpp): `set(hook)` has hook(point,
    subject) called where another thread could act in the middle of the module's steps, on this
    thread, at that instant. Skips on a build without race points."""
    seen = []
    sys._csdk_race_hook = lambda point, subject: seen.append(point)
    try:
        c_sdk.py_vqi_get_orders(bytearray(b"probe"))
        if "pin" not in seen:
            pytest.skip("this build has no race points (only the stand-in build has them)")
        yield lambda hook: setattr(sys, "_csdk_race_hook", hook)
    finally:
        del sys._csdk_race_hook


@pytest.fixture(autouse=True)
def _restore_namespace():
    """Tests may rebind or delete module globals; each starts from the namespace as imported,
    in its order."""
    ns = vars(c_sdk)
    before = dict(ns)
    yield
    if list(ns) != list(before) or any(ns[k] is not v for k, v in before.items()):
        ns.clear()
        ns.update(before)


def run_python(code, *, env=None, pythonpath=(STANDIN_PY,), argv=(), timeout=120):
    """Runs `code` in a fresh interpreter (with `argv` as its arguments); returns the
    CompletedProcess."""
    import subprocess

    environ = dict(os.environ)
    # Wherever this run imports c_sdk from (an install or a build tree), the child does too.
    environ["PYTHONPATH"] = os.pathsep.join([os.path.dirname(c_sdk.__file__), *pythonpath])
    environ.update(env or {})
    return subprocess.run([sys.executable, "-c", code, *argv], capture_output=True, text=True, env=environ,
                          timeout=timeout)
