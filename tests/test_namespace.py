"""What `import c_sdk` binds, in which order, and as which kinds of object."""

import builtins
import functools
import inspect
import platform
import types

import pytest

import c_sdk
import vq.constant
import vq.utils
from surface import BINDING_ORDER, BY_NAME, DECORATED, EXPOSED, HELPERS, NAMESPACE, RECORD_CLASSES

STANDARD = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__", "__builtins__"}


def test_namespace_order():
    names = [n for n in vars(c_sdk) if n not in STANDARD]
    assert names == NAMESPACE
    assert len(names) == 211


def test_module_attributes():
    assert c_sdk.__doc__ is None
    assert c_sdk.__name__ == "c_sdk"
    assert c_sdk.__builtins__ is builtins
    assert c_sdk.__test__ == {}
    assert c_sdk.functools is functools and c_sdk.platform is platform
    assert c_sdk.CSDK_OPERATE_SUCCESS is vq.constant.CSDK_OPERATE_SUCCESS
    assert c_sdk.vqsdklogger is vq.utils.vqsdklogger
    assert c_sdk.IS_PY2 is False and c_sdk.IS_PY3 is True


@pytest.mark.parametrize("name", BINDING_ORDER)
def test_binding_objects(name):
    obj = getattr(c_sdk, name)
    if name in DECORATED:
        assert obj.__name__ == "wrapper"
        assert obj.__qualname__ == "adapt_to_python3.<locals>.wrapper"
        assert obj.__doc__ is None
        obj = obj.__wrapped__
    assert isinstance(obj, types.BuiltinFunctionType)
    assert (obj.__name__, obj.__module__, obj.__self__) == (name, "c_sdk", None)
    params = [p for p, _ in BY_NAME[name].params]
    assert list(inspect.signature(obj).parameters) == params


def test_decorated_set():
    assert sum(getattr(c_sdk, n).__name__ == "wrapper" for n in BINDING_ORDER) == 60 == len(DECORATED)


@pytest.mark.parametrize("name", HELPERS)
def test_helpers_are_plain_builtins(name):
    obj = getattr(c_sdk, name)
    assert isinstance(obj, types.BuiltinFunctionType)
    assert (obj.__name__, obj.__module__, obj.__self__) == (name, "c_sdk", None)


@pytest.mark.parametrize("name", EXPOSED)
def test_exposed_objects(name):
    obj = getattr(c_sdk, name)
    assert callable(obj) and obj.__name__ == "wrap" and obj.__doc__ == EXPOSED[name][0]


def test_record_classes_bound_in_order():
    assert [n for n in vars(c_sdk) if n in RECORD_CLASSES] == RECORD_CLASSES
    for name in RECORD_CLASSES:
        assert isinstance(getattr(c_sdk, name), type)
