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
#include "pyostrel/bind/state.h"

// A market meta's parts and rows, as nested tuples of its state.
namespace pyostrel::bind {

namespace rd = qel::refdata;

template <>
struct RecordState<rd::PartHeader>
    : Fields<&rd::PartHeader::market_code, &rd::PartHeader::trade_day, &rd::PartHeader::rev,
             &rd::PartHeader::time_tag> {};
template <>
struct RecordState<rd::MarketInfo>
    : Fields<&rd::MarketInfo::header, &rd::MarketInfo::name, &rd::MarketInfo::currency, &rd::MarketInfo::time_zone,
             &rd::MarketInfo::start_day, &rd::MarketInfo::begin_day, &rd::MarketInfo::trading_period,
             &rd::MarketInfo::revs, &rd::MarketInfo::extra> {};
template <>
struct RecordState<rd::Holidays> : Fields<&rd::Holidays::header, &rd::Holidays::days> {};
template <>
struct RecordState<rd::Security>
    : Fields<&rd::Security::code, &rd::Security::name, &rd::Security::abbreviation, &rd::Security::category,
             &rd::Security::state, &rd::Security::last_close, &rd::Security::dividend_ratio, &rd::Security::lists_at,
             &rd::Security::suspend_days> {};
template <>
struct RecordState<rd::Dividend>
    : Fields<&rd::Dividend::code, &rd::Dividend::operation, &rd::Dividend::bonus, &rd::Dividend::interest,
             &rd::Dividend::allotment, &rd::Dividend::allotment_price, &rd::Dividend::bonus_share> {};
template <>
struct RecordState<rd::Stock>
    : Fields<&rd::Stock::code, &rd::Stock::name, &rd::Stock::historical_names, &rd::Stock::historical_name_days,
             &rd::Stock::list_day, &rd::Stock::begin_shares, &rd::Stock::list_shares, &rd::Stock::list_price,
             &rd::Stock::unlimit_shares, &rd::Stock::limit_shares> {};
template <>
struct RecordState<rd::Commodity>
    : Fields<&rd::Commodity::code, &rd::Commodity::name, &rd::Commodity::historical_names,
             &rd::Commodity::historical_name_days, &rd::Commodity::trade_period, &rd::Commodity::uom,
             &rd::Commodity::volume_multiplier, &rd::Commodity::surge_limit, &rd::Commodity::plunge_limit,
             &rd::Commodity::margin, &rd::Commodity::commission, &rd::Commodity::settlement_day_ord,
             &rd::Commodity::last_trade_day_ord, &rd::Commodity::min_variation_unit,
             &rd::Commodity::delivery_month_ord, &rd::Commodity::extra> {};
template <>
struct RecordState<rd::Future>
    : Fields<&rd::Future::code, &rd::Future::name, &rd::Future::commodity, &rd::Future::trade_period,
             &rd::Future::uom, &rd::Future::volume_multiplier, &rd::Future::max_market_order_vol,
             &rd::Future::min_market_order_vol, &rd::Future::max_limit_order_vol, &rd::Future::min_limit_order_vol,
             &rd::Future::margin, &rd::Future::commission, &rd::Future::price_tick, &rd::Future::expires_at,
             &rd::Future::start_delivery_date, &rd::Future::end_delivery_date, &rd::Future::real_contract_code,
             &rd::Future::extra> {};

// A table keeps its rows in strictly ascending byte order of their codes.
template <class Row>
struct RecordState<rd::Table<Row>> : Fields<&rd::Table<Row>::header, &rd::Table<Row>::rows> {
  static void check(const rd::Table<Row>& t) {
    for (std::size_t i = 1; i < t.rows.size(); ++i) {
      if (!(t.rows[i - 1].code < t.rows[i].code)) {
        throw qel::Error("table rows are not in ascending order of their codes at row " + std::to_string(i));
      }
    }
  }
};

}  // namespace pyostrel::bind

