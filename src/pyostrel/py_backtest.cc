// Python classes of backtest start and control, and the records nested in a
// backtest's parameters (setters only: they are filled, then sent).

#include "pyostrel/bind/message.h"
#include "pyostrel/bind/registry.h"
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

const bool kUniverseInDefined = bind::define_class<UniverseIn>("UniverseIn", []() noexcept -> PyTypeObject* {
  return record_type<UniverseIn>("UniverseIn", "An input universe: imported tables and selected securities.");
});
const bool kUniverseInImportDefined = bind::define_class<UniverseInImport>("UniverseInImport", []() noexcept -> PyTypeObject* {
  return record_type<UniverseInImport>("UniverseInImport", "One table an input universe imports.");
});
const bool kSecuritySelectorDefined = bind::define_class<SecuritySelector>("SecuritySelector", []() noexcept -> PyTypeObject* {
  return record_type<SecuritySelector>("SecuritySelector", "Securities of one market; no codes selects them all.");
});
const bool kUniverseOutDefined = bind::define_class<UniverseOut>("UniverseOut", []() noexcept -> PyTypeObject* {
  return record_type<UniverseOut>("UniverseOut",
                                  "An output universe: exports, sub-accounts, sampling and an optional sampler.");
});
const bool kUniverseOutExportDefined = bind::define_class<UniverseOutExport>("UniverseOutExport", []() noexcept -> PyTypeObject* {
  return record_type<UniverseOutExport>("UniverseOutExport", "One table an output universe exports.");
});
const bool kUniverseOutExportDefDefined = bind::define_class<UniverseOutExportDef>("UniverseOutExportDef", []() noexcept -> PyTypeObject* {
  return record_type<UniverseOutExportDef>("UniverseOutExportDef", "One exported column: name, data type, precision.");
});
const bool kUniverseOutSubAccountDefined = bind::define_class<UniverseOutSubAccount>("UniverseOutSubAccount", []() noexcept -> PyTypeObject* {
  return record_type<UniverseOutSubAccount>("UniverseOutSubAccount", "A sub-account: name, category, capital.");
});
const bool kUniverseOutSampleGranularityDefined = bind::define_class<UniverseOutSampleGranularity>("UniverseOutSampleGranularity", []() noexcept -> PyTypeObject* {
  return record_type<UniverseOutSampleGranularity>("UniverseOutSampleGranularity",
                                                   "How an output universe samples: type and granularity.");
});
const bool kSamplerConfigurationDefined = bind::define_class<SamplerConfiguration>("SamplerConfiguration", []() noexcept -> PyTypeObject* {
  return record_type<SamplerConfiguration>("SamplerConfiguration",
                                           "Bar sampling: markets, granularities in seconds, tm_as_of_eod.");
});
const bool kBacktestParamsDefined = bind::define_class<BacktestParams>("BacktestParams", []() noexcept -> PyTypeObject* {
  return record_type<BacktestParams>("BacktestParams",
                                     "A backtest's parameters: times in epoch milliseconds, universes by name.");
});

const bool kATStartBacktestReqDefined = bind::define_class<ATStartBacktestReq>("ATStartBacktestReq", []() noexcept -> PyTypeObject* {
  return bind::type_of<ATStartBacktestReq>([] {
    return Message<ATStartBacktestReq>("ATStartBacktestReq", "Starts a backtest.").encode().build();
  });
});

const bool kATStartBacktestResDefined = bind::define_class<ATStartBacktestRes>("ATStartBacktestRes", []() noexcept -> PyTypeObject* {
  return bind::type_of<ATStartBacktestRes>([] {
    return Message<ATStartBacktestRes>("ATStartBacktestRes", "A started backtest; decode raises on a short body.")
        .decode()
        .build();
  });
});

const bool kATControlBacktestReqDefined = bind::define_class<ATControlBacktestReq>("ATControlBacktestReq", []() noexcept -> PyTypeObject* {
  return bind::type_of<ATControlBacktestReq>([] {
    return Message<ATControlBacktestReq>("ATControlBacktestReq",
                                         "Controls a running backtest; operation is 0..6.")
        .encode()
        .build();
  });
});

const bool kATControlBacktestResDefined = bind::define_class<ATControlBacktestRes>("ATControlBacktestRes", []() noexcept -> PyTypeObject* {
  return bind::type_of<ATControlBacktestRes>([] {
    return Message<ATControlBacktestRes>("ATControlBacktestRes", "The base response only.").decode().build();
  });
});

}  // namespace pyostrel
