// Shortest round-trip decimals of doubles. The digits come from the method of
// R. Giulietti's "The Schubfach way to render doubles": for v = c * 2^q the
// decimals that read back as v lie in an interval around it; scaled by a power
// of ten 10^-k chosen so that the interval spans 1 to 10 units, either exactly
// one multiple of ten lies inside (the shorter form), or the answer is one of
// the two integers around the scaled v. The scaling is one 64 x 126-bit
// multiplication per bound, rounded to odd so that comparisons against the
// integers stay exact.
#include "qel/text/double_text.h"

#include <array>
#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "qel/text/digits.h"

namespace qel::text {

namespace {

using u128 = unsigned __int128;
using namespace digits;

// v = digits * 10^exponent.
struct Decimal {
  std::uint64_t digits;
  int exponent;
};

struct Pow10 {
  std::uint64_t high;
  std::uint64_t low;
};

constexpr int kPow10Lo = -292;
constexpr Pow10 kPow10[] = {
#include "qel/text/pow10_table.inc"
};

// floor(log10 2^q), floor(log10 (3/4 * 2^q)) and floor(log2 10^k) over the
// exponents of doubles (tools/gen_pow10_table.py checks them exactly).
constexpr int floor_log10_pow2(int q) noexcept { return static_cast<int>((q * 661971961083LL) >> 41); }
constexpr int floor_log10_three_quarters_pow2(int q) noexcept {
  return static_cast<int>((q * 661971961083LL - 274743187321LL) >> 41);
}
constexpr int floor_log2_pow10(int k) noexcept { return static_cast<int>((k * 913124641741LL) >> 38); }

// cp * g / 2^127, rounded to odd: the floor, with the lowest bit set when the
// bits below (those of the top 64 of the 127 dropped) are not all zero. The
// lowest 64 product bits are ignored on purpose: g over-estimates the power
// of ten by less than one unit, and that error stays within them, so a
// product that is exact in truth reads as exact.
inline std::uint64_t round_to_odd(const Pow10& g, std::uint64_t cp) noexcept {
  const u128 mid = static_cast<u128>(g.high) * cp + (static_cast<u128>(g.low) * cp >> 64);
  const auto top = static_cast<std::uint64_t>(mid >> 63);
  const std::uint64_t rest = static_cast<std::uint64_t>(mid) & ((std::uint64_t{1} << 63) - 1);
  return top | (rest != 0);
}

constexpr std::uint64_t kPow10Int[] = {1,
                                       10,
                                       100,
                                       1000,
                                       10000,
                                       100000,
                                       1000000,
                                       10000000,
                                       100000000,
                                       1000000000,
                                       10000000000,
                                       100000000000,
                                       1000000000000,
                                       10000000000000,
                                       100000000000000,
                                       1000000000000000,
                                       10000000000000000,
                                       100000000000000000,
                                       1000000000000000000,
                                       10000000000000000000ULL};

constexpr double kPow10Double[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                   1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// `yes ? a : b`, without a branch.
inline std::uint64_t select(bool yes, std::uint64_t a, std::uint64_t b) noexcept {
  return b ^ ((a ^ b) & (0 - static_cast<std::uint64_t>(yes)));
}

// The digits of c * 2^q (c > 0, the double's integer significand and
// exponent), not yet stripped of trailing zeros.
inline Decimal shortest_of(std::uint64_t c, int q, bool lowest_exponent) noexcept {
  // Whole numbers below 2^53 are their own shortest form.
  if (q <= 0 && q >= -52 && (c & ((std::uint64_t{1} << -q) - 1)) == 0) return {c >> -q, 0};

  // The interval of decimals that read back as v, in units of 2^(q-2): from
  // cbl to cbr around cb = 4c, its ends included when c is even. Below a power
  // of two the next double down is half as far.
  const std::uint64_t out = c & 1;
  const std::uint64_t cb = c << 2, cbr = cb + 2;
  std::uint64_t cbl;
  int k;
  if (c != (std::uint64_t{1} << 52) || lowest_exponent) {
    cbl = cb - 2;
    k = floor_log10_pow2(q);
  } else {
    cbl = cb - 1;
    k = floor_log10_three_quarters_pow2(q);
  }
  // 4 * x * 10^-k for each x, rounded to odd.
  const int h = q + floor_log2_pow10(-k) + 2;  // 1..4
  const Pow10& g = kPow10[-k - kPow10Lo];
  const std::uint64_t vb = round_to_odd(g, cb << h);
  const std::uint64_t vbl = round_to_odd(g, cbl << h);
  const std::uint64_t vbr = round_to_odd(g, cbr << h);

  // At most one multiple of ten lies in the interval: when exactly one of
  // those around s does, it is the (a digit or more) shorter answer. Else s
  // or s + 1, whichever lies inside; the nearer one (ties to even) when both
  // do. Both tests are made and the answer picked without branches: for
  // doubles at random either way is as likely.
  const std::uint64_t s = vb >> 2;
  const std::uint64_t sp10 = s / 10 * 10, tp10 = sp10 + 10;
  const bool sp_in = vbl + out <= sp10 << 2;
  const bool tp_in = (tp10 << 2) + out <= vbr;
  const std::uint64_t t = s + 1;
  const bool s_in = vbl + out <= s << 2;
  const bool t_in = (t << 2) + out <= vbr;
  const auto diff = static_cast<std::int64_t>(vb - ((s + t) << 1));
  // Selections by masks: the compiler would branch on some of them.
  const std::uint64_t nearer = s + ((diff > 0) | ((diff == 0) & s));
  const std::uint64_t one = select(s_in != t_in, s + !s_in, nearer);
  return {select((s >= 10) & (sp_in != tp_in), sp10 + 10 * !sp_in, one), k};
}

// Writes |v| (finite, nonzero, whole) exactly: fixed notation prints every
// digit of a whole number, not the shortest digits padded with zeros.
char* write_whole(char* p, std::uint64_t bits) noexcept {
  const int be = static_cast<int>(bits >> 52);  // v >= 1: normal
  const std::uint64_t c = (bits & ((std::uint64_t{1} << 52) - 1)) | (std::uint64_t{1} << 52);
  const int q = be - 1075;
  const u128 whole = q >= 0 ? static_cast<u128>(c) << q : static_cast<u128>(c >> -q);
  if (whole < k1e16 * k1e8) return write_unsigned(p, static_cast<std::uint64_t>(whole));
  // Fixed notation is only chosen below 10^22: at most 6 leading digits.
  p = write_small(p, static_cast<std::uint32_t>(whole / k1e16));
  const auto rest = static_cast<std::uint64_t>(whole % k1e16);
  store8(p, digits8(static_cast<std::uint32_t>(rest / k1e8)));
  store8(p + 8, digits8(static_cast<std::uint32_t>(rest % k1e8)));
  return p + 16;
}

// The digits of each exponent of a double, 0 to 324, as "e+" or "e-"
// follows them: two or three bytes of a word, the count in its top byte.
constexpr std::array<std::uint32_t, 325> make_exponent_table() {
  std::array<std::uint32_t, 325> t{};
  for (std::uint32_t x = 0; x < t.size(); ++x) {
    t[x] = x >= 100 ? ('0' + x / 100) | ('0' + x / 10 % 10) << 8 | ('0' + x % 10) << 16 | 3u << 24
                    : ('0' + x / 10) | ('0' + x % 10) << 8 | 2u << 24;
  }
  return t;
}
constexpr std::array<std::uint32_t, 325> kExponents = make_exponent_table();

// The exponent form's tail: "e+05", "e-123". REQUIRES: |x| <= 324.
inline char* write_exponent(char* p, int x) noexcept {
  p[0] = 'e';
  p[1] = x < 0 ? '-' : '+';
  const std::uint32_t digits = kExponents[static_cast<std::uint32_t>(x < 0 ? -x : x)];
  std::memcpy(p + 2, &digits, 4);  // the top byte is overwritten by what follows
  return p + 2 + (digits >> 24);
}

inline void store16(char* p, u128 w) noexcept { std::memcpy(p, &w, 16); }

// The digits of x, y < 10^8 as two words like digits8's, and a mask of those
// that are not '0' (x's in bits 0-7). With SSE2 all sixteen go through
// digits8's lane splits at once, one vector in place of two words.
inline void sixteen_digits(std::uint32_t x, std::uint32_t y, std::uint64_t& a, std::uint64_t& b,
                           unsigned& nonzero) noexcept {
#if defined(__SSE2__)
  // 32-bit lanes of four digits each, < 10^4: x / 10^4, x % 10^4, y / 10^4,
  // y % 10^4. lane / 10^4 = lane * 109951163 >> 40 below 10^8 (checked for
  // all), the product < 2^54 in its 64-bit lane.
  const __m128i xy = _mm_unpacklo_epi64(_mm_cvtsi32_si128(static_cast<int>(x)), _mm_cvtsi32_si128(static_cast<int>(y)));
  const __m128i high4 = _mm_srli_epi64(_mm_mul_epu32(xy, _mm_set1_epi64x(109951163)), 40);
  const __m128i low4 = _mm_sub_epi32(xy, _mm_mul_epu32(high4, _mm_set1_epi64x(10000)));
  const __m128i v = _mm_or_si128(high4, _mm_slli_epi64(low4, 32));
  // lane / 100 = lane * 5243 >> 19 below 43699; the upper 16 bits of each lane stay 0.
  const __m128i hundreds = _mm_srli_epi16(_mm_mulhi_epu16(v, _mm_set1_epi16(5243)), 3);
  const __m128i pairs =
      _mm_or_si128(hundreds, _mm_slli_epi32(_mm_sub_epi16(v, _mm_mullo_epi16(hundreds, _mm_set1_epi16(100))), 16));
  // 16-bit lanes < 100: lane / 10 = lane * 6554 >> 16 below 16384.
  const __m128i tens = _mm_mulhi_epu16(pairs, _mm_set1_epi16(6554));
  const __m128i ones = _mm_sub_epi16(pairs, _mm_mullo_epi16(tens, _mm_set1_epi16(10)));
  const __m128i text = _mm_or_si128(_mm_or_si128(tens, _mm_slli_epi16(ones, 8)), _mm_set1_epi8('0'));
  nonzero = ~static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(text, _mm_set1_epi8('0')))) & 0xFFFF;
  a = static_cast<std::uint64_t>(_mm_cvtsi128_si64(text));
  b = static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(text, text)));
