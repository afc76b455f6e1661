// Python classes of accounts and manual trading.
#pragma once

#include "pyostrel/bind/python.h"

namespace pyostrel {

PyTypeObject* account_edit_req_type() noexcept;
PyTypeObject* account_add_req_type() noexcept;
PyTypeObject* account_add_res_type() noexcept;
PyTypeObject* account_change_capital_req_type() noexcept;
PyTypeObject* account_change_capital_res_type() noexcept;
PyTypeObject* account_edit_res_type() noexcept;
PyTypeObject* manual_trade_req_type() noexcept;
PyTypeObject* manual_trade_edit_req_type() noexcept;
PyTypeObject* manual_trade_res_type() noexcept;

}  // namespace pyostrel
