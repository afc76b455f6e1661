// Bar boundaries over a market calendar: where the current bar begins and
// ends, where the previous one ended, and when the market pauses or resumes.
#include "qel/time/sampler.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "qel/time/civil.h"
#include "qel/time/market_status.h"

namespace qel::time {

namespace {

constexpr std::int64_t kDayMs = kDay * 1000;

std::int64_t latest_ms(const MarketCalendar& calendar, std::int64_t at, Pattern pattern) {
  return static_cast<std::int64_t>(calculate_status(calendar, at, pattern).lattest_market_time);
}

std::vector<Span> sections_ms(const MarketCalendar& calendar, std::int64_t at_ms) {
  std::vector<Span> spans = calendar.current_sections(at_ms / 1000);
  for (Span& s : spans) s = {s.begin * 1000, s.end * 1000};
  return spans;
}

// The sessions of sections_ms, placed one at a time when asked for, so that a
// call that needs one or two of them allocates nothing.
struct PlacedSections {
  const MarketCalendar& calendar;
  const std::vector<Section>& sections;
  std::int64_t trade_day;

  std::size_t size() const noexcept { return sections.size(); }
  Span operator[](std::size_t i) const noexcept {
    const Span s = calendar.place(sections[i], trade_day);
    return {s.begin * 1000, s.end * 1000};
  }
};

PlacedSections placed_sections_ms(const MarketCalendar& calendar, std::int64_t at_ms) {
  const Resolution r = calendar.resolve_trade_day(at_ms / 1000, Pattern::ceil);
  return {calendar, calendar.policy_sections(r.policy), r.trade_day};
}

// Number of sections whose end lies before `at` (ends are in ascending order).
template <class Spans>
std::size_t ended_before(const Spans& spans, std::int64_t at) {
  std::size_t lo = 0, hi = spans.size();
  while (lo < hi) {
    const std::size_t mid = lo + (hi - lo) / 2;
    if (spans[mid].end < at) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo;
}

template <class Spans>
Span section_at(const Spans& spans, std::size_t i) {
  if (i >= spans.size()) throw InternalError("no trading session at or after the instant");
  return spans[i];
}

// Sessions of the nearest trade day that has some, stepping by a day from
// `from` in `direction` (+1 or -1), each step anchored at the CEIL status.
std::vector<Span> neighbouring_sections(const MarketCalendar& calendar, std::int64_t from, int direction) {
  std::int64_t x = from + direction * kDayMs;
  int steps = 0;
  for (;;) {
    count_day_step(steps);
    x = latest_ms(calendar, x, Pattern::ceil);
    std::vector<Span> spans = sections_ms(calendar, x);
    if (!spans.empty()) return spans;
    x += direction * kDayMs;
  }
}

struct Bars {
  std::int64_t g;  // bar width in ms
  const MarketCalendar& calendar;
  const std::vector<Span>& spans;
  std::int64_t reference;

  std::int64_t last_bar_begin(const Span& s) const {
    const std::int64_t q = (s.end - s.begin) / g, r = (s.end - s.begin) % g;
    return r == 0 ? s.begin + g * (q - 1) : s.begin + g * q;
  }
  std::int64_t next_start(std::size_t i) const {
    if (i + 1 < spans.size()) return spans[i + 1].begin;
    return neighbouring_sections(calendar, reference, +1).front().begin;
  }
  std::int64_t prev_begin(std::size_t i) const {
    if (i >= 1) return last_bar_begin(spans[i - 1]);
    return last_bar_begin(neighbouring_sections(calendar, reference, -1).back());
  }
};

std::int64_t bar_width_ms(std::uint32_t granularity) {
  if (granularity == 0) throw InternalError("granularity must not be zero");
  return std::int64_t{granularity} * 1000;
}

// now rounded up to a whole second.
std::int64_t ceil_to_second(std::int64_t now) noexcept { return now % 1000 == 0 ? now : now - now % 1000 + 1000; }

// UTC midnight of a YYYYMMDD date, in ms.
std::int64_t midnight_ms(std::int64_t yyyymmdd) noexcept {
  const CivilDate c = from_yyyymmdd(yyyymmdd);
  return days_from_civil(c.year, c.month, c.day) * kDayMs;
}

std::pair<std::int64_t, std::int64_t> day_bar_begin(const MarketCalendar& calendar, std::int64_t now,
                                                    std::uint32_t granularity, bool tm_as_of_eod) {
  const MarketStatus status = calculate_status(calendar, now, Pattern::ceil);
  const CivilDate t = from_yyyymmdd(status.trade_day);
  const std::int64_t t_days = days_from_civil(t.year, t.month, t.day);
  std::int64_t prev = 0, curr = 0;
  if (granularity == 86400) {
    prev = midnight_ms(calculate_status(calendar, now, Pattern::round).trade_day) - kDayMs;
    curr = t_days * kDayMs;
  } else if (granularity == 604800) {
    const std::int64_t monday = t_days - (weekday_of_day(t_days) + 6) % 7;
    prev = (monday - 7) * kDayMs;
    curr = monday * kDayMs;
  } else if (granularity >= 2419200 && granularity <= 2678400) {
    const bool january = t.month == 1;
    prev = days_from_civil(january ? t.year - 1 : t.year, january ? 12 : t.month - 1, 1) * kDayMs;
    curr = days_from_civil(t.year, t.month, 1) * kDayMs;
  } else if (granularity >= 31536000 && granularity <= 31622400) {
    prev = days_from_civil(t.year - 1, 1, 1) * kDayMs;
    curr = days_from_civil(t.year, 1, 1) * kDayMs;
  }
  if (tm_as_of_eod) {
    const std::int64_t eod = static_cast<std::int64_t>(status.end) - t_days * kDayMs;
    prev += eod;
    curr += eod;
  }
  return {prev, curr};
}

std::pair<std::int64_t, std::int64_t> day_bar_bound(const MarketCalendar& calendar, std::int64_t now,
                                                    std::uint32_t granularity, bool tm_as_of_eod) {
  const std::int64_t at = ceil_to_second(now);
  const MarketStatus status = calculate_status(calendar, at, Pattern::ceil);
  const CivilDate t = from_yyyymmdd(status.trade_day);
  const std::int64_t tm = days_from_civil(t.year, t.month, t.day) * kDay;
  const std::int64_t width = std::int64_t{granularity} - granularity % kDay;  // whole days, in seconds

  const SortedDays closed(calendar.holidays);
  // Weekends and holidays are judged on UTC dates here.
  auto skipped = [&](std::int64_t e) {
    const std::int64_t day = floor_div(e, kDay);
    const std::int64_t wd = weekday_of_day(day);
    return wd == 0 || wd == 6 || closed.contains(yyyymmdd(civil_from_days(day)));
  };
  std::int64_t e = tm - width;
  // Steps of whole weeks keep the weekday: from a weekend none ever leaves it.
  const std::int64_t e_weekday = weekday_of_day(floor_div(e, kDay));
  if (width % (7 * kDay) == 0 && (e_weekday == 0 || e_weekday == 6)) day_steps_exceeded();
  int steps = 0;
  while (skipped(e)) {
    count_day_step(steps);
    e -= width;
  }
  const std::int64_t eod = tm_as_of_eod ? (static_cast<std::int64_t>(status.end) / 1000 - tm) * 1000 : 0;
  return {e * 1000 + eod, tm * 1000 + eod};
}

}  // namespace

std::pair<std::int64_t, std::int64_t> sampler_tm_begin(const MarketCalendar& calendar, std::int64_t now,
                                                       std::uint32_t granularity, bool tm_as_of_eod) {
  if (granularity >= kDay) return day_bar_begin(calendar, now, granularity, tm_as_of_eod);
  const std::int64_t g = bar_width_ms(granularity);
  const std::int64_t reference = latest_ms(calendar, now, Pattern::floor);
  const std::vector<Span> spans = sections_ms(calendar, reference);
  const Bars bars{g, calendar, spans, reference};
  const std::size_t f = ended_before(spans, now);
  if (f == spans.size()) {
    return {bars.last_bar_begin(section_at(spans, spans.size() - 1)), bars.next_start(f)};
  }
  const Span& s = spans[f];
  if (now <= s.begin) return {bars.prev_begin(f), s.begin};
  if (now == s.end) return {bars.last_bar_begin(s), bars.next_start(f)};
  // An instant on a bar boundary belongs to the bar that ends there.
  if ((now - s.begin) % g == 0) return {now - g, now};
  const std::int64_t b = s.begin + g * floor_div(now - s.begin, g);
  return {b, b + g < s.end ? b + g : bars.next_start(f)};
}

std::pair<std::int64_t, std::int64_t> sampler_tm_bound(const MarketCalendar& calendar, std::int64_t now,
                                                       std::uint32_t granularity, bool tm_as_of_eod) {
  if (granularity >= kDay) return day_bar_bound(calendar, now, granularity, tm_as_of_eod);
  const std::int64_t g = bar_width_ms(granularity);
  const std::int64_t at = ceil_to_second(now);
  const MarketStatus status = calculate_status(calendar, at, Pattern::ceil);
  const PlacedSections spans = placed_sections_ms(calendar, static_cast<std::int64_t>(status.lattest_market_time));
  const std::size_t f = ended_before(spans, at);
  const Span s = section_at(spans, f);
  const std::int64_t q = (at - s.begin) / g, r = (at - s.begin) % g;
  if (q > 0 && r != 0) return {std::min(s.begin + q * g, s.end), std::min(s.begin + (q + 1) * g, s.end)};
  if (q >= 2 && r == 0) return {std::min(s.begin + (q - 1) * g, s.end), std::min(s.begin + q * g, s.end)};
  const std::int64_t curr = std::min(s.begin + g, s.end);
  if (f >= 1) return {spans[f - 1].end, curr};
  // The first bar of a trade day follows the previous trade day's close. Over
  // a run of closed days every step resolves into the same run, which the
  // calendar's day searches cross once for the whole walk.
  std::int64_t x = at;
  Resolution previous_day;
  int steps = 0;
  do {
    count_day_step(steps);
    x -= kDayMs;
    previous_day = calendar.resolve_trade_day(x / 1000, Pattern::ceil);
  } while (previous_day.trade_day == status.trade_day);
  const MarketStatus previous = status_of_resolution(calendar, x, Pattern::ceil, previous_day);
  const PlacedSections before = placed_sections_ms(calendar, static_cast<std::int64_t>(previous.lattest_market_time));
  return {section_at(before, before.size() - 1).end, curr};
}

namespace {
// The first session end (start, unless `ends`) after now, in ms.
std::int64_t next_edge(const MarketCalendar& calendar, std::int64_t now, bool ends) {
  const std::int64_t t = now / 1000;
  // Worked out only once the first day falls short, as it seldom does.
  std::optional<EdgeSteps> steps;
  for (std::int64_t i = 0;;) {
    for (const Span& s : calendar.current_sections(t + i * kDay)) {
      const std::int64_t edge = ends ? s.end : s.begin;
      if (edge > t) return edge * 1000;
    }
    if (!steps) steps = calendar.edge_steps(t, ends);
    // Steps passed over still count towards the bound.
    i = steps->next(i + 1);
    if (i > kMaxDaySteps) day_steps_exceeded();
  }
}
}  // namespace

std::int64_t next_market_break_time(const MarketCalendar& calendar, std::int64_t now) {
  return next_edge(calendar, now, true);
}

std::int64_t next_market_continue_time(const MarketCalendar& calendar, std::int64_t now) {
  return next_edge(calendar, now, false);
}

namespace {
std::array<std::int64_t, 3> trade_day_frame(const MarketCalendar& calendar, std::int64_t now, Pattern pattern) {
  const Resolution r = calendar.resolve_trade_day(now / 1000, pattern);
  return {calendar.first_start(r.policy, r.trade_day) * 1000, now, calendar.last_end(r.policy, r.trade_day) * 1000};
}
}  // namespace

std::array<std::int64_t, 3> equivalant_market_time(const MarketCalendar& calendar, std::int64_t now,
                                                   Pattern pattern) {
  std::array<std::int64_t, 3> out = trade_day_frame(calendar, now, pattern);
  std::int64_t candidate = now;
  if (pattern == Pattern::floor && now < out[0]) {
    out = trade_day_frame(calendar, calendar.step_to_trading_day(out[0] / 1000, Pattern::floor, -1) * 1000, Pattern::floor);
    candidate = out[2];
  } else if (pattern == Pattern::ceil && now > out[2]) {
    out = trade_day_frame(calendar, calendar.step_to_trading_day(now / 1000, Pattern::floor, +1) * 1000, Pattern::floor);
    candidate = out[0];
  }
  out[1] = std::min(out[2], std::max(candidate, out[0]));
  return out;
}

}  // namespace qel::time
