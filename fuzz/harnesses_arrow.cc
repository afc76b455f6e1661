// The Arrow export under fuzzing: a compressed batch set exported as an Arrow stream is read back through the
// C data interface, buffer by buffer, and must hold exactly the rows decompress gives, or be refused as
// decompress refuses it. Shared by the messages table and the batch set harness.
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "harnesses.h"
#include "qel/arrow/c_data.h"
#include "qel/arrow/export.h"
#include "qel/error.h"
#include "qel/rows/index_serializer.h"
#include "qel/rows/schema.h"

namespace qel::fuzz {
namespace {

using rows::DataType;
using rows::StructValue;

[[noreturn]] void fail(const char* what, int line) {
  std::fprintf(stderr, "fuzz invariant violated at harnesses_arrow.cc:%d: %s\n", line, what);
  std::abort();
}

#define FUZZ_CHECK(cond)                 \
  do {                                   \
    if (!(cond)) fail(#cond, __LINE__);  \
  } while (0)

// The consumer's side of ownership: whatever the stream hands over is released here.
template <class T>
struct Owned {
  T v{};
  Owned() = default;
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  ~Owned() {
    if (v.release) v.release(&v);
  }
};

bool bit(const void* bitmap, std::int64_t i) { return static_cast<const std::uint8_t*>(bitmap)[i / 8] >> (i % 8) & 1; }

// One array of a record batch as the C data interface lays it out; `buffers` is what its format has.
class ArrayView {
 public:
  ArrayView(const ArrowArray& a, std::int64_t buffers, std::int64_t children) : a_(a) {
    FUZZ_CHECK(a.length >= 0 && a.offset >= 0 && a.n_buffers == buffers && a.n_children == children);
    FUZZ_CHECK(!a.dictionary && a.release);
    for (std::int64_t b = 0; b < buffers; ++b) {
      // Only the validity bitmap may be left out, and only when nothing is null.
      FUZZ_CHECK(a.buffers[b] ? std::bit_cast<std::uintptr_t>(a.buffers[b]) % 64 == 0 : b == 0 && a.null_count == 0);
    }
    std::int64_t nulls = 0;
    for (std::int64_t i = 0; i < a.length; ++i) nulls += !valid(i);
    FUZZ_CHECK(a.null_count == -1 || a.null_count == nulls);
  }
  std::int64_t length() const { return a_.length; }
  bool valid(std::int64_t i) const { return !a_.buffers[0] || bit(a_.buffers[0], a_.offset + i); }
  template <class T>
  T at(std::int64_t i) const {
    T v;
    std::memcpy(&v, static_cast<const char*>(a_.buffers[1]) + (a_.offset + i) * sizeof(T), sizeof v);
    return v;
  }
  // [first, last) of element i in the data buffer or child (utf8 and list: int32 offsets).
  std::pair<std::int64_t, std::int64_t> range(std::int64_t i) const {
    const auto first = at<std::int32_t>(i), last = at<std::int32_t>(i + 1);
    FUZZ_CHECK(0 <= first && first <= last);
    return {first, last};
  }
  std::string_view text(std::int64_t i) const {
    const auto [first, last] = range(i);
    return {static_cast<const char*>(a_.buffers[2]) + first, static_cast<std::size_t>(last - first)};
  }
  const ArrowArray& child() const { return *a_.children[0]; }

 private:
  const ArrowArray& a_;
};

std::string_view format_of(const rows::FieldKind kind) {
  if (kind.is_other()) return "n";
  switch (kind.data_type()) {
    case DataType::Int: return "i";
    case DataType::Double: return "g";
    case DataType::String: return "u";
    case DataType::Int64: return "l";
    default: return "+l";
  }
}

// The list element format of a list kind.
std::string_view element_format_of(DataType t) {
  switch (t) {
    case DataType::VInt: return "i";
    case DataType::VDouble: return "g";
    case DataType::VString: return "u";
    default: return "l";
  }
}

// The value of `key` in a field's metadata (int32 count, then int32-length-prefixed key and value, native order).
std::optional<std::string_view> metadata(const char* md, std::string_view key) {
  if (!md) return std::nullopt;
  const auto i32 = [&] {
    std::int32_t v;
    std::memcpy(&v, md, sizeof v);
    md += sizeof v;
    FUZZ_CHECK(v >= 0);
    return v;
  };
  for (std::int32_t n = i32(); n > 0; --n) {
    const std::int32_t kn = i32();
    const std::string_view k(md, static_cast<std::size_t>(kn));
    md += kn;
    const std::int32_t vn = i32();
    const std::string_view v(md, static_cast<std::size_t>(vn));
    md += vn;
    if (k == key) return v;
  }
  return std::nullopt;
}

bool same_bits(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }

// A field column of a record batch, its views made once for all its rows.
struct FieldColumn {
  rows::FieldKind kind;
  std::optional<ArrayView> values;  // none for a column of nulls
  std::optional<ArrayView> items;   // a list column's elements
};

FieldColumn field_column(const ArrowArray& column, rows::FieldKind kind) {
  FieldColumn out{kind, std::nullopt, std::nullopt};
  if (kind.is_other()) {
    FUZZ_CHECK(column.n_buffers == 0 && column.n_children == 0 && !column.dictionary && column.release);
    return out;
  }
  const DataType t = kind.data_type();
  const bool list = t == DataType::VInt || t == DataType::VDouble || t == DataType::VString || t == DataType::VInt64;
  out.values.emplace(column, t == DataType::String ? 3 : 2, list ? 1 : 0);
  if (list) out.items.emplace(out.values->child(), t == DataType::VString ? 3 : 2, 0);
  return out;
}

// The list at row i of a list column against the slot's elements.
template <DataType D>
void check_list(const FieldColumn& c, std::int64_t i, const rows::FieldValue& slot) {
  const auto want = slot.view<D>();
  const auto [first, last] = c.values->range(i);
  FUZZ_CHECK(static_cast<std::size_t>(last - first) == want.size() && last <= c.items->length());
  for (std::int64_t k = first; k < last; ++k) {
    FUZZ_CHECK(c.items->valid(k));
    const auto& w = want[static_cast<std::size_t>(k - first)];
    if constexpr (D == DataType::VInt) FUZZ_CHECK(c.items->at<std::int32_t>(k) == w);
    if constexpr (D == DataType::VDouble) FUZZ_CHECK(same_bits(c.items->at<double>(k), w));
    if constexpr (D == DataType::VInt64) FUZZ_CHECK(c.items->at<std::int64_t>(k) == w);
    if constexpr (D == DataType::VString) FUZZ_CHECK(c.items->text(k) == w);
  }
}

// Row i of a field column against the slot the row decoded to.
void check_value(const FieldColumn& c, std::int64_t i, const rows::FieldValue& slot) {
  if (!c.values) {
    FUZZ_CHECK(slot.empty());
    return;
  }
  const ArrayView& a = *c.values;
  FUZZ_CHECK(a.valid(i) == !slot.empty());
  if (slot.empty()) return;
  FUZZ_CHECK(slot.type() == c.kind.data_type());
  switch (slot.type()) {
    case DataType::Int: FUZZ_CHECK(a.at<std::int32_t>(i) == slot.view<DataType::Int>()); break;
    case DataType::Double: FUZZ_CHECK(same_bits(a.at<double>(i), slot.view<DataType::Double>())); break;
    case DataType::String: FUZZ_CHECK(a.text(i) == slot.view<DataType::String>()); break;
    case DataType::Int64: FUZZ_CHECK(a.at<std::int64_t>(i) == slot.view<DataType::Int64>()); break;
    case DataType::VInt: check_list<DataType::VInt>(c, i, slot); break;
    case DataType::VDouble: check_list<DataType::VDouble>(c, i, slot); break;
    case DataType::VString: check_list<DataType::VString>(c, i, slot); break;
    case DataType::VInt64: check_list<DataType::VInt64>(c, i, slot); break;
    case DataType::Empty: break;
  }
}

// The stream's schema: the header columns, then one per field of `meta` (none without one).
void check_schema(const ArrowSchema& s, const rows::IndexMeta* meta) {
  const std::size_t fields = meta ? meta->fields.size() : 0;
  FUZZ_CHECK(std::string_view(s.format) == "+s" && s.n_children == static_cast<std::int64_t>(4 + fields));
  static constexpr std::pair<std::string_view, std::string_view> kHeader[] = {
      {"market", "u"}, {"code", "u"}, {"time_tag", "tsm:UTC"}, {"granularity", "i"}};
  for (std::int64_t c = 0; c < s.n_children; ++c) {
    const ArrowSchema& child = *s.children[c];
    FUZZ_CHECK(child.release && !child.dictionary);
    if (c < 4) {
      FUZZ_CHECK(child.name == kHeader[c].first && child.format == kHeader[c].second && child.n_children == 0);
      continue;
    }
    const rows::IndexMetaField& f = meta->fields[static_cast<std::size_t>(c - 4)];
    FUZZ_CHECK(child.name == f.name && child.format == format_of(f.field_type));
    FUZZ_CHECK(metadata(child.metadata, "precision") == std::to_string(f.precision));
    const bool list = child.format == std::string_view("+l");
    FUZZ_CHECK(child.n_children == (list ? 1 : 0));
    if (list) FUZZ_CHECK(child.children[0]->format == element_format_of(f.field_type.data_type()));
  }
}

// One record batch against rows[first, first + its length).
void check_batch(const ArrowArray& batch, const rows::IndexMeta* meta, const std::vector<StructValue>& rows,
                 std::size_t first) {
  const std::size_t fields = meta ? meta->fields.size() : 0;
  FUZZ_CHECK(batch.n_buffers == 1 && batch.null_count == 0 && batch.offset == 0);
  FUZZ_CHECK(batch.n_children == static_cast<std::int64_t>(4 + fields) && batch.release);
  FUZZ_CHECK(first + static_cast<std::size_t>(batch.length) <= rows.size());
  for (std::int64_t c = 0; c < batch.n_children; ++c) FUZZ_CHECK(batch.children[c]->length == batch.length);
  const ArrayView market(*batch.children[0], 3, 0), code(*batch.children[1], 3, 0);
  const ArrayView time_tag(*batch.children[2], 2, 0), granularity(*batch.children[3], 2, 0);
  std::vector<FieldColumn> columns;
  for (std::size_t f = 0; f < fields; ++f) {
    columns.push_back(field_column(*batch.children[4 + f], meta->fields[f].field_type));
  }
  for (std::int64_t i = 0; i < batch.length; ++i) {
    const StructValue& row = rows[first + static_cast<std::size_t>(i)];
    FUZZ_CHECK(market.valid(i) && code.valid(i) && time_tag.valid(i) && granularity.valid(i));
    FUZZ_CHECK(market.text(i) == row.market && code.text(i) == row.stock_code);
    FUZZ_CHECK(time_tag.at<std::int64_t>(i) == static_cast<std::int64_t>(row.time_tag));
    FUZZ_CHECK(granularity.at<std::int32_t>(i) == row.granularity);
    FUZZ_CHECK(row.size() == fields);
    for (std::size_t f = 0; f < fields; ++f) check_value(columns[f], i, row.fields[f]);
  }
}

// "(1, 42)" as the refusal of mixed rows names a key: the meta id as the rows hold it (an i32).
// Appended piece by piece: "(" + ... trips a bogus GCC 12 -Wrestrict at -O3.
std::string key_text(const StructValue& row) {
  std::string out = "(";
  out += std::to_string(row.namespace_);
  out += ", ";
  out += std::to_string(row.meta_id);
  out += ')';
  return out;
}

}  // namespace

void check_arrow_export(const rows::IndexSchemaCatalog& catalog, wire::Bytes blob, const rows::IndexMeta* empty_meta) {
  std::vector<StructValue> decoded;
  std::optional<std::string> refused;
  try {
    decoded = rows::decompress(catalog, blob);
  } catch (const Error& e) {
    refused = e.what();
  }

  // Copies that die before the stream is read: the stream must own all it hands over.
  auto own_catalog = std::make_unique<rows::IndexSchemaCatalog>(catalog);
  auto own_blob = std::make_unique<std::string>(reinterpret_cast<const char*>(blob.data()), blob.size());
  auto own_meta = empty_meta ? std::make_unique<rows::IndexMeta>(*empty_meta) : nullptr;
  Owned<ArrowArrayStream> stream;
  std::optional<std::string> error;
  try {
    arrow::export_stream(*own_catalog, wire::as_bytes(*own_blob), &stream.v, own_meta.get());
  } catch (const Error& e) {
    error = e.what();
  }
  own_catalog.reset();
  own_blob.reset();
  own_meta.reset();

  if (error) FUZZ_CHECK(!stream.v.release);
  if (refused) {
    FUZZ_CHECK(error == refused);
    return;
  }
  std::set<std::string> keys;
  for (const StructValue& row : decoded) keys.insert(key_text(row));
  if (keys.size() > 1) {
    FUZZ_CHECK(error && error->starts_with("rows of several schema rows: "));
    for (const std::string& key : keys) FUZZ_CHECK(error->find(key) != std::string::npos);
    return;
  }
  FUZZ_CHECK(!error && stream.v.release);

  const rows::IndexMeta* meta = decoded.empty() ? empty_meta
                                                : catalog.lookup(decoded[0].namespace_,
                                                                 static_cast<std::uint32_t>(decoded[0].meta_id));
  {
    Owned<ArrowSchema> schema;
    FUZZ_CHECK(stream.v.get_schema(&stream.v, &schema.v) == 0 && schema.v.release);
    check_schema(schema.v, meta);
  }
  std::size_t seen = 0;
  for (;;) {
    Owned<ArrowArray> batch;
    FUZZ_CHECK(stream.v.get_next(&stream.v, &batch.v) == 0);
    if (!batch.v.release) break;
    check_batch(batch.v, meta, decoded, seen);
    seen += static_cast<std::size_t>(batch.v.length);
  }
  FUZZ_CHECK(seen == decoded.size());
}

}  // namespace qel::fuzz
