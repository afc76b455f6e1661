// Python classes of backtest start and control, and the records nested in a
// backtest's parameters (setters only: they are filled, then sent).

#include "pyostrel/bind/message.h"
#include "qel/msg/backtest.h"

namespace pyostrel {

using bind::Message;
using namespace qel::msg;

const bool kDefined[] = {
    bind::define<Message<UniverseIn>>("UniverseIn", "An input universe: imported tables and selected securities."),
    bind::define<Message<UniverseInImport>>("UniverseInImport", "One table an input universe imports."),
    bind::define<Message<SecuritySelector>>("SecuritySelector", "Securities of one market; no codes selects them all."),
    bind::define<Message<UniverseOut>>("UniverseOut",
                                       "An output universe: exports, sub-accounts, sampling and an optional sampler."),
    bind::define<Message<UniverseOutExport>>("UniverseOutExport", "One table an output universe exports."),
    bind::define<Message<UniverseOutExportDef>>("UniverseOutExportDef",
                                                "One exported column: name, data type, precision."),
    bind::define<Message<UniverseOutSubAccount>>("UniverseOutSubAccount", "A sub-account: name, category, capital."),
    bind::define<Message<UniverseOutSampleGranularity>>("UniverseOutSampleGranularity",
                                                        "How an output universe samples: type and granularity."),
    bind::define<Message<SamplerConfiguration>>("SamplerConfiguration",
                                                "Bar sampling: markets, granularities in seconds, tm_as_of_eod."),
    bind::define<Message<BacktestParams>>("BacktestParams",
                                          "A backtest's parameters: times in epoch milliseconds, universes by name."),
    bind::define("ATStartBacktestReq", "Starts a backtest.", [](Message<ATStartBacktestReq>& c) { c.encode(); }),
    bind::define("ATStartBacktestRes", "A started backtest; decode raises on a short body.",
                 [](Message<ATStartBacktestRes>& c) { c.decode(); }),
    bind::define("ATControlBacktestReq", "Controls a running backtest; operation is 0..6.",
                 [](Message<ATControlBacktestReq>& c) { c.encode(); }),
    bind::define("ATControlBacktestRes", "The base response only.",
                 [](Message<ATControlBacktestRes>& c) { c.decode(); }),
};

}  // namespace pyostrel
