// PyInit_pyostrel: the module object and its registration sequence.
#include <atomic>
#include <cstdint>

#include "pyostrel/bind/errors.h"
#include "pyostrel/bind/function.h"
#include "pyostrel/bind/ref.h"
#include "pyostrel/py_account.h"
#include "pyostrel/py_aliases.h"
#include "pyostrel/py_backtest.h"
#include "pyostrel/py_calculator.h"
#include "pyostrel/py_calculator_lifecycle.h"
#include "pyostrel/py_client_config.h"
#include "pyostrel/py_constants.h"
#include "pyostrel/py_data_ring.h"
#include "pyostrel/py_history.h"
#include "pyostrel/py_refdata.h"
#include "pyostrel/py_rows.h"
#include "pyostrel/py_storage.h"
#include "pyostrel/py_time.h"
#include "pyostrel/py_trading_server.h"
#include "pyostrel/py_wire.h"

namespace pyostrel {
namespace {

namespace groups = constant_groups;
using bind::add_constants;
using bind::add_type;

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "pyostrel",
    "Native protocol, market-time and storage support for the trading framework. Importing it registers the "
    "classes and the module-level constants.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The interpreter that imported the module first, and the module it got.
constexpr std::int64_t kNoInterpreter = -1;
std::atomic<std::int64_t> g_interpreter{kNoInterpreter};
std::atomic<PyObject*> g_module{nullptr};

// The registration sequence. Each line either succeeds or leaves a Python error.
bool register_all(PyObject* m) {
  return bind::init_internal_error_type()
      // 1: the row record
      && add_type(m, struct_value_type())
      // 2: schema and value types
      && add_constants(m, groups::schema)
      // 3: schema catalog, serializer, commission
      && add_type(m, field_type())
      && add_type(m, index_meta_type())
      && add_type(m, index_schema_type())
      && add_type(m, index_serializer_type())
      && add_type(m, index_data_map_type())
      && add_type(m, commission_type())
      // 4: order entry
      && add_constants(m, groups::order_entry)
      // 5: sessions and bar samplers
      && add_sampler_functions(m)
      // 6: rounding patterns
      && add_constants(m, groups::rounding)
      // 7: market status
      && add_type(m, market_status_type())
      && add_market_status_functions(m)
      && add_constants(m, groups::market_states)
      // 8: data-ring identity
      && add_type(m, lanterfold_category_type())
      && add_constants(m, groups::ring_identity)
      // 9: storage client records and the connection pool's functions
      && add_type(m, kestrin_config_type())
      && add_type(m, kestrin_struct_value_key_type())
      && add_storage_functions(m)
      // 10: market reference data, raw frames
      && add_type(m, market_meta_type())
      && add_type(m, market_info_type())
      && add_market_meta_functions(m)
      && add_encode_raw_frame(m)
      // 11: framing
      && add_type(m, raw_frame_reader_type())
      && add_type(m, net_header_type())
      && add_type(m, keepalive_type())
      // 12: frame magic, first command table, trading-server enumerations
      && add_constants(m, groups::trading_server)
      // 13: compatibility container types
      && add_alias_types(m)
      // 14: message classes
      && add_type(m, tc_historical_req_type())
      && add_type(m, tc_historical_res_type())
      && add_type(m, tc_data_communication_type())
      && add_type(m, struct_value_key_type())
      && add_type(m, tc_initialize_type())
      && add_type(m, tc_market_status_type())
      && add_type(m, tc_complete_type())
      && add_type(m, universe_in_type())
      && add_type(m, universe_in_import_type())
      && add_type(m, security_selector_type())
      && add_type(m, universe_out_type())
      && add_type(m, universe_out_export_type())
      && add_type(m, universe_out_export_def_type())
      && add_type(m, universe_out_sub_account_type())
      && add_type(m, universe_out_sample_granularity_type())
      && add_type(m, sampler_configuration_type())
      && add_type(m, net_package_type())
      && add_type(m, universe_req_type())
      && add_type(m, universe_res_type())
      && add_type(m, backtest_params_type())
      && add_type(m, start_backtest_req_type())
      && add_type(m, start_backtest_res_type())
      && add_type(m, control_backtest_req_type())
      && add_type(m, control_backtest_res_type())
      && add_type(m, account_edit_req_type())
      && add_type(m, account_add_req_type())
      && add_type(m, account_add_res_type())
      && add_type(m, account_change_capital_req_type())
      && add_type(m, account_change_capital_res_type())
      && add_type(m, account_edit_res_type())
      && add_type(m, ta_market_status_notification_type())
      && add_type(m, progress_res_type())
      && add_type(m, log_res_type())
      && add_type(m, fetch_by_code_req_type())
      && add_type(m, fetch_by_time_req_type())
      && add_type(m, universe_seeds_req_type())
      && add_type(m, fetch_sv_res_type())
      && add_type(m, universe_seeds_res_type())
      && add_type(m, manual_trade_req_type())
      && add_type(m, manual_trade_edit_req_type())
      && add_type(m, manual_trade_res_type())
      && add_type(m, dr_market_status_type())
      && add_type(m, push_start_req_type())
      && add_type(m, push_start_res_type())
      && add_type(m, push_stop_req_type())
      && add_type(m, push_stop_res_type())
      && add_type(m, binary_push_req_type())
      && add_type(m, sampler_push_req_type())
      && add_type(m, report_market_meta_req_type())
      // 15: second command table, push types
      && add_constants(m, groups::data_ring)
      // 16: storage-master history messages, subscriptions
      && add_type(m, net_request_type())
      && add_type(m, net_response_type())
      && add_type(m, net_base_request_type())
      && add_type(m, net_base_response_type())
      && add_type(m, history_error_response_type())
      && add_type(m, subscribe_req_type())
      && add_type(m, unsubscribe_req_type())
      // the package version, from pyproject.toml through the build
      && PyModule_AddStringConstant(m, "__version__", PYOSTREL_VERSION) == 0;
}

// Steps 1-2: the interpreter identity check.
bool claim_interpreter() {
  PyInterpreterState* interp = PyInterpreterState_Get();
  const std::int64_t id = PyInterpreterState_GetID(interp);
  if (id < 0) return false;
  std::int64_t expected = kNoInterpreter;
  if (g_interpreter.compare_exchange_strong(expected, id) || expected == id) return true;
  PyErr_SetString(PyExc_ImportError,
                  "pyostrel does not support sub-interpreters: it was already imported by another interpreter "
                  "in this process");
  return false;
}

}  // namespace
}  // namespace pyostrel

PyMODINIT_FUNC PyInit_pyostrel() {
  using namespace pyostrel;
  if (!claim_interpreter()) return nullptr;
  if (PyObject* cached = g_module.load(std::memory_order_acquire)) return (Py_INCREF(cached), cached);

  bind::Ref module(PyModule_Create(&g_module_def));
  if (!module || !register_all(module.get())) return nullptr;  // releases the half-built module

  PyObject* expected = nullptr;
  if (!g_module.compare_exchange_strong(expected, module.get(), std::memory_order_acq_rel)) {
    Py_INCREF(expected);
    return expected;  // another initialisation won; ours is released
  }
  Py_INCREF(module.get());  // the cache's reference, kept for the process
  return module.release();
}
