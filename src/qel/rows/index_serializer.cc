// Schema-driven batch codec for StructValue rows: one uncompressed batch per
// (namespace, meta id), and the Snappy-compressed set of such batches.
#include "qel/rows/index_serializer.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>

#include "qel/text/utf8.h"
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

// Reads a value whose bounds and text were already checked by skip_value.
FieldValue read_checked_value(Reader& r, DataType type, std::uint32_t precision) {
  switch (type) {
    case DataType::Int: return r.read_i32();
    case DataType::Double: return unscale(r.read_i64(), precision);
    case DataType::String: return r.read_bytes();
    case DataType::VInt: return r.read_rawvec<std::int32_t>();
    case DataType::VDouble: {
      const std::uint32_t count = r.read_u32();
      const wire::Bytes raw = r.read_view(std::size_t{count} * 8);
      std::vector<double> out(count);
      for (std::size_t i = 0; i < count; ++i) {
        std::int64_t v;
        std::memcpy(&v, raw.data() + i * 8, 8);  // little-endian elements
        out[i] = unscale(v, precision);
      }
      return out;
    }
    case DataType::VString: {
      const std::uint32_t count = r.read_u32();
      std::vector<std::string> out;
      out.reserve(count);
      for (std::uint32_t i = 0; i < count; ++i) out.push_back(r.read_bytes());
      return out;
    }
    case DataType::Int64: return r.read_i64();
    case DataType::VInt64: return r.read_rawvec<std::int64_t>();
    case DataType::Empty: break;
  }
  return std::monostate{};
}

void skip_string(Reader& r) {
  if (!text::is_utf8(r.read_bytes_view())) throw CodecError::invalid_utf8();
}

// Steps over one value, checking it exactly as reading it would.
void skip_value(Reader& r, DataType type) {
  switch (type) {
    case DataType::Int: r.read_view(4); break;
    case DataType::Double:
    case DataType::Int64: r.read_view(8); break;
    case DataType::String: skip_string(r); break;
    case DataType::VInt:
    case DataType::VDouble:
    case DataType::VInt64: {
      const std::uint64_t bytes = std::uint64_t{r.read_u32()} * (type == DataType::VInt ? 4 : 8);
      if (bytes > r.remaining()) throw CodecError::unexpected_end(bytes - r.remaining());
      r.read_view(bytes);
      break;
    }
    case DataType::VString:
      for (std::uint32_t n = r.read_u32(); n > 0; --n) skip_string(r);
      break;
    case DataType::Empty: break;
  }
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
  auto present = [&](std::uint64_t k) { return (words[k / 64] >> (k % 64)) & 1; };

  // Values are stored column by column. A first pass checks them in that
  // order (so errors are those of reading in order) and finds where each
  // column starts; the second fills each row's slots at once, which keeps the
  // rows' memory in cache instead of revisiting every row once per column.
  std::vector<Reader> columns;
  columns.reserve(field_count);
  for (std::size_t f = 0; f < field_count; ++f) {
    columns.push_back(r);
    const FieldKind kind = meta.fields[f].field_type;
    if (kind.is_other()) continue;
    const std::uint64_t base = static_cast<std::uint64_t>(f) * n;
    for (std::uint64_t row = 0; row < n; ++row) {
      if (present(base + row)) skip_value(r, kind.data_type());
    }
  }
  for (std::uint64_t row = 0; row < n; ++row) {
    std::vector<FieldValue>& fields = rows[row].fields;
    fields.reserve(field_count);
    for (std::size_t f = 0; f < field_count; ++f) {
      const IndexMetaField& column = meta.fields[f];
      if (column.field_type.is_other() || !present(static_cast<std::uint64_t>(f) * n + row)) {
        fields.emplace_back();
      } else {
        fields.push_back(read_checked_value(columns[f], column.field_type.data_type(), column.precision));
      }
    }
  }
}

}  // namespace

