// Connection and configuration: credentials and identity, server addresses, run modes and
// backtest settings, the message bus, strategy parameters and logging, error texts.
#include <vqsdk/vqsdk.h>

#include "bindings/registry.hpp"

namespace csdk {
namespace {

using namespace kinds;
using shapes::address_result;
using shapes::call;
using shapes::command;
using shapes::none_result;
using shapes::query;
using shapes::status_result;
using shapes::text_result;

const row rows[] = {
    // credentials and identity
    {"py_vqi_set_token", call<vqi_set_token, status_result, text<"token">>, decorated},
    {"py_vqi_set_apitoken", call<vqi_set_apitoken, none_result, text<"token">>, decorated},
    {"py_vqi_get_encrypted_token", call<vqi_get_encrypted_token, text_result>, decorated},
    {"py_vqi_get_orgcode", call<vqi_get_orgcode, text_result>, decorated},
    {"py_vqi_set_mfp", call<vqi_set_mfp, none_result, text<"mfp">>, decorated},
    {"py_vqi_set_strategy_id", call<vqi_set_strategy_id, none_result, text<"strategy_id">>, decorated},
    {"py_vqi_set_account_id", call<vqi_set_account_id, none_result, text<"account_ids">>, plain},
    // The SDK takes two further pointers after the version texts; they are always null.
    {"py_vqi_set_version",
     call<vqi_set_version, none_result, text<"sdk_version">, text<"sdk_lang">, null_pointer, null_pointer>, decorated},

    // server addresses and connection
    {"py_vqi_set_serv_addr", call<vqi_set_serv_addr, none_result, text<"addr">>, decorated},
    {"py_vqi_set_serv_addr_v5",
     call<vqi_set_serv_addr_v5, none_result, text<"addr">, text<"orgcode">, text<"site_id">>, plain},
    {"py_vqi_get_serv_addr", call<vqi_get_serv_addr, address_result, text<"serv_id">>, decorated},
    {"py_vqi_use_dsproxy", call<vqi_use_dsproxy, status_result>, plain},
    {"py_vqi_set_ctp_md_info",
     call<vqi_set_ctp_md_info, none_result, text<"front_addresses">, text<"user_name">, text<"password">>, decorated},
    {"py_vqi_set_max_wait_time", call<vqi_set_max_wait_time, none_result, integer<"max_wait_time">>, plain},

    // run modes and backtest
    {"py_vqi_set_mode_consistency", call<vqi_set_mode_consistency, none_result, integer_flag<"mode">>, decorated},
    {"py_vqi_set_simtrade_only", call<vqi_set_simtrade_only, none_result>, plain},
    {"py_vqi_set_backtest_config",
     call<vqi_set_backtest_config, status_result, text<"start_time">, text<"end_time">, real<"initial_cash">,
          real<"transaction_ratio">, real<"commission_ratio">, real<"commission_unit">, real<"slippage_ratio">,
          real<"option_float_margin_ratio1">, real<"option_float_margin_ratio2">, integer<"adjust">,
          integer<"match_mode">, integer<"check_cache">>,
     decorated},
    // An integer, despite the parameter's name.
    {"py_vqi_set_backtest_intraday", call<vqi_set_backtest_intraday, none_result, integer<"req">>, decorated},
    {"py_vqi_set_backtest_threadnum", call<vqi_set_backtest_threadnum, none_result, integer<"n">>, plain},

    // message bus
    {"py_vqi_set_bus_info",
     call<vqi_set_bus_info, none_result, text<"server_addr">, text<"user_name">, text<"password">>, decorated},
    {"py_vqi_set_bus_secure",
     call<vqi_set_bus_secure, none_result, integer<"in_mode">, text<"tlsca">, text<"tlscert">, text<"tlskey">,
          truth<"skip_verify">>,
     decorated},
    {"py_vqi_add_bus_topic", call<vqi_add_bus_topic, none_result, text<"topic">>, decorated},
    {"py_vqi_send_msg_to_bus", call<vqi_send_msg_to_bus, status_result, text<"topic">, text<"msg">>, decorated},

    // strategy parameters and logging
    {"py_vqi_get_parameters", query<vqi_get_parameters_pb>, plain},
    {"py_vqi_add_parameters", command<vqi_add_parameters_pb>, plain},
    {"py_vqi_set_parameters", command<vqi_set_parameters_pb>, plain},
    {"py_vqi_log", command<vqi_log_pb>, plain},

    // error texts
    {"py_vqi_strerror", call<vqi_strerror, text_result, integer<"errorno">>, plain},
    {"py_vqi_get_ext_errormsg", call<vqi_get_ext_errormsg, text_result>, plain},
};

}  // namespace

const row_list config_rows = rows_of(rows);

}  // namespace csdk
