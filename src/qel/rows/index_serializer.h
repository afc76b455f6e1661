// Schema-driven batch codec for StructValue rows: one uncompressed batch per
// (namespace, meta id), and the Snappy-compressed set of such batches.
#pragma once

#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "qel/error.h"
#include "qel/rows/schema.h"
#include "qel/rows/struct_value.h"
#include "qel/wire/codec.h"

namespace qel::rows {

class SerializerError : public Error {
 public:
  using Error::Error;
};

using RowRefs = std::span<const StructValue* const>;

// A catalog that never changes once shared: a message holding one keeps the
// schema it was given, however the serializer's schema changes afterwards.
using CatalogSnapshot = std::shared_ptr<const IndexSchemaCatalog>;

// The catalog that rows are packed and unpacked against. A schema update
// replaces the snapshot; snapshots handed out earlier stay as they were.
struct IndexSerializer {
  CatalogSnapshot snapshot = std::make_shared<const IndexSchemaCatalog>();
  const IndexSchemaCatalog& catalog() const noexcept { return *snapshot; }
};

// One batch of `rows`, all written under the first row's (namespace, meta id).
// REQUIRES: every pointer is non-null.
std::string serialize(const IndexSchemaCatalog& catalog, RowRefs rows);
void serialize_into(wire::Writer& out, const IndexSchemaCatalog& catalog, RowRefs rows);
// As serialize, into the memory `allocate(size)` returns once the size is known,
// so a caller can have the batch written straight into a buffer of its own.
void serialize_to(const IndexSchemaCatalog& catalog, RowRefs rows,
                  const std::function<std::uint8_t*(std::size_t)>& allocate);

std::vector<StructValue> deserialize(const IndexSchemaCatalog& catalog, wire::Bytes batch);
// Appends the rows of one batch to `out`; on failure `out` may hold part of them.
void deserialize_into(std::vector<StructValue>& out, const IndexSchemaCatalog& catalog, wire::Bytes batch);

// Rows of any types, grouped by ascending (namespace, meta id), each group in
// input order, Snappy-compressed. No rows is a valid, empty set.
std::string compress(const IndexSchemaCatalog& catalog, RowRefs rows);

// A row bound for one of several sets.
struct RoutedRow {
  const StructValue* row;
  std::uint32_t sink;
};

// compress for several receivers at once: for each sink < `sinks` that
// receives rows, in ascending order, take(sink, set) with the set compress
// would make of the rows routed to it, in the order given (a row routed to
// several sinks is listed once per sink). The set's bytes are valid during
// the call only. The rows are read in the order given, whichever sink they
// go to, so rows that lie in memory order are read in memory order. Every row
// is checked before the first take; a fault is reported as compress of each
// sink's rows would report it, in ascending sink order.
void compress_split(const IndexSchemaCatalog& catalog, std::span<const RoutedRow> rows, std::size_t sinks,
                    const std::function<void(std::size_t, wire::Bytes)>& take);
std::vector<StructValue> decompress(const IndexSchemaCatalog& catalog, wire::Bytes blob);

// Double <-> scaled integer at a column's decimal precision: precisions 0..9
// scale by 10^precision, any other leaves the number as it is.
inline constexpr std::uint32_t kScaledPrecisions = 10;
std::int64_t scale_to_i64(double v, std::uint32_t precision) noexcept;
inline constexpr double kDecodeFactor[kScaledPrecisions] = {1.0, 0.1, 0.01, 0.001, 1e-4, 1e-5, 1e-6, 1e-7, 1e-8, 1e-9};
// Inline: decoding and rendering call it once per number.
inline double unscale(std::int64_t v, std::uint32_t precision) noexcept {
  return static_cast<double>(v) * (precision < kScaledPrecisions ? kDecodeFactor[precision] : 1.0);
}

}  // namespace qel::rows
