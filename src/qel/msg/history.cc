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

void decode_history_page(NetResponse& res, wire::Bytes body, rows::CatalogSnapshot catalog) {
  NetResponse got;
  decode(got, body);
  with_prefix<Error>("decompress: ", [&] { got.rows.read(std::move(catalog)); });
  res = std::move(got);
}

}  // namespace qel::msg
