// Batch and compressed-set codec: exact bytes, presence bitmap, aux mask, error
// texts, lying counts, a seeded round trip against the format's rules, and
// the split and rendered forms of random sets against their plain forms.
#include <gtest/gtest.h>

#include "error_text.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "qel/rows/index_serializer.h"
#include "qel/rows/row_json.h"
#include "qel/wire/snappy.h"

namespace qel::rows {
namespace {

using wire::as_bytes;
using wire::Writer;

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();

struct Col {
  std::uint8_t code;
  std::uint32_t precision = 0;
};

void add_meta(IndexSchemaCatalog& cat, std::uint16_t ns, std::uint32_t id, const std::vector<Col>& cols) {
  IndexMeta& m = cat.metas[{ns, id}];
  for (const Col& c : cols) m.fields.push_back({"c", 0, c.precision, 0, {c.code}, 0});
}

IndexSchemaCatalog catalog(const std::vector<Col>& cols) {
  IndexSchemaCatalog cat;
  add_meta(cat, 1, 5, cols);
  return cat;
}

StructValue row(Slots fields, std::uint16_t ns = 1, std::int32_t meta_id = 5) {
  StructValue r;
  r.meta_id = meta_id;
  r.namespace_ = ns;
  r.fields = std::move(fields);
  return r;
}

using Rows = std::vector<StructValue>;

std::vector<const StructValue*> refs(const Rows& rows) {
  std::vector<const StructValue*> out;
  for (const StructValue& r : rows) out.push_back(&r);
  return out;
}

std::string ser(const IndexSchemaCatalog& cat, const Rows& rows) { return serialize(cat, refs(rows)); }
std::string comp(const IndexSchemaCatalog& cat, const Rows& rows) { return compress(cat, refs(rows)); }
Rows de(const IndexSchemaCatalog& cat, const std::string& b) { return deserialize(cat, as_bytes(b)); }

std::string raw(std::initializer_list<int> v) { return {v.begin(), v.end()}; }

// Fields 1-4 of a (1, 5) batch.
std::string head(std::uint64_t n, std::uint16_t aux_mask = 0) {
  Writer w;
  w.write_u16(1);
  w.write_i32(5);
  w.write_u16(aux_mask);
  w.write_u64(n);
  return std::move(w).take();
}
// Fields 1-8 for n rows with zero time tags and granularities and empty strings.
std::string header(std::uint64_t n, std::uint16_t aux_mask = 0) { return head(n, aux_mask) + std::string(20 * n, '\0'); }
// word_count 1, bit 0 set.
const std::string kFirstBit = raw({0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1});

TEST(RowBatch, ExactBytesOfOneRow) {
  const IndexSchemaCatalog cat = catalog({{1}, {2, 2}, {3}});
  StructValue r = row({std::int32_t{7}, 1.005, std::string("x")});
  r.time_tag = 0x0102030405060708;
  r.granularity = -60;
  r.market = "SH";
  r.stock_code = "600000";
  const std::string wire = raw({0, 1, 0, 0, 0, 5, 0, 0,        // namespace, meta_id, aux_mask
                                 0, 0, 0, 0, 0, 0, 0, 1,        // row_count
                                 1, 2, 3, 4, 5, 6, 7, 8,        // time tag
                                 0xFF, 0xFF, 0xFF, 0xC4,        // granularity
                                 0, 0, 0, 2, 'S', 'H', 0, 0, 0, 6, '6', '0', '0', '0', '0', '0',
                                 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 7,  // word_count, presence
                                 0, 0, 0, 7,                    // 1.005 * 100 is 100.49999999999999 in doubles
                                 0, 0, 0, 0, 0, 0, 0, 100, 0, 0, 0, 1, 'x'});
  EXPECT_EQ(ser(cat, {r}), wire);

  StructValue expected = r;
  expected.fields[1] = 100 * 0.01;
  EXPECT_EQ(de(cat, wire), Rows{expected});
  EXPECT_EQ(de(cat, wire + "tail"), Rows{expected});  // trailing bytes are ignored
}

struct ValueCase {
  Col col;
  FieldValue value;
  std::string wire;
  FieldValue decoded;
};

class RowValue : public testing::TestWithParam<ValueCase> {};

TEST_P(RowValue, EncodesAndDecodes) {
  const ValueCase& c = GetParam();
  const IndexSchemaCatalog cat = catalog({c.col});
  // Other columns are present too, they just carry no bytes.
  const std::string wire = header(1) + kFirstBit + c.wire;
  EXPECT_EQ(ser(cat, {row({c.value})}), wire);
  EXPECT_EQ(de(cat, wire).at(0).fields, Slots{c.decoded});
}

using I32s = std::vector<std::int32_t>;
using I64s = std::vector<std::int64_t>;
using Strs = std::vector<std::string>;

INSTANTIATE_TEST_SUITE_P(
    Kinds, RowValue,
    testing::Values(
        ValueCase{{1}, std::int32_t{-2}, raw({0xFF, 0xFF, 0xFF, 0xFE}), std::int32_t{-2}},
        ValueCase{{2, 0}, -2.5, raw({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFD}), -3.0},
        ValueCase{{2, 12}, 1234.5, raw({0, 0, 0, 0, 0, 0, 0x04, 0xD3}), 1235.0},
        ValueCase{{3}, std::string("\xC3\xA9"), raw({0, 0, 0, 2, 0xC3, 0xA9}), std::string("\xC3\xA9")},
        ValueCase{{4}, I32s{1, 2}, raw({0, 0, 0, 2, 1, 0, 0, 0, 2, 0, 0, 0}), I32s{1, 2}},
        ValueCase{{5, 1}, std::vector<double>{1.25, -0.05},
                  raw({0, 0, 0, 2, 13, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}),
                  std::vector<double>{13 * 0.1, -1 * 0.1}},
        ValueCase{{6}, Strs{"a", ""}, raw({0, 0, 0, 2, 0, 0, 0, 1, 'a', 0, 0, 0, 0}), Strs{"a", ""}},
        ValueCase{{7}, std::int64_t{-2}, raw({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE}), std::int64_t{-2}},
        ValueCase{{8}, I64s{0x0102030405060708}, raw({0, 0, 0, 1, 8, 7, 6, 5, 4, 3, 2, 1}), I64s{0x0102030405060708}},
        ValueCase{{4}, I32s{}, raw({0, 0, 0, 0}), I32s{}},
        ValueCase{{9}, std::int32_t{5}, "", FieldValue{}},
        ValueCase{{0}, Strs{"x"}, "", FieldValue{}}));

TEST(RowScale, RoundsHalfAwayAndSaturates) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    double v;
    std::uint32_t p;
    std::int64_t want;
  };
  for (const Case& c : std::vector<Case>{
           {2.5, 0, 3}, {-2.5, 0, -3}, {0.5, 0, 1}, {-0.49, 0, 0}, {1.005, 2, 100}, {1.5, 9, 1500000000},
           {1e300, 2, kMax}, {-1e300, 2, kMin}, {nan, 3, 0}, {inf, 0, kMax}, {-inf, 12, kMin}, {0x1p63, 0, kMax},
           {-0x1p63, 0, kMin}, {0x1p62, 0, 1LL << 62}, {2.5, 12, 3}, {1234.5678, 10, 1235}, {-7.5, 99, -8}}) {
    EXPECT_EQ(scale_to_i64(c.v, c.p), c.want) << c.v << " at p=" << c.p;
  }
  EXPECT_EQ(unscale(100, 2), 100 * 0.01);
  EXPECT_EQ(unscale(7, 9), 7 * 1e-9);
  EXPECT_EQ(unscale(kMax, 12), 0x1p63);
}

