// libFuzzer entry point for fuzz_schema_load (see harnesses.h).
#include <cstddef>
#include <cstdint>

#include "harnesses.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  qel::fuzz::fuzz_schema_load(data, size);
  return 0;
}
