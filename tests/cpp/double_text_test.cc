// The double formatter against std::to_chars, whose text it must reproduce
// byte for byte, over every kind of double. QEL_DOUBLE_CHECKS sets how many
// random doubles are drawn (`make test-doubles` draws 10^8); the default suits CI.
#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <string_view>

#include "qel/text/double_text.h"

namespace qel::text {
namespace {

std::uint64_t random_total() {
  const char* s = std::getenv("QEL_DOUBLE_CHECKS");
  return s != nullptr ? std::strtoull(s, nullptr, 10) : 1'000'000;
}

// Checks v and -v: write_double against to_chars, write_json_double against
// the same text with ".0" after a whole number and null for non-finite values.
struct Checker {
  std::uint64_t doubles = 0;
  int failures = 0;

  void report(double v, std::string_view what, std::string_view want, std::string_view got) {
    if (++failures <= 20) {
      ADD_FAILURE() << what << " of 0x" << std::hex << std::bit_cast<std::uint64_t>(v) << ": want " << want
                    << ", got " << got;
    }
  }

  void check_one(double v) {
    char want[64];
    char* want_end = std::to_chars(want, want + sizeof want, v).ptr;
    char got[kDoubleTextRoom];
    char* got_end = write_double(got, v);
    if (std::string_view(want, want_end - want) != std::string_view(got, got_end - got)) {
      report(v, "write_double", {want, static_cast<std::size_t>(want_end - want)},
             {got, static_cast<std::size_t>(got_end - got)});
    }
    if (!std::isfinite(v)) {
      std::memcpy(want, "null", 4);
      want_end = want + 4;
    } else if (std::string_view(want, want_end - want).find_first_of(".e") == std::string_view::npos) {
      *want_end++ = '.';
      *want_end++ = '0';
    }
    got_end = write_json_double(got, v);
    if (std::string_view(want, want_end - want) != std::string_view(got, got_end - got)) {
      report(v, "write_json_double", {want, static_cast<std::size_t>(want_end - want)},
             {got, static_cast<std::size_t>(got_end - got)});
    }
  }

  void operator()(double v) {
    ++doubles;
    check_one(v);
    check_one(-v);
  }

  // v and its neighbours up to `steps` apart, on both sides.
  void around(double v, int steps) {
    const auto bits = std::bit_cast<std::uint64_t>(v);
    for (int i = -steps; i <= steps; ++i) {
      const std::uint64_t b = bits + static_cast<std::uint64_t>(static_cast<std::int64_t>(i));
      if (b < 0x7FF0000000000000ULL) (*this)(std::bit_cast<double>(b));
    }
  }
};

// The decimal m * 10^e as a correct reader reads it.
double read_decimal(std::uint64_t m, int e) {
  char text[48];
  const int n = std::snprintf(text, sizeof text, "%llue%d", static_cast<unsigned long long>(m), e);
  double v = 0;
  std::from_chars(text, text + n, v);  // out of range leaves 0 or gives the infinity's neighbour
  return v;
}

constexpr double kScales[] = {1.0, 0.1, 0.01, 0.001, 1e-4, 1e-5, 1e-6, 1e-7, 1e-8, 1e-9};

TEST(DoubleText, MatchesToCharsOverEveryKind) {
  Checker check;
  std::mt19937_64 rng(20240102);
  const std::uint64_t per_kind = random_total() / 5;
  auto digits_of = [&](int d) {  // a random integer of exactly d digits
    std::uint64_t lo = 1;
    for (int i = 1; i < d; ++i) lo *= 10;
    return lo + rng() % (lo * 9);
  };
  for (std::uint64_t i = 0; i < per_kind; ++i) {
    // Any bit pattern: mostly huge and tiny exponents, NaNs and infinities too.
    check(std::bit_cast<double>(rng()));
    // Decimals of 1 to 17 digits over the whole range, and as data has them.
    const int d = 1 + static_cast<int>(rng() % 17);
    check(read_decimal(digits_of(d), rng() % 2 ? static_cast<int>(rng() % 650) - 340 : static_cast<int>(rng() % 20) - 12));
    // Integers scaled by a negative power of ten, as batches decode them:
    // mostly one ulp off the decimal they stand for.
    check(static_cast<double>(digits_of(1 + static_cast<int>(rng() % 16))) * kScales[rng() % std::size(kScales)]);
    // Subnormals.
    check(std::bit_cast<double>(rng() >> 12));
    // Whole numbers up to 2^75, printed in full in fixed form below 10^22.
    check(std::ldexp(static_cast<double>(rng() >> (11 + rng() % 50)), static_cast<int>(rng() % 23)));
  }
  // Every power of two (a narrower gap below), of ten, and the extremes, with neighbours.
  for (int e = -1074; e <= 1023; ++e) check.around(std::ldexp(1.0, e), 3);
  for (int e = -323; e <= 308; ++e) check.around(read_decimal(1, e), 3);
  for (double v : {std::numeric_limits<double>::denorm_min(), std::numeric_limits<double>::min(),
                   std::numeric_limits<double>::max(), 9007199254740992.0, 1e22, 1e23}) {
    check.around(v, 1000);
  }
  check(0.0);
  check(std::numeric_limits<double>::infinity());
  check(std::numeric_limits<double>::quiet_NaN());
  EXPECT_EQ(check.failures, 0);
  std::printf("double formatter: %llu doubles and their negatives matched std::to_chars\n",
              static_cast<unsigned long long>(check.doubles));
}

// A batch double printed from its integer gives the same text as from the
// double alone, whether or not the decimal is the double's shortest form
// (the double is made by a multiplication, a division, or is another one).
TEST(DoubleText, ScaledIntegersGiveTheDoublesText) {
  std::mt19937_64 rng(7);
  int failures = 0;
  for (int i = 0; i < 300000 && failures < 20; ++i) {
    const unsigned places = static_cast<unsigned>(rng() % std::size(kScales));
    auto scaled = static_cast<std::int64_t>(rng() >> (1 + rng() % 63));
    if (rng() % 2) scaled = -scaled;
    const double product = static_cast<double>(scaled) * kScales[places];
    const double quotient = static_cast<double>(scaled) / std::pow(10.0, places);
    for (double v : {product, quotient, std::nextafter(quotient, 0.0)}) {
      char want[kDoubleTextRoom], got[kDoubleTextRoom];
      const std::string_view w(want, static_cast<std::size_t>(write_json_double(want, v) - want));
      const std::string_view g(got, static_cast<std::size_t>(write_json_scaled(got, scaled, places, v) - got));
      if (w != g) {
        ++failures;
        ADD_FAILURE() << scaled << " at " << places << " places: want " << w << ", got " << g;
      }
    }
  }
}

}  // namespace
}  // namespace qel::text
