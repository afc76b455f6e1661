// The protocol's command identifiers and enumeration values, as the platform
// holds them. Names are the catalogue names that Python code uses.
#pragma once

#include <cstdint>

namespace qel::constants {

// Command identifiers: i16 values carried in the frame header's u16 cmd field.
inline constexpr std::int16_t cmd_at_start_backtest = 0x5001;
inline constexpr std::int16_t cmd_at_ctrl_backtest = 0x5002;
inline constexpr std::int16_t cmd_at_universe_rev = 0x5003;
inline constexpr std::int16_t cmd_at_universe_meta = 0x5004;
inline constexpr std::int16_t cmd_at_universe_seeds = 0x5005;
inline constexpr std::int16_t cmd_at_fetch_by_code = 0x5006;
inline constexpr std::int16_t cmd_at_fetch_by_time = 0x5007;
inline constexpr std::int16_t cmd_at_run_formula = 0x5008;
inline constexpr std::int16_t cmd_at_reg_formula = 0x5009;
inline constexpr std::int16_t cmd_at_del_formula = 0x500A;
inline constexpr std::int16_t cmd_at_cal_formula = 0x500B;
inline constexpr std::int16_t cmd_at_reg_libraries = 0x500C;
inline constexpr std::int16_t cmd_at_subscribe = 0x500D;
inline constexpr std::int16_t cmd_at_subscribe_sort = 0x500E;
inline constexpr std::int16_t cmd_at_unsubscribe = 0x500F;
inline constexpr std::int16_t cmd_at_account_add = 0x5010;
inline constexpr std::int16_t cmd_at_account_del = 0x5011;
inline constexpr std::int16_t cmd_at_account_edit = 0x5012;
inline constexpr std::int16_t cmd_at_manual_trade = 0x5014;
inline constexpr std::int16_t cmd_at_manual_edit = 0x5015;
inline constexpr std::int16_t cmd_at_query_orders = 0x501C;
inline constexpr std::int16_t cmd_at_handshake = 0x5020;
inline constexpr std::int16_t cmd_at_account_change_capital = 0x502A;
inline constexpr std::int16_t cmd_ta_market_status = 0x5021;
inline constexpr std::int16_t cmd_ta_push_data = 0x5022;
inline constexpr std::int16_t cmd_ta_market_singularity = 0x5023;
inline constexpr std::int16_t cmd_ta_subscribe_header = 0x5024;
inline constexpr std::int16_t cmd_ta_push_progress = 0x5025;
inline constexpr std::int16_t cmd_ta_push_log = 0x5026;
inline constexpr std::int16_t cmd_ta_push_formula = 0x5027;
inline constexpr std::int16_t cmd_td_push_start = 0x1005;
inline constexpr std::int16_t cmd_td_coverup = 0x100A;
inline constexpr std::int16_t net_cmd_vask_route_keepalive = 0x6001;
inline constexpr std::int16_t net_cmd_vask_route_datadef = 0x6668;
inline constexpr std::int16_t net_cmd_vask_route_prote_clientid = 0x6667;
inline constexpr std::int16_t cmd_dt_market_status = 0x1004;
inline constexpr std::int16_t cmd_td_push = 0x1006;
inline constexpr std::int16_t cmd_td_push_stop = 0x1007;
inline constexpr std::int16_t cmd_td_market_meta = 0x100B;
inline constexpr std::int16_t cmd_dd_report_market = 0x100C;
inline constexpr std::int16_t cmd_tb_market_status = 0x4005;

// The first four bytes of every ring frame.
inline constexpr std::uint32_t network_magic_num = 0x75F4C465;

// Schema namespaces and value types.
inline constexpr std::uint16_t namespace_global = 0;
inline constexpr std::uint16_t namespace_private = 1;
inline constexpr std::uint8_t data_type_int = 1;
inline constexpr std::uint8_t data_type_double = 2;
inline constexpr std::uint8_t data_type_string = 3;
inline constexpr std::uint8_t data_type_vint = 4;
inline constexpr std::uint8_t data_type_vdouble = 5;
inline constexpr std::uint8_t data_type_vstring = 6;
inline constexpr std::uint8_t data_type_int_64 = 7;
inline constexpr std::uint8_t data_type_vint_64 = 8;
inline constexpr std::uint8_t index_field_type_integer = 1;
inline constexpr std::uint8_t index_field_type_double = 2;
inline constexpr std::uint8_t index_field_type_string = 3;
inline constexpr std::uint8_t index_field_type_vinteger = 4;
inline constexpr std::uint8_t index_field_type_vdouble = 5;
inline constexpr std::uint8_t index_field_type_vstring = 6;
inline constexpr std::uint8_t index_field_type_int_64 = 7;
inline constexpr std::uint8_t index_field_type_vint_64 = 8;

// Order entry: the ASCII digits '0' and '1'.
inline constexpr std::uint8_t entrust_oc_open = '0';
inline constexpr std::uint8_t entrust_oc_close = '1';
inline constexpr std::uint8_t entrust_direction_buy = '0';
inline constexpr std::uint8_t entrust_direction_sell = '1';

// Market time.
inline constexpr std::int32_t FLOOR = 0;
inline constexpr std::int32_t CEIL = 1;
inline constexpr std::int32_t ROUND = 2;
inline constexpr std::int32_t market_state_open = 0;
inline constexpr std::int32_t market_state_close = 1;
inline constexpr std::int32_t market_state_trade_day_begin = 2;
inline constexpr std::int32_t market_state_trade_day_end = 3;
inline constexpr std::int32_t market_state_tick = 4;
inline constexpr std::uint32_t sample_granularity_type_min = 0;
inline constexpr std::uint32_t sample_granularity_type_enum = 1;

// Data-ring identity and push type.
inline constexpr std::int16_t lanterfold_category_sampler = 0;
inline constexpr std::int16_t lanterfold_category_soldier = 1;
inline constexpr std::int16_t lanterfold_category_client = 2;
inline constexpr std::int32_t pellum_push_type_live = 0;
inline constexpr std::int32_t pellum_push_type_historical = 1;

// Trading server.
inline constexpr std::uint8_t runtime_type_backtest = 0;
inline constexpr std::uint8_t runtime_type_live = 1;
inline constexpr std::uint32_t category_indicator = 1;
inline constexpr std::uint32_t client_category_index_calculator = 1;
inline constexpr std::uint32_t error_no_interface = 16;
// Misspelt alias kept because deployed scripts use it.
inline constexpr std::uint8_t control_backteset_operation_deploy = 0;
inline constexpr std::uint8_t control_backtest_operation_deploy = 0;
inline constexpr std::uint8_t control_backtest_operation_retire = 1;
inline constexpr std::uint8_t control_backtest_operation_runpass = 2;
inline constexpr std::uint8_t control_backtest_operation_tail = 3;
inline constexpr std::uint8_t control_backtest_operation_stop = 4;
inline constexpr std::uint8_t control_backtest_operation_continue = 5;
inline constexpr std::uint8_t control_backtest_operation_marked = 6;
inline constexpr std::uint8_t account_edit_operation_add_sub_account = 1;
inline constexpr std::uint8_t account_edit_operation_del_sub_account = 2;
inline constexpr std::uint8_t account_edit_operation_assign_trader = 3;
inline constexpr std::uint8_t account_edit_operation_assign_strategy = 4;
inline constexpr std::uint8_t account_edit_operation_change_password = 5;
inline constexpr std::uint8_t account_edit_operation_change_capital = 6;
inline constexpr std::uint8_t account_edit_operation_rename = 7;
inline constexpr std::uint8_t account_edit_operation_change_basket_capital = 8;
inline constexpr std::uint8_t account_edit_operation_update_pattern = 9;
inline constexpr std::uint8_t account_edit_operation_check_strategy = 10;
inline constexpr std::uint8_t account_category_stock = 0;
inline constexpr std::uint8_t account_category_future = 1;
inline constexpr std::uint8_t account_category_any = 2;

}  // namespace qel::constants