#else
  a = digits8(x);
  b = digits8(y);
  // One bit per byte that is not '0', gathered into 16 bits.
  const auto mask8 = [](std::uint64_t w) {
    w ^= kZeros;
    w = ((w | (w >> 4)) & 0x0F0F0F0F0F0F0F0FULL);
    w = (w | (w >> 2)) & 0x3333333333333333ULL;
    w = (w | (w >> 1)) & kOnes;
    return static_cast<unsigned>((w * 0x0102040810204080ULL) >> 56);
  };
  nonzero = mask8(a) | mask8(b) << 8;
#endif
}

constexpr u128 kZeros16 = kZeros | static_cast<u128>(kZeros) << 64;

// Writes d * 10^e (0 < d < 10^17, trailing zeros or not) for the double of
// `bits` (sign already written): fixed notation unless the exponent form is
// strictly shorter. The digits are made eight at a time in words, whose
// leading and trailing '0' bytes give the digit count and the zeros to drop;
// the forms are laid out from registers (written to memory and read back in
// other widths they would stall the read). Inlined in its three callers: as
// a call it cost the decimal-scaled doubles a tenth of their time.
template <bool Json>
[[gnu::always_inline]] inline char* write_decimal(char* p, std::uint64_t d, int e, std::uint64_t bits) noexcept {
  u128 digits;    // the first 16 significant digits, first in the lowest byte; '0' or zero bytes after
  char last = 0;  // the 17th
  int n, trail;
  if (d < k1e8) {  // prices, ratios: one word
    const std::uint64_t w = digits8(static_cast<std::uint32_t>(d));
    const std::uint64_t nonzero = w ^ kZeros;
    const int lead = std::countr_zero(nonzero) >> 3;
    trail = std::countl_zero(nonzero) >> 3;
    n = 8 - lead - trail;
    digits = w >> (8 * lead);
  } else {
    // 9 to 17 digits: the search gives 16 or 17, as likely as each other,
    // so both are made alike. The 17 digits, leading zeros included, are
    // first (0 for fewer), then a and b, eight each.
    const std::uint64_t high = d / k1e8, low = d - high * k1e8;
    const std::uint64_t first = high / k1e8;
    std::uint64_t a, b;
    unsigned nonzero;  // bit i set when digit i of a, b is not '0'; not 0 when first == 0: d >= 10^8
    sixteen_digits(static_cast<std::uint32_t>(high - first * k1e8), static_cast<std::uint32_t>(low), a, b, nonzero);
    trail = std::countl_zero(nonzero << 16 | 0x8000);  // 16 when all are '0'
    const bool seventeen = first != 0;
    const int lead = seventeen ? 0 : std::countr_zero(nonzero);
    n = 16 + seventeen - lead - trail;
    // The search's usual answer, 16 or 17 digits far from 1, goes straight to
    // the exponent form: the first digit, the point, the rest moved by a
    // fixed amount or not at all.
    const int xe = e + trail + n - 1;  // the exponent of the exponent form
    if (lead == 0 && (xe < -4 || xe > 21)) [[likely]] {
      p[0] = static_cast<char>(seventeen ? '0' + first : a);
      p[1] = '.';
      store8(p + 2, seventeen ? a : a >> 8 | b << 56);
      store8(p + 10, seventeen ? b : b >> 8);
      return write_exponent(p + (n == 1 ? 1 : n + 1), xe);
    }
    // Or, between 1 and 10^15 with a fraction (a decimal a bit off its
    // double: 1234.5600000000001), fixed notation: the digits before the
    // point as they are, those after it moved up a byte, the point between.
    if (const int k = xe + 1; lead == 0 && k >= 1 && k < 16 && k < n) {
      const std::uint64_t s0 = seventeen ? ('0' + first) | a << 8 : a;  // the digits, 24 bytes
      const std::uint64_t s1 = seventeen ? a >> 56 | b << 8 : b;
      const std::uint64_t s2 = seventeen ? b >> 56 : 0;
      const std::uint64_t at = std::uint64_t{1} << (8 * (k & 7));     // byte k % 8
      const std::uint64_t before = at - 1, through = (at << 8) - 1;  // through: all 8 when k % 8 == 7
      const auto insert = [&](std::uint64_t w, std::uint64_t moved) {
        return (w & before) | (moved & ~through) | '.' * at;
      };
      const std::uint64_t t0 = s0 << 8, t1 = s0 >> 56 | s1 << 8;
      store8(p, k < 8 ? insert(s0, t0) : s0);
      store8(p + 8, k < 8 ? t1 : insert(s1, t1));
      store8(p + 16, s1 >> 56 | s2 << 8);
      return p + n + 1;
    }
    const u128 ab = a | static_cast<u128>(b) << 64;
    digits = seventeen ? ('0' + first) | ab << 8 : ab >> (8 * lead);
    last = static_cast<char>(b >> 56);
  }
  e += trail;
  const int x = e + n - 1;  // the exponent of the exponent form
  // Fixed notation is never shorter past 10^22 or below 10^-4: there the
  // lengths need no working out.
  const bool near_one = x >= -4 && x <= 21;
  const int exponent_len = n + (n > 1) + 4;  // |x| < 100 when near one
  const int fixed_len = e >= 0 ? n + e : (x >= 0 ? n + 1 : n + 1 - x);
  if (near_one && fixed_len <= exponent_len) {
    if (e >= 0) {
      // A whole number. Up to 16 digits (below 2^53) the digits padded with
      // zeros are all of it; past that every digit of the double is written.
      if (n + e <= 16) {
        store16(p, n < 16 ? digits | kZeros16 << (8 * n) : digits);
        p += n + e;
      } else {
        p = write_whole(p, bits);
      }
      if constexpr (Json) {
        std::memcpy(p, ".0", 2);
        p += 2;
      }
      return p;
    }
    if (x >= 0) {  // the point after k = x + 1 < n <= 17 digits
      if (x < 15) [[likely]] {
        const int k = 8 * (x + 1);
        const u128 low_mask = (u128{1} << k) - 1;
        store16(p, (digits & low_mask) | static_cast<u128>('.') << k | (digits & ~low_mask) << 8);
        p[16] = static_cast<char>(digits >> 120);
      } else {
        store16(p, digits);
        p[16] = '.';
      }
      p[17] = last;
      return p + n + 1;
    }
    // Below 1: "0.", the zeros (at most four: past them the exponent form is
    // shorter), the digits.
    std::memcpy(p, "0.000000", 8);
    store16(p + 1 - x, digits);
    p[17 - x] = last;
    return p + 1 - x + n;
  }
  p[0] = static_cast<char>(digits);
  p[1] = '.';
  store16(p + 2, digits >> 8);
  p[17] = last;
  return write_exponent(p + (n == 1 ? 1 : n + 1), x);
}

