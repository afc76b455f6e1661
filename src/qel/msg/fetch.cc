// Historical fetch bodies: rows decoded once a catalog is attached.
#include "qel/msg/fetch.h"

#include "qel/rows/row_json.h"

namespace qel::msg {

std::string fetch_json(ATFetchSVRes& res) {
  return rows::render_fetch_json(res.catalog.get(), res.rows.held_rows(res.catalog));
}

void fetch_json(ATFetchSVRes& res, text::TextBuffer& out) {
  rows::render_fetch_json(out, res.catalog.get(), res.rows.held_rows(res.catalog));
}

}  // namespace qel::msg
