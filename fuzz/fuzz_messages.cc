// libFuzzer entry point for fuzz_messages (see harnesses.h).
#include <cstddef>
#include <cstdint>

#include "harnesses.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  qel::fuzz::fuzz_messages(data, size);
  return 0;
}
