// Rows of one schema row as an Arrow stream, built straight from the checked bytes of a compressed batch set:
// no row object per row or per value.
#pragma once

#include <span>
#include <vector>

#include "qel/arrow/c_data.h"
#include "qel/rows/index_serializer.h"
#include "qel/wire/codec.h"

namespace qel::arrow {

// Fills `out` with a stream of one record batch per stored batch of `blob` (a compressed batch set decoded
// through `catalog`). Columns: market (utf8), code (utf8), time_tag (timestamp[ms, tz=UTC]), granularity
// (int32), then one per field of the row type, named as the catalog names it: Int int32, Double float64 (the
// decoded value), String utf8, Int64 int64, VInt/VDouble/VString/VInt64 list<...>; a field of another kind is
// a column of nulls. An absent slot is a null; each field's metadata carries its "precision". Buffers are
// 64-byte aligned and owned by the arrays, which the consumer releases; nothing refers to `blob` or
// `catalog` afterwards. No rows: an empty stream of the header columns, and of `empty_meta`'s when given.
//
// Throws Error before anything is allocated for rows of several row types: "rows of several schema rows:
// (1, 42), (1, 43)"; throws as rows::decompress does for a set it refuses.
void export_stream(const rows::IndexSchemaCatalog& catalog, wire::Bytes blob, ArrowArrayStream* out,
                   const rows::IndexMeta* empty_meta = nullptr);

// The same for rows held natively (all of one row type, or refused as above): checked as packing them would
// check them (throws as rows::compress does), then exported as they are held, so a double keeps every bit
// rather than being rounded to its column's precision.
void export_rows(const rows::IndexSchemaCatalog& catalog, rows::RowRefs rows, ArrowArrayStream* out);

}  // namespace qel::arrow
