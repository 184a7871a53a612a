"""A moving-average cross strategy, end to end through c_sdk: configure the SDK, register the
event handler, subscribe, trade on 1-minute bars, check the account, stop.

    make demo                                   # builds c_sdk, then runs this
    python examples/ma_cross.py [--seed N] [--json]

Without the vendor's SDK, c_sdk runs on the project's stand-in library (standin/), whose market
makes up the prices from the seed: the same seed gives the same session, trades and figures.
Needs standin/python on the path (for the `vq` package and the stand-in's control).
"""

from __future__ import annotations

import argparse
import json
import logging
import os
import sys
import time
from collections import Counter, deque

import c_sdk
from vqsdk_standin import enable_market

SYMBOLS = ("SIM.ALPHA", "SIM.BETA", "SIM.GAMMA")
START, END = "2026-01-05 09:30:00", "2026-01-05 15:00:00"
STOP_AT = "14:59:00"  # the strategy stops itself here
INITIAL_CASH = 1_000_000.0
COMMISSION, SLIPPAGE = 0.0003, 0.0001
FAST, SLOW = 5, 20  # moving averages of 1-minute closes
LOT = 100
ACCOUNT_CHECK_MS = 60 * 60 * 1000  # market time

log = logging.getLogger("demo")


def ok(status: int, function: str) -> bool:
    """True on success; a failure is logged by c_sdk (logger "vqsdk") with the SDK's text."""
    return not c_sdk.c_status_fail(status, function)


class Strategy:
    def __init__(self, progress: Progress):
        self.progress = progress
        self.closes = {s: deque(maxlen=SLOW) for s in SYMBOLS}
        self.last_price: dict[str, float] = {}
        self.holding = Counter()  # from the execution reports
        self.topics = Counter()
        self.orders = self.fills = self.rejected = self.failures = 0
        self.bought = self.sold = self.commission = 0.0
        self.clock = START
        self.nav = INITIAL_CASH
        self.handlers = {
            "tick": self.on_tick,
            "bar": self.on_bar,
            "execrpt": self.on_execution,
            "order_status": self.on_order_status,
            "user_timer": self.on_account_check,
            "schedule": self.on_schedule,
        }

    # ---- setup ----

    def start(self) -> bool:
        c_sdk.py_vqi_set_serv_addr("127.0.0.1:7001")
        steps = [
            (c_sdk.py_vqi_set_token("demo-token"), "vqi_set_token"),
            (c_sdk.py_vqi_set_backtest_config(START, END, INITIAL_CASH, 1.0, COMMISSION, 0.0, SLIPPAGE,
                                              0.1, 0.1, 1, 0, 0), "vqi_set_backtest_config"),
        ]
        c_sdk.py_vqi_set_data_callback(self.on_event)
        symbols = ",".join(SYMBOLS)
        steps += [
            (c_sdk.py_vqi_subscribe(symbols, "tick", False), "vqi_subscribe"),
            (c_sdk.py_vqi_subscribe(symbols, "60s", False), "vqi_subscribe"),
            (c_sdk.py_vqi_schedule("1d", STOP_AT), "vqi_schedule"),
        ]
        if c_sdk.py_vqi_user_timer(ACCOUNT_CHECK_MS, ACCOUNT_CHECK_MS) <= 0:
            steps.append((-1, "vqi_user_timer"))
        return all([ok(status, name) for status, name in steps])

    # ---- events ----

    def on_event(self, topic: str, payload: bytes) -> None:
        """The one handler the SDK calls, for every event, on the thread inside py_vqi_run."""
        self.topics[topic] += 1
        handler = self.handlers.get(topic)
        if handler is not None:
            handler(json.loads(payload))
        self.progress.tick(self)

    def on_tick(self, data: dict) -> None:
        tick = c_sdk.TickLikeDict2(data)
        self.last_price[tick.symbol] = tick.price
        self.clock = tick.created_at

    def on_bar(self, data: dict) -> None:
        bar = c_sdk.BarLikeDict2(data)
        closes = self.closes[bar.symbol]
        before = trend(closes)
        closes.append(bar.close)
        after = trend(closes)
        if before is None or after == before:
            return
        if after > 0 and not self.holding[bar.symbol]:
            self.buy(bar.symbol)
        elif after < 0 and self.holding[bar.symbol]:
            self.place(bar.symbol, "sell", self.holding[bar.symbol])

    def on_execution(self, data: dict) -> None:
        self.fills += 1
        self.commission += data["commission"]
        if data["side"] == "buy":
            self.holding[data["symbol"]] += data["volume"]
            self.bought += data["amount"]
        else:
            self.holding[data["symbol"]] -= data["volume"]
            self.sold += data["amount"]

    def on_order_status(self, data: dict) -> None:
        if data["status"] == "rejected":
            self.rejected += 1
            log.info("order %s rejected: %s", data["cl_ord_id"], data.get("rej_reason"))

    def on_account_check(self, data: dict) -> None:
        self.check_account()
        self.progress.line(self)

    def check_account(self) -> None:
        cash = self.query(c_sdk.py_vqi_get_cash, "vqi_get_cash_pb")
        if cash is not None:
            self.nav = cash["nav"]

    def on_schedule(self, data: dict) -> None:
        ok(c_sdk.py_vqi_stop(), "vqi_stop")

    # ---- trading ----

    def buy(self, symbol: str) -> None:
        cash = self.query(c_sdk.py_vqi_get_cash, "vqi_get_cash_pb")
        if cash is None:
            return
        budget = min(cash["available"], INITIAL_CASH / len(SYMBOLS)) * 0.95
        volume = int(budget / (self.last_price[symbol] * (1 + COMMISSION)) / LOT) * LOT
        if volume:
            self.place(symbol, "buy", volume)

    def place(self, symbol: str, side: str, volume: int) -> None:
        request = {"symbol": symbol, "side": side, "order_type": "market", "volume": volume}
        status, _order = c_sdk.py_vqi_place_order(json.dumps(request).encode())
        if ok(status, "vqi_place_order_pb"):
            self.orders += 1
        else:
            self.failures += 1

    def query(self, function, name: str):
        status, response = function(b"{}")
        if not ok(status, name):
            self.failures += 1
            return None
        return json.loads(response)


