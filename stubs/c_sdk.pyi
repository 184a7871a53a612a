"""Type information for c_sdk, the CPython binding of the native SDK library (libvqsdk.so).

Requests are serialized messages passed whole (NUL bytes included), texts are passed up to their
first NUL. Both are bytes or bytearray; the bindings published through adapt_to_python3 also take
str, which they encode as ASCII first (a non-ASCII str raises UnicodeEncodeError).

A query answers (status, response): the response is bytes when status == CSDK_OPERATE_SUCCESS,
else None. See docs/ for the whole surface, the error model and the event handler protocol.
"""

import functools as functools
import logging
import platform as platform
from collections.abc import Callable, MutableMapping
from datetime import datetime
from typing import Any, TypeAlias, TypeVar

_T = TypeVar("_T")

_Bytes: TypeAlias = bytes | bytearray
# What the bindings published through adapt_to_python3 accept for a request or a text.
_BytesOrStr: TypeAlias = str | bytes | bytearray
# (status, response): the response is None unless status == CSDK_OPERATE_SUCCESS.
_Query: TypeAlias = tuple[int, bytes | None]
_Handler: TypeAlias = Callable[[str, bytes], object]

# ---- Bound at import ----------------------------------------------------------------------------

# From the platform package: the SDK's success status (vq.constant) and the logger SDK failures
# are reported through (vq.utils). Both are looked up in this namespace at each use.
CSDK_OPERATE_SUCCESS: int
vqsdklogger: logging.Logger
IS_PY2: bool
IS_PY3: bool
__test__: dict[str, Any]

# The event handler: bound by py_vqi_set_data_callback, absent until the first registration.
f: _Handler

# ---- Records --------------------------------------------------------------------------------------
# Views over a mapping (`data`): fields and items read as data.get(name) (None when absent) and
# write as data[name] = value. A record is not iterable. A field's type is what the SDK's events
# hold, joined with Any (`float | Any`): a record holds whatever its mapping does, None included.

# A time in a record: a datetime from the platform package, a text from the stand-in's JSON.
_Time: TypeAlias = datetime | str

class QuoteItemLikeDict2:
    """One level of a tick's quotes: the best bid and ask with their volumes (read-only fields)."""

    data: MutableMapping[str, Any]
    def __init__(self, data: MutableMapping[str, Any]) -> None:
        """Makes a view of `data`, the mapping the record reads and writes (kept, not copied)."""
    def __getitem__(self, item: str) -> Any:
        """record[item]: data.get(item), None when absent."""
    def __setitem__(self, item: str, value: Any) -> None:
        """record[item] = value: stores data[item] = value."""
    def __getattr__(self, item: str) -> Any:
        """record.item: data.get(item), None when absent."""
    def __setattr__(self, item: str, value: Any) -> None:
        """record.item = value: stores data[item] = value (record.data = mapping replaces the mapping)."""
    def __str__(self) -> str:
        """str(data)."""
    def __repr__(self) -> str:
        """repr(data)."""
    @property
    def bid_p(self) -> float | Any:
        """The bid price (data.get('bid_p'))."""
    @property
    def bid_v(self) -> int | Any:
        """The volume bid (data.get('bid_v'))."""
    @property
    def ask_p(self) -> float | Any:
        """The ask price (data.get('ask_p'))."""
    @property
    def ask_v(self) -> int | Any:
        """The volume asked (data.get('ask_v'))."""

class TickLikeDict2:
    """A tick: a symbol's last trade and quotes at one time."""

    data: MutableMapping[str, Any]
    def __init__(self, data: MutableMapping[str, Any]) -> None:
        """Makes a view of `data`, the mapping the record reads and writes (kept, not copied)."""
    def __getitem__(self, item: str) -> Any:
        """record[item]: data.get(item), None when absent."""
    def __setitem__(self, item: str, value: Any) -> None:
        """record[item] = value: stores data[item] = value."""
    def __getattr__(self, item: str) -> Any:
        """record.item: data.get(item), None when absent."""
    def __setattr__(self, item: str, value: Any) -> None:
        """record.item = value: stores data[item] = value (record.data = mapping replaces the mapping)."""
    def __str__(self) -> str:
        """str(data)."""
    def __repr__(self) -> str:
        """repr(data)."""
    @property
    def quotes(self) -> list[Any] | Any:
        """The quote levels (mappings of bid_p, bid_v, ask_p, ask_v) (data.get('quotes'))."""
    @quotes.setter
    def quotes(self, value: list[Any] | Any) -> None: ...
    @property
    def symbol(self) -> str | Any:
        """The symbol (data.get('symbol'))."""
    @symbol.setter
    def symbol(self, value: str | Any) -> None: ...
    @property
    def created_at(self) -> _Time | Any:
        """The tick's time (data.get('created_at'))."""
    @created_at.setter
    def created_at(self, value: _Time | Any) -> None: ...
    @property
    def price(self) -> float | Any:
        """The last price (data.get('price'))."""
    @price.setter
    def price(self, value: float | Any) -> None: ...
    @property
    def open(self) -> float | Any:
        """The day's first price (data.get('open'))."""
    @open.setter
    def open(self, value: float | Any) -> None: ...
    @property
    def high(self) -> float | Any:
        """The day's highest price (data.get('high'))."""
    @high.setter
    def high(self, value: float | Any) -> None: ...
    @property
    def low(self) -> float | Any:
        """The day's lowest price (data.get('low'))."""
    @low.setter
    def low(self, value: float | Any) -> None: ...
    @property
    def cum_volume(self) -> int | Any:
        """The volume traded in the day so far (data.get('cum_volume'))."""
    @cum_volume.setter
    def cum_volume(self, value: int | Any) -> None: ...
    @property
    def cum_amount(self) -> float | Any:
        """The amount traded in the day so far (data.get('cum_amount'))."""
    @cum_amount.setter
    def cum_amount(self, value: float | Any) -> None: ...
    @property
    def cum_position(self) -> int | Any:
        """The open interest (data.get('cum_position'))."""
    @cum_position.setter
    def cum_position(self, value: int | Any) -> None: ...
    @property
    def last_amount(self) -> float | Any:
        """The amount of the last trade (data.get('last_amount'))."""
    @last_amount.setter
    def last_amount(self, value: float | Any) -> None: ...
    @property
    def last_volume(self) -> int | Any:
        """The volume of the last trade (data.get('last_volume'))."""
    @last_volume.setter
    def last_volume(self, value: int | Any) -> None: ...
    @property
    def trade_type(self) -> int | Any:
        """The last trade's type (data.get('trade_type'))."""
    @trade_type.setter
    def trade_type(self, value: int | Any) -> None: ...
    @property
    def receive_local_time(self) -> _Time | Any:
        """When the tick was received here (data.get('receive_local_time'))."""
    @receive_local_time.setter
    def receive_local_time(self, value: _Time | Any) -> None: ...

