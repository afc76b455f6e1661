// The market calendar: local time in the market's zone, day classes, trading
// period policies, trade-day resolution and the sessions of a trade day.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "qel/error.h"

namespace qel::time {

// Rounding patterns: which trade day an instant outside the sessions belongs to.
enum class Pattern : std::int32_t { floor = 0, ceil = 1, round = 2 };

enum class DayClass { trading, weekend, holiday };

// A session as HHMM clock values relative to the trade day's local midnight;
// negative values reach into earlier days (-300 is 21:00 the evening before).
struct Section {
  std::int32_t start = 0;
  std::int32_t end = 0;
};

// Trading-period policies by name, looked up without building a string.
using Periods = std::map<std::string, std::vector<Section>, std::less<>>;

// A session placed on a date: epoch seconds or milliseconds.
struct Span {
  std::int64_t begin = 0;
  std::int64_t end = 0;
  bool operator==(const Span&) const = default;
};

struct LocalTime {
  std::int64_t year, month, day, hour, minute, second;
  std::int64_t weekday;  // Sunday = 0
  std::int64_t yyyymmdd() const noexcept { return year * 10000 + month * 100 + day; }
};

struct Resolution {
  std::string_view policy;  // a key of the calendar's periods (or "trading_period")
  std::int64_t trade_day;   // YYYYMMDD
  std::int64_t action_day;  // YYYYMMDD, the local date of the instant
};

inline constexpr std::int64_t kDay = 86400;
inline constexpr std::int32_t kUsEastern = -5;
// Day-stepping searches give up after a century of closed days.
inline constexpr int kMaxDaySteps = 36525;
// Instants are clamped to +-2^61 ms so that every sum and product of the
// calendar and sampler arithmetic stays inside 64 bits.
inline constexpr std::int64_t kMaxInstantMs = std::int64_t{1} << 61;

std::int64_t clamp_instant_ms(std::int64_t ms) noexcept;

// Throws InternalError once a search has taken more than kMaxDaySteps steps.
void count_day_step(int& steps);
// The same error, for a search that can tell the steps left would all fail.
[[noreturn]] void day_steps_exceeded();

// A list of YYYYMMDD days searchable whatever its order: a sorted list is used
// in place, another is sorted into a copy.
class SortedDays {
 public:
  explicit SortedDays(const std::vector<std::int32_t>& days);
  bool contains(std::int64_t day) const noexcept;

 private:
  const std::vector<std::int32_t>* days_;
  std::vector<std::int32_t> copy_;
};

// The steps i >= 0 of a day-by-day search for the first session end (or
// start) after t, over the instants t + i * kDay, that it must take: the CEIL
// trade day of any other step has every such edge at or before t, and
// resolving it cannot throw. A search passes over sessions that a policy
// places far before their trade day at once.
struct EdgeSteps {
  std::int64_t all = 0;             // every step from here on
  std::int64_t after_holiday = 0;   // no step before here, not even after a holiday
  std::int64_t lead = 0, lag = 0;   // steps h - lead to h - lag come near holiday day h
  std::vector<std::int64_t> holidays;  // day counts of the listed dates, ascending

  // The first step at or after i that the search must take.
  std::int64_t next(std::int64_t i) const;
};

class MarketCalendar {
 public:
  std::vector<std::int32_t> holidays;  // YYYYMMDD, ascending
  Periods periods;
  std::int32_t time_zone = 0;  // hours east of UTC; -5 is US Eastern with daylight saving
  bool ignore_weekend = false;

  LocalTime local_time(std::int64_t t) const noexcept;
  std::int64_t local_to_utc(std::int64_t y, std::int64_t m, std::int64_t d, std::int64_t hh, std::int64_t mm) const noexcept;
  // Local midnight that begins the date YYYYMMDD.
  std::int64_t midnight(std::int64_t yyyymmdd) const noexcept;
  DayClass classify_day(std::int64_t t, Pattern pattern) const;
  std::string_view period_policy(std::int64_t trade_day) const;
  // The named policy, else "trading_period"; throws InternalError if neither exists.
  const std::vector<Section>& policy_sections(std::string_view name) const;
  Resolution resolve_trade_day(std::int64_t t, Pattern pattern) const;
  // Sessions (epoch seconds) of the trade day `t` belongs to under CEIL.
  std::vector<Span> current_sections(std::int64_t t) const;
  // Sessions (epoch milliseconds) of `trade_day` by the date's own rule; empty
  // on a weekend or holiday.
  std::vector<Span> tradeday_sections(std::int32_t trade_day) const;
  // The nearest instant t + k * direction * kDay (k >= 1, direction +1 or -1)
  // that classifies as Trading under `pattern`; throws InternalError once k
  // passes kMaxDaySteps.
  std::int64_t step_to_trading_day(std::int64_t t, Pattern pattern, int direction) const;
  // The steps that a day-by-day search from t for a session end (start,
  // unless `ends`) must take; it may pass over the others.
  EdgeSteps edge_steps(std::int64_t t, bool ends) const;

