// UTF-8 validation: ours against the vectorised validator it delegates to on
// long texts, and against the byte scanner alone on the short texts rows carry.
#include <benchmark/benchmark.h>
#include <simdjson.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <random>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "qel/text/utf8.h"

namespace {

using Bytes = std::span<const std::uint8_t>;
using Validator = bool (*)(Bytes);

Bytes bytes_of(const std::string& s) { return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()}; }

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Exactly n bytes of valid text. Mixed: half ASCII, the rest Latin/Cyrillic
// (2 bytes), CJK (3 bytes) and a few emoji (4 bytes), ASCII-padded to n.
std::string make_text(std::size_t n, bool mixed, std::mt19937& rng) {
  std::string out;
  while (true) {
    std::string next = out;
    const unsigned r = rng() % 20;
    if (!mixed || r < 10) {
      append_utf8(next, static_cast<char32_t>(' ' + rng() % 95));
    } else if (r < 14) {
      append_utf8(next, static_cast<char32_t>(0xA0 + rng() % (0x800 - 0xA0)));
    } else if (r < 19) {
      append_utf8(next, static_cast<char32_t>(0x4E00 + rng() % 0x5200));
    } else {
      append_utf8(next, static_cast<char32_t>(0x1F300 + rng() % 0x400));
    }
    if (next.size() > n) break;
    out.swap(next);
  }
  out.resize(n, 'x');
  return out;
}

// A batch of texts of one size: one text when long, enough short ones that a
// batch takes microseconds and the clock reads do not weigh.
const std::vector<std::string>& texts(std::size_t size, bool mixed) {
  static std::vector<std::vector<std::string>> cache;
  static std::vector<std::pair<std::size_t, bool>> keys;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (keys[i] == std::pair{size, mixed}) return cache[i];
  }
  std::mt19937 rng(static_cast<std::uint32_t>(size * 2 + mixed));
  std::vector<std::string> batch(std::max<std::size_t>(1, (256 * 1024) / size));
  for (auto& t : batch) t = make_text(size, mixed, rng);
  keys.emplace_back(size, mixed);
  cache.push_back(std::move(batch));
  return cache.back();
}

bool ours_check(Bytes b) { return !qel::text::check_utf8(b).has_value(); }
bool ours_is(Bytes b) { return qel::text::is_utf8(b); }
bool scanner(Bytes b) { return !qel::text::scan_utf8(b).has_value(); }
bool simd(Bytes b) { return simdjson::validate_utf8(reinterpret_cast<const char*>(b.data()), b.size()); }

// is_utf8 as it was before the vectorised path: the inline ASCII test, then the scanner.
bool old_is(Bytes b) {
  if (b.size() <= 16) {
    std::uint8_t any = 0;
    for (std::uint8_t c : b) any |= c;
    if (any < 0x80) return true;
  }
  return scanner(b);
}

double time_batch(Validator f, const std::vector<std::string>& batch) {
  const auto t0 = std::chrono::steady_clock::now();
  for (const auto& t : batch) benchmark::DoNotOptimize(f(bytes_of(t)));
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Times `ours` and `base` on the same bytes in alternating batches and reports
// ours / base as "ratio"; the iteration time is ours.
void BM_Pair(benchmark::State& state, Validator ours, Validator base, bool mixed) {
  const auto& batch = texts(static_cast<std::size_t>(state.range(0)), mixed);
  for (const auto& t : batch) {
    if (!ours(bytes_of(t)) || !base(bytes_of(t))) state.SkipWithError("text not valid");
  }
  double ours_s = 0, base_s = 0;
  bool flip = false;
  for (auto _ : state) {
    const double a = flip ? time_batch(ours, batch) : 0;
    base_s += time_batch(base, batch);
    const double b = flip ? 0 : time_batch(ours, batch);
    ours_s += a + b;
    flip = !flip;
    state.SetIterationTime(a + b);
  }
  const double per_text = static_cast<double>(state.iterations() * batch.size());
  state.counters["ns_per_text"] = ours_s * 1e9 / per_text;
  state.counters["base_ns"] = base_s * 1e9 / per_text;
  state.counters["ratio"] = ours_s / base_s;
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(batch.size() * batch[0].size()));
}

constexpr int kMiB = 1024 * 1024;

// Long texts: our answer against the vectorised validator alone (target ratio <= 1.2).
BENCHMARK_CAPTURE(BM_Pair, check_vs_simd_ascii, ours_check, simd, false)->Arg(kMiB)->UseManualTime();
BENCHMARK_CAPTURE(BM_Pair, check_vs_simd_mixed, ours_check, simd, true)->Arg(kMiB)->UseManualTime();
BENCHMARK_CAPTURE(BM_Pair, is_vs_simd_ascii, ours_is, simd, false)->Arg(kMiB)->UseManualTime();
BENCHMARK_CAPTURE(BM_Pair, is_vs_simd_mixed, ours_is, simd, true)->Arg(kMiB)->UseManualTime();

// Short texts: against the scanner-only check they replaced (ratio ~1 means no regression).
BENCHMARK_CAPTURE(BM_Pair, check_vs_old_ascii, ours_check, scanner, false)->Arg(16)->Arg(64)->UseManualTime();
BENCHMARK_CAPTURE(BM_Pair, check_vs_old_mixed, ours_check, scanner, true)->Arg(16)->Arg(64)->UseManualTime();
BENCHMARK_CAPTURE(BM_Pair, is_vs_old_ascii, ours_is, old_is, false)->Arg(16)->Arg(64)->UseManualTime();
BENCHMARK_CAPTURE(BM_Pair, is_vs_old_mixed, ours_is, old_is, true)->Arg(16)->Arg(64)->UseManualTime();

// Where the vectorised validator overtakes the scanner: sets kVectorMinBytes.
BENCHMARK_CAPTURE(BM_Pair, scan_vs_simd_ascii, scanner, simd, false)
    ->RangeMultiplier(2)->Range(16, 512)->Arg(384)->UseManualTime();
BENCHMARK_CAPTURE(BM_Pair, scan_vs_simd_mixed, scanner, simd, true)
    ->RangeMultiplier(2)->Range(16, 512)->Arg(384)->UseManualTime();

}  // namespace
