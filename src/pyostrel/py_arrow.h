// Rows as an Arrow stream capsule, for the classes' __arrow_c_stream__.
#pragma once

#include "pyostrel/bind/convert.h"
#include "pyostrel/bind/errors.h"
#include "pyostrel/bind/ref.h"
#include "qel/rows/index_serializer.h"
#include "qel/rows/row_set.h"
#include "qel/wire/codec.h"

namespace pyostrel {

// A PyCapsule "arrow_array_stream" of the rows of `blob` (a compressed batch set) read through `catalog`.
// Throws qel::Error "no catalog to read the rows with (set_compressor first)" for rows without a catalog, and
// as the export does (rows of several row types, a set that does not decode).
bind::Ref arrow_capsule(const qel::rows::CatalogSnapshot& catalog, qel::wire::Bytes blob);
// The same for rows held natively.
bind::Ref arrow_capsule(const qel::rows::CatalogSnapshot& catalog, qel::rows::RowRefs rows);

// __arrow_c_stream__ of a holder of the row set M: read through the catalog that read it, else the one the
// holder keeps for it (set_compressor).
template <class T, auto M>
bind::Ref row_set_arrow(const T& m, bind::Object) {
  const qel::rows::RowSet& set = m.*M;
  if constexpr (requires { m.catalog; }) {
    if (!set.catalog) return arrow_capsule(m.catalog, qel::wire::as_bytes(set.blob));
  }
  return arrow_capsule(set.catalog, qel::wire::as_bytes(set.blob));
}

inline constexpr const char* kArrowStreamDoc =
    "The rows as an Arrow C stream (a PyCapsule), for pyarrow.table(obj), polars.DataFrame(obj), DuckDB and "
    "other readers of the Arrow PyCapsule interface: market, code, time_tag (timestamp[ms, UTC]), granularity, "
    "then one column per field of the row type. requested_schema is ignored.";

}  // namespace pyostrel
