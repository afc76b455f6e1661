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

std::vector<StructValue> RowSet::take() {
  if (!taken) {
    taken = !decoded.empty();
    return std::exchange(decoded, {});
  }
  if (decoded.empty() && catalog) decoded = decompress(*catalog, wire::as_bytes(blob));
  return decoded;
}

}  // namespace qel::rows
