// Built into floor wheels only. Their toolchain links its own memcpy, memmove and memset into the module:
// plain loops that took a tenth of the Arrow export's time. These definitions take precedence over those and
// forward to the C library's, which pick the machine's fastest form when the module loads. The versions named
// are older than the wheels' glibc floor.
#include <cstddef>

extern "C" {
void* libc_memcpy(void* to, const void* from, std::size_t n);
void* libc_memmove(void* to, const void* from, std::size_t n);
void* libc_memset(void* to, int byte, std::size_t n);
__asm__(".symver libc_memcpy, memcpy@GLIBC_2.14");
__asm__(".symver libc_memmove, memmove@GLIBC_2.2.5");
__asm__(".symver libc_memset, memset@GLIBC_2.2.5");

__attribute__((visibility("hidden"))) void* memcpy(void* to, const void* from, std::size_t n) {
  return libc_memcpy(to, from, n);
}
__attribute__((visibility("hidden"))) void* memmove(void* to, const void* from, std::size_t n) {
  return libc_memmove(to, from, n);
}
__attribute__((visibility("hidden"))) void* memset(void* to, int byte, std::size_t n) {
  return libc_memset(to, byte, n);
}
}
