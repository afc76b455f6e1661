// Incremental reader of an uncompressed frame stream.
#include "qel/wire/raw_frame_reader.h"

#include <algorithm>

namespace qel::wire {

void RawFrameReader::reclaim() {
  if (tail_in_spare_) {
    buf_.swap(spare_);
    spare_.clear();
    start_ = 0;
    tail_in_spare_ = false;
  } else if (start_ == buf_.size()) {
    buf_.clear();
    start_ = 0;
  } else if (start_ >= buf_.size() - start_) {
    // The move costs no more than the bytes already consumed: amortised O(1).
    buf_.erase(0, start_);
    start_ = 0;
  }
  frame_in_buf_ = false;
}

void RawFrameReader::complete_buffered(Bytes& rest) {
  if (buf_.size() - start_ < kEnvelopeSize) {
    const std::size_t take = std::min(kEnvelopeSize - (buf_.size() - start_), rest.size());
    append(rest.first(take));
    rest = rest.subspan(take);
    if (buf_.size() - start_ < kEnvelopeSize) return;
  }
  FrameParse p = parse_frame(buffered());
  if (!p.complete) {
    const std::size_t take = std::min(p.need - p.have, rest.size());
    append(rest.first(take));
    rest = rest.subspan(take);
    p = parse_frame(buffered());
    if (!p.complete) return;
  }
  frames_.push_back(p.frame);
  start_ += p.frame.size();
  frame_in_buf_ = true;
}

void RawFrameReader::cut(Bytes in, std::size_t& used) {
  // Each header is found from the previous one's length, a chain of dependent
  // cache misses; fetching a window ahead of the cursor streams them instead.
  constexpr std::size_t kLine = 64, kAhead = 4096;
  std::size_t fetched = used;
  for (;;) {
    for (const std::size_t until = std::min(used + kAhead, in.size()); fetched < until; fetched += kLine) {
      __builtin_prefetch(in.data() + fetched);
    }
    FrameView frame;
    if (!try_cut_frame(in.subspan(used), frame)) {
      parse_frame(in.subspan(used));  // throws for a malformed frame
      return;
    }
    frames_.push_back(frame);
    used += frame.size();
  }
}

void RawFrameReader::keep_tail(Bytes tail) {
  if (frame_in_buf_) {
    spare_.assign(reinterpret_cast<const char*>(tail.data()), tail.size());
    tail_in_spare_ = true;
  } else {
    append(tail);
  }
}

std::span<const FrameView> RawFrameReader::feed(Bytes data) {
  if (error_) throw FrameError(*error_);
  frames_.clear();
  reclaim();
  Bytes rest = data;
  std::size_t used = 0;
  try {
    if (buf_.size() > start_) complete_buffered(rest);
    if (buf_.size() == start_) cut(rest, used);
  } catch (const FrameError& e) {
    error_ = e.what();
    keep_tail(rest.subspan(used));
    if (frames_.empty()) throw;
    return frames_;
  }
  keep_tail(rest.subspan(used));
  return frames_;
}

}  // namespace qel::wire
