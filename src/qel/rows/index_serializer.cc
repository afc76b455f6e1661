// Schema-driven batch codec for StructValue rows: one uncompressed batch per
// (namespace, meta id), and the Snappy-compressed set of such batches.
#include "qel/rows/index_serializer.h"

#include "qel/rows/checked_batch.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <memory>

#include "qel/huge_pages.h"
#include "qel/text/utf8.h"
#include "qel/wire/snappy.h"

namespace qel::rows {

using wire::CodecError;
using wire::Reader;
using wire::Writer;

namespace {

constexpr double kEncodeFactor[kScaledPrecisions] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9};

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

// Whether every byte is below 0x80, a word at a time.
bool all_ascii(wire::Bytes bytes) noexcept {
  std::uint64_t any = 0;
  std::size_t i = 0;
  for (; i + 8 <= bytes.size(); i += 8) {
    std::uint64_t w;
    std::memcpy(&w, bytes.data() + i, 8);
    any |= w;
  }
  for (; i < bytes.size(); ++i) any |= bytes[i];
  return (any & 0x8080808080808080ULL) == 0;
}

// Steps over `n` texts, checking them as reading them would. A run of short ASCII texts (codes, names: most
// of what rows carry) is settled by walking its lengths, then one scan of the whole run, prefixes included,
// which are ASCII too when every text is shorter than 128 bytes. Anything else takes the text-by-text check,
// which also gives the error the first bad text makes.
void skip_strings(Reader& r, std::uint64_t n) {
  const wire::Bytes rest = r.rest();
  std::size_t at = 0;
  std::uint64_t k = 0;
  for (; k < n && rest.size() - at >= 4; ++k) {
    const auto len = wire::detail::from_big_endian<std::uint32_t>(rest.data() + at);
    if (len >= 128 || len > rest.size() - at - 4) break;
    at += 4 + len;
  }
  if (k == n && all_ascii(rest.first(at))) {
    r.read_view(at);
    return;
  }
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

// Checks one batch at r's position and steps r over it.
CheckedBatch check_batch(const IndexSchemaCatalog& catalog, Reader& r) {
  CheckedBatch b;
  b.ns = r.read_u16();
  b.meta_id = r.read_i32();
  b.aux_mask = r.read_u16() & 0x0FFF;
  const std::uint64_t n = b.n = r.read_u64();
  b.meta = &require_schema(catalog, b.ns, static_cast<std::uint32_t>(b.meta_id));
  const IndexMeta& meta = *b.meta;
  const std::size_t field_count = meta.fields.size();
  const auto aux_count = static_cast<std::uint64_t>(std::popcount(b.aux_mask));

  // Every part is checked in stream order, so errors are those of reading in
  // order, and nothing is allocated for the rows before the whole batch is
  // known to be sound. Fixed-width parts are checked by their length alone.
  require_items(r, n, sizeof(std::uint64_t));  // before any row exists
  auto at = [](const Reader& from) { return from.rest().data(); };
  b.time_tags.p = at(r);
  skip_items(r, n, 8);
  b.granularities.p = at(r);
  skip_items(r, n, 4);
  b.markets.p = at(r);
  skip_strings(r, n);
  b.stock_codes.p = at(r);
  skip_strings(r, n);
  b.aux.p = at(r);
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
  b.words.resize(word_count);
  for (std::uint64_t& word : b.words) word = r.read_u64();

  b.columns.assign(field_count, CheckedCursor{nullptr});
  for (std::size_t f = 0; f < field_count; ++f) {
    b.columns[f].p = at(r);
    const FieldKind kind = meta.fields[f].field_type;
    if (kind.is_other()) continue;
    const std::uint64_t base = static_cast<std::uint64_t>(f) * n;
    if (const std::size_t width = fixed_width(kind.data_type())) {
      skip_items(r, count_present(b.words, base, n), width);
      continue;
    }
    if (kind.data_type() == DataType::String) {  // the present texts lie one after another
      skip_strings(r, count_present(b.words, base, n));
      continue;
    }
    for (std::uint64_t row = 0; row < n; ++row) {
      if (b.present(f, row)) skip_value(r, kind.data_type());
    }
  }
  b.end = at(r);
  return b;
}

// Appends the rows of a checked batch to `out`.
void build_rows(std::vector<StructValue>& out, CheckedBatch&& b) {
  const IndexMeta& meta = *b.meta;
  const std::size_t field_count = meta.fields.size();
  const std::uint64_t n = b.n;

  // The second pass builds each row whole, which keeps its memory in cache
  // instead of revisiting every row once per part. The rows' memory is almost
  // always fresh.
  out.reserve(out.size() + n);
  advise_huge_pages(out.data() + out.size(), n * sizeof(StructValue));
  for (std::uint64_t row = 0; row < n; ++row) {
    StructValue& v = out.emplace_back();
    v.namespace_ = b.ns;
    v.meta_id = b.meta_id;
    v.time_tag = b.time_tags.big_endian<std::uint64_t>();
    v.granularity = b.granularities.big_endian<std::int32_t>();
    v.market = b.markets.text();
    v.stock_code = b.stock_codes.text();
    if (b.aux_mask != 0) {
      for (std::size_t i = 0; i < kAuxCount; ++i) {
        if (b.aux_mask & (1u << i)) v.aux[i] = b.aux.big_endian<std::int32_t>();
      }
    }
    v.fields.reserve(field_count);
    for (std::size_t f = 0; f < field_count; ++f) {
      const IndexMetaField& column = meta.fields[f];
      if (column.field_type.is_other() || !b.present(f, row)) {
        v.fields.emplace_back();
      } else {
        v.fields.push_back(read_checked_value(b.columns[f], column.field_type.data_type(), column.precision));
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
[[gnu::always_inline]] inline std::size_t value_size(const FieldValue& v, std::size_t& prefixed) noexcept {
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

[[gnu::always_inline]] inline void write_value(Cursor& c, const FieldValue& v, std::uint32_t precision) noexcept {
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

// What sizing a sink's rows adds up, besides the bitmap and the columns.
struct RowSizes {
  std::size_t market_bytes = 0, stock_code_bytes = 0;
  std::size_t prefixed = 0;  // or of every u32-prefixed length: one test after the pass
  bool type_mismatch = false;
};

// Where the parts of a sink's batch are written next, besides the columns.
struct RowCursors {
  Cursor time_tags{nullptr}, granularities{nullptr}, markets{nullptr}, stock_codes{nullptr}, aux{nullptr};
};

// One sink's batch: sized by the first pass over the rows, written by the second.
struct BatchPlan {
  std::size_t n = 0;     // rows bound for this sink
  std::size_t next = 0;  // rows of it met so far in the current pass
  const StructValue* first = nullptr;
  std::uint16_t aux_mask = 0;
  RowSizes sizes;
  std::size_t total = 0;  // the batch's bytes
  std::vector<std::uint64_t> words;  // presence bitmap
  std::vector<std::size_t> column_bytes;
  RowCursors cursors;
  std::vector<Cursor> columns;
};

// The rows `route` sends to `plan`, in route order: for reporting its faults.
template <class Route>
std::vector<const StructValue*> rows_of(const Route& route, std::span<BatchPlan> plans, const BatchPlan& plan) {
  std::vector<const StructValue*> out;
  for (std::size_t i = 0; i < route.size(); ++i) {
    if (&plans[route.sink(i)] == &plan) out.push_back(&route.row(i));
  }
  return out;
}

// Sizes row r of n rows of one batch. The state comes in pieces, so that a
// caller with a single batch keeps it in locals, which no store of the bitmap
// or column sizes can alias.
[[gnu::always_inline]] inline void size_row(const IndexMeta& meta, const StructValue& row, std::size_t r,
                                            std::size_t n, std::uint64_t* words, std::size_t* column_bytes,
                                            RowSizes& sizes) {
  sizes.market_bytes += 4 + row.market.size();
  sizes.stock_code_bytes += 4 + row.stock_code.size();
  sizes.prefixed |= row.market.size() | row.stock_code.size();
  // A slot's presence bit is set exactly when it is not Empty: that is also
  // the all-ones bitmap when no slot is Empty.
  const std::size_t field_count = meta.fields.size();
  for (std::size_t f = 0; f < field_count; ++f) {
    const FieldValue& v = row.fields[f];
    if (v.index() == 0) continue;
    const std::size_t k = f * n + r;
    words[k / 64] |= std::uint64_t{1} << (k % 64);
    const FieldKind kind = meta.fields[f].field_type;
    if (kind.is_other()) continue;
    if (type_of(v) != kind.data_type()) {
      sizes.type_mismatch = true;
      continue;
    }
    column_bytes[f] += value_size(v, sizes.prefixed);
  }
}

// Writes one row's values at the cursors, which it moves on.
[[gnu::always_inline]] inline void write_row(const IndexMeta& meta, const StructValue& row, std::uint16_t aux_mask,
                                             RowCursors& c, Cursor* columns) {
  c.time_tags.big_endian(row.time_tag);
  c.granularities.big_endian(row.granularity);
  c.markets.text(row.market);
  c.stock_codes.text(row.stock_code);
  if (aux_mask != 0) {
    for (std::size_t a = 0; a < kAuxCount; ++a) {
      if (aux_mask & (1u << a)) c.aux.big_endian(row.aux[a]);
    }
  }
  const std::size_t field_count = meta.fields.size();
  for (std::size_t f = 0; f < field_count; ++f) {
    const FieldValue& v = row.fields[f];
    if (v.index() != 0 && !meta.fields[f].field_type.is_other()) write_value(columns[f], v, meta.fields[f].precision);
  }
}

// One batch per sink that receives rows: route.row(i) goes to sink
// route.sink(i) (< plans.size()), each sink's rows in route order. Every row
// shares the first one's (namespace, meta id). Two passes over the rows in
// route order: size_batches checks them, builds the presence bitmaps and sizes
// every part; write_batches writes each row's values straight to their place.
// Walking column by column instead would revisit every row once per column,
// and walking sink by sink would visit rows scattered over memory.
template <class Route>
const IndexMeta& size_batches(const IndexSchemaCatalog& catalog, const Route& route, std::span<BatchPlan> plans) {
  if (route.size() == 0) throw SerializerError("empty input batch");
  const StructValue& first = route.row(0);
  const std::uint16_t ns = first.namespace_;
  const IndexMeta& meta = require_schema(catalog, ns, static_cast<std::uint32_t>(first.meta_id));
  const std::size_t field_count = meta.fields.size();

  for (std::size_t i = 0; i < route.size(); ++i) {
    BatchPlan& plan = plans[route.sink(i)];
    if (plan.n++ == 0) plan.first = &route.row(i);
  }
  for (BatchPlan& plan : plans) {
    if (plan.n == 0) continue;
    plan.aux_mask = aux_mask_of(*plan.first);
    plan.words.assign((plan.n * field_count + 63) / 64, 0);
    plan.column_bytes.assign(field_count, 0);
  }

  // Counts are checked for every row before any type is reported.
  auto check_count = [&](const StructValue& row) {
    if (row.size() != field_count) {
      throw SerializerError("StructValue field count " + std::to_string(row.size()) +
                            " does not match schema field count " + std::to_string(field_count) + " for (ns=" +
                            std::to_string(ns) + ", meta_id=" + std::to_string(first.meta_id) + ")");
    }
  };
  if constexpr (Route::kOneSink) {
    BatchPlan& plan = plans[0];
    RowSizes sizes;
    for (std::size_t i = 0; i < route.size(); ++i) {
      check_count(route.row(i));
      size_row(meta, route.row(i), i, plan.n, plan.words.data(), plan.column_bytes.data(), sizes);
    }
    plan.sizes = sizes;
  } else {
    for (std::size_t i = 0; i < route.size(); ++i) {
      BatchPlan& plan = plans[route.sink(i)];
      check_count(route.row(i));
      size_row(meta, route.row(i), plan.next++, plan.n, plan.words.data(), plan.column_bytes.data(), plan.sizes);
    }
  }

  for (BatchPlan& plan : plans) {
    if (plan.n == 0) continue;
    if (plan.sizes.type_mismatch) throw_first_type_mismatch(meta, rows_of(route, plans, plan));
    if (plan.sizes.prefixed > 0xFFFFFFFFu) throw_first_too_long(rows_of(route, plans, plan));
    wire::u32_length(plan.words.size());
    const std::size_t n = plan.n;
    const auto aux_count = static_cast<std::size_t>(std::popcount(plan.aux_mask));
    plan.total = 16 + 8 * n + 4 * n + plan.sizes.market_bytes + plan.sizes.stock_code_bytes + 4 * aux_count * n +
                 4 + 8 * plan.words.size();
    for (std::size_t bytes : plan.column_bytes) plan.total += bytes;
  }
  return meta;
}

// Writes each sized plan's batch at at(sink), which has room for its total.
template <class Route, class At>
void write_batches(const IndexMeta& meta, const Route& route, std::span<BatchPlan> plans, At&& at) {
  const std::size_t field_count = meta.fields.size();
  for (std::size_t s = 0; s < plans.size(); ++s) {
    BatchPlan& plan = plans[s];
    if (plan.n == 0) continue;
    const std::size_t n = plan.n;
    const auto aux_count = static_cast<std::size_t>(std::popcount(plan.aux_mask));
    Cursor head{at(s)};
    head.big_endian(plan.first->namespace_);
    head.big_endian(plan.first->meta_id);
    head.big_endian(plan.aux_mask);
    head.big_endian(static_cast<std::uint64_t>(n));
    RowCursors& c = plan.cursors;
    c.time_tags.p = head.p;
    c.granularities.p = c.time_tags.p + 8 * n;
    c.markets.p = c.granularities.p + 4 * n;
    c.stock_codes.p = c.markets.p + plan.sizes.market_bytes;
    c.aux.p = c.stock_codes.p + plan.sizes.stock_code_bytes;
    Cursor bitmap{c.aux.p + 4 * aux_count * n};
    bitmap.big_endian(static_cast<std::uint32_t>(plan.words.size()));
    for (std::uint64_t word : plan.words) bitmap.big_endian(word);
    plan.columns.assign(field_count, bitmap);
    for (std::size_t f = 1; f < field_count; ++f) plan.columns[f].p = plan.columns[f - 1].p + plan.column_bytes[f - 1];
  }

  if constexpr (Route::kOneSink) {
    RowCursors c = plans[0].cursors;
    for (std::size_t i = 0; i < route.size(); ++i) {
      write_row(meta, route.row(i), plans[0].aux_mask, c, plans[0].columns.data());
    }
  } else {
    for (std::size_t i = 0; i < route.size(); ++i) {
      BatchPlan& plan = plans[route.sink(i)];
      write_row(meta, route.row(i), plan.aux_mask, plan.cursors, plan.columns.data());
    }
  }
}

// Every row to the one sink.
struct AllRows {
  static constexpr bool kOneSink = true;
  RowRefs rows;
  std::size_t size() const noexcept { return rows.size(); }
  const StructValue& row(std::size_t i) const noexcept { return *rows[i]; }
  static constexpr std::size_t sink(std::size_t) noexcept { return 0; }
};

struct SplitRows {
  static constexpr bool kOneSink = false;
  std::span<const RoutedRow> rows;
  std::size_t size() const noexcept { return rows.size(); }
  const StructValue& row(std::size_t i) const noexcept { return *rows[i].row; }
  std::size_t sink(std::size_t i) const noexcept { return rows[i].sink; }
};

}  // namespace

void serialize_to(const IndexSchemaCatalog& catalog, RowRefs rows,
                  const std::function<std::uint8_t*(std::size_t)>& allocate) {
  BatchPlan plan;
  const std::span<BatchPlan> plans(&plan, 1);
  const IndexMeta& meta = size_batches(catalog, AllRows{rows}, plans);
  std::uint8_t* at = allocate(plan.total);
  write_batches(meta, AllRows{rows}, plans, [at](std::size_t) { return at; });
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
  with_prefix<SerializerError, CodecError>("codec: ", [&] { build_rows(out, check_batch(catalog, r)); });
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

namespace {

// Each sink's payload, uncompressed, in one buffer.
struct SplitPayloads {
  std::unique_ptr<std::uint8_t[]> bytes;
  std::vector<std::size_t> begins;  // payload s is [begins[s], begins[s + 1]); empty without rows

  wire::Bytes payload(std::size_t s) const noexcept { return {bytes.get() + begins[s], begins[s + 1] - begins[s]}; }
};

SplitPayloads serialize_split(const IndexSchemaCatalog& catalog, std::span<const RoutedRow> rows,
                              std::size_t sinks) {
  // Runs of one key each, ascending; rows keep their order within a run.
  // Rows are mostly in key order already: one pass finds the runs and checks
  // that, and only rows out of order are sorted first.
  std::vector<std::span<const RoutedRow>> runs;
  std::vector<std::uint32_t> group_counts;
  auto find_runs = [&] {
    runs.clear();
    group_counts.assign(sinks, 0);
    std::vector<std::size_t> last_run(sinks, SIZE_MAX);
    for (std::size_t begin = 0; begin < rows.size();) {
      const SchemaKey key = key_of(*rows[begin].row);
      if (!runs.empty() && key < key_of(*runs.back().front().row)) return false;
      std::size_t end = begin;
      for (; end < rows.size() && key_of(*rows[end].row) == key; ++end) {
        const std::uint32_t s = rows[end].sink;
        if (last_run[s] != runs.size()) ++group_counts[s], last_run[s] = runs.size();
      }
      runs.push_back(rows.subspan(begin, end - begin));
      begin = end;
    }
    return true;
  };
  std::vector<RoutedRow> sorted;
  if (!find_runs()) {
    sorted.assign(rows.begin(), rows.end());
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const RoutedRow& a, const RoutedRow& b) { return key_of(*a.row) < key_of(*b.row); });
    rows = sorted;
    find_runs();
  }

  // Every run sized before anything is written: then each sink's payload has
  // its place in one buffer.
  std::vector<std::vector<BatchPlan>> plans(runs.size(), std::vector<BatchPlan>(sinks));
  std::vector<const IndexMeta*> metas(runs.size());
  for (std::size_t r = 0; r < runs.size(); ++r) {
    metas[r] = &size_batches(catalog, SplitRows{runs[r]}, std::span(plans[r]));
  }
  SplitPayloads out;
  std::vector<std::size_t>& begins = out.begins;
  begins.assign(sinks + 1, 0);
  for (std::size_t s = 0; s < sinks; ++s) {
    std::size_t bytes = group_counts[s] != 0 ? 4 : 0;
    for (const std::vector<BatchPlan>& run_plans : plans) {
      if (run_plans[s].n != 0) bytes += 4 + run_plans[s].total;
    }
    begins[s + 1] = begins[s] + bytes;
  }
  out.bytes = std::make_unique_for_overwrite<std::uint8_t[]>(begins[sinks]);
  std::vector<std::uint8_t*> ends(sinks);  // where each payload's next batch goes
  for (std::size_t s = 0; s < sinks; ++s) {
    ends[s] = out.bytes.get() + begins[s];
    if (group_counts[s] != 0) wire::detail::to_big_endian(group_counts[s], ends[s]), ends[s] += 4;
  }
  for (std::size_t r = 0; r < runs.size(); ++r) {
    write_batches(*metas[r], SplitRows{runs[r]}, std::span(plans[r]), [&](std::size_t s) {
      std::uint8_t* batch = ends[s];
      wire::detail::to_big_endian(wire::u32_length(plans[r][s].total), batch);
      ends[s] += 4 + plans[r][s].total;
      return batch + 4;
    });
  }
  return out;
}

}  // namespace

void compress_split(const IndexSchemaCatalog& catalog, std::span<const RoutedRow> rows, std::size_t sinks,
                    const std::function<void(std::size_t, wire::Bytes)>& take) {
  SplitPayloads split;
  try {
    split = serialize_split(catalog, rows, sinks);
  } catch (const Error&) {
    // The one pass meets faults in row order; report the one that compressing
    // sink after sink would have met first.
    std::vector<const StructValue*> refs;
    for (std::size_t s = 0; s < sinks; ++s) {
      refs.clear();
      for (const RoutedRow& r : rows) {
        if (r.sink == s) refs.push_back(r.row);
      }
      compress(catalog, refs);
    }
    throw;
  }
  // Each set goes into the thread's scratch and is taken from there: a set is
  // copied into its message at once, so it needs no memory of its own.
  wire::ScratchBuffer::Lease lease;
  for (std::size_t s = 0; s < sinks; ++s) {
    const wire::Bytes payload = split.payload(s);
    if (payload.empty()) continue;
    take(s, wire::snappy_or<SerializerError>([&] { return wire::snappy_compress(payload, lease); }));
  }
}

namespace {

// f(batch) for each batch of a compressed set, checked, in stored order; the
// batches point into the leased buffer.
template <class F>
void for_each_batch(const IndexSchemaCatalog& catalog, wire::Bytes blob, wire::ScratchBuffer::Lease& lease, F&& f) {
  if (blob.empty()) return;
  const wire::Bytes payload = wire::snappy_or<SerializerError>([&] { return wire::snappy_uncompress(blob, lease); });
  with_prefix<SerializerError, CodecError>("codec: ", [&] {
    Reader r(payload);
    for (std::uint32_t groups = r.read_u32(); groups > 0; --groups) {
      const wire::Bytes batch = r.read_bytes_view();
      if (batch.empty()) continue;
      Reader batch_reader(batch);
      f(check_batch(catalog, batch_reader));
    }
  });
}

}  // namespace

std::vector<StructValue> decompress(const IndexSchemaCatalog& catalog, wire::Bytes blob) {
  std::vector<StructValue> out;
  // The payload lives only for this call: decode it into the thread's scratch.
  wire::ScratchBuffer::Lease lease;
  for_each_batch(catalog, blob, lease, [&](CheckedBatch&& batch) { build_rows(out, std::move(batch)); });
  return out;
}

std::vector<CheckedBatch> check_set(const IndexSchemaCatalog& catalog, wire::Bytes blob,
                                    wire::ScratchBuffer::Lease& lease) {
  std::vector<CheckedBatch> out;
  for_each_batch(catalog, blob, lease, [&](CheckedBatch&& batch) { out.push_back(std::move(batch)); });
  return out;
}

}  // namespace qel::rows
