"""Wheels and the SDK library: what `pip wheel .` puts in a wheel, wheels installed into fresh
virtual environments, the module built against an SDK installed in a prefix of its own (the
stand-in, installed as a vendor's SDK), and the dynamic loader choosing the library at run time.

These tests build. One build tree under build/packaging/<interpreter> serves the three wheels: all
of them take the SDK header from the prefix (the same file as include/vqsdk/vqsdk.h), so going
from one wheel to the next reconfigures and relinks but compiles nothing. The tree is kept, and a
lock keeps two runs in the same work tree apart."""

import fcntl
import importlib.util
import json
import os
import shutil
import subprocess
import sys
import sysconfig
import textwrap
import venv
import zipfile
from pathlib import Path

import pytest

pytestmark = pytest.mark.packaging

ROOT = Path(__file__).resolve().parent.parent
STANDIN_PY = ROOT / "standin" / "python"
WORK = ROOT / "build" / "packaging" / sys.implementation.cache_tag
EXTENSION = "c_sdk" + sysconfig.get_config_var("EXT_SUFFIX")
STUB_FILES = {"c_sdk.pyi", "c_sdk-stubs/__init__.pyi"}

# Nothing of the outer run may leak into what is built or run here: a preloaded sanitizer, another
# library or module path, build settings read from the environment, another success status.
SCRUBBED = {"LD_PRELOAD", "LD_LIBRARY_PATH", "PYTHONPATH", "PYTHONHOME", "PYTHONMALLOC", "PYTHONSTARTUP",
            "ASAN_OPTIONS", "UBSAN_OPTIONS", "VIRTUAL_ENV", "CMAKE_ARGS", "VQSDK_BUILD_STANDIN",
            "VQ_CSDK_OPERATE_SUCCESS", "MYPYPATH"}


def clean_env(**extra):
    env = {k: v for k, v in os.environ.items() if k not in SCRUBBED and not k.startswith("SKBUILD_")}
    # CMake and ninja may live in the environment running the tests rather than on the PATH.
    env["PATH"] = os.pathsep.join([str(Path(sys.executable).parent), env.get("PATH", "")])
    env.update(extra)
    return env


def run(*cmd, env=None, cwd=None, check=True, timeout=900):
    result = subprocess.run([str(c) for c in cmd], env=env or clean_env(), cwd=cwd, capture_output=True,
                            text=True, timeout=timeout)
    if check and result.returncode != 0:
        pytest.fail(f"{' '.join(map(str, cmd))} exited {result.returncode}\n{result.stdout}\n{result.stderr}")
    return result


