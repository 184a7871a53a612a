// Market data: subscriptions, snapshots, tick and bar history, level-2 history and the opening
// call auction. Whatever a subscription delivers later arrives through the event bridge.
#include <vqsdk/vqsdk.h>

#include "bindings/registry.hpp"

namespace csdk {
namespace {

using namespace kinds;
using shapes::call;
using shapes::query;
using shapes::query_result;
using shapes::status_result;

const row rows[] = {
    // Parameters (symbols, fields, include_call_auction); the flag is converted second and is the
    // SDK's second argument, between the symbols and the fields.
    {"py_vqi_current",
     call<vqi_current_pb, query_result, text<"symbols">, truth<"include_call_auction", 2>, text<"fields", 1>>,
     decorated},
    {"py_vqi_current_price", query<vqi_current_price_pb>, decorated},
    {"py_vqi_last_tick", query<vqi_last_tick_pb>, decorated},
    {"py_vqi_subscribe", call<vqi_subscribe, status_result, text<"symbols">, text<"frequency">, truth<"unsubscribe_previous">>,
     decorated},
    {"py_vqi_unsubscribe", call<vqi_unsubscribe, status_result, text<"symbols">, text<"frequency">>, decorated},

    {"py_vqi_history_ticks_pb", query<vqi_history_ticks_pb>, plain},
    {"py_vqi_history_bars_pb", query<vqi_history_bars_pb>, plain},
    {"py_vqi_history_ticks_n_pb", query<vqi_history_ticks_n_pb>, plain},
    {"py_vqi_history_bars_n_pb", query<vqi_history_bars_n_pb>, plain},

    {"py_vqi_history_ticks_l2", query<vqi_history_ticks_l2_pb>, decorated},
    {"py_vqi_history_bars_l2", query<vqi_history_bars_l2_pb>, decorated},
    {"py_vqi_history_transaction_l2", query<vqi_history_transaction_l2_pb>, decorated},
    {"py_vqi_history_order_l2", query<vqi_history_order_l2_pb>, decorated},
    {"py_vqi_history_order_queue_l2", query<vqi_history_order_queue_l2_pb>, decorated},

    {"py_vqi_get_open_call_auction", query<vqi_get_open_call_auction>, plain},
};

}  // namespace

const row_list market_rows = rows_of(rows);

}  // namespace csdk
