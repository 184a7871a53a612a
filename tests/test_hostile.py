"""The SDK breaking its contract, and a success constant that misbehaves, across every binding
whose result depends on them: the module survives each with one defined outcome.

  - query, success, null response with a length, or a negative length: (status, None)
  - query, success, *res_len left unset: (status, b'')
  - text getter returning a null pointer: b''
  - CSDK_OPERATE_SUCCESS whose __eq__ raises: the exception propagates, after the one SDK call
  - CSDK_OPERATE_SUCCESS whose __eq__ returns a non-bool: its truth value decides
(The events counterparts are in test_events.py.)"""

import traceback

import pytest

import c_sdk
from conftest import FAILURE, SUCCESS
from surface import BINDINGS, EXPOSED

pytestmark = pytest.mark.success_constant

SAMPLE = {"req": b"r\0q", "text": b"t", "int": 3, "real": 0.5, "bool": True, "flag": 1, "handler": print}
QUERIES = [b for b in BINDINGS if b.result == "query"]
TESTED_FOR_SUCCESS = [b for b in BINDINGS if b.result in ("query", "address")]
TEXT_GETTERS = [(b.name, b.sdk) for b in BINDINGS if b.result == "text"] + [
    (name, name) for name, (_, _, result) in EXPOSED.items() if result == "text"]


def call(binding):
    return getattr(c_sdk, binding.name)(*[SAMPLE[kind] for _, kind in binding.params])


class Boom(Exception):
    pass


class Raising:
    def __bool__(self):
        raise Boom("truth")


class Equal:
    """A success constant whose == gives `outcome` (raising it when it is an exception)."""

    def __init__(self, outcome):
        self.outcome = outcome

    def __eq__(self, other):
        if isinstance(self.outcome, Exception):
            raise self.outcome
        return self.outcome

    __hash__ = None


# script -> the response half of the result
BROKEN_RESPONSES = [
    (dict(null_response=True, res_len=5), None),
    (dict(null_response=True, res_len=-7), None),
    (dict(response=b"abc", res_len=-1), None),
    (dict(response=b"abc", skip_res_len=True), b""),
    (dict(null_response=True, skip_res_len=True), b""),
    (dict(null_response=True, res_len=0), b""),
    (dict(response=b"a\0", res_len=5), b"a\0\0\0\0"),  # read exactly res_len bytes, no more
    (dict(status=FAILURE, null_response=True, res_len=-1), None),
]


@pytest.mark.parametrize("binding", QUERIES, ids=lambda b: b.name)
def test_query_survives_broken_responses(sdk, binding):
    for script, _ in BROKEN_RESPONSES:
        sdk.script(binding.sdk, once=True, **script)
    got = [call(binding) for _ in BROKEN_RESPONSES]
    assert got == [(script.get("status", SUCCESS), response) for script, response in BROKEN_RESPONSES]
    assert len(sdk.calls()) == len(BROKEN_RESPONSES)


@pytest.mark.parametrize("name, sdk_name", TEXT_GETTERS, ids=[n for n, _ in TEXT_GETTERS])
def test_text_getter_survives_a_null_text(sdk, name, sdk_name):
    fn = getattr(c_sdk, name)
    args = [7] if "strerror" in name else []
    sdk.script(sdk_name, null_text=True, once=True)
    sdk.script(sdk_name, text="", once=True)
    assert [fn(*args), fn(*args)] == [b"", b""]


# outcome of == -> whether the call counts as a success
# (NotImplemented: both sides decline, and == falls back to identity.)
OUTCOMES = [([1], True), ([], False), ("yes", True), (0.0, False), (None, False), (NotImplemented, False)]


@pytest.mark.parametrize("binding", TESTED_FOR_SUCCESS, ids=lambda b: b.name)
def test_success_constant_of_any_behaviour(sdk, binding):
    success = {"query": lambda r: r[1] is not None, "address": lambda r: r is not None}[binding.result]
    for outcome, expected in OUTCOMES:
        c_sdk.CSDK_OPERATE_SUCCESS = Equal(outcome)
        assert success(call(binding)) is expected, outcome
    for constant in (Equal(Boom("eq")), Equal(Raising())):
        c_sdk.CSDK_OPERATE_SUCCESS = constant
        sdk.clear_calls()
        with pytest.raises(Boom) as err:
            call(binding)
        assert len(sdk.calls()) == 1  # raised after the SDK answered, never before
        assert f"c_sdk.{binding.name}" in [f.name for f in traceback.extract_tb(err.value.__traceback__)]


@pytest.mark.parametrize("binding", [b for b in BINDINGS if b not in TESTED_FOR_SUCCESS], ids=lambda b: b.name)
def test_other_bindings_never_consult_the_success_constant(sdk, binding):
    c_sdk.CSDK_OPERATE_SUCCESS = Equal(Boom("consulted"))
    call(binding)
    assert len(sdk.calls()) == 1

