// Ring frames and NetPackage: exact bytes, error texts, incomplete and trailing input.
#include <gtest/gtest.h>

#include "error_text.h"

#include <string>
#include <tuple>

#include "qel/wire/frame.h"
#include "qel/wire/net_package.h"
#include "qel/wire/snappy.h"

namespace qel::wire {
namespace {

std::string raw(std::initializer_list<int> v) { return std::string(v.begin(), v.end()); }

auto fields(const NetPackage& p) { return std::tuple(p.cmd, p.seq, p.length, p.content); }

// Every field set, to show that a failed decode leaves them alone.
const NetPackage kSentinel{1, 2, 3, "keep"};

// cmd 0x5002, seq 1, body "ab".
const std::string kAb = raw({0x75, 0xF4, 0xC4, 0x65, 0, 0, 0, 10, 4, 0, 0, 0, 1, 0, 0x50, 0x02, 'a', 'b'});

TEST(EncodeRawFrame, ExactBytesThatParseBack) {
  EXPECT_EQ(encode_raw_frame(0x5001, 7, {}), raw({0x75, 0xF4, 0xC4, 0x65, 0, 0, 0, 8, 4, 0, 0, 0, 7, 0, 0x50, 0x01}));
  const std::string xyz = encode_raw_frame(0xFFFE, 0xA1B2C3D4, as_bytes("xyz"), 9, 0x80);
  EXPECT_EQ(xyz, raw({0x75, 0xF4, 0xC4, 0x65, 0, 0, 0, 11, 9, 0xA1, 0xB2, 0xC3, 0xD4, 0x80, 0xFF, 0xFE, 'x', 'y', 'z'}));
  const FrameView f = parse_whole_frame(as_bytes(xyz));
  EXPECT_EQ(f.header, (FrameHeader{9, 0xA1B2C3D4, 0x80, 0xFFFE}));
  EXPECT_EQ(f.total_len(), 11u);
}

TEST(FrameHeader, ShortInputReportsTheFieldThatRanOut) {
  const std::string full = raw({4, 0, 0, 0, 1, 0, 0x50, 0x02});
  // Bytes missing from the field that ran out: u8, u32, u8, u16 in that order.
  const int needed[8] = {1, 4, 3, 2, 1, 1, 2, 1};
  for (std::size_t n = 0; n < 8; ++n) {
    Reader r(as_bytes(full).first(n));
    EXPECT_EQ(qel::test_support::error_text<CodecError>([&] { FrameHeader::decode(r); }),
              "unexpected end of input: needed " + std::to_string(needed[n]) + " more bytes")
        << n << " bytes";
  }
}

struct BadFrame {
  std::string input;
  std::string error;
};
void PrintTo(const BadFrame& c, std::ostream* os) { *os << testing::PrintToString(c.error); }

class FrameErrors : public testing::TestWithParam<BadFrame> {};

// Malformed envelopes throw from every entry point; the package keeps its fields.
TEST_P(FrameErrors, ThrowWithExactText) {
  const Bytes in = as_bytes(GetParam().input);
  EXPECT_EQ(qel::test_support::error_text<FrameError>([&] { parse_frame(in); }), GetParam().error);
  EXPECT_EQ(qel::test_support::error_text<FrameError>([&] { parse_whole_frame(in); }), GetParam().error);
  NetPackage p = kSentinel;
  EXPECT_EQ(qel::test_support::error_text<FrameError>([&] { p.decode_raw(in); }), GetParam().error);
  EXPECT_EQ(fields(p), fields(kSentinel));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FrameErrors,
    testing::Values(
        // Leading zeros are kept: always eight digits.
        BadFrame{raw({0, 0, 0, 0, 0, 0, 0, 8}), "bad magic 0x00000000 (expected 0x75f4c465)"},
        BadFrame{raw({0xDE, 0xAD, 0xBE, 0xEF, 0, 0, 0, 8, 4, 0, 0, 0, 1, 0, 0, 1}),
                 "bad magic 0xdeadbeef (expected 0x75f4c465)"},
        // Little-endian magic: a peer with the wrong byte order.
        BadFrame{raw({0x65, 0xC4, 0xF4, 0x75, 0, 0, 0, 8}), "bad magic 0x65c4f475 (expected 0x75f4c465)"},
        // The magic is judged before the length.
        BadFrame{raw({0x75, 0xF4, 0xC4, 0x66, 0, 0, 0, 0}), "bad magic 0x75f4c466 (expected 0x75f4c465)"},
        BadFrame{raw({0x75, 0xF4, 0xC4, 0x65, 0, 0, 0, 0}), "total_len 0 is smaller than header length (8)"},
        // Reported as soon as the envelope is in, without waiting for a header.
        BadFrame{raw({0x75, 0xF4, 0xC4, 0x65, 0, 0, 0, 7}), "total_len 7 is smaller than header length (8)"}));

struct ShortFrame {
  std::string input;
  std::string reason;
};
void PrintTo(const ShortFrame& c, std::ostream* os) { *os << testing::PrintToString(c.reason); }

class IncompleteFrames : public testing::TestWithParam<ShortFrame> {};

TEST_P(IncompleteFrames, AreNotErrorsUntilAWholeFrameIsRequired) {
  const Bytes in = as_bytes(GetParam().input);
  const FrameParse parse = parse_frame(in);
  EXPECT_FALSE(parse.complete);
  EXPECT_EQ(parse.incomplete_reason(), GetParam().reason);
  EXPECT_EQ(qel::test_support::error_text<FrameError>([&] { parse_whole_frame(in); }), GetParam().reason);

  NetPackage p = kSentinel;
  EXPECT_EQ(p.decode_raw(in), 0u);
  EXPECT_EQ(fields(p), fields(kSentinel));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IncompleteFrames,
    testing::Values(ShortFrame{"", "envelope too short (need 8 bytes)"},
                    ShortFrame{kAb.substr(0, 7), "envelope too short (need 8 bytes)"},
                    ShortFrame{kAb.substr(0, 8), "incomplete body: need 18 bytes, got 8"},
                    ShortFrame{kAb.substr(0, 15), "incomplete body: need 18 bytes, got 15"},
                    ShortFrame{kAb.substr(0, 17), "incomplete body: need 18 bytes, got 17"},
                    // The largest total_len must not wrap when 8 is added.
                    ShortFrame{raw({0x75, 0xF4, 0xC4, 0x65, 0xFF, 0xFF, 0xFF, 0xFF, 4}),
                               "incomplete body: need 4294967303 bytes, got 9"}));

// Bytes after a frame belong to the next one: they are neither consumed nor an error.
TEST(ParseFrame, StopsAtTheFrameEnd) {
  const std::string in = kAb + "trailing";
  const FrameParse p = parse_frame(as_bytes(in));
  ASSERT_TRUE(p.complete);
  EXPECT_EQ(p.frame.size(), 18u);
  EXPECT_EQ(p.frame.body.data(), as_bytes(in).data() + 16);  // borrowed, not copied
  EXPECT_EQ(p.frame.body.size(), 2u);
  EXPECT_EQ(parse_whole_frame(as_bytes(in)).size(), 18u);

  NetPackage pkg;
  EXPECT_EQ(pkg.decode_raw(as_bytes(in)), 18u);
  EXPECT_EQ(fields(pkg), std::tuple(0x5002, 1u, 10u, "ab"));
}

TEST(NetPackage, EncodeRawAndDecodeRaw) {
  EXPECT_EQ((NetPackage{0x5002, 1, 0, "ab"}).encode_raw(), kAb);
  // Version and flag are not the package's business; an empty body clears content.
  NetPackage p = kSentinel;
  EXPECT_EQ(p.decode_raw(as_bytes(encode_raw_frame(0xFFFF, 0xFFFFFFFF, {}, 1, 0xFF))), 16u);
  EXPECT_EQ(fields(p), std::tuple(0xFFFF, 0xFFFFFFFFu, 8u, ""));
}

TEST(NetPackage, EncodeStringIsTheRawFrameAsOneSnappyBlock) {
  const NetPackage out{0x7001, 42, 0, std::string(1000, 'q') + std::string("\0\xFF", 2)};
  const std::string block = out.encode_string();
  EXPECT_LT(block.size(), out.encode_raw().size());
  const std::string frame = snappy_uncompress(as_bytes(block));
  EXPECT_EQ(frame, out.encode_raw());
  EXPECT_EQ(fields(NetPackage::from_frame(parse_whole_frame(as_bytes(frame)))),
            std::tuple(0x7001, 42u, 8u + out.content.size(), out.content));
}

}  // namespace
}  // namespace qel::wire
