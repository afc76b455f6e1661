// The rows of a row-set field, packed and unpacked through a message's catalog.
#pragma once

#include <vector>

#include "qel/msg/layout.h"
#include "qel/rows/index_serializer.h"

namespace qel::msg {

// The blob's rows. Throws Error "<operation> requires set_compressor first"
// without a catalog, "decompress: ..." when the blob does not decode.
std::vector<rows::StructValue> blob_rows(const rows::RowSet& blob, const rows::CatalogSnapshot& catalog,
                                         const char* operation);

// The blob of `rows`, compressed through `catalog`. Throws Error "<operation>
// requires set_compressor first" or "compress: ...".
rows::RowSet rows_blob(rows::RowRefs rows, const rows::CatalogSnapshot& catalog, const char* operation);

}  // namespace qel::msg
