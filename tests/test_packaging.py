"""Wheels and the SDK library: what each build puts in a wheel and where its module looks for
libvqsdk.so, wheels installed into fresh virtual environments, the module built against an SDK
installed in a prefix of its own (the stand-in, installed as a vendor's SDK), the dynamic loader
choosing the library at run time, the diagnostic command, and the build options checked when
CMake configures.

These tests build. One build tree under build/packaging/<interpreter> serves every wheel: they
differ in how they link and what they install, not in how they compile, so going from one wheel
to the next reconfigures and relinks but compiles nothing. The tree is kept, and a lock keeps two
runs in the same work tree apart."""

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

pytestmark = [pytest.mark.packaging, pytest.mark.timeout(3600)]  # wheels built in the first test's setup

ROOT = Path(__file__).resolve().parent.parent
STANDIN_PY = ROOT / "standin" / "python"
WORK = ROOT / "build" / "packaging" / (sys.implementation.cache_tag + sys.abiflags)  # 3.13t apart from 3.13
EXTENSION = "c_sdk" + sysconfig.get_config_var("EXT_SUFFIX")
STUB_FILES = {"c_sdk.pyi", "c_sdk-stubs/__init__.pyi"}

# Nothing of the outer run may leak into what is built or run here: a preloaded sanitizer, another
# library or module path, build settings read from the environment, another success status.
SCRUBBED = {"LD_PRELOAD", "LD_LIBRARY_PATH", "PYTHONPATH", "PYTHONHOME", "PYTHONMALLOC", "PYTHONSTARTUP",
            "ASAN_OPTIONS", "UBSAN_OPTIONS", "VIRTUAL_ENV", "CMAKE_ARGS", "VQSDK_STANDIN", "VQSDK_LIBRARY",
            "VQSDK_BUNDLE", "VQSDK_INCLUDE_DIR", "VQ_CSDK_OPERATE_SUCCESS", "MYPYPATH"}
LIBS = "c_sdk.libs/libvqsdk.so"
TOOLS = {"c_sdk_tools/__init__.py", "c_sdk_tools/info.py", "c_sdk_tools/build_info.json", "c_sdk_tools/recording.py",
         "c_sdk_tools/lib/libsession-recorder.so"}


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


_config = None


def say(text):
    """A line to the terminal while the tests run (they build for a while)."""
    capture = _config.pluginmanager.getplugin("capturemanager") if _config else None
    if capture is None:
        print(text, file=sys.stderr, flush=True)
        return
    with capture.global_and_fixture_disabled():
        print(f"\n[packaging] {text}", file=sys.stderr, flush=True)


@pytest.fixture(scope="module")
def work(request):
    global _config
    _config = request.config
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
    say(f"building the stand-in on its own and installing it as a vendor's SDK in {prefix}")
    run("cmake", "-S", ROOT / "standin", "-B", build, "-DCMAKE_BUILD_TYPE=Release")
    run("cmake", "--build", build, "--parallel", "2")
    shutil.rmtree(prefix, ignore_errors=True)
    run("cmake", "--install", build, "--prefix", prefix)
    assert sorted(p.relative_to(prefix).as_posix() for p in prefix.rglob("*") if p.is_file()) == [
        "include/vqsdk/vqsdk.h", "lib/libvqsdk.so"]
    return prefix


# name: the build options; what the wheel bundles beside the module, the stubs and the tools; the
# module's run path (readelf -d).
VARIANTS = {
    "plain": ({}, set(), None),
    "standin": ({"VQSDK_STANDIN": "ON"}, {LIBS}, "$ORIGIN/c_sdk.libs"),
    "vendor": ({"VQSDK_LIBRARY": "{prefix}/lib/libvqsdk.so"}, set(), None),
    "vendor_bundled": ({"VQSDK_LIBRARY": "{prefix}/lib/libvqsdk.so", "VQSDK_BUNDLE": "ON"}, {LIBS},
                       "$ORIGIN/c_sdk.libs"),
}


@pytest.fixture(scope="module")
def wheels(work, sdk_prefix):
    built = {}
    for name, (defines, _, _) in VARIANTS.items():
        out = work / "wheels" / name
        shutil.rmtree(out, ignore_errors=True)
        defines = {k: v.format(prefix=sdk_prefix) for k, v in defines.items()}
        options = " ".join(f"{k}={v}" for k, v in defines.items()) or "no options"
        say(f"pip wheel . ({name}: {options}) in {work / 'tree'}")
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


