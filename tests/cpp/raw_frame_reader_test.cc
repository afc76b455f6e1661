// RawFrameReader: arbitrary splits, pending bytes, the broken state, linear work.
#include <gtest/gtest.h>

#include "error_text.h"

#include <chrono>
#include <random>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "qel/wire/raw_frame_reader.h"

namespace qel::wire {
namespace {

struct Frame {
  FrameHeader header;
  std::string body;
  bool operator==(const Frame&) const = default;
};

void PrintTo(const Frame& f, std::ostream* os) {
  *os << "{cmd " << f.header.cmd << " seq " << f.header.seq << ", " << f.body.size() << " body bytes}";
}

std::string frame_bytes(const Frame& f) {
  return encode_raw_frame(f.header.cmd, f.header.seq, as_bytes(f.body), f.header.version, f.header.flag);
}

std::vector<Frame> copy_out(std::span<const FrameView> views) {
  std::vector<Frame> out;
  for (const FrameView& v : views) out.push_back({v.header, std::string(v.body.begin(), v.body.end())});
  return out;
}

// Random headers; mostly small bodies, some empty, an occasional one of several KiB.
std::vector<Frame> random_frames(std::mt19937& rng) {
  std::vector<Frame> frames(40);
  for (Frame& f : frames) {
    f.header = {static_cast<std::uint8_t>(rng()), static_cast<std::uint32_t>(rng()), static_cast<std::uint8_t>(rng()),
                static_cast<std::uint16_t>(rng())};
    const std::size_t n = rng() % 6 == 0 ? 0 : rng() % 16 == 0 ? 4000 + rng() % 4000 : rng() % 100;
    for (std::size_t i = 0; i < n; ++i) f.body += static_cast<char>(rng());
  }
  return frames;
}

// A consumer that fails partway loses the frame it was handed, nothing after it:
// the rest stays pending and the next feed resumes there, straddling frame or not.
TEST(FrameConsumer, FailureKeepsTheRestPending) {
  std::mt19937 rng(7);
  const std::vector<Frame> frames = random_frames(rng);
  std::string stream;
  for (const Frame& f : frames) stream += frame_bytes(f);
  for (std::size_t first_cut : {std::size_t{0}, frame_bytes(frames[0]).size() / 2}) {
    SCOPED_TRACE(first_cut);
    RawFrameReader r;
    std::vector<Frame> got = copy_out(r.feed(as_bytes(stream).first(first_cut)));
    struct Stop {};
    std::size_t seen = 0;
    EXPECT_THROW(r.feed_each(as_bytes(stream).subspan(first_cut),
                             [&](const FrameView& v) {
                               if (++seen == 3) throw Stop{};
                               got.push_back({v.header, std::string(v.body.begin(), v.body.end())});
                             }),
                 Stop);
    std::size_t consumed = 0;
    for (std::size_t i = 0; i < 3; ++i) consumed += frame_bytes(frames[i]).size();
    EXPECT_EQ(r.pending(), stream.size() - consumed);
    for (const Frame& f : copy_out(r.feed({}))) got.push_back(f);
    std::vector<Frame> expected = frames;
    expected.erase(expected.begin() + 2);  // the one the consumer failed on
    EXPECT_EQ(got, expected);
  }
}

class SplitStream : public testing::TestWithParam<std::tuple<unsigned, std::size_t>> {};

// Any split of a stream yields the frames of one feed, with pending() equal to
// the tail not yet returned.
TEST_P(SplitStream, YieldsTheFramesOfOneFeed) {
  const auto [seed, max_chunk] = GetParam();
  std::mt19937 rng(seed);
  const std::vector<Frame> expected = random_frames(rng);
  std::string stream;
  for (const Frame& f : expected) stream += frame_bytes(f);

  RawFrameReader whole;
  EXPECT_EQ(copy_out(whole.feed(as_bytes(stream))), expected);
  EXPECT_EQ(whole.pending(), 0u);

  RawFrameReader r;
  std::vector<Frame> got;
  std::size_t fed = 0, returned = 0;
  while (fed < stream.size()) {
    // A fresh copy per piece, freed before the next feed: a reader that kept a
    // view of an earlier piece instead of copying its tail trips ASan here.
    const std::string piece = stream.substr(fed, 1 + rng() % max_chunk);
    fed += piece.size();
    for (const Frame& f : copy_out(r.feed(as_bytes(piece)))) {
      returned += kFrameOverhead + f.body.size();
      got.push_back(f);
    }
    ASSERT_EQ(r.pending(), fed - returned) << "after " << fed << " bytes";
  }
  EXPECT_EQ(got, expected);
}

// Piece sizes from single bytes to more than the whole stream.
INSTANTIATE_TEST_SUITE_P(Seeds, SplitStream,
                         testing::Combine(testing::Range(0u, 8u), testing::Values<std::size_t>(1, 3, 20, 700, 1u << 30)));

TEST(RawFrameReader, BodiesStayValidUntilTheNextFeed) {
  const Frame big{{4, 1, 0, 1}, std::string(100000, 'b')};
  const Frame small{{4, 2, 0, 2}, "small"};
  const std::string stream = frame_bytes(big) + frame_bytes(small) + frame_bytes(small);
  RawFrameReader r;
  EXPECT_TRUE(r.feed(as_bytes(stream).first(3)).empty());
  // The rest outgrows the buffered bytes, so the buffer moves; both bodies are
  // then read from where the reader put them.
  const std::string rest = stream.substr(3, stream.size() - 4);
  const std::span<const FrameView> frames = r.feed(as_bytes(rest));
  EXPECT_EQ(copy_out(frames), (std::vector<Frame>{big, small}));
  EXPECT_EQ(r.pending(), frame_bytes(small).size() - 1);
  EXPECT_EQ(copy_out(r.feed(as_bytes(stream).last(1))), std::vector<Frame>{small});
}

struct Breakage {
  std::string envelope;
  std::string error;
};
void PrintTo(const Breakage& c, std::ostream* os) { *os << testing::PrintToString(c.error); }

class BrokenReader : public testing::TestWithParam<Breakage> {};

const std::string kGood = encode_raw_frame(0x5001, 7, as_bytes("body"));

TEST_P(BrokenReader, ThrowsAtOnceWhenNoFrameWasCut) {
  const auto& [bad, error] = GetParam();
  const std::string stream = bad + kGood;
  for (std::size_t buffered : {0, 3}) {  // straight from the caller's bytes, or behind buffered ones
    RawFrameReader r;
    EXPECT_TRUE(r.feed(as_bytes(stream).first(buffered)).empty());
    EXPECT_EQ(qel::test_support::error_text<FrameError>([&] { r.feed(as_bytes(stream).subspan(buffered)); }), error);
    EXPECT_TRUE(r.broken());
    EXPECT_EQ(r.pending(), stream.size());
    // No resynchronising: good frames later in the stream change nothing.
    EXPECT_EQ(qel::test_support::error_text<FrameError>([&] { r.feed({}); }), error);
    EXPECT_EQ(qel::test_support::error_text<FrameError>([&] { r.feed(as_bytes(kGood)); }), error);
    EXPECT_EQ(r.pending(), stream.size());
  }
}

TEST_P(BrokenReader, ReturnsFramesCutBeforeTheFaultThenThrows) {
  const auto& [bad, error] = GetParam();
  const std::string stream = kGood + encode_raw_frame(0x5002, 8, {}) + bad + kGood;
  for (std::size_t buffered : {0, 5}) {
    RawFrameReader r;
    EXPECT_TRUE(r.feed(as_bytes(stream).first(buffered)).empty());
    const std::vector<Frame> frames = copy_out(r.feed(as_bytes(stream).subspan(buffered)));
    EXPECT_EQ(frames, (std::vector<Frame>{{{4, 7, 0, 0x5001}, "body"}, {{4, 8, 0, 0x5002}, ""}}));
    EXPECT_TRUE(r.broken());
    EXPECT_EQ(r.pending(), bad.size() + kGood.size());
    EXPECT_EQ(qel::test_support::error_text<FrameError>([&] { r.feed({}); }), error);
    EXPECT_EQ(qel::test_support::error_text<FrameError>([&] { r.feed(as_bytes(kGood)); }), error);
  }
}

// Frames a consumer could not pass on come out of the next feed, before the
// stream fault, which then waits as it did.
TEST_P(BrokenReader, FramesGivenBackComeOutFirst) {
  const auto& [bad, error] = GetParam();
  const std::string stream = kGood + encode_raw_frame(0x5002, 8, {}) + bad + kGood;
  for (std::size_t buffered : {0, 5}) {
    RawFrameReader r;
    r.feed(as_bytes(stream).first(buffered));
    UndeliveredFrames taken;
    for (const FrameView& f : r.feed(as_bytes(stream).subspan(buffered))) taken.add(f);
    EXPECT_EQ(taken.ranges().size(), buffered ? 2u : 1u);
    r.give_back(taken.ranges());
    EXPECT_EQ(r.pending(), stream.size());
    EXPECT_EQ(copy_out(r.feed(as_bytes(kGood))),
              (std::vector<Frame>{{{4, 7, 0, 0x5001}, "body"}, {{4, 8, 0, 0x5002}, ""}}));
    EXPECT_EQ(qel::test_support::error_text<FrameError>([&] { r.feed({}); }), error);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, BrokenReader,
    testing::Values(Breakage{std::string("\x12\x34\x56\x78\0\0\0\x08", 8), "bad magic 0x12345678 (expected 0x75f4c465)"},
                    Breakage{std::string("\x75\xF4\xC4\x65\0\0\0\x03", 8), "total_len 3 is smaller than header length (8)"}));

// A reader that copies or rescans its whole buffer per feed, or drops each cut
// frame from the front of its buffer, takes minutes here instead of well under a second.
TEST(RawFrameReader, WorkIsLinearInTheBytesFed) {
  const auto start = std::chrono::steady_clock::now();

  // One 1 MiB frame in 3-byte pieces.
  const std::string big = encode_raw_frame(1, 1, as_bytes(std::string(1 << 20, 'x')));
  RawFrameReader one;
  std::size_t cut = 0;
  for (std::size_t at = 0; at < big.size(); at += 3) cut += one.feed(as_bytes(big.substr(at, 3))).size();
  EXPECT_EQ(cut, 1u);

  // 200k empty frames in one feed, behind one buffered byte so they are cut from the reader's buffer.
  std::string tiny;
  const std::string frame = encode_raw_frame(2, 0, {});
  for (int i = 0; i < 200000; ++i) tiny += frame;
  RawFrameReader many;
  EXPECT_TRUE(many.feed(as_bytes(tiny).first(1)).empty());
  EXPECT_EQ(many.feed(as_bytes(tiny).subspan(1)).size(), 200000u);
  EXPECT_EQ(many.pending(), 0u);

  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

}  // namespace
}  // namespace qel::wire