// The bitmap words of a batch of n rows with empty header strings and no aux.
std::vector<std::uint64_t> bitmap(const std::string& batch, std::uint64_t n) {
  wire::Reader r(as_bytes(batch));
  r.read_view(16 + 20 * n);
  std::vector<std::uint64_t> words(r.read_u32());
  for (auto& w : words) w = r.read_u64();
  return words;
}

TEST(RowBatch, PresenceBitmap) {
  const IndexSchemaCatalog two = catalog({{1}, {3}});
  // k = f * n + r: only column 1 of row 1 (bit 3) is absent, and so is its value.
  const Rows rows{row({std::int32_t{1}, std::string("a")}), row({std::int32_t{2}, {}})};
  const std::string batch = ser(two, rows);
  EXPECT_EQ(bitmap(batch, 2), std::vector<std::uint64_t>{0b0111});
  EXPECT_EQ(batch.substr(16 + 40 + 12), raw({0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 1, 'a'}));
  EXPECT_EQ(de(two, batch), rows);

  const IndexSchemaCatalog one = catalog({{1}});
  Rows full(64, row({std::int32_t{3}}));
  EXPECT_EQ(bitmap(ser(one, full), 64), std::vector<std::uint64_t>{~0ULL});
  full.push_back(row({std::int32_t{4}}));
  EXPECT_EQ(bitmap(ser(one, full), 65), (std::vector<std::uint64_t>{~0ULL, 1}));
  EXPECT_EQ(de(one, ser(one, full)), full);
  Rows last_only(64, row({FieldValue{}}));
  last_only.push_back(row({std::int32_t{4}}));
  EXPECT_EQ(bitmap(ser(one, last_only), 65), (std::vector<std::uint64_t>{0, 1}));
  EXPECT_EQ(de(one, ser(one, last_only)), last_only);

  // All-set bits stop at n * F: 3 rows of 2 columns set six bits.
  EXPECT_EQ(bitmap(ser(two, Rows(3, rows[0])), 3), std::vector<std::uint64_t>{0b111111});
}

