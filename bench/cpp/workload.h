// The 12-column row workload the C++ benchmarks share: four ints, four doubles
// (about one in 17 Empty), two short texts, a list of five doubles and an
// int64, over 2,000 six-digit codes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "qel/rows/schema.h"
#include "qel/rows/struct_value.h"

namespace qel::bench {

inline constexpr std::uint16_t kNamespace = 0;
inline constexpr std::int32_t kMetaId = 1001;

inline rows::IndexMetaField column(const char* name, std::uint32_t pos, rows::DataType type,
                                   std::uint32_t precision = 0) {
  rows::IndexMetaField f;
  f.name = name;
  f.pos = pos;
  f.precision = precision;
  f.field_type.code = static_cast<std::uint8_t>(type);
  return f;
}

inline rows::IndexSchemaCatalog make_catalog() {
  using rows::DataType;
  rows::IndexMeta meta;
  meta.name = "bench.snapshot";
  meta.display_name = "bench snapshot";
  meta.index_type = "bench";
  meta.id = kMetaId;
  meta.namespace_ = kNamespace;
  meta.revision = 1;
  meta.granularities = {{3, 4800}};
  const char* ints[] = {"i0", "i1", "i2", "i3"};
  const char* doubles[] = {"d0", "d1", "d2", "d3"};
  std::uint32_t pos = 0;
  for (const char* n : ints) meta.fields.push_back(column(n, pos++, DataType::Int));
  for (int i = 0; i < 4; ++i) meta.fields.push_back(column(doubles[i], pos++, DataType::Double, i < 2 ? 2 : 4));
  meta.fields.push_back(column("s0", pos++, DataType::String));
  meta.fields.push_back(column("s1", pos++, DataType::String));
  meta.fields.push_back(column("v0", pos++, DataType::VDouble, 2));
  meta.fields.push_back(column("l0", pos++, DataType::Int64));
  rows::IndexSchemaCatalog catalog;
  catalog.metas.emplace(rows::SchemaKey{kNamespace, kMetaId}, std::move(meta));
  return catalog;
}

inline std::vector<rows::StructValue> make_rows(std::size_t count, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  auto uniform = [&](std::int64_t lo, std::int64_t hi) {
    return std::uniform_int_distribution<std::int64_t>(lo, hi)(rng);
  };
  std::set<std::string> distinct;
  while (distinct.size() < 2000) {
    char code[8];
    std::snprintf(code, sizeof code, "%06d", static_cast<int>(uniform(0, 999'999)));
    distinct.insert(code);
  }
  const std::vector<std::string> codes(distinct.begin(), distinct.end());
  static constexpr char kAlnum[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

  std::vector<rows::StructValue> out(count);
  std::uint64_t time_tag = 1'704'159'000'000;  // 2024-01-02 09:30 UTC+8, in ms
  for (rows::StructValue& row : out) {
    row.namespace_ = kNamespace;
    row.meta_id = kMetaId;
    row.granularity = 3;
    row.market = "SH";
    row.stock_code = codes[static_cast<std::size_t>(uniform(0, 1999))];
    time_tag += static_cast<std::uint64_t>(uniform(1, 60));
    row.time_tag = time_tag;
    row.fields.resize(12);
    for (std::size_t f = 0; f < 4; ++f) row.fields[f] = static_cast<std::int32_t>(uniform(-1'000'000, 1'000'000));
    for (std::size_t f = 4; f < 8; ++f) {
      if (uniform(0, 16) != 0) row.fields[f] = static_cast<double>(uniform(100, 500'000)) / 100.0;
    }
    for (std::size_t f = 8; f < 10; ++f) {
      std::string s(static_cast<std::size_t>(uniform(6, 10)), ' ');
      for (char& c : s) c = kAlnum[uniform(0, sizeof kAlnum - 2)];
      row.fields[f] = std::move(s);
    }
    std::vector<double> v(5);
    for (double& d : v) d = static_cast<double>(uniform(0, 10'000)) / 100.0;
    row.fields[10] = std::move(v);
    row.fields[11] = static_cast<std::int64_t>(uniform(0, (std::int64_t{1} << 40) - 1));
  }
  return out;
}

}  // namespace qel::bench
