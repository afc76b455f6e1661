// Schema-driven batch codec for StructValue rows: one uncompressed batch per
// (namespace, meta id), and the Snappy-compressed set of such batches.
#include "qel/rows/index_serializer.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <memory>

#include <sys/mman.h>

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

// Reads from bytes that a checking pass has already walked: no bounds checks.
struct CheckedCursor {
  const std::uint8_t* p;

  template <class T>
  T big_endian() noexcept {
    const T v = wire::detail::from_big_endian<T>(p);
    p += sizeof(T);
    return v;
  }
  std::string_view text() noexcept {
    const auto n = big_endian<std::uint32_t>();
    const std::string_view s(reinterpret_cast<const char*>(p), n);
    p += n;
    return s;
  }
};

// Reads a value whose bounds and text were already checked by skip_value.
FieldValue read_checked_value(CheckedCursor& c, DataType type, std::uint32_t precision) {
  switch (type) {
    case DataType::Int: return c.big_endian<std::int32_t>();
    case DataType::Double: return unscale(c.big_endian<std::int64_t>(), precision);
    case DataType::String: return c.text();
    case DataType::VInt:
    case DataType::VInt64: {
      const std::uint32_t count = c.big_endian<std::uint32_t>();
      FieldValue out = type == DataType::VInt ? FieldValue::uninitialized_list<DataType::VInt>(count)
                                              : FieldValue::uninitialized_list<DataType::VInt64>(count);
      const std::size_t bytes = std::size_t{count} * (type == DataType::VInt ? 4 : 8);
      // Little-endian elements, copied as they are.
      if (bytes != 0) {
        void* items = type == DataType::VInt ? static_cast<void*>(out.elements<DataType::VInt>().data())
                                             : static_cast<void*>(out.elements<DataType::VInt64>().data());
        std::memcpy(items, c.p, bytes);
      }
      c.p += bytes;
      return out;
    }
    case DataType::VDouble: {
      const std::uint32_t count = c.big_endian<std::uint32_t>();
      FieldValue out = FieldValue::uninitialized_list<DataType::VDouble>(count);
      for (double& d : out.elements<DataType::VDouble>()) {
        std::int64_t v;
        std::memcpy(&v, c.p, 8);  // little-endian elements
        c.p += 8;
        d = unscale(v, precision);
      }
      return out;
    }
    case DataType::VString: {
      const std::uint32_t count = c.big_endian<std::uint32_t>();
      std::vector<std::string> out;
      out.reserve(count);
      for (std::uint32_t i = 0; i < count; ++i) out.emplace_back(c.text());
      return out;
    }
    case DataType::Int64: return c.big_endian<std::int64_t>();
    case DataType::Empty: break;
  }
  return {};
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

// Steps over `n` texts, checking them as reading them would.
void skip_strings(Reader& r, std::uint64_t n) {
  for (; n > 0; --n) skip_string(r);
}

// Steps over `count` items of `width` bytes, failing as reading them one by one would.
void skip_items(Reader& r, std::uint64_t count, std::size_t width) {
  require_items(r, count, width);
  r.read_view(count * width);
}

// Number of set bits in [from, from + n) of the presence bitmap.
std::uint64_t count_present(const std::vector<std::uint64_t>& words, std::uint64_t from, std::uint64_t n) noexcept {
  std::uint64_t count = 0;
  std::uint64_t k = from;
  const std::uint64_t end = from + n;
  while (k < end) {
    const std::uint64_t bit = k % 64;
    const std::uint64_t take = std::min<std::uint64_t>(64 - bit, end - k);
    const std::uint64_t mask = take == 64 ? ~std::uint64_t{0} : ((std::uint64_t{1} << take) - 1) << bit;
    count += static_cast<std::uint64_t>(std::popcount(words[k / 64] & mask));
    k += take;
  }
  return count;
}

std::size_t fixed_width(DataType t) noexcept {
  switch (t) {
    case DataType::Int: return 4;
    case DataType::Double:
    case DataType::Int64: return 8;
    default: return 0;
  }
}

// Rows of a large batch are written once, front to back, into memory that is
// almost always fresh: asking for huge pages turns thousands of page faults
// into a handful. Only whole 2 MiB pages inside the range are affected.
void advise_huge_pages(void* begin, std::size_t bytes) noexcept {
  constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
  if (bytes < 2 * kHuge) return;
  const auto from = (reinterpret_cast<std::uintptr_t>(begin) + kHuge - 1) & ~(kHuge - 1);
  const auto to = (reinterpret_cast<std::uintptr_t>(begin) + bytes) & ~(kHuge - 1);
  if (to > from) madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
}

void deserialize_batch(std::vector<StructValue>& out, const IndexSchemaCatalog& catalog, Reader& r) {
  const std::uint16_t ns = r.read_u16();
  const std::int32_t meta_id = r.read_i32();
  const std::uint16_t aux_mask = r.read_u16() & 0x0FFF;
  const std::uint64_t n = r.read_u64();
  const IndexMeta& meta = require_schema(catalog, ns, static_cast<std::uint32_t>(meta_id));
  const std::size_t field_count = meta.fields.size();
  const auto aux_count = static_cast<std::uint64_t>(std::popcount(aux_mask));

  // A first pass checks every part in stream order, so errors are those of
  // reading in order, and finds where each part starts; nothing is allocated
  // for the rows before the whole batch is known to be sound. Fixed-width
  // parts are checked by their length alone.
  require_items(r, n, sizeof(std::uint64_t));  // before any row exists
  auto at = [](const Reader& from) { return from.rest().data(); };
  CheckedCursor time_tags{at(r)};
  skip_items(r, n, 8);
  CheckedCursor granularities{at(r)};
  skip_items(r, n, 4);
  CheckedCursor markets{at(r)};
  skip_strings(r, n);
  CheckedCursor stock_codes{at(r)};
  skip_strings(r, n);
  CheckedCursor aux{at(r)};
  skip_items(r, n * aux_count, 4);  // aux_count <= 12: no overflow once n fits the input

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

  std::vector<CheckedCursor> columns(field_count, CheckedCursor{nullptr});
  for (std::size_t f = 0; f < field_count; ++f) {
    columns[f].p = at(r);
    const FieldKind kind = meta.fields[f].field_type;
    if (kind.is_other()) continue;
    const std::uint64_t base = static_cast<std::uint64_t>(f) * n;
    if (const std::size_t width = fixed_width(kind.data_type())) {
      skip_items(r, count_present(words, base, n), width);
      continue;
    }
    for (std::uint64_t row = 0; row < n; ++row) {
      if (present(base + row)) skip_value(r, kind.data_type());
    }
  }

  // The second pass builds each row whole, which keeps its memory in cache
  // instead of revisiting every row once per part.
  out.reserve(out.size() + n);
  advise_huge_pages(out.data() + out.size(), n * sizeof(StructValue));
  for (std::uint64_t row = 0; row < n; ++row) {
    StructValue& v = out.emplace_back();
    v.namespace_ = ns;
    v.meta_id = meta_id;
    v.time_tag = time_tags.big_endian<std::uint64_t>();
    v.granularity = granularities.big_endian<std::int32_t>();
    v.market = markets.text();
    v.stock_code = stock_codes.text();
    if (aux_mask != 0) {
      for (std::size_t i = 0; i < kAuxCount; ++i) {
        if (aux_mask & (1u << i)) v.aux[i] = aux.big_endian<std::int32_t>();
      }
    }
    v.fields.reserve(field_count);
    for (std::size_t f = 0; f < field_count; ++f) {
      const IndexMetaField& column = meta.fields[f];
      if (column.field_type.is_other() || !present(static_cast<std::uint64_t>(f) * n + row)) {
        v.fields.emplace_back();
      } else {
        v.fields.push_back(read_checked_value(columns[f], column.field_type.data_type(), column.precision));
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

// The first length, in row order, that a u32 prefix cannot carry.
[[noreturn]] void throw_first_too_long(RowRefs rows) {
  for (const StructValue* row : rows) {
    wire::u32_length(row->market.size());
    wire::u32_length(row->stock_code.size());
    for (const FieldValue& v : row->fields) {
      switch (type_of(v)) {
        case DataType::String: wire::u32_length(v.view<DataType::String>().size()); break;
        case DataType::VInt: wire::u32_length(v.view<DataType::VInt>().size()); break;
        case DataType::VDouble: wire::u32_length(v.view<DataType::VDouble>().size()); break;
        case DataType::VInt64: wire::u32_length(v.view<DataType::VInt64>().size()); break;
        case DataType::VString:
          wire::u32_length(v.view<DataType::VString>().size());
          for (const std::string& text : v.view<DataType::VString>()) wire::u32_length(text.size());
          break;
        default: break;
      }
    }
  }
  throw InternalError("over-long length not found again");
}

}  // namespace

namespace {

// Bytes one value of a column takes, as write_value below writes it. Every
// length or count that gets a u32 prefix is or-ed into `prefixed`.
std::size_t value_size(const FieldValue& v, std::size_t& prefixed) noexcept {
  switch (type_of(v)) {
    case DataType::Int: return 4;
    case DataType::Double:
    case DataType::Int64: return 8;
    case DataType::String:
      prefixed |= v.view<DataType::String>().size();
      return 4 + v.view<DataType::String>().size();
    case DataType::VInt:
      prefixed |= v.view<DataType::VInt>().size();
      return 4 + 4 * v.view<DataType::VInt>().size();
    case DataType::VDouble:
      prefixed |= v.view<DataType::VDouble>().size();
      return 4 + 8 * v.view<DataType::VDouble>().size();
    case DataType::VInt64:
      prefixed |= v.view<DataType::VInt64>().size();
      return 4 + 8 * v.view<DataType::VInt64>().size();
    case DataType::VString: {
      const auto list = v.view<DataType::VString>();
      std::size_t n = 4;
      prefixed |= list.size();
      for (const std::string& text : list) {
        prefixed |= text.size();
        n += 4 + text.size();
      }
      return n;
    }
    case DataType::Empty: break;
  }
  return 0;
}

// A write cursor into memory sized beforehand: no bounds or growth checks.
struct Cursor {
  std::uint8_t* p;

  template <class T>
  void big_endian(T v) noexcept {
    wire::detail::to_big_endian(v, p);
    p += sizeof v;
  }
  template <class T>
  void little_endian(T v) noexcept {
    static_assert(std::endian::native == std::endian::little, "little-endian hosts only");
    std::memcpy(p, &v, sizeof v);
    p += sizeof v;
  }
  void raw(const void* data, std::size_t n) noexcept {
    if (n != 0) std::memcpy(p, data, n);
    p += n;
  }
  void text(std::string_view s) noexcept {
    big_endian(static_cast<std::uint32_t>(s.size()));
    raw(s.data(), s.size());
  }
};

// List elements are the format's only little-endian numbers.
template <class T>
void write_little_endian_list(Cursor& c, std::span<const T> list) noexcept {
  static_assert(std::endian::native == std::endian::little, "little-endian hosts only");
  c.big_endian(static_cast<std::uint32_t>(list.size()));
  c.raw(list.data(), list.size_bytes());
}

void write_value(Cursor& c, const FieldValue& v, std::uint32_t precision) noexcept {
  switch (type_of(v)) {
    case DataType::Int: c.big_endian(v.view<DataType::Int>()); break;
    case DataType::Double: c.big_endian(scale_to_i64(v.view<DataType::Double>(), precision)); break;
    case DataType::String: c.text(v.view<DataType::String>()); break;
    case DataType::VInt: write_little_endian_list(c, v.view<DataType::VInt>()); break;
    case DataType::VDouble: {
      const auto list = v.view<DataType::VDouble>();
      c.big_endian(static_cast<std::uint32_t>(list.size()));
      for (double d : list) c.little_endian(scale_to_i64(d, precision));
      break;
    }
    case DataType::VString: {
      const auto list = v.view<DataType::VString>();
      c.big_endian(static_cast<std::uint32_t>(list.size()));
      for (const std::string& text : list) c.text(text);
      break;
    }
    case DataType::Int64: c.big_endian(v.view<DataType::Int64>()); break;
    case DataType::VInt64: write_little_endian_list(c, v.view<DataType::VInt64>()); break;
    case DataType::Empty: break;
  }
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
  const std::size_t aux_count = static_cast<std::size_t>(std::popcount(aux_mask));
  const std::size_t word_count = (n * field_count + 63) / 64;

  // Two passes over the rows in memory order. The first checks them, builds
  // the presence bitmap and sizes every part; the second writes each row's
  // values straight to their place in the batch. Walking column by column
  // instead would revisit every row once per column.
  std::vector<std::uint64_t> words(word_count);
  std::vector<std::size_t> column_bytes(field_count);
  std::size_t market_bytes = 0, stock_code_bytes = 0;
  std::size_t prefixed = 0;  // or of every u32-prefixed length: one test after the pass
  bool type_mismatch = false;
  for (std::size_t r = 0; r < n; ++r) {
    const StructValue& row = *rows[r];
    // Counts are checked for every row before any type is reported.
    if (row.size() != field_count) {
      throw SerializerError("StructValue field count " + std::to_string(row.size()) +
                            " does not match schema field count " + std::to_string(field_count) + " for (ns=" +
                            std::to_string(ns) + ", meta_id=" + std::to_string(first.meta_id) + ")");
    }
    market_bytes += 4 + row.market.size();
    stock_code_bytes += 4 + row.stock_code.size();
    prefixed |= row.market.size() | row.stock_code.size();
    // A slot's presence bit is set exactly when it is not Empty: that is also
    // the all-ones bitmap when no slot is Empty.
    for (std::size_t f = 0; f < field_count; ++f) {
      const FieldValue& v = row.fields[f];
      if (v.index() == 0) continue;
      const std::size_t k = f * n + r;
      words[k / 64] |= std::uint64_t{1} << (k % 64);
      const FieldKind kind = meta.fields[f].field_type;
      if (kind.is_other()) continue;
      if (type_of(v) != kind.data_type()) {
        type_mismatch = true;
        continue;
      }
      column_bytes[f] += value_size(v, prefixed);
    }
  }
  if (type_mismatch) throw_first_type_mismatch(meta, rows);
  if (prefixed > 0xFFFFFFFFu) throw_first_too_long(rows);
  wire::u32_length(word_count);

  std::size_t total = 16 + 8 * n + 4 * n + market_bytes + stock_code_bytes + 4 * aux_count * n + 4 + 8 * word_count;
  for (std::size_t bytes : column_bytes) total += bytes;
  Cursor head{allocate(total)};
  head.big_endian(ns);
  head.big_endian(first.meta_id);
  head.big_endian(aux_mask);
  head.big_endian(static_cast<std::uint64_t>(n));
  Cursor time_tags{head.p};
  Cursor granularities{time_tags.p + 8 * n};
  Cursor markets{granularities.p + 4 * n};
  Cursor stock_codes{markets.p + market_bytes};
  Cursor aux{stock_codes.p + stock_code_bytes};
  Cursor bitmap{aux.p + 4 * aux_count * n};
  std::vector<Cursor> columns(field_count, Cursor{bitmap.p + 4 + 8 * word_count});
  for (std::size_t f = 1; f < field_count; ++f) columns[f].p = columns[f - 1].p + column_bytes[f - 1];

  bitmap.big_endian(static_cast<std::uint32_t>(word_count));
  for (std::uint64_t word : words) bitmap.big_endian(word);
  for (std::size_t r = 0; r < n; ++r) {
    const StructValue& row = *rows[r];
    time_tags.big_endian(row.time_tag);
    granularities.big_endian(row.granularity);
    markets.text(row.market);
    stock_codes.text(row.stock_code);
    if (aux_mask != 0) {
      for (std::size_t i = 0; i < kAuxCount; ++i) {
        if (aux_mask & (1u << i)) aux.big_endian(row.aux[i]);
      }
    }
    for (std::size_t f = 0; f < field_count; ++f) {
      const FieldValue& v = row.fields[f];
      if (v.index() != 0 && !meta.fields[f].field_type.is_other()) write_value(columns[f], v, meta.fields[f].precision);
    }
  }
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
  with_prefix<SerializerError, CodecError>("codec: ", [&] { deserialize_batch(out, catalog, r); });
}

std::vector<StructValue> deserialize(const IndexSchemaCatalog& catalog, wire::Bytes batch) {
  std::vector<StructValue> out;
  deserialize_into(out, catalog, batch);
  return out;
}

namespace {

// Growable bytes that are never zero-filled: the compressed set's payload is
// written once, in full, and only read by the compressor.
class PayloadBuffer {
 public:
  std::uint8_t* extend(std::size_t n) {
    if (n > cap_ - size_) {
      const std::size_t cap = std::max(size_ + n, 2 * cap_);
      auto grown = std::make_unique_for_overwrite<std::uint8_t[]>(cap);
      if (size_ != 0) std::memcpy(grown.get(), data_.get(), size_);
      data_ = std::move(grown);
      cap_ = cap;
    }
    std::uint8_t* at = data_.get() + size_;
    size_ += n;
    return at;
  }
  std::size_t size() const noexcept { return size_; }
  std::uint8_t* at(std::size_t offset) noexcept { return data_.get() + offset; }
  wire::Bytes bytes() const noexcept { return {data_.get(), size_}; }

 private:
  std::unique_ptr<std::uint8_t[]> data_;
  std::size_t size_ = 0, cap_ = 0;
};

SchemaKey key_of(const StructValue& row) noexcept {
  return {row.namespace_, static_cast<std::uint32_t>(row.meta_id)};
}

}  // namespace

std::string compress(const IndexSchemaCatalog& catalog, RowRefs rows) {
  // Most sets hold one schema: then the rows are the group as they stand.
  const bool one_group =
      std::all_of(rows.begin(), rows.end(), [&](const StructValue* r) { return key_of(*r) == key_of(*rows.front()); });
  std::map<SchemaKey, std::vector<const StructValue*>> groups;
  if (!one_group) {
    for (const StructValue* row : rows) groups[key_of(*row)].push_back(row);
  }
  PayloadBuffer payload;
  auto add_group = [&](RowRefs group) {
    const std::size_t len_at = payload.size();
    payload.extend(4);  // batch_len, written once the batch is
    serialize_to(catalog, group, [&payload](std::size_t n) { return payload.extend(n); });
    wire::detail::to_big_endian(wire::u32_length(payload.size() - len_at - 4), payload.at(len_at));
  };
  wire::detail::to_big_endian(static_cast<std::uint32_t>(rows.empty() ? 0 : one_group ? 1 : groups.size()),
                              payload.extend(4));
  if (one_group && !rows.empty()) add_group(rows);
  for (const auto& [key, group] : groups) add_group(group);
  return wire::snappy_compress_or<SerializerError>(payload.bytes());
}

std::vector<StructValue> decompress(const IndexSchemaCatalog& catalog, wire::Bytes blob) {
  std::vector<StructValue> out;
  if (blob.empty()) return out;
  // The payload lives only for this call: decode it into the thread's scratch.
  wire::ScratchBuffer::Lease lease;
  const wire::Bytes payload = wire::snappy_or<SerializerError>([&] { return wire::snappy_uncompress(blob, lease); });
  with_prefix<SerializerError, CodecError>("codec: ", [&] {
    Reader r(payload);
    for (std::uint32_t groups = r.read_u32(); groups > 0; --groups) {
      const wire::Bytes batch = r.read_bytes_view();
      if (batch.empty()) continue;
      Reader batch_reader(batch);
      deserialize_batch(out, catalog, batch_reader);
    }
  });
  return out;
}

}  // namespace qel::rows
