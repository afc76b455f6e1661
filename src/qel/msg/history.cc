// The storage master's history bodies.
#include "qel/msg/history.h"

#include <algorithm>

namespace qel::msg {

void set_symbol(NetRequest& req, std::string market, std::vector<std::string> symbols) {
  const auto it = std::find_if(req.symbols.begin(), req.symbols.end(),
                               [&](const MarketSymbols& m) { return m.market == market; });
  if (it != req.symbols.end()) {
    it->symbols = std::move(symbols);
  } else {
    req.symbols.push_back({std::move(market), std::move(symbols)});
  }
}

std::map<std::string, std::vector<std::string>> symbol_map(const std::vector<MarketSymbols>& symbols) {
  std::map<std::string, std::vector<std::string>> out;
  for (const MarketSymbols& m : symbols) {
    std::vector<std::string>& list = out[m.market];
    list.insert(list.end(), m.symbols.begin(), m.symbols.end());
  }
  return out;
}

std::vector<rows::StructValue> take_page_rows(NetResponse& res) {
  if (!res.rows_taken) {
    res.rows_taken = !res.decoded.empty();
    return std::exchange(res.decoded, {});
  }
  // Decoded once already through this catalog: cannot fail on content.
  if (res.decoded.empty()) res.decoded = rows::decompress(*res.catalog, wire::as_bytes(res.rows.data));
  return res.decoded;
}

void decode_history_page(NetResponse& res, wire::Bytes body, rows::CatalogSnapshot catalog) {
  Reader r(body);
  auto fields = read_record<NetResponse>(r);
  const RowBlob& blob = std::get<std::tuple_size_v<decltype(fields)> - 1>(fields);
  std::vector<rows::StructValue> decoded =
      with_prefix<Error>("decompress: ", [&] { return rows::decompress(*catalog, wire::as_bytes(blob.data)); });
  assign_record(res, std::move(fields));
  res.decoded = std::move(decoded);
  res.rows_taken = false;
  res.catalog = std::move(catalog);
}

}  // namespace qel::msg