def probe(environment, tmp_path, **env):
    python, _ = environment
    return run(python, "-c", PROBE, env=clean_env(PYTHONPATH=str(STANDIN_PY), **env), cwd=tmp_path, check=False,
               timeout=120)


def loaded_libraries(environment, tmp_path, **env):
    """The libvqsdk.so files the process mapped, after checking that the module came from the
    environment's site-packages and answered through the library."""
    result = probe(environment, tmp_path, **env)
    assert result.returncode == 0, result.stderr
    seen = json.loads(result.stdout)
    assert seen["module"] == str(environment[1] / EXTENSION)
    assert seen["orders"] == [0, "vqi_get_orders_pb|probe"]
    return seen["sdk"]


def wheel_files(wheel):
    with zipfile.ZipFile(wheel) as z:
        return {n for n in z.namelist() if ".dist-info/" not in n}


def dynamic_section(path):
    lines = run("readelf", "-d", path).stdout.splitlines()
    needed = [line.split("[", 1)[1].rstrip("]") for line in lines if "(NEEDED)" in line]
    paths = [line.split("[", 1)[1].rstrip("]") for line in lines if "(RUNPATH)" in line or "(RPATH)" in line]
    return needed, paths


@pytest.mark.parametrize("name", VARIANTS)
def test_wheel_bundles_only_what_the_build_asked_for(wheels, installed, name):
    _, bundled, runpath = VARIANTS[name]
    files = wheel_files(wheels[name])
    assert {f for f in files if not f.startswith("c_sdk_tools/")} == {EXTENSION} | STUB_FILES | bundled
    assert TOOLS <= files
    needed, paths = dynamic_section(installed[name][1] / EXTENSION)
    assert "libvqsdk.so" in needed
    assert paths == ([runpath] if runpath else [])


def test_only_the_stand_in_wheel_carries_the_local_label(wheels):
    names = {name: wheel.name for name, wheel in wheels.items()}
    base = names["plain"].split("-")[1]
    assert "+" not in base and names["standin"] == names["plain"].replace(f"-{base}-", f"-{base}+standin-")
    assert {names[n] for n in ("plain", "vendor", "vendor_bundled")} == {names["plain"]}


def test_wheel_carries_the_stub(wheels):
    stub = (ROOT / "stubs" / "c_sdk.pyi").read_bytes()
    with zipfile.ZipFile(wheels["standin"]) as z:
        assert all(z.read(name) == stub for name in STUB_FILES)


@pytest.mark.parametrize("name", ["standin", "vendor_bundled"])
def test_bundled_library_is_loaded_from_the_private_directory(installed, tmp_path, name):
    site = installed[name][1]
    assert loaded_libraries(installed[name], tmp_path) == [str(site / LIBS)]


@pytest.mark.parametrize("name", ["plain", "vendor"])
def test_without_a_bundled_library_the_import_fails_naming_it(installed, tmp_path, name):
    failed = probe(installed[name], tmp_path)
    assert failed.returncode != 0 and "ImportError: libvqsdk.so: cannot open shared object file" in failed.stderr
    home = installed[name][0].parent.parent
    assert not [p for p in home.rglob("*") if p.name.startswith("libvqsdk")]


@pytest.mark.parametrize("variable", ["LD_LIBRARY_PATH", "LD_PRELOAD"])
@pytest.mark.parametrize("name", VARIANTS)
def test_another_library_can_be_interposed_on_every_build(installed, sdk_prefix, tmp_path, name, variable):
    library = (sdk_prefix / "lib" / "libvqsdk.so").resolve()
    value = library.parent if variable == "LD_LIBRARY_PATH" else library
    assert loaded_libraries(installed[name], tmp_path, **{variable: str(value)}) == [str(library)]


# The diagnostic command in each situation a user meets: (environment, how it is run, with vq on the
# path, the library directory for the loader) -> what it reports.
DIAGNOSTIC = [
    ("plain", "script", True, "prefix", {"imported": True, "sdk": "prefix", "vq": True}),
    ("plain", "module", False, "prefix", {"imported": False, "error": "No module named 'vq'", "sdk": "prefix",
                                          "vq": False}),
    ("plain", "module", True, None, {"imported": False, "error": "libvqsdk.so: cannot open shared object file",
                                     "sdk": None, "vq": True}),
    ("standin", "script", True, None, {"imported": True, "sdk": "bundled", "vq": True}),
]


