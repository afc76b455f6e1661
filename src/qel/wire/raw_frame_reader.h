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

// Cuts complete frames from a byte stream fed in arbitrary pieces. Work is
// linear in the bytes fed: consumed bytes are skipped by an offset and the
// buffer is compacted only when the consumed prefix outweighs what remains.
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

  // Bytes buffered but not yet returned as frames.
  std::size_t pending() const noexcept { return buf_.size() - start_; }
  bool broken() const noexcept { return error_.has_value(); }

 private:
  // Cuts frames from the front of `in`; returns the bytes consumed.
  std::size_t cut(Bytes in);
  void compact();

  std::string buf_;
  std::size_t start_ = 0;  // first unconsumed byte of buf_
  std::vector<FrameView> frames_;
  std::optional<std::string> error_;
};

}  // namespace qel::wire
