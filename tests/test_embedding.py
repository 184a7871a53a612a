"""A program that embeds this interpreter (tests/embed/embed.c, linked against its libpython):
c_sdk imported and called, SDK threads delivering events while the interpreter finalizes, then a
second interpreter in the same process importing c_sdk again. Built with AddressSanitizer where a
program linked like the interpreter can run with it; `make sanitize` runs it against the
instrumented module."""

import os
import re
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

import c_sdk
from conftest import STANDIN_PY

ROOT = Path(__file__).resolve().parent.parent
WORK = ROOT / "build" / "embed" / (sys.implementation.cache_tag + sys.abiflags)
EVENTS = 200_000  # per SDK thread: most of them arrive once the interpreter is shutting down
REFUSAL = ("c_sdk cannot be imported again after the interpreter that imported it was finalized (Py_Finalize): "
           "import it in a new process")


def run(*cmd, **kwargs):
    return subprocess.run([str(c) for c in cmd], capture_output=True, text=True, timeout=300, **kwargs)


def like_the_interpreter():
    """The loader and run path of this interpreter's executable: one taken from Debian's packages
    runs on a C library of its own, and so must a program that links its libpython."""
    exe = os.path.realpath(sys._base_executable)
    interp = re.search(r"program interpreter: (\S+)\]", run("readelf", "-l", exe).stdout)
    paths = re.findall(r"\((?:RPATH|RUNPATH)\)\s+Library (?:rpath|runpath): \[([^\]]*)\]", run("readelf", "-d", exe).stdout)
    flags = []
    if interp and not interp.group(1).startswith("/lib"):
        # libpython needs that C library's symbols, which the machine's (linked against) lacks
        flags = [f"-Wl,--dynamic-linker={interp.group(1)}", "-Wl,--allow-shlib-undefined"]
    return flags + [f"-Wl,--disable-new-dtags,-rpath,{p}" for p in ":".join(paths).split(":") if p]


def libpython():
    """The link flags of this interpreter's libpython: its shared library, else its static one."""
    var = sysconfig.get_config_var
    if var("Py_ENABLE_SHARED"):
        name = var("LDLIBRARY")
        dirs = [var("LIBDIR"), os.path.join(sys.base_prefix, "lib"),
                os.path.join(sys.base_prefix, "lib", var("MULTIARCH") or "")]
        found = next(d for d in dirs if d and os.path.exists(os.path.join(d, name)))
        return [f"-L{found}", f"-l:{name}", f"-Wl,-rpath,{found}"]
    return ([os.path.join(var("LIBPL"), var("LIBRARY"))] + var("LIBS").split() + var("SYSLIBS").split()
            + var("LINKFORSHARED").split() + ["-ldl", "-lpthread"])


def build(name, source, extra):
    out = WORK / name
    WORK.mkdir(parents=True, exist_ok=True)
    done = run("cc", "-g", "-O1", *extra, f"-I{sysconfig.get_path('include')}", source, "-o", out, *libpython(),
               *like_the_interpreter())
    return out if done.returncode == 0 else done.stderr


@pytest.fixture(scope="module")
def program(tmp_path_factory):
    """The embedding program, with AddressSanitizer when a program linked like this one runs with
    it (else without), and whether it has it."""
    probe = tmp_path_factory.mktemp("probe") / "probe.c"
    probe.write_text("#include <Python.h>\nint main(void) { return Py_IsInitialized(); }\n")
    asan = ["-fsanitize=address", "-fno-omit-frame-pointer"]
    works = build("probe", probe, asan)
    sanitized = isinstance(works, Path) and run(works, env=dict(os.environ, ASAN_OPTIONS="detect_leaks=0")).returncode == 0
    made = build("embed", ROOT / "tests" / "embed" / "embed.c", asan if sanitized else [])
    assert isinstance(made, Path), f"the embedding program does not build:\n{made}"
    return made, sanitized


def test_finalize_and_initialize_again(program):
    path, sanitized = program
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PYTHON", "ASAN_"))}
    env.update(PYTHONHOME=sys.base_prefix, PYTHONPATH=os.pathsep.join([os.path.dirname(c_sdk.__file__), STANDIN_PY]),
               PYTHONDONTWRITEBYTECODE="1", EMBED_EVENTS=str(EVENTS),
               ASAN_OPTIONS=":".join(filter(None, [os.environ.get("ASAN_OPTIONS"), "detect_leaks=0"])))
    if not sysconfig.get_config_var("Py_GIL_DISABLED"):  # free-threaded: mimalloc only
        env["PYTHONMALLOC"] = "malloc"  # every object through malloc, where AddressSanitizer sees a use after free
    for kept in ("PYTHON_GIL", "LD_PRELOAD"):
        if kept in os.environ:
            env[kept] = os.environ[kept]
    done = run(path, env=env)
    assert done.returncode == 0, f"{'ASan' if sanitized else 'no ASan'}\n{done.stdout}\n{done.stderr}"
    assert done.stdout.splitlines() == [
        "first import: (0, b'vqi_get_orders_pb|embed')",
        "events delivered, finalizing",
        "finalized",
        f"SDK threads joined ({2 * EVENTS} events)",
        f"second import refused: {REFUSAL}",
        "finalized again",
    ]
