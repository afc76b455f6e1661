// Calculator data bodies: encode, decode into batches, and the JSON rendering.
#include "qel/msg/calculator.h"

#include <algorithm>
#include <iterator>

#include "qel/rows/row_json.h"
#include "qel/text/json_writer.h"

namespace qel::msg {
namespace {

using rows::SchemaKey;
using rows::StructValue;

SchemaKey key_of(const StructValue& row) noexcept { return {row.namespace_, static_cast<std::uint32_t>(row.meta_id)}; }

struct Body {
  BaseCommunication base;
  wire::Bytes blob;  // borrowed from the body
};

// Prefix and blob; a codec error is reported under `prefix`.
Body read_body(wire::Bytes body, const char* prefix) {
  return with_prefix<Error>(prefix, [&] {
    Reader r(body);
    Body out;
    assign_record(out.base, read_record<BaseCommunication>(r));
    out.blob = r.read_bytes_view();
    return out;
  });
}

// The rows of a compressed set; an error is reported under `prefix`.
std::vector<StructValue> decompress(const rows::IndexSchemaCatalog& catalog, wire::Bytes blob, const char* prefix) {
  return with_prefix<Error>(prefix, [&] { return rows::decompress(catalog, blob); });
}

// Rows of a decompressed set, in runs of one key each (a set that compress
// wrote holds each key once, ascending).
template <class Run>
void for_each_run(const std::vector<StructValue>& rows, Run&& run) {
  for (auto begin = rows.begin(); begin != rows.end();) {
    const SchemaKey key = key_of(*begin);
    const auto end = std::find_if(begin, rows.end(), [&](const StructValue& r) { return key_of(r) != key; });
    run(key, begin - rows.begin(), end - begin);
    begin = end;
  }
}

Batches into_batches(std::vector<StructValue>&& rows) {
  Batches out;
  if (!rows.empty() && key_of(rows.front()) == key_of(rows.back()) &&
      std::all_of(rows.begin(), rows.end(), [&](const StructValue& r) { return key_of(r) == key_of(rows.front()); })) {
    const SchemaKey key = key_of(rows.front());
    out.emplace(key, std::move(rows));
    return out;
  }
  for_each_run(rows, [&](const SchemaKey& key, std::ptrdiff_t at, std::ptrdiff_t n) {
    std::vector<StructValue>& batch = out[key];
    batch.insert(batch.end(), std::make_move_iterator(rows.begin() + at), std::make_move_iterator(rows.begin() + at + n));
  });
  return out;
}

}  // namespace

std::vector<const StructValue*> stored_rows(const Batches& batches) {
  std::size_t n = 0;
  for (const auto& [key, rows] : batches) n += rows.size();
  std::vector<const StructValue*> out;
  out.reserve(n);
  for (const auto& [key, rows] : batches) {
    for (const StructValue& row : rows) out.push_back(&row);
  }
  return out;
}

std::string data_body(const BaseCommunication& base, wire::Bytes blob) {
  Writer w(record_size(base) + 4 + blob.size());
  write_record(w, base);
  w.write_bytes(blob);
  return std::move(w).take();
}

std::string encode_data(const TCDataCommunication& m, const rows::IndexSchemaCatalog& catalog) {
  const std::string blob =
      with_prefix<Error>("compress: ", [&] { return rows::compress(catalog, stored_rows(m.batches)); });
  return data_body(m.base, wire::as_bytes(blob));
}

void decode_data(TCDataCommunication& m, wire::Bytes body, rows::CatalogSnapshot catalog) {
  Body got = read_body(body, "TCDataCommunication blob: ");
  Batches batches = into_batches(decompress(*catalog, got.blob, "decompress: "));
  m.base = std::move(got.base);
  m.batches = std::move(batches);
  m.catalog = std::move(catalog);
}

namespace {

// The prefix members and the "data" object opened, as decode_to_json renders them.
void open_json(text::JsonWriter& w, const BaseCommunication& base) {
  w.begin_object();
  w.key("runtime"), w.number_uint(base.runtime);
  w.key("category"), w.number_uint(base.category);
  w.key("session_id"), w.number_int(base.session_id);
  w.key("status"), w.number_int(base.status);
  w.key("error_code"), w.number_int(base.error_code);
  w.key("error_msg"), w.string(base.error_msg);
  w.key("data"), w.begin_object();
}

// Adds groups in ascending key order under "global" (namespace 0, which sorts
// first) and then "private". The members and brackets around the groups are
// written by `w` into `pending`, which goes into the buffer before each group
// the row renderer appends to it, and at the end.
class GroupArrays {
 public:
  GroupArrays(text::TextBuffer& out, std::string& pending, text::JsonWriter& w) : out_(out), pending_(pending), w_(w) {}

