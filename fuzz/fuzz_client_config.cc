// libFuzzer entry point for fuzz_client_config (see harnesses.h).
#include <cstddef>
#include <cstdint>

#include "harnesses.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  qel::fuzz::fuzz_client_config(data, size);
  return 0;
}
