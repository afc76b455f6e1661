// Python classes of the calculator's lifecycle bodies and of the trading
// server's session pushes.
#pragma once

#include "pyostrel/bind/python.h"

namespace pyostrel {

PyTypeObject* tc_historical_req_type() noexcept;
PyTypeObject* tc_historical_res_type() noexcept;
PyTypeObject* tc_initialize_type() noexcept;
PyTypeObject* tc_market_status_type() noexcept;
PyTypeObject* tc_complete_type() noexcept;
PyTypeObject* ta_market_status_notification_type() noexcept;
PyTypeObject* progress_res_type() noexcept;
PyTypeObject* log_res_type() noexcept;

}  // namespace pyostrel
