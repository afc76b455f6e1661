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

std::optional<FrameView> RawFrameReader::complete_buffered(Bytes& rest) {
  if (buf_.size() - start_ < kEnvelopeSize) {
    const std::size_t take = std::min(kEnvelopeSize - (buf_.size() - start_), rest.size());
    append(rest.first(take));
    rest = rest.subspan(take);
    if (buf_.size() - start_ < kEnvelopeSize) return std::nullopt;
  }
  FrameParse p = parse_frame(buffered());
  if (!p.complete) {
    const std::size_t take = std::min(p.need - p.have, rest.size());
    append(rest.first(take));
    rest = rest.subspan(take);
    p = parse_frame(buffered());
    if (!p.complete) return std::nullopt;
  }
  start_ += p.frame.size();
  frame_in_buf_ = true;
  return p.frame;
}

void RawFrameReader::keep_tail(Bytes tail) {
  if (frame_in_buf_) {
    spare_.assign(reinterpret_cast<const char*>(tail.data()), tail.size());
    tail_in_spare_ = true;
  } else {
    append(tail);
  }
}

void RawFrameReader::give_back(std::span<const Bytes> frames) {
  if (frames.empty()) return;
  std::size_t size = pending();
  for (Bytes f : frames) size += f.size();
  // Built aside: the frames may live in buf_ itself.
  std::string pending_bytes;
  pending_bytes.reserve(size);
  for (Bytes f : frames) pending_bytes.append(reinterpret_cast<const char*>(f.data()), f.size());
  pending_bytes.append(buf_, start_);
  if (tail_in_spare_) pending_bytes.append(spare_);
  buf_.swap(pending_bytes);
  start_ = 0;
  spare_.clear();
  tail_in_spare_ = false;
  frame_in_buf_ = false;
  backlog_ = true;
}

std::span<const FrameView> RawFrameReader::feed(Bytes data) {
  frames_.clear();
  feed_each(data, [this](const FrameView& f) { frames_.push_back(f); });
  return frames_;
}

}  // namespace qel::wire
