"""The SDK functions published under their own names."""

import pytest

import c_sdk
from conftest import SUCCESS
from surface import EXPOSED
from vqsdk_standin import Call

SAMPLE = {"text": b"t\x00hidden", "int": -7, "bool": True}
SENT = {"text": b"t", "int": -7, "bool": True}


@pytest.mark.parametrize("name", EXPOSED)
def test_exposed_function(sdk, name):
    doc, params, result = EXPOSED[name]
    fn = getattr(c_sdk, name)
    assert (fn.__name__, fn.__doc__) == ("wrap", doc)
    kinds = [p.split(":")[1] for p in params.split()]
    out = fn(*[SAMPLE[k] for k in kinds])
    assert sdk.calls() == [Call(name, tuple(SENT[k] for k in kinds))]
    expected_type = {"none": type(None), "text": bytes, "status": int, "long": int, "real": float}[result]
    assert type(out) is expected_type
    if len(kinds) > 1:  # by keyword, in any order
        names = [p.split(":")[0] for p in params.split()]
        fn(**dict(reversed(list(zip(names, [SAMPLE[k] for k in kinds])))))
        assert sdk.calls()[-1] == Call(name, tuple(SENT[k] for k in kinds))


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: c_sdk.vqi_init(1), r"^wrap\(\) takes no arguments \(1 given\)$"),
        (lambda: c_sdk.vqi_set_mode(), r"^wrap\(\) takes exactly one argument \(0 given\)$"),
        (lambda: c_sdk.vqi_set_mode(mode=1), r"^wrap\(\) takes no keyword arguments$"),
        (lambda: c_sdk.vqi_now(x=1), r"^wrap\(\) takes no keyword arguments$"),
        (lambda: c_sdk.vqi_send_msg_to_bus(b"t"), r"^wrap\(\) takes exactly 2 positional arguments \(1 given\)$"),
        (lambda: c_sdk.vqi_send_msg_to_bus(b"t", b"m", x=1), r"^wrap\(\) got an unexpected keyword argument 'x'$"),
        (lambda: c_sdk.vqi_add_bus_topic("topic"), r"^expected bytes, str found$"),
        (lambda: c_sdk.vqi_strerror(2**31), None),
    ],
)
def test_exposed_argument_errors(sdk, call, message):
    with pytest.raises((TypeError, OverflowError), match=message):
        call()
    assert sdk.calls() == []


def test_exposed_and_binding_reach_the_same_sdk_function(sdk):
    c_sdk.py_vqi_add_bus_topic("topic")  # decorated: text is adapted
    c_sdk.vqi_add_bus_topic(b"topic")
    assert sdk.calls() == [Call("vqi_add_bus_topic", (b"topic",))] * 2
    assert c_sdk.vqi_add_bus_topic is not c_sdk.py_vqi_add_bus_topic


def test_exposed_results(sdk):
    c_sdk.vqi_send_msg_to_bus(msg=b"m", topic=b"t")
    assert sdk.last_call() == Call("vqi_send_msg_to_bus", (b"t", b"m"))
    sdk.script("vqi_now", value=2**40 + 3)
    assert c_sdk.vqi_now() == 2**40 + 3
    sdk.script("vqi_now_plus", value=1.25)
    assert c_sdk.vqi_now_plus() == 1.25
    sdk.script("vqi_poll", status=SUCCESS + 5)
    assert c_sdk.vqi_poll() == SUCCESS + 5
    sdk.script("vqi_get_c_version", null_text=True)
    assert c_sdk.vqi_get_c_version() == b""