std::int64_t scale_to_i64(double v, std::uint32_t precision) noexcept {
  const double x = precision < kScaledPrecisions ? v * kEncodeFactor[precision] : v;
  if (std::isnan(x)) return 0;
  if (x >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
  if (x < -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
  // Halves away from zero, without a libm call: x - trunc(x) is exact.
  const auto whole = static_cast<std::int64_t>(x);
  const double fraction = x - static_cast<double>(whole);
  if (fraction >= 0.5) return whole + 1;
  if (fraction <= -0.5) return whole - 1;
  return whole;
}

double unscale(std::int64_t v, std::uint32_t precision) noexcept {
  return static_cast<double>(v) * (precision < kScaledPrecisions ? kDecodeFactor[precision] : 1.0);
}

namespace {

[[noreturn]] void throw_type_mismatch(std::size_t f, DataType t, const FieldKind& kind) {
  throw SerializerError("StructValue field " + std::to_string(f) + " is " + std::string(data_type_name(t)) +
                        " but schema declares " + kind.name());
}

// The first slot, in column-then-row order, whose type its column refuses.
[[noreturn]] void throw_first_type_mismatch(const IndexMeta& meta, RowRefs rows) {
  for (std::size_t f = 0; f < meta.fields.size(); ++f) {
    const FieldKind kind = meta.fields[f].field_type;
    if (kind.is_other()) continue;
    for (const StructValue* row : rows) {
      const DataType t = type_of(row->fields[f]);
      if (t != DataType::Empty && t != kind.data_type()) throw_type_mismatch(f, t, kind);
    }
  }
  throw InternalError("type mismatch not found again");
}

}  // namespace

void serialize_to(const IndexSchemaCatalog& catalog, RowRefs rows,
                  const std::function<std::uint8_t*(std::size_t)>& allocate) {
  if (rows.empty()) throw SerializerError("empty input batch");
  const StructValue& first = *rows.front();
  const std::uint16_t ns = first.namespace_;
  const IndexMeta& meta = require_schema(catalog, ns, static_cast<std::uint32_t>(first.meta_id));
  const std::size_t field_count = meta.fields.size();
  const std::size_t n = rows.size();
  const std::uint16_t aux_mask = aux_mask_of(first);
  const std::size_t word_count = (n * field_count + 63) / 64;

  // One pass over the rows in memory order: each row and its slots are read
  // once, and every header field and column goes to its own buffer. Walking
  // column by column instead would revisit every row once per column.
  Writer time_tags(8 * n), granularities(4 * n), markets(12 * n), stock_codes(12 * n);
  Writer aux(4 * static_cast<std::size_t>(std::popcount(aux_mask)) * n);
  std::vector<Writer> columns(field_count);
  for (std::size_t f = 0; f < field_count; ++f) {
    const FieldKind kind = meta.fields[f].field_type;
    if (!kind.is_other()) columns[f].reserve((kind.data_type() == DataType::Int ? 4 : 8) * n);
  }
  std::vector<std::uint64_t> words(word_count);
  bool type_mismatch = false;
  for (std::size_t r = 0; r < n; ++r) {
    const StructValue& row = *rows[r];
    // Counts are checked for every row before any type is reported.
    if (row.size() != field_count) {
      throw SerializerError("StructValue field count " + std::to_string(row.size()) +
                            " does not match schema field count " + std::to_string(field_count) + " for (ns=" +
                            std::to_string(ns) + ", meta_id=" + std::to_string(first.meta_id) + ")");
    }
    time_tags.write_u64(row.time_tag);
    granularities.write_i32(row.granularity);
    markets.write_string(row.market);
    stock_codes.write_string(row.stock_code);
    if (aux_mask != 0) {
      for (std::size_t i = 0; i < kAuxCount; ++i) {
        if (aux_mask & (1u << i)) aux.write_i32(row.aux[i]);
      }
    }
    // A slot's presence bit is set exactly when it is not Empty: that is also
    // the all-ones bitmap when no slot is Empty.
    for (std::size_t f = 0; f < field_count; ++f) {
      const FieldValue& v = row.fields[f];
      if (v.index() == 0) continue;
      const std::size_t k = f * n + r;
      words[k / 64] |= std::uint64_t{1} << (k % 64);
      const IndexMetaField& column = meta.fields[f];
      if (column.field_type.is_other()) continue;
      if (type_of(v) != column.field_type.data_type()) {
        type_mismatch = true;
        continue;
      }
      write_value(columns[f], v, column.precision);
    }
  }
  if (type_mismatch) throw_first_type_mismatch(meta, rows);

  std::size_t total = 16 + time_tags.size() + granularities.size() + markets.size() + stock_codes.size() +
                      aux.size() + 4 + 8 * word_count;
  for (const Writer& c : columns) total += c.size();
  std::uint8_t* out = allocate(total);
  auto put = [&out](std::string_view part) {
    std::memcpy(out, part.data(), part.size());
    out += part.size();
  };
  Writer head(16);
  head.write_u16(ns);
  head.write_i32(first.meta_id);
  head.write_u16(aux_mask);
  head.write_u64(n);
  put(head.buffer());
  for (const Writer* part : {&time_tags, &granularities, &markets, &stock_codes, &aux}) put(part->buffer());
  Writer bitmap(4 + 8 * word_count);
  bitmap.write_u32(static_cast<std::uint32_t>(word_count));
  for (std::uint64_t word : words) bitmap.write_u64(word);
  put(bitmap.buffer());
  for (const Writer& c : columns) put(c.buffer());
}

void serialize_into(Writer& w, const IndexSchemaCatalog& catalog, RowRefs rows) {
  serialize_to(catalog, rows, [&w](std::size_t n) { return w.extend(n); });
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
  return wire::snappy_compress_or<SerializerError>(wire::as_bytes(w.buffer()));
}

std::vector<StructValue> decompress(const IndexSchemaCatalog& catalog, wire::Bytes blob) {
  std::vector<StructValue> out;
  if (blob.empty()) return out;
  const std::string payload = wire::snappy_uncompress_or<SerializerError>(blob);
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
