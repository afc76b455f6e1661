// Rows to Arrow: one pass per column over a checked batch's bytes, into 64-byte aligned buffers that the
// arrays own and free in their release callbacks.
#include "qel/arrow/export.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include "qel/rows/checked_batch.h"
#include "qel/wire/scratch_buffer.h"

namespace qel::arrow {
namespace {

using rows::CheckedBatch;
using rows::CheckedCursor;
using rows::DataType;
using rows::FieldKind;

constexpr std::size_t kAlign = 64;

// ---- buffers and arrays --------------------------------------------------------------------------------------

struct AlignedFree {
  void operator()(void* p) const noexcept { std::free(p); }
};
using Block = std::unique_ptr<void, AlignedFree>;

Block allocate(std::size_t bytes) {
  // Rounded up to the alignment (a size aligned_alloc requires) and never empty, so every buffer is a pointer.
  const std::size_t size = std::max<std::size_t>(kAlign, (bytes + kAlign - 1) / kAlign * kAlign);
  void* p = std::aligned_alloc(kAlign, size);
  if (p == nullptr) throw std::bad_alloc();
  return Block(p);
}

// What an exported array owns: its buffers, the pointer table the consumer reads, and its children.
struct ArrayData {
  std::vector<Block> blocks;
  const void* buffers[3] = {nullptr, nullptr, nullptr};
  std::vector<ArrowArray> children;
  std::vector<ArrowArray*> child_pointers;

  ArrayData() = default;
  ArrayData(const ArrayData&) = delete;
  ArrayData& operator=(const ArrayData&) = delete;
  // Also for an array abandoned half built: its finished children go with it.
  ~ArrayData() {
    for (ArrowArray& child : children) {
      if (child.release != nullptr) child.release(&child);
    }
  }
};

void release_array(ArrowArray* a) noexcept {
  if (a == nullptr || a->release == nullptr) return;
  delete static_cast<ArrayData*>(a->private_data);
  a->release = nullptr;
}

// An array under construction; finish() hands it to an ArrowArray.
struct Built {
  std::unique_ptr<ArrayData> data = std::make_unique<ArrayData>();
  std::int64_t length = 0;
  std::int64_t null_count = 0;
  std::int64_t n_buffers = 0;

