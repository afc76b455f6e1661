// Historical fetch bodies: the lenient reply decoder and lazy row decoding.
#include "qel/msg/fetch.h"

#include <utility>

#include "qel/rows/row_json.h"

namespace qel::msg {
namespace {

// The rows of `blob` through `catalog` (none: an empty catalog); false when
// the blob does not decode.
bool try_decompress(const rows::CatalogSnapshot& catalog, const std::string& blob,
                    std::vector<rows::StructValue>& out) {
  static const rows::IndexSchemaCatalog kEmpty;
  try {
    out = rows::decompress(catalog ? *catalog : kEmpty, wire::as_bytes(blob));
    return true;
  } catch (const Error&) {
    return false;
  }
}

void decode_pending_rows(ATFetchSVRes& res) {
  rows::RowSet& set = res.rows;
  if (!set.decoded.empty() || set.blob.empty()) return;
  const rows::CatalogSnapshot& catalog = set.catalog ? set.catalog : res.catalog;
  if (!catalog) return;
  std::vector<rows::StructValue> got;
  if (!try_decompress(catalog, set.blob, got)) return;
  set.decoded = std::move(got);
  set.catalog = catalog;
}

}  // namespace

void decode_fetch_reply(ATFetchSVRes& res, wire::Bytes body) {
  rows::CatalogSnapshot catalog = std::move(res.catalog);
  res = ATFetchSVRes{};
  res.catalog = std::move(catalog);

  wire::Reader r(body);
  read_base_response_fieldwise(r, res.base);
  if (res.base.error_code != 0) return;  // an error reply's trailer is never read

  wire::Reader again(body);
  BaseResponse base;
  if (!try_read(again, base) || again.remaining() < 4) return;
  std::string namespace_;
  std::vector<std::string> fields;
  Blob got;
  if (!try_read(again, namespace_) || !try_read(again, fields) || !try_read(again, got)) return;
  std::string& blob = got.data;
  // Without a catalog yet the blob is kept undecoded: attaching one later
  // yields its rows rather than losing them.
  std::vector<rows::StructValue> rows;
  if (!blob.empty() && res.catalog && !try_decompress(res.catalog, blob, rows)) return;
  res.namespace_ = std::move(namespace_);
  res.fields = std::move(fields);
  res.rows.blob = std::move(blob);
  res.rows.decoded = std::move(rows);
  if (!res.rows.blob.empty()) res.rows.catalog = res.catalog;
}

void attach_catalog(ATFetchSVRes& res, rows::CatalogSnapshot catalog) {
  res.catalog = std::move(catalog);
  decode_pending_rows(res);
}

const std::vector<rows::StructValue>& fetch_rows(ATFetchSVRes& res) {
  decode_pending_rows(res);
  return res.rows.decoded;
}

std::vector<rows::StructValue> take_fetch_rows(ATFetchSVRes& res) {
  decode_pending_rows(res);
  return res.rows.take();
}

std::string fetch_json(ATFetchSVRes& res) {
  decode_pending_rows(res);
  return rows::render_fetch_json(res.catalog.get(), res.rows.decoded);
}

void fetch_json(ATFetchSVRes& res, text::TextBuffer& out) {
  decode_pending_rows(res);
  rows::render_fetch_json(out, res.catalog.get(), res.rows.decoded);
}

}  // namespace qel::msg
