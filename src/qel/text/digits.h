// Decimal digits of unsigned integers, eight at a time, without a loop or a
// table: shared by the JSON writer and the double formatter.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

namespace qel::text::digits {

inline constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
inline constexpr std::uint64_t kZeros = kOnes * '0';
inline constexpr std::uint64_t k1e8 = 100'000'000;
inline constexpr std::uint64_t k1e16 = k1e8 * k1e8;

inline void store8(char* p, std::uint64_t w) noexcept { std::memcpy(p, &w, 8); }

// The eight digits of v < 10^8, zero-padded, as the bytes of a little-endian
// word (first digit in the lowest byte). The word is split into lanes of 4,
// then 2, then 1 digit, each by a multiply-shift whose products stay within
// their lane.
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

}  // namespace qel::text::digits
