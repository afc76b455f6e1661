// Python classes of backtest start and control, and the records nested in a
// backtest's parameters (setters only: they are filled, then sent).
#include "pyostrel/py_backtest.h"

#include "pyostrel/bind/message.h"
#include "qel/msg/backtest.h"

namespace pyostrel {
namespace {

using bind::Message;
using namespace qel::msg;

template <class T>
PyTypeObject* record_type(const char* name, const char* doc) noexcept {
  return bind::type_of<T>([&] { return Message<T>(name, doc).build(); });
}

}  // namespace

PyTypeObject* universe_in_type() noexcept {
  return record_type<UniverseIn>("UniverseIn", "An input universe: imported tables and selected securities.");
}
PyTypeObject* universe_in_import_type() noexcept {
  return record_type<UniverseInImport>("UniverseInImport", "One table an input universe imports.");
}
PyTypeObject* security_selector_type() noexcept {
  return record_type<SecuritySelector>("SecuritySelector", "Securities of one market; no codes selects them all.");
}
PyTypeObject* universe_out_type() noexcept {
  return record_type<UniverseOut>("UniverseOut",
                                  "An output universe: exports, sub-accounts, sampling and an optional sampler.");
}
PyTypeObject* universe_out_export_type() noexcept {
  return record_type<UniverseOutExport>("UniverseOutExport", "One table an output universe exports.");
}
PyTypeObject* universe_out_export_def_type() noexcept {
  return record_type<UniverseOutExportDef>("UniverseOutExportDef", "One exported column: name, data type, precision.");
}
PyTypeObject* universe_out_sub_account_type() noexcept {
  return record_type<UniverseOutSubAccount>("UniverseOutSubAccount", "A sub-account: name, category, capital.");
}
PyTypeObject* universe_out_sample_granularity_type() noexcept {
  return record_type<UniverseOutSampleGranularity>("UniverseOutSampleGranularity",
                                                   "How an output universe samples: type and granularity.");
}
PyTypeObject* sampler_configuration_type() noexcept {
  return record_type<SamplerConfiguration>("SamplerConfiguration",
                                           "Bar sampling: markets, granularities in seconds, tm_as_of_eod.");
}
PyTypeObject* backtest_params_type() noexcept {
  return record_type<BacktestParams>("BacktestParams",
                                     "A backtest's parameters: times in epoch milliseconds, universes by name.");
}

PyTypeObject* start_backtest_req_type() noexcept {
  return bind::type_of<ATStartBacktestReq>([] {
    return Message<ATStartBacktestReq>("ATStartBacktestReq", "Starts a backtest.").encode().build();
  });
}

PyTypeObject* start_backtest_res_type() noexcept {
  return bind::type_of<ATStartBacktestRes>([] {
    return Message<ATStartBacktestRes>("ATStartBacktestRes", "A started backtest; decode raises on a short body.")
        .decode()
        .build();
  });
}

PyTypeObject* control_backtest_req_type() noexcept {
  return bind::type_of<ATControlBacktestReq>([] {
    return Message<ATControlBacktestReq>("ATControlBacktestReq",
                                         "Controls a running backtest; operation is 0..6.")
        .encode()
        .build();
  });
}

PyTypeObject* control_backtest_res_type() noexcept {
  return bind::type_of<ATControlBacktestRes>([] {
    return Message<ATControlBacktestRes>("ATControlBacktestRes", "The base response only.").decode().build();
  });
}

}  // namespace pyostrel
