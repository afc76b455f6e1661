// JSON rendering of rows: per-call column fragments, then one pass over the
// rows writing through a raw cursor into the caller's string.
#include "qel/rows/row_json.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <stdexcept>
#include <string_view>
#include <type_traits>
#include <vector>

#include "qel/huge_pages.h"
#include "qel/rows/index_serializer.h"
#include "qel/text/json_writer.h"
#include "qel/text/text_buffer.h"

namespace qel::rows {

namespace {

using text::json_string_room;
using text::kJsonNumberRoom;

// Texts longer than this are escaped apart and appended instead of asking
// for six times their size as room.
constexpr std::size_t kLongText = 4096;
// The least the buffer is grown by when a row runs out of room.
constexpr std::size_t kGrowStep = 16 * 1024;
// Fragments are copied this many bytes at a time; the room asked for covers
// the bytes copied past a shorter fragment's end.
constexpr std::size_t kCopyWidth = 16;
// How far ahead of a batch part's cursor its bytes are asked for.
constexpr std::size_t kReadAhead = 1024;
// Rows measured before the rest of the output is reserved from their average.
constexpr std::size_t kSampleRows = 16;

// The caller's buffer written through a raw cursor `p`, grown ahead of the
// cursor; finish() sets its size to what was written. Until then, on an
// exception, the destructor restores its first size.
class Output {
 public:
  explicit Output(text::TextBuffer& out) noexcept
      : out_(out), start_(out.size()), limit_(out.data() + out.capacity()) {}
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;
  ~Output() {
    if (!finished_) out_.set_size(start_);
  }

  char* cursor() noexcept { return out_.data() + start_; }

  // Room for n bytes at p; returns p, moved when the buffer was reallocated.
  char* room(char* p, std::size_t n) {
    if (static_cast<std::size_t>(limit_ - p) >= n) [[likely]]
      return p;
    return grow(p, n, false);
  }

  // Reserves `more` bytes past p, so that the buffer is reallocated (and
  // copied) at most once more.
  char* expect(char* p, std::size_t more) {
    if (static_cast<std::size_t>(limit_ - p) >= more) return p;
    return grow(p, more, true);
  }

  // Appends a long text in the writer's string form; returns the new cursor.
  char* append_text(char* p, std::string_view s) {
    std::string escaped;
    text::append_json_string(escaped, s);
    p = room(p, escaped.size());
    std::memcpy(p, escaped.data(), escaped.size());
    return p + escaped.size();
  }

  void finish(char* p) {
    out_.set_size(static_cast<std::size_t>(p - out_.data()));
    finished_ = true;
  }

 private:
  [[gnu::noinline]] char* grow(char* p, std::size_t n, bool exactly) {
    const std::size_t used = static_cast<std::size_t>(p - out_.data());
    out_.set_size(used);
    if (exactly) {
      // The rest of a long output, into memory that is almost always fresh.
      out_.reserve_exactly(used + n);
      advise_huge_pages(out_.data() + used, out_.capacity() - used);
    } else {
      out_.reserve(used + std::max(n, kGrowStep));
    }
    limit_ = out_.data() + out_.capacity();
    return out_.data() + used;
  }

  text::TextBuffer& out_;
  const std::size_t start_;
  char* limit_;
  bool finished_ = false;
};

struct Fragment {
  std::uint32_t offset = 0;
  std::uint32_t size = 0;
};

// What a meta's columns render as, escaped once per call rather than per row.
struct Layout {
  std::string text;  // every fragment, then kCopyWidth bytes of padding
  std::vector<Fragment> keys;       // ,"name":
  std::vector<Fragment> fallbacks;  // the empty-slot value of the declared type
  // Room a row needs apart from its texts and lists: the header keys and
  // numbers, and per column its key and one number (or fallback).
  std::size_t row_room = 0;

  explicit Layout(const IndexMeta& meta) {
    keys.reserve(meta.fields.size());
    fallbacks.reserve(meta.fields.size());
    row_room = 64 + 2 * kJsonNumberRoom;  // ,{ and the header keys; time_tag, granularity
    for (const IndexMetaField& f : meta.fields) {
      const std::size_t key_start = text.size();
      text += ',';
      text::append_json_string(text, f.name);
      text += ':';
      keys.push_back(fragment(key_start));
      const std::size_t fallback_start = text.size();
      text += fallback_of(f.field_type);
      fallbacks.push_back(fragment(fallback_start));
      row_room += std::max<std::size_t>(keys.back().size, kCopyWidth) + kJsonNumberRoom;
    }
    text.append(kCopyWidth, '\0');
  }

