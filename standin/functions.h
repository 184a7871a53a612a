// The SDK's functions, in the order of include/vqsdk/vqsdk.h, each with its shape.
//
// Shapes without a HAND_ prefix have one fixed native form and are defined from this table in
// sdk_api.cpp:
//   QUERY     int f(const char *req, int req_len, char **res, int *res_len)
//   COMMAND   int f(const char *req, int req_len)
//   SET_TEXT  void f(const char *)
//   INT_TEXT  int f(const char *)
//   GET_TEXT  const char *f(void)
//   INT_VOID  int f(void)
//   VOID_INT  void f(int)
// HAND_* functions are written out by hand; the suffix tells what they answer with:
//   HAND_QUERY  an int status and a response buffer     HAND_INT    an int
//   HAND_VOID   nothing                                  HAND_TEXT   a returned text
//   HAND_ADDR   an int status and a text out-parameter   HAND_VALUE  a number (vqi_now, vqi_now_plus)
#pragma once

#define STANDIN_FUNCTIONS(X) \
  /* Trading and accounts */ \
  X(vqi_place_order_pb, QUERY) \
  X(vqi_close_all_positions_pb, QUERY) \
  X(vqi_get_orders_pb, QUERY) \
  X(vqi_get_unfinished_orders_pb, QUERY) \
  X(vqi_get_execution_reports_pb, QUERY) \
  X(vqi_get_cash_pb, QUERY) \
  X(vqi_get_positions_pb, QUERY) \
  X(vqi_get_cash_pb_v2, QUERY) \
  X(vqi_get_positions_pb_v2, QUERY) \
  X(vqi_get_account_status_pb, QUERY) \
  X(vqi_repay_cash_directly_pb, QUERY) \
  X(vqi_get_collateral_instruments_pb, QUERY) \
  X(vqi_get_borrowable_instruments_pb, QUERY) \
  X(vqi_get_borrowable_instruments_positions_pb, QUERY) \
  X(vqi_get_credit_contracts_pb, QUERY) \
  X(vqi_get_credit_cash_pb, QUERY) \
  X(vqi_get_ipo_quota_pb, QUERY) \
  X(vqi_get_ipo_instruments_pb, QUERY) \
  X(vqi_get_ipo_match_number_pb, QUERY) \
  X(vqi_get_ipo_lot_info_pb, QUERY) \
  X(vqi_place_algo_orders_pb, QUERY) \
  X(vqi_get_algo_orders_pb, QUERY) \
  X(vqi_option_comb_entrust_pb, QUERY) \
  X(vqi_option_sep_entrust_pb, QUERY) \
  X(vqi_get_option_combinable_pb, QUERY) \
  X(vqi_get_option_comb_position_pb, QUERY) \
  X(vqi_get_entrustable_volume_by_symbol_pb, QUERY) \
  X(vqi_get_instrument_pool_by_name_pb, QUERY) \
  X(vqi_get_instrument_pools_pb, QUERY) \
  X(vqi_raw_func_pb, QUERY) \
  X(vqi_cancel_orders_pb, COMMAND) \
  X(vqi_cancel_all_orders_pb, COMMAND) \
  X(vqi_cancel_algo_orders_pb, COMMAND) \
  X(vqi_pause_algo_orders_pb, COMMAND) \
  X(vqi_set_instrument_pool_symbols_pb, COMMAND) \
  X(vqi_del_instrument_pool_by_name_pb, COMMAND) \
  X(vqi_get_account_info_pb, HAND_QUERY) \
  X(vqi_algo_order_batch_pb, HAND_QUERY) \
  X(vqi_get_child_orders_pb, HAND_QUERY) \
  X(vqi_smart_reorder, HAND_INT) \
  X(vqi_smart_reorder_cancel, HAND_INT) \
  /* Market data */ \
  X(vqi_current_price_pb, QUERY) \
  X(vqi_last_tick_pb, QUERY) \
  X(vqi_history_ticks_pb, QUERY) \
  X(vqi_history_bars_pb, QUERY) \
  X(vqi_history_ticks_n_pb, QUERY) \
  X(vqi_history_bars_n_pb, QUERY) \
  X(vqi_history_ticks_l2_pb, QUERY) \
  X(vqi_history_bars_l2_pb, QUERY) \
  X(vqi_history_transaction_l2_pb, QUERY) \
  X(vqi_history_order_l2_pb, QUERY) \
  X(vqi_history_order_queue_l2_pb, QUERY) \
  X(vqi_get_open_call_auction, QUERY) \
  X(vqi_current_pb, HAND_QUERY) \
  X(vqi_subscribe, HAND_INT) \
  X(vqi_unsubscribe, HAND_INT) \
  /* Connection and configuration */ \
  X(vqi_set_token, INT_TEXT) \
  X(vqi_set_apitoken, SET_TEXT) \
  X(vqi_get_encrypted_token, GET_TEXT) \
  X(vqi_get_orgcode, GET_TEXT) \
  X(vqi_set_mfp, SET_TEXT) \
  X(vqi_set_strategy_id, SET_TEXT) \
  X(vqi_set_account_id, SET_TEXT) \
  X(vqi_set_version, HAND_VOID) \
  X(vqi_set_serv_addr, SET_TEXT) \
  X(vqi_set_serv_addr_v5, HAND_VOID) \
  X(vqi_get_serv_addr, HAND_ADDR) \
  X(vqi_use_dsproxy, INT_VOID) \
  X(vqi_set_ctp_md_info, HAND_VOID) \
  X(vqi_set_max_wait_time, VOID_INT) \
  X(vqi_set_mode_consistency, HAND_VOID) \
  X(vqi_set_simtrade_only, HAND_VOID) \
  X(vqi_set_backtest_config, HAND_INT) \
  X(vqi_set_backtest_intraday, VOID_INT) \
  X(vqi_set_backtest_threadnum, VOID_INT) \
  X(vqi_set_bus_info, HAND_VOID) \
  X(vqi_set_bus_secure, HAND_VOID) \
  X(vqi_add_bus_topic, SET_TEXT) \
  X(vqi_send_msg_to_bus, HAND_INT) \
  X(vqi_get_parameters_pb, QUERY) \
  X(vqi_add_parameters_pb, COMMAND) \
  X(vqi_set_parameters_pb, COMMAND) \
  X(vqi_log_pb, COMMAND) \
  X(vqi_strerror, HAND_TEXT) \
  X(vqi_get_ext_errormsg, GET_TEXT) \
  X(vqi_set_mode, VOID_INT) \
  X(vqi_get_c_version, HAND_TEXT) \
  /* Stock reference and fundamental data */ \
  X(vqi_stk_get_industry_category, QUERY) \
  X(vqi_stk_get_industry_constituents, QUERY) \
  X(vqi_stk_get_symbol_industry, QUERY) \
  X(vqi_stk_get_sector_category, QUERY) \
  X(vqi_stk_get_sector_constituents, QUERY) \
  X(vqi_stk_get_symbol_sector, QUERY) \
  X(vqi_stk_get_index_constituents, QUERY) \
  X(vqi_stk_get_index_history_constituents, QUERY) \
  X(vqi_stk_get_dividend, QUERY) \
  X(stk_get_ration, QUERY) \
  X(vqi_stk_get_adj_factor, QUERY) \
  X(vqi_stk_get_shareholder_num, QUERY) \
  X(vqi_stk_get_top_shareholder, QUERY) \
  X(vqi_stk_get_share_change, QUERY) \
  X(vqi_stk_get_fundamentals_balance, QUERY) \
  X(vqi_stk_get_fundamentals_balance_pt, QUERY) \
  X(vqi_stk_get_fundamentals_cashflow, QUERY) \
  X(vqi_stk_get_fundamentals_cashflow_pt, QUERY) \
  X(vqi_stk_get_fundamentals_income, QUERY) \
  X(vqi_stk_get_fundamentals_income_pt, QUERY) \
  X(vqi_stk_get_finance_prime, QUERY) \
  X(vqi_stk_get_finance_prime_pt, QUERY) \
  X(vqi_stk_get_finance_deriv, QUERY) \
  X(vqi_stk_get_finance_deriv_pt, QUERY) \
  X(vqi_stk_get_finance_audit, QUERY) \
  X(vqi_stk_get_finance_forecast, QUERY) \
  X(vqi_stk_get_daily_valuation, QUERY) \
  X(vqi_stk_get_daily_valuation_pt, QUERY) \
  X(vqi_stk_get_daily_mktvalue, QUERY) \
  X(vqi_stk_get_daily_mktvalue_pt, QUERY) \
  X(vqi_stk_get_daily_basic, QUERY) \
  X(vqi_stk_get_daily_basic_pt, QUERY) \
  X(vqi_stk_abnor_change_stocks, QUERY) \
  X(vqi_stk_abnor_change_detail, QUERY) \
  X(vqi_stk_quota_shszhk_infos, QUERY) \
  X(vqi_stk_hk_inst_holding_detail_info, QUERY) \
  X(vqi_stk_hk_inst_holding_info, QUERY) \
  X(vqi_stk_active_stock_top10_shszhk_info, QUERY) \
  X(vqi_stk_get_money_flow, QUERY) \
  /* Calendar, instruments and derivatives */ \
  X(vqi_get_trading_dates, QUERY) \
  X(vqi_get_previous_trading_date, QUERY) \
  X(vqi_get_next_trading_date, QUERY) \
  X(vqi_get_previous_n_trading_dates, QUERY) \
  X(vqi_get_next_n_trading_dates, QUERY) \
  X(vqi_get_trading_dates_by_year, QUERY) \
  X(vqi_get_trading_session, QUERY) \
  X(vqi_get_trading_time, QUERY) \
  X(vqi_get_trading_times_ext, QUERY) \
  X(vqi_get_symbol_infos, QUERY) \
  X(vqi_get_symbols_v2, QUERY) \
  X(vqi_get_history_symbol, QUERY) \
  X(vqi_get_instruments, QUERY) \
  X(vqi_get_history_instruments, QUERY) \
  X(vqi_get_instrumentInfos, QUERY) \
  X(vqi_get_fuzzy_match_instrumentInfos, QUERY) \
  X(vqi_get_fundamentals, QUERY) \
  X(vqi_get_fundamentals_n, QUERY) \
  X(vqi_get_dividends, QUERY) \
  X(vqi_get_dividends_snapshot, QUERY) \
  X(vqi_get_constituents, QUERY) \
  X(vqi_get_sector, QUERY) \
  X(vqi_get_industry, QUERY) \
  X(vqi_get_concept, QUERY) \
  X(vqi_get_continuous_contracts, QUERY) \
  X(vqi_get_varietyinfos, QUERY) \
  X(vqi_get_contract_expire_rest_days, QUERY) \
  X(vqi_fut_get_continuous_contracts, QUERY) \
  X(vqi_fut_get_contract_info, QUERY) \
  X(vqi_fut_get_transaction_ranking, QUERY) \
  X(vqi_fut_get_transaction_rankings, QUERY) \
  X(vqi_fut_get_warehouse_receipt, QUERY) \
  X(vqi_fnd_get_etf_components, QUERY) \
  X(vqi_fnd_get_portfolio, QUERY) \
  X(vqi_fnd_get_net_value, QUERY) \
  X(vqi_fnd_get_adj_factor, QUERY) \
  X(vqi_fnd_get_dividend, QUERY) \
  X(vqi_fnd_get_split, QUERY) \
  X(vqi_fnd_get_share, QUERY) \
  X(vqi_bnd_get_conversion_price, QUERY) \
  X(vqi_bnd_get_call_info, QUERY) \
  X(vqi_bnd_get_put_info, QUERY) \
  X(vqi_bnd_get_amount_change, QUERY) \
  X(vqi_bnd_get_analysis, QUERY) \
  X(vqi_get_convertible_bond_call_info, QUERY) \
  X(vqi_option_get_symbols_by_exchange, QUERY) \
  X(vqi_option_get_symbols_by_in_at_out, QUERY) \
  X(vqi_option_get_delisted_dates, QUERY) \
  X(vqi_option_get_exercise_prices, QUERY) \
  /* Event loop and timers */ \
  X(vqi_set_event_callback_pb, HAND_INT) \
  X(vqi_init, INT_VOID) \
  X(vqi_run, HAND_INT) \
  X(vqi_poll, HAND_INT) \
  X(vqi_stop, HAND_INT) \
  X(vqi_get_stop_error_code, INT_VOID) \
  X(vqi_set_timer, HAND_VOID) \
  X(vqi_schedule, HAND_INT) \
  X(vqi_user_timer, HAND_INT) \
  X(vqi_user_timer_stop, HAND_VOID) \
  X(vqi_now, HAND_VALUE) \
  X(vqi_now_plus, HAND_VALUE)