class BarLikeDict2:
    """A bar: a symbol's prices and volume over one interval, from bob to eob."""

    data: MutableMapping[str, Any]
    def __init__(self, data: MutableMapping[str, Any]) -> None:
        """Makes a view of `data`, the mapping the record reads and writes (kept, not copied)."""
    def __getitem__(self, item: str) -> Any:
        """record[item]: data.get(item), None when absent."""
    def __setitem__(self, item: str, value: Any) -> None:
        """record[item] = value: stores data[item] = value."""
    def __getattr__(self, item: str) -> Any:
        """record.item: data.get(item), None when absent."""
    def __setattr__(self, item: str, value: Any) -> None:
        """record.item = value: stores data[item] = value (record.data = mapping replaces the mapping)."""
    def __str__(self) -> str:
        """str(data)."""
    def __repr__(self) -> str:
        """repr(data)."""
    def __contains__(self, key: object) -> bool:
        """key in bar: key in data."""
    @property
    def symbol(self) -> str | Any:
        """The symbol (data.get('symbol'))."""
    @symbol.setter
    def symbol(self, value: str | Any) -> None: ...
    @property
    def eob(self) -> _Time | Any:
        """The bar's end (data.get('eob'))."""
    @eob.setter
    def eob(self, value: _Time | Any) -> None: ...
    @property
    def bob(self) -> _Time | Any:
        """The bar's beginning (data.get('bob'))."""
    @bob.setter
    def bob(self, value: _Time | Any) -> None: ...
    @property
    def open(self) -> float | Any:
        """The first price (data.get('open'))."""
    @open.setter
    def open(self, value: float | Any) -> None: ...
    @property
    def close(self) -> float | Any:
        """The last price (data.get('close'))."""
    @close.setter
    def close(self, value: float | Any) -> None: ...
    @property
    def high(self) -> float | Any:
        """The highest price (data.get('high'))."""
    @high.setter
    def high(self, value: float | Any) -> None: ...
    @property
    def low(self) -> float | Any:
        """The lowest price (data.get('low'))."""
    @low.setter
    def low(self, value: float | Any) -> None: ...
    @property
    def volume(self) -> int | Any:
        """The volume traded (data.get('volume'))."""
    @volume.setter
    def volume(self, value: int | Any) -> None: ...
    @property
    def amount(self) -> float | Any:
        """The amount traded (data.get('amount'))."""
    @amount.setter
    def amount(self, value: float | Any) -> None: ...
    @property
    def pre_close(self) -> float | Any:
        """The previous bar's close (data.get('pre_close'))."""
    @pre_close.setter
    def pre_close(self, value: float | Any) -> None: ...
    @property
    def position(self) -> int | Any:
        """The open interest (data.get('position'))."""
    @position.setter
    def position(self, value: int | Any) -> None: ...
    @property
    def frequency(self) -> str | Any:
        """The bar's length, such as '60s' (data.get('frequency'))."""
    @frequency.setter
    def frequency(self, value: str | Any) -> None: ...
    @property
    def receive_local_time(self) -> _Time | Any:
        """When the bar was received here (data.get('receive_local_time'))."""
    @receive_local_time.setter
    def receive_local_time(self, value: _Time | Any) -> None: ...

class ObjectLikeDict2:
    """Any SDK object as a record: every attribute and item is a key of data."""

    data: MutableMapping[str, Any]
    def __init__(self, data: MutableMapping[str, Any]) -> None:
        """Makes a view of `data`, the mapping the record reads and writes (kept, not copied)."""
    def __getitem__(self, item: str) -> Any:
        """record[item]: data.get(item), None when absent."""
    def __setitem__(self, item: str, value: Any) -> None:
        """record[item] = value: stores data[item] = value."""
    def __getattr__(self, item: str) -> Any:
        """record.item: data.get(item), None when absent."""
    def __setattr__(self, item: str, value: Any) -> None:
        """record.item = value: stores data[item] = value (record.data = mapping replaces the mapping)."""
    def __str__(self) -> str:
        """str(data)."""
    def __repr__(self) -> str:
        """repr(data)."""

# ---- Helpers -------------------------------------------------------------------------------------

def is_windows() -> bool:
    """Whether platform.uname() names Windows.

    Returns a bool.
    """
def is_linux() -> bool:
    """Whether platform.uname() names Linux.

    Returns a bool.
    """
def adapt_to_python3(func: Callable[..., _T], /) -> Callable[..., _T]:
    """Publishes func so that its str arguments are encoded as ASCII bytes (unchanged while IS_PY2).

    func: the function to wrap; the wrapper's __wrapped__, so inspect.signature shows its parameters.
    Returns the wrapper: it calls func with every str argument, positional or keyword, encoded.
    """
def c_status_ok(status: int, /) -> bool:
    """Whether an SDK status is the success status.

    status: the SDK's status.
    Returns status == CSDK_OPERATE_SUCCESS.
    """
def c_status_fail(status: int, cfunname: str = "") -> bool:
    """Whether an SDK status is a failure; a failure is first logged with the SDK's text.

    status: the SDK's status.
    cfunname: the SDK function's name, for the log line (vqsdklogger, debug level).
    Returns status != CSDK_OPERATE_SUCCESS.
    """

# ---- Trading ------------------------------------------------------------------------------------

# orders and executions
def py_vqi_place_order(req: _BytesOrStr, /) -> _Query:
    """Places an order (SDK: vqi_place_order_pb).

    req: the request, a serialized message passed whole (NUL bytes included); a str is encoded as ASCII.
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_cancel_order(req: _BytesOrStr, /) -> int:
    """Cancels orders (SDK: vqi_cancel_orders_pb).

    req: the request, a serialized message passed whole (NUL bytes included); a str is encoded as ASCII.
    Returns the SDK's status (CSDK_OPERATE_SUCCESS on success).
    """
def py_vqi_cancel_all_orders(req: _BytesOrStr, /) -> int:
    """Cancels all open orders (SDK: vqi_cancel_all_orders_pb).

    req: the request, a serialized message passed whole (NUL bytes included); a str is encoded as ASCII.
    Returns the SDK's status (CSDK_OPERATE_SUCCESS on success).
    """
def py_vqi_close_all_positions(req: _BytesOrStr, /) -> _Query:
    """Closes all positions (SDK: vqi_close_all_positions_pb).

    req: the request, a serialized message passed whole (NUL bytes included); a str is encoded as ASCII.
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_get_orders(req: _BytesOrStr, /) -> _Query:
    """Queries the orders (SDK: vqi_get_orders_pb).

    req: the request, a serialized message passed whole (NUL bytes included); a str is encoded as ASCII.
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_get_unfinished_orders(req: _BytesOrStr, /) -> _Query:
    """Queries the orders not finished yet (SDK: vqi_get_unfinished_orders_pb).

    req: the request, a serialized message passed whole (NUL bytes included); a str is encoded as ASCII.
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_get_execution_reports(req: _BytesOrStr, /) -> _Query:
    """Queries the execution reports (fills) (SDK: vqi_get_execution_reports_pb).

    req: the request, a serialized message passed whole (NUL bytes included); a str is encoded as ASCII.
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """

