// Python classes of the calculator's lifecycle bodies and of the trading
// server's session pushes.

#include "pyostrel/bind/message.h"
#include "pyostrel/bind/registry.h"
#include "pyostrel/py_row_set.h"
#include "qel/msg/calculator_lifecycle.h"
#include "qel/msg/session_push.h"

namespace pyostrel {
namespace {

using bind::Message;
using namespace qel::msg;

// A calculator body: encode_string() and a strict decode_string(data).
template <class T>
PyTypeObject* calculator_type(const char* name, const char* doc) noexcept {
  return bind::type_of<T>([&] { return Message<T>(name, doc).encode_string().decode_string().build(); });
}

// A push: getters and a strict decode(buf).
template <class T>
PyTypeObject* push_type(const char* name, const char* doc) noexcept {
  return bind::type_of<T>([&] { return Message<T>(name, doc).decode().build(); });
}

}  // namespace

const bool kTCHistoricalReqDefined = bind::define_class<TCHistoricalReq>("TCHistoricalReq", []() noexcept -> PyTypeObject* {
  return calculator_type<TCHistoricalReq>("TCHistoricalReq", "A calculator's request for history rows.");
});

const bool kTCHistoricalResDefined = bind::define_class<TCHistoricalRes>("TCHistoricalRes", []() noexcept -> PyTypeObject* {
  return bind::type_of<TCHistoricalRes>([] {
    Message<TCHistoricalRes> cls("TCHistoricalRes", "History rows for a calculator, as a compressed batch set.");
    return row_blob<&TCHistoricalRes::rows>(compressor(cls.encode_string().decode_string())).build();
  });
});

const bool kTCInitializeDefined = bind::define_class<TCInitialize>("TCInitialize", []() noexcept -> PyTypeObject* {
  return bind::type_of<TCInitialize>([] {
    return Message<TCInitialize>("TCInitialize", "Starts a calculator: its window, securities and parameters.")
        .encode_string()
        .decode_string()
        .method<&initialize_json>("encode_json", {}, "", "Every field as one JSON object, in body order.")
        .build();
  });
});

const bool kTCMarketStatusDefined = bind::define_class<TCMarketStatus>("TCMarketStatus", []() noexcept -> PyTypeObject* {
  return calculator_type<TCMarketStatus>("TCMarketStatus", "A market status change, for calculators.");
});

const bool kTCCompleteDefined = bind::define_class<TCComplete>("TCComplete", []() noexcept -> PyTypeObject* {
  return calculator_type<TCComplete>("TCComplete", "A calculator's step is complete; next_action says what follows.");
});

const bool kTAMarketStatusNotificationDefined = bind::define_class<TAMarketStatusNotification>("TAMarketStatusNotification", []() noexcept -> PyTypeObject* {
  return push_type<TAMarketStatusNotification>("TAMarketStatusNotification",
                                               "A market status change pushed by the trading server.");
});

const bool kProgressResDefined = bind::define_class<ProgressRes>("ProgressRes", []() noexcept -> PyTypeObject* {
  return push_type<ProgressRes>("ProgressRes", "A backtest's progress, rate 0.0 to 1.0.");
});

const bool kLogResDefined = bind::define_class<LogRes>("LogRes", []() noexcept -> PyTypeObject* {
  return push_type<LogRes>("LogRes", "A backtest's log line.");
});

}  // namespace pyostrel
