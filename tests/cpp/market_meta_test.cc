// Market meta bundles: loader rules and messages, table assembly, rows and their texts.
#include <gtest/gtest.h>

#include "error_text.h"

#include <algorithm>
#include <map>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "qel/error.h"
#include "qel/refdata/market_meta.h"
#include "qel/text/json_writer.h"

namespace qel::refdata {
namespace {

using rows::DataType;
using rows::NameIndex;
using rows::StructValue;
using test_support::error_text;

// A JSON object as (key, raw JSON value) members, so a case can drop or
// replace one member.
using Obj = std::vector<std::pair<std::string, std::string>>;

std::string render(const Obj& o) {
  std::string out = "{";
  for (const auto& [k, v] : o) {
    if (out.size() > 1) out += ',';
    text::append_json_string(out, k);
    out += ':';
    out += v;
  }
  return out + "}";
}

// `text` as a JSON string value (the bundle nests JSON texts in strings).
std::string json_text(std::string_view text) {
  std::string out;
  text::append_json_string(out, text);
  return out;
}

// A JSON array of raw JSON values.
std::string list(std::initializer_list<std::string> values) {
  std::string out = "[";
  for (const std::string& v : values) {
    if (out.size() > 1) out += ',';
    out += v;
  }
  out += ']';
  return out;
}

Obj without(Obj o, std::string_view key) {
  std::erase_if(o, [&](const auto& m) { return m.first == key; });
  return o;
}

Obj with(Obj o, std::string_view key, std::string value) {
  for (auto& m : o) {
    if (m.first == key) {
      m.second = std::move(value);
      return o;
    }
  }
  o.emplace_back(key, std::move(value));
  return o;
}

Obj header(int rev = 3) {
  return {{"rev", std::to_string(rev)},
          {"market_code", R"("SH")"},
          {"trade_day", "20240102"},
          {"time_tag", "1704153600000"}};
}

Obj market_info() {
  Obj o = header(7);
  o.insert(o.end(), {{"name", R"("Shanghai")"},
                     {"time_zone", "8"},
                     {"currency", R"("CNY")"},
                     {"begin_day", "19901219"},
                     {"start_day", "19901220"},
                     {"trading_period", json_text(R"({"trading_period":[[1300,1500],[930,1130]],"after_holiday":[]})")},
                     {"extra", json_text(R"({"z":"last","a":"first\n","n":5})")},
                     {"revs", json_text(R"({"Security":3,"Holiday":2})")}});
  return o;
}

Obj holidays() { return with(header(), "days", "[20240101,20240210]"); }

Obj securities() {
  Obj o = header();
  o.insert(o.end(), {{"code", R"(["600001","600000"])"},
                     {"name", R"(["B","A"])"},
                     {"abbreviation", R"(["b","a"])"},
                     {"category", "[1,11]"},
                     {"state", "[3,4]"},
                     {"last_close", "[10.5,7]"},
                     {"dividend_ratio", "[0.1]"},
                     {"lists_at", "[19991110,19991109]"},
                     {"suspend", list({json_text(R"({"days":[20240105,20240104]})"), R"("")"})}});
  return o;
}

Obj dividends() {
  Obj o = header();
  o.insert(o.end(), {{"code", R"(["600000"])"},
                     {"operation", "[2]"},
                     {"bonus", "[0.5]"},
                     {"interest", "[0]"},
                     {"allotment", "[0.25]"},
                     {"allotment_price", "[8]"},
                     {"bonus_share", "[0.1]"}});
  return o;
}

Obj stocks() {
  Obj o = header();
  o.insert(o.end(), {{"code", R"(["600000"])"},
                     {"name", R"(["PF Bank"])"},
                     {"historical_names", R"([["Old \"one\"","Older"]])"},
                     {"historical_name_days", "[[20000101,20100101]]"},
                     {"list_day", "[19991110]"},
                     {"begin_shares", "[9000000000]"},
                     {"list_shares", "[-1]"},
                     {"list_price", "[10]"},
                     {"unlimit_shares", "[29352000000]"},
                     {"limit_shares", "[0]"}});
  return o;
}

std::string margin_text() {
  return R"({"short_type":1,"long_rate":0.1,"algorithm":"x","long_type":1,"short_rate":1e-1,"z":{"b":[1,{"d":null,"c":true}],"a":2}})";
}
constexpr std::string_view kMarginRendered =
    R"({"algorithm":"x","long_rate":0.1,"long_type":1,"short_rate":0.1,"short_type":1,"z":{"a":2,"b":[1,{"c":true,"d":null}]}})";