# cash, positions and accounts
def py_vqi_get_cash(req: _BytesOrStr, /) -> _Query:
    """Queries the account's cash (SDK: vqi_get_cash_pb).

    req: the request, a serialized message passed whole (NUL bytes included); a str is encoded as ASCII.
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_get_positions(req: _BytesOrStr, /) -> _Query:
    """Queries the account's positions (SDK: vqi_get_positions_pb).

    req: the request, a serialized message passed whole (NUL bytes included); a str is encoded as ASCII.
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_get_cash_pb_v2(req: _Bytes, /) -> _Query:
    """Queries the account's cash (second form) (SDK: vqi_get_cash_pb_v2).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_get_positions_pb_v2(req: _Bytes, /) -> _Query:
    """Queries the account's positions (second form) (SDK: vqi_get_positions_pb_v2).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_get_accounts() -> _Query:
    """Queries the accounts (SDK: vqi_get_account_info_pb).

    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_get_account_status(req: _BytesOrStr, /) -> _Query:
    """Queries an account's status (SDK: vqi_get_account_status_pb).

    req: the request, a serialized message passed whole (NUL bytes included); a str is encoded as ASCII.
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """

# margin trading
def py_vqi_repay_cash_directly_pb(req: _BytesOrStr, /) -> _Query:
    """Repays margin debt directly in cash (SDK: vqi_repay_cash_directly_pb).

    req: the request, a serialized message passed whole (NUL bytes included); a str is encoded as ASCII.
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_get_collateral_instruments_pb(req: _BytesOrStr, /) -> _Query:
    """Queries the instruments accepted as collateral (SDK: vqi_get_collateral_instruments_pb).

    req: the request, a serialized message passed whole (NUL bytes included); a str is encoded as ASCII.
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_get_borrowable_instruments_pb(req: _BytesOrStr, /) -> _Query:
    """Queries the instruments that can be borrowed (SDK: vqi_get_borrowable_instruments_pb).

    req: the request, a serialized message passed whole (NUL bytes included); a str is encoded as ASCII.
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_get_borrowable_instruments_positions_pb(req: _BytesOrStr, /) -> _Query:
    """Queries the borrowable instruments' positions (SDK: vqi_get_borrowable_instruments_positions_pb).

    req: the request, a serialized message passed whole (NUL bytes included); a str is encoded as ASCII.
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_get_credit_contracts_pb(req: _BytesOrStr, /) -> _Query:
    """Queries the margin credit contracts (SDK: vqi_get_credit_contracts_pb).

    req: the request, a serialized message passed whole (NUL bytes included); a str is encoded as ASCII.
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_get_credit_cash_pb(req: _BytesOrStr, /) -> _Query:
    """Queries the margin account's cash (SDK: vqi_get_credit_cash_pb).

    req: the request, a serialized message passed whole (NUL bytes included); a str is encoded as ASCII.
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """

# IPO subscription
def py_vqi_get_ipo_quota_pb(req: _BytesOrStr, /) -> _Query:
    """Queries the IPO subscription quota (SDK: vqi_get_ipo_quota_pb).

    req: the request, a serialized message passed whole (NUL bytes included); a str is encoded as ASCII.
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_get_ipo_instruments_pb(req: _BytesOrStr, /) -> _Query:
    """Queries the instruments open for IPO subscription (SDK: vqi_get_ipo_instruments_pb).

    req: the request, a serialized message passed whole (NUL bytes included); a str is encoded as ASCII.
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_get_ipo_match_number_pb(req: _BytesOrStr, /) -> _Query:
    """Queries the IPO match numbers (SDK: vqi_get_ipo_match_number_pb).

    req: the request, a serialized message passed whole (NUL bytes included); a str is encoded as ASCII.
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_get_ipo_lot_info_pb(req: _BytesOrStr, /) -> _Query:
    """Queries the IPO lots won (SDK: vqi_get_ipo_lot_info_pb).

    req: the request, a serialized message passed whole (NUL bytes included); a str is encoded as ASCII.
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """

# algorithmic orders
def py_vqi_place_algo_orders(req: _BytesOrStr, /) -> _Query:
    """Places algorithmic orders (SDK: vqi_place_algo_orders_pb).

    req: the request, a serialized message passed whole (NUL bytes included); a str is encoded as ASCII.
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_algo_order_batch(req: _BytesOrStr, algo_name: _BytesOrStr, algo_params: _BytesOrStr) -> _Query:
    """Places a batch of orders run by an algorithm (SDK: vqi_algo_order_batch_pb).

    req: the request, a serialized message passed whole (NUL bytes included); a str is encoded as ASCII.
    algo_name: the algorithm's name, bytes passed up to the first NUL; a str is encoded as ASCII.
    algo_params: its parameters, bytes passed up to the first NUL; a str is encoded as ASCII.
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_cancel_algo_orders(req: _BytesOrStr, /) -> int:
    """Cancels algorithmic orders (SDK: vqi_cancel_algo_orders_pb).

    req: the request, a serialized message passed whole (NUL bytes included); a str is encoded as ASCII.
    Returns the SDK's status (CSDK_OPERATE_SUCCESS on success).
    """
def py_vqi_pause_algo_orders(req: _BytesOrStr, /) -> int:
    """Pauses algorithmic orders (SDK: vqi_pause_algo_orders_pb).

    req: the request, a serialized message passed whole (NUL bytes included); a str is encoded as ASCII.
    Returns the SDK's status (CSDK_OPERATE_SUCCESS on success).
    """
def py_vqi_get_algo_orders(req: _BytesOrStr, /) -> _Query:
    """Queries the algorithmic orders (SDK: vqi_get_algo_orders_pb).

    req: the request, a serialized message passed whole (NUL bytes included); a str is encoded as ASCII.
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_get_child_orders(account_id: _BytesOrStr, algo_id: _BytesOrStr) -> _Query:
    """Queries the child orders of an algorithmic order (SDK: vqi_get_child_orders_pb).

    account_id: the account's id, bytes passed up to the first NUL; a str is encoded as ASCII.
    algo_id: the algorithmic order's id, bytes passed up to the first NUL; a str is encoded as ASCII.
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """

# smart re-order
def py_vqi_smart_reorder(
    symbol: _BytesOrStr,
    price: float,
    volume: int,
    side: int,
    order_type: int,
    position_effect: int,
    repeat_n: int,
    max_price_offset: int,
    time_out: int,
    time_wait: int,
    account: _BytesOrStr,
) -> int:
    """Starts a smart re-order: an order re-placed until filled, within limits (SDK: vqi_smart_reorder).

    symbol: the symbol, bytes passed up to the first NUL; a str is encoded as ASCII.
    price: the price (a float).
    volume: the volume (a C int).
    side: the side (a C int).
    order_type: the order type (a C int).
    position_effect: open or close (a C int).
    repeat_n: how many times to re-place (a C int).
    max_price_offset: the largest price offset (a C int).
    time_out: how long to wait for a fill (a C int).
    time_wait: how long to wait between tries (a C int).
    account: the account, bytes passed up to the first NUL; a str is encoded as ASCII.
    Returns the re-order's id, for py_vqi_smart_reorder_cancel.
    """
def py_vqi_smart_reorder_cancel(reorder_id: int, /) -> int:
    """Cancels a smart re-order (SDK: vqi_smart_reorder_cancel).

    reorder_id: the id py_vqi_smart_reorder returned (a C int).
    Returns the SDK's status (CSDK_OPERATE_SUCCESS on success).
    """

