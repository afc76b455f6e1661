// The one JSON writer: escaping, number forms and the comma-tracking writer.
#include "qel/text/json_writer.h"

#include <array>
#include <cstdint>
#include <cstring>

#include "qel/text/digits.h"

namespace qel::text {

namespace {

using digits::kOnes;
using digits::store8;
using digits::write_unsigned;

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
