// What the trading server pushes during a session: market status changes, a
// backtest's progress and its log lines. Each begins with the base response.
#pragma once

#include <cstdint>
#include <string>
#include <tuple>

#include "qel/msg/envelope.h"
#include "qel/msg/layout.h"

namespace qel::msg {

struct TAMarketStatusNotification {
  BaseResponse base;
  std::string market;
  std::int32_t state = 0;     // a market_state_* value
  std::int64_t time_tag = 0;  // epoch milliseconds
  std::int32_t trade_day = 0; // YYYYMMDD
  static constexpr auto kFields = std::tuple{
      Embed<&TAMarketStatusNotification::base>{kAllGet},
      Field<&TAMarketStatusNotification::market>{"market", kGet},
      Field<&TAMarketStatusNotification::state>{"state", kGet},
      Field<&TAMarketStatusNotification::time_tag>{"time_tag", kGet},
      Field<&TAMarketStatusNotification::trade_day>{"trade_day", kGet},
  };
};

struct ProgressRes {
  BaseResponse base;
  std::int64_t session_id = 0;
  double rate = 0;  // 0.0 to 1.0
  static constexpr auto kFields = std::tuple{
      Embed<&ProgressRes::base>{kAllGet},
      Field<&ProgressRes::session_id>{"session_id", kGet},
      Field<&ProgressRes::rate>{"rate", kGet},
  };
};

struct LogRes {
  BaseResponse base;
  std::int64_t session_id = 0;
  std::string log;
  static constexpr auto kFields = std::tuple{
      Embed<&LogRes::base>{kAllGet},
      Field<&LogRes::session_id>{"session_id", kGet},
      Field<&LogRes::log>{"log", kGet},
  };
};

}  // namespace qel::msg