# option entrusts
def py_vqi_option_comb_entrust_pb(req: _Bytes, /) -> _Query:
    """Places an option combination order (SDK: vqi_option_comb_entrust_pb).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_option_sep_entrust_pb(req: _Bytes, /) -> _Query:
    """Places an option combination split order (SDK: vqi_option_sep_entrust_pb).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_get_option_combinable_pb(req: _Bytes, /) -> _Query:
    """Queries the option positions that can be combined (SDK: vqi_get_option_combinable_pb).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_get_option_comb_position_pb(req: _Bytes, /) -> _Query:
    """Queries the option combination positions (SDK: vqi_get_option_comb_position_pb).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """

# entrustable volume, instrument pools, pass-through
def py_vqi_get_entrustable_volume_by_symbol_pb(req: _BytesOrStr, /) -> _Query:
    """Queries the volume that can be ordered for a symbol (SDK: vqi_get_entrustable_volume_by_symbol_pb).

    req: the request, a serialized message passed whole (NUL bytes included); a str is encoded as ASCII.
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_get_instrument_pool_by_name_pb(req: _Bytes, /) -> _Query:
    """Queries an instrument pool by its name (SDK: vqi_get_instrument_pool_by_name_pb).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_get_instrument_pools_pb(req: _Bytes, /) -> _Query:
    """Queries the instrument pools (SDK: vqi_get_instrument_pools_pb).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_set_instrument_pool_symbols_pb(req: _Bytes, /) -> int:
    """Sets the symbols of an instrument pool (SDK: vqi_set_instrument_pool_symbols_pb).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns the SDK's status (CSDK_OPERATE_SUCCESS on success).
    """
def py_vqi_del_instrument_pool_by_name_pb(req: _Bytes, /) -> int:
    """Deletes an instrument pool by its name (SDK: vqi_del_instrument_pool_by_name_pb).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns the SDK's status (CSDK_OPERATE_SUCCESS on success).
    """
def py_vqi_raw_func(req: _BytesOrStr, /) -> _Query:
    """Passes a request through to the SDK's raw function (SDK: vqi_raw_func_pb).

    req: the request, a serialized message passed whole (NUL bytes included); a str is encoded as ASCII.
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """


# ---- Market data --------------------------------------------------------------------------------

# snapshots and subscriptions
def py_vqi_current(symbols: _BytesOrStr, fields: _BytesOrStr, include_call_auction: bool) -> _Query:
    """Queries the current quotes of symbols (SDK: vqi_current_pb).

    symbols: comma-separated symbols, bytes passed up to the first NUL; a str is encoded as ASCII.
    fields: comma-separated field names, bytes passed up to the first NUL; a str is encoded as ASCII.
    include_call_auction: whether to include the call auction, by its truth value.
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_current_price(req: _BytesOrStr, /) -> _Query:
    """Queries current prices (SDK: vqi_current_price_pb).

    req: the request, a serialized message passed whole (NUL bytes included); a str is encoded as ASCII.
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_last_tick(req: _BytesOrStr, /) -> _Query:
    """Queries the last tick (SDK: vqi_last_tick_pb).

    req: the request, a serialized message passed whole (NUL bytes included); a str is encoded as ASCII.
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_subscribe(symbols: _BytesOrStr, frequency: _BytesOrStr, unsubscribe_previous: bool) -> int:
    """Subscribes to market data: ticks or bars of the symbols, delivered as events (SDK: vqi_subscribe).

    symbols: comma-separated symbols, bytes passed up to the first NUL; a str is encoded as ASCII.
    frequency: 'tick', or a bar length such as '60s', bytes passed up to the first NUL; a str is encoded as ASCII.
    unsubscribe_previous: whether to drop the earlier subscriptions first, by its truth value.
    Returns the SDK's status (CSDK_OPERATE_SUCCESS on success).
    """
def py_vqi_unsubscribe(symbols: _BytesOrStr, frequency: _BytesOrStr) -> int:
    """Ends a market data subscription (SDK: vqi_unsubscribe).

    symbols: comma-separated symbols, bytes passed up to the first NUL; a str is encoded as ASCII.
    frequency: 'tick', or a bar length such as '60s', bytes passed up to the first NUL; a str is encoded as ASCII.
    Returns the SDK's status (CSDK_OPERATE_SUCCESS on success).
    """

# tick and bar history, level-2 history, the opening call auction
def py_vqi_history_ticks_pb(req: _Bytes, /) -> _Query:
    """Queries historical ticks (SDK: vqi_history_ticks_pb).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_history_bars_pb(req: _Bytes, /) -> _Query:
    """Queries historical bars (SDK: vqi_history_bars_pb).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_history_ticks_n_pb(req: _Bytes, /) -> _Query:
    """Queries the last n historical ticks (SDK: vqi_history_ticks_n_pb).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_history_bars_n_pb(req: _Bytes, /) -> _Query:
    """Queries the last n historical bars (SDK: vqi_history_bars_n_pb).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_history_ticks_l2(req: _BytesOrStr, /) -> _Query:
    """Queries historical level-2 ticks (SDK: vqi_history_ticks_l2_pb).

    req: the request, a serialized message passed whole (NUL bytes included); a str is encoded as ASCII.
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_history_bars_l2(req: _BytesOrStr, /) -> _Query:
    """Queries historical level-2 bars (SDK: vqi_history_bars_l2_pb).

    req: the request, a serialized message passed whole (NUL bytes included); a str is encoded as ASCII.
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_history_transaction_l2(req: _BytesOrStr, /) -> _Query:
    """Queries historical level-2 transactions (SDK: vqi_history_transaction_l2_pb).

    req: the request, a serialized message passed whole (NUL bytes included); a str is encoded as ASCII.
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_history_order_l2(req: _BytesOrStr, /) -> _Query:
    """Queries historical level-2 orders (SDK: vqi_history_order_l2_pb).

    req: the request, a serialized message passed whole (NUL bytes included); a str is encoded as ASCII.
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_history_order_queue_l2(req: _BytesOrStr, /) -> _Query:
    """Queries historical level-2 order queues (SDK: vqi_history_order_queue_l2_pb).

    req: the request, a serialized message passed whole (NUL bytes included); a str is encoded as ASCII.
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_get_open_call_auction(req: _Bytes, /) -> _Query:
    """Queries the opening call auction (SDK: vqi_get_open_call_auction).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """


# ---- Connection and configuration ---------------------------------------------------------------

# credentials and identity
def py_vqi_set_token(token: _BytesOrStr, /) -> int:
    """Sets the access token (SDK: vqi_set_token).

    token: the token, bytes passed up to the first NUL; a str is encoded as ASCII.
    Returns the SDK's status (CSDK_OPERATE_SUCCESS on success).
    """
def py_vqi_set_apitoken(token: _BytesOrStr, /) -> None:
    """Sets the API token (SDK: vqi_set_apitoken).

    token: the token, bytes passed up to the first NUL; a str is encoded as ASCII.
    Returns None.
    """
def py_vqi_get_encrypted_token() -> bytes:
    """Returns the token in its encrypted form (SDK: vqi_get_encrypted_token).

    Returns the SDK's text as bytes (b'' for a null text).
    """
def py_vqi_get_orgcode() -> bytes:
    """Returns the organisation code (SDK: vqi_get_orgcode).

    Returns the SDK's text as bytes (b'' for a null text).
    """
def py_vqi_set_mfp(mfp: _BytesOrStr, /) -> None:
    """Sets the machine fingerprint (SDK: vqi_set_mfp).

    mfp: the machine fingerprint, bytes passed up to the first NUL; a str is encoded as ASCII.
    Returns None.
    """
