"""The cffi bindings of the bench's shapes, in ABI mode (ffi.dlopen) and in API mode (a compiled
_cffi_api module). Both are written the way cffi's documentation suggests: C declarations, then
plain Python functions around the calls.

    python cffi_peer.py OUT.c   writes the C source of the API-mode module _cffi_api
"""

import sys

import cffi

CDEF = """
typedef void (*vqi_event_callback)(const char *topic, const char *data, int len);
int vqi_get_cash_pb_v2(const char *req, int req_len, char **res, int *res_len);
int vqi_get_orders_pb(const char *req, int req_len, char **res, int *res_len);
int vqi_set_instrument_pool_symbols_pb(const char *req, int req_len);
int vqi_smart_reorder(const char *symbol, double price, int volume, int side, int order_type,
                      int position_effect, int repeat_n, int max_price_offset, int time_out,
                      int time_wait, const char *account);
const char *vqi_get_ext_errormsg(void);
int vqi_set_event_callback_pb(vqi_event_callback callback);
"""

# API mode also gets a callback compiled into the module.
API_CDEF = CDEF + 'extern "Python" void cffi_api_on_event(const char *, const char *, int);\n'


def make(ffi, lib, success, api):
    """The peer's functions over `lib` (dlopen'ed or compiled)."""
    new, unpack, string = ffi.new, ffi.unpack, ffi.string
    q_cash, q_orders = lib.vqi_get_cash_pb_v2, lib.vqi_get_orders_pb
    c_pool, c_reorder = lib.vqi_set_instrument_pool_symbols_pb, lib.vqi_smart_reorder
    t_errormsg = lib.vqi_get_ext_errormsg

    def get_cash(req):
        res = new("char **")
        res_len = new("int *")
        status = q_cash(req, len(req), res, res_len)
        if status == success:
            return status, unpack(res[0], res_len[0])
        return status, None

    def set_pool(req):
        return c_pool(req, len(req))

    def smart_reorder(symbol, price, volume, side, order_type, position_effect, repeat_n,
                      max_price_offset, time_out, time_wait, account):
        return c_reorder(symbol, price, volume, side, order_type, position_effect, repeat_n,
                         max_price_offset, time_out, time_wait, account)

    def get_ext_errormsg():
        return string(t_errormsg())

    def get_orders(req):
        if isinstance(req, str):
            req = req.encode("ascii")
        res = new("char **")
        res_len = new("int *")
        status = q_orders(req, len(req), res, res_len)
        if status == success:
            return status, unpack(res[0], res_len[0])
        return status, None

    callback_holder = []

    def set_callback(handler):
        def on_event(topic, data, length):
            handler(string(topic).decode("utf-8"), unpack(data, length))

        if api:
            ffi.def_extern(name="cffi_api_on_event")(on_event)
            lib.vqi_set_event_callback_pb(lib.cffi_api_on_event)
        else:
            cb = ffi.callback("vqi_event_callback", on_event)
            callback_holder[:] = [cb]  # the C pointer lives as long as this object
            lib.vqi_set_event_callback_pb(cb)

    return dict(get_cash=get_cash, set_pool=set_pool, smart_reorder=smart_reorder,
                get_ext_errormsg=get_ext_errormsg, get_orders=get_orders, set_callback=set_callback)


def abi(library_path, success):
    ffi = cffi.FFI()
    ffi.cdef(CDEF)
    lib = ffi.dlopen(library_path)
    return make(ffi, lib, success, api=False)


def api(success):
    from _cffi_api import ffi, lib

    return make(ffi, lib, success, api=True)


def emit_api_source(path):
    builder = cffi.FFI()
    builder.cdef(API_CDEF)
    builder.set_source("_cffi_api", "#include <vqsdk/vqsdk.h>\n")
    builder.emit_c_code(path)


if __name__ == "__main__":
    emit_api_source(sys.argv[1])
