// Python classes of the storage master's history bodies.

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "pyostrel/bind/message.h"
#include "pyostrel/py_row_set.h"
#include "qel/msg/history.h"

namespace pyostrel {
namespace {

using bind::Message;
using namespace qel::msg;

void set_symbol_of(NetRequest& req, std::string market, std::vector<std::string> symbols) {
  set_symbol(req, std::move(market), std::move(symbols));
}
std::map<std::string, std::vector<std::string>> request_symbols(const NetRequest& req) {
  return symbol_map(req.symbols);
}

std::vector<std::pair<std::string, std::string>> symbol_data(const NetResponse& res) {
  std::vector<std::pair<std::string, std::string>> out;
  for (const MarketSymbols& m : res.symbol_data) {
    for (const std::string& s : m.symbols) out.emplace_back(m.market, s);
  }
  return out;
}
std::map<std::string, std::vector<std::string>> response_symbols(const NetResponse& res) {
  return symbol_map(res.symbol_data);
}

}  // namespace

const bool kDefined[] = {
    bind::define("NetRequest", "A paged history read: rows of symbols over a time range.", [](Message<NetRequest>& c) {
      c.method<&set_symbol_of>("set_symbol", {"market", "symbols"}, "",
                               "Sets the symbols of one market, replacing any set before.")
          .method<&request_symbols>("get_symbol_map", {}, "", "{market: [symbol]} of the request.")
          .encode()
          .decode();
    }),
    bind::define("NetResponse", "One page of a history read.", [](Message<NetResponse>& cls) {
      cls.method<&decode_history_page>("decode_string", {"data", "compressor"}, "NetResponse decode: ",
                                       "Decodes a page and its rows through the serializer's catalog.")
          .method<&symbol_data>("get_symbol_data", {}, "", "[(market, symbol)] of the page, in wire order.")
          .method<&response_symbols>("get_symbol_map", {}, "", "{market: [symbol]} of the page.");
      row_set<&NetResponse::rows>(cls, "rows", "Copies of the page's rows.");
    }),
    bind::define("NetBaseRequest", "Opens, cancels or closes a history session.",
                 [](Message<NetBaseRequest>& c) { c.encode().decode(); }),
    bind::define("NetBaseResponse", "The history service's plain reply.",
                 [](Message<NetBaseResponse>& c) { c.decode(); }),
    bind::define("HistoryErrorResponse", "A failed history request and its reason.",
                 [](Message<HistoryErrorResponse>& c) { c.decode(); }),
};

}  // namespace pyostrel