def py_vqi_set_strategy_id(strategy_id: _BytesOrStr, /) -> None:
    """Sets the strategy's id (SDK: vqi_set_strategy_id).

    strategy_id: the strategy's id, bytes passed up to the first NUL; a str is encoded as ASCII.
    Returns None.
    """
def py_vqi_set_account_id(account_ids: _Bytes, /) -> None:
    """Sets the accounts the strategy trades (SDK: vqi_set_account_id).

    account_ids: comma-separated account ids, bytes passed up to the first NUL.
    Returns None.
    """

def py_vqi_set_version(sdk_version: _BytesOrStr, sdk_lang: _BytesOrStr) -> None:
    """Tells the SDK the platform package's version and language (SDK: vqi_set_version).

    sdk_version: the platform package's version, bytes passed up to the first NUL; a str is encoded as ASCII.
    sdk_lang: its language, bytes passed up to the first NUL; a str is encoded as ASCII.
    Returns None.
    """

# server addresses and connection
def py_vqi_set_serv_addr(addr: _BytesOrStr, /) -> None:
    """Sets the server address (SDK: vqi_set_serv_addr).

    addr: the server address, bytes passed up to the first NUL; a str is encoded as ASCII.
    Returns None.
    """
def py_vqi_set_serv_addr_v5(addr: _Bytes, orgcode: _Bytes, site_id: _Bytes) -> None:
    """Sets the server address with the organisation and site (SDK: vqi_set_serv_addr_v5).

    addr: the server address, bytes passed up to the first NUL.
    orgcode: the organisation code, bytes passed up to the first NUL.
    site_id: the site's id, bytes passed up to the first NUL.
    Returns None.
    """
def py_vqi_get_serv_addr(serv_id: _BytesOrStr, /) -> bytes | None:
    """Looks up a service's address (SDK: vqi_get_serv_addr).

    serv_id: the service's id, bytes passed up to the first NUL; a str is encoded as ASCII.
    Returns the address as bytes when the status is CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_use_dsproxy() -> int:
    """Routes data requests through the data proxy (SDK: vqi_use_dsproxy).

    Returns the SDK's status (CSDK_OPERATE_SUCCESS on success).
    """
def py_vqi_set_ctp_md_info(
    front_addresses: _BytesOrStr,
    user_name: _BytesOrStr,
    password: _BytesOrStr,
) -> None:
    """Sets the market data front's addresses and login (SDK: vqi_set_ctp_md_info).

    front_addresses: the front addresses, bytes passed up to the first NUL; a str is encoded as ASCII.
    user_name: the user name, bytes passed up to the first NUL; a str is encoded as ASCII.
    password: the password, bytes passed up to the first NUL; a str is encoded as ASCII.
    Returns None.
    """
def py_vqi_set_max_wait_time(max_wait_time: int, /) -> None:
    """Sets the longest time the SDK waits for an answer (SDK: vqi_set_max_wait_time).

    max_wait_time: the longest wait (a C int).
    Returns None.
    """

# run modes and backtest
def py_vqi_set_mode_consistency(mode: int, /) -> None:
    """Switches the consistency mode on or off (SDK: vqi_set_mode_consistency).

    mode: the mode (the SDK gets mode != 0).
    Returns None.
    """
def py_vqi_set_simtrade_only() -> None:
    """Restricts trading to simulated accounts (SDK: vqi_set_simtrade_only).

    Returns None.
    """
def py_vqi_set_backtest_config(
    start_time: _BytesOrStr,
    end_time: _BytesOrStr,
    initial_cash: float,
    transaction_ratio: float,
    commission_ratio: float,
    commission_unit: float,
    slippage_ratio: float,
    option_float_margin_ratio1: float,
    option_float_margin_ratio2: float,
    adjust: int,
    match_mode: int,
    check_cache: int,
) -> int:
    """Configures a backtest session (SDK: vqi_set_backtest_config).

    start_time: the session's start ('YYYY-MM-DD HH:MM:SS'), bytes passed up to the first NUL; a str is encoded as ASCII.
    end_time: the session's end ('YYYY-MM-DD HH:MM:SS'), bytes passed up to the first NUL; a str is encoded as ASCII.
    initial_cash: the cash at the start (a float).
    transaction_ratio: the share of the volume an order may take (a float).
    commission_ratio: the commission as a share of the amount (a float).
    commission_unit: the commission per unit (a float).
    slippage_ratio: the slippage as a share of the price (a float).
    option_float_margin_ratio1: the first option margin ratio (a float).
    option_float_margin_ratio2: the second option margin ratio (a float).
    adjust: the price adjustment (a C int).
    match_mode: the matching mode (a C int).
    check_cache: whether to check the data cache (a C int).
    Returns the SDK's status (CSDK_OPERATE_SUCCESS on success).
    """

def py_vqi_set_backtest_intraday(req: int, /) -> None:  # an integer, despite its name
    """Sets the backtest's intraday mode (SDK: vqi_set_backtest_intraday).

    req: the intraday setting (a C int).
    Returns None.
    """
def py_vqi_set_backtest_threadnum(n: int, /) -> None:
    """Sets the number of backtest threads (SDK: vqi_set_backtest_threadnum).

    n: the number of threads (a C int).
    Returns None.
    """

# message bus
def py_vqi_set_bus_info(server_addr: _BytesOrStr, user_name: _BytesOrStr, password: _BytesOrStr) -> None:
    """Sets the message bus's server and login (SDK: vqi_set_bus_info).

    server_addr: the bus server's address, bytes passed up to the first NUL; a str is encoded as ASCII.
    user_name: the user name, bytes passed up to the first NUL; a str is encoded as ASCII.
    password: the password, bytes passed up to the first NUL; a str is encoded as ASCII.
    Returns None.
    """
def py_vqi_set_bus_secure(
    in_mode: int,
    tlsca: _BytesOrStr,
    tlscert: _BytesOrStr,
    tlskey: _BytesOrStr,
    skip_verify: bool,
) -> None:
    """Sets the message bus's TLS settings (SDK: vqi_set_bus_secure).

    in_mode: the TLS mode (a C int).
    tlsca: the CA certificate, bytes passed up to the first NUL; a str is encoded as ASCII.
    tlscert: the client certificate, bytes passed up to the first NUL; a str is encoded as ASCII.
    tlskey: the client key, bytes passed up to the first NUL; a str is encoded as ASCII.
    skip_verify: whether to skip the server's verification, by its truth value.
    Returns None.
    """
def py_vqi_add_bus_topic(topic: _BytesOrStr, /) -> None:
    """Subscribes to a message bus topic (SDK: vqi_add_bus_topic).

    topic: the topic, bytes passed up to the first NUL; a str is encoded as ASCII.
    Returns None.
    """
def py_vqi_send_msg_to_bus(topic: _BytesOrStr, msg: _BytesOrStr) -> int:
    """Sends a message to the message bus (SDK: vqi_send_msg_to_bus).

    topic: the topic, bytes passed up to the first NUL; a str is encoded as ASCII.
    msg: the message, bytes passed up to the first NUL; a str is encoded as ASCII.
    Returns the SDK's status (CSDK_OPERATE_SUCCESS on success).
    """

# strategy parameters and logging
def py_vqi_get_parameters(req: _Bytes, /) -> _Query:
    """Queries the strategy's parameters (SDK: vqi_get_parameters_pb).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_add_parameters(req: _Bytes, /) -> int:
    """Adds strategy parameters (SDK: vqi_add_parameters_pb).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns the SDK's status (CSDK_OPERATE_SUCCESS on success).
    """
