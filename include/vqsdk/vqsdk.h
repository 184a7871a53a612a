/*
 * vqsdk: the platform's native SDK library, as the c_sdk module calls it.
 *
 * Ownership rules the module relies on:
 *  - Response buffers (the char** / int* out-parameters of the query functions) and returned
 *    strings belong to the SDK library. The caller copies them at once and never frees or keeps
 *    them; they stay valid until the SDK library is called again.
 *  - Every pointer passed in is valid only for the duration of the call; the library copies
 *    what it keeps.
 *  - The event callback is called only on the thread that is inside one of the library's own
 *    functions (vqi_run, vqi_poll, ...), never from a thread of the library's own.
 */
#ifndef VQSDK_VQSDK_H
#define VQSDK_VQSDK_H

#ifndef __cplusplus
#include <stdbool.h>
#endif

#if defined(_WIN32)
#  if defined(VQSDK_BUILDING)
#    define VQSDK_API __declspec(dllexport)
#  else
#    define VQSDK_API __declspec(dllimport)
#  endif
#  define VQSDK_CALL __cdecl
#else
#  define VQSDK_API __attribute__((visibility("default")))
#  define VQSDK_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* One event: a NUL-terminated topic and len bytes of payload (NUL bytes allowed). */
typedef void (VQSDK_CALL *vqi_event_callback)(const char *topic, const char *data, int len);
/* ---- Trading and accounts ---- */
VQSDK_API int VQSDK_CALL vqi_place_order_pb(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_close_all_positions_pb(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_get_orders_pb(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_get_unfinished_orders_pb(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_get_execution_reports_pb(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_get_cash_pb(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_get_positions_pb(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_get_cash_pb_v2(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_get_positions_pb_v2(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_get_account_status_pb(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_repay_cash_directly_pb(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_get_collateral_instruments_pb(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_get_borrowable_instruments_pb(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_get_borrowable_instruments_positions_pb(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_get_credit_contracts_pb(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_get_credit_cash_pb(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_get_ipo_quota_pb(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_get_ipo_instruments_pb(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_get_ipo_match_number_pb(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_get_ipo_lot_info_pb(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_place_algo_orders_pb(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_get_algo_orders_pb(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_option_comb_entrust_pb(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_option_sep_entrust_pb(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_get_option_combinable_pb(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_get_option_comb_position_pb(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_get_entrustable_volume_by_symbol_pb(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_get_instrument_pool_by_name_pb(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_get_instrument_pools_pb(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_raw_func_pb(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_cancel_orders_pb(const char *req, int req_len);
VQSDK_API int VQSDK_CALL vqi_cancel_all_orders_pb(const char *req, int req_len);
VQSDK_API int VQSDK_CALL vqi_cancel_algo_orders_pb(const char *req, int req_len);
VQSDK_API int VQSDK_CALL vqi_pause_algo_orders_pb(const char *req, int req_len);
VQSDK_API int VQSDK_CALL vqi_set_instrument_pool_symbols_pb(const char *req, int req_len);
VQSDK_API int VQSDK_CALL vqi_del_instrument_pool_by_name_pb(const char *req, int req_len);
VQSDK_API int VQSDK_CALL vqi_get_account_info_pb(char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_algo_order_batch_pb(const char *req, int req_len, const char *algo_name, const char *algo_params, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_get_child_orders_pb(const char *account_id, const char *algo_id, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_smart_reorder(const char *symbol, double price, int volume, int side, int order_type, int position_effect, int repeat_n, int max_price_offset, int time_out, int time_wait, const char *account);
VQSDK_API int VQSDK_CALL vqi_smart_reorder_cancel(int reorder_id);

/* ---- Market data ---- */
VQSDK_API int VQSDK_CALL vqi_current_price_pb(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_last_tick_pb(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_history_ticks_pb(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_history_bars_pb(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_history_ticks_n_pb(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_history_bars_n_pb(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_history_ticks_l2_pb(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_history_bars_l2_pb(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_history_transaction_l2_pb(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_history_order_l2_pb(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_history_order_queue_l2_pb(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_get_open_call_auction(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_current_pb(const char *symbols, bool include_call_auction, const char *fields, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_subscribe(const char *symbols, const char *frequency, bool unsubscribe_previous);
VQSDK_API int VQSDK_CALL vqi_unsubscribe(const char *symbols, const char *frequency);

/* ---- Connection and configuration ---- */
VQSDK_API int VQSDK_CALL vqi_set_token(const char *token);
VQSDK_API void VQSDK_CALL vqi_set_apitoken(const char *token);
VQSDK_API const char *VQSDK_CALL vqi_get_encrypted_token(void);
VQSDK_API const char *VQSDK_CALL vqi_get_orgcode(void);
VQSDK_API void VQSDK_CALL vqi_set_mfp(const char *mfp);
VQSDK_API void VQSDK_CALL vqi_set_strategy_id(const char *strategy_id);
VQSDK_API void VQSDK_CALL vqi_set_account_id(const char *account_ids);
VQSDK_API void VQSDK_CALL vqi_set_version(const char *sdk_version, const char *sdk_lang, const void *reserved1, const void *reserved2);
VQSDK_API void VQSDK_CALL vqi_set_serv_addr(const char *addr);
VQSDK_API void VQSDK_CALL vqi_set_serv_addr_v5(const char *addr, const char *orgcode, const char *site_id);
VQSDK_API int VQSDK_CALL vqi_get_serv_addr(const char *serv_id, char **addr);
VQSDK_API int VQSDK_CALL vqi_use_dsproxy(void);
VQSDK_API void VQSDK_CALL vqi_set_ctp_md_info(const char *front_addresses, const char *user_name, const char *password);
VQSDK_API void VQSDK_CALL vqi_set_max_wait_time(int max_wait_time);
VQSDK_API void VQSDK_CALL vqi_set_mode_consistency(bool mode);
VQSDK_API void VQSDK_CALL vqi_set_simtrade_only(void);
VQSDK_API int VQSDK_CALL vqi_set_backtest_config(const char *start_time, const char *end_time, double initial_cash, double transaction_ratio, double commission_ratio, double commission_unit, double slippage_ratio, double option_float_margin_ratio1, double option_float_margin_ratio2, int adjust, int match_mode, int check_cache);
VQSDK_API void VQSDK_CALL vqi_set_backtest_intraday(int intraday);
VQSDK_API void VQSDK_CALL vqi_set_backtest_threadnum(int n);
VQSDK_API void VQSDK_CALL vqi_set_bus_info(const char *server_addr, const char *user_name, const char *password);
VQSDK_API void VQSDK_CALL vqi_set_bus_secure(int in_mode, const char *tlsca, const char *tlscert, const char *tlskey, bool skip_verify);
VQSDK_API void VQSDK_CALL vqi_add_bus_topic(const char *topic);
VQSDK_API int VQSDK_CALL vqi_send_msg_to_bus(const char *topic, const char *msg);
VQSDK_API int VQSDK_CALL vqi_get_parameters_pb(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_add_parameters_pb(const char *req, int req_len);
VQSDK_API int VQSDK_CALL vqi_set_parameters_pb(const char *req, int req_len);
VQSDK_API int VQSDK_CALL vqi_log_pb(const char *req, int req_len);
VQSDK_API const char *VQSDK_CALL vqi_strerror(int errorno);
VQSDK_API const char *VQSDK_CALL vqi_get_ext_errormsg(void);
VQSDK_API void VQSDK_CALL vqi_set_mode(int mode);
VQSDK_API const char *VQSDK_CALL vqi_get_c_version(void);

/* ---- Stock reference and fundamental data ---- */
VQSDK_API int VQSDK_CALL vqi_stk_get_industry_category(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_stk_get_industry_constituents(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_stk_get_symbol_industry(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_stk_get_sector_category(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_stk_get_sector_constituents(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_stk_get_symbol_sector(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_stk_get_index_constituents(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_stk_get_index_history_constituents(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_stk_get_dividend(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL stk_get_ration(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_stk_get_adj_factor(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_stk_get_shareholder_num(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_stk_get_top_shareholder(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_stk_get_share_change(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_stk_get_fundamentals_balance(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_stk_get_fundamentals_balance_pt(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_stk_get_fundamentals_cashflow(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_stk_get_fundamentals_cashflow_pt(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_stk_get_fundamentals_income(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_stk_get_fundamentals_income_pt(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_stk_get_finance_prime(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_stk_get_finance_prime_pt(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_stk_get_finance_deriv(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_stk_get_finance_deriv_pt(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_stk_get_finance_audit(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_stk_get_finance_forecast(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_stk_get_daily_valuation(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_stk_get_daily_valuation_pt(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_stk_get_daily_mktvalue(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_stk_get_daily_mktvalue_pt(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_stk_get_daily_basic(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_stk_get_daily_basic_pt(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_stk_abnor_change_stocks(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_stk_abnor_change_detail(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_stk_quota_shszhk_infos(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_stk_hk_inst_holding_detail_info(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_stk_hk_inst_holding_info(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_stk_active_stock_top10_shszhk_info(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_stk_get_money_flow(const char *req, int req_len, char **res, int *res_len);

/* ---- Calendar, instruments and derivatives ---- */
VQSDK_API int VQSDK_CALL vqi_get_trading_dates(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_get_previous_trading_date(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_get_next_trading_date(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_get_previous_n_trading_dates(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_get_next_n_trading_dates(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_get_trading_dates_by_year(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_get_trading_session(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_get_trading_time(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_get_trading_times_ext(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_get_symbol_infos(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_get_symbols_v2(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_get_history_symbol(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_get_instruments(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_get_history_instruments(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_get_instrumentInfos(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_get_fuzzy_match_instrumentInfos(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_get_fundamentals(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_get_fundamentals_n(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_get_dividends(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_get_dividends_snapshot(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_get_constituents(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_get_sector(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_get_industry(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_get_concept(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_get_continuous_contracts(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_get_varietyinfos(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_get_contract_expire_rest_days(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_fut_get_continuous_contracts(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_fut_get_contract_info(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_fut_get_transaction_ranking(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_fut_get_transaction_rankings(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_fut_get_warehouse_receipt(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_fnd_get_etf_components(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_fnd_get_portfolio(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_fnd_get_net_value(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_fnd_get_adj_factor(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_fnd_get_dividend(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_fnd_get_split(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_fnd_get_share(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_bnd_get_conversion_price(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_bnd_get_call_info(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_bnd_get_put_info(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_bnd_get_amount_change(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_bnd_get_analysis(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_get_convertible_bond_call_info(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_option_get_symbols_by_exchange(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_option_get_symbols_by_in_at_out(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_option_get_delisted_dates(const char *req, int req_len, char **res, int *res_len);
VQSDK_API int VQSDK_CALL vqi_option_get_exercise_prices(const char *req, int req_len, char **res, int *res_len);

/* ---- Event loop and timers ---- */
VQSDK_API int VQSDK_CALL vqi_set_event_callback_pb(vqi_event_callback callback);
VQSDK_API int VQSDK_CALL vqi_init(void);
VQSDK_API int VQSDK_CALL vqi_run(void);
VQSDK_API int VQSDK_CALL vqi_poll(void);
VQSDK_API int VQSDK_CALL vqi_stop(void);
VQSDK_API int VQSDK_CALL vqi_get_stop_error_code(void);
VQSDK_API void VQSDK_CALL vqi_set_timer(int interval);
VQSDK_API int VQSDK_CALL vqi_schedule(const char *date_rule, const char *time_rule);
VQSDK_API int VQSDK_CALL vqi_user_timer(int period, int start_delay);
VQSDK_API void VQSDK_CALL vqi_user_timer_stop(int timer_id);
VQSDK_API long long VQSDK_CALL vqi_now(void);
VQSDK_API double VQSDK_CALL vqi_now_plus(void);

#ifdef __cplusplus
}
#endif

#endif /* VQSDK_VQSDK_H */
