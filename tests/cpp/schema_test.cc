// Schema binary load/save against hand-built binaries, and the name index.
#include <gtest/gtest.h>

#include "error_text.h"

#include <iterator>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "qel/rows/schema.h"
#include "qel/wire/snappy.h"

namespace qel::rows {
namespace {

using wire::as_bytes;
using wire::Writer;

// One meta laid out field by field, written without save_schema.
struct MetaBytes {
  SchemaKey key;
  std::uint32_t id;
  std::uint16_t ns;
  std::string name;
  std::uint32_t revision = 0;
  std::vector<IndexMetaField> columns;
  std::vector<std::pair<std::int32_t, std::int32_t>> granularities;
  std::vector<std::string> strings;
  std::uint8_t flag = 0;
};

std::string payload(const std::vector<MetaBytes>& metas) {
  Writer w;
  w.write_u32(static_cast<std::uint32_t>(metas.size()));
  for (const MetaBytes& m : metas) {
    w.write_u16(m.key.first);
    w.write_u32(m.key.second);
    w.write_u32(m.id);
    w.write_u16(m.ns);
    w.write_string(m.name);
    w.write_string(m.name + " shown");
    w.write_u32(static_cast<std::uint32_t>(m.granularities.size()));
    for (auto [g, count] : m.granularities) {
      w.write_i32(g);
      w.write_i32(count);
    }
    w.write_u8(m.flag);
    w.write_vec_string(m.strings);
    w.write_string("kline");
    w.write_u32(m.revision);
    w.write_string("author-" + m.name);
    w.write_u32(static_cast<std::uint32_t>(m.columns.size()));
    for (const IndexMetaField& c : m.columns) {
      w.write_u32(c.pos);
      w.write_string(c.name);
      w.write_u8(c.field_type.code);
      w.write_u32(c.precision);
      w.write_i32(c.multiple);
      w.write_u8(c.sample_type);
    }
  }
  return std::move(w).take();
}

std::string compressed(const std::string& raw) { return wire::snappy_compress(as_bytes(raw)); }
IndexSchemaCatalog load(const std::string& binary) { return load_schema(as_bytes(binary)); }

// Columns: name, pos, precision, multiple, type code, sample type.
const std::vector<IndexMetaField> kBarColumns{
    {"open", 0, 2, 100, {2}, 1}, {"vol", 1, 0, 0, {7}, 0}, {"odd", 2, 3, -1, {9}, 255}, {"zero", 5, 0, 0, {0}, 0}};
const MetaBytes kBar{{0, 7}, 107, 3, "bar.1m", 4, kBarColumns, {{-60, 1}, {60, 240}, {300, 48}}, {"a", "b\xC3\xA9"}, 0xA5};
const MetaBytes kTick{{1, 0xFFFFFFF0}, 2, 1, "tick", 1, {{"px", 0, 12, 0, {5}, 0}}, {}, {}, 0};

TEST(SchemaBinary, LoadsEveryMemberAndSavesTheSameBytes) {
  const std::string raw = payload({kBar, kTick});
  const IndexSchemaCatalog cat = load(compressed(raw));
  ASSERT_EQ(cat.metas.size(), 2u);

  // Lookups go by the key, not by the meta's own (namespace, id).
  EXPECT_EQ(cat.lookup(3, 107), nullptr);
  ASSERT_NE(cat.lookup(0, 7), nullptr);
  const IndexMeta bar{"bar.1m", "bar.1m shown", "kline", "author-bar.1m", kBarColumns, {"a", "b\xC3\xA9"},
                      0xA5, {{-60, 1}, {60, 240}, {300, 48}}, /*id=*/107, /*revision=*/4, /*namespace=*/3};
  EXPECT_EQ(*cat.lookup(0, 7), bar);
  ASSERT_NE(cat.lookup(1, 0xFFFFFFF0), nullptr);
  EXPECT_EQ(cat.lookup(1, 0xFFFFFFF0)->fields[0].precision, 12u);

  // Unknown column codes are written back unchanged, byte for byte.
  EXPECT_EQ(wire::snappy_uncompress(as_bytes(save_schema(cat))), raw);
  EXPECT_EQ(load(save_schema(cat)), cat);
}

TEST(SchemaBinary, EmptyCatalog) {
  EXPECT_TRUE(load("").metas.empty());
  const std::string saved = save_schema({});
  EXPECT_EQ(saved, compressed(std::string(4, '\0')));
  EXPECT_TRUE(load(saved).metas.empty());
}

TEST(SchemaBinary, KeysComeBackAscendingAndALaterDuplicateWins) {
  MetaBytes first = kTick, low = kTick, again = kBar;
  first.key = {1, 5};
  low.key = {0, 0x80000000};  // meta ids order unsigned
  low.name = "low";
  again.key = {1, 5};
  MetaBytes zero = kTick;
  zero.key = {0, 9};
  const IndexSchemaCatalog cat = load(compressed(payload({first, low, zero, again})));

  std::vector<SchemaKey> keys;
  for (const auto& [key, meta] : cat.metas) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<SchemaKey>{{0, 9}, {0, 0x80000000}, {1, 5}}));
  EXPECT_EQ(cat.lookup(1, 5)->name, "bar.1m");
  EXPECT_EQ(wire::snappy_uncompress(as_bytes(save_schema(cat))), payload({zero, low, again}));
}