def py_vqi_set_parameters(req: _Bytes, /) -> int:
    """Sets strategy parameters (SDK: vqi_set_parameters_pb).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns the SDK's status (CSDK_OPERATE_SUCCESS on success).
    """
def py_vqi_log(req: _Bytes, /) -> int:
    """Writes a log record through the SDK (SDK: vqi_log_pb).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns the SDK's status (CSDK_OPERATE_SUCCESS on success).
    """

# error texts
def py_vqi_strerror(errorno: int, /) -> bytes:
    """Returns the SDK's text for a status (SDK: vqi_strerror).

    errorno: an SDK status (a C int).
    Returns the SDK's text as bytes (b'' for a null text).
    """
def py_vqi_get_ext_errormsg() -> bytes:
    """Returns the SDK's extended message for the last error (SDK: vqi_get_ext_errormsg).

    Returns the SDK's text as bytes (b'' for a null text).
    """


# ---- Stock reference and fundamental data -------------------------------------------------------

# industry, sector and index classification
def py_vqi_stk_get_industry_category(req: _Bytes, /) -> _Query:
    """Queries stock industry category (SDK: vqi_stk_get_industry_category).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_stk_get_industry_constituents(req: _Bytes, /) -> _Query:
    """Queries stock industry constituents (SDK: vqi_stk_get_industry_constituents).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_stk_get_symbol_industry(req: _Bytes, /) -> _Query:
    """Queries stock symbol industry (SDK: vqi_stk_get_symbol_industry).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_stk_get_sector_category(req: _Bytes, /) -> _Query:
    """Queries stock sector category (SDK: vqi_stk_get_sector_category).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_stk_get_sector_constituents(req: _Bytes, /) -> _Query:
    """Queries stock sector constituents (SDK: vqi_stk_get_sector_constituents).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_stk_get_symbol_sector(req: _Bytes, /) -> _Query:
    """Queries stock symbol sector (SDK: vqi_stk_get_symbol_sector).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_stk_get_index_constituents(req: _Bytes, /) -> _Query:
    """Queries stock index constituents (SDK: vqi_stk_get_index_constituents).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_stk_get_index_history_constituents(req: _Bytes, /) -> _Query:
    """Queries stock index history constituents (SDK: vqi_stk_get_index_history_constituents).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """

# corporate actions and shareholders
def py_vqi_stk_get_dividend(req: _Bytes, /) -> _Query:
    """Queries stock dividend (SDK: vqi_stk_get_dividend).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_stk_get_ration(req: _Bytes, /) -> _Query:
    """Queries stock rights issues (SDK: stk_get_ration).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_stk_get_adj_factor(req: _Bytes, /) -> _Query:
    """Queries stock price adjustment factors (SDK: vqi_stk_get_adj_factor).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_stk_get_shareholder_num(req: _Bytes, /) -> _Query:
    """Queries stock shareholder counts (SDK: vqi_stk_get_shareholder_num).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_stk_get_top_shareholder(req: _Bytes, /) -> _Query:
    """Queries stock top shareholders (SDK: vqi_stk_get_top_shareholder).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_stk_get_share_change(req: _Bytes, /) -> _Query:
    """Queries stock share capital changes (SDK: vqi_stk_get_share_change).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """

# financial statements and indicators
def py_vqi_stk_get_fundamentals_balance(req: _Bytes, /) -> _Query:
    """Queries stock balance sheets (SDK: vqi_stk_get_fundamentals_balance).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_stk_get_fundamentals_balance_pt(req: _Bytes, /) -> _Query:
    """Queries stock balance sheets (point-in-time) (SDK: vqi_stk_get_fundamentals_balance_pt).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_stk_get_fundamentals_cashflow(req: _Bytes, /) -> _Query:
    """Queries stock cash-flow statements (SDK: vqi_stk_get_fundamentals_cashflow).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_stk_get_fundamentals_cashflow_pt(req: _Bytes, /) -> _Query:
    """Queries stock cash-flow statements (point-in-time) (SDK: vqi_stk_get_fundamentals_cashflow_pt).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_stk_get_fundamentals_income(req: _Bytes, /) -> _Query:
    """Queries stock income statements (SDK: vqi_stk_get_fundamentals_income).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_stk_get_fundamentals_income_pt(req: _Bytes, /) -> _Query:
    """Queries stock income statements (point-in-time) (SDK: vqi_stk_get_fundamentals_income_pt).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_stk_get_finance_prime(req: _Bytes, /) -> _Query:
    """Queries stock primary financial indicators (SDK: vqi_stk_get_finance_prime).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_stk_get_finance_prime_pt(req: _Bytes, /) -> _Query:
    """Queries stock primary financial indicators (point-in-time) (SDK: vqi_stk_get_finance_prime_pt).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_stk_get_finance_deriv(req: _Bytes, /) -> _Query:
    """Queries stock derived financial indicators (SDK: vqi_stk_get_finance_deriv).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_stk_get_finance_deriv_pt(req: _Bytes, /) -> _Query:
    """Queries stock derived financial indicators (point-in-time) (SDK: vqi_stk_get_finance_deriv_pt).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_stk_get_finance_audit(req: _Bytes, /) -> _Query:
    """Queries stock audit opinions (SDK: vqi_stk_get_finance_audit).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_stk_get_finance_forecast(req: _Bytes, /) -> _Query:
    """Queries stock earnings forecasts (SDK: vqi_stk_get_finance_forecast).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """

# daily valuation, market value and basic data
def py_vqi_stk_get_daily_valuation(req: _Bytes, /) -> _Query:
    """Queries stock daily valuation (SDK: vqi_stk_get_daily_valuation).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_stk_get_daily_valuation_pt(req: _Bytes, /) -> _Query:
    """Queries stock daily valuation (point-in-time) (SDK: vqi_stk_get_daily_valuation_pt).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_stk_get_daily_mktvalue(req: _Bytes, /) -> _Query:
    """Queries stock daily market value (SDK: vqi_stk_get_daily_mktvalue).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_stk_get_daily_mktvalue_pt(req: _Bytes, /) -> _Query:
    """Queries stock daily market value (point-in-time) (SDK: vqi_stk_get_daily_mktvalue_pt).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_stk_get_daily_basic(req: _Bytes, /) -> _Query:
    """Queries stock daily basic (SDK: vqi_stk_get_daily_basic).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_stk_get_daily_basic_pt(req: _Bytes, /) -> _Query:
    """Queries stock daily basic (point-in-time) (SDK: vqi_stk_get_daily_basic_pt).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """

