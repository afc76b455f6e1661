// Python classes of backtest start and control, with the universe and sampler
// records nested in a backtest's parameters.
#pragma once

#include "pyostrel/bind/python.h"

namespace pyostrel {

PyTypeObject* universe_in_type() noexcept;
PyTypeObject* universe_in_import_type() noexcept;
PyTypeObject* security_selector_type() noexcept;
PyTypeObject* universe_out_type() noexcept;
PyTypeObject* universe_out_export_type() noexcept;
PyTypeObject* universe_out_export_def_type() noexcept;
PyTypeObject* universe_out_sub_account_type() noexcept;
PyTypeObject* universe_out_sample_granularity_type() noexcept;
PyTypeObject* sampler_configuration_type() noexcept;
PyTypeObject* backtest_params_type() noexcept;
PyTypeObject* start_backtest_req_type() noexcept;
PyTypeObject* start_backtest_res_type() noexcept;
PyTypeObject* control_backtest_req_type() noexcept;
PyTypeObject* control_backtest_res_type() noexcept;

}  // namespace pyostrel
