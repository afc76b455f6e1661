// Decoder of the raw Snappy block format, written for untrusted input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "qel/wire/codec.h"

namespace qel::wire {

struct SnappyPreamble {
  std::uint32_t length;  // declared uncompressed length
  std::size_t size;      // bytes the varint takes
};

// The varint length that opens a block; nullopt if it is malformed.
std::optional<SnappyPreamble> read_snappy_preamble(Bytes block) noexcept;

// Decodes the elements after the preamble into exactly `out_size` bytes at
// `out`. Returns false for corrupt input: a truncated element, a copy reaching
// before the start of the output, or output of any other length. Never reads
// or writes outside the two buffers.
bool decode_snappy_elements(Bytes elements, std::uint8_t* out, std::size_t out_size) noexcept;

}  // namespace qel::wire
