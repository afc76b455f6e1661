// Memory for row slots: slot arrays and the blocks of list and long-text slots.
#pragma once

#include <cstddef>
#include <limits>
#include <new>

// Under AddressSanitizer every block goes straight back to the heap, so that
// a use after free is still caught.
#if defined(__SANITIZE_ADDRESS__)
#define QEL_SLOT_POOL_OFF 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QEL_SLOT_POOL_OFF 1
#endif
#endif

namespace qel::rows {

#ifdef QEL_SLOT_POOL_OFF
inline constexpr bool kSlotPoolOn = false;
#else
inline constexpr bool kSlotPoolOn = true;
#endif

// Blocks up to kLargestPooled bytes, in 16-byte size classes, are kept on
// per-thread free lists when freed and handed out again, up to kPoolLimit bytes
// per thread; other blocks come from and go to the global heap. A batch of
// rows is hundreds of thousands of such blocks, freed together and soon
// allocated again: recycling them spares the allocator's bookkeeping and,
// above all, the page faults of memory the heap had given back to the system.
inline constexpr std::size_t kLargestPooled = 1024;
inline constexpr std::size_t kPoolLimit = std::size_t{32} << 20;

void* slot_allocate(std::size_t bytes);
void slot_deallocate(void* p, std::size_t bytes) noexcept;

template <class T>
struct SlotAllocator {
  using value_type = T;

  SlotAllocator() noexcept = default;
  template <class U>
  SlotAllocator(const SlotAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_array_new_length();
    return static_cast<T*>(slot_allocate(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t n) noexcept { slot_deallocate(p, n * sizeof(T)); }

  friend bool operator==(const SlotAllocator&, const SlotAllocator&) noexcept { return true; }
};

}  // namespace qel::rows
