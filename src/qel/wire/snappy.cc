// Raw Snappy blocks (no framing format) with a guard against decompression bombs.
#include "qel/wire/snappy.h"

#include "qel/wire/snappy_decode.h"

#include <snappy.h>

#include <limits>

namespace qel::wire {

std::uint64_t snappy_max_expansion(std::uint64_t compressed_size) noexcept {
  return compressed_size / 3 * 64 + 64;
}

namespace {

// The block's varint preamble holds a 32-bit length.
void require_block_size(Bytes input) {
  if (input.size() > std::numeric_limits<std::uint32_t>::max()) {
    throw SnappyError("input of " + std::to_string(input.size()) + " bytes exceeds the 4 GiB block limit");
  }
}

}  // namespace

Bytes snappy_compress(Bytes input, ScratchBuffer::Lease& into) {
  require_block_size(input);
  std::uint8_t* out = into.data(snappy::MaxCompressedLength(input.size()));
  std::size_t written = 0;
  snappy::RawCompress(reinterpret_cast<const char*>(input.data()), input.size(), reinterpret_cast<char*>(out),
                      &written);
  return {out, written};
}

std::string snappy_compress(Bytes input) {
  require_block_size(input);
  std::string out;
  out.resize(snappy::MaxCompressedLength(input.size()));
  std::size_t written = 0;
  snappy::RawCompress(reinterpret_cast<const char*>(input.data()), input.size(), out.data(), &written);
  out.resize(written);
  return out;
}

namespace {

// The block's preamble, refused before anything is allocated when the block
// could not expand to its declared length.
SnappyPreamble checked_preamble(Bytes block) {
  const auto preamble = read_snappy_preamble(block);
  if (!preamble) throw SnappyError("corrupt input: bad length preamble");
  if (preamble->length > snappy_max_expansion(block.size())) {
    throw SnappyError("corrupt input: declared length " + std::to_string(preamble->length) + " exceeds what " +
                      std::to_string(block.size()) + " bytes can expand to");
  }
  return *preamble;
}

// Decodes the elements after `preamble` into its declared length at `out`.
void decode_into(Bytes block, const SnappyPreamble& preamble, std::uint8_t* out) {
  if (!decode_snappy_elements(block.subspan(preamble.size), out, preamble.length)) {
    throw SnappyError("corrupt input");
  }
}

}  // namespace

std::string snappy_uncompress(Bytes block) {
  const SnappyPreamble preamble = checked_preamble(block);
  std::string out(preamble.length, '\0');
  decode_into(block, preamble, reinterpret_cast<std::uint8_t*>(out.data()));
  return out;
}

Bytes snappy_uncompress(Bytes block, ScratchBuffer::Lease& into) {
  const SnappyPreamble preamble = checked_preamble(block);
  std::uint8_t* out = into.data(preamble.length);
  decode_into(block, preamble, out);
  return {out, preamble.length};
}

}  // namespace qel::wire