@pytest.fixture(scope="module")
def work():
    if importlib.util.find_spec("scikit_build_core") is None:
        pytest.skip("scikit-build-core is not installed in this environment (make test installs it)")
    WORK.mkdir(parents=True, exist_ok=True)
    with open(WORK / ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        yield WORK


@pytest.fixture(scope="module")
def sdk_prefix(work):
    """The stand-in built on its own and installed as a vendor's SDK: lib/ and include/."""
    build, prefix = work / "standin-build", work / "vqsdk"
    run("cmake", "-S", ROOT / "standin", "-B", build, "-DCMAKE_BUILD_TYPE=Release")
    run("cmake", "--build", build, "--parallel", "2")
    shutil.rmtree(prefix, ignore_errors=True)
    run("cmake", "--install", build, "--prefix", prefix)
    assert sorted(p.relative_to(prefix).as_posix() for p in prefix.rglob("*") if p.is_file()) == [
        "include/vqsdk/vqsdk.h", "lib/libvqsdk.so"]
    return prefix


@pytest.fixture(scope="module")
def wheels(work, sdk_prefix):
    variants = {
        "bundled": {"VQSDK_BUILD_STANDIN": "ON", "VQSDK_INSTALL_LIBRARY": "ON"},
        "without_library": {"VQSDK_BUILD_STANDIN": "ON", "VQSDK_INSTALL_LIBRARY": "OFF"},
        "vendor": {"VQSDK_BUILD_STANDIN": "OFF", "VQSDK_LIBRARY": sdk_prefix / "lib" / "libvqsdk.so"},
    }
    built = {}
    for name, defines in variants.items():
        out = work / "wheels" / name
        shutil.rmtree(out, ignore_errors=True)
        defines = {"VQSDK_INCLUDE_DIR": sdk_prefix / "include", **defines}
        run(sys.executable, "-m", "pip", "wheel", ROOT, "--no-build-isolation", "--no-deps", "--no-index",
            "--quiet", "--disable-pip-version-check", "--wheel-dir", out,
            # The long option: the pip that comes with 3.10 (23.0) has no -C.
            f"--config-settings=build-dir={work / 'tree'}",
            *(f"--config-settings=cmake.define.{k}={v}" for k, v in defines.items()))
        [built[name]] = out.glob("*.whl")
    return built


@pytest.fixture(scope="module")
def installed(wheels, tmp_path_factory):
    """Each wheel installed into a fresh virtual environment of its own: its interpreter and its
    site-packages."""
    environments = {}
    for name, wheel in wheels.items():
        home = tmp_path_factory.mktemp(f"venv-{name}")
        venv.EnvBuilder(with_pip=False).create(home)
        python = home / "bin" / "python"
        run(sys.executable, "-m", "pip", "--python", python, "install", "--no-deps", "--no-index", "--quiet",
            "--disable-pip-version-check", wheel)
        site = run(python, "-c", "import sysconfig; print(sysconfig.get_path('platlib'))").stdout.strip()
        environments[name] = (python, Path(site).resolve())
    return environments


# Imports c_sdk with the vq stand-in on the path, makes a call through the SDK library, and says
# where the module and the library the loader mapped came from.
PROBE = textwrap.dedent("""
    import json, os, c_sdk
    with open("/proc/self/maps") as maps:
        libraries = {line.split()[-1] for line in maps if line.rstrip().endswith("/libvqsdk.so")}
    print(json.dumps({
        "module": os.path.realpath(c_sdk.__file__),
        "sdk": sorted(os.path.realpath(p) for p in libraries),
        "orders": [c_sdk.py_vqi_get_orders("probe")[0], c_sdk.py_vqi_get_orders(b"probe")[1].decode()],
    }))
""")


def probe(environment, tmp_path, library_path=None):
    python, _ = environment
    extra = {"PYTHONPATH": str(STANDIN_PY)}
    if library_path:
        extra["LD_LIBRARY_PATH"] = str(library_path)
    return run(python, "-c", PROBE, env=clean_env(**extra), cwd=tmp_path, check=False, timeout=120)


def loaded_libraries(environment, tmp_path, library_path=None):
    """The libvqsdk.so files the process mapped, after checking that the module came from the
    environment's site-packages and answered through the library."""
    result = probe(environment, tmp_path, library_path)
    assert result.returncode == 0, result.stderr
    seen = json.loads(result.stdout)
    assert seen["module"] == str(environment[1] / EXTENSION)
    assert seen["orders"] == [0, "vqi_get_orders_pb|probe"]
    return seen["sdk"]


def wheel_files(wheel):
    with zipfile.ZipFile(wheel) as z:
        return {n for n in z.namelist() if ".dist-info/" not in n}


def test_wheel_contents(wheels):
    tools = {"c_sdk_tools/__init__.py", "c_sdk_tools/recording.py", "c_sdk_tools/lib/libvqsdk.so"}
    assert wheel_files(wheels["bundled"]) == {EXTENSION, "libvqsdk.so"} | STUB_FILES | tools
    assert wheel_files(wheels["without_library"]) == {EXTENSION} | STUB_FILES | tools
    assert wheel_files(wheels["vendor"]) == {EXTENSION} | STUB_FILES | tools
    stub = (ROOT / "stubs" / "c_sdk.pyi").read_bytes()
    with zipfile.ZipFile(wheels["bundled"]) as z:
        assert all(z.read(name) == stub for name in STUB_FILES)


def test_wheel_runs_on_the_library_beside_it(installed, tmp_path):
    site = installed["bundled"][1]
    assert loaded_libraries(installed["bundled"], tmp_path) == [str(site / "libvqsdk.so")]


def test_loader_path_overrides_the_library_beside_the_module(installed, sdk_prefix, tmp_path):
    library = (sdk_prefix / "lib" / "libvqsdk.so").resolve()
    assert loaded_libraries(installed["bundled"], tmp_path, sdk_prefix / "lib") == [str(library)]


@pytest.mark.parametrize("name", ["without_library", "vendor"])
def test_wheel_without_library_runs_on_the_one_the_loader_finds(installed, sdk_prefix, tmp_path, name):
    failed = probe(installed[name], tmp_path)
    assert failed.returncode != 0 and "ImportError: libvqsdk.so: cannot open shared object file" in failed.stderr
    library = (sdk_prefix / "lib" / "libvqsdk.so").resolve()
    assert loaded_libraries(installed[name], tmp_path, sdk_prefix / "lib") == [str(library)]


def test_type_checker_finds_the_installed_stub(installed, tmp_path):
    pytest.importorskip("mypy")
    python, _ = installed["bundled"]
    result = run(sys.executable, "-m", "mypy", "--python-executable", python, "--config-file", os.devnull,
                 "--cache-dir", os.devnull, "--no-incremental", "-c",
                 "import c_sdk\nreveal_type(c_sdk.py_vqi_get_orders(b''))", cwd=tmp_path, check=False)
    assert 'Revealed type is "tuple[int, bytes | None]"' in result.stdout, result.stdout + result.stderr
