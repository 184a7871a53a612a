"""The ctypes binding of the bench's shapes, written the way the ctypes documentation suggests:
argtypes and restype on each function, plain Python functions around the calls."""

import ctypes
from ctypes import POINTER, byref, c_char, c_char_p, c_double, c_int, string_at

EVENT_CALLBACK = ctypes.CFUNCTYPE(None, c_char_p, POINTER(c_char), c_int)


def make(library_path, success):
    lib = ctypes.CDLL(library_path)
    query_args = [c_char_p, c_int, POINTER(POINTER(c_char)), POINTER(c_int)]

    q_cash = lib.vqi_get_cash_pb_v2
    q_cash.argtypes, q_cash.restype = query_args, c_int
    q_orders = lib.vqi_get_orders_pb
    q_orders.argtypes, q_orders.restype = query_args, c_int
    c_pool = lib.vqi_set_instrument_pool_symbols_pb
    c_pool.argtypes, c_pool.restype = [c_char_p, c_int], c_int
    c_reorder = lib.vqi_smart_reorder
    c_reorder.argtypes = [c_char_p, c_double] + [c_int] * 8 + [c_char_p]
    c_reorder.restype = c_int
    t_errormsg = lib.vqi_get_ext_errormsg
    t_errormsg.argtypes, t_errormsg.restype = [], c_char_p  # returns bytes
    set_cb = lib.vqi_set_event_callback_pb
    set_cb.argtypes, set_cb.restype = [EVENT_CALLBACK], c_int

    def get_cash(req):
        res = POINTER(c_char)()
        res_len = c_int()
        status = q_cash(req, len(req), byref(res), byref(res_len))
        if status == success:
            return status, string_at(res, res_len.value)
        return status, None

    def set_pool(req):
        return c_pool(req, len(req))

    def smart_reorder(symbol, price, volume, side, order_type, position_effect, repeat_n,
                      max_price_offset, time_out, time_wait, account):
        return c_reorder(symbol, price, volume, side, order_type, position_effect, repeat_n,
                         max_price_offset, time_out, time_wait, account)

    def get_orders(req):
        if isinstance(req, str):
            req = req.encode("ascii")
        res = POINTER(c_char)()
        res_len = c_int()
        status = q_orders(req, len(req), byref(res), byref(res_len))
        if status == success:
            return status, string_at(res, res_len.value)
        return status, None

    callback_holder = []

    def set_callback(handler):
        def on_event(topic, data, length):
            handler(topic.decode("utf-8"), string_at(data, length))

        cb = EVENT_CALLBACK(on_event)
        callback_holder[:] = [cb]  # the C pointer lives as long as this object
        set_cb(cb)

    return dict(get_cash=get_cash, set_pool=set_pool, smart_reorder=smart_reorder,
                get_ext_errormsg=t_errormsg, get_orders=get_orders, set_callback=set_callback)
