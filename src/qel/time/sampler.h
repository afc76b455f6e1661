// Bar boundaries over a market calendar: where the current bar begins and
// ends, where the previous one ended, and when the market pauses or resumes.
// All instants are epoch milliseconds.
#pragma once

#include <array>
#include <cstdint>
#include <utility>

#include "qel/time/calendar.h"

namespace qel::time {

// (curr_bar_begin, next_bar_begin). Throws InternalError for granularity 0.
std::pair<std::int64_t, std::int64_t> sampler_tm_begin(const MarketCalendar& calendar, std::int64_t now,
                                                       std::uint32_t granularity, bool tm_as_of_eod);
// (prev_bar_end, curr_bar_end); bars are right-closed.
std::pair<std::int64_t, std::int64_t> sampler_tm_bound(const MarketCalendar& calendar, std::int64_t now,
                                                       std::uint32_t granularity, bool tm_as_of_eod);

// The first session end (start) after now, searching day by day.
std::int64_t next_market_break_time(const MarketCalendar& calendar, std::int64_t now);
std::int64_t next_market_continue_time(const MarketCalendar& calendar, std::int64_t now);

// [section_start, clamped_now, section_end] of the trade day of now.
std::array<std::int64_t, 3> equivalant_market_time(const MarketCalendar& calendar, std::int64_t now,
                                                   Pattern pattern);

}  // namespace qel::time