  // A section of `trade_day` placed on its date, in seconds.
  Span place(const Section& s, std::int64_t trade_day) const noexcept;
  // First section start and last section end of `trade_day` under `policy`.
  std::int64_t first_start(std::string_view policy, std::int64_t trade_day) const;
  std::int64_t last_end(std::string_view policy, std::int64_t trade_day) const;

 private:
  // Memos of work one call repeats: it resolves the same instant more than
  // once (its status, then its sessions), places sections of the same day,
  // looks up the same few policies and dates. They assume the fields do not
  // change once the calendar is queried (a calendar is built for one call); a
  // copy starts with none, so it may be changed before its first query.
  struct ResolutionMemo {
    std::int64_t t = 0;
    Pattern pattern = Pattern::floor;
    bool valid = false;
    Resolution r{};
  };
  // Sections by policy name, for the short names calls look up again and again.
  struct SectionsMemo {
    std::array<char, 16> name{};
    std::size_t size = 0;
    const std::vector<Section>* sections = nullptr;
  };
  struct PolicyMemo {
    std::int64_t trade_day = 0;
    std::string_view policy;
  };
  // Civil dates by day count, and day counts by YYYYMMDD.
  struct DayMemo {
    std::int64_t day = 0;
    std::int64_t yyyymmdd = 0;  // 0: unused slot
    std::int64_t year = 0, month = 0, dom = 0;
  };
  struct DateMemo {
    std::int64_t yyyymmdd = 0;
    std::int64_t day = 0;
    bool valid = false;
  };
  // The run of closed days a day-stepping search crossed, one per direction:
  // the instants from `near` on, stepping a day at a time towards `found`,
  // classify as closed under `pattern`, and `found` as Trading. A walk that
  // resolves day after day over a long run (the sampler stepping back to the
  // previous trade day, an edge search stepping forward) crosses it once
  // instead of once per day.
  struct RunMemo {
    std::int64_t near = 0;
    std::int64_t found = 0;
    Pattern pattern = Pattern::floor;
    bool valid = false;
  };
  struct Memos {
    ResolutionMemo resolution{};
    std::array<RunMemo, 2> run{};  // backward, forward
    std::array<SectionsMemo, 3> sections{};
    unsigned sections_next = 0;
    std::array<PolicyMemo, 4> policy{};
    unsigned policy_next = 0;
    std::array<DayMemo, 4> day{};
    unsigned day_next = 0;
    std::array<DateMemo, 2> date{};
    unsigned date_next = 0;

    // Copies and moves (which fall back to these) start empty.
    Memos() = default;
    Memos(const Memos&) noexcept {}
    Memos& operator=(const Memos&) noexcept {
      resolution = {};
      run = {};
      sections = {};
      policy = {};
      day = {};
      date = {};
      return *this;
    }
  };
  mutable Memos memo_;

  Resolution resolve_uncached(std::int64_t t, Pattern pattern) const;
  const std::vector<Section>& find_policy_sections(std::string_view name) const;
  const DayMemo& civil_of_day(std::int64_t day) const noexcept;
  std::int64_t day_of_date(std::int64_t yyyymmdd) const noexcept;

  bool is_holiday(std::int64_t yyyymmdd) const noexcept;  // binary search
  // Day count of the local date of t.
  std::int64_t local_day(std::int64_t t) const noexcept;
  // YYYYMMDD of the local date of t.
  std::int64_t local_date(std::int64_t t) const noexcept;
  std::int64_t offset_at(std::int64_t t) const noexcept;
  // The first trading day after t's date, or `fallback` when t is more than
  // 600 s before its first session (except under CEIL), with its policy.
  Resolution forward_search(std::int64_t t, Pattern pattern, std::int64_t fallback) const;
};

// US Eastern daylight-saving dates (day counts) of a year.
std::pair<std::int64_t, std::int64_t> us_eastern_dst(std::int64_t year) noexcept;

}  // namespace qel::time
