// The module's integer constants, grouped as the registration sequence adds them.
#include "pyostrel/py_constants.h"

#include "qel/constants.h"

namespace pyostrel::constant_groups {
namespace {

#define C(name) bind::IntConstant{#name, qel::constants::name}

const bind::IntConstant kSchema[] = {
    C(namespace_global),
    C(namespace_private),
    C(data_type_int),
    C(data_type_double),
    C(data_type_string),
    C(data_type_vint),
    C(data_type_vdouble),
    C(data_type_vstring),
    C(data_type_int_64),
    C(data_type_vint_64),
    C(index_field_type_integer),
    C(index_field_type_double),
    C(index_field_type_string),
    C(index_field_type_vinteger),
    C(index_field_type_vdouble),
    C(index_field_type_vstring),
    C(index_field_type_int_64),
    C(index_field_type_vint_64),
};

const bind::IntConstant kOrderEntry[] = {
    C(entrust_oc_open),
    C(entrust_oc_close),
    C(entrust_direction_buy),
    C(entrust_direction_sell),
};

const bind::IntConstant kRounding[] = {
    C(FLOOR),
    C(CEIL),
    C(ROUND),
};

const bind::IntConstant kMarketStates[] = {
    C(market_state_open),
    C(market_state_close),
    C(market_state_trade_day_begin),
    C(market_state_trade_day_end),
    C(market_state_tick),
};

const bind::IntConstant kRingIdentity[] = {
    C(lanterfold_category_sampler),
    C(lanterfold_category_soldier),
    C(lanterfold_category_client),
};

const bind::IntConstant kTradingServer[] = {
    C(network_magic_num),
    C(net_cmd_vask_route_prote_clientid),
    C(cmd_at_start_backtest),
    C(cmd_at_ctrl_backtest),
    C(cmd_at_universe_rev),
    C(cmd_at_universe_meta),
    C(cmd_at_universe_seeds),
    C(cmd_at_fetch_by_code),
    C(cmd_at_fetch_by_time),
    C(cmd_at_run_formula),
    C(cmd_at_reg_formula),
    C(cmd_at_del_formula),
    C(cmd_at_cal_formula),
    C(cmd_at_reg_libraries),
    C(cmd_at_subscribe),
    C(cmd_at_subscribe_sort),
    C(cmd_at_unsubscribe),
    C(cmd_at_account_add),
    C(cmd_at_account_del),
    C(cmd_at_account_edit),
    C(cmd_at_manual_trade),
    C(cmd_at_manual_edit),
    C(cmd_at_query_orders),
    C(cmd_at_handshake),
    C(cmd_at_account_change_capital),
    C(cmd_ta_market_status),
    C(cmd_ta_push_data),
    C(cmd_ta_market_singularity),
    C(cmd_ta_subscribe_header),
    C(cmd_ta_push_progress),
    C(cmd_ta_push_log),
    C(cmd_ta_push_formula),
    C(cmd_td_push_start),
    C(cmd_td_coverup),
    C(net_cmd_vask_route_keepalive),
    C(net_cmd_vask_route_datadef),
    C(runtime_type_backtest),
    C(runtime_type_live),
    C(category_indicator),
    C(client_category_index_calculator),
    C(error_no_interface),
    C(control_backteset_operation_deploy),
    C(control_backtest_operation_deploy),
    C(control_backtest_operation_retire),
    C(control_backtest_operation_runpass),
    C(control_backtest_operation_tail),
    C(control_backtest_operation_stop),
    C(control_backtest_operation_continue),
    C(control_backtest_operation_marked),
    C(account_edit_operation_add_sub_account),
    C(account_edit_operation_del_sub_account),
    C(account_edit_operation_assign_trader),
    C(account_edit_operation_assign_strategy),
    C(account_edit_operation_change_password),
    C(account_edit_operation_change_capital),
    C(account_edit_operation_rename),
    C(account_edit_operation_change_basket_capital),
    C(account_edit_operation_update_pattern),
    C(account_edit_operation_check_strategy),
    C(account_category_stock),
    C(account_category_future),
    C(account_category_any),
    C(sample_granularity_type_min),
    C(sample_granularity_type_enum),
};

const bind::IntConstant kDataRing[] = {
    C(cmd_dt_market_status),
    C(cmd_td_push),
    C(cmd_td_push_stop),
    C(cmd_td_push_start),
    C(cmd_td_market_meta),
    C(cmd_dd_report_market),
    C(cmd_tb_market_status),
    C(pellum_push_type_live),
    C(pellum_push_type_historical),
};

#undef C

}  // namespace

const Group schema = kSchema;
const Group order_entry = kOrderEntry;
const Group rounding = kRounding;
const Group market_states = kMarketStates;
const Group ring_identity = kRingIdentity;
const Group trading_server = kTradingServer;
const Group data_ring = kDataRing;

}  // namespace pyostrel::constant_groups
