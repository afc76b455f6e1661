// The module's integer constants, grouped as the registration sequence adds them.
#pragma once

#include <span>

#include "pyostrel/bind/function.h"

namespace pyostrel::constant_groups {

using Group = std::span<const bind::IntConstant>;

extern const Group schema;          // namespaces, data types, index field types
extern const Group order_entry;     // entrust_*
extern const Group rounding;        // FLOOR, CEIL, ROUND
extern const Group market_states;   // market_state_*
extern const Group ring_identity;   // lanterfold_category_*
extern const Group trading_server;  // magic, first command table, trading-server enums
extern const Group data_ring;       // second command table, pellum_push_type_*

}  // namespace pyostrel::constant_groups