// Any double, JSON form or not.
template <bool Json>
char* write_any(char* p, double v) noexcept {
  const auto bits = std::bit_cast<std::uint64_t>(v);
  *p = '-';
  p += bits >> 63;
  const std::uint64_t magnitude = bits & ~(std::uint64_t{1} << 63);
  if (magnitude >= 0x7FF0000000000000ULL) [[unlikely]] {
    if constexpr (Json) {
      p -= bits >> 63;
      std::memcpy(p, "null", 4);
      return p + 4;
    } else {
      std::memcpy(p, magnitude == 0x7FF0000000000000ULL ? "inf" : "nan", 3);
      return p + 3;
    }
  }
  if (magnitude == 0) [[unlikely]] {
    if constexpr (Json) {
      std::memcpy(p, "0.0", 3);
      return p + 3;
    } else {
      *p = '0';
      return p + 1;
    }
  }
  const int be = static_cast<int>(magnitude >> 52);
  const std::uint64_t t = magnitude & ((std::uint64_t{1} << 52) - 1);
  const Decimal r =
      be != 0 ? shortest_of(t | (std::uint64_t{1} << 52), be - 1075, be == 1) : shortest_of(t, -1074, true);
  return write_decimal<Json>(p, r.digits, r.exponent, magnitude);
}