TEST(RowBatch, AuxMaskComesFromTheFirstRow) {
  const IndexSchemaCatalog cat = catalog({});
  Rows rows{row({}), row({})};
  rows[0].aux[3] = 5;
  rows[0].aux[11] = -1;
  rows[1].aux[4] = 9;
  rows[1].aux[11] = 6;
  std::string batch = ser(cat, rows);
  EXPECT_EQ(batch, header(2, 0x0808) + raw({0, 0, 0, 5, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 6, 0, 0, 0, 0}));

  Rows expected = rows;
  expected[1].aux[4] = 0;
  EXPECT_EQ(de(cat, batch), expected);
  // The four high mask bits carry no values and are ignored when reading.
  batch[6] = static_cast<char>(0xF8);
  EXPECT_EQ(de(cat, batch), expected);
}

TEST(RowBatch, SerializeErrors) {
  const IndexSchemaCatalog cat = catalog({{1}, {2, 2}, {9}});
  const StructValue good = row({std::int32_t{1}, 1.0, std::string("any")});
  struct Case {
    Rows rows;
    std::string error;
  };
  const std::vector<Case> cases{
      {{}, "empty input batch"},
      {{row({}, 3, 4)}, "unknown schema: namespace=3 meta_id=4"},
      {{row({std::int32_t{1}, 1.0})}, "StructValue field count 2 does not match schema field count 3 for (ns=1, meta_id=5)"},
      {{good, row({{}, {}, {}, {}})}, "StructValue field count 4 does not match schema field count 3 for (ns=1, meta_id=5)"},
      {{row({std::int32_t{1}, std::int32_t{2}, {}})}, "StructValue field 1 is Int but schema declares Double"},
      // Column-then-row order: row 1's column 0 is reported before row 0's column 1.
      {{row({std::int32_t{1}, std::string("s"), {}}), row({std::int64_t{1}, 1.0, {}})},
       "StructValue field 0 is Int64 but schema declares Int"}};
  for (const Case& c : cases) EXPECT_EQ(qel::test_support::error_text<SerializerError>([&] { ser(cat, c.rows); }), c.error);

  // Rows are written under the first row's key without comparing their own.
  const auto back = de(cat, ser(cat, {good, row({std::int32_t{2}, {}, {}}, 7, 8)}));
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back[1].namespace_, 1);
  EXPECT_EQ(back[1].meta_id, 5);
}

