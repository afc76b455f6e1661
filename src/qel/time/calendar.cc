// The market calendar: local time in the market's zone, day classes, trading
// period policies, trade-day resolution and the sessions of a trade day.
#include "qel/time/calendar.h"

#include <algorithm>
#include <limits>

#include "qel/time/civil.h"

namespace qel::time {

namespace {

constexpr std::string_view kTradingPeriod = "trading_period";
constexpr std::string_view kAfterWeekend = "after_weekend";
constexpr std::string_view kAfterHoliday = "after_holiday";

// n-th Sunday (n >= 1) of a month, as a day count.
std::int64_t nth_sunday(std::int64_t year, std::int64_t month, int n) noexcept {
  const std::int64_t first = days_from_civil(year, month, 1);
  return first + (7 - weekday_of_day(first)) % 7 + 7 * (n - 1);
}

// Binary search that is well defined on unsorted input too. Its steps are
// selects rather than branches: which way a day falls is not predictable.
bool sorted_contains(const std::vector<std::int32_t>& list, std::int64_t v) noexcept {
  std::size_t n = list.size();
  if (n == 0) return false;
  const std::int32_t* base = list.data();
  while (n > 1) {
    const std::size_t half = n / 2;
    base = base[half] <= v ? base + half : base;
    n -= half;
  }
  return *base == v;
}

// HHMM clock value as seconds after midnight; minutes carry the sign of v.
constexpr std::int64_t hhmm_hours(std::int32_t v) noexcept { return v / 100; }
constexpr std::int64_t hhmm_minutes(std::int32_t v) noexcept { return v % 100; }

}  // namespace

SortedDays::SortedDays(const std::vector<std::int32_t>& days) : days_(&days) {
  if (!std::is_sorted(days.begin(), days.end())) {
    copy_ = days;
    std::sort(copy_.begin(), copy_.end());
    days_ = &copy_;
  }
}

bool SortedDays::contains(std::int64_t day) const noexcept {
  return std::binary_search(days_->begin(), days_->end(), day);
}

std::int64_t clamp_instant_ms(std::int64_t ms) noexcept { return std::clamp(ms, -kMaxInstantMs, kMaxInstantMs); }

void day_steps_exceeded() {
  throw InternalError("no trading day within " + std::to_string(kMaxDaySteps) + " days of the instant");
}

void count_day_step(int& steps) {
  if (++steps > kMaxDaySteps) day_steps_exceeded();
}

std::pair<std::int64_t, std::int64_t> us_eastern_dst(std::int64_t year) noexcept {
  if (year >= 2007) return {nth_sunday(year, 3, 2), nth_sunday(year, 11, 1)};
  const std::int64_t oct31 = days_from_civil(year, 10, 31);
  return {nth_sunday(year, 4, 1), oct31 - weekday_of_day(oct31)};
}

std::int64_t MarketCalendar::offset_at(std::int64_t t) const noexcept {
  if (time_zone != kUsEastern) return std::int64_t{time_zone} * 3600;
  const std::int64_t year = civil_from_days(floor_div(t - 18000, kDay)).year;
  const auto [start, end] = us_eastern_dst(year);
  // 02:00 standard time on the start date to 02:00 daylight time on the end date.
  return (start * kDay + 25200 <= t && t < end * kDay + 21600) ? -14400 : -18000;
}

const MarketCalendar::DayMemo& MarketCalendar::civil_of_day(std::int64_t day) const noexcept {
  for (const DayMemo& m : memo_.day) {
    if (m.day == day && m.yyyymmdd != 0) return m;
  }
  const CivilDate c = civil_from_days(day);
  DayMemo& slot = memo_.day[memo_.day_next++ % memo_.day.size()];
  // No date's YYYYMMDD is 0, which marks a slot still unused.
  slot = {day, yyyymmdd(c), c.year, c.month, c.day};
  return slot;
}

std::int64_t MarketCalendar::local_day(std::int64_t t) const noexcept { return floor_div(t + offset_at(t), kDay); }

std::int64_t MarketCalendar::local_date(std::int64_t t) const noexcept { return civil_of_day(local_day(t)).yyyymmdd; }

LocalTime MarketCalendar::local_time(std::int64_t t) const noexcept {
  const std::int64_t l = t + offset_at(t);
  const std::int64_t day = floor_div(l, kDay);
  const std::int64_t s = l - day * kDay;  // [0, 86399]
  const DayMemo& c = civil_of_day(day);
  return {c.year, c.month, c.dom, s / 3600, s % 3600 / 60, s % 60, weekday_of_day(day)};
}

std::int64_t MarketCalendar::local_to_utc(std::int64_t y, std::int64_t m, std::int64_t d, std::int64_t hh,
                                          std::int64_t mm) const noexcept {
  const std::int64_t local = days_from_civil(y, m, d) * kDay + hh * 3600 + mm * 60;
  if (time_zone != kUsEastern) return local - std::int64_t{time_zone} * 3600;
  const std::int64_t ld = floor_div(local, kDay);
  const std::int64_t s = local - ld * kDay;
  const auto [start, end] = us_eastern_dst(civil_from_days(ld).year);
  if (start < ld && ld < end) return local + 14400;
  if (ld < start || ld > end) return local + 18000;
  if (ld == start) return local + (s < 7200 ? 18000 : 14400);
  return local + (s < 3600 ? 14400 : 18000);
}

std::int64_t MarketCalendar::midnight(std::int64_t yyyymmdd) const noexcept {
  const CivilDate c = from_yyyymmdd(yyyymmdd);
  return local_to_utc(c.year, c.month, c.day, 0, 0);
}

bool MarketCalendar::is_holiday(std::int64_t yyyymmdd) const noexcept { return sorted_contains(holidays, yyyymmdd); }

DayClass MarketCalendar::classify_day(std::int64_t t, Pattern pattern) const {
  const std::int64_t day = local_day(t);
  if (is_holiday(civil_of_day(day).yyyymmdd)) return DayClass::holiday;
  const std::int64_t weekday = weekday_of_day(day);
  if (weekday >= 1 && weekday <= 5) return DayClass::trading;
  // A weekend next to a holiday is closed even when weekends trade.
  const bool saturday = weekday == 6;
  const std::int64_t neighbour =
      pattern == Pattern::ceil ? t + (saturday ? 2 : 1) * kDay : t - (saturday ? 1 : 2) * kDay;
  if (is_holiday(civil_of_day(local_day(neighbour)).yyyymmdd)) return DayClass::holiday;
  return ignore_weekend ? DayClass::trading : DayClass::weekend;
}

std::string_view MarketCalendar::period_policy(std::int64_t trade_day) const {
  // One resolution asks about the same two or three days again and again.
  for (const PolicyMemo& m : memo_.policy) {
    if (m.trade_day == trade_day && !m.policy.empty()) return m.policy;
  }
  std::string_view policy = kTradingPeriod;
  switch (classify_day(midnight(trade_day) - kDay, Pattern::floor)) {
    case DayClass::trading: break;
    case DayClass::weekend: policy = kAfterWeekend; break;
    case DayClass::holiday: policy = kAfterHoliday; break;
  }
  memo_.policy[memo_.policy_next++ % memo_.policy.size()] = {trade_day, policy};
  return policy;
}

const std::vector<Section>& MarketCalendar::policy_sections(std::string_view name) const {
  for (const SectionsMemo& m : memo_.sections) {
    if (m.sections && std::string_view(m.name.data(), m.size) == name) return *m.sections;
  }
  const std::vector<Section>& found = find_policy_sections(name);
  if (name.size() <= sizeof(SectionsMemo::name)) {
    SectionsMemo& slot = memo_.sections[memo_.sections_next++ % memo_.sections.size()];
    std::copy(name.begin(), name.end(), slot.name.begin());
    slot.size = name.size();
    slot.sections = &found;
  }
  return found;
}

const std::vector<Section>& MarketCalendar::find_policy_sections(std::string_view name) const {
  auto it = periods.find(name);
  if (it == periods.end()) it = periods.find(kTradingPeriod);
  if (it == periods.end()) throw InternalError("MarketCalendar must carry a \"trading_period\" policy");
  return it->second;
}

std::int64_t MarketCalendar::day_of_date(std::int64_t yyyymmdd) const noexcept {
  for (const DateMemo& m : memo_.date) {
    if (m.valid && m.yyyymmdd == yyyymmdd) return m.day;
  }
  const CivilDate c = from_yyyymmdd(yyyymmdd);
  const std::int64_t day = days_from_civil(c.year, c.month, c.day);
  memo_.date[memo_.date_next++ % memo_.date.size()] = {yyyymmdd, day, true};
  return day;
}

Span MarketCalendar::place(const Section& s, std::int64_t trade_day) const noexcept {
  if (time_zone != kUsEastern) {
    // A fixed offset: both ends hang off the same local midnight.
    const std::int64_t midnight = day_of_date(trade_day) * kDay - std::int64_t{time_zone} * 3600;
    auto at = [midnight](std::int32_t v) { return midnight + hhmm_hours(v) * 3600 + hhmm_minutes(v) * 60; };
    return {at(s.start), at(s.end)};
  }
  const CivilDate c = from_yyyymmdd(trade_day);
  return {local_to_utc(c.year, c.month, c.day, hhmm_hours(s.start), hhmm_minutes(s.start)),
          local_to_utc(c.year, c.month, c.day, hhmm_hours(s.end), hhmm_minutes(s.end))};
}

namespace {
const std::vector<Section>& non_empty(const std::vector<Section>& sections, std::string_view policy) {
  if (sections.empty()) throw InternalError("trading period policy \"" + std::string(policy) + "\" has no sections");
  return sections;
}
}  // namespace

std::int64_t MarketCalendar::first_start(std::string_view policy, std::int64_t trade_day) const {
  return place(non_empty(policy_sections(policy), policy).front(), trade_day).begin;
}

std::int64_t MarketCalendar::last_end(std::string_view policy, std::int64_t trade_day) const {
  return place(non_empty(policy_sections(policy), policy).back(), trade_day).end;
}

std::int64_t MarketCalendar::step_to_trading_day(std::int64_t t, Pattern pattern, int direction) const {
  RunMemo& run = memo_.run[direction > 0 ? 1 : 0];
  const std::int64_t step = direction > 0 ? kDay : -kDay;
  // The remembered run answers for an instant on it (or at its end): it is
  // the same instants this search would classify.
  auto on_run = [&](std::int64_t x) {
    if (!run.valid || run.pattern != pattern || (run.found - x) % kDay != 0) return false;
    return direction > 0 ? run.near <= x && x <= run.found : run.found <= x && x <= run.near;
  };
  std::int64_t x = t;
  int steps = 0;
  bool joined = false;
  for (;;) {
    if (on_run(x + step)) {
      // Every day crossed still counts towards the bound.
      if (steps + (run.found - x) / step > kMaxDaySteps) day_steps_exceeded();
      x = run.found;
      joined = true;
      break;
    }
    count_day_step(steps);
    x += step;
    if (classify_day(x, pattern) == DayClass::trading) break;
  }
  // Both runs end at x and are closed up to it, so the longer one is kept.
  std::int64_t near = t + step;
  if (joined && (direction > 0 ? run.near < near : run.near > near)) near = run.near;
  run = {near, x, pattern, true};
  return x;
}

std::int64_t EdgeSteps::next(std::int64_t i) const {
  if (i >= all) return i;
  const std::int64_t from = std::max(i, after_holiday);
  // The first holiday whose steps reach `from`.
  const auto near = std::lower_bound(holidays.begin(), holidays.end(), from + lag);
  return near == holidays.end() ? all : std::min(all, std::max(from, *near - lead));
}

EdgeSteps MarketCalendar::edge_steps(std::int64_t t, bool ends) const {
  // Every weekday of a closed run is a holiday, so a run of closed days (or of
  // day steps, which daylight saving may make land twice on one date) is
  // shorter than this; a longer one could end a day's own search.
  const auto holiday_count = static_cast<std::int64_t>(holidays.size());
  const std::int64_t longest_run = 2 * holiday_count + 9;
  const auto trading = periods.find(kTradingPeriod);
  if (trading == periods.end() || longest_run >= kMaxDaySteps) return {};

  // The trade day of step i, and the days its resolution consults, lie within
  // [d - 1, d + longest_run + 3] with d = local_day(t) + i; an edge of trade
  // day T is at most T * kDay + reach + zone, where reach is the latest such
  // edge of its policy's sections after its local midnight. A policy without
  // sections makes a day that takes it (or resolves through it) throw, so no
  // such day is passed over.
  constexpr std::int64_t kAlways = std::numeric_limits<std::int64_t>::max();
  auto reach = [ends](const std::vector<Section>& sections) {
    std::int64_t r = sections.empty() ? kAlways : std::numeric_limits<std::int64_t>::min();
    for (const Section& s : sections) {
      const std::int32_t v = ends ? s.end : s.start;
      r = std::max(r, hhmm_hours(v) * 3600 + hhmm_minutes(v) * 60);
    }
    return r;
  };
  const std::int64_t zone = time_zone == kUsEastern ? 18000 : -std::int64_t{time_zone} * 3600;
  const std::int64_t first = local_day(t);
  auto first_step = [&](std::int64_t r) -> std::int64_t {
    if (r == kAlways) return 0;
    return std::max<std::int64_t>(floor_div(t - r - zone, kDay) + 1 - (first + longest_run + 3), 0);
  };
  // Sessions near their trade day leave no step out; this is the usual case.
  std::int64_t late_reach = reach(trading->second);
  if (first_step(late_reach) == 0) return {};
  if (!ignore_weekend) late_reach = std::max(late_reach, reach(policy_sections(kAfterWeekend)));
  EdgeSteps out;
  out.all = first_step(late_reach);
  out.after_holiday = first_step(std::max(late_reach, reach(policy_sections(kAfterHoliday))));
  if (out.after_holiday == out.all) return out;
  // A day takes the after-holiday sessions only within a few days after a
  // listed date: [h + 1, h + 7] covers daylight saving and the weekend
  // next to a holiday.
  out.lead = first + longest_run + 2;
  out.lag = first - 8;
  for (const std::int32_t h : holidays) {
    const CivilDate c = from_yyyymmdd(h);
    const std::int64_t day = days_from_civil(c.year, c.month, c.day);
    if (yyyymmdd(civil_from_days(day)) == h) out.holidays.push_back(day);  // else it names no date
  }
  std::sort(out.holidays.begin(), out.holidays.end());
  return out;
}

Resolution MarketCalendar::forward_search(std::int64_t t, Pattern pattern, std::int64_t fallback) const {
  const std::int64_t next = local_date(step_to_trading_day(t, pattern, +1));
  const std::string_view policy = period_policy(next);
  const std::int64_t start = first_start(policy, next);
  if (pattern == Pattern::ceil || t >= start - 600) return {policy, next, 0};
  return {period_policy(fallback), fallback, 0};
}

Resolution MarketCalendar::resolve_trade_day(std::int64_t t, Pattern pattern) const {
  ResolutionMemo& m = memo_.resolution;
  if (!m.valid || m.t != t || m.pattern != pattern) m = {t, pattern, true, resolve_uncached(t, pattern)};
  return m.r;
}

Resolution MarketCalendar::resolve_uncached(std::int64_t t, Pattern pattern) const {
  const std::int64_t today = local_date(t);
  Resolution r;
  if (classify_day(t, pattern) == DayClass::trading) {
    // Each candidate day's policy is worked out once and carried along.
    const Resolution stay{period_policy(today), today, 0};
    const std::int64_t close = last_end(stay.policy, today);
    switch (pattern) {
      case Pattern::floor: {
        const std::int64_t next = local_date(step_to_trading_day(t, Pattern::floor, +1));
        const std::string_view policy = period_policy(next);
        r = t >= first_start(policy, next) ? Resolution{policy, next, 0} : stay;
        break;
      }
      case Pattern::ceil: r = t <= close ? stay : forward_search(t, pattern, today); break;
      default: r = t < close + 600 ? stay : forward_search(t, pattern, today); break;
    }
  } else {
    r = forward_search(t, pattern, local_date(step_to_trading_day(t, Pattern::floor, -1)));
  }
  r.action_day = today;
  return r;
}

std::vector<Span> MarketCalendar::current_sections(std::int64_t t) const {
  const Resolution r = resolve_trade_day(t, Pattern::ceil);
  const std::vector<Section>& sections = policy_sections(r.policy);
  std::vector<Span> out;
  out.reserve(sections.size());
  for (const Section& s : sections) out.push_back(place(s, r.trade_day));
  return out;
}

std::vector<Span> MarketCalendar::tradeday_sections(std::int32_t trade_day) const {
  // Membership here ignores the order of the list.
  const SortedDays closed(holidays);
  auto holiday = [&](std::int64_t d) { return closed.contains(d); };

  const std::int64_t e = midnight(trade_day);
  const std::int64_t w = local_time(e).weekday;
  std::int64_t previous = local_date(e - (w == 1 ? 3 : 1) * kDay);
  if (holiday(trade_day) || w == 0 || w == 6) return {};

  const std::string_view policy = holiday(previous) ? kAfterHoliday : w == 1 ? kAfterWeekend : kTradingPeriod;
  const std::vector<Section>& sections = policy_sections(policy);
  // A night session opening after a holiday starts on the evening before the
  // last open day, not on the eve of the trade day itself.
  std::int64_t base = e;
  if (policy == kAfterHoliday && !sections.empty() && sections.front().start < 0) {
    int steps = 0;
    while (holiday(previous)) {
      count_day_step(steps);
      previous = local_date(base - 2 * kDay);
      base -= kDay;
    }
  }
  std::vector<Span> out;
  out.reserve(sections.size());
  auto at = [&](std::int32_t v) { return base * 1000 + hhmm_hours(v) * 3600000 + hhmm_minutes(v) * 60000; };
  for (const Section& s : sections) out.push_back({at(s.start), at(s.end)});
  return out;
}

}  // namespace qel::time
