// libFuzzer harness bodies, shared by the fuzz executables and the corpus replay test.
//
// Each harness accepts arbitrary bytes. The documented qel errors of the code under
// test are caught; anything else (a crash, a sanitizer report, another exception, a
// broken invariant, which aborts) is a finding.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qel::fuzz {

// parse_frame, parse_whole_frame and NetPackage::decode_raw over a frame stream;
// every frame cut must re-encode to its own bytes.
void fuzz_frame_parse(const std::uint8_t* data, std::size_t size);

// RawFrameReader fed in pieces whose sizes derive from the first two bytes;
// it must cut what a one-shot parse of the same stream cuts.
void fuzz_raw_frame_reader(const std::uint8_t* data, std::size_t size);

// The WebSocket path: a raw Snappy block holding one frame, decoded into a
// NetPackage, then re-encoded and decoded again. The Snappy library's decoder
// is the reference for what a block holds.
void fuzz_package_decode(const std::uint8_t* data, std::size_t size);

// FrameHeader::decode over consecutive headers.
void fuzz_header_decode(const std::uint8_t* data, std::size_t size);

struct Harness {
  const char* name;  // fuzz/fuzz_<name>.cc, fuzz/corpus/<name>/
  void (*run)(const std::uint8_t*, std::size_t);
};

inline constexpr Harness kHarnesses[] = {
    {"frame_parse", &fuzz_frame_parse},
    {"raw_frame_reader", &fuzz_raw_frame_reader},
    {"package_decode", &fuzz_package_decode},
    {"header_decode", &fuzz_header_decode},
};

}  // namespace qel::fuzz
