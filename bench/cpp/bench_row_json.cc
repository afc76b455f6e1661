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
#include <random>
#include <set>
#include <string>
#include <vector>

#include "qel/rows/row_json.h"
#include "qel/rows/schema.h"
#include "qel/rows/struct_value.h"

namespace {

using namespace qel::rows;

constexpr std::size_t kRows = 10'000;
constexpr std::uint16_t kNamespace = 0;
constexpr std::int32_t kMetaId = 1001;

// The 12-column workload of the batch benchmark (bench_rows.cc).
IndexMetaField column(const char* name, std::uint32_t pos, DataType type, std::uint32_t precision = 0) {
  IndexMetaField f;
  f.name = name;
  f.pos = pos;
  f.precision = precision;
  f.field_type.code = static_cast<std::uint8_t>(type);
  return f;
}

IndexSchemaCatalog make_catalog() {
  IndexMeta meta;
  meta.name = "bench.snapshot";
  meta.display_name = "bench snapshot";
  meta.index_type = "bench";
  meta.id = kMetaId;
  meta.namespace_ = kNamespace;
  meta.revision = 1;
  meta.granularities = {{3, 4800}};
  const char* ints[] = {"i0", "i1", "i2", "i3"};
  const char* doubles[] = {"d0", "d1", "d2", "d3"};
  std::uint32_t pos = 0;
  for (const char* n : ints) meta.fields.push_back(column(n, pos++, DataType::Int));
  for (int i = 0; i < 4; ++i) meta.fields.push_back(column(doubles[i], pos++, DataType::Double, i < 2 ? 2 : 4));
  meta.fields.push_back(column("s0", pos++, DataType::String));
  meta.fields.push_back(column("s1", pos++, DataType::String));
  meta.fields.push_back(column("v0", pos++, DataType::VDouble, 2));
  meta.fields.push_back(column("l0", pos++, DataType::Int64));
  IndexSchemaCatalog catalog;
  catalog.metas.emplace(SchemaKey{kNamespace, kMetaId}, std::move(meta));
  return catalog;
}

std::vector<StructValue> make_rows(std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  auto uniform = [&](std::int64_t lo, std::int64_t hi) {
    return std::uniform_int_distribution<std::int64_t>(lo, hi)(rng);
  };
  std::set<std::string> distinct;
  while (distinct.size() < 2000) {
    char code[8];
    std::snprintf(code, sizeof code, "%06d", static_cast<int>(uniform(0, 999'999)));
    distinct.insert(code);
  }
  const std::vector<std::string> codes(distinct.begin(), distinct.end());
  static constexpr char kAlnum[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

  std::vector<StructValue> rows(kRows);
  std::uint64_t time_tag = 1'704'159'000'000;  // 2024-01-02 09:30 UTC+8, in ms
  for (StructValue& row : rows) {
    row.namespace_ = kNamespace;
    row.meta_id = kMetaId;
    row.granularity = 3;
    row.market = "SH";
    row.stock_code = codes[static_cast<std::size_t>(uniform(0, 1999))];
    time_tag += static_cast<std::uint64_t>(uniform(1, 60));
    row.time_tag = time_tag;
    row.fields.resize(12);
    for (std::size_t f = 0; f < 4; ++f) row.fields[f] = static_cast<std::int32_t>(uniform(-1'000'000, 1'000'000));
    for (std::size_t f = 4; f < 8; ++f) {
      // About one slot in 17 left Empty.
      if (uniform(0, 16) != 0) row.fields[f] = static_cast<double>(uniform(100, 500'000)) / 100.0;
    }
    for (std::size_t f = 8; f < 10; ++f) {
      std::string s(static_cast<std::size_t>(uniform(6, 10)), ' ');
      for (char& c : s) c = kAlnum[uniform(0, sizeof kAlnum - 2)];
      row.fields[f] = std::move(s);
    }
    std::vector<double> v(5);
    for (double& d : v) d = static_cast<double>(uniform(0, 10'000)) / 100.0;
    row.fields[10] = std::move(v);
    row.fields[11] = static_cast<std::int64_t>(uniform(0, (std::int64_t{1} << 40) - 1));
  }
  return rows;
}

struct Workload {
  IndexSchemaCatalog catalog = make_catalog();
  std::vector<StructValue> rows = make_rows(20240102);
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
