// Python classes of rows and schemas: StructValue, Field, IndexMeta,
// IndexSchema, IndexSerializer, PyIndexDataMap.

#include <algorithm>

#include "pyostrel/bind/class.h"
#include "qel/rows/index_serializer.h"
#include "qel/rows/schema.h"
#include "qel/rows/struct_value.h"

namespace pyostrel {

using bind::Blob;
using bind::Class;
using bind::Shared;
using bind::SharedList;
using bind::Utf8;
using bind::Utf8List;
using qel::rows::DataType;
using qel::rows::FieldValue;
using qel::rows::IndexMeta;
using qel::rows::IndexMetaField;
using qel::rows::IndexSchemaCatalog;
using qel::rows::IndexSerializer;
using qel::rows::NameIndex;
using qel::rows::ValueOf;
using qel::rows::ViewOf;
using qel::rows::StructValue;

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

// ---- StructValue state: the header, aux, then each slot as (kind code, value) --

template <DataType D>
PyObject* view_to_py(const FieldValue& v) noexcept {
  return bind::ToPy<std::remove_cvref_t<ViewOf<D>>>::convert(v.view<D>());
}

// A slot's value as its getter returns it; None for an empty slot.
PyObject* slot_value(const FieldValue& v) noexcept {
  switch (v.type()) {
    case DataType::Int: return view_to_py<DataType::Int>(v);
    case DataType::Double: return view_to_py<DataType::Double>(v);
    case DataType::String: return view_to_py<DataType::String>(v);
    case DataType::VInt: return view_to_py<DataType::VInt>(v);
    case DataType::VDouble: return view_to_py<DataType::VDouble>(v);
    case DataType::VString: return view_to_py<DataType::VString>(v);
    case DataType::Int64: return view_to_py<DataType::Int64>(v);
    case DataType::VInt64: return view_to_py<DataType::VInt64>(v);
    case DataType::Empty: break;
  }
  Py_RETURN_NONE;
}

// The slot's value converted as its setter converts it; false with the error set.
template <DataType D>
bool slot_from_py(PyObject* obj, FieldValue& out) {
  ValueOf<D> v{};
  if (!bind::Arg<ValueOf<D>>::convert(obj, v)) return false;
  out = FieldValue(v);
  return true;
}

bool slot_from_state(std::uint8_t kind, PyObject* obj, FieldValue& out) {
  switch (static_cast<DataType>(kind)) {
    case DataType::Int: return slot_from_py<DataType::Int>(obj, out);
    case DataType::Double: return slot_from_py<DataType::Double>(obj, out);
    case DataType::String: return slot_from_py<DataType::String>(obj, out);
    case DataType::VInt: return slot_from_py<DataType::VInt>(obj, out);
    case DataType::VDouble: return slot_from_py<DataType::VDouble>(obj, out);
    case DataType::VString: return slot_from_py<DataType::VString>(obj, out);
    case DataType::Int64: return slot_from_py<DataType::Int64>(obj, out);
    case DataType::VInt64: return slot_from_py<DataType::VInt64>(obj, out);
    case DataType::Empty:
      if (obj == Py_None) return true;
      throw qel::Error("an empty slot holds None");
  }
  throw qel::Error("slot kind " + std::to_string(kind) + " is not one of 0..8");
}

template <class F>
bind::Ref slot_list(const StructValue& s, F&& item) {
  bind::Ref list(PyList_New(static_cast<Py_ssize_t>(s.size())));
  if (!list) throw bind::PythonErrorSet{};
  for (std::size_t i = 0; i < s.size(); ++i) {
    PyObject* x = item(s.fields[i]);
    if (!x) throw bind::PythonErrorSet{};
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), x);
  }
  return list;
}

bool has_aux(const StructValue& s) {
  return std::any_of(s.aux.begin(), s.aux.end(), [](std::int32_t a) { return a != 0; });
}

// All twelve values; none when all are zero, as they almost always are.
bind::Ref aux_list(const StructValue& s) {
  bind::Ref aux(has_aux(s) ? bind::ToPy<decltype(s.aux)>::convert(s.aux) : PyList_New(0));
  if (!aux) throw bind::PythonErrorSet{};
  return aux;
}