def trend(closes: deque) -> int | None:
    """+1 while the fast average is above the slow one, -1 while below, None until enough bars."""
    if len(closes) < SLOW:
        return None
    fast = sum(list(closes)[-FAST:]) / FAST
    slow = sum(closes) / SLOW
    return (fast > slow) - (fast < slow)


class Progress:
    """One line rewritten in place on a terminal; elsewhere a plain line at each account check."""

    def __init__(self, enabled: bool):
        self.enabled = enabled
        self.live = enabled and sys.stdout.isatty()
        self.next_draw = 0.0

    def text(self, s: Strategy) -> str:
        return (f"[{s.clock[11:19]}] events {sum(s.topics.values()):>7,}  orders {s.orders:>3}  "
                f"fills {s.fills:>3}  nav {s.nav:>14,.2f}")

    def tick(self, s: Strategy) -> None:
        if self.live and s.topics.total() % 200 == 0 and time.monotonic() >= self.next_draw:
            self.next_draw = time.monotonic() + 0.05
            s.check_account()
            print("\r" + self.text(s), end="", flush=True)

    def line(self, s: Strategy) -> None:
        if self.enabled and not self.live:
            print(self.text(s), flush=True)

    def done(self, s: Strategy) -> None:
        if self.live:
            print("\r" + self.text(s), flush=True)


def summary(s: Strategy, seconds: float, seed: int) -> dict:
    cash = s.query(c_sdk.py_vqi_get_cash, "vqi_get_cash_pb") or {}
    positions = s.query(c_sdk.py_vqi_get_positions, "vqi_get_positions_pb") or []
    orders = s.query(c_sdk.py_vqi_get_orders, "vqi_get_orders_pb") or []
    events = sum(s.topics.values())
    return {
        "seed": seed,
        "symbols": list(SYMBOLS),
        "session": [START, END],
        "stopped_at": s.clock,
        "events": events,
        "topics": dict(sorted(s.topics.items())),
        "orders": s.orders,
        "orders_queried": len(orders),
        "fills": s.fills,
        "rejected": s.rejected,
        "failures": s.failures,
        "bought": round(s.bought, 2),
        "sold": round(s.sold, 2),
        "commission": round(s.commission, 2),
        "holding": {k: v for k, v in sorted(s.holding.items()) if v},
        "cash": cash,
        "positions": positions,
        "run_seconds": round(seconds, 3),
        "events_per_second": round(events / seconds) if seconds > 0 else None,
    }


def print_summary(r: dict) -> None:
    cash = r["cash"]
    topics = ", ".join(f"{k} {v:,}" for k, v in r["topics"].items())
    print(f"\nsession {r['session'][0]} .. {r['session'][1][11:]}, stopped at {r['stopped_at'][11:]}")
    print(f"  events     {r['events']:,} ({topics})")
    print(f"  orders     {r['orders']} placed, {r['fills']} filled, {r['rejected']} rejected, "
          f"{r['failures']} failed calls")
    print(f"  traded     bought {r['bought']:,.2f}, sold {r['sold']:,.2f}, commission {r['commission']:,.2f}")
    print(f"  cash       {cash.get('available', 0):,.2f} available")
    for i, p in enumerate(r["positions"]):
        print(f"  {'positions' if i == 0 else '':<10} {p['symbol']:<10} {p['volume']:>7,} @ {p['vwap']:.2f}"
              f"  now {p['price']:.2f}  value {p['market_value']:,.2f}  fpnl {p['fpnl']:+,.2f}")
    if not r["positions"]:
        print("  positions  none")
    print(f"  nav        {cash.get('nav', 0):,.2f} (pnl {cash.get('pnl', 0):+,.2f})")
    print(f"  speed      {r['events_per_second'] or 0:,} events/s through the callback "
          f"({r['run_seconds']:.2f} s in py_vqi_run)")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seed", type=int, default=7, help="picks the market's prices (default 7)")
    parser.add_argument("--json", action="store_true", help="print only the summary, as JSON")
    args = parser.parse_args(argv)

    logging.basicConfig(level=logging.INFO, stream=sys.stderr, format="%(name)s: %(message)s")
    logging.getLogger("vqsdk").setLevel(logging.DEBUG)  # c_sdk reports SDK failures at debug level
    # The stand-in's market: live, behind the session recorder, or (None) a replayed recording.
    standin = enable_market(args.seed)

    strategy = Strategy(Progress(enabled=not args.json))
    if not args.json:
        print(f"c_sdk demo: moving-average cross ({FAST}/{SLOW} one-minute bars) on {', '.join(SYMBOLS)}")
        if standin is None:
            print(f"the SDK is a recorded session, replayed from {os.environ['VQSDK_REPLAY_FILE']} (--seed is not used)")
        else:
            print(f"the SDK is the project's stand-in, its market seeded with {args.seed}")
    if not strategy.start():
        return 1
    began = time.perf_counter()
    status = c_sdk.py_vqi_run()
    seconds = time.perf_counter() - began
    strategy.progress.done(strategy)
    result = summary(strategy, seconds, args.seed)
    if args.json:
        print(json.dumps(result, indent=1))
    else:
        print_summary(result)
    return 0 if ok(status, "vqi_run") and not strategy.failures else 1


if __name__ == "__main__":
    raise SystemExit(main())
