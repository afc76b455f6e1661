// Row rendering: a fetch reply of 10,000 rows of 12 columns as JSON, against
// simdjson writing the same document back from its parsed tree, with the
// ratio and throughput summed up at exit.
#include <benchmark/benchmark.h>

#include <simdjson.h>

#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "qel/rows/row_json.h"
#include "qel/rows/schema.h"
#include "qel/rows/struct_value.h"

#include "workload.h"

namespace {

using namespace qel::rows;

constexpr std::size_t kRows = 10'000;

struct Workload {
  IndexSchemaCatalog catalog = qel::bench::make_catalog();
  std::vector<StructValue> rows = qel::bench::make_rows(kRows, 20240102);
  std::string json;  // render_fetch_json() of the rows
  simdjson::dom::parser parser;
  simdjson::dom::element doc;
  bool parses = false;

  Workload() {
    json = render_fetch_json(&catalog, rows);
    parses = parser.parse(json).get(doc) == simdjson::SUCCESS;
  }
};

const Workload& workload() {
  static const Workload w;
  return w;
}

// The fastest single iteration of each benchmark (seconds).
struct Summary {
  std::map<std::string, double> best;

  void record(const std::string& name, double seconds) {
    auto [it, inserted] = best.try_emplace(name, seconds);
    if (!inserted) it->second = std::min(it->second, seconds);
  }

  ~Summary() {
    const auto o = best.find("render"), b = best.find("simdjson_serialize");
    if (o == best.end()) return;
    const double bytes = static_cast<double>(workload().json.size());
    std::printf("\nrow json: %zu rows of 12 columns, %.2f MB of output; thread CPU time of the fastest iteration\n",
                kRows, bytes / 1e6);
    std::printf("render             %8.3f ms  %6.1f ns/row  %7.1f MB/s\n", o->second * 1e3, o->second / kRows * 1e9,
                bytes / o->second / 1e6);
    if (b != best.end()) {
      std::printf("simdjson_serialize %8.3f ms  %6.1f ns/row  %7.1f MB/s   render / simdjson: %.2fx\n",
                  b->second * 1e3, b->second / kRows * 1e9, bytes / b->second / 1e6, o->second / b->second);
    }
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

template <class F>
void run(benchmark::State& state, const char* name, F&& body) {
  const Workload& w = workload();
  if (!w.parses) {
    state.SkipWithError("the rendering does not parse");
    return;
  }
  double best = std::numeric_limits<double>::infinity();
  for (auto _ : state) {
    const double t0 = thread_seconds();
    std::string out = body(w);
    best = std::min(best, thread_seconds() - t0);
    benchmark::DoNotOptimize(out.data());
  }
  summary.record(name, best);
  state.counters["rows/s"] = benchmark::Counter(kRows, benchmark::Counter::kIsIterationInvariantRate);
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(w.json.size()));
}

void BM_RowJsonRender(benchmark::State& state) {
  run(state, "render", [](const Workload& w) { return render_fetch_json(&w.catalog, w.rows); });
}

// A general serializer writing the same document from a parsed tree.
void BM_RowJsonSimdjsonSerialize(benchmark::State& state) {
  run(state, "simdjson_serialize", [](const Workload& w) { return simdjson::to_string(w.doc); });
}

BENCHMARK(BM_RowJsonRender)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RowJsonSimdjsonSerialize)->Unit(benchmark::kMillisecond);

}  // namespace