TEST(SchemaBinary, RepeatedGranularityKeepsLastAndStringsCollapse) {
  MetaBytes m = kTick;
  m.granularities = {{60, 1}, {5, 2}, {60, 3}};
  m.strings = {"z", "a", "z"};
  const IndexSchemaCatalog cat = load(compressed(payload({m})));
  const IndexMeta& meta = cat.metas.begin()->second;
  EXPECT_EQ(meta.granularities, (std::map<std::int32_t, std::int32_t>{{5, 2}, {60, 3}}));
  EXPECT_EQ(meta.string_set, (std::set<std::string>{"a", "z"}));
}

TEST(SchemaBinary, TruncationInsideTheLastColumnFails) {
  const std::string raw = payload({kBar, kTick});
  // The last column is pos(4) + "px"(4+2) + code(1) + precision(4) + multiple(4) + sample(1) = 20 bytes.
  for (std::size_t cut = 1; cut <= 20; ++cut) {
    SCOPED_TRACE(cut);
    const std::string err = qel::test_support::error_text<SchemaError>([&] { load(compressed(raw.substr(0, raw.size() - cut))); });
    EXPECT_EQ(err.rfind("codec: unexpected end of input: needed ", 0), 0u) << err;
  }
  EXPECT_EQ(qel::test_support::error_text<SchemaError>([&] { load(compressed(raw.substr(0, raw.size() - 1))); }),
            "codec: unexpected end of input: needed 1 more bytes");
  EXPECT_EQ(qel::test_support::error_text<SchemaError>([&] { load(compressed(raw.substr(0, raw.size() - 7))); }),  // precision has 2 of 4
            "codec: unexpected end of input: needed 2 more bytes");
  // Trailing bytes after the last meta are ignored.
  EXPECT_EQ(load(compressed(raw + "junk")), load(compressed(raw)));
}

TEST(SchemaBinary, CorruptInputsFail) {
  MetaBytes bad = kTick;
  bad.name = "\xFF";
  EXPECT_EQ(qel::test_support::error_text<SchemaError>([&] { load(compressed(payload({bad}))); }), "codec: invalid utf-8 in string field");
  // A lying column count fails on the missing bytes instead of reserving for it.
  std::string lying = payload({kTick});
  lying.resize(lying.size() - 20);
  lying.replace(lying.size() - 4, 4, "\xFF\xFF\xFF\xFF");
  EXPECT_EQ(qel::test_support::error_text<SchemaError>([&] { load(compressed(lying)); }), "codec: unexpected end of input: needed 4 more bytes");

  const std::string snappy_err = qel::test_support::error_text<SchemaError>([] { load("\x05garbage"); });
  EXPECT_EQ(snappy_err.rfind("snappy: ", 0), 0u) << snappy_err;
}

IndexMeta named(std::string name, std::uint32_t revision, std::uint16_t ns, std::uint32_t id) {
  IndexMeta m;
  m.name = std::move(name);
  m.id = id;
  m.revision = revision;
  m.namespace_ = ns;
  return m;
}

TEST(SchemaNameIndex, HighestRevisionThenLargestKeyWins) {
  IndexSchemaCatalog cat;
  // Own (namespace, id) differ from the keys to show which pair is stored.
  cat.metas[{0, 1}] = named("a", 3, 10, 101);
  cat.metas[{0, 2}] = named("a", 5, 10, 102);
  cat.metas[{1, 0}] = named("a", 4, 11, 100);  // later key, lower revision: ignored
  cat.metas[{0, 3}] = named("b", 2, 10, 103);
  cat.metas[{2, 0}] = named("b", 2, 12, 100);  // equal revision, larger key
  cat.metas[{0, 4}] = named("c", 0x80000000, 10, 104);
  cat.metas[{0, 5}] = named("c", 1, 10, 105);  // revisions compare unsigned
  cat.metas[{0, 6}] = named("", 0, 10, 106);
  const std::map<std::string, SchemaKey> expected{
      {"", {10, 106}}, {"a", {10, 102}}, {"b", {12, 100}}, {"c", {10, 104}}};
  EXPECT_EQ(name_index(cat).by_name, expected);
  EXPECT_TRUE(name_index({}).by_name.empty());
}

TEST(SchemaFieldKind, Names) {
  const char* const names[] = {"Other(0)", "Int",     "Double", "String", "VInt",    "VDouble",
                               "VString",  "Int64",   "VInt64", "Other(9)"};
  for (std::uint8_t code = 0; code < std::size(names); ++code) EXPECT_EQ(FieldKind{code}.name(), names[code]);
  EXPECT_EQ(FieldKind{255}.name(), "Other(255)");
  EXPECT_EQ(FieldKind{2}.data_type(), DataType::Double);
}

}  // namespace
}  // namespace qel::rows
