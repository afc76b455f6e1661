// The rows of a message's compressed batch set.
#include "qel/rows/row_set.h"

#include <utility>

namespace qel::rows {

void RowSet::read(CatalogSnapshot with) {
  std::vector<StructValue> rows = decompress(*with, wire::as_bytes(blob));
  decoded = std::move(rows);
  catalog = std::move(with);
  taken = false;
}

std::vector<StructValue> RowSet::take(const CatalogSnapshot& fallback) {
  held_rows(fallback);
  if (taken) return decoded;
  taken = !decoded.empty();
  return std::exchange(decoded, {});
}

const std::vector<StructValue>& RowSet::held_rows(const CatalogSnapshot& fallback) {
  const CatalogSnapshot& with = catalog ? catalog : fallback;
  if (!decoded.empty() || blob.empty() || !with) return decoded;
  try {
    decoded = decompress(*with, wire::as_bytes(blob));
    catalog = with;
  } catch (const Error&) {
  }
  return decoded;
}

std::vector<StructValue> RowSet::read_or_none(const CatalogSnapshot& with) const {
  if (blob.empty() || !with) return {};
  try {
    return decompress(*with, wire::as_bytes(blob));
  } catch (const Error&) {
    return {};
  }
}

}  // namespace qel::rows
