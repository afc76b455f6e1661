// Raw Snappy blocks: round trips, stable error texts, the decompression-bomb guard.
#include <gtest/gtest.h>

#include "error_text.h"

#include <random>
#include <string>
#include <vector>

#include "qel/wire/snappy.h"

namespace qel::wire {
namespace {

std::string varint(std::uint32_t v) {
  std::string out;
  for (; v >= 0x80; v >>= 7) out += static_cast<char>(v | 0x80);
  return out + static_cast<char>(v);
}

// The densest valid block: one literal byte, then `copies` 64-byte copies at
// offset 1, each a 3-byte element.
std::string densest_block(std::uint32_t copies) {
  std::string block = varint(1 + 64 * copies) + std::string("\x00z", 2);
  for (std::uint32_t i = 0; i < copies; ++i) block += std::string("\xFE\x01\x00", 3);
  return block;
}

TEST(Snappy, RoundTrips) {
  std::mt19937 rng(7);
  std::string random(100000, '\0');
  for (char& c : random) c = static_cast<char>(rng());
  std::string text;
  for (int i = 0; text.size() < (1u << 20); ++i) text += "row " + std::to_string(i % 1000) + ";";
  for (const std::string& in : {std::string(), std::string("a"), random, text}) {
    EXPECT_EQ(snappy_uncompress(as_bytes(snappy_compress(as_bytes(in)))), in);
  }
  EXPECT_EQ(snappy_compress({}), std::string(1, '\0'));  // just the zero-length preamble
  EXPECT_LT(snappy_compress(as_bytes(text)).size(), text.size() / 4);
}

struct BadBlock {
  std::string block;
  std::string error;
};
void PrintTo(const BadBlock& c, std::ostream* os) { *os << testing::PrintToString(c.error); }

class SnappyErrors : public testing::TestWithParam<BadBlock> {};

TEST_P(SnappyErrors, HaveStableTexts) {
  EXPECT_EQ(qel::test_support::error_text<SnappyError>([&] { snappy_uncompress(as_bytes(GetParam().block)); }), GetParam().error);
}

const std::string kHello = snappy_compress(as_bytes("hello hello hello hello hello hello"));

INSTANTIATE_TEST_SUITE_P(
    Cases, SnappyErrors,
    testing::Values(
        BadBlock{"", "corrupt input: bad length preamble"},
        BadBlock{"\x80", "corrupt input: bad length preamble"},  // the varint never ends
        BadBlock{"\xFF\xFF\xFF\xFF\x10", "corrupt input: bad length preamble"},  // more than 32 bits
        // Bombs: rejected on the preamble alone, before the output is allocated.
        BadBlock{"\x80\x80\x80\x80\x08", "corrupt input: declared length 2147483648 exceeds what 5 bytes can expand to"},
        BadBlock{"\xFF\xFF\xFF\xFF\x0F", "corrupt input: declared length 4294967295 exceeds what 5 bytes can expand to"},
        BadBlock{densest_block(1000).replace(0, 3, varint(64 * 3005 + 1)),
                 "corrupt input: declared length 192321 exceeds what 3005 bytes can expand to"},
        // Plausible lengths over broken element streams.
        BadBlock{std::string("\x04\x01\x01", 3), "corrupt input"},  // a copy before any output
        BadBlock{kHello.substr(0, kHello.size() - 1), "corrupt input"},
        BadBlock{varint(36) + kHello.substr(1), "corrupt input"}));  // one byte more than the elements make

// The bomb guard must never reject a block that really expands that far.
TEST(Snappy, MaxExpansionCoversTheDensestBlocks) {
  for (std::uint32_t copies : {0u, 1u, 2u, 3u, 10u, 1000u, 20000u}) {
    const std::string block = densest_block(copies);
    EXPECT_GE(snappy_max_expansion(block.size()), 1 + 64ull * copies);
    EXPECT_EQ(snappy_uncompress(as_bytes(block)), std::string(1 + 64 * copies, 'z'));
  }
  const std::string zeros(1 << 20, '\0');
  const std::string block = snappy_compress(as_bytes(zeros));
  EXPECT_GE(snappy_max_expansion(block.size()), zeros.size());
  EXPECT_EQ(snappy_uncompress(as_bytes(block)), zeros);
}

}  // namespace
}  // namespace qel::wire
