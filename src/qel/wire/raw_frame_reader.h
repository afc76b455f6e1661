// Incremental reader of an uncompressed frame stream.
#pragma once

#include <algorithm>
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

  // As feed, handing each frame to on_frame(const FrameView&) as soon as it is
  // cut, while its bytes are still in cache. A frame counts as consumed before
  // on_frame sees it; if on_frame throws, the frames after it stay pending.
  template <class OnFrame>
  void feed_each(Bytes data, OnFrame&& on_frame);

  // Puts frames that the last feed handed out, and that their consumer could
  // not pass on, back in front of the pending bytes: the next feed cuts them
  // again first. `frames` are the raw bytes of whole frames in stream order
  // (see UndeliveredFrames), still valid (no feed since).
  void give_back(std::span<const Bytes> frames);

  // Bytes fed but not yet returned as frames.
  std::size_t pending() const noexcept { return buf_.size() - start_ + (tail_in_spare_ ? spare_.size() : 0); }
  bool broken() const noexcept { return error_.has_value(); }

 private:
  // Makes buf_ hold exactly the pending bytes at the start of a feed.
  void reclaim();
  // Tops up the buffered partial frame from the front of `rest`, advancing it;
  // returns the frame once complete.
  std::optional<FrameView> complete_buffered(Bytes& rest);
  void keep_tail(Bytes tail);
  // Cuts frames from `in` past `used`, advancing it, until one is incomplete.
  template <class OnFrame>
  void cut_frames(Bytes in, std::size_t& used, OnFrame& deliver);
  void append(Bytes bytes) { buf_.append(reinterpret_cast<const char*>(bytes.data()), bytes.size()); }
  Bytes buffered() const noexcept { return as_bytes(buf_).subspan(start_); }

  std::string buf_;
  std::size_t start_ = 0;  // first unconsumed byte of buf_
  // When this feed returned a frame that lives in buf_, the new tail waits in
  // spare_ so that the frame stays valid until the next feed.
  std::string spare_;
  bool tail_in_spare_ = false;
  bool frame_in_buf_ = false;
  bool backlog_ = false;  // a consumer failed: buf_ may hold whole frames
  std::vector<FrameView> frames_;
  std::optional<std::string> error_;
};

// The raw bytes of the frames a consumer has taken from one feed, as few
// ranges: frames cut one after another from the same buffer are contiguous, so
// a feed needs one range, two when its first frame was completed in the reader.
class UndeliveredFrames {
 public:
  void add(const FrameView& f) {
    const std::uint8_t* begin = f.body.data() - kFrameOverhead;
    if (!ranges_.empty() && ranges_.back().data() + ranges_.back().size() == begin) {
      ranges_.back() = Bytes(ranges_.back().data(), ranges_.back().size() + f.size());
    } else {
      ranges_.emplace_back(begin, f.size());
    }
  }
  void clear() noexcept { ranges_.clear(); }
  std::span<const Bytes> ranges() const noexcept { return ranges_; }

 private:
  std::vector<Bytes> ranges_;
};

template <class OnFrame>
void RawFrameReader::cut_frames(Bytes in, std::size_t& used, OnFrame& deliver) {
  // Each header is found from the previous one's length, a chain of dependent
  // cache misses; fetching a window ahead of the cursor streams them instead.
  // The bytes are read once, so they are fetched without displacing the
  // caller's working set from the outer caches.
  constexpr std::size_t kLine = 64, kAhead = 4096;
  std::size_t fetched = used;
  for (;;) {
    for (const std::size_t until = std::min(used + kAhead, in.size()); fetched < until; fetched += kLine) {
      __builtin_prefetch(in.data() + fetched, 0, 0);
    }
    FrameView frame;
    if (!try_cut_frame(in.subspan(used), frame)) {
      parse_frame(in.subspan(used));  // throws for a malformed frame
      return;
    }
    used += frame.size();
    deliver(frame);
  }
}

template <class OnFrame>
void RawFrameReader::feed_each(Bytes data, OnFrame&& on_frame) {
  // A broken reader still hands out the frames given back to it first.
  if (error_ && !backlog_) throw FrameError(*error_);
  reclaim();
  bool any = false;
  auto deliver = [&](const FrameView& f) {
    any = true;
    try {
      on_frame(f);
    } catch (...) {
      backlog_ = true;  // whole frames may now wait in the buffer
      throw;
    }
  };
  // Whether a FrameError goes out now. The consumer's own does; one from the
  // stream breaks the reader, and waits for the next feed if frames came first.
  auto raise_now = [&](const FrameError& e) {
    if (backlog_) return true;
    error_ = e.what();
    return !any;
  };

  if (backlog_) {
    // Only after a consumer failed: cut the buffered frames and the new bytes
    // from one buffer, which nothing changes until the next feed. A broken
    // reader takes no new bytes.
    if (!error_) append(data);
    backlog_ = false;
    std::size_t used = 0;
    auto consume = [&] {
      start_ += used;
      frame_in_buf_ = true;
    };
    try {
      cut_frames(buffered(), used, deliver);
    } catch (const FrameError& e) {
      consume();
      if (raise_now(e)) throw;
      return;
    } catch (...) {
      consume();
      throw;
    }
    consume();
    return;
  }

  Bytes rest = data;
  std::size_t used = 0;
  try {
    if (buf_.size() > start_) {
      if (const std::optional<FrameView> frame = complete_buffered(rest)) deliver(*frame);
    }
    // Unless a buffered frame still waits for bytes (then `rest` is used up).
    if (buf_.size() == start_) cut_frames(rest, used, deliver);
  } catch (const FrameError& e) {
    keep_tail(rest.subspan(used));
    if (raise_now(e)) throw;
    return;
  } catch (...) {
    keep_tail(rest.subspan(used));
    throw;
  }
  keep_tail(rest.subspan(used));
}

}  // namespace qel::wire
