"""A first strategy (docs/quickstart.md): buy SIM.ALPHA after a rising 5-minute bar, sell after a
falling one, stop at 11:00. Run: PYTHONPATH=standin/python .venv/bin/python examples/quickstart.py"""
import json

import c_sdk
from vqsdk_standin import enable_market

enable_market(seed=7)  # the stand-in's seeded market (in a replay, the recording answers instead)
# the session: start, end, cash, then ratios (transaction, commission, commission unit, slippage, margins), modes
c_sdk.py_vqi_set_backtest_config("2026-01-05 09:30:00", "2026-01-05 15:00:00", 100_000.0,
                                 1.0, 0.0003, 0.0, 0.0, 0.1, 0.1, 1, 0, 0)
held = {"SIM.ALPHA": 0}


def on_event(topic: str, payload: bytes) -> None:
    event = json.loads(payload)
    if topic == "bar":
        symbol, rising = event["symbol"], event["close"] > event["open"]
        if rising != bool(held[symbol]):  # rising and flat: buy; falling and holding: sell
            order = {"symbol": symbol, "side": "buy" if rising else "sell", "volume": held[symbol] or 1000}
            status, _ = c_sdk.py_vqi_place_order(json.dumps(order))
            assert c_sdk.c_status_ok(status), status
        if event["eob"].endswith("11:00:00"):
            c_sdk.py_vqi_stop()
    elif topic == "execrpt":  # our order filled
        held[event["symbol"]] += event["volume"] if event["side"] == "buy" else -event["volume"]
        print(f"{event['created_at'][11:]}  {event['side']:<4} {event['volume']} @ {event['price']:.2f}")


c_sdk.py_vqi_set_data_callback(on_event)
c_sdk.py_vqi_subscribe("SIM.ALPHA", "300s", False)
c_sdk.py_vqi_run()  # delivers events until py_vqi_stop()
status, answer = c_sdk.py_vqi_get_cash(b"{}")  # the answer is None unless the status is a success
assert c_sdk.c_status_ok(status) and answer is not None, status
cash = json.loads(answer)
print(f"held {held['SIM.ALPHA']}, nav {cash['nav']:,.2f} (pnl {cash['pnl']:+,.2f})")