Obj commodities() {
  Obj o = header();
  o.insert(o.end(), {{"code", R"(["cu"])"},
                     {"name", R"(["Copper"])"},
                     {"historical_names", "[[]]"},
                     {"historical_name_days", "[[]]"},
                     {"trade_period", list({json_text(R"({"night":[[2100,100]],"day":[[1330,1500],[900,1015]]})")})},
                     {"uom", R"(["t"])"},
                     {"volume_multiplier", "[5]"},
                     {"surge_limit", "[0.06]"},
                     {"plunge_limit", "[0.06]"},
                     {"margin", list({json_text(margin_text())})},
                     {"commission", list({json_text(R"({"open_rate_by_money":5e-05,"close_rate_by_money":5E-5})")})},
                     {"settlement_day_ord", "[15]"},
                     {"last_trade_day_ord", "[15]"},
                     {"min_variation_unit", "[10]"},
                     {"delivery_month_ord", R"(["1-12"])"},
                     {"extra", list({json_text(R"({"k":"v"})")})}});
  return o;
}

Obj futures() {
  Obj o = header();
  o.insert(o.end(), {{"code", R"(["cu2403","cu2402"])"},
                     {"name", R"(["Copper 2403","Copper 2402"])"},
                     {"commodity", R"(["cu","cu"])"},
                     {"trade_period", R"(["",""])"},
                     {"uom", R"(["t","t"])"},
                     {"volume_multiplier", "[5,5]"},
                     {"max_market_order_vol", "[100,100]"},
                     {"min_market_order_vol", "[1,1]"},
                     {"max_limit_order_vol", "[500,500]"},
                     {"min_limit_order_vol", "[1,1]"},
                     {"margin", R"(["",""])"},
                     {"commission", R"(["",""])"},
                     {"price_tick", "[10,10]"},
                     {"expires_at", "[20240315,20240215]"},
                     {"start_delivery_date", "[20240318,20240218]"},
                     {"end_delivery_date", "[20240322,20240222]"},
                     {"real_contract_code", R"(["CU2403","CU2402"])"},
                     {"extra", R"(["",""])"}});
  return o;
}

Obj full_market() {
  return {{"market_info", render(market_info())}, {"holidays", render(holidays())},
          {"securities", render(securities())},   {"dividends", render(dividends())},
          {"stocks", render(stocks())},           {"commodities", render(commodities())},
          {"futures", render(futures())}};
}

std::string bundle(const Obj& market) { return R"({"markets":[)" + render(market) + "]}"; }

MarketMeta load_one(const std::string& json) {
  auto metas = load_market_meta_from_json_str(json);
  EXPECT_EQ(metas.size(), 1u);
  return metas.empty() ? MarketMeta{} : metas[0];
}

// A bundle of one market_info part with one member changed.
MarketMeta info_with(std::string_view key, std::string value) {
  return load_one(bundle({{"market_info", render(with(market_info(), key, std::move(value)))}}));
}

std::string load_error(const std::string& json) {
  return error_text<Error>([&] { load_market_meta_from_json_str(json); });
}

// ---- Loader errors -------------------------------------------------------

struct ErrorCase {
  const char* name;
  std::string json;
  std::string message;  // exact, or a prefix when it ends in ": "
};

void PrintTo(const ErrorCase& c, std::ostream* os) { *os << c.name; }

class LoadError : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(LoadError, Message) {
  const ErrorCase& c = GetParam();
  const std::string got = load_error(c.json);
  if (c.message.ends_with(": ")) {
    EXPECT_EQ(got.substr(0, c.message.size()), c.message) << got;
    EXPECT_GT(got.size(), c.message.size()) << "the parser's description follows";
  } else {
    EXPECT_EQ(got, c.message);
  }
}

std::string market_with(const char* part, const Obj& o) {
  return bundle(with(full_market(), part, render(o)));
}

const std::string kMI = "market_info";

