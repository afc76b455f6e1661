// Doubles as text: the formatter against std::to_chars on random doubles
// (every finite bit pattern alike) and on decimal-scaled ones (batch doubles:
// an integer times 10^-precision, printed from the integer), with the ratios
// summed up at exit.
#include <benchmark/benchmark.h>

#include <time.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "qel/rows/index_serializer.h"
#include "qel/text/double_text.h"

namespace {

constexpr std::size_t kCount = 200'000;

struct Workload {
  std::vector<double> random;
  std::vector<std::int64_t> scaled;
  std::vector<std::uint32_t> places;
  std::vector<double> decimal;  // unscale(scaled, places)
  std::vector<char> out = std::vector<char>(kCount * qel::text::kDoubleTextRoom);

  Workload() {
    std::mt19937_64 rng(20240102);
    while (random.size() < kCount) {
      const double v = std::bit_cast<double>(rng());
      if (std::isfinite(v)) random.push_back(v);
    }
    // Prices and ratios as the row workloads have them: 3 to 8 digits at 2 or 4 places.
    for (std::size_t i = 0; i < kCount; ++i) {
      const std::uint32_t p = i % 2 ? 2 : 4;
      const auto v = static_cast<std::int64_t>(rng() % 50'000'000) + 100;
      scaled.push_back(v);
      places.push_back(p);
      decimal.push_back(qel::rows::unscale(v, p));
    }
  }
};

Workload& workload() {
  static Workload w;
  return w;
}

struct Summary {
  std::map<std::string, double> best;

  void record(const std::string& name, double seconds) {
    auto [it, inserted] = best.try_emplace(name, seconds);
    if (!inserted) it->second = std::min(it->second, seconds);
  }

  void ratio(const char* ours, const char* base, double target) const {
    const auto o = best.find(ours), b = best.find(base);
    if (o == best.end() || b == best.end()) return;
    const double r = o->second / b->second;
    std::printf("ratio %-16s %6.1f ns/double vs %-16s %6.1f ns/double: %5.2fx  target <= %.1fx  %s\n", ours,
                o->second / kCount * 1e9, base, b->second / kCount * 1e9, r, target, r <= target ? "PASS" : "FAIL");
  }

  ~Summary() {
    if (best.empty()) return;
    std::printf("\ndoubles as text: %zu doubles per iteration; thread CPU time of the fastest iteration of each side\n",
                kCount);
    ratio("ours_random", "to_chars_random", 0.6);
    ratio("ours_scaled", "to_chars_scaled", 0.3);
    std::fflush(stdout);
  }
};

Summary summary;

double thread_seconds() noexcept {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Writes every text one after the other into one buffer, as a renderer does.
template <class F>
void run(benchmark::State& state, const char* name, F&& write) {
  Workload& w = workload();
  double best = std::numeric_limits<double>::infinity();
  for (auto _ : state) {
    const double t0 = thread_seconds();
    char* p = w.out.data();
    for (std::size_t i = 0; i < kCount; ++i) p = write(p, w, i);
    best = std::min(best, thread_seconds() - t0);
    benchmark::DoNotOptimize(p);
  }
  summary.record(name, best);
  state.counters["doubles/s"] = benchmark::Counter(kCount, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_DoubleToCharsRandom(benchmark::State& state) {
  run(state, "to_chars_random", [](char* p, const Workload& w, std::size_t i) {
    return std::to_chars(p, p + qel::text::kDoubleTextRoom, w.random[i]).ptr;
  });
}

void BM_DoubleOursRandom(benchmark::State& state) {
  run(state, "ours_random",
      [](char* p, const Workload& w, std::size_t i) { return qel::text::write_double(p, w.random[i]); });
}

void BM_DoubleToCharsScaled(benchmark::State& state) {
  run(state, "to_chars_scaled", [](char* p, const Workload& w, std::size_t i) {
    return std::to_chars(p, p + qel::text::kDoubleTextRoom, w.decimal[i]).ptr;
  });
}

void BM_DoubleOursScaled(benchmark::State& state) {
  run(state, "ours_scaled", [](char* p, const Workload& w, std::size_t i) {
    return qel::text::write_json_scaled(p, w.scaled[i], w.places[i], w.decimal[i]);
  });
}

// Interleaved: each pair of sides runs back to back.
BENCHMARK(BM_DoubleToCharsRandom)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DoubleOursRandom)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DoubleToCharsScaled)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DoubleOursScaled)->Unit(benchmark::kMillisecond);

}  // namespace
