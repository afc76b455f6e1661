// Reader and Writer: exact bytes, error texts, guards against lying counts.
#include <gtest/gtest.h>

#include "error_text.h"

#include <sys/mman.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "qel/text/utf8.h"
#include "qel/wire/codec.h"

namespace qel::wire {
namespace {

std::vector<std::uint8_t> bytes(std::initializer_list<int> v) { return {v.begin(), v.end()}; }

TEST(Writer, FixedWidthIsBigEndian) {
  Writer w;
  w.write_u8(0xAB);
  w.write_u16(0x0102);
  w.write_i16(-2);
  w.write_u32(0x01020304);
  w.write_i32(-1);
  w.write_u64(0x0102030405060708ULL);
  w.write_i64(std::numeric_limits<std::int64_t>::min());
  w.write_f64(1.0);
  w.write_bool(true);
  const std::string expected(
      "\xAB\x01\x02\xFF\xFE\x01\x02\x03\x04\xFF\xFF\xFF\xFF\x01\x02\x03\x04\x05\x06\x07\x08"
      "\x80\x00\x00\x00\x00\x00\x00\x00\x3F\xF0\x00\x00\x00\x00\x00\x00\x01",
      38);
  EXPECT_EQ(w.buffer(), expected);

  Reader r(as_bytes(w.buffer()));
  EXPECT_EQ(r.read_u8(), 0xAB);
  EXPECT_EQ(r.read_u16(), 0x0102);
  EXPECT_EQ(r.read_i16(), -2);
  EXPECT_EQ(r.read_u32(), 0x01020304u);
  EXPECT_EQ(r.read_i32(), -1);
  EXPECT_EQ(r.read_u64(), 0x0102030405060708ULL);
  EXPECT_EQ(r.read_i64(), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(r.read_f64(), 1.0);
  EXPECT_EQ(r.read_u8(), 1);
  EXPECT_EQ(r.remaining(), 0u);
}

TEST(Writer, LengthPrefixedAndRawVectors) {
  Writer w;
  w.write_string("abc");
  std::vector<std::uint32_t> four{1, 2};
  w.write_rawvec_4(four);
  std::vector<std::string> strings{"", "xy"};
  w.write_vec_string(strings);
  EXPECT_EQ(w.buffer(), std::string("\0\0\0\x03" "abc"
                                    "\0\0\0\x02\x01\0\0\0\x02\0\0\0"
                                    "\0\0\0\x02\0\0\0\0\0\0\0\x02xy",
                                    7 + 12 + 14));
  Reader r(as_bytes(w.buffer()));
  EXPECT_EQ(r.read_string(), "abc");
  EXPECT_EQ(r.read_rawvec_4(), four);
  EXPECT_EQ(r.read_vec_string(), strings);
}

// Lengths past 2^32 - 1 are refused, not truncated into a prefix that would
// misframe the rest. The oversized input is untouched zero pages, never read.
TEST(Writer, RefusesLengthsAU32PrefixCannotCarry) {
  constexpr std::size_t kSize = std::size_t{1} << 34;  // 2^32 u32 elements
  void* pages = mmap(nullptr, kSize, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(pages, MAP_FAILED);
  const Bytes huge(static_cast<const std::uint8_t*>(pages), (std::size_t{1} << 32) + 1);
  Writer w;
  w.write_u8(7);
  using test_support::error_text;
  EXPECT_EQ(error_text<CodecError>([&] { w.write_bytes(huge); }), "length 4294967297 does not fit a u32 length prefix");
  EXPECT_EQ(error_text<CodecError>([&] { w.write_string(std::string_view(reinterpret_cast<const char*>(huge.data()), huge.size())); }),
            "length 4294967297 does not fit a u32 length prefix");
  EXPECT_EQ(error_text<CodecError>([&] { w.write_rawvec_4(std::span(static_cast<const std::uint32_t*>(pages), kSize / 4)); }),
            "length 4294967296 does not fit a u32 length prefix");
  EXPECT_EQ(w.size(), 1u);
  EXPECT_EQ(u32_length(0xFFFFFFFFu), 0xFFFFFFFFu);
  munmap(pages, kSize);
}

TEST(Reader, RawVec8RoundTripsDoublesBitExactly) {
  std::vector<double> v{-0.0, std::numeric_limits<double>::quiet_NaN(), 1e308, 5e-324};
  Writer w;
  w.write_rawvec<double>(v);
  Reader r(as_bytes(w.buffer()));
  auto back = r.read_rawvec<double>();
  ASSERT_EQ(back.size(), v.size());
  for (std::size_t i = 0; i < v.size(); ++i) EXPECT_EQ(std::bit_cast<std::uint64_t>(back[i]), std::bit_cast<std::uint64_t>(v[i]));
}

TEST(Reader, ShortInputsReportBytesMissing) {
  auto two = bytes({0x00, 0x01});
  EXPECT_EQ(qel::test_support::error_text<CodecError>([&] { Reader(two).read_u32(); }), "unexpected end of input: needed 2 more bytes");
  EXPECT_EQ(qel::test_support::error_text<CodecError>([&] { Reader(two).read_u64(); }), "unexpected end of input: needed 6 more bytes");
  EXPECT_EQ(qel::test_support::error_text<CodecError>([&] { Reader({}).read_u8(); }), "unexpected end of input: needed 1 more bytes");

  auto short_string = bytes({0, 0, 0, 5, 'a', 'b', 'c'});
  EXPECT_EQ(qel::test_support::error_text<CodecError>([&] { Reader(short_string).read_string(); }), "unexpected end of input: needed 2 more bytes");
  auto bad_utf8 = bytes({0, 0, 0, 1, 0xFF});
  EXPECT_EQ(qel::test_support::error_text<CodecError>([&] { Reader(bad_utf8).read_string(); }), "invalid utf-8 in string field");
  // bytes fields are opaque: the same input reads fine.
  EXPECT_EQ(Reader(bad_utf8).read_bytes(), "\xFF");
}

TEST(Reader, FailedReadConsumesNothing) {
  auto in = bytes({0, 0, 0, 9, 'a'});
  Reader r(in);
  EXPECT_THROW(r.read_bytes(), CodecError);
  EXPECT_EQ(r.remaining(), in.size());
  EXPECT_EQ(r.read_u32(), 9u);
}

TEST(Reader, EmptyStringConsumesItsPrefix) {
  auto in = bytes({0, 0, 0, 0, 7});
  Reader r(in);
  EXPECT_EQ(r.read_string(), "");
  EXPECT_EQ(r.remaining(), 1u);
}

TEST(Reader, LyingCountsFailBeforeAllocating) {
  // Count 3 with two elements present: nothing read, 8 bytes reported missing.
  std::vector<std::uint8_t> in = {0, 0, 0, 3};
  in.resize(4 + 16);
  Reader r(in);
  EXPECT_EQ(qel::test_support::error_text<CodecError>([&] { r.read_rawvec_8(); }), "unexpected end of input: needed 8 more bytes");
  EXPECT_EQ(r.remaining(), in.size());

  // Counts near 2^32 must neither allocate nor overflow the size computation.
  auto huge = bytes({0xFF, 0xFF, 0xFF, 0xFF});
  EXPECT_EQ(qel::test_support::error_text<CodecError>([&] { Reader(huge).read_rawvec_8(); }),
            "unexpected end of input: needed " + std::to_string(0xFFFFFFFFULL * 8) + " more bytes");
  EXPECT_EQ(qel::test_support::error_text<CodecError>([&] { Reader(huge).read_bytes(); }),
            "unexpected end of input: needed " + std::to_string(0xFFFFFFFFULL) + " more bytes");
  EXPECT_EQ(qel::test_support::error_text<CodecError>([&] { Reader(huge).read_vec_string(); }), "unexpected end of input: needed 4 more bytes");
}

TEST(CodecError, TextsOfTheOtherKinds) {
  EXPECT_STREQ(CodecError::unknown_enum(0xAB).what(), "unknown enum value 0xab");
  EXPECT_STREQ(CodecError::length_overflow(10, 3).what(), "length prefix 10 exceeds remaining buffer (3 bytes)");
  EXPECT_STREQ(CodecError::field_type_mismatch(2, "Double").what(),
               "StructValue field type mismatch for field index 2: schema = Double");
  EXPECT_EQ(CodecError::length_overflow(10, 3).remaining(), 3u);
}

struct Utf8Case {
  std::string input;
  std::string error;  // "" when valid
};

class Utf8 : public testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8, LocatesFirstBadSequence) {
  auto err = text::check_utf8(as_bytes(GetParam().input));
  EXPECT_EQ(err ? err->describe() : "", GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Utf8,
    testing::Values(Utf8Case{"plain ascii text longer than eight", ""}, Utf8Case{"\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80", ""},
                    Utf8Case{"\xFF", "invalid utf-8 sequence of 1 bytes from index 0"},
                    Utf8Case{"abcdefghij\x80", "invalid utf-8 sequence of 1 bytes from index 10"},
                    Utf8Case{"\xC0\xAF", "invalid utf-8 sequence of 1 bytes from index 0"},      // overlong
                    Utf8Case{"\xED\xA0\x80", "invalid utf-8 sequence of 1 bytes from index 0"},  // surrogate
                    Utf8Case{"\xF4\x90\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
                    Utf8Case{"\xE4\xB8" "a", "invalid utf-8 sequence of 2 bytes from index 0"},
                    Utf8Case{"x\xF0\x9F\x98" "a", "invalid utf-8 sequence of 3 bytes from index 1"},
                    Utf8Case{"ab\xE4\xB8", "incomplete utf-8 byte sequence from index 2"},
                    Utf8Case{"\xF0", "incomplete utf-8 byte sequence from index 0"}));

}  // namespace
}  // namespace qel::wire