// A row_count the input cannot hold must fail on the missing bytes without
// allocating for it (an allocation of that size would abort under ASan).
TEST(RowBatch, DeserializeErrors) {
  const IndexSchemaCatalog cat = catalog({{1}, {3}});
  const std::string batch = ser(cat, {row({std::int32_t{1}, std::string("ab")}), row({std::int32_t{2}, {}})});
  const std::size_t words_at = 16 + 2 * 20;
  auto patched = [&](std::size_t at, int byte) {
    std::string b = batch;
    b[at] = static_cast<char>(byte);
    return b;
  };
  const std::pair<std::string, std::string> cases[] = {
      {patched(5, 6), "unknown schema: namespace=1 meta_id=6"},
      {patched(words_at + 3, 2), "codec: length prefix 2 exceeds remaining buffer (1 bytes)"},
      {batch.substr(0, words_at + 4 + 3), "codec: unexpected end of input: needed 5 more bytes"},
      {batch.substr(0, batch.size() - 1), "codec: unexpected end of input: needed 1 more bytes"},
      {patched(batch.size() - 1, 0xFF), "codec: invalid utf-8 in string field"},
      {"", "codec: unexpected end of input: needed 2 more bytes"},
      {head(~0ULL), "codec: unexpected end of input: needed 8 more bytes"},
      {head((1ULL << 61) + 1) + "abc", "codec: unexpected end of input: needed 5 more bytes"},
      {head(1ULL << 32) + "abc", "codec: unexpected end of input: needed 5 more bytes"},
      // Room for the time tags only: the granularities run out.
      {head(100) + std::string(800, '\0'), "codec: unexpected end of input: needed 4 more bytes"}};
  for (const auto& c : cases) EXPECT_EQ(qel::test_support::error_text<SerializerError>([&] { de(cat, c.first); }), c.second);
}

class RowLyingCount : public testing::TestWithParam<std::pair<Col, std::uint64_t>> {};

TEST_P(RowLyingCount, FailsOnTheMissingBytes) {
  const IndexSchemaCatalog cat = catalog({GetParam().first});
  const std::string wire = header(1) + kFirstBit + raw({0xFF, 0xFF, 0xFF, 0xFF, 'x', 'y'});
  EXPECT_EQ(qel::test_support::error_text<SerializerError>([&] { de(cat, wire); }),
            "codec: unexpected end of input: needed " + std::to_string(GetParam().second) + " more bytes");
}

INSTANTIATE_TEST_SUITE_P(Kinds, RowLyingCount,
                         testing::Values(std::pair{Col{3}, 0xFFFFFFFFULL - 2}, std::pair{Col{4}, 0xFFFFFFFFULL * 4 - 2},
                                         std::pair{Col{5, 2}, 0xFFFFFFFFULL * 8 - 2},
                                         std::pair{Col{8}, 0xFFFFFFFFULL * 8 - 2}, std::pair{Col{6}, 2ULL}));

std::string payload_of(const std::string& blob) { return wire::snappy_uncompress(as_bytes(blob)); }
std::string blob_of(const std::string& payload) { return wire::snappy_compress(as_bytes(payload)); }

// A compressed-set payload: group_count, then each batch behind its batch_len.
std::string groups_payload(std::uint32_t group_count, std::initializer_list<std::string> batches) {
  Writer w;
  w.write_u32(group_count);
  for (const std::string& b : batches) w.write_string(b);
  return std::move(w).take();
}

TEST(RowCompress, GroupsAscendingKeepingInputOrder) {
  IndexSchemaCatalog cat = catalog({{1}});
  add_meta(cat, 0, 9, {{3}});
  add_meta(cat, 0, 0xFFFFFFFF, {});
  const Rows rows{row({std::int32_t{1}}), row({std::string("b")}, 0, 9), row({std::int32_t{2}}),
                                      row({}, 0, -1)};
  const std::string blob = comp(cat, rows);
  EXPECT_EQ(payload_of(blob), groups_payload(3, {ser(cat, {rows[1]}), ser(cat, {rows[3]}), ser(cat, {rows[0], rows[2]})}));
  EXPECT_EQ(decompress(cat, as_bytes(blob)), (Rows{rows[1], rows[3], rows[0], rows[2]}));

  EXPECT_EQ(payload_of(comp(cat, {})), std::string(4, '\0'));
  EXPECT_TRUE(decompress(cat, as_bytes(comp(cat, {}))).empty());
  EXPECT_TRUE(decompress(cat, {}).empty());
  EXPECT_EQ(qel::test_support::error_text<SerializerError>([&] { comp(cat, {rows[0], row({}, 2, 2)}); }), "unknown schema: namespace=2 meta_id=2");
}

