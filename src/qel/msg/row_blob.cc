// The rows of a row-set field.
#include "qel/msg/row_blob.h"

#include <string>

namespace qel::msg {
namespace {

const rows::IndexSchemaCatalog& require_catalog(const rows::CatalogSnapshot& catalog, const char* operation) {
  if (!catalog) throw Error(std::string(operation) + " requires set_compressor first");
  return *catalog;
}

}  // namespace

std::vector<rows::StructValue> blob_rows(const rows::RowSet& blob, const rows::CatalogSnapshot& catalog,
                                         const char* operation) {
  const rows::IndexSchemaCatalog& c = require_catalog(catalog, operation);
  return with_prefix<Error>("decompress: ", [&] { return rows::decompress(c, wire::as_bytes(blob.blob)); });
}

rows::RowSet rows_blob(rows::RowRefs rows, const rows::CatalogSnapshot& catalog, const char* operation) {
  const rows::IndexSchemaCatalog& c = require_catalog(catalog, operation);
  return {with_prefix<Error>("compress: ", [&] { return rows::compress(c, rows); }), {}, {}, false};
}

}  // namespace qel::msg
