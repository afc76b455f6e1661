// libFuzzer harness bodies: the decoders of frames, frame streams and packages.
#include "harnesses.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include <snappy.h>

#include "qel/constants.h"
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

  wire::RawFrameReader reader;
  std::vector<OwnedFrame> cut;
  std::size_t fed = 0;       // bytes the reader accepted
  std::size_t consumed = 0;  // bytes of the frames it returned
  std::size_t off = 0;

  auto feed = [&](Bytes piece) {
    const bool was_broken = reader.broken();
    const std::size_t pending_before = reader.pending();
    std::size_t got = 0;
    const auto error = error_of<wire::FrameError>([&] {
      for (const wire::FrameView& f : reader.feed(piece)) {
        cut.push_back(own(f));
        consumed += f.size();
        ++got;
      }
    });
    if (was_broken) {
      FUZZ_CHECK(error == ref.error);
      FUZZ_CHECK(reader.broken());
      FUZZ_CHECK(reader.pending() == pending_before);
      return;
    }
    fed += piece.size();
    FUZZ_CHECK(reader.broken() == (fed >= break_at));
    if (error) FUZZ_CHECK(error == ref.error);
    // The error is deferred only when frames precede it in this feed.
    if (reader.broken() && !error) FUZZ_CHECK(got > 0);
    // Every frame complete in the bytes fed so far has been cut, and no other.
    const auto complete = std::upper_bound(ref.ends.begin(), ref.ends.end(), fed) - ref.ends.begin();
    FUZZ_CHECK(cut.size() == static_cast<std::size_t>(complete));
    FUZZ_CHECK(reader.pending() == fed - consumed);
  };

  // Once broken, the two feeds below show it stays so; more would only cost throws.
  while (off < stream.size() && !reader.broken()) {
    const std::size_t n = std::min<std::size_t>(next(state) % (max_split + 1), stream.size() - off);
    feed(stream.subspan(off, n));
    off += n;
  }
  // An empty feed completes nothing; a broken reader refuses more bytes too.
  feed(Bytes{});
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

  // Both ways of reading the frame agree, on failure too.
  wire::FrameView frame;
  const auto frame_error = error_of<wire::FrameError>([&] { frame = wire::parse_whole_frame(wire::as_bytes(raw)); });
  wire::NetPackage direct;
  const auto direct_error = error_of<wire::FrameError>([&] { direct = wire::NetPackage::from_raw_frame(raw); });
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
  FUZZ_CHECK(same(wire::NetPackage::from_raw_frame(back), pkg));
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

}  // namespace qel::fuzz
