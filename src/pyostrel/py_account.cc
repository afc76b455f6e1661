// Python classes of accounts and manual trading.

#include <cstdint>
#include <string>
#include <tuple>

#include "pyostrel/bind/message.h"
#include "qel/msg/account.h"

namespace pyostrel {
namespace {

using bind::Message;
using namespace qel::msg;

std::size_t basket_count(const ATAccountEditRes& res) { return res.baskets.size(); }
const std::string& basket_uuid(const ATAccountEditRes& res, std::int64_t i) { return basket_at(res, i).basket_uuid; }
double basket_capital(const ATAccountEditRes& res, std::int64_t i) { return basket_at(res, i).capital; }
double basket_cash(const ATAccountEditRes& res, std::int64_t i) { return basket_at(res, i).cash; }
std::size_t position_count(const ATAccountEditRes& res, std::int64_t i) { return basket_at(res, i).positions.size(); }
std::tuple<std::string, std::string, std::int64_t, double> position(const ATAccountEditRes& res, std::int64_t i,
                                                                    std::int64_t j) {
  const PositionPreview& p = position_at(res, i, j);
  return {p.market, p.code, p.volume, p.cost};
}

void close_price_none(ATManualTradeReq& req) { req.close_price = {}; }
void close_price_cancel_range(ATManualTradeReq& req, double lower, double upper) {
  req.close_price = {ClosePrice::kCancelRange, lower, upper};
}
void close_price_pl_stop(ATManualTradeReq& req, double profit, double loss) {
  req.close_price = {ClosePrice::kProfitLossStop, profit, loss};
}

}  // namespace

const bool kDefined[] = {
    bind::define("ATAccountEditReq", "Edits an account; operation is 1..10.",
                 [](Message<ATAccountEditReq>& c) { c.encode(); }),
    bind::define("ATAccountAddReq", "Opens an account.", [](Message<ATAccountAddReq>& c) { c.encode(); }),
    bind::define(
        "ATAccountAddRes", "An opened account; a body ending after the base response is complete.",
        [](Message<ATAccountAddRes>& c) {
          c.decode(
              "Reads the body buf (bytes); one ending right after the base response leaves the uuids empty and the "
              "account type 0. Raises Exception \"ATAccountAddRes decode: ...\" on any other short or malformed "
              "body, and then changes nothing.");
        }),
    bind::define("ATAccountChangeCapitalReq", "Adds to or withdraws a basket's capital.",
                 [](Message<ATAccountChangeCapitalReq>& c) { c.encode(); }),
    bind::define("ATAccountChangeCapitalRes", "The base response only.",
                 [](Message<ATAccountChangeCapitalRes>& c) { c.decode(); }),
    bind::define(
        "ATAccountEditRes", "The account as an edit leaves it, basket by basket.",
        [](Message<ATAccountEditRes>& c) {
          c.decode()
              .method<&basket_count>("get_basket_count", {}, "", "The number of baskets.")
              .method<&basket_uuid>("get_basket_uuid", {"i"}, "", "The uuid of basket i.")
              .method<&basket_capital>("get_basket_capital", {"i"}, "", "The capital of basket i.")
              .method<&basket_cash>("get_basket_cash", {"i"}, "", "The cash of basket i.")
              .method<&position_count>("get_position_count", {"i"}, "", "The number of positions in basket i.")
              .method<&position>("get_position", {"i", "j"}, "",
                                 "(market, code, volume, cost) of position j of basket i.");
        }),
    bind::define("ATManualTradeReq", "Places a manual order.", [](Message<ATManualTradeReq>& c) {
      c.method<&close_price_none>("set_close_price_none", {}, "", "No close condition (the default).")
          .method<&close_price_cancel_range>("set_close_price_cancel_range", {"lower", "upper"}, "",
                                             "Cancel the order once the price leaves [lower, upper].")
          .method<&close_price_pl_stop>("set_close_price_pl_stop", {"profit", "loss"}, "",
                                        "Close the position at a profit or a loss stop price.")
          .encode();
    }),
    bind::define("ATManualTradeEditReq", "Amends a manual order.",
                 [](Message<ATManualTradeEditReq>& c) { c.encode(); }),
    bind::define("ATManualTradeRes", "A manual order's reply; decode never raises.", [](Message<ATManualTradeRes>& c) {
      c.decode(
          "Reads the base response from buf (bytes), then the trailer if the body goes on; never raises on its "
          "content (a trailer that cannot be read leaves every field at its default).");
    }),
};

}  // namespace pyostrel
