// Market meta bundle: the JSON loader.
#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "qel/error.h"
#include "qel/refdata/json_read.h"
#include "qel/refdata/market_meta.h"
#include "qel/text/json_writer.h"

namespace qel::refdata {

namespace {

using json::array;
using json::element;
using json::element_type;
using json::object;

constexpr std::string_view kPrefix = "load_market_meta_from_json_str: ";

[[noreturn]] void throw_missing(std::string_view kind, std::string_view key) {
  throw Error("missing/!" + std::string(kind) + " field '" + std::string(key) + "'");
}

std::int32_t required_int(object o, std::string_view key) {
  if (const auto e = json::member(o, key)) {
    if (const auto v = json::as_integer<std::int32_t>(*e, key)) return *v;
  }
  throw_missing("int", key);
}

std::string_view required_string(object o, std::string_view key) {
  if (const auto e = json::member(o, key)) {
    if (const auto v = json::as_string(*e)) return *v;
  }
  throw_missing("string", key);
}

array required_array(object o, std::string_view key) {
  if (const auto e = json::member(o, key)) {
    if (const auto v = json::as_array(*e)) return *v;
  }
  throw_missing("array", key);
}

// An optional integer: absent or not an integer reads as 0.
template <class T>
T optional_integer(object o, std::string_view key) {
  if (const auto e = json::member(o, key)) return json::as_integer<T>(*e, key).value_or(0);
  return 0;
}

PartHeader read_header(object o) {
  PartHeader h;
  h.rev = required_int(o, "rev");
  h.market_code = required_string(o, "market_code");
  h.trade_day = optional_integer<std::int32_t>(o, "trade_day");
  h.time_tag = optional_integer<std::uint64_t>(o, "time_tag");
  return h;
}

// Column elements of the wrong type read as their column's default. Texts stay
// views into the document until they are assigned to their field, which
// copies them in place.
std::string_view text_of(element e) { return json::as_string(e).value_or(std::string_view()); }
double float_of(element e) { return json::as_number(e).value_or(0.0); }
template <class T>
T integer_of(element e, std::string_view key) {
  return json::as_integer<T>(e, key).value_or(0);
}

// A code outside 0..max (any integer, however large) reads as 0.
std::int32_t enum_of(element e, std::int32_t max) {
  if (e.type() == element_type::INT64) {
    const std::int64_t v = e.get_int64().value_unsafe();
    if (v >= 0 && v <= max) return static_cast<std::int32_t>(v);
  }
  return 0;
}

std::vector<std::string> texts_of(element e) {
  std::vector<std::string> out;
  if (const auto a = json::as_array(e)) {
    out.reserve(a->size());
    for (element x : *a) out.emplace_back(text_of(x));
  }
  return out;
}

std::vector<std::int32_t> ints_of(element e, std::string_view key) {
  std::vector<std::int32_t> out;
  if (const auto a = json::as_array(e)) {
    out.reserve(a->size());
    for (element x : *a) out.push_back(integer_of<std::int32_t>(x, key));
  }
  return out;
}

void render_sorted(element e, text::JsonWriter& w);

// Writes a nested JSON object compact with its keys ascending (a repeated key
// keeps its last value), and so every object inside it; numbers as the writer
// forms them.
void render_sorted(object o, text::JsonWriter& w) {
  std::map<std::string_view, element> members;
  for (const auto& kv : o) members.insert_or_assign(kv.key, kv.value);
  w.begin_object();
  for (const auto& [k, v] : members) {
    w.key(k);
    render_sorted(v, w);
  }
  w.end_object();
}

void render_sorted(element e, text::JsonWriter& w) {
  switch (e.type()) {
    case element_type::OBJECT: render_sorted(*json::as_object(e), w); return;
    case element_type::ARRAY: {
      const array a = *json::as_array(e);
      w.begin_array();
      for (element x : a) render_sorted(x, w);
      w.end_array();
      return;
    }
    case element_type::INT64: w.number_int(e.get_int64().value_unsafe()); return;
    case element_type::UINT64: w.number_uint(e.get_uint64().value_unsafe()); return;
    case element_type::DOUBLE: w.number_double(e.get_double().value_unsafe()); return;
    case element_type::STRING: w.string(e.get_string().value_unsafe()); return;
    case element_type::BOOL: w.boolean(e.get_bool().value_unsafe()); return;
    case element_type::NULL_VALUE: w.null(); return;
  }
}

// A code's place in its column, and its first eight bytes, zero-padded, as a
// number that orders as the bytes do: most codes differ there.
struct CodeKey {
  std::uint64_t prefix;
  std::uint32_t at;
};

std::uint64_t order_prefix(std::string_view code) noexcept {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < 8; ++i) v = (v << 8) | (i < code.size() ? static_cast<unsigned char>(code[i]) : 0u);
  return v;
}

// Sorts `keys` by prefix, keys of one prefix keeping their order: a radix
// sort, a byte a pass from the last, where a byte that every key shares takes
// no pass. A comparison sort of shuffled codes spent twice as long, most of it
// in mispredicted branches.
void sort_by_prefix(std::vector<CodeKey>& keys) {
  if (keys.empty()) return;
  std::array<std::array<std::uint32_t, 256>, 8> counts{};  // [byte][value]
  for (const CodeKey& k : keys) {
    for (int b = 0; b < 8; ++b) ++counts[b][(k.prefix >> (8 * b)) & 0xFF];
  }
  std::vector<CodeKey> spare(keys.size());
  for (int b = 0; b < 8; ++b) {
    auto& next = counts[b];  // from counts to each value's next slot
    if (next[(keys[0].prefix >> (8 * b)) & 0xFF] == keys.size()) continue;
    std::uint32_t slot = 0;
    for (std::uint32_t& n : next) slot += std::exchange(n, slot);
    for (const CodeKey& k : keys) spare[next[(k.prefix >> (8 * b)) & 0xFF]++] = k;
    keys.swap(spare);
  }
}

constexpr std::uint32_t kSuperseded = UINT32_MAX;

// A table under construction. Its rows are in ascending byte order of their
// codes from the start: element i of every column goes to rows[place[i]], so
// no row is moved after it is filled. A row whose code a later row repeats has
// place kSuperseded; its elements are still read, and refused as any other.
template <class Row>
struct PlacedRows {
  std::vector<Row> rows;
  std::vector<std::uint32_t> place;  // one per element of the "code" column
};

// Places the rows of a table by its "code" column and fills in their codes.
// Tables usually come sorted already, which costs one pass; otherwise
// positions are sorted, those of one code in file order so that the last one
// is kept.
template <class Row>
PlacedRows<Row> place_by_code(array code_column) {
  std::vector<std::string_view> codes;  // into the bundle's document
  codes.reserve(code_column.size());     // exact below 2^24 - 1, where the document caps it
  for (element e : code_column) codes.push_back(text_of(e));
  const auto compare_codes = [&](const CodeKey& a, const CodeKey& b) {
    if (a.prefix != b.prefix) return a.prefix < b.prefix ? -1 : 1;
    return codes[a.at].compare(codes[b.at]);
  };
  std::vector<CodeKey> keys(codes.size());
  bool ascending = true;  // strictly, so no code repeats
  for (std::uint32_t i = 0; i < keys.size(); ++i) {
    keys[i] = {order_prefix(codes[i]), i};
    ascending = ascending && (i == 0 || compare_codes(keys[i - 1], keys[i]) < 0);
  }
  if (!ascending) {
    sort_by_prefix(keys);
    // Codes that share their prefix: by the whole code, file order kept.
    for (auto run = keys.begin(); run != keys.end();) {
      const std::uint64_t prefix = run->prefix;
      const auto end = std::find_if(run, keys.end(), [&](const CodeKey& k) { return k.prefix != prefix; });
      if (end - run > 1) {
        std::stable_sort(run, end, [&](const CodeKey& a, const CodeKey& b) { return codes[a.at] < codes[b.at]; });
      }
      run = end;
    }
  }
  PlacedRows<Row> t;
  t.place.resize(codes.size());
  std::uint32_t next = 0;
  for (std::size_t k = 0; k < keys.size(); ++k) {
    const bool superseded = k + 1 < keys.size() && compare_codes(keys[k], keys[k + 1]) == 0;
    t.place[keys[k].at] = superseded ? kSuperseded : next++;
  }
  t.rows.resize(next);
  for (std::size_t i = 0; i < codes.size(); ++i) {
    if (t.place[i] != kSuperseded) t.rows[t.place[i]].code = codes[i];
  }
  return t;
}

// Fills the field of code i's row from element i of the column under `key`;
// elements past the last code are ignored and rows past the column's end keep
// the default.
template <class Row, class T, class Read>
void fill(object table, std::string_view key, PlacedRows<Row>& t, T Row::*field, Read&& read) {
  std::size_t i = 0;
  for (element e : required_array(table, key)) {
    if (i == t.place.size()) break;
    auto value = read(e);
    if (const std::uint32_t at = t.place[i++]; at != kSuperseded) t.rows[at].*field = std::move(value);
  }
}

// As fill, reading each element as the field's type reads when it needs no rule of its own: texts, numbers,
// lists of texts or of i32.
template <class Row, class T>
void fill(object table, std::string_view key, PlacedRows<Row>& t, T Row::*field) {
  if constexpr (std::is_same_v<T, std::string>) {
    fill(table, key, t, field, text_of);
  } else if constexpr (std::is_same_v<T, double>) {
    fill(table, key, t, field, float_of);
  } else if constexpr (std::is_integral_v<T>) {
    fill(table, key, t, field, [key](element e) { return integer_of<T>(e, key); });
  } else if constexpr (std::is_same_v<T, std::vector<std::string>>) {
    fill(table, key, t, field, texts_of);
  } else {
    static_assert(std::is_same_v<T, std::vector<std::int32_t>>, "a column of this type has a reader of its own");
    fill(table, key, t, field, [key](element e) { return ints_of(e, key); });
  }
}

// As fill, for columns of JSON texts that `read` turns into the field's value.
// Neighbouring rows often carry the same text (the contracts of a commodity
// share trading hours, margin and rates): a text equal to the previous row's
// is not parsed again, its value is copied from the row that holds it.
template <class Row, class T, class Read>
void fill_nested(object table, std::string_view key, PlacedRows<Row>& t, T Row::*field, Read&& read) {
  std::size_t i = 0;
  std::string_view last;                // into the bundle's document, which outlives the call
  std::uint32_t last_at = kSuperseded;  // the row holding the value of `last`
  for (element e : required_array(table, key)) {
    if (i == t.place.size()) break;
    const std::uint32_t at = t.place[i];
    const std::string_view text = json::as_string(e).value_or(std::string_view());
    if (last_at != kSuperseded && text == last) {
      if (at != kSuperseded) t.rows[at].*field = t.rows[last_at].*field;
    } else {
      T value = read(text);
      if (at != kSuperseded) t.rows[at].*field = std::move(value);
      last = text;
      last_at = at;
    }
    ++i;
  }
}

class BundleLoader {
 public:
  std::vector<MarketMeta> load(std::string_view text) {
    element root;
    if (const auto err = parser_.parse(text.data(), text.size()).get(root); err != simdjson::SUCCESS) {
      throw Error(std::string(kPrefix) + "bad JSON: " + simdjson::error_message(err));
    }
    std::optional<array> markets;
    if (const auto top = json::as_object(root)) {
      if (const auto m = json::member(*top, "markets")) markets = json::as_array(*m);
    }
    if (!markets) throw Error(std::string(kPrefix) + "top-level 'markets' array missing");
    std::vector<MarketMeta> out;
    for (element e : *markets) {
      const auto market = json::as_object(e);
      out.push_back(market ? read_market(*market) : MarketMeta{});
    }
    return out;
  }

