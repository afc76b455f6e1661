// Raw Snappy blocks: round trips, stable error texts, the decompression-bomb guard.
#include <gtest/gtest.h>

#include "error_text.h"

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "qel/wire/snappy.h"

#include <snappy.h>

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

// Streams of random elements of every kind, length and offset (copies that
// overlap their own output, reach before its start or are 0 among them), with
// the declared length sometimes off: each decoded exactly as the system
// library decodes it, or refused where it refuses it.
TEST(Snappy, DecodesRandomElementsAsTheLibraryDoes) {
  std::mt19937 rng(11);
  const auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
  int refused = 0;
  for (int stream = 0; stream < 3000; ++stream) {
    std::string elements;
    std::size_t produced = 0;
    for (std::size_t e = 1 + pick(300); e > 0; --e) {
      const std::size_t kind = pick(5);
      if (kind == 0 || produced == 0) {
        const std::size_t len = 1 + (pick(5) == 0 ? pick(400) : pick(20));
        const std::size_t n = len - 1;
        if (len <= 60) elements += static_cast<char>(n << 2);
        else if (len <= 256) elements += {static_cast<char>(60 << 2), static_cast<char>(n)};
        else elements += {static_cast<char>(61 << 2), static_cast<char>(n & 0xFF), static_cast<char>(n >> 8)};
        for (std::size_t i = 0; i < len; ++i) elements += static_cast<char>('a' + pick(3));
        produced += len;
        continue;
      }
      std::size_t offset = pick(3) == 0 ? 1 + pick(16) : 1 + pick(std::min<std::size_t>(produced, 2047));
      if (pick(400) == 0) offset = pick(2) == 0 ? 0 : produced + 1;
      if (kind == 1 && offset < 2048) {
        const std::size_t len = 4 + pick(8);
        elements += {static_cast<char>(1 | (len - 4) << 2 | (offset >> 8) << 5), static_cast<char>(offset & 0xFF)};
        produced += len;
        continue;
      }
      const std::size_t len = 1 + (pick(2) == 0 ? pick(64) : pick(16));
      elements += static_cast<char>((kind == 4 ? 3 : 2) | (len - 1) << 2);
      for (int i = 0; i < (kind == 4 ? 4 : 2); ++i) elements += static_cast<char>(offset >> (8 * i));
      produced += len;
    }
    const std::size_t declared = pick(20) == 0 ? produced + pick(3) - 1 : produced;
    const std::string block = varint(static_cast<std::uint32_t>(declared)) + elements;
    std::string expected;
    if (snappy::Uncompress(block.data(), block.size(), &expected)) {
      EXPECT_EQ(snappy_uncompress(as_bytes(block)), expected) << "stream " << stream;
    } else {
      ++refused;
      EXPECT_THROW(snappy_uncompress(as_bytes(block)), SnappyError) << "stream " << stream;
    }
  }
  EXPECT_GT(refused, 100);  // the refusals were exercised too
  EXPECT_LT(refused, 2000);
}

}  // namespace
}  // namespace qel::wire
