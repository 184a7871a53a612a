"""The pure-Python peer: the module's helpers and records as plain Python would write them."""

import functools

from vq.constant import CSDK_OPERATE_SUCCESS

IS_PY2 = False


def adapt_to_python3(func):
    """str arguments become ASCII bytes before `func` runs."""

    @functools.wraps(func)
    def wrapper(*args, **kwargs):
        if IS_PY2:
            return func(*args, **kwargs)
        args = [a.encode("ascii") if isinstance(a, str) else a for a in args]
        for key, value in kwargs.items():
            if isinstance(value, str):
                kwargs[key] = value.encode("ascii")
        return func(*args, **kwargs)

    return wrapper


def c_status_ok(status):
    return status == CSDK_OPERATE_SUCCESS


class SlotsTick:
    """A record field behind a property, stored in a slot."""

    __slots__ = ("_price",)

    def __init__(self):
        self._price = 0.0

    @property
    def price(self):
        return self._price

    @price.setter
    def price(self, value):
        self._price = value
