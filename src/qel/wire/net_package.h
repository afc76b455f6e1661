// A command with its sequence number and body, in raw-frame and Snappy-wrapped form.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "qel/wire/codec.h"
#include "qel/wire/frame.h"

namespace qel::wire {

struct NetPackage {
  std::uint16_t cmd = 0;
  std::uint32_t seq = 0;
  std::uint32_t length = 0;  // total_len of the frame last decoded
  std::string content;

  // The uncompressed frame, version 4 and flag 0.
  std::string encode_raw() const;
  // encode_raw() as one raw Snappy block.
  std::string encode_string() const;

  // Parses one frame at the front of `buf`; returns the bytes consumed, or 0
  // without touching the fields while the frame is incomplete. Throws FrameError.
  std::size_t decode_raw(Bytes buf);

  static NetPackage from_frame(const FrameView& frame);
  // The package of one Snappy-wrapped frame: SnappyError for the block,
  // FrameError for the frame in it. The frame is decoded into the thread's
  // scratch buffer and only its body copied out.
  static NetPackage decode_string(Bytes block);
};

}  // namespace qel::wire
