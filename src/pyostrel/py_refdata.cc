// Python classes of market reference data: Commission, MarketMeta, MarketInfo
// and the bundle loader.
#include "pyostrel/py_refdata.h"

#include <string>
#include <string_view>
#include <vector>

#include "pyostrel/bind/class.h"
#include "pyostrel/bind/function.h"
#include "qel/refdata/commission.h"
#include "qel/refdata/market_meta.h"

namespace pyostrel {
namespace {

using bind::Blob;
using bind::Class;
using bind::Construct;
using bind::Shared;
using qel::refdata::Commission;
using qel::refdata::MarketInfo;
using qel::refdata::MarketMeta;

std::string_view text_of(Blob b) { return {reinterpret_cast<const char*>(b.bytes.data()), b.bytes.size()}; }

void commission_load(Commission& c, Blob json) { c.load(text_of(json)); }

std::vector<qel::rows::StructValue> to_sv(const MarketMeta& m, Shared<qel::rows::NameIndex> index_data_map) {
  return m.to_sv(*index_data_map);
}

const std::string& info_market_code(const MarketInfo& m) { return m.header.market_code; }
std::int32_t info_trade_day(const MarketInfo& m) { return m.header.trade_day; }

std::vector<MarketMeta> load_bundle(Blob json_bytes) {
  return qel::refdata::load_market_meta_from_json_str(text_of(json_bytes));
}

}  // namespace

PyTypeObject* commission_type() noexcept {
  return bind::type_of<Commission>([] {
    return Class<Commission>("Commission", "A commission schedule: eight rates and the per-fill formula.")
        .accessors<&Commission::open_rate_by_volume>("open_rate_by_volume",
                                                     "the rate per unit of volume of an opening fill (float)")
        .accessors<&Commission::open_rate_by_money>("open_rate_by_money",
                                                    "the rate per unit of money of an opening fill (float)")
        .accessors<&Commission::close_rate_by_volume>("close_rate_by_volume",
                                                      "the rate per unit of volume of a closing fill (float)")
        .accessors<&Commission::close_rate_by_money>("close_rate_by_money",
                                                     "the rate per unit of money of a closing fill (float)")
        .accessors<&Commission::today_close_rate_by_volume>(
            "today_close_rate_by_volume", "the rate per unit of volume closing a position opened today (float)")
        .accessors<&Commission::today_close_rate_by_money>(
            "today_close_rate_by_money", "the rate per unit of money closing a position opened today (float)")
        .accessors<&Commission::order_rate_by_volume>("order_rate_by_volume",
                                                      "the rate per unit of volume added to every fill (float)")
        .accessors<&Commission::order_rate_by_money>("order_rate_by_money",
                                                     "the rate per unit of money added to every fill (float)")
        .method<&commission_load>("load", {"json"}, "Commission.load: ",
                                  "Sets each rate that the JSON object in json (bytes) holds as a number; other values "
                                  "change nothing. Raises Exception \"Commission.load: invalid JSON: ...\".")
        .method<&Commission::calculate>(
            "calculate", {"volume", "price", "direction", "open_close", "is_today", "multiplier"}, "",
            "The commission of one fill of volume at price (floats), each step a single-rounding fused multiply-add; "
            "open_close is 48 (open) or 49 (close), direction a u8 that takes no part.")
        .build();
  });
}

PyTypeObject* market_meta_type() noexcept {
  return bind::type_of<MarketMeta>([] {
    return Class<MarketMeta>("MarketMeta",
                             "One market's reference data. Not constructible: instances come only from "
                             "load_market_meta_from_json_str().",
                             Construct::none)
        .method<&MarketMeta::market_code>("market_code", {}, "", "The market code of the market_info part.")
        .method<&to_sv>("to_sv", {"index_data_map"}, "",
                        "One StructValue per present part whose row type the PyIndexDataMap resolves; others are "
                        "left out.")
        .build();
  });
}

PyTypeObject* market_info_type() noexcept {
  return bind::type_of<MarketInfo>([] {
    return Class<MarketInfo>("MarketInfo", "A market's own description: name, currency, time zone, trading periods.")
        .method<&info_market_code>("get_market_code", {}, "", "Returns the market code (bytes).")
        .getter<&MarketInfo::name>("get_name", "Returns the market's name (bytes).")
        .method<&info_trade_day>("get_trade_day", {}, "", "Returns the trade day of the description (YYYYMMDD int).")
        .build();
  });
}

bool add_market_meta_functions(PyObject* module) noexcept {
  return bind::add_function<&load_bundle>(module, "load_market_meta_from_json_str", {"json_bytes"}, "",
                                          "A list of MarketMeta, one per element of the bundle's \"markets\"; "
                                          "json_bytes must be bytes. Raises Exception on bad JSON or a missing field.");
}

}  // namespace pyostrel
