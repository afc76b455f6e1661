// Python classes of rows and schemas: StructValue, Field, IndexMeta,
// IndexSchema, IndexSerializer, PyIndexDataMap.
#include "pyostrel/py_rows.h"

#include <algorithm>

#include "pyostrel/bind/class.h"
#include "qel/rows/index_serializer.h"
#include "qel/rows/schema.h"
#include "qel/rows/struct_value.h"

namespace pyostrel {

using bind::Blob;
using bind::Class;
using bind::Construct;
using bind::Shared;
using bind::SharedList;
using bind::Utf8;
using bind::Utf8List;
using qel::rows::DataType;
using qel::rows::IndexMeta;
using qel::rows::IndexMetaField;
using qel::rows::IndexSchemaCatalog;
using qel::rows::IndexSerializer;
using qel::rows::NameIndex;
using qel::rows::ValueOf;
using qel::rows::ViewOf;
using qel::rows::StructValue;

}  // namespace pyostrel


namespace pyostrel {
namespace {

// ---- StructValue ------------------------------------------------------------

// The word a getter names in "field {pos} is not {word} (is {actual})".
template <std::size_t N>
struct Word {
  char text[N];
  constexpr Word(const char (&s)[N]) { std::copy_n(s, N, text); }
};

// Lists and texts come back as views, copied once into the Python objects.
template <DataType D, Word K>
ViewOf<D> get_slot(const StructValue& s, std::size_t pos) {
  return s.get<D>(pos, K.text);
}

template <DataType D>
void set_slot(StructValue& s, std::size_t pos, ValueOf<D> v) {
  s.set<D>(pos, v);
}

// Text is validated after the position check; a failure leaves the slot as it was.
void set_string(StructValue& s, std::size_t pos, Utf8 v) {
  s.slot(pos);
  s.set<DataType::String>(pos, v.validated());
}

void set_string_vector(StructValue& s, std::size_t pos, Utf8List v) {
  s.slot(pos);
  s.set<DataType::VString>(pos, v.validated());
}

bool is_empty(const StructValue& s, std::size_t pos) { return s.slot(pos).index() == 0; }
void set_market(StructValue& s, Utf8 v) { s.market = v.validated(); }
void set_stock_code(StructValue& s, Utf8 v) { s.stock_code = v.validated(); }
void reset(StructValue& s) { s.fields.clear(); }
void resize(StructValue& s, std::size_t size) { s.fields.resize(size); }
void copy(StructValue& s, Shared<StructValue> from) { s = *from; }
std::size_t size(const StructValue& s) { return s.size(); }

// ---- schema classes ---------------------------------------------------------

std::uint8_t field_type_code(const IndexMetaField& f) { return f.field_type.code; }

void schema_load(IndexSchemaCatalog& catalog, Blob buf) { catalog = qel::rows::load_schema(buf); }
std::string schema_save(const IndexSchemaCatalog& catalog) { return qel::rows::save_schema(catalog); }
std::size_t schema_len(const IndexSchemaCatalog& catalog) { return catalog.metas.size(); }
NameIndex schema_index_data_map(const IndexSchemaCatalog& catalog) { return qel::rows::name_index(catalog); }

std::vector<IndexMeta> schema_metas(const IndexSchemaCatalog& catalog) {
  std::vector<IndexMeta> out;
  out.reserve(catalog.metas.size());
  for (const auto& entry : catalog.metas) out.push_back(entry.second);
  return out;
}

std::size_t name_index_len(const NameIndex& index) { return index.by_name.size(); }

// ---- IndexSerializer --------------------------------------------------------

void update_schema_from_binary(IndexSerializer& s, Blob buf) {
  s.snapshot = std::make_shared<const IndexSchemaCatalog>(qel::rows::load_schema(buf));
}
IndexSchemaCatalog serializer_schema(const IndexSerializer& s) { return s.catalog(); }

// Written straight into the returned bytes object.
bind::Ref serialize_batch(const IndexSerializer& s, SharedList<StructValue> batch) {
  bind::Ref out;
  qel::rows::serialize_to(s.catalog(), batch.refs(), [&out](std::size_t size) {
    out = bind::Ref(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    if (!out) throw bind::PythonErrorSet{};
    return reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(out.get()));
  });
  return out;
}

std::vector<StructValue> deserialize_batch(const IndexSerializer& s, Blob buf) {
  return qel::rows::deserialize(s.catalog(), buf);
}

}  // namespace

PyTypeObject* struct_value_type() noexcept {
  return bind::type_of<StructValue>([] {
    return Class<StructValue>("StructValue", "A typed row: header fields and typed field slots.")
        .accessors<&StructValue::meta_id>("meta_id")
        .accessors<&StructValue::namespace_>("namespace")
        .accessors<&StructValue::time_tag>("time_tag")
        .accessors<&StructValue::granularity>("granularity")
        .getter<&StructValue::market>("get_market")
        .method<&set_market>("set_market", {"v"})
        .getter<&StructValue::stock_code>("get_stock_code")
        .method<&set_stock_code>("set_stock_code", {"v"})
        .method<&size>("size")
        .method<&reset>("reset")
        .method<&resize>("resize", {"sz"})
        .method<&copy>("copy", {"s"})
        .method<&is_empty>("is_empty", {"pos"})
        .method<&get_slot<DataType::Int, "int">>("get_int", {"pos"})
        .method<&set_slot<DataType::Int>>("set_int", {"pos", "v"})
        .method<&get_slot<DataType::Double, "double">>("get_double", {"pos"})
        .method<&set_slot<DataType::Double>>("set_double", {"pos", "v"})
        .method<&get_slot<DataType::String, "string">>("get_string", {"pos"})
        .method<&set_string>("set_string", {"pos", "v"})
        .method<&get_slot<DataType::Int64, "int64">>("get_int_64", {"pos"})
        .method<&set_slot<DataType::Int64>>("set_int_64", {"pos", "v"})
        .method<&get_slot<DataType::VInt, "int32_vector">>("get_int_32_vector", {"pos"})
        .method<&set_slot<DataType::VInt>>("set_int_32_vector", {"pos", "v"})
        .method<&get_slot<DataType::VDouble, "double_vector">>("get_double_vector", {"pos"})
        .method<&set_slot<DataType::VDouble>>("set_double_vector", {"pos", "v"})
        .method<&get_slot<DataType::VString, "string_vector">>("get_string_vector", {"pos"})
        .method<&set_string_vector>("set_string_vector", {"pos", "v"})
        .method<&get_slot<DataType::VInt64, "int64_vector">>("get_int_64_vector", {"pos"})
        .method<&set_slot<DataType::VInt64>>("set_int_64_vector", {"pos", "v"})
        .build();
  });
}

PyTypeObject* field_type() noexcept {
  return bind::type_of<IndexMetaField>([] {
    return Class<IndexMetaField>("Field", "One column of a row type.", Construct::none)
        .getter<&IndexMetaField::name>("get_name")
        .getter<&IndexMetaField::pos>("get_pos")
        .getter<&IndexMetaField::precision>("get_precision")
        .getter<&IndexMetaField::multiple>("get_multiple")
        .method<&field_type_code>("get_type")
        .getter<&IndexMetaField::sample_type>("get_sample_type")
        .build();
  });
}

PyTypeObject* index_meta_type() noexcept {
  return bind::type_of<IndexMeta>([] {
    return Class<IndexMeta>("IndexMeta", "A row type: its names, revision and columns.", Construct::none)
        .getter<&IndexMeta::name>("get_name")
        .getter<&IndexMeta::display_name>("get_display_name")
        .getter<&IndexMeta::index_type>("get_index_type")
        .getter<&IndexMeta::author_uuid>("get_author_uuid")
        .getter<&IndexMeta::fields>("get_fields")
        .getter<&IndexMeta::granularities>("get_granularities")
        .getter<&IndexMeta::id>("get_id")
        .getter<&IndexMeta::revision>("get_revision")
        .getter<&IndexMeta::namespace_>("get_namespace")
        .build();
  });
}

PyTypeObject* index_schema_type() noexcept {
  return bind::type_of<IndexSchemaCatalog>([] {
    return Class<IndexSchemaCatalog>("IndexSchema", "A schema catalog: row types by (namespace, meta id).")
        .method<&schema_load>("load", {"buf"}, "schema load: ")
        .method<&schema_save>("save", {}, "schema save: ")
        .method<&schema_metas>("metas")
        .method<&schema_index_data_map>("index_data_map")
        .len<&schema_len>()
        .build();
  });
}

PyTypeObject* index_serializer_type() noexcept {
  return bind::type_of<IndexSerializer>([] {
    return Class<IndexSerializer>("IndexSerializer", "Packs and unpacks batches of rows against a schema catalog.")
        .method<&update_schema_from_binary>("update_schema_from_binary", {"buf"}, "update_schema_from_binary: ")
        .method<&serializer_schema>("schema")
        .method<&serialize_batch>("serialize_batch", {"batch"}, "serialize_batch: ")
        .method<&deserialize_batch>("deserialize_batch", {"buf"}, "deserialize_batch: ")
        .build();
  });
}

PyTypeObject* index_data_map_type() noexcept {
  return bind::type_of<NameIndex>([] {
    return Class<NameIndex>("PyIndexDataMap", "Row types by name, at their highest revision.", Construct::none)
        .len<&name_index_len>()
        .build();
  });
}

}  // namespace pyostrel
