"""docs/market.md against the stand-in's market: every event and answer a session produces has
the fields and JSON types its table gives, and the order request is read as its table says."""

import json
import re
from pathlib import Path

import pytest

import c_sdk
from conftest import SUCCESS

PAGE = (Path(__file__).resolve().parents[1] / "docs" / "market.md").read_text()
BAD_REQUEST = 1001
TYPES = {"text": str, "integer": int, "number": (int, float), "list": list}
TIME = re.compile(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d(\.\d{3})?")


def tables():
    """{name: rows}: each table of the page under the heading naming it (`name`), a row being
    {column: cell} with the backticks of a field's name taken off."""
    found, name, header = {}, None, None
    for line in PAGE.splitlines():
        if line.startswith("#"):
            name, header = (re.findall(r"`([^`]+)`", line) or [None])[0], None
        elif line.startswith("|") and name:
            cells = [c.strip() for c in line.strip("|").split("|")]
            if header is None:
                header = cells
            elif not set(line) <= set("|-: "):
                row = dict(zip(header, cells))
                row["field"] = row["field"].strip("`")
                found.setdefault(name, []).append(row)
    return {k: v for k, v in found.items() if "type" in v[0]}


DOCUMENTED = tables()
REQUEST = DOCUMENTED.pop("vqi_place_order_pb")


def session():
    """A short session that produces every event and answer once at least: what it delivered
    and answered, by the names of the page's tables."""
    got = {}
    c_sdk.py_vqi_set_data_callback(lambda topic, payload: got.setdefault(topic, []).append(json.loads(payload)))
    assert c_sdk.py_vqi_set_backtest_config("2026-01-05 09:30:00", "2026-01-05 09:32:00", 10_000.0, 1.0, 0.0003,
                                            0.0, 0.0, 0.1, 0.1, 1, 0, 0) == SUCCESS
    assert c_sdk.py_vqi_subscribe("A", "tick", False) == c_sdk.py_vqi_subscribe("A", "60s", False) == SUCCESS
    c_sdk.py_vqi_set_timer(30_000)
    assert c_sdk.py_vqi_user_timer(60_000, 0) > 0 and c_sdk.py_vqi_schedule("1d", "09:31:00") == SUCCESS
    placed = [c_sdk.py_vqi_place_order(json.dumps({"symbol": "A", "side": side, "volume": volume}))
              for side, volume in (("buy", 100), ("sell", 1000))]  # a fill and a rejection
    assert c_sdk.py_vqi_run() == SUCCESS
    answer = {name: json.loads(function(b"{}")[1]) for name, function in [
        ("orders", c_sdk.py_vqi_get_orders), ("fills", c_sdk.py_vqi_get_execution_reports),
        ("vqi_get_cash_pb", c_sdk.py_vqi_get_cash), ("vqi_get_positions_pb", c_sdk.py_vqi_get_positions)]}
    got["quotes"] = [q for tick in got["tick"] for q in tick["quotes"]]
    got["order_status"] += [json.loads(response) for _, response in placed] + answer["orders"]
    got["execrpt"] += answer["fills"]
    got["vqi_get_cash_pb"] = [answer["vqi_get_cash_pb"]]
    got["vqi_get_positions_pb"] = answer["vqi_get_positions_pb"]
    return got


@pytest.fixture
def market(sdk):
    sdk.market_enable(3, tick_interval=3000, length=0)
    yield sdk
    sdk.market_disable()


def test_every_event_and_answer_has_its_table(market):
    assert sorted(session()) == sorted(DOCUMENTED)


@pytest.mark.parametrize("name", DOCUMENTED)
def test_fields_and_types_are_as_the_table_says(market, name):
    rows = DOCUMENTED[name]
    optional = {r["field"] for r in rows if r["what"].startswith("only ")}
    samples = session()[name]
    assert samples
    for sample in samples:
        assert {r["field"] for r in rows} - optional <= set(sample) <= {r["field"] for r in rows}, sample
        for r in rows:
            value = sample.get(r["field"], "")
            if r["type"] == "time":
                assert TIME.fullmatch(value), (r["field"], value)
            else:
                assert isinstance(value, TYPES[r["type"]]) and not isinstance(value, bool), (r["field"], value)


WRONG_TYPE = {"text": 1, "number": "1"}


@pytest.mark.parametrize("change", ["none"] + [f"{how} {r['field']}" for r in REQUEST for how in ("drop", "retype")])
def test_order_request_fields_are_read_as_the_table_says(market, change):
    session()  # a fresh session, no orders yet
    request = {r["field"]: json.loads(r["example"].strip("`")) for r in REQUEST}
    expected = SUCCESS
    if change != "none":
        how, field = change.split()
        row = next(r for r in REQUEST if r["field"] == field)
        if how == "drop":
            del request[field]
        else:
            request[field] = WRONG_TYPE[row["type"]]  # counts as absent
        expected = SUCCESS if row["needed"] == "no" else BAD_REQUEST
    assert c_sdk.py_vqi_place_order(json.dumps(request))[0] == expected


@pytest.mark.parametrize("cancel", ["one", "all", "after its fill", "unknown"])
def test_a_cancel_takes_an_order_not_matched_yet(market, cancel):
    assert c_sdk.py_vqi_set_backtest_config("2026-01-05 09:30:00", "2026-01-05 09:32:00", 10_000.0, 1.0, 0.0003,
                                            0.0, 0.0, 0.1, 0.1, 1, 0, 0) == SUCCESS
    got = []

    def handler(topic, payload):
        got.append((topic, json.loads(payload).get("status")))
        if len(got) == 1:  # the first tick: an order, cancelled (or not) before the handler returns
            _, order = c_sdk.py_vqi_place_order(json.dumps({"symbol": "A", "side": "buy", "volume": 100}))
            if cancel in ("one", "all"):
                request = json.dumps({"cl_ord_id": json.loads(order)["cl_ord_id"]})
                assert (c_sdk.py_vqi_cancel_order if cancel == "one" else c_sdk.py_vqi_cancel_all_orders)(request) == SUCCESS
        elif len(got) == 4:
            c_sdk.py_vqi_stop()

    c_sdk.py_vqi_set_data_callback(handler)
    assert c_sdk.py_vqi_subscribe("A", "tick", True) == SUCCESS and c_sdk.py_vqi_run() == SUCCESS
    order = json.loads(c_sdk.py_vqi_get_orders(b"{}")[1])[-1]
    if cancel in ("one", "all"):
        assert got[1] == ("order_status", "cancelled") and order["status"] == "cancelled"
        assert json.loads(c_sdk.py_vqi_get_execution_reports(b"{}")[1]) == []
    else:
        assert got[1:3] == [("execrpt", None), ("order_status", "filled")] and order["status"] == "filled"
        which = order["cl_ord_id"] if cancel == "after its fill" else "o99"
        assert c_sdk.py_vqi_cancel_order(json.dumps({"cl_ord_id": which})) == BAD_REQUEST