// write_decimal<true> out of line, for callers that keep only their common
// case inline.
[[gnu::noinline]] char* write_decimal_json(char* p, std::uint64_t d, int e, std::uint64_t bits) noexcept {
  return write_decimal<true>(p, d, e, bits);
}

// Writes the decimal magnitude * 10^-places (0 < magnitude < 10^15, its sign
// already written) for the double of `bits`, when that decimal is known to be
// v's shortest form. The layouts other than whole.frac are inlined too or
// called (InlineRest): each caller was measured faster one way.
template <bool InlineRest>
[[gnu::always_inline]] inline char* write_short_decimal(char* p, std::uint64_t magnitude, unsigned places,
                                                        std::uint64_t bits) noexcept {
  // Below 10^7 with at most eight places, the common case, the number is
  // whole.frac. With neither part 0 fixed notation is the shorter form;
  // else (0.0001 is 1e-04, 100000.0 is 1e+05) the general layout chooses.
  if (places <= 8 && magnitude < kPow10Int[7 + places]) [[likely]] {
    const std::uint64_t r = magnitude * kPow10Int[8 - places];  // the eight places, < 10^15
    const auto whole = static_cast<std::uint32_t>(r / k1e8);
    const auto frac = static_cast<std::uint32_t>(r - whole * k1e8);
    std::uint64_t whole_digits, frac_digits;
    unsigned nonzero;
    sixteen_digits(whole, frac, whole_digits, frac_digits, nonzero);
    const int kept = std::bit_width(nonzero >> 8);  // 0 when frac is 0
    if (kept != 0 && whole != 0) [[likely]] {
      const int lead = std::countr_zero(nonzero);  // < 8: whole != 0
      store8(p, whole_digits >> (8 * lead));
      p += 8 - lead;
      *p = '.';
      store8(p + 1, frac_digits);
      return p + 1 + kept;
    }
  }
  if constexpr (InlineRest) {
    return write_decimal<true>(p, magnitude, -static_cast<int>(places), bits);
  } else {
    return write_decimal_json(p, magnitude, -static_cast<int>(places), bits);
  }
}

