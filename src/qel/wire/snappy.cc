// Raw Snappy blocks (no framing format) with a guard against decompression bombs.
#include "qel/wire/snappy.h"

#include "qel/wire/snappy_decode.h"

#include <snappy.h>

#include <limits>

namespace qel::wire {

std::uint64_t snappy_max_expansion(std::uint64_t compressed_size) noexcept {
  return compressed_size / 3 * 64 + 64;
}

std::string snappy_compress(Bytes input) {
  // The block's varint preamble holds a 32-bit length.
  if (input.size() > std::numeric_limits<std::uint32_t>::max()) {
    throw SnappyError("input of " + std::to_string(input.size()) + " bytes exceeds the 4 GiB block limit");
  }
  std::string out;
  out.resize(snappy::MaxCompressedLength(input.size()));
  std::size_t written = 0;
  snappy::RawCompress(reinterpret_cast<const char*>(input.data()), input.size(), out.data(), &written);
  out.resize(written);
  return out;
}

std::uint32_t snappy_checked_length(Bytes block) {
  const auto preamble = read_snappy_preamble(block);
  if (!preamble) throw SnappyError("corrupt input: bad length preamble");
  const std::uint32_t declared = preamble->length;
  if (declared > snappy_max_expansion(block.size())) {
    throw SnappyError("corrupt input: declared length " + std::to_string(declared) + " exceeds what " +
                      std::to_string(block.size()) + " bytes can expand to");
  }
  return declared;
}

void snappy_uncompress_into(Bytes block, std::uint8_t* out, std::uint32_t length) {
  const auto preamble = read_snappy_preamble(block);
  if (!preamble || preamble->length != length || !decode_snappy_elements(block.subspan(preamble->size), out, length)) {
    throw SnappyError("corrupt input");
  }
}

std::string snappy_uncompress(Bytes block) {
  const std::uint32_t declared = snappy_checked_length(block);
  std::string out(declared, '\0');
  snappy_uncompress_into(block, reinterpret_cast<std::uint8_t*>(out.data()), declared);
  return out;
}

}  // namespace qel::wire
