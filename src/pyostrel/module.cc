// PyInit_pyostrel: the module object and its registration sequence.
#include <atomic>
#include <cstdint>

#include "pyostrel/bind/errors.h"
#include "pyostrel/bind/function.h"
#include "pyostrel/bind/registry.h"
#include "pyostrel/bind/ref.h"
#include "pyostrel/py_aliases.h"
#include "pyostrel/py_constants.h"
#include "pyostrel/py_refdata.h"
#include "pyostrel/py_storage.h"
#include "pyostrel/py_time.h"
#include "pyostrel/py_wire.h"

namespace pyostrel {
namespace {

namespace groups = constant_groups;
using bind::add_constants;
using bind::add_class;

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
      && add_class(m, "StructValue")
      // 2: schema and value types
      && add_constants(m, groups::schema)
      // 3: schema catalog, serializer, commission
      && add_class(m, "Field")
      && add_class(m, "IndexMeta")
      && add_class(m, "IndexSchema")
      && add_class(m, "IndexSerializer")
      && add_class(m, "PyIndexDataMap")
      && add_class(m, "Commission")
      // 4: order entry
      && add_constants(m, groups::order_entry)
      // 5: sessions and bar samplers
      && add_sampler_functions(m)
      // 6: rounding patterns
      && add_constants(m, groups::rounding)
      // 7: market status
      && add_class(m, "MarketStatus")
      && add_market_status_functions(m)
      && add_constants(m, groups::market_states)
      // 8: data-ring identity
      && add_class(m, "LanterfoldCategory")
      && add_constants(m, groups::ring_identity)
      // 9: storage client records and the connection pool's functions
      && add_class(m, "KestrinConfig")
      && add_class(m, "KestrinStructValueKey")
      && add_storage_functions(m)
      // 10: market reference data, raw frames
      && add_class(m, "MarketMeta")
      && add_class(m, "MarketInfo")
      && add_market_meta_functions(m)
      && add_encode_raw_frame(m)
      // 11: framing
      && add_class(m, "RawFrameReader")
      && add_class(m, "NetHeader")
      && add_class(m, "Keepalive")
      // 12: frame magic, first command table, trading-server enumerations
      && add_constants(m, groups::trading_server)
      // 13: compatibility container types
      && add_alias_types(m)
      // 14: message classes
      && add_class(m, "TCHistoricalReq")
      && add_class(m, "TCHistoricalRes")
      && add_class(m, "TCDataCommunication")
      && add_class(m, "StructValueKey")
      && add_class(m, "TCInitialize")
      && add_class(m, "TCMarketStatus")
      && add_class(m, "TCComplete")
      && add_class(m, "UniverseIn")
      && add_class(m, "UniverseInImport")
      && add_class(m, "SecuritySelector")
      && add_class(m, "UniverseOut")
      && add_class(m, "UniverseOutExport")
      && add_class(m, "UniverseOutExportDef")
      && add_class(m, "UniverseOutSubAccount")
      && add_class(m, "UniverseOutSampleGranularity")
      && add_class(m, "SamplerConfiguration")
      && add_class(m, "NetPackage")
      && add_class(m, "ATUniverseReq")
      && add_class(m, "ATUniverseRes")
      && add_class(m, "BacktestParams")
      && add_class(m, "ATStartBacktestReq")
      && add_class(m, "ATStartBacktestRes")
      && add_class(m, "ATControlBacktestReq")
      && add_class(m, "ATControlBacktestRes")
      && add_class(m, "ATAccountEditReq")
      && add_class(m, "ATAccountAddReq")
      && add_class(m, "ATAccountAddRes")
      && add_class(m, "ATAccountChangeCapitalReq")
      && add_class(m, "ATAccountChangeCapitalRes")
      && add_class(m, "ATAccountEditRes")
      && add_class(m, "TAMarketStatusNotification")
      && add_class(m, "ProgressRes")
      && add_class(m, "LogRes")
      && add_class(m, "ATFetchByCodeReq")
      && add_class(m, "ATFetchByTimeReq")
      && add_class(m, "ATUniverseSeedsReq")
      && add_class(m, "ATFetchSVRes")
      && add_class(m, "ATUniverseSeedsRes")
      && add_class(m, "ATManualTradeReq")
      && add_class(m, "ATManualTradeEditReq")
      && add_class(m, "ATManualTradeRes")
      && add_class(m, "DRMarketStatus")
      && add_class(m, "DRPushStartReq")
      && add_class(m, "DRPushStartRes")
      && add_class(m, "DRPushStopReq")
      && add_class(m, "DRPushStopRes")
      && add_class(m, "DRBinaryPushDataReq")
      && add_class(m, "DRSamplerPushDataReq")
      && add_class(m, "DRReportMarketMetaReq")
      // 15: second command table, push types
      && add_constants(m, groups::data_ring)
      // 16: storage-master history messages, subscriptions
      && add_class(m, "NetRequest")
      && add_class(m, "NetResponse")
      && add_class(m, "NetBaseRequest")
      && add_class(m, "NetBaseResponse")
      && add_class(m, "HistoryErrorResponse")
      && add_class(m, "ATSubscribeReq")
      && add_class(m, "ATUnsubscribeReq")
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
