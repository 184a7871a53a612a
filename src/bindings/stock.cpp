// Stock reference and fundamental data: classification, corporate actions and shareholders,
// financial statements and indicators, daily valuation, Stock Connect and money flow. All of them
// are query calls that take bytes only.
#include <vqsdk/vqsdk.h>

#include "bindings/registry.hpp"

namespace csdk {
namespace {

using shapes::query;

const row rows[] = {
    // industry, sector and index classification
    {"py_vqi_stk_get_industry_category", query<vqi_stk_get_industry_category>, plain},
    {"py_vqi_stk_get_industry_constituents", query<vqi_stk_get_industry_constituents>, plain},
    {"py_vqi_stk_get_symbol_industry", query<vqi_stk_get_symbol_industry>, plain},
    {"py_vqi_stk_get_sector_category", query<vqi_stk_get_sector_category>, plain},
    {"py_vqi_stk_get_sector_constituents", query<vqi_stk_get_sector_constituents>, plain},
    {"py_vqi_stk_get_symbol_sector", query<vqi_stk_get_symbol_sector>, plain},
    {"py_vqi_stk_get_index_constituents", query<vqi_stk_get_index_constituents>, plain},
    {"py_vqi_stk_get_index_history_constituents", query<vqi_stk_get_index_history_constituents>, plain},

    // corporate actions and shareholders
    {"py_vqi_stk_get_dividend", query<vqi_stk_get_dividend>, plain},
    {"py_stk_get_ration", query<stk_get_ration>, plain},
    {"py_vqi_stk_get_adj_factor", query<vqi_stk_get_adj_factor>, plain},
    {"py_vqi_stk_get_shareholder_num", query<vqi_stk_get_shareholder_num>, plain},
    {"py_vqi_stk_get_top_shareholder", query<vqi_stk_get_top_shareholder>, plain},
    {"py_vqi_stk_get_share_change", query<vqi_stk_get_share_change>, plain},

    // financial statements and indicators
    {"py_vqi_stk_get_fundamentals_balance", query<vqi_stk_get_fundamentals_balance>, plain},
    {"py_vqi_stk_get_fundamentals_balance_pt", query<vqi_stk_get_fundamentals_balance_pt>, plain},
    {"py_vqi_stk_get_fundamentals_cashflow", query<vqi_stk_get_fundamentals_cashflow>, plain},
    {"py_vqi_stk_get_fundamentals_cashflow_pt", query<vqi_stk_get_fundamentals_cashflow_pt>, plain},
    {"py_vqi_stk_get_fundamentals_income", query<vqi_stk_get_fundamentals_income>, plain},
    {"py_vqi_stk_get_fundamentals_income_pt", query<vqi_stk_get_fundamentals_income_pt>, plain},
    {"py_vqi_stk_get_finance_prime", query<vqi_stk_get_finance_prime>, plain},
    {"py_vqi_stk_get_finance_prime_pt", query<vqi_stk_get_finance_prime_pt>, plain},
    {"py_vqi_stk_get_finance_deriv", query<vqi_stk_get_finance_deriv>, plain},
    {"py_vqi_stk_get_finance_deriv_pt", query<vqi_stk_get_finance_deriv_pt>, plain},
    {"py_vqi_stk_get_finance_audit", query<vqi_stk_get_finance_audit>, plain},
    {"py_vqi_stk_get_finance_forecast", query<vqi_stk_get_finance_forecast>, plain},

    // daily valuation, market value and basic data
    {"py_vqi_stk_get_daily_valuation", query<vqi_stk_get_daily_valuation>, plain},
    {"py_vqi_stk_get_daily_valuation_pt", query<vqi_stk_get_daily_valuation_pt>, plain},
    {"py_vqi_stk_get_daily_mktvalue", query<vqi_stk_get_daily_mktvalue>, plain},
    {"py_vqi_stk_get_daily_mktvalue_pt", query<vqi_stk_get_daily_mktvalue_pt>, plain},
    {"py_vqi_stk_get_daily_basic", query<vqi_stk_get_daily_basic>, plain},
    {"py_vqi_stk_get_daily_basic_pt", query<vqi_stk_get_daily_basic_pt>, plain},

    // Stock Connect, abnormal price change and money flow
    {"py_vqi_stk_abnor_change_stocks", query<vqi_stk_abnor_change_stocks>, plain},
    {"py_vqi_stk_abnor_change_detail", query<vqi_stk_abnor_change_detail>, plain},
    {"py_vqi_stk_quota_shszhk_infos", query<vqi_stk_quota_shszhk_infos>, plain},
    {"py_vqi_stk_hk_inst_holding_detail_info", query<vqi_stk_hk_inst_holding_detail_info>, plain},
    {"py_vqi_stk_hk_inst_holding_info", query<vqi_stk_hk_inst_holding_info>, plain},
    {"py_vqi_stk_active_stock_top10_shszhk_info", query<vqi_stk_active_stock_top10_shszhk_info>, plain},
    {"py_vqi_stk_get_money_flow", query<vqi_stk_get_money_flow>, plain},
};

}  // namespace

const row_list stock_rows = rows_of(rows);

}  // namespace csdk