TEST(RowCompress, DecompressFraming) {
  const IndexSchemaCatalog cat = catalog({{1}});
  const std::string batch = ser(cat, {row({std::int32_t{7}})});
  const Rows one{row({std::int32_t{7}})};
  auto rows_of = [&](const std::string& payload) { return decompress(cat, as_bytes(blob_of(payload))); };

  // Zero-length groups are skipped; bytes left inside a group's slice and
  // after the last group are ignored.
  EXPECT_EQ(rows_of(groups_payload(3, {"", batch + "pad", batch})), (Rows{one[0], one[0]}));
  EXPECT_EQ(rows_of(groups_payload(1, {batch}) + "junk"), one);

  EXPECT_EQ(qel::test_support::error_text<SerializerError>([&] { rows_of(raw({0, 0, 0, 1, 0, 0, 0, 100}) + std::string(10, 'z')); }),
            "codec: unexpected end of input: needed 90 more bytes");
  EXPECT_EQ(qel::test_support::error_text<SerializerError>([&] { rows_of(groups_payload(2, {batch})); }), "codec: unexpected end of input: needed 4 more bytes");
  EXPECT_EQ(qel::test_support::error_text<SerializerError>([&] { rows_of(groups_payload(1, {batch.substr(0, batch.size() - 1)})); }),
            "codec: unexpected end of input: needed 1 more bytes");
  const std::string snappy_err = qel::test_support::error_text<SerializerError>([&] { decompress(cat, as_bytes("\x05garbage")); });
  EXPECT_EQ(snappy_err.rfind("snappy: ", 0), 0u) << snappy_err;
}

// A double after the wire: scaled at p, rounded half away from zero, saturated
// to i64, then multiplied by the nearest double to 10^-p (1 from p = 10 on).
double through_wire(double v, std::uint32_t p) {
  double encode = 1;
  for (std::uint32_t i = 0; p <= 9 && i < p; ++i) encode *= 10;
  const double decode = p <= 9 ? std::stod("1e-" + std::to_string(p)) : 1.0;
  const double x = std::round(v * encode);
  const std::int64_t i = std::isnan(x) ? 0 : x >= 0x1p63 ? kMax : x < -0x1p63 ? kMin : static_cast<std::int64_t>(x);
  return static_cast<double>(i) * decode;
}

struct Gen {
  std::mt19937_64 rng;

  std::uint64_t below(std::uint64_t n) { return rng() % n; }
  std::string text() {
    static const char* const kPieces[] = {"a", "Z", "0", " ", "\xC3\xA9", "\xE4\xB8\xAD", "\xF0\x9F\x98\x80"};
    std::string s;
    for (auto n = below(9); n > 0; --n) s += kPieces[below(std::size(kPieces))];
    return s;
  }
  double real() {
    const double sign = below(2) ? 1 : -1;
    switch (below(6)) {
      case 0: return sign * (static_cast<double>(below(2000)) + 0.5) / static_cast<double>(1 + below(1000));  // halves
      case 1: return std::numeric_limits<double>::quiet_NaN();
      case 2: return sign * std::numeric_limits<double>::infinity();
      case 3: return sign * std::ldexp(1.0, static_cast<int>(below(80)));  // around the i64 limits
      default: return std::uniform_real_distribution<double>(-1e6, 1e6)(rng);
    }
  }
  FieldValue value(DataType t) {
    auto list = [&](auto make) {
      std::vector<decltype(make())> out(below(4));
      for (auto& v : out) v = make();
      return out;
    };
    switch (t) {
      case DataType::Empty: return {};
      case DataType::Int: return static_cast<std::int32_t>(rng());
      case DataType::Double: return real();
      case DataType::String: return text();
      case DataType::VInt: return list([&] { return static_cast<std::int32_t>(rng()); });
      case DataType::VDouble: return list([&] { return real(); });
      case DataType::VString: return list([&] { return text(); });
      case DataType::Int64: return static_cast<std::int64_t>(rng());
      case DataType::VInt64: return list([&] { return static_cast<std::int64_t>(rng()); });
    }
    return {};
  }

