// Row batches: the serializer's compress / decompress of 100,000 rows against a
// bare Snappy pass over the same bytes, with the ratios summed up at exit.
#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "qel/rows/index_serializer.h"
#include "qel/rows/schema.h"
#include "qel/rows/struct_value.h"
#include "qel/wire/snappy.h"

#include "workload.h"

namespace {

using namespace qel::rows;
using qel::wire::as_bytes;

constexpr std::size_t kRows = 100'000;
constexpr std::size_t kSinks = 16;

struct Workload {
  IndexSchemaCatalog catalog = qel::bench::make_catalog();
  std::vector<StructValue> rows = qel::bench::make_rows(kRows, 20240102);
  std::vector<const StructValue*> refs;
  std::vector<RoutedRow> routed;  // each code owned by one of kSinks, round robin
  std::string batch;  // serialize() of the rows
  std::string blob;   // compress() of the rows
  bool round_trips = false;

  Workload() {
    for (const StructValue& r : rows) refs.push_back(&r);
    std::map<std::string, std::uint32_t> owner;
    for (const StructValue& r : rows) owner.emplace(r.stock_code, 0);
    std::uint32_t next = 0;
    for (auto& [code, sink] : owner) sink = next++ % kSinks;
    for (const StructValue& r : rows) routed.push_back({&r, owner[r.stock_code]});
    batch = serialize(catalog, refs);
    blob = compress(catalog, refs);
    // Scaled doubles come back as k * 10^-p, which scale back to the same k,
    // so re-serializing the decoded rows must give the same bytes.
    const std::vector<StructValue> back = decompress(catalog, as_bytes(blob));
    std::vector<const StructValue*> back_refs;
    for (const StructValue& r : back) back_refs.push_back(&r);
    round_trips = back.size() == kRows && serialize(catalog, back_refs) == batch;
  }
};

const Workload& workload() {
  static const Workload w;
  return w;
}

// The fastest single iteration of each benchmark (seconds), for the ratios
// printed once every benchmark has run.
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
    std::printf("ratio %-10s %8.3f ms (%4.2f M rows/s) vs %-17s %8.3f ms: %5.2fx  target <= %.1fx  %s\n", ours,
                o->second * 1e3, kRows / o->second / 1e6, base, b->second * 1e3, r, target,
                r <= target ? "PASS" : "FAIL");
  }

  ~Summary() {
    if (best.empty()) return;
    std::printf("\nrows: %zu rows of 12 columns; thread CPU time of the fastest iteration of each side\n", kRows);
    ratio("compress", "snappy_compress", 1.5);
    ratio("decompress", "snappy_uncompress", 3.0);
    ratio("compress_split", "compress", 1.2);
    std::fflush(stdout);
  }
};

Summary summary;

// CPU time of this thread: on a shared machine, time spent descheduled would
// otherwise fall on whichever side happened to be running.
double thread_seconds() noexcept {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

long minor_faults() noexcept {
  rusage u{};
  getrusage(RUSAGE_THREAD, &u);
  return u.ru_minflt;
}

// Times `body`, whose result is destroyed outside the timed region on both
// sides, so that freeing 100,000 rows is not charged to decompress.
template <class F>
void run(benchmark::State& state, const char* name, std::size_t bytes, F&& body) {
  const Workload& w = workload();
  if (!w.round_trips) {
    state.SkipWithError("the batch does not round-trip through compress / decompress");
    return;
  }
  double best = std::numeric_limits<double>::infinity();
  long faults = 0;
  for (auto _ : state) {
    const long f0 = minor_faults();
    const double t0 = thread_seconds();
    auto out = body(w);
    best = std::min(best, thread_seconds() - t0);
    faults += minor_faults() - f0;
    state.PauseTiming();
    { const auto drop = std::move(out); }
    state.ResumeTiming();
  }
  summary.record(name, best);
  // Fresh pages the kernel had to hand out (and zero) per call: a large part
  // of the cost of building 100,000 rows.
  state.counters["faults"] = benchmark::Counter(static_cast<double>(faults), benchmark::Counter::kAvgIterations);
  state.counters["rows/s"] = benchmark::Counter(kRows, benchmark::Counter::kIsIterationInvariantRate);
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes));
}

void BM_RowsSerialize(benchmark::State& state) {
  run(state, "serialize", workload().batch.size(), [](const Workload& w) {
    return serialize(w.catalog, w.refs);
  });
}

void BM_RowsCompress(benchmark::State& state) {
  run(state, "compress", workload().batch.size(), [](const Workload& w) {
    return compress(w.catalog, w.refs);
  });
  state.counters["compression"] = static_cast<double>(workload().batch.size()) / static_cast<double>(workload().blob.size());
}

void BM_RowsCompressSplit(benchmark::State& state) {
  run(state, "compress_split", workload().batch.size(), [](const Workload& w) {
    // Each set copied out once, as a message body would take it.
    std::vector<std::string> sets(kSinks);
    compress_split(w.catalog, w.routed, kSinks, [&](std::size_t s, qel::wire::Bytes set) {
      sets[s].assign(reinterpret_cast<const char*>(set.data()), set.size());
    });
    return sets;
  });
}

void BM_RowsSnappyCompressBatch(benchmark::State& state) {
  run(state, "snappy_compress", workload().batch.size(), [](const Workload& w) {
    return qel::wire::snappy_compress(as_bytes(w.batch));
  });
}

void BM_RowsDeserialize(benchmark::State& state) {
  run(state, "deserialize", workload().batch.size(), [](const Workload& w) {
    return deserialize(w.catalog, as_bytes(w.batch));
  });
}

void BM_RowsDecompress(benchmark::State& state) {
  run(state, "decompress", workload().batch.size(), [](const Workload& w) {
    return decompress(w.catalog, as_bytes(w.blob));
  });
}

void BM_RowsSnappyUncompressBlob(benchmark::State& state) {
  run(state, "snappy_uncompress", workload().batch.size(), [](const Workload& w) {
    return qel::wire::snappy_uncompress(as_bytes(w.blob));
  });
}

BENCHMARK(BM_RowsSerialize)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RowsCompress)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RowsCompressSplit)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RowsSnappyCompressBatch)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RowsDeserialize)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RowsDecompress)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RowsSnappyUncompressBlob)->Unit(benchmark::kMillisecond);

}  // namespace
