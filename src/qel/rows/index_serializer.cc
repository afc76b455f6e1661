// Schema-driven batch codec for StructValue rows: one uncompressed batch per
// (namespace, meta id), and the Snappy-compressed set of such batches.
#include "qel/rows/index_serializer.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>

#include "qel/wire/snappy.h"

namespace qel::rows {

using wire::CodecError;
using wire::Reader;
using wire::Writer;

namespace {

constexpr std::uint32_t kScaledPrecisions = 10;
constexpr double kEncodeFactor[kScaledPrecisions] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9};
constexpr double kDecodeFactor[kScaledPrecisions] = {1.0, 0.1, 0.01, 0.001, 1e-4, 1e-5, 1e-6, 1e-7, 1e-8, 1e-9};

std::string schema_key_text(std::uint16_t ns, std::uint32_t meta_id) {
  return "namespace=" + std::to_string(ns) + " meta_id=" + std::to_string(meta_id);
}

const IndexMeta& require_schema(const IndexSchemaCatalog& catalog, std::uint16_t ns, std::uint32_t meta_id) {
  const IndexMeta* meta = catalog.lookup(ns, meta_id);
  if (!meta) throw SerializerError("unknown schema: " + schema_key_text(ns, meta_id));
  return *meta;
}

std::uint16_t aux_mask_of(const StructValue& row) noexcept {
  std::uint16_t mask = 0;
  for (std::size_t i = 0; i < kAuxCount; ++i) {
    if (row.aux[i] != 0) mask |= static_cast<std::uint16_t>(1u << i);
  }
  return mask;
}

// Little-endian elements: the only little-endian integers of the format.
template <class T>
void write_le(Writer& w, T v) {
  static_assert(std::endian::native == std::endian::little, "little-endian hosts only");
  w.write_raw(wire::Bytes(reinterpret_cast<const std::uint8_t*>(&v), sizeof v));
}

void write_value(Writer& w, const FieldValue& v, std::uint32_t precision) {
  switch (type_of(v)) {
    case DataType::Int: w.write_i32(std::get<std::int32_t>(v)); break;
    case DataType::Double: w.write_i64(scale_to_i64(std::get<double>(v), precision)); break;
    case DataType::String: w.write_string(std::get<std::string>(v)); break;
    case DataType::VInt: {
      const auto& list = std::get<std::vector<std::int32_t>>(v);
      w.write_rawvec<std::int32_t>(list);
      break;
    }
    case DataType::VDouble: {
      const auto& list = std::get<std::vector<double>>(v);
      w.write_u32(static_cast<std::uint32_t>(list.size()));
      for (double d : list) write_le(w, scale_to_i64(d, precision));
      break;
    }
    case DataType::VString: w.write_vec_string(std::get<std::vector<std::string>>(v)); break;
    case DataType::Int64: w.write_i64(std::get<std::int64_t>(v)); break;
    case DataType::VInt64: w.write_rawvec<std::int64_t>(std::get<std::vector<std::int64_t>>(v)); break;
    case DataType::Empty: break;
  }
}

FieldValue read_value(Reader& r, DataType type, std::uint32_t precision) {
  switch (type) {
    case DataType::Int: return r.read_i32();
    case DataType::Double: return unscale(r.read_i64(), precision);
    case DataType::String: return r.read_string();
    case DataType::VInt: return r.read_rawvec<std::int32_t>();
    case DataType::VDouble: {
      auto raw = r.read_rawvec<std::int64_t>();
      std::vector<double> out(raw.size());
      for (std::size_t i = 0; i < raw.size(); ++i) out[i] = unscale(raw[i], precision);
      return out;
    }
    case DataType::VString: return r.read_vec_string();
    case DataType::Int64: return r.read_i64();
    case DataType::VInt64: return r.read_rawvec<std::int64_t>();
    case DataType::Empty: break;
  }
  return std::monostate{};
}

// Fails as an item-by-item read of `count` items of `width` bytes would, before
// anything is allocated for them.
void require_items(const Reader& r, std::uint64_t count, std::size_t width) {
  const std::size_t rem = r.remaining();
  if (count > rem / width) throw CodecError::unexpected_end(width - rem % width);
}

void deserialize_batch(std::vector<StructValue>& out, const IndexSchemaCatalog& catalog, Reader& r) {
  const std::uint16_t ns = r.read_u16();
  const std::int32_t meta_id = r.read_i32();
  const std::uint16_t aux_mask = r.read_u16() & 0x0FFF;
  const std::uint64_t n = r.read_u64();
  const IndexMeta& meta = require_schema(catalog, ns, static_cast<std::uint32_t>(meta_id));
  const std::size_t field_count = meta.fields.size();

  require_items(r, n, sizeof(std::uint64_t));
  const std::size_t first = out.size();
  out.resize(first + n);
  const std::span<StructValue> rows(out.data() + first, n);
  for (StructValue& row : rows) {
    row.namespace_ = ns;
    row.meta_id = meta_id;
    row.time_tag = r.read_u64();
  }
  for (StructValue& row : rows) row.granularity = r.read_i32();
  for (StructValue& row : rows) row.market = r.read_string();
  for (StructValue& row : rows) row.stock_code = r.read_string();
  if (aux_mask != 0) {
    for (StructValue& row : rows) {
      for (std::size_t i = 0; i < kAuxCount; ++i) {
        if (aux_mask & (1u << i)) row.aux[i] = r.read_i32();
      }
    }
  }

  const std::uint32_t word_count = r.read_u32();
  const unsigned __int128 bits = static_cast<unsigned __int128>(n) * field_count;
  const unsigned __int128 expected = (bits + 63) / 64;
  if (word_count != expected) {
    throw CodecError::length_overflow(word_count, static_cast<std::uint64_t>(
                                                      std::min<unsigned __int128>(expected, UINT64_MAX)));
  }
  const std::uint64_t word_bytes = std::uint64_t{word_count} * 8;
  if (word_bytes > r.remaining()) throw CodecError::unexpected_end(word_bytes - r.remaining());
  // Big-endian u64 words; bit k lives in word k / 64 at position k % 64.
  std::vector<std::uint64_t> words(word_count);
  for (std::uint64_t& word : words) word = r.read_u64();

  for (StructValue& row : rows) row.fields.resize(field_count);
  for (std::size_t f = 0; f < field_count; ++f) {
    const IndexMetaField& column = meta.fields[f];
    if (column.field_type.is_other()) continue;
    const DataType type = column.field_type.data_type();
    const std::uint64_t base = static_cast<std::uint64_t>(f) * n;
    for (std::uint64_t row = 0; row < n; ++row) {
      const std::uint64_t k = base + row;
      if (!((words[k / 64] >> (k % 64)) & 1)) continue;
      rows[row].fields[f] = read_value(r, type, column.precision);
    }
  }
}

}  // namespace

