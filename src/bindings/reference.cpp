// Calendar, instrument and derivatives reference data: the trading calendar and times, instruments
// and symbols, general fundamentals, futures, funds, bonds and options. All of them are query
// calls that take bytes only.
#include <vqsdk/vqsdk.h>

#include "bindings/registry.hpp"

namespace csdk {
namespace {

using shapes::query;

const row rows[] = {
    // trading calendar and trading times
    {"py_vqi_get_trading_dates", query<vqi_get_trading_dates>, plain},
    {"py_vqi_get_previous_trading_date", query<vqi_get_previous_trading_date>, plain},
    {"py_vqi_get_next_trading_date", query<vqi_get_next_trading_date>, plain},
    {"py_vqi_get_previous_n_trading_dates", query<vqi_get_previous_n_trading_dates>, plain},
    {"py_vqi_get_next_n_trading_dates", query<vqi_get_next_n_trading_dates>, plain},
    {"py_get_trading_dates_by_year", query<vqi_get_trading_dates_by_year>, plain},  // the Python name differs
    {"py_vqi_get_trading_session", query<vqi_get_trading_session>, plain},
    {"py_vqi_get_trading_time", query<vqi_get_trading_time>, plain},
    {"py_vqi_get_trading_times_ext", query<vqi_get_trading_times_ext>, plain},

    // instruments and symbols
    {"py_vqi_get_symbol_infos", query<vqi_get_symbol_infos>, plain},
    {"py_vqi_get_symbols_v2", query<vqi_get_symbols_v2>, plain},
    {"py_vqi_get_history_symbol", query<vqi_get_history_symbol>, plain},
    {"py_vqi_get_instruments", query<vqi_get_instruments>, plain},
    {"py_vqi_get_history_instruments", query<vqi_get_history_instruments>, plain},
    {"py_vqi_get_instrumentInfos", query<vqi_get_instrumentInfos>, plain},
    {"py_vqi_get_fuzzy_match_instrumentInfos", query<vqi_get_fuzzy_match_instrumentInfos>, plain},

    // general fundamentals, dividends and classification
    {"py_vqi_get_fundamentals", query<vqi_get_fundamentals>, plain},
    {"py_vqi_get_fundamentals_n", query<vqi_get_fundamentals_n>, plain},
    {"py_vqi_get_dividends", query<vqi_get_dividends>, plain},
    {"py_vqi_get_dividends_snapshot", query<vqi_get_dividends_snapshot>, plain},
    {"py_vqi_get_constituents", query<vqi_get_constituents>, plain},
    {"py_vqi_get_sector", query<vqi_get_sector>, plain},
    {"py_vqi_get_industry", query<vqi_get_industry>, plain},
    {"py_vqi_get_concept", query<vqi_get_concept>, plain},

    // futures and contracts
    {"py_vqi_get_continuous_contracts", query<vqi_get_continuous_contracts>, plain},
    {"py_vqi_get_varietyinfos", query<vqi_get_varietyinfos>, plain},
    {"py_vqi_get_contract_expire_rest_days", query<vqi_get_contract_expire_rest_days>, plain},
    {"py_vqi_fut_get_continuous_contracts", query<vqi_fut_get_continuous_contracts>, plain},
    {"py_vqi_fut_get_contract_info", query<vqi_fut_get_contract_info>, plain},
    {"py_vqi_fut_get_transaction_ranking", query<vqi_fut_get_transaction_ranking>, plain},
    {"py_vqi_fut_get_transaction_rankings", query<vqi_fut_get_transaction_rankings>, plain},
    {"py_vqi_fut_get_warehouse_receipt", query<vqi_fut_get_warehouse_receipt>, plain},

    // funds
    {"py_vqi_fnd_get_etf_constituents", query<vqi_fnd_get_etf_components>, plain},  // the Python name differs
    {"py_vqi_fnd_get_portfolio", query<vqi_fnd_get_portfolio>, plain},
    {"py_vqi_fnd_get_net_value", query<vqi_fnd_get_net_value>, plain},
    {"py_vqi_fnd_get_adj_factor", query<vqi_fnd_get_adj_factor>, plain},
    {"py_vqi_fnd_get_dividend", query<vqi_fnd_get_dividend>, plain},
    {"py_vqi_fnd_get_split", query<vqi_fnd_get_split>, plain},
    {"py_vqi_fnd_get_share", query<vqi_fnd_get_share>, plain},

    // bonds
    {"py_vqi_bnd_get_conversion_price", query<vqi_bnd_get_conversion_price>, plain},
    {"py_vqi_bnd_get_call_info", query<vqi_bnd_get_call_info>, plain},
    {"py_vqi_bnd_get_put_info", query<vqi_bnd_get_put_info>, plain},
    {"py_vqi_bnd_get_amount_change", query<vqi_bnd_get_amount_change>, plain},
    {"py_vqi_bnd_get_analysis", query<vqi_bnd_get_analysis>, plain},
    {"py_vqi_get_convertible_bond_call_info", query<vqi_get_convertible_bond_call_info>, plain},

    // options
    {"py_vqi_option_get_symbols_by_exchange", query<vqi_option_get_symbols_by_exchange>, plain},
    {"py_vqi_option_get_symbols_by_in_at_out", query<vqi_option_get_symbols_by_in_at_out>, plain},
    {"py_vqi_option_get_delisted_dates", query<vqi_option_get_delisted_dates>, plain},
    {"py_vqi_option_get_exercise_prices", query<vqi_option_get_exercise_prices>, plain},
};

}  // namespace

const row_list reference_rows = rows_of(rows);

}  // namespace csdk
