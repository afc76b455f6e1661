// Market status of an instant: its trade day, whether a session is open, and
// the latest market time reached.
#pragma once

#include <cstdint>

#include "qel/time/calendar.h"

namespace qel::time {

struct MarketStatus {
  std::int32_t trade_day = 0;
  std::int32_t action_day = 0;
  bool market_open = false;
  std::uint64_t lattest_market_time = 0;  // ms
  std::uint64_t begin = 0;                // ms, first session start of the trade day
  std::uint64_t end = 0;                  // ms, last session end of the trade day
};

// REQUIRES: now_ms within +-kMaxInstantMs (see clamp_instant_ms).
MarketStatus calculate_status(const MarketCalendar& calendar, std::int64_t now_ms, Pattern pattern);
// The same, for a resolution of now_ms / 1000 under `pattern` already at hand.
MarketStatus status_of_resolution(const MarketCalendar& calendar, std::int64_t now_ms, Pattern pattern,
                                  const Resolution& r);

}  // namespace qel::time
