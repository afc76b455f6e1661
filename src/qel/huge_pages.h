// Huge pages for large buffers that are written once, front to back, into
// memory that is almost always fresh.
#pragma once

#include <cstddef>
#include <cstdint>

#include <sys/mman.h>

namespace qel {

// Asks for huge pages over the whole 2 MiB pages inside the range: thousands
// of page faults become a handful. Below 4 MiB, where at most one whole page
// fits, the range is left as it is. Only a hint: failures are ignored.
inline void advise_huge_pages(void* begin, std::size_t bytes) noexcept {
  constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
  if (bytes < 2 * kHuge) return;
  const auto from = (reinterpret_cast<std::uintptr_t>(begin) + kHuge - 1) & ~(kHuge - 1);
  const auto to = (reinterpret_cast<std::uintptr_t>(begin) + bytes) & ~(kHuge - 1);
  if (to > from) madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
}

}  // namespace qel
