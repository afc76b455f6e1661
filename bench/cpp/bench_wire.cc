// Microbenchmarks of the wire core: frame parsing, stream cutting, Snappy blocks.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "qel/wire/frame.h"
#include "qel/wire/raw_frame_reader.h"
#include "qel/wire/snappy.h"

namespace {

using namespace qel::wire;

constexpr std::size_t kChunk = 64 * 1024;
constexpr std::size_t kMiB = 1024 * 1024;

std::string random_bytes(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::string out(n, '\0');
  for (char& c : out) c = static_cast<char>(rng());
  return out;
}

// Sentences of words drawn (Zipf-weighted) from a fixed 1,000-word vocabulary:
// Snappy compresses it 2x to 3x, like log or message text.
std::string text_bytes(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<std::string> vocab(1000);
  std::vector<double> weights(vocab.size());
  for (std::size_t i = 0; i < vocab.size(); ++i) {
    vocab[i].resize(std::uniform_int_distribution<std::size_t>(2, 11)(rng));
    for (char& c : vocab[i]) c = static_cast<char>('a' + rng() % 26);
    weights[i] = 1.0 / static_cast<double>(i + 1);
  }
  std::discrete_distribution<std::size_t> pick(weights.begin(), weights.end());
  std::uniform_int_distribution<int> sentence(4, 16);
  static constexpr std::array<const char*, 4> kEnds = {". ", ", ", ".\n", "; "};
  std::string out;
  out.reserve(n + 256);
  while (out.size() < n) {
    const int words = sentence(rng);
    for (int w = 0; w < words; ++w) {
      if (w) out += ' ';
      out += vocab[pick(rng)];
    }
    out += kEnds[rng() % kEnds.size()];
  }
  out.resize(n);
  return out;
}

struct Stream {
  std::string bytes;
  std::size_t frames = 0;
};

// `count` frames with bodies of the given sizes, drawn uniformly.
Stream make_stream(std::size_t count, std::vector<std::size_t> sizes, std::uint32_t seed) {
  std::mt19937 rng(seed);
  const std::string filler = random_bytes(*std::max_element(sizes.begin(), sizes.end()), seed + 1);
  Stream s;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t n = sizes[rng() % sizes.size()];
    s.bytes += encode_raw_frame(static_cast<std::uint16_t>(rng()), static_cast<std::uint32_t>(i),
                                as_bytes(std::string_view(filler).substr(0, n)));
  }
  s.frames = count;
  return s;
}

const Stream& mixed_stream() {
  static const Stream s = make_stream(100'000, {16, 64, 1024}, 1);
  return s;
}

const Stream& big_body_stream() {
  static const Stream s = make_stream(256, {64 * 1024}, 2);
  return s;
}

const std::string& text_mib() {
  static const std::string s = text_bytes(kMiB, 3);
  return s;
}

const std::string& random_mib() {
  static const std::string s = random_bytes(kMiB, 4);
  return s;
}

void BM_ParseFrame(benchmark::State& state) {
  const std::string frame =
      encode_raw_frame(7, 1, as_bytes(random_bytes(static_cast<std::size_t>(state.range(0)), 5)));
  for (auto _ : state) {
    FrameParse p = parse_frame(as_bytes(frame));
    benchmark::DoNotOptimize(p);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(frame.size()));
}
BENCHMARK(BM_ParseFrame)->ArgName("body")->Arg(16)->Arg(64)->Arg(1024)->Arg(64 * 1024);

void BM_RawFrameReaderFeed(benchmark::State& state, const Stream& (*stream)()) {
  const Stream& s = stream();
  const std::string_view all(s.bytes);
  for (auto _ : state) {
    RawFrameReader reader;
    std::size_t frames = 0;
    for (std::size_t off = 0; off < all.size(); off += kChunk) {
      frames += reader.feed(as_bytes(all.substr(off, kChunk))).size();
    }
    if (frames != s.frames || reader.pending() != 0) state.SkipWithError("the reader lost frames");
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(s.frames));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(s.bytes.size()));
}
BENCHMARK_CAPTURE(BM_RawFrameReaderFeed, mixed_100k, &mixed_stream)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_RawFrameReaderFeed, body_64KiB, &big_body_stream)->Unit(benchmark::kMillisecond);

void BM_SnappyCompress(benchmark::State& state, const std::string& (*input)()) {
  const std::string& in = input();
  std::size_t out_size = 0;
  for (auto _ : state) {
    std::string block = snappy_compress(as_bytes(in));
    out_size = block.size();
    benchmark::DoNotOptimize(block.data());
  }
  state.counters["ratio"] = static_cast<double>(in.size()) / static_cast<double>(out_size);
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(in.size()));
}
BENCHMARK_CAPTURE(BM_SnappyCompress, text_1MiB, &text_mib)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_SnappyCompress, random_1MiB, &random_mib)->Unit(benchmark::kMicrosecond);

void BM_SnappyUncompress(benchmark::State& state, const std::string& (*input)()) {
  const std::string& in = input();
  const std::string block = snappy_compress(as_bytes(in));
  for (auto _ : state) {
    std::string out = snappy_uncompress(as_bytes(block));
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(in.size()));
}
BENCHMARK_CAPTURE(BM_SnappyUncompress, text_1MiB, &text_mib)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_SnappyUncompress, random_1MiB, &random_mib)->Unit(benchmark::kMicrosecond);

}  // namespace