# Stock Connect, abnormal price change and money flow
def py_vqi_stk_abnor_change_stocks(req: _Bytes, /) -> _Query:
    """Queries the stocks with abnormal price changes (SDK: vqi_stk_abnor_change_stocks).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_stk_abnor_change_detail(req: _Bytes, /) -> _Query:
    """Queries the details of abnormal price changes (SDK: vqi_stk_abnor_change_detail).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_stk_quota_shszhk_infos(req: _Bytes, /) -> _Query:
    """Queries the Stock Connect quotas (SDK: vqi_stk_quota_shszhk_infos).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_stk_hk_inst_holding_detail_info(req: _Bytes, /) -> _Query:
    """Queries Stock Connect institutional holdings in detail (SDK: vqi_stk_hk_inst_holding_detail_info).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_stk_hk_inst_holding_info(req: _Bytes, /) -> _Query:
    """Queries Stock Connect institutional holdings (SDK: vqi_stk_hk_inst_holding_info).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_stk_active_stock_top10_shszhk_info(req: _Bytes, /) -> _Query:
    """Queries the ten most active Stock Connect stocks (SDK: vqi_stk_active_stock_top10_shszhk_info).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_stk_get_money_flow(req: _Bytes, /) -> _Query:
    """Queries stock money flow (SDK: vqi_stk_get_money_flow).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """


# ---- Calendar, instrument and derivatives reference data ----------------------------------------

# trading calendar and trading times
def py_vqi_get_trading_dates(req: _Bytes, /) -> _Query:
    """Queries trading dates (SDK: vqi_get_trading_dates).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_get_previous_trading_date(req: _Bytes, /) -> _Query:
    """Queries previous trading date (SDK: vqi_get_previous_trading_date).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_get_next_trading_date(req: _Bytes, /) -> _Query:
    """Queries next trading date (SDK: vqi_get_next_trading_date).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_get_previous_n_trading_dates(req: _Bytes, /) -> _Query:
    """Queries previous n trading dates (SDK: vqi_get_previous_n_trading_dates).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_get_next_n_trading_dates(req: _Bytes, /) -> _Query:
    """Queries next n trading dates (SDK: vqi_get_next_n_trading_dates).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_get_trading_dates_by_year(req: _Bytes, /) -> _Query:
    """Queries trading dates by year (SDK: vqi_get_trading_dates_by_year).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_get_trading_session(req: _Bytes, /) -> _Query:
    """Queries trading session (SDK: vqi_get_trading_session).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_get_trading_time(req: _Bytes, /) -> _Query:
    """Queries trading time (SDK: vqi_get_trading_time).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_get_trading_times_ext(req: _Bytes, /) -> _Query:
    """Queries trading times (extended) (SDK: vqi_get_trading_times_ext).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """

# instruments and symbols
def py_vqi_get_symbol_infos(req: _Bytes, /) -> _Query:
    """Queries symbol information (SDK: vqi_get_symbol_infos).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_get_symbols_v2(req: _Bytes, /) -> _Query:
    """Queries symbols (second form) (SDK: vqi_get_symbols_v2).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_get_history_symbol(req: _Bytes, /) -> _Query:
    """Queries symbols as they were at a past date (SDK: vqi_get_history_symbol).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_get_instruments(req: _Bytes, /) -> _Query:
    """Queries instruments (SDK: vqi_get_instruments).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_get_history_instruments(req: _Bytes, /) -> _Query:
    """Queries instruments as they were at a past date (SDK: vqi_get_history_instruments).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_get_instrumentInfos(req: _Bytes, /) -> _Query:
    """Queries instrument information (SDK: vqi_get_instrumentInfos).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_get_fuzzy_match_instrumentInfos(req: _Bytes, /) -> _Query:
    """Queries instrument information by a fuzzy match (SDK: vqi_get_fuzzy_match_instrumentInfos).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """

# general fundamentals, dividends and classification
def py_vqi_get_fundamentals(req: _Bytes, /) -> _Query:
    """Queries fundamentals (SDK: vqi_get_fundamentals).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_get_fundamentals_n(req: _Bytes, /) -> _Query:
    """Queries the last n fundamentals records (SDK: vqi_get_fundamentals_n).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_get_dividends(req: _Bytes, /) -> _Query:
    """Queries dividends (SDK: vqi_get_dividends).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_get_dividends_snapshot(req: _Bytes, /) -> _Query:
    """Queries dividends snapshot (SDK: vqi_get_dividends_snapshot).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_get_constituents(req: _Bytes, /) -> _Query:
    """Queries constituents (SDK: vqi_get_constituents).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_get_sector(req: _Bytes, /) -> _Query:
    """Queries sector (SDK: vqi_get_sector).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_get_industry(req: _Bytes, /) -> _Query:
    """Queries industry (SDK: vqi_get_industry).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_get_concept(req: _Bytes, /) -> _Query:
    """Queries concept (SDK: vqi_get_concept).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """

# futures and contracts
def py_vqi_get_continuous_contracts(req: _Bytes, /) -> _Query:
    """Queries continuous contracts (SDK: vqi_get_continuous_contracts).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_get_varietyinfos(req: _Bytes, /) -> _Query:
    """Queries variety information (SDK: vqi_get_varietyinfos).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_get_contract_expire_rest_days(req: _Bytes, /) -> _Query:
    """Queries the days left to a contract's expiry (SDK: vqi_get_contract_expire_rest_days).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_fut_get_continuous_contracts(req: _Bytes, /) -> _Query:
    """Queries futures continuous contracts (SDK: vqi_fut_get_continuous_contracts).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_fut_get_contract_info(req: _Bytes, /) -> _Query:
    """Queries futures contract information (SDK: vqi_fut_get_contract_info).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_fut_get_transaction_ranking(req: _Bytes, /) -> _Query:
    """Queries futures transaction ranking (SDK: vqi_fut_get_transaction_ranking).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_fut_get_transaction_rankings(req: _Bytes, /) -> _Query:
    """Queries futures transaction rankings (SDK: vqi_fut_get_transaction_rankings).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_fut_get_warehouse_receipt(req: _Bytes, /) -> _Query:
    """Queries futures warehouse receipt (SDK: vqi_fut_get_warehouse_receipt).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """

# funds
def py_vqi_fnd_get_etf_constituents(req: _Bytes, /) -> _Query:
    """Queries ETF constituents (SDK: vqi_fnd_get_etf_components).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_fnd_get_portfolio(req: _Bytes, /) -> _Query:
    """Queries fund portfolio (SDK: vqi_fnd_get_portfolio).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_fnd_get_net_value(req: _Bytes, /) -> _Query:
    """Queries fund net value (SDK: vqi_fnd_get_net_value).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_fnd_get_adj_factor(req: _Bytes, /) -> _Query:
    """Queries fund price adjustment factors (SDK: vqi_fnd_get_adj_factor).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_fnd_get_dividend(req: _Bytes, /) -> _Query:
    """Queries fund dividend (SDK: vqi_fnd_get_dividend).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_fnd_get_split(req: _Bytes, /) -> _Query:
    """Queries fund split (SDK: vqi_fnd_get_split).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_fnd_get_share(req: _Bytes, /) -> _Query:
    """Queries fund share (SDK: vqi_fnd_get_share).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """

