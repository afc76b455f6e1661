// Memory for row slots, recycled per thread.
#include "qel/rows/slot_pool.h"

#include <cstdint>

namespace qel::rows {

namespace {

constexpr std::size_t kGranule = 16;
constexpr std::size_t kClasses = kLargestPooled / kGranule;

std::size_t class_of(std::size_t bytes) noexcept { return (bytes + kGranule - 1) / kGranule - 1; }
std::size_t class_bytes(std::size_t c) noexcept { return (c + 1) * kGranule; }

struct FreeBlock {
  FreeBlock* next;
};

// Trivially destructible, so that it stays usable while the thread's other
// thread-local objects are destroyed; Drain empties it at thread exit.
struct Pool {
  FreeBlock* heads[kClasses];
  std::size_t cached_bytes;
  bool closed;
};
thread_local Pool pool{};

struct Drain {
  bool armed = false;
  ~Drain() {
    for (std::size_t c = 0; c < kClasses; ++c) {
      while (FreeBlock* b = pool.heads[c]) {
        pool.heads[c] = b->next;
        ::operator delete(b);
      }
    }
    pool.cached_bytes = 0;
    pool.closed = true;  // blocks freed from now on go straight back
  }
};
thread_local Drain drain;

}  // namespace

void* slot_allocate(std::size_t bytes) {
  if (kSlotPoolOn && bytes != 0 && bytes <= kLargestPooled) {
    const std::size_t c = class_of(bytes);
    if (FreeBlock* b = pool.heads[c]) {
      pool.heads[c] = b->next;
      pool.cached_bytes -= class_bytes(c);
      return b;
    }
    return ::operator new(class_bytes(c));
  }
  return ::operator new(bytes);
}

void slot_deallocate(void* p, std::size_t bytes) noexcept {
  if (kSlotPoolOn && p != nullptr && bytes != 0 && bytes <= kLargestPooled && !pool.closed) {
    const std::size_t c = class_of(bytes);
    if (pool.cached_bytes + class_bytes(c) <= kPoolLimit) {
      drain.armed = true;  // registers the thread's Drain
      auto* b = static_cast<FreeBlock*>(p);
      b->next = pool.heads[c];
      pool.heads[c] = b;
      pool.cached_bytes += class_bytes(c);
      return;
    }
  }
  ::operator delete(p);
}

}  // namespace qel::rows