namespace pyostrel {
namespace {

using bind::Blob;
using bind::Class;
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

// ---- states and reprs ---------------------------------------------------------

using CommissionState =
    bind::Fields<&Commission::open_rate_by_volume, &Commission::open_rate_by_money, &Commission::close_rate_by_volume,
                 &Commission::close_rate_by_money, &Commission::today_close_rate_by_volume,
                 &Commission::today_close_rate_by_money, &Commission::order_rate_by_volume,
                 &Commission::order_rate_by_money>;
constexpr const char* kCommissionNames[] = {
    "open_rate_by_volume",        "open_rate_by_money",       "close_rate_by_volume", "close_rate_by_money",
    "today_close_rate_by_volume", "today_close_rate_by_money", "order_rate_by_volume", "order_rate_by_money"};

bind::Ref commission_repr(const Commission& c) {
  return bind::fields_repr<CommissionState>("Commission", c, kCommissionNames);
}

using MarketInfoState = bind::RecordState<MarketInfo>;
constexpr const char* kMarketInfoNames[] = {"header",    "name",           "currency", "time_zone", "start_day",
                                            "begin_day", "trading_period", "revs",     "extra"};

bind::Ref market_info_repr(const MarketInfo& m) {
  return bind::fields_repr<MarketInfoState>("MarketInfo", m, kMarketInfoNames);
}

// (market_info, holidays, securities, dividends, stocks, commodities, futures),
// None for an absent part.
using MarketMetaState = bind::Fields<&MarketMeta::market_info, &MarketMeta::holidays, &MarketMeta::securities,
                                     &MarketMeta::dividends, &MarketMeta::stocks, &MarketMeta::commodities,
                                     &MarketMeta::futures>;

bind::Ref checked(PyObject* text) {
  if (!text) throw bind::PythonErrorSet{};
  return bind::Ref(text);
}

// "<n unit(s)>" for a present part, "None" for an absent one.
template <class Part, class Count>
bind::Ref part_size(const std::optional<Part>& part, const char* unit, Count&& count) {
  if (!part) return checked(PyUnicode_FromString("None"));
  const std::size_t n = count(*part);
  return checked(PyUnicode_FromFormat("<%zu %s%s>", n, unit, n == 1 ? "" : "s"));
}

template <class Row>
bind::Ref table_size(const std::optional<qel::refdata::Table<Row>>& table) {
  return part_size(table, "row", [](const qel::refdata::Table<Row>& t) { return t.rows.size(); });
}

// Holidays and tables by their sizes: a market's tables run to thousands of rows.
bind::Ref market_meta_repr(const MarketMeta& m) {
  bind::Ref info = m.market_info ? market_info_repr(*m.market_info) : checked(PyUnicode_FromString("None"));
  bind::Ref holidays = part_size(m.holidays, "day", [](const qel::refdata::Holidays& h) { return h.days.size(); });
  bind::Ref securities = table_size(m.securities), dividends = table_size(m.dividends), stocks = table_size(m.stocks);
  bind::Ref commodities = table_size(m.commodities), futures = table_size(m.futures);
  return checked(PyUnicode_FromFormat(
      "MarketMeta(market_info=%U, holidays=%U, securities=%U, dividends=%U, stocks=%U, commodities=%U, futures=%U)",
      info.get(), holidays.get(), securities.get(), dividends.get(), stocks.get(), commodities.get(), futures.get()));
}

}  // namespace

const bool kDefined[] = {
    bind::define(
        "Commission", "A commission schedule: eight rates and the per-fill formula.",
        [](Class<Commission>& c) {
          c.accessors<&Commission::open_rate_by_volume>("open_rate_by_volume",
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
              .picklable<CommissionState>()
              .repr<&commission_repr>()
              .method<&commission_load>("load", {"json"}, "Commission.load: ",
                                        "Sets each rate that the JSON object in json (bytes) holds as a number; other "
                                        "values change nothing. Raises Exception \"Commission.load: invalid JSON: "
                                        "...\".")
              .method<&Commission::calculate>(
                  "calculate", {"volume", "price", "direction", "open_close", "is_today", "multiplier"}, "",
                  "The commission of one fill of volume at price (floats), each step a single-rounding fused "
                  "multiply-add; open_close is 48 (open) or 49 (close), direction a u8 that takes no part.");
        }),
    bind::define(
        "MarketMeta",
        "One market's reference data. Not constructible: instances come only from "
        "load_market_meta_from_json_str().",
        [](Class<MarketMeta>& c) {
          c.no_constructor()
              .picklable<MarketMetaState>()
              .repr<&market_meta_repr>()
              .method<&MarketMeta::market_code>("market_code", {}, "", "The market code of the market_info part.")
              .method<&to_sv>("to_sv", {"index_data_map"}, "",
                              "One StructValue per present part whose row type the PyIndexDataMap resolves; others are "
                              "left out.");
        }),
    bind::define(
        "MarketInfo", "A market's own description: name, currency, time zone, trading periods.",
        [](Class<MarketInfo>& c) {
          c.picklable<MarketInfoState>()
              .repr<&market_info_repr>()
              .method<&info_market_code>("get_market_code", {}, "", "Returns the market code (bytes).")
              .getter<&MarketInfo::name>("get_name", "Returns the market's name (bytes).")
              .method<&info_trade_day>("get_trade_day", {}, "",
                                       "Returns the trade day of the description (YYYYMMDD int).");
        }),
};

bool add_market_meta_functions(PyObject* module) noexcept {
  return bind::add_function<&load_bundle>(module, "load_market_meta_from_json_str", {"json_bytes"}, "",
                                          "A list of MarketMeta, one per element of the bundle's \"markets\"; "
                                          "json_bytes must be bytes. Raises Exception on bad JSON or a missing field.");
}

}  // namespace pyostrel