  // Opens the array the group of `key` belongs to, and separates it from the previous group.
  void next(const SchemaKey& key) {
    const bool global = key.first == 0;
    if (!open_ || global != global_) {
      if (open_) w_.end_array();
      w_.key(global ? "global" : "private"), w_.begin_array();
      open_ = true, global_ = global, first_ = true;
    }
    // Groups are appended by the row renderer itself: the commas between them are ours.
    if (!first_) pending_ += ',';
    first_ = false;
    flush();
  }

  void close() {
    if (open_) w_.end_array();
  }

  void flush() {
    out_.append(pending_);
    pending_.clear();
  }

 private:
  text::TextBuffer& out_;
  std::string& pending_;
  text::JsonWriter& w_;
  bool open_ = false, global_ = false, first_ = true;
};

// Renders a set whose batches with rows hold each key once, ascending (as
// compress writes it), straight from its bytes, without building its rows;
// false, with `out` untouched, for any other set.
bool render_in_order(const rows::IndexSchemaCatalog& catalog, const Body& got, text::TextBuffer& out) {
  wire::ScratchBuffer::Lease lease;
  std::vector<rows::CheckedBatch> batches =
      with_prefix<Error>("decode_to_json decompress: ", [&] { return rows::check_set(catalog, got.blob, lease); });
  // A batch without rows adds no rows, so decoding stores no key for it: no group either.
  std::erase_if(batches, [](const rows::CheckedBatch& b) { return b.n == 0; });
  auto key = [](const rows::CheckedBatch& b) { return SchemaKey{b.ns, static_cast<std::uint32_t>(b.meta_id)}; };
  const bool ascending = std::adjacent_find(batches.begin(), batches.end(), [&](const auto& a, const auto& b) {
                           return key(b) <= key(a);
                         }) == batches.end();
  if (!ascending) return false;
  std::string pending;
  text::JsonWriter w(pending);
  open_json(w, got.base);
  GroupArrays groups(out, pending, w);
  for (rows::CheckedBatch& batch : batches) {
    groups.next(key(batch));
    rows::append_group_json(out, batch);
  }
  groups.close();
  w.end_object();
  w.end_object();
  groups.flush();
  return true;
}

// Renders any set: its rows decoded, then grouped by key, ascending, each
// group keeping its rows' order.
void render_rows(const rows::IndexSchemaCatalog& catalog, const Body& got, text::TextBuffer& out) {
  const std::vector<StructValue> rows = decompress(catalog, got.blob, "decode_to_json decompress: ");
  std::vector<const StructValue*> sorted;
  sorted.reserve(rows.size());
  for (const StructValue& r : rows) sorted.push_back(&r);
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const StructValue* a, const StructValue* b) { return key_of(*a) < key_of(*b); });

  std::string pending;
  text::JsonWriter w(pending);
  open_json(w, got.base);
  GroupArrays groups(out, pending, w);
  for (auto begin = sorted.begin(); begin != sorted.end();) {
    const SchemaKey key = key_of(**begin);
    const auto end = std::find_if(begin, sorted.end(), [&](const StructValue* r) { return key_of(*r) != key; });
    const rows::IndexMeta* meta = catalog.lookup(key.first, key.second);
    if (meta == nullptr) {
      throw Error("decode_to_json: no schema for (ns=" + std::to_string(key.first) +
                  ", meta=" + std::to_string(key.second) + ")");
    }
    groups.next(key);
    const std::span<const StructValue* const> group(&*begin, static_cast<std::size_t>(end - begin));
    rows::append_group_json(out, *meta, group);
    begin = end;
  }
  groups.close();
  w.end_object();
  w.end_object();
  groups.flush();
}

}  // namespace

void decode_to_json(const TCDataCommunication& m, wire::Bytes body, text::TextBuffer& out) {
  if (!m.catalog) throw Error("decode_to_json requires set_compressor first");
  const Body got = read_body(body, "decode_to_json blob: ");
  const std::size_t start = out.size();
  try {
    if (!render_in_order(*m.catalog, got, out)) render_rows(*m.catalog, got, out);
  } catch (...) {
    out.set_size(start);
    throw;
  }
}

std::string decode_to_json(const TCDataCommunication& m, wire::Bytes body) {
  std::string out;
  {
    text::StringTextBuffer buffer(out);
    decode_to_json(m, body, buffer);
  }
  return out;
}

}  // namespace qel::msg