// When |scaled| < 10^15 the decimal D = scaled * 10^-places has at most 15
// significant digits. Both scaled and 10^places are exact doubles, so the
// division rounds D to its nearest double: when that is v, D reads back as v.
// No other decimal of 15 digits or fewer reads as the same double as D (15
// digits always survive a round trip), so D is then v's shortest form and its
// digits need no search. Returns nullptr when D is not.
inline char* write_if_decimal(char* p, std::int64_t scaled, unsigned places, double v) noexcept {
  const std::uint64_t magnitude =
      scaled < 0 ? 0 - static_cast<std::uint64_t>(scaled) : static_cast<std::uint64_t>(scaled);
  if (magnitude - 1 >= kPow10Int[15] - 1 || static_cast<double>(scaled) / kPow10Double[places] != v) return nullptr;
  *p = '-';
  p += scaled < 0;
  return write_short_decimal<true>(p, magnitude, places, std::bit_cast<std::uint64_t>(v));
}

// The doubles tried as decimals of eight places: normal, not a power of two
// (whose interval is lopsided: those are left to the search), and
// 2^-10 <= |v| < 2^23, so that v = c * 2^-s with s in 30..62, v * 10^8 < 10^15
// and the work fits 128 bits.
constexpr int kEightPlacesLo = 1023 - 10, kEightPlacesSpan = 33;

