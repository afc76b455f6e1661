// The ring frame: magic, total length, 8-byte header, body.
#include "qel/wire/frame.h"

#include <cstdio>
#include <limits>

#include "qel/constants.h"

namespace qel::wire {

void FrameHeader::encode(Writer& w) const {
  w.write_u8(version);
  w.write_u32(seq);
  w.write_u8(flag);
  w.write_u16(cmd);
}

FrameHeader FrameHeader::decode(Reader& r) {
  FrameHeader h;
  h.version = r.read_u8();
  h.seq = r.read_u32();
  h.flag = r.read_u8();
  h.cmd = r.read_u16();
  return h;
}

std::string FrameParse::incomplete_reason() const {
  if (have < kEnvelopeSize) return "envelope too short (need " + std::to_string(kEnvelopeSize) + " bytes)";
  return "incomplete body: need " + std::to_string(need) + " bytes, got " + std::to_string(have);
}

FrameParse parse_frame(Bytes buf) {
  FrameParse out;
  out.have = buf.size();
  if (buf.size() < kEnvelopeSize) return out;
  // The hot path of stream reading: fixed offsets, no per-field bounds checks.
  const std::uint8_t* p = buf.data();
  const auto magic = detail::from_big_endian<std::uint32_t>(p);
  if (magic != constants::network_magic_num) {
    char text[64];
    std::snprintf(text, sizeof text, "bad magic 0x%08x (expected 0x%08x)", magic, constants::network_magic_num);
    throw FrameError(text);
  }
  const auto total_len = detail::from_big_endian<std::uint32_t>(p + 4);
  if (total_len < kHeaderSize) {
    throw FrameError("total_len " + std::to_string(total_len) + " is smaller than header length (" +
                     std::to_string(kHeaderSize) + ")");
  }
  out.need = kEnvelopeSize + static_cast<std::size_t>(total_len);
  if (buf.size() < out.need) return out;
  out.frame.header = {p[8], detail::from_big_endian<std::uint32_t>(p + 9), p[13],
                      detail::from_big_endian<std::uint16_t>(p + 14)};
  out.frame.body = buf.subspan(kFrameOverhead, total_len - kHeaderSize);
  out.complete = true;
  return out;
}

FrameView parse_whole_frame(Bytes buf) {
  FrameParse p = parse_frame(buf);
  if (!p.complete) throw FrameError(p.incomplete_reason());
  return p.frame;
}

void write_frame_prefix(Writer& w, std::uint16_t cmd, std::uint32_t seq, std::size_t body_size, std::uint8_t version,
                        std::uint8_t flag) {
  if (body_size > std::numeric_limits<std::uint32_t>::max() - kHeaderSize) {
    throw FrameError("body of " + std::to_string(body_size) + " bytes does not fit a frame");
  }
  w.write_u32(constants::network_magic_num);
  w.write_u32(static_cast<std::uint32_t>(kHeaderSize + body_size));
  FrameHeader{version, seq, flag, cmd}.encode(w);
}

std::string encode_raw_frame(std::uint16_t cmd, std::uint32_t seq, Bytes body, std::uint8_t version,
                             std::uint8_t flag) {
  if (body.size() > std::numeric_limits<std::uint32_t>::max() - kHeaderSize) {
    throw FrameError("body of " + std::to_string(body.size()) + " bytes does not fit a frame");
  }
  Writer w(kFrameOverhead + body.size());
  write_frame_prefix(w, cmd, seq, body.size(), version, flag);
  w.write_raw(body);
  return std::move(w).take();
}

}  // namespace qel::wire
