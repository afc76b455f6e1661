// Primitive wire encodings: a bounds-checked big-endian Reader and an
// append-only Writer.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "qel/error.h"

namespace qel::wire {

using Bytes = std::span<const std::uint8_t>;

inline Bytes as_bytes(std::string_view s) noexcept {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

// A read failure. The fields keep what the text reports so callers can inspect
// them without parsing the message.
class CodecError : public Error {
 public:
  enum class Kind { unexpected_end, length_overflow, invalid_utf8, unknown_enum, field_type_mismatch, too_long };

  static CodecError unexpected_end(std::uint64_t needed);
  static CodecError length_overflow(std::uint64_t len, std::uint64_t remaining);
  static CodecError invalid_utf8();
  static CodecError unknown_enum(std::uint64_t value);
  static CodecError field_type_mismatch(std::size_t index, std::string_view schema_type);
  // A writer's: a text, blob or list whose length a u32 prefix cannot carry.
  static CodecError too_long(std::uint64_t len);

  Kind kind() const noexcept { return kind_; }
  // unexpected_end: bytes missing. length_overflow: the declared length.
  // unknown_enum: the discriminant. field_type_mismatch: the field index.
  // too_long: the length.
  std::uint64_t value() const noexcept { return value_; }
  // length_overflow: bytes that were left.
  std::uint64_t remaining() const noexcept { return remaining_; }

 private:
  CodecError(Kind kind, std::string text, std::uint64_t value, std::uint64_t remaining)
      : Error(std::move(text)), kind_(kind), value_(value), remaining_(remaining) {}
  Kind kind_;
  std::uint64_t value_;
  std::uint64_t remaining_;
};

// `n` as a u32 length or count prefix; a larger one throws rather than being
// truncated into a prefix that misframes everything after it.
inline std::uint32_t u32_length(std::size_t n) {
  if (n > 0xFFFFFFFFu) throw CodecError::too_long(n);
  return static_cast<std::uint32_t>(n);
}

namespace detail {

template <class U>
constexpr U byteswap(U u) noexcept {
  if constexpr (sizeof(U) == 1) return u;
  else if constexpr (sizeof(U) == 2) return __builtin_bswap16(u);
  else if constexpr (sizeof(U) == 4) return __builtin_bswap32(u);
  else return __builtin_bswap64(u);
}

template <class T>
T from_big_endian(const std::uint8_t* p) noexcept {
  using U = std::make_unsigned_t<T>;
  U u;
  std::memcpy(&u, p, sizeof u);
  if constexpr (std::endian::native == std::endian::little && sizeof(U) > 1) u = byteswap(u);
  return static_cast<T>(u);
}

template <class T>
void to_big_endian(T v, std::uint8_t* p) noexcept {
  using U = std::make_unsigned_t<T>;
  U u = static_cast<U>(v);
  if constexpr (std::endian::native == std::endian::little && sizeof(U) > 1) u = byteswap(u);
  std::memcpy(p, &u, sizeof u);
}

}  // namespace detail

// A cursor over borrowed bytes. A failing read throws CodecError and does not
// advance, except that read_string has consumed its field when the text turns
// out not to be UTF-8.
class Reader {
 public:
  explicit Reader(Bytes data) noexcept : data_(data) {}

  std::size_t remaining() const noexcept { return data_.size() - pos_; }
  std::size_t position() const noexcept { return pos_; }
  Bytes rest() const noexcept { return data_.subspan(pos_); }

  std::uint8_t read_u8() { return read_fixed<std::uint8_t>(); }
  std::uint16_t read_u16() { return read_fixed<std::uint16_t>(); }
  std::int16_t read_i16() { return read_fixed<std::int16_t>(); }
  std::uint32_t read_u32() { return read_fixed<std::uint32_t>(); }
  std::int32_t read_i32() { return read_fixed<std::int32_t>(); }
  std::uint64_t read_u64() { return read_fixed<std::uint64_t>(); }
  std::int64_t read_i64() { return read_fixed<std::int64_t>(); }
  double read_f64() { return std::bit_cast<double>(read_u64()); }

  // n bytes borrowed from the input.
  Bytes read_view(std::size_t n) {
    require(n);
    Bytes out = data_.subspan(pos_, n);
    pos_ += n;
    return out;
  }
  // A u32 length, then that many bytes borrowed from the input.
  Bytes read_bytes_view();
  std::string read_bytes();
  std::string read_string();
  std::vector<std::string> read_vec_string();

  // A big-endian u32 count, then count little-endian elements of T (4 or 8
  // bytes). The count is checked against the input before anything is allocated.
  template <class T>
  std::vector<T> read_rawvec();
  std::vector<std::uint32_t> read_rawvec_4() { return read_rawvec<std::uint32_t>(); }
  std::vector<std::uint64_t> read_rawvec_8() { return read_rawvec<std::uint64_t>(); }

 private:
  void require(std::uint64_t n) const {
    if (n > remaining()) throw CodecError::unexpected_end(n - remaining());
  }
  template <class T>
  T read_fixed() {
    require(sizeof(T));
    T v = detail::from_big_endian<T>(data_.data() + pos_);
    pos_ += sizeof(T);
    return v;
  }

  Bytes data_;
  std::size_t pos_ = 0;
};

template <class T>
std::vector<T> Reader::read_rawvec() {
  static_assert(sizeof(T) == 4 || sizeof(T) == 8);
  static_assert(std::is_trivially_copyable_v<T>);
  const std::size_t start = pos_;
  const std::uint64_t count = read_u32();
  const std::uint64_t size = count * sizeof(T);  // < 2^35, cannot overflow
  if (size > remaining()) {
    const std::uint64_t needed = size - remaining();
    pos_ = start;
    throw CodecError::unexpected_end(needed);
  }
  std::vector<T> out(count);
  if constexpr (std::endian::native == std::endian::little) {
    if (size != 0) std::memcpy(out.data(), data_.data() + pos_, size);
  } else {
    for (std::size_t i = 0; i < count; ++i) {
      out[i] = std::bit_cast<T>(detail::byteswap(
          detail::from_big_endian<std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>>(
              data_.data() + pos_ + i * sizeof(T))));
    }
  }
  pos_ += size;
  return out;
}

// An append-only byte buffer; one per encode.
class Writer {
 public:
  Writer() = default;
  explicit Writer(std::size_t reserve) { buf_.reserve(reserve); }

  void write_u8(std::uint8_t v) { buf_.push_back(static_cast<char>(v)); }
  void write_bool(bool v) { write_u8(v ? 1 : 0); }
  void write_u16(std::uint16_t v) { write_fixed(v); }
  void write_i16(std::int16_t v) { write_fixed(v); }
  void write_u32(std::uint32_t v) { write_fixed(v); }
  void write_i32(std::int32_t v) { write_fixed(v); }
  void write_u64(std::uint64_t v) { write_fixed(v); }
  void write_i64(std::int64_t v) { write_fixed(v); }
  void write_f64(double v) { write_fixed(std::bit_cast<std::uint64_t>(v)); }

  void write_raw(Bytes data) { buf_.append(reinterpret_cast<const char*>(data.data()), data.size()); }
  void write_raw(std::string_view data) { buf_.append(data); }
  void write_bytes(Bytes data) {
    write_u32(u32_length(data.size()));
    write_raw(data);
  }
  void write_string(std::string_view text) { write_bytes(as_bytes(text)); }
  void write_vec_string(std::span<const std::string> list);

  template <class T>
  void write_rawvec(std::span<const T> list);
  void write_rawvec_4(std::span<const std::uint32_t> list) { write_rawvec(list); }
  void write_rawvec_8(std::span<const std::uint64_t> list) { write_rawvec(list); }

  // Overwrites four bytes written earlier, e.g. a length known only afterwards.
  void patch_u32(std::size_t offset, std::uint32_t v) noexcept { detail::to_big_endian(v, reinterpret_cast<std::uint8_t*>(buf_.data() + offset)); }

  // n more bytes for the caller to fill in.
  std::uint8_t* extend(std::size_t n) {
    const std::size_t at = buf_.size();
    buf_.resize(at + n);
    return reinterpret_cast<std::uint8_t*>(buf_.data() + at);
  }

  void reserve(std::size_t n) { buf_.reserve(n); }
  std::size_t size() const noexcept { return buf_.size(); }
  const std::string& buffer() const noexcept { return buf_; }
  std::string take() && noexcept { return std::move(buf_); }

 private:
  template <class T>
  void write_fixed(T v) {
    std::uint8_t tmp[sizeof(T)];
    detail::to_big_endian(v, tmp);
    buf_.append(reinterpret_cast<const char*>(tmp), sizeof tmp);
  }
  std::string buf_;
};

template <class T>
void Writer::write_rawvec(std::span<const T> list) {
  static_assert(sizeof(T) == 4 || sizeof(T) == 8);
  write_u32(u32_length(list.size()));
  if constexpr (std::endian::native == std::endian::little) {
    buf_.append(reinterpret_cast<const char*>(list.data()), list.size_bytes());
  } else {
    for (const T& v : list) {
      auto u = detail::byteswap(std::bit_cast<std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>>(v));
      buf_.append(reinterpret_cast<const char*>(&u), sizeof u);
    }
  }
}

}  // namespace qel::wire