  IndexSchemaCatalog catalog() {
    static const SchemaKey kKeys[] = {{0, 0}, {0, 5}, {1, 5}, {1, 0x80000000}, {65535, 0xFFFFFFFF}};
    static const std::uint8_t kCodes[] = {1, 2, 3, 4, 5, 6, 7, 8, 2, 5, 0, 9, 255};
    IndexSchemaCatalog cat;
    for (auto n = 1 + below(3); n > 0; --n) {
      std::vector<Col> cols(below(10));
      for (Col& c : cols) c = {kCodes[below(std::size(kCodes))], static_cast<std::uint32_t>(below(13))};
      const SchemaKey key = kKeys[below(std::size(kKeys))];
      cat.metas.erase(key);
      add_meta(cat, key.first, key.second, cols);
    }
    return cat;
  }
  SchemaKey pick(const IndexSchemaCatalog& cat) {
    return std::next(cat.metas.begin(), static_cast<std::ptrdiff_t>(below(cat.metas.size())))->first;
  }
  StructValue row(const IndexSchemaCatalog& cat, const SchemaKey& key) {
    StructValue r;
    r.namespace_ = key.first;
    r.meta_id = static_cast<std::int32_t>(key.second);
    r.time_tag = rng();
    r.granularity = static_cast<std::int32_t>(rng());
    r.market = text();
    r.stock_code = text();
    for (auto& a : r.aux) a = below(2) ? 0 : static_cast<std::int32_t>(rng());
    for (const IndexMetaField& f : cat.lookup(key.first, key.second)->fields) {
      const bool other = f.field_type.is_other();
      r.fields.push_back(below(5) == 0 ? FieldValue{}
                                       : value(other ? static_cast<DataType>(below(9)) : f.field_type.data_type()));
    }
    return r;
  }
};

// `rows` as decoded from one batch written under `first`'s key and aux mask.
Rows expected(const IndexSchemaCatalog& cat, Rows rows) {
  const StructValue first = rows.front();
  const IndexMeta& meta = *cat.lookup(first.namespace_, static_cast<std::uint32_t>(first.meta_id));
  for (StructValue& r : rows) {
    r.namespace_ = first.namespace_;
    r.meta_id = first.meta_id;
    for (std::size_t i = 0; i < kAuxCount; ++i) r.aux[i] = first.aux[i] == 0 ? 0 : r.aux[i];
    for (std::size_t f = 0; f < meta.fields.size(); ++f) {
      const std::uint32_t p = meta.fields[f].precision;
      FieldValue& v = r.fields[f];
      if (meta.fields[f].field_type.is_other()) v = FieldValue{};
      if (v.type() == DataType::Double) v.set_double(through_wire(v.view<DataType::Double>(), p));
      if (v.type() == DataType::VDouble) {
        for (double& d : v.elements<DataType::VDouble>()) d = through_wire(d, p);
      }
    }
  }
  return rows;
}

TEST(RowRoundTrip, RandomBatchesFollowTheFormatRules) {
  for (std::uint64_t seed = 1; seed <= 300; ++seed) {
    SCOPED_TRACE(seed);
    Gen g{std::mt19937_64(seed)};
    const IndexSchemaCatalog cat = g.catalog();

    // One batch of a single row type, sometimes crossing a bitmap word.
    const SchemaKey key = g.pick(cat);
    Rows rows(1 + g.below(g.below(4) ? 8 : 70));
    for (StructValue& r : rows) r = g.row(cat, key);
    EXPECT_TRUE(de(cat, ser(cat, rows)) == expected(cat, rows));

    // A compressed set of mixed row types: groups by ascending key, each in input order.
    Rows mixed(g.below(30));
    for (StructValue& r : mixed) r = g.row(cat, g.pick(cat));
    std::map<SchemaKey, Rows> groups;
    for (const StructValue& r : mixed) {
      groups[{r.namespace_, static_cast<std::uint32_t>(r.meta_id)}].push_back(r);
    }
    Rows want;
    for (auto& [k, group] : groups) {
      for (StructValue& r : expected(cat, group)) want.push_back(std::move(r));
    }
    EXPECT_TRUE(decompress(cat, as_bytes(comp(cat, mixed))) == want);
  }
}

