// A command with its sequence number and body, in raw-frame and Snappy-wrapped form.
#include "qel/wire/net_package.h"

#include "qel/wire/snappy.h"

namespace qel::wire {

std::string NetPackage::encode_raw() const { return encode_raw_frame(cmd, seq, as_bytes(content)); }

std::string NetPackage::encode_string() const { return snappy_compress(as_bytes(encode_raw())); }

std::size_t NetPackage::decode_raw(Bytes buf) {
  FrameParse p = parse_frame(buf);
  if (!p.complete) return 0;
  *this = from_frame(p.frame);
  return p.frame.size();
}

namespace {
// The package of `frame`, content left empty.
NetPackage header_of(const FrameView& frame) {
  NetPackage p;
  p.cmd = frame.header.cmd;
  p.seq = frame.header.seq;
  p.length = frame.total_len();
  return p;
}
}  // namespace

NetPackage NetPackage::from_frame(const FrameView& frame) {
  NetPackage p = header_of(frame);
  p.content.assign(reinterpret_cast<const char*>(frame.body.data()), frame.body.size());
  return p;
}

NetPackage NetPackage::from_raw_frame(std::string raw) {
  const FrameView frame = parse_whole_frame(as_bytes(raw));
  NetPackage p = header_of(frame);
  const std::size_t body_size = frame.body.size();
  raw.erase(0, kFrameOverhead);
  raw.resize(body_size);
  p.content = std::move(raw);
  return p;
}

}  // namespace qel::wire