 private:
  MarketMeta read_market(object o) {
    MarketMeta m;
    if (const auto p = part(o, "market_info")) m.market_info = read_market_info(*p);
    if (const auto p = part(o, "holidays")) m.holidays = read_holidays(*p);
    if (const auto p = part(o, "securities")) m.securities = read_securities(*p);
    if (const auto p = part(o, "dividends")) m.dividends = read_dividends(*p);
    if (const auto p = part(o, "stocks")) m.stocks = read_stocks(*p);
    if (const auto p = part(o, "commodities")) m.commodities = read_commodities(*p);
    if (const auto p = part(o, "futures")) m.futures = read_futures(*p);
    return m;
  }

  static std::optional<object> part(object o, std::string_view key) {
    if (const auto e = json::member(o, key)) return json::as_object(*e);
    return std::nullopt;
  }

  MarketInfo read_market_info(object o) {
    MarketInfo m;
    m.header = read_header(o);
    m.name = required_string(o, "name");
    m.time_zone = required_int(o, "time_zone");
    m.currency = required_string(o, "currency");
    m.begin_day = required_int(o, "begin_day");
    m.start_day = required_int(o, "start_day");
    m.trading_period = trading_period(required_string(o, "trading_period"), "trading_period");
    if (const auto e = json::member(o, "extra")) {
      if (const auto s = json::as_string(*e)) m.extra = text_map(*s, "extra");
    }
    m.revs = int_map(required_string(o, "revs"), "revs");
    return m;
  }

