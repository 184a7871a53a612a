# cython: language_level=3
# The Cython binding of the bench's shapes, written the way Cython's documentation suggests:
# typed def functions over the C declarations, default compiler directives.
from libc.string cimport strlen

from vq.constant import CSDK_OPERATE_SUCCESS

cdef extern from "vqsdk/vqsdk.h":
    ctypedef void (*vqi_event_callback)(const char *topic, const char *data, int len) noexcept
    int vqi_get_cash_pb_v2(const char *req, int req_len, char **res, int *res_len)
    int vqi_get_orders_pb(const char *req, int req_len, char **res, int *res_len)
    int vqi_set_instrument_pool_symbols_pb(const char *req, int req_len)
    int vqi_smart_reorder(const char *symbol, double price, int volume, int side, int order_type,
                          int position_effect, int repeat_n, int max_price_offset, int time_out,
                          int time_wait, const char *account)
    const char *vqi_get_ext_errormsg()
    int vqi_set_event_callback_pb(vqi_event_callback callback)

cdef int success = CSDK_OPERATE_SUCCESS
cdef object handler = None


def get_cash(bytes req not None):
    cdef char *res = NULL
    cdef int res_len = 0
    cdef int status = vqi_get_cash_pb_v2(req, <int>len(req), &res, &res_len)
    if status == success:
        return status, res[:res_len]
    return status, None


def set_pool(bytes req not None):
    return vqi_set_instrument_pool_symbols_pb(req, <int>len(req))


def smart_reorder(bytes symbol not None, double price, int volume, int side, int order_type,
                  int position_effect, int repeat_n, int max_price_offset, int time_out,
                  int time_wait, bytes account not None):
    return vqi_smart_reorder(symbol, price, volume, side, order_type, position_effect, repeat_n,
                             max_price_offset, time_out, time_wait, account)


def get_ext_errormsg():
    return <bytes>vqi_get_ext_errormsg()


cdef void on_event(const char *topic, const char *data, int length) noexcept:
    handler(topic[:strlen(topic)].decode("utf-8"), data[:length])


def set_callback(h):
    global handler
    handler = h
    vqi_set_event_callback_pb(on_event)


def get_orders(req):
    """A str request is encoded to ASCII, then the query runs as for bytes."""
    cdef bytes b = (<str>req).encode("ascii") if type(req) is str else req
    cdef char *res = NULL
    cdef int res_len = 0
    cdef int status = vqi_get_orders_pb(b, <int>len(b), &res, &res_len)
    if status == success:
        return status, res[:res_len]
    return status, None
