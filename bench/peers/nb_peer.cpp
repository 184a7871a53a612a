// The nanobind binding of the bench's shapes, written the way nanobind's documentation suggests:
// typed lambdas, nb::arg for keywords, the library's own object types.
#include <nanobind/nanobind.h>

#include <vqsdk/vqsdk.h>

namespace nb = nanobind;

namespace {

int success = 0;
PyObject* handler = nullptr;  // strong; never released (module lifetime)

nb::tuple query_result(int status, const char* res, int res_len) {
    if (status == success) return nb::make_tuple(status, nb::bytes(res, static_cast<size_t>(res_len)));
    return nb::make_tuple(status, nb::none());
}

nb::tuple get_orders_of(const nb::bytes& req) {
    char* res = nullptr;
    int res_len = 0;
    int status = vqi_get_orders_pb(req.c_str(), static_cast<int>(req.size()), &res, &res_len);
    return query_result(status, res, res_len);
}

void on_event(const char* topic, const char* data, int len) {
    try {
        nb::handle h(handler);
        h(nb::str(topic), nb::bytes(data, static_cast<size_t>(len)));
    } catch (nb::python_error& e) {
        e.discard_as_unraisable("on_event");
    }
}

}  // namespace

NB_MODULE(_nb_peer, m) {
    success = nb::cast<int>(nb::module_::import_("vq.constant").attr("CSDK_OPERATE_SUCCESS"));

    m.def("get_cash", [](nb::bytes req) {
        char* res = nullptr;
        int res_len = 0;
        int status = vqi_get_cash_pb_v2(req.c_str(), static_cast<int>(req.size()), &res, &res_len);
        return query_result(status, res, res_len);
    });
    m.def("set_pool", [](nb::bytes req) {
        return vqi_set_instrument_pool_symbols_pb(req.c_str(), static_cast<int>(req.size()));
    });
    m.def(
        "smart_reorder",
        [](nb::bytes symbol, double price, int volume, int side, int order_type, int position_effect, int repeat_n,
           int max_price_offset, int time_out, int time_wait, nb::bytes account) {
            return vqi_smart_reorder(symbol.c_str(), price, volume, side, order_type, position_effect, repeat_n,
                                     max_price_offset, time_out, time_wait, account.c_str());
        },
        nb::arg("symbol"), nb::arg("price"), nb::arg("volume"), nb::arg("side"), nb::arg("order_type"),
        nb::arg("position_effect"), nb::arg("repeat_n"), nb::arg("max_price_offset"), nb::arg("time_out"),
        nb::arg("time_wait"), nb::arg("account"));
    m.def("get_ext_errormsg", []() { return nb::bytes(vqi_get_ext_errormsg()); });
    m.def("set_callback", [](nb::object h) {
        Py_XDECREF(handler);
        handler = h.release().ptr();
        vqi_set_event_callback_pb(on_event);
    });
    // A str request is encoded to ASCII, then the query runs as for bytes.
    m.def("get_orders", [](nb::object req) {
        if (nb::isinstance<nb::str>(req)) return get_orders_of(nb::bytes(req.attr("encode")("ascii")));
        return get_orders_of(nb::cast<nb::bytes>(req));
    });
}
