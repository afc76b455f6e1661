// UTF-8 validation that locates the first bad sequence.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace qel::text {

struct Utf8Error {
  std::size_t valid_up_to;  // index of the first byte of the bad sequence
  std::size_t error_len;    // bytes of the bad sequence; 0 if the text ends inside it

  // "invalid utf-8 sequence of N bytes from index I" or
  // "incomplete utf-8 byte sequence from index I".
  std::string describe() const;
};

// Texts shorter than this skip their ASCII prefix by words before the
// vectorised validator sees the rest; longer ones go to it whole (bench_utf8).
inline constexpr std::size_t kVectorMinBytes = 256;

// Returns the first error, or nullopt when the bytes are valid UTF-8. Surrogates
// and code points above U+10FFFF are invalid; error_len is the length of the
// maximal prefix of a valid sequence (at least 1).
std::optional<Utf8Error> check_utf8(std::span<const std::uint8_t> bytes) noexcept;

// check_utf8 by the byte scanner alone: slower on valid text, but it locates
// and words the error that check_utf8 reports.
std::optional<Utf8Error> scan_utf8(std::span<const std::uint8_t> bytes) noexcept;

// The bytes as a string; throws qel::Error "invalid utf-8: <detail>" if they
// are not valid UTF-8.
std::string utf8_string(std::span<const std::uint8_t> bytes);

// Whether the bytes are valid UTF-8, without locating an error.
bool valid_utf8(std::span<const std::uint8_t> bytes) noexcept;

inline bool is_utf8(std::span<const std::uint8_t> bytes) noexcept {
  // Short ASCII texts (codes, names) are most of what rows carry: settle them
  // without a call.
  if (bytes.size() <= 16) {
    std::uint8_t any = 0;
    for (std::uint8_t b : bytes) any |= b;
    if (any < 0x80) return true;
  }
  return valid_utf8(bytes);
}

}  // namespace qel::text