  Holidays read_holidays(object o) {
    Holidays h;
    h.header = read_header(o);
    for (element e : required_array(o, "days")) h.days.push_back(integer_of<std::int32_t>(e, "days"));
    return h;
  }

  // The rows of a column-wise table, one per element of its "code" column,
  // with the columns that `columns` fills in; in code order, a repeated code
  // keeping its last row.
  template <class Row, class Columns>
  static Table<Row> read_table(object o, Columns&& columns) {
    Table<Row> t;
    t.header = read_header(o);
    PlacedRows<Row> placed = place_by_code<Row>(required_array(o, "code"));
    columns(placed);
    t.rows = std::move(placed.rows);
    return t;
  }

  Table<Security> read_securities(object o) {
    return read_table<Security>(o, [&](PlacedRows<Security>& r) {
      fill(o, "name", r, &Security::name);
      fill(o, "abbreviation", r, &Security::abbreviation);
      fill(o, "category", r, &Security::category, [](element e) { return enum_of(e, 10); });
      fill(o, "state", r, &Security::state, [](element e) { return enum_of(e, 3); });
      fill(o, "last_close", r, &Security::last_close);
      fill(o, "dividend_ratio", r, &Security::dividend_ratio);
      fill(o, "lists_at", r, &Security::lists_at);
      fill_nested(o, "suspend", r, &Security::suspend_days, [&](std::string_view t) { return suspend_days(t); });
    });
  }

