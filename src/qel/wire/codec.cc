// Primitive wire encodings: error texts and the length-prefixed reads.
#include "qel/wire/codec.h"

#include <cstdio>

#include "qel/text/utf8.h"

namespace qel::wire {

CodecError CodecError::unexpected_end(std::uint64_t needed) {
  return {Kind::unexpected_end, "unexpected end of input: needed " + std::to_string(needed) + " more bytes",
          needed, 0};
}

CodecError CodecError::length_overflow(std::uint64_t len, std::uint64_t remaining) {
  return {Kind::length_overflow,
          "length prefix " + std::to_string(len) + " exceeds remaining buffer (" + std::to_string(remaining) +
              " bytes)",
          len, remaining};
}

CodecError CodecError::invalid_utf8() { return {Kind::invalid_utf8, "invalid utf-8 in string field", 0, 0}; }

CodecError CodecError::unknown_enum(std::uint64_t value) {
  char hex[24];
  std::snprintf(hex, sizeof hex, "%llx", static_cast<unsigned long long>(value));
  return {Kind::unknown_enum, std::string("unknown enum value 0x") + hex, value, 0};
}

CodecError CodecError::field_type_mismatch(std::size_t index, std::string_view schema_type) {
  return {Kind::field_type_mismatch,
          "StructValue field type mismatch for field index " + std::to_string(index) + ": schema = " +
              std::string(schema_type),
          index, 0};
}

CodecError CodecError::too_long(std::uint64_t len) {
  return {Kind::too_long, "length " + std::to_string(len) + " does not fit a u32 length prefix", len, 0};
}

Bytes Reader::read_bytes_view() {
  const std::size_t start = pos_;
  const std::uint32_t len = read_u32();
  if (len > remaining()) {
    const std::uint64_t needed = len - remaining();
    pos_ = start;
    throw CodecError::unexpected_end(needed);
  }
  return read_view(len);
}

std::string Reader::read_bytes() {
  Bytes view = read_bytes_view();
  return std::string(reinterpret_cast<const char*>(view.data()), view.size());
}

std::string Reader::read_string() {
  Bytes view = read_bytes_view();
  if (!text::is_utf8(view)) throw CodecError::invalid_utf8();
  return std::string(reinterpret_cast<const char*>(view.data()), view.size());
}

std::vector<std::string> Reader::read_vec_string() {
  const std::uint32_t count = read_u32();
  // Each element takes at least its 4-byte length, which bounds the reservation
  // by the input rather than by the declared count.
  std::vector<std::string> out;
  out.reserve(std::min<std::size_t>(count, remaining() / 4));
  for (std::uint32_t i = 0; i < count; ++i) out.push_back(read_string());
  return out;
}

void Writer::write_vec_string(std::span<const std::string> list) {
  write_u32(u32_length(list.size()));
  for (const std::string& s : list) write_string(s);
}

}  // namespace qel::wire
