// libFuzzer harness bodies: the JSON loaders of market meta bundles, commission
// rates and the client configuration.
#include <simdjson.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "harnesses.h"
#include "qel/error.h"
#include "qel/refdata/commission.h"
#include "qel/refdata/market_meta.h"
#include "qel/storage/client_config.h"
#include "qel/text/json_writer.h"

namespace qel::fuzz {
namespace {

[[noreturn]] void fail(const char* what, int line) {
  std::fprintf(stderr, "fuzz invariant violated at harnesses_refdata.cc:%d: %s\n", line, what);
  std::abort();
}

#define FUZZ_CHECK(cond)                 \
  do {                                   \
    if (!(cond)) fail(#cond, __LINE__);  \
  } while (0)

template <class Fn>
std::optional<std::string> error_of(Fn&& fn) {
  try {
    fn();
  } catch (const Error& e) {
    return std::string(e.what());
  }
  return std::nullopt;
}

bool starts_with_any(std::string_view s, std::initializer_list<std::string_view> prefixes) {
  for (std::string_view p : prefixes) {
    if (s.starts_with(p)) return true;
  }
  return false;
}

bool parses(std::string_view json) {
  simdjson::dom::parser parser;
  simdjson::dom::element e;
  return parser.parse(json.data(), json.size()).get(e) == simdjson::SUCCESS;
}

// Every part's name resolves, under namespace 0 with meta ids 1..7.
rows::NameIndex full_index() {
  rows::NameIndex idx;
  std::uint32_t id = 0;
  for (const char* part : {"Market", "Holiday", "Security", "Dividend", "Stock", "Commodity", "Futures"}) {
    idx.by_name.emplace(std::string("global::") + part, rows::SchemaKey{0, ++id});
  }
  return idx;
}

std::size_t rows_of(const refdata::MarketMeta& m, std::uint32_t meta_id) {
  switch (meta_id) {
    case 3: return m.securities->rows.size();
    case 4: return m.dividends->rows.size();
    case 5: return m.stocks->rows.size();
    case 6: return m.commodities->rows.size();
    case 7: return m.futures->rows.size();
    default: return 0;
  }
}

// One row per code, in ascending byte order of the codes.
template <class Row>
bool codes_ascending(const std::optional<refdata::Table<Row>>& t) {
  return !t || std::ranges::adjacent_find(t->rows, std::ranges::greater_equal{}, &Row::code) == t->rows.end();
}

}  // namespace

void fuzz_market_meta(const std::uint8_t* data, std::size_t size) {
  const std::string_view in(reinterpret_cast<const char*>(data), size);
  std::vector<refdata::MarketMeta> metas;
  const auto error = error_of([&] { metas = refdata::load_market_meta_from_json_str(in); });
  if (error) {
    FUZZ_CHECK(metas.empty());
    FUZZ_CHECK(starts_with_any(*error, {"load_market_meta_from_json_str: bad JSON: ",
                                        "load_market_meta_from_json_str: bad JSON in '",
                                        "load_market_meta_from_json_str: top-level 'markets' array missing",
                                        "missing/!int field '", "missing/!string field '", "missing/!array field '",
                                        "out-of-range int field '"}));
    return;
  }
  static const rows::NameIndex index = full_index();
  static const std::size_t kSlots[] = {0, 9, 3, 11, 9, 12, 18, 20};
  // Per meta id, a bit for each slot that holds rendered JSON (codes and
  // names are plain texts, whatever they look like).
  static const std::uint32_t kRendered[] = {0,
                                            1u << 4 | 1u << 7 | 1u << 8,
                                            0,
                                            1u << 10,
                                            0,
                                            1u << 4 | 1u << 5,
                                            1u << 4 | 1u << 5 | 1u << 6 | 1u << 11 | 1u << 12 | 1u << 17,
                                            1u << 5 | 1u << 12 | 1u << 13 | 1u << 19};
  for (const refdata::MarketMeta& m : metas) {
    FUZZ_CHECK(codes_ascending(m.securities) && codes_ascending(m.dividends) && codes_ascending(m.stocks) &&
               codes_ascending(m.commodities) && codes_ascending(m.futures));
    const auto svs = m.to_sv(index);
    std::uint32_t last = 0;
    for (const rows::StructValue& sv : svs) {
      const auto id = static_cast<std::uint32_t>(sv.meta_id);
      FUZZ_CHECK(id > last && id <= 7);  // parts in their fixed order, once each
      last = id;
      FUZZ_CHECK(sv.size() == kSlots[id]);
      for (std::size_t pos = 0; pos < sv.size(); ++pos) {
        // Every vector holds one element per row; every rendered text is JSON.
        const rows::FieldValue& f = sv.fields[pos];
        const bool rendered = (kRendered[id] >> pos) & 1;
        switch (f.type()) {
          case rows::DataType::VInt:
            if (id != 2) FUZZ_CHECK(f.view<rows::DataType::VInt>().size() == rows_of(m, id));
            break;
          case rows::DataType::VDouble: FUZZ_CHECK(f.view<rows::DataType::VDouble>().size() == rows_of(m, id)); break;
          case rows::DataType::VInt64: FUZZ_CHECK(f.view<rows::DataType::VInt64>().size() == rows_of(m, id)); break;
          case rows::DataType::VString:
            FUZZ_CHECK(f.view<rows::DataType::VString>().size() == rows_of(m, id));
            if (rendered) {
              for (const std::string& s : f.view<rows::DataType::VString>()) FUZZ_CHECK(parses(s));
            }
            break;
          case rows::DataType::String:
            if (rendered) FUZZ_CHECK(parses(f.view<rows::DataType::String>()));
            break;
          default: break;
        }
      }
    }
  }
}

void fuzz_commission(const std::uint8_t* data, std::size_t size) {
  const std::string_view in(reinterpret_cast<const char*>(data), size);
  refdata::Commission before;
  before.close_rate_by_money = 0.25;
  before.order_rate_by_volume = -3.0;
  refdata::Commission c = before;
  const auto error = error_of([&] { c.load(in); });
  if (error) {
    FUZZ_CHECK(error->starts_with("invalid JSON: "));
    FUZZ_CHECK(c == before);
    return;
  }
  // The rates written back as JSON load to themselves.
  std::string json;
  text::JsonWriter w(json);
  w.begin_object();
  const std::pair<const char*, double> rates[] = {
      {"open_rate_by_volume", c.open_rate_by_volume},
      {"open_rate_by_money", c.open_rate_by_money},
      {"close_rate_by_volume", c.close_rate_by_volume},
      {"close_rate_by_money", c.close_rate_by_money},
      {"today_close_rate_by_volume", c.today_close_rate_by_volume},
      {"today_close_rate_by_money", c.today_close_rate_by_money},
      {"order_rate_by_volume", c.order_rate_by_volume},
      {"order_rate_by_money", c.order_rate_by_money},
  };
  for (const auto& [key, rate] : rates) {
    w.key(key);
    w.number_double(rate);
  }
  w.end_object();
  refdata::Commission again;
  again.load(json);
  FUZZ_CHECK(again == c);
  // The formula is a pure function of its inputs.
  for (std::uint8_t oc : {48, 49, 50}) {
    const double x = c.calculate(10.0, 3500.5, 48, oc, oc == 49, 10.0);
    const double y = again.calculate(10.0, 3500.5, 49, oc, oc == 49, 10.0);
    FUZZ_CHECK((x == y) || (x != x && y != y));
  }
}

void fuzz_client_config(const std::uint8_t* data, std::size_t size) {
  const std::string_view in(reinterpret_cast<const char*>(data), size);
  storage::KestrinConfig before;
  before.log_path = "/before";
  before.masters = {{"m", 1}};
  before.singularity_alike_markets = {"SH", "SZ"};
  storage::KestrinConfig c = before;
  storage::ConfigLoad outcome{};
  const auto error = error_of([&] { outcome = c.load_from_json_text(in); });
  if (error) {
    FUZZ_CHECK(error->starts_with("load_from_json: "));
    FUZZ_CHECK(c == before);
    return;
  }
  if (outcome == storage::ConfigLoad::kNotJson) {
    FUZZ_CHECK(c == before);
    FUZZ_CHECK(!parses(in));
    return;
  }
  // What was loaded, written back as a file, loads to the same configuration.
  std::string json;
  text::JsonWriter w(json);
  w.begin_object();
  w.key("log_path");
  w.string(c.log_path);
  w.key("masters");
  w.begin_array();
  for (const auto& [host, port] : c.masters) {
    w.begin_array();
    w.string(host);
    w.number_uint(port);
    w.end_array();
  }
  w.end_array();
  w.key("singularity_markets");
  w.begin_array();
  for (const std::string& m : c.singularity_alike_markets) w.string(m);
  w.end_array();
  w.end_object();
  storage::KestrinConfig again;
  FUZZ_CHECK(again.load_from_json_text(json) == storage::ConfigLoad::kLoaded);
  FUZZ_CHECK(again == c);
}

}  // namespace qel::fuzz
