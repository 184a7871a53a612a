"""Every binding of the module, driven from the surface table: it reaches its own SDK function
with its arguments converted and in native order, returns its kind of result, and on bad input
raises before anything reaches the SDK."""

import traceback

import pytest

import c_sdk
from conftest import FAILURE, SUCCESS
from surface import BINDINGS
from vqsdk_standin import OUT, PTR, Call

pytestmark = pytest.mark.success_constant


class Raises:
    """An argument whose every conversion fails."""

    def __bool__(self):
        raise ValueError("no truth")

    def __int__(self):
        raise ValueError("no int")

    def __float__(self):
        raise ValueError("no float")

    def __len__(self):
        raise ValueError("no len")


def handler(topic, data):
    pass


def sample(kind, i):
    """A valid argument of `kind` for parameter `i`, and what the SDK should receive for it."""
    return {
        "req": (b"r\x00" + bytes([65 + i]), b"r\x00" + bytes([65 + i])),
        "text": (b"t%d\x00tail" % i, b"t%d" % i),
        "int": (10 + i, 10 + i),
        "real": (0.5 + i, 0.5 + i),
        "bool": ([1] if i % 2 else [], bool(i % 2)),
        "flag": (-3 + (i % 2) * 3, i % 2 == 0),
        "handler": (handler, PTR),
    }[kind]


def expected_natives(binding, sent):
    out = []
    for native in binding.natives:
        if native == "out":
            out.append(OUT)
        elif native == "null":
            out.append(None)
        elif native == "callback":
            out.append(PTR)
        elif native.startswith("len:"):
            out.append(len(sent[native[4:]]))
        else:
            out.append(sent[native])
    return tuple(out)


def arguments(binding):
    args, sent = [], {}
    for i, (name, kind) in enumerate(binding.params):
        value, received = sample(kind, i)
        args.append(value)
        sent[name] = received
    return args, sent


RESULT_TYPES = {"query": tuple, "status": int, "none": type(None), "text": bytes, "address": bytes}


@pytest.mark.parametrize("binding", BINDINGS, ids=lambda b: b.name)
def test_binding_reaches_its_sdk_function(sdk, binding):
    args, sent = arguments(binding)
    result = getattr(c_sdk, binding.name)(*args)
    assert sdk.calls() == [Call(binding.sdk, expected_natives(binding, sent))]
    assert type(result) is RESULT_TYPES[binding.result]
    if binding.result == "query":
        status, response = result
        assert status == SUCCESS and response.startswith(binding.sdk.encode())
        if "req" in sent:
            assert sent["req"] in response  # the request arrived whole, NULs included


@pytest.mark.parametrize("binding", [b for b in BINDINGS if len(b.params) > 1], ids=lambda b: b.name)
def test_keywords_in_any_order_bind_like_positions(sdk, binding):
    args, sent = arguments(binding)
    names = [name for name, _ in binding.params]
    getattr(c_sdk, binding.name)(**dict(reversed(list(zip(names, args)))))
    assert sdk.calls() == [Call(binding.sdk, expected_natives(binding, sent))]


@pytest.mark.parametrize("binding", [b for b in BINDINGS if b.decorated and "text" in dict(b.params).values()],
                         ids=lambda b: b.name)
def test_decorated_bindings_take_ascii_text(sdk, binding):
    args, sent = arguments(binding)
    text_args = [a.split(b"\x00")[0].decode() if kind == "text" else a
                 for a, (_, kind) in zip(args, binding.params)]
    getattr(c_sdk, binding.name)(*text_args)
    assert sdk.calls() == [Call(binding.sdk, expected_natives(binding, sent))]


@pytest.mark.parametrize("binding", [b for b in BINDINGS if not b.decorated and
                                     {"text", "req"} & set(dict(b.params).values())], ids=lambda b: b.name)
def test_plain_bindings_refuse_text(sdk, binding):
    args, _ = arguments(binding)
    args = [a.decode("latin-1") if isinstance(a, bytes) else a for a in args]
    with pytest.raises(TypeError, match="expected bytes, str found"):
        getattr(c_sdk, binding.name)(*args)
    assert sdk.calls() == []


BAD = [(b, i) for b in BINDINGS for i, (_, kind) in enumerate(b.params) if kind != "handler"]


@pytest.mark.parametrize("binding, index", BAD, ids=lambda x: x.name if hasattr(x, "name") else str(x))
def test_bad_argument_never_reaches_the_sdk(sdk, binding, index):
    args, _ = arguments(binding)
    args[index] = Raises() if binding.params[index][1] in ("bool", "int", "real") else None
    with pytest.raises((TypeError, ValueError)) as err:
        getattr(c_sdk, binding.name)(*args)
    assert f"c_sdk.{binding.name}" in [f.name for f in traceback.extract_tb(err.value.__traceback__)]
    assert sdk.calls() == []


@pytest.mark.parametrize("binding", BINDINGS, ids=lambda b: b.name)
def test_wrong_argument_count_never_reaches_the_sdk(sdk, binding):
    args, _ = arguments(binding)
    with pytest.raises(TypeError, match=binding.name):
        getattr(c_sdk, binding.name)(*args, b"extra")
    assert sdk.calls() == []


@pytest.mark.parametrize("binding", [b for b in BINDINGS if b.result in ("query", "address")], ids=lambda b: b.name)
def test_failed_status_gives_no_response(sdk, binding):
    sdk.script(binding.sdk, status=FAILURE, **({"response": b"ignored"} if binding.result == "query" else {"text": "x"}))
    args, _ = arguments(binding)
    result = getattr(c_sdk, binding.name)(*args)
    assert result == ((FAILURE, None) if binding.result == "query" else None)