  template <class T>
  T* buffer(std::size_t index, std::size_t count) {
    data->blocks.push_back(allocate(count * sizeof(T)));
    void* p = data->blocks.back().get();
    data->buffers[index] = p;
    return static_cast<T*>(p);
  }
  void add_child(Built&& child);
  // Takes the offsets and data of a text column built apart, beside this array's own validity buffer.
  void take_texts(Built&& texts) {
    n_buffers = 3;
    for (int i = 1; i <= 2; ++i) {
      data->blocks.push_back(std::move(texts.data->blocks[i - 1]));
      data->buffers[i] = texts.data->buffers[i];
    }
  }
  void finish(ArrowArray* out) {
    data->child_pointers.reserve(data->children.size());
    for (ArrowArray& child : data->children) data->child_pointers.push_back(&child);
    *out = ArrowArray{length,
                      null_count,
                      0,
                      n_buffers,
                      static_cast<std::int64_t>(data->children.size()),
                      data->buffers,
                      data->child_pointers.empty() ? nullptr : data->child_pointers.data(),
                      nullptr,
                      &release_array,
                      data.release()};
  }
};

void Built::add_child(Built&& child) {
  data->children.emplace_back();
  child.finish(&data->children.back());
}

// ---- validity ------------------------------------------------------------------------------------------------

// The column's presence bits as an Arrow validity bitmap (bit i of byte i / 8, least significant first); the
// batch keeps them column after column in 64-bit words, bit k of the whole at k % 64 of word k / 64.
std::int64_t validity(const CheckedBatch& b, std::size_t column, std::uint64_t* out) {
  const std::uint64_t n = b.n;
  const std::uint64_t first = column * n;
  const std::uint64_t* words = b.words.data();
  const std::size_t out_words = (n + 63) / 64;
  std::uint64_t present = 0;
  for (std::size_t j = 0; j < out_words; ++j) {
    const std::uint64_t k = first + 64 * j;
    const std::uint64_t shift = k % 64;
    std::uint64_t w = words[k / 64] >> shift;
    if (shift != 0 && k / 64 + 1 < b.words.size()) w |= words[k / 64 + 1] << (64 - shift);
    const std::uint64_t left = n - 64 * j;
    if (left < 64) w &= (std::uint64_t{1} << left) - 1;
    out[j] = w;  // little-endian hosts: the word's bytes are the bitmap's bytes in order
    present += static_cast<std::uint64_t>(std::popcount(w));
  }
  return static_cast<std::int64_t>(n - present);
}

static_assert(std::endian::native == std::endian::little, "validity words are written as bitmap bytes");

// ---- columns -------------------------------------------------------------------------------------------------

std::int32_t offset_of(std::size_t bytes) {
  if (bytes > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    throw Error("a column's texts exceed 2 GiB, more than one Arrow utf8 array holds");
  }
  return static_cast<std::int32_t>(bytes);
}

// Texts up to this long are copied by one fixed-size move, where the bytes past them may be read.
constexpr std::size_t kShortText = 16;

// The n texts next() reads, as offsets and data. next() is called twice per text, by two copies of it, so
// that the data buffer is allocated once at its size.
// A `known` total (the checked part's size less its length prefixes) spares the first walk. Bytes up to
// `readable` may be read past a text (the batch's end, for texts read from one), so that a short one is
// copied as a fixed-size move rather than by a call.
template <class Next>
Built text_column(std::uint64_t n, CheckedCursor cursor, Next next, std::optional<std::size_t> known = {},
                  const std::uint8_t* readable = nullptr) {
  Built a;
  a.length = static_cast<std::int64_t>(n);
  a.n_buffers = 3;
  std::size_t total = known.value_or(0);
  if (!known) {
    CheckedCursor sizing = cursor;
    Next sizer = next;
    for (std::uint64_t i = 0; i < n; ++i) total += sizer(sizing).size();
  }
  auto* offsets = a.buffer<std::int32_t>(1, n + 1);
  char* data = a.buffer<char>(2, total + kShortText);  // room for the last short move
  std::size_t at = 0;
  offsets[0] = 0;
  // The last address a short move may start from, as a number: 0 when none may.
  const auto readable_at = reinterpret_cast<std::uintptr_t>(readable);
  const std::uintptr_t short_limit = readable_at >= kShortText ? readable_at - kShortText : 0;
  for (std::uint64_t i = 0; i < n; ++i) {
    const std::string_view s = next(cursor);
    const auto from = reinterpret_cast<std::uintptr_t>(s.data());
    if (s.size() <= kShortText && from != 0 && from <= short_limit) {
      std::memcpy(data + at, s.data(), kShortText);  // the excess is overwritten by what follows
    } else if (!s.empty()) {
      std::memcpy(data + at, s.data(), s.size());  // an absent text's view has no data at all
    }
    at += s.size();
    offsets[i + 1] = offset_of(at);
  }
  return a;
}

// Where column c's bytes end: at the next column, or the batch's end.
const std::uint8_t* column_end(const CheckedBatch& b, std::size_t c) {
  return c + 1 < b.columns.size() ? b.columns[c + 1].p : b.end;
}

// A field's column: values where the batch has them, nulls elsewhere.
Built field_column(const CheckedBatch& b, std::size_t c) {
  const rows::IndexMetaField& field = b.meta->fields[c];
  const std::uint64_t n = b.n;
  Built a;
  a.length = static_cast<std::int64_t>(n);
  if (field.field_type.is_other()) {
    a.null_count = a.length;  // the null type: no buffers at all
    return a;
  }
  a.n_buffers = 2;
  auto* valid = a.buffer<std::uint64_t>(0, (n + 63) / 64);
  a.null_count = validity(b, c, valid);
  const auto present = [&](std::uint64_t row) { return (valid[row / 64] >> (row % 64)) & 1; };
  CheckedCursor v = b.columns[c];
  const std::uint32_t precision = field.precision;
  switch (field.field_type.data_type()) {
    case DataType::Int: {
      auto* out = a.buffer<std::int32_t>(1, n);
      for (std::uint64_t i = 0; i < n; ++i) out[i] = present(i) ? v.big_endian<std::int32_t>() : 0;
      break;
    }
    case DataType::Int64: {
      auto* out = a.buffer<std::int64_t>(1, n);
      for (std::uint64_t i = 0; i < n; ++i) out[i] = present(i) ? v.big_endian<std::int64_t>() : 0;
      break;
    }
    case DataType::Double: {
      auto* out = a.buffer<double>(1, n);
      for (std::uint64_t i = 0; i < n; ++i) {
        out[i] = present(i) ? rows::unscale(v.big_endian<std::int64_t>(), precision) : 0.0;
      }
      break;
    }
    case DataType::String: {
      const auto present_rows = static_cast<std::size_t>(n) - static_cast<std::size_t>(a.null_count);
      const auto bytes = static_cast<std::size_t>(column_end(b, c) - v.p);
      Built t = text_column(
          n, v,
          [&, row = std::uint64_t{0}](CheckedCursor& c) mutable {
            return present(row++) ? c.text() : std::string_view();
          },
          bytes - 4 * present_rows, b.end);
      a.take_texts(std::move(t));
      break;
    }
    case DataType::VInt:
    case DataType::VInt64:
    case DataType::VDouble: {
      // The column's size less one count per present slot is its elements: one walk fills offsets and values.
      const DataType type = field.field_type.data_type();
      const std::size_t width = type == DataType::VInt ? 4 : 8;
      const auto present_rows = static_cast<std::size_t>(n) - static_cast<std::size_t>(a.null_count);
      const std::size_t items = (static_cast<std::size_t>(column_end(b, c) - v.p) - 4 * present_rows) / width;
      auto* offsets = a.buffer<std::int32_t>(1, n + 1);
      Built child;
      child.length = static_cast<std::int64_t>(items);
      child.n_buffers = 2;
      const auto fill = [&]<class T>(T* out, auto read) {
        std::size_t at = 0;
        offsets[0] = 0;
        for (std::uint64_t i = 0; i < n; ++i) {
          if (present(i)) {
            const std::uint32_t count = v.big_endian<std::uint32_t>();
            for (std::uint32_t k = 0; k < count; ++k) out[at + k] = read();
            at += count;
          }
          offsets[i + 1] = offset_of(at);
        }
      };
      if (type == DataType::VInt) {
        fill(child.buffer<std::int32_t>(1, items), [&] { return v.little_endian<std::int32_t>(); });
      } else if (type == DataType::VInt64) {
        fill(child.buffer<std::int64_t>(1, items), [&] { return v.little_endian<std::int64_t>(); });
      } else {
        fill(child.buffer<double>(1, items), [&] { return rows::unscale(v.little_endian<std::int64_t>(), precision); });
      }
      a.add_child(std::move(child));
      break;
    }
    case DataType::VString: {
      // Sizes first: each present slot is a u32 count and its texts.
      auto* offsets = a.buffer<std::int32_t>(1, n + 1);
      std::size_t items = 0;
      CheckedCursor sizing = v;
      offsets[0] = 0;
      for (std::uint64_t i = 0; i < n; ++i) {
        if (present(i)) {
          const std::uint32_t count = sizing.big_endian<std::uint32_t>();
          for (std::uint32_t k = 0; k < count; ++k) sizing.text();
          items += count;
        }
        offsets[i + 1] = offset_of(items);
      }
      const auto bytes = static_cast<std::size_t>(column_end(b, c) - v.p);
      const std::size_t present_rows = static_cast<std::size_t>(n) - static_cast<std::size_t>(a.null_count);
      Built child = text_column(
          items, v,
          [&, row = std::uint64_t{0}, left = std::uint32_t{0}](CheckedCursor& c) mutable {
            while (left == 0) {
              // The next present slot's count; absent slots hold nothing.
              while (!present(row)) ++row;
              left = c.big_endian<std::uint32_t>();
              ++row;
            }
            --left;
            return c.text();
          },
          bytes - 4 * present_rows - 4 * items, b.end);
      a.add_child(std::move(child));
      break;
    }
    case DataType::Empty: break;  // not a declared kind: is_other() above
  }
  return a;
}

// A header part of n texts, which ends where the next part begins, in a batch that ends at batch_end.
Built header_text(std::uint64_t n, CheckedCursor part, const std::uint8_t* end, const std::uint8_t* batch_end) {
  return text_column(
      n, part, [](CheckedCursor& c) { return c.text(); }, static_cast<std::size_t>(end - part.p) - 4 * n, batch_end);
}

template <class T, class Read>
Built header_numbers(std::uint64_t n, Read read) {
  Built a;
  a.length = static_cast<std::int64_t>(n);
  a.n_buffers = 2;
  auto* out = a.buffer<T>(1, n);
  for (std::uint64_t i = 0; i < n; ++i) out[i] = read();
  return a;
}

void export_batch(CheckedBatch& b, ArrowArray* out) {
  const std::uint64_t n = b.n;
  Built batch;
  batch.length = static_cast<std::int64_t>(n);
  batch.n_buffers = 1;  // a struct array: no validity buffer, no nulls
  batch.data->children.reserve(4 + b.meta->fields.size());
  batch.add_child(header_text(n, b.markets, b.stock_codes.p, b.end));
  batch.add_child(header_text(n, b.stock_codes, b.aux.p, b.end));
  batch.add_child(header_numbers<std::int64_t>(
      n, [&] { return static_cast<std::int64_t>(b.time_tags.big_endian<std::uint64_t>()); }));
  batch.add_child(header_numbers<std::int32_t>(n, [&] { return b.granularities.big_endian<std::int32_t>(); }));
  for (std::size_t c = 0; c < b.meta->fields.size(); ++c) batch.add_child(field_column(b, c));
  batch.finish(out);
}

// ---- rows held natively -----------------------------------------------------------------------------------

using Rows = std::span<const rows::StructValue* const>;

// A field's column read slot by slot; slots beyond a row's own are absent. The rows were checked against the
// field's kind by packing them (see export_rows).
Built native_field_column(Rows rows, std::size_t c, const rows::IndexMetaField& field) {
  const std::uint64_t n = rows.size();
  Built a;
  a.length = static_cast<std::int64_t>(n);
  if (field.field_type.is_other()) {
    a.null_count = a.length;
    return a;
  }
  const DataType type = field.field_type.data_type();
  const auto slot = [&](std::uint64_t i) -> const rows::FieldValue* {
    const rows::StructValue& r = *rows[i];
    return c < r.fields.size() && r.fields[c].type() == type ? &r.fields[c] : nullptr;
  };
  a.n_buffers = 2;
  auto* valid = a.buffer<std::uint64_t>(0, (n + 63) / 64);
  std::fill_n(valid, (n + 63) / 64, 0);
  for (std::uint64_t i = 0; i < n; ++i) {
    if (slot(i) != nullptr) valid[i / 64] |= std::uint64_t{1} << (i % 64);
    else ++a.null_count;
  }
  const auto numbers = [&]<DataType D, class T>(T*) {
    auto* out = a.buffer<T>(1, n);
    for (std::uint64_t i = 0; i < n; ++i) out[i] = slot(i) ? static_cast<T>(slot(i)->template view<D>()) : T{};
  };
  const auto list = [&]<DataType D, class T>(T*) {
    auto* offsets = a.buffer<std::int32_t>(1, n + 1);
    std::size_t items = 0;
    offsets[0] = 0;
    for (std::uint64_t i = 0; i < n; ++i) {
      if (slot(i)) items += slot(i)->template view<D>().size();
      offsets[i + 1] = offset_of(items);
    }
    Built child;
    child.length = static_cast<std::int64_t>(items);
    child.n_buffers = 2;
    auto* out = child.buffer<T>(1, items);
    for (std::uint64_t i = 0; i < n; ++i) {
      if (slot(i)) out = std::copy(slot(i)->template view<D>().begin(), slot(i)->template view<D>().end(), out);
    }
    a.add_child(std::move(child));
  };
  switch (type) {
    case DataType::Int: numbers.template operator()<DataType::Int>(static_cast<std::int32_t*>(nullptr)); break;
    case DataType::Int64: numbers.template operator()<DataType::Int64>(static_cast<std::int64_t*>(nullptr)); break;
    case DataType::Double: numbers.template operator()<DataType::Double>(static_cast<double*>(nullptr)); break;
    case DataType::VInt: list.template operator()<DataType::VInt>(static_cast<std::int32_t*>(nullptr)); break;
    case DataType::VInt64: list.template operator()<DataType::VInt64>(static_cast<std::int64_t*>(nullptr)); break;
    case DataType::VDouble: list.template operator()<DataType::VDouble>(static_cast<double*>(nullptr)); break;
    case DataType::String: {
      Built t = text_column(n, CheckedCursor{nullptr}, [&, i = std::uint64_t{0}](CheckedCursor&) mutable {
        const rows::FieldValue* v = slot(i++);
        return v ? v->view<DataType::String>() : std::string_view();
      });
      a.take_texts(std::move(t));
      break;
    }
    case DataType::VString: {
      auto* offsets = a.buffer<std::int32_t>(1, n + 1);
      std::size_t items = 0;
      offsets[0] = 0;
      for (std::uint64_t i = 0; i < n; ++i) {
        if (slot(i)) items += slot(i)->view<DataType::VString>().size();
        offsets[i + 1] = offset_of(items);
      }
      a.add_child(text_column(items, CheckedCursor{nullptr},
                              [&, i = std::uint64_t{0}, k = std::size_t{0}](CheckedCursor&) mutable {
                                for (;; ++i, k = 0) {
                                  const rows::FieldValue* v = slot(i);
                                  if (v && k < v->view<DataType::VString>().size()) {
                                    return std::string_view(v->view<DataType::VString>()[k++]);
                                  }
                                }
                              }));
      break;
    }
    case DataType::Empty: break;
  }
  return a;
}

void export_native_batch(Rows rows, const rows::IndexMeta& meta, ArrowArray* out) {
  const std::uint64_t n = rows.size();
  Built batch;
  batch.length = static_cast<std::int64_t>(n);
  batch.n_buffers = 1;
  batch.data->children.reserve(4 + meta.fields.size());
  const CheckedCursor none{nullptr};
  batch.add_child(text_column(n, none, [&, i = std::size_t{0}](CheckedCursor&) mutable {
    return std::string_view(rows[i++]->market);
  }));
  batch.add_child(text_column(n, none, [&, i = std::size_t{0}](CheckedCursor&) mutable {
    return std::string_view(rows[i++]->stock_code);
  }));
  batch.add_child(header_numbers<std::int64_t>(
      n, [&, i = std::size_t{0}]() mutable { return static_cast<std::int64_t>(rows[i++]->time_tag); }));
  batch.add_child(
      header_numbers<std::int32_t>(n, [&, i = std::size_t{0}]() mutable { return rows[i++]->granularity; }));
  for (std::size_t c = 0; c < meta.fields.size(); ++c) batch.add_child(native_field_column(rows, c, meta.fields[c]));
  batch.finish(out);
}

// ---- schema --------------------------------------------------------------------------------------------------

// One column's description, kept by the stream so it can describe itself after the catalog is gone.
struct Column {
  std::string name;
  std::string format;        // "u", "i", "l", "g", "tsm:UTC", "n", "+l"
  std::string child_format;  // for lists
  std::string metadata;      // the Arrow metadata encoding of {"precision": digits}, or empty
};

std::string precision_metadata(std::uint32_t precision) {
  const std::string key = "precision";
  const std::string value = std::to_string(precision);
  std::string out;
  const auto put_i32 = [&](std::int32_t v) { out.append(reinterpret_cast<const char*>(&v), sizeof v); };
  put_i32(1);
  put_i32(static_cast<std::int32_t>(key.size()));
  out += key;
  put_i32(static_cast<std::int32_t>(value.size()));
  out += value;
  return out;
}

const char* format_of(DataType t) {
  switch (t) {
    case DataType::Int:
    case DataType::VInt: return "i";
    case DataType::Int64:
    case DataType::VInt64: return "l";
    case DataType::Double:
    case DataType::VDouble: return "g";
    case DataType::String:
    case DataType::VString: return "u";
    case DataType::Empty: break;
  }
  return "n";
}

std::vector<Column> columns_of(const rows::IndexMeta* meta) {
  std::vector<Column> out = {{"market", "u", "", ""}, {"code", "u", "", ""}, {"time_tag", "tsm:UTC", "", ""},
                             {"granularity", "i", "", ""}};
  if (meta == nullptr) return out;
  for (const rows::IndexMetaField& f : meta->fields) {
    const DataType t = f.field_type.is_other() ? DataType::Empty : f.field_type.data_type();
    const bool list = t == DataType::VInt || t == DataType::VInt64 || t == DataType::VDouble || t == DataType::VString;
    out.push_back(Column{f.name, std::string(list ? "+l" : format_of(t)), std::string(list ? format_of(t) : ""),
                         precision_metadata(f.precision)});
  }
  return out;
}

struct SchemaData {
  std::string format, name, metadata;
  std::vector<ArrowSchema> children;
  std::vector<ArrowSchema*> child_pointers;
};

void release_schema(ArrowSchema* s) noexcept {
  if (s == nullptr || s->release == nullptr) return;
  auto* data = static_cast<SchemaData*>(s->private_data);
  for (ArrowSchema& child : data->children) {
    if (child.release != nullptr) child.release(&child);
  }
  delete data;
  s->release = nullptr;
}

void make_schema(ArrowSchema* out, std::string format, std::string name, std::string metadata, std::int64_t flags,
                 const std::vector<std::pair<std::string, std::string>>& children_formats = {},
                 const std::vector<Column>* columns = nullptr) {
  auto data = std::make_unique<SchemaData>();
  data->format = std::move(format);
  data->name = std::move(name);
  data->metadata = std::move(metadata);
  if (columns != nullptr) {
    data->children.resize(columns->size());
    for (std::size_t i = 0; i < columns->size(); ++i) {
      const Column& c = (*columns)[i];
      std::vector<std::pair<std::string, std::string>> item;
      if (!c.child_format.empty()) item.emplace_back(c.child_format, "item");
      make_schema(&data->children[i], c.format, c.name, c.metadata, ARROW_FLAG_NULLABLE, item);
    }
  } else {
    data->children.resize(children_formats.size());
    for (std::size_t i = 0; i < children_formats.size(); ++i) {
      make_schema(&data->children[i], children_formats[i].first, children_formats[i].second, "",
                  ARROW_FLAG_NULLABLE);
    }
  }
  for (ArrowSchema& child : data->children) data->child_pointers.push_back(&child);
  *out = ArrowSchema{data->format.c_str(),
                     data->name.c_str(),
                     data->metadata.empty() ? nullptr : data->metadata.c_str(),
                     flags,
                     static_cast<std::int64_t>(data->children.size()),
                     data->child_pointers.empty() ? nullptr : data->child_pointers.data(),
                     nullptr,
                     &release_schema,
                     data.get()};
  data.release();
}

// ---- the stream ----------------------------------------------------------------------------------------------

struct StreamData {
  std::vector<Column> columns;
  std::deque<ArrowArray> batches;
  std::string error;
};

int stream_schema(ArrowArrayStream* s, ArrowSchema* out) {
  auto* data = static_cast<StreamData*>(s->private_data);
  try {
    make_schema(out, "+s", "", "", 0, {}, &data->columns);
    return 0;
  } catch (const std::bad_alloc&) {
    data->error = "out of memory";
    return ENOMEM;
  }
}

int stream_next(ArrowArrayStream* s, ArrowArray* out) {
  auto* data = static_cast<StreamData*>(s->private_data);
  if (data->batches.empty()) {
    out->release = nullptr;  // the end of the stream
    return 0;
  }
  *out = data->batches.front();
  data->batches.pop_front();
  return 0;
}

const char* stream_error(ArrowArrayStream* s) {
  auto* data = static_cast<StreamData*>(s->private_data);
  return data->error.empty() ? nullptr : data->error.c_str();
}

void stream_release(ArrowArrayStream* s) {
  if (s == nullptr || s->release == nullptr) return;
  auto* data = static_cast<StreamData*>(s->private_data);
  for (ArrowArray& a : data->batches) release_array(&a);
  delete data;
  s->release = nullptr;
}

using Kinds = std::set<std::pair<std::uint16_t, std::int32_t>>;

// Out of line: GCC 12 misreads the appends, inlined, as overlapping copies.
[[noreturn, gnu::noinline]] void throw_several(const Kinds& kinds) {
  std::string text = "rows of several schema rows: ";
  bool first = true;
  for (const auto& [ns, id] : kinds) {
    if (!first) text += ", ";
    first = false;
    text += '(';
    text += std::to_string(ns);
    text += ", ";
    text += std::to_string(id);
    text += ')';
  }
  throw Error(text);
}

}  // namespace

void export_stream(const rows::IndexSchemaCatalog& catalog, wire::Bytes blob, ArrowArrayStream* out,
                   const rows::IndexMeta* empty_meta) {
  wire::ScratchBuffer::Lease lease;
  std::vector<CheckedBatch> batches;
  if (!blob.empty()) batches = rows::check_set(catalog, blob, lease);
  // Batches without rows add nothing, as decoding makes no rows of them.
  std::erase_if(batches, [](const CheckedBatch& b) { return b.n == 0; });
  Kinds kinds;
  for (const CheckedBatch& b : batches) kinds.insert({b.ns, b.meta_id});
  if (kinds.size() > 1) throw_several(kinds);
  auto data = std::make_unique<StreamData>();
  data->columns = columns_of(batches.empty() ? empty_meta : batches.front().meta);
  try {
    for (CheckedBatch& b : batches) {
      data->batches.emplace_back();
      export_batch(b, &data->batches.back());
    }
  } catch (...) {
    for (ArrowArray& a : data->batches) release_array(&a);
    throw;
  }
  *out = ArrowArrayStream{&stream_schema, &stream_next, &stream_error, &stream_release, data.release()};
}

void export_rows(const rows::IndexSchemaCatalog& catalog, rows::RowRefs rows, ArrowArrayStream* out) {
  Kinds kinds;
  for (const rows::StructValue* r : rows) kinds.insert({r->namespace_, r->meta_id});
  if (kinds.size() > 1) throw_several(kinds);
  // Packing checks the rows as an encode would (unknown row type, slots of the wrong kind, over-long texts);
  // the columns are then built from the rows themselves, so doubles keep every bit they have.
  if (!rows.empty()) rows::compress(catalog, rows);
  auto data = std::make_unique<StreamData>();
  const rows::IndexMeta* meta = rows.empty() ? nullptr
                                              : catalog.lookup(rows.front()->namespace_,
                                                               static_cast<std::uint32_t>(rows.front()->meta_id));
  data->columns = columns_of(meta);
  if (!rows.empty()) {
    data->batches.emplace_back();
    export_native_batch(rows, *meta, &data->batches.back());
  }
  *out = ArrowArrayStream{&stream_schema, &stream_next, &stream_error, &stream_release, data.release()};
}

}  // namespace qel::arrow
