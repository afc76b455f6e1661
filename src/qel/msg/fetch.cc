// Historical fetch bodies: rows decoded once a catalog is attached.
#include "qel/msg/fetch.h"

#include <utility>

#include "qel/rows/row_json.h"

namespace qel::msg {

void attach_catalog(ATFetchSVRes& res, rows::CatalogSnapshot catalog) {
  res.catalog = std::move(catalog);
  res.rows.held_rows(res.catalog);
}

std::vector<rows::StructValue> take_fetch_rows(ATFetchSVRes& res) {
  res.rows.held_rows(res.catalog);
  return res.rows.take();
}

std::string fetch_json(ATFetchSVRes& res) {
  return rows::render_fetch_json(res.catalog.get(), res.rows.held_rows(res.catalog));
}

}  // namespace qel::msg
