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
        .accessors<&Commission::open_rate_by_volume>("open_rate_by_volume")
        .accessors<&Commission::open_rate_by_money>("open_rate_by_money")
        .accessors<&Commission::close_rate_by_volume>("close_rate_by_volume")
        .accessors<&Commission::close_rate_by_money>("close_rate_by_money")
        .accessors<&Commission::today_close_rate_by_volume>("today_close_rate_by_volume")
        .accessors<&Commission::today_close_rate_by_money>("today_close_rate_by_money")
        .accessors<&Commission::order_rate_by_volume>("order_rate_by_volume")
        .accessors<&Commission::order_rate_by_money>("order_rate_by_money")
        .method<&commission_load>("load", {"json"}, "Commission.load: ",
                                  "Sets each rate the JSON object holds as a number; other values change nothing.")
        .method<&Commission::calculate>(
            "calculate", {"volume", "price", "direction", "open_close", "is_today", "multiplier"}, "",
            "The commission of one fill, each step a single-rounding fused multiply-add.")
        .build();
  });
}

PyTypeObject* market_meta_type() noexcept {
  return bind::type_of<MarketMeta>([] {
    return Class<MarketMeta>("MarketMeta", "One market's reference data, as loaded from a bundle.", Construct::none)
        .method<&MarketMeta::market_code>("market_code", {}, "", "The market code of the market_info part.")
        .method<&to_sv>("to_sv", {"index_data_map"}, "",
                        "One StructValue per present part whose row type the map resolves.")
        .build();
  });
}

PyTypeObject* market_info_type() noexcept {
  return bind::type_of<MarketInfo>([] {
    return Class<MarketInfo>("MarketInfo", "A market's own description: name, currency, time zone, trading periods.")
        .method<&info_market_code>("get_market_code")
        .getter<&MarketInfo::name>("get_name")
        .method<&info_trade_day>("get_trade_day")
        .build();
  });
}

bool add_market_meta_functions(PyObject* module) noexcept {
  return bind::add_function<&load_bundle>(module, "load_market_meta_from_json_str", {"json_bytes"}, "",
                                          "A list of MarketMeta, one per element of the bundle's \"markets\".");
}

}  // namespace pyostrel
