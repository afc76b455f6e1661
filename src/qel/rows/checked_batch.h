// A batch whose every part has been checked against its schema: its rows can
// be read front to back straight from the bytes, without building them.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "qel/rows/schema.h"
#include "qel/wire/codec.h"
#include "qel/wire/scratch_buffer.h"

namespace qel::rows {

// Reads from bytes that a checking pass has already walked: no bounds checks.
struct CheckedCursor {
  const std::uint8_t* p;

  template <class T>
  T big_endian() noexcept {
    const T v = wire::detail::from_big_endian<T>(p);
    p += sizeof(T);
    return v;
  }
  template <class T>
  T little_endian() noexcept {
    T v;
    std::memcpy(&v, p, sizeof v);
    p += sizeof v;
    return v;
  }
  std::string_view text() noexcept {
    const auto n = big_endian<std::uint32_t>();
    const std::string_view s(reinterpret_cast<const char*>(p), n);
    p += n;
    return s;
  }
};

// One batch's parts, each cursor at its first value. Texts are valid UTF-8,
// and every present value of a column is of the column's declared type.
struct CheckedBatch {
  std::uint16_t ns = 0;
  std::int32_t meta_id = 0;
  std::uint16_t aux_mask = 0;  // the aux values present, one bit each
  std::uint64_t n = 0;         // rows
  const IndexMeta* meta = nullptr;
  CheckedCursor time_tags{nullptr}, granularities{nullptr}, markets{nullptr}, stock_codes{nullptr}, aux{nullptr};
  std::vector<std::uint64_t> words;  // presence bitmap, column after column
  std::vector<CheckedCursor> columns;
  // Where the batch's last part ends: each part runs to the start of the next, the last column to here.
  const std::uint8_t* end = nullptr;

  bool present(std::size_t column, std::uint64_t row) const noexcept {
    const std::uint64_t k = column * n + row;
    return (words[k / 64] >> (k % 64)) & 1;
  }
};

// The batches of a compressed set, in stored order, decompressed into the
// leased buffer and checked; they point into it while the lease lasts. Fails
// as decompress does, with the same messages.
std::vector<CheckedBatch> check_set(const IndexSchemaCatalog& catalog, wire::Bytes blob,
                                    wire::ScratchBuffer::Lease& lease);

}  // namespace qel::rows
