// Incremental reader of an uncompressed frame stream.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "qel/wire/codec.h"
#include "qel/wire/frame.h"

namespace qel::wire {

// Cuts complete frames from a byte stream fed in arbitrary pieces. Frames are
// cut straight from the caller's bytes; only a frame that straddles two feeds
// and the unfinished tail are copied, so work is linear in the bytes fed.
class RawFrameReader {
 public:
  // Appends `data` and returns the frames it completes, in stream order. Their
  // bodies borrow from `data` or from the reader, valid until the next feed.
  //
  // A bad magic or total_len breaks the reader for good. If frames were cut
  // before it in this call, they are returned and the error is thrown by the
  // next feed; otherwise it is thrown at once. A broken reader throws on every
  // feed and consumes nothing.
  std::span<const FrameView> feed(Bytes data);

  // Bytes fed but not yet returned as frames.
  std::size_t pending() const noexcept { return buf_.size() - start_ + (tail_in_spare_ ? spare_.size() : 0); }
  bool broken() const noexcept { return error_.has_value(); }

 private:
  // Makes buf_ hold exactly the pending bytes at the start of a feed.
  void reclaim();
  // Tops up the buffered partial frame from the front of `rest`, advancing it,
  // and cuts the frame once complete.
  void complete_buffered(Bytes& rest);
  // Cuts frames from the front of `in`, counting consumed bytes in `used` as it goes.
  void cut(Bytes in, std::size_t& used);
  void keep_tail(Bytes tail);
  void append(Bytes bytes) { buf_.append(reinterpret_cast<const char*>(bytes.data()), bytes.size()); }
  Bytes buffered() const noexcept { return as_bytes(buf_).subspan(start_); }

  std::string buf_;
  std::size_t start_ = 0;  // first unconsumed byte of buf_
  // When this feed returned a frame that lives in buf_, the new tail waits in
  // spare_ so that the frame stays valid until the next feed.
  std::string spare_;
  bool tail_in_spare_ = false;
  bool frame_in_buf_ = false;
  std::vector<FrameView> frames_;
  std::optional<std::string> error_;
};

}  // namespace qel::wire
