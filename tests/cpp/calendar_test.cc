// Market calendar: civil dates, local time, day classes, trade-day resolution
// and the sessions of a trade day.
#include <gtest/gtest.h>

#include "error_text.h"

#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "qel/time/calendar.h"
#include "qel/time/civil.h"

namespace qel::time {
namespace {


const Periods kDaySessions{{"trading_period", {{930, 1130}, {1300, 1500}}}};
const Periods kNightSessions{{"trading_period", {{-300, 230}, {900, 1130}, {1330, 1500}}}};

MarketCalendar make(std::int32_t tz, Periods periods, std::vector<std::int32_t> holidays = {}, bool ignore = false) {
  MarketCalendar c;
  c.time_zone = tz;
  c.periods = std::move(periods);
  c.holidays = std::move(holidays);
  c.ignore_weekend = ignore;
  return c;
}

// Epoch seconds of a civil time at a fixed offset, computed without the calendar.
std::int64_t utc(std::int64_t tz, std::int64_t y, std::int64_t m, std::int64_t d, std::int64_t hh = 0,
                 std::int64_t mm = 0, std::int64_t ss = 0) {
  return days_from_civil(y, m, d) * kDay + hh * 3600 + mm * 60 + ss - tz * 3600;
}
std::int64_t cst(std::int64_t y, std::int64_t m, std::int64_t d, std::int64_t hh = 0, std::int64_t mm = 0,
                 std::int64_t ss = 0) {
  return utc(8, y, m, d, hh, mm, ss);
}

// Consecutive YYYYMMDD dates starting at a day count.
std::vector<std::int32_t> closed_run(std::int64_t first_day, int count) {
  std::vector<std::int32_t> out;
  for (int i = 0; i < count; ++i) out.push_back(static_cast<std::int32_t>(yyyymmdd(civil_from_days(first_day + i))));
  return out;
}

TEST(CalendarCivil, KnownDayCounts) {
  struct Row { std::int64_t y, m, d, days; };
  for (const Row& r : {Row{1970, 1, 1, 0}, Row{1969, 12, 31, -1}, Row{2000, 3, 1, 11017}, Row{2024, 1, 1, 19723},
                       Row{1900, 3, 1, -25508}, Row{1600, 2, 29, -135081}, Row{1, 1, 1, -719162},
                       Row{9999, 12, 31, 2932896}}) {
    SCOPED_TRACE(r.y * 10000 + r.m * 100 + r.d);
    EXPECT_EQ(days_from_civil(r.y, r.m, r.d), r.days);
    const CivilDate c = civil_from_days(r.days);
    EXPECT_EQ(yyyymmdd(c), r.y * 10000 + r.m * 100 + r.d);
  }
  EXPECT_EQ(weekday_of_day(-1), 3);     // 1969-12-31, a Wednesday
  EXPECT_EQ(weekday_of_day(19723), 1);  // 2024-01-01, a Monday
  EXPECT_EQ(floor_div(-1, kDay), -1);
}

TEST(CalendarCivil, WeekdaysStepByOneAcrossTheFastPathEdges) {
  constexpr std::int64_t edge = 7 * (std::int64_t{1} << 40);
  for (std::int64_t base : {std::int64_t{-20}, -edge - 10, edge - 10, std::numeric_limits<std::int64_t>::min() / 2}) {
    for (std::int64_t d = base; d < base + 20; ++d) {
      ASSERT_EQ(weekday_of_day(d + 1), (weekday_of_day(d) + 1) % 7) << d;
    }
  }
}

TEST(CalendarMemo, UnsortedHolidaysAndRepeatedQueriesAgreeWithAFreshCalendar) {
  // The same calendar asked many things in turn answers as a new one would.
  MarketCalendar shared = make(8, {{"trading_period", {{930, 1130}, {1300, 1500}}}, {"after_holiday", {{1000, 1500}}}},
                               {20240105, 20240102, 20240103});
  for (std::int64_t t = 1704038400; t < 1704038400 + 12 * kDay; t += 5400) {
    for (Pattern p : {Pattern::floor, Pattern::ceil, Pattern::round}) {
      MarketCalendar fresh = make(8, shared.periods, shared.holidays);
      const Resolution a = shared.resolve_trade_day(t, p), b = fresh.resolve_trade_day(t, p);
      ASSERT_EQ(std::pair(a.trade_day, a.policy), std::pair(b.trade_day, b.policy)) << t;
      ASSERT_EQ(shared.current_sections(t), fresh.current_sections(t)) << t;
    }
  }
  EXPECT_EQ(shared.tradeday_sections(20240104).front().begin, 1704333600000);  // after_holiday: 10:00 local
  EXPECT_TRUE(shared.tradeday_sections(20240103).empty());

  // A copy of a queried calendar may be changed, and then answers for its own fields.
  MarketCalendar changed = shared;
  changed.holidays = {20240104};
  changed.periods = {{"trading_period", {{900, 1000}}}};
  const MarketCalendar fresh = make(8, changed.periods, changed.holidays);
  const std::int64_t t = 1704333600;  // 2024-01-04 10:00 local, a holiday now
  EXPECT_EQ(changed.resolve_trade_day(t, Pattern::ceil).trade_day, fresh.resolve_trade_day(t, Pattern::ceil).trade_day);
  EXPECT_EQ(changed.current_sections(t), fresh.current_sections(t));
  EXPECT_NE(changed.current_sections(t), shared.current_sections(t));
}

// Outcome of a day search: the instant found, or the text it gave up with.
std::string search(const MarketCalendar& cal, std::int64_t t, Pattern p, int direction) {
  std::int64_t found = 0;
  const std::string error = qel::test_support::error_text<InternalError>([&] { found = cal.step_to_trading_day(t, p, direction); });
  return error == "no error" ? std::to_string(found) : error;
}

TEST(CalendarMemo, SearchesThatReachARememberedRunAgreeWithAFreshCalendar) {
  // Closed days just past the step bound, between two open weekdays.
  const std::int64_t first = days_from_civil(2024, 1, 3), length = kMaxDaySteps + 2, last = first + length - 1;
  ASSERT_EQ(weekday_of_day(last + 1), 4);  // a Thursday
  const MarketCalendar shared = make(8, kDaySessions, closed_run(first, static_cast<int>(length)));
  // Walks either way over the days where searches start to give up (a
  // backward search from last - 1 on, a forward one up to first + 1), then a
  // search a second off the walk's instants, which the run must not answer.
  struct Walk { int direction; std::int64_t from, to; };
  for (const Walk& w : {Walk{-1, last - 3, last + 1}, Walk{-1, last + 1, last - 3}, Walk{+1, first - 1, first + 3},
                        Walk{+1, first + 3, first - 1}}) {
    const Pattern p = w.direction > 0 ? Pattern::ceil : Pattern::floor;
    auto agree = [&](std::int64_t t) {
      ASSERT_EQ(search(shared, t, p, w.direction), search(make(8, kDaySessions, shared.holidays), t, p, w.direction))
          << (t - first * kDay) / kDay << " " << w.direction;
    };
    const std::int64_t step = w.from < w.to ? 1 : -1;
    for (std::int64_t day = w.from; day != w.to + step; day += step) agree(day * kDay + 2 * 3600);  // 10:00 local
    agree((w.direction > 0 ? first + 3 : last - 3) * kDay + 2 * 3600 + 1);
  }
}

TEST(CalendarMemo, ResolutionsWalkedDayByDayAgreeWithAFreshCalendar) {
  // Runs of closed days, a Friday holiday (which closes the weekend after it
  // under FLOOR only) and a run across the spring switch of US Eastern time,
  // where instants a whole day apart skip a local date near midnight.
  std::vector<std::int32_t> holidays = closed_run(days_from_civil(2024, 1, 10), 12);
  holidays.push_back(20240126);
  for (std::int32_t d : closed_run(days_from_civil(2024, 3, 8), 5)) holidays.push_back(d);
  const Periods periods{{"trading_period", {{930, 1130}, {1300, 1500}}}, {"after_holiday", {{-300, 230}, {900, 1500}}}};
  for (std::int32_t tz : {8, kUsEastern}) {
    for (bool ignore : {false, true}) {
      const MarketCalendar shared = make(tz, periods, holidays, ignore);
      for (std::int64_t hh : {0, 10, 23}) {
        const std::int64_t t0 = shared.local_to_utc(2024, 1, 1, hh, 30);
        for (bool backward : {false, true}) {
          for (std::int64_t k = 0; k <= 90; ++k) {
            const std::int64_t t = t0 + (backward ? 90 - k : k) * kDay;
            for (Pattern p : {Pattern::floor, Pattern::ceil, Pattern::round}) {
              const MarketCalendar fresh = make(tz, periods, holidays, ignore);
              const Resolution a = shared.resolve_trade_day(t, p), b = fresh.resolve_trade_day(t, p);
              ASSERT_EQ(std::tuple(a.trade_day, a.policy, a.action_day), std::tuple(b.trade_day, b.policy, b.action_day))
                  << tz << " " << ignore << " " << t << " " << static_cast<int>(p);
              for (int direction : {-1, +1}) {
                ASSERT_EQ(search(shared, t, p, direction), search(fresh, t, p, direction)) << t << " " << direction;
              }
            }
          }
        }
      }
    }
  }
}

TEST(CalendarCivil, RoundTripAndSuccessionOverWideRange) {
  CivilDate prev = civil_from_days(-1'000'001);
  for (std::int64_t z = -1'000'000; z <= 1'000'000; ++z) {
    const CivilDate c = civil_from_days(z);
    ASSERT_EQ(days_from_civil(c.year, c.month, c.day), z);
    const CivilDate back = from_yyyymmdd(yyyymmdd(c));
    ASSERT_TRUE(back.year == c.year && back.month == c.month && back.day == c.day) << z;
    const bool next_day = c.year == prev.year && c.month == prev.month && c.day == prev.day + 1;
    const bool next_month = c.year == prev.year && c.month == prev.month + 1 && c.day == 1;
    const bool next_year = c.year == prev.year + 1 && c.month == 1 && c.day == 1 && prev.month == 12;
    ASSERT_TRUE(next_day || next_month || next_year) << z;
    prev = c;
  }
}

TEST(CalendarCivil, LeapYearRules) {
  for (std::int64_t y = -1200; y <= 2800; ++y) {
    const bool leap = y % 4 == 0 && (y % 100 != 0 || y % 400 == 0);
    ASSERT_EQ(days_from_civil(y, 3, 1) - days_from_civil(y, 2, 1), leap ? 29 : 28) << y;
  }
}

struct LocalCase { std::int32_t tz; std::int64_t t; std::int64_t y, m, d, hh, mm, ss, weekday; };
class CalendarLocalTime : public testing::TestWithParam<LocalCase> {};

TEST_P(CalendarLocalTime, BreaksDownInTheZone) {
  const LocalCase& c = GetParam();
  const LocalTime lt = make(c.tz, {}).local_time(c.t);
  EXPECT_EQ(lt.yyyymmdd(), c.y * 10000 + c.m * 100 + c.d);
  EXPECT_EQ(lt.hour * 10000 + lt.minute * 100 + lt.second, c.hh * 10000 + c.mm * 100 + c.ss);
  EXPECT_EQ(lt.weekday, c.weekday);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CalendarLocalTime,
    testing::Values(LocalCase{8, utc(0, 2024, 1, 1, 16, 30), 2024, 1, 2, 0, 30, 0, 2},
                    LocalCase{0, -1, 1969, 12, 31, 23, 59, 59, 3},
                    LocalCase{14, utc(0, 2024, 12, 31, 10), 2025, 1, 1, 0, 0, 0, 3},
                    LocalCase{-4, utc(0, 2024, 1, 15, 12), 2024, 1, 15, 8, 0, 0, 1},  // fixed, no DST
                    // US Eastern around its 2024 and 2006 transitions.
                    LocalCase{-5, utc(0, 2024, 3, 10, 6, 59, 59), 2024, 3, 10, 1, 59, 59, 0},
                    LocalCase{-5, utc(0, 2024, 3, 10, 7), 2024, 3, 10, 3, 0, 0, 0},
                    LocalCase{-5, utc(0, 2024, 3, 11, 3, 59, 59), 2024, 3, 10, 23, 59, 59, 0},
                    LocalCase{-5, utc(0, 2024, 3, 11, 4), 2024, 3, 11, 0, 0, 0, 1},
                    LocalCase{-5, utc(0, 2024, 11, 3, 5, 59, 59), 2024, 11, 3, 1, 59, 59, 0},
                    LocalCase{-5, utc(0, 2024, 11, 3, 6), 2024, 11, 3, 1, 0, 0, 0},
                    LocalCase{-5, utc(0, 2006, 4, 2, 6, 59, 59), 2006, 4, 2, 1, 59, 59, 0},
                    LocalCase{-5, utc(0, 2006, 4, 2, 7), 2006, 4, 2, 3, 0, 0, 0},
                    LocalCase{-5, utc(0, 2006, 10, 29, 5, 59, 59), 2006, 10, 29, 1, 59, 59, 0},
                    LocalCase{-5, utc(0, 2006, 10, 29, 6), 2006, 10, 29, 1, 0, 0, 0},
                    LocalCase{-5, utc(0, 2006, 3, 12, 12), 2006, 3, 12, 7, 0, 0, 0}));  // 2007 rules not yet

TEST(CalendarUsEastern, DaylightSavingDates) {
  struct Row { std::int64_t year, sm, sd, em, ed; };
  for (const Row& r : {Row{1987, 4, 5, 10, 25}, Row{2006, 4, 2, 10, 29}, Row{2007, 3, 11, 11, 4},
                       Row{2024, 3, 10, 11, 3}, Row{2037, 3, 8, 11, 1}}) {
    const auto [start, end] = us_eastern_dst(r.year);
    EXPECT_EQ(start, days_from_civil(r.year, r.sm, r.sd)) << r.year;
    EXPECT_EQ(end, days_from_civil(r.year, r.em, r.ed)) << r.year;
  }
}

TEST(CalendarUsEastern, LocalToUtcResolvesSkippedAndRepeatedHours) {
  struct Row { std::int64_t y, m, d, hh, mm, offset; };
  const MarketCalendar us = make(kUsEastern, {});
  for (const Row& r : {Row{2024, 3, 10, 1, 59, 18000}, Row{2024, 3, 10, 2, 0, 14400}, Row{2024, 3, 10, 2, 30, 14400},
                       Row{2024, 11, 3, 0, 59, 14400}, Row{2024, 11, 3, 1, 0, 18000}, Row{2024, 11, 3, 1, 59, 18000},
                       Row{2006, 4, 2, 1, 59, 18000}, Row{2006, 4, 2, 2, 0, 14400}, Row{2006, 10, 29, 0, 59, 14400},
                       Row{2006, 10, 29, 1, 0, 18000}, Row{2024, 7, 1, 12, 0, 14400}, Row{2024, 1, 15, 12, 0, 18000},
                       // Out-of-range clock values are normalised before the rule applies.
                       Row{2024, 3, 11, -3, 0, 14400}, Row{2024, 3, 9, 25, 59, 18000}, Row{2024, 3, 9, 26, 30, 14400},
                       Row{2024, 11, 2, 24, 60, 18000}}) {
    SCOPED_TRACE(r.y * 1000000 + r.m * 10000 + r.d * 100 + r.hh);
    EXPECT_EQ(us.local_to_utc(r.y, r.m, r.d, r.hh, r.mm), utc(0, r.y, r.m, r.d, r.hh, r.mm) + r.offset);
  }
  EXPECT_EQ(make(8, {}).local_to_utc(2024, 1, 2, -3, 0), cst(2024, 1, 1, 21));
  EXPECT_EQ(make(8, {}).local_to_utc(2024, 1, 2, 9, -90), cst(2024, 1, 2, 7, 30));
}

// 2024-01-05 is a Friday, 01-06/07 the weekend, 01-08 a Monday.
struct ClassifyCase {
  std::int32_t holiday;
  std::int64_t day;  // day of January 2024
  Pattern pattern;
  bool ignore_weekend;
  DayClass expected;
};
class CalendarClassify : public testing::TestWithParam<ClassifyCase> {};

TEST_P(CalendarClassify, WeekendNextToHoliday) {
  const ClassifyCase& c = GetParam();
  const MarketCalendar cal = make(8, kDaySessions, {c.holiday}, c.ignore_weekend);
  // The local date decides, from its first to its last second.
  EXPECT_EQ(cal.classify_day(cst(2024, 1, c.day), c.pattern), c.expected);
  EXPECT_EQ(cal.classify_day(cst(2024, 1, c.day, 23, 59, 59), c.pattern), c.expected);
}

constexpr auto F = Pattern::floor, C = Pattern::ceil, R = Pattern::round;
constexpr auto T = DayClass::trading, W = DayClass::weekend, H = DayClass::holiday;
INSTANTIATE_TEST_SUITE_P(
    Cases, CalendarClassify,
    testing::Values(
        // Friday holiday closes the weekend for FLOOR and ROUND, not for CEIL.
        ClassifyCase{20240105, 6, F, false, H}, ClassifyCase{20240105, 7, F, true, H},
        ClassifyCase{20240105, 6, R, true, H}, ClassifyCase{20240105, 7, R, false, H},
        ClassifyCase{20240105, 6, C, false, W}, ClassifyCase{20240105, 7, C, true, T},
        // Monday holiday closes it for CEIL only.
        ClassifyCase{20240108, 6, C, false, H}, ClassifyCase{20240108, 7, C, true, H},
        ClassifyCase{20240108, 6, F, true, T}, ClassifyCase{20240108, 7, F, false, W},
        ClassifyCase{20240108, 6, R, false, W}, ClassifyCase{20240108, 7, R, true, T},
        // The holiday itself, and weekdays around it.
        ClassifyCase{20240105, 5, C, true, H}, ClassifyCase{20240106, 6, C, true, H},
        ClassifyCase{20240105, 4, F, false, T}, ClassifyCase{20240108, 9, C, false, T}));

struct ResolveCase {
  const char* name;
  const Periods* periods;
  Pattern pattern;
  std::int64_t t;
  std::int64_t trade_day;
  const char* policy;
};
class CalendarResolve : public testing::TestWithParam<ResolveCase> {};

TEST_P(CalendarResolve, SwitchesAtTheDocumentedInstant) {
  const ResolveCase& c = GetParam();
  const Resolution r = make(8, *c.periods).resolve_trade_day(c.t, c.pattern);
  EXPECT_EQ(r.trade_day, c.trade_day);
  EXPECT_EQ(r.policy, c.policy);
  EXPECT_EQ(r.action_day, make(8, {}).local_time(c.t).yyyymmdd());
}

// Monday's own sessions open on Friday evening, 51 hours before its midnight.
const Periods kFridayNight{{"trading_period", {{-300, 230}, {900, 1130}, {1330, 1500}}},
                           {"after_weekend", {{-5100, -4630}, {900, 1130}, {1330, 1500}}}};
// The night session opens ten minutes after the day session closes.
const Periods kEarlyNight{{"trading_period", {{-850, 230}, {900, 1130}, {1330, 1500}}}};
using Rc = ResolveCase;
constexpr const char* kTp = "trading_period";
constexpr const char* kAw = "after_weekend";

INSTANTIATE_TEST_SUITE_P(
    Cases, CalendarResolve,
    testing::Values(
        // Day sessions: FLOOR and ROUND move on at local midnight, CEIL right after the close.
        Rc{"DayFloorBeforeMidnight", &kDaySessions, F, cst(2024, 1, 2, 23, 59, 59), 20240102, kTp},
        Rc{"DayFloorAtMidnight", &kDaySessions, F, cst(2024, 1, 3), 20240103, kTp},
        Rc{"DayFloorBeforeOpen", &kDaySessions, F, cst(2024, 1, 3, 9, 29, 59), 20240103, kTp},
        Rc{"DayCeilBeforeClose", &kDaySessions, C, cst(2024, 1, 2, 14, 59, 59), 20240102, kTp},
        Rc{"DayCeilAtClose", &kDaySessions, C, cst(2024, 1, 2, 15), 20240102, kTp},
        Rc{"DayCeilAfterClose", &kDaySessions, C, cst(2024, 1, 2, 15, 0, 1), 20240103, kTp},
        Rc{"DayRoundPastCloseWindow", &kDaySessions, R, cst(2024, 1, 2, 15, 10), 20240102, kTp},
        Rc{"DayRoundBeforeMidnight", &kDaySessions, R, cst(2024, 1, 2, 23, 59, 59), 20240102, kTp},
        Rc{"DayRoundAtMidnight", &kDaySessions, R, cst(2024, 1, 3), 20240103, kTp},
        Rc{"DayFloorSaturday", &kDaySessions, F, cst(2024, 1, 6, 10), 20240105, kTp},
        Rc{"DayFloorSundayLate", &kDaySessions, F, cst(2024, 1, 7, 23, 59, 59), 20240105, kTp},
        Rc{"DayCeilSaturday", &kDaySessions, C, cst(2024, 1, 6, 10), 20240108, kAw},
        Rc{"DayCeilFridayAfterClose", &kDaySessions, C, cst(2024, 1, 5, 15, 0, 1), 20240108, kAw},
        Rc{"DayRoundSunday", &kDaySessions, R, cst(2024, 1, 7, 12), 20240105, kTp},
        // Night sessions: FLOOR at the night open, ROUND 600 s before it, CEIL right after the close.
        Rc{"NightFloorBeforeOpen", &kNightSessions, F, cst(2024, 1, 2, 20, 59, 59), 20240102, kTp},
        Rc{"NightFloorAtOpen", &kNightSessions, F, cst(2024, 1, 2, 21), 20240103, kTp},
        Rc{"NightFloorAfterOpen", &kNightSessions, F, cst(2024, 1, 2, 21, 0, 1), 20240103, kTp},
        Rc{"NightFloorAfterMidnight", &kNightSessions, F, cst(2024, 1, 3, 1), 20240103, kTp},
        Rc{"NightCeilAtClose", &kNightSessions, C, cst(2024, 1, 2, 15), 20240102, kTp},
        Rc{"NightCeilAfterClose", &kNightSessions, C, cst(2024, 1, 2, 15, 0, 1), 20240103, kTp},
        Rc{"NightRoundCloseWindow", &kNightSessions, R, cst(2024, 1, 2, 15, 9, 59), 20240102, kTp},
        Rc{"NightRoundBeforeSwitch", &kNightSessions, R, cst(2024, 1, 2, 20, 49, 59), 20240102, kTp},
        Rc{"NightRoundAtSwitch", &kNightSessions, R, cst(2024, 1, 2, 20, 50), 20240103, kTp},
        Rc{"NightRoundAfterSwitch", &kNightSessions, R, cst(2024, 1, 2, 20, 50, 1), 20240103, kTp},
        // A closed today: FLOOR moves on 600 s before the coming open (Sunday 21:00).
        Rc{"NightFloorSundayBefore", &kNightSessions, F, cst(2024, 1, 7, 20, 49, 59), 20240105, kTp},
        Rc{"NightFloorSundayAt", &kNightSessions, F, cst(2024, 1, 7, 20, 50), 20240108, kAw},
        Rc{"NightFloorSundayAfter", &kNightSessions, F, cst(2024, 1, 7, 20, 50, 1), 20240108, kAw},
        // ROUND never switches before 600 s after the close, however early the night opens.
        Rc{"EarlyNightRoundBefore", &kEarlyNight, R, cst(2024, 1, 2, 15, 9, 59), 20240102, kTp},
        Rc{"EarlyNightRoundAt", &kEarlyNight, R, cst(2024, 1, 2, 15, 10), 20240103, kTp},
        // Negative HHMM reaching three days back.
        Rc{"FridayNightFloorBefore", &kFridayNight, F, cst(2024, 1, 5, 20, 59, 59), 20240105, kTp},
        Rc{"FridayNightFloorAt", &kFridayNight, F, cst(2024, 1, 5, 21), 20240108, kAw},
        Rc{"FridayNightCeilSaturday", &kFridayNight, C, cst(2024, 1, 6, 1), 20240108, kAw}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CalendarPlace, HhmmCarriesItsSignIntoMinutes) {
  const MarketCalendar cal = make(8, kDaySessions);
  struct Row { Section s; std::int32_t day; Span expected; };
  for (const Row& r : {Row{{-300, -230}, 20240103, {cst(2024, 1, 2, 21), cst(2024, 1, 2, 21, 30)}},
                       Row{{2630, 970}, 20240103, {cst(2024, 1, 4, 2, 30), cst(2024, 1, 3, 10, 10)}},
                       Row{{-5100, -4630}, 20240108, {cst(2024, 1, 5, 21), cst(2024, 1, 6, 1, 30)}}}) {
    EXPECT_EQ(cal.place(r.s, r.day), r.expected) << r.s.start;
  }
}

struct SectionsCase {
  const char* name;
  std::int32_t tz;
  Periods periods;
  std::vector<std::int32_t> holidays;
  std::int32_t trade_day;
  std::vector<Span> expected;  // ms
};
class CalendarTradedaySections : public testing::TestWithParam<SectionsCase> {};

TEST_P(CalendarTradedaySections, PlacesTheDatesOwnPolicy) {
  const SectionsCase& c = GetParam();
  EXPECT_EQ(make(c.tz, c.periods, c.holidays).tradeday_sections(c.trade_day), c.expected);
}

Span ms(std::int64_t begin, std::int64_t end) { return {begin * 1000, end * 1000}; }
const Periods kAfterHolidayNight{{"trading_period", {{900, 1500}}}, {"after_holiday", {{-300, 230}, {900, 1500}}}};

INSTANTIATE_TEST_SUITE_P(
    Cases, CalendarTradedaySections,
    testing::Values(
        SectionsCase{"Tuesday", 8, kDaySessions, {}, 20240102,
                     {ms(utc(0, 2024, 1, 2, 1, 30), utc(0, 2024, 1, 2, 3, 30)),
                      ms(utc(0, 2024, 1, 2, 5), utc(0, 2024, 1, 2, 7))}},
        SectionsCase{"Saturday", 8, kDaySessions, {}, 20240106, {}},
        SectionsCase{"Sunday", 8, kDaySessions, {}, 20240107, {}},
        // Membership ignores the order of the list.
        SectionsCase{"UnsortedHoliday", 8, kDaySessions, {20240105, 20240103}, 20240105, {}},
        SectionsCase{"NightNotAfterHoliday", 8, kNightSessions, {}, 20240104,
                     {ms(cst(2024, 1, 3, 21), cst(2024, 1, 4, 2, 30)), ms(cst(2024, 1, 4, 9), cst(2024, 1, 4, 11, 30)),
                      ms(cst(2024, 1, 4, 13, 30), cst(2024, 1, 4, 15))}},
        // After a holiday with a night session the base moves back one day per
        // closed day, and every section of the policy moves with it.
        SectionsCase{"AfterOneHoliday", 8, kAfterHolidayNight, {20240103}, 20240104,
                     {ms(cst(2024, 1, 2, 21), cst(2024, 1, 3, 2, 30)), ms(cst(2024, 1, 3, 9), cst(2024, 1, 3, 15))}},
        SectionsCase{"AfterTwoHolidays", 8, kAfterHolidayNight, {20240102, 20240103}, 20240104,
                     {ms(cst(2024, 1, 1, 21), cst(2024, 1, 2, 2, 30)), ms(cst(2024, 1, 2, 9), cst(2024, 1, 2, 15))}},
        SectionsCase{"MondayAfterFridayHoliday", 8, kAfterHolidayNight, {20240105}, 20240108,
                     {ms(cst(2024, 1, 6, 21), cst(2024, 1, 7, 2, 30)), ms(cst(2024, 1, 7, 9), cst(2024, 1, 7, 15))}},
        // Only a negative first start shifts the base.
        SectionsCase{"MidnightAfterHolidayNoShift", 8, {{"after_holiday", {{0, 1500}}}}, {20240103}, 20240104,
                     {ms(cst(2024, 1, 4), cst(2024, 1, 4, 15))}},
        SectionsCase{"MondayAfterWeekend", 8, {{"after_weekend", {{-300, 1500}}}}, {}, 20240108,
                     {ms(cst(2024, 1, 7, 21), cst(2024, 1, 8, 15))}},
        // Plain offsets from the local midnight: 51 hours before a Monday in EST
        // is 22:00 EDT on the Friday, where a clock conversion would give 21:00.
        SectionsCase{"UsEasternPlainOffsets", kUsEastern, {{"after_weekend", {{-5100, 0}}}}, {}, 20241104,
                     {ms(utc(0, 2024, 11, 4, 5) - 51 * 3600, utc(0, 2024, 11, 4, 5))}}),
    [](const auto& info) { return std::string(info.param.name); });

constexpr const char* kNoTradingPeriod = "MarketCalendar must carry a \"trading_period\" policy";

TEST(CalendarFailures, MissingTradingPeriodOnlyWhenALookupFallsBack) {
  const MarketCalendar cal = make(8, {{"after_weekend", {{930, 1500}}}});
  // Monday finds its own key; building the calendar never fails.
  EXPECT_EQ(cal.tradeday_sections(20240108).size(), 1u);
  EXPECT_EQ(cal.tradeday_sections(20240106).size(), 0u);
  EXPECT_EQ(cal.current_sections(cst(2024, 1, 8, 10)).size(), 1u);
  EXPECT_EQ(qel::test_support::error_text<InternalError>([&] { cal.tradeday_sections(20240109); }), kNoTradingPeriod);
  // FLOOR looks ahead to Tuesday, which falls back.
  EXPECT_EQ(qel::test_support::error_text<InternalError>([&] { cal.resolve_trade_day(cst(2024, 1, 8, 10), F); }), kNoTradingPeriod);
}

TEST(CalendarFailures, EmptySectionListWhereASectionIsNeeded) {
  EXPECT_NE(qel::test_support::error_text<InternalError>([] { make(8, {{"trading_period", {}}}).resolve_trade_day(cst(2024, 1, 2, 10), C); }),
            "no error");
  // An empty own policy does not fall back to "trading_period".
  const MarketCalendar cal = make(8, {{"trading_period", {{930, 1500}}}, {"after_weekend", {}}});
  EXPECT_NE(qel::test_support::error_text<InternalError>([&] { cal.resolve_trade_day(cst(2024, 1, 8, 10), C); }), "no error");
  EXPECT_EQ(cal.tradeday_sections(20240108).size(), 0u);
}

TEST(CalendarFailures, DaySearchesStopAfterACenturyOfClosedDays) {
  const std::int64_t jan3 = days_from_civil(2024, 1, 3);
  const std::int64_t tuesday = cst(2024, 1, 2, 10);
  // 36,524 closed days: the 36,525th step reaches a Monday and succeeds.
  const MarketCalendar just_enough = make(8, kDaySessions, closed_run(jan3, kMaxDaySteps - 1));
  EXPECT_EQ(just_enough.resolve_trade_day(tuesday, F).trade_day, 20240102);
  const MarketCalendar one_more = make(8, kDaySessions, closed_run(jan3, kMaxDaySteps));
  EXPECT_NE(qel::test_support::error_text<InternalError>([&] { one_more.resolve_trade_day(tuesday, F); }), "no error");

  const MarketCalendar closed = make(8, kAfterHolidayNight, closed_run(jan3, 40000));
  EXPECT_NE(qel::test_support::error_text<InternalError>([&] { closed.resolve_trade_day(cst(2024, 1, 4, 10), R); }), "no error");
  EXPECT_NE(qel::test_support::error_text<InternalError>([&] { closed.current_sections(cst(2024, 1, 4, 10)); }), "no error");
  // The after-holiday night search walks back over the whole run.
  const std::int64_t after = jan3 + 40000;
  ASSERT_EQ(weekday_of_day(after), 5);
  const auto first_open = static_cast<std::int32_t>(yyyymmdd(civil_from_days(after)));
  EXPECT_NE(qel::test_support::error_text<InternalError>([&] { closed.tradeday_sections(first_open); }), "no error");
}

TEST(CalendarExtremes, EveryOperationStaysDefined) {
  constexpr auto i32min = std::numeric_limits<std::int32_t>::min(), i32max = std::numeric_limits<std::int32_t>::max();
  constexpr auto i64min = std::numeric_limits<std::int64_t>::min(), i64max = std::numeric_limits<std::int64_t>::max();
  EXPECT_EQ(clamp_instant_ms(i64min), -kMaxInstantMs);
  EXPECT_EQ(clamp_instant_ms(i64max), kMaxInstantMs);
  EXPECT_EQ(clamp_instant_ms(-5), -5);

  const Periods wide{{"trading_period", {{i32min, i32max}, {i32max, i32min}}}};
  for (std::int32_t tz : {i32min, i32max, kUsEastern, 0}) {
    for (const Periods* periods : {&kNightSessions, &wide}) {
      const MarketCalendar cal = make(tz, *periods, {i32min, 0, i32max});
      for (std::int64_t ms : {i64min, i64max, std::int64_t{0}}) {
        const std::int64_t t = clamp_instant_ms(ms) / 1000;
        (void)cal.local_time(t);
        (void)cal.local_to_utc(i32max / 10000, 99, 99, i32max / 100, 99);
        (void)cal.local_to_utc(i32min / 10000, -99, -99, i32min / 100, -99);
        for (Pattern p : {F, C, R}) {
          (void)cal.classify_day(t, p);
          (void)qel::test_support::error_text<InternalError>([&] { cal.resolve_trade_day(t, p); });
        }
        (void)qel::test_support::error_text<InternalError>([&] { cal.current_sections(t); });
      }
      for (std::int32_t day : {i32min, i32max, 0, -1, 20240102}) {
        (void)qel::test_support::error_text<InternalError>([&] { cal.tradeday_sections(day); });
        (void)cal.place({i32min, i32max}, day);
      }
    }
  }
}

}  // namespace
}  // namespace qel::time

namespace qel::time {
namespace {

// The fast day-count conversion must agree with the era-based one across its
// whole range and switch over cleanly at both ends.
TEST(CivilDate, FastConversionAgreesWithEraBased) {
  auto same = [](std::int64_t z) {
    const CivilDate a = civil_from_days(z), b = civil_from_days_general(z);
    return a.year == b.year && a.month == b.month && a.day == b.day;
  };
  for (std::int64_t z = -800'000; z < 800'000; ++z) ASSERT_TRUE(same(z)) << z;
  for (std::int64_t z = -12'699'432; z < -12'699'412; ++z) ASSERT_TRUE(same(z)) << z;
  for (std::int64_t z = 999'999'990; z < 1'000'000'010; ++z) ASSERT_TRUE(same(z)) << z;
  for (std::int64_t z = -(std::int64_t{1} << 40); z < (std::int64_t{1} << 40); z += 987'654'321) {
    ASSERT_TRUE(same(z)) << z;
  }
}

}  // namespace
}  // namespace qel::time