  Table<Dividend> read_dividends(object o) {
    return read_table<Dividend>(o, [&](PlacedRows<Dividend>& r) {
      fill(o, "operation", r, &Dividend::operation);
      fill(o, "bonus", r, &Dividend::bonus);
      fill(o, "interest", r, &Dividend::interest);
      fill(o, "allotment", r, &Dividend::allotment);
      fill(o, "allotment_price", r, &Dividend::allotment_price);
      fill(o, "bonus_share", r, &Dividend::bonus_share);
    });
  }

  Table<Stock> read_stocks(object o) {
    return read_table<Stock>(o, [&](PlacedRows<Stock>& r) {
      fill(o, "name", r, &Stock::name);
      fill(o, "historical_names", r, &Stock::historical_names);
      fill(o, "historical_name_days", r, &Stock::historical_name_days);
      fill(o, "list_day", r, &Stock::list_day);
      fill(o, "begin_shares", r, &Stock::begin_shares);
      fill(o, "list_shares", r, &Stock::list_shares);
      fill(o, "list_price", r, &Stock::list_price);
      fill(o, "unlimit_shares", r, &Stock::unlimit_shares);
      fill(o, "limit_shares", r, &Stock::limit_shares);
    });
  }

  Table<Commodity> read_commodities(object o) {
    return read_table<Commodity>(o, [&](PlacedRows<Commodity>& r) {
      fill(o, "name", r, &Commodity::name);
      fill(o, "historical_names", r, &Commodity::historical_names);
      fill(o, "historical_name_days", r, &Commodity::historical_name_days);
      fill_nested(o, "trade_period", r, &Commodity::trade_period,
           [&](std::string_view t) { return trading_period(t, "trade_period"); });
      fill(o, "uom", r, &Commodity::uom);
      fill(o, "volume_multiplier", r, &Commodity::volume_multiplier);
      fill(o, "surge_limit", r, &Commodity::surge_limit);
      fill(o, "plunge_limit", r, &Commodity::plunge_limit);
      fill_nested(o, "margin", r, &Commodity::margin, [&](std::string_view t) { return sorted_object(t, "margin"); });
      fill_nested(o, "commission", r, &Commodity::commission,
           [&](std::string_view t) { return sorted_object(t, "commission"); });
      fill(o, "settlement_day_ord", r, &Commodity::settlement_day_ord);
      fill(o, "last_trade_day_ord", r, &Commodity::last_trade_day_ord);
      fill(o, "min_variation_unit", r, &Commodity::min_variation_unit);
      fill(o, "delivery_month_ord", r, &Commodity::delivery_month_ord);
      fill_nested(o, "extra", r, &Commodity::extra, [&](std::string_view t) { return text_map(t, "extra"); });
    });
  }

