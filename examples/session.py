"""A short session through c_sdk on the SDK stand-in: configure, query, place an order, check
the statuses the way the platform's package does."""

import logging

import c_sdk

logging.basicConfig(level=logging.DEBUG, format="%(name)s %(levelname)s %(message)s")


def main() -> int:
    c_sdk.py_vqi_set_token("demo-token")
    c_sdk.py_vqi_set_serv_addr("127.0.0.1:7001")
    c_sdk.py_vqi_set_backtest_config("2026-01-05 09:30:00", "2026-01-05 15:00:00",
                                     1_000_000, 1.0, 0.0003, 0.0, 0.0, 0.1, 0.1, 1, 0, 0)
    print("sdk version:", c_sdk.vqi_get_c_version().decode())
    status, response = c_sdk.py_vqi_place_order(b"SHSE.600000 buy 100")
    print("place order:", status, response)
    status, response = c_sdk.py_vqi_get_cash(b"account-1")
    print("cash:", status, response)
    if c_sdk.c_status_fail(-1, "vqi_get_orders_pb"):
        print("a failed status is logged with its text")
    return 0 if c_sdk.c_status_ok(status) else 1


if __name__ == "__main__":
    raise SystemExit(main())
