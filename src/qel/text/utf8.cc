// UTF-8 validation that locates the first bad sequence.
#include "qel/text/utf8.h"

#include <simdjson.h>

#include <cstring>

#include "qel/error.h"

namespace qel::text {

std::string Utf8Error::describe() const {
  if (error_len == 0) {
    return "incomplete utf-8 byte sequence from index " + std::to_string(valid_up_to);
  }
  return "invalid utf-8 sequence of " + std::to_string(error_len) + " bytes from index " +
         std::to_string(valid_up_to);
}

namespace {

// Width of the sequence a lead byte starts; 0 for bytes that cannot lead.
int sequence_width(std::uint8_t b) noexcept {
  if (b >= 0xC2 && b <= 0xDF) return 2;
  if (b >= 0xE0 && b <= 0xEF) return 3;
  if (b >= 0xF0 && b <= 0xF4) return 4;
  return 0;
}

bool is_continuation(std::uint8_t b) noexcept { return (b & 0xC0) == 0x80; }

// Range allowed for the second byte, which excludes overlongs, surrogates and
// code points beyond U+10FFFF.
bool second_byte_ok(std::uint8_t lead, std::uint8_t b) noexcept {
  switch (lead) {
    case 0xE0: return b >= 0xA0 && b <= 0xBF;
    case 0xED: return b >= 0x80 && b <= 0x9F;
    case 0xF0: return b >= 0x90 && b <= 0xBF;
    case 0xF4: return b >= 0x80 && b <= 0x8F;
    default: return is_continuation(b);
  }
}

}  // namespace

// Short texts first skip their ASCII prefix by words: the vectorised validator's
// fixed cost (dispatch, padded tail copy) outweighs a short ASCII scan, and its
// answer for the rest stands alone since the prefix ends on a character boundary.
bool valid_utf8(std::span<const std::uint8_t> bytes) noexcept {
  const char* p = reinterpret_cast<const char*>(bytes.data());
  std::size_t n = bytes.size();
  if (n < kVectorMinBytes) {
    while (n >= 8) {
      std::uint64_t word;
      std::memcpy(&word, p, 8);
      if (word & 0x8080808080808080ULL) break;
      p += 8;
      n -= 8;
    }
    if (n < 8) {
      std::uint8_t any = 0;
      for (std::size_t i = 0; i < n; ++i) any |= static_cast<std::uint8_t>(p[i]);
      if (any < 0x80) return true;
    }
  }
  return simdjson::validate_utf8(p, n);
}

std::optional<Utf8Error> check_utf8(std::span<const std::uint8_t> bytes) noexcept {
  // Valid text is the common case: only a failure pays for the byte scan that
  // locates and words the error.
  if (valid_utf8(bytes)) return std::nullopt;
  return scan_utf8(bytes);
}

std::optional<Utf8Error> scan_utf8(std::span<const std::uint8_t> bytes) noexcept {
  const std::uint8_t* p = bytes.data();
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    // ASCII runs dominate platform text; skip them eight bytes at a time.
    while (i + 8 <= n) {
      std::uint64_t word;
      std::memcpy(&word, p + i, 8);
      if (word & 0x8080808080808080ULL) break;
      i += 8;
    }
    if (i >= n) break;
    const std::uint8_t lead = p[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }
    const int width = sequence_width(lead);
    if (width == 0) return Utf8Error{i, 1};
    if (i + 1 >= n) return Utf8Error{i, 0};
    if (!second_byte_ok(lead, p[i + 1])) return Utf8Error{i, 1};
    for (int k = 2; k < width; ++k) {
      if (i + k >= n) return Utf8Error{i, 0};
      if (!is_continuation(p[i + k])) return Utf8Error{i, static_cast<std::size_t>(k)};
    }
    i += width;
  }
  return std::nullopt;
}

std::string utf8_string(std::span<const std::uint8_t> bytes) {
  if (auto err = check_utf8(bytes)) throw Error("invalid utf-8: " + err->describe());
  return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

}  // namespace qel::text
