// The schema catalog: row types keyed by (namespace, meta id), their columns,
// the schema binary and the name index.
#include "qel/rows/schema.h"

#include "qel/wire/snappy.h"

namespace qel::rows {

using wire::Reader;
using wire::Writer;

std::string FieldKind::name() const {
  if (is_other()) return "Other(" + std::to_string(code) + ")";
  return std::string(data_type_name(data_type()));
}

namespace {

IndexMetaField read_field(Reader& r) {
  IndexMetaField f;
  f.pos = r.read_u32();
  f.name = r.read_string();
  f.field_type.code = r.read_u8();
  f.precision = r.read_u32();
  f.multiple = r.read_i32();
  f.sample_type = r.read_u8();
  return f;
}

IndexMeta read_meta(Reader& r) {
  IndexMeta m;
  m.id = r.read_u32();
  m.namespace_ = r.read_u16();
  m.name = r.read_string();
  m.display_name = r.read_string();
  for (std::uint32_t n = r.read_u32(); n > 0; --n) {
    const std::int32_t granularity = r.read_i32();
    m.granularities.insert_or_assign(granularity, r.read_i32());
  }
  m.flag_byte = r.read_u8();
  for (std::uint32_t n = r.read_u32(); n > 0; --n) m.string_set.insert(r.read_string());
  m.index_type = r.read_string();
  m.revision = r.read_u32();
  m.author_uuid = r.read_string();
  const std::uint32_t field_count = r.read_u32();
  // Each column takes at least 18 bytes; a lying count cannot reserve more.
  m.fields.reserve(std::min<std::size_t>(field_count, r.remaining() / 18));
  for (std::uint32_t i = 0; i < field_count; ++i) m.fields.push_back(read_field(r));
  return m;
}

void write_meta(Writer& w, const SchemaKey& key, const IndexMeta& m) {
  w.write_u16(key.first);
  w.write_u32(key.second);
  w.write_u32(m.id);
  w.write_u16(m.namespace_);
  w.write_string(m.name);
  w.write_string(m.display_name);
  w.write_u32(wire::u32_length(m.granularities.size()));
  for (const auto& [granularity, count] : m.granularities) {
    w.write_i32(granularity);
    w.write_i32(count);
  }
  w.write_u8(m.flag_byte);
  w.write_u32(wire::u32_length(m.string_set.size()));
  for (const std::string& s : m.string_set) w.write_string(s);
  w.write_string(m.index_type);
  w.write_u32(m.revision);
  w.write_string(m.author_uuid);
  w.write_u32(wire::u32_length(m.fields.size()));
  for (const IndexMetaField& f : m.fields) {
    w.write_u32(f.pos);
    w.write_string(f.name);
    w.write_u8(f.field_type.code);
    w.write_u32(f.precision);
    w.write_i32(f.multiple);
    w.write_u8(f.sample_type);
  }
}

}  // namespace

IndexSchemaCatalog load_schema(wire::Bytes binary) {
  IndexSchemaCatalog catalog;
  if (binary.empty()) return catalog;
  const std::string payload = wire::snappy_uncompress_or<SchemaError>(binary);
  with_prefix<SchemaError, wire::CodecError>("codec: ", [&] {
    Reader r(wire::as_bytes(payload));
    for (std::uint32_t n = r.read_u32(); n > 0; --n) {
      SchemaKey key;
      key.first = r.read_u16();
      key.second = r.read_u32();
      catalog.metas.insert_or_assign(key, read_meta(r));
    }
  });
  return catalog;
}

std::string save_schema(const IndexSchemaCatalog& catalog) {
  Writer w;
  w.write_u32(wire::u32_length(catalog.metas.size()));
  for (const auto& [key, meta] : catalog.metas) write_meta(w, key, meta);
  return wire::snappy_compress_or<SchemaError>(wire::as_bytes(w.buffer()));
}

NameIndex name_index(const IndexSchemaCatalog& catalog) {
  struct Best {
    std::uint32_t revision;
    SchemaKey key;
  };
  std::map<std::string, Best> best;
  for (const auto& [key, meta] : catalog.metas) {
    auto [it, inserted] = best.try_emplace(meta.name, Best{meta.revision, {meta.namespace_, meta.id}});
    if (!inserted && meta.revision >= it->second.revision) it->second = Best{meta.revision, {meta.namespace_, meta.id}};
  }
  NameIndex out;
  for (auto& [name, b] : best) out.by_name.emplace_hint(out.by_name.end(), name, b.key);
  return out;
}

}  // namespace qel::rows
