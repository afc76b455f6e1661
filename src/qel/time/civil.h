// Proleptic Gregorian dates as day counts since 1970-01-01, and YYYYMMDD integers.
#pragma once

#include <cstdint>

namespace qel::time {

struct CivilDate {
  std::int64_t year;
  std::int64_t month;  // 1..12
  std::int64_t day;    // 1..31
};

// Era-based conversion; valid for any year, and free of overflow for any
// month and day an i32 YYYYMMDD can carry (out-of-range parts just count on).
constexpr std::int64_t days_from_civil(std::int64_t y, std::int64_t m, std::int64_t d) noexcept {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;                              // [0, 399]
  const std::int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;  // [0, 365] for valid dates
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;     // [0, 146096]
  return era * 146097 + doe - 719468;
}

// The era-based algorithm for any day count.
constexpr CivilDate civil_from_days_general(std::int64_t z) noexcept {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t doe = z - era * 146097;                                // [0, 146096]
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;  // [0, 399]
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);         // [0, 365]
  const std::int64_t mp = (5 * doy + 2) / 153;                              // [0, 11]
  const std::int64_t d = doy - (153 * mp + 2) / 5 + 1;                      // [1, 31]
  const std::int64_t m = mp < 10 ? mp + 3 : mp - 9;                         // [1, 12]
  return {yoe + era * 400 + (m <= 2), m, d};
}

// Day count to civil date. Within about -34,000 to +2,900,000 years of 1970 it
// uses 32-bit Euclidean affine functions (one division by a constant, the rest
// multiplications and shifts): market-time calls convert dozens of instants.
constexpr CivilDate civil_from_days(std::int64_t z) noexcept {
  constexpr std::int64_t kShift = 82;  // 400-year eras added so every count is positive
  constexpr std::int64_t kOffset = 719468 + 146097 * kShift;
  if (z < -kOffset || z >= 1'000'000'000) return civil_from_days_general(z);
  const auto n = static_cast<std::uint32_t>(z + kOffset);  // days since 0000-03-01, shifted
  const std::uint32_t n1 = 4 * n + 3;
  const std::uint32_t century = n1 / 146097;
  const std::uint32_t day_of_century = n1 % 146097 / 4;                     // [0, 36524]
  const std::uint64_t p2 = std::uint64_t{2939745} * (4 * day_of_century + 3);
  const auto year_of_century = static_cast<std::uint32_t>(p2 >> 32);        // [0, 99]
  const auto day_of_year = static_cast<std::uint32_t>(p2) / 2939745 / 4;    // [0, 365], from March 1
  const std::uint32_t n3 = 2141 * day_of_year + 197913;
  const std::uint32_t month = n3 >> 16;                                     // [3, 14]
  const std::uint32_t day = (n3 & 0xFFFF) / 2141;                           // [0, 30]
  const bool next_year = day_of_year >= 306;                                // January or February
  return {std::int64_t{100} * century + year_of_century - 400 * kShift + next_year,
          next_year ? std::int64_t{month} - 12 : std::int64_t{month}, std::int64_t{day} + 1};
}

// Floor division, for instants before 1970.
constexpr std::int64_t floor_div(std::int64_t a, std::int64_t b) noexcept {
  const std::int64_t q = a / b;
  return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

constexpr std::int64_t yyyymmdd(const CivilDate& c) noexcept { return c.year * 10000 + c.month * 100 + c.day; }

// The inverse of yyyymmdd for every date, those before year 0 too (their
// month and day still add to a negative year * 10000).
constexpr CivilDate from_yyyymmdd(std::int64_t v) noexcept {
  const std::int64_t year = floor_div(v, 10000), month_day = v - year * 10000;
  return {year, month_day / 100, month_day % 100};
}

// Sunday = 0 .. Saturday = 6; day 0 was a Thursday.
constexpr std::int64_t weekday_of_day(std::int64_t days) noexcept {
  // One unsigned remainder when the shifted count cannot go negative.
  constexpr std::int64_t kShift = 7 * (std::int64_t{1} << 40);
  if (days >= -kShift && days < kShift) return static_cast<std::int64_t>(static_cast<std::uint64_t>(days + kShift + 4) % 7);
  return ((days % 7 + 7) % 7 + 4) % 7;
}

}  // namespace qel::time