  Table<Future> read_futures(object o) {
    return read_table<Future>(o, [&](PlacedRows<Future>& r) {
      fill(o, "name", r, &Future::name);
      fill(o, "commodity", r, &Future::commodity);
      fill_nested(o, "trade_period", r, &Future::trade_period,
           [&](std::string_view t) { return trading_period(t, "trade_period"); });
      fill(o, "uom", r, &Future::uom);
      fill(o, "volume_multiplier", r, &Future::volume_multiplier);
      fill(o, "max_market_order_vol", r, &Future::max_market_order_vol);
      fill(o, "min_market_order_vol", r, &Future::min_market_order_vol);
      fill(o, "max_limit_order_vol", r, &Future::max_limit_order_vol);
      fill(o, "min_limit_order_vol", r, &Future::min_limit_order_vol);
      fill_nested(o, "margin", r, &Future::margin, [&](std::string_view t) { return sorted_object(t, "margin"); });
      fill_nested(o, "commission", r, &Future::commission,
           [&](std::string_view t) { return sorted_object(t, "commission"); });
      fill(o, "price_tick", r, &Future::price_tick);
      fill(o, "expires_at", r, &Future::expires_at);
      fill(o, "start_delivery_date", r, &Future::start_delivery_date);
      fill(o, "end_delivery_date", r, &Future::end_delivery_date);
      fill(o, "real_contract_code", r, &Future::real_contract_code);
      fill_nested(o, "extra", r, &Future::extra, [&](std::string_view t) { return text_map(t, "extra"); });
    });
  }

  // The object a nested JSON text holds; nullopt for an empty text or a value
  // that is not an object (both read as having no members). Valid until the
  // next nested parse.
  std::optional<object> nested_object(std::string_view text, std::string_view key) {
    if (text.empty()) return std::nullopt;
    element root;
    if (const auto err = nested_.parse(text.data(), text.size()).get(root); err != simdjson::SUCCESS) {
      throw Error(std::string(kPrefix) + "bad JSON in '" + std::string(key) + "': " + simdjson::error_message(err));
    }
    return json::as_object(root);
  }

  // {"policy": [[start, end], ...], ...}: a section that is not a two-element
  // array is skipped, a non-integer bound reads as 0, each list ascending.
  TradingPeriod trading_period(std::string_view text, std::string_view key) {
    TradingPeriod out;
    const auto o = nested_object(text, key);
    if (!o) return out;
    for (const auto& kv : *o) {
      std::vector<std::pair<std::int32_t, std::int32_t>> sections;
      if (const auto list = json::as_array(kv.value)) {
        for (element s : *list) {
          const auto pair = json::as_array(s);
          if (!pair || pair->size() != 2) continue;
          sections.emplace_back(integer_of<std::int32_t>(pair->at(0).value_unsafe(), key),
                                integer_of<std::int32_t>(pair->at(1).value_unsafe(), key));
        }
      }
      std::sort(sections.begin(), sections.end());
      out.insert_or_assign(std::string(kv.key), std::move(sections));
    }
    return out;
  }

  // {"key": "value", ...}; a value that is not a string reads as empty text.
  TextMap text_map(std::string_view text, std::string_view key) {
    TextMap out;
    if (const auto o = nested_object(text, key)) {
      for (const auto& kv : *o) out.insert_or_assign(std::string(kv.key), text_of(kv.value));
    }
    return out;
  }

  // {"key": n, ...}; a value that is not an integer reads as 0.
  std::map<std::string, std::int32_t> int_map(std::string_view text, std::string_view key) {
    std::map<std::string, std::int32_t> out;
    if (const auto o = nested_object(text, key)) {
      for (const auto& kv : *o) out.insert_or_assign(std::string(kv.key), integer_of<std::int32_t>(kv.value, key));
    }
    return out;
  }

  // {"days": [d, ...]}.
  std::vector<std::int32_t> suspend_days(std::string_view text) {
    if (const auto o = nested_object(text, "suspend")) {
      if (const auto days = json::member(*o, "days")) return ints_of(*days, "suspend");
    }
    return {};
  }

  // The object rendered compact with keys ascending; "{}" for an empty text or
  // a value that is not an object.
  std::string sorted_object(std::string_view text, std::string_view key) {
    const auto o = nested_object(text, key);
    if (!o) return "{}";
    return qel::text::json_text([&](qel::text::JsonWriter& w) { render_sorted(*o, w); });
  }

  simdjson::dom::parser parser_;
  // Nested texts get a parser of their own: reparsing with the bundle's would
  // free the document that is being read.
  simdjson::dom::parser nested_;
};

}  // namespace

std::vector<MarketMeta> load_market_meta_from_json_str(std::string_view json) {
  return BundleLoader().load(json);
}

}  // namespace qel::refdata
