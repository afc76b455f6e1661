// The schema catalog: row types keyed by (namespace, meta id), their columns,
// the schema binary and the name index.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "qel/error.h"
#include "qel/rows/struct_value.h"
#include "qel/wire/codec.h"

namespace qel::rows {

// A column's value type: codes 1..8 match the DataType of the same code; any
// other code is Other(code), kept as is and carrying nothing on the batch wire.
struct FieldKind {
  std::uint8_t code = 0;

  bool is_other() const noexcept { return code < 1 || code > 8; }
  // Meaningful only when !is_other().
  DataType data_type() const noexcept { return static_cast<DataType>(code); }
  // "Int", ..., "VInt64", or "Other(9)".
  std::string name() const;
  bool operator==(const FieldKind&) const = default;
};

struct IndexMetaField {
  std::string name;
  std::uint32_t pos = 0;
  std::uint32_t precision = 0;
  std::int32_t multiple = 0;
  FieldKind field_type;
  std::uint8_t sample_type = 0;
  bool operator==(const IndexMetaField&) const = default;
};

struct IndexMeta {
  std::string name;
  std::string display_name;
  std::string index_type;
  std::string author_uuid;
  std::vector<IndexMetaField> fields;
  std::set<std::string> string_set;
  std::uint8_t flag_byte = 0;
  std::map<std::int32_t, std::int32_t> granularities;
  std::uint32_t id = 0;
  std::uint32_t revision = 0;
  std::uint16_t namespace_ = 0;
  bool operator==(const IndexMeta&) const = default;
};

using SchemaKey = std::pair<std::uint16_t, std::uint32_t>;  // (namespace, meta id)

class SchemaError : public Error {
 public:
  using Error::Error;
};

struct IndexSchemaCatalog {
  std::map<SchemaKey, IndexMeta> metas;

  const IndexMeta* lookup(std::uint16_t ns, std::uint32_t meta_id) const noexcept {
    auto it = metas.find({ns, meta_id});
    return it == metas.end() ? nullptr : &it->second;
  }
  bool operator==(const IndexSchemaCatalog&) const = default;
};

// Decodes a (Snappy-compressed) schema binary; empty input is an empty
// catalog. Throws SchemaError "snappy: ..." or "codec: ...".
IndexSchemaCatalog load_schema(wire::Bytes binary);

// The catalog as a compressed schema binary, entries in key order.
std::string save_schema(const IndexSchemaCatalog& catalog);

// Resolves row types by name.
struct NameIndex {
  std::map<std::string, SchemaKey> by_name;
};

// name -> (namespace, id) of the highest revision of each name; among equal
// revisions the entry with the larger key wins. The pair is the meta's own.
NameIndex name_index(const IndexSchemaCatalog& catalog);

}  // namespace qel::rows
