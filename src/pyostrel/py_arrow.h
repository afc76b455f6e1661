// Rows as an Arrow stream capsule, for the classes' __arrow_c_stream__.
#pragma once

#include "pyostrel/bind/convert.h"
#include "pyostrel/bind/errors.h"
#include "pyostrel/bind/ref.h"
#include "qel/rows/index_serializer.h"
#include "qel/wire/codec.h"

namespace pyostrel {

// A PyCapsule "arrow_array_stream" of the rows of `blob` (a compressed batch set) read through `catalog`.
// Throws qel::Error "no catalog to read the rows with (set_compressor first)" for rows without a catalog, and
// as the export does (rows of several row types, a set that does not decode).
bind::Ref arrow_capsule(const qel::rows::CatalogSnapshot& catalog, qel::wire::Bytes blob);
// The same for rows held natively.
bind::Ref arrow_capsule(const qel::rows::CatalogSnapshot& catalog, qel::rows::RowRefs rows);

// __arrow_c_stream__ of a holder of the compressed rows M (a qel::msg::RowBlob) and the catalog it keeps.
template <class T, auto M>
bind::Ref row_blob_arrow(const T& m, bind::Object) {
  return arrow_capsule(m.catalog, qel::wire::as_bytes((m.*M).data));
}

inline constexpr const char* kArrowStreamDoc =
    "The rows as an Arrow C stream (a PyCapsule), for pyarrow.table(obj), polars.DataFrame(obj), DuckDB and "
    "other readers of the Arrow PyCapsule interface: market, code, time_tag (timestamp[ms, UTC]), granularity, "
    "then one column per field of the row type. requested_schema is ignored.";

}  // namespace pyostrel