std::int64_t scale_to_i64(double v, std::uint32_t precision) noexcept {
  const double x = std::round(precision < kScaledPrecisions ? v * kEncodeFactor[precision] : v);
  if (std::isnan(x)) return 0;
  if (x >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
  if (x < -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(x);
}

double unscale(std::int64_t v, std::uint32_t precision) noexcept {
  return static_cast<double>(v) * (precision < kScaledPrecisions ? kDecodeFactor[precision] : 1.0);
}

void serialize_into(Writer& w, const IndexSchemaCatalog& catalog, RowRefs rows) {
  if (rows.empty()) throw SerializerError("empty input batch");
  const StructValue& first = *rows.front();
  const std::uint16_t ns = first.namespace_;
  const auto meta_id = static_cast<std::uint32_t>(first.meta_id);
  const IndexMeta& meta = require_schema(catalog, ns, meta_id);
  const std::size_t field_count = meta.fields.size();
  const std::size_t n = rows.size();

  bool any_empty = false;
  for (const StructValue* row : rows) {
    if (row->size() != field_count) {
      throw SerializerError("StructValue field count " + std::to_string(row->size()) +
                            " does not match schema field count " + std::to_string(field_count) + " for (ns=" +
                            std::to_string(ns) + ", meta_id=" + std::to_string(first.meta_id) + ")");
    }
    for (const FieldValue& v : row->fields) any_empty |= v.index() == 0;
  }
  // The column kinds are checked before anything is written, so a failure
  // leaves no partial batch behind in `w`.
  for (std::size_t f = 0; f < field_count; ++f) {
    const FieldKind kind = meta.fields[f].field_type;
    if (kind.is_other()) continue;
    for (const StructValue* row : rows) {
      const DataType t = type_of(row->fields[f]);
      if (t != DataType::Empty && t != kind.data_type()) {
        throw SerializerError("StructValue field " + std::to_string(f) + " is " + std::string(data_type_name(t)) +
                              " but schema declares " + kind.name());
      }
    }
  }

  const std::uint16_t aux_mask = aux_mask_of(first);
  const std::size_t aux_bits = static_cast<std::size_t>(std::popcount(aux_mask));
  const std::size_t bit_count = n * field_count;
  const std::size_t word_count = (bit_count + 63) / 64;
  w.reserve(w.size() + (4 * aux_bits + 64) * n + 64 + bit_count / 8 + 4 + 8 * n * field_count);

  w.write_u16(ns);
  w.write_i32(first.meta_id);
  w.write_u16(aux_mask);
  w.write_u64(n);
  for (const StructValue* row : rows) w.write_u64(row->time_tag);
  for (const StructValue* row : rows) w.write_i32(row->granularity);
  for (const StructValue* row : rows) w.write_string(row->market);
  for (const StructValue* row : rows) w.write_string(row->stock_code);
  if (aux_mask != 0) {
    for (const StructValue* row : rows) {
      for (std::size_t i = 0; i < kAuxCount; ++i) {
        if (aux_mask & (1u << i)) w.write_i32(row->aux[i]);
      }
    }
  }

  w.write_u32(static_cast<std::uint32_t>(word_count));
  if (!any_empty) {
    for (std::size_t i = 0; i < word_count; ++i) {
      const std::size_t left = bit_count - i * 64;
      w.write_u64(left >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << left) - 1);
    }
  } else {
    std::vector<std::uint64_t> words(word_count);
    for (std::size_t f = 0; f < field_count; ++f) {
      for (std::size_t r = 0; r < n; ++r) {
        const std::size_t k = f * n + r;
        if (rows[r]->fields[f].index() != 0) words[k / 64] |= std::uint64_t{1} << (k % 64);
      }
    }
    for (std::uint64_t word : words) w.write_u64(word);
  }

  for (std::size_t f = 0; f < field_count; ++f) {
    const IndexMetaField& column = meta.fields[f];
    if (column.field_type.is_other()) continue;
    for (const StructValue* row : rows) write_value(w, row->fields[f], column.precision);
  }
}

std::string serialize(const IndexSchemaCatalog& catalog, RowRefs rows) {
  Writer w;
  serialize_into(w, catalog, rows);
  return std::move(w).take();
}

void deserialize_into(std::vector<StructValue>& out, const IndexSchemaCatalog& catalog, wire::Bytes batch) {
  Reader r(batch);
  try {
    deserialize_batch(out, catalog, r);
  } catch (const CodecError& e) {
    throw SerializerError(std::string("codec: ") + e.what());
  }
}

std::vector<StructValue> deserialize(const IndexSchemaCatalog& catalog, wire::Bytes batch) {
  std::vector<StructValue> out;
  deserialize_into(out, catalog, batch);
  return out;
}

std::string compress(const IndexSchemaCatalog& catalog, RowRefs rows) {
  std::map<SchemaKey, std::vector<const StructValue*>> groups;
  for (const StructValue* row : rows) {
    groups[{row->namespace_, static_cast<std::uint32_t>(row->meta_id)}].push_back(row);
  }
  Writer w;
  w.write_u32(static_cast<std::uint32_t>(groups.size()));
  for (const auto& [key, group] : groups) {
    const std::size_t len_at = w.size();
    w.write_u32(0);  // batch_len, patched once the batch is written
    serialize_into(w, catalog, group);
    w.patch_u32(len_at, static_cast<std::uint32_t>(w.size() - len_at - 4));
  }
  try {
    return wire::snappy_compress(wire::as_bytes(w.buffer()));
  } catch (const wire::SnappyError& e) {
    throw SerializerError(std::string("snappy: ") + e.what());
  }
}

std::vector<StructValue> decompress(const IndexSchemaCatalog& catalog, wire::Bytes blob) {
  std::vector<StructValue> out;
  if (blob.empty()) return out;
  std::string payload;
  try {
    payload = wire::snappy_uncompress(blob);
  } catch (const wire::SnappyError& e) {
    throw SerializerError(std::string("snappy: ") + e.what());
  }
  try {
    Reader r(wire::as_bytes(payload));
    for (std::uint32_t groups = r.read_u32(); groups > 0; --groups) {
      const wire::Bytes batch = r.read_bytes_view();
      if (batch.empty()) continue;
      Reader batch_reader(batch);
      deserialize_batch(out, catalog, batch_reader);
    }
  } catch (const CodecError& e) {
    throw SerializerError(std::string("codec: ") + e.what());
  }
  return out;
}

}  // namespace qel::rows
