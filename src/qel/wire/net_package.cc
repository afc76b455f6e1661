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

NetPackage NetPackage::from_frame(const FrameView& frame) {
  NetPackage p;
  p.cmd = frame.header.cmd;
  p.seq = frame.header.seq;
  p.length = frame.total_len();
  p.content.assign(reinterpret_cast<const char*>(frame.body.data()), frame.body.size());
  return p;
}

NetPackage NetPackage::decode_string(Bytes block) {
  ScratchBuffer::Lease lease;
  return from_frame(parse_whole_frame(snappy_uncompress(block, lease)));
}

}  // namespace qel::wire
