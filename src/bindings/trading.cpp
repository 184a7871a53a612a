// Trading and accounts: orders and executions, cash, positions and accounts, margin trading,
// IPO, algorithmic orders, smart re-order, option entrusts, entrustable volume, instrument pools
// and the pass-through call. The Python name and the SDK function differ in several rows.
#include <vqsdk/vqsdk.h>

#include "bindings/registry.hpp"

namespace csdk {
namespace {

using namespace kinds;
using shapes::call;
using shapes::command;
using shapes::query;
using shapes::query_result;
using shapes::status_result;

const row rows[] = {
    // orders and executions
    {"py_vqi_place_order", query<vqi_place_order_pb>, decorated},
    {"py_vqi_cancel_order", command<vqi_cancel_orders_pb>, decorated},
    {"py_vqi_cancel_all_orders", command<vqi_cancel_all_orders_pb>, decorated},
    {"py_vqi_close_all_positions", query<vqi_close_all_positions_pb>, decorated},
    {"py_vqi_get_orders", query<vqi_get_orders_pb>, decorated},
    {"py_vqi_get_unfinished_orders", query<vqi_get_unfinished_orders_pb>, decorated},
    {"py_vqi_get_execution_reports", query<vqi_get_execution_reports_pb>, decorated},

    // cash, positions and accounts
    {"py_vqi_get_cash", query<vqi_get_cash_pb>, decorated},
    {"py_vqi_get_positions", query<vqi_get_positions_pb>, decorated},
    {"py_vqi_get_cash_pb_v2", query<vqi_get_cash_pb_v2>, plain},
    {"py_vqi_get_positions_pb_v2", query<vqi_get_positions_pb_v2>, plain},
    {"py_vqi_get_accounts", call<vqi_get_account_info_pb, query_result>, plain},  // no request
    {"py_vqi_get_account_status", query<vqi_get_account_status_pb>, decorated},

    // margin trading
    {"py_vqi_repay_cash_directly_pb", query<vqi_repay_cash_directly_pb>, decorated},
    {"py_vqi_get_collateral_instruments_pb", query<vqi_get_collateral_instruments_pb>, decorated},
    {"py_vqi_get_borrowable_instruments_pb", query<vqi_get_borrowable_instruments_pb>, decorated},
    {"py_vqi_get_borrowable_instruments_positions_pb", query<vqi_get_borrowable_instruments_positions_pb>, decorated},
    {"py_vqi_get_credit_contracts_pb", query<vqi_get_credit_contracts_pb>, decorated},
    {"py_vqi_get_credit_cash_pb", query<vqi_get_credit_cash_pb>, decorated},

    // IPO subscription
    {"py_vqi_get_ipo_quota_pb", query<vqi_get_ipo_quota_pb>, decorated},
    {"py_vqi_get_ipo_instruments_pb", query<vqi_get_ipo_instruments_pb>, decorated},
    {"py_vqi_get_ipo_match_number_pb", query<vqi_get_ipo_match_number_pb>, decorated},
    {"py_vqi_get_ipo_lot_info_pb", query<vqi_get_ipo_lot_info_pb>, decorated},

    // algorithmic orders
    {"py_vqi_place_algo_orders", query<vqi_place_algo_orders_pb>, decorated},
    {"py_vqi_algo_order_batch",
     call<vqi_algo_order_batch_pb, query_result, request<"req">, text<"algo_name">, text<"algo_params">>, decorated},
    {"py_vqi_cancel_algo_orders", command<vqi_cancel_algo_orders_pb>, decorated},
    {"py_vqi_pause_algo_orders", command<vqi_pause_algo_orders_pb>, decorated},
    {"py_vqi_get_algo_orders", query<vqi_get_algo_orders_pb>, decorated},
    {"py_vqi_get_child_orders", call<vqi_get_child_orders_pb, query_result, text<"account_id">, text<"algo_id">>,
     decorated},

    // smart re-order
    {"py_vqi_smart_reorder",
     call<vqi_smart_reorder, status_result, text<"symbol">, real<"price">, integer<"volume">, integer<"side">,
          integer<"order_type">, integer<"position_effect">, integer<"repeat_n">, integer<"max_price_offset">,
          integer<"time_out">, integer<"time_wait">, text<"account">>,
     decorated},
    {"py_vqi_smart_reorder_cancel", call<vqi_smart_reorder_cancel, status_result, integer<"reorder_id">>, decorated},

    // option entrusts
    {"py_vqi_option_comb_entrust_pb", query<vqi_option_comb_entrust_pb>, plain},
    {"py_vqi_option_sep_entrust_pb", query<vqi_option_sep_entrust_pb>, plain},
    {"py_vqi_get_option_combinable_pb", query<vqi_get_option_combinable_pb>, plain},
    {"py_vqi_get_option_comb_position_pb", query<vqi_get_option_comb_position_pb>, plain},

    // entrustable volume, instrument pools, pass-through
    {"py_vqi_get_entrustable_volume_by_symbol_pb", query<vqi_get_entrustable_volume_by_symbol_pb>, decorated},
    {"py_vqi_get_instrument_pool_by_name_pb", query<vqi_get_instrument_pool_by_name_pb>, plain},
    {"py_vqi_get_instrument_pools_pb", query<vqi_get_instrument_pools_pb>, plain},
    {"py_vqi_set_instrument_pool_symbols_pb", command<vqi_set_instrument_pool_symbols_pb>, plain},
    {"py_vqi_del_instrument_pool_by_name_pb", command<vqi_del_instrument_pool_by_name_pb>, plain},
    {"py_vqi_raw_func", query<vqi_raw_func_pb>, decorated},
};

}  // namespace

const row_list trading_rows = rows_of(rows);

}  // namespace csdk
