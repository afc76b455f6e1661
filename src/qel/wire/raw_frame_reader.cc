// Incremental reader of an uncompressed frame stream.
#include "qel/wire/raw_frame_reader.h"

namespace qel::wire {

void RawFrameReader::compact() {
  if (start_ == buf_.size()) {
    buf_.clear();
    start_ = 0;
  } else if (start_ >= buf_.size() - start_) {
    // The move costs no more than the bytes already consumed: amortised O(1).
    buf_.erase(0, start_);
    start_ = 0;
  }
}

std::size_t RawFrameReader::cut(Bytes in) {
  std::size_t used = 0;
  try {
    for (;;) {
      FrameParse p = parse_frame(in.subspan(used));
      if (!p.complete) break;
      frames_.push_back(p.frame);
      used += p.frame.size();
    }
  } catch (const FrameError& e) {
    error_ = e.what();
    if (frames_.empty()) throw;
  }
  return used;
}

std::span<const FrameView> RawFrameReader::feed(Bytes data) {
  if (error_) throw FrameError(*error_);
  frames_.clear();
  compact();
  if (pending() == 0) {
    // Nothing buffered: cut straight from the caller's bytes, keep only the tail.
    std::size_t used = 0;
    try {
      used = cut(data);
    } catch (...) {
      buf_.append(reinterpret_cast<const char*>(data.data()), data.size());
      throw;
    }
    Bytes tail = data.subspan(used);
    buf_.append(reinterpret_cast<const char*>(tail.data()), tail.size());
  } else {
    buf_.append(reinterpret_cast<const char*>(data.data()), data.size());
    start_ += cut(as_bytes(buf_).subspan(start_));
  }
  return frames_;
}

}  // namespace qel::wire
