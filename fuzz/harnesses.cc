// libFuzzer harness bodies: the decoders of frames, frame streams, packages,
// schemas and row batches, and the market-time functions.
#include "harnesses.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include <snappy.h>

#include "qel/constants.h"
#include "qel/rows/index_serializer.h"
#include "qel/rows/schema.h"
#include "qel/time/calendar.h"
#include "qel/time/market_status.h"
#include "qel/time/sampler.h"
#include "qel/wire/codec.h"
#include "qel/wire/frame.h"
#include "qel/wire/net_package.h"
#include "qel/wire/raw_frame_reader.h"
#include "qel/wire/snappy.h"

namespace qel::fuzz {
namespace {

using wire::Bytes;

[[noreturn]] void fail(const char* what, int line) {
  std::fprintf(stderr, "fuzz invariant violated at harnesses.cc:%d: %s\n", line, what);
  std::abort();
}

#define FUZZ_CHECK(cond)                 \
  do {                                   \
    if (!(cond)) fail(#cond, __LINE__);  \
  } while (0)

// The text of the E thrown by fn, or nothing when fn returns. Other exceptions
// propagate and so count as findings.
template <class E, class Fn>
std::optional<std::string> error_of(Fn&& fn) {
  try {
    fn();
  } catch (const E& e) {
    return std::string(e.what());
  }
  return std::nullopt;
}

std::string str(Bytes b) { return std::string(reinterpret_cast<const char*>(b.data()), b.size()); }

struct OwnedFrame {
  wire::FrameHeader header;
  std::string body;
  bool operator==(const OwnedFrame&) const = default;
};

OwnedFrame own(const wire::FrameView& f) { return {f.header, str(f.body)}; }

// What a one-shot parse of a whole stream yields.
struct StreamParse {
  std::vector<OwnedFrame> frames;
  std::vector<std::size_t> ends;      // stream offset just past each frame
  std::size_t consumed = 0;           // bytes of the frames
  std::optional<std::string> error;   // FrameError text at `consumed`
};

StreamParse parse_stream(Bytes in) {
  StreamParse out;
  for (;;) {
    wire::FrameParse p;
    out.error = error_of<wire::FrameError>([&] { p = wire::parse_frame(in.subspan(out.consumed)); });
    if (out.error || !p.complete) return out;
    out.frames.push_back(own(p.frame));
    out.consumed += p.frame.size();
    out.ends.push_back(out.consumed);
  }
}

bool same(const wire::NetPackage& a, const wire::NetPackage& b) {
  return a.cmd == b.cmd && a.seq == b.seq && a.length == b.length && a.content == b.content;
}

// splitmix64: split sizes must be reproducible from the input alone.
std::uint64_t next(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

}  // namespace

void fuzz_frame_parse(const std::uint8_t* data, std::size_t size) {
  const Bytes in(data, size);
  std::size_t off = 0;
  for (;;) {
    const Bytes rest = in.subspan(off);
    wire::FrameParse p;
    const auto error = error_of<wire::FrameError>([&] { p = wire::parse_frame(rest); });
    const auto whole_error = error_of<wire::FrameError>([&] { (void)wire::parse_whole_frame(rest); });

    // decode_raw must leave the fields alone unless a whole frame is there.
    const wire::NetPackage before{0xBEEF, 77, 5, "kept"};
    wire::NetPackage pkg = before;
    std::size_t used = 0;
    const auto pkg_error = error_of<wire::FrameError>([&] { used = pkg.decode_raw(rest); });

    if (error) {
      // Only the envelope can be wrong, and only once it is all there.
      FUZZ_CHECK(rest.size() >= wire::kEnvelopeSize);
      wire::Reader r(rest);
      const std::uint32_t magic = r.read_u32();
      const std::uint32_t total_len = r.read_u32();
      FUZZ_CHECK(magic != constants::network_magic_num || total_len < wire::kHeaderSize);
      FUZZ_CHECK(whole_error == error);
      FUZZ_CHECK(pkg_error == error);
      FUZZ_CHECK(same(pkg, before));
      return;
    }
    FUZZ_CHECK(!pkg_error);
    FUZZ_CHECK(p.have == rest.size());
    if (!p.complete) {
      FUZZ_CHECK(rest.size() < wire::kEnvelopeSize || p.need > rest.size());
      FUZZ_CHECK(whole_error == p.incomplete_reason());
      FUZZ_CHECK(used == 0);
      FUZZ_CHECK(same(pkg, before));
      return;
    }
    FUZZ_CHECK(!whole_error);
    const wire::FrameView& f = p.frame;
    FUZZ_CHECK(f.size() <= rest.size());
    FUZZ_CHECK(f.body.data() == rest.data() + wire::kFrameOverhead);
    const std::string frame_bytes = str(rest.first(f.size()));
    FUZZ_CHECK(wire::encode_raw_frame(f.header.cmd, f.header.seq, f.body, f.header.version, f.header.flag) ==
               frame_bytes);

    FUZZ_CHECK(used == f.size());
    FUZZ_CHECK(pkg.cmd == f.header.cmd && pkg.seq == f.header.seq && pkg.length == f.total_len());
    FUZZ_CHECK(pkg.content == str(f.body));
    if (f.header.version == wire::kFrameVersion && f.header.flag == 0) FUZZ_CHECK(pkg.encode_raw() == frame_bytes);
    off += f.size();
  }
}

void fuzz_raw_frame_reader(const std::uint8_t* data, std::size_t size) {
  const std::size_t seed_len = size < 2 ? size : 2;
  std::uint64_t state = 0;
  for (std::size_t i = 0; i < seed_len; ++i) state = state << 8 | data[i];
  // Low bits pick the largest split; zero-length feeds are allowed on purpose.
  static constexpr std::size_t kMaxSplit[] = {1, 2, 3, 7, 16, 61, 300, 70000};
  const std::size_t max_split = kMaxSplit[state & 7];

  const Bytes stream(data + seed_len, size - seed_len);
  const StreamParse ref = parse_stream(stream);
  // The reader breaks once the bad envelope is complete.
  const std::size_t break_at = ref.error ? ref.consumed + wire::kEnvelopeSize : SIZE_MAX;

  // Half the inputs also have the consumer fail on some frames: each such
  // frame is lost, and the frames after it wait for the next feed.
  const bool consumer_fails = (state >> 3) & 1;
  struct ConsumerStop {};

  wire::RawFrameReader reader;
  std::vector<OwnedFrame> cut;  // every frame handed over, the failed ones too
  std::size_t fed = 0;          // bytes the reader accepted
  std::size_t consumed = 0;     // bytes of the frames it handed over
  std::size_t off = 0;
  bool stopped = false;         // the consumer failed in the last feed

  auto feed = [&](Bytes piece) {
    const bool was_broken = reader.broken();
    const std::size_t pending_before = reader.pending();
    std::size_t got = 0;
    stopped = false;
    const auto error = error_of<wire::FrameError>([&] {
      try {
        reader.feed_each(piece, [&](const wire::FrameView& f) {
          cut.push_back(own(f));
          consumed += f.size();
          ++got;
          if (consumer_fails && next(state) % 8 == 0) throw ConsumerStop{};
        });
      } catch (const ConsumerStop&) {
        stopped = true;
      }
    });
    if (was_broken) {
      FUZZ_CHECK(error == ref.error);
      FUZZ_CHECK(reader.broken());
      FUZZ_CHECK(reader.pending() == pending_before);
      return;
    }
    fed += piece.size();
    FUZZ_CHECK(reader.pending() == fed - consumed);
    if (stopped) {
      FUZZ_CHECK(!error && !reader.broken());
      return;
    }
    FUZZ_CHECK(reader.broken() == (fed >= break_at));
    if (error) FUZZ_CHECK(error == ref.error);
    // The error is deferred only when frames precede it in this feed.
    if (reader.broken() && !error) FUZZ_CHECK(got > 0);
    // Every frame complete in the bytes fed so far has been cut, and no other.
    const auto complete = std::upper_bound(ref.ends.begin(), ref.ends.end(), fed) - ref.ends.begin();
    FUZZ_CHECK(cut.size() == static_cast<std::size_t>(complete));
  };

  // Once broken, the two feeds below show it stays so; more would only cost throws.
  while (off < stream.size() && !reader.broken()) {
    const std::size_t n = std::min<std::size_t>(next(state) % (max_split + 1), stream.size() - off);
    feed(stream.subspan(off, n));
    off += n;
  }
  // An empty feed completes nothing new, only what a failed consumer left
  // waiting; a broken reader refuses more bytes too.
  do {
    feed(Bytes{});
  } while (stopped);
  if (reader.broken()) feed(stream.first(stream.size() < 3 ? stream.size() : 3));

  if (ref.error) FUZZ_CHECK(reader.broken());
  FUZZ_CHECK(cut == ref.frames);
}

void fuzz_package_decode(const std::uint8_t* data, std::size_t size) {
  const Bytes in(data, size);
  const char* block = reinterpret_cast<const char*>(data);
  std::string raw;
  const auto error = error_of<wire::SnappyError>([&] { raw = wire::snappy_uncompress(in); });
  // The Snappy library is the oracle: it validates without allocating, so the
  // bomb guard must never refuse a block it accepts, and both must agree on
  // every byte of the output.
  FUZZ_CHECK(error.has_value() != snappy::IsValidCompressedBuffer(block, size));
  if (error) return;
  FUZZ_CHECK(raw.size() <= wire::snappy_max_expansion(size));
  std::string expected;
  FUZZ_CHECK(snappy::Uncompress(block, size, &expected) && raw == expected);

  // Decoding the block in one call agrees with the steps above, on failure too.
  wire::FrameView frame;
  const auto frame_error = error_of<wire::FrameError>([&] { frame = wire::parse_whole_frame(wire::as_bytes(raw)); });
  wire::NetPackage direct;
  const auto direct_error = error_of<wire::FrameError>([&] { direct = wire::NetPackage::decode_string(in); });
  FUZZ_CHECK(direct_error == frame_error);
  if (frame_error) return;
  const wire::NetPackage pkg = wire::NetPackage::from_frame(frame);
  FUZZ_CHECK(pkg.cmd == frame.header.cmd && pkg.seq == frame.header.seq);
  FUZZ_CHECK(pkg.length == frame.total_len() && pkg.content.size() + wire::kHeaderSize == pkg.length);
  FUZZ_CHECK(pkg.content == str(frame.body));
  FUZZ_CHECK(same(direct, pkg));

  // Our own encoding must get through the same path, bomb guard included.
  const std::string wire_form = pkg.encode_string();
  const std::string back = wire::snappy_uncompress(wire::as_bytes(wire_form));
  FUZZ_CHECK(back == pkg.encode_raw());
  FUZZ_CHECK(same(wire::NetPackage::decode_string(wire::as_bytes(wire_form)), pkg));
  if (frame.header.version == wire::kFrameVersion && frame.header.flag == 0) {
    FUZZ_CHECK(back == raw.substr(0, frame.size()));
  }
}

void fuzz_header_decode(const std::uint8_t* data, std::size_t size) {
  wire::Reader r(Bytes(data, size));
  for (;;) {
    const std::size_t start = r.position();
    const std::size_t left = r.remaining();
    wire::FrameHeader h;
    const auto error = error_of<wire::CodecError>([&] { h = wire::FrameHeader::decode(r); });
    if (error) {
      FUZZ_CHECK(left < wire::kHeaderSize);
      FUZZ_CHECK(r.position() >= start && r.remaining() <= left);
      // Field by field: the first field that does not fit names the shortfall.
      std::size_t end = 0;
      for (std::size_t field_end : {1, 5, 6, 8}) {
        end = field_end;
        if (field_end > left) break;
      }
      const std::string expected = "unexpected end of input: needed " + std::to_string(end - left) + " more bytes";
      FUZZ_CHECK(*error == expected);
      return;
    }
    FUZZ_CHECK(left >= wire::kHeaderSize && r.position() == start + wire::kHeaderSize);
    wire::Writer w;
    h.encode(w);
    FUZZ_CHECK(w.buffer() == str(Bytes(data + start, wire::kHeaderSize)));
  }
}

namespace {

using rows::FieldValue;
using rows::IndexSchemaCatalog;
using rows::StructValue;

// Big-endian fields off the front of the input; past its end they read as
// zero, so that every input makes some choice.
class Cursor {
 public:
  explicit Cursor(Bytes in) : in_(in) {}
  bool empty() const { return off_ == in_.size(); }
  Bytes rest() const { return in_.subspan(off_); }
  template <class T>
  T take() {
    std::make_unsigned_t<T> v = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) v = static_cast<decltype(v)>(v << 8 | (empty() ? 0 : in_[off_++]));
    return static_cast<T>(v);
  }

 private:
  Bytes in_;
  std::size_t off_ = 0;
};

struct SchemaChoice {
  rows::IndexMeta meta;
  bool registered = true;  // under the key the batch names
};

// The layout is in harnesses.h.
SchemaChoice choose_schema(Cursor& in) {
  SchemaChoice out;
  const auto head = in.take<std::uint8_t>();
  out.registered = !(head & 0x80);
  for (std::uint32_t i = 0, n = (head & 15) % 9; i < n; ++i) {
    const auto b = in.take<std::uint8_t>();
    rows::IndexMetaField f;
    f.pos = i;
    f.name = "c";  // appended, not "c" + ..., which trips a bogus GCC 12 -Wrestrict at -O3
    f.name += std::to_string(i);
    f.field_type.code = b >> 4;
    f.precision = (b & 15) % 13;
    out.meta.fields.push_back(std::move(f));
  }
  return out;
}

void add_schema(IndexSchemaCatalog& catalog, const SchemaChoice& choice, std::uint16_t ns, std::uint32_t meta_id) {
  catalog.metas.insert_or_assign({ns, choice.registered ? meta_id : meta_id + 1}, choice.meta);
}

rows::SchemaKey key_of(const StructValue& row) { return {row.namespace_, static_cast<std::uint32_t>(row.meta_id)}; }

std::vector<const StructValue*> refs(const std::vector<StructValue>& rows) {
  std::vector<const StructValue*> out;
  for (const StructValue& row : rows) out.push_back(&row);
  return out;
}

bool is_codec_error(const std::string& e) {
  return e.starts_with("codec: ") || e.starts_with("snappy: ") || e.starts_with("unknown schema: ");
}

// Decoded slots hold the column's type or nothing; Other columns nothing.
void check_shape(const IndexSchemaCatalog& catalog, const std::vector<StructValue>& rows) {
  for (const StructValue& row : rows) {
    const rows::IndexMeta* meta = catalog.lookup(row.namespace_, static_cast<std::uint32_t>(row.meta_id));
    FUZZ_CHECK(meta && row.size() == meta->fields.size());
    for (std::size_t f = 0; f < row.size(); ++f) {
      const rows::FieldKind kind = meta->fields[f].field_type;
      const rows::DataType t = rows::type_of(row.fields[f]);
      FUZZ_CHECK(t == rows::DataType::Empty || (!kind.is_other() && t == kind.data_type()));
    }
  }
}

// A batch writes aux[i] only where its first row's is non-zero.
void drop_unmasked_aux(std::span<StructValue> batch) {
  for (std::size_t i = 0; i < rows::kAuxCount; ++i) {
    if (batch.front().aux[i] != 0) continue;
    for (StructValue& row : batch) row.aux[i] = 0;
  }
}

// A decoded Double re-encodes to its own scaled integer below 2^50 in magnitude;
// above that a round trip may move it by an ulp or two (measured: the first
// drift is at about 2^51, at precisions 1 to 9).
bool same_double(double before, double after, std::uint32_t precision) {
  if (std::bit_cast<std::uint64_t>(before) == std::bit_cast<std::uint64_t>(after)) return true;
  const std::int64_t scaled = rows::scale_to_i64(before, precision);
  constexpr std::int64_t kExact = std::int64_t{1} << 50;
  return (scaled >= kExact || scaled <= -kExact) && std::fabs(after - before) <= std::fabs(before) * 0x1p-50;
}

bool same_value(const FieldValue& before, const FieldValue& after, std::uint32_t precision) {
  if (before.index() != after.index()) return false;
  if (before.type() == rows::DataType::Double) {
    return same_double(before.view<rows::DataType::Double>(), after.view<rows::DataType::Double>(), precision);
  }
  if (before.type() == rows::DataType::VDouble) {
    const auto v = before.view<rows::DataType::VDouble>(), w = after.view<rows::DataType::VDouble>();
    return std::equal(v.begin(), v.end(), w.begin(), w.end(),
                      [&](double x, double y) { return same_double(x, y, precision); });
  }
  return before == after;
}

void check_same_rows(const IndexSchemaCatalog& catalog, const std::vector<StructValue>& expected,
                     const std::vector<StructValue>& got) {
  FUZZ_CHECK(got.size() == expected.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    const StructValue& a = expected[i];
    const StructValue& b = got[i];
    FUZZ_CHECK(a.namespace_ == b.namespace_ && a.meta_id == b.meta_id && a.time_tag == b.time_tag);
    FUZZ_CHECK(a.granularity == b.granularity && a.market == b.market && a.stock_code == b.stock_code);
    FUZZ_CHECK(a.aux == b.aux && a.size() == b.size());
    const rows::IndexMeta& meta = *catalog.lookup(a.namespace_, static_cast<std::uint32_t>(a.meta_id));
    for (std::size_t f = 0; f < a.size(); ++f) {
      FUZZ_CHECK(same_value(a.fields[f], b.fields[f], meta.fields[f].precision));
    }
  }
}

// Calls per input on one calendar. Day searches pass over the days that cannot
// change their answer, so none walks far: the slowest input measured takes a
// few milliseconds in the fuzz build.
constexpr int kMaxTimeCalls = 6;
constexpr const char* kPolicies[] = {"trading_period", "after_weekend", "after_holiday"};

void run_time_call(const time::MarketCalendar& cal, std::uint8_t op, std::int64_t now, std::uint32_t arg) {
  const auto pattern = static_cast<time::Pattern>((op >> 4 & 3) % 3);
  const bool eod = op & 0x40;
  const std::int64_t t = now / 1000;
  switch (op & 15) {
    case 0: {
      const time::MarketStatus s = time::calculate_status(cal, now, pattern);
      if (s.market_open) FUZZ_CHECK(s.lattest_market_time == static_cast<std::uint64_t>(now));
      break;
    }
    case 1: (void)cal.resolve_trade_day(t, pattern); break;
    case 2: {
      const std::size_t n = cal.current_sections(t).size();
      FUZZ_CHECK(n == cal.policy_sections(cal.resolve_trade_day(t, time::Pattern::ceil).policy).size());
      break;
    }
    case 3: {
      // None on a closed day, else one per section of some policy.
      const std::size_t n = cal.tradeday_sections(static_cast<std::int32_t>(arg)).size();
      bool listed = n == 0;
      for (const auto& [name, sections] : cal.periods) listed |= n == sections.size();
      FUZZ_CHECK(listed);
      break;
    }
    case 4: (void)time::sampler_tm_begin(cal, now, arg, eod); break;
    case 5: (void)time::sampler_tm_bound(cal, now, arg, eod); break;
    case 6:
    case 7: {
      // The first edge strictly after the instant's second.
      const std::int64_t edge = (op & 15) == 6 ? time::next_market_break_time(cal, now)
                                               : time::next_market_continue_time(cal, now);
      FUZZ_CHECK(edge % 1000 == 0 && edge / 1000 > t);
      break;
    }
    case 8: (void)time::equivalant_market_time(cal, now, pattern); break;
    default: {
      const time::LocalTime lt = cal.local_time(t);
      FUZZ_CHECK(lt.month >= 1 && lt.month <= 12 && lt.day >= 1 && lt.day <= 31 && lt.weekday >= 0 && lt.weekday <= 6);
      FUZZ_CHECK(lt.hour >= 0 && lt.hour < 24 && lt.minute >= 0 && lt.minute < 60 && lt.second >= 0 && lt.second < 60);
      // Back to UTC: exact, but for the hour that US Eastern repeats in the autumn.
      const std::int64_t back = cal.local_to_utc(lt.year, lt.month, lt.day, lt.hour, lt.minute) + lt.second;
      FUZZ_CHECK(back == t || (cal.time_zone == time::kUsEastern && back - t == 3600));
    }
  }
}

}  // namespace

void fuzz_schema_load(const std::uint8_t* data, std::size_t size) {
  IndexSchemaCatalog catalog;
  const auto error = error_of<rows::SchemaError>([&] { catalog = rows::load_schema(Bytes(data, size)); });
  if (error) {
    FUZZ_CHECK(error->starts_with("snappy: ") || error->starts_with("codec: "));
    return;
  }
  FUZZ_CHECK(rows::load_schema(wire::as_bytes(rows::save_schema(catalog))) == catalog);

  // Each name maps to its highest revision's own (namespace, id), the later key among equals.
  std::map<std::string, const rows::IndexMeta*> best;
  for (const auto& [key, meta] : catalog.metas) {
    auto [it, fresh] = best.try_emplace(meta.name, &meta);
    if (!fresh && meta.revision >= it->second->revision) it->second = &meta;
  }
  const rows::NameIndex index = rows::name_index(catalog);
  FUZZ_CHECK(index.by_name.size() == best.size());
  for (const auto& [name, meta] : best) {
    const auto it = index.by_name.find(name);
    FUZZ_CHECK(it != index.by_name.end() && it->second == rows::SchemaKey(meta->namespace_, meta->id));
  }
}

void fuzz_batch_deserialize(const std::uint8_t* data, std::size_t size) {
  Cursor in(Bytes(data, size));
  const SchemaChoice choice = choose_schema(in);
  const Bytes batch = in.rest();
  Cursor header(batch);
  IndexSchemaCatalog catalog;
  const auto ns = header.take<std::uint16_t>();
  add_schema(catalog, choice, ns, header.take<std::uint32_t>());

  std::vector<StructValue> decoded;
  const auto error = error_of<rows::SerializerError>([&] { decoded = rows::deserialize(catalog, batch); });
  if (error) {
    FUZZ_CHECK(is_codec_error(*error));
    return;
  }
  FUZZ_CHECK(choice.registered);
  // Each row takes at least 20 bytes of header columns.
  FUZZ_CHECK(decoded.size() <= batch.size() / 20);
  check_shape(catalog, decoded);
  if (decoded.empty()) return;
  const std::string again = rows::serialize(catalog, refs(decoded));
  drop_unmasked_aux(decoded);
  check_same_rows(catalog, decoded, rows::deserialize(catalog, wire::as_bytes(again)));
}

void fuzz_batch_set_decompress(const std::uint8_t* data, std::size_t size) {
  Cursor in(Bytes(data, size));
  const SchemaChoice choice = choose_schema(in);
  const Bytes blob = in.rest();
  IndexSchemaCatalog catalog;
  // Register the schema under the keys that the groups name, so that lookups mostly succeed.
  std::string payload;
  if (!error_of<wire::SnappyError>([&] { payload = wire::snappy_uncompress(blob); })) {
    wire::Reader r(wire::as_bytes(payload));
    (void)error_of<wire::CodecError>([&] {
      for (std::uint32_t n = r.read_u32(); n > 0 && catalog.metas.size() < 16; --n) {
        wire::Reader group(r.read_bytes_view());
        if (group.remaining() < 6) continue;
        const std::uint16_t ns = group.read_u16();
        add_schema(catalog, choice, ns, group.read_u32());
      }
    });
  }

  check_arrow_export(catalog, blob, &choice.meta);
  std::vector<StructValue> decoded;
  const auto error = error_of<rows::SerializerError>([&] { decoded = rows::decompress(catalog, blob); });
  if (error) {
    FUZZ_CHECK(is_codec_error(*error));
    return;
  }
  if (blob.empty()) FUZZ_CHECK(decoded.empty());
  check_shape(catalog, decoded);
  const std::string again = rows::compress(catalog, refs(decoded));
  // compress writes a group per key, in key order, each in input order.
  std::stable_sort(decoded.begin(), decoded.end(), [](const auto& a, const auto& b) { return key_of(a) < key_of(b); });
  for (auto first = decoded.begin(); first != decoded.end();) {
    const auto last = std::find_if(first, decoded.end(), [&](const auto& r) { return key_of(r) != key_of(*first); });
    drop_unmasked_aux(std::span<StructValue>(first, last));
    first = last;
  }
  check_same_rows(catalog, decoded, rows::decompress(catalog, wire::as_bytes(again)));
}

void fuzz_market_time(const std::uint8_t* data, std::size_t size) {
  Cursor in(Bytes(data, size));
  time::MarketCalendar cal;
  cal.time_zone = in.take<std::int32_t>();
  const auto flags = in.take<std::uint8_t>();
  cal.ignore_weekend = flags & 1;
  for (int p = 0; p < 3; ++p) {
    if (!(flags >> (p + 1) & 1)) continue;
    std::vector<time::Section>& sections = cal.periods[kPolicies[p]];
    for (int n = in.take<std::uint8_t>() % 4; n > 0; --n) {
      const auto start = in.take<std::int32_t>();
      sections.push_back({start, in.take<std::int32_t>()});
    }
  }
  for (int n = flags >> 4; n > 0; --n) cal.holidays.push_back(in.take<std::int32_t>());

  for (int call = 0; call < kMaxTimeCalls && !in.empty(); ++call) {
    const auto op = in.take<std::uint8_t>();
    const std::int64_t now = time::clamp_instant_ms(in.take<std::int64_t>());
    const auto arg = in.take<std::uint32_t>();
    (void)error_of<InternalError>([&] { run_time_call(cal, op, now, arg); });
  }
}

}  // namespace qel::fuzz
