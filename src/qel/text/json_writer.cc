// The one JSON writer: escaping, number forms and the comma-tracking writer.
#include "qel/text/json_writer.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace qel::text {

namespace {

// For each byte: 0 when it is copied as is, else the letter after the
// backslash ('u' for the \u00XX form).
constexpr std::array<char, 256> make_escape_table() {
  std::array<char, 256> t{};
  for (int c = 0; c < 0x20; ++c) t[c] = 'u';
  t['\b'] = 'b';
  t['\t'] = 't';
  t['\n'] = 'n';
  t['\f'] = 'f';
  t['\r'] = 'r';
  t['"'] = '"';
  t['\\'] = '\\';
  return t;
}
constexpr std::array<char, 256> kEscape = make_escape_table();

constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
constexpr std::uint64_t kHighs = 0x8080808080808080ULL;

// True when some byte of w is zero (exact as a yes/no answer).
constexpr bool has_zero_byte(std::uint64_t w) { return ((w - kOnes) & ~w & kHighs) != 0; }

// True when some byte of the eight needs escaping: below 0x20, '"' or '\'.
inline bool word_needs_escape(std::uint64_t w) {
  const bool control = ((w - kOnes * 0x20) & ~w & kHighs) != 0;
  return control || has_zero_byte(w ^ (kOnes * '"')) || has_zero_byte(w ^ (kOnes * '\\'));
}

// Where the run of bytes from i that need no escape ends. Plain text is the
// common case: the run is found eight bytes at a time.
inline std::size_t plain_run_end(const char* p, std::size_t i, std::size_t n) noexcept {
  while (i + 8 <= n) {
    std::uint64_t w;
    std::memcpy(&w, p + i, 8);
    if (word_needs_escape(w)) break;
    i += 8;
  }
  while (i < n && kEscape[static_cast<unsigned char>(p[i])] == 0) ++i;
  return i;
}

// Writes the escape of byte c (one that needs it) at p: 2 or 6 bytes.
inline char* write_escape(char* p, unsigned char c) noexcept {
  static constexpr char kHex[] = "0123456789abcdef";
  const char e = kEscape[c];
  p[0] = '\\';
  if (e != 'u') {
    p[1] = e;
    return p + 2;
  }
  std::memcpy(p + 1, "u00", 3);
  p[4] = kHex[c >> 4];
  p[5] = kHex[c & 0xF];
  return p + 6;
}

constexpr std::uint64_t kZeros = kOnes * '0';

inline void store8(char* p, std::uint64_t w) noexcept { std::memcpy(p, &w, 8); }

// The eight digits of v < 10^8, zero-padded, as the bytes of a little-endian
// word (first digit in the lowest byte). The word is split into lanes of 4,
// then 2, then 1 digit, each by a multiply-shift whose products stay within
// their lane: no loop and no table.
inline std::uint64_t digits8(std::uint32_t v) noexcept {
  std::uint64_t x = (v / 10000) | (static_cast<std::uint64_t>(v % 10000) << 32);
  std::uint64_t hi = ((x * 10486) >> 20) & 0x0000007F0000007FULL;  // lane / 100, lanes < 10^4
  x = hi | ((x - hi * 100) << 16);
  hi = ((x * 103) >> 10) & 0x000F000F000F000FULL;  // lane / 10, lanes < 100
  x = hi | ((x - hi * 10) << 8);
  return x | kZeros;
}

// The digits of v < 10^8 without leading zeros ("0" for 0).
// REQUIRES: room for 8 bytes at p.
inline char* write_small(char* p, std::uint32_t v) noexcept {
  const std::uint64_t w = digits8(v);
  const int lead = std::min(std::countr_zero(w ^ kZeros) >> 3, 7);
  store8(p, w >> (8 * lead));
  return p + 8 - lead;
}

constexpr std::uint64_t k1e8 = 100'000'000;
constexpr std::uint64_t k1e16 = k1e8 * k1e8;

// REQUIRES: room for 24 bytes at p.
inline char* write_unsigned(char* p, std::uint64_t v) noexcept {
  if (v < k1e8) return write_small(p, static_cast<std::uint32_t>(v));
  if (v < k1e16) {
    p = write_small(p, static_cast<std::uint32_t>(v / k1e8));
    store8(p, digits8(static_cast<std::uint32_t>(v % k1e8)));
    return p + 8;
  }
  p = write_small(p, static_cast<std::uint32_t>(v / k1e16));  // < 1845
  const std::uint64_t rest = v % k1e16;
  store8(p, digits8(static_cast<std::uint32_t>(rest / k1e8)));
  store8(p + 8, digits8(static_cast<std::uint32_t>(rest % k1e8)));
  return p + 16;
}

inline int decimal_digits(std::uint32_t v) noexcept {
  int n = 1;
  while (v >= 10) {
    v /= 10;
    ++n;
  }
  return n;
}

// Whether to_chars would write whole.frac (places digits of the eight in
// frac) in exponent form, being strictly shorter: only a whole number with
// trailing zeros (100000 is 1e+05) or a small fraction (0.0001 is 1e-04) can be.
[[gnu::noinline]] bool exponent_form_shorter(std::uint32_t whole, std::uint32_t frac, int places) noexcept {
  const int whole_len = decimal_digits(whole);
  int significant = whole_len + places;
  if (whole == 0) {
    std::uint32_t kept = frac;
    for (int i = places; i < 8; ++i) kept /= 10;
    significant = decimal_digits(kept);
  } else if (places == 0) {
    while (whole % 10 == 0) {
      whole /= 10;
      --significant;
    }
  }
  const int fixed_len = whole_len + (places != 0 ? 1 + places : 0);
  const int exponent_len = (significant > 1 ? significant + 1 : 1) + 4;  // d.ddd + "e-05"
  return exponent_len < fixed_len;
}

// Most doubles in rows are short decimals (prices, ratios: 1234.56), which
// take a fraction of the general shortest-form search. For |v| < 10^7 whose
// decimal form has at most 8 places, the digits come from one scaled integer
// r = |v| * 10^8 < 10^15:
// - r / 10^8 == |v| proves that the decimal r * 10^-8 reads back as v (r and
//   10^8 are exact doubles and the division rounds as a correct reader does);
// - that decimal has at most 15 significant digits, and no other decimal of
//   at most 15 digits reads as v (15 digits always survive a round trip), so
//   it is the shortest form;
// - to_chars writes it in fixed form unless the exponent form is strictly
//   shorter (1e+05, 1e-04); those are left to the general path.
// Returns nullptr when v is not such a value.
// REQUIRES: room for 24 bytes at p.
inline char* write_short_decimal(char* p, double v) noexcept {
  const double a = std::fabs(v);
  if (!(a < 1e7) || a == 0) return nullptr;
  // Signed conversions: one instruction each way on x86-64.
  const auto r = static_cast<std::int64_t>(a * 1e8 + 0.5);  // < 10^15 + 1
  if (static_cast<double>(r) / 1e8 != a) return nullptr;
  const auto whole = static_cast<std::uint32_t>(r / static_cast<std::int64_t>(k1e8));  // < 10^7
  const auto frac = static_cast<std::uint32_t>(r % static_cast<std::int64_t>(k1e8));   // the 8 places
  const std::uint64_t frac_digits = digits8(frac);
  // The places kept: the eight digits without the zeros that end them (the
  // word's high bytes); 0 when frac is 0.
  const int places = 8 - (std::countl_zero(frac_digits ^ kZeros) >> 3);
  if ((places == 0 || whole == 0) && exponent_form_shorter(whole, frac, places)) [[unlikely]]
    return nullptr;
  char* q = p;
  *q = '-';
  q += std::signbit(v);
  q = write_small(q, whole);
  *q++ = '.';
  store8(q, frac_digits);
  return q + std::max(places, 1);  // a whole number keeps the first of eight zeros: 1.0
}

// The rest of the doubles in rows are mostly products such as 3 * 0.1 that
// miss the short decimal they stand for by an ulp: 0.30000000000000004. For
// 1e-3 <= |v| < 1e7 their shortest form has 16 or 17 significant digits, in
// fixed form (the exponent form is longer there). With v = m * 2^e, the
// decimals that read back as v are those strictly inside (or, for an even m,
// on the ends of) the interval of half an ulp around it; in units of 2^(e-2):
// [4m - 2, 4m + 2], or [4m - 1, 4m + 2] when m is a power of two. Scaled by
// 10^t they are exact 128-bit numbers, so for t fractional digits the
// candidates are the integers N in the scaled interval, and to_chars picks the
// one nearest the scaled 4m, ties to even. Returns nullptr when a form of 15
// or fewer digits exists (to_chars finds it) or v is outside that range.
// REQUIRES: room for 24 bytes at p.
[[gnu::noinline]] char* write_long_fixed(char* p, double v) noexcept {
  using u128 = unsigned __int128;
  const double a = std::fabs(v);
  if (!(a >= 1e-3 && a < 1e7)) return nullptr;
  const auto bits = std::bit_cast<std::uint64_t>(a);
  const std::uint64_t m = (bits & ((std::uint64_t{1} << 52) - 1)) | (std::uint64_t{1} << 52);  // normal here
  const int k = 2 - (static_cast<int>(bits >> 52) - 1075);  // the unit is 2^(e-2) = 2^-k; 31 <= k <= 64
  const bool even = (m & 1) == 0;
  const std::uint64_t lo = 4 * m - (m == std::uint64_t{1} << 52 ? 1 : 2), hi = 4 * m + 2;

  // t fractional digits give 15 significant digits: the whole part's digits
  // plus t, or t less the zeros after the point below 1.
  const auto whole_part = static_cast<std::uint32_t>(a);
  const int t15 = whole_part != 0 ? 15 - decimal_digits(whole_part) : 15 + (a < 0.01) + (a < 0.1);
  static constexpr std::uint64_t kPow10[] = {1,
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
  const u128 mask = (u128{1} << k) - 1;
  for (int t = t15; t <= t15 + 2; ++t) {  // t15 + 2 <= 19
    const u128 scale = kPow10[t];
    const u128 low = lo * scale, high = hi * scale;
    // The least and greatest integers N with low <= N * 2^k <= high (strictly
    // inside unless m is even).
    std::uint64_t first = static_cast<std::uint64_t>(low >> k) + 1;
    if ((low & mask) == 0 && even) --first;
    std::uint64_t last = static_cast<std::uint64_t>(high >> k);
    if ((high & mask) == 0 && !even) --last;
    if (first > last) continue;
    if (t == t15) return nullptr;  // a form of at most 15 digits: to_chars finds it
    const u128 centre = 4 * m * scale;
    std::uint64_t n = static_cast<std::uint64_t>(centre >> k);
    const u128 rest = centre & mask, half = u128{1} << (k - 1);
    n += rest > half || (rest == half && (n & 1) != 0);
    n = std::clamp(n, first, last);
    // n has 16 or 17 digits, t of them after the point, and no trailing zero
    // (else n / 10 would have been a candidate one digit shorter).
    char* q = p;
    *q = '-';
    q += std::signbit(v);
    const int digits = n >= kPow10[16] ? 17 : 16;
    if (digits <= t) {  // below 1: "0." and the zeros before the digits
      std::memcpy(q, "0.00", 4);
      return write_unsigned(q + 2 + (t - digits), n);
    }
    // 1 to 7 whole digits, so 9 to 16 after the point: two blocks of eight,
    // the first without its leading zeros.
    q = write_small(q, static_cast<std::uint32_t>(n / kPow10[t]));
    *q++ = '.';
    const std::uint64_t frac = n % kPow10[t];
    store8(q, digits8(static_cast<std::uint32_t>(frac / k1e8)) >> (8 * (16 - t)));
    store8(q + (t - 8), digits8(static_cast<std::uint32_t>(frac % k1e8)));
    return q + t;
  }
  return nullptr;  // not reached: 17 digits always read back
}

// Any finite v: to_chars' shortest form, with ".0" added when it has neither
// '.' nor an exponent. Kept out of line so that the short path above needs
// few registers.
[[gnu::noinline]] char* write_any_double(char* p, double v) noexcept {
  // The shortest round-trip form is at most 24 characters ("-2.2250738585072014e-308").
  char* end = std::to_chars(p, p + kJsonNumberRoom, v).ptr;
  bool integral_looking = true;
  for (const char* q = p; q != end; ++q) {
    if (*q == '.' || *q == 'e') {
      integral_looking = false;
      break;
    }
  }
  if (integral_looking) {
    *end++ = '.';
    *end++ = '0';
  }
  return end;
}

}  // namespace

char* write_json_string(char* p, std::string_view utf8) noexcept {
  const char* s = utf8.data();
  const std::size_t n = utf8.size();
  *p++ = '"';
  // Short texts (codes, names) are checked and copied with two overlapping
  // loads, without a loop or a copy call, when they need no escape.
  if (n >= 8 && n <= 16) {
    std::uint64_t head, tail;
    std::memcpy(&head, s, 8);
    std::memcpy(&tail, s + n - 8, 8);
    if (!word_needs_escape(head) && !word_needs_escape(tail)) {
      store8(p, head);
      store8(p + n - 8, tail);
      p += n;
      *p++ = '"';
      return p;
    }
  } else if (n >= 4 && n < 8) {
    std::uint32_t head, tail;
    std::memcpy(&head, s, 4);
    std::memcpy(&tail, s + n - 4, 4);
    if (!word_needs_escape(head | static_cast<std::uint64_t>(tail) << 32)) {
      std::memcpy(p, &head, 4);
      std::memcpy(p + n - 4, &tail, 4);
      p += n;
      *p++ = '"';
      return p;
    }
  }
  std::size_t start = 0;
  for (;;) {
    const std::size_t i = plain_run_end(s, start, n);
    if (i != start) std::memcpy(p, s + start, i - start);  // s may be null when empty
    p += i - start;
    if (i == n) break;
    p = write_escape(p, static_cast<unsigned char>(s[i]));
    start = i + 1;
  }
  *p++ = '"';
  return p;
}

void append_json_string(std::string& out, std::string_view utf8) {
  const char* s = utf8.data();
  const std::size_t n = utf8.size();
  out += '"';
  std::size_t start = 0;
  for (;;) {
    const std::size_t i = plain_run_end(s, start, n);
    out.append(s + start, i - start);
    if (i == n) break;
    char buf[6];
    out.append(buf, static_cast<std::size_t>(write_escape(buf, static_cast<unsigned char>(s[i])) - buf));
    start = i + 1;
  }
  out += '"';
}

char* write_json_double(char* p, double v) noexcept {
  if (char* end = write_short_decimal(p, v)) [[likely]]
    return end;
  if (!std::isfinite(v)) {
    std::memcpy(p, "null", 4);
    return p + 4;
  }
  if (char* end = write_long_fixed(p, v)) return end;
  return write_any_double(p, v);
}

char* write_json_int(char* p, std::int64_t v) noexcept {
  *p = '-';
  p += v < 0;
  // The magnitude in unsigned arithmetic, where INT64_MIN has one.
  return write_unsigned(p, v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v));
}

char* write_json_uint(char* p, std::uint64_t v) noexcept { return write_unsigned(p, v); }

void append_json_double(std::string& out, double v) {
  char buf[kJsonNumberRoom];
  out.append(buf, static_cast<std::size_t>(write_json_double(buf, v) - buf));
}

void append_json_int(std::string& out, std::int64_t v) {
  char buf[kJsonNumberRoom];
  out.append(buf, static_cast<std::size_t>(write_json_int(buf, v) - buf));
}

void append_json_uint(std::string& out, std::uint64_t v) {
  char buf[kJsonNumberRoom];
  out.append(buf, static_cast<std::size_t>(write_json_uint(buf, v) - buf));
}

}  // namespace qel::text
