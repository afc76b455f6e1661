// Market status of an instant: its trade day, whether a session is open, and
// the latest market time reached.
#include "qel/time/market_status.h"

namespace qel::time {

MarketStatus calculate_status(const MarketCalendar& calendar, std::int64_t now_ms, Pattern pattern) {
  return status_of_resolution(calendar, now_ms, pattern, calendar.resolve_trade_day(now_ms / 1000, pattern));
}

MarketStatus status_of_resolution(const MarketCalendar& calendar, std::int64_t now_ms, Pattern pattern,
                                  const Resolution& r) {
  const std::vector<Section>& sections = calendar.policy_sections(r.policy);
  if (sections.empty()) throw InternalError("trading period policy \"" + std::string(r.policy) + "\" has no sections");

  MarketStatus status;
  status.trade_day = static_cast<std::int32_t>(r.trade_day);
  status.action_day = static_cast<std::int32_t>(r.action_day);
  std::int64_t latest = 0;
  std::int64_t last = 0;
  bool decided = false;
  for (std::size_t i = 0; i < sections.size() && !decided; ++i) {
    const Span s = calendar.place(sections[i], r.trade_day);
    const std::int64_t start = s.begin * 1000, end = s.end * 1000;
    if (start <= now_ms && now_ms < end) {
      status.market_open = true;
      latest = now_ms;
      decided = true;
    } else if (now_ms >= end) {
      last = end;
    } else {
      switch (pattern) {
        case Pattern::floor: latest = last; break;
        case Pattern::ceil: latest = start; break;
        default: {
          if (i == 0) {
            latest = start;
          } else {
            // Halfway between the previous close and this open goes to the close.
            const std::int64_t prev_end = calendar.place(sections[i - 1], r.trade_day).end * 1000;
            latest = 2 * now_ms > prev_end + start ? start : prev_end;
          }
        }
      }
      decided = true;
    }
  }
  if (!decided) latest = last;
  status.lattest_market_time = static_cast<std::uint64_t>(latest);
  status.begin = static_cast<std::uint64_t>(calendar.place(sections.front(), r.trade_day).begin * 1000);
  status.end = static_cast<std::uint64_t>(calendar.place(sections.back(), r.trade_day).end * 1000);
  return status;
}

}  // namespace qel::time
