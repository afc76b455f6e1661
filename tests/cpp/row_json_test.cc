// Row rendering: member order, values by slot type, fallbacks by declared type,
// escaping, and seeded rows read back through an independent parser.
#include <gtest/gtest.h>

#include <simdjson.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "qel/rows/row_json.h"

namespace qel::rows {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

IndexMeta make_meta(const std::vector<std::pair<std::string, std::uint8_t>>& columns, std::uint32_t id = 7) {
  IndexMeta m;
  m.name = "demo.bar";
  m.id = id;
  m.revision = 3;
  for (const auto& [name, code] : columns) m.fields.push_back({name, 0, 2, 0, {code}, 0});
  return m;
}

// One column of each declared type, then an unknown kind.
IndexMeta every_kind_meta() {
  return make_meta({{"i", 1}, {"d", 2}, {"s", 3}, {"vi", 4}, {"vd", 5}, {"vs", 6}, {"l", 7}, {"vl", 8}, {"x", 9}});
}

StructValue make_row(Slots fields, std::string market = "SH", std::string code = "600000") {
  StructValue r;
  r.market = std::move(market);
  r.stock_code = std::move(code);
  r.time_tag = 1'704'159'000'000;
  r.granularity = 60;
  r.meta_id = 7;
  r.fields = std::move(fields);
  return r;
}

std::string group(const IndexMeta& meta, const std::vector<StructValue>& rows) {
  std::string out;
  append_group_json(out, meta, rows);
  return out;
}

// A rendering read back by an independent parser.
struct Parsed {
  simdjson::dom::parser parser;
  simdjson::dom::element root;
  explicit Parsed(const std::string& json) {
    const auto err = parser.parse(json).get(root);
    EXPECT_EQ(err, simdjson::SUCCESS) << json;
  }
};

std::vector<std::string> keys_of(simdjson::dom::object obj) {
  std::vector<std::string> keys;
  for (auto field : obj) keys.emplace_back(field.key);
  return keys;
}

// The value a row member must read back as, from the slot alone.
void expect_value(simdjson::dom::element e, const FieldValue& v) {
  switch (v.type()) {
    case DataType::Int: EXPECT_EQ(e.get_int64().value(), v.view<DataType::Int>()); break;
    case DataType::Int64: EXPECT_EQ(e.get_int64().value(), v.view<DataType::Int64>()); break;
    case DataType::Double: {
      const double d = v.view<DataType::Double>();
      if (!std::isfinite(d)) {
        EXPECT_TRUE(e.is_null());
      } else {
        ASSERT_TRUE(e.is_double()) << "a double must keep its fraction or exponent";
        EXPECT_EQ(std::bit_cast<std::uint64_t>(e.get_double().value()), std::bit_cast<std::uint64_t>(d));
      }
      break;
    }
    case DataType::String: EXPECT_EQ(e.get_string().value(), v.view<DataType::String>()); break;
    case DataType::VInt:
    case DataType::VInt64:
    case DataType::VDouble:
    case DataType::VString: {
      const auto arr = e.get_array().value();
      std::vector<FieldValue> items;
      if (v.type() == DataType::VInt) for (auto x : v.view<DataType::VInt>()) items.emplace_back(x);
      if (v.type() == DataType::VInt64) for (auto x : v.view<DataType::VInt64>()) items.emplace_back(x);
      if (v.type() == DataType::VDouble) for (auto x : v.view<DataType::VDouble>()) items.emplace_back(x);
      if (v.type() == DataType::VString) for (const auto& x : v.view<DataType::VString>()) items.emplace_back(x);
      ASSERT_EQ(arr.size(), items.size());
      std::size_t i = 0;
      for (auto x : arr) expect_value(x, items[i++]);
      break;
    }
    case DataType::Empty: FAIL() << "an empty slot has no value of its own";
  }
}

// What an empty slot, or a column past the row's slots, reads back as.
void expect_fallback(simdjson::dom::element e, FieldKind kind) {
  if (kind.is_other()) {
    EXPECT_TRUE(e.is_null());
    return;
  }
  switch (kind.data_type()) {
    case DataType::Int:
    case DataType::Int64: EXPECT_TRUE(e.is_int64() && e.get_int64().value() == 0); break;
    case DataType::Double: EXPECT_TRUE(e.is_double() && e.get_double().value() == 0.0); break;
    case DataType::String: EXPECT_EQ(e.get_string().value(), ""); break;
    default: EXPECT_EQ(e.get_array().value().size(), 0u);
  }
}

void expect_group(const std::string& json, const IndexMeta& meta, const std::vector<StructValue>& rows) {
  Parsed doc(json);
  const auto g = doc.root.get_object().value();
  ASSERT_EQ(keys_of(g), (std::vector<std::string>{"id", "name", "revision", "values"}));
  EXPECT_EQ(g["id"].get_uint64().value(), meta.id);
  EXPECT_EQ(g["name"].get_string().value(), meta.name);
  EXPECT_EQ(g["revision"].get_uint64().value(), meta.revision);
  const auto values = g["values"].get_array().value();
  ASSERT_EQ(values.size(), rows.size());
  std::vector<std::string> expected_keys{"market", "code", "_stock_code", "time_tag", "granularity"};
  for (const IndexMetaField& f : meta.fields) expected_keys.push_back(f.name);
  std::size_t r = 0;
  for (auto value : values) {
    const StructValue& row = rows[r++];
    const auto obj = value.get_object().value();
    ASSERT_EQ(keys_of(obj), expected_keys);
    EXPECT_EQ(obj["market"].get_string().value(), row.market);
    EXPECT_EQ(obj["code"].get_string().value(), row.stock_code);
    EXPECT_EQ(obj["_stock_code"].get_string().value(), row.stock_code);
    EXPECT_EQ(obj["time_tag"].get_uint64().value(), row.time_tag);
    EXPECT_EQ(obj["granularity"].get_uint64().value(), static_cast<std::uint32_t>(row.granularity));
    std::size_t c = 0;
    for (auto field : obj) {
      if (c >= 5) {
        const std::size_t col = c - 5;
        if (col < row.size() && !row.fields[col].empty()) {
          expect_value(field.value, row.fields[col]);
        } else {
          expect_fallback(field.value, meta.fields[col].field_type);
        }
      }
      ++c;
    }
  }
}

TEST(RowJson, EverySlotTypeReadsBack) {
  const IndexMeta meta = every_kind_meta();
  std::vector<StructValue> rows;
  rows.push_back(make_row({std::int32_t{-2147483647 - 1}, 2.5, "text", std::vector<std::int32_t>{1, -2},
                           std::vector<double>{0.1, 1e300, -0.0}, std::vector<std::string>{"a", "", "b"},
                           std::int64_t{std::numeric_limits<std::int64_t>::min()},
                           std::vector<std::int64_t>{std::numeric_limits<std::int64_t>::max()}, std::int32_t{9}}));
  rows.back().time_tag = std::numeric_limits<std::uint64_t>::max();
  // Empty lists, and slots holding another type than their column declares:
  // what the row holds is what is rendered.
  rows.push_back(make_row({"not an int", std::int64_t{5}, std::int32_t{6}, std::vector<std::int32_t>{},
                           std::vector<double>{}, std::vector<std::string>{}, 0.25, std::vector<double>{1.5},
                           "other"}));
  rows.back().granularity = 86400;
  const std::string json = group(meta, rows);
  expect_group(json, meta, rows);
  EXPECT_NE(json.find(R"("i":"not an int","d":5,"s":6,)"), std::string::npos) << json;
}

TEST(RowJson, EmptySlotsAndShortRowsFallBackToTheDeclaredType) {
  const IndexMeta meta = every_kind_meta();
  StructValue empty_slots = make_row({});
  empty_slots.fields.resize(meta.fields.size());
  StructValue short_row = make_row({std::int32_t{4}, 1.0});  // the rest is past the row's slots
  StructValue no_slots = make_row({});
  const std::string json = group(meta, {empty_slots, short_row, no_slots});
  const std::string header = R"({"market":"SH","code":"600000","_stock_code":"600000","time_tag":1704159000000,"granularity":60,)";
  const std::string tail = R"("s":"","vi":[],"vd":[],"vs":[],"l":0,"vl":[],"x":null})";
  EXPECT_EQ(json, R"({"id":7,"name":"demo.bar","revision":3,"values":[)" +  //
                      header + R"("i":0,"d":0.0,)" + tail + "," +              //
                      header + R"("i":4,"d":1.0,)" + tail + "," +              //
                      header + R"("i":0,"d":0.0,)" + tail + "]}");
}

TEST(RowJson, DoublesKeepTheirFormAndNonFiniteIsNull) {
  const IndexMeta meta = make_meta({{"a", 2}, {"b", 2}, {"c", 2}, {"d", 2}, {"e", 2}, {"f", 2}, {"g", 5}});
  const std::string json =
      group(meta, {make_row({0.0, 1.0, -0.0, kNaN, kInf, -kInf, std::vector<double>{kNaN, 100000.0, 1234.56}})});
  EXPECT_NE(json.find(R"("a":0.0,"b":1.0,"c":-0.0,"d":null,"e":null,"f":null,"g":[null,1e+05,1234.56]})"),
            std::string::npos)
      << json;
}

TEST(RowJson, NegativeGranularityIsItsUnsigned32BitValue) {
  StructValue row = make_row({});
  row.granularity = -1;
  EXPECT_NE(group(make_meta({}), {row}).find(R"("granularity":4294967295})"), std::string::npos);
}

// A text in each place one can occur: header, column name, meta name, string
// slot and string-list element.
class Escaping : public ::testing::TestWithParam<std::string> {};

TEST_P(Escaping, EveryTextReadsBack) {
  const std::string& t = GetParam();
  IndexMeta meta = make_meta({{t, 3}, {"v", 6}});
  meta.name = t;
  std::vector<StructValue> rows{make_row({t, std::vector<std::string>{t, "x", t}}, t, t)};
  const std::string json = group(meta, rows);
  expect_group(json, meta, rows);
}

INSTANTIATE_TEST_SUITE_P(
    RowJson, Escaping,
    ::testing::Values(std::string("quote \" and backslash \\"), std::string("\n\t\r\b\f\x01\x1f\x7f"),
                      std::string("nul \0 inside", 12), std::string("\xE6\xB5\xA6\xE5\x8F\x91 \xF0\x9F\x93\x88"),
                      std::string(""), std::string(5000, '"'),  // longer than the in-place limit
                      std::string(4096, 'a') + "\\"));

TEST(RowJson, ColumnNameIsEscapedInTheKey) {
  const std::string json = group(make_meta({{"a\"b", 1}}), {make_row({std::int32_t{1}})});
  EXPECT_NE(json.find(R"(,"a\"b":1})"), std::string::npos) << json;
}

TEST(RowJson, AppendsAfterWhatIsThereAndBothRowFormsAgree) {
  const IndexMeta meta = every_kind_meta();
  std::vector<StructValue> rows{make_row({std::int32_t{1}}), make_row({std::int32_t{2}, 3.5})};
  std::vector<const StructValue*> refs{&rows[0], &rows[1]};
  std::string by_value = "[";
  append_group_json(by_value, meta, rows);
  std::string by_ref = "[";
  append_group_json(by_ref, meta, std::span<const StructValue* const>(refs));
  EXPECT_EQ(by_value, by_ref);
  EXPECT_EQ(by_value, "[" + group(meta, rows));
  EXPECT_EQ(group(meta, {}), R"({"id":7,"name":"demo.bar","revision":3,"values":[]})");
}

// Many rows of random shape: texts across the grow step and the in-place
// limit, lists of every length, slots of random type, rows short and long.
TEST(RowJson, SeededRowsReadBack) {
  std::mt19937_64 rng(20240102);
  auto pick = [&](std::uint64_t n) { return static_cast<std::size_t>(rng() % n); };
  auto random_text = [&] {
    static const std::vector<std::string> pieces{"a", "Z9", "\"", "\\", "\n", "\x02", "\xC3\xA9", "\xE2\x82\xAC",
                                                 "\xF0\x9F\x98\x80", " "};
    std::string s;
    const std::size_t n = pick(10) == 0 ? 3000 + pick(3000) : pick(20);
    while (s.size() < n) s += pieces[pick(pieces.size())];
    return s;
  };
  auto random_double = [&] {
    switch (pick(4)) {
      case 0: return std::bit_cast<double>(rng());
      case 1: return static_cast<double>(static_cast<std::int64_t>(rng() % 2'000'000'000) - 1'000'000'000) / 100.0;
      case 2: return static_cast<double>(static_cast<std::int64_t>(rng())) * 1e-6;
      default: return static_cast<double>(static_cast<std::int32_t>(rng()));
    }
  };
  auto random_slot = [&]() -> FieldValue {
    const std::size_t len = pick(6);
    switch (pick(9)) {
      case 0: return {};
      case 1: return static_cast<std::int32_t>(rng());
      case 2: return random_double();
      case 3: return random_text();
      case 4: { std::vector<std::int32_t> v(len); for (auto& x : v) x = static_cast<std::int32_t>(rng()); return v; }
      case 5: { std::vector<double> v(len); for (auto& x : v) x = random_double(); return v; }
      case 6: { std::vector<std::string> v(len); for (auto& x : v) x = random_text(); return v; }
      case 7: return static_cast<std::int64_t>(rng());
      default: { std::vector<std::int64_t> v(len); for (auto& x : v) x = static_cast<std::int64_t>(rng()); return v; }
    }
  };
  const IndexMeta meta = every_kind_meta();
  std::vector<StructValue> rows;
  for (int i = 0; i < 600; ++i) {
    StructValue row = make_row({}, random_text(), random_text());
    row.time_tag = rng();
    row.granularity = static_cast<std::int32_t>(rng());
    row.fields.resize(pick(meta.fields.size() + 3));
    for (FieldValue& v : row.fields) v = random_slot();
    rows.push_back(std::move(row));
  }
  expect_group(group(meta, rows), meta, rows);
}

TEST(RenderFetchJson, NothingToRenderIsAnEmptyData) {
  IndexSchemaCatalog catalog;
  catalog.metas[{1, 7}] = every_kind_meta();
  StructValue row = make_row({std::int32_t{1}});
  row.namespace_ = 1;
  StructValue other_meta = row;
  other_meta.meta_id = 8;
  StructValue other_ns = row;
  other_ns.namespace_ = 0;
  const std::vector<StructValue> none;
  for (const auto& [cat, rows] : std::vector<std::tuple<const IndexSchemaCatalog*, std::vector<StructValue>>>{
           {&catalog, none}, {nullptr, {row}}, {&catalog, {other_meta, row}}, {&catalog, {other_ns}}}) {
    EXPECT_EQ(render_fetch_json(cat, rows), R"({"data":{}})");
  }
}

TEST(RenderFetchJson, AllRowsUnderTheFirstRowsMeta) {
  IndexSchemaCatalog catalog;
  catalog.metas[{1, 7}] = every_kind_meta();
  catalog.metas[{1, 8}] = make_meta({{"only", 2}}, 8);
  StructValue first = make_row({std::int32_t{1}});
  first.namespace_ = 1;
  StructValue second = make_row({std::int32_t{2}, 2.0});
  second.namespace_ = 1;
  second.meta_id = 8;
  const std::vector<StructValue> rows{first, second};
  const std::string json = render_fetch_json(&catalog, rows);
  ASSERT_EQ(json.rfind(R"({"data":{"":[{"id":7,)", 0), 0u) << json;
  Parsed doc(json);
  const auto groups = doc.root["data"][""].get_array().value();
  ASSERT_EQ(groups.size(), 1u);
  expect_group(simdjson::to_string(groups.at(0)), catalog.metas[{1, 7}], rows);
}

}  // namespace
}  // namespace qel::rows
