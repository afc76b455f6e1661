// Market meta bundle: one market's reference data, its JSON loader and its rows.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "qel/rows/schema.h"
#include "qel/rows/struct_value.h"

namespace qel::refdata {

// What every part starts with.
struct PartHeader {
  std::string market_code;
  std::int32_t trade_day = 0;
  std::int32_t rev = 0;
  std::uint64_t time_tag = 0;
  bool operator==(const PartHeader&) const = default;
};

// Policy name -> [start, end] sections, each list ascending.
using TradingPeriod = std::map<std::string, std::vector<std::pair<std::int32_t, std::int32_t>>>;
using TextMap = std::map<std::string, std::string>;

struct MarketInfo {
  PartHeader header;
  std::string name;
  std::string currency;
  std::int32_t time_zone = 0;
  std::int32_t start_day = 0;
  std::int32_t begin_day = 0;
  TradingPeriod trading_period;
  std::map<std::string, std::int32_t> revs;
  TextMap extra;
  bool operator==(const MarketInfo&) const = default;
};

struct Holidays {
  PartHeader header;
  std::vector<std::int32_t> days;  // YYYYMMDD
  bool operator==(const Holidays&) const = default;
};

struct Security {
  std::string code;
  std::string name;
  std::string abbreviation;
  std::int32_t category = 0;  // 0..10
  std::int32_t state = 0;     // 0..3
  double last_close = 0.0;
  double dividend_ratio = 0.0;
  std::int32_t lists_at = 0;
  std::vector<std::int32_t> suspend_days;
  bool operator==(const Security&) const = default;
};

struct Dividend {
  std::string code;
  std::int32_t operation = 0;
  double bonus = 0.0;
  double interest = 0.0;
  double allotment = 0.0;
  double allotment_price = 0.0;
  double bonus_share = 0.0;
  bool operator==(const Dividend&) const = default;
};

struct Stock {
  std::string code;
  std::string name;
  std::vector<std::string> historical_names;
  std::vector<std::int32_t> historical_name_days;
  std::int32_t list_day = 0;
  std::int64_t begin_shares = 0;
  std::int64_t list_shares = 0;
  double list_price = 0.0;
  std::int64_t unlimit_shares = 0;
  std::int64_t limit_shares = 0;
  bool operator==(const Stock&) const = default;
};

// `margin` and `commission` hold their JSON objects already rendered (compact,
// keys ascending at every level, members of any type kept as they are); a row
// without one holds "{}".
struct Commodity {
  std::string code;
  std::string name;
  std::vector<std::string> historical_names;
  std::vector<std::int32_t> historical_name_days;
  TradingPeriod trade_period;
  std::string uom;
  std::int32_t volume_multiplier = 0;
  double surge_limit = 0.0;
  double plunge_limit = 0.0;
  std::string margin = "{}";
  std::string commission = "{}";
  std::int32_t settlement_day_ord = 0;
  std::int32_t last_trade_day_ord = 0;
  double min_variation_unit = 0.0;
  std::string delivery_month_ord;
  TextMap extra;
  bool operator==(const Commodity&) const = default;
};

struct Future {
  std::string code;
  std::string name;
  std::string commodity;
  TradingPeriod trade_period;
  std::string uom;
  std::int32_t volume_multiplier = 0;
  std::int32_t max_market_order_vol = 0;
  std::int32_t min_market_order_vol = 0;
  std::int32_t max_limit_order_vol = 0;
  std::int32_t min_limit_order_vol = 0;
  std::string margin = "{}";
  std::string commission = "{}";
  double price_tick = 0.0;
  std::int32_t expires_at = 0;
  std::int32_t start_delivery_date = 0;
  std::int32_t end_delivery_date = 0;
  std::string real_contract_code;
  TextMap extra;
  bool operator==(const Future&) const = default;
};

// Rows in ascending byte order of their codes, one row per code.
template <class Row>
struct Table {
  PartHeader header;
  std::vector<Row> rows;
  bool operator==(const Table&) const = default;
};

// One market; a part absent from the bundle stays absent.
struct MarketMeta {
  std::optional<MarketInfo> market_info;
  std::optional<Holidays> holidays;
  std::optional<Table<Security>> securities;
  std::optional<Table<Dividend>> dividends;
  std::optional<Table<Stock>> stocks;
  std::optional<Table<Commodity>> commodities;
  std::optional<Table<Future>> futures;

  // The market_info part's market code; empty when that part is absent.
  std::string market_code() const;

  // One row per present part whose qualified name "<ns>::<part>" the index
  // resolves, in the order Market, Holiday, Security, Dividend, Stock,
  // Commodity, Futures (those are the part names). <ns> is the text before the
  // first "::" of the index's first name (the whole name if it has none), or
  // "global" for an empty index. Each row's header: the resolved namespace and
  // meta id, the part's market code as market and stock code, its time tag,
  // granularity 0.
  std::vector<rows::StructValue> to_sv(const rows::NameIndex& index) const;

  bool operator==(const MarketMeta&) const = default;
};

// Parses a bundle {"markets": [...]}: one MarketMeta per element, in order.
// Throws qel::Error with the whole message (callers add no prefix):
//   "load_market_meta_from_json_str: bad JSON: <parser's description>"
//   "load_market_meta_from_json_str: bad JSON in '<key>': <description>" for a
//       JSON text nested in a string value (an empty text reads as {})
//   "load_market_meta_from_json_str: top-level 'markets' array missing"
//   "missing/!int field '<key>'", "missing/!string field '<key>'",
//   "missing/!array field '<key>'" for a required key absent or mistyped
//   "out-of-range int field '<key>'" for an integer its field cannot hold
// The first error ends the call.
std::vector<MarketMeta> load_market_meta_from_json_str(std::string_view json);

}  // namespace qel::refdata
