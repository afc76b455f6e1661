// Python classes of the calculator's lifecycle bodies and of the trading
// server's session pushes.

#include "pyostrel/bind/message.h"
#include "pyostrel/py_row_set.h"
#include "qel/msg/calculator_lifecycle.h"
#include "qel/msg/session_push.h"

namespace pyostrel {

using bind::Message;
using namespace qel::msg;

const bool kDefined[] = {
    bind::define("TCHistoricalReq", "A calculator's request for history rows.",
                 [](Message<TCHistoricalReq>& c) { c.encode_string().decode_string(); }),
    bind::define(
        "TCHistoricalRes", "History rows for a calculator, as a compressed batch set.",
        [](Message<TCHistoricalRes>& cls) {
          row_blob<&TCHistoricalRes::rows>(compressor(cls.encode_string().decode_string()));
        }),
    bind::define(
        "TCInitialize", "Starts a calculator: its window, securities and parameters.",
        [](Message<TCInitialize>& c) {
          c.encode_string()
              .decode_string()
              .method<&initialize_json>("encode_json", {}, "", "Every field as one JSON object, in body order.");
        }),
    bind::define("TCMarketStatus", "A market status change, for calculators.",
                 [](Message<TCMarketStatus>& c) { c.encode_string().decode_string(); }),
    bind::define("TCComplete", "A calculator's step is complete; next_action says what follows.",
                 [](Message<TCComplete>& c) { c.encode_string().decode_string(); }),
    bind::define("TAMarketStatusNotification", "A market status change pushed by the trading server.",
                 [](Message<TAMarketStatusNotification>& c) { c.decode(); }),
    bind::define("ProgressRes", "A backtest's progress, rate 0.0 to 1.0.", [](Message<ProgressRes>& c) { c.decode(); }),
    bind::define("LogRes", "A backtest's log line.", [](Message<LogRes>& c) { c.decode(); }),
};

}  // namespace pyostrel
