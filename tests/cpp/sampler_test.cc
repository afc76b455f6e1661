// Market status and bar sampling on a UTC+8 day-session calendar.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "qel/time/civil.h"
#include "qel/time/market_status.h"
#include "qel/time/sampler.h"

namespace qel::time {
namespace {

const Periods kSessions{{"trading_period", {{930, 1130}, {1300, 1500}}}};

// 2024-01-01 is a Monday; 01-05 a Friday, 01-06/07 the weekend.
MarketCalendar make(std::vector<std::int32_t> holidays = {}, bool ignore_weekend = false,
                    const Periods& periods = kSessions) {
  MarketCalendar c;
  c.time_zone = 8;
  c.periods = periods;
  c.holidays = std::move(holidays);
  c.ignore_weekend = ignore_weekend;
  return c;
}

// Epoch ms of a UTC+8 local time.
std::int64_t at(std::int64_t y, std::int64_t m, std::int64_t d, std::int64_t hh = 0, std::int64_t mm = 0,
                std::int64_t ss = 0, std::int64_t msec = 0) {
  return ((days_from_civil(y, m, d) * kDay + hh * 3600 + mm * 60 + ss) - 8 * 3600) * 1000 + msec;
}
// Epoch ms of a UTC midnight.
std::int64_t utc_day(std::int64_t y, std::int64_t m, std::int64_t d) { return days_from_civil(y, m, d) * kDay * 1000; }
// The same day's 15:00 in UTC+8, i.e. the UTC midnight plus 7 hours.
std::int64_t eod(std::int64_t y, std::int64_t m, std::int64_t d) { return at(y, m, d, 15); }
std::int64_t jan(std::int64_t d, std::int64_t hh = 0, std::int64_t mm = 0, std::int64_t ss = 0, std::int64_t ms = 0) {
  return at(2024, 1, d, hh, mm, ss, ms);
}

constexpr auto F = Pattern::floor, C = Pattern::ceil, R = Pattern::round;

struct StatusCase {
  const char* name;
  Pattern pattern;
  bool ignore_weekend;
  std::vector<std::int32_t> holidays;
  std::int64_t now;
  std::int32_t trade_day, action_day;
  bool open;
  std::int64_t latest;
};
class MarketStatusCases : public testing::TestWithParam<StatusCase> {};

TEST_P(MarketStatusCases, ResolvesTradeDayAndLatestTime) {
  const StatusCase& c = GetParam();
  const MarketStatus s = calculate_status(make(c.holidays, c.ignore_weekend), c.now, c.pattern);
  EXPECT_EQ(s.trade_day, c.trade_day);
  EXPECT_EQ(s.action_day, c.action_day);
  EXPECT_EQ(s.market_open, c.open);
  EXPECT_EQ(static_cast<std::int64_t>(s.lattest_market_time), c.latest);
  const std::int64_t td = c.trade_day % 100;
  EXPECT_EQ(static_cast<std::int64_t>(s.begin), jan(td, 9, 30));
  EXPECT_EQ(static_cast<std::int64_t>(s.end), jan(td, 15));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MarketStatusCases,
    testing::Values(
        // FLOOR, weekends closed; sessions are half-open.
        StatusCase{"Open", F, false, {}, jan(2, 10), 20240102, 20240102, true, jan(2, 10)},
        StatusCase{"AtOpen", F, false, {}, jan(2, 9, 30), 20240102, 20240102, true, jan(2, 9, 30)},
        StatusCase{"JustBeforeOpen", F, false, {}, jan(2, 9, 29, 59, 999), 20240102, 20240102, false, 0},
        StatusCase{"AtBreak", F, false, {}, jan(2, 11, 30), 20240102, 20240102, false, jan(2, 11, 30)},
        StatusCase{"Early", F, false, {}, jan(2, 8), 20240102, 20240102, false, 0},
        StatusCase{"AfterClose", F, false, {}, jan(2, 15, 30), 20240102, 20240102, false, jan(2, 15)},
        StatusCase{"Saturday", F, false, {}, jan(6, 10), 20240105, 20240106, false, jan(5, 15)},
        // CEIL looks ahead.
        StatusCase{"CeilAfterClose", C, false, {}, jan(2, 15, 30), 20240103, 20240102, false, jan(3, 9, 30)},
        // ROUND with weekends trading: the midpoint of the break goes to the close.
        StatusCase{"RoundTie", R, true, {}, jan(2, 12, 15), 20240102, 20240102, false, jan(2, 11, 30)},
        StatusCase{"RoundPastTie", R, true, {}, jan(2, 12, 15, 0, 1), 20240102, 20240102, false, jan(2, 13)},
        StatusCase{"RoundEarly", R, true, {}, jan(2, 8), 20240102, 20240102, false, jan(2, 9, 30)},
        StatusCase{"RoundSaturday", R, true, {}, jan(6, 10), 20240106, 20240106, true, jan(6, 10)},
        // Friday closed: the weekend is a holiday and Thursday holds until Monday's midnight.
        StatusCase{"RoundSaturdayAfterHoliday", R, true, {20240105}, jan(6, 10), 20240104, 20240106, false, jan(4, 15)},
        StatusCase{"RoundSundayAfterHoliday", R, true, {20240105}, jan(7, 23, 59, 59), 20240104, 20240107, false,
                   jan(4, 15)},
        StatusCase{"RoundMondayAfterHoliday", R, true, {20240105}, jan(8), 20240108, 20240108, false, jan(8, 9, 30)}),
    [](const auto& info) { return std::string(info.param.name); });

enum class Fn { begin, bound };
struct BarCase {
  const char* name;
  Fn fn;
  std::int64_t now;
  std::uint32_t granularity;
  bool eod;
  std::vector<std::int32_t> holidays;
  std::int64_t first, second;
};
class SamplerBars : public testing::TestWithParam<BarCase> {};

TEST_P(SamplerBars, Boundaries) {
  const BarCase& c = GetParam();
  const MarketCalendar cal = make(c.holidays);
  const auto got = c.fn == Fn::begin ? sampler_tm_begin(cal, c.now, c.granularity, c.eod)
                                     : sampler_tm_bound(cal, c.now, c.granularity, c.eod);
  EXPECT_EQ(got.first, c.first);
  EXPECT_EQ(got.second, c.second);
}

constexpr auto B = Fn::begin, N = Fn::bound;
INSTANTIATE_TEST_SUITE_P(
    Cases, SamplerBars,
    testing::Values(
        // sampler_tm_begin: (curr_bar_begin, next_bar_begin).
        BarCase{"BeginInsideBar", B, jan(2, 9, 32), 300, true, {}, jan(2, 9, 30), jan(2, 9, 35)},
        BarCase{"BeginOnBoundary", B, jan(2, 9, 35), 300, true, {}, jan(2, 9, 30), jan(2, 9, 35)},
        BarCase{"BeginPastBoundary", B, jan(2, 9, 35, 0, 1), 300, true, {}, jan(2, 9, 35), jan(2, 9, 40)},
        BarCase{"BeginAtBreak", B, jan(2, 11, 30), 300, true, {}, jan(2, 11, 25), jan(2, 13)},
        BarCase{"BeginAtAfternoonOpen", B, jan(2, 13), 300, true, {}, jan(2, 11, 25), jan(2, 13)},
        BarCase{"BeginAtClose", B, jan(2, 15), 300, true, {}, jan(2, 14, 55), jan(3, 9, 30)},
        BarCase{"BeginAfterClose", B, jan(2, 15, 10), 300, true, {}, jan(2, 14, 55), jan(3, 9, 30)},
        BarCase{"BeginFridayAfterClose", B, jan(5, 15, 10), 300, true, {}, jan(5, 14, 55), jan(8, 9, 30)},
        // 7-minute bars: the last bar of the morning is cut at 11:30.
        BarCase{"BeginCutBar", B, jan(2, 11, 29, 30), 420, true, {}, jan(2, 11, 29), jan(2, 13)},
        BarCase{"BeginCutBarFromLunch", B, jan(2, 12), 420, true, {}, jan(2, 11, 29), jan(2, 13)},
        // sampler_tm_bound: (prev_bar_end, curr_bar_end), bars right-closed.
        BarCase{"BoundFirstBar", N, jan(2, 9, 32), 300, true, {}, jan(1, 15), jan(2, 9, 35)},
        BarCase{"BoundFirstBarEnd", N, jan(2, 9, 35), 300, true, {}, jan(1, 15), jan(2, 9, 35)},
        BarCase{"BoundRoundsUpToSecond", N, jan(2, 9, 32, 0, 1), 300, true, {}, jan(1, 15), jan(2, 9, 35)},
        BarCase{"BoundJustPastFirstBar", N, jan(2, 9, 35, 0, 1), 300, true, {}, jan(2, 9, 35), jan(2, 9, 40)},
        BarCase{"BoundOnBoundary", N, jan(2, 9, 40), 300, true, {}, jan(2, 9, 35), jan(2, 9, 40)},
        BarCase{"BoundLunch", N, jan(2, 12), 300, true, {}, jan(2, 11, 30), jan(2, 13, 5)},
        BarCase{"BoundAfternoonFirstBar", N, jan(2, 13, 2), 300, true, {}, jan(2, 11, 30), jan(2, 13, 5)},
        BarCase{"BoundAtClose", N, jan(2, 15), 300, true, {}, jan(2, 14, 55), jan(2, 15)},
        BarCase{"BoundJustAfterClose", N, jan(2, 15, 0, 0, 1), 300, true, {}, jan(2, 15), jan(3, 9, 35)},
        BarCase{"BoundMondayFirstBar", N, jan(8, 9, 32), 300, true, {}, jan(5, 15), jan(8, 9, 35)},
        BarCase{"BoundCutBar", N, jan(2, 11, 29, 30), 420, true, {}, jan(2, 11, 29), jan(2, 11, 30)},
        // Day bars of sampler_tm_begin: P from the ROUND trade day, C from the CEIL one.
        BarCase{"DayBegin", B, jan(2, 10), 86400, true, {}, eod(2024, 1, 1), eod(2024, 1, 2)},
        BarCase{"DayBeginAfterClose", B, jan(2, 15, 30), 86400, true, {}, eod(2024, 1, 1), eod(2024, 1, 3)},
        BarCase{"WeekBegin", B, jan(3, 10), 604800, false, {}, utc_day(2023, 12, 25), utc_day(2024, 1, 1)},
        BarCase{"WeekBeginSunday", B, jan(7, 10), 604800, true, {}, eod(2024, 1, 1), eod(2024, 1, 8)},
        BarCase{"MonthBegin28", B, at(2024, 3, 15, 10), 2419200, false, {}, utc_day(2024, 2, 1), utc_day(2024, 3, 1)},
        BarCase{"MonthBegin31January", B, jan(15, 10), 2678400, false, {}, utc_day(2023, 12, 1), utc_day(2024, 1, 1)},
        BarCase{"YearBegin", B, jan(2, 10), 31622400, false, {}, utc_day(2023, 1, 1), utc_day(2024, 1, 1)},
        BarCase{"OtherWidthBegin", B, jan(2, 10), 2419199, true, {}, 7 * 3600000, 7 * 3600000},
        BarCase{"OtherWidthBeginNoEod", B, jan(2, 10), 31622401, false, {}, 0, 0},
        // Day bars of sampler_tm_bound skip UTC weekends and holidays.
        BarCase{"DayBound", N, jan(2, 10), 86400, true, {}, eod(2024, 1, 1), eod(2024, 1, 2)},
        BarCase{"DayBoundMonday", N, jan(8, 10), 86400, true, {}, eod(2024, 1, 5), eod(2024, 1, 8)},
        BarCase{"DayBoundMondayNoEod", N, jan(8, 10), 86400, false, {}, utc_day(2024, 1, 5), utc_day(2024, 1, 8)},
        BarCase{"DayBoundUnsortedHolidays", N, jan(8, 10), 86400, true, {20240105, 20240104, 20240103},
                eod(2024, 1, 2), eod(2024, 1, 8)},
        // Whole-day steps of the bar width: two days back from Tuesday is Sunday, then Friday.
        BarCase{"TwoDayBound", N, jan(2, 10), 172800 + 3600, false, {}, utc_day(2023, 12, 29), utc_day(2024, 1, 2)}),
    [](const auto& info) { return std::string(info.param.name); });

struct EdgeCase {
  const char* name;
  bool continuation;
  std::int64_t now, expected;
};
class SamplerNextEdge : public testing::TestWithParam<EdgeCase> {};

TEST_P(SamplerNextEdge, FirstEdgeStrictlyAfterNow) {
  const EdgeCase& c = GetParam();
  const MarketCalendar cal = make({}, true);
  EXPECT_EQ(c.continuation ? next_market_continue_time(cal, c.now) : next_market_break_time(cal, c.now), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SamplerNextEdge,
    testing::Values(EdgeCase{"BreakMorning", false, jan(2, 10), jan(2, 11, 30)},
                    EdgeCase{"BreakAtBreak", false, jan(2, 11, 30), jan(2, 15)},
                    EdgeCase{"BreakJustBefore", false, jan(2, 11, 29, 59, 999), jan(2, 11, 30)},
                    EdgeCase{"BreakAtClose", false, jan(2, 15), jan(3, 11, 30)},
                    EdgeCase{"ContinueMorning", true, jan(2, 10), jan(2, 13)},
                    EdgeCase{"ContinueEarly", true, jan(2, 8), jan(2, 9, 30)},
                    EdgeCase{"ContinueAtAfternoonOpen", true, jan(2, 13), jan(3, 9, 30)},
                    EdgeCase{"ContinueFridayCloseWeekendTrades", true, jan(5, 15), jan(6, 9, 30)}),
    [](const auto& info) { return std::string(info.param.name); });

// Sessions placed 36,000 days (a Tuesday to a Monday) or 36,600 days before
// their trade day: the days in between are passed over at once, to the edge a
// day-by-day walk finds, or to the bound.
TEST(SamplerNextEdge, PassesOverSessionsFarBeforeTheirTradeDay) {
  const auto far = [](std::int32_t days) {
    return make({}, false, {{"trading_period", {{900 - 2400 * days, 1100 - 2400 * days}}}});
  };
  EXPECT_EQ(next_market_break_time(far(36000), jan(2, 10)), jan(2, 11));
  EXPECT_EQ(next_market_continue_time(far(36000), jan(2, 10)), jan(3, 9));
  EXPECT_THROW(next_market_break_time(far(36600), jan(2, 10)), InternalError);
}

struct EquivalentCase {
  const char* name;
  Pattern pattern;
  std::int64_t now;
  std::array<std::int64_t, 3> expected;
};
class SamplerEquivalent : public testing::TestWithParam<EquivalentCase> {};

TEST_P(SamplerEquivalent, ClampsIntoTheTradeDay) {
  const EquivalentCase& c = GetParam();
  EXPECT_EQ(equivalant_market_time(make(), c.now, c.pattern), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SamplerEquivalent,
    testing::Values(
        EquivalentCase{"FloorEarly", F, jan(2, 8), {jan(1, 9, 30), jan(1, 15), jan(1, 15)}},
        EquivalentCase{"FloorAfterClose", F, jan(2, 15, 30), {jan(2, 9, 30), jan(2, 15), jan(2, 15)}},
        EquivalentCase{"FloorMondayEarly", F, jan(8, 8), {jan(5, 9, 30), jan(5, 15), jan(5, 15)}},
        EquivalentCase{"FloorSaturday", F, jan(6, 10), {jan(5, 9, 30), jan(5, 15), jan(5, 15)}},
        EquivalentCase{"CeilAfterClose", C, jan(2, 15, 30), {jan(3, 9, 30), jan(3, 9, 30), jan(3, 15)}},
        // Within the closing second CEIL keeps the day, so the result moves on by itself.
        EquivalentCase{"CeilSubSecondPastClose", C, jan(2, 15, 0, 0, 500), {jan(3, 9, 30), jan(3, 9, 30), jan(3, 15)}},
        EquivalentCase{"CeilFridaySubSecond", C, jan(5, 15, 0, 0, 500), {jan(8, 9, 30), jan(8, 9, 30), jan(8, 15)}},
        EquivalentCase{"CeilLunch", C, jan(2, 12), {jan(2, 9, 30), jan(2, 12), jan(2, 15)}},
        EquivalentCase{"RoundOpen", R, jan(2, 10), {jan(2, 9, 30), jan(2, 10), jan(2, 15)}},
        EquivalentCase{"RoundSaturday", R, jan(6, 10), {jan(5, 9, 30), jan(5, 15), jan(5, 15)}}),
    [](const auto& info) { return std::string(info.param.name); });

// Consecutive closed dates ending the day before `end_day`.
std::vector<std::int32_t> closed_before(std::int64_t end_day, int count) {
  std::vector<std::int32_t> out;
  for (std::int64_t z = end_day - count; z < end_day; ++z) {
    out.push_back(static_cast<std::int32_t>(yyyymmdd(civil_from_days(z))));
  }
  return out;
}

TEST(SamplerFailures, RaiseInternalError) {
  const MarketCalendar cal = make();
  const MarketCalendar empty = make({}, false, {{"trading_period", {}}});
  const MarketCalendar no_default = make({}, false, {{"after_weekend", {{930, 1500}}}});
  const std::int64_t monday = days_from_civil(2024, 1, 8);
  const MarketCalendar closed = make(closed_before(monday, 40000));
  const std::int64_t in_run = (monday - 40000 + 1) * kDay * 1000;
  const std::vector<std::pair<const char*, std::function<void()>>> cases{
      {"begin granularity 0", [&] { sampler_tm_begin(cal, jan(2, 10), 0, true); }},
      {"bound granularity 0", [&] { sampler_tm_bound(cal, jan(2, 10), 0, true); }},
      {"status empty sections", [&] { calculate_status(empty, jan(2, 10), F); }},
      {"begin empty sections", [&] { sampler_tm_begin(empty, jan(2, 10), 300, true); }},
      {"status falls back", [&] { calculate_status(no_default, jan(2, 10), C); }},
      {"day bound over the run", [&] { sampler_tm_bound(closed, jan(8, 10), 86400, true); }},
      {"equivalent floor over the run", [&] { equivalant_market_time(closed, jan(8, 8), F); }},
      {"next break inside the run", [&] { next_market_break_time(closed, in_run); }},
      {"begin inside the run", [&] { sampler_tm_begin(closed, in_run, 300, true); }},
  };
  for (const auto& [name, fn] : cases) EXPECT_THROW(fn(), InternalError) << name;
  // A Monday with its own policy needs no fallback.
  EXPECT_TRUE(calculate_status(no_default, jan(8, 10), C).market_open);
}

// Walks over a long run of closed days. Each day of such a walk used to search
// the whole run again: these calls took from seconds to about a minute.
TEST(SamplerLongRuns, CrossAClosedRunOnce) {
  using Clock = std::chrono::steady_clock;
#if defined(NDEBUG) && !defined(__SANITIZE_ADDRESS__)
  const auto limit = std::chrono::milliseconds(500);
#else
  const auto limit = std::chrono::seconds(5);
#endif
  const std::int64_t jan2 = days_from_civil(2024, 1, 2);
  const std::vector<std::int32_t> closed = closed_before(jan2, 24000);
  const CivilDate open = civil_from_days(jan2 - 24001);  // the last open day before the run
  // After a holiday the session opens 20,000 days ahead of its trade day, so
  // an edge search from inside the run steps forward through it.
  const Periods far{{"trading_period", {{930, 1130}, {1300, 1500}}}, {"after_holiday", {{-48000000, -47999900}}}};
  const std::int64_t in_run = jan(1, 12) - 19000 * kDay * 1000;

  const auto start = Clock::now();
  // The first bar of the day after the run reports the close before it.
  EXPECT_EQ(sampler_tm_bound(make(closed), jan(2, 9, 32), 300, true),
            std::pair(at(open.year, open.month, open.day, 15), jan(2, 9, 35)));
  EXPECT_EQ(next_market_break_time(make(closed, true, far), in_run), jan(3, 11, 30));
  EXPECT_EQ(next_market_continue_time(make(closed, true, far), in_run), jan(3, 9, 30));
  EXPECT_LT(Clock::now() - start, limit);
}

TEST(SamplerExtremes, StayDefined) {
  constexpr auto i32min = std::numeric_limits<std::int32_t>::min(), i32max = std::numeric_limits<std::int32_t>::max();
  const Periods wide{{"trading_period", {{i32min, -1}, {0, i32max}}}};
  for (std::int32_t tz : {i32min, i32max, kUsEastern}) {
    for (const Periods* periods : {&kSessions, &wide}) {
      MarketCalendar cal = make({}, false, *periods);
      cal.time_zone = tz;
      for (std::int64_t raw : {std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max()}) {
        const std::int64_t now = clamp_instant_ms(raw);
        auto tolerate = [](auto&& fn) {
          try {
            fn();
          } catch (const InternalError&) {
          }
        };
        for (Pattern p : {F, C, R}) {
          tolerate([&] { calculate_status(cal, now, p); });
          tolerate([&] { equivalant_market_time(cal, now, p); });
        }
        for (std::uint32_t g : {1u, 86399u, 86400u, 604800u, 2592000u, 31536000u, 0xFFFFFFFFu}) {
          tolerate([&] { sampler_tm_begin(cal, now, g, true); });
          tolerate([&] { sampler_tm_bound(cal, now, g, true); });
        }
        tolerate([&] { next_market_break_time(cal, now); });
        tolerate([&] { next_market_continue_time(cal, now); });
      }
    }
  }
}

}  // namespace
}  // namespace qel::time