// (namespace, meta_id, market, code, time_tag, granularity, aux, slots).
bind::Ref sv_state(const StructValue& s) {
  bind::Ref aux = aux_list(s);
  bind::Ref slots = slot_list(s, [](const FieldValue& v) -> PyObject* {
    bind::Ref value(slot_value(v));
    return value ? Py_BuildValue("(iO)", static_cast<int>(v.type()), value.get()) : nullptr;
  });
  bind::Ref state(Py_BuildValue("(Hiy#y#KiOO)", s.namespace_, s.meta_id, s.market.data(),
                                static_cast<Py_ssize_t>(s.market.size()), s.stock_code.data(),
                                static_cast<Py_ssize_t>(s.stock_code.size()),
                                static_cast<unsigned long long>(s.time_tag), s.granularity, aux.get(), slots.get()));
  if (!state) throw bind::PythonErrorSet{};
  return state;
}

StructValue sv_from_state(std::uint16_t ns, std::int32_t meta_id, std::string market, std::string code,
                          std::uint64_t time_tag, std::int32_t granularity, std::vector<std::int32_t> aux,
                          bind::Sequence slots) {
  StructValue s;
  if (!aux.empty() && aux.size() != s.aux.size()) {
    throw qel::Error("aux holds " + std::to_string(aux.size()) + " values, expected " + std::to_string(s.aux.size()) +
                     " or none");
  }
  std::copy(aux.begin(), aux.end(), s.aux.begin());
  s.namespace_ = ns;
  s.meta_id = meta_id;
  s.market = std::move(market);
  s.stock_code = std::move(code);
  s.time_tag = time_tag;
  s.granularity = granularity;
  s.fields.reserve(slots.size());
  // A conversion may run Python code that resizes the list: re-read its size
  // and hold each item while converting it.
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(slots.fast.get()); ++i) {
    bind::Ref item = bind::Ref::borrow(PySequence_Fast_GET_ITEM(slots.fast.get(), i));
    std::uint8_t kind = 0;
    FieldValue value;
    if (!bind::tuple_of_length(item.get(), 2) ||
        !bind::Arg<std::uint8_t>::convert(PyTuple_GET_ITEM(item.get(), 0), kind) ||
        !slot_from_state(kind, PyTuple_GET_ITEM(item.get(), 1), value)) {
      throw bind::PythonErrorSet{};
    }
    s.fields.push_back(std::move(value));
  }
  return s;
}

bind::Ref sv_repr(const StructValue& s) {
  bind::Ref market(bind::ToPy<std::string>::convert(s.market));
  bind::Ref code(bind::ToPy<std::string>::convert(s.stock_code));
  if (!market || !code) throw bind::PythonErrorSet{};
  bind::Ref values = slot_list(s, &slot_value);
  // aux has no accessor and is almost always zero: shown only when it is not.
  bind::Ref aux;
  if (has_aux(s)) {
    bind::Ref list = aux_list(s);
    aux = bind::Ref(PyUnicode_FromFormat(", aux=%R", list.get()));
  } else {
    aux = bind::Ref(PyUnicode_FromString(""));
  }
  if (!aux) throw bind::PythonErrorSet{};
  bind::Ref text(PyUnicode_FromFormat(
      "StructValue(namespace=%u, meta_id=%d, market=%R, code=%R, time_tag=%llu, granularity=%d%U, values=%R)",
      static_cast<unsigned>(s.namespace_), static_cast<int>(s.meta_id), market.get(), code.get(),
      static_cast<unsigned long long>(s.time_tag), static_cast<int>(s.granularity), aux.get(), values.get()));
  if (!text) throw bind::PythonErrorSet{};
  return text;
}

// Docstrings of the typed slot accessors; `kind` is what the slot holds.
const char* slot_get_doc(const char* kind) {
  return bind::keep(std::string("Returns slot pos, which must hold ") + kind +
                    ". Raises Exception when pos is past the end or the slot holds another type.");
}
const char* slot_set_doc(const char* kind) {
  return bind::keep(std::string("Stores v, ") + kind +
                    ", in slot pos whatever it held. Raises Exception when pos is past the end.");
}

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

