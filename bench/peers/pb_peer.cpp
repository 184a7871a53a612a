// The pybind11 binding of the bench's shapes, written the way pybind11's documentation suggests:
// typed lambdas, py::arg for keywords, the library's own object types.
#include <pybind11/pybind11.h>

#include <string_view>

#include <vqsdk/vqsdk.h>

namespace py = pybind11;

namespace {

int success = 0;
PyObject* handler = nullptr;  // strong; never released (module lifetime)

py::tuple query_result(int status, const char* res, int res_len) {
    if (status == success) return py::make_tuple(status, py::bytes(res, static_cast<size_t>(res_len)));
    return py::make_tuple(status, py::none());
}

py::tuple get_orders_of(py::bytes req) {
    std::string_view v = req;
    char* res = nullptr;
    int res_len = 0;
    int status = vqi_get_orders_pb(v.data(), static_cast<int>(v.size()), &res, &res_len);
    return query_result(status, res, res_len);
}

void on_event(const char* topic, const char* data, int len) {
    try {
        py::handle h(handler);
        h(py::str(topic), py::bytes(data, static_cast<size_t>(len)));
    } catch (py::error_already_set& e) {
        e.discard_as_unraisable("on_event");
    }
}

}  // namespace

PYBIND11_MODULE(_pb_peer, m) {
    success = py::module_::import("vq.constant").attr("CSDK_OPERATE_SUCCESS").cast<int>();

    m.def("get_cash", [](py::bytes req) {
        std::string_view v = req;
        char* res = nullptr;
        int res_len = 0;
        int status = vqi_get_cash_pb_v2(v.data(), static_cast<int>(v.size()), &res, &res_len);
        return query_result(status, res, res_len);
    });
    m.def("set_pool", [](py::bytes req) {
        std::string_view v = req;
        return vqi_set_instrument_pool_symbols_pb(v.data(), static_cast<int>(v.size()));
    });
    m.def(
        "smart_reorder",
        [](py::bytes symbol, double price, int volume, int side, int order_type, int position_effect, int repeat_n,
           int max_price_offset, int time_out, int time_wait, py::bytes account) {
            std::string_view s = symbol, a = account;
            return vqi_smart_reorder(s.data(), price, volume, side, order_type, position_effect, repeat_n,
                                     max_price_offset, time_out, time_wait, a.data());
        },
        py::arg("symbol"), py::arg("price"), py::arg("volume"), py::arg("side"), py::arg("order_type"),
        py::arg("position_effect"), py::arg("repeat_n"), py::arg("max_price_offset"), py::arg("time_out"),
        py::arg("time_wait"), py::arg("account"));
    m.def("get_ext_errormsg", []() { return py::bytes(vqi_get_ext_errormsg()); });
    m.def("set_callback", [](py::object h) {
        Py_XDECREF(handler);
        handler = h.release().ptr();
        vqi_set_event_callback_pb(on_event);
    });
    // A str request is encoded to ASCII, then the query runs as for bytes.
    m.def("get_orders", [](py::object req) {
        if (py::isinstance<py::str>(req)) return get_orders_of(req.attr("encode")("ascii"));
        return get_orders_of(req.cast<py::bytes>());
    });
}
