// Commission: rate loading, rate selection, and single-rounding fused steps.
// Compiled with -ffp-contract=off, so a*b+c below is two roundings.
#include <gtest/gtest.h>

#include "error_text.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <string>

#include "qel/error.h"
#include "qel/refdata/commission.h"

namespace qel::refdata {
namespace {

using test_support::error_text;

std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

constexpr double kOnePlus30 = 0x1.00000004p+0;  // 1 + 2^-30; its square needs 61 bits

struct FusedCase {
  const char* name;
  Commission rates;
  double volume, price, multiplier;
  double fused;    // the exact result
  double unfused;  // what a separate multiply and add would give
};

class Fused : public ::testing::TestWithParam<FusedCase> {};

TEST_P(Fused, EachStepRoundsOnce) {
  const FusedCase& c = GetParam();
  ASSERT_NE(bits(c.fused), bits(c.unfused)) << "case does not tell the two apart";
  const double got = c.rates.calculate(c.volume, c.price, 48, 48, false, c.multiplier);
  EXPECT_EQ(bits(got), bits(c.fused)) << std::hexfloat << got;
}

Commission with(auto&&... set) {
  Commission c;
  (set(c), ...);
  return c;
}

INSTANTIATE_TEST_SUITE_P(
    Commission, Fused,
    ::testing::Values(
        // money = 1+2^-30; M*money + V*volume with V = -(1+2^-29): the product's
        // 2^-60 survives only when fused.
        FusedCase{"by_money_step",
                  with([](Commission& c) { c.open_rate_by_money = kOnePlus30; },
                       [](Commission& c) { c.open_rate_by_volume = -0x1.00000008p+0; }),
                  1.0, kOnePlus30, 1.0, 0x1p-60, 0.0},
        // order_by_volume*volume + order_by_money*money, volume = money = 1+2^-30,
        // order_by_money = -1: (1+e)^2 - (1+e) = e + e^2.
        FusedCase{"order_by_volume_step",
                  with([](Commission& c) { c.order_rate_by_volume = kOnePlus30; },
                       [](Commission& c) { c.order_rate_by_money = -1.0; }),
                  kOnePlus30, 1.0, 1.0, 0x1.00000004p-30, 0x1p-30},
        // V*volume + order_by_volume*volume with V = 1+2^-30, volume = 1+2^-30,
        // order_by_volume = -1.
        FusedCase{"by_volume_step",
                  with([](Commission& c) { c.open_rate_by_volume = kOnePlus30; },
                       [](Commission& c) { c.order_rate_by_volume = -1.0; }),
                  kOnePlus30, 0.0, 1.0, 0x1.00000004p-30, 0x1p-30}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Commission, UnfusedReferenceReallyDiffers) {
  // Guards the file's own flag: were a*b+c fused here, the cases above would
  // compare against the wrong "unfused" value.
  volatile double a = kOnePlus30;
  const double product_then_sum = a * a + -0x1.00000008p+0;
  EXPECT_EQ(product_then_sum, 0.0);
}

struct PickCase {
  std::uint8_t open_close;
  bool is_today;
  double expected;
};

class RatePick : public ::testing::TestWithParam<PickCase> {};

TEST_P(RatePick, ChoosesTheRatePair) {
  // Distinct powers of two: the sum names the rates used. money = volume = 1.
  Commission c;
  c.open_rate_by_volume = 1;
  c.open_rate_by_money = 2;
  c.close_rate_by_volume = 4;
  c.close_rate_by_money = 8;
  c.today_close_rate_by_volume = 16;
  c.today_close_rate_by_money = 32;
  c.order_rate_by_volume = 64;
  c.order_rate_by_money = 128;
  const PickCase& p = GetParam();
  for (std::uint8_t direction : {0, 48, 49, 255}) {
    EXPECT_EQ(c.calculate(1.0, 1.0, direction, p.open_close, p.is_today, 1.0), p.expected)
        << int(p.open_close) << " today=" << p.is_today << " direction=" << int(direction);
  }
}

INSTANTIATE_TEST_SUITE_P(Commission, RatePick,
                         ::testing::Values(PickCase{48, false, 192 + 3}, PickCase{48, true, 192 + 3},
                                           PickCase{49, false, 192 + 12}, PickCase{49, true, 192 + 48},
                                           PickCase{50, false, 192 + 12}, PickCase{50, true, 192 + 12},
                                           PickCase{0, true, 192 + 12}));

TEST(Commission, NewScheduleChargesNothing) {
  const Commission c;
  for (double v : {0.0, 1.0, -3.5, 1e300}) {
    EXPECT_EQ(c.calculate(v, 123.25, 48, 48, false, 10), 0.0);
    EXPECT_EQ(c.calculate(v, -7.0, 49, 49, true, 0.5), 0.0);
  }
}

TEST(Commission, MoneyIsPriceTimesVolumeThenMultiplier) {
  // (price * volume) * multiplier and price * (volume * multiplier) round
  // differently for these; the formula is the former.
  Commission c;
  c.open_rate_by_money = 1.0;
  const double volume = 0.1, price = 3.0, mult = 0.7;
  ASSERT_NE(bits((price * volume) * mult), bits(price * (volume * mult)));
  EXPECT_EQ(bits(c.calculate(volume, price, 48, 48, false, mult)), bits((price * volume) * mult));
}

TEST(Commission, OpeningWithMoneyAndOrderRates) {
  Commission c;
  c.open_rate_by_money = 0.0003;
  c.order_rate_by_volume = 1.0;
  const double got = c.calculate(10, 3500.0, 48, 48, false, 10);
  EXPECT_NEAR(got, 115.0, 1e-12);
  EXPECT_EQ(bits(got), bits(std::fma(0.0003, 350000.0, 10.0)));
  // No sign applied: a sale of negative volume costs negative commission.
  EXPECT_LT(c.calculate(-10, 3500.0, 49, 48, false, 10), 0.0);
}

struct LoadCase {
  const char* json;
  Commission expected;  // starting from all rates 0.5
};

Commission halves() {
  Commission c;
  c.open_rate_by_volume = c.open_rate_by_money = c.close_rate_by_volume = c.close_rate_by_money = 0.5;
  c.today_close_rate_by_volume = c.today_close_rate_by_money = c.order_rate_by_volume = c.order_rate_by_money = 0.5;
  return c;
}

Commission halves_with(auto&& set) {
  Commission c = halves();
  set(c);
  return c;
}

class Load : public ::testing::TestWithParam<LoadCase> {};

TEST_P(Load, ChangesOnlyNumbersOfKnownKeys) {
  Commission c = halves();
  c.load(GetParam().json);
  EXPECT_EQ(c, GetParam().expected) << GetParam().json;
}

INSTANTIATE_TEST_SUITE_P(
    Commission, Load,
    ::testing::Values(
        LoadCase{R"({"open_rate_by_money": 0.0003})", halves_with([](Commission& c) { c.open_rate_by_money = 0.0003; })},
        LoadCase{R"({"open_rate_by_money": "0.0003"})", halves()}, LoadCase{"[1,2]", halves()},
        LoadCase{"7", halves()}, LoadCase{R"({"x": {"open_rate_by_money": 1}})", halves()},
        LoadCase{R"({"order_rate_by_volume": 2, "order_rate_by_money": -1e-3, "close_rate_by_money": null})",
                 halves_with([](Commission& c) {
                   c.order_rate_by_volume = 2.0;
                   c.order_rate_by_money = -1e-3;
                 })},
        LoadCase{R"({"today_close_rate_by_volume": 18446744073709551615})",
                 halves_with([](Commission& c) { c.today_close_rate_by_volume = 18446744073709551615.0; })},
        LoadCase{R"({"close_rate_by_volume": 1, "close_rate_by_volume": 3})",
                 halves_with([](Commission& c) { c.close_rate_by_volume = 3.0; })}));

TEST(Commission, InvalidJsonIsAnErrorAndChangesNothing) {
  Commission c = halves();
  for (const char* bad : {"{", "", R"({"open_rate_by_money": 1,})", "\xff"}) {
    EXPECT_EQ(error_text<Error>([&] { c.load(bad); }).rfind("invalid JSON: ", 0), 0u) << bad;
    EXPECT_EQ(c, halves());
  }
}

}  // namespace
}  // namespace qel::refdata