@pytest.mark.parametrize("name, how, with_vq, library_dir, expected", DIAGNOSTIC)
def test_diagnostic_reports_the_module_the_library_and_vq(installed, sdk_prefix, tmp_path, name, how, with_vq,
                                                          library_dir, expected):
    python, site = installed[name]
    command = [python.parent / "c-sdk-info"] if how == "script" else [python, "-m", "c_sdk_tools.info"]
    env = {"PYTHONPATH": str(STANDIN_PY)} if with_vq else {}
    if library_dir:
        env["LD_LIBRARY_PATH"] = str(sdk_prefix / "lib")
    result = run(*command, "--json", env=clean_env(**env), cwd=tmp_path, check=False, timeout=120)
    assert result.returncode == 0 and not result.stderr, result.stderr
    report = json.loads(result.stdout)
    module = report["c_sdk"]
    assert module["file"] == str(site / EXTENSION) and module["imported"] == expected["imported"]
    assert expected.get("error", "") in module.get("error", "")
    assert module["build"]["options"]["VQSDK_STANDIN"] == (name == "standin")
    assert module["build"]["version"] == wheels_version(site)
    library = {"prefix": sdk_prefix / "lib" / "libvqsdk.so", "bundled": site / LIBS}.get(expected["sdk"])
    assert report["sdk"] == ([{"path": str(library.resolve()), "standin": True,
                               "identity": "vqsdk stand-in: the project's test double, not the vendor's SDK"}]
                             if library else [])
    assert report["vq"]["importable"] == expected["vq"]
    assert report["python"]["executable"] == str(python)
    if not library:  # the text says how to point the loader at the vendor's library
        text = run(*command, env=clean_env(**env), cwd=tmp_path, check=False, timeout=120).stdout
        assert "libvqsdk   none loaded: the loader finds no libvqsdk.so; " in text and "LD_LIBRARY_PATH=" in text


def wheels_version(site):
    [info] = site.glob("c_sdk-*.dist-info")
    return info.name[len("c_sdk-"):-len(".dist-info")]


def test_diagnostic_adds_nothing_to_the_module(installed, sdk_prefix, tmp_path):
    code = textwrap.dedent("""
        import c_sdk
        before = list(vars(c_sdk))
        from c_sdk_tools import info
        info.main([])
        assert list(vars(c_sdk)) == before
    """)
    result = run(installed["plain"][0], "-c", code, cwd=tmp_path, check=False,
                 env=clean_env(PYTHONPATH=str(STANDIN_PY), LD_LIBRARY_PATH=str(sdk_prefix / "lib")))
    assert result.returncode == 0, result.stderr


# A build option that names a wrong path fails when CMake configures, naming the option and what it
# expected.
BAD_OPTIONS = [
    ({"VQSDK_INCLUDE_DIR": "{tmp}"}, "VQSDK_INCLUDE_DIR={tmp}: expected a directory holding vqsdk/vqsdk.h"),
    ({"VQSDK_LIBRARY": "{tmp}"}, "VQSDK_LIBRARY={tmp}: expected the SDK library file (libvqsdk.so)"),
    ({"VQSDK_LIBRARY": "{tmp}/libvqsdk.so"}, "VQSDK_LIBRARY={tmp}/libvqsdk.so: expected the SDK library file"),
    ({"VQSDK_STANDIN": "ON", "VQSDK_LIBRARY": "{prefix}/lib/libvqsdk.so"}, "leave VQSDK_LIBRARY"),
    ({"VQSDK_BUNDLE": "ON"}, "VQSDK_BUNDLE=ON: expected VQSDK_LIBRARY"),
]


@pytest.mark.parametrize("defines, message", BAD_OPTIONS)
def test_wrong_build_option_fails_at_configure_time(sdk_prefix, tmp_path, defines, message):
    names = {"tmp": tmp_path, "prefix": sdk_prefix}
    result = run("cmake", "-S", ROOT, "-B", tmp_path / "build",
                 *(f"-D{k}={v.format(**names)}" for k, v in defines.items()), check=False, timeout=120)
    assert result.returncode != 0
    assert message.format(**names) in " ".join(result.stderr.split()), result.stderr


def test_type_checker_finds_the_installed_stub(installed, tmp_path):
    pytest.importorskip("mypy")
    python, _ = installed["standin"]
    result = run(sys.executable, "-m", "mypy", "--python-executable", python, "--config-file", os.devnull,
                 "--cache-dir", os.devnull, "--no-incremental", "-c",
                 "import c_sdk\nreveal_type(c_sdk.py_vqi_get_orders(b''))", cwd=tmp_path, check=False)
    # Older mypy releases (the only ones a free-threaded interpreter gets) write builtins.int.
    revealed = result.stdout.replace("builtins.", "")
    assert 'Revealed type is "tuple[int, bytes | None]"' in revealed, result.stdout + result.stderr
