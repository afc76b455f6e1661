// Market meta bundle: the parts as rows, and the JSON texts those rows carry.
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "qel/refdata/market_meta.h"
#include "qel/text/json_writer.h"

namespace qel::refdata {

namespace {

using rows::SchemaKey;
using rows::StructValue;

// JSON of the part's nested values: numbers and texts as they are, a pair (a section) as [a,b], a list as an
// array, a map as an object in key order.
void write(text::JsonWriter& w, std::int32_t v) { w.number_int(v); }
void write(text::JsonWriter& w, const std::string& v) { w.string(v); }
template <class A, class B>
void write(text::JsonWriter& w, const std::pair<A, B>& p);
template <class V>
void write(text::JsonWriter& w, const std::vector<V>& v) {
  w.begin_array();
  for (const V& x : v) write(w, x);
  w.end_array();
}
template <class V>
void write(text::JsonWriter& w, const std::map<std::string, V>& m) {
  w.begin_object();
  for (const auto& [k, v] : m) {
    w.key(k);
    write(w, v);
  }
  w.end_object();
}
template <class A, class B>
void write(text::JsonWriter& w, const std::pair<A, B>& p) {
  w.begin_array();
  write(w, p.first);
  write(w, p.second);
  w.end_array();
}

template <class V>
std::string render(const V& v) {
  return text::json_text([&](text::JsonWriter& w) { write(w, v); });
}

// {"days":[d,...]}
std::string render_suspend(const std::vector<std::int32_t>& days) { return "{\"days\":" + render(days) + "}"; }

// One element per row, in code order: a member, or what a function makes of the row.
template <class Row, class F>
auto column(const Table<Row>& t, F f) {
  std::vector<std::decay_t<std::invoke_result_t<F, const Row&>>> out;
  out.reserve(t.rows.size());
  for (const Row& row : t.rows) out.push_back(std::invoke(f, row));
  return out;
}

// A member as its JSON text.
template <auto M>
constexpr auto rendered = [](const auto& row) { return render(row.*M); };

StructValue row_for(const PartHeader& h, SchemaKey key) {
  StructValue sv;
  sv.market = h.market_code;
  sv.stock_code = h.market_code;
  sv.time_tag = h.time_tag;
  sv.namespace_ = key.first;
  sv.meta_id = static_cast<std::int32_t>(key.second);
  return sv;
}

template <class... V>
void put(StructValue& sv, const V&... values) {
  (sv.fields.emplace_back(values), ...);
}

// The row of a table part: its revision and trade day, then one list per column.
template <class Row, class... F>
StructValue table_row(const Table<Row>& t, SchemaKey key, F... columns) {
  StructValue sv = row_for(t.header, key);
  put(sv, t.header.rev, t.header.trade_day, column(t, columns)...);
  return sv;
}

StructValue market_row(const MarketInfo& m, SchemaKey key) {
  StructValue sv = row_for(m.header, key);
  put(sv, m.header.trade_day, m.name, m.time_zone, m.currency, render(m.trading_period), m.start_day, m.begin_day,
      render(m.revs), render(m.extra));
  return sv;
}

StructValue holiday_row(const Holidays& h, SchemaKey key) {
  StructValue sv = row_for(h.header, key);
  put(sv, h.header.rev, h.header.trade_day, h.days);
  return sv;
}

StructValue security_row(const Table<Security>& t, SchemaKey key) {
  return table_row(t, key, &Security::code, &Security::name, &Security::abbreviation, &Security::category,
                   &Security::state, &Security::last_close, &Security::dividend_ratio, &Security::lists_at,
                   [](const Security& r) { return render_suspend(r.suspend_days); });
}

StructValue dividend_row(const Table<Dividend>& t, SchemaKey key) {
  return table_row(t, key, &Dividend::code, &Dividend::operation, &Dividend::bonus, &Dividend::interest,
                   &Dividend::allotment, &Dividend::allotment_price, &Dividend::bonus_share);
}

StructValue stock_row(const Table<Stock>& t, SchemaKey key) {
  return table_row(t, key, &Stock::code, &Stock::name, rendered<&Stock::historical_names>,
                   rendered<&Stock::historical_name_days>, &Stock::list_day, &Stock::begin_shares, &Stock::list_shares,
                   &Stock::list_price, &Stock::unlimit_shares, &Stock::limit_shares);
}

StructValue commodity_row(const Table<Commodity>& t, SchemaKey key) {
  return table_row(t, key, &Commodity::code, &Commodity::name, rendered<&Commodity::historical_names>,
                   rendered<&Commodity::historical_name_days>, rendered<&Commodity::trade_period>, &Commodity::uom,
                   &Commodity::volume_multiplier, &Commodity::surge_limit, &Commodity::plunge_limit, &Commodity::margin,
                   &Commodity::commission, &Commodity::settlement_day_ord, &Commodity::last_trade_day_ord,
                   &Commodity::min_variation_unit, &Commodity::delivery_month_ord, rendered<&Commodity::extra>);
}

StructValue futures_row(const Table<Future>& t, SchemaKey key) {
  return table_row(t, key, &Future::code, &Future::name, &Future::commodity, rendered<&Future::trade_period>,
                   &Future::uom, &Future::volume_multiplier, &Future::max_market_order_vol,
                   &Future::min_market_order_vol, &Future::max_limit_order_vol, &Future::min_limit_order_vol,
                   &Future::margin, &Future::commission, &Future::price_tick, &Future::expires_at,
                   &Future::start_delivery_date, &Future::end_delivery_date, &Future::real_contract_code,
                   rendered<&Future::extra>);
}

}  // namespace

std::string MarketMeta::market_code() const { return market_info ? market_info->header.market_code : std::string(); }

std::vector<StructValue> MarketMeta::to_sv(const rows::NameIndex& index) const {
  std::string ns = "global";
  if (!index.by_name.empty()) {
    const std::string& first = index.by_name.begin()->first;
    ns = first.substr(0, first.find("::"));
  }
  const auto lookup = [&](const char* part) -> const SchemaKey* {
    const auto it = index.by_name.find(ns + "::" + part);
    return it == index.by_name.end() ? nullptr : &it->second;
  };
  std::vector<StructValue> out;
  if (const SchemaKey* k = lookup("Market"); market_info && k) out.push_back(market_row(*market_info, *k));
  if (const SchemaKey* k = lookup("Holiday"); holidays && k) out.push_back(holiday_row(*holidays, *k));
  if (const SchemaKey* k = lookup("Security"); securities && k) out.push_back(security_row(*securities, *k));
  if (const SchemaKey* k = lookup("Dividend"); dividends && k) out.push_back(dividend_row(*dividends, *k));
  if (const SchemaKey* k = lookup("Stock"); stocks && k) out.push_back(stock_row(*stocks, *k));
  if (const SchemaKey* k = lookup("Commodity"); commodities && k) out.push_back(commodity_row(*commodities, *k));
  if (const SchemaKey* k = lookup("Futures"); futures && k) out.push_back(futures_row(*futures, *k));
  return out;
}

}  // namespace qel::refdata