// write_if_decimal for the decimal of eight places nearest v, D = r / 10^8,
// found and checked in integers. D reads back as v when it lies within half
// a unit of c: |c * 10^8 - r * 2^s| < 10^8 / 2 (never equal, so no tie to
// break: the left side is a multiple of 2^8, the right one is not). With
// y = c * 10^8 + 10^8 / 2 that is y mod 2^s < 10^8, and then r = y >> s.
// The remainder is in y's low 64 bits, so the answer is one multiplication
// and a mask after v, where converting and dividing took some forty cycles:
// when it is no, which in data is unpredictable, less work is thrown away.
// Returns nullptr when D is not v's.
inline char* write_if_eight_places(char* p, std::uint64_t bits) noexcept {
  const std::uint64_t magnitude = bits & ~(std::uint64_t{1} << 63);
  const int be = static_cast<int>(magnitude >> 52);
  if (static_cast<unsigned>(be - kEightPlacesLo) >= kEightPlacesSpan || (magnitude << 12) == 0) return nullptr;
  const int s = 1075 - be;
  const std::uint64_t c = (magnitude & ((std::uint64_t{1} << 52) - 1)) | (std::uint64_t{1} << 52);
  const u128 y = static_cast<u128>(c) * k1e8 + k1e8 / 2;
  if ((static_cast<std::uint64_t>(y) & ((std::uint64_t{1} << s) - 1)) >= k1e8) return nullptr;
  // s < 64: the shift of the 128 bits in two words.
  const std::uint64_t r = static_cast<std::uint64_t>(y) >> s | static_cast<std::uint64_t>(y >> 64) << (64 - s);
  *p = '-';
  p += bits >> 63;
  return write_short_decimal<false>(p, r, 8, magnitude);
}

}  // namespace

char* write_double(char* p, double v) noexcept { return write_any<false>(p, v); }

char* write_json_double(char* p, double v) noexcept {
  // Most doubles in rows are short decimals (prices, ratios: 1234.56): tried
  // first as a decimal of at most eight places, which costs less than the
  // search.
  if (char* end = write_if_eight_places(p, std::bit_cast<std::uint64_t>(v))) [[likely]]
    return end;
  return write_any<true>(p, v);
}

char* write_json_scaled(char* p, std::int64_t scaled, unsigned places, double v) noexcept {
  if (char* end = write_if_decimal(p, scaled, places, v)) [[likely]]
    return end;
  return write_any<true>(p, v);
}

}  // namespace qel::text