using Sets = std::map<std::size_t, std::string>;

Sets split(const IndexSchemaCatalog& cat, const std::vector<RoutedRow>& routed, std::size_t sinks) {
  Sets out;
  compress_split(cat, routed, sinks, [&](std::size_t s, wire::Bytes set) {
    EXPECT_TRUE(out.empty() || out.rbegin()->first < s) << "sinks taken out of order";
    out[s].assign(reinterpret_cast<const char*>(set.data()), set.size());
  });
  return out;
}

// What compress makes of each sink's rows, for the sinks that have any.
Sets split_one_by_one(const IndexSchemaCatalog& cat, const std::vector<RoutedRow>& routed, std::size_t sinks) {
  Sets out;
  for (std::size_t s = 0; s < sinks; ++s) {
    std::vector<const StructValue*> rows;
    for (const RoutedRow& r : routed) {
      if (r.sink == s) rows.push_back(r.row);
    }
    if (!rows.empty()) out[s] = compress(cat, rows);
  }
  return out;
}

TEST(RowCompressSplit, RandomSetsSplitAndRenderAsTheirRows) {
  for (std::uint64_t seed = 1; seed <= 200; ++seed) {
    SCOPED_TRACE(seed);
    Gen g{std::mt19937_64(seed)};
    const IndexSchemaCatalog cat = g.catalog();
    Rows rows(g.below(40));
    for (StructValue& r : rows) r = g.row(cat, g.pick(cat));

    // Rows of mixed keys in any order, each to none, one or several of four sinks.
    std::vector<RoutedRow> routed;
    for (const StructValue& r : rows) {
      for (std::uint32_t s = 0; s < 4; ++s) {
        if (g.below(3) == 0) routed.push_back({&r, s});
      }
    }
    EXPECT_EQ(split(cat, routed, 4), split_one_by_one(cat, routed, 4));

    // A set rendered straight from its checked batches reads as its decoded rows.
    const std::string blob = comp(cat, rows);
    const Rows decoded = decompress(cat, as_bytes(blob));
    wire::ScratchBuffer::Lease lease;
    std::size_t at = 0;
    for (CheckedBatch& batch : check_set(cat, as_bytes(blob), lease)) {
      std::string from_bytes, from_rows;
      append_group_json(from_bytes, batch);
      append_group_json(from_rows, *batch.meta, std::span(decoded).subspan(at, batch.n));
      EXPECT_EQ(from_bytes, from_rows);
      at += batch.n;
    }
    EXPECT_EQ(at, decoded.size());
  }
}

TEST(RowCompressSplit, ReportsTheFaultOfTheFirstSinkInOrder) {
  IndexSchemaCatalog cat = catalog({{1}});
  add_meta(cat, 2, 5, {{1}});
  const StructValue good_a = row({std::int32_t{1}});
  const StructValue bad_a = row({1.5});
  const StructValue bad_b = row({std::int64_t{1}}, 2, 5);
  // One pass meets sink 1's fault (key 1) first; sink 0's (key 2) is the one to report.
  const std::vector<RoutedRow> routed{{&good_a, 0}, {&bad_a, 1}, {&bad_b, 0}};
  EXPECT_EQ(qel::test_support::error_text<SerializerError>([&] { split(cat, routed, 2); }),
            "StructValue field 0 is Int64 but schema declares Int");
  EXPECT_EQ(qel::test_support::error_text<SerializerError>([&] { split(cat, {{&bad_a, 1}}, 2); }),
            "StructValue field 0 is Double but schema declares Int");
}

}  // namespace
}  // namespace qel::rows
