// A compressed batch set of one schema row as a message holds it: the set, the catalog it was (or will be) read
// with, and its rows once decoded, kept for the first hand-over.
#pragma once

#include <string>
#include <vector>

#include "qel/rows/index_serializer.h"
#include "qel/rows/struct_value.h"

namespace qel::rows {

struct RowSet {
  std::string blob;                  // the compressed batch set, as the body carries it
  CatalogSnapshot catalog;           // what `decoded` was read with; none while the rows wait for a catalog
  std::vector<StructValue> decoded;  // the rows, until the first hand-over takes them
  bool taken = false;                // the decoded rows went to a caller once

  // Reads the rows through `with` and keeps both. Throws as decompress does; then nothing changes.
  void read(CatalogSnapshot with);
  // The decoded rows, read first when none are held: through the catalog that read the set, else `fallback`. A
  // set without either, or one that does not decode, has none. Never throws on content.
  const std::vector<StructValue>& held_rows(const CatalogSnapshot& fallback = {});
  // The rows as a list of their own, read first as held_rows does: the first call takes the decoded rows
  // themselves; a later one decodes them again through the same catalog, keeps them and copies them from then on.
  std::vector<StructValue> take(const CatalogSnapshot& fallback = {});
  // The rows read anew through `with`; none without a set or a catalog, or when the set does not decode. Never
  // throws on content.
  std::vector<StructValue> read_or_none(const CatalogSnapshot& with) const;

  // The wire value: the set's bytes.
  bool operator==(const RowSet& o) const noexcept { return blob == o.blob; }
};

}  // namespace qel::rows