  static std::string_view fallback_of(FieldKind kind) noexcept {
    if (kind.is_other()) return "null";
    switch (kind.data_type()) {
      case DataType::Int:
      case DataType::Int64: return "0";
      case DataType::Double: return "0.0";
      case DataType::String: return "\"\"";
      default: return "[]";
    }
  }

  Fragment fragment(std::size_t start) const {
    if (text.size() > UINT32_MAX) throw std::length_error("column names too long to render");
    return {static_cast<std::uint32_t>(start), static_cast<std::uint32_t>(text.size() - start)};
  }

  // REQUIRES: room for max(size, kCopyWidth) bytes at p.
  char* put(char* p, Fragment f) const noexcept {
    const char* src = text.data() + f.offset;
    if (f.size <= kCopyWidth) {
      std::memcpy(p, src, kCopyWidth);
    } else {
      std::memcpy(p, src, f.size);
    }
    return p + f.size;
  }
};

template <std::size_t N>
char* put_literal(char* p, const char (&s)[N]) noexcept {
  std::memcpy(p, s, N - 1);
  return p + N - 1;
}

// A text value, then room for `after` more bytes.
char* put_text(Output& o, char* p, std::string_view s, std::size_t after) {
  if (s.size() > kLongText) [[unlikely]]
    return o.room(o.append_text(p, s), after);
  p = o.room(p, json_string_room(s.size()) + after);
  return text::write_json_string(p, s);
}

inline char* put_number(char* p, std::int32_t v) noexcept { return text::write_json_int(p, v); }
inline char* put_number(char* p, std::int64_t v) noexcept { return text::write_json_int(p, v); }
inline char* put_number(char* p, double v) noexcept { return text::write_json_double(p, v); }

// A batch double: its scaled integer and the column's precision. Its text
// comes from the integer when that is the double's shortest form.
struct Scaled {
  std::int64_t value;
  std::uint32_t precision;
};

inline char* put_scaled(char* p, std::int64_t v, std::uint32_t precision) noexcept {
  return text::write_json_scaled(p, v, precision < kScaledPrecisions ? precision : 0, unscale(v, precision));
}
inline char* put_number(char* p, Scaled v) noexcept { return put_scaled(p, v.value, v.precision); }

// A list of `count` numbers, each given by `next`, then room for `after`
// more bytes. REQUIRES: room for kJsonNumberRoom bytes at p.
template <class Next>
char* put_numbers(Output& o, char* p, std::size_t count, Next&& next, std::size_t after) {
  *p++ = '[';
  for (std::size_t i = 0; i < count; ++i) {
    p = o.room(p, 1 + kJsonNumberRoom + after);
    *p = ',';
    p += i != 0;
    p = put_number(p, next());
  }
  p = o.room(p, 1 + after);
  *p++ = ']';
  return p;
}

// A list of `count` texts, each given by `next`, then room for `after` more bytes.
template <class Next>
char* put_texts(Output& o, char* p, std::size_t count, Next&& next, std::size_t after) {
  *p++ = '[';
  for (std::size_t i = 0; i < count; ++i) {
    p = o.room(p, 1);
    *p = ',';
    p += i != 0;
    p = put_text(o, p, next(), 1 + after);
  }
  p = o.room(p, 1 + after);
  *p++ = ']';
  return p;
}

// The same over a slot's list.
template <class T>
char* put_list(Output& o, char* p, std::span<const T> list, std::size_t after) {
  auto next = [it = list.begin()]() mutable -> const T& { return *it++; };
  if constexpr (std::is_same_v<T, std::string>) {
    return put_texts(o, p, list.size(), next, after);
  } else {
    return put_numbers(o, p, list.size(), next, after);
  }
}

// The members every row object opens with: "{" up to the granularity.
// REQUIRES: room for l.row_room bytes at p.
char* put_row_head(Output& o, char* p, const Layout& l, std::string_view market, std::string_view stock_code,
                   std::uint64_t time_tag, std::int32_t granularity, bool first) {
  const std::size_t room = l.row_room;
  *p = ',';
  p += !first;
  p = put_literal(p, "{\"market\":");
  p = put_text(o, p, market, room);
  p = put_literal(p, ",\"code\":");
  if (stock_code.size() <= kLongText) [[likely]] {
    // The code twice: the second time a copy of the first's escaped text.
    p = o.room(p, 2 * json_string_room(stock_code.size()) + room);
    char* const code = p;
    p = text::write_json_string(p, stock_code);
    const auto code_size = static_cast<std::size_t>(p - code);
    p = put_literal(p, ",\"_stock_code\":");
    std::memcpy(p, code, code_size);
    p += code_size;
  } else {
    p = put_text(o, p, stock_code, room);
    p = put_literal(p, ",\"_stock_code\":");
    p = put_text(o, p, stock_code, room);
  }
  p = put_literal(p, ",\"time_tag\":");
  p = text::write_json_uint(p, time_tag);
  p = put_literal(p, ",\"granularity\":");
  return text::write_json_uint(p, static_cast<std::uint32_t>(granularity));
}

// REQUIRES: room for l.row_room bytes at p.
char* put_row(Output& o, char* p, const Layout& l, const StructValue& row, bool first) {
  const std::size_t room = l.row_room;
  p = put_row_head(o, p, l, row.market, row.stock_code, row.time_tag, row.granularity, first);
  const std::size_t columns = l.keys.size();
  const std::size_t filled = std::min(columns, row.fields.size());
  for (std::size_t c = 0; c < filled; ++c) {
    p = l.put(p, l.keys[c]);
    const FieldValue& v = row.fields[c];
    // A slot is rendered by what it holds; only an empty one falls back to
    // the column's declared type.
    switch (v.type()) {
      case DataType::Empty: p = l.put(p, l.fallbacks[c]); break;
      case DataType::Int: p = text::write_json_int(p, v.view<DataType::Int>()); break;
      case DataType::Double: p = text::write_json_double(p, v.view<DataType::Double>()); break;
      case DataType::Int64: p = text::write_json_int(p, v.view<DataType::Int64>()); break;
      case DataType::String: p = put_text(o, p, v.view<DataType::String>(), room); break;
      case DataType::VInt: p = put_list(o, p, v.view<DataType::VInt>(), room); break;
      case DataType::VDouble: p = put_list(o, p, v.view<DataType::VDouble>(), room); break;
      case DataType::VInt64: p = put_list(o, p, v.view<DataType::VInt64>(), room); break;
      case DataType::VString: p = put_list(o, p, v.view<DataType::VString>(), room); break;
    }
  }
  for (std::size_t c = filled; c < columns; ++c) {
    p = l.put(p, l.keys[c]);
    p = l.put(p, l.fallbacks[c]);
  }
  *p++ = '}';
  return o.room(p, room);
}

// The next row of a checked batch, read straight from its parts, rendered
// as put_row renders the row that decoding the batch would build.
// REQUIRES: room for l.row_room bytes at p.
char* put_wire_row(Output& o, char* p, const Layout& l, CheckedBatch& b, std::uint64_t row, bool first) {
  const std::size_t room = l.row_room;
  for (const CheckedCursor* part : {&b.markets, &b.stock_codes, &b.time_tags, &b.granularities}) {
    __builtin_prefetch(part->p + kReadAhead);
  }
  const std::string_view market = b.markets.text();
  const std::string_view stock_code = b.stock_codes.text();
  const auto time_tag = b.time_tags.big_endian<std::uint64_t>();
  p = put_row_head(o, p, l, market, stock_code, time_tag, b.granularities.big_endian<std::int32_t>(), first);
  // Locals, not members: every byte written through p could alias a member,
  // which would be read again after each one.
  const IndexMetaField* const fields = b.meta->fields.data();
  const std::size_t columns = b.meta->fields.size();
  const Fragment* const keys = l.keys.data();
  const Fragment* const fallbacks = l.fallbacks.data();
  const std::uint64_t* const words = b.words.data();
  const std::uint64_t n = b.n;
  // Each part is read front to back, but there are too many of them for the
  // hardware to follow them all: ask for each one's bytes some rows ahead.
  for (std::size_t c = 0; c < columns; ++c) __builtin_prefetch(b.columns[c].p + kReadAhead);
  for (std::size_t c = 0; c < columns; ++c) {
    p = l.put(p, keys[c]);
    const FieldKind kind = fields[c].field_type;
    const std::uint64_t k = c * n + row;
    if (kind.is_other() || !((words[k / 64] >> (k % 64)) & 1)) {
      p = l.put(p, fallbacks[c]);
      continue;
    }
    CheckedCursor v = b.columns[c];
    const std::uint32_t precision = fields[c].precision;
    switch (kind.data_type()) {
      case DataType::Int: p = text::write_json_int(p, v.big_endian<std::int32_t>()); break;
      case DataType::Double: p = put_scaled(p, v.big_endian<std::int64_t>(), precision); break;
      case DataType::Int64: p = text::write_json_int(p, v.big_endian<std::int64_t>()); break;
      case DataType::String: p = put_text(o, p, v.text(), room); break;
      case DataType::VInt:
        p = put_numbers(
            o, p, v.big_endian<std::uint32_t>(), [&] { return v.little_endian<std::int32_t>(); }, room);
        break;
      case DataType::VDouble:
        p = put_numbers(
            o, p, v.big_endian<std::uint32_t>(), [&] { return Scaled{v.little_endian<std::int64_t>(), precision}; },
            room);
        break;
      case DataType::VInt64:
        p = put_numbers(
            o, p, v.big_endian<std::uint32_t>(), [&] { return v.little_endian<std::int64_t>(); }, room);
        break;
      case DataType::VString:
        p = put_texts(o, p, v.big_endian<std::uint32_t>(), [&] { return v.text(); }, room);
        break;
      case DataType::Empty: p = l.put(p, fallbacks[c]); break;
    }
    b.columns[c] = v;
  }
  *p++ = '}';
  return o.room(p, room);
}

// The group object of n rows; put(o, p, layout, i, first) writes row i.
template <class PutRow>
void append_group(text::TextBuffer& out, const IndexMeta& meta, std::size_t n, PutRow&& put) {
  const Layout layout(meta);
  Output o(out);
  char* p = o.room(o.cursor(), 64 + kJsonNumberRoom);
  p = put_literal(p, "{\"id\":");
  p = text::write_json_uint(p, meta.id);
  p = put_literal(p, ",\"name\":");
  p = put_text(o, p, meta.name, 64 + kJsonNumberRoom);
  p = put_literal(p, ",\"revision\":");
  p = text::write_json_uint(p, meta.revision);
  p = put_literal(p, ",\"values\":[");
  p = o.room(p, layout.row_room);

  const std::size_t sample = std::min(n, kSampleRows);
  const std::size_t rows_begin = static_cast<std::size_t>(p - o.cursor());
  for (std::size_t i = 0; i < sample; ++i) p = put(o, p, layout, i, i == 0);
  if (sample < n) {
    // The first rows predict the rest closely enough; an eighth more spares
    // a last reallocation when later rows run a little longer.
    const std::size_t per_row = (static_cast<std::size_t>(p - o.cursor()) - rows_begin) / sample;
    p = o.expect(p, per_row * (n - sample) / 8 * 9 + layout.row_room + 64);
    for (std::size_t i = sample; i < n; ++i) p = put(o, p, layout, i, false);
  }
  p = o.room(p, 2);
  p = put_literal(p, "]}");
  o.finish(p);
}

}  // namespace

void append_group_json(text::TextBuffer& out, const IndexMeta& meta, std::span<const StructValue> rows) {
  append_group(out, meta, rows.size(), [&](Output& o, char* p, const Layout& l, std::size_t i, bool first) {
    return put_row(o, p, l, rows[i], first);
  });
}

void append_group_json(text::TextBuffer& out, const IndexMeta& meta, std::span<const StructValue* const> rows) {
  append_group(out, meta, rows.size(), [&](Output& o, char* p, const Layout& l, std::size_t i, bool first) {
    return put_row(o, p, l, *rows[i], first);
  });
}

void append_group_json(text::TextBuffer& out, CheckedBatch& batch) {
  append_group(out, *batch.meta, batch.n, [&](Output& o, char* p, const Layout& l, std::size_t i, bool first) {
    return put_wire_row(o, p, l, batch, i, first);
  });
}

void append_group_json(std::string& out, const IndexMeta& meta, std::span<const StructValue> rows) {
  text::StringTextBuffer buffer(out);
  append_group_json(buffer, meta, rows);
}

void append_group_json(std::string& out, const IndexMeta& meta, std::span<const StructValue* const> rows) {
  text::StringTextBuffer buffer(out);
  append_group_json(buffer, meta, rows);
}

void append_group_json(std::string& out, CheckedBatch& batch) {
  text::StringTextBuffer buffer(out);
  append_group_json(buffer, batch);
}

void render_fetch_json(text::TextBuffer& out, const IndexSchemaCatalog* catalog, std::span<const StructValue> rows) {
  const IndexMeta* meta = nullptr;
  if (catalog != nullptr && !rows.empty())
    meta = catalog->lookup(rows.front().namespace_, static_cast<std::uint32_t>(rows.front().meta_id));
  if (meta == nullptr) {
    out.append(R"({"data":{}})");
    return;
  }
  out.append(R"({"data":{"":[)");
  append_group_json(out, *meta, rows);
  out.append("]}}");
}

std::string render_fetch_json(const IndexSchemaCatalog* catalog, std::span<const StructValue> rows) {
  std::string out;
  {
    text::StringTextBuffer buffer(out);
    render_fetch_json(buffer, catalog, rows);
  }
  return out;
}

}  // namespace qel::rows