INSTANTIATE_TEST_SUITE_P(
    MarketMeta, LoadError,
    ::testing::Values(
        ErrorCase{"empty_text", "", "load_market_meta_from_json_str: bad JSON: "},
        ErrorCase{"truncated", R"({"markets":[)", "load_market_meta_from_json_str: bad JSON: "},
        ErrorCase{"markets_misspelt", R"({"market":[]})",
                  "load_market_meta_from_json_str: top-level 'markets' array missing"},
        ErrorCase{"markets_object", R"({"markets":{}})",
                  "load_market_meta_from_json_str: top-level 'markets' array missing"},
        ErrorCase{"top_level_array", "[]", "load_market_meta_from_json_str: top-level 'markets' array missing"},
        ErrorCase{"no_rev", market_with("market_info", without(market_info(), "rev")), "missing/!int field 'rev'"},
        ErrorCase{"rev_text", market_with("market_info", with(market_info(), "rev", R"("3")")),
                  "missing/!int field 'rev'"},
        ErrorCase{"rev_fraction", market_with("market_info", with(market_info(), "rev", "3.0")),
                  "missing/!int field 'rev'"},
        ErrorCase{"rev_wide", market_with("market_info", with(market_info(), "rev", "2147483648")),
                  "out-of-range int field 'rev'"},
        ErrorCase{"rev_checked_before_code",
                  market_with("market_info", without(without(market_info(), "rev"), "market_code")),
                  "missing/!int field 'rev'"},
        ErrorCase{"no_market_code", market_with("market_info", without(market_info(), "market_code")),
                  "missing/!string field 'market_code'"},
        ErrorCase{"time_tag_negative", market_with("market_info", with(market_info(), "time_tag", "-1")),
                  "out-of-range int field 'time_tag'"},
        ErrorCase{"trade_day_wide", market_with("holidays", with(holidays(), "trade_day", "-2147483649")),
                  "out-of-range int field 'trade_day'"},
        ErrorCase{"name_number", market_with("market_info", with(market_info(), "name", "5")),
                  "missing/!string field 'name'"},
        ErrorCase{"no_time_zone", market_with("market_info", without(market_info(), "time_zone")),
                  "missing/!int field 'time_zone'"},
        ErrorCase{"no_currency", market_with("market_info", without(market_info(), "currency")),
                  "missing/!string field 'currency'"},
        ErrorCase{"no_begin_day", market_with("market_info", without(market_info(), "begin_day")),
                  "missing/!int field 'begin_day'"},
        ErrorCase{"no_start_day", market_with("market_info", without(market_info(), "start_day")),
                  "missing/!int field 'start_day'"},
        ErrorCase{"trading_period_object",
                  market_with("market_info", with(market_info(), "trading_period", R"({"a":[]})")),
                  "missing/!string field 'trading_period'"},
        ErrorCase{"no_revs", market_with("market_info", without(market_info(), "revs")),
                  "missing/!string field 'revs'"},
        ErrorCase{"trading_period_malformed",
                  market_with("market_info", with(market_info(), "trading_period", json_text(R"({"a":[[1,2]})"))),
                  "load_market_meta_from_json_str: bad JSON in 'trading_period': "},
        ErrorCase{"extra_malformed", market_with("market_info", with(market_info(), "extra", json_text("{'a':1}"))),
                  "load_market_meta_from_json_str: bad JSON in 'extra': "},
        ErrorCase{"revs_wide",
                  market_with("market_info", with(market_info(), "revs", json_text(R"({"a":2147483648})"))),
                  "out-of-range int field 'revs'"},
        ErrorCase{"no_days", market_with("holidays", without(holidays(), "days")), "missing/!array field 'days'"},
        ErrorCase{"no_code", market_with("securities", without(securities(), "code")),
                  "missing/!array field 'code'"},
        ErrorCase{"name_not_array", market_with("securities", with(securities(), "name", R"("A")")),
                  "missing/!array field 'name'"},
        ErrorCase{"no_suspend", market_with("securities", without(securities(), "suspend")),
                  "missing/!array field 'suspend'"},
        ErrorCase{"suspend_malformed", market_with("securities", with(securities(), "suspend", R"(["{"])")),
                  "load_market_meta_from_json_str: bad JSON in 'suspend': "},
        ErrorCase{"lists_at_wide", market_with("securities", with(securities(), "lists_at", "[1,4294967296]")),
                  "out-of-range int field 'lists_at'"},
        ErrorCase{"no_bonus_share", market_with("dividends", without(dividends(), "bonus_share")),
                  "missing/!array field 'bonus_share'"},
        ErrorCase{"list_shares_wide", market_with("stocks", with(stocks(), "list_shares", "[9223372036854775808]")),
                  "out-of-range int field 'list_shares'"},
        ErrorCase{"name_days_wide",
                  market_with("stocks", with(stocks(), "historical_name_days", "[[1,3000000000]]")),
                  "out-of-range int field 'historical_name_days'"},
        ErrorCase{"margin_malformed", market_with("commodities", with(commodities(), "margin", R"(["{]"])")),
                  "load_market_meta_from_json_str: bad JSON in 'margin': "},
        ErrorCase{"no_delivery_month_ord", market_with("commodities", without(commodities(), "delivery_month_ord")),
                  "missing/!array field 'delivery_month_ord'"},
        ErrorCase{"trade_period_malformed", market_with("futures", with(futures(), "trade_period", R"(["","x"])")),
                  "load_market_meta_from_json_str: bad JSON in 'trade_period': "},
        ErrorCase{"no_real_contract_code", market_with("futures", without(futures(), "real_contract_code")),
                  "missing/!array field 'real_contract_code'"},
        // A row whose code a later row repeats is read and refused like any other.
        ErrorCase{"superseded_row_wide",
                  market_with("futures", with(with(futures(), "code", R"(["c","c"])"), "expires_at", "[4294967296,1]")),
                  "out-of-range int field 'expires_at'"},
        ErrorCase{"superseded_row_malformed",
                  market_with("futures", with(with(futures(), "code", R"(["c","c"])"), "margin", R"(["{",""])")),
                  "load_market_meta_from_json_str: bad JSON in 'margin': "},
        // Parts are read in order; the first failing one is reported.
        ErrorCase{"first_part_wins",
                  bundle(with(with(full_market(), "holidays", render(without(holidays(), "days"))), "futures",
                              render(without(futures(), "rev")))),
                  "missing/!array field 'days'"},
        // A failure in a later market fails the whole call.
        ErrorCase{"second_market",
                  R"({"markets":[)" + render(full_market()) + "," +
                      render({{"holidays", render(without(holidays(), "market_code"))}}) + "]}",
                  "missing/!string field 'market_code'"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Loading -------------------------------------------------------------

TEST(MarketMetaLoad, EmptyAndSkippedParts) {
  EXPECT_TRUE(load_market_meta_from_json_str(R"({"markets":[]})").empty());
  // A market that is not an object, and parts that are not objects, are absent.
  const auto metas = load_market_meta_from_json_str(R"({"markets":[1,{"market_info":[],"holidays":"x"},{}]})");
  ASSERT_EQ(metas.size(), 3u);
  for (const MarketMeta& m : metas) {
    EXPECT_EQ(m, MarketMeta{});
    EXPECT_EQ(m.market_code(), "");
  }
}

TEST(MarketMetaLoad, MarketInfo) {
  const MarketMeta m = load_one(bundle({{"market_info", render(market_info())}}));
  ASSERT_TRUE(m.market_info);
  EXPECT_FALSE(m.holidays || m.securities || m.dividends || m.stocks || m.commodities || m.futures);
  const MarketInfo& mi = *m.market_info;
  EXPECT_EQ(m.market_code(), "SH");
  EXPECT_EQ(mi.header, (PartHeader{"SH", 20240102, 7, 1704153600000}));
  EXPECT_EQ(mi.name, "Shanghai");
  EXPECT_EQ(mi.currency, "CNY");
  EXPECT_EQ(mi.time_zone, 8);
  EXPECT_EQ(mi.begin_day, 19901219);
  EXPECT_EQ(mi.start_day, 19901220);
  EXPECT_EQ(mi.trading_period, (TradingPeriod{{"after_holiday", {}}, {"trading_period", {{930, 1130}, {1300, 1500}}}}));
  EXPECT_EQ(mi.revs, (std::map<std::string, std::int32_t>{{"Holiday", 2}, {"Security", 3}}));
  EXPECT_EQ(mi.extra, (TextMap{{"a", "first\n"}, {"n", ""}, {"z", "last"}}));
}

TEST(MarketMetaLoad, OptionalKeysDefault) {
  Obj o = without(without(without(market_info(), "trade_day"), "time_tag"), "extra");
  MarketMeta m = load_one(bundle({{"market_info", render(o)}}));
  EXPECT_EQ(m.market_info->header, (PartHeader{"SH", 0, 7, 0}));
  EXPECT_TRUE(m.market_info->extra.empty());
  // Optional keys of the wrong type read as absent.
  o = with(with(with(o, "trade_day", R"("x")"), "time_tag", "1.5"), "extra", "{}");
  m = load_one(bundle({{"market_info", render(o)}}));
  EXPECT_EQ(m.market_info->header, (PartHeader{"SH", 0, 7, 0}));
  EXPECT_TRUE(m.market_info->extra.empty());
  // The largest time tag.
  m = load_one(bundle({{"market_info", render(with(o, "time_tag", "18446744073709551615"))}}));
  EXPECT_EQ(m.market_info->header.time_tag, 18446744073709551615u);
}

TEST(MarketMetaLoad, TradingPeriodSections) {
  const std::string tp =
      R"({"p":[[5,6],[1],[1,2,3],"x",[3.5,true],[-1,9],[2,1]],"q":"not a list","p":[[9,9],[1,1]],"":[]})";
  const MarketMeta m = info_with("trading_period", json_text(tp));
  // Non-pairs skipped, non-integers 0, ascending; a repeated policy keeps its last list.
  EXPECT_EQ(m.market_info->trading_period, (TradingPeriod{{"", {}}, {"p", {{1, 1}, {9, 9}}}, {"q", {}}}));
  const std::string tp2 = R"({"p":[[5,6],[1],[1,2,3],"x",[3.5,true],[-1,9],[2,1]]})";
  const MarketMeta m2 = info_with("trading_period", json_text(tp2));
  EXPECT_EQ(m2.market_info->trading_period, (TradingPeriod{{"p", {{-1, 9}, {0, 0}, {2, 1}, {5, 6}}}}));
  // A nested text that is JSON but not an object holds no policies.
  const MarketMeta m3 = info_with("trading_period", json_text("[1]"));
  EXPECT_TRUE(m3.market_info->trading_period.empty());
}

TEST(MarketMetaLoad, SecuritiesByCodeWithDefaults) {
  const MarketMeta m = load_one(bundle({{"securities", render(securities())}}));
  ASSERT_TRUE(m.securities);
  EXPECT_EQ(m.securities->header, (PartHeader{"SH", 20240102, 3, 1704153600000}));
  const auto& rows = m.securities->rows;
  ASSERT_EQ(rows.size(), 2u);
  // Row order is code order; row 1 of the JSON comes first.
  EXPECT_EQ(rows[0], (Security{"600000", "A", "a", 0, 0, 7.0, 0.0, 19991109, {}}));
  EXPECT_EQ(rows[1], (Security{"600001", "B", "b", 1, 3, 10.5, 0.1, 19991110, {20240105, 20240104}}));
}

TEST(MarketMetaLoad, ColumnsLongShortAndMistyped) {
  Obj o = securities();
  o = with(o, "code", R"(["X","Y","Z"])");
  o = with(o, "name", R"(["x",5,null,"extra row ignored"])");
  o = with(o, "category", R"([10,-1,"3"])");
  o = with(o, "state", "[]");
  o = with(o, "last_close", R"([1,"2",18446744073709551615])");
  o = with(o, "lists_at", R"([1.0,true])");
  o = with(o, "suspend",
           list({json_text(R"({"days":[1,"2",3.5]})"), json_text(R"({"nodays":[1]})"), json_text("[7]")}));
  const MarketMeta m = load_one(bundle({{"securities", render(o)}}));
  const auto& rows = m.securities->rows;
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0], (Security{"X", "x", "b", 10, 0, 1.0, 0.1, 0, {1, 0, 0}}));
  EXPECT_EQ(rows[1], (Security{"Y", "", "a", 0, 0, 0.0, 0.0, 0, {}}));
  EXPECT_EQ(rows[2], (Security{"Z", "", "", 0, 0, 18446744073709551615.0, 0.0, 0, {}}));
}

TEST(MarketMetaLoad, RepeatedCodeKeepsLastRow) {
  Obj o = dividends();
  o = with(o, "code", R"(["A","B","A"])");
  o = with(o, "operation", "[1,2,3]");
  const MarketMeta m = load_one(bundle({{"dividends", render(o)}}));
  const auto& rows = m.dividends->rows;
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].code, "A");
  EXPECT_EQ(rows[0].operation, 3);
  EXPECT_EQ(rows[1].code, "B");
  EXPECT_EQ(rows[1].operation, 2);
  EXPECT_EQ(rows[0].bonus, 0.0);  // the last row's own (short) column
}

// Codes built from pieces that make them agree in their first eight bytes,
// differ only by length or a trailing NUL, or hold bytes above 0x7f; each row's
// operation is its position, so the kept row of a repeated code shows.
class CodeOrder : public ::testing::TestWithParam<const char*> {};

TEST_P(CodeOrder, ByteOrderLastRowKept) {
  const std::string_view pieces[] = {"a", "b", std::string_view("\0", 1), "\xc3\xa9", "\x7f", "AAAAAAAA", "600000"};
  std::uint32_t state = 7;
  const auto random = [&](std::uint32_t below) {
    state = state * 1103515245 + 12345;
    return (state >> 16) % below;
  };
  std::vector<std::string> codes;
  for (std::size_t i = 0; i < 300; ++i) {
    std::string code;
    for (std::uint32_t n = random(4); n > 0; --n) code += pieces[random(std::size(pieces))];
    codes.push_back(i % 5 == 4 ? codes[i / 2] : code);  // every fifth repeats an earlier one
  }
  const std::string order = GetParam();
  if (order != "file") std::ranges::sort(codes);
  if (order == "descending") std::ranges::reverse(codes);
  std::map<std::string, int> last;  // byte order, the last row of each code
  std::string code_list, operations;
  for (std::size_t i = 0; i < codes.size(); ++i) {
    last[codes[i]] = static_cast<int>(i);
    code_list += (i ? "," : "[");
    code_list += json_text(codes[i]);
    operations += (i ? "," : "[");
    operations += std::to_string(i);
  }
  Obj o = with(with(dividends(), "code", code_list + "]"), "operation", operations + "]");
  const MarketMeta m = load_one(bundle({{"dividends", render(o)}}));
  using Rows = std::vector<std::pair<std::string, int>>;
  Rows got;
  for (const Dividend& d : m.dividends->rows) got.emplace_back(d.code, d.operation);
  EXPECT_EQ(got, Rows(last.begin(), last.end()));
}

INSTANTIATE_TEST_SUITE_P(MarketMeta, CodeOrder, ::testing::Values("file", "ascending", "descending"));

TEST(MarketMetaLoad, EmptyTableAndCodeColumnOfOtherTypes) {
  const MarketMeta m = load_one(bundle({{"futures", render(with(futures(), "code", "[]"))}}));
  ASSERT_TRUE(m.futures);
  EXPECT_TRUE(m.futures->rows.empty());
  // Codes that are not strings read as empty text: one row under "".
  const MarketMeta m2 = load_one(bundle({{"dividends", render(with(dividends(), "code", "[1,2]"))}}));
  ASSERT_EQ(m2.dividends->rows.size(), 1u);
  EXPECT_EQ(m2.dividends->rows[0].code, "");
}

TEST(MarketMetaLoad, MarginAndCommissionRenderedSorted) {
  const MarketMeta m = load_one(bundle({{"commodities", render(commodities())}}));
  ASSERT_EQ(m.commodities->rows.size(), 1u);
  const Commodity& c = m.commodities->rows[0];
  EXPECT_EQ(c.code, "cu");
  EXPECT_EQ(c.margin, kMarginRendered);
  EXPECT_EQ(c.commission, R"({"close_rate_by_money":5e-05,"open_rate_by_money":5e-05})");
  EXPECT_EQ(c.trade_period, (TradingPeriod{{"day", {{900, 1015}, {1330, 1500}}}, {"night", {{2100, 100}}}}));
  EXPECT_EQ(c.extra, (TextMap{{"k", "v"}}));
  // Empty texts and texts that are not objects hold nothing.
  const MarketMeta f = load_one(bundle({{"futures", render(with(futures(), "margin", R"(["[1]"])"))}}));
  for (const Future& row : f.futures->rows) {
    EXPECT_EQ(row.margin, "{}");
    EXPECT_EQ(row.commission, "{}");
    EXPECT_TRUE(row.extra.empty());
    EXPECT_TRUE(row.trade_period.empty());
  }
}

TEST(MarketMetaLoad, NestedTextsAcrossRepeatedCodes) {
  // Equal neighbouring texts are parsed once; the row that parsed one may be
  // superseded by a later row of its code, and its neighbours still get the value.
  const std::string a = R"({"day":[[1,2]]})", b = R"({"night":[[3,4]]})";
  Obj o = with(futures(), "code", R"(["A","B","A","C","C"])");
  o = with(o, "trade_period", list({json_text(a), json_text(a), json_text(a), json_text(b), json_text(a)}));
  const MarketMeta m = load_one(bundle({{"futures", render(o)}}));
  const auto& rows = m.futures->rows;
  ASSERT_EQ(rows.size(), 3u);
  const TradingPeriod day{{"day", {{1, 2}}}};
  EXPECT_EQ(rows[0].code, "A");
  EXPECT_EQ(rows[0].trade_period, day);
  EXPECT_EQ(rows[1].code, "B");
  EXPECT_EQ(rows[1].trade_period, day);
  EXPECT_EQ(rows[2].code, "C");
  EXPECT_EQ(rows[2].trade_period, day);  // the last C, after a superseded one with other text
}

TEST(MarketMetaLoad, SeveralMarketsInOrder) {
  const std::string json = R"({"markets":[)" +
                           render({{"market_info", render(with(market_info(), "market_code", R"("SZ")"))}}) +
                           "," + render(full_market()) + "]}";
  const auto metas = load_market_meta_from_json_str(json);
  ASSERT_EQ(metas.size(), 2u);
  EXPECT_EQ(metas[0].market_code(), "SZ");
  EXPECT_EQ(metas[1].market_code(), "SH");
  EXPECT_TRUE(metas[1].futures && !metas[0].futures);
}

// ---- Rows ----------------------------------------------------------------

NameIndex index_of(std::initializer_list<std::pair<const char*, rows::SchemaKey>> names) {
  NameIndex idx;
  for (const auto& [n, k] : names) idx.by_name.emplace(n, k);
  return idx;
}

NameIndex global_index() {
  return index_of({{"global::Market", {0, 11}},
                   {"global::Holiday", {0, 12}},
                   {"global::Security", {0, 13}},
                   {"global::Dividend", {0, 14}},
                   {"global::Stock", {0, 15}},
                   {"global::Commodity", {0, 16}},
                   {"global::Futures", {0, 0xFFFFFFFF}}});
}

std::vector<DataType> types_of(const StructValue& sv) {
  std::vector<DataType> out;
  for (const auto& f : sv.fields) out.push_back(f.type());
  return out;
}

TEST(MarketMetaRows, SlotTypesAndHeaders) {
  using D = DataType;
  const MarketMeta m = load_one(bundle(full_market()));
  const auto svs = m.to_sv(global_index());
  ASSERT_EQ(svs.size(), 7u);
  const std::vector<std::vector<D>> expected = {
      {D::Int, D::String, D::Int, D::String, D::String, D::Int, D::Int, D::String, D::String},
      {D::Int, D::Int, D::VInt},
      {D::Int, D::Int, D::VString, D::VString, D::VString, D::VInt, D::VInt, D::VDouble, D::VDouble, D::VInt,
       D::VString},
      {D::Int, D::Int, D::VString, D::VInt, D::VDouble, D::VDouble, D::VDouble, D::VDouble, D::VDouble},
      {D::Int, D::Int, D::VString, D::VString, D::VString, D::VString, D::VInt, D::VInt64, D::VInt64, D::VDouble,
       D::VInt64, D::VInt64},
      {D::Int, D::Int, D::VString, D::VString, D::VString, D::VString, D::VString, D::VString, D::VInt, D::VDouble,
       D::VDouble, D::VString, D::VString, D::VInt, D::VInt, D::VDouble, D::VString, D::VString},
      {D::Int, D::Int, D::VString, D::VString, D::VString, D::VString, D::VString, D::VInt, D::VInt, D::VInt,
       D::VInt, D::VInt, D::VString, D::VString, D::VDouble, D::VInt, D::VInt, D::VInt, D::VString, D::VString},
  };
  const std::int32_t meta_ids[] = {11, 12, 13, 14, 15, 16, -1};
  for (std::size_t i = 0; i < svs.size(); ++i) {
    EXPECT_EQ(types_of(svs[i]), expected[i]) << "part " << i;
    EXPECT_EQ(svs[i].meta_id, meta_ids[i]);
    EXPECT_EQ(svs[i].namespace_, 0);
    EXPECT_EQ(svs[i].market, "SH");
    EXPECT_EQ(svs[i].stock_code, "SH");
    EXPECT_EQ(svs[i].time_tag, 1704153600000u);
    EXPECT_EQ(svs[i].granularity, 0);
  }
}

TEST(MarketMetaRows, MarketRowTexts) {
  const MarketMeta m = load_one(bundle({{"market_info", render(market_info())}}));
  const auto svs = m.to_sv(global_index());
  ASSERT_EQ(svs.size(), 1u);
  const StructValue& sv = svs[0];
  EXPECT_EQ(sv.get<DataType::Int>(0, "int"), 20240102);
  EXPECT_EQ(sv.get<DataType::String>(1, "string"), "Shanghai");
  EXPECT_EQ(sv.get<DataType::Int>(2, "int"), 8);
  EXPECT_EQ(sv.get<DataType::String>(4, "string"), R"({"after_holiday":[],"trading_period":[[930,1130],[1300,1500]]})");
  EXPECT_EQ(sv.get<DataType::Int>(5, "int"), 19901220);
  EXPECT_EQ(sv.get<DataType::Int>(6, "int"), 19901219);
  EXPECT_EQ(sv.get<DataType::String>(7, "string"), R"({"Holiday":2,"Security":3})");
  EXPECT_EQ(sv.get<DataType::String>(8, "string"), R"({"a":"first\n","n":"","z":"last"})");
}

TEST(MarketMetaRows, VectorsInCodeOrder) {
  const MarketMeta m = load_one(bundle(full_market()));
  const auto svs = m.to_sv(global_index());
  const StructValue& sec = svs[2];
  using V = std::vector<std::string>;
  const auto strings = [](std::span<const std::string> s) { return V(s.begin(), s.end()); };
  EXPECT_EQ(strings(sec.get<DataType::VString>(2, "")), (V{"600000", "600001"}));
  EXPECT_EQ(strings(sec.get<DataType::VString>(3, "")), (V{"A", "B"}));
  const auto cat = sec.get<DataType::VInt>(5, "");
  EXPECT_EQ(std::vector<std::int32_t>(cat.begin(), cat.end()), (std::vector<std::int32_t>{0, 1}));
  EXPECT_EQ(strings(sec.get<DataType::VString>(10, "")), (V{R"({"days":[]})", R"({"days":[20240105,20240104]})"}));

  const StructValue& stock = svs[4];
  EXPECT_EQ(strings(stock.get<DataType::VString>(4, "")), (V{R"(["Old \"one\"","Older"])"}));
  EXPECT_EQ(strings(stock.get<DataType::VString>(5, "")), (V{"[20000101,20100101]"}));
  EXPECT_EQ(stock.get<DataType::VInt64>(7, "")[0], 9000000000);
  EXPECT_EQ(stock.get<DataType::VInt64>(8, "")[0], -1);

  const StructValue& com = svs[5];
  EXPECT_EQ(strings(com.get<DataType::VString>(4, "")), (V{"[]"}));
  EXPECT_EQ(strings(com.get<DataType::VString>(6, "")),
            (V{R"({"day":[[900,1015],[1330,1500]],"night":[[2100,100]]})"}));
  EXPECT_EQ(strings(com.get<DataType::VString>(11, "")), (V{std::string(kMarginRendered)}));
  EXPECT_EQ(strings(com.get<DataType::VString>(17, "")), (V{R"({"k":"v"})"}));

  const StructValue& fut = svs[6];
  EXPECT_EQ(strings(fut.get<DataType::VString>(2, "")), (V{"cu2402", "cu2403"}));
  const auto expires = fut.get<DataType::VInt>(15, "");
  EXPECT_EQ(std::vector<std::int32_t>(expires.begin(), expires.end()),
            (std::vector<std::int32_t>{20240215, 20240315}));
  EXPECT_EQ(strings(fut.get<DataType::VString>(5, "")), (V{"{}", "{}"}));
}

TEST(MarketMetaRows, NamespaceFromTheFirstName) {
  const MarketMeta m = load_one(bundle(full_market()));
  EXPECT_TRUE(m.to_sv(NameIndex{}).empty());  // "global" with nothing under it
  // "aaa::Other" sorts first: only parts under "aaa" are found.
  auto svs = m.to_sv(index_of({{"aaa::Other", {1, 1}}, {"aaa::Stock", {1, 5}}, {"global::Market", {0, 11}}}));
  ASSERT_EQ(svs.size(), 1u);
  EXPECT_EQ(svs[0].meta_id, 5);
  EXPECT_EQ(svs[0].namespace_, 1);
  // A first name without "::" is the namespace as a whole.
  svs = m.to_sv(index_of({{"Market", {0, 1}}, {"Market::Holiday", {0, 2}}}));
  ASSERT_EQ(svs.size(), 1u);
  EXPECT_EQ(types_of(svs[0]).size(), 3u);
  // Parts are skipped when absent even if their name resolves.
  const MarketMeta only_info = load_one(bundle({{"market_info", render(market_info())}}));
  EXPECT_EQ(only_info.to_sv(global_index()).size(), 1u);
}

}  // namespace
}  // namespace qel::refdata