const bool kDefined[] = {
    bind::define("StructValue", "A typed row: header fields and typed field slots.", [](Class<StructValue>& c) {
      c.picklable<&sv_state, &sv_from_state>()
          .repr<&sv_repr>()
          .accessors<&StructValue::meta_id>("meta_id", "the row type's id within its namespace (i32)")
          .accessors<&StructValue::namespace_>("namespace", "the schema namespace (u16)")
          .accessors<&StructValue::time_tag>("time_tag", "the row's time tag (u64)")
          .accessors<&StructValue::granularity>("granularity", "the row's bar width in seconds (i32)")
          .getter<&StructValue::market>("get_market", "Returns the market code (bytes).")
          .method<&set_market>("set_market", {"v"}, "", "Sets the market code; v must be bytes holding valid UTF-8.")
          .getter<&StructValue::stock_code>("get_stock_code", "Returns the instrument code within the market (bytes).")
          .method<&set_stock_code>("set_stock_code", {"v"}, "",
                                   "Sets the instrument code; v must be bytes holding valid UTF-8.")
          .method<&size>("size", {}, "", "Returns the number of slots.")
          .method<&reset>("reset", {}, "", "Removes every slot; the header fields are kept.")
          .method<&resize>("resize", {"sz"}, "", "Truncates the slots to sz, or appends empty slots up to sz.")
          .method<&copy>("copy", {"s"}, "", "Replaces header and slots by a deep copy of the StructValue s.")
          .method<&is_empty>("is_empty", {"pos"}, "",
                             "Whether slot pos is unset; raises Exception when pos is past the end.")
          .method<&get_slot<DataType::Int, "int">>("get_int", {"pos"}, "", slot_get_doc("an int (i32)"))
          .method<&set_slot<DataType::Int>>("set_int", {"pos", "v"}, "", slot_set_doc("an int in i32 range"))
          .method<&get_slot<DataType::Double, "double">>("get_double", {"pos"}, "", slot_get_doc("a float"))
          .method<&set_slot<DataType::Double>>("set_double", {"pos", "v"}, "", slot_set_doc("a float"))
          .method<&get_slot<DataType::String, "string">>("get_string", {"pos"}, "", slot_get_doc("text (bytes)"))
          .method<&set_string>("set_string", {"pos", "v"}, "", slot_set_doc("bytes of valid UTF-8"))
          .method<&get_slot<DataType::Int64, "int64">>("get_int_64", {"pos"}, "", slot_get_doc("an int (i64)"))
          .method<&set_slot<DataType::Int64>>("set_int_64", {"pos", "v"}, "", slot_set_doc("an int in i64 range"))
          .method<&get_slot<DataType::VInt, "int32_vector">>("get_int_32_vector", {"pos"}, "",
                                                              slot_get_doc("a list of ints (i32)"))
          .method<&set_slot<DataType::VInt>>("set_int_32_vector", {"pos", "v"}, "",
                                             slot_set_doc("a sequence of ints in i32 range"))
          .method<&get_slot<DataType::VDouble, "double_vector">>("get_double_vector", {"pos"}, "",
                                                                 slot_get_doc("a list of floats"))
          .method<&set_slot<DataType::VDouble>>("set_double_vector", {"pos", "v"}, "",
                                                slot_set_doc("a sequence of floats"))
          .method<&get_slot<DataType::VString, "string_vector">>("get_string_vector", {"pos"}, "",
                                                                 slot_get_doc("a list of texts (bytes)"))
          .method<&set_string_vector>("set_string_vector", {"pos", "v"}, "",
                                      slot_set_doc("a sequence of bytes, each valid UTF-8"))
          .method<&get_slot<DataType::VInt64, "int64_vector">>("get_int_64_vector", {"pos"}, "",
                                                               slot_get_doc("a list of ints (i64)"))
          .method<&set_slot<DataType::VInt64>>("set_int_64_vector", {"pos", "v"}, "",
                                               slot_set_doc("a sequence of ints in i64 range"));
    }),
    bind::define(
        "Field",
        "One column of a row type. Not constructible: instances come only from "
        "IndexMeta.get_fields().",
        [](Class<IndexMetaField>& c) {
          c.no_constructor()
              .getter<&IndexMetaField::name>("get_name", "Returns the column name (bytes).")
              .getter<&IndexMetaField::pos>("get_pos",
                                            "Returns the declared column position (u32); slots go by list order.")
              .getter<&IndexMetaField::precision>("get_precision",
                                                  "Returns the decimal places a batch keeps of its doubles (u32).")
              .getter<&IndexMetaField::multiple>("get_multiple", "Returns the column's multiplier attribute (i32).")
              .method<&field_type_code>("get_type", {}, "",
                                        "Returns the value type code (an index_field_type_* constant, or the unknown "
                                        "code as loaded).")
              .getter<&IndexMetaField::sample_type>("get_sample_type", "Returns the column's sampling attribute (u8).");
        }),
    bind::define(
        "IndexMeta",
        "A row type: its names, revision and columns. Not constructible: instances come only "
        "from IndexSchema.metas().",
        [](Class<IndexMeta>& c) {
          c.no_constructor()
              .getter<&IndexMeta::name>("get_name", "Returns the qualified name, the key of the name index (bytes).")
              .getter<&IndexMeta::display_name>("get_display_name", "Returns the human-readable name (bytes).")
              .getter<&IndexMeta::index_type>("get_index_type", "Returns the kind of row type, as text (bytes).")
              .getter<&IndexMeta::author_uuid>("get_author_uuid", "Returns the author's identifier (bytes).")
              .getter<&IndexMeta::fields>("get_fields", "Returns a copy of the columns, a list of Field in slot order.")
              .getter<&IndexMeta::granularities>("get_granularities",
                                                 "Returns a new dict {bar width in seconds: sample count}.")
              .getter<&IndexMeta::id>("get_id", "Returns the meta id the record carries (u32).")
              .getter<&IndexMeta::revision>("get_revision", "Returns the revision number (u32).")
              .getter<&IndexMeta::namespace_>("get_namespace", "Returns the namespace the record carries (u16).");
        }),
    bind::define(
        "IndexSchema", "A schema catalog: row types by (namespace, meta id).",
        [](Class<IndexSchemaCatalog>& c) {
          c.method<&schema_load>("load", {"buf"}, "schema load: ",
                                 "Replaces the catalog by the Snappy-compressed schema binary buf (bytes; b\"\" is an "
                                 "empty catalog). Raises Exception \"schema load: ...\" and keeps the catalog on "
                                 "failure.")
              .method<&schema_save>("save", {}, "schema save: ",
                                    "Returns the catalog as a Snappy-compressed schema binary (bytes); raises "
                                    "Exception \"schema save: ...\" if compression fails.")
              .method<&schema_metas>("metas", {}, "",
                                     "Returns a copy of every row type, a list of IndexMeta in (namespace, meta id) "
                                         "order.")
              .method<&schema_index_data_map>("index_data_map", {}, "",
                                              "Returns the name index: each name's highest revision, a PyIndexDataMap.")
              .len<&schema_len>();
        }),
    bind::define(
        "IndexSerializer", "Packs and unpacks batches of rows against a schema catalog.",
        [](Class<IndexSerializer>& c) {
          c.method<&update_schema_from_binary>(
               "update_schema_from_binary", {"buf"}, "update_schema_from_binary: ",
               "Replaces the catalog by the schema binary buf (bytes), as IndexSchema.load does. Raises Exception "
               "\"update_schema_from_binary: ...\" and keeps the catalog on failure.")
              .method<&serializer_schema>("schema", {}, "", "Returns a copy of the catalog, as a new IndexSchema.")
              .method<&serialize_batch>("serialize_batch", {"batch"}, "serialize_batch: ",
                                        "Packs a sequence of StructValue of one row type into one uncompressed batch "
                                        "(bytes). Raises Exception \"serialize_batch: ...\" for no rows, an unknown "
                                        "row type or slots that disagree with the schema.")
              .method<&deserialize_batch>("deserialize_batch", {"buf"}, "deserialize_batch: ",
                                          "Unpacks one uncompressed batch buf (bytes) into a list of new StructValue. "
                                          "Raises Exception \"deserialize_batch: ...\" on a malformed batch.");
        }),
    bind::define(
        "PyIndexDataMap",
        "Row types by name, at their highest revision; len() counts the names. Not "
        "constructible: instances come only from IndexSchema.index_data_map().",
        [](Class<NameIndex>& c) {
          c.no_constructor()
              .len<&name_index_len>();
        }),
};

}  // namespace pyostrel
