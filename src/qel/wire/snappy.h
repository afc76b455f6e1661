// Raw Snappy blocks (no framing format) with a guard against decompression bombs.
#pragma once

#include <cstdint>
#include <string>

#include "qel/error.h"
#include "qel/wire/codec.h"
#include "qel/wire/scratch_buffer.h"

namespace qel::wire {

class SnappyError : public Error {
 public:
  using Error::Error;
};

// The largest output a valid block of `compressed_size` bytes can declare: a
// 3-byte copy element yields at most 64 bytes, a 2-byte one 11.
std::uint64_t snappy_max_expansion(std::uint64_t compressed_size) noexcept;

std::string snappy_compress(Bytes input);
// The same, into the leased scratch buffer: the bytes stay valid while the
// lease lasts. For a block that is copied into a larger message at once.
Bytes snappy_compress(Bytes input, ScratchBuffer::Lease& into);

// Throws SnappyError on a corrupt block, and before allocating when the declared
// length exceeds what the block could expand to.
std::string snappy_uncompress(Bytes block);

// The same, decoded into the leased scratch buffer: the bytes stay valid while
// the lease lasts. For a payload that is parsed and dropped within one call.
Bytes snappy_uncompress(Bytes block, ScratchBuffer::Lease& into);

// f(), with a SnappyError it throws reported as E("snappy: <detail>"), the
// wording of the codecs that embed Snappy blocks.
template <class E, class F>
decltype(auto) snappy_or(F&& f) {
  return with_prefix<E, SnappyError>("snappy: ", std::forward<F>(f));
}

template <class E>
std::string snappy_compress_or(Bytes input) {
  return snappy_or<E>([&] { return snappy_compress(input); });
}

template <class E>
std::string snappy_uncompress_or(Bytes block) {
  return snappy_or<E>([&] { return snappy_uncompress(block); });
}

}  // namespace qel::wire
