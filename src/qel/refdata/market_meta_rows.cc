// Market meta bundle: the parts as rows, and the JSON texts those rows carry.
#include <string>
#include <vector>

#include "qel/refdata/market_meta.h"
#include "qel/text/json_writer.h"

namespace qel::refdata {

namespace {

using rows::SchemaKey;
using rows::StructValue;

// {"policy":[[a,b],[c,d]],...}
std::string render(const TradingPeriod& tp) {
  std::string out;
  text::JsonWriter w(out);
  w.begin_object();
  for (const auto& [name, sections] : tp) {
    w.key(name);
    w.begin_array();
    for (const auto& [start, end] : sections) {
      w.begin_array();
      w.number_int(start);
      w.number_int(end);
      w.end_array();
    }
    w.end_array();
  }
  w.end_object();
  return out;
}

// {"key":n,...}
std::string render(const std::map<std::string, std::int32_t>& m) {
  std::string out;
  text::JsonWriter w(out);
  w.begin_object();
  for (const auto& [k, v] : m) {
    w.key(k);
    w.number_int(v);
  }
  w.end_object();
  return out;
}

// {"key":"value",...}
std::string render(const TextMap& m) {
  std::string out;
  text::JsonWriter w(out);
  w.begin_object();
  for (const auto& [k, v] : m) {
    w.key(k);
    w.string(v);
  }
  w.end_object();
  return out;
}

// [n,...]
std::string render(const std::vector<std::int32_t>& v) {
  std::string out;
  text::JsonWriter w(out);
  w.begin_array();
  for (std::int32_t x : v) w.number_int(x);
  w.end_array();
  return out;
}

// ["text",...]
std::string render(const std::vector<std::string>& v) {
  std::string out;
  text::JsonWriter w(out);
  w.begin_array();
  for (const std::string& x : v) w.string(x);
  w.end_array();
  return out;
}

// {"days":[d,...]}
std::string render_suspend(const std::vector<std::int32_t>& days) { return "{\"days\":" + render(days) + "}"; }

// One element per row, in code order.
template <class Row, class F>
auto column(const Table<Row>& t, F&& f) {
  std::vector<std::decay_t<decltype(f(t.rows.front()))>> out;
  out.reserve(t.rows.size());
  for (const Row& row : t.rows) out.push_back(f(row));
  return out;
}

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
  StructValue sv = row_for(t.header, key);
  put(sv, t.header.rev, t.header.trade_day, column(t, [](const Security& r) { return r.code; }),
      column(t, [](const Security& r) { return r.name; }),
      column(t, [](const Security& r) { return r.abbreviation; }),
      column(t, [](const Security& r) { return r.category; }), column(t, [](const Security& r) { return r.state; }),
      column(t, [](const Security& r) { return r.last_close; }),
      column(t, [](const Security& r) { return r.dividend_ratio; }),
      column(t, [](const Security& r) { return r.lists_at; }),
      column(t, [](const Security& r) { return render_suspend(r.suspend_days); }));
  return sv;
}

StructValue dividend_row(const Table<Dividend>& t, SchemaKey key) {
  StructValue sv = row_for(t.header, key);
  put(sv, t.header.rev, t.header.trade_day, column(t, [](const Dividend& r) { return r.code; }),
      column(t, [](const Dividend& r) { return r.operation; }), column(t, [](const Dividend& r) { return r.bonus; }),
      column(t, [](const Dividend& r) { return r.interest; }),
      column(t, [](const Dividend& r) { return r.allotment; }),
      column(t, [](const Dividend& r) { return r.allotment_price; }),
      column(t, [](const Dividend& r) { return r.bonus_share; }));
  return sv;
}

StructValue stock_row(const Table<Stock>& t, SchemaKey key) {
  StructValue sv = row_for(t.header, key);
  put(sv, t.header.rev, t.header.trade_day, column(t, [](const Stock& r) { return r.code; }),
      column(t, [](const Stock& r) { return r.name; }),
      column(t, [](const Stock& r) { return render(r.historical_names); }),
      column(t, [](const Stock& r) { return render(r.historical_name_days); }),
      column(t, [](const Stock& r) { return r.list_day; }), column(t, [](const Stock& r) { return r.begin_shares; }),
      column(t, [](const Stock& r) { return r.list_shares; }), column(t, [](const Stock& r) { return r.list_price; }),
      column(t, [](const Stock& r) { return r.unlimit_shares; }),
      column(t, [](const Stock& r) { return r.limit_shares; }));
  return sv;
}

StructValue commodity_row(const Table<Commodity>& t, SchemaKey key) {
  StructValue sv = row_for(t.header, key);
  put(sv, t.header.rev, t.header.trade_day, column(t, [](const Commodity& r) { return r.code; }),
      column(t, [](const Commodity& r) { return r.name; }),
      column(t, [](const Commodity& r) { return render(r.historical_names); }),
      column(t, [](const Commodity& r) { return render(r.historical_name_days); }),
      column(t, [](const Commodity& r) { return render(r.trade_period); }),
      column(t, [](const Commodity& r) { return r.uom; }),
      column(t, [](const Commodity& r) { return r.volume_multiplier; }),
      column(t, [](const Commodity& r) { return r.surge_limit; }),
      column(t, [](const Commodity& r) { return r.plunge_limit; }),
      column(t, [](const Commodity& r) { return r.margin; }),
      column(t, [](const Commodity& r) { return r.commission; }),
      column(t, [](const Commodity& r) { return r.settlement_day_ord; }),
      column(t, [](const Commodity& r) { return r.last_trade_day_ord; }),
      column(t, [](const Commodity& r) { return r.min_variation_unit; }),
      column(t, [](const Commodity& r) { return r.delivery_month_ord; }),
      column(t, [](const Commodity& r) { return render(r.extra); }));
  return sv;
}

StructValue futures_row(const Table<Future>& t, SchemaKey key) {
  StructValue sv = row_for(t.header, key);
  put(sv, t.header.rev, t.header.trade_day, column(t, [](const Future& r) { return r.code; }),
      column(t, [](const Future& r) { return r.name; }), column(t, [](const Future& r) { return r.commodity; }),
      column(t, [](const Future& r) { return render(r.trade_period); }),
      column(t, [](const Future& r) { return r.uom; }),
      column(t, [](const Future& r) { return r.volume_multiplier; }),
      column(t, [](const Future& r) { return r.max_market_order_vol; }),
      column(t, [](const Future& r) { return r.min_market_order_vol; }),
      column(t, [](const Future& r) { return r.max_limit_order_vol; }),
      column(t, [](const Future& r) { return r.min_limit_order_vol; }),
      column(t, [](const Future& r) { return r.margin; }), column(t, [](const Future& r) { return r.commission; }),
      column(t, [](const Future& r) { return r.price_tick; }),
      column(t, [](const Future& r) { return r.expires_at; }),
      column(t, [](const Future& r) { return r.start_delivery_date; }),
      column(t, [](const Future& r) { return r.end_delivery_date; }),
      column(t, [](const Future& r) { return r.real_contract_code; }),
      column(t, [](const Future& r) { return render(r.extra); }));
  return sv;
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
