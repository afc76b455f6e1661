// The ring frame: magic, total length, 8-byte header, body.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "qel/constants.h"
#include "qel/error.h"
#include "qel/wire/codec.h"

namespace qel::wire {

inline constexpr std::size_t kEnvelopeSize = 8;  // magic + total_len
inline constexpr std::size_t kHeaderSize = 8;    // version, seq, flag, cmd
inline constexpr std::size_t kFrameOverhead = kEnvelopeSize + kHeaderSize;
inline constexpr std::uint8_t kFrameVersion = 4;

class FrameError : public Error {
 public:
  using Error::Error;
};

struct FrameHeader {
  std::uint8_t version = 0;
  std::uint32_t seq = 0;
  std::uint8_t flag = 0;
  std::uint16_t cmd = 0;

  void encode(Writer& w) const;
  // Field by field, so a short input reports the codec's end-of-input text.
  static FrameHeader decode(Reader& r);
  bool operator==(const FrameHeader&) const = default;
};

// One frame cut from a buffer; `body` borrows from that buffer.
struct FrameView {
  FrameHeader header;
  Bytes body;
  std::size_t size() const noexcept { return kFrameOverhead + body.size(); }
  std::uint32_t total_len() const noexcept { return static_cast<std::uint32_t>(kHeaderSize + body.size()); }
};

// Result of looking for a frame at the front of a buffer. When `complete` is
// false, `incomplete_reason` says what is missing.
struct FrameParse {
  bool complete = false;
  FrameView frame;
  std::string incomplete_reason() const;
  // Inputs of the incomplete texts: the bytes a frame needs and those present.
  std::size_t need = kEnvelopeSize;
  std::size_t have = 0;
};

// Looks for one frame at the front of `buf`. Throws FrameError for a bad magic
// or a total_len below the header size; returns complete = false when more
// bytes are needed.
FrameParse parse_frame(Bytes buf);

// The hot path of stream reading: cuts a well-formed complete frame from the
// front of `buf` into `out`. Returns false, touching nothing, when the frame is
// incomplete or malformed; parse_frame then says which.
inline bool try_cut_frame(Bytes buf, FrameView& out) noexcept {
  if (buf.size() < kFrameOverhead) return false;
  const std::uint8_t* p = buf.data();
  const auto total_len = detail::from_big_endian<std::uint32_t>(p + 4);
  if (detail::from_big_endian<std::uint32_t>(p) != constants::network_magic_num || total_len < kHeaderSize ||
      buf.size() - kEnvelopeSize < total_len) {
    return false;
  }
  out.header = {p[8], detail::from_big_endian<std::uint32_t>(p + 9), p[13], detail::from_big_endian<std::uint16_t>(p + 14)};
  out.body = Bytes(p + kFrameOverhead, total_len - kHeaderSize);
  return true;
}

// As parse_frame, but a missing byte is an error too.
FrameView parse_whole_frame(Bytes buf);

// The 16 bytes before a body of `body_size` bytes: envelope and header. Throws FrameError when the body does
// not fit total_len's 32 bits.
void write_frame_prefix(Writer& w, std::uint16_t cmd, std::uint32_t seq, std::size_t body_size,
                        std::uint8_t version = kFrameVersion, std::uint8_t flag = 0);

// Throws FrameError when the body does not fit total_len's 32 bits.
std::string encode_raw_frame(std::uint16_t cmd, std::uint32_t seq, Bytes body,
                             std::uint8_t version = kFrameVersion, std::uint8_t flag = 0);

}  // namespace qel::wire
