// The one JSON writer: escaping, number forms and the comma-tracking writer.
#include "qel/text/json_writer.h"

#include <array>
#include <charconv>
#include <cmath>
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

}  // namespace

void append_json_string(std::string& out, std::string_view utf8) {
  const char* p = utf8.data();
  const std::size_t n = utf8.size();
  out += '"';
  std::size_t start = 0;
  std::size_t i = 0;
  for (;;) {
    // Plain text is the common case: find the end of the run eight bytes at a
    // time, then copy it with one append.
    while (i + 8 <= n) {
      std::uint64_t w;
      std::memcpy(&w, p + i, 8);
      if (word_needs_escape(w)) break;
      i += 8;
    }
    while (i < n && kEscape[static_cast<unsigned char>(p[i])] == 0) ++i;
    out.append(p + start, i - start);
    if (i == n) break;
    const unsigned char c = static_cast<unsigned char>(p[i]);
    const char e = kEscape[c];
    if (e == 'u') {
      static constexpr char kHex[] = "0123456789abcdef";
      const char buf[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
      out.append(buf, 6);
    } else {
      const char buf[2] = {'\\', e};
      out.append(buf, 2);
    }
    start = ++i;
  }
  out += '"';
}

void append_json_double(std::string& out, double v) {
  if (!std::isfinite(v)) {
    out += "null";
    return;
  }
  // Shortest round-trip form is at most 24 characters ("-2.2250738585072014e-308").
  char buf[32];
  char* end = std::to_chars(buf, buf + sizeof buf, v).ptr;
  bool integral_looking = true;
  for (const char* q = buf; q != end; ++q) {
    if (*q == '.' || *q == 'e') {
      integral_looking = false;
      break;
    }
  }
  if (integral_looking) {
    *end++ = '.';
    *end++ = '0';
  }
  out.append(buf, static_cast<std::size_t>(end - buf));
}

void append_json_int(std::string& out, std::int64_t v) {
  char buf[24];
  char* end = std::to_chars(buf, buf + sizeof buf, v).ptr;
  out.append(buf, static_cast<std::size_t>(end - buf));
}

void append_json_uint(std::string& out, std::uint64_t v) {
  char buf[24];
  char* end = std::to_chars(buf, buf + sizeof buf, v).ptr;
  out.append(buf, static_cast<std::size_t>(end - buf));
}

}  // namespace qel::text
