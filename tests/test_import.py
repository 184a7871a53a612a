"""Import behaviour: one module object per process, one interpreter, a namespace filled once; each
case runs in a fresh interpreter."""

import sys
import textwrap

import pytest

from conftest import STANDIN_PY, run_python


def check(code, **kwargs):
    result = run_python(textwrap.dedent(code), **kwargs)
    assert result.returncode == 0, result.stdout + result.stderr
    return result


def test_second_import_returns_the_same_module_untouched():
    check("""
        import sys, importlib
        import c_sdk
        first = c_sdk
        c_sdk.IS_PY2 = "rebound"
        c_sdk.extra = 1
        del sys.modules["c_sdk"], sys.modules["vq.constant"], sys.modules["vq.utils"]
        import c_sdk
        assert c_sdk is first and c_sdk.IS_PY2 == "rebound" and c_sdk.extra == 1
        assert "vq.constant" not in sys.modules and "vq.utils" not in sys.modules
        assert importlib.reload(c_sdk) is first and c_sdk.extra == 1
        assert c_sdk.py_vqi_get_orders(b"") is not None
    """)


def test_module_spec_attributes():
    check("""
        import c_sdk
        spec = c_sdk.__spec__
        assert c_sdk.__file__ == spec.origin and c_sdk.__loader__ is spec.loader
        assert c_sdk.__package__ == "" and not hasattr(c_sdk, "__path__")
    """)


def test_exec_on_another_module_object_is_refused():
    check("""
        import ctypes, types
        import c_sdk
        api = ctypes.pythonapi
        api.PyModule_GetDef.restype = ctypes.c_void_p
        api.PyModule_GetDef.argtypes = [ctypes.py_object]
        api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
        definition = api.PyModule_GetDef(c_sdk)
        try:
            api.PyModule_ExecDef(types.ModuleType("other"), definition)
        except RuntimeError as e:
            assert str(e) == "Module 'c_sdk' has already been imported. Re-initialisation is not supported.", e
        else:
            raise AssertionError("no RuntimeError")
        assert api.PyModule_ExecDef(c_sdk, definition) == 0  # the same object: nothing to do
    """)


def test_import_under_a_dotted_name_also_enters_c_sdk():
    check("""
        import importlib.util, sys
        import vqsdk_standin  # noqa: F401  (c_sdk not imported yet)
        path = importlib.util.find_spec("c_sdk").origin
        spec = importlib.util.spec_from_file_location("pkg.c_sdk", path)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        assert sys.modules["c_sdk"] is module and module.__name__ == "pkg.c_sdk"
    """)


def test_missing_platform_package_fails_and_can_be_retried(tmp_path):
    result = check(f"""
        import sys, traceback
        try:
            import c_sdk
        except ModuleNotFoundError as e:
            names = [f.name for f in traceback.extract_tb(e.__traceback__)]
            assert "init c_sdk" in names, names
            assert str(e) == "No module named 'vq'", str(e)
            notes = getattr(e, "__notes__", [])
            assert sys.version_info < (3, 11) or ("'vq'" in notes[0] and "standin/python" in notes[0]), notes
        else:
            raise AssertionError("imported without vq")
        assert "c_sdk" not in sys.modules
        sys.path.insert(0, {STANDIN_PY!r})
        import c_sdk
        assert c_sdk.CSDK_OPERATE_SUCCESS == 0
    """, pythonpath=())


@pytest.mark.parametrize(
    "module, content, missing",
    [
        ("constant", "", "CSDK_OPERATE_SUCCESS"),
        ("utils", "", "vqsdklogger"),
    ],
)
def test_missing_name_in_the_platform_package(tmp_path, module, content, missing):
    fake = tmp_path / "vq"
    fake.mkdir()
    (fake / "__init__.py").write_text("")
    (fake / "constant.py").write_text("CSDK_OPERATE_SUCCESS = 0\n")
    (fake / "utils.py").write_text("import logging\nvqsdklogger = logging.getLogger('x')\n")
    (fake / f"{module}.py").write_text(content)
    check(f"""
        import sys, traceback
        try:
            import c_sdk
        except ImportError as e:
            assert str(e) == "cannot import name {missing!r}", str(e)
            assert "init c_sdk" in [f.name for f in traceback.extract_tb(e.__traceback__)]
        else:
            raise AssertionError("imported")
        assert "c_sdk" not in sys.modules
        import vq.{module}
        vq.{module}.{missing} = "late"
        import c_sdk  # the whole exec step runs again
        assert c_sdk.{missing} == "late" and len(vars(c_sdk)) > 200
    """, pythonpath=(str(tmp_path), STANDIN_PY))


def test_sub_interpreter_import_is_refused():
    result = check("""
        import _testcapi
        import c_sdk
        _testcapi.run_in_subinterp("import c_sdk")
        assert c_sdk.py_vqi_get_orders(b"") is not None  # still usable here
    """)
    assert ("ImportError: Interpreter change detected - this module can only be loaded into one "
            "interpreter per process.") in result.stderr


@pytest.mark.skipif(sys.version_info < (3, 12), reason="no interpreter has a GIL of its own before 3.12")
def test_an_interpreter_with_its_own_gil_can_be_the_one():
    # The private module that makes one is named, and called, differently in 3.12 and 3.13.
    name = "_interpreters" if sys.version_info >= (3, 13) else "_xxsubinterpreters"
    pytest.importorskip(name)
    result = check(f"""
        import sys
        import {name} as interpreters
        own = interpreters.create("isolated") if sys.version_info >= (3, 13) else interpreters.create(isolated=True)
        interpreters.run_string(own, "import c_sdk; print(c_sdk.py_vqi_get_orders(b'') is not None, flush=True)")
        try:
            import c_sdk
        except ImportError as e:
            print(e, flush=True)
        interpreters.destroy(own)
    """)
    assert result.stdout.splitlines() == [
        "True", "Interpreter change detected - this module can only be loaded into one interpreter per process."]