# bonds
def py_vqi_bnd_get_conversion_price(req: _Bytes, /) -> _Query:
    """Queries bond conversion price (SDK: vqi_bnd_get_conversion_price).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_bnd_get_call_info(req: _Bytes, /) -> _Query:
    """Queries bond call information (SDK: vqi_bnd_get_call_info).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_bnd_get_put_info(req: _Bytes, /) -> _Query:
    """Queries bond put information (SDK: vqi_bnd_get_put_info).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_bnd_get_amount_change(req: _Bytes, /) -> _Query:
    """Queries bond amount change (SDK: vqi_bnd_get_amount_change).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_bnd_get_analysis(req: _Bytes, /) -> _Query:
    """Queries bond analysis (SDK: vqi_bnd_get_analysis).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_get_convertible_bond_call_info(req: _Bytes, /) -> _Query:
    """Queries convertible bond call information (SDK: vqi_get_convertible_bond_call_info).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """

# options
def py_vqi_option_get_symbols_by_exchange(req: _Bytes, /) -> _Query:
    """Queries option symbols by exchange (SDK: vqi_option_get_symbols_by_exchange).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_option_get_symbols_by_in_at_out(req: _Bytes, /) -> _Query:
    """Queries option symbols by moneyness (in, at or out of the money) (SDK: vqi_option_get_symbols_by_in_at_out).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_option_get_delisted_dates(req: _Bytes, /) -> _Query:
    """Queries option delisted dates (SDK: vqi_option_get_delisted_dates).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """
def py_vqi_option_get_exercise_prices(req: _Bytes, /) -> _Query:
    """Queries option exercise prices (SDK: vqi_option_get_exercise_prices).

    req: the request, a serialized message passed whole (NUL bytes included).
    Returns (status, response): the SDK's response as bytes when status == CSDK_OPERATE_SUCCESS, else None.
    """


# ---- The event loop and timers ------------------------------------------------------------------

# The handler is called as handler(topic, payload) for every event, on the thread inside the SDK
# call that delivers it (py_vqi_run, vqi_poll). It becomes the module global `f`.
def py_vqi_set_data_callback(pythonf: _Handler, /) -> None:
    """Registers the event handler: binds it as the module global f and registers the module's callback with the SDK (SDK: vqi_set_event_callback_pb).

    pythonf: the handler, called as handler(topic: str, payload: bytes) for every event.
    Returns None.
    """

# the run loop
def py_vqi_run() -> int:
    """Runs the SDK's event loop, delivering events to the handler until py_vqi_stop() (or the session's end) (SDK: vqi_run).

    Returns the SDK's status when the loop ends.
    """
def py_vqi_stop() -> int:
    """Asks the event loop to stop (a handler calls it to end py_vqi_run) (SDK: vqi_stop).

    Returns the SDK's status (CSDK_OPERATE_SUCCESS on success).
    """
def py_vqi_get_stop_error_code() -> int:
    """Returns the status the event loop stopped with (SDK: vqi_get_stop_error_code).

    Returns the SDK's status (CSDK_OPERATE_SUCCESS on success).
    """

# timers
def py_vqi_set_timer(interval: int, /) -> None:
    """Sets the timer: a 'timer' event every interval (SDK: vqi_set_timer).

    interval: ms between two events (0 or less: off) (a C int).
    Returns None.
    """
def py_vqi_schedule(date_rule: _BytesOrStr, time_rule: _BytesOrStr) -> int:
    """Schedules a 'schedule' event by a date rule and a time of day (SDK: vqi_schedule).

    date_rule: the date rule, e.g. '1d', bytes passed up to the first NUL; a str is encoded as ASCII.
    time_rule: the time of day, 'HH:MM:SS', bytes passed up to the first NUL; a str is encoded as ASCII.
    Returns the SDK's status (CSDK_OPERATE_SUCCESS on success).
    """
def py_vqi_user_timer(period: int, start_delay: int) -> int:
    """Starts a user timer: 'user_timer' events every period, after a delay (SDK: vqi_user_timer).

    period: ms between two events (0: once) (a C int).
    start_delay: ms before the first (a C int).
    Returns the new timer's id, for py_vqi_user_timer_stop.
    """
def py_vqi_user_timer_stop(timer_id: int, /) -> None:
    """Stops a user timer (SDK: vqi_user_timer_stop).

    timer_id: the id py_vqi_user_timer returned (a C int).
    Returns None.
    """


# ---- SDK functions under their own names --------------------------------------------------------
# Each is a builtin named "wrap" whose __doc__ is the SDK function's C signature. None of them
# accepts str.

def vqi_add_bus_topic(topic: _Bytes, /) -> None:
    """Subscribes to a message bus topic (the SDK function under its own name).

    topic: the topic, bytes passed up to the first NUL.
    Returns None.
    """
def vqi_get_c_version() -> bytes:
    """Returns the SDK library's version text.

    Returns the version text as bytes.
    """
def vqi_get_encrypted_token() -> bytes:
    """Returns the token in its encrypted form (the SDK function under its own name).

    Returns the SDK's text as bytes (b'' for a null text).
    """
def vqi_get_ext_errormsg() -> bytes:
    """Returns the SDK's extended message for the last error (the SDK function under its own name).

    Returns the SDK's text as bytes (b'' for a null text).
    """
def vqi_get_orgcode() -> bytes:
    """Returns the organisation code (the SDK function under its own name).

    Returns the SDK's text as bytes (b'' for a null text).
    """
def vqi_init() -> int:
    """Initialises the SDK.

    Returns the SDK's status (CSDK_OPERATE_SUCCESS on success).
    """
def vqi_now() -> int:
    """Returns the SDK's clock: ms since the epoch.

    Returns the SDK's number (an int).
    """
def vqi_now_plus() -> float:
    """Returns the SDK's clock: seconds since the epoch, as a float.

    Returns the SDK's number (a float).
    """
def vqi_poll() -> int:
    """Delivers pending events to the handler, without the event loop.

    Returns the SDK's answer (the stand-in: how many events it delivered).
    """
def vqi_send_msg_to_bus(topic: _Bytes, msg: _Bytes) -> int:
    """Sends a message to the message bus (the SDK function under its own name).

    topic: the topic, bytes passed up to the first NUL.
    msg: the message, bytes passed up to the first NUL.
    Returns the SDK's status (CSDK_OPERATE_SUCCESS on success).
    """
def vqi_set_bus_info(server_addr: _Bytes, user_name: _Bytes, password: _Bytes) -> None:
    """Sets the message bus's server and login (the SDK function under its own name).

    server_addr: the bus server's address, bytes passed up to the first NUL.
    user_name: the user name, bytes passed up to the first NUL.
    password: the password, bytes passed up to the first NUL.
    Returns None.
    """
def vqi_set_bus_secure(
    in_mode: int,
    tlsca: _Bytes,
    tlscert: _Bytes,
    tlskey: _Bytes,
    skip_verify: bool,
) -> None:
    """Sets the message bus's TLS settings (the SDK function under its own name).

    in_mode: the TLS mode (a C int).
    tlsca: the CA certificate, bytes passed up to the first NUL.
    tlscert: the client certificate, bytes passed up to the first NUL.
    tlskey: the client key, bytes passed up to the first NUL.
    skip_verify: whether to skip the server's verification, by its truth value.
    Returns None.
    """
def vqi_set_mode(mode: int, /) -> None:
    """Sets the SDK's run mode.

    mode: the mode (a C int).
    Returns None.
    """
def vqi_strerror(errorno: int, /) -> bytes:
    """Returns the SDK's text for a status (the SDK function under its own name).

    errorno: an SDK status (a C int).
    Returns the SDK's text as bytes (b'' for a null text).
    """
