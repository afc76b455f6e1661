// A per-thread buffer for transient bytes, such as a decompressed payload that
// is parsed and dropped within one call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace qel::wire {

// Memory handed out again on the thread's next call instead of being returned
// to the system and faulted in afresh: for a payload of tens of megabytes the
// fresh pages cost more than decoding into them. Buffers above kKeepLimit are
// released after use, so a thread keeps at most that much.
class ScratchBuffer {
 public:
  static constexpr std::size_t kKeepLimit = std::size_t{32} << 20;

  // The calling thread's buffer. Not reentrant: one user per thread at a time.
  static ScratchBuffer& for_this_thread() {
    thread_local ScratchBuffer buffer;
    return buffer;
  }

  // At least n writable bytes, contents unspecified; valid until release() or
  // the next data() on this thread.
  std::uint8_t* data(std::size_t n) {
    if (n > capacity_) {
      data_.reset();
      capacity_ = 0;
      data_ = std::make_unique_for_overwrite<std::uint8_t[]>(n);
      capacity_ = n;
    }
    return data_.get();
  }

  // Ends a use; a buffer above the limit goes back to the system.
  void release() noexcept {
    if (capacity_ > kKeepLimit) {
      data_.reset();
      capacity_ = 0;
    }
  }

  // One use of the calling thread's buffer, released however the scope ends.
  class Lease {
   public:
    Lease() : buffer_(for_this_thread()) {}
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    ~Lease() { buffer_.release(); }
    std::uint8_t* data(std::size_t n) { return buffer_.data(n); }

   private:
    ScratchBuffer& buffer_;
  };

 private:
  std::unique_ptr<std::uint8_t[]> data_;
  std::size_t capacity_ = 0;
};

}  // namespace qel::wire
